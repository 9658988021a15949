// Shared by the V2Ray/Xray document tests: a node with every setting filled
// with a text of its own (so a value read from the wrong key, or a member
// filled from the wrong lookup, shows in the file), and the part of the
// document that does not depend on the node.
#pragma once

#include "fixture.h"

#include <string>
#include <utility>
#include <vector>

// A field/value list for one node; later entries win. UNSET leaves the key
// out of the store, so the daemon answers "none\n".
using NodeFields = std::vector<std::pair<std::string, std::string>>;
static const std::string UNSET("\0unset", 6);

// "czNjcmV0L3B3" is "s3cret/pw".
inline NodeFields v2ray_full_node()
{
    return {
        {"v2ray_protocol", "vmess"},
        {"v2ray_network_security", "tls"},
        {"v2ray_network", "ws"},
        {"server", "v2.example.net"},
        {"port", "443"},
        {"v2ray_uuid", "b831381d-6324-4d53-ad4f-8cda48b30811"},
        {"v2ray_alterid", "64"},
        {"v2ray_security", "auto"},
        {"v2ray_network_flow", "xtls-rprx-direct"},
        {"password", "czNjcmV0L3B3"},
        {"v2ray_ss_method", "chacha20-ietf-poly1305"},
        {"auth", "1"},
        {"username", "alice"},
        {"v2ray_fingerprint", "chrome"},
        {"v2ray_network_tlshost", "sni.example.net"},
        {"v2ray_headtype_tcp", "http"},
        {"v2ray_network_host", "cdn.example.net"},
        {"v2ray_network_path", "/ray"},
        {"v2ray_quic_security", "aes-128-gcm"},
        {"v2ray_quic_key", "quic-key"},
        {"v2ray_quic_guise", "wechat-video"},
        {"v2ray_grpc_serviceName", "GunService"},
        {"v2ray_mux_enable", "1"},
        {"v2ray_mux_concurrency", "8"},
    };
}

inline std::string node_key(const std::string &field, int node)
{
    return "ssconf_basic_" + field + "_" + std::to_string(node);
}

// Stores the full node with these changes and makes it the active one.
inline void store_v2ray_node(FakeDaemon &daemon, int node, const NodeFields &changes)
{
    daemon.set("ssconf_basic_node", std::to_string(node) + "\n");
    NodeFields fields = v2ray_full_node();
    fields.insert(fields.end(), changes.begin(), changes.end());
    for (const auto &field : fields) {
        if (field.second == UNSET)
            daemon.erase(node_key(field.first, node));
        else
            daemon.set(node_key(field.first, node), field.second);
    }
}

// The keys a run asks for: the node index, then these per-node fields.
inline std::vector<std::string> node_keys(int node, const std::vector<std::string> &fields)
{
    std::vector<std::string> keys{"ssconf_basic_node"};
    for (const std::string &field : fields)
        keys.push_back(node_key(field, node));
    return keys;
}

// Everything before "outbound" for local port 1080, second port 1081 and the
// transport list "tcp,udp".
static const std::string V2RAY_HEAD =
    R"({ "log": { "error": "\/tmp\/xray.log", "loglevel": "warning" }, )"
    R"("inbound": { "port": 1080, "protocol": "dokodemo-door", )"
    R"("settings": { "network": "tcp,udp", "followRedirect": true }, )"
    R"("sniffing": { "enabled": true, "destOverride": [ "http", "tls" ] } }, )"
    R"("inboundDetour": [ { "protocol": "socks", "port": 1081, "settings": { "auth": "noauth", "udp": true } } ], )";

inline std::string v2ray_file(const std::string &outbound)
{
    return V2RAY_HEAD + "\"outbound\": " + outbound + " }\n";
}
