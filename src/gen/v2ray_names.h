// The names of V2Ray/Xray settings, as nodes store them, as links write them
// and as each document writes them, and the rules that go with those names.
// tarvick's writer, tarvick-node xray's writer, import, export and check all
// ask here: a transport or protocol is one row, and the code that writes it.
#pragma once

#include <stddef.h>

// The documents that can carry a name.
enum V2rayDocuments {
    DOC_TARVICK = 1 << 0, // tarvick 2's (V2Ray 4 and Xray before v24.9.7 read it)
    DOC_XRAY = 1 << 1,    // tarvick-node xray's (current Xray reads it)
};

// Values tarvick's V2Ray/Xray document steers by; the numbers are those of
// its member tables, the rest come after.
enum OutboundProtocol {
    OUTBOUND_OTHER = -1,
    OUTBOUND_VMESS = 0,
    OUTBOUND_VLESS = 1,
    OUTBOUND_TROJAN = 2,
    OUTBOUND_SHADOWSOCKS = 3,
    OUTBOUND_SOCKS = 4,
    OUTBOUND_HTTP = 5,
    OUTBOUND_HYSTERIA2 = 6, // current Xray's alone, as are those after it
    OUTBOUND_WIREGUARD = 7,
};

enum SecurityMode {
    SECURITY_NONE = -1,
    SECURITY_TLS = 0,
    SECURITY_XTLS = 1,
    SECURITY_REALITY = 2,
};

enum NetworkKind {
    NETWORK_OTHER = -1,
    NETWORK_TCP = 0,
    NETWORK_MKCP = 1,
    NETWORK_WS = 2,
    NETWORK_H2 = 3,
    NETWORK_QUIC = 4,
    NETWORK_GRPC = 5,
    NETWORK_XHTTP = 6,
    NETWORK_HTTPUPGRADE = 7,
    NETWORK_HYSTERIA = 8,
};

// What a transport carries, for the readers that must know which link
// parameters mean something over it.
enum NetworkTraits {
    NET_PATH = 1 << 0,      // a request path
    NET_HOST = 1 << 1,      // a host header or name
    NET_HOST_LIST = 1 << 2, // the client splits the host at commas
    NET_REALITY = 1 << 3,   // REALITY runs over it
    NET_DATAGRAM = 1 << 4,  // it sends UDP to the server's port
    NET_HEADER = 1 << 5,    // it takes a header type (tcp: none or http; mKCP, QUIC: a disguise)
};

// One stored name.
struct V2rayName {
    const char *stored;      // as the node stores it
    signed char value;       // OutboundProtocol, SecurityMode or NetworkKind
    unsigned char documents; // the documents that write it
    unsigned char traits;    // networks: NetworkTraits
    const char *written;     // what the documents write for it; NULL: the stored text
    const char *link;        // what links write for it; NULL: the stored text
};

// The row of a stored name, or NULL for a name no reader knows (compared
// exactly, as tarvick compares).
const V2rayName *v2ray_protocol(const char *stored);
const V2rayName *v2ray_security(const char *stored);
const V2rayName *v2ray_network(const char *stored);
// The row a link's network name stands for ("raw" and "original" are tcp,
// "kcp" mKCP, "http" HTTP/2, "splithttp" XHTTP), or NULL.
const V2rayName *v2ray_link_network(const char *link);
// The row of a protocol as the documents write it ("shadowsocks"), compared
// exactly as the clients compare it; NULL for one no client knows.
const V2rayName *v2ray_written_protocol(const char *written);
// The row the readers of tarvick's document (V2Ray, and Xray before v24.9.7)
// take a written transport for: in any case, by any of their names for it
// ("" is tcp, "kcp" mKCP, "websocket" ws, "http" HTTP/2, "ds" domainsocket,
// "gun" gRPC); NULL for one they do not know.
const V2rayName *v2ray_reader_network(const char *written);
// The value a document steers by: the row's, or -1 (OUTBOUND_OTHER,
// SECURITY_NONE, NETWORK_OTHER) for a name it does not write.
int v2ray_value(const V2rayName *row, int document);
// What the documents write for a known name.
const char *v2ray_written(const V2rayName *row);
// A stored name's text for links ("" for an unknown one).
const char *v2ray_link_name(const V2rayName *row);
// Whether a document writes the name.
bool v2ray_writes(const V2rayName *row, int document);

// Flows: Vision is the one current Xray has; the XTLS flows before it were
// vless's and trojan's over xtls.
bool v2ray_flow_vision(const char *flow);
bool v2ray_flow_old_xtls(const char *flow);
// A transport's modes: gRPC's gun or multi, XHTTP's four.
bool v2ray_grpc_mode(const char *mode);
bool v2ray_xhttp_mode(const char *mode);
// Header types: tcp takes none or http; mKCP and QUIC disguise their packets.
bool v2ray_tcp_header(const char *header);
// uTLS hellos by the names current Xray knows (in any case); REALITY cannot
// use Go's own TLS ("unsafe", "hellogolang").
bool v2ray_fingerprint(const char *fingerprint, bool reality);
// VMess securities current Xray takes as they are.
bool v2ray_vmess_security(const char *security);
// Shadowsocks: the classic ciphers current Xray has (in any case), and the
// key size of a 2022 cipher (0 for any other).
bool v2ray_ss_method(const char *method);
size_t v2ray_ss_2022_key_bytes(const char *method);

// Whether Xray counts the address as private, where vless and trojan may go
// without TLS: the reserved IPv4 and IPv6 networks (an IPv4 address inside
// IPv6 as IPv4), names under lan, localdomain, example, invalid, localhost,
// test, local, home.arpa and internal, and names without a dot; read as Xray
// reads it (no brackets, no surrounding blanks, any case, no final dot).
bool v2ray_address_private(const char *address);
// VLESS Encryption: a vless outbound whose "encryption" is set and not none
// encrypts by itself.
bool v2ray_vless_encrypted(const char *encryption);
// Xray's rule on plaintext: vless (without VLESS Encryption) and trojan
// with security none only to a private address.
bool v2ray_plaintext_refused(OutboundProtocol protocol, SecurityMode security, bool vless_encrypted,
                             bool private_address);

// Helpers the name rules share with their readers.
int v2ray_hex(char c);
bool v2ray_hex_digits(const char *text, size_t length);
bool v2ray_blank(char c);
// Go's Base64 reading of length digits, padding left to the caller: the
// standard or the URL-safe alphabet. The count of bytes they hold (out
// receives up to size of them), or -1 for a character of neither.
long v2ray_base64_digits(const char *text, size_t length, bool url_safe, unsigned char *out, size_t size);
// Whether text is Base64 in the URL-safe alphabet without padding, as Go's
// RawURLEncoding reads it, of exactly this many bytes; out (when given)
// receives them.
bool v2ray_base64url(const char *text, size_t length, size_t bytes, unsigned char *out);
// Calls check(item, length) on each item of Xray's comma lists (blanks
// around items dropped); false when an item is empty or fails.
template <typename Check>
bool v2ray_each_item(const char *list, Check check)
{
    for (const char *item = list;;) {
        size_t length = 0;
        while (item[length] && item[length] != ',')
            length++;
        const char *end = item[length] ? item + length : NULL;
        const char *first = item;
        while (length > 0 && v2ray_blank(*first))
            first++, length--;
        while (length > 0 && v2ray_blank(first[length - 1]))
            length--;
        if (length == 0 || !check(first, length))
            return false;
        if (!end)
            return true;
        item = end + 1;
    }
}
