// The outbound's "streamSettings" (transport and TLS/XTLS) and "mux".
#include "document.h"
#include "store.h"
#include "v2ray.h"

#include <string.h>

namespace {

void v2ray_add_tls(json_object *stream, StoreLookup *lookup)
{
    json_object *tls = doc_object(stream, "tlsSettings");
    const char *fingerprint = store_lookup(lookup, "ssconf_basic_v2ray_fingerprint_%d");
    doc_string(tls, "fingerprint", fingerprint[0] != '\0' ? fingerprint : "disable");
    doc_bool(tls, "allowInsecure", true);
    doc_string(tls, "serverName", store_lookup(lookup, "ssconf_basic_v2ray_network_tlshost_%d"));
}

void v2ray_add_xtls(json_object *stream, StoreLookup *lookup)
{
    json_object *xtls = doc_object(stream, "xtlsSettings");
    doc_bool(xtls, "allowInsecure", true);
    doc_string(xtls, "serverName", store_lookup(lookup, "ssconf_basic_v2ray_network_tlshost_%d"));
}

// Plain TCP needs no settings; only an HTTP-disguised header does.
void v2ray_add_tcp(json_object *stream, StoreLookup *lookup)
{
    if (strcmp(store_lookup(lookup, "ssconf_basic_v2ray_headtype_tcp_%d"), "http") != 0)
        return;
    json_object *header = doc_object(doc_object(stream, "tcpSettings"), "header");
    doc_string(header, "type", "http");
    json_object *request = doc_object(header, "request");
    doc_string(request, "path", "/");
    json_object *headers = doc_object(request, "headers");
    doc_string(headers, "Host", store_lookup(lookup, "ssconf_basic_v2ray_network_host_%d"));
}

void v2ray_add_kcp(json_object *stream, StoreLookup *lookup)
{
    json_object *kcp = doc_object(stream, "kcpSettings");
    doc_int(kcp, "mtu", 1350);
    doc_int(kcp, "tti", 50);
    doc_int(kcp, "uplinkCapacity", 12);
    doc_int(kcp, "downlinkCapacity", 100);
    doc_bool(kcp, "congestion", false);
    doc_int(kcp, "readBufferSize", 2);
    doc_int(kcp, "writeBufferSize", 2);
    // mKCP has no header setting of its own: it shares the TCP head type.
    json_object *header = doc_object(kcp, "header");
    doc_string(header, "type", store_lookup(lookup, "ssconf_basic_v2ray_headtype_tcp_%d"));
}

void v2ray_add_ws(json_object *stream, StoreLookup *lookup)
{
    json_object *ws = doc_object(stream, "wsSettings");
    const char *path = store_lookup(lookup, "ssconf_basic_v2ray_network_path_%d");
    if (path[0] != '\0')
        doc_string(ws, "path", path);
    const char *host = store_lookup(lookup, "ssconf_basic_v2ray_network_host_%d");
    if (host[0] != '\0')
        doc_string(doc_object(ws, "headers"), "Host", host);
}

void v2ray_add_h2(json_object *stream, StoreLookup *lookup)
{
    json_object *http = doc_object(stream, "httpSettings");
    doc_string(http, "path", store_lookup(lookup, "ssconf_basic_v2ray_network_path_%d"));
    const char *host = store_lookup(lookup, "ssconf_basic_v2ray_network_host_%d");
    if (host[0] != '\0')
        doc_string(http, "host", host);
}

void v2ray_add_quic(json_object *stream, StoreLookup *lookup)
{
    json_object *quic = doc_object(stream, "quicSettings");
    doc_string(quic, "security", store_lookup(lookup, "ssconf_basic_v2ray_quic_security_%d"));
    doc_string(quic, "key", store_lookup(lookup, "ssconf_basic_v2ray_quic_key_%d"));
    doc_string(doc_object(quic, "header"), "type", store_lookup(lookup, "ssconf_basic_v2ray_quic_guise_%d"));
}

void v2ray_add_grpc(json_object *stream, StoreLookup *lookup)
{
    json_object *grpc = doc_object(stream, "grpcSettings");
    doc_string(grpc, "serviceName", store_lookup(lookup, "ssconf_basic_v2ray_grpc_serviceName_%d"));
    // The mux switch doubles as gRPC's multi-mode; here any non-zero counts.
    doc_bool(grpc, "multiMode", store_lookup_int(lookup, "ssconf_basic_v2ray_mux_enable_%d") != 0);
}

} // namespace

void add_v2ray_stream(json_object *outbound, StoreLookup *lookup, SecurityMode security, NetworkKind network)
{
    json_object *stream = doc_object(outbound, "streamSettings");
    doc_string(stream, "network", store_lookup(lookup, "ssconf_basic_v2ray_network_%d"));
    doc_string(stream, "security", store_lookup(lookup, "ssconf_basic_v2ray_network_security_%d"));

    if (security == SECURITY_TLS)
        v2ray_add_tls(stream, lookup);
    else if (security == SECURITY_XTLS)
        v2ray_add_xtls(stream, lookup);

    switch (network) {
    case NETWORK_TCP: v2ray_add_tcp(stream, lookup); break;
    case NETWORK_MKCP: v2ray_add_kcp(stream, lookup); break;
    case NETWORK_WS: v2ray_add_ws(stream, lookup); break;
    case NETWORK_H2: v2ray_add_h2(stream, lookup); break;
    case NETWORK_QUIC: v2ray_add_quic(stream, lookup); break;
    case NETWORK_GRPC: v2ray_add_grpc(stream, lookup); break;
    default: break; // another name, or one only current Xray has: no transport object
    }

    // XTLS and gRPC carry their own multiplexing; "mux" would fight it.
    bool mux = store_lookup_switch(lookup, "ssconf_basic_v2ray_mux_enable_%d");
    if (mux && security != SECURITY_XTLS && network != NETWORK_GRPC) {
        json_object *mux_object = doc_object(outbound, "mux");
        doc_bool(mux_object, "enabled", true);
        doc_int(mux_object, "concurrency", store_lookup_int(lookup, "ssconf_basic_v2ray_mux_concurrency_%d"));
    }
}
