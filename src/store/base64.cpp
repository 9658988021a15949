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
