// decode_base64 on any text must give exactly what the rules give, in an
// allocation of exactly the result's length plus its NUL. The strict decoder
// of links must give what a character-by-character reading of its rules
// gives, or refuse exactly when that reading does.
#include "reference.h"
#include "store.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

namespace {

// Either alphabet, blanks anywhere, "=" only to complete the last group.
bool strict_reference(const std::string &text, std::string *out)
{
    static const std::string DIGITS = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    unsigned long bits = 0;
    size_t held = 0, padding = 0;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n')
            continue;
        if (c == '=') {
            if (held < 2 || held + padding >= 4)
                return false;
            padding++;
            continue;
        }
        size_t value = c == '-' ? 62 : c == '_' ? 63 : c ? DIGITS.find(c) : std::string::npos;
        if (value == std::string::npos || padding)
            return false;
        bits = bits << 6 | value;
        if (++held == 4) {
            *out += {(char)(bits >> 16), (char)(bits >> 8), (char)bits};
            bits = held = 0;
        }
    }
    if (held == 1 || (padding && held + padding != 4))
        return false;
    if (held >= 2)
        *out += (char)(bits >> (held == 2 ? 4 : 10));
    if (held == 3)
        *out += (char)(bits >> 2);
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text((const char *)data, size);
    std::string expected = reference_base64(text);

    char *decoded = decode_base64(text.c_str());
    if (!decoded)
        abort(); // only a failed allocation may give NULL, and none fails here
    // Comparing length + 1 bytes also makes ASan check the allocation's size.
    if (memcmp(decoded, expected.data(), expected.size()) != 0 || decoded[expected.size()] != '\0') {
        fprintf(stderr, "decode_base64 differs from the rules for a text of %zu bytes\n", strlen(text.c_str()));
        abort();
    }
    free(decoded);

    // Sized as import sizes it, so ASan sees any write past the result.
    std::string strict;
    bool sound = strict_reference(text, &strict);
    unsigned char *out = (unsigned char *)malloc(size * 3 / 4 + 4);
    long length = decode_base64_strict(text.data(), size, out);
    if (sound ? length != (long)strict.size() || memcmp(out, strict.data(), strict.size()) != 0 || out[length]
              : length != -1) {
        fprintf(stderr, "decode_base64_strict differs from its rules for a text of %zu bytes\n", size);
        abort();
    }
    free(out);
    return 0;
}
