// Whole-document import on any bytes: the detection and every reader (Xray
// JSON, sing-box JSON, SIP008, Outline, mihomo YAML, WireGuard files). The
// bytes are given exactly, with nothing after them, so a reader that reads
// past its text is caught. Whatever the text, the readers must never crash
// and their verdict must be whole:
//   - a document read gives one entry for each server it counted, each a
//     link (of a scheme import reads) or a refusal, never a half entry;
//   - a refused or broken text has its one line of refusal, and a link
//     list has none.
#include "doc.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// Reading documents never asks the daemon.
int store_get(const char *key, ValueBuffer *, bool *)
{
    fprintf(stderr, "node docs fuzz: the daemon was asked for %s\n", key);
    abort();
}

namespace {

[[noreturn]] void fail(const char *what, const char *detail)
{
    fprintf(stderr, "node docs fuzz: %s\n  %s\n", what, detail);
    abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    char *text = (char *)malloc(size ? size : 1);
    if (!text)
        return 0;
    memcpy(text, data, size);
    DocList list;
    doc_list_init(&list);
    int kind = doc_detect_and_read(text, size, &list);
    if (kind == DOC_LINKS || kind == DOC_READ) {
        if (list.refusal[0])
            fail("a text read has a refusal", list.refusal);
    } else if (kind != DOC_REFUSED && kind != DOC_BROKEN) {
        fail("an unknown verdict", "");
    } else if (!list.refusal[0] || strchr(list.refusal, '\n')) {
        fail("a refusal is not one line", list.refusal);
    }
    if (kind == DOC_READ) {
        int entries = 0;
        const char *p = list.entries.data, *end = p ? p + list.entries.length : p;
        while (p < end) {
            // kind, name, link or reason, warnings: four texts, each ended
            const char *field = p;
            for (int i = 0; i < 4; i++) {
                const char *nul = (const char *)memchr(field, '\0', (size_t)(end - field));
                if (!nul)
                    fail("an entry is cut short", p);
                if (i == 0 && (nul != field + 1 || (*field != 'L' && *field != 'R')))
                    fail("an entry is neither a link nor a refusal", p);
                if (i == 2 && !field[0])
                    fail("an entry has no link and no reason", p + 2);
                if (i == 2 && *p == 'L' && !strstr(field, "://"))
                    fail("an entry's link is no link", field);
                field = nul + 1;
            }
            p = field;
            entries++;
        }
        if (entries != list.count)
            fail("the count is not the number of entries", list.format);
    }
    free(text);
    return 0;
}
