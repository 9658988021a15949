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
#include "v2ray_names.h"

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


// ---- Xray ----

extern const char *const TABLES[];

const char XRAY_PEER[] =
    "endpoint^;publicKey:publickey;preSharedKey:presharedkey;keepAlive:keepalive;allowedIPs*;";
// Panels write the server and its user three ways: in "vnext" (vmess,
// vless), in "servers" (the others), or flat in settings; one table reads
// the settings, the server and the user.
const char XRAY_SERVER[] =
    "vnext=1;servers=1;users=1;address:@server;port:@port;id:@user;password:@password;method:@method;"
    "security:@method;alterId:@aid;flow:flow;encryption:@encryption;user:@username;pass:@password;"
    "uot!uot (UDP over TCP);level;email;UoTVersion;version;";
const char XRAY_WIREGUARD[] =
    "secretKey:@user;address,address;peers=0;mtu:mtu;reserved,reserved;workers;domainStrategy;"
    "noKernelTun;kernelMode;";
const char XRAY_TLS[] =
    "serverName:sni;fingerprint:fp;alpn,alpn;pinnedPeerCertSha256,pcs;verifyPeerCertByName,vcn;"
    "verifyPeerCertInNames,vcn;echConfigList:ech;allowInsecure?;publicKey:pbk;password:pbk;"
    "shortId:sid;spiderX:spx;mldsa65Verify:pqv;show;"
    "certificates!tlsSettings.certificates (a client certificate);";
const char XRAY_REQUEST[] =
    "path,path;headers~;version;method;";
const char XRAY_HEADER[] =
    "type:headerType;request>3;response;";
const char XRAY_HOP[] =
    "port,mport;interval;";
// Each network's settings: Xray reads the one its network names.
const char XRAY_NETWORK[] =
    "header>4;path:path;host,host;headers~;serviceName:serviceName;authority:authority;multiMode;"
    "user_agent!grpcSettings.user_agent;seed:seed;security:quicSecurity;key:key;auth:@password;"
    "up!hysteriaSettings up and down (bandwidth);down!hysteriaSettings up and down (bandwidth);"
    "udphop>5;version;interval;";
const char XRAY_MUX[] =
    "enabled!mux;concurrency;xudpConcurrency;xudpProxyUDP443;";

// xhttpSettings: the members a link names, and all others as its extra.
void xray_xhttp(DocServer *s, json_object *x, const char *where)
{
    json_object *given = doc_member(x, "extra");
    if (given && !json_object_is_type(given, json_type_object))
        doc_refuse(s, "%sextra is %s, not an object", where, doc_shown(given));
    doc_fields(s, x, where, "path:path;host:host;mode:mode;...;", NULL);
    if (!json_object_is_type(x, json_type_object)) // refused as no mapping
        return;
    json_object *extra = json_object_new_object();
    json_object_object_foreach(x, key, value)
    {
        if (strcmp(key, "path") && strcmp(key, "host") && strcmp(key, "mode") && strcmp(key, "extra"))
            json_object_object_add(extra, key, json_object_get(value));
    }
    if (json_object_is_type(given, json_type_object)) { // then its members
        json_object_object_foreach(given, name, member)
            json_object_object_add(extra, name, json_object_get(member));
    }
    doc_set_extra(s, extra);
}

void xray_stream(DocServer *s, json_object *stream)
{
    static const char STREAM[] =
    "network:type;security:security;tlsSettings>2;xtlsSettings>2;realitySettings>2;finalmask;sockopt;";
    static const char *const NETWORKS[][2] = {{"tcp", "tcpSettings"}, {"raw", "rawSettings"},
                                              {"ws", "wsSettings"}, {"httpupgrade", "httpupgradeSettings"},
                                              {"grpc", "grpcSettings"}, {"kcp", "kcpSettings"},
                                              {"mkcp", "kcpSettings"}, {"http", "httpSettings"},
                                              {"h2", "httpSettings"}, {"quic", "quicSettings"},
                                              {"hysteria", "hysteriaSettings"}, {"xhttp", "xhttpSettings"},
                                              {"splithttp", "splithttpSettings"}, {NULL, NULL}};
    const char *network = doc_text(s, stream, "streamSettings.", "network");
    const char *settings = doc_scheme(NETWORKS, network[0] ? network : "tcp");
    if (json_object_is_type(stream, json_type_object)) { // else refused below
        json_object_object_foreach(stream, key, value)
        {
            if (strcmp(key, settings) && !(!strcmp(settings, "tcpSettings") && !strcmp(key, "rawSettings")))
                continue;
            // Messages name tcpSettings by its current name.
            char where[32];
            snprintf(where, sizeof where, "%s.", strcmp(key, "tcpSettings") ? key : "rawSettings");
            if (!strcmp(network, "xhttp") || !strcmp(network, "splithttp"))
                xray_xhttp(s, value, where);
            else
                doc_fields(s, value, where, XRAY_NETWORK, TABLES);
            if (doc_switch(s, value, where, "multiMode") == 1)
                doc_set(s, "mode", "multi");
        }
    }
    if (strchr(doc_get(s, "path"), ',') && doc_get(s, "headerType")[0])
        doc_refuse(s, "the HTTP header's paths %s: a link carries one", doc_get(s, "path"));
    // The network's settings were read; any other is warned of.
    char fields[sizeof STREAM + 64];
    snprintf(fields, sizeof fields, "%s%s;%s", STREAM, settings, strcmp(settings, "tcpSettings") ? "" : "rawSettings;");
    doc_fields(s, stream, "streamSettings.", fields, TABLES);
    if (!strcmp(s->t.security, "none"))
        s->t.security = "";
    // The link's "fm" carries the mask; its reader says what a link can hold.
    if (json_object *mask = doc_member(stream, "finalmask"))
        doc_set(s, "fm", doc_shown(mask));
    if (json_object *sockopt = doc_member(stream, "sockopt"))
        doc_warn(s, "streamSettings.sockopt dropped: the router's own socket options are not the node's (%s)",
                 doc_shown(sockopt));
}

void xray_outbound(DocServer *s, json_object *outbound)
{
    static const char OUTBOUND[] =
    "protocol;tag:@name;settings;streamSettings;mux>6;targetStrategy;domainStrategy;proxySettings;";
    doc_fields(s, outbound, "", OUTBOUND, TABLES);
    doc_fields(s, doc_member(outbound, "settings"), "settings.",
               strcmp(s->scheme, "wireguard") ? XRAY_SERVER : XRAY_WIREGUARD, TABLES);
    if (json_object *stream = doc_member(outbound, "streamSettings"))
        xray_stream(s, stream);
}

// ---- sing-box, SIP008 and Outline ----

const char SINGBOX_TLS[] =
    "enabled;server_name:sni;alpn,alpn;insecure?;utls>7;fingerprint:fp;reality>7;public_key:pbk;"
    "short_id:sid;ech>7;config,ech;certificate!;certificate_path!;certificate_public_key_sha256!;"
    "client_certificate!;client_key!;";
const char SINGBOX_TRANSPORT[] =
    "type;path:path;host,host;headers~;max_early_data;early_data_header_name;method;"
    "service_name:serviceName;idle_timeout;ping_timeout;permit_without_stream;";
const char SINGBOX_PEER[] =
    "address:@server;port:@port;public_key:publickey;pre_shared_key:presharedkey;reserved,reserved;"
    "persistent_keepalive_interval:keepalive;allowed_ips*;";
const char SINGBOX_OBFS[] =
    "type:obfs;password:obfs-password;";
const char SINGBOX_MUX[] =
    "enabled!multiplex;protocol;max_connections;min_streams;max_streams;padding;";
// sing-box's outbounds and endpoints, SIP008's servers and Outline's one.
const char SINGBOX[] =
    "type;tag:@name;remarks:@name;server:@server;server_port:@port;method:@method;password:@password;"
    "plugin;plugin_opts;udp_over_tcp!;uuid:@user;security:@method;alter_id:@aid;flow:flow;"
    "global_padding!global_padding and authenticated_length;"
    "authenticated_length!global_padding and authenticated_length;obfs>10;server_ports,mport;"
    "up_mbps:up;down_mbps:down;"
    "username:@username;version;private_key:@user;address,address;local_address,address;peers=9;"
    "public_key:publickey;peer_public_key:publickey;pre_shared_key:presharedkey;mtu:mtu;"
    "reserved,reserved;persistent_keepalive_interval:keepalive;allowed_ips*;tls;transport>8;"
    "multiplex>11;prefix!prefix (the bytes Outline sends first);id;route;packet_encoding;"
    "domain_strategy;domain_resolver;detour;bind_interface;routing_mark;connect_timeout;"
    "tcp_fast_open;tcp_multi_path;udp_fragment;network;system;name;workers;";
// The tables by number, as a row names the table of an object (">1") or of a
// list of one ("=1").
const char *const TABLES[] = {XRAY_PEER, XRAY_SERVER, XRAY_TLS, XRAY_REQUEST, XRAY_HEADER, XRAY_HOP, XRAY_MUX,
                              SINGBOX_TLS, SINGBOX_TRANSPORT, SINGBOX_PEER, SINGBOX_OBFS, SINGBOX_MUX};

// The transport, as sing-box names it, as a link names it.
void singbox_transport(DocServer *s, json_object *tr)
{
    const char *type = doc_text(s, tr, "transport.", "type");
    bool tls = s->t.security[0];
    if (!strcmp(type, "http")) {
        doc_set(s, "type", tls ? "h2" : "tcp");
        doc_set(s, "headerType", tls ? "" : "http");
        const char *method = doc_text(s, tr, "transport.", "method");
        if (method[0] && strcmp(method, "GET") && !tls)
            doc_refuse(s, "transport.method %s cannot be carried by a link", method);
    } else if (!strcmp(type, "ws") || !strcmp(type, "httpupgrade") || !strcmp(type, "grpc") ||
               !strcmp(type, "quic")) {
        doc_set(s, "type", type);
    } else {
        doc_refuse(s, "transport %s cannot be carried by a link", type);
    }
    doc_early_data(s, tr, "transport.", "max_early_data", "early_data_header_name");
}

void singbox_outbound(DocServer *s, json_object *outbound)
{
    json_object *tls = doc_member(outbound, "tls");
    if (doc_switch(s, tls, "tls.", "enabled") == 1) {
        s->t.security = doc_switch(s, doc_member(tls, "reality"), "tls.reality.", "enabled") == 1 ? "reality" : "tls";
        doc_fields(s, tls, "tls.", SINGBOX_TLS, TABLES);
    }
    doc_fields(s, outbound, "", SINGBOX, TABLES);
    if (json_object *tr = doc_member(outbound, "transport"))
        singbox_transport(s, tr);
    const char *plugin = doc_text(s, outbound, "", "plugin"), *options = doc_text(s, outbound, "", "plugin_opts");
    if (plugin[0])
        s->plugin = doc_keepf(s, "%s%s%s", plugin, options[0] ? ";" : "", options);
    for (char *p = (char *)doc_get(s, "mport"); *p; p++)
        *p = *p == ':' ? '-' : *p; // sing-box writes a range "a:b", links "a-b"
    const char *version = doc_text(s, outbound, "", "version");
    if (version[0] && strcmp(version, "5") && strcmp(s->scheme, "socks") == 0)
        doc_refuse(s, "SOCKS version %s: a socks link is SOCKS 5", version);
}

// One server: an outbound of Xray's by its "protocol", of sing-box's by its
// "type", SIP008's and Outline's of the scheme given. A panel names each
// config of a list by its "remarks" and tags every proxy outbound alike
// ("proxy"): the remark, when there is one, is the name.
int json_server(json_object *item, DocList *list, bool xray, const char *scheme, const char *remarks)
{
    static const char *const TYPES[][2] = {
        {"shadowsocks", "ss"}, {"vmess", "vmess"}, {"vless", "vless"}, {"trojan", "trojan"},
        {"hysteria2", "hysteria2"}, {"wireguard", "wireguard"}, {"socks", "socks"}, {"http", "http"}, {NULL, NULL}};
    const char *member = xray ? "protocol" : "type";
    const char *kind = json_object_get_string(doc_member(item, member));
    kind = kind ? kind : "";
    if (doc_not_server(kind))
        return 0;
    // Xray's protocol by the vocabulary: the name its document writes, the scheme its link has.
    const char *xray_scheme = v2ray_link_name(v2ray_written_protocol(kind));
    DocServer *s = doc_server_new(scheme ? scheme : xray ? xray_scheme : doc_scheme(TYPES, kind));
    if (!s)
        return -1;
    if (!s->scheme[0])
        doc_refuse(s, "%s %s: no client tarvick writes for runs it", member, kind[0] ? kind : "(none)");
    if (xray)
        xray_outbound(s, item);
    else
        singbox_outbound(s, item);
    if (remarks && remarks[0])
        s->name = doc_keep(s, remarks, strlen(remarks));
    return doc_list_add(list, s);
}

// Each server of a list, in its order.
int json_servers(json_object *items, DocList *list, bool xray, const char *scheme, const char *remarks)
{
    for (size_t i = 0; json_object_is_type(items, json_type_array) && i < json_object_array_length(items); i++)
        if (json_server(json_object_array_get_idx(items, i), list, xray, scheme, remarks) != 0)
            return doc_list_no_memory(list);
    return DOC_READ;
}

const char *const CONFIG_LISTS[] = {"outbounds", "endpoints"};
const char *const OTHER_WHAT = "routing, DNS and inbounds are not node settings and were not taken";

// Sections of a config that are no servers, to be noted.
void json_other_sections(DocList *list, json_object *config, const char *const *names)
{
    for (; *names; names++)
        list->other_sections = list->other_sections || json_object_object_get_ex(config, *names, NULL);
}

int xray_config(json_object *config, DocList *list)
{
    static const char *const OTHER[] = {"routing", "dns", "inbounds", "policy", "observatory", "balancers", NULL};
    doc_list_name(list, "Xray JSON", "proxy outbounds", "proxy outbound", OTHER_WHAT);
    json_other_sections(list, config, OTHER);
    return json_servers(doc_member(config, "outbounds"), list, true, NULL,
                        json_object_get_string(doc_member(config, "remarks")));
}

int singbox_config(json_object *config, DocList *list)
{
    static const char *const OTHER[] = {"route", "dns", "inbounds", "experimental", NULL};
    doc_list_name(list, "sing-box JSON", "outbounds and endpoints", "outbound or endpoint", OTHER_WHAT);
    json_other_sections(list, config, OTHER);
    int rc = DOC_READ;
    for (const char *name : CONFIG_LISTS)
        rc = rc == DOC_READ ? json_servers(doc_member(config, name), list, false, NULL, NULL) : rc;
    return rc;
}

bool doc_has(json_object *object, const char *name)
{
    return json_object_object_get_ex(object, name, NULL);
}

// Whether a config's outbounds are Xray's (with "protocol") or sing-box's.
bool doc_outbounds_have(json_object *config, const char *member)
{
    for (const char *name : CONFIG_LISTS) {
        json_object *items = doc_member(config, name);
        for (size_t i = 0; json_object_is_type(items, json_type_array) && i < json_object_array_length(items); i++)
            if (doc_has(json_object_array_get_idx(items, i), member))
                return true;
    }
    return false;
}

// A document's top value: which of the formats it is, by its members.
int json_document(json_object *root, DocList *list)
{
    if (!json_object_is_type(root, json_type_object))
        return doc_list_refuse(list, DOC_REFUSED, "a JSON %s, not a subscription",
                               json_type_to_name(json_object_get_type(root)));
    if (doc_outbounds_have(root, "protocol"))
        return xray_config(root, list);
    if (doc_outbounds_have(root, "type"))
        return singbox_config(root, list);
    if (doc_has(root, "version") && json_object_is_type(doc_member(root, "servers"), json_type_array)) {
        doc_list_name(list, "SIP008 JSON", "servers", "server", "");
        return json_servers(doc_member(root, "servers"), list, false, "ss", NULL);
    }
    if (doc_has(root, "server") && doc_has(root, "server_port") && doc_has(root, "password") &&
        doc_has(root, "method")) {
        doc_list_name(list, "Outline JSON", "servers", "server", "");
        return json_server(root, list, false, "ss", NULL) != 0 ? doc_list_no_memory(list) : DOC_READ;
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

size_t doc_json_blanks(const char *text, size_t length, size_t at)
{
    while (at < length && strchr(" \t\r\n", text[at]))
        at++;
    return at;
}

int doc_json_broken(DocList *list, const char *text, size_t offset, const char *why)
{
    int line = 1;
    for (size_t i = 0; i < offset; i++)
        line += text[i] == '\n';
    return doc_list_refuse(list, DOC_BROKEN, "broken JSON at line %d: %s", line, why);
}

// One JSON value at *at, by json-c; *at moves past it. NULL, the refusal
// said, when it is broken.
json_object *doc_json_value(json_tokener *tokener, const char *text, size_t length, size_t *at, DocList *list)
{
    json_tokener_reset(tokener);
    json_object *value = json_tokener_parse_ex(tokener, text + *at, (int)(length - *at));
    enum json_tokener_error error = json_tokener_get_error(tokener);
    *at += json_tokener_get_parse_end(tokener);
    if (!value)
        doc_json_broken(list, text, *at, error == json_tokener_continue ? "it ends too early"
                                                                        : json_tokener_error_desc(error));
    return value;
}

} // namespace

int doc_read_json(const char *text, size_t length, DocList *list)
{
    size_t at = doc_json_blanks(text, length, 0);
    // A list of whole configs, as panels serve them: each is parsed and read
    // alone, so memory grows with one config, not with the list.
    bool configs = at < length && text[at] == '[';
    // Deeper than any subscription nests; more is refused, never recursed
    // into. A config's depth counts from its list's.
    json_tokener *tokener = json_tokener_new_ex(configs ? 31 : 32);
    if (!tokener)
        return doc_list_no_memory(list);
    int rc = DOC_READ;
    if (configs) {
        at = doc_json_blanks(text, length, at + 1);
        bool empty = at < length && text[at] == ']';
        if (empty)
            rc = doc_list_refuse(list, DOC_REFUSED, "an empty JSON list, not a subscription");
        for (size_t number = 1; !empty && rc != DOC_BROKEN; number++) {
            json_object *config = doc_json_value(tokener, text, length, &at, list);
            if (!config) {
                rc = DOC_BROKEN;
                break;
            }
            // After an item that is no config, the rest is only parsed:
            // broken JSON anywhere is told first.
            if (rc == DOC_READ)
                rc = doc_outbounds_have(config, "protocol")
                         ? xray_config(config, list)
                         : doc_list_refuse(list, DOC_REFUSED, "a JSON list whose item %zu is no Xray config with "
                                                              "outbounds, not a subscription", number);
            json_object_put(config);
            at = doc_json_blanks(text, length, at);
            if (at < length && text[at] == ',') // json-c takes one after the last item too
                at = doc_json_blanks(text, length, at + 1);
            else if (at >= length || text[at] != ']')
                rc = doc_json_broken(list, text, at, at >= length ? "it ends too early"
                                                                  : json_tokener_error_desc(json_tokener_error_parse_array));
            if (at < length && text[at] == ']')
                break;
        }
        at = rc == DOC_BROKEN ? length : doc_json_blanks(text, length, at + 1);
    } else if (json_object *root = doc_json_value(tokener, text, length, &at, list)) {
        rc = json_document(root, list);
        json_object_put(root);
        at = doc_json_blanks(text, length, at);
    } else {
        rc = DOC_BROKEN;
        at = length;
    }
    json_tokener_free(tokener);
    return at < length ? doc_json_broken(list, text, at, "more after the end of the document") : rc;
}

