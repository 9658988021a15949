// Stored passwords are Base64 text. The decoder is deliberately lenient: it
// validates nothing, so whatever the web interface stored decodes to something.
#include "store.h"

#include <stdlib.h>
#include <string.h>

namespace {

// Every code outside the standard alphabet, "=", "-" and "_" included, and
// every code above "z", counts as 0 bits.
int base64_value(unsigned char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return 0;
}

} // namespace

char *decode_base64(const char *text)
{
    size_t n = strlen(text);
    // Padding shortens the result wherever it stands, not only at the end.
    long length = (long)(n / 4) * 3;
    if (strstr(text, "=="))
        length -= 2;
    else if (strchr(text, '='))
        length -= 1;
    if (length < 0)
        length = 0;

    char *out = (char *)malloc((size_t)length + 1);
    if (!out)
        return NULL;
    out[length] = '\0';

    // Leftover characters after the last complete group are ignored.
    const unsigned char *in = (const unsigned char *)text;
    for (size_t group = 0; group < n / 4; group++) {
        int p = base64_value(in[4 * group]);
        int q = base64_value(in[4 * group + 1]);
        int r = base64_value(in[4 * group + 2]);
        int s = base64_value(in[4 * group + 3]);
        unsigned char bytes[3] = {
            (unsigned char)((p << 2) | (q >> 4)),
            (unsigned char)((q << 4) | (r >> 2)),
            (unsigned char)((r << 6) | s),
        };
        for (size_t i = 0; i < 3; i++) {
            size_t index = 3 * group + i;
            if (index < (size_t)length)
                out[index] = (char)bytes[i];
        }
    }
    return out;
}

namespace {

constexpr char BASE64_STANDARD[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char BASE64_URL_SAFE[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

struct Base64Table {
    signed char value[256];
};

// Links use both alphabets, even mixed in one subscription; -1 for the rest,
// padding and blanks too (they are told apart by their code).
constexpr Base64Table base64_strict_table()
{
    Base64Table table = {};
    for (int c = 0; c < 256; c++)
        table.value[c] = -1;
    for (int i = 0; i < 64; i++) {
        table.value[(unsigned char)BASE64_STANDARD[i]] = (signed char)i;
        table.value[(unsigned char)BASE64_URL_SAFE[i]] = (signed char)i;
    }
    return table;
}

constexpr Base64Table BASE64_STRICT = base64_strict_table();

} // namespace

size_t encode_base64(const unsigned char *data, size_t length, char *out, bool url_safe)
{
    const char *alphabet = url_safe ? BASE64_URL_SAFE : BASE64_STANDARD;
    size_t n = 0;
    for (size_t i = 0; i < length; i += 3) {
        unsigned long group = (unsigned long)data[i] << 16;
        size_t left = length - i;
        if (left > 1)
            group |= (unsigned long)data[i + 1] << 8;
        if (left > 2)
            group |= data[i + 2];
        out[n++] = alphabet[(group >> 18) & 63];
        out[n++] = alphabet[(group >> 12) & 63];
        if (left > 1)
            out[n++] = alphabet[(group >> 6) & 63];
        else if (!url_safe)
            out[n++] = '=';
        if (left > 2)
            out[n++] = alphabet[group & 63];
        else if (!url_safe)
            out[n++] = '=';
    }
    out[n] = '\0';
    return n;
}

long decode_base64_strict(const char *text, size_t length, unsigned char *out)
{
    unsigned long group = 0;
    int held = 0;    // characters in the group being collected
    int padding = 0; // "=" seen: only more "=" and blanks may follow
    long n = 0;
    for (size_t i = 0; i < length; i++) {
        // Whole groups of four alphabet characters, the bulk of any text.
        if (held == 0 && !padding) {
            const unsigned char *in = (const unsigned char *)text + i, *stop = (const unsigned char *)text + length;
            const signed char *value = BASE64_STRICT.value;
            unsigned char *next = out + n;
            while (stop - in >= 4) {
                // A -1 among the four, widened with its sign, sets the bits
                // above the group's 24.
                unsigned long whole = (unsigned long)(long)value[in[0]] << 18 |
                                      (unsigned long)(long)value[in[1]] << 12 |
                                      (unsigned long)(long)value[in[2]] << 6 | (unsigned long)(long)value[in[3]];
                if (whole >> 24) // not four digits: padding, a blank or worse
                    break;
                next[0] = (unsigned char)(whole >> 16);
                next[1] = (unsigned char)(whole >> 8);
                next[2] = (unsigned char)whole;
                next += 3;
                in += 4;
            }
            n = next - out;
            i = (size_t)(in - (const unsigned char *)text);
            if (i >= length)
                break;
        }
        unsigned char c = (unsigned char)text[i];
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n')
            continue;
        if (c == '=') {
            if (held < 2 || held + padding >= 4)
                return -1;
            padding++;
            continue;
        }
        int value = BASE64_STRICT.value[c];
        if (value < 0 || padding)
            return -1;
        group = group << 6 | (unsigned long)value;
        if (++held == 4) {
            out[n++] = (unsigned char)(group >> 16);
            out[n++] = (unsigned char)(group >> 8);
            out[n++] = (unsigned char)group;
            group = 0;
            held = 0;
        }
    }
    // A last group of one character holds no whole byte; padding must
    // complete the group it ends.
    if (held == 1 || (padding && held + padding != 4))
        return -1;
    if (held >= 2)
        out[n++] = (unsigned char)(group >> (held == 2 ? 4 : 10));
    if (held == 3)
        out[n++] = (unsigned char)(group >> 2);
    out[n] = '\0';
    return n;
}
