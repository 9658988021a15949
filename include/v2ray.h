// The V2Ray/Xray document is written by two pieces: the servers (outbound
// settings) and the stream (transport, TLS/XTLS, multiplexing).
#pragma once

struct json_object;
struct StoreLookup;

enum OutboundProtocol {
    OUTBOUND_OTHER = -1,
    OUTBOUND_VMESS = 0,
    OUTBOUND_VLESS = 1,
    OUTBOUND_TROJAN = 2,
    OUTBOUND_SHADOWSOCKS = 3,
    OUTBOUND_SOCKS = 4,
    OUTBOUND_HTTP = 5,
};

enum SecurityMode {
    SECURITY_NONE = -1,
    SECURITY_TLS = 0,
    SECURITY_XTLS = 1,
};

enum NetworkKind {
    NETWORK_OTHER = -1,
    NETWORK_TCP = 0,
    NETWORK_MKCP = 1,
    NETWORK_WS = 2,
    NETWORK_H2 = 3,
    NETWORK_QUIC = 4,
    NETWORK_GRPC = 5,
};

// Adds "streamSettings" and, when the node asks for it and the transport
// allows it, "mux" to the outbound. It reads the node's settings through the
// generator's own lookup (which carries the node index): a second 10 KB value
// buffer would only add to the run's peak memory.
void add_v2ray_stream(json_object *outbound, StoreLookup *lookup, SecurityMode security, NetworkKind network);
