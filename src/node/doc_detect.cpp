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
    doc_list_name(list, "", "servers", "server", "");
    list->count = 0;
    list->other_sections = false;
    list->refusal[0] = '\0';
}

void doc_list_name(DocList *list, const char *format, const char *noun, const char *noun_one, const char *other_what)
{
    list->format = format;
    list->noun = noun;
    list->noun_one = noun_one;
    list->other_what = other_what;
}

int doc_list_refuse(DocList *list, int result, const char *format, ...)
{
    char plain[sizeof list->refusal];
    va_list args;
    va_start(args, format);
    vsnprintf(plain, sizeof plain, format, args);
    va_end(args);
    text_escape_controls(list->refusal, sizeof list->refusal, plain);
    return result;
}

DocServer *doc_server_new(const char *scheme)
{
    static const char *const EMPTY = "";
    DocServer *s = (DocServer *)malloc(sizeof *s);
    if (!s)
        return NULL;
    for (const char **text = &s->name; text <= &s->protocol; text++)
        *text = EMPTY;
    s->scheme = scheme;
    link_transport_clear(&s->t);
    s->param_count = 0;
    // The record is malloc'd, its notes never constructed.
    s->notes.data = NULL;
    s->notes.length = s->notes.capacity = 0;
    s->reason[0] = '\0';
    s->pool_used = 0;
    return s;
}

int doc_list_no_memory(DocList *list)
{
    return doc_list_refuse(list, DOC_BROKEN, "out of memory");
}

void doc_server_free(DocServer *s)
{
    text_release(&s->notes);
    free(s);
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
    text_printf(&s->notes, "%s\n", text);
}

namespace {

const char *const DOC_OWN[] = {"@name", "@server", "@port", "@user", "@method", "@password", "@username",
                               "@plugin", "@aid", "@encryption", "@protocol"};

const char **doc_slot(DocServer *s, const char *param, bool make)
{
    for (size_t i = 0; i < sizeof DOC_OWN / sizeof DOC_OWN[0]; i++)
        if (strcmp(DOC_OWN[i], param) == 0)
            return &s->name + i;
    for (size_t i = 0; i < LINK_QUERY_FIELD_COUNT; i++)
        if (strcmp(LINK_QUERY_FIELDS[i].param, param) == 0)
            return &link_transport_member(&s->t, LINK_QUERY_FIELDS[i].offset);
    for (int i = 0; i < s->param_count; i++)
        if (strcmp(s->params[i][0], param) == 0)
            return &s->params[i][1];
    if (!make)
        return NULL;
    if (s->param_count == DOC_PARAMS) {
        doc_refuse(s, "too many parameters");
        return NULL;
    }
    s->params[s->param_count][0] = param;
    s->params[s->param_count][1] = "";
    return &s->params[s->param_count++][1];
}

} // namespace

void doc_set(DocServer *s, const char *param, const char *value, bool append)
{
    const char **slot = value && value[0] ? doc_slot(s, param, true) : NULL;
    if (slot && (!(*slot)[0] || append))
        *slot = (*slot)[0] ? doc_keepf(s, "%s,%s", *slot, value) : value;
}

const char *doc_get(DocServer *s, const char *param)
{
    const char **slot = doc_slot(s, param, false);
    return slot ? *slot : "";
}

json_object *doc_member(json_object *object, const char *name)
{
    json_object *value = NULL;
    json_object_object_get_ex(object, name, &value);
    return json_object_is_type(value, json_type_null) ? NULL : value;
}

const char *doc_shown(json_object *value)
{
    return json_object_to_json_string_ext(value, JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
}

void doc_set_extra(DocServer *s, json_object *extra)
{
    if (json_object_object_length(extra))
        doc_set(s, "extra", doc_keep(s, doc_shown(extra), strlen(doc_shown(extra))));
    json_object_put(extra);
}

const char *doc_scheme(const char *const (*rows)[2], const char *name)
{
    for (; rows[0][0]; rows++)
        if (strcmp(rows[0][0], name) == 0)
            return rows[0][1];
    return "";
}

void doc_endpoint(DocServer *s, const char *name, const char *endpoint)
{
    const char *colon = strrchr(endpoint, ':');
    if (!colon)
        doc_refuse(s, "%s %s is not host:port", name, endpoint);
    bool v6 = endpoint[0] == '[' && colon > endpoint && colon[-1] == ']';
    s->server = colon ? doc_keep(s, endpoint + v6, (size_t)(colon - endpoint) - 2 * v6) : "";
    s->port = colon ? colon + 1 : "";
}

bool doc_all_ips(char *ips)
{
    size_t w = 0;
    for (const char *p = ips; *p; p++)
        if (*p != ' ')
            ips[w++] = *p;
    if (*ips) // "" may be the full pool's, not to be written
        ips[w] = '\0';
    return !strcmp(ips, "0.0.0.0/0,::/0") || !strcmp(ips, "0.0.0.0/0") || !strcmp(ips, "::/0,0.0.0.0/0");
}

bool doc_line_is(const char *line, const char *stop, const char *word)
{
    return (size_t)(stop - line) == strlen(word) && strncasecmp(line, word, strlen(word)) == 0;
}

namespace {

const char *doc_value_text(DocServer *s, const char *where, const char *name, json_object *value)
{
    switch (json_object_get_type(value)) {
    case json_type_null:
        return "";
    case json_type_string:
        if (strlen(json_object_get_string(value)) != (size_t)json_object_get_string_len(value))
            return doc_refuse(s, "%s%s holds a NUL byte", where, name), "";
        [[fallthrough]];
    case json_type_int:
    case json_type_boolean:
        return json_object_get_string(value);
    default:
        doc_refuse(s, "%s%s is %s, not a text or a whole number", where, name, doc_shown(value));
        return "";
    }
}

int doc_value_switch(DocServer *s, const char *where, const char *name, json_object *value)
{
    const char *text = json_object_is_type(value, json_type_double) ? "" : json_object_get_string(value);
    if (!value)
        return -1;
    if (!strcmp(text, "true") || !strcmp(text, "1"))
        return 1;
    if (!strcmp(text, "false") || !strcmp(text, "0"))
        return 0;
    if (json_object_is_type(value, json_type_int))
        return json_object_get_int64(value) != 0;
    doc_refuse(s, "%s%s is %s, not true or false", where, name, doc_shown(value));
    return -1;
}

// A list of texts (or one text) joined with commas.
const char *doc_value_list(DocServer *s, const char *where, const char *name, json_object *value)
{
    if (!json_object_is_type(value, json_type_array))
        return doc_value_text(s, where, name, value);
    const char *joined = "";
    for (size_t i = 0; i < json_object_array_length(value); i++) {
        json_object *item = json_object_array_get_idx(value, i);
        const char *text = json_object_get_string(item);
        if (!json_object_is_type(item, json_type_string) && !json_object_is_type(item, json_type_int))
            doc_refuse(s, "%s%s holds %s, not a text", where, name, doc_shown(item));
        else if (strchr(text, ','))
            doc_refuse(s, "%s%s holds '%s', and a link separates its items with commas", where, name, text);
        else
            joined = doc_keepf(s, "%s%s%s", joined, i ? "," : "", text);
    }
    return joined;
}

void doc_field(DocServer *s, char kind, const char *to, const char *where, const char *name, json_object *value,
               const char *const *tables)
{
    char inner[64];
    snprintf(inner, sizeof inner, "%s.", name);
    switch (kind) {
    case ':':
        doc_set(s, to, doc_value_text(s, where, name, value));
        break;
    case ',':
        doc_set(s, to, doc_value_list(s, where, name, value), true);
        break;
    case '?': {
        int insecure = doc_value_switch(s, where, name, value);
        if (insecure >= 0)
            s->t.verify = insecure ? LINK_VERIFY_SKIP : LINK_VERIFY_ASKED;
        break;
    }
    case '!':
        if (json_object_is_type(value, json_type_object) ? json_object_object_length(value) > 0
            : json_object_is_type(value, json_type_boolean) || json_object_is_type(value, json_type_int)
                ? json_object_get_int64(value) != 0
                : json_object_get_string_len(value) > 0 || json_object_is_type(value, json_type_array))
            doc_refuse(s, "%s%s cannot be carried by a link", to[0] ? "" : where, to[0] ? to : name);
        break;
    case '=': {
        size_t count = json_object_is_type(value, json_type_array) ? json_object_array_length(value) : 0;
        if (count == 0)
            doc_refuse(s, "%s%s is %s, not a list of one", where, name, doc_shown(value));
        else if (count > 1)
            doc_refuse(s, "%s%s lists %zu, and a node is one server", where, name, count);
        if (count != 1)
            break;
        value = json_object_array_get_idx(value, 0);
        [[fallthrough]];
    }
    case '>':
        doc_fields(s, value, inner, tables[atoi(to)], tables);
        break;
    case '~': {
        if (!json_object_is_type(value, json_type_object)) {
            doc_refuse(s, "%s%s is %s, not a mapping", where, name, doc_shown(value));
            break;
        }
        json_object_object_foreach(value, key, header)
        {
            if (strcasecmp(key, "host") == 0)
                doc_set(s, "host", doc_value_list(s, where, key, header));
            else
                doc_refuse(s, "header %s cannot be carried by a link", key);
        }
        break;
    }
    case '^':
        doc_endpoint(s, name, doc_value_text(s, where, name, value));
        break;
    case '*': {
        const char *listed = doc_value_list(s, where, name, value);
        char *all = (char *)doc_keep(s, listed, strlen(listed));
        if (!doc_all_ips(all) && all[0])
            doc_refuse(s, DOC_NOT_ALL_IPS, where, name, all);
        break;
    }
    }
}

} // namespace

void doc_fields(DocServer *s, json_object *object, const char *where, const char *table, const char *const *tables)
{
    if (!object)
        return;
    if (!json_object_is_type(object, json_type_object)) {
        doc_refuse(s, "%.*s is %s, not a mapping", (int)strlen(where) - 1, where, doc_shown(object));
        return;
    }
    json_object_object_foreach(object, key, value)
    {
        size_t length = strlen(key), n = 0;
        const char *row = table, *end = NULL;
        for (; *row; row = end + 1) {
            end = strchr(row, ';');
            n = strcspn(row, ":,?!>=~^*;");
            if ((n == length && memcmp(row, key, n) == 0) || (n == 3 && memcmp(row, "...", 3) == 0))
                break;
        }
        if (!*row) {
            doc_warn(s, "%s%s dropped: tarvick-node does not read it", where, key);
            continue;
        }
        const char *to = doc_keep(s, row + n + 1, row[n] == ';' ? 0 : (size_t)(end - row - n - 1));
        if (value)
            doc_field(s, row[n], to, where, key, value, tables);
    }
}

const char *doc_text(DocServer *s, json_object *object, const char *where, const char *name)
{
    return doc_value_text(s, where, name, doc_member(object, name));
}

int doc_switch(DocServer *s, json_object *object, const char *where, const char *name)
{
    return doc_value_switch(s, where, name, doc_member(object, name));
}

void doc_early_data(DocServer *s, json_object *object, const char *where, const char *size_name,
                    const char *header_name)
{
    const char *early = doc_text(s, object, where, size_name), *header = doc_text(s, object, where, header_name);
    if (!early[0] || !strcmp(early, "0"))
        return;
    if (strcmp(header, "Sec-WebSocket-Protocol"))
        doc_refuse(s, "%s%s %s cannot be carried by a link (Xray sends early data in Sec-WebSocket-Protocol)", where,
                   header_name, header[0] ? header : "(none)");
    s->t.path = doc_keepf(s, "%s%sed=%s", s->t.path, strchr(s->t.path, '?') ? "&" : "?", early);
}

namespace {

// "?name=value" or "&name=value": the link's only "?" begins its query (the
// user is percent-encoded, the host holds none).
int doc_append_param(NodeText *out, const char *name, const char *value)
{
    if (!value[0])
        return 0;
    bool first = !out->length || !memchr(out->data, '?', out->length);
    return text_printf(out, "%s%s=", first ? "?" : "&", name) | text_append_percent(out, value);
}

// "user@host:port", the user percent-encoded.
int doc_append_authority(NodeText *out, const DocServer *s, const char *user)
{
    int rc = 0;
    if (user)
        rc |= text_append_percent(out, user) | text_append_str(out, "@");
    bool v6 = strchr(s->server, ':') != NULL;
    return rc | text_printf(out, v6 ? "[%s]:%s" : "%s:%s", s->server, s->port);
}

// The transport's parameters and any others; hysteria2 links name TLS their
// own way and have no security or network.
int doc_append_query(NodeText *out, DocServer *s)
{
    static const char *const HYSTERIA_NAMES[][2] = {{"security", ""}, {"type", ""}, {"pcs", "pinSHA256"}};
    bool hysteria = strcmp(s->scheme, "hysteria2") == 0;
    int rc = 0;
    for (size_t i = 0; i < LINK_QUERY_FIELD_COUNT; i++) {
        const char *name = LINK_QUERY_FIELDS[i].param;
        for (const auto &row : HYSTERIA_NAMES)
            if (hysteria && strcmp(row[0], name) == 0)
                name = row[1];
        if (name[0])
            rc |= doc_append_param(out, name, link_transport_member(&s->t, LINK_QUERY_FIELDS[i].offset));
    }
    if (s->t.verify == LINK_VERIFY_SKIP)
        rc |= doc_append_param(out, hysteria ? "insecure" : "allowInsecure", "1");
    for (int i = 0; i < s->param_count; i++)
        rc |= doc_append_param(out, s->params[i][0], s->params[i][1]);
    return rc;
}

// The vmess link's JSON form: each member from its link field, by the
// network where the form gives one member more than one meaning.
int doc_append_vmess(NodeText *out, DocServer *s)
{
    const LinkTransport &t = s->t;
    const char *network = link_or_default(t.network, "tcp");
    bool grpc = !strcmp(network, "grpc"), xhttp = !strcmp(network, "xhttp"), quic = !strcmp(network, "quic");
    bool kcp = !strcmp(network, "kcp");
    const char *values[] = {
        /* v */ "2", /* ps */ s->name, /* add */ s->server, /* port */ s->port, /* id */ s->user,
        /* aid */ link_or_default(s->alter_id, "0"), /* scy */ s->method, /* net */ network,
        /* type */ grpc || xhttp ? t.mode : t.header, /* host */ quic ? t.quic_security : t.host,
        /* path */ grpc ? t.service : kcp ? t.seed : quic ? t.quic_key : t.path, /* tls */ t.security,
        /* sni */ t.sni, /* fp */ t.fingerprint, /* alpn */ t.alpn, /* pbk */ t.public_key, /* sid */ t.short_id,
        /* spx */ t.spider, /* pcs */ t.pinned, /* vcn */ t.names,
        /* allowInsecure */ t.verify == LINK_VERIFY_SKIP ? "1" : "", /* extra */ "", // refused below
    };
    static_assert(sizeof values / sizeof values[0] == VMESS_MEMBER_COUNT, "one value for each member");
    // What the form has no member for; a vless link would carry it.
    const char *no_place[][2] = {{t.authority, "authority"}, {t.extra, "transport's extra settings"},
                                 {t.mldsa, "pqv"}, {t.ech, "ECH configuration"}, {t.mask, "final mask"},
                                 {t.flow, "flow"}, {s->param_count ? s->params[0][1] : "", s->params[0][0]}};
    for (const auto &item : no_place)
        if (item[0][0])
            return doc_refuse(s, "a vmess link cannot carry its %s", item[1]), 0;
    return link_append_vmess(out, values, 2); // v and ps always
}

int doc_append_link(NodeText *out, DocServer *s)
{
    const char *scheme = s->scheme;
    if (strcmp(scheme, "vmess") == 0)
        return doc_append_vmess(out, s);
    int rc = text_printf(out, "%s://", scheme);
    if (strcmp(scheme, "ssr") == 0) {
        NodeText plain;
        rc |= doc_append_authority(&plain, s, NULL) |
              text_printf(&plain, ":%s:%s:%s:", s->protocol, s->method, doc_get(s, "obfs"));
        const char *fields[][2] = {{"", s->password}, {"/?obfsparam=", doc_get(s, "obfsparam")},
                                   {"&protoparam=", doc_get(s, "protoparam")}, {"&remarks=", s->name}};
        for (const auto &field : fields)
            rc |= text_append_str(&plain, field[0]) | text_append_base64(&plain, field[1], strlen(field[1]), true);
        return rc | text_append_base64(out, plain.data, plain.length, true);
    } else { // user@host:port, then (but for socks and http) the query
        bool ss = strcmp(scheme, "ss") == 0, vless = strcmp(scheme, "vless") == 0;
        bool socks = strcmp(scheme, "socks") == 0, http = strcmp(scheme, "http") == 0;
        bool proxy_user = s->username[0] || s->password[0];
        const char *user = socks || http ? NULL : link_or_default(s->user, s->password);
        if (socks && proxy_user) {
            NodeText plain;
            rc |= text_printf(&plain, "%s:%s", s->username, s->password) |
                  text_append_base64(out, plain.data, plain.length, false) | text_append_str(out, "@");
        }
        if (ss || (http && proxy_user)) { // the method or user, then the password
            rc |= text_append_percent(out, ss ? s->method : s->username) | text_append_str(out, ":");
            user = s->password;
        }
        rc |= doc_append_authority(out, s, user);
        if (!socks && !http) {
            if (!vless && strcmp(scheme, "trojan") != 0)
                rc |= text_append_str(out, "/");
            if (ss)
                rc |= doc_append_param(out, "plugin", s->plugin);
            if (vless)
                rc |= doc_append_param(out, "encryption", link_or_default(s->encryption, "none"));
            rc |= doc_append_query(out, s);
        }
    }
    if (s->name[0])
        rc |= text_append_str(out, "#") | text_append_percent(out, s->name);
    return rc;
}

} // namespace

int doc_list_add(DocList *list, DocServer *s)
{
    list->count++;
    NodeText link;
    // A host the link could not hold as it is would be read as another.
    // A server without a scheme was refused, and the first reason stands.
    if (!s->server[0])
        doc_refuse(s, "no server");
    else if (!link_host_valid(s->server))
        doc_refuse(s, "bad server '%s'", s->server);
    else if (link_port(s->port) < 0)
        doc_refuse(s, "bad port '%s' (1 to 65535)", s->port);
    if (!s->reason[0] && doc_append_link(&link, s) != 0)
        doc_refuse(s, "out of memory");
    char shown[sizeof s->reason];
    bool refused = s->reason[0];
    size_t length = refused ? text_escape_controls(shown, sizeof shown, s->reason) : link.length;
    // The entry as doc.h packs it, each text ended by a NUL.
    int rc = text_append(&list->entries, refused ? "R" : "L", 2) |
             text_append(&list->entries, s->name, strlen(s->name) + 1) |
             text_append(&list->entries, refused ? shown : link.data, length) | text_append(&list->entries, "", 1) |
             text_append(&list->entries, s->notes.data ? s->notes.data : "", s->notes.length) |
             text_append(&list->entries, "", 1);
    doc_server_free(s);
    return rc;
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

// How an unknown text begins, for the refusal: its first line, cut short.
void doc_describe(DocList *list, const char *line, const char *stop, const char *what)
{
    int shown = stop - line > 40 ? 40 : (int)(stop - line);
    doc_list_refuse(list, DOC_REFUSED, "%s, not a subscription: it begins \"%.*s%s\"", what, shown, line,
                    stop - line > 40 ? "..." : "");
}

} // namespace

int doc_detect_and_read(const char *text, size_t length, DocList *list)
{
    const char *end = text + length, *stop;
    const char *line = doc_next_line(text, end, &stop);
    if (!line)
        return DOC_LINKS;
    if (doc_line_is(line, stop, "[Interface]") || doc_line_is(line, stop, "[Peer]"))
        return doc_read_wireguard(text, length, list);
    if (*line == '{' || *line == '[')
        return doc_read_json(text, length, list);
    // A text that holds links, first or after a line of its own (a
    // provider's status line, say), is read as import has always read it.
    for (const char *p = line, *e; (p = doc_next_line(p, end, &e)); p = e)
        if (doc_is_link(p, e))
            return DOC_LINKS;
    if (*line == '<')
        return doc_describe(list, line, stop, (stop - line >= 14 && strncasecmp(line, "<!doctype html", 14) == 0) ||
                                                      (stop - line >= 5 && strncasecmp(line, "<html", 5) == 0)
                                                  ? "an HTML page"
                                                  : "markup"),
               DOC_REFUSED;
    // Text that is no YAML mapping either (a provider's one-line message)
    // is read line by line, as import has always read it.
    int rc = doc_read_mihomo(text, length, list);
    return rc == DOC_REFUSED && !list->refusal[0] ? DOC_LINKS : rc;
}
