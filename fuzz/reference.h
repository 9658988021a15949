// Slow, literal readings of the decoding rules, written apart from the tool's
// own code so that the fuzz targets can compare results, not only survive.
#pragma once

#include <limits.h>
#include <string.h>

#include <string>

// Base64 as the stored passwords use it: the table, the length rule that
// looks for "=" anywhere, whole groups only, bytes past the length dropped.
inline std::string reference_base64(const std::string &text)
{
    static const char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    int table[256];
    for (int code = 0; code < 256; code++)
        table[code] = 0;
    for (int value = 0; value < 64; value++)
        table[(unsigned char)ALPHABET[value]] = value;

    std::string input(text.c_str()); // the tool sees the text up to its NUL
    long n = (long)input.size();
    long length = (n / 4) * 3;
    if (input.find("==") != std::string::npos)
        length -= 2;
    else if (input.find('=') != std::string::npos)
        length -= 1;
    if (length < 0)
        length = 0;

    std::string out((size_t)length, '\0');
    for (long group = 0; group < n / 4; group++) {
        int v[4];
        for (int i = 0; i < 4; i++)
            v[i] = table[(unsigned char)input[(size_t)(4 * group + i)]];
        int bytes[3] = {(v[0] << 2 | v[1] >> 4) & 0xff, (v[1] << 4 | v[2] >> 2) & 0xff, (v[2] << 6 | v[3]) & 0xff};
        for (int i = 0; i < 3; i++)
            if (3 * group + i < length)
                out[(size_t)(3 * group + i)] = (char)bytes[i];
    }
    return out;
}

// The integer rule, saturating at the limits of int.
inline int reference_int(const char *text)
{
    size_t i = 0;
    while (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))
        i++;
    bool negative = false;
    if (text[i] == '+' || text[i] == '-')
        negative = text[i++] == '-';
    long long value = 0;
    bool saturated = false;
    for (; text[i] >= '0' && text[i] <= '9'; i++) {
        if (!saturated)
            value = value * 10 + (text[i] - '0');
        if (value > (long long)INT_MAX + 1)
            saturated = true;
    }
    if (negative)
        return value >= (long long)INT_MAX + 1 ? INT_MIN : (int)-value;
    return value > INT_MAX ? INT_MAX : (int)value;
}
