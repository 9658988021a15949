// tarvick-node xray as shipped: whole files byte for byte, the refusals, and
// the keys it asks the daemon for against those tarvick 2 asks for.
#include "fixture.h"
#include "test_v2ray_node.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

const char P[] = "v2ray_protocol";
const char NS[] = "v2ray_network_security";
const char N[] = "v2ray_network";
const std::string PUBLIC_KEY = "el70dx_VqOCKThw0UQ13hzgyxMXvl7JE7Z10lEIj_Ro";
const std::string ENCRYPTION = "mlkem768x25519plus.native.0rtt.Id7baI9lw6oLE-_VTj1Kt5fLJSisKwsczXeMLUBuFn0";
const std::string PADDED = "mlkem768x25519plus.native.0rtt.100-111-1111." + ENCRYPTION.substr(31);
const std::string MLDSA = std::string(2602, 'A') + "w";
const std::string PIN = "e3:b0:c4:42:98:fc:1c:14:9a:fb:f4:c8:99:6f:b9:24:27:ae:41:e4:64:9b:93:4c:a4:95:99:1b:78:52:b8:55";

// tarvick's full node, made one current Xray takes: alterId 0, no flow, and
// the keys only this writer reads.
NodeFields xray_node(const NodeFields &changes)
{
    NodeFields fields = {{"v2ray_alterid", "0"},          {"v2ray_network_flow", ""},
                         {"v2ray_tls_alpn", ""},          {"v2ray_tls_pinned_sha256", ""},
                         {"v2ray_tls_verify_names", ""},  {"v2ray_reality_publickey", PUBLIC_KEY},
                         {"v2ray_reality_shortid", "0123abcd"}, {"v2ray_reality_spiderx", "/"},
                         {"v2ray_xhttp_mode", ""}};
    fields.insert(fields.end(), changes.begin(), changes.end());
    return fields;
}

// Current Xray's own kinds, every key of theirs set.
const std::string WG_KEY = "yAnz5TF+1XXJte14tji3zlMNq+hdKKHcVwAEUa5H9qg=";
const NodeFields HYSTERIA2 = {{P, "hysteria2"}, {N, "hysteria"}, {"v2ray_mux_enable", "0"}, {"v2ray_tls_alpn", "h3"},
                              {"v2ray_tls_pinned_sha256", PIN}, {"v2ray_hysteria_obfs_password", "gecko-pw"},
                              {"v2ray_hysteria_up", "100 mbps"}, {"v2ray_hysteria_down", "1 gbps"},
                              {"v2ray_hysteria_hop_ports", "443,5000-6000"}};
const NodeFields WIREGUARD = {{P, "wireguard"}, {N, ""}, {NS, ""}, {"v2ray_mux_enable", "0"}, {"server", "2001:db8::1"},
                              {"port", "51820"}, {"password", "eUFuejVURisxWFhKdGUxNHRqaTN6bE1OcStoZEtLSGNWd0FFVWE1SDlxZz0="},
                              {"v2ray_wireguard_address", "10.0.0.2/32, fd00::2/128"}, {"v2ray_wireguard_publickey", WG_KEY},
                              {"v2ray_wireguard_presharedkey", WG_KEY}, {"v2ray_wireguard_keepalive", "25"},
                              {"v2ray_wireguard_mtu", "1280"}, {"v2ray_wireguard_reserved", "1,2,3"}};

NodeFields operator+(const NodeFields &a, const NodeFields &b)
{
    NodeFields sum = a;
    sum.insert(sum.end(), b.begin(), b.end());
    return sum;
}

std::string xray_file(const std::string &outbound)
{
    return R"({ "log": { "error": "\/tmp\/xray.log", "loglevel": "warning" }, "inbounds": [ )"
           R"({ "tag": "transparent", "port": 1080, "protocol": "dokodemo-door", "settings": { "network": "tcp,udp", "followRedirect": true }, "sniffing": { "enabled": true, "destOverride": [ "http", "tls" ] } }, )"
           R"({ "tag": "socks", "protocol": "socks", "port": 1081, "settings": { "auth": "noauth", "udp": true } } ], )"
           R"("outbounds": [ { "tag": "proxy", )" + outbound + " } ] }\n";
}

const std::string VMESS = R"("settings": { "address": "v2.example.net", "port": 443, "id": "b831381d-6324-4d53-ad4f-8cda48b30811", )";
const std::string MUX = R"(, "mux": { "enabled": true, "concurrency": 8 })";

struct XrayCase {
    const char *name;
    NodeFields changes;
    std::string outbound;           // after "tag"
    std::vector<std::string> extra; // keys tarvick does not read, in order
    int type = 2;                   // the kind the settings tell, and tarvick's type for it
};

// Nodes without a V2Ray/Xray protocol: a Shadowsocks node has its method,
// a Trojan node neither that nor a ShadowsocksR protocol.
const NodeFields SS_NODE = {{P, UNSET}, {"use_kcp", "0"}, {"method", "aes-256-gcm"}, {"ss_obfs", "none"}};
const NodeFields TROJAN_NODE = {{P, UNSET}, {"ssl_verify_enable", "1"}, {"trojan_sni", "t.example.net"},
                                {"trojan_mp_enable", "0"}};
NodeFields with(NodeFields node, const NodeFields &changes)
{
    node.insert(node.end(), changes.begin(), changes.end());
    return node;
}
const std::string SS_2022_KEYS = "MDEyMzQ1Njc4OWFiY2RlZg==:ZmVkY2JhOTg3NjU0MzIxMA==";
const std::vector<std::string> PROBE = {P, "ssr_protocol", "method"};

const std::vector<XrayCase> XRAY_CASES = {
    {"vmess over tls and ws, with mux", {},
     R"("protocol": "vmess", )" + VMESS + R"("security": "auto" }, "streamSettings": { "network": "ws", "security": "tls", )"
     R"("tlsSettings": { "fingerprint": "chrome", "serverName": "sni.example.net" }, "wsSettings": { "path": "\/ray", "host": "cdn.example.net" } })" + MUX,
     {"v2ray_tls_alpn", "v2ray_tls_pinned_sha256", "v2ray_tls_verify_names", "v2ray_tls_ech_config"}},
    {"vless Vision over tls, alpn: no mux", {{P, "vless"}, {N, "tcp"}, {"v2ray_network_flow", "xtls-rprx-vision"},
     {"v2ray_headtype_tcp", "none"}, {"v2ray_tls_alpn", "h2, http/1.1"}},
     R"("protocol": "vless", )" + VMESS + R"("encryption": "none", "flow": "xtls-rprx-vision" }, "streamSettings": { "network": "tcp", "security": "tls", )"
     R"("tlsSettings": { "fingerprint": "chrome", "serverName": "sni.example.net", "alpn": [ "h2", "http\/1.1" ] } })",
     {"v2ray_vless_encryption", "v2ray_network_flow", "v2ray_tls_alpn", "v2ray_tls_pinned_sha256",
      "v2ray_tls_verify_names", "v2ray_tls_ech_config"}},
    {"vless over reality and xhttp", {{P, "vless"}, {NS, "reality"}, {N, "xhttp"}, {"v2ray_fingerprint", ""},
     {"v2ray_xhttp_mode", "packet-up"}},
     R"("protocol": "vless", )" + VMESS + R"("encryption": "none" }, "streamSettings": { "network": "xhttp", "security": "reality", )"
     R"("realitySettings": { "fingerprint": "", "serverName": "sni.example.net", "publicKey": ")" + PUBLIC_KEY + R"(", "shortId": "0123abcd", "spiderX": "\/" }, )"
     R"("xhttpSettings": { "path": "\/ray", "host": "cdn.example.net", "mode": "packet-up" } })" + MUX,
     {"v2ray_vless_encryption", "v2ray_network_flow", "v2ray_reality_publickey", "v2ray_reality_shortid",
      "v2ray_reality_spiderx", "v2ray_reality_mldsa65_verify", "v2ray_network_path", "v2ray_network_host",
      "v2ray_xhttp_mode", "v2ray_xhttp_extra"}},
    {"trojan over tls and grpc, pinned and named: multi mode, no mux",
     {{P, "trojan"}, {N, "grpc"}, {"v2ray_tls_pinned_sha256", PIN}, {"v2ray_tls_verify_names", "a.example.net, b.example.net"}},
     R"("protocol": "trojan", "settings": { "address": "v2.example.net", "port": 443, "password": "s3cret\/pw" }, "streamSettings": { "network": "grpc", "security": "tls", )"
     R"("tlsSettings": { "fingerprint": "chrome", "serverName": "sni.example.net", "pinnedPeerCertSha256": ")" + PIN + R"(", "verifyPeerCertByName": "a.example.net, b.example.net" }, )"
     R"("grpcSettings": { "serviceName": "GunService", "multiMode": true } })",
     {"v2ray_network_flow", "v2ray_tls_alpn", "v2ray_tls_pinned_sha256", "v2ray_tls_verify_names",
      "v2ray_tls_ech_config", "v2ray_grpc_authority"}},
    // The HTTP header's request path is the node's (tarvick sends "/").
    {"shadowsocks over tcp with the http header", {{P, "ss"}, {NS, "none"}, {N, "tcp"}},
     R"("protocol": "shadowsocks", "settings": { "address": "v2.example.net", "port": 443, "password": "s3cret\/pw", "method": "chacha20-ietf-poly1305" }, )"
     R"("streamSettings": { "network": "tcp", "security": "none", "tcpSettings": { "header": { "type": "http", "request": { "path": "\/ray", "headers": { "Host": "cdn.example.net" } } } } })" + MUX,
     {"v2ray_network_path"}},
    {"socks with an account over mkcp: V2Ray's wire format", {{P, "socks"}, {NS, "none"}, {N, "mkcp"}, {"v2ray_headtype_tcp", "none"}},
     R"("protocol": "socks", "settings": { "address": "v2.example.net", "port": 443, "user": "alice", "pass": "s3cret\/pw" }, "streamSettings": { "network": "mkcp", "security": "none", )"
     R"("kcpSettings": { "mtu": 1350, "tti": 50, "uplinkCapacity": 12, "downlinkCapacity": 100 }, "finalmask": { "udp": [ { "type": "mkcp-legacy" } ] } })" + MUX,
     {}},
    {"http without an account over httpupgrade", {{P, "http"}, {NS, "none"}, {N, "httpupgrade"}, {"auth", "0"},
     {"v2ray_network_path", UNSET}, {"v2ray_mux_enable", "0"}},
     R"("protocol": "http", "settings": { "address": "v2.example.net", "port": 443 }, )"
     R"("streamSettings": { "network": "httpupgrade", "security": "none", "httpupgradeSettings": { "host": "cdn.example.net" } })",
     {"v2ray_network_path", "v2ray_network_host"}},
    {"vless without TLS to a private address, plain grpc", {{P, "vless"}, {NS, ""}, {N, "grpc"}, {"server", "192.168.1.2"},
     {"v2ray_mux_enable", "0"}},
     R"("protocol": "vless", "settings": { "address": "192.168.1.2", "port": 443, "id": "b831381d-6324-4d53-ad4f-8cda48b30811", "encryption": "none" }, )"
     R"("streamSettings": { "network": "grpc", "security": "none", "grpcSettings": { "serviceName": "GunService", "multiMode": false } })",
     {"v2ray_vless_encryption", "v2ray_network_flow", "v2ray_grpc_authority"}},
    {"vless with VLESS Encryption, no TLS, to a public address", {{P, "vless"}, {NS, "none"}, {N, "tcp"},
     {"v2ray_headtype_tcp", "none"}, {"v2ray_vless_encryption", ENCRYPTION}, {"v2ray_mux_enable", "0"}},
     R"("protocol": "vless", )" + VMESS + R"("encryption": ")" + ENCRYPTION + R"(" }, "streamSettings": { "network": "tcp", "security": "none" })",
     {"v2ray_vless_encryption", "v2ray_network_flow"}},
    {"vless over tls and xhttp: extra as Xray reads it, ECH", {{P, "vless"}, {N, "xhttp"}, {"v2ray_tls_ech_config", "AAKrzQ=="},
     {"v2ray_xhttp_extra", R"({"xPaddingBytes":"100-1000","Xmux":{"maxConnections":"2-4"}})"}},
     R"("protocol": "vless", )" + VMESS + R"("encryption": "none" }, "streamSettings": { "network": "xhttp", "security": "tls", )"
     R"("tlsSettings": { "fingerprint": "chrome", "serverName": "sni.example.net", "echConfigList": "AAKrzQ==" }, )"
     R"("xhttpSettings": { "path": "\/ray", "host": "cdn.example.net", "extra": { "xPaddingBytes": "100-1000", "Xmux": { "maxConnections": "2-4" } } } })" + MUX,
     {"v2ray_vless_encryption", "v2ray_network_flow", "v2ray_tls_alpn", "v2ray_tls_pinned_sha256", "v2ray_tls_verify_names",
      "v2ray_tls_ech_config", "v2ray_network_path", "v2ray_network_host", "v2ray_xhttp_mode", "v2ray_xhttp_extra"}},
    {"trojan over reality and grpc: ML-DSA-65, authority", {{P, "trojan"}, {NS, "reality"}, {N, "grpc"},
     {"v2ray_reality_mldsa65_verify", MLDSA}, {"v2ray_grpc_authority", "a.example.net"}},
     R"("protocol": "trojan", "settings": { "address": "v2.example.net", "port": 443, "password": "s3cret\/pw" }, "streamSettings": { "network": "grpc", "security": "reality", )"
     R"("realitySettings": { "fingerprint": "chrome", "serverName": "sni.example.net", "publicKey": ")" + PUBLIC_KEY + R"(", "shortId": "0123abcd", "spiderX": "\/", "mldsa65Verify": ")" + MLDSA + R"(" }, )"
     R"("grpcSettings": { "serviceName": "GunService", "authority": "a.example.net", "multiMode": true } })",
     {"v2ray_network_flow", "v2ray_reality_publickey", "v2ray_reality_shortid", "v2ray_reality_spiderx",
      "v2ray_reality_mldsa65_verify", "v2ray_grpc_authority"}},
    {"vmess with empty security, fingerprint and server name", {{N, "tcp"}, {"v2ray_headtype_tcp", UNSET},
     {"v2ray_security", UNSET}, {"v2ray_fingerprint", UNSET}, {"v2ray_network_tlshost", ""}},
     R"("protocol": "vmess", )" + VMESS + R"("security": "auto" }, "streamSettings": { "network": "tcp", "security": "tls", "tlsSettings": { } })" + MUX,
     {"v2ray_tls_alpn", "v2ray_tls_pinned_sha256", "v2ray_tls_verify_names", "v2ray_tls_ech_config"}},
    {"hysteria2: Salamander, hopping and rates under finalmask", HYSTERIA2,
     R"("protocol": "hysteria", "settings": { "address": "v2.example.net", "port": 443, "version": 2 }, "streamSettings": { "network": "hysteria", "security": "tls", )"
     R"("tlsSettings": { "fingerprint": "chrome", "serverName": "sni.example.net", "alpn": [ "h3" ], "pinnedPeerCertSha256": ")" + PIN + R"(" }, )"
     R"("hysteriaSettings": { "version": 2, "auth": "s3cret\/pw" }, "finalmask": { "udp": [ { "type": "salamander", "settings": { "password": "gecko-pw" } } ], )"
     R"("quicParams": { "brutalUp": "100 mbps", "brutalDown": "1 gbps", "udpHop": { "ports": "443,5000-6000" } } } })",
     {"server", "port", "v2ray_tls_alpn", "v2ray_tls_pinned_sha256", "v2ray_tls_verify_names", "v2ray_tls_ech_config",
      "password",
      "v2ray_hysteria_obfs_password", "v2ray_hysteria_up", "v2ray_hysteria_down", "v2ray_hysteria_hop_ports"}},
    {"hysteria2 bare: no final mask", {{P, "hysteria2"}, {N, "hysteria"}, {"v2ray_mux_enable", "0"}},
     R"("protocol": "hysteria", "settings": { "address": "v2.example.net", "port": 443, "version": 2 }, "streamSettings": { "network": "hysteria", "security": "tls", )"
     R"("tlsSettings": { "fingerprint": "chrome", "serverName": "sni.example.net" }, "hysteriaSettings": { "version": 2, "auth": "s3cret\/pw" } })",
     {"server", "port", "v2ray_tls_alpn", "v2ray_tls_pinned_sha256", "v2ray_tls_verify_names", "v2ray_tls_ech_config",
      "password",
      "v2ray_hysteria_obfs_password", "v2ray_hysteria_up", "v2ray_hysteria_down", "v2ray_hysteria_hop_ports"}},
    {"wireguard: the server is the one peer", WIREGUARD,
     R"("protocol": "wireguard", "settings": { "secretKey": ")" + WG_KEY + R"(", "address": [ "10.0.0.2\/32", "fd00::2\/128" ], "peers": [ { "endpoint": "[2001:db8::1]:51820", )"
     R"("publicKey": ")" + WG_KEY + R"(", "preSharedKey": ")" + WG_KEY + R"(", "keepAlive": 25 } ], "mtu": 1280, "reserved": [ 1, 2, 3 ] })",
     {"server", "port", "password", "v2ray_wireguard_address", "v2ray_wireguard_publickey", "v2ray_wireguard_presharedkey",
      "v2ray_wireguard_keepalive", "v2ray_wireguard_mtu", "v2ray_wireguard_reserved"}},
    {"Shadowsocks node (type 0)", with(SS_NODE, {{"use_kcp", UNSET}, {"ss_obfs", UNSET}}),
     R"("protocol": "shadowsocks", "settings": { "address": "v2.example.net", "port": 443, "password": "s3cret\/pw", "method": "aes-256-gcm" })",
     {}, 0},
    {"Shadowsocks 2022 node: server and user keys, one password",
     with(SS_NODE, {{"method", "2022-blake3-aes-128-gcm"}, {"password", "TURFeU16UTFOamM0T1dGaVkyUmxaZz09OlptVmtZMkpoT1RnM05qVTBNekl4TUE9PQ=="}}),
     R"("protocol": "shadowsocks", "settings": { "address": "v2.example.net", "port": 443, "password": ")" + SS_2022_KEYS + R"(", "method": "2022-blake3-aes-128-gcm" })",
     {}, 0},
    {"Trojan node (type 3), verified by its server name", TROJAN_NODE,
     R"("protocol": "trojan", "settings": { "address": "v2.example.net", "port": 443, "password": "s3cret\/pw" }, )"
     R"("streamSettings": { "security": "tls", "tlsSettings": { "serverName": "t.example.net" } })",
     {"v2ray_tls_pinned_sha256", "v2ray_tls_verify_names"}, 3},
    {"Trojan node not verifying, pinned and named, without a name: the address", with(TROJAN_NODE,
     {{"ssl_verify_enable", "0"}, {"trojan_sni", ""}, {"v2ray_tls_pinned_sha256", PIN}, {"v2ray_tls_verify_names", "a.example.net"}}),
     R"("protocol": "trojan", "settings": { "address": "v2.example.net", "port": 443, "password": "s3cret\/pw" }, )"
     R"("streamSettings": { "security": "tls", "tlsSettings": { "pinnedPeerCertSha256": ")" + PIN + R"(", "verifyPeerCertByName": "a.example.net" } })",
     {"v2ray_tls_pinned_sha256", "v2ray_tls_verify_names"}, 3},
};

// The keys of a run, without the node index and each per-node key's prefix
// and suffix.
std::vector<std::string> fields_read(FakeDaemon &daemon, int node)
{
    std::vector<std::string> fields;
    for (const std::string &key : daemon.keys())
        if (key != "ssconf_basic_node")
            fields.push_back(key.substr(13, key.size() - 13 - std::to_string(node).size() - 1));
    return fields;
}

std::vector<std::string> only_in(const std::vector<std::string> &keys, const std::vector<std::string> &other, bool in)
{
    std::vector<std::string> out;
    for (const std::string &key : keys)
        if ((std::find(other.begin(), other.end(), key) != other.end()) == in)
            out.push_back(key);
    return out;
}

class XrayTest : public TarvickTest {
protected:
    std::vector<std::string> run(const NodeFields &changes, const std::vector<std::string> &args)
    {
        daemon.clear();
        store_v2ray_node(daemon, 3, xray_node(changes));
        last = run_tarvick_node(args);
        return fields_read(daemon, 3);
    }
    std::vector<std::string> xray(const NodeFields &changes)
    {
        return run(changes, {"xray", OUT, "1080", "1081", "tcp,udp"});
    }
};

// The whole file, and the keys: tarvick 2's for the same node (a REALITY
// node read as a TLS one, which tarvick can write) in its order, with the
// keys one of the two does not need left out, and this writer's own keys.
TEST_F(XrayTest, WholeFilesAndTarvicksKeyOrder)
{
    for (const XrayCase &row : XRAY_CASES) {
        SCOPED_TRACE(row.name);
        std::vector<std::string> keys = xray(row.changes);
        EXPECT_EQ(read_file(OUT), xray_file(row.outbound));
        EXPECT_EQ(last.status, 0);
        EXPECT_EQ(last.out + last.err, "");
        // Other kinds are told first; their own lookups follow whole.
        if (row.type != 2) {
            ASSERT_GE(keys.size(), PROBE.size());
            EXPECT_EQ(std::vector<std::string>(keys.begin(), keys.begin() + 3), PROBE);
            keys.erase(keys.begin(), keys.begin() + 3);
        }

        NodeFields as_tarvick = row.changes;
        for (auto &field : as_tarvick)
            if (field.first == NS && field.second == "reality")
                field.second = "tls";
        daemon.clear();
        store_v2ray_node(daemon, 3, xray_node(as_tarvick));
        EXPECT_EQ(run_tarvick({std::to_string(row.type), "/tmp/tarvick.json", "1080", "1081", "tcp,udp"}).status, 0);
        std::vector<std::string> tarvick = fields_read(daemon, 3);
        EXPECT_EQ(only_in(keys, tarvick, true), only_in(tarvick, keys, true));
        EXPECT_EQ(only_in(keys, tarvick, false), row.extra);
    }
}

// One line naming the key, status 1, the file left as it was. A value that
// is not one of the classifying texts is refused with the very keys a value
// it takes is read with ("fine").
TEST_F(XrayTest, RefusalsLeaveTheFileAndReadTheSameKeys)
{
    struct Refusal {
        NodeFields changes;
        const char *fine; // for the last change's field; NULL: it decides what is read
        std::string line;
    };
    const std::string K = "tarvick-node: ssconf_basic_";
    const std::vector<Refusal> refusals = {
        {{{P, "VLESS"}}, NULL, K + "v2ray_protocol_3 is not vmess, vless, trojan, ss, socks or http: set it to the server's protocol"},
        {{{NS, "xtls"}}, NULL, K + "v2ray_network_security_3 is xtls, which current Xray no longer has: set it to tls or reality, with the vless flow xtls-rprx-vision"},
        {{{NS, "TLS"}}, NULL, K + "v2ray_network_security_3 is not none, tls or reality: set it to the server's security"},
        {{{N, "quic"}}, NULL, K + "v2ray_network_3 is HTTP/2 or QUIC, which current Xray no longer has: use xhttp, or what else the server offers"},
        {{{N, "h2"}}, NULL, K + "v2ray_network_3 is HTTP/2 or QUIC, which current Xray no longer has: use xhttp, or what else the server offers"},
        {{{N, "kcp"}}, NULL, K + "v2ray_network_3 is not tcp, mkcp, ws, grpc, xhttp or httpupgrade: set it to the server's transport"},
        {{{NS, "reality"}}, NULL, K + "v2ray_network_3 is not tcp, xhttp or grpc, the transports REALITY runs over: set one of them"},
        {{{N, "mkcp"}, {"v2ray_headtype_tcp", "srtp"}}, NULL, K + "v2ray_headtype_tcp_3 is an mKCP header type, and current Xray's mKCP takes none: set it to none, with a server without one"},
        {{{N, "tcp"}, {"v2ray_headtype_tcp", "HTTP"}}, NULL, K + "v2ray_headtype_tcp_3 is not none or http: set the server's header type"},
        {{{"v2ray_alterid", "4"}}, "0", K + "v2ray_alterid_3 is not 0, and current Xray speaks VMess AEAD only: set it to 0, with a server that takes AEAD"},
        {{{"v2ray_security", "none"}}, "chacha20-poly1305", K + "v2ray_security_3 is not auto, aes-128-gcm or chacha20-poly1305, and Xray would use auto: set it to one of them"},
        {{{"v2ray_uuid", "b831381d6324-4d53-ad4f-8cda48b3081x"}}, "b831381d6324-4d53-ad4f-8cda48b30811", K + "v2ray_uuid_3 is neither a UUID nor a text of 1 to 30 bytes, and Xray refuses it: set it to the server's user id"},
        {{{"server", ""}}, "v2.example.net", K + "server_3 is empty: set it to the server's address"},
        {{{"server", "env:SERVER"}}, "v2.example.net", K + "server_3 begins with env:, and Xray would take the address from its environment: set the server's address"},
        {{{"port", "65536"}}, "65535", K + "port_3 is not 1 to 65535: set it to the server's port"},
        {{{P, "vless"}, {N, "tcp"}, {"v2ray_network_flow", "xtls-rprx-direct"}}, "xtls-rprx-vision-udp443", K + "v2ray_network_flow_3 is not xtls-rprx-vision or xtls-rprx-vision-udp443, the flows current Xray has: set one of them, or empty it"},
        {{{P, "vless"}, {"v2ray_network_flow", "xtls-rprx-vision"}}, "", K + "v2ray_network_flow_3 is Vision, which runs only over tls or reality on network tcp: empty it, or set those"},
        {{{P, "trojan"}, {"v2ray_network_flow", "xtls-rprx-vision"}}, "", K + "v2ray_network_flow_3 is set, and current Xray has no Trojan flow: empty it (Vision is a vless flow)"},
        {{{P, "trojan"}, {"password", ""}}, "czNjcmV0L3B3", K + "password_3 is empty, and Xray refuses it: set the server's password"},
        {{{P, "ss"}, {"v2ray_ss_method", "rc4-md5"}}, "AEAD_AES_256_GCM", K + "v2ray_ss_method_3 is not a cipher current Xray has (aes-128-gcm, aes-256-gcm, chacha20-ietf-poly1305, xchacha20-ietf-poly1305, 2022-blake3-*): set the server's method"},
        {{{P, "ss"}, {"v2ray_ss_method", "2022-blake3-aes-128-gcm"}, {"password", "czNjcmV0L3B3"}}, "QUFBQUFBQUFBQUFBQUFBQUFBQUFBQT09",
         K + "password_3 is not a Shadowsocks 2022 key (standard Base64 of the method's key size, keys joined by colons), and Xray refuses it: set the server's key"},
        {{{P, "vless"}, {NS, "none"}, {"server", "10.0.0.1.example.net"}}, "10.0.0.1", K + "v2ray_network_security_3 is none, and Xray refuses vless and trojan without TLS to a public address: set it to tls or reality"},
        {{{P, "socks"}, {"username", ""}}, "alice", K + "username_3 is empty with auth on, and Xray would then send no account: set the username, or auth to 0"},
        {{{"v2ray_fingerprint", "disable"}}, "HelloChrome_Auto", K + "v2ray_fingerprint_3 is not a fingerprint current Xray knows (such as chrome, firefox, safari, random; disable is gone): set one, or empty it for chrome"},
        {{{NS, "reality"}, {N, "tcp"}, {"v2ray_fingerprint", "unsafe"}}, "random", K + "v2ray_fingerprint_3 is not a uTLS fingerprint REALITY can use (such as chrome, firefox, safari, random): set one, or empty it for chrome"},
        {{{"v2ray_network_tlshost", "fromMitm"}}, "", K + "v2ray_network_tlshost_3 is fromMitm, which Xray takes from an inbound's TLS this document has not: set the server name"},
        {{{"v2ray_tls_alpn", "h2,,http/1.1"}}, "h2", K + "v2ray_tls_alpn_3 is not a comma-separated list of protocol names (such as h2,http/1.1): set one, or empty it"},
        {{{"v2ray_tls_pinned_sha256", PIN + ",abcd"}}, PIN.c_str(), K + "v2ray_tls_pinned_sha256_3 is not a comma-separated list of SHA-256 hashes (64 hex digits, colons allowed), and Xray refuses it: set the hashes of the server's certificate or its CA"},
        {{{"v2ray_tls_verify_names", "a.example.net, "}}, "a.example.net", K + "v2ray_tls_verify_names_3 holds an empty name: set a comma-separated list of the names the certificate is for"},
        {{{NS, "reality"}, {N, "grpc"}, {"v2ray_reality_publickey", PUBLIC_KEY + "="}}, PUBLIC_KEY.c_str(), K + "v2ray_reality_publickey_3 is not a REALITY public key (43 characters of URL-safe Base64, as xray x25519 prints it): set the server's"},
        {{{NS, "reality"}, {N, "grpc"}, {"v2ray_reality_shortid", "abc"}}, "", K + "v2ray_reality_shortid_3 is not an even number of hex digits, at most 16: set one of the server's short ids"},
        {{{NS, "reality"}, {N, "grpc"}, {"v2ray_reality_spiderx", "x"}}, "", K + "v2ray_reality_spiderx_3 does not begin with /: set a path, or empty it"},
        {{{N, "xhttp"}, {"v2ray_xhttp_mode", "Auto"}}, "stream-up", K + "v2ray_xhttp_mode_3 is not auto, packet-up, stream-up or stream-one: set the server's mode, or empty it for auto"},
        {{{P, "vless"}, {"v2ray_vless_encryption", ENCRYPTION + ".100-111-1111"}}, PADDED.c_str(), K + "v2ray_vless_encryption_3 is not none or mlkem768x25519plus.native, xorpub or random, .1rtt or .0rtt, paddings, and the server's X25519 or ML-KEM-768 keys, as xray vlessenc prints it, and Xray refuses it: set the server's encryption"},
        {{{N, "xhttp"}, {"v2ray_xhttp_extra", R"({"noSSEHeader":1})"}}, R"({"noSSEHeader":true})", K + "v2ray_xhttp_extra_3 member noSSEHeader is not true or false, and Xray refuses it"},
        {{{N, "xhttp"}, {"v2ray_xhttp_extra", R"({"xmux":{"maxConcurrency":2,"maxConnections":2}})"}}, R"({"xmux":{"maxConcurrency":2}})", K + "v2ray_xhttp_extra_3 member xmux gives both maxConcurrency and maxConnections, and Xray refuses them together"},
        {{{N, "xhttp"}, {"v2ray_xhttp_extra", R"({"sessionIDTable":"hex","sessionIDLength":"1-7"})"}}, R"({"sessionIDTable":"hex","sessionIDLength":"1-8"})", K + "v2ray_xhttp_extra_3 member sessionIDTable and sessionIDLength give fewer than 2^31 session ids, and Xray refuses them"},
        {{{N, "xhttp"}, {"v2ray_xhttp_extra", R"({"xmux":{"gone":1}})"}}, R"({"xmux":{}})", K + "v2ray_xhttp_extra_3 member xmux.gone is not one Xray reads: remove it"},
        {{{N, "xhttp"}, {"v2ray_xhttp_extra", "{"}}, "", K + "v2ray_xhttp_extra_3 is not JSON, and Xray refuses it: set the server's extra settings as a JSON object, or empty it"},
        {{{NS, "reality"}, {N, "grpc"}, {"v2ray_reality_mldsa65_verify", MLDSA + "A"}}, MLDSA.c_str(), K + "v2ray_reality_mldsa65_verify_3 is not an ML-DSA-65 public key (2603 characters of URL-safe Base64, as xray mldsa65 prints it), and Xray refuses it: set the server's, or empty it"},
        {{{"v2ray_tls_ech_config", "tls://1.1.1.1"}}, "sni.example.net+udp://1.1.1.1", K + "v2ray_tls_ech_config_3 names a DNS server that is not https://, h2c:// or udp://: set one, or the ECHConfigList in Base64"},
        {{{"v2ray_mux_concurrency", "-1"}}, "1024", K + "v2ray_mux_concurrency_3 is not 0 to 1024 (Xray turns multiplexing off below 0): set it, or 0 for 8"},
        {{{P, "hysteria2"}, {N, "tcp"}, {"v2ray_mux_enable", "0"}}, NULL, K + "v2ray_network_3 is not hysteria, the one transport of protocol hysteria2: set it to hysteria"},
        {{{N, "hysteria"}}, NULL, K + "v2ray_network_3 is hysteria, which carries protocol hysteria2 only: set the server's transport"},
        {{{P, "hysteria2"}, {N, "hysteria"}, {NS, "none"}, {"v2ray_mux_enable", "0"}}, NULL, K + "v2ray_network_security_3 is not tls, and Hysteria runs over TLS only: set it to tls"},
        {{{P, "hysteria2"}, {N, "hysteria"}, {"v2ray_mux_enable", "1"}}, NULL, K + "v2ray_mux_enable_3 is 1, and tarvick-node xray writes no mux for hysteria2 or wireguard, which carry each connection themselves: set it to 0"},
        {HYSTERIA2 + NodeFields{{"v2ray_hysteria_obfs_password", "abc"}}, "abcd", K + "v2ray_hysteria_obfs_password_3 is shorter than 4 bytes, and Salamander refuses it: set the server's obfuscation password"},
        {HYSTERIA2 + NodeFields{{"v2ray_hysteria_hop_ports", "443,6000-5000"}}, "1-65535", K + "v2ray_hysteria_hop_ports_3 is not a comma-separated list of ports and ranges (such as 443,5000-6000): set the server's, or empty it"},
        {HYSTERIA2 + NodeFields{{"v2ray_hysteria_up", "100"}}, "0.5 MBps", K + "v2ray_hysteria_up_3 is not a rate of at least 512 kbps (such as 100 mbps): set one, or empty it"},
        {HYSTERIA2 + NodeFields{{"v2ray_hysteria_down", "10 mbit"}}, "", K + "v2ray_hysteria_down_3 is not a rate of at least 512 kbps (such as 100 mbps): set one, or empty it"},
        {WIREGUARD + NodeFields{{N, "tcp"}}, NULL, K + "v2ray_network_3 is set, and WireGuard sends its own packets over no transport of Xray's: empty it"},
        {WIREGUARD + NodeFields{{NS, "tls"}}, NULL, K + "v2ray_network_security_3 is not none, and WireGuard has its own encryption: set it to none"},
        {WIREGUARD + NodeFields{{"password", "c2hvcnQ="}}, "MDEyMzQ1Njc4OWFiY2RlZjAxMjM0NTY3ODlhYmNkZWYwMTIzNDU2Nzg5YWJjZGVmMDEyMzQ1Njc4OWFiY2RlZg==", K + "password_3 is not a WireGuard private key (44 characters of Base64, or 64 hex digits): set the node's"},
        {WIREGUARD + NodeFields{{"v2ray_wireguard_publickey", ""}}, "yAnz5TF-1XXJte14tji3zlMNq-hdKKHcVwAEUa5H9qg", K + "v2ray_wireguard_publickey_3 is not a WireGuard key (44 characters of Base64, or 64 hex digits): set the server's public key"},
        {WIREGUARD + NodeFields{{"v2ray_wireguard_address", "10.0.0.2/33"}}, "10.0.0.2", K + "v2ray_wireguard_address_3 is not a comma-separated list of IP addresses (such as 10.0.0.2/32): set those the server gave"},
        {WIREGUARD + NodeFields{{"v2ray_wireguard_reserved", "0,0,256"}}, "", K + "v2ray_wireguard_reserved_3 is not three bytes (such as 0,0,0), and Xray refuses it: set the server's, or empty it"},
        {WIREGUARD + NodeFields{{"v2ray_wireguard_mtu", "0"}}, "65535", K + "v2ray_wireguard_mtu_3 is not a whole number from 1 to 65535: set it, or empty it for 1420"},
        {WIREGUARD + NodeFields{{"v2ray_wireguard_keepalive", "65536"}}, "0", K + "v2ray_wireguard_keepalive_3 is not a whole number of seconds from 0 to 65535: set it, or empty it"},
        {WIREGUARD + NodeFields{{"port", "0"}}, "1", K + "port_3 is not 1 to 65535: set it to the server's port"},
        {with(SS_NODE, {{"ssr_protocol", "origin"}}), NULL, K + "ssr_protocol_3 is set: a ShadowsocksR node, which Xray does not run: run it with tarvick 1"},
        {with(SS_NODE, {{"ss_obfs", "obfs-local"}}), NULL, K + "ss_obfs_3 names a plugin, and Xray runs no SIP003 plugin: set it to none, with a server without one"},
        {with(SS_NODE, {{"use_kcp", "1"}}), NULL, K + "use_kcp_3 is 1, and Xray cannot reach the server through the KCP tunnel: set it to 0, with the server's own address and port"},
        {with(SS_NODE, {{"method", "rc4-md5"}}), "AES-128-GCM", K + "method_3 is not a cipher current Xray has (aes-128-gcm, aes-256-gcm, chacha20-ietf-poly1305, xchacha20-ietf-poly1305, 2022-blake3-*): set the server's method"},
        {with(SS_NODE, {{"method", "2022-blake3-aes-256-gcm"}, {"password", "TURFeU16UTFOamM0T1dGaVkyUmxaZz09OlptVmtZMkpoT1RnM05qVTBNekl4TUE9PQ=="}}), NULL,
         K + "password_3 is not a Shadowsocks 2022 key (standard Base64 of the method's key size, keys joined by colons), and Xray refuses it: set the server's key"},
        {with(TROJAN_NODE, {{"ssl_verify_enable", "0"}}), "1", K + "ssl_verify_enable_3 is not 1, and Xray always verifies the certificate: set it to 1, or pin the certificate (ssconf_basic_v2ray_tls_pinned_sha256) or name what it is for (ssconf_basic_v2ray_tls_verify_names)"},
        {with(TROJAN_NODE, {{"trojan_sni", "FromMitm"}}), "", K + "trojan_sni_3 is fromMitm, which Xray takes from an inbound's TLS this document has not: set the server name"},
        {with(TROJAN_NODE, {{"password", ""}}), "czNjcmV0L3B3", K + "password_3 is empty, and Xray refuses it: set the server's password"},
        {with(TROJAN_NODE, {{"trojan_mp_enable", "1"}}), NULL, K + "trojan_mp_enable_3 is 1, and Xray's multiplexing is not trojan-go's: set it to 0"},
    };
    for (const Refusal &refusal : refusals) {
        SCOPED_TRACE(refusal.line);
        write_file(OUT, "the client's previous file\n");
        std::vector<std::string> keys = xray(refusal.changes);
        EXPECT_EQ(last.status, 1);
        EXPECT_EQ(last.out, "");
        EXPECT_EQ(last.err, refusal.line + "\n");
        EXPECT_EQ(read_file(OUT), "the client's previous file\n");
        if (refusal.fine) {
            NodeFields fine = refusal.changes;
            fine.back().second = refusal.fine;
            EXPECT_EQ(xray(fine), keys);
            EXPECT_EQ(last.status, 0) << last.err;
        }
    }
}

// VLESS and Trojan go without TLS only to what Xray counts as private.
TEST_F(XrayTest, PrivateAddressesAsXrayReadsThem)
{
    const std::vector<std::pair<std::string, bool>> addresses = {
        {"127.0.0.1", true},      {"[::1]", true},          {" 10.1.2.3 ", true},     {"100.64.0.1", true},
        {"169.254.9.9", true},    {"172.31.255.255", true}, {"192.168.0.1", true},    {"fd00::1", true},
        {"fe80::1", true},        {"::ffff:192.168.0.1", true}, {"LocalHost.", true}, {"nas.lan", true},
        {"router", true},         {"printer.home.arpa", true}, {"0.1.2.3", true},     {"224.0.0.1", true},
        {"8.8.8.8", false},       {"172.32.0.1", false},    {"100.128.0.1", false},   {"2001:db8::1", false},
        {"::ffff:8.8.8.8", false}, {"::127.0.0.1", false},  {"010.0.0.1", false},     {"lan.example.com", false},
        {"router-", false},       {"1router", false},       {"fe80::1%eth0", false},  {"notlan", true},
    };
    for (const auto &address : addresses) {
        SCOPED_TRACE(address.first);
        xray({{P, "trojan"}, {NS, "none"}, {N, "tcp"}, {"server", address.first}});
        EXPECT_EQ(last.status, address.second ? 0 : 1) << last.err;
    }
}

// tarvick 2's command line: usage on stdout with status 0 before any lookup,
// 0 for a path that cannot be opened, 1 when the daemon cannot be reached.
TEST_F(XrayTest, CommandAsTarvick2)
{
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"xray"}, {"xray", OUT, "1080", "1081"}, {"xray", OUT, "0", "1081", "tcp"}, {"xray", OUT, "1080", "-1", "tcp"},
             {"xray", OUT, "1080", "1081", "tcp", "extra"}}) {
        EXPECT_EQ(run({}, args), std::vector<std::string>{});
        EXPECT_EQ(last.out.rfind("tarvick-node xray $conf_file $local_port $socks_port $proto\n"
                                 "Feedback bugs on the website : ", 0), 0u) << last.out;
        EXPECT_EQ(last.status, 0);
        EXPECT_FALSE(file_exists(OUT));
    }
    run({{P, "vless"}, {NS, "tls"}, {N, "tcp"}}, {"xray", "/tmp/missing/out.json", "1080", "1081", "tcp"});
    EXPECT_EQ(last.status, 0);
    EXPECT_EQ(last.out + last.err, "");
    daemon.stop();
    RunResult down = run_tarvick_node({"xray", OUT, "1080", "1081", "tcp"});
    EXPECT_EQ(down.status, 1);
    EXPECT_EQ(down.err.rfind("connect to brimd error: ", 0), 0u) << down.err;
    EXPECT_FALSE(file_exists(OUT));
}

} // namespace
