// The document current Xray reads: "log", "inbounds" with the transparent
// and the SOCKS inbound, and "outbounds" with the one outbound in the
// simplified form Xray reads since v25.10.15 (the mKCP mask since v26.6.1,
// pins and names to verify since v26.1.31). Xray's reader passes over
// members it does not know without a word, so only members it reads are
// written; a setting it would refuse, or read as
// something other than what the node says, refuses the node instead. The
// lookups are tarvick 2's, in its order: only the protocol, security and
// network texts, the head type and the auth and mux switches decide which
// keys are read, never a value that is refused.
#include "document.h"
#include "store.h"
#include "tarvick.h"
#include "v2ray.h"
#include "xray.h"

#include <arpa/inet.h>
#include <json-c/json.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

namespace {

// One run: the lookup, and the run, whose refusal is the first reason to
// refuse the node, or empty.
struct XrayBuild {
    StoreLookup lookup;
    GeneratorRun *run;
    OutboundProtocol kind;
    SecurityMode security;
    NetworkKind network;
    bool vision;
    bool vless_encrypted;
    char address[64]; // its start: enough to tell an address from a name
};

// Keeps only the first reason: it names the key, never the stored value.
void xray_refuse(XrayBuild *b, const char *pattern, const char *reason)
{
    if (b->run->refusal[0] != '\0')
        return;
    char key[KEY_BUFFER_SIZE];
    snprintf(key, sizeof key, pattern, b->lookup.node);
    snprintf(b->run->refusal, sizeof b->run->refusal, "%s %s", key, reason);
}

// Xray takes a UUID in hex, its five groups with or without their dashes,
// or any text of 1 to 30 bytes, from which it derives one.
bool xray_id_ok(const char *text)
{
    size_t length = strlen(text);
    if (length < 32 || length > 36)
        return length >= 1 && length <= 30;
    static const size_t GROUPS[] = {8, 4, 4, 4, 12};
    for (size_t group : GROUPS) {
        if (*text == '-')
            text++;
        if (strlen(text) < group || !v2ray_hex_digits(text, group))
            return false;
        text += group;
    }
    return true;
}

// A Shadowsocks 2022 password: keys of the method's size in standard
// Base64 with padding, one or more separated by colons.
bool xray_ss_keys_ok(const char *password, size_t key_bytes)
{
    size_t digits = (key_bytes * 8 + 5) / 6, padded = (digits + 3) / 4 * 4;
    for (;;) {
        const char *end = strchr(password, ':');
        size_t length = end ? (size_t)(end - password) : strlen(password);
        if (length != padded || v2ray_base64_digits(password, digits, false, NULL, 0) < 0 ||
            strspn(password + digits, "=") != padded - digits)
            return false;
        if (!end)
            return true;
        password = end + 1;
    }
}

// Values are checked here as import checks them, so both refuse alike; a
// setting's name is its key's between "ssconf_basic_" and "_%d".
const char *xray_lookup_checked(XrayBuild *b, const char *pattern)
{
    char field[KEY_BUFFER_SIZE];
    snprintf(field, sizeof field, "%.*s", (int)strlen(pattern) - 16, pattern + 13);
    const char *value = store_lookup(&b->lookup, pattern);
    if (const char *problem = xray_value_problem(field, value))
        xray_refuse(b, pattern, problem);
    return value;
}

// A setting written as member name when it is set; whether it is.
bool xray_add_set(XrayBuild *b, json_object *object, const char *name, const char *pattern)
{
    const char *value = xray_lookup_checked(b, pattern);
    if (value[0] != '\0')
        doc_string(object, name, value);
    return value[0] != '\0';
}

// An array of the items of one of Xray's comma lists.
void xray_add_items(json_object *object, const char *name, const char *list)
{
    json_object *array = doc_array(object, name);
    v2ray_each_item(list, [array](const char *item, size_t length) {
        char text[256];
        snprintf(text, sizeof text, "%.*s", (int)length, item);
        doc_element_string(array, text);
        return true;
    });
}

// The "log", tarvick's "inbound" and "inboundDetour" as elements of
// "inbounds", and the one outbound, which is returned.
json_object *xray_add_outbound(json_object *root, const GeneratorArgs *args)
{
    v2ray_add_log(root);
    json_object *inbounds = doc_array(root, "inbounds");
    if (args->local_port > 0) {
        json_object *inbound = doc_element_object(inbounds);
        doc_string(inbound, "tag", "transparent");
        v2ray_fill_transparent(inbound, args);
    }
    if (args->second_port > 0 && strstr(args->proto, "tcp")) {
        json_object *socks = doc_element_object(inbounds);
        doc_string(socks, "tag", "socks");
        v2ray_fill_socks(socks, args);
    }
    json_object *outbound = doc_element_object(doc_array(root, "outbounds"));
    doc_string(outbound, "tag", "proxy");
    return outbound;
}

// A lookup that ran out of memory read an empty value: its refusal would
// be wrong, and write_document says what went wrong instead.
int xray_write(XrayBuild *b, json_object *root, const GeneratorArgs *args)
{
    if (b->run->refusal[0] != '\0' && !b->run->source->out_of_memory)
        return GENERATOR_REFUSED;
    return write_document(root, args->path, b->run->source);
}

// Every protocol's settings start with the server's address and port.
// Returns whether Xray lets VLESS and Trojan reach the address without TLS.
bool xray_add_server(XrayBuild *b, json_object *settings)
{
    const char *address = store_lookup(&b->lookup, "ssconf_basic_server_%d");
    if (address[0] == '\0')
        xray_refuse(b, "ssconf_basic_server_%d", "is empty: set it to the server's address");
    else if (strncmp(address, "env:", 4) == 0)
        xray_refuse(b, "ssconf_basic_server_%d",
                    "begins with env:, and Xray would take the address from its environment: set the server's address");
    bool private_address = v2ray_address_private(address);
    snprintf(b->address, sizeof b->address, "%s", address);
    doc_string(settings, "address", address);
    int port = store_lookup_int(&b->lookup, "ssconf_basic_port_%d");
    if (port < 1 || port > 65535)
        xray_refuse(b, "ssconf_basic_port_%d", "is not 1 to 65535: set it to the server's port");
    doc_int(settings, "port", port);
    return private_address;
}

void xray_add_id(XrayBuild *b, json_object *settings)
{
    const char *id = store_lookup(&b->lookup, "ssconf_basic_v2ray_uuid_%d");
    if (!xray_id_ok(id))
        xray_refuse(b, "ssconf_basic_v2ray_uuid_%d",
                    "is neither a UUID nor a text of 1 to 30 bytes, and Xray refuses it: set it to the server's user id");
    doc_string(settings, "id", id);
}

// Stored passwords are Base64; Xray refuses an empty Trojan password.
void xray_add_password(XrayBuild *b, json_object *settings, const char *name, bool required)
{
    char *password = store_lookup_password(&b->lookup);
    if (!password)
        return;
    if (required && password[0] == '\0')
        xray_refuse(b, "ssconf_basic_password_%d", "is empty, and Xray refuses it: set the server's password");
    doc_string(settings, name, password);
    free(password);
}

void xray_add_vmess(XrayBuild *b, json_object *settings)
{
    xray_add_id(b, settings);
    if (store_lookup_int(&b->lookup, "ssconf_basic_v2ray_alterid_%d") != 0)
        xray_refuse(b, "ssconf_basic_v2ray_alterid_%d",
                    "is not 0, and current Xray speaks VMess AEAD only: set it to 0, with a server that takes AEAD");
    // Xray reads any other text, "none" and "zero" included, as auto.
    const char *security = store_lookup(&b->lookup, "ssconf_basic_v2ray_security_%d");
    if (security[0] != '\0' && !v2ray_vmess_security(security))
        xray_refuse(b, "ssconf_basic_v2ray_security_%d",
                    "is not auto, aes-128-gcm or chacha20-poly1305, and Xray would use auto: set it to one of them");
    doc_string(settings, "security", security[0] != '\0' ? security : "auto");
}

// Vision is the one flow current Xray has, and only right over TLS or REALITY.
void xray_add_vless(XrayBuild *b, json_object *settings)
{
    xray_add_id(b, settings);
    const char *encryption = xray_lookup_checked(b, "ssconf_basic_v2ray_vless_encryption_%d");
    b->vless_encrypted = v2ray_vless_encrypted(encryption);
    doc_string(settings, "encryption", b->vless_encrypted ? encryption : "none");
    const char *flow = store_lookup(&b->lookup, "ssconf_basic_v2ray_network_flow_%d");
    if (flow[0] == '\0')
        return;
    if (!v2ray_flow_vision(flow))
        xray_refuse(b, "ssconf_basic_v2ray_network_flow_%d",
                    "is not xtls-rprx-vision or xtls-rprx-vision-udp443, the flows current Xray has: set one of them, "
                    "or empty it");
    else if ((b->security != SECURITY_TLS && b->security != SECURITY_REALITY) || b->network != NETWORK_TCP)
        xray_refuse(b, "ssconf_basic_v2ray_network_flow_%d",
                    "is Vision, which runs only over tls or reality on network tcp: empty it, or set those");
    b->vision = true;
    doc_string(settings, "flow", flow);
}

// method_key: a V2Ray/Xray node's method, or a Shadowsocks node's.
void xray_add_shadowsocks(XrayBuild *b, json_object *settings, const char *method_key)
{
    // The key's size depends on the method, which is read after it.
    char *password = store_lookup_password(&b->lookup);
    const char *method = store_lookup(&b->lookup, method_key);
    if (!password)
        return;
    size_t key_bytes = v2ray_ss_2022_key_bytes(method);
    if (password[0] == '\0')
        xray_refuse(b, "ssconf_basic_password_%d", "is empty, and Xray refuses it: set the server's password");
    else if (key_bytes && !xray_ss_keys_ok(password, key_bytes))
        xray_refuse(b, "ssconf_basic_password_%d",
                    "is not a Shadowsocks 2022 key (standard Base64 of the method's key size, keys joined by colons), "
                    "and Xray refuses it: set the server's key");
    if (!key_bytes && !v2ray_ss_method(method))
        xray_refuse(b, method_key,
                    "is not a cipher current Xray has (aes-128-gcm, aes-256-gcm, chacha20-ietf-poly1305, "
                    "xchacha20-ietf-poly1305, 2022-blake3-*): set the server's method");
    doc_string(settings, "password", password);
    doc_string(settings, "method", method);
    free(password);
}

// Xray sends an account only with a username.
void xray_add_account(XrayBuild *b, json_object *settings)
{
    if (!store_lookup_switch(&b->lookup, "ssconf_basic_auth_%d"))
        return;
    const char *user = store_lookup(&b->lookup, "ssconf_basic_username_%d");
    if (user[0] == '\0')
        xray_refuse(b, "ssconf_basic_username_%d",
                    "is empty with auth on, and Xray would then send no account: set the username, or auth to 0");
    doc_string(settings, "user", user);
    xray_add_password(b, settings, "pass", false);
}

// The private key is the node's password; the server, its one peer.
void xray_add_wireguard(XrayBuild *b, json_object *settings)
{
    const char *server = store_lookup(&b->lookup, "ssconf_basic_server_%d");
    char endpoint[300];
    snprintf(endpoint, sizeof endpoint, strchr(server, ':') ? "[%s]" : "%s", server);
    if (server[0] == '\0')
        xray_refuse(b, "ssconf_basic_server_%d", "is empty: set it to the server's address");
    int port = store_lookup_int(&b->lookup, "ssconf_basic_port_%d");
    if (port < 1 || port > 65535)
        xray_refuse(b, "ssconf_basic_port_%d", "is not 1 to 65535: set it to the server's port");
    size_t used = strlen(endpoint);
    snprintf(endpoint + used, sizeof endpoint - used, ":%d", port);
    char *key = store_lookup_password(&b->lookup);
    if (!key)
        return;
    if (!xray_wireguard_key(key))
        xray_refuse(b, "ssconf_basic_password_%d",
                    "is not a WireGuard private key (44 characters of Base64, or 64 hex digits): set the node's");
    doc_string(settings, "secretKey", key);
    free(key);
    xray_add_items(settings, "address", xray_lookup_checked(b, "ssconf_basic_v2ray_wireguard_address_%d"));
    json_object *peer = doc_element_object(doc_array(settings, "peers"));
    doc_string(peer, "endpoint", endpoint);
    doc_string(peer, "publicKey", xray_lookup_checked(b, "ssconf_basic_v2ray_wireguard_publickey_%d"));
    xray_add_set(b, peer, "preSharedKey", "ssconf_basic_v2ray_wireguard_presharedkey_%d");
    int number = text_to_int(xray_lookup_checked(b, "ssconf_basic_v2ray_wireguard_keepalive_%d"));
    if (number > 0)
        doc_int(peer, "keepAlive", number);
    number = text_to_int(xray_lookup_checked(b, "ssconf_basic_v2ray_wireguard_mtu_%d"));
    if (number > 0)
        doc_int(settings, "mtu", number);
    const char *value = xray_lookup_checked(b, "ssconf_basic_v2ray_wireguard_reserved_%d");
    if (value[0]) {
        json_object *reserved = doc_array(settings, "reserved");
        v2ray_each_item(value, [reserved](const char *item, size_t) {
            doc_element_int(reserved, atoi(item));
            return true;
        });
    }
}

void xray_add_settings(XrayBuild *b, json_object *outbound, OutboundProtocol protocol)
{
    json_object *settings = doc_object(outbound, "settings");
    if (protocol == OUTBOUND_OTHER)
        return;
    if (protocol == OUTBOUND_WIREGUARD) // the server is its peer's endpoint
        return xray_add_wireguard(b, settings);
    bool private_address = xray_add_server(b, settings);
    switch (protocol) {
    case OUTBOUND_VMESS: xray_add_vmess(b, settings); break;
    case OUTBOUND_VLESS: xray_add_vless(b, settings); break;
    case OUTBOUND_TROJAN:
        xray_add_password(b, settings, "password", true);
        if (store_lookup(&b->lookup, "ssconf_basic_v2ray_network_flow_%d")[0] != '\0')
            xray_refuse(b, "ssconf_basic_v2ray_network_flow_%d",
                        "is set, and current Xray has no Trojan flow: empty it (Vision is a vless flow)");
        break;
    case OUTBOUND_SHADOWSOCKS: xray_add_shadowsocks(b, settings, "ssconf_basic_v2ray_ss_method_%d"); break;
    case OUTBOUND_SOCKS:
    case OUTBOUND_HTTP: xray_add_account(b, settings); break;
    case OUTBOUND_HYSTERIA2: doc_int(settings, "version", 2); break;
    case OUTBOUND_WIREGUARD:
    case OUTBOUND_OTHER: break;
    }
    if (v2ray_plaintext_refused(protocol, b->security, b->vless_encrypted, private_address))
        xray_refuse(b, "ssconf_basic_v2ray_network_security_%d",
                    "is none, and Xray refuses vless and trojan without TLS to a public address: set it to tls or "
                    "reality");
}

// Xray refuses a name it does not know; "unsafe" (Go's own TLS) only under TLS.
void xray_add_fingerprint(XrayBuild *b, json_object *object, bool reality)
{
    const char *fingerprint = store_lookup(&b->lookup, "ssconf_basic_v2ray_fingerprint_%d");
    if (fingerprint[0] != '\0' && !v2ray_fingerprint(fingerprint, reality))
        xray_refuse(b, "ssconf_basic_v2ray_fingerprint_%d",
                    reality ? "is not a uTLS fingerprint REALITY can use (such as chrome, firefox, safari, random): "
                              "set one, or empty it for chrome"
                            : "is not a fingerprint current Xray knows (such as chrome, firefox, safari, random; "
                              "disable is gone): set one, or empty it for chrome");
    if (reality || fingerprint[0] != '\0')
        doc_string(object, "fingerprint", fingerprint);
}

// Written when set, and always for REALITY.
void xray_add_server_name(XrayBuild *b, json_object *object, const char *pattern, bool reality)
{
    const char *name = store_lookup(&b->lookup, pattern);
    if (strcasecmp(name, "fromMitm") == 0)
        xray_refuse(b, pattern,
                    "is fromMitm, which Xray takes from an inbound's TLS this document has not: set the server name");
    if (reality || name[0] != '\0')
        doc_string(object, "serverName", name);
}

// Pins or names to verify the certificate by; whether either is set.
bool xray_add_verify(XrayBuild *b, json_object *tls)
{
    bool pins = xray_add_set(b, tls, "pinnedPeerCertSha256", "ssconf_basic_v2ray_tls_pinned_sha256_%d");
    bool names = xray_add_set(b, tls, "verifyPeerCertByName", "ssconf_basic_v2ray_tls_verify_names_%d");
    return pins || names;
}

// Certificates are verified as Xray does by default; a pin or names to
// verify the certificate against are the only ways around the server name.
void xray_add_tls(XrayBuild *b, json_object *stream)
{
    json_object *tls = doc_object(stream, "tlsSettings");
    xray_add_fingerprint(b, tls, false);
    xray_add_server_name(b, tls, "ssconf_basic_v2ray_network_tlshost_%d", false);

    const char *alpn = xray_lookup_checked(b, "ssconf_basic_v2ray_tls_alpn_%d");
    if (alpn[0] != '\0')
        xray_add_items(tls, "alpn", alpn);

    xray_add_verify(b, tls);

    json_object *server_name = NULL;
    json_object_object_get_ex(tls, "serverName", &server_name);
    const char *ech = store_lookup(&b->lookup, "ssconf_basic_v2ray_tls_ech_config_%d");
    if (const char *problem = xray_ech_problem(ech, server_name ? json_object_get_string(server_name) : b->address))
        xray_refuse(b, "ssconf_basic_v2ray_tls_ech_config_%d", problem);
    if (ech[0] != '\0')
        doc_string(tls, "echConfigList", ech);
}

void xray_add_reality(XrayBuild *b, json_object *stream)
{
    json_object *reality = doc_object(stream, "realitySettings");
    xray_add_fingerprint(b, reality, true);
    xray_add_server_name(b, reality, "ssconf_basic_v2ray_network_tlshost_%d", true);
    doc_string(reality, "publicKey", xray_lookup_checked(b, "ssconf_basic_v2ray_reality_publickey_%d"));
    doc_string(reality, "shortId", xray_lookup_checked(b, "ssconf_basic_v2ray_reality_shortid_%d"));
    xray_add_set(b, reality, "spiderX", "ssconf_basic_v2ray_reality_spiderx_%d");
    xray_add_set(b, reality, "mldsa65Verify", "ssconf_basic_v2ray_reality_mldsa65_verify_%d");
}

// The TCP header is none or http, as for tarvick; mKCP reads no header.
void xray_add_tcp(XrayBuild *b, json_object *stream)
{
    const char *head = store_lookup(&b->lookup, "ssconf_basic_v2ray_headtype_tcp_%d");
    if (head[0] != '\0' && !v2ray_tcp_header(head))
        xray_refuse(b, "ssconf_basic_v2ray_headtype_tcp_%d", "is not none or http: set the server's header type");
    if (strcmp(head, "http") != 0)
        return;
    json_object *header = doc_object(doc_object(stream, "tcpSettings"), "header");
    doc_string(header, "type", "http");
    json_object *request = doc_object(header, "request");
    // Xray splits the path at commas, as links write a list of them.
    const char *path = store_lookup(&b->lookup, "ssconf_basic_v2ray_network_path_%d");
    doc_string(request, "path", path[0] ? path : "/");
    json_object *headers = doc_object(request, "headers");
    doc_string(headers, "Host", store_lookup(&b->lookup, "ssconf_basic_v2ray_network_host_%d"));
}

// Current Xray's mKCP has no packet check of its own; V2Ray's wire format
// (and its check) is the "mkcp-legacy" mask.
void xray_add_kcp(XrayBuild *b, json_object *stream)
{
    const char *head = store_lookup(&b->lookup, "ssconf_basic_v2ray_headtype_tcp_%d");
    if (head[0] != '\0' && strcmp(head, "none") != 0)
        xray_refuse(b, "ssconf_basic_v2ray_headtype_tcp_%d",
                    "is an mKCP header type, and current Xray's mKCP takes none: set it to none, with a server "
                    "without one");
    json_object *kcp = doc_object(stream, "kcpSettings");
    doc_int(kcp, "mtu", 1350);
    doc_int(kcp, "tti", 50);
    doc_int(kcp, "uplinkCapacity", 12);
    doc_int(kcp, "downlinkCapacity", 100);
    json_object *mask = doc_element_object(doc_array(doc_object(stream, "finalmask"), "udp"));
    doc_string(mask, "type", "mkcp-legacy");
}

// WebSocket, HTTPUpgrade and XHTTP: a path and a host, each when set.
json_object *xray_add_http_like(XrayBuild *b, json_object *stream, const char *name)
{
    json_object *settings = doc_object(stream, name);
    xray_add_set(b, settings, "path", "ssconf_basic_v2ray_network_path_%d");
    xray_add_set(b, settings, "host", "ssconf_basic_v2ray_network_host_%d");
    return settings;
}

// "extra" as Xray reads it; what it does not read is not written.
void xray_add_xhttp_extra(XrayBuild *b, json_object *xhttp, const char *mode)
{
    const char *text = store_lookup(&b->lookup, "ssconf_basic_v2ray_xhttp_extra_%d");
    if (text[0] == '\0')
        return;
    json_object *parsed = xray_json_parse(text, strlen(text));
    // A member Xray does not read is refused, not left out: the setting
    // then says exactly what the client reads (import leaves such out).
    char problem[160], unread[128] = "";
    json_object *extra =
        parsed ? xray_extra_read(
                     parsed, mode,
                     [](void *context, const char *member) {
                         char *first = (char *)context;
                         if (!first[0])
                             snprintf(first, 128, "%s", member);
                     },
                     unread, problem, sizeof problem)
               : NULL;
    json_object_put(parsed);
    if (extra && unread[0]) {
        snprintf(problem, sizeof problem, "member %.64s is not one Xray reads: remove it", unread);
        json_object_put(extra);
        extra = NULL;
    }
    if (!extra)
        xray_refuse(b, "ssconf_basic_v2ray_xhttp_extra_%d",
                    parsed ? problem : "is not JSON, and Xray refuses it: set the server's extra settings as a JSON "
                                       "object, or empty it");
    else if (json_object_object_add(xhttp, "extra", extra) != 0)
        json_object_put(extra);
}

void xray_add_xhttp(XrayBuild *b, json_object *stream)
{
    json_object *xhttp = xray_add_http_like(b, stream, "xhttpSettings");
    const char *mode = store_lookup(&b->lookup, "ssconf_basic_v2ray_xhttp_mode_%d");
    char mode_read[16] = "";
    if (mode[0] != '\0') {
        if (v2ray_xhttp_mode(mode))
            snprintf(mode_read, sizeof mode_read, "%s", mode);
        else
            xray_refuse(b, "ssconf_basic_v2ray_xhttp_mode_%d",
                        "is not auto, packet-up, stream-up or stream-one: set the server's mode, or empty it for auto");
        doc_string(xhttp, "mode", mode);
    }
    xray_add_xhttp_extra(b, xhttp, mode_read);
}

void xray_add_grpc(XrayBuild *b, json_object *stream)
{
    json_object *grpc = doc_object(stream, "grpcSettings");
    doc_string(grpc, "serviceName", store_lookup(&b->lookup, "ssconf_basic_v2ray_grpc_serviceName_%d"));
    xray_add_set(b, grpc, "authority", "ssconf_basic_v2ray_grpc_authority_%d");
    // The mux switch doubles as gRPC's multi-mode, as for tarvick.
    doc_bool(grpc, "multiMode", store_lookup_int(&b->lookup, "ssconf_basic_v2ray_mux_enable_%d") != 0);
}

// Hysteria's auth is the node's password; Salamander, port hopping and the
// rates for Brutal are the final mask's, where Xray reads them since
// v26.3.23 (Salamander since v26.1.31). Every key is read whatever it holds.
void xray_add_hysteria(XrayBuild *b, json_object *stream)
{
    json_object *hysteria = doc_object(stream, "hysteriaSettings");
    doc_int(hysteria, "version", 2);
    xray_add_password(b, hysteria, "auth", true);
    const char *value = xray_lookup_checked(b, "ssconf_basic_v2ray_hysteria_obfs_password_%d");
    json_object *mask = value[0] ? doc_object(stream, "finalmask") : NULL;
    if (mask) {
        json_object *salamander = doc_element_object(doc_array(mask, "udp"));
        doc_string(salamander, "type", "salamander");
        doc_string(doc_object(salamander, "settings"), "password", value);
    }
    static const struct {
        const char *pattern, *member;
    } QUIC_PARAMS[] = {
        {"ssconf_basic_v2ray_hysteria_up_%d", "brutalUp"},
        {"ssconf_basic_v2ray_hysteria_down_%d", "brutalDown"},
        {"ssconf_basic_v2ray_hysteria_hop_ports_%d", "ports"},
    };
    json_object *quic = NULL;
    for (const auto &param : QUIC_PARAMS) {
        value = xray_lookup_checked(b, param.pattern);
        if (!value[0])
            continue;
        if (!mask)
            mask = doc_object(stream, "finalmask");
        if (!quic)
            quic = doc_object(mask, "quicParams");
        doc_string(param.member[0] == 'p' ? doc_object(quic, "udpHop") : quic, param.member, value);
    }
}

void xray_add_stream(XrayBuild *b, json_object *outbound, const V2rayName *network, const V2rayName *security)
{
    // Looked up again as tarvick does, for WireGuard's missing stream too; the
    // texts written are the ones that were classified.
    store_lookup(&b->lookup, "ssconf_basic_v2ray_network_%d");
    store_lookup(&b->lookup, "ssconf_basic_v2ray_network_security_%d");
    if (b->kind == OUTBOUND_WIREGUARD)
        return;
    json_object *stream = doc_object(outbound, "streamSettings");
    doc_string(stream, "network", v2ray_writes(network, DOC_XRAY) ? v2ray_written(network) : "");
    doc_string(stream, "security", v2ray_writes(security, DOC_XRAY) ? v2ray_written(security) : "");

    if (b->security == SECURITY_TLS)
        xray_add_tls(b, stream);
    else if (b->security == SECURITY_REALITY)
        xray_add_reality(b, stream);

    switch (b->network) {
    case NETWORK_TCP: xray_add_tcp(b, stream); break;
    case NETWORK_MKCP: xray_add_kcp(b, stream); break;
    case NETWORK_WS: xray_add_http_like(b, stream, "wsSettings"); break;
    case NETWORK_GRPC: xray_add_grpc(b, stream); break;
    case NETWORK_XHTTP: xray_add_xhttp(b, stream); break;
    case NETWORK_HTTPUPGRADE: xray_add_http_like(b, stream, "httpupgradeSettings"); break;
    case NETWORK_HYSTERIA: xray_add_hysteria(b, stream); break;
    case NETWORK_H2:
    case NETWORK_QUIC:
    case NETWORK_OTHER: break;
    }
}

// gRPC carries its own multiplexing, and Vision splices streams that Xray's
// mux would hold: no "mux" for either, as tarvick writes none over XTLS. The
// flow only fills a member, so it must not change which keys are read: the
// concurrency is read for Vision too, as tarvick reads it over TLS.
void xray_add_mux(XrayBuild *b, json_object *outbound)
{
    bool mux = store_lookup_switch(&b->lookup, "ssconf_basic_v2ray_mux_enable_%d");
    if (!mux || b->network == NETWORK_GRPC)
        return;
    if (b->kind == OUTBOUND_HYSTERIA2 || b->kind == OUTBOUND_WIREGUARD)
        xray_refuse(b, "ssconf_basic_v2ray_mux_enable_%d",
                    "is 1, and tarvick-node xray writes no mux for hysteria2 or wireguard, which carry each "
                    "connection themselves: set it to 0");
    if (b->vision || b->kind == OUTBOUND_HYSTERIA2 || b->kind == OUTBOUND_WIREGUARD) {
        store_lookup(&b->lookup, "ssconf_basic_v2ray_mux_concurrency_%d");
        return;
    }
    json_object *mux_object = doc_object(outbound, "mux");
    doc_bool(mux_object, "enabled", true);
    int concurrency = store_lookup_int(&b->lookup, "ssconf_basic_v2ray_mux_concurrency_%d");
    if (concurrency < 0 || concurrency > 1024)
        xray_refuse(b, "ssconf_basic_v2ray_mux_concurrency_%d",
                    "is not 0 to 1024 (Xray turns multiplexing off below 0): set it, or 0 for 8");
    doc_int(mux_object, "concurrency", concurrency);
}

// Hysteria2 runs over its own QUIC transport, always with TLS; WireGuard
// carries its own packets, with no transport or TLS of Xray's.
void xray_check_kind(XrayBuild *b, bool network_empty)
{
    if (b->kind == OUTBOUND_HYSTERIA2 && b->network != NETWORK_HYSTERIA)
        xray_refuse(b, "ssconf_basic_v2ray_network_%d",
                    "is not hysteria, the one transport of protocol hysteria2: set it to hysteria");
    else if (b->kind != OUTBOUND_HYSTERIA2 && b->network == NETWORK_HYSTERIA)
        xray_refuse(b, "ssconf_basic_v2ray_network_%d",
                    "is hysteria, which carries protocol hysteria2 only: set the server's transport");
    if (b->kind == OUTBOUND_HYSTERIA2 && b->security != SECURITY_TLS)
        xray_refuse(b, "ssconf_basic_v2ray_network_security_%d",
                    "is not tls, and Hysteria runs over TLS only: set it to tls");
    if (b->kind == OUTBOUND_WIREGUARD && !network_empty)
        xray_refuse(b, "ssconf_basic_v2ray_network_%d",
                    "is set, and WireGuard sends its own packets over no transport of Xray's: empty it");
    if (b->kind == OUTBOUND_WIREGUARD && b->security != SECURITY_NONE)
        xray_refuse(b, "ssconf_basic_v2ray_network_security_%d",
                    "is not none, and WireGuard has its own encryption: set it to none");
}

// A Shadowsocks node (type 0), with tarvick 0's lookups: Xray runs no
// SIP003 plugin and cannot start the KCP tunnel.
void xray_add_ss_node(XrayBuild *b, json_object *settings)
{
    if (store_lookup_switch(&b->lookup, "ssconf_basic_use_kcp_%d"))
        xray_refuse(b, "ssconf_basic_use_kcp_%d",
                    "is 1, and Xray cannot reach the server through the KCP tunnel: set it to 0, with the server's "
                    "own address and port");
    else
        xray_add_server(b, settings);
    xray_add_shadowsocks(b, settings, "ssconf_basic_method_%d");
    const char *plugin = store_lookup(&b->lookup, "ssconf_basic_ss_obfs_%d");
    if (plugin[0] == '\0' || strcmp(plugin, "none") == 0)
        return;
    xray_refuse(b, "ssconf_basic_ss_obfs_%d",
                "names a plugin, and Xray runs no SIP003 plugin: set it to none, with a server without one");
    store_lookup(&b->lookup, "ssconf_basic_ss_obfs_host_%d");
}

// A Trojan node (type 3), with tarvick 3's lookups and its certificate rule:
// verification off is taken only with a pin or names to verify by, since
// Xray always verifies. Over plain TCP, which Xray writes by default.
void xray_add_trojan_node(XrayBuild *b, json_object *outbound, json_object *settings)
{
    xray_add_server(b, settings);
    xray_add_password(b, settings, "password", true);
    bool verify = store_lookup_switch(&b->lookup, "ssconf_basic_ssl_verify_enable_%d");
    json_object *stream = doc_object(outbound, "streamSettings");
    doc_string(stream, "security", "tls");
    json_object *tls = doc_object(stream, "tlsSettings");
    // Without a name Xray, as the Trojan client, takes the server's address.
    xray_add_server_name(b, tls, "ssconf_basic_trojan_sni_%d", false);
    if (!xray_add_verify(b, tls) && !verify)
        xray_refuse(b, "ssconf_basic_ssl_verify_enable_%d",
                    "is not 1, and Xray always verifies the certificate: set it to 1, or pin the certificate "
                    "(ssconf_basic_v2ray_tls_pinned_sha256) or name what it is for (ssconf_basic_v2ray_tls_verify_names)");
    // trojan-go's multiplexing is not Xray's, which its servers do not speak.
    if (store_lookup_switch(&b->lookup, "ssconf_basic_trojan_mp_enable_%d")) {
        xray_refuse(b, "ssconf_basic_trojan_mp_enable_%d",
                    "is 1, and Xray's multiplexing is not trojan-go's: set it to 0");
        store_lookup(&b->lookup, "ssconf_basic_trojan_mulprocess_%d");
    }
}

// What the router's call names no type for is told by the settings, each
// kind by the key only it reads: a V2Ray/Xray protocol, else a ShadowsocksR
// protocol, else a Shadowsocks method; a node with none is a Trojan node.
// A kind's own lookups follow, so each is tarvick's for that kind.
int xray_probe(XrayBuild *b)
{
    if (store_lookup(&b->lookup, "ssconf_basic_ssr_protocol_%d")[0] != '\0')
        return PROXY_SHADOWSOCKSR;
    if (store_lookup(&b->lookup, "ssconf_basic_method_%d")[0] != '\0')
        return PROXY_SHADOWSOCKS;
    return PROXY_TROJAN;
}

int xray_write_other(XrayBuild *b, const GeneratorArgs *args, int kind)
{
    if (kind == PROXY_SHADOWSOCKSR) {
        xray_refuse(b, "ssconf_basic_ssr_protocol_%d",
                    "is set: a ShadowsocksR node, which Xray does not run: run it with tarvick 1");
        return GENERATOR_REFUSED;
    }
    Document doc;
    json_object *outbound = xray_add_outbound(doc.root, args);
    doc_string(outbound, "protocol", kind == PROXY_SHADOWSOCKS ? "shadowsocks" : "trojan");
    json_object *settings = doc_object(outbound, "settings");
    if (kind == PROXY_SHADOWSOCKS)
        xray_add_ss_node(b, settings);
    else
        xray_add_trojan_node(b, outbound, settings);
    return xray_write(b, doc.root, args);
}

} // namespace

int write_xray_config(const GeneratorArgs *args, GeneratorRun *run)
{
    int kind;
    return write_xray_node(args, run, &kind);
}

int write_xray_node(const GeneratorArgs *args, GeneratorRun *run, int *kind)
{
    XrayBuild b = {};
    store_lookup_init(&b.lookup, args->node, run->source);
    b.run = run;
    run->refusal[0] = '\0';

    const char *protocol_text = store_lookup(&b.lookup, "ssconf_basic_v2ray_protocol_%d");
    *kind = protocol_text[0] ? PROXY_V2RAY : xray_probe(&b);
    if (*kind != PROXY_V2RAY)
        return xray_write_other(&b, args, *kind);
    Document doc;
    const V2rayName *protocol = v2ray_protocol(protocol_text);
    const V2rayName *security = v2ray_security(store_lookup(&b.lookup, "ssconf_basic_v2ray_network_security_%d"));
    const char *network_text = store_lookup(&b.lookup, "ssconf_basic_v2ray_network_%d");
    bool network_empty = network_text[0] == '\0';
    const V2rayName *network = v2ray_network(network_text);
    b.security = security ? (SecurityMode)security->value : SECURITY_NONE;
    b.network = network ? (NetworkKind)network->value : NETWORK_OTHER;
    b.kind = (OutboundProtocol)v2ray_value(protocol, DOC_XRAY);
    if (!v2ray_writes(protocol, DOC_XRAY))
        xray_refuse(&b, "ssconf_basic_v2ray_protocol_%d",
                    "is not vmess, vless, trojan, ss, socks or http: set it to the server's protocol");
    if (security && !v2ray_writes(security, DOC_XRAY))
        xray_refuse(&b, "ssconf_basic_v2ray_network_security_%d",
                    "is xtls, which current Xray no longer has: set it to tls or reality, with the vless flow "
                    "xtls-rprx-vision");
    else if (!security)
        xray_refuse(&b, "ssconf_basic_v2ray_network_security_%d",
                    "is not none, tls or reality: set it to the server's security");
    if (network && !v2ray_writes(network, DOC_XRAY))
        xray_refuse(&b, "ssconf_basic_v2ray_network_%d",
                    "is HTTP/2 or QUIC, which current Xray no longer has: use xhttp, or what else the server offers");
    else if (!network && b.kind != OUTBOUND_WIREGUARD)
        xray_refuse(&b, "ssconf_basic_v2ray_network_%d",
                    "is not tcp, mkcp, ws, grpc, xhttp or httpupgrade: set it to the server's transport");
    else if (network && b.security == SECURITY_REALITY && !(network->traits & NET_REALITY))
        xray_refuse(&b, "ssconf_basic_v2ray_network_%d",
                    "is not tcp, xhttp or grpc, the transports REALITY runs over: set one of them");
    xray_check_kind(&b, network_empty);

    json_object *outbound = xray_add_outbound(doc.root, args);
    store_lookup(&b.lookup, "ssconf_basic_v2ray_protocol_%d");
    doc_string(outbound, "protocol", v2ray_writes(protocol, DOC_XRAY) ? v2ray_written(protocol) : "");
    xray_add_settings(&b, outbound, b.kind);
    xray_add_stream(&b, outbound, network, security);
    xray_add_mux(&b, outbound);
    return xray_write(&b, doc.root, args);
}
