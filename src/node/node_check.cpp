// tarvick-node check: builds the document tarvick would write for a node,
// with tarvick's own generator, and says before the client starts whether
// the client will refuse it, load it and carry nothing, or carry the traffic
// without the protection the node asks for.
//
// Each rule below is one fact about one client family (or two alike), for a
// range of its releases. The clients installed on a router today (ss-libev
// 3, V2Ray 4, Trojan 1.16) count by default; the facts about others are notes
// that name the release they apply from, unless --client names such a
// client, whose version then decides.
#include "check_client.h"
#include "node.h"
#include "tarvick.h"
#include "v2ray_names.h"

#include <arpa/inet.h>
#include <errno.h>
#include <json-c/json.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <time.h>
#include <unistd.h>

#include <initializer_list>

namespace {

// What a rule looks at: the document as tarvick writes it.
struct CheckInput {
    json_object *root;
    json_object *outbound; // "outbound", or the first of "outbounds"
};

typedef bool (*CheckTest)(const CheckInput *in);

enum CheckSeverity : unsigned char {
    SEVERITY_NOTE,    // worth knowing
    SEVERITY_UNSAFE,  // traffic leaves without the protection asked for
    SEVERITY_BROKEN,  // the client loads the file, and traffic does not flow
    SEVERITY_REFUSED, // the client does not load the file
};

const char *const SEVERITY_NAMES[] = {"note", "unsafe", "broken", "refused"};

// The releases of one client family a fact holds for.
// Bytes, not a Version's ints: the rule table is the largest table of the
// binary.
struct Release {
    unsigned char major, minor, patch;
};

struct Releases {
    unsigned char family = 0;  // a ClientFamily; 0: none
    Release from = {0, 0, 0};  // first release the fact holds for; 0.0.0: all
    Release until = {0, 0, 0}; // first release it no longer holds for; 0.0.0: none
};

// One fact about one client family, for a range of its releases; shared,
// the same fact in the same words about a second family. The man page lists
// each family's releases apart, the shared ones second.
struct CheckRule {
    unsigned char documents = DOC_TARVICK; // the documents it is about
    Releases holds;
    Releases shared = {};
    unsigned short from_day = 0, until_day = 0; // the days it holds on (UTC, days since 1970); 0: any
    CheckSeverity severity;
    CheckTest applies = NULL; // NULL: every node
    const char *field = NULL; // the setting to change, or NULL when none can
    const char *what;
    const char *todo = NULL; // NULL: "use" the release holds.until names, the first without the fault
};

// From this day the Xray releases that only warned about "allowInsecure"
// stop at it too.
const unsigned short INSECURE_STOPS = 20605; // 2026-06-01 (UTC)
// From this day the Hysteria client of Xray v26.5.3 and later (official
// Hysteria 2.8.2's) leaves max_datagram_frame_size out of its QUIC handshake.
const unsigned short HYSTERIA_DATAGRAMS_UNSAID = 20697; // 2026-09-01 (UTC)

// --- reading the document --------------------------------------------------

json_object *doc_at(json_object *object, const char *path)
{
    // "outbound/streamSettings/network": members one under another.
    char name[64];
    while (object && *path) {
        size_t length = strcspn(path, "/");
        if (length >= sizeof name)
            return NULL;
        memcpy(name, path, length);
        name[length] = '\0';
        json_object *next = NULL;
        if (!json_object_is_type(object, json_type_object) || !json_object_object_get_ex(object, name, &next))
            return NULL;
        object = next;
        path += length + (path[length] == '/');
    }
    return object;
}

// Texts and members under the document's root, or under its outbound
// (either document's).
const char *text_at(json_object *object, const char *path)
{
    json_object *value = doc_at(object, path);
    return json_object_is_type(value, json_type_string) ? json_object_get_string(value) : NULL;
}

bool text_is(json_object *object, const char *path, const char *text)
{
    const char *value = text_at(object, path);
    return value && strcmp(value, text) == 0;
}

const char *out_text(const CheckInput *in, const char *path)
{
    const char *text = text_at(in->outbound, path);
    return text ? text : "";
}

bool out_is(const CheckInput *in, const char *path, const char *text)
{
    return text_is(in->outbound, path, text);
}

bool out_has(const CheckInput *in, const char *path)
{
    return doc_at(in->outbound, path) != NULL;
}

// The protocol and transport as the clients read them (the vocabulary's).
bool protocol_is(const CheckInput *in, OutboundProtocol protocol)
{
    const V2rayName *row = v2ray_written_protocol(out_text(in, "protocol"));
    return row && row->value == protocol;
}

const V2rayName *out_network(const CheckInput *in)
{
    return v2ray_reader_network(out_text(in, "streamSettings/network"));
}

bool network_is(const CheckInput *in, NetworkKind network)
{
    const V2rayName *row = out_network(in);
    return row && row->value == network;
}

bool security_is(const CheckInput *in, const char *security)
{
    return out_is(in, "streamSettings/security", security);
}

// The first server of the outbound, and its first user, where the id, flow
// and method are.
json_object *out_server(const CheckInput *in)
{
    json_object *list = doc_at(in->outbound, "settings/vnext");
    if (!list)
        list = doc_at(in->outbound, "settings/servers");
    // tarvick-node xray writes the one server's members in "settings" itself.
    return json_object_is_type(list, json_type_array) ? json_object_array_get_idx(list, 0)
                                                       : list ? NULL : doc_at(in->outbound, "settings");
}

const char *account_text(const CheckInput *in, const char *name)
{
    json_object *server = out_server(in);
    json_object *users = doc_at(server, "users");
    if (json_object_is_type(users, json_type_array) && !protocol_is(in, OUTBOUND_SOCKS) &&
        !protocol_is(in, OUTBOUND_HTTP))
        server = json_object_array_get_idx(users, 0);
    return text_at(server, name);
}

bool text_in(const char *text, const char *const *list)
{
    for (; *list; list++)
        if (strcmp(text, *list) == 0)
            return true;
    return false;
}

// --- the facts ---------------------------------------------------------------

bool uuid_bad(const CheckInput *in)
{
    if (!protocol_is(in, OUTBOUND_VMESS) && !protocol_is(in, OUTBOUND_VLESS))
        return false;
    const char *id = account_text(in, "id");
    if (!id)
        return true;
    // 8-4-4-4-12 hexadecimal digits, or the same without the dashes.
    size_t length = strlen(id), digits = 0;
    for (size_t i = 0; i < length; i++) {
        bool dash = id[i] == '-' && (i == 8 || i == 13 || i == 18 || i == 23);
        if (!dash && v2ray_hex(id[i]) < 0)
            return true;
        digits += !dash;
    }
    return digits != 32;
}

bool v2ray4_ss_method_unknown(const CheckInput *in)
{
    static const char *const KNOWN[] = {"aes-128-gcm", "aes-256-gcm", "chacha20-poly1305", "chacha20-ietf-poly1305",
                                        "none", "plain", NULL};
    const char *method = protocol_is(in, OUTBOUND_SHADOWSOCKS) ? account_text(in, "method") : NULL;
    return method && !text_in(method, KNOWN);
}

bool is_xtls(const CheckInput *in)
{
    return security_is(in, "xtls");
}

bool udp_beside_mkcp_or_quic(const CheckInput *in)
{
    return (protocol_is(in, OUTBOUND_SHADOWSOCKS) || protocol_is(in, OUTBOUND_SOCKS)) &&
           (network_is(in, NETWORK_MKCP) || network_is(in, NETWORK_QUIC));
}

// Over the other transports the client negotiates no h2 with the proxy.
bool http_over_tls(const CheckInput *in)
{
    return protocol_is(in, OUTBOUND_HTTP) && security_is(in, "tls") &&
           ((network_is(in, NETWORK_TCP) && !out_has(in, "streamSettings/tcpSettings")) ||
            network_is(in, NETWORK_MKCP));
}

bool allow_insecure_written(const CheckInput *in)
{
    return out_has(in, "streamSettings/tlsSettings/allowInsecure") ||
           out_has(in, "streamSettings/xtlsSettings/allowInsecure");
}

bool vless_encryption_written(const CheckInput *in)
{
    const char *encryption = account_text(in, "encryption");
    return protocol_is(in, OUTBOUND_VLESS) && encryption && v2ray_vless_encrypted(encryption);
}

// tarvick's document writes tls, xtls or none.
bool plain_to_public_address(const CheckInput *in)
{
    const V2rayName *protocol = v2ray_written_protocol(out_text(in, "protocol"));
    const V2rayName *security = v2ray_security(out_text(in, "streamSettings/security"));
    const char *address = text_at(out_server(in), "address");
    bool private_address = v2ray_address_private(address ? address : "");
    return protocol && v2ray_plaintext_refused((OutboundProtocol)protocol->value,
                                               security ? (SecurityMode)security->value : SECURITY_NONE,
                                               vless_encryption_written(in), private_address);
}

bool ss_libev_method_unknown(const CheckInput *in)
{
    static const char *const KNOWN[] = {
        "rc4-md5",      "aes-128-gcm",      "aes-192-gcm",      "aes-256-gcm",      "aes-128-cfb",
        "aes-192-cfb",  "aes-256-cfb",      "aes-128-ctr",      "aes-192-ctr",      "aes-256-ctr",
        "camellia-128-cfb", "camellia-192-cfb", "camellia-256-cfb", "bf-cfb", "chacha20-ietf-poly1305",
        "xchacha20-ietf-poly1305", "salsa20", "chacha20", "chacha20-ietf", NULL};
    const char *method = text_at(in->root, "method");
    return method && !text_in(method, KNOWN);
}

// ss-local runs its plugin by name from PATH, and stops when it cannot.
bool ss_plugin_missing(const CheckInput *in)
{
    const char *plugin = text_at(in->root, "plugin");
    if (!plugin)
        return false;
    if (strchr(plugin, '/'))
        return access(plugin, X_OK) != 0;
    const char *path = getenv("PATH");
    char candidate[4096];
    for (const char *dir = path ? path : "/usr/bin:/bin"; *dir;) {
        size_t length = strcspn(dir, ":");
        if (snprintf(candidate, sizeof candidate, "%.*s/%s", (int)length, dir, plugin) < (int)sizeof candidate &&
            access(candidate, X_OK) == 0)
            return false;
        dir += length + (dir[length] == ':');
    }
    return true;
}

bool is_hysteria(const CheckInput *in)
{
    return protocol_is(in, OUTBOUND_HYSTERIA2);
}

// Whether XHTTP's extra holds one of the members (found in any case, as
// Xray finds them).
bool xhttp_extra_holds(const CheckInput *in, const char *const *members)
{
    json_object *extra = doc_at(in->outbound, "streamSettings/xhttpSettings/extra");
    if (!json_object_is_type(extra, json_type_object))
        return false;
    json_object_object_foreach(extra, name, value) {
        (void)value;
        for (const char *const *member = members; *member; member++)
            if (strcasecmp(name, *member) == 0)
                return true;
    }
    return false;
}

// A Shadowsocks 2022 cipher, of a V2Ray/Xray node or of a Shadowsocks node
// (whose outbound tarvick-node xray writes without "streamSettings").
bool ss_2022_written(const CheckInput *in, bool v2ray_node)
{
    const char *method = protocol_is(in, OUTBOUND_SHADOWSOCKS) ? account_text(in, "method") : NULL;
    return method && strncmp(method, "2022-", 5) == 0 && out_has(in, "streamSettings") == v2ray_node;
}

bool trojan_verify_on(const CheckInput *in)
{
    return json_object_get_boolean(doc_at(in->root, "ssl/verify"));
}

bool trojan_verify_address_without_sni(const CheckInput *in)
{
    const char *address = text_at(in->root, "remote_addr");
    unsigned char ip[16];
    return trojan_verify_on(in) && text_is(in->root, "ssl/sni", "") && address &&
           (inet_pton(AF_INET, address, ip) == 1 || inet_pton(AF_INET6, address, ip) == 1);
}

// Ordered as the man page lists them; a fact about two families names the
// family tarvick's default client belongs to first.
const CheckRule CHECK_RULES[] = {
    // V2Ray and Xray.
    {.holds = {FAMILY_V2RAY}, .shared = {FAMILY_XRAY, {}, {26, 1, 31}}, .severity = SEVERITY_REFUSED,
     .applies = [](const CheckInput *in) {
         return network_is(in, NETWORK_MKCP) && out_is(in, "streamSettings/kcpSettings/header/type", "");
     },
     .field = "v2ray_headtype_tcp",
     .what = "the mKCP header type is empty, and the client stops at \"unknown config id: \"",
     .todo = "set it to none, or to the header type the server uses"},
    {.holds = {FAMILY_V2RAY}, .shared = {FAMILY_XRAY, {}, {24, 9, 7}}, .severity = SEVERITY_REFUSED,
     .applies = [](const CheckInput *in) {
         return network_is(in, NETWORK_QUIC) && out_is(in, "streamSettings/quicSettings/header/type", "");
     },
     .field = "v2ray_quic_guise",
     .what = "the QUIC header type is empty, and the client stops at \"unknown config id: \"",
     .todo = "set it to none, or to the header type the server uses"},
    {.holds = {FAMILY_V2RAY}, .shared = {FAMILY_XRAY}, .severity = SEVERITY_REFUSED,
     .applies = [](const CheckInput *in) { return !v2ray_written_protocol(out_text(in, "protocol")); },
     .field = "v2ray_protocol",
     .what = "the protocol is none of vmess, vless, trojan, ss, socks, http (as written, in lower case), so the "
             "outbound gets no server and the client stops",
     .todo = "set it to one of them"},
    {.holds = {FAMILY_V2RAY}, .shared = {FAMILY_XRAY}, .severity = SEVERITY_REFUSED,
     .applies = [](const CheckInput *in) { return !out_network(in); },
     .field = "v2ray_network", .what = "the transport is unknown to the client (\"unknown transport protocol\")",
     .todo = "set it to tcp, mkcp, ws, h2 or quic"},
    {.holds = {FAMILY_V2RAY, {}, {5, 0, 0}}, .severity = SEVERITY_REFUSED, .applies = uuid_bad, .field = "v2ray_uuid",
     .what = "the id is not a UUID, and the client stops at \"invalid UUID\"",
     .todo = "set the UUID the server gave"},
    {.holds = {FAMILY_V2RAY, {}, {5, 0, 0}}, .severity = SEVERITY_REFUSED, .applies = v2ray4_ss_method_unknown,
     .field = "v2ray_ss_method",
     .what = "V2Ray 4's Shadowsocks outbound knows only aes-128-gcm, aes-256-gcm, chacha20-poly1305 "
             "(chacha20-ietf-poly1305) and none, and stops at \"unknown cipher method\"",
     .todo = "use one of those with the server, or the Shadowsocks client (type 0)"},
    {.holds = {FAMILY_V2RAY, {}, {4, 36, 0}}, .severity = SEVERITY_REFUSED,
     .applies = [](const CheckInput *in) { return network_is(in, NETWORK_GRPC); },
     .field = "v2ray_network", .what = "this V2Ray has no gRPC transport (\"unknown transport protocol: grpc\")",
     .todo = "use Xray or a V2Ray from 4.36, or another transport"},
    {.holds = {FAMILY_V2RAY}, .shared = {FAMILY_XRAY, {}, {24, 12, 15}}, .severity = SEVERITY_BROKEN,
     .applies = [](const CheckInput *in) { return network_is(in, NETWORK_H2) && !security_is(in, "tls"); },
     .field = "v2ray_network_security",
     .what = "HTTP/2 runs only over TLS: the client loads the file and carries nothing", .todo = "set it to tls"},
    {.holds = {FAMILY_V2RAY}, .severity = SEVERITY_UNSAFE, .applies = is_xtls, .field = "v2ray_network_security",
     .what = "V2Ray has no XTLS: it loads the file and sends the traffic with no TLS at all",
     .todo = "set it to tls, or use Xray before v1.8.0"},
    // V2Ray reads only tarvick's document: the Xray part is about both.
    {.documents = DOC_TARVICK | DOC_XRAY, .holds = {FAMILY_V2RAY}, .shared = {FAMILY_XRAY},
     .severity = SEVERITY_BROKEN, .applies = udp_beside_mkcp_or_quic, .field = "v2ray_network",
     .what = "Shadowsocks and SOCKS send UDP as datagrams to the server's port, which mKCP or QUIC holds: UDP traffic "
             "will not flow (TCP does)",
     .todo = "use tcp or ws when UDP must flow"},
    {.holds = {FAMILY_V2RAY, {}, {5, 0, 0}}, .severity = SEVERITY_BROKEN, .applies = http_over_tls,
     .field = "v2ray_network_security",
     .what = "over plain TCP or mKCP the file names no \"alpn\", so the client offers h2, and an HTTP proxy behind TLS "
             "that does not speak HTTP/2 CONNECT carries nothing",
     .todo = "make the server take http/1.1 only, or set it to none"},
    // Xray, by the release that changed it.
    {.holds = {FAMILY_XRAY, {1, 7, 3}}, .severity = SEVERITY_REFUSED,
     .applies = [](const CheckInput *in) { return out_is(in, "streamSettings/tlsSettings/fingerprint", "disable"); },
     .field = "v2ray_fingerprint",
     .what = "\"fingerprint\": \"disable\" (written when no fingerprint is stored) stops the client at "
             "\"unknown fingerprint: disable\"",
     .todo = "set a fingerprint such as chrome"},
    {.holds = {FAMILY_XRAY, {1, 8, 0}}, .severity = SEVERITY_REFUSED, .applies = is_xtls,
     .field = "v2ray_network_security", .what = "\"security\": \"xtls\" is no longer known to the client",
     .todo = "set it to tls (Vision over TLS replaced XTLS)"},
    {.holds = {FAMILY_XRAY, {1, 8, 0}}, .severity = SEVERITY_REFUSED,
     .applies = [](const CheckInput *in) {
         const char *flow = account_text(in, "flow");
         return flow && v2ray_flow_old_xtls(flow);
     },
     .field = "v2ray_network_flow", .what = "the flow is one of the XTLS flows the client no longer knows",
     .todo = "remove it, or use xtls-rprx-vision over tls"},
    {.holds = {FAMILY_XRAY, {24, 9, 7}}, .severity = SEVERITY_BROKEN,
     .applies = [](const CheckInput *in) { return doc_at(in->root, "outbound") || doc_at(in->root, "inbound"); },
     .what = "the client reads only \"inbounds\" and \"outbounds\" and silently ignores \"inbound\", \"inboundDetour\" "
             "and \"outbound\", which tarvick writes: it starts with no inbound and no outbound",
     .todo = "use an Xray before v24.9.7, or V2Ray"},
    {.holds = {FAMILY_XRAY, {24, 9, 7}}, .severity = SEVERITY_REFUSED,
     .applies = [](const CheckInput *in) { return network_is(in, NETWORK_QUIC); },
     .field = "v2ray_network",
     .what = "the QUIC transport is gone (\"unknown transport protocol: quic\")", .todo = "use another transport"},
    {.holds = {FAMILY_XRAY, {24, 12, 15}}, .severity = SEVERITY_REFUSED,
     .applies = [](const CheckInput *in) { return network_is(in, NETWORK_H2); },
     .field = "v2ray_network",
     .what = "the HTTP/2 transport is gone", .todo = "use another transport"},
    {.holds = {FAMILY_XRAY, {26, 1, 31}}, .severity = SEVERITY_REFUSED,
     .applies = [](const CheckInput *in) { return out_has(in, "streamSettings/kcpSettings/header"); },
     .field = "v2ray_network", .what = "any mKCP \"header\" stops the client, and tarvick always writes one",
     .todo = "use another transport"},
    {.holds = {FAMILY_XRAY, {26, 1, 31}, {26, 2, 3}}, .severity = SEVERITY_REFUSED, .applies = allow_insecure_written,
     .what = "\"allowInsecure\", which tarvick always writes with TLS, stops the client",
     .todo = "use another Xray release"},
    {.holds = {FAMILY_XRAY, {26, 2, 3}, {26, 6, 22}}, .from_day = INSECURE_STOPS, .severity = SEVERITY_REFUSED,
     .applies = allow_insecure_written,
     .what = "\"allowInsecure\", which tarvick always writes with TLS, stops the client since 2026-06-01",
     .todo = "use another Xray release"},
    {.holds = {FAMILY_XRAY, {26, 2, 3}, {26, 6, 22}}, .until_day = INSECURE_STOPS, .severity = SEVERITY_NOTE,
     .applies = allow_insecure_written,
     .what = "\"allowInsecure\", which tarvick always writes with TLS, gives a warning, and stops the client from "
             "2026-06-01",
     .todo = "plan for another Xray release"},
    {.holds = {FAMILY_XRAY, {26, 6, 22}}, .severity = SEVERITY_REFUSED, .applies = allow_insecure_written,
     .what = "\"allowInsecure\", which tarvick always writes with TLS, stops the client",
     .todo = "use another Xray release"},
    {.holds = {FAMILY_XRAY, {26, 7, 11}}, .severity = SEVERITY_REFUSED, .applies = plain_to_public_address,
     .field = "v2ray_network_security", .what = "vless or trojan without TLS to a public address stops the client",
     .todo = "set it to tls"},
    // tarvick-node xray's document, by the Xray release that reads it.
    {.documents = DOC_XRAY, .holds = {FAMILY_XRAY, {}, {25, 10, 15}}, .severity = SEVERITY_REFUSED,
     .what = "tarvick-node xray writes the outbound's server in \"settings\" itself, which the client reads from "
             "v25.10.15 on (vless from v25.9.10): it finds no server and stops",
     .todo = "use Xray v25.10.15 or later, or tarvick 2 with an Xray before v24.9.7"},
    {.documents = DOC_XRAY, .holds = {FAMILY_XRAY, {26, 1, 31}, {26, 6, 1}}, .severity = SEVERITY_REFUSED,
     // Hysteria's Salamander is a final mask too.
     .applies = [](const CheckInput *in) {
         return out_has(in, "streamSettings/finalmask") && out_has(in, "streamSettings/kcpSettings");
     },
     .field = "v2ray_network",
     .what = "the \"finalmask\" of type \"mkcp-legacy\", which carries V2Ray's mKCP packets, is unknown to the "
             "client, and it stops",
     .todo = "use Xray v26.6.1 or later, or another transport"},
    {.documents = DOC_XRAY, .holds = {FAMILY_XRAY, {}, {26, 1, 13}}, .severity = SEVERITY_BROKEN,
     .applies = [](const CheckInput *in) { return out_has(in, "streamSettings/tlsSettings/pinnedPeerCertSha256"); },
     .field = "v2ray_tls_pinned_sha256",
     .what = "the client silently ignores \"pinnedPeerCertSha256\" and checks the certificate against the system's "
             "authorities, which a pinned certificate of the server's own fails: nothing flows"},
    {.documents = DOC_XRAY, .holds = {FAMILY_XRAY, {}, {26, 1, 31}}, .severity = SEVERITY_BROKEN,
     .applies = [](const CheckInput *in) { return out_has(in, "streamSettings/tlsSettings/verifyPeerCertByName"); },
     .field = "v2ray_tls_verify_names",
     .what = "the client silently ignores \"verifyPeerCertByName\" and checks the certificate against the server "
             "name: nothing flows unless the certificate names that too"},
    {.documents = DOC_XRAY, .holds = {FAMILY_XRAY, {}, {25, 8, 29}}, .severity = SEVERITY_REFUSED,
     .applies = vless_encryption_written, .field = "v2ray_vless_encryption",
     .what = "VLESS Encryption (\"encryption\" other than none) is unknown to the client, and it stops"},
    {.documents = DOC_XRAY, .holds = {FAMILY_XRAY, {}, {24, 11, 11}}, .severity = SEVERITY_BROKEN,
     .applies = [](const CheckInput *in) { return out_has(in, "streamSettings/xhttpSettings/extra"); },
     .field = "v2ray_xhttp_extra",
     .what = "the client silently ignores XHTTP's \"extra\": a server that wants its settings carries nothing"},
    {.documents = DOC_XRAY, .holds = {FAMILY_XRAY, {}, {26, 1, 31}}, .severity = SEVERITY_BROKEN,
     .applies =
         [](const CheckInput *in) {
             static const char *const MEMBERS[] = {"xPaddingObfsMode", "xPaddingKey", "xPaddingHeader",
                                                   "xPaddingPlacement", "xPaddingMethod", "uplinkHTTPMethod",
                                                   "seqPlacement", "seqKey", "uplinkDataPlacement", "uplinkDataKey",
                                                   "uplinkChunkSize", NULL};
             return xhttp_extra_holds(in, MEMBERS);
         },
     .field = "v2ray_xhttp_extra",
     .what = "the client silently ignores the padding, uplink and sequence members of XHTTP's \"extra\" "
             "(xPaddingObfsMode, uplinkHTTPMethod, seqPlacement and the like): a server that wants them carries "
             "nothing"},
    {.documents = DOC_XRAY, .holds = {FAMILY_XRAY, {}, {26, 6, 22}}, .severity = SEVERITY_BROKEN,
     .applies =
         [](const CheckInput *in) {
             static const char *const MEMBERS[] = {"sessionIDPlacement", "sessionIDKey", "sessionIDTable",
                                                   "sessionIDLength", NULL};
             return xhttp_extra_holds(in, MEMBERS);
         },
     .field = "v2ray_xhttp_extra",
     .what = "the client silently ignores sessionIDPlacement, sessionIDKey, sessionIDTable and sessionIDLength of "
             "XHTTP's \"extra\" (it read sessionPlacement and sessionKey from v26.1.31): a server that wants them "
             "carries nothing"},
    {.documents = DOC_XRAY, .holds = {FAMILY_XRAY, {}, {25, 7, 23}}, .severity = SEVERITY_UNSAFE,
     .applies = [](const CheckInput *in) { return out_has(in, "streamSettings/realitySettings/mldsa65Verify"); },
     .field = "v2ray_reality_mldsa65_verify",
     .what = "the client silently ignores \"mldsa65Verify\" and takes the REALITY server without its ML-DSA-65 "
             "signature"},
    {.documents = DOC_XRAY, .holds = {FAMILY_XRAY, {}, {25, 7, 26}}, .severity = SEVERITY_UNSAFE,
     .applies = [](const CheckInput *in) { return out_has(in, "streamSettings/tlsSettings/echConfigList"); },
     .field = "v2ray_tls_ech_config",
     .what = "the client silently ignores \"echConfigList\" and sends the server name in the clear"},
    {.documents = DOC_XRAY, .holds = {FAMILY_XRAY, {}, {26, 1, 13}}, .severity = SEVERITY_REFUSED,
     .applies = is_hysteria, .field = "v2ray_protocol",
     .what = "the client has no Hysteria outbound (\"hysteria\", version 2) and stops"},
    {.documents = DOC_XRAY, .holds = {FAMILY_XRAY, {}, {26, 1, 31}}, .severity = SEVERITY_BROKEN,
     .applies = [](const CheckInput *in) { return is_hysteria(in) && out_has(in, "streamSettings/finalmask/udp"); },
     .field = "v2ray_hysteria_obfs_password",
     .what = "the client silently ignores \"finalmask\", so its packets go without Salamander, which the server "
             "drops: nothing flows"},
    {.documents = DOC_XRAY, .holds = {FAMILY_XRAY, {}, {26, 3, 23}}, .severity = SEVERITY_NOTE,
     .applies = [](const CheckInput *in) { return out_has(in, "streamSettings/finalmask/quicParams"); },
     .field = "v2ray_hysteria_hop_ports",
     .what = "the client silently ignores \"quicParams\": it neither hops over the ports nor keeps to the rates "
             "given, and talks to the node's port alone",
     .todo = "use Xray v26.3.23 or later, or a server that answers on the node's port"},
    // Xray's own server assumes the peer takes datagrams; one that keeps to
    // RFC 9221, as sing-box's does, sends none back without the announcement.
    {.documents = DOC_XRAY, .holds = {FAMILY_XRAY, {26, 5, 3}}, .from_day = HYSTERIA_DATAGRAMS_UNSAID,
     .severity = SEVERITY_NOTE, .applies = is_hysteria,
     .what = "since 2026-09-01 the client does not announce that it takes QUIC datagrams, and a Hysteria2 server "
             "that waits for it (sing-box's) sends no UDP back: UDP will not flow (TCP does)",
     .todo = "use a server that sends them unannounced, as Xray's does"},
    {.documents = DOC_XRAY, .holds = {FAMILY_XRAY, {}, {1, 6, 5}}, .severity = SEVERITY_REFUSED,
     .applies = [](const CheckInput *in) { return protocol_is(in, OUTBOUND_WIREGUARD); }, .field = "v2ray_protocol",
     .what = "the client has no WireGuard outbound and stops"},
    {.documents = DOC_XRAY, .holds = {FAMILY_XRAY, {}, {1, 5, 6}}, .severity = SEVERITY_REFUSED,
     .applies = [](const CheckInput *in) { return ss_2022_written(in, true); }, .field = "v2ray_ss_method",
     .what = "the client has no Shadowsocks 2022 cipher and stops at \"unknown cipher method\""},
    {.documents = DOC_XRAY, .holds = {FAMILY_XRAY, {}, {1, 5, 6}}, .severity = SEVERITY_REFUSED,
     .applies = [](const CheckInput *in) { return ss_2022_written(in, false); }, .field = "method",
     .what = "the client has no Shadowsocks 2022 cipher and stops at \"unknown cipher method\""},
    {.documents = DOC_XRAY, .holds = {FAMILY_XRAY, {26, 1, 18}}, .severity = SEVERITY_NOTE,
     .applies =
         [](const CheckInput *in) { return protocol_is(in, OUTBOUND_SHADOWSOCKS) || protocol_is(in, OUTBOUND_TROJAN); },
     .what = "the client warns at start that its Shadowsocks and Trojan outbounds are deprecated and might be "
             "removed",
     .todo = "plan for VLESS, with Encryption or a flow, with the server"},
    // Shadowsocks.
    {.holds = {FAMILY_SS_LIBEV}, .severity = SEVERITY_REFUSED, .applies = ss_libev_method_unknown, .field = "method",
     .what = "the client does not know this method (\"invalid cipher name\") and stops",
     .todo = "use a method ss-libev knows, such as aes-256-gcm or chacha20-ietf-poly1305"},
    {.holds = {FAMILY_SS_LIBEV}, .shared = {FAMILY_SS_RUST}, .severity = SEVERITY_REFUSED,
     .applies = ss_plugin_missing, .field = "ss_obfs",
     .what = "the plugin is not installed here (not found on PATH), and the client stops when it cannot start it",
     .todo = "install the plugin, or set it to none"},
    {.holds = {FAMILY_SS_RUST, {}, {1, 10, 4}}, .severity = SEVERITY_NOTE,
     .what = "the client reads \"protocol\" (the socks or redir role) only from v1.10.4",
     .todo = "use v1.10.4 or later"},
    {.holds = {FAMILY_SS_RUST}, .severity = SEVERITY_NOTE, .what = "the client ignores \"reuse_port\"",
     .todo = "nothing to do"},
    // Trojan.
    {.holds = {FAMILY_TROJAN}, .severity = SEVERITY_BROKEN,
     .applies = [](const CheckInput *in) { return trojan_verify_on(in) && text_is(in->root, "ssl/cert", ""); },
     .field = "ssl_verify_enable",
     .what = "verification is on, and the CA bundle /rom/etc/ssl/certs/ca-certificates.crt was not there: the client "
             "cannot verify the server and carries nothing",
     .todo = "install the CA bundle, or set it to 0"},
    {.holds = {FAMILY_TROJAN}, .severity = SEVERITY_BROKEN, .applies = trojan_verify_address_without_sni,
     .field = "trojan_sni",
     .what = "verification is on with no server name, so the certificate is checked against the IP address, which "
             "certificates do not name",
     .todo = "set the server name of the certificate"},
    {.holds = {FAMILY_TROJAN}, .severity = SEVERITY_NOTE, .applies = trojan_verify_on, .field = "trojan_sni",
     .what = "verification is on: the server's certificate must be valid for the server name",
     .todo = "check it matches the server"},
    {.holds = {FAMILY_TROJAN_GO}, .severity = SEVERITY_NOTE,
     .what = "the client ignores \"cipher_tls13\", \"curve\", \"session_ticket\" and the \"tcp\" reuse and fast-open "
             "members, drops the OpenSSL-style names of \"cipher\" and sends no ALPN",
     .todo = "nothing to do: it uses its own defaults"},
};

bool version_before(Version v, const Release &r)
{
    if (v.major != r.major)
        return v.major < r.major;
    if (v.minor != r.minor)
        return v.minor < r.minor;
    return v.patch < r.patch;
}

bool release_unset(const Release &r)
{
    return r.major == 0 && r.minor == 0 && r.patch == 0;
}

bool releases_hold_for(const Releases &releases, Version version)
{
    return (release_unset(releases.from) || !version_before(version, releases.from)) &&
           (release_unset(releases.until) || version_before(version, releases.until));
}

bool rule_holds_today(const CheckRule &rule)
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    long day = now.tv_sec / 86400;
    return day >= rule.from_day && (!rule.until_day || day < rule.until_day);
}

// "Xray v24.9.7 and later", "Xray v26.1.31 and later, before v26.2.3",
// "shadowsocks-rust before v1.10.4", "trojan-go": which releases a note is
// about.
void releases_text(const Releases &releases, char *out, size_t size)
{
    const char *v = client_version_prefix(releases.family);
    const Release &f = releases.from, &u = releases.until;
    // Each part fits: the longest text is some 60 bytes.
    size_t length = snprintf(out, size, "%s", client_family_name(releases.family));
    if (!release_unset(f))
        length += snprintf(out + length, size - length, " %s%d.%d.%d and later", v, f.major, f.minor, f.patch);
    if (!release_unset(u))
        snprintf(out + length, size - length, "%s before %s%d.%d.%d", release_unset(f) ? "" : ",", v, u.major,
                 u.minor, u.patch);
}

// What to do about a fact: the rule's own words, or the release to use.
const char *rule_todo(const CheckRule &rule, char *out, size_t size)
{
    const Release &u = rule.holds.until;
    if (rule.todo)
        return rule.todo;
    snprintf(out, size, "use %s %s%d.%d.%d or later", client_family_name(rule.holds.family),
             client_version_prefix(rule.holds.family), u.major, u.minor, u.patch);
    return out;
}

struct Findings {
    int serious; // refused, broken or unsafe
    int refused;
};

void check_print(Findings *findings, CheckSeverity severity, const char *client, const CheckRule &rule, int node)
{
    char key[96] = "no setting changes it", todo[64];
    if (rule.field)
        snprintf(key, sizeof key, "ssconf_basic_%s_%d", rule.field, node);
    printf("%s %s: %s (%s): %s\n", SEVERITY_NAMES[severity], client, rule.what, key,
           rule_todo(rule, todo, sizeof todo));
    if (severity != SEVERITY_NOTE)
        findings->serious++;
    if (severity == SEVERITY_REFUSED)
        findings->refused++;
}

// The clients a router runs today, whose rules count without --client; and
// the Xray release tarvick-node xray's document is written for.
const CheckClient DEFAULT_CLIENTS[] = {
    {FAMILY_SS_LIBEV, {3, 3, 5}, "ss-libev 3", DOC_TARVICK},
    {FAMILY_V2RAY, {4, 34, 0}, "V2Ray 4", DOC_TARVICK},
    {FAMILY_TROJAN, {1, 16, 0}, "Trojan 1.16", DOC_TARVICK},
    {FAMILY_XRAY, {26, 7, 28}, "Xray v26.7.28", DOC_XRAY},
};

const int TYPE_FAMILIES[] = {FAMILY_SS_LIBEV | FAMILY_SS_RUST, 0, FAMILY_V2RAY | FAMILY_XRAY,
                             FAMILY_TROJAN | FAMILY_TROJAN_GO};

} // namespace

const char *check_fact(size_t i, char *text, size_t size)
{
    for (const CheckRule &rule : CHECK_RULES)
        for (const Releases *releases : {&rule.holds, &rule.shared}) {
            if (!releases->family || i-- > 0)
                continue;
            char names[96], todo[64];
            releases_text(*releases, names, sizeof names);
            snprintf(text, size, "%s: %s%s%s%s: %s.", names, rule.what, rule.field ? " [" : "",
                     rule.field ? rule.field : "", rule.field ? "]" : "", rule_todo(rule, todo, sizeof todo));
            return SEVERITY_NAMES[rule.severity];
        }
    return NULL;
}

int node_check(int argc, char **argv)
{
    NodeTarget args;
    if (node_parse_target(argc, argv, "--client", true, &args) != 0)
        return NODE_USAGE;
    const char *client_path = args.value;
    bool xray = args.document == DOCUMENT_XRAY;
    // tarvick-node xray's document is current Xray's alone.
    int families = xray ? FAMILY_XRAY : TYPE_FAMILIES[args.type];
    int document = xray ? DOC_XRAY : DOC_TARVICK;

    CheckClient named = {};
    if (client_path) {
        if (client_ask_version(client_path, &named) != 0) {
            fprintf(stderr, "tarvick-node: %s: not a client whose version can be told\n", client_path);
            return NODE_USAGE_SAID;
        }
        if (!(named.family & families)) {
            fprintf(stderr, "tarvick-node: %s is %s, which does not read type %s files\n", client_path,
                    named.label, args.type_name);
            return NODE_USAGE_SAID;
        }
    }

    StoreSource daemon = store_daemon();
    int node;
    if (node_target_index(&args, &daemon, &node) != 0)
        return NODE_REFUSED;
    // The document goes to a file of this run's own, never to tarvick's.
    CheckFile file;
    if (check_file_make(&file) != 0) {
        fprintf(stderr, "tarvick-node: %s: %s\n", file.path, strerror(errno));
        return NODE_REFUSED;
    }
    NodeLink settings;
    node_link_init(&settings);
    int port = client_free_port();
    int rc = node_record_document(&settings, args.type, node, &daemon, args.document, file.path, port,
                                  port + 1 == 3333 ? 3334 : port + 1);
    json_object *root = rc == 0 ? json_object_from_file(file.path) : NULL;
    if (rc == NODE_RECORD_REFUSED) {
        // The writer says what to change; nothing was written to judge.
        printf("refused %s: %s\n", xray ? "tarvick-node xray" : "tarvick", settings.reason);
    } else if (!root) {
        fprintf(stderr, "tarvick-node: node %d type %s: %s\n", node, args.type_name,
                settings.reason[0] ? settings.reason : "the document could not be read back");
    }
    node_link_clear(&settings);
    if (!root)
        return NODE_REFUSED;

    json_object *outbounds = doc_at(root, "outbounds");
    json_object *outbound = json_object_is_type(outbounds, json_type_array) ? json_object_array_get_idx(outbounds, 0)
                                                                              : doc_at(root, "outbound");
    CheckInput in = {root, outbound};
    Findings findings = {0, 0};
    const CheckClient *target = client_path ? &named : NULL;
    for (const CheckClient &client : DEFAULT_CLIENTS)
        if (!client_path && (client.family & families) && (client.documents & document))
            target = &client;
    for (const CheckRule &rule : CHECK_RULES) {
        if (!((rule.holds.family | rule.shared.family) & families) || !(rule.documents & document) ||
            !rule_holds_today(rule) || (rule.applies && !rule.applies(&in)))
            continue;
        // A shared fact is told once, by the family that counts.
        bool told_by_target = target && (rule.holds.family == target->family || rule.shared.family == target->family);
        for (const Releases *releases : {&rule.holds, &rule.shared}) {
            if (!(releases->family & families))
                continue;
            if (target && releases->family == target->family && releases_hold_for(*releases, target->version)) {
                check_print(&findings, rule.severity, target->label, rule, node);
            } else if (!client_path && !(told_by_target && releases->family != target->family)) {
                // Facts about clients not run here: notes naming their
                // releases. A named client makes the others' facts beside the
                // point.
                char names[96];
                releases_text(*releases, names, sizeof names);
                check_print(&findings, SEVERITY_NOTE, names, rule, node);
            }
        }
    }

    if (client_path) {
        char reason[512];
        int verdict = client_verdict(client_path, &named, file.path, reason, sizeof reason);
        if (verdict == 0)
            printf("client %s: its own check accepts the file\n", named.label);
        else if (verdict == 1)
            printf("client %s: its own check refuses the file: %s\n", named.label, reason);
        if (verdict == 1 && findings.refused == 0) {
            printf("refused %s: its own check refuses the file, which no rule here foresaw (no setting named): "
                   "read its message above\n",
                   named.label);
            findings.serious++;
        } else if (verdict == 0 && findings.refused > 0) {
            printf("note %s: the rules above say refused, but its own check accepts the file (no setting named): "
                   "the client may differ from its release's published behaviour\n",
                   named.label);
        }
    }
    if (findings.serious == 0) {
        const char *who = target ? target->label : "ShadowsocksR clients (no rule known to stop them)";
        printf("fine %s: node %d loads and carries its traffic as far as these rules know\n", who, node);
    }
    json_object_put(root);
    return findings.serious ? NODE_REFUSED : NODE_OK;
}
