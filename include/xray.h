// The document current Xray reads: "inbounds" and "outbounds" arrays and the
// simplified outbound settings, written by tarvick-node only (tarvick keeps
// the document of Xray's and V2Ray's older releases).
#pragma once

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

// Whether current Xray takes a value of one of these settings (REALITY's
// public key, short id and spider path; the ALPN list, pins and names to
// verify) as it is: NULL, or what is wrong with it, to follow the key's name.
const char *xray_value_problem(const char *field, const char *value);

// The same for the keys of Hysteria2 and WireGuard nodes (xray_value_problem
// asks here too).
const char *xray_kind_value_problem(const char *field, const char *value);
// A WireGuard key as Xray reads one: 32 bytes in Base64 or 64 hex digits.
bool xray_wireguard_key(const char *key);
