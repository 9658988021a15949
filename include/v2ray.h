// The V2Ray/Xray document is written by two pieces: the servers (outbound
// settings) and the stream (transport, TLS/XTLS, multiplexing).
#pragma once

#include "v2ray_names.h"

struct json_object;
struct StoreLookup;

// Adds "streamSettings" and, when the node asks for it and the transport
// allows it, "mux" to the outbound. It reads the node's settings through the
// generator's own lookup (which carries the node index): a second 10 KB value
// buffer would only add to the run's peak memory.
void add_v2ray_stream(json_object *outbound, StoreLookup *lookup, SecurityMode security, NetworkKind network);
