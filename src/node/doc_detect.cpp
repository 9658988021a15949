// Which kind of text import was given, told from its content, and the link
// each server of a document is carried as.
#include "doc.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

void doc_list_init(DocList *list)
{
    list->format = "";
    list->noun = "servers";
    list->noun_one = "server";
    list->count = 0;
    list->other_sections = false;
    list->other_what = "";
    list->refusal[0] = '\0';
}

int doc_list_refuse(DocList *list, int result, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vsnprintf(list->refusal, sizeof list->refusal, format, args);
    va_end(args);
    char shown[sizeof list->refusal];
    text_escape_controls(shown, sizeof shown, list->refusal);
    memcpy(list->refusal, shown, sizeof shown);
    return result;
}

void doc_server_init(DocServer *s)
{
    static const char *const EMPTY = "";
    const char **texts[] = {&s->name, &s->server, &s->port, &s->user, &s->method, &s->password, &s->username,
                            &s->plugin, &s->alter_id, &s->ssr_protocol, &s->ssr_protocol_param, &s->ssr_obfs,
                            &s->ssr_obfs_param, &s->encryption};
    for (const char **text : texts)
        *text = EMPTY;
    s->scheme = "";
    memset(&s->t, 0, sizeof s->t);
    for (size_t i = 0; i < LINK_QUERY_FIELD_COUNT; i++)
        link_transport_member(&s->t, LINK_QUERY_FIELDS[i].offset) = EMPTY;
    s->t.verify = LINK_VERIFY_UNSAID;
    s->t.verify_said_by = "";
    s->param_count = 0;
    s->notes.length = 0;
    s->reason[0] = '\0';
    s->pool_used = 0;
}

const char *doc_keep(DocServer *s, const char *text, size_t length)
{
    if (s->pool_used + length + 1 > sizeof s->pool) {
        doc_refuse(s, "too long to be carried");
        return "";
    }
    char *kept = s->pool + s->pool_used;
    memcpy(kept, text, length);
    kept[length] = '\0';
    s->pool_used += length + 1;
    return kept;
}

const char *doc_keepf(DocServer *s, const char *format, ...)
{
    char text[2048];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (length < 0 || (size_t)length >= sizeof text) {
        doc_refuse(s, "too long to be carried");
        return "";
    }
    return doc_keep(s, text, (size_t)length);
}

int doc_refuse(DocServer *s, const char *format, ...)
{
    if (s->reason[0]) // the first reason stands
        return -1;
    va_list args;
    va_start(args, format);
    vsnprintf(s->reason, sizeof s->reason, format, args);
    va_end(args);
    return -1;
}

void doc_warn(DocServer *s, const char *format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    text_append_str(&s->notes, text);
    text_append_str(&s->notes, "\n");
}

void doc_param(DocServer *s, const char *name, const char *value)
{
    if (!value[0])
        return;
    if (s->param_count == DOC_PARAMS) {
        doc_refuse(s, "too many parameters");
        return;
    }
    s->params[s->param_count][0] = name;
    s->params[s->param_count][1] = value;
    s->param_count++;
}

void doc_object(DocObject *o, json_object *object, const char *where)
{
    o->object = json_object_is_type(object, json_type_object) ? object : NULL;
    o->where = where;
    o->seen_count = 0;
}

json_object *doc_member(DocObject *o, const char *name)
{
    json_object *value = NULL;
    if (!o->object || !json_object_object_get_ex(o->object, name, &value))
        return NULL;
    if (o->seen_count < DOC_OBJECT_SEEN)
        o->seen[o->seen_count++] = name;
    return json_object_is_type(value, json_type_null) ? NULL : value;
}

const char *doc_shown(json_object *value)
{
    return json_object_to_json_string_ext(value, JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
}

const char *doc_text(DocServer *s, DocObject *o, const char *name)
{
    json_object *value = doc_member(o, name);
    if (!value)
        return "";
    switch (json_object_get_type(value)) {
    case json_type_string: {
        const char *text = json_object_get_string(value);
        if (strlen(text) != (size_t)json_object_get_string_len(value)) {
            doc_refuse(s, "%s%s holds a NUL byte", o->where, name);
            return "";
        }
        return text;
    }
    case json_type_int:
    case json_type_boolean:
        return json_object_get_string(value);
    default:
        doc_refuse(s, "%s%s is %s, not a text or a whole number", o->where, name, doc_shown(value));
        return "";
    }
}

int doc_switch(DocServer *s, DocObject *o, const char *name)
{
    json_object *value = doc_member(o, name);
    if (!value)
        return -1;
    if (json_object_is_type(value, json_type_boolean))
        return json_object_get_boolean(value) ? 1 : 0;
    const char *text = json_object_is_type(value, json_type_string) ? json_object_get_string(value) : "";
    if (strcmp(text, "true") == 0 || strcmp(text, "1") == 0)
        return 1;
    if (strcmp(text, "false") == 0 || strcmp(text, "0") == 0)
        return 0;
    if (json_object_is_type(value, json_type_int))
        return json_object_get_int64(value) != 0;
    doc_refuse(s, "%s%s is %s, not true or false", o->where, name, doc_shown(value));
    return -1;
}

const char *doc_list_text(DocServer *s, DocObject *o, const char *name)
{
    json_object *value = doc_member(o, name);
    if (!value || !json_object_is_type(value, json_type_array))
        return value ? doc_text(s, o, name) : "";
    NodeText joined;
    for (size_t i = 0; i < json_object_array_length(value); i++) {
        json_object *item = json_object_array_get_idx(value, i);
        if (!json_object_is_type(item, json_type_string) && !json_object_is_type(item, json_type_int)) {
            doc_refuse(s, "%s%s holds %s, not a text", o->where, name, doc_shown(item));
            return "";
        }
        const char *text = json_object_get_string(item);
        if (strchr(text, ',')) {
            doc_refuse(s, "%s%s holds '%s', and a link separates its items with commas", o->where, name, text);
            return "";
        }
        if ((i > 0 && text_append_str(&joined, ",") != 0) || text_append_str(&joined, text) != 0) {
            doc_refuse(s, "out of memory");
            return "";
        }
    }
    return joined.length ? doc_keep(s, joined.data, joined.length) : "";
}

void doc_object_silent(DocObject *o, const char *const *names)
{
    for (; *names; names++)
        doc_member(o, *names);
}

void doc_object_done(DocServer *s, DocObject *o)
{
    if (!o->object)
        return;
    json_object_object_foreach(o->object, key, value)
    {
        (void)value;
        bool seen = false;
        for (int i = 0; i < o->seen_count && !seen; i++)
            seen = strcmp(o->seen[i], key) == 0;
        if (!seen)
            doc_warn(s, "%s%s dropped: tarvick-node does not read it", o->where, key);
    }
}

// Host of a headers mapping ("Host", a text or a list); any other header
// is sent and no link carries it.
const char *doc_headers_host_of(DocServer *s, DocObject *o)
{
    DocObject headers;
    doc_object(&headers, doc_member(o, "headers"), "headers.");
    if (!headers.object)
        doc_object(&headers, doc_member(o, "ws-headers"), "ws-headers.");
    const char *host = link_or_default(doc_list_text(s, &headers, "Host"), doc_list_text(s, &headers, "host"));
    if (headers.object) {
        json_object_object_foreach(headers.object, key, value)
        {
            (void)value;
            if (strcmp(key, "Host") != 0 && strcmp(key, "host") != 0)
                doc_refuse(s, "header %s cannot be carried by a link", key);
        }
    }
    return host;
}

namespace {

int doc_append_param(NodeText *out, bool *first, const char *name, const char *value)
{
    if (!value[0])
        return 0;
    int rc = text_append_str(out, *first ? "?" : "&") | text_append_str(out, name) | text_append_str(out, "=") |
             text_append_percent(out, value, strlen(value), NULL);
    *first = false;
    return rc;
}

// "user@host:port", the user percent-encoded.
int doc_append_authority(NodeText *out, const DocServer *s, const char *user)
{
    int rc = 0;
    if (user)
        rc |= text_append_percent(out, user, strlen(user), NULL) | text_append_str(out, "@");
    bool v6 = strchr(s->server, ':') != NULL;
    return rc | text_printf(out, v6 ? "[%s]:%s" : "%s:%s", s->server, s->port);
}

int doc_append_transport(NodeText *out, const DocServer *s, bool *first)
{
    int rc = 0;
    for (size_t i = 0; i < LINK_QUERY_FIELD_COUNT; i++) {
        LinkTransport t = s->t;
        rc |= doc_append_param(out, first, LINK_QUERY_FIELDS[i].param,
                               link_transport_member(&t, LINK_QUERY_FIELDS[i].offset));
    }
    if (s->t.verify == LINK_VERIFY_SKIP)
        rc |= doc_append_param(out, first, "allowInsecure", "1");
    return rc;
}

// The vmess link's JSON form.
int doc_append_vmess(NodeText *out, const DocServer *s)
{
    const LinkTransport &t = s->t;
    // The vmess form has no place for these; a vless link would.
    const struct {
        const char *value, *what;
    } NO_PLACE[] = {{t.authority, "a gRPC authority"}, {t.extra, "xhttp extra settings"}, {t.mldsa, "pqv"},
                    {t.ech, "an ECH configuration"}, {t.mask, "a final mask"}, {t.flow, "a flow"}};
    for (const auto &item : NO_PLACE)
        if (item.value[0])
            return -2;
    bool grpc = strcmp(t.network, "grpc") == 0, xhttp = strcmp(t.network, "xhttp") == 0;
    bool quic = strcmp(t.network, "quic") == 0, kcp = strcmp(t.network, "kcp") == 0;
    const char *fields[][2] = {
        {"v", "2"}, {"ps", s->name}, {"add", s->server}, {"port", s->port}, {"id", s->user},
        {"aid", link_or_default(s->alter_id, "0")}, {"scy", s->method}, {"net", link_or_default(t.network, "tcp")},
        {"type", grpc || xhttp ? t.mode : t.header}, {"host", quic ? t.quic_security : t.host},
        {"path", grpc ? t.service : kcp ? t.seed : quic ? t.quic_key : t.path}, {"tls", t.security},
        {"sni", t.sni}, {"fp", t.fingerprint}, {"alpn", t.alpn}, {"pbk", t.public_key}, {"sid", t.short_id},
        {"spx", t.spider}, {"pcs", t.pinned}, {"vcn", t.names},
        {"allowInsecure", t.verify == LINK_VERIFY_SKIP ? "1" : ""},
    };
    json_object *root = json_object_new_object();
    bool failed = !root;
    for (const auto &field : fields) {
        if (!field[1][0] && strcmp(field[0], "ps") != 0)
            continue;
        json_object *value = json_object_new_string(field[1]);
        failed = failed || !value || json_object_object_add(root, field[0], value) != 0;
    }
    size_t length = 0;
    const char *json = failed ? NULL
                              : json_object_to_json_string_length(
                                    root, JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE, &length);
    failed = !json || text_append_str(out, "vmess://") != 0 || text_append_base64(out, json, length, false) != 0;
    json_object_put(root);
    return failed ? -1 : 0;
}

int doc_append_link(NodeText *out, DocServer *s)
{
    const char *scheme = s->scheme;
    bool first = true;
    int rc = text_append_str(out, scheme) | text_append_str(out, "://");
    if (strcmp(scheme, "vmess") == 0) {
        out->length = 0;
        return doc_append_vmess(out, s);
    } else if (strcmp(scheme, "ss") == 0) {
        rc |= text_append_percent(out, s->method, strlen(s->method), NULL) | text_append_str(out, ":") |
              doc_append_authority(out, s, s->password) | text_append_str(out, "/");
        rc |= doc_append_param(out, &first, "plugin", s->plugin) | doc_append_transport(out, s, &first);
    } else if (strcmp(scheme, "ssr") == 0) {
        NodeText plain;
        rc |= doc_append_authority(&plain, s, NULL);
        const char *parts[] = {s->ssr_protocol, s->method, s->ssr_obfs};
        for (const char *part : parts)
            rc |= text_append_str(&plain, ":") | text_append_str(&plain, part);
        rc |= text_append_str(&plain, ":") | text_append_base64(&plain, s->password, strlen(s->password), true);
        const char *query[][2] = {{"obfsparam", s->ssr_obfs_param}, {"protoparam", s->ssr_protocol_param},
                                  {"remarks", s->name}};
        for (size_t i = 0; i < 3; i++)
            rc |= text_append_str(&plain, i ? "&" : "/?") | text_append_str(&plain, query[i][0]) |
                  text_append_str(&plain, "=") | text_append_base64(&plain, query[i][1], strlen(query[i][1]), true);
        return rc | text_append_base64(out, plain.data, plain.length, true);
    } else if (strcmp(scheme, "vless") == 0 || strcmp(scheme, "trojan") == 0) {
        rc |= doc_append_authority(out, s, s->user);
        if (strcmp(scheme, "vless") == 0)
            rc |= doc_append_param(out, &first, "encryption", link_or_default(s->encryption, "none"));
        rc |= doc_append_transport(out, s, &first);
    } else if (strcmp(scheme, "socks") == 0) {
        if (s->username[0] || s->password[0]) {
            NodeText user;
            rc |= text_printf(&user, "%s:%s", s->username, s->password) |
                  text_append_base64(out, user.data, user.length, false) | text_append_str(out, "@");
        }
        rc |= doc_append_authority(out, s, NULL);
    } else if (strcmp(scheme, "http") == 0) {
        if (s->username[0] || s->password[0])
            rc |= text_append_percent(out, s->username, strlen(s->username), NULL) | text_append_str(out, ":") |
                  text_append_percent(out, s->password, strlen(s->password), NULL) | text_append_str(out, "@");
        rc |= doc_append_authority(out, s, NULL);
    } else { // hysteria2, wireguard: their parameters as given
        rc |= doc_append_authority(out, s, s->user) | text_append_str(out, "/");
        for (int i = 0; i < s->param_count; i++)
            rc |= doc_append_param(out, &first, s->params[i][0], s->params[i][1]);
    }
    if (s->name[0])
        rc |= text_append_str(out, "#") | text_append_percent(out, s->name, strlen(s->name), NULL);
    return rc;
}

int doc_list_put(DocList *list, char kind, const char *name, const char *text, size_t length, const NodeText *notes)
{
    char kinds[2] = {kind, '\0'};
    return text_append(&list->entries, kinds, 2) | text_append(&list->entries, name, strlen(name) + 1) |
           text_append(&list->entries, text, length) | text_append(&list->entries, "", 1) |
           text_append(&list->entries, notes->data ? notes->data : "", notes->length) |
           text_append(&list->entries, "", 1);
}

} // namespace

int doc_list_add(DocList *list, DocServer *s)
{
    list->count++;
    NodeText link;
    // A host the link could not hold as it is would be read as another.
    if (!s->reason[0] && !s->server[0])
        doc_refuse(s, "no server");
    else if (!s->reason[0] && !link_host_valid(s->server))
        doc_refuse(s, "bad server '%s'", s->server);
    else if (!s->reason[0] && link_port(s->port) < 0)
        doc_refuse(s, "bad port '%s' (1 to 65535)", s->port);
    int rc = s->reason[0] ? 0 : doc_append_link(&link, s);
    if (rc == -2)
        doc_refuse(s, "a vmess link cannot carry its %s", s->t.flow[0] ? "flow" : "transport's extra settings");
    else if (rc != 0)
        doc_refuse(s, "out of memory");
    if (s->reason[0]) {
        char shown[sizeof s->reason];
        size_t length = text_escape_controls(shown, sizeof shown, s->reason);
        return doc_list_put(list, 'R', s->name, shown, length, &s->notes);
    }
    return doc_list_put(list, 'L', s->name, link.data, link.length, &s->notes);
}

namespace {

// "scheme://" as links begin: a letter, then letters, digits, "+", "-", ".".
bool doc_is_link(const char *line, const char *end)
{
    const char *p = line;
    if (p >= end || !((*p | 32) >= 'a' && (*p | 32) <= 'z'))
        return false;
    while (p < end && (((*p | 32) >= 'a' && (*p | 32) <= 'z') || (*p >= '0' && *p <= '9') || strchr("+-.", *p)))
        p++;
    return end - p >= 3 && memcmp(p, "://", 3) == 0;
}

// The next line that is neither blank nor a "#" comment, without its blanks.
const char *doc_next_line(const char *p, const char *end, const char **stop)
{
    while (p < end) {
        const char *newline = (const char *)memchr(p, '\n', (size_t)(end - p));
        const char *line_end = newline ? newline : end;
        while (p < line_end && (*p == ' ' || *p == '\t' || *p == '\r'))
            p++;
        const char *e = line_end;
        while (e > p && (e[-1] == ' ' || e[-1] == '\t' || e[-1] == '\r'))
            e--;
        if (p < e && *p != '#') {
            *stop = e;
            return p;
        }
        p = newline ? newline + 1 : end;
    }
    return NULL;
}

bool doc_line_is(const char *line, const char *stop, const char *word)
{
    return (size_t)(stop - line) == strlen(word) && strncasecmp(line, word, strlen(word)) == 0;
}

// How an unknown text begins, for the refusal: its first line, cut short.
void doc_describe(DocList *list, const char *line, const char *stop, const char *what)
{
    int shown = stop - line > 40 ? 40 : (int)(stop - line);
    doc_list_refuse(list, DOC_REFUSED, "%s, not a subscription: it begins \"%.*s%s\"", what, shown, line,
                    stop - line > 40 ? "..." : "");
}

int doc_read_json_text(const char *text, size_t length, DocList *list)
{
    // Deeper than any subscription nests; more is refused, never recursed into.
    json_tokener *tokener = json_tokener_new_ex(32);
    if (!tokener)
        return doc_list_refuse(list, DOC_BROKEN, "out of memory");
    json_object *root = json_tokener_parse_ex(tokener, text, (int)length);
    enum json_tokener_error error = json_tokener_get_error(tokener);
    size_t offset = json_tokener_get_parse_end(tokener);
    json_tokener_free(tokener);
    while (root && offset < length && strchr(" \t\r\n", text[offset]))
        offset++;
    if (!root || offset < length) {
        int line = 1;
        for (size_t i = 0; i < offset && i < length; i++)
            line += text[i] == '\n';
        json_object_put(root);
        return doc_list_refuse(list, DOC_BROKEN, "broken JSON at line %d: %s", line,
                               !root && error == json_tokener_continue ? "it ends too early"
                               : root                                  ? "more after the end of the document"
                                                                       : json_tokener_error_desc(error));
    }
    int rc = doc_read_json(root, list);
    json_object_put(root);
    return rc;
}

} // namespace

int doc_detect_and_read(const char *text, size_t length, DocList *list)
{
    const char *end = text + length, *stop;
    const char *line = doc_next_line(text, end, &stop);
    if (!line || doc_is_link(line, stop))
        return DOC_LINKS;
    if (doc_line_is(line, stop, "[Interface]") || doc_line_is(line, stop, "[Peer]"))
        return doc_read_wireguard(text, length, list);
    if (*line == '{' || *line == '[')
        return doc_read_json_text(text, length, list);
    // A text that holds links after a line of its own (a provider's status
    // line, say) is read as import has always read it.
    for (const char *p = line, *e; (p = doc_next_line(p, end, &e)); p = e)
        if (doc_is_link(p, e))
            return DOC_LINKS;
    if (*line == '<')
        return doc_describe(list, line, stop, strncasecmp(line, "<!doctype html", 14) == 0 ||
                                                      strncasecmp(line, "<html", 5) == 0
                                                  ? "an HTML page"
                                                  : "markup"),
               DOC_REFUSED;
    // Text that is no YAML mapping either (a provider's one-line message)
    // is read line by line, as import has always read it.
    int rc = doc_read_mihomo(text, length, list);
    return rc == DOC_REFUSED && !list->refusal[0] ? DOC_LINKS : rc;
}
