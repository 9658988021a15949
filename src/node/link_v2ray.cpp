// vmess://, vless:// and trojan:// links. All three name one V2Ray/Xray
// transport the same way, so one table maps it to the node's settings and
// back; a trojan link over plain TCP and TLS is a Trojan (type 3) node.
//
//   vmess://BASE64({"v": "2", "ps", "add", "port", "id", "aid", "scy", "net",
//                   "type", "host", "path", "tls", "sni", "fp", "alpn", ...})
//   vless://UUID@host:port?encryption=none&security=&type=&headerType=&host=
//           &path=&serviceName=&mode=&quicSecurity=&key=&sni=&fp=&flow=
//           &alpn=&pbk=&sid=&spx=&pcs=&vcn=#REMARK
//   trojan://PASSWORD@host:port?(the same, and peer=, allowInsecure=, or the
//            older ws=1&wspath=&wshost=)#REMARK
#include "node.h"
#include "v2ray_names.h"
#include "xray.h"

#include <json-c/json.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

// "user@host:port?query#remark" with the user (UUID or password) decoded.
int link_read_url(NodeLink *link, char *text, char **user, size_t *user_length, LinkQuery *query,
                  LinkTransport *t)
{
    char *authority = link_split(link, text, query, user);
    if (!authority)
        return -1;
    if (!*user)
        return node_refuse(link, "no user before @host:port");
    *user_length = link_percent_decode(*user, strlen(*user));
    if (link_set_server(link, authority) != 0)
        return -1;
    return link_query_transport(link, query, t);
}

// Parameters that change nothing the client sends are dropped with a word.
void link_note_unused(NodeLink *link, LinkQuery *query)
{
    link_query_warn_unused(link, query, link->type == 3 ? "Trojan" : "V2Ray/Xray");
}

} // namespace

int link_set_v2ray(NodeLink *link, const char *protocol, const LinkTransport *t)
{
    link->type = 2;
    // Vision is vless's; the XTLS flows of old were vless's and trojan's.
    if (t->flow[0] && strcmp(protocol, "vless") != 0 && strcmp(t->security, "xtls") != 0)
        return node_refuse(link, "flow %s is vless's, not %s's", t->flow, protocol);
    if (node_set_text(link, "v2ray_protocol", protocol) != 0)
        return -1;
    return link_set_transport(link, t, node_get(link, "server"));
}

namespace {

struct VmessField {
    const char *name;
    const char *text;
};

// json-c takes an escaped surrogate without its pair as U+FFFD: such a text
// is broken, not a different name.
bool vmess_lone_surrogate(const char *p)
{
    const char *pair = NULL; // where the low half of a pair must be
    for (; (p = strchr(p, '\\')) && p[1]; p += 2) {
        long code = 0;
        for (int i = 2; p[1] == 'u' && i < 6 && p[i]; i++)
            code = code * 16 + (v2ray_hex(p[i]) & 15);
        bool low = p[1] == 'u' && code >= 0xdc00 && code < 0xe000;
        if (pair ? p != pair || !low : low)
            return true;
        pair = p[1] == 'u' && code >= 0xd800 && code < 0xdc00 ? p + 6 : NULL;
        p += p[1] == 'u' && strnlen(p, 6) == 6 ? 4 : 0;
    }
    return pair != NULL;
}

// The one object's members, through json-c, in one pass over them; each
// field a text, the digits of a whole number, "true" or "false", or "" for
// null.
int vmess_read(NodeLink *link, const char *json, size_t length, json_object **root, VmessField *fields, size_t count)
{
    json_tokener *tokener = json_tokener_new_ex(32);
    if (!tokener)
        return node_out_of_memory(link);
    json_tokener_set_flags(tokener, JSON_TOKENER_STRICT);
    *root = json_tokener_parse_ex(tokener, json, (int)length);
    size_t end = json_tokener_get_parse_end(tokener);
    json_tokener_free(tokener);
    size_t start = strspn(json, " \t\r\n");
    while (*root && end < length && strchr(" \t\r\n", json[end]) && json[end])
        end++;
    if (!json_object_is_type(*root, json_type_object))
        return node_refuse(link, start < length && json[start] == '{' ? "broken JSON" : "not a JSON object");
    if (end != length || vmess_lone_surrogate(json))
        return node_refuse(link, "broken JSON");
    json_object_object_foreach(*root, name, value) {
        json_type type = json_object_get_type(value);
        if (type == json_type_string && strlen(json_object_get_string(value)) != (size_t)json_object_get_string_len(value))
            return node_refuse(link, "%s holds a NUL byte", name);
        for (size_t i = 0; i < count; i++)
            if (fields[i].name[0] == name[0] && strcmp(fields[i].name, name) == 0)
                fields[i].text = type == json_type_double || type == json_type_object || type == json_type_array ? NULL
                                 : value ? json_object_get_string(value)
                                         : "";
    }
    for (size_t i = 0; i < count; i++)
        if (!fields[i].text)
            return node_refuse(link, "%s is neither a text nor a whole number", fields[i].name);
    return 0;
}

} // namespace

namespace {

// An alterId of at most five digits; "007" is 7, as tarvick reads it and
// export writes it.
int vmess_alter_id(NodeLink *link, const char *text, const char *name, char *alter_id)
{
    text = link_or_default(text, "0");
    if (strspn(text, "0123456789") != strlen(text) || strlen(text) > 5)
        return node_refuse(link, "bad %s '%s'", name, text);
    text_put_number(alter_id, (unsigned long)strtol(text, NULL, 10));
    return 0;
}

// What both forms give after the server: the account, then the transport.
int vmess_set_node(NodeLink *link, const char *id, const char *alter_id, const char *security, const LinkTransport *t)
{
    if ((node_set_text(link, "v2ray_uuid", id) | node_set_text(link, "v2ray_alterid", alter_id) |
         node_set_text(link, "v2ray_security", security)) != 0)
        return -1;
    return link_set_v2ray(link, "vmess", t);
}

// Shadowrocket's form: vmess://BASE64(security:id@host:port)?remarks=
// &obfs=(none|websocket|http|h2|grpc)&path=&obfsParam=&tls=1&peer=&alterId=
// &allowInsecure=, read as the same vmess node its JSON form gives.
int vmess_read_shadowrocket(NodeLink *link, char *text, char *query_text)
{
    LinkQuery query;
    if (link_query_parse(link, &query, query_text) != 0)
        return -1;
    const char *remarks = link_query_get(&query, "remarks");
    if (node_set_name(link, remarks, strlen(remarks)) != 0)
        return -1;
    long decoded;
    char *plain = link_unbase64(link, text, strlen(text), &decoded);
    char *at = plain && !memchr(plain, '\0', (size_t)decoded) ? strrchr(plain, '@') : NULL;
    char *colon = at ? (char *)memchr(plain, ':', (size_t)(at - plain)) : NULL;
    if (!colon || colon == plain || colon + 1 == at) {
        free(plain);
        return node_refuse(link, "Shadowrocket's vmess form without BASE64(security:id@host:port)");
    }
    *colon = *at = '\0';
    int rc = link_set_server(link, at + 1);
    LinkTransport t;
    link_transport_clear(&t);
    const char *obfs = link_or_default(link_query_get(&query, "obfs"), "none"),
               *path = link_query_get(&query, "path");
    static const char *const OBFS[][2] = {{"none", "tcp"}, {"websocket", "ws"}, {"http", "tcp"}, {"h2", "h2"},
                                          {"grpc", "grpc"}};
    for (const auto &row : OBFS)
        if (strcmp(obfs, row[0]) == 0)
            t.network = row[1];
    if (rc == 0 && !t.network[0])
        rc = node_refuse(link, "Shadowrocket's obfs '%s' is no vmess transport", obfs);
    char alter_id[8];
    const char *aid = link_query_get(&query, "alterId");
    if (rc == 0)
        rc = vmess_alter_id(link, aid, "alterId", alter_id);
    if (rc == 0) {
        bool grpc = strcmp(t.network, "grpc") == 0;
        t.header = strcmp(obfs, "http") == 0 ? "http" : "";
        t.path = grpc ? "" : path;
        t.service = grpc ? path : "";
        t.host = link_query_get(&query, "obfsParam");
        const char *tls = link_query_get(&query, "tls");
        t.security = strcmp(tls, "1") == 0 ? "tls" : "none";
        t.sni = link_query_get(&query, "peer");
        if (tls[0] && strcmp(tls, "1") != 0 && strcmp(tls, "0") != 0)
            rc = node_refuse(link, "tls '%s' is neither 1 nor 0", tls);
    }
    if (rc == 0)
        rc = link_verify_switch(link, &t, "allowInsecure", link_query_get(&query, "allowInsecure"), true);
    if (rc == 0)
        rc = vmess_set_node(link, colon + 1, alter_id, plain, &t);
    if (rc == 0)
        link_query_warn_unused(link, &query, "V2Ray/Xray");
    free(plain);
    return rc == 0 ? 0 : -1;
}

} // namespace

int link_read_vmess(NodeLink *link, char *text, size_t length)
{
    link->type = 2;
    // Base64 has no "@": this is the URL form some clients write.
    if (memchr(text, '@', length))
        return node_refuse(link, "the vmess URL form (vmess://id@host:port?...) is not taken: use the vmess JSON form "
                                 "or a vless link");
    if (char *query = (char *)memchr(text, '?', length)) {
        *query = '\0';
        return vmess_read_shadowrocket(link, text, query + 1);
    }
    long decoded;
    char *json = link_unbase64(link, text, length, &decoded);
    if (!json)
        return node_refuse(link, "bad Base64");
    VmessField f[] = {{"add", ""}, {"port", ""}, {"id", ""}, {"aid", ""}, {"scy", ""}, {"net", ""}, {"type", ""},
                      {"host", ""}, {"path", ""}, {"tls", ""}, {"sni", ""}, {"fp", ""}, {"ps", ""}, {"alpn", ""},
                      {"allowInsecure", ""}, {"insecure", ""}, {"skip-cert-verify", ""}, {"verify_cert", ""},
                      {"pbk", ""}, {"sid", ""}, {"spx", ""}, {"pcs", ""}, {"vcn", ""}, {"flow", ""}};
    enum { ADD, PORT, ID, AID, SCY, NET, TYPE, HOST, PATH, TLS, SNI, FP, PS, ALPN, INSECURE, INSECURE2, SKIP, VERIFY,
           PBK, SID, SPX, PCS, VCN, FLOW };
    // A UTF-8 byte order mark before the object is no part of it.
    size_t skip = decoded >= 3 && memcmp(json, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;
    json_object *root = NULL;
    int rc = vmess_read(link, json + skip, (size_t)decoded - skip, &root, f, sizeof f / sizeof f[0]);
    if (rc == 0) {
        // JSON needs no brackets around an IPv6 address; some writers add them.
        NodeText address;
        bool v6 = strchr(f[ADD].text, ':') && f[ADD].text[0] != '[';
        rc = text_printf(&address, v6 ? "[%s]:%s" : "%s:%s", f[ADD].text, f[PORT].text) != 0
                 ? node_out_of_memory(link)
                 : link_set_server(link, address.data);
    }
    if (rc == 0 && !f[ID].text[0])
        rc = node_refuse(link, "no id");
    char alter_id[8];
    if (rc == 0)
        rc = vmess_alter_id(link, f[AID].text, "aid", alter_id);
    if (rc == 0 && f[FLOW].text[0])
        rc = node_refuse(link, "flow %s is vless's, not %s's", f[FLOW].text, "vmess");
    if (rc == 0) {
        // The vmess format's fields mean one thing or another by the network.
        const V2rayName *row = v2ray_link_network(f[NET].text);
        int kind = row ? (int)row->value : (int)NETWORK_OTHER;
        bool quic = kind == NETWORK_QUIC, grpc = kind == NETWORK_GRPC, kcp = kind == NETWORK_MKCP;
        bool xhttp = kind == NETWORK_XHTTP;
        LinkTransport t;
        link_transport_clear(&t);
        t.network = f[NET].text;
        t.header = grpc || xhttp ? "" : f[TYPE].text;
        t.mode = grpc || xhttp ? f[TYPE].text : "";
        t.host = quic ? "" : f[HOST].text;
        t.quic_security = quic ? f[HOST].text : "";
        t.path = quic || grpc || kcp ? "" : f[PATH].text;
        t.quic_key = quic ? f[PATH].text : "";
        t.service = grpc ? f[PATH].text : "";
        t.seed = kcp ? f[PATH].text : "";
        t.security = f[TLS].text;
        t.sni = f[SNI].text;
        t.fingerprint = f[FP].text;
        t.alpn = f[ALPN].text;
        t.public_key = f[PBK].text;
        t.short_id = f[SID].text;
        t.spider = f[SPX].text;
        t.pinned = f[PCS].text;
        t.names = f[VCN].text;
        // Marzban writes XHTTP's extra into the object as an object.
        json_object *whole = NULL, *extra = NULL;
        if (xhttp && link->for_xray && (whole = xray_json_parse(json + skip, (size_t)decoded - skip)) &&
            json_object_object_get_ex(whole, "extra", &extra) && extra)
            t.extra = json_object_is_type(extra, json_type_string)
                          ? json_object_get_string(extra)
                          : json_object_to_json_string_ext(extra, JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
        // Their names are the members': "true" means not to verify, but in verify_cert.
        for (int i = INSECURE; i <= VERIFY; i++)
            rc |= link_verify_switch(link, &t, f[i].name, f[i].text, i != VERIFY);
        if (rc == 0)
            rc = vmess_set_node(link, f[ID].text, alter_id, link_or_default(f[SCY].text, "auto"), &t);
        if (rc == 0)
            rc = node_set_name(link, f[PS].text, strlen(f[PS].text));
        json_object_put(whole);
    }
    json_object_put(root);
    free(json);
    return rc == 0 ? 0 : -1;
}

int link_read_vless(NodeLink *link, char *text, size_t)
{
    char *user;
    size_t user_length = 0;
    LinkQuery query;
    LinkTransport t;
    link->type = 2;
    if (link_read_url(link, text, &user, &user_length, &query, &t) != 0)
        return -1;
    const char *encryption = link_or_default(link_query_get(&query, "encryption"), "none");
    if (strcmp(encryption, "none") != 0 && !link->for_xray)
        return node_refuse(link, "encryption %s cannot be carried (the document sends none)", encryption);
    if (user_length == 0)
        return node_refuse(link, "no id");
    // VLESS Encryption: tarvick-node xray's, as current Xray checks it.
    if (node_set(link, "v2ray_uuid", user, user_length) != 0 || link_set_vless_encryption(link, encryption) != 0 ||
        link_set_v2ray(link, "vless", &t) != 0)
        return -1;
    link_note_unused(link, &query);
    return 0;
}

namespace {

// The older form of a trojan link over WebSocket: ws=1, wspath=, wshost=.
int trojan_old_ws(NodeLink *link, LinkQuery *query, LinkTransport *t)
{
    const char *ws = link_query_get(query, "ws"), *path = link_query_get(query, "wspath"),
               *host = link_query_get(query, "wshost");
    bool on = strcmp(ws, "1") == 0 || strcmp(ws, "true") == 0;
    if (!on && (path[0] || host[0] || (ws[0] && strcmp(ws, "0") != 0 && strcmp(ws, "false") != 0)))
        return node_refuse(link, "ws '%s' with wspath or wshost says neither WebSocket nor not", ws);
    if (!on)
        return 0;
    if ((t->network[0] && strcmp(t->network, "ws") != 0) || (t->path[0] && path[0] && strcmp(t->path, path) != 0) ||
        (t->host[0] && host[0] && strcmp(t->host, host) != 0))
        return node_refuse(link, "ws=1 and its wspath or wshost disagree with type, path or host");
    t->network = "ws";
    t->path = link_or_default(t->path, path);
    t->host = link_or_default(t->host, host);
    return 0;
}

// For tarvick-node xray, which verifies always: the pins and names stand in
// where the Trojan client does not verify.
int trojan_xray_verify(NodeLink *link, const LinkTransport *t)
{
    if (link_set_checked(link, "v2ray_tls_pinned_sha256", t->pinned) != 0 ||
        link_set_checked(link, "v2ray_tls_verify_names", t->names) != 0)
        return -1;
    if (t->verify == LINK_VERIFY_SKIP && !t->pinned[0] && !t->names[0])
        node_warn(link, "%s: tarvick-node xray refuses this node, as it verifies the certificate (pin a self-signed "
                        "one with pcs=)",
                  t->verify_said_by);
    return 0;
}

} // namespace

int link_read_trojan(NodeLink *link, char *text, size_t)
{
    char *user;
    size_t user_length = 0;
    LinkQuery query;
    LinkTransport t;
    link->type = 3;
    if (link_read_url(link, text, &user, &user_length, &query, &t) != 0 || trojan_old_ws(link, &query, &t) != 0)
        return -1;
    if (user_length == 0)
        return node_refuse(link, "no password");
    // trojan-go's Shadowsocks layer and plugins change every byte sent.
    const char *encryption = link_query_get(&query, "encryption"), *plugin = link_query_get(&query, "plugin");
    if (encryption[0] && strcmp(encryption, "none") != 0)
        return node_refuse(link, "%s %s cannot be carried by the documents", "encryption", encryption);
    if (plugin[0])
        return node_refuse(link, "%s %s cannot be carried by the documents", "plugin", plugin);
    const char *peer = link_query_get(&query, "peer");
    t.security = link_or_default(t.security, "tls"); // trojan is TLS unless told otherwise
    t.sni = link_or_default(t.sni, peer);
    if (node_set_password(link, user, user_length) != 0)
        return -1;
    const V2rayName *network = v2ray_link_network(t.network);
    bool plain_tcp = network && network->value == NETWORK_TCP && (!t.header[0] || strcmp(t.header, "none") == 0);
    // ECH and a final mask change what is sent, and the Trojan client has
    // neither: the V2Ray/Xray node carries or refuses them.
    if (!plain_tcp || strcmp(t.security, "tls") != 0 || t.flow[0] || t.ech[0] || t.mask[0]) {
        if (link_set_v2ray(link, "trojan", &t) != 0)
            return -1;
        link_note_unused(link, &query);
        return 0;
    }
    // The Trojan client itself: it verifies unless the link says not to, and
    // takes the server name from sni, peer, a host of one name, or the server.
    const char *sni = link_or_default(t.sni, strchr(t.host, ',') ? "" : t.host);
    if (!sni[0] && t.host[0])
        return node_refuse(link, "host %s is a list and the link names no sni: a TLS server name is one name", t.host);
    int rc = node_set_text(link, "ssl_verify_enable", t.verify == LINK_VERIFY_SKIP ? "0" : "1") |
             node_set_text(link, "trojan_sni", link_or_default(sni, node_get(link, "server"))) |
             node_set_text(link, "trojan_mp_enable", "0");
    if (rc != 0)
        return -1;
    if (t.fingerprint[0])
        node_warn(link, "fp dropped: the Trojan client has no fingerprint setting");
    if (t.alpn[0])
        node_warn(link, "alpn dropped: the client offers its own ALPN");
    if (link->for_xray && trojan_xray_verify(link, &t) != 0)
        return -1;
    if (!link->for_xray && (t.pinned[0] || t.names[0]))
        node_warn(link, "%s dropped: the Trojan client cannot pin the certificate or verify it by other names: it "
                        "verifies it against the CA bundle%s",
                  t.pinned[0] ? "pcs" : "vcn", t.verify == LINK_VERIFY_SKIP ? ", or not at all as the link says" : "");
    if (t.public_key[0] || t.short_id[0] || t.spider[0])
        node_warn(link, "pbk, sid and spx dropped: they are REALITY's, and the link's security is %s", "tls");
    const char *unused[] = {"path", "serviceName", "mode", "quicSecurity", "key", "seed", "flow", "authority", "extra",
                            "pqv"};
    for (const char *name : unused) // the Trojan client runs over TLS alone
        if (link_query_get(&query, name)[0])
            node_warn(link, "parameter %s dropped: the %s document has no place for it", name, "Trojan");
    link_note_unused(link, &query);
    return 0;
}

int link_write_vmess(NodeLink *node, NodeText *out)
{
    LinkTransport t;
    if (link_get_transport(node, &t) != 0)
        return -1;
    // The format's empty scy means auto; tarvick writes an empty one as it is.
    if (!node_get(node, "v2ray_security")[0])
        return node_refuse(node, "the vmess security is empty, which no vmess link can say (an empty scy means auto)");
    int kind = v2ray_network(node_get(node, "v2ray_network"))->value; // known: the transport has a link
    bool quic = kind == NETWORK_QUIC;
    bool grpc = kind == NETWORK_GRPC || kind == NETWORK_XHTTP; // their mode is "type"
    char port[16], aid[16];
    snprintf(port, sizeof port, "%d", text_to_int(node_get(node, "port")));
    snprintf(aid, sizeof aid, "%d", text_to_int(node_get(node, "v2ray_alterid")));
    // What only tarvick-node xray writes (from alpn on) goes in only when the node has it.
    const char *values[] = {
        /* v */ "2", /* ps */ "", /* add */ node_get(node, "server"), /* port */ port,
        /* id */ node_get(node, "v2ray_uuid"), /* aid */ aid, /* scy */ node_get(node, "v2ray_security"),
        /* net */ strcmp(t.network, "http") == 0 ? "h2" : t.network, // the vmess format's own name
        /* type */ grpc ? t.mode : t.header,
        /* host */ quic ? t.quic_security : t.host,
        /* path */ quic ? t.quic_key : kind == NETWORK_GRPC ? t.service : t.path,
        /* tls */ t.security, /* sni */ t.sni, /* fp */ t.fingerprint,
        /* alpn */ t.alpn, /* pbk */ t.public_key, /* sid */ t.short_id, /* spx */ t.spider, /* pcs */ t.pinned,
        /* vcn */ t.names, /* allowInsecure */ "", // tarvick-node xray verifies always
        /* extra */ t.extra, // an object, as Marzban writes it
    };
    static_assert(sizeof values / sizeof values[0] == VMESS_MEMBER_COUNT, "one value for each member");
    if (link_append_vmess(out, values, 14) != 0)
        return node_out_of_memory(node);
    return 0;
}

const char *const VMESS_MEMBERS[VMESS_MEMBER_COUNT] = {
    "v", "ps", "add", "port", "id", "aid", "scy", "net", "type", "host", "path", "tls", "sni", "fp",
    "alpn", "pbk", "sid", "spx", "pcs", "vcn", "allowInsecure", "extra",
};

int link_append_vmess(NodeText *out, const char *const *values, size_t always)
{
    json_object *root = json_object_new_object();
    bool failed = !root;
    for (size_t i = 0; i < VMESS_MEMBER_COUNT; i++) {
        const char *name = VMESS_MEMBERS[i], *text = values[i];
        if (i >= always && !text[0])
            continue;
        json_object *value = strcmp(name, "extra") == 0 ? xray_json_parse(text, strlen(text)) : json_object_new_string(text);
        failed = failed || !value || json_object_object_add(root, name, value) != 0;
    }
    size_t length = 0;
    const char *json = failed ? NULL
                              : json_object_to_json_string_length(
                                    root, JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE, &length);
    failed = !json || text_append_str(out, "vmess://") != 0 || text_append_base64(out, json, length, false) != 0;
    json_object_put(root);
    return failed ? -1 : 0;
}

int link_write_vless(NodeLink *node, NodeText *out)
{
    const char *encryption = link_or_default(node_get(node, "v2ray_vless_encryption"), "none");
    if (link_write_head(node, out, "vless://", node_get(node, "v2ray_uuid"), "?encryption=") != 0)
        return -1;
    if (text_append_percent(out, encryption) != 0)
        return node_out_of_memory(node);
    return link_write_transport(node, out);
}

int link_write_trojan(NodeLink *node, NodeText *out)
{
    if (link_write_head(node, out, "trojan://", NULL, node->type == 3 ? "?security=tls" : "?") != 0)
        return -1;
    if (node->type != 3)
        return link_write_transport(node, out);
    bool verify = text_to_int(node_get(node, "ssl_verify_enable")) == 1;
    // pcs and vcn are read only for tarvick-node xray: what it verifies by.
    int rc = link_append_param(out, "sni", node_get(node, "trojan_sni")) |
             link_append_param(out, "allowInsecure", verify ? "" : "1") |
             link_append_param(out, "pcs", node_get(node, "v2ray_tls_pinned_sha256")) |
             link_append_param(out, "vcn", node_get(node, "v2ray_tls_verify_names"));
    return rc != 0 ? node_out_of_memory(node) : 0;
}
