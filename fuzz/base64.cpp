// decode_base64 on any text must give exactly what the rules give, in an
// allocation of exactly the result's length plus its NUL.
#include "reference.h"
#include "store.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

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
    return 0;
}
