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

struct MihomoType {
    const char *type, *scheme;
};
const MihomoType MIHOMO_TYPES[] = {
    {"ss", "ss"},         {"ssr", "ssr"},       {"vmess", "vmess"},         {"vless", "vless"},
    {"trojan", "trojan"}, {"hysteria2", "hysteria2"}, {"wireguard", "wireguard"}, {"socks5", "socks"},
    {"http", "http"},
};

bool is(const char *a, const char *b)
{
    return strcmp(a, b) == 0;
}

// plugin: obfs (simple-obfs, run as obfs-local) or v2ray-plugin, with the
// options SIP003 gives the plugin.
void mihomo_plugin(DocServer *s, DocObject *o)
{
    const char *plugin = doc_text(s, o, "plugin");
    DocObject opts;
    doc_object(&opts, doc_member(o, "plugin-opts"), "plugin-opts.");
    if (is(plugin, "obfs")) {
        const char *mode = doc_text(s, &opts, "mode"), *host = doc_text(s, &opts, "host");
        s->plugin = doc_keepf(s, "obfs-local;obfs=%s%s%s", link_or_default(mode, "http"), host[0] ? ";obfs-host=" : "",
                              host);
    } else if (is(plugin, "v2ray-plugin")) {
        const char *mode = doc_text(s, &opts, "mode"), *host = doc_text(s, &opts, "host"),
                   *path = doc_text(s, &opts, "path");
        int tls = doc_switch(s, &opts, "tls"), mux = doc_switch(s, &opts, "mux");
        if (mode[0] && !is(mode, "websocket") && !is(mode, "quic"))
            doc_refuse(s, "plugin-opts.mode %s: v2ray-plugin runs websocket or quic", mode);
        if (doc_member(&opts, "headers"))
            doc_refuse(s, "plugin-opts.headers cannot be carried by a link");
        if (doc_switch(s, &opts, "v2ray-http-upgrade") == 1)
            doc_refuse(s, "plugin-opts.v2ray-http-upgrade: v2ray-plugin has no HTTP upgrade");
        if (doc_switch(s, &opts, "skip-cert-verify") == 1)
            doc_warn(s, "plugin-opts.skip-cert-verify dropped: v2ray-plugin verifies the certificate");
        s->plugin = doc_keepf(s, "v2ray-plugin%s%s%s%s%s%s%s", is(mode, "quic") ? ";mode=quic" : "",
                              tls == 1 ? ";tls" : "", host[0] ? ";host=" : "", host, path[0] ? ";path=" : "", path,
                              mux == 0 ? ";mux=0" : "");
    } else if (plugin[0]) {
        doc_refuse(s, "plugin %s: the Shadowsocks client tarvick writes for does not run it", plugin);
    }
    doc_object_done(s, &opts);
}

// TLS and REALITY, as vmess, vless, trojan and hysteria2 entries give them.
void mihomo_tls(DocServer *s, DocObject *o, bool always_tls)
{
    LinkTransport &t = s->t;
    DocObject reality, ech;
    doc_object(&reality, doc_member(o, "reality-opts"), "reality-opts.");
    t.public_key = doc_text(s, &reality, "public-key");
    t.short_id = doc_text(s, &reality, "short-id");
    doc_member(&reality, "support-x25519mlkem768");
    doc_object_done(s, &reality);
    int tls = doc_switch(s, o, "tls");
    t.security = reality.object ? "reality" : tls == 1 || always_tls ? "tls" : tls == 0 ? "none" : "";
    t.sni = link_or_default(doc_text(s, o, "servername"), doc_text(s, o, "sni"));
    t.fingerprint = doc_text(s, o, "client-fingerprint");
    t.pinned = doc_text(s, o, "fingerprint");
    t.alpn = doc_list_text(s, o, "alpn");
    int skip = doc_switch(s, o, "skip-cert-verify");
    if (skip >= 0) {
        t.verify = skip ? LINK_VERIFY_SKIP : LINK_VERIFY_ASKED;
        t.verify_said_by = "skip-cert-verify";
    }
    doc_object(&ech, doc_member(o, "ech-opts"), "ech-opts.");
    if (doc_switch(s, &ech, "enable") == 1) {
        t.ech = doc_text(s, &ech, "config");
        if (!t.ech[0])
            doc_refuse(s, "ech-opts without its config cannot be carried by a link");
    }
    doc_object_done(s, &ech);
    if (doc_member(o, "certificate") || doc_member(o, "private-key"))
        doc_refuse(s, "a client certificate cannot be carried by a link");
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
        out[n++] = *p == '-' && p[1] ? (char)(p[1] >= 'a' && p[1] <= 'z' ? p[1] - 32 : p[1]) : *p, p += *p == '-';
    return doc_keep(s, out, n);
}

// xhttp-opts: path, host and mode as the link names them; every other member
// goes into the link's extra, as Xray spells it.
json_object *mihomo_extra(DocServer *s, json_object *from, int depth)
{
    json_object *extra = json_object_new_object();
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

void mihomo_network(DocServer *s, DocObject *o)
{
    LinkTransport &t = s->t;
    const char *network = link_or_default(doc_text(s, o, "network"), "tcp");
    DocObject opts;
    opts.object = NULL;
    if (is(network, "tcp")) {
        t.network = "tcp";
    } else if (is(network, "ws")) {
        doc_object(&opts, doc_member(o, "ws-opts"), "ws-opts.");
        t.network = doc_switch(s, &opts, "v2ray-http-upgrade") == 1 ? "httpupgrade" : "ws";
        t.path = link_or_default(doc_text(s, &opts, "path"), doc_text(s, o, "ws-path"));
        t.host = link_or_default(doc_headers_host_of(s, &opts), doc_headers_host_of(s, o));
        const char *early = doc_text(s, &opts, "max-early-data"),
                   *header = doc_text(s, &opts, "early-data-header-name");
        if (early[0] && !is(early, "0")) {
            // Xray sends early data as mihomo does with this header, and
            // takes its size from the path.
            if (!is(header, "Sec-WebSocket-Protocol"))
                doc_refuse(s, "ws-opts.early-data-header-name %s cannot be carried by a link (Xray sends early data "
                              "in Sec-WebSocket-Protocol)",
                           header[0] ? header : "(none)");
            t.path = doc_keepf(s, "%s%sed=%s", t.path, strchr(t.path, '?') ? "&" : "?", early);
        }
        doc_member(&opts, "v2ray-http-upgrade-fast-open");
    } else if (is(network, "http")) {
        doc_object(&opts, doc_member(o, "http-opts"), "http-opts.");
        t.network = "tcp";
        t.header = "http";
        const char *method = doc_text(s, &opts, "method");
        if (method[0] && !is(method, "GET"))
            doc_refuse(s, "http-opts.method %s cannot be carried by a link", method);
        t.path = doc_list_text(s, &opts, "path");
        if (strchr(t.path, ','))
            doc_refuse(s, "http-opts.path lists %s: a link carries one path", t.path);
        t.host = doc_headers_host_of(s, &opts);
    } else if (is(network, "h2")) {
        doc_object(&opts, doc_member(o, "h2-opts"), "h2-opts.");
        t.network = "h2";
        t.host = doc_list_text(s, &opts, "host");
        t.path = doc_text(s, &opts, "path");
    } else if (is(network, "grpc")) {
        doc_object(&opts, doc_member(o, "grpc-opts"), "grpc-opts.");
        t.network = "grpc";
        t.service = doc_text(s, &opts, "grpc-service-name");
        if (doc_text(s, &opts, "grpc-user-agent")[0])
            doc_refuse(s, "grpc-opts.grpc-user-agent cannot be carried by a link");
    } else if (is(network, "xhttp")) {
        doc_object(&opts, doc_member(o, "xhttp-opts"), "xhttp-opts.");
        t.network = "xhttp";
        t.path = doc_text(s, &opts, "path");
        t.host = link_or_default(doc_text(s, &opts, "host"), doc_headers_host_of(s, &opts));
        t.mode = doc_text(s, &opts, "mode");
        if (opts.object) {
            json_object *extra = mihomo_extra(s, opts.object, 0);
            if (json_object_object_length(extra) > 0)
                t.extra = doc_keep(s, doc_shown(extra), strlen(doc_shown(extra)));
            json_object_put(extra);
        }
        opts.object = NULL; // every member went to the link
    } else {
        doc_refuse(s, "network %s cannot be carried by a link", network);
    }
    if (opts.object)
        doc_object_done(s, &opts);
    doc_member(o, "ws-opts"), doc_member(o, "http-opts"), doc_member(o, "h2-opts"), doc_member(o, "grpc-opts");
    doc_member(o, "xhttp-opts"), doc_member(o, "ws-headers");
}

} // namespace

int doc_mihomo_entry(json_object *entry, const char *refusal, DocList *list)
{
    DocServer *s = (DocServer *)malloc(sizeof *s);
    if (!s)
        return -1;
    doc_server_init(s);
    DocObject o;
    doc_object(&o, entry, "");
    if (!o.object)
        doc_refuse(s, "not a mapping of a proxy's settings");
    s->name = doc_text(s, &o, "name");
    const char *type = doc_text(s, &o, "type");
    for (const MihomoType &row : MIHOMO_TYPES)
        if (is(type, row.type))
            s->scheme = row.scheme;
    if (refusal)
        doc_refuse(s, "%s", refusal);
    if (o.object && !s->scheme[0])
        doc_refuse(s, "type %s: no client tarvick writes for runs it", type[0] ? type : "(none)");
    s->server = doc_text(s, &o, "server");
    s->port = doc_text(s, &o, "port");
    const char *scheme = s->scheme;
    if (is(scheme, "ss") || is(scheme, "ssr")) {
        s->method = doc_text(s, &o, "cipher");
        s->password = doc_text(s, &o, "password");
        s->ssr_protocol = doc_text(s, &o, "protocol");
        s->ssr_protocol_param = doc_text(s, &o, "protocol-param");
        s->ssr_obfs = doc_text(s, &o, "obfs");
        s->ssr_obfs_param = doc_text(s, &o, "obfs-param");
        if (is(scheme, "ss"))
            mihomo_plugin(s, &o);
        if (doc_switch(s, &o, "udp-over-tcp") == 1)
            doc_refuse(s, "udp-over-tcp cannot be carried by a link");
    } else if (is(scheme, "vmess") || is(scheme, "vless") || is(scheme, "trojan")) {
        s->user = link_or_default(doc_text(s, &o, "uuid"), doc_text(s, &o, "password"));
        s->alter_id = doc_text(s, &o, "alterId");
        s->method = doc_text(s, &o, "cipher");
        s->t.flow = doc_text(s, &o, "flow");
        s->encryption = doc_text(s, &o, "encryption");
        if (doc_switch(s, &o, "global-padding") == 1 || doc_switch(s, &o, "authenticated-length") == 1)
            doc_refuse(s, "global-padding and authenticated-length cannot be carried by a link");
        const char *encoding = doc_text(s, &o, "packet-encoding");
        if (encoding[0] && !is(encoding, "xudp"))
            doc_refuse(s, "packet-encoding %s: Xray sends UDP as xudp", encoding);
        DocObject ss_opts;
        doc_object(&ss_opts, doc_member(&o, "ss-opts"), "ss-opts.");
        if (doc_switch(s, &ss_opts, "enabled") == 1)
            doc_refuse(s, "ss-opts (trojan-go's Shadowsocks layer) cannot be carried by a link");
        mihomo_tls(s, &o, is(scheme, "trojan"));
        mihomo_network(s, &o);
    } else if (is(scheme, "hysteria2")) {
        s->user = link_or_default(doc_text(s, &o, "password"), doc_text(s, &o, "auth"));
        mihomo_tls(s, &o, true);
        // The hysteria2 link's own names for TLS.
        doc_param(s, "sni", s->t.sni);
        doc_param(s, "insecure", s->t.verify == LINK_VERIFY_SKIP ? "1" : "");
        doc_param(s, "alpn", s->t.alpn);
        doc_param(s, "pinSHA256", s->t.pinned);
        doc_param(s, "obfs", doc_text(s, &o, "obfs"));
        doc_param(s, "obfs-password", doc_text(s, &o, "obfs-password"));
        doc_param(s, "mport", doc_text(s, &o, "ports"));
        if (s->t.fingerprint[0] || s->t.public_key[0] || s->t.ech[0])
            doc_refuse(s, "client-fingerprint, reality-opts and ech-opts cannot be carried by a hysteria2 link");
        if (doc_text(s, &o, "up")[0] || doc_text(s, &o, "down")[0])
            doc_refuse(s, "up and down (bandwidth) cannot be carried by a hysteria2 link");
    } else if (is(scheme, "wireguard")) {
        s->user = doc_text(s, &o, "private-key");
        const char *v4 = doc_text(s, &o, "ip"), *v6 = doc_text(s, &o, "ipv6");
        doc_param(s, "publickey", doc_text(s, &o, "public-key"));
        doc_param(s, "presharedkey", doc_text(s, &o, "pre-shared-key"));
        doc_param(s, "address", doc_keepf(s, "%s%s%s", v4, v4[0] && v6[0] ? "," : "", v6));
        doc_param(s, "mtu", doc_text(s, &o, "mtu"));
        doc_param(s, "reserved", doc_list_text(s, &o, "reserved"));
        doc_param(s, "keepalive", doc_text(s, &o, "persistent-keepalive"));
        const char *allowed = doc_list_text(s, &o, "allowed-ips");
        if (allowed[0] && !is(allowed, "0.0.0.0/0,::/0") && !is(allowed, "0.0.0.0/0"))
            doc_refuse(s, "allowed-ips %s cannot be carried by a link", allowed);
        if (doc_member(&o, "peers") || doc_member(&o, "amnezia-wg-option"))
            doc_refuse(s, "peers and amnezia-wg-option cannot be carried by a link");
    } else if (is(scheme, "socks") || is(scheme, "http")) {
        s->username = doc_text(s, &o, "username");
        s->password = doc_text(s, &o, "password");
        if (doc_switch(s, &o, "tls") == 1)
            doc_refuse(s, "tls: a %s link is without TLS", scheme);
        if (doc_member(&o, "headers"))
            doc_refuse(s, "headers cannot be carried by a link");
        static const char *const SILENT[] = {"sni", "skip-cert-verify", "fingerprint", NULL};
        doc_object_silent(&o, SILENT);
    }
    DocObject smux;
    doc_object(&smux, doc_member(&o, "smux"), "smux.");
    if (doc_switch(s, &smux, "enabled") == 1)
        doc_refuse(s, "smux cannot be carried by a link");
    // The router's own dialing, and UDP, which the clients carry anyway.
    static const char *const SILENT[] = {"udp", "tfo", "mptcp", "ip-version", "interface-name", "routing-mark",
                                         "dialer-proxy", "xudp", "packet-addr", "benchmark-url",
                                         "benchmark-timeout", NULL};
    doc_object_silent(&o, SILENT);
    if (!s->reason[0])
        doc_object_done(s, &o);
    int rc = doc_list_add(list, s);
    free(s);
    return rc;
}

namespace {

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
        static const char *const YES[] = {"true", "True", "TRUE"}, *const NO[] = {"false", "False", "FALSE"},
                                 *const NONE[] = {"", "~", "null", "Null", "NULL"};
        for (const char *y : YES)
            if (strcmp(text, y) == 0)
                return json_object_new_boolean(1);
        for (const char *n : NO)
            if (strcmp(text, n) == 0)
                return json_object_new_boolean(0);
        for (const char *n : NONE)
            if (strcmp(text, n) == 0)
                return json_object_new_null();
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
        int rc = doc_mihomo_entry(entry, alias ? "a YAML anchor, alias or merge key (&, *, <<), which import does "
                                                 "not follow"
                                               : NULL,
                                  list);
        json_object_put(entry);
        if (rc != 0)
            return doc_list_refuse(list, DOC_BROKEN, "out of memory");
    }
    return DOC_READ;
}

} // namespace

int doc_read_mihomo(const char *text, size_t length, DocList *list)
{
    list->format = "mihomo YAML";
    list->noun = "proxies";
    list->noun_one = "proxy";
    list->other_what = "proxy groups, rules, DNS and the router's own settings are not nodes and were not taken";
    YamlReader r;
    r.have = false;
    r.broken = false;
    r.problem[0] = '\0';
    if (!yaml_parser_initialize(&r.parser))
        return doc_list_refuse(list, DOC_BROKEN, "out of memory");
    yaml_parser_set_input_string(&r.parser, (const unsigned char *)text, length);
    bool mapping = yaml_next(&r) && r.event.type == YAML_STREAM_START_EVENT && yaml_next(&r) &&
                   r.event.type == YAML_DOCUMENT_START_EVENT && yaml_next(&r) &&
                   r.event.type == YAML_MAPPING_START_EVENT;
    int rc = DOC_READ;
    bool proxies = false, providers = false;
    char keys[120] = "";
    while (mapping && rc == DOC_READ && yaml_next(&r) && r.event.type != YAML_MAPPING_END_EVENT) {
        char key[64] = "";
        if (r.event.type == YAML_SCALAR_EVENT)
            snprintf(key, sizeof key, "%s", (const char *)r.event.data.scalar.value);
        else if (!yaml_skip(&r))
            break;
        if (strlen(keys) + strlen(key) + 8 < sizeof keys)
            snprintf(keys + strlen(keys), sizeof keys - strlen(keys), "%s\"%s\"", keys[0] ? ", " : "", key);
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
    if (r.broken)
        rc = mapping ? doc_list_refuse(list, DOC_BROKEN, "%s", r.problem) : DOC_REFUSED;
    else if (!mapping)
        rc = DOC_REFUSED;
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
