// What current Xray takes in the settings of its own node kinds, Hysteria2
// and WireGuard, as Xray 26.7.28's reader and dialers take it: import
// refuses with these words what tarvick-node xray would refuse.
#include "v2ray_names.h"
#include "xray.h"

#include <arpa/inet.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

namespace {

// Decimal digits only, at most max; -1 otherwise.
long kind_number(const char *text, size_t length, long max)
{
    if (length == 0 || length > 10)
        return -1;
    long value = 0;
    for (size_t i = 0; i < length; i++) {
        if (text[i] < '0' || text[i] > '9')
            return -1;
        value = value * 10 + (text[i] - '0');
    }
    return value <= max ? value : -1;
}

// "443" or "5000-6000", as Xray's port lists read a hop list's items.
bool kind_port_item(const char *item, size_t length)
{
    const char *dash = (const char *)memchr(item, '-', length);
    size_t first = dash ? (size_t)(dash - item) : length;
    long from = kind_number(item, first, 65535);
    long to = dash ? kind_number(dash + 1, length - first - 1, 65535) : from;
    return from >= 1 && to >= from;
}

// A rate as Xray's Bandwidth reads it: a number, then b, k, m, g or t, with
// or without b or bps, in any case; under 65536 bytes a second it refuses.
bool kind_bandwidth(const char *text)
{
    size_t digits = strspn(text, "0123456789.");
    if (digits == 0)
        return false;
    char number[32];
    if (digits >= sizeof number)
        return false;
    memcpy(number, text, digits);
    number[digits] = '\0';
    char *end;
    double value = strtod(number, &end);
    if (*end)
        return false;
    const char *unit = text + digits;
    while (v2ray_blank(*unit))
        unit++;
    size_t unit_length = strlen(unit);
    while (unit_length > 0 && v2ray_blank(unit[unit_length - 1]))
        unit_length--;
    static const char PREFIXES[] = "bkmgt";
    const char *prefix = unit_length ? strchr(PREFIXES, unit[0] | 0x20) : PREFIXES;
    if (!prefix || !*prefix)
        return false;
    const char *rest = unit + (unit_length ? 1 : 0);
    size_t rest_length = unit_length ? unit_length - 1 : 0;
    bool plain_b = *prefix == 'b';
    bool suffix_ok = rest_length == 0 || (!plain_b && rest_length == 1 && (rest[0] | 0x20) == 'b') ||
                     (rest_length == (plain_b ? 2u : 3u) && strncasecmp(rest, plain_b ? "ps" : "bps", rest_length) == 0);
    if (!suffix_ok)
        return false;
    double bytes = value / 8;
    for (const char *p = PREFIXES; p < prefix; p++)
        bytes *= 1024;
    return bytes == 0 || bytes >= 65536;
}

// An interface address: an IP address, or one with a prefix length.
bool kind_address(const char *item, size_t length)
{
    char text[64];
    if (length >= sizeof text)
        return false;
    memcpy(text, item, length);
    text[length] = '\0';
    char *slash = strchr(text, '/');
    if (slash)
        *slash++ = '\0';
    unsigned char address[16];
    int bits = inet_pton(AF_INET, text, address) == 1 ? 32 : inet_pton(AF_INET6, text, address) == 1 ? 128 : -1;
    return bits > 0 && (!slash || kind_number(slash, strlen(slash), bits) >= 0);
}

struct KindRule {
    const char *field;
    bool (*ok)(const char *value);
    const char *problem;
};

const KindRule KIND_RULES[] = {
    {"v2ray_hysteria_obfs_password", [](const char *v) { return !v[0] || strlen(v) >= 4; },
     "is shorter than 4 bytes, and Salamander refuses it: set the server's obfuscation password"},
    {"v2ray_hysteria_hop_ports", [](const char *v) { return !v[0] || v2ray_each_item(v, kind_port_item); },
     "is not a comma-separated list of ports and ranges (such as 443,5000-6000): set the server's, or empty it"},
    {"v2ray_hysteria_up", [](const char *v) { return !v[0] || kind_bandwidth(v); },
     "is not a rate of at least 512 kbps (such as 100 mbps): set one, or empty it"},
    {"v2ray_hysteria_down", [](const char *v) { return !v[0] || kind_bandwidth(v); },
     "is not a rate of at least 512 kbps (such as 100 mbps): set one, or empty it"},
    {"v2ray_wireguard_publickey", xray_wireguard_key,
     "is not a WireGuard key (44 characters of Base64, or 64 hex digits): set the server's public key"},
    {"v2ray_wireguard_presharedkey", [](const char *v) { return !v[0] || xray_wireguard_key(v); },
     "is not a WireGuard key (44 characters of Base64, or 64 hex digits): set the server's, or empty it"},
    {"v2ray_wireguard_address", [](const char *v) { return v2ray_each_item(v, kind_address); },
     "is not a comma-separated list of IP addresses (such as 10.0.0.2/32): set those the server gave"},
    {"v2ray_wireguard_mtu", [](const char *v) { return !v[0] || kind_number(v, strlen(v), 65535) > 0; },
     "is not a whole number from 1 to 65535: set it, or empty it for 1420"},
    {"v2ray_wireguard_reserved", [](const char *v) {
         int count = 0;
         return !v[0] || (v2ray_each_item(v, [&count](const char *item, size_t length) {
                              return ++count <= 3 && kind_number(item, length, 255) >= 0;
                          }) && count == 3);
     },
     "is not three bytes (such as 0,0,0), and Xray refuses it: set the server's, or empty it"},
    {"v2ray_wireguard_keepalive", [](const char *v) { return !v[0] || kind_number(v, strlen(v), 65535) >= 0; },
     "is not a whole number of seconds from 0 to 65535: set it, or empty it"},
};

} // namespace

const char *xray_kind_value_problem(const char *field, const char *value)
{
    for (const KindRule &rule : KIND_RULES)
        if (strcmp(field, rule.field) == 0)
            return rule.ok(value) ? NULL : rule.problem;
    return NULL;
}

// 64 hex digits, or 32 bytes in Base64, either alphabet, one "=" of padding
// at most.
bool xray_wireguard_key(const char *key)
{
    size_t length = strlen(key);
    if (length == 64 && v2ray_hex_digits(key, length))
        return true;
    if (length == 44 && key[43] == '=')
        length--;
    return length == 43 && v2ray_base64_digits(key, length, !strpbrk(key, "+/"), NULL, 0) >= 0;
}
