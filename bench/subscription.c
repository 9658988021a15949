/* A provider's subscription for the import benchmark: COUNT share links of
 * all five schemes with the values providers use (several transports per
 * scheme, IPv4, IPv6 and host names, remarks with flags and percent escapes),
 * the whole text Base64-encoded on one line as providers serve it.
 *
 *   subscription COUNT [SEED]
 *
 * The same COUNT and SEED give the same bytes, so runs compare.
 */
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static uint64_t state;

static uint32_t next(void)
{
    state ^= state << 13; /* xorshift64: the same sequence on every libc */
    state ^= state >> 7;
    state ^= state << 17;
    return (uint32_t)(state >> 32);
}

static uint32_t below(uint32_t n)
{
    return next() % n;
}

static const char *pick(const char *const *list, size_t count)
{
    return list[below((uint32_t)count)];
}
#define PICK(list) pick(list, sizeof list / sizeof *list)

/* Growable text. */
static char *text;
static size_t length, capacity;

static void put(const char *data, size_t count)
{
    if (length + count + 1 > capacity) {
        capacity = (length + count + 1) * 2;
        text = realloc(text, capacity);
        if (!text) {
            fputs("subscription: out of memory\n", stderr);
            exit(1);
        }
    }
    memcpy(text + length, data, count);
    length += count;
    text[length] = '\0';
}

static void putf(const char *format, ...) __attribute__((format(printf, 1, 2)));
static void putf(const char *format, ...)
{
    char buffer[4096];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    put(buffer, (size_t)n);
}

static void base64(const unsigned char *data, size_t count, int url, char *out)
{
    const char *alphabet = url ? "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"
                               : "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    size_t o = 0;
    for (size_t i = 0; i < count; i += 3) {
        uint32_t v = (uint32_t)data[i] << 16;
        if (i + 1 < count)
            v |= (uint32_t)data[i + 1] << 8;
        if (i + 2 < count)
            v |= data[i + 2];
        out[o++] = alphabet[v >> 18 & 63];
        out[o++] = alphabet[v >> 12 & 63];
        if (i + 1 < count)
            out[o++] = alphabet[v >> 6 & 63];
        else if (!url)
            out[o++] = '=';
        if (i + 2 < count)
            out[o++] = alphabet[v & 63];
        else if (!url)
            out[o++] = '=';
    }
    out[o] = '\0';
}

static char *b64(const char *plain, int url)
{
    static char out[4][2048]; /* a few pieces of one link at a time */
    static int slot;
    slot = (slot + 1) % 4;
    base64((const unsigned char *)plain, strlen(plain), url, out[slot]);
    return out[slot];
}

static const char *const REGIONS[][2] = {
    {"%F0%9F%87%AD%F0%9F%87%B0%20Hong%20Kong", "hk"}, {"%F0%9F%87%AF%F0%9F%87%B5%20Tokyo", "jp"},
    {"%F0%9F%87%B8%F0%9F%87%AC%20Singapore", "sg"},   {"%F0%9F%87%BA%F0%9F%87%B8%20Los%20Angeles", "us"},
    {"%F0%9F%87%A9%F0%9F%87%AA%20Frankfurt", "de"},   {"%F0%9F%87%B9%F0%9F%87%BC%20Taipei", "tw"},
};

struct Node {
    char host[64], uuid[40], password[40], remark[128], remark_plain[64];
    int port;
    const char *region;
};

static void random_text(char *out, size_t count)
{
    static const char chars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    for (size_t i = 0; i < count; i++)
        out[i] = chars[below(sizeof chars - 1)];
    out[count] = '\0';
}

static void make_node(struct Node *node, long number)
{
    int region = (int)below(sizeof REGIONS / sizeof *REGIONS);
    node->region = REGIONS[region][1];
    switch (below(8)) {
    case 0:
        snprintf(node->host, sizeof node->host, "2001:db8:%x::%x", below(65536), 1 + below(65535));
        break;
    case 1:
    case 2:
        snprintf(node->host, sizeof node->host, "%u.%u.%u.%u", 1 + below(223), below(256), below(256), 1 + below(254));
        break;
    default:
        snprintf(node->host, sizeof node->host, "%s-%02u.node.example-provider.net", node->region, 1 + below(60));
    }
    node->port = (int)(1024 + below(64000));
    snprintf(node->uuid, sizeof node->uuid, "%08x-%04x-4%03x-%04x-%04x%08x", next(), below(65536), below(4096),
             0x8000 | below(0x4000), below(65536), next());
    random_text(node->password, 8 + below(24));
    snprintf(node->remark, sizeof node->remark, "%s%%20%02ld%s", REGIONS[region][0], number % 100,
             below(4) == 0 ? "%20%5B0.5x%5D" : "");
    snprintf(node->remark_plain, sizeof node->remark_plain, "%s %02ld", node->region, number % 100);
}

/* Host and port as a URL writes them. */
static const char *authority(const struct Node *node)
{
    static char out[96];
    snprintf(out, sizeof out, strchr(node->host, ':') ? "[%s]:%d" : "%s:%d", node->host, node->port);
    return out;
}

static void link_ss(const struct Node *node)
{
    static const char *const METHODS[] = {"aes-256-gcm", "aes-128-gcm", "chacha20-ietf-poly1305",
                                          "xchacha20-ietf-poly1305"};
    if (below(10) == 0) { /* a 2022 cipher: plain, percent-encoded user info */
        char key[32];
        random_text(key, 22);
        putf("ss://2022-blake3-aes-128-gcm:%s%%3D%%3D@%s#%s\n", key, authority(node), node->remark);
        return;
    }
    char user[128];
    snprintf(user, sizeof user, "%s:%s", PICK(METHODS), node->password);
    putf("ss://%s@%s/", b64(user, 1), authority(node));
    if (below(4) == 0)
        putf("?plugin=obfs-local%%3Bobfs%%3D%s%%3Bobfs-host%%3Dwww.%s.example.com", below(2) ? "http" : "tls",
             node->region);
    putf("#%s\n", node->remark);
}

static void link_ssr(const struct Node *node)
{
    static const char *const PROTOCOLS[] = {"origin", "auth_aes128_md5", "auth_aes128_sha1", "auth_chain_a"};
    static const char *const OBFS[] = {"plain", "http_simple", "tls1.2_ticket_auth"};
    static const char *const METHODS[] = {"aes-256-cfb", "chacha20-ietf", "rc4-md5", "none"};
    char plain[1024], param[64];
    snprintf(param, sizeof param, "%u:%s", 1000 + below(9000), node->password);
    snprintf(plain, sizeof plain, "%s:%d:%s:%s:%s:%s/?obfsparam=%s&protoparam=%s&remarks=%s&group=%s",
             strchr(node->host, ':') ? "ssr.example-provider.net" : node->host, node->port, PICK(PROTOCOLS),
             PICK(METHODS), PICK(OBFS), b64(node->password, 1), b64("download.windowsupdate.com", 1), b64(param, 1),
             b64(node->remark_plain, 1), b64("provider", 1));
    putf("ssr://%s\n", b64(plain, 1));
}

static void link_vmess(const struct Node *node)
{
    static const char *const NETWORKS[] = {"ws", "ws", "tcp", "grpc", "h2", "kcp"};
    const char *net = PICK(NETWORKS);
    int tls = strcmp(net, "kcp") != 0 && (strcmp(net, "tcp") != 0 || below(2));
    char cdn[64], json[1024];
    snprintf(cdn, sizeof cdn, "%s-cdn.example-provider.net", node->region);
    const char *type = strcmp(net, "kcp") == 0 ? "wechat-video" : strcmp(net, "grpc") == 0 ? "gun" : "none";
    const char *path = strcmp(net, "grpc") == 0 ? "vmess-grpc" : strcmp(net, "kcp") == 0 ? "" : "/v2ray?ed=2048";
    /* Providers write port and aid as numbers or as strings. */
    snprintf(json, sizeof json,
             below(2) ? "{\"v\":\"2\",\"ps\":\"%s\",\"add\":\"%s\",\"port\":\"%d\",\"id\":\"%s\",\"aid\":\"0\","
                        "\"scy\":\"auto\",\"net\":\"%s\",\"type\":\"%s\",\"host\":\"%s\",\"path\":\"%s\",\"tls\":\"%s\","
                        "\"sni\":\"%s\",\"fp\":\"%s\"}"
                      : "{\"v\": \"2\", \"ps\": \"%s\", \"add\": \"%s\", \"port\": %d, \"id\": \"%s\", \"aid\": 0, "
                        "\"scy\": \"auto\", \"net\": \"%s\", \"type\": \"%s\", \"host\": \"%s\", \"path\": \"%s\", "
                        "\"tls\": \"%s\", \"sni\": \"%s\", \"fp\": \"%s\"}",
             node->remark_plain, node->host, node->port, node->uuid, net, type, tls ? cdn : "", path,
             tls ? "tls" : "", tls ? cdn : "", tls ? "chrome" : "");
    putf("vmess://%s\n", b64(json, 0));
}

static void link_vless(const struct Node *node)
{
    putf("vless://%s@%s?encryption=none&", node->uuid, authority(node));
    switch (below(4)) {
    case 0:
    case 1:
        putf("security=tls&type=ws&host=%s-cdn.example-provider.net&path=%%2Fvless%%3Fed%%3D2048&sni=%s-cdn."
             "example-provider.net&fp=chrome",
             node->region, node->region);
        break;
    case 2:
        putf("security=tls&type=grpc&serviceName=vless-grpc&mode=%s&sni=%s.example-provider.net&alpn=h2",
             below(2) ? "gun" : "multi", node->region);
        break;
    default:
        putf("security=xtls&type=tcp&headerType=none&flow=xtls-rprx-direct&sni=%s.example-provider.net",
             node->region);
    }
    putf("#%s\n", node->remark);
}

static void link_trojan(const struct Node *node)
{
    if (below(3))
        putf("trojan://%s@%s?security=tls&sni=%s.example-provider.net%s#%s\n", node->password, authority(node),
             node->region, below(5) ? "" : "&allowInsecure=1", node->remark);
    else
        putf("trojan://%s@%s?security=tls&type=ws&host=%s-cdn.example-provider.net&path=%%2Ftrojan&sni=%s-cdn."
             "example-provider.net#%s\n",
             node->password, authority(node), node->region, node->region, node->remark);
}

int main(int argc, char **argv)
{
    if (argc < 2 || argc > 3 || atol(argv[1]) < 1) {
        fputs("usage: subscription COUNT [SEED]\n", stderr);
        return 2;
    }
    long count = atol(argv[1]);
    state = argc > 2 ? strtoull(argv[2], NULL, 10) : 20240601;
    if (state == 0)
        state = 1;
    void (*const writers[])(const struct Node *) = {link_ss, link_ssr, link_vmess, link_vless, link_trojan};
    for (long i = 1; i <= count; i++) {
        struct Node node;
        make_node(&node, i);
        writers[below(5)](&node);
    }
    char *encoded = malloc(length / 3 * 4 + 5);
    if (!encoded)
        return 1;
    base64((const unsigned char *)text, length, 0, encoded);
    puts(encoded);
    free(encoded);
    free(text);
    return 0;
}
