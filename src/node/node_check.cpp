// tarvick-node check: builds the document tarvick would write for a node,
// with tarvick's own generator, and says before the client starts whether
// the client will refuse it, load it and carry nothing, or carry the traffic
// without the protection the node asks for.
//
// Each rule below is one fact about one client family, for a range of its
// releases. The clients installed on a router today (ss-libev 3, V2Ray 4,
// Trojan 1.16) count by default; the facts about others are notes that name
// the release they apply from, unless --client names such a client, whose
// version then decides.
#include "node.h"
#include "tarvick.h"
#include "v2ray_names.h"

#include <errno.h>
#include <json-c/json.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

enum ClientFamily {
    FAMILY_SS_LIBEV = 1 << 0,
    FAMILY_SS_RUST = 1 << 1,
    FAMILY_V2RAY = 1 << 2, // V2Ray 4 and v2fly 5
    FAMILY_XRAY = 1 << 3,
    FAMILY_TROJAN = 1 << 4,
    FAMILY_TROJAN_GO = 1 << 5,
};

struct Version {
    int major, minor, patch;
};

struct CheckClient {
    ClientFamily family;
    Version version;
    const char *name; // the family's name in messages
    char label[64];   // name and version, as lines print it
    int documents;    // the documents it counts for by default
};

// What a rule looks at: the document as tarvick writes it, and the settings
// it was made from (for the keys a finding names).
struct CheckInput {
    int type;
    int node;
    json_object *root;
    json_object *outbound; // "outbound", or the first of "outbounds"
    const NodeLink *settings;
};

typedef bool (*CheckTest)(const CheckInput *in);

enum CheckSeverity {
    SEVERITY_NOTE,    // worth knowing
    SEVERITY_UNSAFE,  // traffic leaves without the protection asked for
    SEVERITY_BROKEN,  // the client loads the file, and traffic does not flow
    SEVERITY_REFUSED, // the client does not load the file
};

const char *const SEVERITY_NAMES[] = {"note", "unsafe", "broken", "refused"};

// The documents a fact is about.
enum CheckDocument {
    CHECK_TARVICK = 1 << 0, // tarvick's, for the node's type
    CHECK_XRAY = 1 << 1,    // tarvick-node xray's
};

// One fact about one client family, for a range of its releases.
struct CheckRule {
    int documents = CHECK_TARVICK;
    ClientFamily family;
    Version from = {0, 0, 0};  // first release the fact holds for; 0.0.0: all
    Version until = {0, 0, 0}; // first release it no longer holds for; 0.0.0: none
    CheckSeverity severity;
    CheckTest applies;
    const char *field; // the setting to change, or NULL when none can
    const char *what;
    const char *todo;
};

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

const char *doc_text(const CheckInput *in, const char *path)
{
    return text_at(in->root, path);
}

bool doc_is(const CheckInput *in, const char *path, const char *text)
{
    return text_is(in->root, path, text);
}

bool doc_has(const CheckInput *in, const char *path)
{
    return doc_at(in->root, path) != NULL;
}

const char *out_text(const CheckInput *in, const char *path)
{
    return text_at(in->outbound, path);
}

bool out_is(const CheckInput *in, const char *path, const char *text)
{
    return text_is(in->outbound, path, text);
}

bool out_has(const CheckInput *in, const char *path)
{
    return doc_at(in->outbound, path) != NULL;
}

const char *out_protocol(const CheckInput *in)
{
    const char *protocol = out_text(in, "protocol");
    return protocol ? protocol : "";
}

// The transport as the clients take it: in any case, and by any of their
// names for it ("kcp" is mKCP, "http" is HTTP/2, an empty one is TCP).
const char *out_network(const CheckInput *in, char *name, size_t size)
{
    static const char *const ALIASES[][2] = {{"", "tcp"},     {"kcp", "mkcp"}, {"websocket", "ws"},
                                              {"http", "h2"}, {"ds", "domainsocket"}, {"gun", "grpc"}};
    const char *network = out_text(in, "streamSettings/network");
    size_t i = 0;
    for (; network && network[i] && i + 1 < size; i++)
        name[i] = network[i] >= 'A' && network[i] <= 'Z' ? (char)(network[i] + 32) : network[i];
    name[i] = '\0';
    if (network && network[i]) // longer than any name a client knows
        return "?";
    for (const auto &alias : ALIASES)
        if (strcmp(name, alias[0]) == 0)
            return alias[1];
    return name;
}

bool network_is(const CheckInput *in, const char *network)
{
    char name[32];
    return strcmp(out_network(in, name, sizeof name), network) == 0;
}

bool security_is(const CheckInput *in, const char *security)
{
    return out_is(in, "streamSettings/security", security);
}

// The first user or server of the outbound, where its id, flow and method are.
json_object *out_account(const CheckInput *in)
{
    json_object *list = doc_at(in->outbound, "settings/vnext");
    if (!list)
        list = doc_at(in->outbound, "settings/servers");
    // tarvick-node xray writes the one server's members in "settings" itself.
    json_object *server = json_object_is_type(list, json_type_array) ? json_object_array_get_idx(list, 0)
                                                                      : list ? NULL : doc_at(in->outbound, "settings");
    json_object *users = doc_at(server, "users");
    if (json_object_is_type(users, json_type_array) && strcmp(out_protocol(in), "socks") != 0 &&
        strcmp(out_protocol(in), "http") != 0)
        return json_object_array_get_idx(users, 0);
    return server;
}

const char *account_text(const CheckInput *in, const char *name)
{
    json_object *value = doc_at(out_account(in), name);
    return json_object_is_type(value, json_type_string) ? json_object_get_string(value) : NULL;
}

bool text_in(const char *text, const char *const *list)
{
    for (; *list; list++)
        if (strcmp(text, *list) == 0)
            return true;
    return false;
}

// --- the facts ---------------------------------------------------------------

bool kcp_header_empty(const CheckInput *in)
{
    return network_is(in, "mkcp") && out_is(in, "streamSettings/kcpSettings/header/type", "");
}

bool quic_header_empty(const CheckInput *in)
{
    return network_is(in, "quic") && out_is(in, "streamSettings/quicSettings/header/type", "");
}

bool protocol_unknown(const CheckInput *in)
{
    static const char *const KNOWN[] = {"vmess", "vless", "trojan", "shadowsocks", "socks", "http", NULL};
    return !text_in(out_protocol(in), KNOWN);
}

bool network_unknown(const CheckInput *in)
{
    static const char *const KNOWN[] = {"tcp", "mkcp", "ws", "h2", "quic", "domainsocket", "grpc", NULL};
    char name[32];
    return !text_in(out_network(in, name, sizeof name), KNOWN);
}

bool uuid_bad(const CheckInput *in)
{
    const char *protocol = out_protocol(in);
    if (strcmp(protocol, "vmess") != 0 && strcmp(protocol, "vless") != 0)
        return false;
    const char *id = account_text(in, "id");
    if (!id)
        return true;
    // 8-4-4-4-12 hexadecimal digits, or the same without the dashes.
    size_t length = strlen(id), digits = 0;
    for (size_t i = 0; i < length; i++) {
        bool dash = id[i] == '-' && (i == 8 || i == 13 || i == 18 || i == 23);
        if (!dash && !strchr("0123456789abcdefABCDEF", id[i]))
            return true;
        digits += !dash;
    }
    return digits != 32;
}

bool v2ray4_ss_method_unknown(const CheckInput *in)
{
    static const char *const KNOWN[] = {"aes-128-gcm", "aes-256-gcm", "chacha20-poly1305", "chacha20-ietf-poly1305",
                                        "none", "plain", NULL};
    const char *method = strcmp(out_protocol(in), "shadowsocks") == 0 ? account_text(in, "method") : NULL;
    return method && !text_in(method, KNOWN);
}

bool is_grpc(const CheckInput *in)
{
    return network_is(in, "grpc");
}

bool h2_without_tls(const CheckInput *in)
{
    return network_is(in, "h2") && !security_is(in, "tls");
}

bool is_xtls(const CheckInput *in)
{
    return security_is(in, "xtls");
}

bool udp_beside_mkcp_or_quic(const CheckInput *in)
{
    const char *protocol = out_protocol(in);
    return (strcmp(protocol, "shadowsocks") == 0 || strcmp(protocol, "socks") == 0) &&
           (network_is(in, "mkcp") || network_is(in, "quic"));
}

// Over the other transports the client negotiates no h2 with the proxy.
bool http_over_tls(const CheckInput *in)
{
    return strcmp(out_protocol(in), "http") == 0 && security_is(in, "tls") &&
           ((network_is(in, "tcp") && !out_has(in, "streamSettings/tcpSettings")) || network_is(in, "mkcp"));
}

bool fingerprint_disable(const CheckInput *in)
{
    return out_is(in, "streamSettings/tlsSettings/fingerprint", "disable");
}

bool old_xtls_flow(const CheckInput *in)
{
    const char *flow = account_text(in, "flow");
    return flow && strstr(flow, "xtls-rprx-") == flow && strstr(flow, "xtls-rprx-vision") != flow;
}

bool legacy_names(const CheckInput *in)
{
    return doc_has(in, "outbound") || doc_has(in, "inbound");
}

bool is_quic(const CheckInput *in)
{
    return network_is(in, "quic");
}

bool is_h2(const CheckInput *in)
{
    return network_is(in, "h2");
}

bool kcp_header_written(const CheckInput *in)
{
    return out_has(in, "streamSettings/kcpSettings/header");
}

bool allow_insecure_written(const CheckInput *in)
{
    return out_has(in, "streamSettings/tlsSettings/allowInsecure") ||
           out_has(in, "streamSettings/xtlsSettings/allowInsecure");
}

// From 2026-06-01 the releases that only warned about it stop at it too.
bool past_cutoff(void)
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec >= 1780272000; // 2026-06-01 00:00 UTC
}

bool allow_insecure_written_after_cutoff(const CheckInput *in)
{
    return past_cutoff() && allow_insecure_written(in);
}

bool allow_insecure_written_before_cutoff(const CheckInput *in)
{
    return !past_cutoff() && allow_insecure_written(in);
}

bool address_is_private(const char *address)
{
    unsigned char ip[16];
    if (inet_pton(AF_INET, address, ip) == 1)
        return ip[0] == 10 || ip[0] == 127 || (ip[0] == 172 && (ip[1] & 0xf0) == 16) ||
               (ip[0] == 192 && ip[1] == 168) || (ip[0] == 169 && ip[1] == 254) || (ip[0] == 100 && (ip[1] & 0xc0) == 64);
    if (inet_pton(AF_INET6, address, ip) == 1) {
        static const unsigned char LOOPBACK[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
        return memcmp(ip, LOOPBACK, 16) == 0 || (ip[0] & 0xfe) == 0xfc || (ip[0] == 0xfe && (ip[1] & 0xc0) == 0x80);
    }
    return strcmp(address, "localhost") == 0;
}

bool vless_encryption_written(const CheckInput *in);

// VLESS Encryption counts as encryption, as Xray counts it.
bool plain_to_public_address(const CheckInput *in)
{
    const char *protocol = out_protocol(in);
    if (strcmp(protocol, "vless") != 0 && strcmp(protocol, "trojan") != 0)
        return false;
    if (security_is(in, "tls") || security_is(in, "xtls") || vless_encryption_written(in))
        return false;
    const char *address = account_text(in, "address");
    if (!address) {
        json_object *list = doc_at(in->outbound, strcmp(protocol, "vless") == 0 ? "settings/vnext" : "settings/servers");
        json_object *server = json_object_is_type(list, json_type_array) ? json_object_array_get_idx(list, 0) : NULL;
        json_object *value = doc_at(server, "address");
        address = json_object_is_type(value, json_type_string) ? json_object_get_string(value) : "";
    }
    return !address_is_private(address);
}

bool ss_libev_method_unknown(const CheckInput *in)
{
    static const char *const KNOWN[] = {
        "rc4-md5",      "aes-128-gcm",      "aes-192-gcm",      "aes-256-gcm",      "aes-128-cfb",
        "aes-192-cfb",  "aes-256-cfb",      "aes-128-ctr",      "aes-192-ctr",      "aes-256-ctr",
        "camellia-128-cfb", "camellia-192-cfb", "camellia-256-cfb", "bf-cfb", "chacha20-ietf-poly1305",
        "xchacha20-ietf-poly1305", "salsa20", "chacha20", "chacha20-ietf", NULL};
    const char *method = doc_text(in, "method");
    return method && !text_in(method, KNOWN);
}

// ss-local runs its plugin by name from PATH, and stops when it cannot.
bool ss_plugin_missing(const CheckInput *in)
{
    const char *plugin = doc_text(in, "plugin");
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

bool always(const CheckInput *)
{
    return true;
}

bool mkcp_legacy_mask(const CheckInput *in)
{
    return out_has(in, "streamSettings/finalmask");
}

bool pin_written(const CheckInput *in)
{
    return out_has(in, "streamSettings/tlsSettings/pinnedPeerCertSha256");
}

bool names_written(const CheckInput *in)
{
    return out_has(in, "streamSettings/tlsSettings/verifyPeerCertByName");
}

bool trojan_verify_without_bundle(const CheckInput *in)
{
    json_object *verify = doc_at(in->root, "ssl/verify");
    return json_object_get_boolean(verify) && doc_is(in, "ssl/cert", "");
}

bool trojan_verify_address_without_sni(const CheckInput *in)
{
    const char *address = doc_text(in, "remote_addr");
    unsigned char ip[16];
    return json_object_get_boolean(doc_at(in->root, "ssl/verify")) && doc_is(in, "ssl/sni", "") && address &&
           (inet_pton(AF_INET, address, ip) == 1 || inet_pton(AF_INET6, address, ip) == 1);
}

bool trojan_verify_on(const CheckInput *in)
{
    return json_object_get_boolean(doc_at(in->root, "ssl/verify"));
}

bool vless_encryption_written(const CheckInput *in)
{
    const char *encryption = account_text(in, "encryption");
    return strcmp(out_protocol(in), "vless") == 0 && encryption && v2ray_vless_encrypted(encryption);
}

bool xhttp_extra_written(const CheckInput *in)
{
    return out_has(in, "streamSettings/xhttpSettings/extra");
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

bool xhttp_extra_v26_1_31_written(const CheckInput *in)
{
    static const char *const MEMBERS[] = {"xPaddingObfsMode", "xPaddingKey", "xPaddingHeader", "xPaddingPlacement",
                                          "xPaddingMethod", "uplinkHTTPMethod", "seqPlacement", "seqKey",
                                          "uplinkDataPlacement", "uplinkDataKey", "uplinkChunkSize", NULL};
    return xhttp_extra_holds(in, MEMBERS);
}

bool xhttp_extra_v26_6_22_written(const CheckInput *in)
{
    static const char *const MEMBERS[] = {"sessionIDPlacement", "sessionIDKey", "sessionIDTable", "sessionIDLength",
                                          NULL};
    return xhttp_extra_holds(in, MEMBERS);
}

bool mldsa65_verify_written(const CheckInput *in)
{
    return out_has(in, "streamSettings/realitySettings/mldsa65Verify");
}

bool ech_config_written(const CheckInput *in)
{
    return out_has(in, "streamSettings/tlsSettings/echConfigList");
}


// Ordered as the man page lists them; a fact about two families is a row
// each, the family tarvick's default client belongs to first.
const CheckRule CHECK_RULES[] = {
    // V2Ray and Xray.
    {.family = FAMILY_V2RAY, .severity = SEVERITY_REFUSED, .applies = kcp_header_empty,
     .field = "v2ray_headtype_tcp",
     .what = "the mKCP header type is empty, and the client stops at \"unknown config id: \"",
     .todo = "set it to none, or to the header type the server uses"},
    {.family = FAMILY_XRAY, .until = {26, 1, 31}, .severity = SEVERITY_REFUSED, .applies = kcp_header_empty,
     .field = "v2ray_headtype_tcp",
     .what = "the mKCP header type is empty, and the client stops at \"unknown config id: \"",
     .todo = "set it to none, or to the header type the server uses"},
    {.family = FAMILY_V2RAY, .severity = SEVERITY_REFUSED, .applies = quic_header_empty, .field = "v2ray_quic_guise",
     .what = "the QUIC header type is empty, and the client stops at \"unknown config id: \"",
     .todo = "set it to none, or to the header type the server uses"},
    {.family = FAMILY_XRAY, .until = {24, 9, 7}, .severity = SEVERITY_REFUSED, .applies = quic_header_empty,
     .field = "v2ray_quic_guise",
     .what = "the QUIC header type is empty, and the client stops at \"unknown config id: \"",
     .todo = "set it to none, or to the header type the server uses"},
    {.family = FAMILY_V2RAY, .severity = SEVERITY_REFUSED, .applies = protocol_unknown, .field = "v2ray_protocol",
     .what = "the protocol is none of vmess, vless, trojan, ss, socks, http (as written, in lower case), so the "
             "outbound gets no server and the client stops",
     .todo = "set it to one of them"},
    {.family = FAMILY_XRAY, .severity = SEVERITY_REFUSED, .applies = protocol_unknown, .field = "v2ray_protocol",
     .what = "the protocol is none of vmess, vless, trojan, ss, socks, http (as written, in lower case), so the "
             "outbound gets no server and the client stops",
     .todo = "set it to one of them"},
    {.family = FAMILY_V2RAY, .severity = SEVERITY_REFUSED, .applies = network_unknown, .field = "v2ray_network",
     .what = "the transport is unknown to the client (\"unknown transport protocol\")",
     .todo = "set it to tcp, mkcp, ws, h2 or quic"},
    {.family = FAMILY_XRAY, .severity = SEVERITY_REFUSED, .applies = network_unknown, .field = "v2ray_network",
     .what = "the transport is unknown to the client (\"unknown transport protocol\")",
     .todo = "set it to tcp, mkcp, ws, h2 or quic"},
    {.family = FAMILY_V2RAY, .until = {5, 0, 0}, .severity = SEVERITY_REFUSED, .applies = uuid_bad,
     .field = "v2ray_uuid", .what = "the id is not a UUID, and the client stops at \"invalid UUID\"",
     .todo = "set the UUID the server gave"},
    {.family = FAMILY_V2RAY, .until = {5, 0, 0}, .severity = SEVERITY_REFUSED, .applies = v2ray4_ss_method_unknown,
     .field = "v2ray_ss_method",
     .what = "V2Ray 4's Shadowsocks outbound knows only aes-128-gcm, aes-256-gcm, chacha20-poly1305 "
             "(chacha20-ietf-poly1305) and none, and stops at \"unknown cipher method\"",
     .todo = "use one of those with the server, or the Shadowsocks client (type 0)"},
    {.family = FAMILY_V2RAY, .until = {4, 36, 0}, .severity = SEVERITY_REFUSED, .applies = is_grpc,
     .field = "v2ray_network", .what = "this V2Ray has no gRPC transport (\"unknown transport protocol: grpc\")",
     .todo = "use Xray or a V2Ray from 4.36, or another transport"},
    {.family = FAMILY_V2RAY, .severity = SEVERITY_BROKEN, .applies = h2_without_tls,
     .field = "v2ray_network_security", .what = "HTTP/2 runs only over TLS: the client loads the file and carries nothing",
     .todo = "set it to tls"},
    {.family = FAMILY_XRAY, .until = {24, 12, 15}, .severity = SEVERITY_BROKEN, .applies = h2_without_tls,
     .field = "v2ray_network_security", .what = "HTTP/2 runs only over TLS: the client loads the file and carries nothing",
     .todo = "set it to tls"},
    {.family = FAMILY_V2RAY, .severity = SEVERITY_UNSAFE, .applies = is_xtls, .field = "v2ray_network_security",
     .what = "V2Ray has no XTLS: it loads the file and sends the traffic with no TLS at all",
     .todo = "set it to tls, or use Xray before v1.8.0"},
    {.family = FAMILY_V2RAY, .severity = SEVERITY_BROKEN, .applies = udp_beside_mkcp_or_quic, .field = "v2ray_network",
     .what = "Shadowsocks and SOCKS send UDP as datagrams to the server's port, which mKCP or QUIC holds: UDP traffic "
             "will not flow (TCP does)",
     .todo = "use tcp or ws when UDP must flow"},
    {.documents = CHECK_TARVICK | CHECK_XRAY, .family = FAMILY_XRAY, .severity = SEVERITY_BROKEN,
     .applies = udp_beside_mkcp_or_quic, .field = "v2ray_network",
     .what = "Shadowsocks and SOCKS send UDP as datagrams to the server's port, which mKCP or QUIC holds: UDP traffic "
             "will not flow (TCP does)",
     .todo = "use tcp or ws when UDP must flow"},
    {.family = FAMILY_V2RAY, .until = {5, 0, 0}, .severity = SEVERITY_BROKEN, .applies = http_over_tls,
     .field = "v2ray_network_security",
     .what = "over plain TCP or mKCP the file names no \"alpn\", so the client offers h2, and an HTTP proxy behind TLS "
             "that does not speak HTTP/2 CONNECT carries nothing",
     .todo = "make the server take http/1.1 only, or set it to none"},
    // Xray, by the release that changed it.
    {.family = FAMILY_XRAY, .from = {1, 7, 3}, .severity = SEVERITY_REFUSED, .applies = fingerprint_disable,
     .field = "v2ray_fingerprint",
     .what = "\"fingerprint\": \"disable\" (written when no fingerprint is stored) stops the client at "
             "\"unknown fingerprint: disable\"",
     .todo = "set a fingerprint such as chrome"},
    {.family = FAMILY_XRAY, .from = {1, 8, 0}, .severity = SEVERITY_REFUSED, .applies = is_xtls,
     .field = "v2ray_network_security", .what = "\"security\": \"xtls\" is no longer known to the client",
     .todo = "set it to tls (Vision over TLS replaced XTLS)"},
    {.family = FAMILY_XRAY, .from = {1, 8, 0}, .severity = SEVERITY_REFUSED, .applies = old_xtls_flow,
     .field = "v2ray_network_flow", .what = "the flow is one of the XTLS flows the client no longer knows",
     .todo = "remove it, or use xtls-rprx-vision over tls"},
    {.family = FAMILY_XRAY, .from = {24, 9, 7}, .severity = SEVERITY_BROKEN, .applies = legacy_names, .field = NULL,
     .what = "the client reads only \"inbounds\" and \"outbounds\" and silently ignores \"inbound\", \"inboundDetour\" "
             "and \"outbound\", which tarvick writes: it starts with no inbound and no outbound",
     .todo = "use an Xray before v24.9.7, or V2Ray"},
    {.family = FAMILY_XRAY, .from = {24, 9, 7}, .severity = SEVERITY_REFUSED, .applies = is_quic,
     .field = "v2ray_network", .what = "the QUIC transport is gone (\"unknown transport protocol: quic\")",
     .todo = "use another transport"},
    {.family = FAMILY_XRAY, .from = {24, 12, 15}, .severity = SEVERITY_REFUSED, .applies = is_h2,
     .field = "v2ray_network", .what = "the HTTP/2 transport is gone", .todo = "use another transport"},
    {.family = FAMILY_XRAY, .from = {26, 1, 31}, .severity = SEVERITY_REFUSED, .applies = kcp_header_written,
     .field = "v2ray_network", .what = "any mKCP \"header\" stops the client, and tarvick always writes one",
     .todo = "use another transport"},
    {.family = FAMILY_XRAY, .from = {26, 1, 31}, .until = {26, 2, 3}, .severity = SEVERITY_REFUSED,
     .applies = allow_insecure_written, .field = NULL,
     .what = "\"allowInsecure\", which tarvick always writes with TLS, stops the client",
     .todo = "use another Xray release"},
    {.family = FAMILY_XRAY, .from = {26, 2, 3}, .until = {26, 6, 22}, .severity = SEVERITY_REFUSED,
     .applies = allow_insecure_written_after_cutoff, .field = NULL,
     .what = "\"allowInsecure\", which tarvick always writes with TLS, stops the client since 2026-06-01",
     .todo = "use another Xray release"},
    {.family = FAMILY_XRAY, .from = {26, 2, 3}, .until = {26, 6, 22}, .severity = SEVERITY_NOTE,
     .applies = allow_insecure_written_before_cutoff, .field = NULL,
     .what = "\"allowInsecure\", which tarvick always writes with TLS, gives a warning, and stops the client from "
             "2026-06-01",
     .todo = "plan for another Xray release"},
    {.family = FAMILY_XRAY, .from = {26, 6, 22}, .severity = SEVERITY_REFUSED, .applies = allow_insecure_written,
     .field = NULL, .what = "\"allowInsecure\", which tarvick always writes with TLS, stops the client",
     .todo = "use another Xray release"},
    {.family = FAMILY_XRAY, .from = {26, 7, 11}, .severity = SEVERITY_REFUSED, .applies = plain_to_public_address,
     .field = "v2ray_network_security", .what = "vless or trojan without TLS to a public address stops the client",
     .todo = "set it to tls"},
    // tarvick-node xray's document, by the Xray release that reads it.
    {.documents = CHECK_XRAY, .family = FAMILY_XRAY, .until = {25, 10, 15}, .severity = SEVERITY_REFUSED,
     .applies = always, .field = NULL,
     .what = "tarvick-node xray writes the outbound's server in \"settings\" itself, which the client reads from "
             "v25.10.15 on (vless from v25.9.10): it finds no server and stops",
     .todo = "use Xray v25.10.15 or later, or tarvick 2 with an Xray before v24.9.7"},
    {.documents = CHECK_XRAY, .family = FAMILY_XRAY, .from = {26, 1, 31}, .until = {26, 6, 1},
     .severity = SEVERITY_REFUSED, .applies = mkcp_legacy_mask, .field = "v2ray_network",
     .what = "the \"finalmask\" of type \"mkcp-legacy\", which carries V2Ray's mKCP packets, is unknown to the "
             "client, and it stops",
     .todo = "use Xray v26.6.1 or later, or another transport"},
    {.documents = CHECK_XRAY, .family = FAMILY_XRAY, .until = {26, 1, 13}, .severity = SEVERITY_BROKEN,
     .applies = pin_written, .field = "v2ray_tls_pinned_sha256",
     .what = "the client silently ignores \"pinnedPeerCertSha256\" and checks the certificate against the system's "
             "authorities, which a pinned certificate of the server's own fails: nothing flows",
     .todo = "use Xray v26.1.13 or later"},
    {.documents = CHECK_XRAY, .family = FAMILY_XRAY, .until = {26, 1, 31}, .severity = SEVERITY_BROKEN,
     .applies = names_written, .field = "v2ray_tls_verify_names",
     .what = "the client silently ignores \"verifyPeerCertByName\" and checks the certificate against the server "
             "name: nothing flows unless the certificate names that too",
     .todo = "use Xray v26.1.31 or later"},
    {.documents = CHECK_XRAY, .family = FAMILY_XRAY, .until = {25, 8, 29}, .severity = SEVERITY_REFUSED,
     .applies = vless_encryption_written, .field = "v2ray_vless_encryption",
     .what = "VLESS Encryption (\"encryption\" other than none) is unknown to the client, and it stops",
     .todo = "use Xray v25.8.29 or later"},
    {.documents = CHECK_XRAY, .family = FAMILY_XRAY, .until = {24, 11, 11}, .severity = SEVERITY_BROKEN,
     .applies = xhttp_extra_written, .field = "v2ray_xhttp_extra",
     .what = "the client silently ignores XHTTP's \"extra\": a server that wants its settings carries nothing",
     .todo = "use Xray v24.11.11 or later"},
    {.documents = CHECK_XRAY, .family = FAMILY_XRAY, .until = {26, 1, 31}, .severity = SEVERITY_BROKEN,
     .applies = xhttp_extra_v26_1_31_written, .field = "v2ray_xhttp_extra",
     .what = "the client silently ignores the padding, uplink and sequence members of XHTTP's \"extra\" "
             "(xPaddingObfsMode, uplinkHTTPMethod, seqPlacement and the like): a server that wants them carries "
             "nothing",
     .todo = "use Xray v26.1.31 or later"},
    {.documents = CHECK_XRAY, .family = FAMILY_XRAY, .until = {26, 6, 22}, .severity = SEVERITY_BROKEN,
     .applies = xhttp_extra_v26_6_22_written, .field = "v2ray_xhttp_extra",
     .what = "the client silently ignores sessionIDPlacement, sessionIDKey, sessionIDTable and sessionIDLength of "
             "XHTTP's \"extra\" (it read sessionPlacement and sessionKey from v26.1.31): a server that wants them "
             "carries nothing",
     .todo = "use Xray v26.6.22 or later"},
    {.documents = CHECK_XRAY, .family = FAMILY_XRAY, .until = {25, 7, 23}, .severity = SEVERITY_UNSAFE,
     .applies = mldsa65_verify_written, .field = "v2ray_reality_mldsa65_verify",
     .what = "the client silently ignores \"mldsa65Verify\" and takes the REALITY server without its ML-DSA-65 "
             "signature",
     .todo = "use Xray v25.7.23 or later"},
    {.documents = CHECK_XRAY, .family = FAMILY_XRAY, .until = {25, 7, 26}, .severity = SEVERITY_UNSAFE,
     .applies = ech_config_written, .field = "v2ray_tls_ech_config",
     .what = "the client silently ignores \"echConfigList\" and sends the server name in the clear",
     .todo = "use Xray v25.7.26 or later"},
    // Shadowsocks.
    {.family = FAMILY_SS_LIBEV, .severity = SEVERITY_REFUSED, .applies = ss_libev_method_unknown, .field = "method",
     .what = "the client does not know this method (\"invalid cipher name\") and stops",
     .todo = "use a method ss-libev knows, such as aes-256-gcm or chacha20-ietf-poly1305"},
    {.family = FAMILY_SS_LIBEV, .severity = SEVERITY_REFUSED, .applies = ss_plugin_missing, .field = "ss_obfs",
     .what = "the plugin is not installed here (not found on PATH), and the client stops when it cannot start it",
     .todo = "install the plugin, or set it to none"},
    {.family = FAMILY_SS_RUST, .severity = SEVERITY_REFUSED, .applies = ss_plugin_missing, .field = "ss_obfs",
     .what = "the plugin is not installed here (not found on PATH), and the client stops when it cannot start it",
     .todo = "install the plugin, or set it to none"},
    {.family = FAMILY_SS_RUST, .until = {1, 10, 4}, .severity = SEVERITY_NOTE, .applies = always, .field = NULL,
     .what = "the client reads \"protocol\" (the socks or redir role) only from v1.10.4",
     .todo = "use v1.10.4 or later"},
    {.family = FAMILY_SS_RUST, .severity = SEVERITY_NOTE, .applies = always, .field = NULL,
     .what = "the client ignores \"reuse_port\"", .todo = "nothing to do"},
    // Trojan.
    {.family = FAMILY_TROJAN, .severity = SEVERITY_BROKEN, .applies = trojan_verify_without_bundle,
     .field = "ssl_verify_enable",
     .what = "verification is on, and the CA bundle /rom/etc/ssl/certs/ca-certificates.crt was not there: the client "
             "cannot verify the server and carries nothing",
     .todo = "install the CA bundle, or set it to 0"},
    {.family = FAMILY_TROJAN, .severity = SEVERITY_BROKEN, .applies = trojan_verify_address_without_sni,
     .field = "trojan_sni",
     .what = "verification is on with no server name, so the certificate is checked against the IP address, which "
             "certificates do not name",
     .todo = "set the server name of the certificate"},
    {.family = FAMILY_TROJAN, .severity = SEVERITY_NOTE, .applies = trojan_verify_on, .field = "trojan_sni",
     .what = "verification is on: the server's certificate must be valid for the server name",
     .todo = "check it matches the server"},
    {.family = FAMILY_TROJAN_GO, .severity = SEVERITY_NOTE, .applies = always, .field = NULL,
     .what = "the client ignores \"cipher_tls13\", \"curve\", \"session_ticket\" and the \"tcp\" reuse and fast-open "
             "members, drops the OpenSSL-style names of \"cipher\" and sends no ALPN",
     .todo = "nothing to do: it uses its own defaults"},
};

bool version_before(Version a, Version b)
{
    if (a.major != b.major)
        return a.major < b.major;
    if (a.minor != b.minor)
        return a.minor < b.minor;
    return a.patch < b.patch;
}

bool version_unset(Version v)
{
    return v.major == 0 && v.minor == 0 && v.patch == 0;
}

bool rule_holds_for(const CheckRule *rule, Version version)
{
    return (version_unset(rule->from) || !version_before(version, rule->from)) &&
           (version_unset(rule->until) || version_before(version, rule->until));
}

const char *version_prefix(int family)
{
    return family == FAMILY_XRAY || family == FAMILY_SS_RUST || family == FAMILY_TROJAN_GO ? "v" : "";
}

const char *family_name(int family)
{
    switch (family) {
    case FAMILY_SS_LIBEV: return "ss-libev";
    case FAMILY_SS_RUST: return "shadowsocks-rust";
    case FAMILY_V2RAY: return "V2Ray";
    case FAMILY_XRAY: return "Xray";
    case FAMILY_TROJAN: return "Trojan";
    default: return "trojan-go";
    }
}

// "Xray v24.9.7 and later", "Xray v26.1.31 and later, before v26.2.3",
// "shadowsocks-rust before v1.10.4", "trojan-go": which releases a note is
// about.
void rule_releases(const CheckRule *rule, char *out, size_t size)
{
    const char *name = family_name(rule->family), *v = version_prefix(rule->family);
    Version f = rule->from, u = rule->until;
    if (version_unset(f) && version_unset(u))
        snprintf(out, size, "%s", name);
    else if (version_unset(u))
        snprintf(out, size, "%s %s%d.%d.%d and later", name, v, f.major, f.minor, f.patch);
    else if (version_unset(f))
        snprintf(out, size, "%s before %s%d.%d.%d", name, v, u.major, u.minor, u.patch);
    else
        snprintf(out, size, "%s %s%d.%d.%d and later, before %s%d.%d.%d", name, v, f.major, f.minor, f.patch, v,
                 u.major, u.minor, u.patch);
}

// A fact several families share is a row each, with the same test and the
// same words: the row of the client that counts tells it for all.
bool rule_shared_with(const CheckRule *rule, ClientFamily family)
{
    for (const CheckRule &other : CHECK_RULES)
        if (other.family == family && other.applies == rule->applies && strcmp(other.what, rule->what) == 0)
            return true;
    return false;
}

// --- running a client --------------------------------------------------------

enum { CLIENT_OUTPUT_MAX = 4096 };

struct ClientRun {
    int status;      // exit status; -1 when it was still running at the deadline
    char output[CLIENT_OUTPUT_MAX];
};

// Runs argv with its output collected, for at most limit_ms; a client still
// running then is stopped (a bounded start).
int client_run(char *const *argv, long limit_ms, ClientRun *run)
{
    int pipe_fds[2];
    run->status = -1;
    run->output[0] = '\0';
    if (pipe(pipe_fds) != 0)
        return -1;
    fflush(stdout);
    pid_t pid = fork();
    if (pid < 0) {
        close(pipe_fds[0]);
        close(pipe_fds[1]);
        return -1;
    }
    if (pid == 0) {
        setpgid(0, 0);
        dup2(pipe_fds[1], 1);
        dup2(pipe_fds[1], 2);
        close(pipe_fds[0]);
        close(pipe_fds[1]);
        execv(argv[0], argv);
        _exit(127);
    }
    close(pipe_fds[1]);
    int input = pipe_fds[0];
    size_t used = 0;
    int status = 0;
    bool ended = false;
    struct timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    while (!ended) {
        clock_gettime(CLOCK_MONOTONIC, &now);
        long left = limit_ms - ((now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000);
        if (left <= 0)
            break;
        // Output as it comes; the end of the process is what counts.
        struct pollfd poll_fd = {input, POLLIN, 0};
        if (input >= 0 && poll(&poll_fd, 1, left < 20 ? (int)left : 20) > 0) {
            char chunk[512];
            ssize_t got = read(input, chunk, sizeof chunk);
            if (got <= 0) {
                close(input);
                input = -1;
            } else {
                size_t keep = used + (size_t)got < CLIENT_OUTPUT_MAX - 1 ? (size_t)got : CLIENT_OUTPUT_MAX - 1 - used;
                memcpy(run->output + used, chunk, keep);
                used += keep;
                run->output[used] = '\0';
            }
        } else if (input < 0) {
            usleep(10000);
        }
        ended = waitpid(pid, &status, WNOHANG) == pid;
    }
    if (input >= 0)
        close(input);
    if (ended) {
        run->status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return 0;
    }
    // The client (and whatever it started, such as a plugin) is still
    // running: a start that took the file.
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return 0;
}

struct VersionPattern {
    const char *marker; // what the client prints before its version
    ClientFamily family;
};

// Longer markers first: "shadowsocks-libev " also begins "shadowsocks".
const VersionPattern CLIENT_PATTERNS[] = {
    {"shadowsocks-libev ", FAMILY_SS_LIBEV}, {"shadowsocks ", FAMILY_SS_RUST}, {"Trojan-Go v", FAMILY_TROJAN_GO},
    {"trojan ", FAMILY_TROJAN},               {"V2Ray ", FAMILY_V2RAY},         {"Xray ", FAMILY_XRAY},
};

bool client_identify(const char *output, CheckClient *client)
{
    for (const VersionPattern &pattern : CLIENT_PATTERNS) {
        const char *at = strstr(output, pattern.marker);
        if (!at)
            continue;
        at += strlen(pattern.marker);
        if (*at == 'v')
            at++;
        Version v = {0, 0, 0};
        // major.minor, and .patch when there is one
        char *end;
        v.major = (int)strtol(at, &end, 10);
        if (end == at || *end != '.' || end[1] < '0' || end[1] > '9')
            continue;
        v.minor = (int)strtol(end + 1, &end, 10);
        if (*end == '.' && end[1] >= '0' && end[1] <= '9')
            v.patch = (int)strtol(end + 1, &end, 10);
        client->family = pattern.family;
        client->version = v;
        client->name = family_name(pattern.family);
        snprintf(client->label, sizeof client->label, "%s %s%d.%d.%d", client->name, version_prefix(pattern.family),
                 v.major, v.minor, v.patch);
        return true;
    }
    return false;
}

int client_ask_version(const char *path, CheckClient *client)
{
    static const char *const ASK[][2] = {{"-version", NULL}, {"version", NULL}, {"-v", NULL}, {"--version", NULL},
                                         {"-h", NULL}};
    for (const auto &ask : ASK) {
        char *argv[] = {(char *)path, (char *)ask[0], NULL};
        ClientRun run;
        if (client_run(argv, 3000, &run) == 0 && client_identify(run.output, client))
            return 0;
    }
    return -1;
}

int check_families_for(int type)
{
    static const int FAMILIES[] = {FAMILY_SS_LIBEV | FAMILY_SS_RUST, 0, FAMILY_V2RAY | FAMILY_XRAY,
                                   FAMILY_TROJAN | FAMILY_TROJAN_GO};
    return FAMILIES[type];
}

// The client's own verdict on the file: 0 accepts, 1 refuses (its message in
// reason), -1 when it could not be asked.
int client_verdict(const char *path, const CheckClient *client, const char *file, char *reason, size_t size)
{
    ClientRun run;
    char *argv[6] = {(char *)path, NULL};
    bool bounded = false;
    if (client->family == FAMILY_XRAY || (client->family == FAMILY_V2RAY && client->version.major < 5)) {
        argv[1] = (char *)"-test", argv[2] = (char *)"-config", argv[3] = (char *)file;
    } else if (client->family == FAMILY_V2RAY) {
        argv[1] = (char *)"test", argv[2] = (char *)"-c", argv[3] = (char *)file;
    } else if (client->family == FAMILY_TROJAN) {
        argv[1] = (char *)"-t", argv[2] = (char *)"-c", argv[3] = (char *)file;
    } else {
        // No test mode: a start that is still running after a while took it.
        argv[1] = (char *)(client->family == FAMILY_TROJAN_GO ? "-config" : "-c"), argv[2] = (char *)file;
        bounded = true;
    }
    if (client_run(argv, bounded ? 1500 : 10000, &run) != 0)
        return -1;
    bool accepts = bounded ? run.status == -1 : run.status == 0;
    if (!accepts) {
        // The last line that says something is the client's reason.
        char *end = run.output + strlen(run.output);
        while (end > run.output && (end[-1] == '\n' || end[-1] == '\r' || end[-1] == ' '))
            *--end = '\0';
        char *line = strrchr(run.output, '\n');
        line = line ? line + 1 : run.output;
        line += strspn(line, " \t");
        snprintf(reason, size, "%.400s", line[0] ? line : "no message");
    }
    return accepts ? 0 : 1;
}

// A port nothing listens on now, for a start that must not take the real
// client's port.
int check_free_port(void)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (fd >= 0 && bind(fd, (struct sockaddr *)&address, sizeof address) == 0 &&
        getsockname(fd, (struct sockaddr *)&address, &length) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0)
        close(fd);
    return port == 3333 || port == 0 ? 1080 : port;
}

char *check_read_file(const char *path)
{
    FILE *file = fopen(path, "rb");
    if (!file)
        return NULL;
    NodeText text;
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0)
        if (text_append(&text, chunk, got) != 0)
            break;
    fclose(file);
    char *data = text.data;
    text.data = NULL;
    return data;
}

struct Findings {
    int serious; // refused, broken or unsafe
    int refused;
};

void check_print(Findings *findings, CheckSeverity severity, const char *client, const CheckRule *rule,
                 const CheckInput *in)
{
    char key[96] = "no setting changes it";
    if (rule->field)
        snprintf(key, sizeof key, "ssconf_basic_%s_%d", rule->field, in->node);
    fprintf(stdout, "%s %s: %s (%s): %s\n", SEVERITY_NAMES[severity], client, rule->what, key, rule->todo);
    if (severity != SEVERITY_NOTE)
        findings->serious++;
    if (severity == SEVERITY_REFUSED)
        findings->refused++;
}

// The clients a router runs today, whose rules count without --client; and
// the Xray release tarvick-node xray's document is written for.
const CheckClient DEFAULT_CLIENTS[] = {
    {FAMILY_SS_LIBEV, {3, 3, 5}, "ss-libev", "ss-libev 3", CHECK_TARVICK},
    {FAMILY_V2RAY, {4, 34, 0}, "V2Ray", "V2Ray 4", CHECK_TARVICK},
    {FAMILY_TROJAN, {1, 16, 0}, "Trojan", "Trojan 1.16", CHECK_TARVICK},
    {FAMILY_XRAY, {26, 7, 28}, "Xray", "Xray v26.7.28", CHECK_XRAY},
};

} // namespace

const char *check_fact(size_t i, char *text, size_t size)
{
    if (i >= sizeof CHECK_RULES / sizeof CHECK_RULES[0])
        return NULL;
    const CheckRule *rule = &CHECK_RULES[i];
    char releases[96];
    rule_releases(rule, releases, sizeof releases);
    snprintf(text, size, "%s: %s%s%s%s: %s.", releases, rule->what, rule->field ? " [" : "",
             rule->field ? rule->field : "", rule->field ? "]" : "", rule->todo);
    return SEVERITY_NAMES[rule->severity];
}

int node_check(int argc, char **argv)
{
    NodeTarget args;
    if (node_parse_target(argc, argv, "--client", true, &args) != 0)
        return NODE_USAGE;
    long type = args.type;
    const char *client_path = args.value;
    bool xray = args.document == DOCUMENT_XRAY;
    // tarvick-node xray's document is current Xray's alone.
    int families = xray ? FAMILY_XRAY : check_families_for((int)type);
    int document = xray ? CHECK_XRAY : CHECK_TARVICK;

    CheckClient named;
    memset(&named, 0, sizeof named);
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
    const char *tmp = getenv("TMPDIR");
    char file[512];
    snprintf(file, sizeof file, "%s/tarvick-check-XXXXXX.json", tmp && tmp[0] ? tmp : "/tmp");
    int fd = mkstemps(file, 5);
    if (fd < 0) {
        fprintf(stderr, "tarvick-node: %s: %s\n", file, strerror(errno));
        return NODE_REFUSED;
    }
    close(fd);
    NodeLink settings;
    node_link_init(&settings);
    int port = check_free_port();
    int rc = node_record_document(&settings, (int)type, node, &daemon, args.document, file, port,
                                  port + 1 == 3333 ? 3334 : port + 1);
    if (rc == NODE_RECORD_REFUSED) {
        // The writer says what to change; nothing was written to judge.
        fprintf(stdout, "refused %s: %s\n", xray ? "tarvick-node xray" : "tarvick", settings.reason);
        node_link_clear(&settings);
        unlink(file);
        return NODE_REFUSED;
    }
    char *text = rc == 0 ? check_read_file(file) : NULL;
    json_object *root = text ? json_tokener_parse(text) : NULL;
    free(text);
    if (!root) {
        fprintf(stderr, "tarvick-node: node %d type %s: %s\n", node, args.type_name,
                settings.reason[0] ? settings.reason : "the document could not be read back");
        node_link_clear(&settings);
        unlink(file);
        return NODE_REFUSED;
    }

    json_object *outbounds = doc_at(root, "outbounds");
    json_object *outbound = json_object_is_type(outbounds, json_type_array) ? json_object_array_get_idx(outbounds, 0)
                                                                              : doc_at(root, "outbound");
    CheckInput in = {(int)type, node, root, outbound, &settings};
    Findings findings = {0, 0};
    const CheckClient *target = client_path ? &named : NULL;
    for (const CheckClient &client : DEFAULT_CLIENTS)
        if (!client_path && (client.family & families) && (client.documents & document))
            target = &client;
    for (const CheckRule &rule : CHECK_RULES) {
        if (!(rule.family & families) || !(rule.documents & document) || !rule.applies(&in))
            continue;
        if (target && rule.family == target->family && rule_holds_for(&rule, target->version)) {
            check_print(&findings, rule.severity, target->label, &rule, &in);
        } else if (!client_path && !(target && rule.family != target->family && rule_shared_with(&rule, target->family))) {
            // Facts about clients not run here: notes naming their releases.
            // A named client makes the others' facts beside the point.
            char releases[96];
            rule_releases(&rule, releases, sizeof releases);
            check_print(&findings, SEVERITY_NOTE, releases, &rule, &in);
        }
    }

    if (client_path) {
        char reason[512];
        int verdict = client_verdict(client_path, &named, file, reason, sizeof reason);
        if (verdict == 0)
            fprintf(stdout, "client %s: its own check accepts the file\n", named.label);
        else if (verdict == 1)
            fprintf(stdout, "client %s: its own check refuses the file: %s\n", named.label, reason);
        if (verdict == 1 && findings.refused == 0) {
            fprintf(stdout, "refused %s: its own check refuses the file, which no rule here foresaw (no setting named): "
                   "read its message above\n",
                   named.label);
            findings.serious++;
        } else if (verdict == 0 && findings.refused > 0) {
            fprintf(stdout, "note %s: the rules above say refused, but its own check accepts the file (no setting named): "
                   "the client may differ from its release's published behaviour\n",
                   named.label);
        }
    }
    if (findings.serious == 0) {
        const char *who = target ? target->label : "ShadowsocksR clients (no rule known to stop them)";
        fprintf(stdout, "fine %s: node %d loads and carries its traffic as far as these rules know\n", who, node);
    }
    json_object_put(root);
    node_link_clear(&settings);
    unlink(file);
    return findings.serious ? NODE_REFUSED : NODE_OK;
}
