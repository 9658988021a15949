// V2Ray/Xray document: "log", the transparent "inbound", the SOCKS
// "inboundDetour" and the "outbound" with its server settings.
#include "document.h"
#include "store.h"
#include "tarvick.h"
#include "v2ray.h"

#include <stdio.h>
#include <string.h>

namespace {

// The second lookup's text is written as it stands, but the protocol the
// first one classified decides when the document writes another name for it
// ("ss" is "shadowsocks"): what the run steers by is what it names.
const char *v2ray_protocol_name(const V2rayName *classified, const char *stored)
{
    return v2ray_writes(classified, DOC_TARVICK) && classified->written ? classified->written : stored;
}

// The server object shared by every protocol starts with its address and port.
json_object *v2ray_add_server(json_object *settings, const char *list_name, StoreLookup *lookup)
{
    json_object *server = doc_element_object(doc_array(settings, list_name));
    doc_string(server, "address", store_lookup(lookup, "ssconf_basic_server_%d"));
    doc_int(server, "port", store_lookup_int(lookup, "ssconf_basic_port_%d"));
    return server;
}

void v2ray_add_settings(json_object *outbound, OutboundProtocol protocol, SecurityMode security,
                        StoreLookup *lookup)
{
    json_object *settings = doc_object(outbound, "settings");
    switch (protocol) {
    case OUTBOUND_VMESS:
    case OUTBOUND_VLESS: {
        json_object *server = v2ray_add_server(settings, "vnext", lookup);
        json_object *user = doc_element_object(doc_array(server, "users"));
        doc_string(user, "id", store_lookup(lookup, "ssconf_basic_v2ray_uuid_%d"));
        if (protocol == OUTBOUND_VMESS) {
            doc_int(user, "alterId", store_lookup_int(lookup, "ssconf_basic_v2ray_alterid_%d"));
            doc_string(user, "security", store_lookup(lookup, "ssconf_basic_v2ray_security_%d"));
        } else {
            doc_string(user, "encryption", "none");
            if (security == SECURITY_XTLS)
                doc_string(user, "flow", store_lookup(lookup, "ssconf_basic_v2ray_network_flow_%d"));
        }
        break;
    }
    case OUTBOUND_TROJAN:
    case OUTBOUND_SHADOWSOCKS: {
        json_object *server = v2ray_add_server(settings, "servers", lookup);
        doc_password(server, "password", store_lookup(lookup, "ssconf_basic_password_%d"));
        if (protocol == OUTBOUND_SHADOWSOCKS)
            doc_string(server, "method", store_lookup(lookup, "ssconf_basic_v2ray_ss_method_%d"));
        else if (security == SECURITY_XTLS)
            doc_string(server, "flow", store_lookup(lookup, "ssconf_basic_v2ray_network_flow_%d"));
        break;
    }
    case OUTBOUND_SOCKS:
    case OUTBOUND_HTTP: {
        json_object *server = v2ray_add_server(settings, "servers", lookup);
        if (store_lookup_switch(lookup, "ssconf_basic_auth_%d")) {
            json_object *account = doc_element_object(doc_array(server, "users"));
            doc_string(account, "user", store_lookup(lookup, "ssconf_basic_username_%d"));
            doc_password(account, "pass", store_lookup(lookup, "ssconf_basic_password_%d"));
        }
        break;
    }
    case OUTBOUND_HYSTERIA2: // current Xray's alone: never classified so here
    case OUTBOUND_WIREGUARD:
    case OUTBOUND_OTHER:
        break; // an empty "settings" all the same
    }
}

} // namespace

void v2ray_add_log(json_object *root)
{
    json_object *log = doc_object(root, "log");
    doc_string(log, "error", "/tmp/xray.log");
    doc_string(log, "loglevel", "warning");
}

// The router redirects client connections here; sniffing recovers the names.
void v2ray_fill_transparent(json_object *inbound, const GeneratorArgs *args)
{
    doc_int(inbound, "port", args->local_port);
    doc_string(inbound, "protocol", "dokodemo-door");
    json_object *settings = doc_object(inbound, "settings");
    doc_string(settings, "network", args->proto);
    doc_bool(settings, "followRedirect", true);
    json_object *sniffing = doc_object(inbound, "sniffing");
    doc_bool(sniffing, "enabled", true);
    json_object *dest_override = doc_array(sniffing, "destOverride");
    doc_element_string(dest_override, "http");
    doc_element_string(dest_override, "tls");
}

void v2ray_fill_socks(json_object *inbound, const GeneratorArgs *args)
{
    doc_string(inbound, "protocol", "socks");
    doc_int(inbound, "port", args->second_port);
    json_object *settings = doc_object(inbound, "settings");
    doc_string(settings, "auth", "noauth");
    doc_bool(settings, "udp", true);
}

int write_v2ray_config(const GeneratorArgs *args, GeneratorRun *run)
{
    Document doc;
    json_object *root = doc.root;
    StoreLookup lookup;
    store_lookup_init(&lookup, args->node, run->source);

    // Classify first: every rule below sees the same three decisions.
    const V2rayName *classified = v2ray_protocol(store_lookup(&lookup, "ssconf_basic_v2ray_protocol_%d"));
    OutboundProtocol protocol = (OutboundProtocol)v2ray_value(classified, DOC_TARVICK);
    const V2rayName *security_row = v2ray_security(store_lookup(&lookup, "ssconf_basic_v2ray_network_security_%d"));
    SecurityMode security = (SecurityMode)v2ray_value(security_row, DOC_TARVICK);
    // Any other security (reality, say) would leave ids and passwords in
    // clear: only an empty text and "none" mean no TLS.
    bool writable = v2ray_writes(security_row, DOC_TARVICK);
    NetworkKind network =
        (NetworkKind)v2ray_value(v2ray_network(store_lookup(&lookup, "ssconf_basic_v2ray_network_%d")), DOC_TARVICK);
    if (!writable) {
        snprintf(run->refusal, sizeof run->refusal,
                 "ssconf_basic_v2ray_network_security_%d is not tls, xtls or none: tarvick cannot write it "
                 "(tarvick-node xray can write reality)", args->node);
        return GENERATOR_REFUSED;
    }
    if (network == NETWORK_GRPC)
        security = SECURITY_TLS; // gRPC always runs over TLS, whatever is stored

    v2ray_add_log(root);
    if (args->local_port > 0)
        v2ray_fill_transparent(doc_object(root, "inbound"), args);
    if (args->second_port > 0 && strstr(args->proto, "tcp"))
        v2ray_fill_socks(doc_element_object(doc_array(root, "inboundDetour")), args);

    json_object *outbound = doc_object(root, "outbound");
    doc_string(outbound, "protocol", v2ray_protocol_name(classified, store_lookup(&lookup, "ssconf_basic_v2ray_protocol_%d")));
    v2ray_add_settings(outbound, protocol, security, &lookup);
    add_v2ray_stream(outbound, &lookup, security, network);

    return write_document(root, args->path, run->source);
}
