// tarvick-node check as shipped: for a node served by the fake daemon, the
// whole output and exit status, read with tarvick's own lookups; and with
// --client, what a stub client's version and its own verdict make of it.
#include "../src/node/node.h"
#include "fixture.h"

#include <dirent.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

typedef std::vector<std::string> Lines;

const std::string ID = "6f3c2a4e-8d1b-4c7a-9e55-0b2d7f1a3c90";
const std::string USAGE = "usage: tarvick-node import [--first N] [--xray] [FILE|-]\n"
                          "       tarvick-node export TYPE|xray [NODE] [--qr]\n"
                          "       tarvick-node check TYPE|xray [NODE] [--client PATH]\n"
                          "       tarvick-node xray $conf_file $local_port $socks_port $proto\n";

std::string fine(const std::string &client)
{
    return "fine " + client + ": node 5 loads and carries its traffic as far as these rules know\n";
}

// Lines several outputs share.
const std::string SS_RUST =
    "note shadowsocks-rust before v1.10.4: the client reads \"protocol\" (the socks or redir role) only from v1.10.4 "
    "(no setting changes it): use v1.10.4 or later\n"
    "note shadowsocks-rust: the client ignores \"reuse_port\" (no setting changes it): nothing to do\n";
const std::string TROJAN_GO =
    "note trojan-go: the client ignores \"cipher_tls13\", \"curve\", \"session_ticket\" and the \"tcp\" reuse and "
    "fast-open members, drops the OpenSSL-style names of \"cipher\" and sends no ALPN (no setting changes it): "
    "nothing to do: it uses its own defaults\n";
const std::string VERIFY = "note Trojan 1.16: verification is on: the server's certificate must be valid for the "
                           "server name (ssconf_basic_trojan_sni_5): check it matches the server\n";
const std::string LEGACY_TEXT =
    "the client reads only \"inbounds\" and \"outbounds\" and silently ignores \"inbound\", \"inboundDetour\" and "
    "\"outbound\", which tarvick writes: it starts with no inbound and no outbound (no setting changes it): use an "
    "Xray before v24.9.7, or V2Ray\n";
const std::string LEGACY = "note Xray v24.9.7 and later: " + LEGACY_TEXT;
const std::string KCP_HEADER_TEXT = "any mKCP \"header\" stops the client, and tarvick always writes one "
                                    "(ssconf_basic_v2ray_network_5): use another transport\n";
const std::string INSECURE_TEXT = "\"allowInsecure\", which tarvick always writes with TLS, stops the client";
const std::string INSECURE_TODO = " (no setting changes it): use another Xray release\n";
// Past 2026-06-01 the releases that first only warned stop at it too.
const std::string INSECURE = "note Xray v26.1.31 and later, before v26.2.3: " + INSECURE_TEXT + INSECURE_TODO +
                             "note Xray v26.2.3 and later, before v26.6.22: " + INSECURE_TEXT + " since 2026-06-01" +
                             INSECURE_TODO + "note Xray v26.6.22 and later: " + INSECURE_TEXT + INSECURE_TODO;
const std::string DISABLE_TEXT = "\"fingerprint\": \"disable\" (written when no fingerprint is stored) stops the "
                                 "client at \"unknown fingerprint: disable\" (ssconf_basic_v2ray_fingerprint_5): set a "
                                 "fingerprint such as chrome\n";

std::string v2(const std::string &protocol, const std::string &network, const std::string &security)
{
    return "v2ray_protocol=" + protocol + " v2ray_network=" + network + " v2ray_network_security=" + security +
           " server=192.0.2.1 port=443 v2ray_uuid=" + ID + " v2ray_headtype_tcp=none ";
}

struct CheckCase {
    std::string type;
    std::string fields; // "field=value" settings of node 5, blank-separated
    std::string out;
    int status;
    bool ca_bundle = false;
};

class NodeCheckTest : public TarvickTest {
protected:
    void serve(const std::string &fields, const std::string &active = "")
    {
        daemon.clear();
        for (size_t at = 0, end; at < fields.size(); at = end + 1) {
            end = std::min(fields.find(' ', at), fields.size());
            size_t equals = fields.find('=', at);
            if (equals < end)
                daemon.set("ssconf_basic_" + fields.substr(at, equals - at) + "_5",
                           fields.substr(equals + 1, end - equals - 1));
        }
        if (!active.empty())
            daemon.set("ssconf_basic_node", active + "\n");
    }
    // A client that says it is this Xray and answers -test with this status.
    std::string stub_xray(const std::string &version, int status)
    {
        write_file("/tmp/xray", "#!/bin/sh\n[ \"$1\" = -version ] && { echo 'Xray " + version +
                                    " (Xray, Penetrates Everything.) Custom (go1.21.4 linux/amd64)'; exit 0; }\n" +
                                    (status ? "echo 'Failed to start: main: unknown fingerprint: disable'\n"
                                            : "echo 'Configuration OK.'\n") +
                                    "exit " + std::to_string(status) + "\n");
        chmod("/tmp/xray", 0755);
        return "/tmp/xray";
    }
};

TEST_F(NodeCheckTest, FindingsTable)
{
    // A plugin that is there, on the PATH the tool is run with.
    mkdir("/tmp/bin", 0755);
    write_file("/tmp/bin/tarvick-test-plugin", "#!/bin/sh\n");
    chmod("/tmp/bin/tarvick-test-plugin", 0755);
    setenv("PATH", ("/tmp/bin:" + std::string(getenv("PATH"))).c_str(), 1);
    const std::string ss = "server=192.0.2.1 port=8388 password=cHc= ss_obfs_host=obfs=http method=";
    const std::string tj = "server=192.0.2.1 port=443 password=cHc= ssl_verify_enable=";
    const std::vector<CheckCase> cases = {
        {"0", ss + "aes-256-gcm ss_obfs=none", SS_RUST + fine("ss-libev 3"), 0},
        {"0", ss + "aes-256-gcm ss_obfs=tarvick-test-plugin", SS_RUST + fine("ss-libev 3"), 0},
        {"0", ss + "2022-blake3-aes-128-gcm",
         "refused ss-libev 3: the client does not know this method (\"invalid cipher name\") and stops "
         "(ssconf_basic_method_5): use a method ss-libev knows, such as aes-256-gcm or chacha20-ietf-poly1305\n" +
         SS_RUST, 1},
        {"0", ss + "aes-256-gcm ss_obfs=tarvick-no-such-plugin",
         "refused ss-libev 3: the plugin is not installed here (not found on PATH), and the client stops when it "
         "cannot start it (ssconf_basic_ss_obfs_5): install the plugin, or set it to none\n" + SS_RUST, 1},
        {"1", ss + "aes-128-cfb ssr_protocol=origin ssr_obfs=plain",
         fine("ShadowsocksR clients (no rule known to stop them)"), 0},
        {"2", v2("vmess", "tcp", "none"), LEGACY + fine("V2Ray 4"), 0},
        // The clients' other names for a transport, in any case.
        {"2", v2("vmess", "DS", "none"), LEGACY + fine("V2Ray 4"), 0},
        {"2", v2("vmess", "websocket", "none"), LEGACY + fine("V2Ray 4"), 0},
        // Each V2Ray 4 rule, with the Xray notes the same node draws.
        {"2", v2("vmess", "mkcp", "none") + "v2ray_headtype_tcp=",
         "refused V2Ray 4: the mKCP header type is empty, and the client stops at \"unknown config id: \" "
         "(ssconf_basic_v2ray_headtype_tcp_5): set it to none, or to the header type the server uses\n" + LEGACY +
         "note Xray v26.1.31 and later: " + KCP_HEADER_TEXT, 1},
        {"2", v2("vmess", "quic", "none") + "v2ray_quic_security=none v2ray_quic_guise=",
         "refused V2Ray 4: the QUIC header type is empty, and the client stops at \"unknown config id: \" "
         "(ssconf_basic_v2ray_quic_guise_5): set it to none, or to the header type the server uses\n" + LEGACY +
         "note Xray v24.9.7 and later: the QUIC transport is gone (\"unknown transport protocol: quic\") "
         "(ssconf_basic_v2ray_network_5): use another transport\n", 1},
        {"2", v2("VMess", "tcp", "none"),
         "refused V2Ray 4: the protocol is none of vmess, vless, trojan, ss, socks, http (as written, in lower case), "
         "so the outbound gets no server and the client stops (ssconf_basic_v2ray_protocol_5): set it to one of "
         "them\n" + LEGACY, 1},
        {"2", v2("vmess", "xhttp", "none"),
         "refused V2Ray 4: the transport is unknown to the client (\"unknown transport protocol\") "
         "(ssconf_basic_v2ray_network_5): set it to tcp, mkcp, ws, h2 or quic\n" + LEGACY, 1},
        {"2", v2("vless", "tcp", "none") + "v2ray_uuid=" + ID.substr(1) + " server=1.1.1.1",
         "refused V2Ray 4: the id is not a UUID, and the client stops at \"invalid UUID\" (ssconf_basic_v2ray_uuid_5): "
         "set the UUID the server gave\n" + LEGACY + "note Xray v26.7.11 and later: vless or trojan without TLS to a "
         "public address stops the client (ssconf_basic_v2ray_network_security_5): set it to tls\n", 1},
        {"2", v2("ss", "tcp", "none") + "v2ray_ss_method=2022-blake3-aes-128-gcm password=cHc=",
         "refused V2Ray 4: V2Ray 4's Shadowsocks outbound knows only aes-128-gcm, aes-256-gcm, chacha20-poly1305 "
         "(chacha20-ietf-poly1305) and none, and stops at \"unknown cipher method\" (ssconf_basic_v2ray_ss_method_5): "
         "use one of those with the server, or the Shadowsocks client (type 0)\n" + LEGACY, 1},
        {"2", v2("vless", "grpc", "tls"),
         "refused V2Ray 4: this V2Ray has no gRPC transport (\"unknown transport protocol: grpc\") "
         "(ssconf_basic_v2ray_network_5): use Xray or a V2Ray from 4.36, or another transport\n"
         "note Xray v1.7.3 and later: " + DISABLE_TEXT + LEGACY + INSECURE, 1},
        {"2", v2("vmess", "h2", "none"),
         "broken V2Ray 4: HTTP/2 runs only over TLS: the client loads the file and carries nothing "
         "(ssconf_basic_v2ray_network_security_5): set it to tls\n" + LEGACY +
         "note Xray v24.12.15 and later: the HTTP/2 transport is gone (ssconf_basic_v2ray_network_5): use another "
         "transport\n", 1},
        {"2", v2("vless", "tcp", "xtls") + "v2ray_network_flow=xtls-rprx-direct",
         "unsafe V2Ray 4: V2Ray has no XTLS: it loads the file and sends the traffic with no TLS at all "
         "(ssconf_basic_v2ray_network_security_5): set it to tls, or use Xray before v1.8.0\n"
         "note Xray v1.8.0 and later: \"security\": \"xtls\" is no longer known to the client "
         "(ssconf_basic_v2ray_network_security_5): set it to tls (Vision over TLS replaced XTLS)\n"
         "note Xray v1.8.0 and later: the flow is one of the XTLS flows the client no longer knows "
         "(ssconf_basic_v2ray_network_flow_5): remove it, or use xtls-rprx-vision over tls\n" + LEGACY + INSECURE, 1},
        {"2", v2("socks", "mkcp", "none"),
         "broken V2Ray 4: Shadowsocks and SOCKS send UDP as datagrams to the server's port, which mKCP or QUIC holds: "
         "UDP traffic will not flow (TCP does) (ssconf_basic_v2ray_network_5): use tcp or ws when UDP must flow\n" +
         LEGACY + "note Xray v26.1.31 and later: " + KCP_HEADER_TEXT, 1},
        {"2", v2("http", "tcp", "tls") + "v2ray_fingerprint=chrome",
         "broken V2Ray 4: over plain TCP or mKCP the file names no \"alpn\", so the client offers h2, and an HTTP proxy behind TLS that does "
         "not speak HTTP/2 CONNECT carries nothing (ssconf_basic_v2ray_network_security_5): make the server take "
         "http/1.1 only, or set it to none\n" + LEGACY + INSECURE, 1},
        // What tarvick's writer refuses has no document to judge: its own line.
        {"2", v2("vless", "tcp", "reality"),
         "refused tarvick: ssconf_basic_v2ray_network_security_5 is not tls, xtls or none: tarvick cannot write it "
         "(tarvick-node xray can write reality)\n", 1},
        // Trojan: the CA bundle decides "cert"; without a server name the
        // address is what the certificate is checked against.
        {"3", tj + "0", TROJAN_GO + fine("Trojan 1.16"), 0},
        {"3", tj + "1 trojan_sni=t.example.com", VERIFY + TROJAN_GO + fine("Trojan 1.16"), 0, true},
        {"3", tj + "1 trojan_sni=t.example.com",
         "broken Trojan 1.16: verification is on, and the CA bundle /rom/etc/ssl/certs/ca-certificates.crt was not "
         "there: the client cannot verify the server and carries nothing (ssconf_basic_ssl_verify_enable_5): install "
         "the CA bundle, or set it to 0\n" + VERIFY + TROJAN_GO, 1},
        {"3", tj + "1 trojan_sni=",
         "broken Trojan 1.16: verification is on with no server name, so the certificate is checked against the IP "
         "address, which certificates do not name (ssconf_basic_trojan_sni_5): set the server name of the "
         "certificate\n" + VERIFY + TROJAN_GO, 1, true},
    };
    for (const CheckCase &c : cases) {
        SCOPED_TRACE(c.type + " " + c.fields);
        set_ca_bundle(c.ca_bundle);
        serve(c.fields);
        RunResult run = run_tarvick_node({"check", c.type, "5"});
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.status, c.status);
        Lines keys = daemon.keys();
        serve(c.fields, "5");
        generate(c.type);
        EXPECT_EQ(keys, daemon.keys()) << "the lookups tarvick makes, and no others";
    }
}

// check xray judges tarvick-node xray's document, for the current Xray by
// default, with notes for the releases that read it otherwise.
TEST_F(NodeCheckTest, XrayDocumentFindings)
{
    const std::string pin = " v2ray_tls_pinned_sha256=" + std::string(64, 'a');
    const std::string form = "note Xray before v25.10.15: tarvick-node xray writes the outbound's server in "
                             "\"settings\" itself, which the client reads from v25.10.15 on (vless from v25.9.10): it "
                             "finds no server and stops (no setting changes it): use Xray v25.10.15 or later, or "
                             "tarvick 2 with an Xray before v24.9.7\n";
    const std::string current = fine("Xray v26.7.28");
    const std::string deprecated = "note Xray v26.7.28: the client warns at start that its Shadowsocks and Trojan "
                                   "outbounds are deprecated and might be removed (no setting changes it): plan for "
                                   "VLESS, with Encryption or a flow, with the server\n";
    const std::vector<CheckCase> cases = {
        {"xray", v2("vless", "ws", "tls") + "v2ray_network_tlshost=v.example.com", form + current, 0},
        {"xray", v2("vless", "tcp", "tls") + "v2ray_network_tlshost=v.example.com" + pin +
                     " v2ray_tls_verify_names=v.example.com",
         form + "note Xray before v26.1.13: the client silently ignores \"pinnedPeerCertSha256\" and checks the "
                "certificate against the system's authorities, which a pinned certificate of the server's own fails: "
                "nothing flows (ssconf_basic_v2ray_tls_pinned_sha256_5): use Xray v26.1.13 or later\n"
                "note Xray before v26.1.31: the client silently ignores \"verifyPeerCertByName\" and checks the "
                "certificate against the server name: nothing flows unless the certificate names that too "
                "(ssconf_basic_v2ray_tls_verify_names_5): use Xray v26.1.31 or later\n" + current, 0},
        {"xray", v2("socks", "mkcp", "none"),
         "broken Xray v26.7.28: Shadowsocks and SOCKS send UDP as datagrams to the server's port, which mKCP or QUIC "
         "holds: UDP traffic will not flow (TCP does) (ssconf_basic_v2ray_network_5): use tcp or ws when UDP must "
         "flow\n" + form + "note Xray v26.1.31 and later, before v26.6.1: the \"finalmask\" of type \"mkcp-legacy\", "
         "which carries V2Ray's mKCP packets, is unknown to the client, and it stops (ssconf_basic_v2ray_network_5): "
         "use Xray v26.6.1 or later, or another transport\n", 1},
        // Shadowsocks and Trojan nodes, told by their settings.
        {"xray", "method=2022-blake3-aes-128-gcm use_kcp=0 server=s.example.com port=8388 ss_obfs=none "
                 "password=TURFeU16UTFOamM0T1dGaVkyUmxaZz09",
         form + "note Xray before v1.5.6: the client has no Shadowsocks 2022 cipher and stops at \"unknown cipher "
                "method\" (ssconf_basic_method_5): use Xray v1.5.6 or later\n" + deprecated + current, 0},
        {"xray", "server=t.example.com port=443 password=cHc= ssl_verify_enable=0" + pin,
         form + "note Xray before v26.1.13: the client silently ignores \"pinnedPeerCertSha256\" and checks the "
                "certificate against the system's authorities, which a pinned certificate of the server's own fails: "
                "nothing flows (ssconf_basic_v2ray_tls_pinned_sha256_5): use Xray v26.1.13 or later\n" + deprecated +
                current, 0},
        {"xray", "server=t.example.com port=443 password=cHc= ssl_verify_enable=0",
         "refused tarvick-node xray: ssconf_basic_ssl_verify_enable_5 is not 1, and Xray always verifies the "
         "certificate: set it to 1, or pin the certificate (ssconf_basic_v2ray_tls_pinned_sha256) or name what it is "
         "for (ssconf_basic_v2ray_tls_verify_names)\n", 1},
        {"xray", "ssr_protocol=origin method=aes-256-cfb",
         "refused tarvick-node xray: ssconf_basic_ssr_protocol_5 is set: a ShadowsocksR node, which Xray does not run: "
         "run it with tarvick 1\n", 1},
        {"xray", v2("vless", "xhttp", "tls") + "v2ray_vless_encryption=mlkem768x25519plus.native.0rtt.Id7baI9lw6oLE-_"
                     "VTj1Kt5fLJSisKwsczXeMLUBuFn0 v2ray_xhttp_extra={\"seqKey\":\"s\"}",
         form + "note Xray before v25.8.29: VLESS Encryption (\"encryption\" other than none) is unknown to the client, "
                "and it stops (ssconf_basic_v2ray_vless_encryption_5): use Xray v25.8.29 or later\n"
                "note Xray before v24.11.11: the client silently ignores XHTTP's \"extra\": a server that wants its "
                "settings carries nothing (ssconf_basic_v2ray_xhttp_extra_5): use Xray v24.11.11 or later\n"
                "note Xray before v26.1.31: the client silently ignores the padding, uplink and sequence members of "
                "XHTTP's \"extra\" (xPaddingObfsMode, uplinkHTTPMethod, seqPlacement and the like): a server that wants "
                "them carries nothing (ssconf_basic_v2ray_xhttp_extra_5): use Xray v26.1.31 or later\n" + current, 0},
        {"xray", v2("hysteria2", "hysteria", "tls") + "password=cHc= v2ray_network_tlshost=h.example.com" + pin,
         form + "note Xray before v26.1.13: the client silently ignores \"pinnedPeerCertSha256\" and checks the "
                "certificate against the system's authorities, which a pinned certificate of the server's own fails: "
                "nothing flows (ssconf_basic_v2ray_tls_pinned_sha256_5): use Xray v26.1.13 or later\n"
                "note Xray before v26.1.13: the client has no Hysteria outbound (\"hysteria\", version 2) and stops "
                "(ssconf_basic_v2ray_protocol_5): use Xray v26.1.13 or later\n"
                "note Xray v26.7.28: since 2026-09-01 the client does not announce that it takes QUIC datagrams, and "
                "a Hysteria2 server that waits for it (sing-box's) sends no UDP back: UDP will not flow (TCP does) (no "
                "setting changes it): use a server that sends them unannounced, as Xray's does\n" + current, 0},
        // What the writer refuses has no document to judge: its own line.
        {"xray", v2("vless", "tcp", "xtls"),
         "refused tarvick-node xray: ssconf_basic_v2ray_network_security_5 is xtls, which current Xray no longer has: "
         "set it to tls or reality, with the vless flow xtls-rprx-vision\n", 1},
    };
    for (const CheckCase &c : cases) {
        SCOPED_TRACE(c.fields);
        serve(c.fields);
        RunResult run = run_tarvick_node({"check", c.type, "5"});
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.status, c.status);
    }
}

// The client's version decides which Xray facts count; its own verdict is
// printed, and where it and the rules differ, that is said.
TEST_F(NodeCheckTest, NamedClient)
{
    // The stub clients are host scripts: a tool emulated by qemu-user cannot
    // start them as a router's tool starts its clients.
    const char *wrapper = getenv("TARVICK_WRAPPER");
    if (wrapper && strstr(wrapper, "qemu"))
        GTEST_SKIP() << "the emulated tool cannot run the host's stub clients";
    const std::string tls = v2("vmess", "tcp", "tls"), plain = v2("vmess", "tcp", "none");
    const std::string disable = "refused Xray v1.7.3: " + DISABLE_TEXT;
    const std::string accepts = ": its own check accepts the file\n";
    const std::string refuses = ": its own check refuses the file: Failed to start: main: unknown fingerprint: "
                                "disable\n";
    struct ClientCase {
        std::string version;
        int verdict;
        std::string fields, out;
        int status;
    };
    const std::vector<ClientCase> cases = {
        {"1.7.2", 0, tls, "client Xray v1.7.2" + accepts + fine("Xray v1.7.2"), 0},
        {"1.7.3", 1, tls, disable + "client Xray v1.7.3" + refuses, 1},
        {"1.7.3", 0, tls, disable + "client Xray v1.7.3" + accepts + "note Xray v1.7.3: the rules above say refused, "
         "but its own check accepts the file (no setting named): the client may differ from its release's published "
         "behaviour\n", 1},
        {"1.7.2", 1, tls, "client Xray v1.7.2" + refuses + "refused Xray v1.7.2: its own check refuses the file, which "
         "no rule here foresaw (no setting named): read its message above\n", 1},
        {"24.9.6", 0, plain, "client Xray v24.9.6" + accepts + fine("Xray v24.9.6"), 0},
        {"24.9.7", 0, plain, "broken Xray v24.9.7: " + LEGACY_TEXT + "client Xray v24.9.7" + accepts, 1},
        {"26.1.31", 1, v2("vmess", "mkcp", "tls") + "v2ray_fingerprint=chrome",
         "broken Xray v26.1.31: " + LEGACY_TEXT + "refused Xray v26.1.31: " + KCP_HEADER_TEXT +
         "refused Xray v26.1.31: " + INSECURE_TEXT + INSECURE_TODO + "client Xray v26.1.31" + refuses, 1},
    };
    for (const ClientCase &c : cases) {
        SCOPED_TRACE("Xray " + c.version + " " + c.fields);
        serve(c.fields);
        RunResult run = run_tarvick_node({"check", "2", "5", "--client", stub_xray(c.version, c.verdict)});
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.status, c.status);
    }
    serve(v2("vmess", "tcp", "none"));
    RunResult other = run_tarvick_node({"check", "3", "5", "--client", stub_xray("1.8.4", 0)});
    EXPECT_EQ(other.out, "");
    EXPECT_EQ(other.err, "tarvick-node: /tmp/xray is Xray v1.8.4, which does not read type 3 files\n");
    EXPECT_EQ(other.status, 2);
}

// Xray lets vless and trojan reach a private address without TLS, by its own
// list of private networks and names: the note is for a public address only.
TEST_F(NodeCheckTest, PlainToPrivateAddress)
{
    const std::string plain = "note Xray v26.7.11 and later: vless or trojan without TLS to a public address stops "
                              "the client (ssconf_basic_v2ray_network_security_5): set it to tls\n";
    const std::vector<std::pair<std::string, bool>> cases = {
        {"192.0.2.10", false},  {"198.18.0.1", false},         {"nas.lan", false},     {"nas", false},
        {"tv.local", false},    {"db.internal", false},        {"::ffff:10.0.0.2", false}, {"224.0.0.251", false},
        {"ff02::fb", false},    {"1.1.1.1", true},             {"2606:4700::1111", true}, {"v.example.com", true},
    };
    for (const auto &[server, is_public] : cases) {
        SCOPED_TRACE(server);
        serve(v2("vless", "tcp", "none") + "server=" + server);
        RunResult run = run_tarvick_node({"check", "2", "5"});
        EXPECT_EQ(run.out, LEGACY + (is_public ? plain : "") + fine("V2Ray 4"));
        EXPECT_EQ(run.status, 0);
    }
}

// check's copy of the document holds the node's id or password: its owner
// alone reads it, and it is gone however check ends, a signal included.
TEST_F(NodeCheckTest, TemporaryDocument)
{
    const char *wrapper = getenv("TARVICK_WRAPPER");
    if (wrapper && strstr(wrapper, "qemu"))
        GTEST_SKIP() << "the emulated tool cannot run the host's stub clients";
    // A client that notes the file's mode, then sees check stopped.
    write_file("/tmp/xray", "#!/bin/sh\n[ \"$1\" = -version ] && { echo 'Xray 26.7.28'; exit 0; }\n"
                            "stat -c %a \"$3\" >/tmp/mode\nkill -TERM $PPID\nsleep 5\n");
    chmod("/tmp/xray", 0755);
    serve(v2("vmess", "tcp", "none"));
    RunResult run = run_tarvick_node({"check", "2", "5", "--client", "/tmp/xray"});
    EXPECT_EQ(run.status, 128 + SIGTERM);
    EXPECT_EQ(read_file("/tmp/mode"), "600\n");
    const char *tmp = getenv("TMPDIR");
    DIR *dir = opendir(tmp && tmp[0] ? tmp : "/tmp");
    ASSERT_NE(dir, nullptr);
    while (struct dirent *entry = readdir(dir))
        EXPECT_NE(std::string(entry->d_name).rfind("tarvick-check-", 0), 0u) << entry->d_name;
    closedir(dir);
}

TEST_F(NodeCheckTest, UsageErrorsAndAnUnreachableDaemon)
{
    const std::vector<Lines> cases = {{"check"}, {"check", "4"}, {"check", "x"}, {"check", "-1"},
                                      {"check", "2", "x"}, {"check", "2", "1", "3"}, {"check", "2", "--client"}};
    for (const Lines &args : cases) {
        SCOPED_TRACE(testing::PrintToString(args));
        RunResult run = run_tarvick_node(args);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, USAGE);
        EXPECT_EQ(run.status, 2);
    }
    EXPECT_EQ(daemon.keys(), Lines{});

    daemon.stop();
    RunResult run = run_tarvick_node({"check", "2"});
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "connect to brimd error: No such file or directory\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(service_calls(), "start_brimd\n");
}

// The man page lists every fact of check's table, in its order, in the
// table's own words: neither can drift from the other.
TEST(NodeCheckFacts, ManPageListsTheTable)
{
    std::string page = read_file(TARVICK_SOURCE_DIR "/man/tarvick-node.1");
    size_t from = page.find("\n.SH FINDINGS\n"), to = page.find("\n.SH ", from + 1);
    ASSERT_NE(from, std::string::npos);
    // Each ".TP" entry: its ".B" line, then its text lines joined by blanks.
    Lines listed;
    for (size_t at = page.find("\n.TP\n", from); at < to; at = page.find("\n.TP\n", at + 1)) {
        size_t head_end = page.find('\n', at + 5), end = std::min(page.find("\n.", head_end), to);
        std::string text = page.substr(at + 5, head_end - at - 5) + "\n";
        for (size_t i = head_end + 1; i < end; i++)
            if (page.compare(i, 2, "\\-") != 0) // the roff hyphen is a plain one in the table
                text += page[i] == '\n' ? ' ' : page[i];
        listed.push_back(text);
    }
    Lines facts;
    std::string source;
    char text[1024];
    for (size_t i = 0; const char *severity = check_fact(i, text, sizeof text); i++) {
        facts.push_back(std::string(".B ") + severity + "\n" + text);
        source += std::string(".TP\n.B ") + severity + "\n" + text + "\n";
    }
    EXPECT_EQ(listed, facts) << "the table as the man page lists it:\n" << source;
}

} // namespace
