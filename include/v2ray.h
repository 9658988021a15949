// The V2Ray/Xray document is written by two pieces: the servers (outbound
// settings) and the stream (transport, TLS/XTLS, multiplexing).
#pragma once

#include "v2ray_names.h"

struct json_object;
struct StoreLookup;
struct GeneratorArgs;

// What tarvick's document and current Xray's share, in the same order: the
// "log", and the members of the transparent and the SOCKS inbound after the
// "tag" only current Xray's has.
void v2ray_add_log(json_object *root);
void v2ray_fill_transparent(json_object *inbound, const GeneratorArgs *args);
void v2ray_fill_socks(json_object *inbound, const GeneratorArgs *args);

// Adds "streamSettings" and, when the node asks for it and the transport
// allows it, "mux" to the outbound. It reads the node's settings through the
// generator's own lookup (which carries the node index): a second 10 KB value
// buffer would only add to the run's peak memory.
void add_v2ray_stream(json_object *outbound, StoreLookup *lookup, SecurityMode security, NetworkKind network);
