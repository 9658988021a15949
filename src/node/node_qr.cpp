// A link as a QR code in the terminal: two modules per character cell with
// the Unicode half blocks, light modules drawn, so it reads on the usual dark
// terminal background.
#include "node.h"

#include <stdio.h>

#ifdef TARVICK_NODE_QR
#include <qrencode.h>

bool node_has_qr(void)
{
    return true;
}

int node_draw_qr(const char *text)
{
    QRcode *code = QRcode_encodeString8bit(text, 0, QR_ECLEVEL_L);
    if (!code)
        return -1;
    const int quiet = 2; // modules of light border scanners need around it
    int size = code->width + 2 * quiet;
    auto dark = [&](int x, int y) {
        x -= quiet;
        y -= quiet;
        if (x < 0 || y < 0 || x >= code->width || y >= code->width)
            return false;
        return (code->data[y * code->width + x] & 1) != 0;
    };
    for (int y = 0; y < size; y += 2) {
        for (int x = 0; x < size; x++) {
            bool top = !dark(x, y);
            bool bottom = y + 1 < size ? !dark(x, y + 1) : false;
            printf("%s", top && bottom ? "\u2588" : top ? "\u2580" : bottom ? "\u2584" : " ");
        }
        printf("\n");
    }
    QRcode_free(code);
    return 0;
}

#else

bool node_has_qr(void)
{
    return false;
}

int node_draw_qr(const char *)
{
    return -1;
}

#endif
