// The V2Ray/Xray names and their rules, one row each.
#include "v2ray_names.h"

#include <arpa/inet.h>
#include <string.h>
#include <strings.h>

namespace {

const int BOTH = DOC_TARVICK | DOC_XRAY;

// tarvick writes the stored protocol text as it stands, except "ss", a name
// no client knows as an outbound protocol.
const V2rayName PROTOCOLS[] = {
    {"vmess", OUTBOUND_VMESS, BOTH, 0, NULL, NULL},
    {"vless", OUTBOUND_VLESS, BOTH, 0, NULL, NULL},
    {"trojan", OUTBOUND_TROJAN, BOTH, 0, NULL, NULL},
    {"ss", OUTBOUND_SHADOWSOCKS, BOTH, 0, "shadowsocks", NULL},
    {"socks", OUTBOUND_SOCKS, BOTH, 0, NULL, NULL},
    {"http", OUTBOUND_HTTP, BOTH, 0, NULL, NULL},
    // Xray's "hysteria" outbound speaks version 2 only: the node says which.
    {"hysteria2", OUTBOUND_HYSTERIA2, DOC_XRAY, 0, "hysteria", NULL},
    {"wireguard", OUTBOUND_WIREGUARD, DOC_XRAY, 0, NULL, NULL},
};

// An empty security is none, as tarvick's readers take it; current Xray has
// no XTLS, V2Ray and older Xray no REALITY.
const V2rayName SECURITIES[] = {
    {"none", SECURITY_NONE, BOTH, 0, NULL, NULL},
    {"", SECURITY_NONE, BOTH, 0, "none", "none"},
    {"tls", SECURITY_TLS, BOTH, 0, NULL, NULL},
    {"xtls", SECURITY_XTLS, DOC_TARVICK, 0, NULL, NULL},
    {"reality", SECURITY_REALITY, DOC_XRAY, 0, NULL, NULL},
};

// The first row of each kind is the one export writes. "http" is how current
// Xray's reader once named HTTP/2; tarvick writes it as an unknown name.
const V2rayName NETWORKS[] = {
    {"tcp", NETWORK_TCP, BOTH, NET_HEADER | NET_REALITY, NULL, NULL},
    {"mkcp", NETWORK_MKCP, BOTH, NET_HEADER | NET_DATAGRAM, NULL, "kcp"},
    {"ws", NETWORK_WS, BOTH, NET_PATH | NET_HOST, NULL, NULL},
    {"h2", NETWORK_H2, DOC_TARVICK, NET_PATH | NET_HOST | NET_HOST_LIST, NULL, "http"},
    {"quic", NETWORK_QUIC, DOC_TARVICK, NET_HEADER | NET_DATAGRAM, NULL, NULL},
    {"grpc", NETWORK_GRPC, BOTH, NET_REALITY, NULL, NULL},
    {"xhttp", NETWORK_XHTTP, DOC_XRAY, NET_PATH | NET_HOST | NET_REALITY, NULL, NULL},
    {"httpupgrade", NETWORK_HTTPUPGRADE, DOC_XRAY, NET_PATH | NET_HOST, NULL, NULL},
    {"http", NETWORK_H2, 0, NET_PATH | NET_HOST | NET_HOST_LIST, NULL, "http"},
    // Hysteria's own QUIC: the one transport of protocol hysteria2, and no
    // link names it (the hysteria2 scheme does).
    {"hysteria", NETWORK_HYSTERIA, DOC_XRAY, NET_DATAGRAM, NULL, ""},
};

// Another name for a stored one.
struct NameAlias {
    const char *name;
    const char *stored;
};

// Other names links give a transport: Xray's "raw" and trojan-go's
// "original" for tcp, an empty one, XHTTP's name before v24.11.
const NameAlias LINK_NETWORK_ALIASES[] = {
    {"", "tcp"}, {"raw", "tcp"}, {"original", "tcp"}, {"kcp", "mkcp"}, {"http", "h2"}, {"splithttp", "xhttp"},
};

// The readers of tarvick's document know every transport it writes, one
// that no document writes, and other names for them.
const V2rayName READER_ONLY_NETWORKS[] = {{"domainsocket", NETWORK_OTHER, 0, 0, NULL, NULL}};
const NameAlias READER_NETWORK_ALIASES[] = {
    {"", "tcp"}, {"kcp", "mkcp"}, {"websocket", "ws"}, {"http", "h2"}, {"ds", "domainsocket"}, {"gun", "grpc"},
};

template <size_t N>
const V2rayName *names_find(const V2rayName (&table)[N], const char *stored)
{
    for (const V2rayName &row : table)
        if (strcmp(stored, row.stored) == 0)
            return &row;
    return NULL;
}

template <size_t N>
bool names_in(const char *const (&names)[N], const char *text, bool any_case)
{
    for (const char *name : names)
        if ((any_case ? strcasecmp(text, name) : strcmp(text, name)) == 0)
            return true;
    return false;
}

} // namespace

const V2rayName *v2ray_protocol(const char *stored)
{
    return names_find(PROTOCOLS, stored);
}

const V2rayName *v2ray_security(const char *stored)
{
    return names_find(SECURITIES, stored);
}

const V2rayName *v2ray_network(const char *stored)
{
    return names_find(NETWORKS, stored);
}

const V2rayName *v2ray_link_network(const char *link)
{
    for (const auto &alias : LINK_NETWORK_ALIASES)
        if (strcmp(link, alias.name) == 0)
            return names_find(NETWORKS, alias.stored);
    const V2rayName *row = names_find(NETWORKS, link);
    return row && row->documents && !(row->link && !row->link[0]) ? row : NULL;
}

const V2rayName *v2ray_written_protocol(const char *written)
{
    for (const V2rayName &row : PROTOCOLS)
        if (strcmp(written, v2ray_written(&row)) == 0)
            return &row;
    return NULL;
}

const V2rayName *v2ray_reader_network(const char *written)
{
    for (const auto &alias : READER_NETWORK_ALIASES)
        if (strcasecmp(written, alias.name) == 0) {
            written = alias.stored;
            break;
        }
    for (const V2rayName &row : NETWORKS)
        if (v2ray_writes(&row, DOC_TARVICK) && strcasecmp(written, row.stored) == 0)
            return &row;
    for (const V2rayName &row : READER_ONLY_NETWORKS)
        if (strcasecmp(written, row.stored) == 0)
            return &row;
    return NULL;
}

bool v2ray_writes(const V2rayName *row, int document)
{
    return row && (row->documents & document);
}

int v2ray_value(const V2rayName *row, int document)
{
    return v2ray_writes(row, document) ? row->value : -1;
}

const char *v2ray_written(const V2rayName *row)
{
    return row->written ? row->written : row->stored;
}

const char *v2ray_link_name(const V2rayName *row)
{
    return !row ? "" : row->link ? row->link : row->stored;
}

bool v2ray_flow_vision(const char *flow)
{
    return strcmp(flow, "xtls-rprx-vision") == 0 || strcmp(flow, "xtls-rprx-vision-udp443") == 0;
}

bool v2ray_flow_old_xtls(const char *flow)
{
    return strncmp(flow, "xtls-rprx-", 10) == 0 && !v2ray_flow_vision(flow);
}

bool v2ray_grpc_mode(const char *mode)
{
    return strcmp(mode, "gun") == 0 || strcmp(mode, "multi") == 0;
}

bool v2ray_xhttp_mode(const char *mode)
{
    static const char *const MODES[] = {"auto", "packet-up", "stream-up", "stream-one"};
    return names_in(MODES, mode, false);
}

bool v2ray_tcp_header(const char *header)
{
    return strcmp(header, "none") == 0 || strcmp(header, "http") == 0;
}

bool v2ray_fingerprint(const char *fingerprint, bool reality)
{
    // uTLS hellos by the names Xray's reader knows (it compares in lower case).
    // One text, not a table of pointers: the list is long.
    static const char FINGERPRINTS[] =
        "chrome firefox safari ios android edge 360 qq random randomized randomizednoalpn hellofirefox_120 "
        "hellofirefox_148 hellochrome_120 hellochrome_131 hellochrome_133 helloios_13 helloios_14 "
        "helloedge_106 hellosafari_26_3 hello360_11_0 helloqq_11_1 hellogolang hellorandomized "
        "hellorandomizedalpn hellorandomizednoalpn hellofirefox_auto hellofirefox_55 hellofirefox_56 "
        "hellofirefox_63 hellofirefox_65 hellofirefox_99 hellofirefox_102 hellofirefox_105 hellochrome_auto "
        "hellochrome_58 hellochrome_62 hellochrome_70 hellochrome_72 hellochrome_83 hellochrome_87 "
        "hellochrome_96 hellochrome_100 hellochrome_102 hellochrome_106_shuffle helloios_auto helloios_11_1 "
        "helloios_12_1 helloandroid_11_okhttp helloedge_85 helloedge_auto hellosafari_16_0 hellosafari_auto "
        "hello360_auto hello360_7_5 helloqq_auto hellochrome_100_psk hellochrome_112_psk_shuf "
        "hellochrome_114_padding_psk_shuf hellochrome_115_pq hellochrome_115_pq_psk hellochrome_120_pq ";
    size_t length = strlen(fingerprint);
    bool known = false;
    for (const char *name = FINGERPRINTS; *name && !known; name += strcspn(name, " ") + 1)
        known = strcspn(name, " ") == length && strncasecmp(fingerprint, name, length) == 0;
    if (reality)
        return known && strcasecmp(fingerprint, "hellogolang") != 0;
    return known || strcasecmp(fingerprint, "unsafe") == 0;
}

bool v2ray_vmess_security(const char *security)
{
    static const char *const SECURITIES_KEPT[] = {"auto", "aes-128-gcm", "chacha20-poly1305"};
    return names_in(SECURITIES_KEPT, security, true);
}

bool v2ray_ss_method(const char *method)
{
    // Xray compares the classic names in lower case and the 2022 ones exactly.
    static const char *const METHODS[] = {
        "aes-128-gcm",        "aead_aes_128_gcm",        "aes-256-gcm",            "aead_aes_256_gcm",
        "chacha20-poly1305",  "aead_chacha20_poly1305",  "chacha20-ietf-poly1305", "xchacha20-poly1305",
        "aead_xchacha20_poly1305", "xchacha20-ietf-poly1305",
    };
    return names_in(METHODS, method, true);
}

size_t v2ray_ss_2022_key_bytes(const char *method)
{
    static const struct {
        const char *method;
        size_t key_bytes;
    } SS_2022[] = {
        {"2022-blake3-aes-128-gcm", 16},
        {"2022-blake3-aes-256-gcm", 32},
        {"2022-blake3-chacha20-poly1305", 32},
    };
    for (const auto &row : SS_2022)
        if (strcmp(method, row.method) == 0)
            return row.key_bytes;
    return 0;
}

int v2ray_hex(char c)
{
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

bool v2ray_hex_digits(const char *text, size_t length)
{
    for (size_t i = 0; i < length; i++)
        if (v2ray_hex(text[i]) < 0)
            return false;
    return true;
}

bool v2ray_blank(char c)
{
    return c != '\0' && strchr(" \t\n\v\f\r", c) != NULL;
}

long v2ray_base64_digits(const char *text, size_t length, bool url_safe, unsigned char *out, size_t size)
{
    const char *alphabet = url_safe ? "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"
                                    : "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    unsigned long bits = 0;
    int held = 0;
    size_t written = 0;
    for (size_t i = 0; i < length; i++) {
        const char *digit = text[i] ? strchr(alphabet, text[i]) : NULL;
        if (!digit)
            return -1;
        bits = bits << 6 | (unsigned long)(digit - alphabet);
        held += 6;
        if (held >= 8) {
            held -= 8;
            if (written < size)
                out[written] = (unsigned char)(bits >> held);
            written++;
        }
    }
    return (long)written;
}

bool v2ray_base64url(const char *text, size_t length, size_t bytes, unsigned char *out)
{
    return length == (bytes * 8 + 5) / 6 && v2ray_base64_digits(text, length, true, out, out ? bytes : 0) >= 0;
}

bool v2ray_vless_encrypted(const char *encryption)
{
    return encryption[0] != '\0' && strcmp(encryption, "none") != 0;
}

bool v2ray_plaintext_refused(OutboundProtocol protocol, SecurityMode security, bool vless_encrypted,
                             bool private_address)
{
    if (security != SECURITY_NONE || private_address)
        return false;
    return protocol == OUTBOUND_TROJAN || (protocol == OUTBOUND_VLESS && !vless_encrypted);
}

namespace {

struct PrivateNet {
    unsigned char net[16];
    int bits;
};

// Xray's list of addresses that need no TLS under VLESS and Trojan.
const PrivateNet PRIVATE_V4[] = {
    {{0}, 8},           {{10}, 8},          {{100, 64}, 10},    {{127}, 8},           {{169, 254}, 16},
    {{172, 16}, 12},    {{192, 0, 0}, 24},  {{192, 0, 2}, 24},  {{192, 88, 99}, 24},  {{192, 168}, 16},
    {{198, 18}, 15},    {{198, 51, 100}, 24}, {{203, 0, 113}, 24}, {{224}, 3},
};
const PrivateNet PRIVATE_V6[] = {{{0}, 127}, {{0xfc}, 7}, {{0xfe, 0x80}, 10}, {{0xff}, 8}};
const char *const PRIVATE_DOMAINS[] = {"lan",  "localdomain", "example", "invalid", "localhost",
                                       "test", "local",       "home.arpa", "internal"};

bool address_in(const unsigned char *address, const unsigned char *net, int bits)
{
    for (int i = 0; bits > 0; i++, bits -= 8) {
        unsigned char mask = bits >= 8 ? 0xff : (unsigned char)(0xff << (8 - bits));
        if ((address[i] & mask) != (net[i] & mask))
            return false;
    }
    return true;
}

template <size_t N>
bool address_in_nets(const PrivateNet (&nets)[N], const unsigned char *address)
{
    for (const PrivateNet &row : nets)
        if (address_in(address, row.net, row.bits))
            return true;
    return false;
}

bool name_letter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// A name without dots, as Xray's pattern ^[a-z]([a-z0-9-]{0,61}[a-z0-9])?$
// reads it in lower case.
bool name_dotless(const char *name, size_t length)
{
    if (length < 1 || length > 63 || !name_letter(name[0]) || name[length - 1] == '-')
        return false;
    for (size_t i = 0; i < length; i++)
        if (!name_letter(name[i]) && !(name[i] >= '0' && name[i] <= '9') && name[i] != '-')
            return false;
    return true;
}

} // namespace

bool v2ray_address_private(const char *stored)
{
    const char *start = stored;
    size_t length = strlen(stored);
    if (length > 1 && start[0] == '[' && start[length - 1] == ']')
        start++, length -= 2;
    while (length > 0 && v2ray_blank(start[length - 1]))
        length--;
    while (length > 0 && v2ray_blank(*start))
        start++, length--;

    char ip[64];
    unsigned char address[16];
    if (length < sizeof ip) {
        memcpy(ip, start, length);
        ip[length] = '\0';
        if (inet_pton(AF_INET, ip, address) == 1)
            return address_in_nets(PRIVATE_V4, address);
        if (inet_pton(AF_INET6, ip, address) == 1) {
            static const unsigned char MAPPED[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
            if (memcmp(address, MAPPED, sizeof MAPPED) == 0)
                return address_in_nets(PRIVATE_V4, address + 12);
            return address_in_nets(PRIVATE_V6, address);
        }
    }
    if (length > 0 && start[length - 1] == '.')
        length--;
    for (const char *domain : PRIVATE_DOMAINS) {
        size_t size = strlen(domain);
        if (length < size)
            continue;
        const char *tail = start + length - size;
        if (strncasecmp(tail, domain, size) == 0 && (length == size || tail[-1] == '.'))
            return true;
    }
    return name_dotless(start, length);
}
