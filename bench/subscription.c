/* A provider's subscription for the import benchmark: COUNT share links of
 * all five schemes with the values providers use (several transports per
 * scheme, IPv4, IPv6 and host names, remarks with flags and percent escapes),
 * the whole text Base64-encoded on one line as providers serve it.
 *
 *   subscription COUNT [SEED [FORMAT]]
 *
 * FORMAT "links" (the default) is that mix. "xray", "mihomo" and "doc-links"
 * write one other mix three ways: as an Xray JSON subscription (an array of
 * whole client configs, as panels serve it), as a mihomo YAML subscription
 * (proxies, a group listing them, rules) and as the Base64 link list of the
 * same nodes. Its kinds are those all three carry: Shadowsocks, vmess over
 * WebSocket and TLS, vless over REALITY with Vision and over gRPC and TLS,
 * trojan over TLS and over WebSocket, Hysteria2 with Salamander.
 *
 * The same COUNT, SEED and FORMAT give the same bytes, so runs compare.
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


/* ---- one mix, three formats ---- */

enum Format { LINKS, XRAY, MIHOMO, DOC_LINKS };
static enum Format format;

struct Doc {
    struct Node node;
    int kind;
    char cdn[64], sni[64], pbk[48], sid[20], obfs[20];
    const char *method;
};

static void make_doc(struct Doc *d, long number)
{
    static const char *const METHODS[] = {"aes-256-gcm", "aes-128-gcm", "chacha20-ietf-poly1305"};
    make_node(&d->node, number);
    d->kind = (int)below(7);
    d->method = PICK(METHODS);
    snprintf(d->cdn, sizeof d->cdn, "%s-cdn.example-provider.net", d->node.region);
    snprintf(d->sni, sizeof d->sni, below(2) ? "www.microsoft.com" : "%s.example-provider.net", d->node.region);
    random_text(d->pbk, 43);
    snprintf(d->sid, sizeof d->sid, "%08x", next());
    random_text(d->obfs, 16);
}

/* The link, the mihomo entry and the Xray outbound of each kind. */
static void doc_link(const struct Doc *d)
{
    const struct Node *n = &d->node;
    char user[128], remark[64];
    snprintf(remark, sizeof remark, "%.2s%%20%s", n->remark_plain, n->remark_plain + 3);
    switch (d->kind) {
    case 0:
        snprintf(user, sizeof user, "%s:%s", d->method, n->password);
        putf("ss://%s@%s#%s\n", b64(user, 1), authority(n), remark);
        break;
    case 1:
        {
            char json[1024];
            snprintf(json, sizeof json,
                     "{\"v\":\"2\",\"ps\":\"%s\",\"add\":\"%s\",\"port\":\"%d\",\"id\":\"%s\",\"aid\":\"0\",\"scy\":"
                     "\"auto\",\"net\":\"ws\",\"host\":\"%s\",\"path\":\"/vmess\",\"tls\":\"tls\",\"sni\":\"%s\","
                     "\"fp\":\"chrome\"}",
                     n->remark_plain, n->host, n->port, n->uuid, d->cdn, d->cdn);
            putf("vmess://%s\n", b64(json, 0));
        }
        break;
    case 2:
        putf("vless://%s@%s?encryption=none&security=reality&type=tcp&sni=%s&fp=chrome&pbk=%s&sid=%s"
             "&flow=xtls-rprx-vision#%s\n", n->uuid, authority(n), d->sni, d->pbk, d->sid, remark);
        break;
    case 3:
        putf("vless://%s@%s?encryption=none&security=tls&type=grpc&serviceName=grpc&sni=%s&fp=chrome#%s\n", n->uuid,
             authority(n), d->cdn, remark);
        break;
    case 4:
        putf("trojan://%s@%s?security=tls&sni=%s#%s\n", n->password, authority(n), d->sni, remark);
        break;
    case 5:
        putf("trojan://%s@%s?security=tls&type=ws&host=%s&path=%%2Ftrojan&sni=%s#%s\n", n->password,
             authority(n), d->cdn, d->cdn, remark);
        break;
    default:
        putf("hysteria2://%s@%s/?sni=%s&obfs=salamander&obfs-password=%s#%s\n", n->password, authority(n), d->sni,
             d->obfs, remark);
    }
}

static void doc_mihomo(const struct Doc *d)
{
    const struct Node *n = &d->node;
    static const char *const TYPES[] = {"ss", "vmess", "vless", "vless", "trojan", "trojan", "hysteria2"};
    putf("  - name: \"%s\"\n    type: %s\n    server: %s\n    port: %d\n", n->remark_plain, TYPES[d->kind], n->host,
         n->port);
    switch (d->kind) {
    case 0:
        putf("    cipher: %s\n    password: \"%s\"\n    udp: true\n", d->method, n->password);
        break;
    case 1:
        putf("    uuid: %s\n    alterId: 0\n    cipher: auto\n    udp: true\n    tls: true\n    servername: %s\n"
             "    client-fingerprint: chrome\n    network: ws\n    ws-opts:\n      path: /vmess\n      headers:\n"
             "        Host: %s\n", n->uuid, d->cdn, d->cdn);
        break;
    case 2:
        putf("    uuid: %s\n    udp: true\n    tls: true\n    flow: xtls-rprx-vision\n    servername: %s\n"
             "    client-fingerprint: chrome\n    network: tcp\n    reality-opts:\n      public-key: %s\n"
             "      short-id: %s\n", n->uuid, d->sni, d->pbk, d->sid);
        break;
    case 3:
        putf("    uuid: %s\n    udp: true\n    tls: true\n    servername: %s\n    client-fingerprint: chrome\n"
             "    network: grpc\n    grpc-opts:\n      grpc-service-name: grpc\n", n->uuid, d->cdn);
        break;
    case 4:
        putf("    password: \"%s\"\n    udp: true\n    sni: %s\n", n->password, d->sni);
        break;
    case 5:
        putf("    password: \"%s\"\n    udp: true\n    sni: %s\n    network: ws\n    ws-opts:\n      path: /trojan\n"
             "      headers:\n        Host: %s\n", n->password, d->cdn, d->cdn);
        break;
    default:
        putf("    password: \"%s\"\n    sni: %s\n    obfs: salamander\n    obfs-password: %s\n", n->password, d->sni,
             d->obfs);
    }
}

static void doc_xray(const struct Doc *d, long number)
{
    const struct Node *n = &d->node;
    static const char *const PROTOCOLS[] = {"shadowsocks", "vmess", "vless", "vless", "trojan", "trojan", "hysteria"};
    /* Each config as a panel writes it: its own inbounds, DNS and routing. */
    putf("%s  {\n    \"remarks\": \"%s\",\n    \"log\": {\"loglevel\": \"warning\"},\n"
         "    \"dns\": {\"servers\": [\"1.1.1.1\", \"8.8.8.8\"]},\n"
         "    \"inbounds\": [\n      {\"tag\": \"socks\", \"port\": 10808, \"listen\": \"127.0.0.1\", \"protocol\": "
         "\"socks\", \"settings\": {\"auth\": \"noauth\", \"udp\": true}, \"sniffing\": {\"enabled\": true, "
         "\"destOverride\": [\"http\", \"tls\"]}},\n      {\"tag\": \"http\", \"port\": 10809, \"listen\": "
         "\"127.0.0.1\", \"protocol\": \"http\", \"settings\": {}}\n    ],\n    \"outbounds\": [\n      {\n"
         "        \"tag\": \"proxy\",\n        \"protocol\": \"%s\",\n        \"settings\": ",
         number > 1 ? ",\n" : "", n->remark_plain, PROTOCOLS[d->kind]);
    switch (d->kind) {
    case 0:
        putf("{\"servers\": [{\"address\": \"%s\", \"port\": %d, \"method\": \"%s\", \"password\": \"%s\"}]},\n"
             "        \"streamSettings\": {\"network\": \"tcp\"}", n->host, n->port, d->method, n->password);
        break;
    case 1:
        putf("{\"vnext\": [{\"address\": \"%s\", \"port\": %d, \"users\": [{\"id\": \"%s\", \"alterId\": 0, "
             "\"security\": \"auto\", \"level\": 8}]}]},\n        \"streamSettings\": {\"network\": \"ws\", "
             "\"security\": \"tls\", \"tlsSettings\": {\"serverName\": \"%s\", \"fingerprint\": \"chrome\"}, "
             "\"wsSettings\": {\"path\": \"/vmess\", \"headers\": {\"Host\": \"%s\"}}}", n->host, n->port, n->uuid,
             d->cdn, d->cdn);
        break;
    case 2:
        putf("{\"vnext\": [{\"address\": \"%s\", \"port\": %d, \"users\": [{\"id\": \"%s\", \"encryption\": "
             "\"none\", \"flow\": \"xtls-rprx-vision\", \"level\": 8}]}]},\n        \"streamSettings\": "
             "{\"network\": \"tcp\", \"security\": \"reality\", \"realitySettings\": {\"serverName\": \"%s\", "
             "\"fingerprint\": \"chrome\", \"publicKey\": \"%s\", \"shortId\": \"%s\", \"show\": false}}",
             n->host, n->port, n->uuid, d->sni, d->pbk, d->sid);
        break;
    case 3:
        putf("{\"vnext\": [{\"address\": \"%s\", \"port\": %d, \"users\": [{\"id\": \"%s\", \"encryption\": "
             "\"none\", \"level\": 8}]}]},\n        \"streamSettings\": {\"network\": \"grpc\", \"security\": \"tls\", "
             "\"tlsSettings\": {\"serverName\": \"%s\", \"fingerprint\": \"chrome\"}, \"grpcSettings\": "
             "{\"serviceName\": \"grpc\", \"multiMode\": false}}", n->host, n->port, n->uuid, d->cdn);
        break;
    case 4:
        putf("{\"servers\": [{\"address\": \"%s\", \"port\": %d, \"password\": \"%s\", \"level\": 8}]},\n"
             "        \"streamSettings\": {\"network\": \"tcp\", \"security\": \"tls\", \"tlsSettings\": "
             "{\"serverName\": \"%s\"}}", n->host, n->port, n->password, d->sni);
        break;
    case 5:
        putf("{\"servers\": [{\"address\": \"%s\", \"port\": %d, \"password\": \"%s\", \"level\": 8}]},\n"
             "        \"streamSettings\": {\"network\": \"ws\", \"security\": \"tls\", \"tlsSettings\": "
             "{\"serverName\": \"%s\"}, \"wsSettings\": {\"path\": \"/trojan\", \"headers\": {\"Host\": \"%s\"}}}",
             n->host, n->port, n->password, d->cdn, d->cdn);
        break;
    default:
        putf("{\"version\": 2, \"address\": \"%s\", \"port\": %d},\n        \"streamSettings\": {\"network\": "
             "\"hysteria\", \"security\": \"tls\", \"tlsSettings\": {\"serverName\": \"%s\"}, \"hysteriaSettings\": "
             "{\"version\": 2, \"auth\": \"%s\"}, \"finalmask\": {\"udp\": [{\"type\": \"salamander\", \"settings\": "
             "{\"password\": \"%s\"}}]}}", n->host, n->port, d->sni, n->password, d->obfs);
    }
    putf(",\n        \"mux\": {\"enabled\": false, \"concurrency\": -1}\n      },\n"
         "      {\"tag\": \"direct\", \"protocol\": \"freedom\", \"settings\": {}},\n"
         "      {\"tag\": \"block\", \"protocol\": \"blackhole\", \"settings\": {\"response\": {\"type\": \"http\"}}}\n"
         "    ],\n    \"routing\": {\"domainStrategy\": \"AsIs\", \"rules\": [{\"type\": \"field\", \"ip\": "
         "[\"geoip:private\"], \"outboundTag\": \"direct\"}, {\"type\": \"field\", \"protocol\": [\"bittorrent\"], "
         "\"outboundTag\": \"block\"}]}\n  }");
}

static void base64_out(void)
{
    char *encoded = malloc(length / 3 * 4 + 5);
    if (!encoded)
        exit(1);
    base64((const unsigned char *)text, length, 0, encoded);
    puts(encoded);
    free(encoded);
}

static void docs(long count)
{
    struct Doc *all = calloc((size_t)count, sizeof *all);
    if (!all)
        exit(1);
    for (long i = 0; i < count; i++)
        make_doc(&all[i], i + 1);
    if (format == XRAY) {
        put("[\n", 2);
        for (long i = 0; i < count; i++)
            doc_xray(&all[i], i + 1);
        put("\n]\n", 3);
    } else if (format == MIHOMO) {
        putf("mixed-port: 7890\nallow-lan: false\nmode: rule\nlog-level: info\nproxies:\n");
        for (long i = 0; i < count; i++)
            doc_mihomo(&all[i]);
        putf("proxy-groups:\n  - name: PROXY\n    type: select\n    proxies:\n");
        for (long i = 0; i < count; i++)
            putf("      - \"%s\"\n", all[i].node.remark_plain);
        putf("rules:\n  - GEOIP,private,DIRECT\n  - MATCH,PROXY\n");
    } else {
        for (long i = 0; i < count; i++)
            doc_link(&all[i]);
    }
    free(all);
}

int main(int argc, char **argv)
{
    static const char *const FORMATS[] = {"links", "xray", "mihomo", "doc-links"};
    if (argc < 2 || argc > 4 || atol(argv[1]) < 1) {
        fputs("usage: subscription COUNT [SEED [links|xray|mihomo|doc-links]]\n", stderr);
        return 2;
    }
    for (int f = 0; argc > 3 && f < 4; f++)
        if (strcmp(argv[3], FORMATS[f]) == 0)
            format = (enum Format)(f + 1);
    if (argc > 3 && format == LINKS) {
        fprintf(stderr, "subscription: no format %s\n", argv[3]);
        return 2;
    }
    format = format ? (enum Format)(format - 1) : LINKS;
    long count = atol(argv[1]);
    state = argc > 2 ? strtoull(argv[2], NULL, 10) : 20240601;
    if (state == 0)
        state = 1;
    if (format != LINKS) {
        docs(count);
        if (format == DOC_LINKS)
            base64_out();
        else
            fputs(text, stdout);
        free(text);
        return 0;
    }
    void (*const writers[])(const struct Node *) = {link_ss, link_ssr, link_vmess, link_vless, link_trojan};
    for (long i = 1; i <= count; i++) {
        struct Node node;
        make_node(&node, i);
        writers[below(5)](&node);
    }
    base64_out();
    free(text);
    return 0;
}
