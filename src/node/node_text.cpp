// The plain records tarvick-node works on, and the pieces of link syntax that
// every scheme shares: percent escapes, query parameters, host and port.
#include "node.h"
#include "v2ray_names.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

void node_link_init(NodeLink *link)
{
    // Fields past count are never read: only the heads need clearing.
    link->type = -1;
    link->for_xray = false;
    link->name = NULL;
    link->count = 0;
    link->reason[0] = '\0';
    link->warnings = NULL;
    link->warnings_length = 0;
    link->arena_used = 0;
}

void node_link_clear(NodeLink *link)
{
    for (int i = 0; i < link->count; i++)
        if (link->fields[i].owned)
            free(link->fields[i].value);
    free(link->name);
    free(link->warnings);
    node_link_init(link);
}

size_t text_escape_controls(char *out, size_t size, const char *text)
{
    static const char HEX[] = "0123456789abcdef";
    size_t n = 0;
    for (const unsigned char *p = (const unsigned char *)text; *p && n + 5 <= size; p++) {
        if (*p >= 0x20 && *p != 0x7f) {
            out[n++] = (char)*p;
        } else {
            memcpy(out + n, "\\x", 2);
            out[n + 2] = HEX[*p >> 4];
            out[n + 3] = HEX[*p & 15];
            n += 4;
        }
    }
    if (size)
        out[n < size ? n : size - 1] = '\0';
    return n;
}

// A message is one line on a terminal: the input's control bytes in it are
// shown escaped, never sent.
static int node_message(char *out, size_t size, const char *format, va_list args)
{
    char plain[1024];
    vsnprintf(plain, sizeof plain, format, args);
    return (int)text_escape_controls(out, size, plain);
}

int node_refuse(NodeLink *link, const char *format, ...)
{
    if (link->reason[0] == '\0') { // the first cause is the one worth telling
        va_list args;
        va_start(args, format);
        node_message(link->reason, sizeof link->reason, format, args);
        va_end(args);
    }
    return -1;
}

int node_out_of_memory(NodeLink *link)
{
    return node_refuse(link, "out of memory");
}

void node_warn(NodeLink *link, const char *format, ...)
{
    char line[1024];
    va_list args;
    va_start(args, format);
    size_t n = (size_t)node_message(line, sizeof line - 1, format, args);
    va_end(args);
    line[n++] = '\n';
    char *grown = (char *)realloc(link->warnings, link->warnings_length + n + 1);
    if (!grown)
        return; // the note is lost, the node is not
    memcpy(grown + link->warnings_length, line, n);
    link->warnings = grown;
    link->warnings_length += n;
    link->warnings[link->warnings_length] = '\0';
}

static int node_find(const NodeLink *link, const char *name, size_t length)
{
    for (int i = 0; i < link->count; i++)
        if (link->fields[i].name_length == length && memcmp(link->fields[i].name, name, length) == 0)
            return i;
    return -1;
}

static char *node_copy(const char *value, size_t length)
{
    char *copy = (char *)malloc(length + 1);
    if (copy) {
        memcpy(copy, value, length);
        copy[length] = '\0';
    }
    return copy;
}

// A copy of a value: in the link's own arena when it fits (a replaced value
// leaves its old bytes there unused), else allocated and owned.
static char *node_store(NodeLink *link, const char *value, size_t length, bool *owned)
{
    *owned = link->arena_used + length + 1 > sizeof link->arena;
    if (*owned)
        return node_copy(value, length);
    char *copy = link->arena + link->arena_used;
    memcpy(copy, value, length);
    copy[length] = '\0';
    link->arena_used += length + 1;
    return copy;
}

int node_set(NodeLink *link, const char *name, const char *value, size_t length)
{
    // What the daemon cannot hand back whole would reach the client changed.
    if (memchr(value, '\0', length))
        return node_refuse(link, "%s holds a NUL byte", name);
    if (length > NODE_VALUE_MAX)
        return node_refuse(link, "%s is longer than %d bytes", name, NODE_VALUE_MAX);
    size_t name_length = strlen(name);
    int i = node_find(link, name, name_length);
    if (i < 0)
        return node_add(link, name, name_length, value, length);
    NodeField *field = &link->fields[i];
    bool owned;
    char *copy = node_store(link, value, length, &owned);
    if (!copy)
        return node_out_of_memory(link);
    if (field->owned)
        free(field->value);
    field->value = copy;
    field->length = length;
    field->owned = owned;
    return 0;
}

int node_add(NodeLink *link, const char *name, size_t name_length, const char *value, size_t length)
{
    if (link->count == NODE_FIELD_MAX || name_length >= sizeof link->fields[0].name)
        return node_refuse(link, "too many settings");
    NodeField *field = &link->fields[link->count];
    field->value = node_store(link, value, length, &field->owned);
    if (!field->value)
        return node_out_of_memory(link);
    memcpy(field->name, name, name_length + 1);
    field->name_length = name_length;
    field->length = length;
    link->count++;
    return 0;
}

int node_set_text(NodeLink *link, const char *name, const char *value)
{
    return node_set(link, name, value, strlen(value));
}

int node_set_password(NodeLink *link, const char *password, size_t length)
{
    if (memchr(password, '\0', length))
        return node_refuse(link, "password holds a NUL byte");
    NodeText stored;
    if (text_append_base64(&stored, password, length, false) != 0)
        return node_out_of_memory(link);
    return node_set(link, "password", stored.data, stored.length);
}

const char *node_get(const NodeLink *link, const char *name)
{
    int i = node_find(link, name, strlen(name));
    return i < 0 ? "" : link->fields[i].value;
}

bool node_has(const NodeLink *link, const char *name)
{
    return node_find(link, name, strlen(name)) >= 0;
}

int node_set_name(NodeLink *link, const char *name, size_t length)
{
    free(link->name);
    link->name = node_copy(name, length);
    if (!link->name)
        return node_out_of_memory(link);
    // The name goes on one comment line: no control byte may break it.
    for (size_t i = 0; i < length; i++)
        if ((unsigned char)link->name[i] < 0x20 || link->name[i] == 0x7f)
            link->name[i] = ' ';
    return 0;
}

NodeText::NodeText() : data(NULL), length(0), capacity(0) {}

NodeText::~NodeText()
{
    text_release(this);
}

void text_release(NodeText *text)
{
    free(text->data);
    text->data = NULL;
    text->length = text->capacity = 0;
}

int text_append(NodeText *text, const char *data, size_t length)
{
    if (text->length + length + 1 > text->capacity) {
        size_t capacity = text->capacity ? text->capacity : 256;
        while (capacity < text->length + length + 1)
            capacity *= 2;
        if (text_reserve(text, capacity) != 0)
            return -1;
    }
    memcpy(text->data + text->length, data, length);
    text->length += length;
    text->data[text->length] = '\0';
    return 0;
}

int text_reserve(NodeText *text, size_t size)
{
    if (size <= text->capacity)
        return 0;
    char *grown = (char *)realloc(text->data, size);
    if (!grown)
        return -1;
    text->data = grown;
    text->capacity = size;
    return 0;
}

int text_append_base64(NodeText *text, const void *data, size_t length, bool url_safe)
{
    if (text_reserve(text, text->length + length / 3 * 4 + 5) != 0)
        return -1;
    text->length += encode_base64((const unsigned char *)data, length, text->data + text->length, url_safe);
    return 0;
}

int text_append_str(NodeText *text, const char *data)
{
    return text_append(text, data, strlen(data));
}

int text_printf(NodeText *text, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int n = vsnprintf(NULL, 0, format, args);
    va_end(args);
    // Grow first, then print in place.
    if (n < 0 || text_append(text, "", 0) != 0 || text_reserve(text, text->length + (size_t)n + 1) != 0)
        return -1;
    va_start(args, format);
    vsnprintf(text->data + text->length, (size_t)n + 1, format, args);
    va_end(args);
    text->length += (size_t)n;
    return 0;
}

int text_append_percent(NodeText *text, const char *data)
{
    static const char HEX[] = "0123456789ABCDEF";
    for (const char *p = data; *p; p++) {
        unsigned char c = (unsigned char)*p;
        bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || strchr("-._~", c);
        char escaped[3] = {'%', HEX[c >> 4], HEX[c & 15]};
        if ((plain ? text_append(text, p, 1) : text_append(text, escaped, 3)) != 0)
            return -1;
    }
    return 0;
}

size_t link_percent_decode(char *text, size_t length)
{
    char *percent = (char *)memchr(text, '%', length);
    if (!percent)
        return length; // the usual case: nothing to decode
    size_t out = (size_t)(percent - text);
    for (size_t i = out; i < length; i++) {
        int high = text[i] == '%' && i + 2 < length ? v2ray_hex(text[i + 1]) : -1;
        int low = high >= 0 ? v2ray_hex(text[i + 2]) : -1;
        if (low >= 0) {
            text[out++] = (char)(high * 16 + low);
            i += 2;
        } else {
            text[out++] = text[i];
        }
    }
    text[out] = '\0';
    return out;
}

char *link_unbase64(NodeLink *link, const char *text, size_t length, long *decoded)
{
    char *out = (char *)malloc(length * 3 / 4 + 4);
    if (!out) {
        node_out_of_memory(link);
        return NULL;
    }
    *decoded = decode_base64_strict(text, length, (unsigned char *)out);
    if (*decoded < 0) {
        free(out);
        return NULL;
    }
    return out;
}

char *link_take_remark(NodeLink *link, char *text)
{
    char *hash = strchr(text, '#');
    if (hash) {
        *hash++ = '\0';
        if (node_set_name(link, hash, link_percent_decode(hash, strlen(hash))) != 0)
            return NULL; // a node that lost its name would import as another
    }
    return text;
}

char *link_split(NodeLink *link, char *text, LinkQuery *query, char **user)
{
    if (!link_take_remark(link, text))
        return NULL;
    char *question = strchr(text, '?');
    if (question)
        *question++ = '\0';
    if (link_query_parse(link, query, question) != 0)
        return NULL;
    char *at = strrchr(text, '@');
    char *authority = at ? at + 1 : text;
    authority[strcspn(authority, "/")] = '\0';
    if (at)
        *at = '\0';
    *user = at ? text : NULL;
    return authority;
}

int link_refuse_xray_only(NodeLink *link, const char *what, const char *name)
{
    return node_refuse(link,
                       "%s %s cannot be carried by the V2Ray/Xray document (tarvick-node import --xray takes it for "
                       "tarvick-node xray)",
                       what, name);
}

int link_query_parse(NodeLink *link, LinkQuery *query, char *text)
{
    query->count = 0;
    while (text && *text) {
        char *next = strchr(text, '&');
        if (next)
            *next++ = '\0';
        if (*text) {
            if (query->count == LINK_PARAM_MAX)
                return node_refuse(link, "more than %d parameters", LINK_PARAM_MAX);
            LinkParam *param = &query->params[query->count++];
            char *equals = strchr(text, '=');
            if (equals)
                *equals++ = '\0';
            size_t name_length = link_percent_decode(text, strlen(text));
            param->name = text;
            // Panels write extra's JSON form-encoded (Marzban's urlencode,
            // 3x-ui's URLSearchParams), and every client's query reader
            // takes its "+" for a space.
            if (equals && strcmp(text, "extra") == 0)
                for (char *plus = strchr(equals, '+'); plus; plus = strchr(plus, '+'))
                    *plus = ' ';
            param->value = equals ? equals : "";
            param->length = equals ? link_percent_decode(equals, strlen(equals)) : 0;
            param->used = false;
            // Values are used as text: a NUL would cut one short unseen.
            if (name_length != strlen(text) || param->length != strlen(param->value))
                return node_refuse(link, "parameter %s holds a NUL byte", text);
        }
        text = next;
    }
    return 0;
}

const char *link_query_get(LinkQuery *query, const char *name)
{
    const char *value = "";
    for (int i = 0; i < query->count; i++)
        if (query->params[i].name[0] == name[0] && strcmp(query->params[i].name, name) == 0) {
            query->params[i].used = true;
            value = query->params[i].value; // the last one counts, as in browsers
        }
    return value;
}

void link_query_warn_unused(NodeLink *link, const LinkQuery *query, const char *document)
{
    for (int i = 0; i < query->count; i++)
        if (!query->params[i].used)
            node_warn(link, "parameter %s dropped: the %s document has no place for it", query->params[i].name,
                      document);
}

size_t text_put_number(char *out, unsigned long value)
{
    char reversed[24];
    size_t n = 0;
    do
        reversed[n++] = (char)('0' + value % 10);
    while ((value /= 10) > 0);
    for (size_t i = 0; i < n; i++)
        out[i] = reversed[n - 1 - i];
    out[n] = '\0';
    return n;
}

int link_port(const char *text)
{
    if (!*text || strlen(text) > 5)
        return -1;
    int port = 0;
    for (const char *p = text; *p; p++) {
        if (*p < '0' || *p > '9')
            return -1;
        port = port * 10 + (*p - '0');
    }
    return port >= 1 && port <= 65535 ? port : -1;
}

bool link_host_valid(const char *host)
{
    if (strchr(host, ':')) // IPv6, which links write in brackets
        return strspn(host, "0123456789abcdefABCDEF:.") == strlen(host);
    // A blank or control byte, or one of "#%/?@[\\]: a bit each, from the blank
    // up, instead of a search of the set for every byte of the host. A "%"
    // would be read back as an escape.
    const unsigned long long BAD = 1ULL << ('"' - ' ') | 1ULL << ('#' - ' ') | 1ULL << ('%' - ' ') |
                                   1ULL << ('/' - ' ') | 1ULL << ('?' - ' ') | 1ULL << ('@' - ' ') |
                                   1ULL << ('[' - ' ') | 1ULL << ('\\' - ' ') | 1ULL << (']' - ' ') | 1;
    for (const unsigned char *p = (const unsigned char *)host; *p; p++)
        if (*p < ' ' || *p == 0x7f || (*p < ' ' + 64 && (BAD >> (*p - ' ') & 1)))
            return false;
    return host[0] != '\0';
}

int link_set_address(NodeLink *link, const char *host, const char *port_text)
{
    if (!link_host_valid(host))
        return node_refuse(link, "bad host");
    int port = link_port(port_text);
    if (port < 0)
        return node_refuse(link, "bad port '%s' (1 to 65535)", port_text);
    char digits[8]; // as every scheme stores it: no leading zeros
    text_put_number(digits, (unsigned long)port);
    return node_set_text(link, "server", host) != 0 || node_set_text(link, "port", digits) != 0 ? -1 : 0;
}

int link_set_server(NodeLink *link, char *text)
{
    char *colon, *host;
    if (text[0] == '[') {
        char *close = strchr(text, ']');
        if (!close || close[1] != ':')
            return node_refuse(link, "bad IPv6 host (it must stand in brackets, then a port)");
        *close = '\0';
        colon = close + 1;
        host = text + 1;
        if (!strchr(host, ':') || !link_host_valid(host))
            return node_refuse(link, "bad IPv6 host");
    } else {
        colon = strrchr(text, ':');
        if (!colon)
            return node_refuse(link, "no port");
        *colon = '\0';
        host = text;
        if (strchr(host, ':'))
            return node_refuse(link, "bad host (IPv6 must stand in brackets)");
    }
    if (*host == '\0')
        return node_refuse(link, "no host");
    // The clients' URL readers decode an escape in a host only for a byte
    // beyond ASCII (a name in UTF-8), and refuse the link for any other.
    if (char *percent = strchr(host, '%')) {
        for (char *p = percent; *p; p++) {
            int high = *p == '%' ? v2ray_hex(p[1]) : -1, low = high >= 0 ? v2ray_hex(p[2]) : -1;
            if (*p == '%' && (low < 0 || high < 8))
                return node_refuse(link, "bad host: %.3s is no escape a host may hold (only bytes beyond ASCII are "
                                         "written escaped)", p);
        }
        link_percent_decode(percent, strlen(percent));
    }
    return link_set_address(link, host, colon + 1);
}
