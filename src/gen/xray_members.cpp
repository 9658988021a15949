// Members of current Xray's document that links carry as they are: VLESS
// Encryption, XHTTP's "extra", REALITY's keys, TLS's pins, names and ECH
// configuration, and gRPC's authority. Each is checked as Xray 26.7.28 reads
// it (infra/conf and what its outbounds do with the value when they start),
// so that import refuses what tarvick-node xray would, in the same words.
#include "v2ray_names.h"
#include "xray.h"

#include <arpa/inet.h>
#include <errno.h>
#include <json-c/json.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

namespace {

// Go's strconv.Atoi: an optional sign and decimal digits, within 64 bits.
bool go_atoi(const char *text, size_t length, long long *value)
{
    char digits[32];
    size_t sign = length > 0 && (text[0] == '+' || text[0] == '-');
    if (length <= sign || length >= sizeof digits)
        return false;
    for (size_t i = sign; i < length; i++)
        if (text[i] < '0' || text[i] > '9')
            return false;
    memcpy(digits, text, length);
    digits[length] = '\0';
    errno = 0;
    *value = strtoll(digits, NULL, 10);
    return errno == 0;
}

// An ML-KEM-768 encapsulation key as Go's crypto/mlkem takes it: each
// 12-bit coefficient of its vector below the modulus 3329.
bool mlkem768_key_ok(const unsigned char *key)
{
    for (size_t i = 0; i < 1152; i += 3) {
        unsigned first = key[i] | (key[i + 1] & 0x0fu) << 8, second = key[i + 1] >> 4 | (unsigned)key[i + 2] << 4;
        if (first >= 3329 || second >= 3329)
            return false;
    }
    return true;
}

// Xray's padding of VLESS Encryption: "chance-from-to" items, lengths and
// gaps by turns, the first length at least 100-35-35, all lengths together
// at most 65553 bytes (summed as Go's int sums them).
bool vless_padding_ok(const char *padding, size_t length)
{
    if (length == 0)
        return true;
    uint64_t most = 0;
    const char *end = padding + length;
    for (int item = 0; padding <= end; item++) {
        const char *stop = (const char *)memchr(padding, '.', (size_t)(end - padding));
        if (!stop)
            stop = end;
        long long y[3];
        const char *part = padding;
        for (int k = 0; k < 3; k++) { // a fourth part and more are not read
            const char *dash = (const char *)memchr(part, '-', (size_t)(stop - part));
            const char *part_end = dash ? dash : stop;
            if ((k < 2 && !dash) || part_end == part || !go_atoi(part, (size_t)(part_end - part), &y[k]))
                return false;
            part = part_end + 1;
        }
        if (item == 0 && (y[0] < 100 || y[1] < 35 || y[2] < 35))
            return false;
        if (item % 2 == 0)
            most += (uint64_t)(y[1] > y[2] ? y[1] : y[2]);
        padding = stop + 1;
    }
    return (int64_t)most <= 18 + 65535;
}

// One key of VLESS Encryption: X25519 (32 bytes) or ML-KEM-768 (1184).
bool vless_key_ok(const char *text, size_t length)
{
    static unsigned char key[1184];
    return v2ray_base64url(text, length, 32, NULL) ||
           (v2ray_base64url(text, length, 1184, key) && mlkem768_key_ok(key));
}

// "mlkem768x25519plus.MODE.RTT.PADDING....KEY...." as Xray's vless reader
// cuts it: the items shorter than 20 bytes are the padding, and as many
// bytes as they hold are cut from the front; the rest are the keys.
bool vless_encryption_ok(const char *value)
{
    static const char HEAD[] = "mlkem768x25519plus.";
    if (strncmp(value, HEAD, sizeof HEAD - 1) != 0)
        return false;
    const char *mode = value + sizeof HEAD - 1;
    if (strncmp(mode, "native.", 7) != 0 && strncmp(mode, "xorpub.", 7) != 0 && strncmp(mode, "random.", 7) != 0)
        return false;
    const char *rtt = mode + 7;
    if (strncmp(rtt, "1rtt.", 5) != 0 && strncmp(rtt, "0rtt.", 5) != 0)
        return false;
    const char *rest = rtt + 5;
    size_t rest_length = strlen(rest), padding = 0;
    for (const char *item = rest;;) {
        size_t length = strcspn(item, ".");
        if (length < 20)
            padding += length + 1;
        else if (!vless_key_ok(item, length))
            return false;
        if (!item[length])
            break;
        item += length + 1;
    }
    if (padding > rest_length) // Xray would cut past the end and crash
        return false;
    if (padding > 0 && !vless_padding_ok(rest, padding - 1))
        return false;
    for (const char *item = rest + padding;;) {
        size_t length = strcspn(item, ".");
        if (!vless_key_ok(item, length))
            return false;
        if (!item[length])
            return true;
        item += length + 1;
    }
}

// What ECH's DNS form is asked for: a name, and not an address.
bool ech_name_ok(const char *name, size_t length)
{
    char text[256];
    unsigned char address[16];
    if (length == 0 || length >= sizeof text)
        return false;
    memcpy(text, name, length);
    text[length] = '\0';
    return inet_pton(AF_INET, text, address) != 1 && inet_pton(AF_INET6, text, address) != 1;
}

// A SHA-256 in hex, with or without colons between its digits.
bool pin_ok(const char *pin, size_t length)
{
    size_t digits = 0;
    for (size_t i = 0; i < length; i++) {
        if (pin[i] == ':')
            continue;
        if (v2ray_hex(pin[i]) < 0)
            return false;
        digits++;
    }
    return digits == 64;
}

} // namespace

const char *xray_value_problem(const char *field, const char *value)
{
    size_t length = strlen(value);
    if (strcmp(field, "v2ray_vless_encryption") == 0 && v2ray_vless_encrypted(value) && !vless_encryption_ok(value))
        return "is not none or mlkem768x25519plus.native, xorpub or random, .1rtt or .0rtt, paddings, and the "
               "server's X25519 or ML-KEM-768 keys, as xray vlessenc prints it, and Xray refuses it: set the "
               "server's encryption";
    if (strcmp(field, "v2ray_reality_mldsa65_verify") == 0 && value[0] &&
        !v2ray_base64url(value, length, 1952, NULL))
        return "is not an ML-DSA-65 public key (2603 characters of URL-safe Base64, as xray mldsa65 prints it), and "
               "Xray refuses it: set the server's, or empty it";
    if (strcmp(field, "v2ray_reality_publickey") == 0 && !v2ray_base64url(value, length, 32, NULL))
        return "is not a REALITY public key (43 characters of URL-safe Base64, as xray x25519 prints it): set the "
               "server's";
    if (strcmp(field, "v2ray_reality_shortid") == 0 &&
        (length > 16 || length % 2 != 0 || !v2ray_hex_digits(value, length)))
        return "is not an even number of hex digits, at most 16: set one of the server's short ids";
    if (strcmp(field, "v2ray_reality_spiderx") == 0 && value[0] && value[0] != '/')
        return "does not begin with /: set a path, or empty it";
    if (strcmp(field, "v2ray_tls_pinned_sha256") == 0 && value[0] && !v2ray_each_item(value, pin_ok))
        return "is not a comma-separated list of SHA-256 hashes (64 hex digits, colons allowed), and Xray refuses "
               "it: set the hashes of the server's certificate or its CA";
    if (strcmp(field, "v2ray_tls_verify_names") == 0 && value[0] &&
        !v2ray_each_item(value, [](const char *, size_t) { return true; }))
        return "holds an empty name: set a comma-separated list of the names the certificate is for";
    if (strcmp(field, "v2ray_tls_alpn") == 0 && value[0] && !v2ray_each_item(value, [](const char *item, size_t n) {
            return n < 256 && !(n == 8 && strncasecmp(item, "fromMitm", 8) == 0);
        }))
        return "is not a comma-separated list of protocol names (such as h2,http/1.1): set one, or empty it";
    return xray_kind_value_problem(field, value);
}

const char *xray_ech_problem(const char *value, const char *server_name)
{
    if (!value[0])
        return NULL;
    if (strstr(value, "://")) {
        const char *plus = strchr(value, '+');
        const char *server = plus ? plus + 1 : value;
        if (strncmp(server, "https://", 8) != 0 && strncmp(server, "h2c://", 6) != 0 &&
            strncmp(server, "udp://", 6) != 0)
            return "names a DNS server that is not https://, h2c:// or udp://: set one, or the ECHConfigList in "
                   "Base64";
        if (plus ? !ech_name_ok(value, (size_t)(plus - value)) : !ech_name_ok(server_name, strlen(server_name)))
            return "asks DNS for the ECH configuration of a server name that is an address: write it as "
                   "name+https://...";
        return NULL;
    }
    // An ECHConfigList in Go's StdEncoding (the standard alphabet, padded):
    // its two-byte length, then that many bytes.
    static unsigned char list[7500]; // a value's 9998 characters at most
    size_t digits = strlen(value), padding = 0;
    while (digits % 4 == 0 && padding < 2 && value[digits - 1 - padding] == '=')
        padding++;
    long length = digits % 4 != 0 ? -1 : v2ray_base64_digits(value, digits - padding, false, list, sizeof list);
    if (length < 2 || (size_t)length > sizeof list || ((size_t)list[0] << 8 | list[1]) != (size_t)length - 2)
        return "is neither an ECHConfigList in standard Base64 nor a DNS server to ask for one: set the "
               "server's";
    return NULL;
}

namespace {

// The kinds of value Xray's SplitHTTPConfig reads; null is no value for any.
enum ExtraKind {
    EXTRA_TEXT,
    EXTRA_SWITCH,
    EXTRA_RANGE, // Int32Range: a whole number, or "from-to" in a text
    EXTRA_INT32,
    EXTRA_INT64,
    EXTRA_HEADERS, // an object of texts
    EXTRA_XMUX,
    EXTRA_ANY,    // read and left unused (the "extra" within "extra")
    EXTRA_STREAM, // a whole second transport
};

struct ExtraMember {
    const char *name;
    ExtraKind kind;
};

// infra/conf/transport_method.go of Xray 26.7.28: SplitHTTPConfig. host,
// path and mode are read and then replaced by the transport's own.
const ExtraMember EXTRA_MEMBERS[] = {
    {"host", EXTRA_TEXT},
    {"path", EXTRA_TEXT},
    {"mode", EXTRA_TEXT},
    {"headers", EXTRA_HEADERS},
    {"xPaddingBytes", EXTRA_RANGE},
    {"xPaddingObfsMode", EXTRA_SWITCH},
    {"xPaddingKey", EXTRA_TEXT},
    {"xPaddingHeader", EXTRA_TEXT},
    {"xPaddingPlacement", EXTRA_TEXT},
    {"xPaddingMethod", EXTRA_TEXT},
    {"uplinkHTTPMethod", EXTRA_TEXT},
    {"sessionIDPlacement", EXTRA_TEXT},
    {"sessionIDKey", EXTRA_TEXT},
    {"sessionIDTable", EXTRA_TEXT},
    {"sessionIDLength", EXTRA_RANGE},
    {"seqPlacement", EXTRA_TEXT},
    {"seqKey", EXTRA_TEXT},
    {"uplinkDataPlacement", EXTRA_TEXT},
    {"uplinkDataKey", EXTRA_TEXT},
    {"uplinkChunkSize", EXTRA_RANGE},
    {"noGRPCHeader", EXTRA_SWITCH},
    {"noSSEHeader", EXTRA_SWITCH},
    {"scMaxEachPostBytes", EXTRA_RANGE},
    {"scMinPostsIntervalMs", EXTRA_RANGE},
    {"scMaxBufferedPosts", EXTRA_INT64},
    {"scStreamUpServerSecs", EXTRA_RANGE},
    {"serverMaxHeaderBytes", EXTRA_INT32},
    {"xmux", EXTRA_XMUX},
    {"downloadSettings", EXTRA_STREAM},
    {"extra", EXTRA_ANY},
};

// XmuxConfig.
const ExtraMember XMUX_MEMBERS[] = {
    {"maxConcurrency", EXTRA_RANGE},   {"maxConnections", EXTRA_RANGE},   {"cMaxReuseTimes", EXTRA_RANGE},
    {"hMaxRequestTimes", EXTRA_RANGE}, {"hMaxReusableSecs", EXTRA_RANGE}, {"hKeepAlivePeriod", EXTRA_INT64},
};

const size_t EXTRA_COUNT = sizeof EXTRA_MEMBERS / sizeof EXTRA_MEMBERS[0];
const size_t XMUX_COUNT = sizeof XMUX_MEMBERS / sizeof XMUX_MEMBERS[0];

struct Range {
    long long from, to;
};

// Go's encoding/json finds a member by its name in any case.
const ExtraMember *extra_member(const ExtraMember *table, size_t count, const char *name)
{
    for (size_t i = 0; i < count; i++)
        if (strcasecmp(table[i].name, name) == 0)
            return &table[i];
    return NULL;
}

// Int32Range: a number, or a text ParseRangeString reads ("7", "1-2",
// "-5-10", "" for 0). Xray cuts a number past 32 bits to 32 without a word;
// such a number is refused here instead.
bool extra_range(json_object *value, Range *range)
{
    long long left = 0, right = 0;
    if (json_object_is_type(value, json_type_int)) {
        left = right = json_object_get_int64(value);
    } else if (json_object_is_type(value, json_type_string)) {
        const char *text = json_object_get_string(value);
        size_t length = strlen(text);
        if (length > 0 && !go_atoi(text, length, &left)) {
            const char *dash = strchr(text + (text[0] == '-'), '-');
            if (!dash || !go_atoi(text, (size_t)(dash - text), &left) ||
                !go_atoi(dash + 1, strlen(dash + 1), &right))
                return false;
        } else {
            right = left;
        }
    } else if (value) {
        return false;
    }
    if (left < INT32_MIN || left > INT32_MAX || right < INT32_MIN || right > INT32_MAX)
        return false;
    range->from = left < right ? left : right;
    range->to = left < right ? right : left;
    return true;
}

// The values of one table's members the rules read, the last of each name
// as Go keeps it, at the member's place in its table.
struct ExtraValues {
    const char *texts[EXTRA_COUNT];
    Range ranges[EXTRA_COUNT];
    long long numbers[EXTRA_COUNT];
};

struct ExtraRead {
    const char *mode;
    void (*dropped)(void *context, const char *member);
    void *context;
    char *problem;
    size_t size;
    ExtraValues members, xmux;
};

int extra_refuse(ExtraRead *r, const char *member, const char *what)
{
    snprintf(r->problem, r->size, "member %s %s", member, what);
    return -1;
}

// One member's value by its kind: 0, or -1 with the problem said.
int extra_value(ExtraRead *r, const char *name, const ExtraMember *member, json_object *value, size_t at,
                ExtraValues *values)
{
    bool null = value == NULL;
    switch (member->kind) {
    case EXTRA_TEXT:
        if (!null && !json_object_is_type(value, json_type_string))
            return extra_refuse(r, name, "is not a text, and Xray refuses it");
        values->texts[at] = null ? "" : json_object_get_string(value);
        return 0;
    case EXTRA_SWITCH:
        if (!null && !json_object_is_type(value, json_type_boolean))
            return extra_refuse(r, name, "is not true or false, and Xray refuses it");
        return 0;
    case EXTRA_RANGE:
        if (!extra_range(value, &values->ranges[at]))
            return extra_refuse(r, name, "is not a whole number or a range such as \"100-1000\" within 32 bits, "
                                         "and Xray refuses it or reads another number");
        return 0;
    case EXTRA_INT32:
    case EXTRA_INT64: {
        long long number = null ? 0 : json_object_get_int64(value);
        bool wide = member->kind == EXTRA_INT64;
        // json-c holds a number past 64 bits at the end of the range.
        if (!null && (!json_object_is_type(value, json_type_int) || number == INT64_MAX || number == INT64_MIN ||
                      (!wide && (number < INT32_MIN || number > INT32_MAX))))
            return extra_refuse(r, name, wide ? "is not a whole number within 64 bits, and Xray refuses it"
                                              : "is not a whole number within 32 bits, and Xray refuses it");
        values->numbers[at] = number;
        return 0;
    }
    case EXTRA_HEADERS:
        if (!null && !json_object_is_type(value, json_type_object))
            return extra_refuse(r, name, "is not an object of header names and texts, and Xray refuses it");
        if (!null) {
            json_object_object_foreach(value, header, text) {
                if (text && !json_object_is_type(text, json_type_string))
                    return extra_refuse(r, name, "holds a header whose value is not a text, and Xray refuses it");
                if (strcasecmp(header, "host") == 0)
                    return extra_refuse(r, name, "holds Host, which Xray refuses there: set the host instead");
            }
        }
        return 0;
    case EXTRA_ANY:
        return 0;
    case EXTRA_STREAM:
        if (!null)
            return extra_refuse(r, name, "is a second transport's settings, which tarvick-node cannot check as "
                                         "Xray reads them");
        return 0;
    case EXTRA_XMUX:
        if (!null && !json_object_is_type(value, json_type_object))
            return extra_refuse(r, name, "is not an object, and Xray refuses it");
        return 0;
    }
    return 0;
}

// A copy of object with the members the table names, each checked; the
// others are said dropped under prefix.
json_object *extra_keep(ExtraRead *r, json_object *object, const ExtraMember *table, size_t count,
                        const char *prefix, ExtraValues *values)
{
    json_object *kept = json_object_new_object();
    if (!kept) {
        snprintf(r->problem, r->size, "could not be read: out of memory");
        return NULL;
    }
    json_object_object_foreach(object, name, value) {
        const ExtraMember *member = extra_member(table, count, name);
        char full[128];
        snprintf(full, sizeof full, "%s%s", prefix, name);
        if (!member) {
            if (r->dropped)
                r->dropped(r->context, full);
            continue;
        }
        int rc = extra_value(r, full, member, value, (size_t)(member - table), values);
        json_object *copy = NULL;
        if (rc == 0 && member->kind == EXTRA_XMUX && value)
            rc = (copy = extra_keep(r, value, XMUX_MEMBERS, XMUX_COUNT, "xmux.", &r->xmux)) ? 0 : -1;
        else if (rc == 0)
            copy = json_object_get(value);
        if (rc == 0 && json_object_object_add(kept, name, copy) != 0)
            rc = -1;
        if (rc != 0) {
            json_object_put(copy);
            if (!r->problem[0])
                snprintf(r->problem, r->size, "could not be read: out of memory");
            json_object_put(kept);
            return NULL;
        }
    }
    return kept;
}

size_t extra_at(const char *name)
{
    return (size_t)(extra_member(EXTRA_MEMBERS, EXTRA_COUNT, name) - EXTRA_MEMBERS);
}

// The value rules of SplitHTTPConfig.Build, over the members as kept.
int extra_rules(ExtraRead *r)
{
    bool packet_up = strcmp(r->mode, "packet-up") == 0;
    const Range &padding = r->members.ranges[extra_at("xPaddingBytes")];
    if ((padding.from != 0 || padding.to != 0) && (padding.from <= 0 || padding.to <= 0))
        return extra_refuse(r, "xPaddingBytes", "is 0 or less, and Xray refuses to turn the padding off");
    static const struct {
        const char *member;
        const char *values[5];
        bool packet_up_only; // its cookie and header
    } CHOICES[] = {
        {"xPaddingPlacement", {"", "cookie", "header", "query", "queryInHeader"}, false},
        {"xPaddingMethod", {"", "repeat-x", "tokenish"}, false},
        {"uplinkDataPlacement", {"", "auto", "body", "cookie", "header"}, true},
        {"sessionIDPlacement", {"", "path", "cookie", "header", "query"}, false},
        {"seqPlacement", {"", "path", "cookie", "header", "query"}, false},
    };
    for (const auto &choice : CHOICES) {
        const char *text = r->members.texts[extra_at(choice.member)];
        if (!text)
            continue;
        bool known = false;
        for (const char *value : choice.values)
            known = known || (value && strcmp(text, value) == 0);
        if (!known)
            return extra_refuse(r, choice.member, "is not a placement or method Xray knows, and it refuses it");
        if (choice.packet_up_only && !packet_up && (strcmp(text, "cookie") == 0 || strcmp(text, "header") == 0))
            return extra_refuse(r, choice.member, "is cookie or header, which Xray takes only in packet-up mode");
    }
    const char *method = r->members.texts[extra_at("uplinkHTTPMethod")];
    if (method && strcasecmp(method, "GET") == 0 && !packet_up)
        return extra_refuse(r, "uplinkHTTPMethod", "is GET, which Xray takes only in packet-up mode");
    const char *table = r->members.texts[extra_at("sessionIDTable")];
    if (table && table[0]) {
        static const char *const TABLES[][2] = {
            {"ALPHABET", "ABCDEFGHIJKLMNOPQRSTUVWXYZ"},
            {"Alphabet", "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"},
            {"BASE36", "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"},
            {"Base62", "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"},
            {"HEX", "0123456789ABCDEF"},
            {"alphabet", "abcdefghijklmnopqrstuvwxyz"},
            {"base36", "0123456789abcdefghijklmnopqrstuvwxyz"},
            {"hex", "0123456789abcdef"},
            {"number", "0123456789"},
        };
        for (const auto &predefined : TABLES)
            if (strcmp(table, predefined[0]) == 0)
                table = predefined[1];
        const Range &length = r->members.ranges[extra_at("sessionIDLength")];
        // Xray wants at least 2^31 ids: the sum of size^k for k in the range.
        double room = 0, size = (double)strlen(table);
        for (long long k = length.from < 0 ? 0 : length.from; k <= length.to && room < 2147483648.0; k++) {
            double term = 1;
            for (long long e = 0; e < k && term < 2147483648.0; e++)
                term *= size;
            room += term;
        }
        if (length.from <= 0 || room < 2147483648.0)
            return extra_refuse(r, "sessionIDTable", "and sessionIDLength give fewer than 2^31 session ids, and Xray "
                                                     "refuses them");
        for (const char *p = table; *p; p++)
            if ((unsigned char)*p >= 0x80)
                return extra_refuse(r, "sessionIDTable", "holds a byte that is not ASCII, and Xray refuses it");
    }
    if (r->members.numbers[extra_at("serverMaxHeaderBytes")] < 0)
        return extra_refuse(r, "serverMaxHeaderBytes", "is below 0, and Xray refuses it");
    if (r->xmux.ranges[0].to > 0 && r->xmux.ranges[1].to > 0)
        return extra_refuse(r, "xmux", "gives both maxConcurrency and maxConnections, and Xray refuses them together");
    return 0;
}

} // namespace

json_object *xray_json_parse(const char *text, size_t length)
{
    json_tokener *tokener = json_tokener_new();
    if (!tokener)
        return NULL;
    json_tokener_set_flags(tokener, JSON_TOKENER_STRICT);
    json_object *value = json_tokener_parse_ex(tokener, text, (int)length);
    // Strict JSON, all of the text, and nothing after it but blanks.
    size_t end = json_tokener_get_error(tokener) == json_tokener_success ? json_tokener_get_parse_end(tokener) : 0;
    while (value && end < length && v2ray_blank(text[end]))
        end++;
    if (value && end != length) {
        json_object_put(value);
        value = NULL;
    }
    json_tokener_free(tokener);
    return value;
}

json_object *xray_extra_read(json_object *extra, const char *mode, void (*dropped)(void *context, const char *member),
                             void *context, char *problem, size_t size)
{
    ExtraRead r = {mode[0] ? mode : "auto", dropped, context, problem, size, {}, {}};
    problem[0] = '\0';
    if (!json_object_is_type(extra, json_type_object)) {
        snprintf(problem, size, "is not a JSON object, and Xray refuses it");
        return NULL;
    }
    json_object *kept = extra_keep(&r, extra, EXTRA_MEMBERS, EXTRA_COUNT, "", &r.members);
    if (kept && extra_rules(&r) != 0) {
        json_object_put(kept);
        kept = NULL;
    }
    return kept;
}
