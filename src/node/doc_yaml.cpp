// mihomo (Clash) YAML subscriptions: the "proxies" list, each entry the link
// of the same server (doc.h). libyaml reads the text as events; each entry
// alone is made into a JSON object, so memory grows with one entry, not with
// the document.
//
//   proxies:
//     - {name, type: ss|ssr|vmess|vless|trojan|hysteria2|wireguard|socks5|http,
//        server, port, ..., tls, servername|sni, skip-cert-verify, alpn,
//        client-fingerprint, fingerprint, reality-opts, network,
//        ws-opts|http-opts|h2-opts|grpc-opts|xhttp-opts}
#include "doc.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <yaml.h>

namespace {

// ---- the entry, field by field ----


bool is(const char *a, const char *b)
{
    return strcmp(a, b) == 0;
}

// plugin: obfs (simple-obfs, run as obfs-local) or v2ray-plugin, with the
// options SIP003 gives the plugin.
void mihomo_plugin(DocServer *s, json_object *o)
{
    static const char OPTS[] =
    "mode;host;path;tls;mux;headers!plugin-opts.headers;"
    "v2ray-http-upgrade!plugin-opts.v2ray-http-upgrade;skip-cert-verify;";
    const char *plugin = doc_text(s, o, "", "plugin");
    json_object *opts = doc_member(o, "plugin-opts");
    const char *mode = doc_text(s, opts, "plugin-opts.", "mode"), *host = doc_text(s, opts, "plugin-opts.", "host"),
               *path = doc_text(s, opts, "plugin-opts.", "path");
    doc_fields(s, opts, "plugin-opts.", OPTS, NULL);
    if (is(plugin, "obfs")) {
        s->plugin = doc_keepf(s, "obfs-local;obfs=%s%s%s", link_or_default(mode, "http"), host[0] ? ";obfs-host=" : "",
                              host);
    } else if (is(plugin, "v2ray-plugin")) {
        if (mode[0] && !is(mode, "websocket") && !is(mode, "quic"))
            doc_refuse(s, "plugin-opts.mode %s: v2ray-plugin runs websocket or quic", mode);
        if (doc_switch(s, opts, "plugin-opts.", "skip-cert-verify") == 1)
            doc_warn(s, "plugin-opts.skip-cert-verify dropped: v2ray-plugin verifies the certificate");
        s->plugin = doc_keepf(s, "v2ray-plugin%s%s%s%s%s%s%s", is(mode, "quic") ? ";mode=quic" : "",
                              doc_switch(s, opts, "plugin-opts.", "tls") == 1 ? ";tls" : "", host[0] ? ";host=" : "", host,
                              path[0] ? ";path=" : "", path, doc_switch(s, opts, "plugin-opts.", "mux") == 0 ? ";mux=0" : "");
    } else if (plugin[0]) {
        doc_refuse(s, "plugin %s: the Shadowsocks client tarvick writes for does not run it", plugin);
    }
}

// "max-concurrency" as Xray spells it: "maxConcurrency".
const char *mihomo_camel(DocServer *s, const char *name)
{
    if (is(name, "no-grpc-header"))
        return "noGRPCHeader";
    if (is(name, "reuse-settings"))
        return "xmux";
    char out[64];
    size_t n = 0;
    for (const char *p = name; *p && n + 1 < sizeof out; p++)
        out[n++] = *p == '-' && p[1] ? (char)(p[1] >= 'a' && p[1] <= 'z' ? p[1] - 32 : p[1]) : *p, p += *p == '-' && p[1];
    return doc_keep(s, out, n);
}

// xhttp-opts: path, host and mode as the link names them; every other member
// goes into the link's extra, as Xray spells it.
json_object *mihomo_extra(DocServer *s, json_object *from, int depth)
{
    json_object *extra = json_object_new_object();
    if (!json_object_is_type(from, json_type_object)) // none, or refused as no mapping
        return extra;
    json_object_object_foreach(from, key, value)
    {
        if (depth == 0 && (is(key, "path") || is(key, "host") || is(key, "mode") || is(key, "headers")))
            continue;
        if (depth == 0 && is(key, "download-settings")) {
            doc_refuse(s, "xhttp-opts.download-settings cannot be carried by a link");
            continue;
        }
        json_object *member = json_object_is_type(value, json_type_object) && depth == 0
                                  ? mihomo_extra(s, value, 1)
                                  : json_object_get(value);
        json_object_object_add(extra, mihomo_camel(s, key), member);
    }
    return extra;
}

const char MIHOMO_OPTS[] =
    "path,path;host,host;headers~;mode:mode;grpc-service-name:serviceName;"
    "grpc-user-agent!grpc-opts.grpc-user-agent;method;max-early-data;early-data-header-name;"
    "v2ray-http-upgrade;v2ray-http-upgrade-fast-open;";

void mihomo_network(DocServer *s, json_object *o)
{
    static const char *const NETWORKS[][2] = {{"tcp", ""},          {"ws", "ws-opts"},     {"http", "http-opts"},
                                              {"h2", "h2-opts"},    {"grpc", "grpc-opts"}, {"xhttp", "xhttp-opts"},
                                              {NULL, NULL}};
    const char *network = link_or_default(doc_text(s, o, "", "network"), "tcp");
    const char *where = doc_scheme(NETWORKS, network);
    bool http = is(network, "http"), xhttp = is(network, "xhttp");
    json_object *opts = where[0] ? doc_member(o, where) : NULL;
    if (!where[0] && !is(network, "tcp"))
        doc_refuse(s, "network %s cannot be carried by a link", network);
    doc_set(s, "type", http ? "tcp" : network);
    doc_set(s, "headerType", http ? "http" : "");
    if (is(network, "ws") && doc_switch(s, opts, "ws-opts.", "v2ray-http-upgrade") == 1)
        s->t.network = "httpupgrade";
    if (xhttp)
        doc_set_extra(s, mihomo_extra(s, opts, 0));
    const char *method = doc_text(s, opts, "http-opts.", "method");
    if (method[0] && !is(method, "GET"))
        doc_refuse(s, "http-opts.method %s cannot be carried by a link", method);
    // xhttp-opts' other members went into the extra.
    static const char XHTTP[] =
    "path:path;host:host;mode:mode;headers~;...;";
    char inner[16];
    snprintf(inner, sizeof inner, "%s.", where);
    doc_fields(s, opts, inner, xhttp ? XHTTP : MIHOMO_OPTS, NULL);
    if (strchr(s->t.path, ',') && http)
        doc_refuse(s, "http-opts.path lists %s: a link carries one path", s->t.path);
    doc_set(s, "path", doc_text(s, o, "", "ws-path"));
    doc_early_data(s, opts, "ws-opts.", "max-early-data", "early-data-header-name");
}

const char MIHOMO_REALITY[] =
    "public-key:pbk;short-id:sid;support-x25519mlkem768;";
const char MIHOMO_ECH[] =
    "enable;config:ech;";
const char MIHOMO_SMUX[] =
    "enabled!smux;";
const char MIHOMO_SS_OPTS[] =
    "enabled!ss-opts (trojan-go's Shadowsocks layer);";
const char MIHOMO[] =
    "name:@name;type;server:@server;port:@port;cipher:@method;password:@password;auth:@password;"
    "protocol:@protocol;protocol-param:protoparam;obfs:obfs;obfs-param:obfsparam;"
    "obfs-password:obfs-password;plugin;plugin-opts;udp-over-tcp!;uuid:@user;alterId:@aid;flow:flow;"
    "encryption:@encryption;global-padding!global-padding and authenticated-length;"
    "authenticated-length!global-padding and authenticated-length;packet-encoding;ss-opts>3;tls;"
    "reality-opts>0;servername:sni;sni:sni;client-fingerprint:fp;fingerprint:pcs;alpn,alpn;"
    "skip-cert-verify?;ech-opts>1;certificate!a client certificate;private-key:@user;network;ws-opts;"
    "http-opts;h2-opts;grpc-opts;xhttp-opts;ws-path;ws-headers~;ports:mport;"
    "up:up;down:down;ip,address;ipv6,address;"
    "public-key:publickey;pre-shared-key:presharedkey;mtu:mtu;reserved,reserved;"
    "persistent-keepalive:keepalive;allowed-ips*;peers!;amnezia-wg-option!;username:@username;"
    "headers!;smux>2;udp;tfo;mptcp;ip-version;interface-name;routing-mark;dialer-proxy;xudp;"
    "packet-addr;benchmark-url;benchmark-timeout;";
// The tables by number, as a row names the table of an object (">0").
const char *const TABLES[] = {MIHOMO_REALITY, MIHOMO_ECH, MIHOMO_SMUX, MIHOMO_SS_OPTS};

// A proxies entry, as a JSON object (the YAML reader makes one).
int mihomo_entry(json_object *entry, const char *refusal, DocList *list)
{
    // The types in the order of what their links carry: vmess, vless and
    // trojan a transport; those and hysteria2 TLS (trojan's and hysteria2's
    // always); socks and http never TLS; the others their own settings.
    static const char *const TYPES[][2] = {
        {"vmess", "vmess"}, {"vless", "vless"}, {"trojan", "trojan"}, {"hysteria2", "hysteria2"},
        {"socks5", "socks"}, {"http", "http"}, {"ss", "ss"}, {"ssr", "ssr"}, {"wireguard", "wireguard"}, {NULL, ""}};
    enum { ALWAYS_TLS = 2, TRANSPORT_END = 3, TLS_END = 4, PROXY_END = 6 };
    const char *type = json_object_get_string(doc_member(entry, "type"));
    size_t row = 0;
    while (TYPES[row][0] && !is(TYPES[row][0], type ? type : ""))
        row++;
    DocServer *s = doc_server_new(TYPES[row][1]);
    if (!s)
        return -1;
    s->name = doc_text(s, entry, "", "name");
    if (refusal)
        doc_refuse(s, "%s", refusal);
    if (!json_object_is_type(entry, json_type_object))
        doc_refuse(s, "not a mapping of a proxy's settings");
    if (!s->scheme[0])
        doc_refuse(s, "type %s: no client tarvick writes for runs it", type && type[0] ? type : "(none)");
    if (!s->reason[0])
        doc_fields(s, entry, "", MIHOMO, TABLES);
    if (is(s->scheme, "ss"))
        mihomo_plugin(s, entry);
    int tls = doc_switch(s, entry, "", "tls");
    if (row >= TLS_END && row < PROXY_END && tls == 1)
        doc_refuse(s, "tls: a %s link is without TLS", s->scheme);
    else if (row < TLS_END)
        s->t.security = doc_member(entry, "reality-opts") ? "reality"
                        : tls == 1 || row >= ALWAYS_TLS   ? "tls"
                        : tls == 0                        ? "none"
                                                          : "";
    if (row < TRANSPORT_END)
        mihomo_network(s, entry);
    const char *encoding = doc_text(s, entry, "", "packet-encoding");
    if (encoding[0] && !is(encoding, "xudp"))
        doc_refuse(s, "packet-encoding %s: Xray sends UDP as xudp", encoding);
    return doc_list_add(list, s);
}

// ---- the YAML text, event by event ----

enum { YAML_DEPTH_MAX = 16 };

struct YamlReader {
    yaml_parser_t parser;
    yaml_event_t event;
    bool have;
    bool broken;
    char problem[200];
};

bool yaml_next(YamlReader *r)
{
    if (r->have)
        yaml_event_delete(&r->event);
    r->have = false;
    if (r->broken)
        return false;
    if (!yaml_parser_parse(&r->parser, &r->event)) {
        r->broken = true;
        snprintf(r->problem, sizeof r->problem, "broken YAML at line %lu: %s",
                 (unsigned long)r->parser.problem_mark.line + 1, r->parser.problem ? r->parser.problem : "?");
        return false;
    }
    r->have = true;
    return true;
}

void yaml_fail(YamlReader *r, const char *what)
{
    if (!r->broken)
        snprintf(r->problem, sizeof r->problem, "%s at line %lu", what,
                 (unsigned long)r->event.start_mark.line + 1);
    r->broken = true;
}

// A plain scalar as YAML types it: a switch, a whole number, null, or text.
json_object *yaml_scalar(const yaml_event_t *e)
{
    const char *text = (const char *)e->data.scalar.value;
    size_t length = e->data.scalar.length;
    if (e->data.scalar.style == YAML_PLAIN_SCALAR_STYLE) {
        // Three ways to write true, three false, five null.
        static const char *const WORDS[] = {"true", "True", "TRUE", "false", "False", "FALSE",
                                            "",     "~",    "null", "Null",  "NULL"};
        for (size_t i = 0; i < sizeof WORDS / sizeof WORDS[0]; i++)
            if (strcmp(text, WORDS[i]) == 0)
                return i < 6 ? json_object_new_boolean(i < 3) : json_object_new_null();
        size_t digits = strspn(text + (text[0] == '-'), "0123456789");
        if (digits > 0 && digits < 16 && digits + (text[0] == '-') == length && (text[text[0] == '-'] != '0' || digits == 1))
            return json_object_new_int64(strtoll(text, NULL, 10));
    }
    return json_object_new_string_len(text, (int)length);
}

// The value whose first event is the current one, as JSON (NULL for null);
// false when the text is broken. Anchors and aliases (*name) are noted and
// stand as null: they are not followed.
bool yaml_value(YamlReader *r, int depth, bool *alias, json_object **out)
{
    *out = NULL;
    if (depth > YAML_DEPTH_MAX) {
        yaml_fail(r, "YAML nested deeper than 16 levels");
        return false;
    }
    const yaml_event_t *e = &r->event;
    switch (e->type) {
    case YAML_SCALAR_EVENT:
        *alias = *alias || e->data.scalar.anchor;
        *out = yaml_scalar(e);
        return true;
    case YAML_ALIAS_EVENT:
        *alias = true;
        return true;
    case YAML_SEQUENCE_START_EVENT:
        *alias = *alias || e->data.sequence_start.anchor;
        *out = json_object_new_array();
        while (yaml_next(r) && r->event.type != YAML_SEQUENCE_END_EVENT) {
            json_object *item;
            if (!yaml_value(r, depth + 1, alias, &item))
                break;
            json_object_array_add(*out, item);
        }
        break;
    case YAML_MAPPING_START_EVENT:
        *alias = *alias || e->data.mapping_start.anchor;
        *out = json_object_new_object();
        while (yaml_next(r) && r->event.type != YAML_MAPPING_END_EVENT) {
            bool text_key = r->event.type == YAML_SCALAR_EVENT && r->event.data.scalar.length < 64;
            char key[64] = "(a key that is no short text)";
            if (text_key)
                memcpy(key, r->event.data.scalar.value, r->event.data.scalar.length + 1);
            json_object *value;
            if (!text_key && (!yaml_value(r, depth + 1, alias, &value) || (json_object_put(value), false)))
                break;
            // A merge key takes another mapping's members.
            *alias = *alias || strcmp(key, "<<") == 0;
            if (!yaml_next(r) || !yaml_value(r, depth + 1, alias, &value))
                break;
            json_object_object_add(*out, key, value);
        }
        break;
    default:
        yaml_fail(r, "broken YAML");
        return false;
    }
    if (r->broken) {
        json_object_put(*out);
        *out = NULL;
    }
    return !r->broken;
}

// Passes over the value whose first event is the current one.
bool yaml_skip(YamlReader *r)
{
    int depth = 0;
    do {
        yaml_event_type_t type = r->event.type;
        depth += type == YAML_SEQUENCE_START_EVENT || type == YAML_MAPPING_START_EVENT;
        depth -= type == YAML_SEQUENCE_END_EVENT || type == YAML_MAPPING_END_EVENT;
    } while (depth > 0 && yaml_next(r));
    return !r->broken;
}

int yaml_proxies(YamlReader *r, DocList *list)
{
    if (r->event.type == YAML_SCALAR_EVENT && r->event.data.scalar.length == 0)
        return DOC_READ; // "proxies:" with nothing after it
    if (r->event.type != YAML_SEQUENCE_START_EVENT)
        return doc_list_refuse(list, DOC_REFUSED, "mihomo YAML whose proxies are not a list, not a subscription");
    while (yaml_next(r) && r->event.type != YAML_SEQUENCE_END_EVENT) {
        bool alias = false;
        json_object *entry;
        if (!yaml_value(r, 1, &alias, &entry))
            break;
        int rc = mihomo_entry(entry, alias ? "a YAML anchor, alias or merge key (&, *, <<), which import does "
                                                 "not follow"
                                               : NULL,
                                  list);
        json_object_put(entry);
        if (rc != 0)
            return doc_list_no_memory(list);
    }
    return DOC_READ;
}

} // namespace

int doc_read_mihomo(const char *text, size_t length, DocList *list)
{
    doc_list_name(list, "mihomo YAML", "proxies", "proxy",
                  "proxy groups, rules, DNS and the router's own settings are not nodes and were not taken");
    YamlReader r = {};
    if (!yaml_parser_initialize(&r.parser))
        return doc_list_no_memory(list);
    yaml_parser_set_input_string(&r.parser, (const unsigned char *)text, length);
    static const yaml_event_type_t OPENING[] = {YAML_STREAM_START_EVENT, YAML_DOCUMENT_START_EVENT,
                                                YAML_MAPPING_START_EVENT};
    bool mapping = true;
    for (yaml_event_type_t type : OPENING)
        mapping = mapping && yaml_next(&r) && r.event.type == type;
    int rc = DOC_READ;
    bool proxies = false, providers = false;
    char keys[120] = "";
    bool keys_cut = false;
    while (mapping && rc == DOC_READ && yaml_next(&r) && r.event.type != YAML_MAPPING_END_EVENT) {
        char key[64] = "";
        if (r.event.type == YAML_SCALAR_EVENT)
            snprintf(key, sizeof key, "%s", (const char *)r.event.data.scalar.value);
        else if (!yaml_skip(&r))
            break;
        // As the JSON reader names members: those that fit, then "...".
        if (!keys_cut && strlen(keys) + strlen(key) + 8 < sizeof keys)
            snprintf(keys + strlen(keys), sizeof keys - strlen(keys), "%s\"%s\"", keys[0] ? ", " : "", key);
        else if (!keys_cut) {
            strcat(keys, "..."); // each key added left room for it
            keys_cut = true;
        }
        if (!yaml_next(&r))
            break;
        if (strcmp(key, "proxies") == 0 && !proxies) {
            proxies = true;
            rc = yaml_proxies(&r, list);
        } else {
            providers = providers || strcmp(key, "proxy-providers") == 0;
            static const char *const OTHER[] = {"proxy-groups", "rules", "dns", "rule-providers", "tun", "listeners"};
            for (const char *other : OTHER)
                list->other_sections = list->other_sections || strcmp(key, other) == 0;
            yaml_skip(&r);
        }
    }
    if (!mapping)
        rc = DOC_REFUSED;
    else if (r.broken)
        rc = doc_list_refuse(list, DOC_BROKEN, "%s", r.problem);
    else if (rc == DOC_READ && !proxies)
        rc = providers ? doc_list_refuse(list, DOC_REFUSED, "mihomo YAML with proxy-providers only, which name "
                                                            "addresses import does not fetch: import the provider's "
                                                            "own subscription")
                       : doc_list_refuse(list, DOC_REFUSED, "YAML without proxies (its keys: %s), not a subscription",
                                         keys[0] ? keys : "none");
    if (r.have)
        yaml_event_delete(&r.event);
    yaml_parser_delete(&r.parser);
    return rc;
}
