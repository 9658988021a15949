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
#include "xray.h"

#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

namespace {

enum XrayProtocol {
    XRAY_PROTOCOL_OTHER = -1,
    XRAY_VMESS,
    XRAY_VLESS,
    XRAY_TROJAN,
    XRAY_SHADOWSOCKS,
    XRAY_SOCKS,
    XRAY_HTTP,
};

enum XraySecurity {
    XRAY_SECURITY_OTHER = -1,
    XRAY_SECURITY_NONE,
    XRAY_SECURITY_TLS,
    XRAY_SECURITY_REALITY,
    XRAY_SECURITY_XTLS, // removed from Xray: refused
};

enum XrayNetwork {
    XRAY_NETWORK_OTHER = -1,
    XRAY_TCP,
    XRAY_MKCP,
    XRAY_WS,
    XRAY_GRPC,
    XRAY_XHTTP,
    XRAY_HTTPUPGRADE,
    XRAY_H2,   // removed from Xray: refused
    XRAY_QUIC, // removed from Xray: refused
};

struct XrayName {
    const char *stored;
    int value;
    const char *written; // the name Xray reads
};

const XrayName XRAY_PROTOCOLS[] = {
    {"vmess", XRAY_VMESS, "vmess"},   {"vless", XRAY_VLESS, "vless"}, {"trojan", XRAY_TROJAN, "trojan"},
    {"ss", XRAY_SHADOWSOCKS, "shadowsocks"}, {"socks", XRAY_SOCKS, "socks"}, {"http", XRAY_HTTP, "http"},
};
// An empty security is none, as tarvick's readers take it.
const XrayName XRAY_SECURITIES[] = {
    {"none", XRAY_SECURITY_NONE, "none"},
    {"", XRAY_SECURITY_NONE, "none"},
    {"tls", XRAY_SECURITY_TLS, "tls"},
    {"reality", XRAY_SECURITY_REALITY, "reality"},
    {"xtls", XRAY_SECURITY_XTLS, NULL},
};
const XrayName XRAY_NETWORKS[] = {
    {"tcp", XRAY_TCP, "tcp"},       {"mkcp", XRAY_MKCP, "mkcp"},   {"ws", XRAY_WS, "ws"},
    {"grpc", XRAY_GRPC, "grpc"},    {"xhttp", XRAY_XHTTP, "xhttp"}, {"httpupgrade", XRAY_HTTPUPGRADE, "httpupgrade"},
    {"h2", XRAY_H2, NULL},          {"http", XRAY_H2, NULL},        {"quic", XRAY_QUIC, NULL},
};

template <size_t N>
const XrayName *xray_classify(const XrayName (&table)[N], const char *text)
{
    for (const XrayName &row : table)
        if (strcmp(text, row.stored) == 0)
            return &row;
    return NULL;
}

// uTLS hellos by the names Xray's reader knows (it compares in lower case).
const char *const XRAY_FINGERPRINTS[] = {
    "chrome", "firefox", "safari", "ios", "android", "edge", "360", "qq", "random", "randomized",
    "randomizednoalpn", "hellofirefox_120", "hellofirefox_148", "hellochrome_120", "hellochrome_131",
    "hellochrome_133", "helloios_13", "helloios_14", "helloedge_106", "hellosafari_26_3", "hello360_11_0",
    "helloqq_11_1", "hellogolang", "hellorandomized", "hellorandomizedalpn", "hellorandomizednoalpn",
    "hellofirefox_auto", "hellofirefox_55", "hellofirefox_56", "hellofirefox_63", "hellofirefox_65",
    "hellofirefox_99", "hellofirefox_102", "hellofirefox_105", "hellochrome_auto", "hellochrome_58",
    "hellochrome_62", "hellochrome_70", "hellochrome_72", "hellochrome_83", "hellochrome_87", "hellochrome_96",
    "hellochrome_100", "hellochrome_102", "hellochrome_106_shuffle", "helloios_auto", "helloios_11_1",
    "helloios_12_1", "helloandroid_11_okhttp", "helloedge_85", "helloedge_auto", "hellosafari_16_0",
    "hellosafari_auto", "hello360_auto", "hello360_7_5", "helloqq_auto", "hellochrome_100_psk",
    "hellochrome_112_psk_shuf", "hellochrome_114_padding_psk_shuf", "hellochrome_115_pq",
    "hellochrome_115_pq_psk", "hellochrome_120_pq",
};

// Shadowsocks ciphers: Xray compares the classic names in lower case and the
// 2022 ones exactly; a 2022 key is Base64 of 16 or 32 bytes.
const char *const XRAY_SS_METHODS[] = {
    "aes-128-gcm",        "aead_aes_128_gcm",        "aes-256-gcm",            "aead_aes_256_gcm",
    "chacha20-poly1305",  "aead_chacha20_poly1305",  "chacha20-ietf-poly1305", "xchacha20-poly1305",
    "aead_xchacha20_poly1305", "xchacha20-ietf-poly1305",
};
struct XraySs2022 {
    const char *method;
    size_t key_bytes;
};
const XraySs2022 XRAY_SS_2022[] = {
    {"2022-blake3-aes-128-gcm", 16},
    {"2022-blake3-aes-256-gcm", 32},
    {"2022-blake3-chacha20-poly1305", 32},
};

// One run: the lookup, and the first reason to refuse the node.
struct XrayBuild {
    StoreLookup lookup;
    XrayRefusal *refusal;
    bool refused;
    XraySecurity security;
    XrayNetwork network;
    bool vision;
};

// Keeps only the first reason: it names the key, never the stored value.
void xray_refuse(XrayBuild *b, const char *pattern, const char *reason)
{
    if (b->refused)
        return;
    b->refused = true;
    char key[KEY_BUFFER_SIZE];
    snprintf(key, sizeof key, pattern, b->lookup.node);
    snprintf(b->refusal->text, sizeof b->refusal->text, "%s %s", key, reason);
}

bool xray_in(const char *const *names, size_t count, const char *text)
{
    for (size_t i = 0; i < count; i++)
        if (strcasecmp(text, names[i]) == 0)
            return true;
    return false;
}

int xray_hex(char c)
{
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

bool xray_hex_digits(const char *text, size_t length)
{
    for (size_t i = 0; i < length; i++)
        if (xray_hex(text[i]) < 0)
            return false;
    return true;
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
        if (strlen(text) < group || !xray_hex_digits(text, group))
            return false;
        text += group;
    }
    return true;
}

bool xray_prefix(const unsigned char *address, const unsigned char *net, int bits)
{
    for (int i = 0; bits > 0; i++, bits -= 8) {
        unsigned char mask = bits >= 8 ? 0xff : (unsigned char)(0xff << (8 - bits));
        if ((address[i] & mask) != (net[i] & mask))
            return false;
    }
    return true;
}

struct XrayNet {
    unsigned char net[16];
    int bits;
};

// Xray's own list of addresses that need no TLS under VLESS and Trojan.
const XrayNet XRAY_PRIVATE_V4[] = {
    {{0}, 8},           {{10}, 8},          {{100, 64}, 10},    {{127}, 8},           {{169, 254}, 16},
    {{172, 16}, 12},    {{192, 0, 0}, 24},  {{192, 0, 2}, 24},  {{192, 88, 99}, 24},  {{192, 168}, 16},
    {{198, 18}, 15},    {{198, 51, 100}, 24}, {{203, 0, 113}, 24}, {{224}, 3},
};
const XrayNet XRAY_PRIVATE_V6[] = {{{0}, 127}, {{0xfc}, 7}, {{0xfe, 0x80}, 10}, {{0xff}, 8}};
const char *const XRAY_PRIVATE_DOMAINS[] = {"lan",  "localdomain", "example", "invalid", "localhost",
                                            "test", "local",       "home.arpa", "internal"};

template <size_t N>
bool xray_in_nets(const XrayNet (&nets)[N], const unsigned char *address)
{
    for (const XrayNet &row : nets)
        if (xray_prefix(address, row.net, row.bits))
            return true;
    return false;
}

bool xray_letter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool xray_digit(char c)
{
    return c >= '0' && c <= '9';
}

// A name without dots, as Xray's pattern ^[a-z]([a-z0-9-]{0,61}[a-z0-9])?$
// reads it in lower case.
bool xray_dotless(const char *name, size_t length)
{
    if (length < 1 || length > 63 || !xray_letter(name[0]) || name[length - 1] == '-')
        return false;
    for (size_t i = 0; i < length; i++)
        if (!xray_letter(name[i]) && !xray_digit(name[i]) && name[i] != '-')
            return false;
    return true;
}

bool xray_blank(char c)
{
    return c != '\0' && strchr(" \t\n\v\f\r", c) != NULL;
}

// Whether Xray counts the server address as private, read as Xray reads it:
// without brackets and surrounding blanks, an IPv4 address inside IPv6 taken
// as IPv4, a domain in any case and without its final dot.
bool xray_address_private(const char *stored)
{
    const char *start = stored;
    size_t length = strlen(stored);
    if (length > 1 && start[0] == '[' && start[length - 1] == ']')
        start++, length -= 2;
    while (length > 0 && xray_blank(start[length - 1]))
        length--;
    while (length > 0 && xray_blank(*start))
        start++, length--;

    char ip[64];
    unsigned char address[16];
    if (length < sizeof ip) {
        memcpy(ip, start, length);
        ip[length] = '\0';
        if (inet_pton(AF_INET, ip, address) == 1)
            return xray_in_nets(XRAY_PRIVATE_V4, address);
        if (inet_pton(AF_INET6, ip, address) == 1) {
            static const unsigned char MAPPED[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
            if (memcmp(address, MAPPED, sizeof MAPPED) == 0)
                return xray_in_nets(XRAY_PRIVATE_V4, address + 12);
            return xray_in_nets(XRAY_PRIVATE_V6, address);
        }
    }
    if (length > 0 && start[length - 1] == '.')
        length--;
    for (const char *domain : XRAY_PRIVATE_DOMAINS) {
        size_t size = strlen(domain);
        if (length < size)
            continue;
        const char *tail = start + length - size;
        if (strncasecmp(tail, domain, size) == 0 && (length == size || tail[-1] == '.'))
            return true;
    }
    return xray_dotless(start, length);
}

// Xray's comma lists: items split at commas, blanks around them dropped.
// Calls check on each item; false when an item is empty or fails.
template <typename Check>
bool xray_each_item(const char *list, Check check)
{
    const char *item = list;
    for (;;) {
        const char *end = strchr(item, ',');
        size_t length = end ? (size_t)(end - item) : strlen(item);
        const char *first = item;
        while (length > 0 && xray_blank(*first))
            first++, length--;
        while (length > 0 && xray_blank(first[length - 1]))
            length--;
        if (length == 0 || !check(first, length))
            return false;
        if (!end)
            return true;
        item = end + 1;
    }
}

// A SHA-256 in hex, with or without colons between its digits.
bool xray_pin_ok(const char *pin, size_t length)
{
    size_t digits = 0;
    for (size_t i = 0; i < length; i++) {
        if (pin[i] == ':')
            continue;
        if (xray_hex(pin[i]) < 0)
            return false;
        digits++;
    }
    return digits == 64;
}

// Base64 in Xray's URL-safe alphabet without padding, of this many bytes.
bool xray_base64url_ok(const char *text, size_t bytes)
{
    size_t length = strlen(text);
    if (length != (bytes * 8 + 5) / 6)
        return false;
    for (size_t i = 0; i < length; i++)
        if (!strchr("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_", text[i]))
            return false;
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
        if (length != padded)
            return false;
        for (size_t i = 0; i < length; i++)
            if (!strchr(i < digits ? "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/" : "=",
                        password[i]))
                return false;
        if (!end)
            return true;
        password = end + 1;
    }
}

} // namespace

const char *xray_value_problem(const char *field, const char *value)
{
    if (strcmp(field, "v2ray_reality_publickey") == 0 && !xray_base64url_ok(value, 32))
        return "is not a REALITY public key (43 characters of URL-safe Base64, as xray x25519 prints it): set the "
               "server's";
    size_t length = strlen(value);
    if (strcmp(field, "v2ray_reality_shortid") == 0 &&
        (length > 16 || length % 2 != 0 || !xray_hex_digits(value, length)))
        return "is not an even number of hex digits, at most 16: set one of the server's short ids";
    if (strcmp(field, "v2ray_reality_spiderx") == 0 && value[0] && value[0] != '/')
        return "does not begin with /: set a path, or empty it";
    if (strcmp(field, "v2ray_tls_pinned_sha256") == 0 && value[0] && !xray_each_item(value, xray_pin_ok))
        return "is not a comma-separated list of SHA-256 hashes (64 hex digits, colons allowed), and Xray refuses "
               "it: set the hashes of the server's certificate or its CA";
    if (strcmp(field, "v2ray_tls_verify_names") == 0 && value[0] &&
        !xray_each_item(value, [](const char *, size_t) { return true; }))
        return "holds an empty name: set a comma-separated list of the names the certificate is for";
    if (strcmp(field, "v2ray_tls_alpn") == 0 && value[0] && !xray_each_item(value, [](const char *item, size_t n) {
            return n < 256 && !(n == 8 && strncasecmp(item, "fromMitm", 8) == 0);
        }))
        return "is not a comma-separated list of protocol names (such as h2,http/1.1): set one, or empty it";
    return NULL;
}

namespace {

// The values import checks too are read here, so both refuse alike.
const char *xray_lookup_checked(XrayBuild *b, const char *pattern, const char *field)
{
    const char *value = store_lookup(&b->lookup, pattern);
    if (const char *problem = xray_value_problem(field, value))
        xray_refuse(b, pattern, problem);
    return value;
}

void xray_add_log(json_object *root)
{
    json_object *log = doc_object(root, "log");
    doc_string(log, "error", "/tmp/xray.log");
    doc_string(log, "loglevel", "warning");
}

// tarvick's "inbound" and "inboundDetour", as elements of "inbounds".
void xray_add_inbounds(json_object *root, const GeneratorArgs *args)
{
    json_object *inbounds = doc_array(root, "inbounds");
    if (args->local_port > 0) {
        json_object *inbound = doc_element_object(inbounds);
        doc_string(inbound, "tag", "transparent");
        doc_int(inbound, "port", args->local_port);
        doc_string(inbound, "protocol", "dokodemo-door");
        json_object *settings = doc_object(inbound, "settings");
        doc_string(settings, "network", args->proto);
        doc_bool(settings, "followRedirect", true);
        json_object *sniffing = doc_object(inbound, "sniffing");
        doc_bool(sniffing, "enabled", true);
        json_object *dest_override = doc_array(sniffing, "destOverride");
        doc_element_string(dest_override, "http");
        doc_element_string(dest_override, "tls");
    }
    if (args->second_port > 0 && strstr(args->proto, "tcp")) {
        json_object *socks = doc_element_object(inbounds);
        doc_string(socks, "tag", "socks");
        doc_string(socks, "protocol", "socks");
        doc_int(socks, "port", args->second_port);
        json_object *settings = doc_object(socks, "settings");
        doc_string(settings, "auth", "noauth");
        doc_bool(settings, "udp", true);
    }
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
    bool private_address = xray_address_private(address);
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
    char *password = decode_base64(store_lookup(&b->lookup, "ssconf_basic_password_%d"));
    if (!password) { // never write a wrong password: the document is refused
        store_mark_memory_exhausted();
        return;
    }
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
    static const char *const VMESS_SECURITIES[] = {"auto", "aes-128-gcm", "chacha20-poly1305"};
    const char *security = store_lookup(&b->lookup, "ssconf_basic_v2ray_security_%d");
    if (security[0] != '\0' && !xray_in(VMESS_SECURITIES, sizeof VMESS_SECURITIES / sizeof *VMESS_SECURITIES, security))
        xray_refuse(b, "ssconf_basic_v2ray_security_%d",
                    "is not auto, aes-128-gcm or chacha20-poly1305, and Xray would use auto: set it to one of them");
    doc_string(settings, "security", security[0] != '\0' ? security : "auto");
}

// Vision is the one flow current Xray has, and only right over TLS or REALITY.
void xray_add_vless(XrayBuild *b, json_object *settings)
{
    xray_add_id(b, settings);
    doc_string(settings, "encryption", "none");
    const char *flow = store_lookup(&b->lookup, "ssconf_basic_v2ray_network_flow_%d");
    if (flow[0] == '\0')
        return;
    if (strcmp(flow, "xtls-rprx-vision") != 0 && strcmp(flow, "xtls-rprx-vision-udp443") != 0)
        xray_refuse(b, "ssconf_basic_v2ray_network_flow_%d",
                    "is not xtls-rprx-vision or xtls-rprx-vision-udp443, the flows current Xray has: set one of them, "
                    "or empty it");
    else if ((b->security != XRAY_SECURITY_TLS && b->security != XRAY_SECURITY_REALITY) || b->network != XRAY_TCP)
        xray_refuse(b, "ssconf_basic_v2ray_network_flow_%d",
                    "is Vision, which runs only over tls or reality on network tcp: empty it, or set those");
    b->vision = true;
    doc_string(settings, "flow", flow);
}

void xray_add_shadowsocks(XrayBuild *b, json_object *settings)
{
    // The key's size depends on the method, which is read after it.
    char *password = decode_base64(store_lookup(&b->lookup, "ssconf_basic_password_%d"));
    const char *method = store_lookup(&b->lookup, "ssconf_basic_v2ray_ss_method_%d");
    if (!password) {
        store_mark_memory_exhausted();
        return;
    }
    size_t key_bytes = 0;
    for (const XraySs2022 &row : XRAY_SS_2022)
        if (strcmp(method, row.method) == 0)
            key_bytes = row.key_bytes;
    if (password[0] == '\0')
        xray_refuse(b, "ssconf_basic_password_%d", "is empty, and Xray refuses it: set the server's password");
    else if (key_bytes && !xray_ss_keys_ok(password, key_bytes))
        xray_refuse(b, "ssconf_basic_password_%d",
                    "is not a Shadowsocks 2022 key (standard Base64 of the method's key size, keys joined by colons), "
                    "and Xray refuses it: set the server's key");
    if (!key_bytes && !xray_in(XRAY_SS_METHODS, sizeof XRAY_SS_METHODS / sizeof *XRAY_SS_METHODS, method))
        xray_refuse(b, "ssconf_basic_v2ray_ss_method_%d",
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

void xray_add_settings(XrayBuild *b, json_object *outbound, XrayProtocol protocol)
{
    json_object *settings = doc_object(outbound, "settings");
    if (protocol == XRAY_PROTOCOL_OTHER)
        return;
    bool private_address = xray_add_server(b, settings);
    switch (protocol) {
    case XRAY_VMESS: xray_add_vmess(b, settings); break;
    case XRAY_VLESS: xray_add_vless(b, settings); break;
    case XRAY_TROJAN:
        xray_add_password(b, settings, "password", true);
        if (store_lookup(&b->lookup, "ssconf_basic_v2ray_network_flow_%d")[0] != '\0')
            xray_refuse(b, "ssconf_basic_v2ray_network_flow_%d",
                        "is set, and current Xray has no Trojan flow: empty it (Vision is a vless flow)");
        break;
    case XRAY_SHADOWSOCKS: xray_add_shadowsocks(b, settings); break;
    case XRAY_SOCKS:
    case XRAY_HTTP: xray_add_account(b, settings); break;
    case XRAY_PROTOCOL_OTHER: break;
    }
    if ((protocol == XRAY_VLESS || protocol == XRAY_TROJAN) && b->security == XRAY_SECURITY_NONE && !private_address)
        xray_refuse(b, "ssconf_basic_v2ray_network_security_%d",
                    "is none, and Xray refuses vless and trojan without TLS to a public address: set it to tls or "
                    "reality");
}

// Xray refuses a name it does not know; "unsafe" (Go's own TLS) only under TLS.
void xray_add_fingerprint(XrayBuild *b, json_object *object, bool reality)
{
    const char *fingerprint = store_lookup(&b->lookup, "ssconf_basic_v2ray_fingerprint_%d");
    size_t count = sizeof XRAY_FINGERPRINTS / sizeof *XRAY_FINGERPRINTS;
    bool known = xray_in(XRAY_FINGERPRINTS, count, fingerprint) || (!reality && strcasecmp(fingerprint, "unsafe") == 0);
    if (reality && strcasecmp(fingerprint, "hellogolang") == 0)
        known = false;
    if (fingerprint[0] != '\0' && !known)
        xray_refuse(b, "ssconf_basic_v2ray_fingerprint_%d",
                    reality ? "is not a uTLS fingerprint REALITY can use (such as chrome, firefox, safari, random): "
                              "set one, or empty it for chrome"
                            : "is not a fingerprint current Xray knows (such as chrome, firefox, safari, random; "
                              "disable is gone): set one, or empty it for chrome");
    if (reality || fingerprint[0] != '\0')
        doc_string(object, "fingerprint", fingerprint);
}

void xray_add_server_name(XrayBuild *b, json_object *object, bool reality)
{
    const char *name = store_lookup(&b->lookup, "ssconf_basic_v2ray_network_tlshost_%d");
    if (strcasecmp(name, "fromMitm") == 0)
        xray_refuse(b, "ssconf_basic_v2ray_network_tlshost_%d",
                    "is fromMitm, which Xray takes from an inbound's TLS this document has not: set the server name");
    if (reality || name[0] != '\0')
        doc_string(object, "serverName", name);
}

// Certificates are verified as Xray does by default; a pin or names to
// verify the certificate against are the only ways around the server name.
void xray_add_tls(XrayBuild *b, json_object *stream)
{
    json_object *tls = doc_object(stream, "tlsSettings");
    xray_add_fingerprint(b, tls, false);
    xray_add_server_name(b, tls, false);

    const char *alpn = xray_lookup_checked(b, "ssconf_basic_v2ray_tls_alpn_%d", "v2ray_tls_alpn");
    if (alpn[0] != '\0') {
        json_object *list = doc_array(tls, "alpn");
        xray_each_item(alpn, [list](const char *item, size_t length) {
            char protocol[256];
            snprintf(protocol, sizeof protocol, "%.*s", (int)length, item);
            doc_element_string(list, protocol);
            return true;
        });
    }

    const char *pins = xray_lookup_checked(b, "ssconf_basic_v2ray_tls_pinned_sha256_%d", "v2ray_tls_pinned_sha256");
    if (pins[0] != '\0')
        doc_string(tls, "pinnedPeerCertSha256", pins);

    const char *names = xray_lookup_checked(b, "ssconf_basic_v2ray_tls_verify_names_%d", "v2ray_tls_verify_names");
    if (names[0] != '\0')
        doc_string(tls, "verifyPeerCertByName", names);
}

void xray_add_reality(XrayBuild *b, json_object *stream)
{
    json_object *reality = doc_object(stream, "realitySettings");
    xray_add_fingerprint(b, reality, true);
    xray_add_server_name(b, reality, true);
    doc_string(reality, "publicKey",
               xray_lookup_checked(b, "ssconf_basic_v2ray_reality_publickey_%d", "v2ray_reality_publickey"));
    doc_string(reality, "shortId",
               xray_lookup_checked(b, "ssconf_basic_v2ray_reality_shortid_%d", "v2ray_reality_shortid"));
    const char *spider = xray_lookup_checked(b, "ssconf_basic_v2ray_reality_spiderx_%d", "v2ray_reality_spiderx");
    if (spider[0] != '\0')
        doc_string(reality, "spiderX", spider);
}

// The TCP header is none or http, as for tarvick; mKCP reads no header.
void xray_add_tcp(XrayBuild *b, json_object *stream)
{
    const char *head = store_lookup(&b->lookup, "ssconf_basic_v2ray_headtype_tcp_%d");
    if (strcmp(head, "http") != 0) {
        if (head[0] != '\0' && strcmp(head, "none") != 0)
            xray_refuse(b, "ssconf_basic_v2ray_headtype_tcp_%d", "is not none or http: set the server's header type");
        return;
    }
    json_object *header = doc_object(doc_object(stream, "tcpSettings"), "header");
    doc_string(header, "type", "http");
    json_object *request = doc_object(header, "request");
    doc_string(request, "path", "/");
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
    const char *path = store_lookup(&b->lookup, "ssconf_basic_v2ray_network_path_%d");
    if (path[0] != '\0')
        doc_string(settings, "path", path);
    const char *host = store_lookup(&b->lookup, "ssconf_basic_v2ray_network_host_%d");
    if (host[0] != '\0')
        doc_string(settings, "host", host);
    return settings;
}

void xray_add_xhttp(XrayBuild *b, json_object *stream)
{
    json_object *xhttp = xray_add_http_like(b, stream, "xhttpSettings");
    static const char *const MODES[] = {"auto", "packet-up", "stream-up", "stream-one"};
    const char *mode = store_lookup(&b->lookup, "ssconf_basic_v2ray_xhttp_mode_%d");
    if (mode[0] == '\0')
        return;
    bool known = false;
    for (const char *name : MODES)
        known = known || strcmp(mode, name) == 0;
    if (!known)
        xray_refuse(b, "ssconf_basic_v2ray_xhttp_mode_%d",
                    "is not auto, packet-up, stream-up or stream-one: set the server's mode, or empty it for auto");
    doc_string(xhttp, "mode", mode);
}

void xray_add_grpc(XrayBuild *b, json_object *stream)
{
    json_object *grpc = doc_object(stream, "grpcSettings");
    doc_string(grpc, "serviceName", store_lookup(&b->lookup, "ssconf_basic_v2ray_grpc_serviceName_%d"));
    // The mux switch doubles as gRPC's multi-mode, as for tarvick.
    doc_bool(grpc, "multiMode", store_lookup_int(&b->lookup, "ssconf_basic_v2ray_mux_enable_%d") != 0);
}

void xray_add_stream(XrayBuild *b, json_object *outbound, const XrayName *network, const XrayName *security)
{
    json_object *stream = doc_object(outbound, "streamSettings");
    // Looked up again as tarvick does; the texts written are the ones that
    // were classified.
    store_lookup(&b->lookup, "ssconf_basic_v2ray_network_%d");
    doc_string(stream, "network", network && network->written ? network->written : "");
    store_lookup(&b->lookup, "ssconf_basic_v2ray_network_security_%d");
    doc_string(stream, "security", security && security->written ? security->written : "");

    if (b->security == XRAY_SECURITY_TLS)
        xray_add_tls(b, stream);
    else if (b->security == XRAY_SECURITY_REALITY)
        xray_add_reality(b, stream);

    switch (b->network) {
    case XRAY_TCP: xray_add_tcp(b, stream); break;
    case XRAY_MKCP: xray_add_kcp(b, stream); break;
    case XRAY_WS: xray_add_http_like(b, stream, "wsSettings"); break;
    case XRAY_GRPC: xray_add_grpc(b, stream); break;
    case XRAY_XHTTP: xray_add_xhttp(b, stream); break;
    case XRAY_HTTPUPGRADE: xray_add_http_like(b, stream, "httpupgradeSettings"); break;
    case XRAY_H2:
    case XRAY_QUIC:
    case XRAY_NETWORK_OTHER: break;
    }
}

// gRPC carries its own multiplexing, and Vision splices streams that Xray's
// mux would hold: no "mux" for either, as tarvick writes none over XTLS. The
// flow only fills a member, so it must not change which keys are read: the
// concurrency is read for Vision too, as tarvick reads it over TLS.
void xray_add_mux(XrayBuild *b, json_object *outbound)
{
    bool mux = store_lookup_switch(&b->lookup, "ssconf_basic_v2ray_mux_enable_%d");
    if (!mux || b->network == XRAY_GRPC)
        return;
    if (b->vision) {
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

} // namespace

int write_xray_config(const GeneratorArgs *args, XrayRefusal *refusal)
{
    Document doc;
    json_object *root = doc.root;
    XrayBuild b;
    store_lookup_init(&b.lookup, args->node);
    b.refusal = refusal;
    b.refusal->text[0] = '\0';
    b.refused = false;
    b.vision = false;

    const XrayName *protocol = xray_classify(XRAY_PROTOCOLS, store_lookup(&b.lookup, "ssconf_basic_v2ray_protocol_%d"));
    const XrayName *security =
        xray_classify(XRAY_SECURITIES, store_lookup(&b.lookup, "ssconf_basic_v2ray_network_security_%d"));
    const XrayName *network = xray_classify(XRAY_NETWORKS, store_lookup(&b.lookup, "ssconf_basic_v2ray_network_%d"));
    b.security = security ? (XraySecurity)security->value : XRAY_SECURITY_OTHER;
    b.network = network ? (XrayNetwork)network->value : XRAY_NETWORK_OTHER;
    if (!protocol)
        xray_refuse(&b, "ssconf_basic_v2ray_protocol_%d",
                    "is not vmess, vless, trojan, ss, socks or http: set it to the server's protocol");
    if (b.security == XRAY_SECURITY_XTLS)
        xray_refuse(&b, "ssconf_basic_v2ray_network_security_%d",
                    "is xtls, which current Xray no longer has: set it to tls or reality, with the vless flow "
                    "xtls-rprx-vision");
    else if (b.security == XRAY_SECURITY_OTHER)
        xray_refuse(&b, "ssconf_basic_v2ray_network_security_%d",
                    "is not none, tls or reality: set it to the server's security");
    if (b.network == XRAY_H2 || b.network == XRAY_QUIC)
        xray_refuse(&b, "ssconf_basic_v2ray_network_%d",
                    "is HTTP/2 or QUIC, which current Xray no longer has: use xhttp, or what else the server offers");
    else if (b.network == XRAY_NETWORK_OTHER)
        xray_refuse(&b, "ssconf_basic_v2ray_network_%d",
                    "is not tcp, mkcp, ws, grpc, xhttp or httpupgrade: set it to the server's transport");
    else if (b.security == XRAY_SECURITY_REALITY && b.network != XRAY_TCP && b.network != XRAY_XHTTP &&
             b.network != XRAY_GRPC)
        xray_refuse(&b, "ssconf_basic_v2ray_network_%d",
                    "is not tcp, xhttp or grpc, the transports REALITY runs over: set one of them");

    xray_add_log(root);
    xray_add_inbounds(root, args);

    json_object *outbound = doc_element_object(doc_array(root, "outbounds"));
    doc_string(outbound, "tag", "proxy");
    store_lookup(&b.lookup, "ssconf_basic_v2ray_protocol_%d");
    doc_string(outbound, "protocol", protocol ? protocol->written : "");
    xray_add_settings(&b, outbound, protocol ? (XrayProtocol)protocol->value : XRAY_PROTOCOL_OTHER);
    xray_add_stream(&b, outbound, network, security);
    xray_add_mux(&b, outbound);

    // A lookup that ran out of memory read an empty value: its refusal would
    // be wrong, and write_document says what went wrong instead.
    if (b.refused && !store_memory_exhausted())
        return XRAY_REFUSED;
    return write_document(root, args->path);
}
