// JSON subscriptions: Xray's client configs (one object, or an array of
// them), sing-box's, SIP008's server list and Outline's one server. Each
// server becomes the link of the same server (doc.h).
//
//   Xray:    {"outbounds": [{"protocol", "tag", "settings": {"vnext" | "servers"
//            | flat "address", "port", ...}, "streamSettings": {...}}]}
//   sing-box: {"outbounds": [{"type", "tag", "server", "server_port", "tls",
//            "transport", ...}], "endpoints": [{"type": "wireguard", ...}]}
//   SIP008:  {"version": 1, "servers": [{"server", "server_port", "method",
//            "password", "plugin", "plugin_opts", "remarks"}]}
//   Outline: {"server", "server_port", "password", "method", "prefix"}
#include "doc.h"

#include <stdio.h>
#include <string.h>

namespace {

// Outbounds that are no server: passed over without a word.
bool doc_not_server(const char *kind)
{
    static const char *const KINDS[] = {"freedom", "blackhole", "dns", "loopback", "direct", "block",
                                        "selector", "urltest", NULL};
    for (const char *const *k = KINDS; *k; k++)
        if (strcmp(kind, *k) == 0)
            return true;
    return false;
}

// A JSON object's single item of a list member ("vnext", "servers",
// "users", "peers"): NULL when absent; more than one is refused.
json_object *doc_only_item(DocServer *s, DocObject *o, const char *name)
{
    json_object *list = doc_member(o, name);
    if (!list)
        return NULL;
    if (!json_object_is_type(list, json_type_array) || json_object_array_length(list) == 0) {
        doc_refuse(s, "%s%s is %s, not a list of one", o->where, name, doc_shown(list));
        return NULL;
    }
    if (json_object_array_length(list) > 1) {
        doc_refuse(s, "%s%s lists %zu, and a node is one server", o->where, name, json_object_array_length(list));
        return NULL;
    }
    return json_object_array_get_idx(list, 0);
}

// Warns of each member not read, then takes the object as done.
void doc_done(DocServer *s, DocObject *o, const char *const *silent)
{
    if (silent)
        doc_object_silent(o, silent);
    doc_object_done(s, o);
}

// ---- Xray ----

void xray_tls(DocServer *s, DocObject *stream, const char *security)
{
    LinkTransport &t = s->t;
    t.security = security;
    if (strcmp(security, "reality") == 0) {
        DocObject r;
        doc_object(&r, doc_member(stream, "realitySettings"), "realitySettings.");
        t.sni = doc_text(s, &r, "serverName");
        t.fingerprint = doc_text(s, &r, "fingerprint");
        t.public_key = link_or_default(doc_text(s, &r, "publicKey"), doc_text(s, &r, "password"));
        t.short_id = doc_text(s, &r, "shortId");
        t.spider = doc_text(s, &r, "spiderX");
        t.mldsa = doc_text(s, &r, "mldsa65Verify");
        static const char *const SILENT[] = {"show", NULL};
        doc_done(s, &r, SILENT);
        return;
    }
    DocObject tls;
    doc_object(&tls, doc_member(stream, strcmp(security, "xtls") == 0 ? "xtlsSettings" : "tlsSettings"),
               "tlsSettings.");
    t.sni = doc_text(s, &tls, "serverName");
    t.fingerprint = doc_text(s, &tls, "fingerprint");
    t.alpn = doc_list_text(s, &tls, "alpn");
    t.pinned = doc_list_text(s, &tls, "pinnedPeerCertSha256");
    t.names = link_or_default(doc_list_text(s, &tls, "verifyPeerCertByName"),
                              doc_list_text(s, &tls, "verifyPeerCertInNames"));
    t.ech = doc_text(s, &tls, "echConfigList");
    int insecure = doc_switch(s, &tls, "allowInsecure");
    if (insecure >= 0) {
        t.verify = insecure ? LINK_VERIFY_SKIP : LINK_VERIFY_ASKED;
        t.verify_said_by = "allowInsecure";
    }
    if (doc_member(&tls, "certificates"))
        doc_refuse(s, "tlsSettings.certificates (a client certificate) cannot be carried by a link");
    static const char *const SILENT[] = {"show", NULL};
    doc_done(s, &tls, SILENT);
}

// xhttpSettings: the members a link names, and all others as its extra.
void xray_xhttp(DocServer *s, DocObject *x)
{
    s->t.path = doc_text(s, x, "path");
    s->t.host = doc_text(s, x, "host");
    s->t.mode = doc_text(s, x, "mode");
    json_object *extra = json_object_new_object();
    json_object *given = doc_member(x, "extra");
    if (given && !json_object_is_type(given, json_type_object))
        doc_refuse(s, "xhttpSettings.extra is %s, not an object", doc_shown(given));
    json_object *sources[] = {x->object, json_object_is_type(given, json_type_object) ? given : NULL};
    for (json_object *source : sources) {
        if (!source || !extra)
            continue;
        json_object_object_foreach(source, key, value)
        {
            static const char *const NAMED[] = {"path", "host", "mode", "extra"};
            bool named = false;
            for (const char *n : NAMED)
                named = named || (source == x->object && strcmp(key, n) == 0);
            if (!named)
                json_object_object_add(extra, key, json_object_get(value));
        }
    }
    if (extra && json_object_object_length(extra) > 0)
        s->t.extra = doc_keep(s, doc_shown(extra), strlen(doc_shown(extra)));
    json_object_put(extra);
}

void xray_stream(DocServer *s, json_object *settings)
{
    DocObject stream;
    doc_object(&stream, settings, "streamSettings.");
    LinkTransport &t = s->t;
    t.network = doc_text(s, &stream, "network");
    const char *security = link_or_default(doc_text(s, &stream, "security"), "none");
    if (strcmp(security, "none") != 0)
        xray_tls(s, &stream, security);
    else
        doc_member(&stream, "tlsSettings"), doc_member(&stream, "realitySettings");
    const char *network = link_or_default(t.network, "tcp");
    DocObject o;
    if (strcmp(network, "tcp") == 0 || strcmp(network, "raw") == 0) {
        doc_object(&o, doc_member(&stream, strcmp(network, "raw") == 0 ? "rawSettings" : "tcpSettings"),
                   "rawSettings.");
        if (!o.object)
            doc_object(&o, doc_member(&stream, "rawSettings"), "rawSettings.");
        DocObject header, request;
        doc_object(&header, doc_member(&o, "header"), "header.");
        t.header = doc_text(s, &header, "type");
        doc_object(&request, doc_member(&header, "request"), "request.");
        t.path = doc_list_text(s, &request, "path");
        if (strchr(t.path, ','))
            doc_refuse(s, "the HTTP header's paths %s: a link carries one", t.path);
        t.host = doc_headers_host_of(s, &request);
        static const char *const SILENT[] = {"version", "method", NULL};
        doc_done(s, &request, SILENT);
        doc_member(&header, "response");
        doc_done(s, &header, NULL);
    } else if (strcmp(network, "ws") == 0 || strcmp(network, "httpupgrade") == 0) {
        doc_object(&o, doc_member(&stream, strcmp(network, "ws") == 0 ? "wsSettings" : "httpupgradeSettings"),
                   strcmp(network, "ws") == 0 ? "wsSettings." : "httpupgradeSettings.");
        t.path = doc_text(s, &o, "path");
        t.host = link_or_default(doc_text(s, &o, "host"), doc_headers_host_of(s, &o));
    } else if (strcmp(network, "grpc") == 0) {
        doc_object(&o, doc_member(&stream, "grpcSettings"), "grpcSettings.");
        t.service = doc_text(s, &o, "serviceName");
        t.authority = doc_text(s, &o, "authority");
        t.mode = doc_switch(s, &o, "multiMode") == 1 ? "multi" : "";
        if (doc_text(s, &o, "user_agent")[0])
            doc_refuse(s, "grpcSettings.user_agent cannot be carried by a link");
    } else if (strcmp(network, "xhttp") == 0 || strcmp(network, "splithttp") == 0) {
        doc_object(&o, doc_member(&stream, "xhttpSettings"), "xhttpSettings.");
        if (!o.object)
            doc_object(&o, doc_member(&stream, "splithttpSettings"), "splithttpSettings.");
        xray_xhttp(s, &o);
        o.object = NULL; // every member went to the link
    } else if (strcmp(network, "kcp") == 0 || strcmp(network, "mkcp") == 0) {
        doc_object(&o, doc_member(&stream, "kcpSettings"), "kcpSettings.");
        DocObject header;
        doc_object(&header, doc_member(&o, "header"), "kcpSettings.header.");
        t.header = doc_text(s, &header, "type");
        t.seed = doc_text(s, &o, "seed");
        doc_done(s, &header, NULL);
    } else if (strcmp(network, "http") == 0 || strcmp(network, "h2") == 0) {
        doc_object(&o, doc_member(&stream, "httpSettings"), "httpSettings.");
        t.host = doc_list_text(s, &o, "host");
        t.path = doc_text(s, &o, "path");
    } else if (strcmp(network, "quic") == 0) {
        doc_object(&o, doc_member(&stream, "quicSettings"), "quicSettings.");
        DocObject header;
        doc_object(&header, doc_member(&o, "header"), "quicSettings.header.");
        t.quic_security = doc_text(s, &o, "security");
        t.quic_key = doc_text(s, &o, "key");
        t.header = doc_text(s, &header, "type");
        doc_done(s, &header, NULL);
    } else if (strcmp(network, "hysteria") == 0) {
        doc_object(&o, doc_member(&stream, "hysteriaSettings"), "hysteriaSettings.");
        s->user = doc_text(s, &o, "auth");
        if (doc_text(s, &o, "up")[0] || doc_text(s, &o, "down")[0])
            doc_refuse(s, "hysteriaSettings up and down (bandwidth) cannot be carried by a hysteria2 link");
        DocObject hop;
        doc_object(&hop, doc_member(&o, "udphop"), "hysteriaSettings.udphop.");
        doc_param(s, "mport", doc_list_text(s, &hop, "port"));
        static const char *const SILENT[] = {"version", "interval", NULL};
        doc_object_silent(&o, SILENT);
        doc_done(s, &hop, NULL);
    }
    doc_done(s, &o, NULL);
    json_object *mask = doc_member(&stream, "finalmask");
    if (mask && strcmp(s->scheme, "hysteria2") == 0) {
        // Salamander is the one mask a hysteria2 link names.
        DocObject m;
        doc_object(&m, mask, "finalmask.");
        json_object *udp = doc_member(&m, "udp");
        for (size_t i = 0; udp && json_object_is_type(udp, json_type_array) && i < json_object_array_length(udp);
             i++) {
            DocObject item, settings;
            doc_object(&item, json_object_array_get_idx(udp, i), "finalmask.udp.");
            const char *type = doc_text(s, &item, "type");
            doc_object(&settings, doc_member(&item, "settings"), "finalmask.udp.settings.");
            if (strcmp(type, "salamander") != 0 || i > 0)
                doc_refuse(s, "finalmask %s cannot be carried by a hysteria2 link", type);
            doc_param(s, "obfs", "salamander");
            doc_param(s, "obfs-password", doc_text(s, &settings, "password"));
            doc_done(s, &settings, NULL);
            doc_done(s, &item, NULL);
        }
        doc_done(s, &m, NULL);
    } else if (mask) {
        t.mask = doc_keep(s, doc_shown(mask), strlen(doc_shown(mask)));
    }
    if (json_object *sockopt = doc_member(&stream, "sockopt"))
        doc_warn(s, "streamSettings.sockopt dropped: the router's own socket options are not the node's (%s)",
                 doc_shown(sockopt));
    doc_done(s, &stream, NULL);
}

struct XrayProtocol {
    const char *protocol, *scheme;
};
const XrayProtocol XRAY_PROTOCOLS[] = {
    {"vmess", "vmess"}, {"vless", "vless"}, {"trojan", "trojan"}, {"shadowsocks", "ss"},
    {"socks", "socks"}, {"http", "http"}, {"hysteria", "hysteria2"}, {"wireguard", "wireguard"},
};

// "host:port" or "[v6]:port" of a WireGuard endpoint.
void doc_endpoint(DocServer *s, const char *endpoint)
{
    const char *colon = strrchr(endpoint, ':');
    if (!colon) {
        doc_refuse(s, "endpoint '%s' is not host:port", endpoint);
        return;
    }
    const char *host = endpoint;
    size_t length = (size_t)(colon - endpoint);
    if (length >= 2 && host[0] == '[' && host[length - 1] == ']')
        host++, length -= 2;
    s->server = doc_keep(s, host, length);
    s->port = colon + 1;
}

void xray_wireguard(DocServer *s, DocObject *settings)
{
    s->user = doc_text(s, settings, "secretKey");
    doc_param(s, "address", doc_list_text(s, settings, "address"));
    doc_param(s, "mtu", doc_text(s, settings, "mtu"));
    doc_param(s, "reserved", doc_list_text(s, settings, "reserved"));
    DocObject peer;
    doc_object(&peer, doc_only_item(s, settings, "peers"), "peers.");
    doc_endpoint(s, doc_text(s, &peer, "endpoint"));
    doc_param(s, "publickey", doc_text(s, &peer, "publicKey"));
    doc_param(s, "presharedkey", doc_text(s, &peer, "preSharedKey"));
    doc_param(s, "keepalive", doc_text(s, &peer, "keepAlive"));
    const char *allowed = doc_list_text(s, &peer, "allowedIPs");
    if (allowed[0] && strcmp(allowed, "0.0.0.0/0,::/0") != 0 && strcmp(allowed, "0.0.0.0/0") != 0)
        doc_refuse(s, "peers.allowedIPs %s cannot be carried by a link (it routes everything)", allowed);
    static const char *const SILENT[] = {"workers", "domainStrategy", "noKernelTun", "kernelMode", NULL};
    doc_done(s, settings, SILENT);
    doc_done(s, &peer, NULL);
}

int xray_outbound(json_object *outbound, DocList *list)
{
    DocObject o;
    doc_object(&o, outbound, "");
    json_object *protocol_value = doc_member(&o, "protocol");
    const char *protocol = json_object_is_type(protocol_value, json_type_string)
                               ? json_object_get_string(protocol_value)
                               : "";
    if (doc_not_server(protocol))
        return 0;
    DocServer *s = (DocServer *)malloc(sizeof *s);
    if (!s)
        return -1;
    doc_server_init(s);
    s->name = doc_text(s, &o, "tag");
    for (const XrayProtocol &row : XRAY_PROTOCOLS)
        if (strcmp(protocol, row.protocol) == 0)
            s->scheme = row.scheme;
    if (!s->scheme[0])
        doc_refuse(s, "protocol %s: no client tarvick writes for runs it", protocol[0] ? protocol : "(none)");
    DocObject settings, server, user;
    doc_object(&settings, doc_member(&o, "settings"), "settings.");
    // Panels write the server and its user three ways: in "vnext" (vmess,
    // vless), in "servers" (the others), or flat in settings.
    json_object *nested = doc_only_item(s, &settings, "vnext");
    if (!nested && strcmp(protocol, "wireguard") != 0)
        nested = doc_only_item(s, &settings, "servers");
    doc_object(&server, nested, "settings.servers.");
    DocObject *at = nested ? &server : &settings;
    json_object *users = doc_only_item(s, at, "users");
    doc_object(&user, users, "users.");
    DocObject *as = users ? &user : at;
    if (strcmp(s->scheme, "wireguard") == 0) {
        xray_wireguard(s, &settings);
    } else if (s->scheme[0]) {
        s->server = doc_text(s, at, "address");
        s->port = doc_text(s, at, "port");
        if (strcmp(s->scheme, "socks") == 0 || strcmp(s->scheme, "http") == 0) {
            s->username = doc_text(s, as, "user");
            s->password = doc_text(s, as, "pass");
        } else if (strcmp(s->scheme, "ss") == 0) {
            s->method = doc_text(s, as, "method");
            s->password = doc_text(s, as, "password");
            if (doc_switch(s, as, "uot") == 1)
                doc_refuse(s, "uot (UDP over TCP) cannot be carried by a link");
        } else if (strcmp(s->scheme, "trojan") == 0 || strcmp(s->scheme, "hysteria2") == 0) {
            s->user = doc_text(s, as, "password");
            s->t.flow = doc_text(s, as, "flow");
        } else {
            s->user = doc_text(s, as, "id");
            s->alter_id = doc_text(s, as, "alterId");
            s->method = doc_text(s, as, "security");
            s->t.flow = doc_text(s, as, "flow");
            s->encryption = doc_text(s, as, "encryption");
        }
        static const char *const SILENT[] = {"level", "email", "version", "UoTVersion", NULL};
        DocObject *objects[] = {&user, &server, &settings};
        for (DocObject *object : objects)
            doc_done(s, object, SILENT);
    }
    xray_stream(s, doc_member(&o, "streamSettings"));
    DocObject mux;
    doc_object(&mux, doc_member(&o, "mux"), "mux.");
    if (doc_switch(s, &mux, "enabled") == 1)
        doc_refuse(s, "mux cannot be carried by a link");
    static const char *const SILENT[] = {"concurrency", "xudpConcurrency", "xudpProxyUDP443", NULL};
    doc_done(s, &mux, SILENT);
    static const char *const OUTBOUND_SILENT[] = {"targetStrategy", "domainStrategy", "proxySettings", NULL};
    doc_done(s, &o, OUTBOUND_SILENT);
    int rc = doc_list_add(list, s);
    free(s);
    return rc;
}

int xray_config(json_object *config, DocList *list)
{
    static const char *const OTHER[] = {"routing", "dns", "inbounds", "policy", "observatory", "balancers", NULL};
    for (const char *const *name = OTHER; *name; name++)
        if (json_object_object_get_ex(config, *name, NULL))
            list->other_sections = true;
    json_object *outbounds = NULL;
    json_object_object_get_ex(config, "outbounds", &outbounds);
    for (size_t i = 0; i < json_object_array_length(outbounds); i++)
        if (xray_outbound(json_object_array_get_idx(outbounds, i), list) != 0)
            return doc_list_refuse(list, DOC_BROKEN, "out of memory");
    return DOC_READ;
}

// ---- sing-box ----

void singbox_tls(DocServer *s, DocObject *o)
{
    DocObject tls, utls, reality, ech;
    doc_object(&tls, doc_member(o, "tls"), "tls.");
    LinkTransport &t = s->t;
    if (doc_switch(s, &tls, "enabled") != 1) {
        doc_done(s, &tls, NULL);
        return;
    }
    doc_object(&reality, doc_member(&tls, "reality"), "tls.reality.");
    bool is_reality = doc_switch(s, &reality, "enabled") == 1;
    t.security = is_reality ? "reality" : "tls";
    t.public_key = doc_text(s, &reality, "public_key");
    t.short_id = doc_text(s, &reality, "short_id");
    t.sni = doc_text(s, &tls, "server_name");
    t.alpn = doc_list_text(s, &tls, "alpn");
    doc_object(&utls, doc_member(&tls, "utls"), "tls.utls.");
    if (doc_switch(s, &utls, "enabled") == 1)
        t.fingerprint = doc_text(s, &utls, "fingerprint");
    doc_object(&ech, doc_member(&tls, "ech"), "tls.ech.");
    if (doc_switch(s, &ech, "enabled") == 1) {
        t.ech = doc_list_text(s, &ech, "config");
        if (!t.ech[0])
            doc_refuse(s, "tls.ech without its config cannot be carried by a link");
    }
    int insecure = doc_switch(s, &tls, "insecure");
    if (insecure >= 0) {
        t.verify = insecure ? LINK_VERIFY_SKIP : LINK_VERIFY_ASKED;
        t.verify_said_by = "insecure";
    }
    static const char *const REFUSED[] = {"certificate", "certificate_path", "certificate_public_key_sha256",
                                          "client_certificate", "client_key", NULL};
    for (const char *const *name = REFUSED; *name; name++)
        if (doc_member(&tls, *name))
            doc_refuse(s, "tls.%s cannot be carried by a link", *name);
    doc_done(s, &reality, NULL);
    doc_done(s, &utls, NULL);
    doc_done(s, &ech, NULL);
    doc_done(s, &tls, NULL);
}

void singbox_transport(DocServer *s, DocObject *o)
{
    DocObject tr;
    doc_object(&tr, doc_member(o, "transport"), "transport.");
    if (!tr.object)
        return;
    LinkTransport &t = s->t;
    const char *type = doc_text(s, &tr, "type");
    t.network = strcmp(type, "http") == 0 ? (strcmp(t.security, "none") && t.security[0] ? "h2" : "tcp") : type;
    if (strcmp(type, "http") == 0 && strcmp(t.network, "tcp") == 0)
        t.header = "http";
    if (strcmp(type, "ws") == 0 || strcmp(type, "httpupgrade") == 0) {
        t.path = doc_text(s, &tr, "path");
        t.host = link_or_default(doc_text(s, &tr, "host"), doc_headers_host_of(s, &tr));
        const char *early = doc_text(s, &tr, "max_early_data"), *header = doc_text(s, &tr, "early_data_header_name");
        if (early[0] && strcmp(early, "0") != 0) {
            if (strcmp(header, "Sec-WebSocket-Protocol") != 0)
                doc_refuse(s, "transport.early_data_header_name %s cannot be carried by a link (Xray sends early "
                              "data in Sec-WebSocket-Protocol)",
                           header[0] ? header : "(none)");
            t.path = doc_keepf(s, "%s%sed=%s", t.path, strchr(t.path, '?') ? "&" : "?", early);
        }
    } else if (strcmp(type, "http") == 0) {
        t.host = doc_list_text(s, &tr, "host");
        t.path = doc_text(s, &tr, "path");
        const char *method = doc_text(s, &tr, "method");
        if (method[0] && strcmp(method, "GET") != 0 && strcmp(t.network, "tcp") == 0)
            doc_refuse(s, "transport.method %s cannot be carried by a link", method);
        if (!t.host[0])
            t.host = doc_headers_host_of(s, &tr);
    } else if (strcmp(type, "grpc") == 0) {
        t.service = doc_text(s, &tr, "service_name");
        static const char *const SILENT[] = {"idle_timeout", "ping_timeout", "permit_without_stream", NULL};
        doc_object_silent(&tr, SILENT);
    } else if (strcmp(type, "quic") != 0) {
        doc_refuse(s, "transport %s cannot be carried by a link", type);
    }
    doc_done(s, &tr, NULL);
}

const XrayProtocol SINGBOX_TYPES[] = {
    {"shadowsocks", "ss"}, {"vmess", "vmess"}, {"vless", "vless"}, {"trojan", "trojan"},
    {"hysteria2", "hysteria2"}, {"wireguard", "wireguard"}, {"socks", "socks"}, {"http", "http"},
};

int singbox_outbound(json_object *outbound, DocList *list)
{
    DocObject o;
    doc_object(&o, outbound, "");
    json_object *type_value = doc_member(&o, "type");
    const char *type = json_object_is_type(type_value, json_type_string) ? json_object_get_string(type_value) : "";
    if (doc_not_server(type))
        return 0;
    DocServer *s = (DocServer *)malloc(sizeof *s);
    if (!s)
        return -1;
    doc_server_init(s);
    s->name = doc_text(s, &o, "tag");
    for (const XrayProtocol &row : SINGBOX_TYPES)
        if (strcmp(type, row.protocol) == 0)
            s->scheme = row.scheme;
    if (!s->scheme[0])
        doc_refuse(s, "type %s: no client tarvick writes for runs it", type[0] ? type : "(none)");
    s->server = doc_text(s, &o, "server");
    s->port = doc_text(s, &o, "server_port");
    const char *scheme = s->scheme;
    if (strcmp(scheme, "ss") == 0) {
        s->method = doc_text(s, &o, "method");
        s->password = doc_text(s, &o, "password");
        const char *plugin = doc_text(s, &o, "plugin"), *options = doc_text(s, &o, "plugin_opts");
        if (plugin[0])
            s->plugin = doc_keepf(s, "%s%s%s", plugin, options[0] ? ";" : "", options);
        if (doc_switch(s, &o, "udp_over_tcp") == 1)
            doc_refuse(s, "udp_over_tcp cannot be carried by a link");
    } else if (strcmp(scheme, "vmess") == 0 || strcmp(scheme, "vless") == 0) {
        s->user = doc_text(s, &o, "uuid");
        s->method = doc_text(s, &o, "security");
        s->alter_id = doc_text(s, &o, "alter_id");
        s->t.flow = doc_text(s, &o, "flow");
        if (doc_switch(s, &o, "global_padding") == 1 || doc_switch(s, &o, "authenticated_length") == 1)
            doc_refuse(s, "global_padding and authenticated_length cannot be carried by a link");
    } else if (strcmp(scheme, "trojan") == 0) {
        s->user = doc_text(s, &o, "password");
    } else if (strcmp(scheme, "hysteria2") == 0) {
        s->user = doc_text(s, &o, "password");
        DocObject obfs;
        doc_object(&obfs, doc_member(&o, "obfs"), "obfs.");
        const char *obfs_type = doc_text(s, &obfs, "type");
        doc_param(s, "obfs", obfs_type);
        doc_param(s, "obfs-password", doc_text(s, &obfs, "password"));
        doc_done(s, &obfs, NULL);
        char *ports = (char *)doc_list_text(s, &o, "server_ports");
        for (char *p = ports; *p; p++)
            *p = *p == ':' ? '-' : *p; // sing-box writes a range "a:b", links "a-b"
        doc_param(s, "mport", ports);
        if (doc_text(s, &o, "up_mbps")[0] || doc_text(s, &o, "down_mbps")[0])
            doc_refuse(s, "up_mbps and down_mbps (bandwidth) cannot be carried by a hysteria2 link");
    } else if (strcmp(scheme, "socks") == 0 || strcmp(scheme, "http") == 0) {
        s->username = doc_text(s, &o, "username");
        s->password = doc_text(s, &o, "password");
        const char *version = doc_text(s, &o, "version");
        if (version[0] && strcmp(version, "5") != 0)
            doc_refuse(s, "SOCKS version %s: a socks link is SOCKS 5", version);
    } else if (strcmp(scheme, "wireguard") == 0) {
        s->user = doc_text(s, &o, "private_key");
        doc_param(s, "address", link_or_default(doc_list_text(s, &o, "address"),
                                                doc_list_text(s, &o, "local_address")));
        DocObject peer;
        doc_object(&peer, doc_only_item(s, &o, "peers"), "peers.");
        DocObject *p = peer.object ? &peer : &o;
        if (peer.object) {
            s->server = doc_text(s, &peer, "address");
            s->port = doc_text(s, &peer, "port");
        }
        doc_param(s, "publickey", link_or_default(doc_text(s, p, "public_key"), doc_text(s, p, "peer_public_key")));
        doc_param(s, "presharedkey", doc_text(s, p, "pre_shared_key"));
        doc_param(s, "mtu", doc_text(s, &o, "mtu"));
        doc_param(s, "reserved", doc_list_text(s, p, "reserved"));
        doc_param(s, "keepalive", doc_text(s, p, "persistent_keepalive_interval"));
        const char *allowed = doc_list_text(s, p, "allowed_ips");
        if (allowed[0] && strcmp(allowed, "0.0.0.0/0,::/0") != 0 && strcmp(allowed, "0.0.0.0/0") != 0)
            doc_refuse(s, "allowed_ips %s cannot be carried by a link", allowed);
        if (peer.object)
            doc_done(s, &peer, NULL);
    }
    singbox_tls(s, &o);
    singbox_transport(s, &o);
    DocObject mux;
    doc_object(&mux, doc_member(&o, "multiplex"), "multiplex.");
    if (doc_switch(s, &mux, "enabled") == 1)
        doc_refuse(s, "multiplex cannot be carried by a link");
    static const char *const MUX_SILENT[] = {"protocol", "max_connections", "min_streams", "max_streams",
                                             "padding", NULL};
    doc_done(s, &mux, MUX_SILENT);
    static const char *const SILENT[] = {"packet_encoding", "domain_strategy", "domain_resolver", "detour",
                                         "bind_interface", "routing_mark", "connect_timeout", "tcp_fast_open",
                                         "tcp_multi_path", "udp_fragment", "network", "system", "name", "workers",
                                         NULL};
    doc_done(s, &o, SILENT);
    int rc = doc_list_add(list, s);
    free(s);
    return rc;
}

int singbox_config(json_object *config, DocList *list)
{
    static const char *const OTHER[] = {"route", "dns", "inbounds", "experimental", NULL};
    for (const char *const *name = OTHER; *name; name++)
        if (json_object_object_get_ex(config, *name, NULL))
            list->other_sections = true;
    static const char *const LISTS[] = {"outbounds", "endpoints"};
    for (const char *name : LISTS) {
        json_object *items = NULL;
        json_object_object_get_ex(config, name, &items);
        for (size_t i = 0; json_object_is_type(items, json_type_array) && i < json_object_array_length(items); i++)
            if (singbox_outbound(json_object_array_get_idx(items, i), list) != 0)
                return doc_list_refuse(list, DOC_BROKEN, "out of memory");
    }
    return DOC_READ;
}

// ---- SIP008 and Outline ----

int doc_shadowsocks(json_object *server, DocList *list, bool outline)
{
    DocServer *s = (DocServer *)malloc(sizeof *s);
    if (!s)
        return -1;
    doc_server_init(s);
    DocObject o;
    doc_object(&o, server, "");
    s->scheme = "ss";
    s->name = doc_text(s, &o, "remarks");
    s->server = doc_text(s, &o, "server");
    s->port = doc_text(s, &o, "server_port");
    s->method = doc_text(s, &o, "method");
    s->password = doc_text(s, &o, "password");
    const char *plugin = doc_text(s, &o, "plugin"), *options = doc_text(s, &o, "plugin_opts");
    if (plugin[0])
        s->plugin = doc_keepf(s, "%s%s%s", plugin, options[0] ? ";" : "", options);
    if (outline && doc_text(s, &o, "prefix")[0])
        doc_refuse(s, "prefix (the bytes Outline sends first) cannot be carried by a link");
    static const char *const SILENT[] = {"id", "route", NULL};
    doc_done(s, &o, SILENT);
    int rc = doc_list_add(list, s);
    free(s);
    return rc;
}

bool doc_has(json_object *object, const char *name)
{
    return json_object_object_get_ex(object, name, NULL);
}

// Whether a config's outbounds are Xray's (with "protocol") or sing-box's.
bool doc_outbounds_have(json_object *config, const char *member)
{
    static const char *const LISTS[] = {"outbounds", "endpoints"};
    for (const char *name : LISTS) {
        json_object *items = NULL;
        json_object_object_get_ex(config, name, &items);
        for (size_t i = 0; json_object_is_type(items, json_type_array) && i < json_object_array_length(items); i++)
            if (doc_has(json_object_array_get_idx(items, i), member))
                return true;
    }
    return false;
}

} // namespace

int doc_read_json(json_object *root, DocList *list)
{
    list->format = "Xray JSON";
    list->noun = "proxy outbounds";
    list->noun_one = "proxy outbound";
    list->other_what = "routing, DNS and inbounds are not node settings and were not taken";
    if (json_object_is_type(root, json_type_array)) {
        size_t count = json_object_array_length(root);
        for (size_t i = 0; i < count; i++) {
            json_object *config = json_object_array_get_idx(root, i);
            if (!json_object_is_type(config, json_type_object) || !doc_outbounds_have(config, "protocol"))
                return doc_list_refuse(list, DOC_REFUSED, "a JSON list whose item %zu is no Xray config with "
                                                          "outbounds, not a subscription", i + 1);
        }
        for (size_t i = 0; i < count; i++)
            if (int rc = xray_config(json_object_array_get_idx(root, i), list))
                return rc;
        return count ? DOC_READ : doc_list_refuse(list, DOC_REFUSED, "an empty JSON list, not a subscription");
    }
    if (!json_object_is_type(root, json_type_object))
        return doc_list_refuse(list, DOC_REFUSED, "a JSON %s, not a subscription",
                               json_type_to_name(json_object_get_type(root)));
    if (doc_outbounds_have(root, "protocol"))
        return xray_config(root, list);
    if (doc_outbounds_have(root, "type")) {
        list->format = "sing-box JSON";
        list->noun = "outbounds and endpoints";
        list->noun_one = "outbound or endpoint";
        list->other_what = "routing, DNS and inbounds are not node settings and were not taken";
        return singbox_config(root, list);
    }
    json_object *servers = NULL;
    if (doc_has(root, "version") && json_object_object_get_ex(root, "servers", &servers) &&
        json_object_is_type(servers, json_type_array)) {
        list->format = "SIP008 JSON";
        list->noun = "servers";
        list->noun_one = "server";
        for (size_t i = 0; i < json_object_array_length(servers); i++)
            if (doc_shadowsocks(json_object_array_get_idx(servers, i), list, false) != 0)
                return doc_list_refuse(list, DOC_BROKEN, "out of memory");
        return DOC_READ;
    }
    if (doc_has(root, "server") && doc_has(root, "server_port") && doc_has(root, "password") &&
        doc_has(root, "method")) {
        list->format = "Outline JSON";
        list->noun = "servers";
        list->noun_one = "server";
        return doc_shadowsocks(root, list, true) != 0 ? doc_list_refuse(list, DOC_BROKEN, "out of memory") : DOC_READ;
    }
    // Say what it was: a provider's error object names its members.
    char members[160] = "";
    size_t used = 0;
    json_object_object_foreach(root, key, value)
    {
        (void)value;
        int n = snprintf(members + used, sizeof members - used, "%s\"%s\"", used ? ", " : "", key);
        if (n < 0 || (size_t)n >= sizeof members - used) {
            snprintf(members + (used < sizeof members - 5 ? used : sizeof members - 5), 5, "...");
            break;
        }
        used += (size_t)n;
    }
    return doc_list_refuse(list, DOC_REFUSED, "a JSON object with no servers (its members: %s), not a subscription",
                           used ? members : "none");
}
