// The V2Ray/Xray document as the client reads it: whole files byte for byte,
// and the exact sequence of keys the daemon is asked for.
#include "fixture.h"
#include "store.h"
#include "tarvick.h"
#include "test_v2ray_node.h"

#include <stdio.h>

#include <string>
#include <vector>

namespace {

// Field names of the keys every run reads, to keep the tables readable.
const char P[] = "v2ray_protocol";
const char NS[] = "v2ray_network_security";
const char N[] = "v2ray_network";

struct DocumentCase {
    const char *name;
    NodeFields changes;
    std::string outbound;
    std::vector<std::string> fields; // per-node keys after "ssconf_basic_node"
};

class V2rayTest : public TarvickTest {
protected:
    // Runs kind 2 for the node and checks the file, the key sequence and the
    // quiet, successful exit.
    void check(int node, const DocumentCase &row)
    {
        SCOPED_TRACE(row.name);
        daemon.clear();
        store_v2ray_node(daemon, node, row.changes);
        EXPECT_EQ(generate("2"), v2ray_file(row.outbound));
        EXPECT_EQ(daemon.keys(), node_keys(node, row.fields));
        EXPECT_EQ(last.status, 0);
        EXPECT_EQ(last.out, "");
        EXPECT_EQ(last.err, "");
    }
};

TEST_F(V2rayTest, EveryOutboundProtocolWholeFile)
{
    const std::vector<DocumentCase> cases = {
        {"vmess over tls and ws, with mux",
         {},
         R"({ "protocol": "vmess", "settings": { "vnext": [ { "address": "v2.example.net", "port": 443, "users": [ { "id": "b831381d-6324-4d53-ad4f-8cda48b30811", "alterId": 64, "security": "auto" } ] } ] }, )"
         R"("streamSettings": { "network": "ws", "security": "tls", "tlsSettings": { "fingerprint": "chrome", "allowInsecure": true, "serverName": "sni.example.net" }, "wsSettings": { "path": "\/ray", "headers": { "Host": "cdn.example.net" } } }, )"
         R"("mux": { "enabled": true, "concurrency": 8 } })",
         {P, NS, N, P, "server", "port", "v2ray_uuid", "v2ray_alterid", "v2ray_security", N, NS,
          "v2ray_fingerprint", "v2ray_network_tlshost", "v2ray_network_path", "v2ray_network_host",
          "v2ray_mux_enable", "v2ray_mux_concurrency"}},
        {"vless over xtls and tcp: flow, no mux",
         {{P, "vless"}, {NS, "xtls"}, {N, "tcp"}},
         R"({ "protocol": "vless", "settings": { "vnext": [ { "address": "v2.example.net", "port": 443, "users": [ { "id": "b831381d-6324-4d53-ad4f-8cda48b30811", "encryption": "none", "flow": "xtls-rprx-direct" } ] } ] }, )"
         R"("streamSettings": { "network": "tcp", "security": "xtls", "xtlsSettings": { "allowInsecure": true, "serverName": "sni.example.net" }, "tcpSettings": { "header": { "type": "http", "request": { "path": "\/", "headers": { "Host": "cdn.example.net" } } } } } })",
         {P, NS, N, P, "server", "port", "v2ray_uuid", "v2ray_network_flow", N, NS, "v2ray_network_tlshost",
          "v2ray_headtype_tcp", "v2ray_network_host", "v2ray_mux_enable"}},
        {"vless over tls and tcp: no flow, mux",
         {{P, "vless"}, {NS, "tls"}, {N, "tcp"}},
         R"({ "protocol": "vless", "settings": { "vnext": [ { "address": "v2.example.net", "port": 443, "users": [ { "id": "b831381d-6324-4d53-ad4f-8cda48b30811", "encryption": "none" } ] } ] }, )"
         R"("streamSettings": { "network": "tcp", "security": "tls", "tlsSettings": { "fingerprint": "chrome", "allowInsecure": true, "serverName": "sni.example.net" }, "tcpSettings": { "header": { "type": "http", "request": { "path": "\/", "headers": { "Host": "cdn.example.net" } } } } }, )"
         R"("mux": { "enabled": true, "concurrency": 8 } })",
         {P, NS, N, P, "server", "port", "v2ray_uuid", N, NS, "v2ray_fingerprint", "v2ray_network_tlshost",
          "v2ray_headtype_tcp", "v2ray_network_host", "v2ray_mux_enable", "v2ray_mux_concurrency"}},
        {"vless with xtls over grpc: tls and no flow",
         {{P, "vless"}, {NS, "xtls"}, {N, "grpc"}},
         R"({ "protocol": "vless", "settings": { "vnext": [ { "address": "v2.example.net", "port": 443, "users": [ { "id": "b831381d-6324-4d53-ad4f-8cda48b30811", "encryption": "none" } ] } ] }, )"
         R"("streamSettings": { "network": "grpc", "security": "xtls", "tlsSettings": { "fingerprint": "chrome", "allowInsecure": true, "serverName": "sni.example.net" }, "grpcSettings": { "serviceName": "GunService", "multiMode": true } } })",
         {P, NS, N, P, "server", "port", "v2ray_uuid", N, NS, "v2ray_fingerprint", "v2ray_network_tlshost",
          "v2ray_grpc_serviceName", "v2ray_mux_enable", "v2ray_mux_enable"}},
        {"trojan over xtls and mkcp: flow, no mux",
         {{P, "trojan"}, {NS, "xtls"}, {N, "mkcp"}},
         R"({ "protocol": "trojan", "settings": { "servers": [ { "address": "v2.example.net", "port": 443, "password": "s3cret\/pw", "flow": "xtls-rprx-direct" } ] }, )"
         R"("streamSettings": { "network": "mkcp", "security": "xtls", "xtlsSettings": { "allowInsecure": true, "serverName": "sni.example.net" }, "kcpSettings": { "mtu": 1350, "tti": 50, "uplinkCapacity": 12, "downlinkCapacity": 100, "congestion": false, "readBufferSize": 2, "writeBufferSize": 2, "header": { "type": "http" } } } })",
         {P, NS, N, P, "server", "port", "password", "v2ray_network_flow", N, NS, "v2ray_network_tlshost",
          "v2ray_headtype_tcp", "v2ray_mux_enable"}},
        {"trojan over tls and quic: no flow, mux",
         {{P, "trojan"}, {NS, "tls"}, {N, "quic"}},
         R"({ "protocol": "trojan", "settings": { "servers": [ { "address": "v2.example.net", "port": 443, "password": "s3cret\/pw" } ] }, )"
         R"("streamSettings": { "network": "quic", "security": "tls", "tlsSettings": { "fingerprint": "chrome", "allowInsecure": true, "serverName": "sni.example.net" }, "quicSettings": { "security": "aes-128-gcm", "key": "quic-key", "header": { "type": "wechat-video" } } }, )"
         R"("mux": { "enabled": true, "concurrency": 8 } })",
         {P, NS, N, P, "server", "port", "password", N, NS, "v2ray_fingerprint", "v2ray_network_tlshost",
          "v2ray_quic_security", "v2ray_quic_key", "v2ray_quic_guise", "v2ray_mux_enable",
          "v2ray_mux_concurrency"}},
        {"ss over h2 without security: written shadowsocks",
         {{P, "ss"}, {NS, "none"}, {N, "h2"}},
         R"({ "protocol": "shadowsocks", "settings": { "servers": [ { "address": "v2.example.net", "port": 443, "password": "s3cret\/pw", "method": "chacha20-ietf-poly1305" } ] }, )"
         R"("streamSettings": { "network": "h2", "security": "none", "httpSettings": { "path": "\/ray", "host": "cdn.example.net" } }, )"
         R"("mux": { "enabled": true, "concurrency": 8 } })",
         {P, NS, N, P, "server", "port", "password", "v2ray_ss_method", N, NS, "v2ray_network_path",
          "v2ray_network_host", "v2ray_mux_enable", "v2ray_mux_concurrency"}},
        {"ss over xtls: method and never flow",
         {{P, "ss"}, {NS, "xtls"}, {N, "tcp"}, {"v2ray_headtype_tcp", "none"}},
         R"({ "protocol": "shadowsocks", "settings": { "servers": [ { "address": "v2.example.net", "port": 443, "password": "s3cret\/pw", "method": "chacha20-ietf-poly1305" } ] }, )"
         R"("streamSettings": { "network": "tcp", "security": "xtls", "xtlsSettings": { "allowInsecure": true, "serverName": "sni.example.net" } } })",
         {P, NS, N, P, "server", "port", "password", "v2ray_ss_method", N, NS, "v2ray_network_tlshost",
          "v2ray_headtype_tcp", "v2ray_mux_enable"}},
        {"socks with an account over tcp",
         {{P, "socks"}, {NS, "none"}, {N, "tcp"}},
         R"({ "protocol": "socks", "settings": { "servers": [ { "address": "v2.example.net", "port": 443, "users": [ { "user": "alice", "pass": "s3cret\/pw" } ] } ] }, )"
         R"("streamSettings": { "network": "tcp", "security": "none", "tcpSettings": { "header": { "type": "http", "request": { "path": "\/", "headers": { "Host": "cdn.example.net" } } } } }, )"
         R"("mux": { "enabled": true, "concurrency": 8 } })",
         {P, NS, N, P, "server", "port", "auth", "username", "password", N, NS, "v2ray_headtype_tcp",
          "v2ray_network_host", "v2ray_mux_enable", "v2ray_mux_concurrency"}},
        {"http with an account over grpc",
         {{P, "http"}, {NS, "tls"}, {N, "grpc"}},
         R"({ "protocol": "http", "settings": { "servers": [ { "address": "v2.example.net", "port": 443, "users": [ { "user": "alice", "pass": "s3cret\/pw" } ] } ] }, )"
         R"("streamSettings": { "network": "grpc", "security": "tls", "tlsSettings": { "fingerprint": "chrome", "allowInsecure": true, "serverName": "sni.example.net" }, "grpcSettings": { "serviceName": "GunService", "multiMode": true } } })",
         {P, NS, N, P, "server", "port", "auth", "username", "password", N, NS, "v2ray_fingerprint",
          "v2ray_network_tlshost", "v2ray_grpc_serviceName", "v2ray_mux_enable", "v2ray_mux_enable"}},
        {"protocol differing in case is other",
         {{P, "VMess"}},
         R"({ "protocol": "VMess", "settings": { }, )"
         R"("streamSettings": { "network": "ws", "security": "tls", "tlsSettings": { "fingerprint": "chrome", "allowInsecure": true, "serverName": "sni.example.net" }, "wsSettings": { "path": "\/ray", "headers": { "Host": "cdn.example.net" } } }, )"
         R"("mux": { "enabled": true, "concurrency": 8 } })",
         {P, NS, N, P, N, NS, "v2ray_fingerprint", "v2ray_network_tlshost", "v2ray_network_path",
          "v2ray_network_host", "v2ray_mux_enable", "v2ray_mux_concurrency"}},
        {"protocol, security and network unset",
         {{P, UNSET}, {NS, UNSET}, {N, UNSET}},
         R"({ "protocol": "", "settings": { }, "streamSettings": { "network": "", "security": "" }, )"
         R"("mux": { "enabled": true, "concurrency": 8 } })",
         {P, NS, N, P, N, NS, "v2ray_mux_enable", "v2ray_mux_concurrency"}},
        {"protocol, security and network stored empty",
         {{P, ""}, {NS, ""}, {N, ""}, {"v2ray_mux_enable", "0"}},
         R"({ "protocol": "", "settings": { }, "streamSettings": { "network": "", "security": "" } })",
         {P, NS, N, P, N, NS, "v2ray_mux_enable"}},
        {"texts with a trailing newline are other, and kept",
         {{P, "vmess\n"}, {NS, "none"}, {N, "ws\n"}},
         R"({ "protocol": "vmess\n", "settings": { }, "streamSettings": { "network": "ws\n", "security": "none" }, )"
         R"("mux": { "enabled": true, "concurrency": 8 } })",
         {P, NS, N, P, N, NS, "v2ray_mux_enable", "v2ray_mux_concurrency"}},
    };
    for (const DocumentCase &row : cases)
        check(3, row);
}

// Only the exact stored text "ss" is renamed; everything else stays as it is,
// and only "ss" gets Shadowsocks settings.
TEST_F(V2rayTest, OnlyExactSsIsWrittenShadowsocks)
{
    const std::string stream =
        R"("streamSettings": { "network": "tcp", "security": "none" } })";
    const std::vector<std::string> fields_other = {P, NS, N, P, N, NS, "v2ray_headtype_tcp", "v2ray_mux_enable"};
    const std::vector<DocumentCase> cases = {
        {"ss", {{P, "ss"}},
         R"({ "protocol": "shadowsocks", "settings": { "servers": [ { "address": "v2.example.net", "port": 443, "password": "s3cret\/pw", "method": "chacha20-ietf-poly1305" } ] }, )" + stream,
         {P, NS, N, P, "server", "port", "password", "v2ray_ss_method", N, NS, "v2ray_headtype_tcp", "v2ray_mux_enable"}},
        {"shadowsocks", {{P, "shadowsocks"}}, R"({ "protocol": "shadowsocks", "settings": { }, )" + stream, fields_other},
        {"SS", {{P, "SS"}}, R"({ "protocol": "SS", "settings": { }, )" + stream, fields_other},
        {"ss blank", {{P, "ss "}}, R"({ "protocol": "ss ", "settings": { }, )" + stream, fields_other},
        {"blank ss", {{P, " ss"}}, R"({ "protocol": " ss", "settings": { }, )" + stream, fields_other},
        {"ss newline", {{P, "ss\n"}}, R"({ "protocol": "ss\n", "settings": { }, )" + stream, fields_other},
        {"s", {{P, "s"}}, R"({ "protocol": "s", "settings": { }, )" + stream, fields_other},
        {"sss", {{P, "sss"}}, R"({ "protocol": "sss", "settings": { }, )" + stream, fields_other},
    };
    for (DocumentCase row : cases) {
        row.changes.insert(row.changes.begin(),
                           {{NS, "none"}, {N, "tcp"}, {"v2ray_headtype_tcp", "none"}, {"v2ray_mux_enable", "0"}});
        check(2, row);
    }
}

// The stream and its security layer, on a SOCKS node without an account so
// that the servers part stays short.
TEST_F(V2rayTest, EveryTransportWholeFile)
{
    const std::string socks =
        R"({ "protocol": "socks", "settings": { "servers": [ { "address": "v2.example.net", "port": 443 } ] }, "streamSettings": )";
    const std::string mux = R"(, "mux": { "enabled": true, "concurrency": 8 })";
    const std::string tls =
        R"("tlsSettings": { "fingerprint": "chrome", "allowInsecure": true, "serverName": "sni.example.net" })";
    const std::string tcp_http =
        R"("tcpSettings": { "header": { "type": "http", "request": { "path": "\/", "headers": { "Host": "cdn.example.net" } } } })";
    const std::string kcp_constants =
        R"("mtu": 1350, "tti": 50, "uplinkCapacity": 12, "downlinkCapacity": 100, "congestion": false, "readBufferSize": 2, "writeBufferSize": 2)";
    const std::vector<std::string> with_mux = {"v2ray_mux_enable", "v2ray_mux_concurrency"};

    struct TransportCase {
        const char *name;
        NodeFields changes;
        std::string rest; // "streamSettings" value and what follows it
        std::vector<std::string> fields; // after the network and security texts
    };
    auto plus = [](std::vector<std::string> a, const std::vector<std::string> &b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const std::vector<TransportCase> cases = {
        {"tcp with http header", {{N, "tcp"}},
         R"({ "network": "tcp", "security": "none", )" + tcp_http + " }" + mux,
         plus({"v2ray_headtype_tcp", "v2ray_network_host"}, with_mux)},
        {"tcp with http header and no host", {{N, "tcp"}, {"v2ray_network_host", UNSET}},
         R"({ "network": "tcp", "security": "none", "tcpSettings": { "header": { "type": "http", "request": { "path": "\/", "headers": { "Host": "" } } } } })" + mux,
         plus({"v2ray_headtype_tcp", "v2ray_network_host"}, with_mux)},
        {"tcp head type none", {{N, "tcp"}, {"v2ray_headtype_tcp", "none"}},
         R"({ "network": "tcp", "security": "none" })" + mux, plus({"v2ray_headtype_tcp"}, with_mux)},
        {"tcp head type unset", {{N, "tcp"}, {"v2ray_headtype_tcp", UNSET}},
         R"({ "network": "tcp", "security": "none" })" + mux, plus({"v2ray_headtype_tcp"}, with_mux)},
        {"tcp head type HTTP", {{N, "tcp"}, {"v2ray_headtype_tcp", "HTTP"}},
         R"({ "network": "tcp", "security": "none" })" + mux, plus({"v2ray_headtype_tcp"}, with_mux)},
        {"tcp head type http and newline", {{N, "tcp"}, {"v2ray_headtype_tcp", "http\n"}},
         R"({ "network": "tcp", "security": "none" })" + mux, plus({"v2ray_headtype_tcp"}, with_mux)},
        {"mkcp takes the tcp head type", {{N, "mkcp"}, {"v2ray_headtype_tcp", "wechat-video"}},
         R"({ "network": "mkcp", "security": "none", "kcpSettings": { )" + kcp_constants +
             R"(, "header": { "type": "wechat-video" } } })" + mux,
         plus({"v2ray_headtype_tcp"}, with_mux)},
        {"mkcp with head type unset", {{N, "mkcp"}, {"v2ray_headtype_tcp", UNSET}},
         R"({ "network": "mkcp", "security": "none", "kcpSettings": { )" + kcp_constants +
             R"(, "header": { "type": "" } } })" + mux,
         plus({"v2ray_headtype_tcp"}, with_mux)},
        {"ws with path and host", {},
         R"({ "network": "ws", "security": "none", "wsSettings": { "path": "\/ray", "headers": { "Host": "cdn.example.net" } } })" + mux,
         plus({"v2ray_network_path", "v2ray_network_host"}, with_mux)},
        {"ws with only a host", {{"v2ray_network_path", UNSET}},
         R"({ "network": "ws", "security": "none", "wsSettings": { "headers": { "Host": "cdn.example.net" } } })" + mux,
         plus({"v2ray_network_path", "v2ray_network_host"}, with_mux)},
        {"ws with only a path", {{"v2ray_network_host", ""}},
         R"({ "network": "ws", "security": "none", "wsSettings": { "path": "\/ray" } })" + mux,
         plus({"v2ray_network_path", "v2ray_network_host"}, with_mux)},
        {"ws with neither", {{"v2ray_network_path", UNSET}, {"v2ray_network_host", UNSET}},
         R"({ "network": "ws", "security": "none", "wsSettings": { } })" + mux,
         plus({"v2ray_network_path", "v2ray_network_host"}, with_mux)},
        {"h2 with path and host", {{N, "h2"}},
         R"({ "network": "h2", "security": "none", "httpSettings": { "path": "\/ray", "host": "cdn.example.net" } })" + mux,
         plus({"v2ray_network_path", "v2ray_network_host"}, with_mux)},
        {"h2 with neither", {{N, "h2"}, {"v2ray_network_path", UNSET}, {"v2ray_network_host", UNSET}},
         R"({ "network": "h2", "security": "none", "httpSettings": { "path": "" } })" + mux,
         plus({"v2ray_network_path", "v2ray_network_host"}, with_mux)},
        {"h2 with only a host", {{N, "h2"}, {"v2ray_network_path", UNSET}},
         R"({ "network": "h2", "security": "none", "httpSettings": { "path": "", "host": "cdn.example.net" } })" + mux,
         plus({"v2ray_network_path", "v2ray_network_host"}, with_mux)},
        {"quic", {{N, "quic"}},
         R"({ "network": "quic", "security": "none", "quicSettings": { "security": "aes-128-gcm", "key": "quic-key", "header": { "type": "wechat-video" } } })" + mux,
         plus({"v2ray_quic_security", "v2ray_quic_key", "v2ray_quic_guise"}, with_mux)},
        {"quic with empty texts",
         {{N, "quic"}, {"v2ray_quic_security", UNSET}, {"v2ray_quic_key", ""}, {"v2ray_quic_guise", UNSET}},
         R"({ "network": "quic", "security": "none", "quicSettings": { "security": "", "key": "", "header": { "type": "" } } })" + mux,
         plus({"v2ray_quic_security", "v2ray_quic_key", "v2ray_quic_guise"}, with_mux)},
        {"grpc with security none", {{N, "grpc"}, {NS, "none"}},
         R"({ "network": "grpc", "security": "none", )" + tls +
             R"(, "grpcSettings": { "serviceName": "GunService", "multiMode": true } })",
         {"v2ray_fingerprint", "v2ray_network_tlshost", "v2ray_grpc_serviceName", "v2ray_mux_enable",
          "v2ray_mux_enable"}},
        {"grpc with security unset", {{N, "grpc"}, {NS, UNSET}},
         R"({ "network": "grpc", "security": "", )" + tls +
             R"(, "grpcSettings": { "serviceName": "GunService", "multiMode": true } })",
         {"v2ray_fingerprint", "v2ray_network_tlshost", "v2ray_grpc_serviceName", "v2ray_mux_enable",
          "v2ray_mux_enable"}},
        {"grpc with security xtls", {{N, "grpc"}, {NS, "xtls"}},
         R"({ "network": "grpc", "security": "xtls", )" + tls +
             R"(, "grpcSettings": { "serviceName": "GunService", "multiMode": true } })",
         {"v2ray_fingerprint", "v2ray_network_tlshost", "v2ray_grpc_serviceName", "v2ray_mux_enable",
          "v2ray_mux_enable"}},
        {"grpc with service name unset", {{N, "grpc"}, {NS, "tls"}, {"v2ray_grpc_serviceName", UNSET}},
         R"({ "network": "grpc", "security": "tls", )" + tls +
             R"(, "grpcSettings": { "serviceName": "", "multiMode": true } })",
         {"v2ray_fingerprint", "v2ray_network_tlshost", "v2ray_grpc_serviceName", "v2ray_mux_enable",
          "v2ray_mux_enable"}},
        {"unknown network", {{N, "kcp"}},
         R"({ "network": "kcp", "security": "none" })" + mux, with_mux},
        {"network unset", {{N, UNSET}},
         R"({ "network": "", "security": "none" })" + mux, with_mux},
        {"tls over ws", {{NS, "tls"}},
         R"({ "network": "ws", "security": "tls", )" + tls +
             R"(, "wsSettings": { "path": "\/ray", "headers": { "Host": "cdn.example.net" } } })" + mux,
         plus({"v2ray_fingerprint", "v2ray_network_tlshost", "v2ray_network_path", "v2ray_network_host"}, with_mux)},
        {"tls with empty fingerprint and host",
         {{NS, "tls"}, {"v2ray_fingerprint", UNSET}, {"v2ray_network_tlshost", ""}, {N, "kcp"}},
         R"({ "network": "kcp", "security": "tls", "tlsSettings": { "fingerprint": "disable", "allowInsecure": true, "serverName": "" } })" + mux,
         plus({"v2ray_fingerprint", "v2ray_network_tlshost"}, with_mux)},
        {"tls with a fingerprint of one blank", {{NS, "tls"}, {"v2ray_fingerprint", " "}, {N, "kcp"}},
         R"({ "network": "kcp", "security": "tls", "tlsSettings": { "fingerprint": " ", "allowInsecure": true, "serverName": "sni.example.net" } })" + mux,
         plus({"v2ray_fingerprint", "v2ray_network_tlshost"}, with_mux)},
        {"xtls over tcp: no mux", {{NS, "xtls"}, {N, "tcp"}},
         R"({ "network": "tcp", "security": "xtls", "xtlsSettings": { "allowInsecure": true, "serverName": "sni.example.net" }, )" +
             tcp_http + " }",
         {"v2ray_network_tlshost", "v2ray_headtype_tcp", "v2ray_network_host", "v2ray_mux_enable"}},
        {"xtls with empty host", {{NS, "xtls"}, {N, UNSET}, {"v2ray_network_tlshost", UNSET}},
         R"({ "network": "", "security": "xtls", "xtlsSettings": { "allowInsecure": true, "serverName": "" } })",
         {"v2ray_network_tlshost", "v2ray_mux_enable"}},
        {"mux concurrency unset", {{"v2ray_mux_concurrency", UNSET}, {N, "kcp"}},
         R"({ "network": "kcp", "security": "none" }, "mux": { "enabled": true, "concurrency": 0 })", with_mux},
        {"mux concurrency text", {{"v2ray_mux_concurrency", " -3x"}, {N, "kcp"}},
         R"({ "network": "kcp", "security": "none" }, "mux": { "enabled": true, "concurrency": -3 })", with_mux},
    };
    for (const TransportCase &row : cases) {
        DocumentCase doc{row.name, {{P, "socks"}, {"auth", "0"}, {NS, "none"}}, socks + row.rest + " }",
                         plus({P, NS, N, P, "server", "port", "auth", N, NS}, row.fields)};
        doc.changes.insert(doc.changes.end(), row.changes.begin(), row.changes.end());
        check(4, doc);
    }
}

// A security text other than tls, xtls, none or empty would leave the node's
// id or password in clear: the run stops after classifying, says which key
// to change and leaves the file as it was.
TEST_F(V2rayTest, UnwritableSecurityRefused)
{
    const std::string before = "the client's previous file\n";
    for (const char *text : {"reality", "REALITY", "TLS", "tls\n", " none", "None", "xtls ", "\x1b[31m"}) {
        for (const char *network : {"tcp", "grpc", "kcp"}) {
            SCOPED_TRACE(std::string("security \"") + text + "\" over " + network);
            daemon.clear();
            store_v2ray_node(daemon, 3, {{NS, text}, {N, network}});
            write_file(OUT, before);
            EXPECT_EQ(generate("2"), before);
            EXPECT_EQ(last.status, 1);
            EXPECT_EQ(last.out, "");
            EXPECT_EQ(last.err, "tarvick: ssconf_basic_v2ray_network_security_3 is not tls, xtls or none: tarvick "
                                "cannot write it (tarvick-node xray can write reality)\n");
            EXPECT_EQ(daemon.keys(), node_keys(3, {P, NS, N}));
        }
    }
}

// One setting, two readings: "mux" wants exactly 1, gRPC's "multiMode" any
// non-zero integer.
TEST_F(V2rayTest, MuxSwitchReadings)
{
    struct Reading {
        std::string stored;
        bool mux;        // exactly 1
        bool multi_mode; // non-zero
    };
    const std::vector<Reading> readings = {
        {"1", true, true},     {" 1", true, true},    {"1\n", true, true},   {"01", true, true},
        {"+1", true, true},    {"1x", true, true},    {"1.9", true, true},   {"2", false, true},
        {"11", false, true},   {"-1", false, true},   {"0", false, false},   {"", false, false},
        {UNSET, false, false}, {"x1", false, false},  {" 0", false, false},  {"-0", false, false},
        {"4294967297", false, true},
    };
    const std::string socks =
        R"({ "protocol": "socks", "settings": { "servers": [ { "address": "v2.example.net", "port": 443 } ] }, )";
    for (const Reading &reading : readings) {
        NodeFields base = {{P, "socks"}, {"auth", "0"}, {"v2ray_mux_enable", reading.stored}};

        NodeFields ws = base;
        ws.insert(ws.end(), {{NS, "none"}, {N, "ws"}, {"v2ray_network_path", UNSET}, {"v2ray_network_host", UNSET}});
        DocumentCase plain{"mux", ws,
                           socks + R"("streamSettings": { "network": "ws", "security": "none", "wsSettings": { } })" +
                               (reading.mux ? R"(, "mux": { "enabled": true, "concurrency": 8 })" : "") + " }",
                           {P, NS, N, P, "server", "port", "auth", N, NS, "v2ray_network_path",
                            "v2ray_network_host", "v2ray_mux_enable"}};
        if (reading.mux)
            plain.fields.push_back("v2ray_mux_concurrency");
        SCOPED_TRACE("switch \"" + reading.stored + "\"");
        check(5, plain);

        NodeFields grpc = base;
        grpc.insert(grpc.end(), {{NS, UNSET}, {N, "grpc"}});
        DocumentCase multi{"multiMode", grpc,
                           socks + R"("streamSettings": { "network": "grpc", "security": "", "tlsSettings": { "fingerprint": "chrome", "allowInsecure": true, "serverName": "sni.example.net" }, "grpcSettings": { "serviceName": "GunService", "multiMode": )" +
                               (reading.multi_mode ? "true" : "false") + " } } }",
                           {P, NS, N, P, "server", "port", "auth", N, NS, "v2ray_fingerprint",
                            "v2ray_network_tlshost", "v2ray_grpc_serviceName", "v2ray_mux_enable",
                            "v2ray_mux_enable"}};
        check(5, multi);
    }
}

// The account is written, and its two keys asked for, only for a reading of 1.
TEST_F(V2rayTest, SocksAndHttpAuthSwitch)
{
    struct Reading {
        std::string stored;
        bool account;
    };
    const std::vector<Reading> readings = {
        {"1", true},   {" 1", true},   {"1\n", true},  {"01", true},  {"0", false},
        {"2", false},  {"", false},    {UNSET, false}, {"-1", false}, {"11", false},
        {"on", false}, {"true", false},
    };
    for (const char *protocol : {"socks", "http"}) {
        for (const Reading &reading : readings) {
            SCOPED_TRACE(std::string(protocol) + " auth \"" + reading.stored + "\"");
            DocumentCase row{"auth",
                             {{P, protocol}, {NS, "none"}, {N, UNSET}, {"v2ray_mux_enable", "0"},
                              {"auth", reading.stored}, {"username", "bob \"the\" admin"}, {"password", "cCJ3XA=="}},
                             std::string(R"({ "protocol": ")") + protocol +
                                 R"(", "settings": { "servers": [ { "address": "v2.example.net", "port": 443)" +
                                 (reading.account ? R"(, "users": [ { "user": "bob \"the\" admin", "pass": "p\"w\\" } ])" : "") +
                                 R"( } ] }, "streamSettings": { "network": "", "security": "none" } })",
                             {P, NS, N, P, "server", "port", "auth"}};
            if (reading.account)
                row.fields.insert(row.fields.end(), {"username", "password"});
            row.fields.insert(row.fields.end(), {N, NS, "v2ray_mux_enable"});
            check(8, row);
        }
    }
}

// Integers read by the decimal rule and texts copied verbatim, on a VMess node.
TEST_F(V2rayTest, ServerValuesAsStored)
{
    struct ValueCase {
        NodeFields changes;
        std::string address, port, id, alter_id, security;
    };
    const std::vector<ValueCase> cases = {
        {{{"port", UNSET}}, "v2.example.net", "0", "b831381d-6324-4d53-ad4f-8cda48b30811", "64", "auto"},
        {{{"port", ""}}, "v2.example.net", "0", "b831381d-6324-4d53-ad4f-8cda48b30811", "64", "auto"},
        {{{"port", "443x"}}, "v2.example.net", "443", "b831381d-6324-4d53-ad4f-8cda48b30811", "64", "auto"},
        {{{"port", "  8443"}}, "v2.example.net", "8443", "b831381d-6324-4d53-ad4f-8cda48b30811", "64", "auto"},
        {{{"port", "\t\n 8443\n"}}, "v2.example.net", "8443", "b831381d-6324-4d53-ad4f-8cda48b30811", "64", "auto"},
        {{{"port", "x443"}}, "v2.example.net", "0", "b831381d-6324-4d53-ad4f-8cda48b30811", "64", "auto"},
        {{{"port", "-5"}}, "v2.example.net", "-5", "b831381d-6324-4d53-ad4f-8cda48b30811", "64", "auto"},
        {{{"port", "+7"}}, "v2.example.net", "7", "b831381d-6324-4d53-ad4f-8cda48b30811", "64", "auto"},
        {{{"port", "99999"}}, "v2.example.net", "99999", "b831381d-6324-4d53-ad4f-8cda48b30811", "64", "auto"},
        {{{"port", "99999999999"}}, "v2.example.net", "2147483647", "b831381d-6324-4d53-ad4f-8cda48b30811", "64", "auto"},
        {{{"port", "-99999999999"}}, "v2.example.net", "-2147483648", "b831381d-6324-4d53-ad4f-8cda48b30811", "64", "auto"},
        {{{"v2ray_alterid", UNSET}}, "v2.example.net", "443", "b831381d-6324-4d53-ad4f-8cda48b30811", "0", "auto"},
        {{{"v2ray_alterid", " 4x"}}, "v2.example.net", "443", "b831381d-6324-4d53-ad4f-8cda48b30811", "4", "auto"},
        {{{"v2ray_alterid", "-1"}}, "v2.example.net", "443", "b831381d-6324-4d53-ad4f-8cda48b30811", "-1", "auto"},
        {{{"server", UNSET}, {"v2ray_uuid", UNSET}, {"v2ray_security", UNSET}}, "", "443", "", "64", ""},
        {{{"server", " v2.example.net \n"}}, " v2.example.net \\n", "443", "b831381d-6324-4d53-ad4f-8cda48b30811", "64", "auto"},
        {{{"server", "a\"b\\c/d\x0b\x1f\x7f\xc3\xa9"}}, "a\\\"b\\\\c\\/d\\u000b\\u001f\x7f\xc3\xa9", "443",
         "b831381d-6324-4d53-ad4f-8cda48b30811", "64", "auto"},
        {{{"v2ray_uuid", "id\r\n\t\b\f"}}, "v2.example.net", "443", "id\\r\\n\\t\\b\\f", "64", "auto"},
        {{{"v2ray_security", "none none"}}, "v2.example.net", "443", "b831381d-6324-4d53-ad4f-8cda48b30811", "64", "none none"},
    };
    for (const ValueCase &value : cases) {
        DocumentCase row{value.changes.front().first.c_str(),
                         {{NS, "none"}, {N, "tcp"}, {"v2ray_headtype_tcp", "none"}, {"v2ray_mux_enable", "0"}},
                         R"({ "protocol": "vmess", "settings": { "vnext": [ { "address": ")" + value.address +
                             R"(", "port": )" + value.port + R"(, "users": [ { "id": ")" + value.id +
                             R"(", "alterId": )" + value.alter_id + R"(, "security": ")" + value.security +
                             R"(" } ] } ] }, "streamSettings": { "network": "tcp", "security": "none" } })",
                         {P, NS, N, P, "server", "port", "v2ray_uuid", "v2ray_alterid", "v2ray_security", N, NS,
                          "v2ray_headtype_tcp", "v2ray_mux_enable"}};
        row.changes.insert(row.changes.end(), value.changes.begin(), value.changes.end());
        SCOPED_TRACE("stored \"" + value.changes.front().second + "\"");
        check(6, row);
    }
}

// The stored password is decoded wherever it is written, and only there.
TEST_F(V2rayTest, PasswordsDecoded)
{
    struct PasswordCase {
        std::string stored, written;
    };
    const std::vector<PasswordCase> cases = {
        {"czNjcmV0L3B3", "s3cret\\/pw"}, {"cGFzcw==", "pass"}, {"cGFzcw==\n", "pass"},
        {"cCJ3XA==", "p\\\"w\\\\"},       {"", ""},             {UNSET, ""},
        {"cGFzcw", "pas"},                {"cGE=", "pa"},       {"w6k=", "\xc3\xa9"},
    };
    for (const PasswordCase &password : cases) {
        SCOPED_TRACE("password \"" + password.stored + "\"");
        DocumentCase trojan{"trojan",
                            {{P, "trojan"}, {NS, "none"}, {N, UNSET}, {"v2ray_mux_enable", "0"}, {"password", password.stored}},
                            R"({ "protocol": "trojan", "settings": { "servers": [ { "address": "v2.example.net", "port": 443, "password": ")" +
                                password.written + R"(" } ] }, "streamSettings": { "network": "", "security": "none" } })",
                            {P, NS, N, P, "server", "port", "password", N, NS, "v2ray_mux_enable"}};
        check(9, trojan);
        DocumentCase ss{"ss",
                        {{P, "ss"}, {NS, "none"}, {N, UNSET}, {"v2ray_mux_enable", "0"}, {"password", password.stored}},
                        R"({ "protocol": "shadowsocks", "settings": { "servers": [ { "address": "v2.example.net", "port": 443, "password": ")" +
                            password.written +
                            R"(", "method": "chacha20-ietf-poly1305" } ] }, "streamSettings": { "network": "", "security": "none" } })",
                        {P, NS, N, P, "server", "port", "password", "v2ray_ss_method", N, NS, "v2ray_mux_enable"}};
        check(9, ss);
    }
}

// Every per-node key carries the node index read from "ssconf_basic_node".
TEST_F(V2rayTest, NodeIndexNamesTheKeys)
{
    const std::vector<std::string> fields = {P, NS, N, P, N, NS, "v2ray_mux_enable"};
    const std::string out = R"({ "protocol": "", "settings": { }, "streamSettings": { "network": "", "security": "" } })";

    struct IndexCase {
        std::string stored; // UNSET: no active node at all
        std::string suffix;
    };
    for (const IndexCase &index : std::vector<IndexCase>{
             {UNSET, "0"}, {"12\n", "12"}, {" 7x", "7"}, {"-3", "-3"}, {"2147483647", "2147483647"}}) {
        SCOPED_TRACE("node \"" + index.stored + "\"");
        daemon.clear();
        if (index.stored != UNSET)
            daemon.set("ssconf_basic_node", index.stored);
        EXPECT_EQ(generate("2"), v2ray_file(out));
        std::vector<std::string> expected{"ssconf_basic_node"};
        for (const std::string &field : fields)
            expected.push_back("ssconf_basic_" + field + "_" + index.suffix);
        EXPECT_EQ(daemon.keys(), expected);
        EXPECT_EQ(last.status, 0);
    }
}

// The daemon sees exactly "magicv1 <length> get <key>\n" for each lookup.
TEST_F(V2rayTest, RequestsByteForByte)
{
    store_v2ray_node(daemon, 3, {{P, "vless"}, {NS, "xtls"}, {N, "tcp"}, {"v2ray_headtype_tcp", "none"}});
    generate("2");
    const std::vector<std::string> expected = {
        "magicv1 0000022 get ssconf_basic_node\n",
        "magicv1 0000034 get ssconf_basic_v2ray_protocol_3\n",
        "magicv1 0000042 get ssconf_basic_v2ray_network_security_3\n",
        "magicv1 0000033 get ssconf_basic_v2ray_network_3\n",
        "magicv1 0000034 get ssconf_basic_v2ray_protocol_3\n",
        "magicv1 0000026 get ssconf_basic_server_3\n",
        "magicv1 0000024 get ssconf_basic_port_3\n",
        "magicv1 0000030 get ssconf_basic_v2ray_uuid_3\n",
        "magicv1 0000038 get ssconf_basic_v2ray_network_flow_3\n",
        "magicv1 0000033 get ssconf_basic_v2ray_network_3\n",
        "magicv1 0000042 get ssconf_basic_v2ray_network_security_3\n",
        "magicv1 0000041 get ssconf_basic_v2ray_network_tlshost_3\n",
        "magicv1 0000038 get ssconf_basic_v2ray_headtype_tcp_3\n",
        "magicv1 0000036 get ssconf_basic_v2ray_mux_enable_3\n",
    };
    EXPECT_EQ(daemon.requests(), expected);
}

// The command-line ports and transport list shape "inbound" and
// "inboundDetour"; the SOCKS detour needs "tcp" somewhere in the list.
TEST_F(V2rayTest, InboundAndDetourFromArguments)
{
    const std::string log = R"({ "log": { "error": "\/tmp\/xray.log", "loglevel": "warning" }, )";
    const std::string outbound =
        R"("outbound": { "protocol": "", "settings": { }, "streamSettings": { "network": "", "security": "" } } })" "\n";
    auto inbound = [](const std::string &port, const std::string &network) {
        return R"("inbound": { "port": )" + port + R"(, "protocol": "dokodemo-door", "settings": { "network": ")" +
               network + R"(", "followRedirect": true }, "sniffing": { "enabled": true, "destOverride": [ "http", "tls" ] } }, )";
    };
    auto detour = [](const std::string &port) {
        return R"("inboundDetour": [ { "protocol": "socks", "port": )" + port +
               R"(, "settings": { "auth": "noauth", "udp": true } } ], )";
    };
    struct ArgsCase {
        std::string local, second, proto, file;
    };
    const std::vector<ArgsCase> cases = {
        {"1080", "1081", "tcp,udp", log + inbound("1080", "tcp,udp") + detour("1081") + outbound},
        {"3333", "23456", "tcp", log + inbound("3333", "tcp") + detour("23456") + outbound},
        {"3333", "23456", "udp", log + inbound("3333", "udp") + outbound},
        {"3333", "23456", "udp,tcp", log + inbound("3333", "udp,tcp") + detour("23456") + outbound},
        {"3333", "23456", "TCP", log + inbound("3333", "TCP") + outbound},
        {"3333", "23456", "", log + inbound("3333", "") + outbound},
        {"3333", "23456", "xtcpx", log + inbound("3333", "xtcpx") + detour("23456") + outbound},
        {"3333", "23456", "tc", log + inbound("3333", "tc") + outbound},
        {"8080xyz", " 1081", "tcp", log + inbound("8080", "tcp") + detour("1081") + outbound},
        {"70000", "+65536", "tcp", log + inbound("70000", "tcp") + detour("65536") + outbound},
        {"1080", "1081", "tcp\"/\\", log + inbound("1080", "tcp\\\"\\/\\\\") + detour("1081") + outbound},
    };
    for (const ArgsCase &args : cases) {
        SCOPED_TRACE(args.local + " " + args.second + " \"" + args.proto + "\"");
        daemon.clear();
        daemon.set("ssconf_basic_node", "1\n");
        EXPECT_EQ(generate("2", args.local, args.second, args.proto), args.file);
        EXPECT_EQ(last.status, 0);
        EXPECT_EQ(last.err, "");
    }
}

// The driver only calls with both ports above 0, but the generator leaves out
// "inbound" and "inboundDetour" itself for a port of 0 or less.
TEST_F(V2rayTest, GeneratorWithoutPortsLeavesInboundsOut)
{
    const std::string log = R"({ "log": { "error": "\/tmp\/xray.log", "loglevel": "warning" }, )";
    const std::string inbound =
        R"("inbound": { "port": 1080, "protocol": "dokodemo-door", "settings": { "network": "tcp", "followRedirect": true }, "sniffing": { "enabled": true, "destOverride": [ "http", "tls" ] } }, )";
    const std::string detour =
        R"("inboundDetour": [ { "protocol": "socks", "port": 1081, "settings": { "auth": "noauth", "udp": true } } ], )";
    const std::string outbound =
        R"("outbound": { "protocol": "", "settings": { }, "streamSettings": { "network": "", "security": "" } } })" "\n";
    struct PortsCase {
        int local, second;
        std::string file;
    };
    for (const PortsCase &ports : std::vector<PortsCase>{{0, 1081, log + detour + outbound},
                                                         {-1, 1081, log + detour + outbound},
                                                         {1080, 0, log + inbound + outbound},
                                                         {1080, -5, log + inbound + outbound},
                                                         {0, 0, log + outbound},
                                                         {1080, 1081, log + inbound + detour + outbound}}) {
        SCOPED_TRACE(std::to_string(ports.local) + " " + std::to_string(ports.second));
        daemon.clear();
        remove(OUT);
        GeneratorArgs args{PROXY_V2RAY, 1, OUT, ports.local, ports.second, "tcp"};
        StoreSource source = store_daemon();
        GeneratorRun run = {&source, ""};
        EXPECT_EQ(write_v2ray_config(&args, &run), 0);
        EXPECT_EQ(read_file(OUT), ports.file);
        std::vector<std::string> expected = node_keys(1, {P, NS, N, P, N, NS, "v2ray_mux_enable"});
        expected.erase(expected.begin()); // the node index is the driver's lookup
        EXPECT_EQ(daemon.keys(), expected);
    }
}

TEST_F(V2rayTest, UnopenablePathWritesNothingAndSucceeds)
{
    store_v2ray_node(daemon, 3, {});
    RunResult run = run_tarvick({"2", "/tmp/missing/out.json", "1080", "1081", "tcp,udp"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
    EXPECT_FALSE(file_exists("/tmp/missing"));
    EXPECT_EQ(daemon.keys(), node_keys(3, {P, NS, N, P, "server", "port", "v2ray_uuid", "v2ray_alterid",
                                           "v2ray_security", N, NS, "v2ray_fingerprint", "v2ray_network_tlshost",
                                           "v2ray_network_path", "v2ray_network_host", "v2ray_mux_enable",
                                           "v2ray_mux_concurrency"}));
}

// A file already at the path is replaced whole, not appended to or merged.
TEST_F(V2rayTest, ExistingFileReplaced)
{
    write_file(OUT, std::string(5000, 'x') + "\n");
    store_v2ray_node(daemon, 3, {{P, UNSET}, {NS, UNSET}, {N, UNSET}, {"v2ray_mux_enable", "0"}});
    EXPECT_EQ(generate("2"),
              v2ray_file(R"({ "protocol": "", "settings": { }, "streamSettings": { "network": "", "security": "" } })"));
}

} // namespace
