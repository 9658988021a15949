// The document current Xray reads: "inbounds" and "outbounds" arrays and the
// simplified outbound settings, written by tarvick-node only (tarvick keeps
// the document of Xray's and V2Ray's older releases).
#pragma once

#include <stddef.h>

struct GeneratorArgs;
struct GeneratorRun;

// Reads the node's settings with the lookups tarvick 2 makes, in its order
// (and a few keys of its own in between), all of them even for a node it
// refuses, and writes the document or says why not in the run's refusal: a
// GeneratorResult.
int write_xray_config(const GeneratorArgs *args, GeneratorRun *run);
// The same, and the kind of node the settings tell (a ProxyKind): a V2Ray/Xray
// protocol is type 2, else a ShadowsocksR protocol type 1 (refused), else a
// Shadowsocks method type 0, else type 3; each then read with tarvick's
// lookups for its kind.
int write_xray_node(const GeneratorArgs *args, GeneratorRun *run, int *kind);

// Whether current Xray takes a value of one of these settings (VLESS
// Encryption; REALITY's public key, short id, spider path and ML-DSA-65 key;
// the ALPN list, pins and names to verify; and those of Hysteria2 and
// WireGuard nodes) as it is: NULL, or what is wrong with it, to follow the
// key's name.
const char *xray_value_problem(const char *field, const char *value);

// The same for the keys of Hysteria2 and WireGuard nodes (xray_value_problem
// asks here too).
const char *xray_kind_value_problem(const char *field, const char *value);
// A WireGuard key as Xray reads one: 32 bytes in Base64 or 64 hex digits.
bool xray_wireguard_key(const char *key);
// TLS's ECH configuration ("v2ray_tls_ech_config"): a Base64 ECHConfigList,
// or a DNS server to ask ("[name+]https://...", "h2c://", "udp://") for the
// name, which is the server name unless the value gives one.
const char *xray_ech_problem(const char *value, const char *server_name);

// XHTTP's "extra", the JSON object Xray reads in place of the rest of
// "xhttpSettings", read as Xray 26.7.28 reads it with the transport's mode
// ("" for auto): a new object of the members Xray reads, in their order (the
// caller's to put), or NULL with what is wrong, naming the member, in
// problem. dropped(context, "xmux.name"), when given, says each member left
// out because Xray does not read it.
typedef struct json_object json_object;
// A JSON text, strictly, and nothing after it; NULL when it is not one.
json_object *xray_json_parse(const char *text, size_t length);
json_object *xray_extra_read(json_object *extra, const char *mode, void (*dropped)(void *context, const char *member),
                             void *context, char *problem, size_t size);
