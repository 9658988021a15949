// tarvick-node import of whole documents: each reader's mapping, row by row,
// against the link of the same server as panels write it (the two must give
// the same node and the same words), and the document's own verdicts.
#include "fixture.h"

#include <regex>
#include <string>
#include <vector>

namespace {

typedef std::vector<std::string> Lines;

const std::string ID = "b831381d-6324-4d53-ad4f-8cda48b30811";
const std::string PBK = "el70Wl1QMTLmZXHYRNs9RAL5Yd0z0mhaMEuw_Fo3d2I";
// WireGuard keys: 32 bytes in standard Base64, as wg genkey prints them.
const std::string WG_KEY = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=";
const std::string WG_PEER = "ICEiIyQlJicoKSorLC0uLzAxMjM0NTY3ODk6Ozw9Pj8=";
// The same peer as a link says it.
const std::string WG_LINK = "wireguard://AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8%3D@w.example.com:51820/?publickey="
                            "ICEiIyQlJicoKSorLC0uLzAxMjM0NTY3ODk6Ozw9Pj8%3D&address=10.0.0.2%2F32&mtu=1280"
                            "&reserved=1%2C2%2C3&keepalive=25#W";

std::string vmess(const std::string &json)
{
    return "vmess://" + base64(json);
}

// A document's entry or a link: (the line's subject stripped) what each
// message says; a document's own notes left out.
Lines messages(const std::string &err)
{
    static const std::regex LINE(R"(^tarvick-node: (line \d+: [^:]+|[^:]+: entry \d+( "[^"]*")?): (.*)$)");
    Lines out;
    size_t at = 0;
    for (size_t end; (end = err.find('\n', at)) != std::string::npos; at = end + 1) {
        std::string line = err.substr(at, end - at);
        std::smatch m;
        if (line.find(": note: ") != std::string::npos && line.find(": entry ") == std::string::npos)
            continue;
        out.push_back(std::regex_match(line, m, LINE) ? m[3].str() : "unexpected: " + line);
    }
    return out;
}

struct DocRow {
    std::string entry;
    std::string link; // the same server as a panel writes its link
    bool xray = false;    // import --xray
    bool pending = false; // a kind the link reader may not take yet: only the two verdicts are compared
};

class DocTest : public TarvickTest {
protected:
    // Each row alone in a document; node and messages are the link's.
    void check(const std::vector<DocRow> &rows, const std::string &before, const std::string &after,
               const std::string &format)
    {
        for (const DocRow &row : rows) {
            SCOPED_TRACE(row.entry);
            Lines args = {"import"};
            if (row.xray)
                args.push_back("--xray");
            RunResult doc = run_tarvick_node(args, before + row.entry + after);
            RunResult link = run_tarvick_node(args, row.link + "\n");
            EXPECT_EQ(doc.out, link.out);
            EXPECT_EQ(messages(doc.err), messages(link.err)) << doc.err << link.err;
            EXPECT_EQ(doc.status, link.status);
            if (!row.pending) {
                EXPECT_NE(doc.out, "") << doc.err;
            }
            bool imported = !doc.out.empty();
            EXPECT_NE(doc.err.find("tarvick-node: " + format + ": note: 1 "), std::string::npos) << doc.err;
            EXPECT_NE(doc.err.find(imported ? ", 1 node imported, 0 refused\n" : ", 0 nodes imported, 1 refused\n"),
                      std::string::npos)
                << doc.err;
        }
    }
    // Entries refused by the reader itself: one line naming the entry.
    void refused(const std::vector<std::pair<std::string, std::string>> &rows, const std::string &before,
                 const std::string &after, const std::string &prefix)
    {
        for (const auto &row : rows) {
            SCOPED_TRACE(row.first);
            RunResult run = run_tarvick_node({"import", "--xray"}, before + row.first + after);
            EXPECT_EQ(run.out, "");
            EXPECT_EQ(run.err.substr(0, run.err.find('\n') + 1), prefix + row.second + "\n");
            EXPECT_EQ(run.status, 1);
        }
    }
};

const std::string YAML = "proxies:\n  - ";
const std::string SS_USER = b64url("aes-128-gcm:p:w@");

TEST_F(DocTest, MihomoProxiesAreTheirLinks)
{
    const std::string vm = R"({"v":"2","ps":"vm","add":"v.example.com","port":"443","id":")" + ID + R"(","aid":"0",)";
    check({
        {"{name: a, type: ss, server: ss.example.com, port: 8388, cipher: aes-128-gcm, password: 'p:w@', udp: true}",
         "ss://" + SS_USER + "@ss.example.com:8388#a"},
        {"{name: b, type: ss, server: 2001:db8::1, port: 8388, cipher: aes-128-gcm, password: 'p:w@', plugin: obfs, "
         "plugin-opts: {mode: tls, host: bing.com}}",
         "ss://" + SS_USER + "@[2001:db8::1]:8388/?plugin=obfs-local%3Bobfs%3Dtls%3Bobfs-host%3Dbing.com#b"},
        {"{name: c, type: ss, server: ss.example.com, port: 443, cipher: aes-128-gcm, password: 'p:w@', plugin: "
         "v2ray-plugin, plugin-opts: {mode: websocket, tls: true, host: h.example.com, path: /p}}",
         "ss://" + SS_USER + "@ss.example.com:443/?plugin=v2ray-plugin%3Btls%3Bhost%3Dh.example.com%3Bpath%3D%2Fp#c"},
        {"{name: d, type: ssr, server: r.example.com, port: 8389, cipher: aes-128-cfb, password: pw, protocol: "
         "auth_aes128_md5, protocol-param: '32:abc', obfs: tls1.2_ticket_auth, obfs-param: cdn.example.com}",
         "ssr://" + b64url("r.example.com:8389:auth_aes128_md5:aes-128-cfb:tls1.2_ticket_auth:" + b64url("pw") +
                           "/?obfsparam=" + b64url("cdn.example.com") + "&protoparam=" + b64url("32:abc") +
                           "&remarks=" + b64url("d"))},
        {"{name: vm, type: vmess, server: v.example.com, port: 443, uuid: " + ID + ", alterId: 0, cipher: auto, tls: "
         "true, servername: s.example.com, network: ws, ws-opts: {path: /ray, headers: {Host: cdn.example.com}, "
         "max-early-data: 2048, early-data-header-name: Sec-WebSocket-Protocol}}",
         vmess(vm + R"("scy":"auto","net":"ws","host":"cdn.example.com","path":"/ray?ed=2048","tls":"tls",)"
                    R"("sni":"s.example.com"})")},
        {"{name: vm, type: vmess, server: v.example.com, port: 443, uuid: " + ID + ", alterId: 0, cipher: zero, "
         "network: grpc, tls: true, grpc-opts: {grpc-service-name: svc}}",
         vmess(vm + R"("scy":"zero","net":"grpc","path":"svc","tls":"tls"})")},
        {"{name: vm, type: vmess, server: v.example.com, port: 443, uuid: " + ID + ", alterId: 0, cipher: auto, "
         "network: http, http-opts: {method: GET, path: [/], headers: {Host: [a.example.com, b.example.com]}}}",
         vmess(vm + R"("scy":"auto","net":"tcp","type":"http","host":"a.example.com,b.example.com","path":"/"})")},
        {"{name: vm, type: vmess, server: v.example.com, port: 443, uuid: " + ID + ", alterId: 0, cipher: auto, "
         "network: h2, tls: true, h2-opts: {host: [a.example.com], path: /h}}",
         vmess(vm + R"("scy":"auto","net":"h2","host":"a.example.com","path":"/h","tls":"tls"})")},
        {"{name: R, type: vless, server: r.example.com, port: 443, uuid: " + ID + ", network: tcp, tls: true, flow: "
         "xtls-rprx-vision, servername: www.example.com, client-fingerprint: chrome, reality-opts: {public-key: " +
             PBK + ", short-id: 0123abcd}}",
         "vless://" + ID + "@r.example.com:443?encryption=none&security=reality&type=tcp&sni=www.example.com"
                           "&fp=chrome&pbk=" + PBK + "&sid=0123abcd&flow=xtls-rprx-vision#R",
         true},
        {"{name: X, type: vless, server: x.example.com, port: 443, uuid: " + ID + ", network: xhttp, tls: true, alpn: "
         "[h2], xhttp-opts: {path: /x, host: x.example.com, mode: packet-up}}",
         "vless://" + ID + "@x.example.com:443?encryption=none&security=tls&type=xhttp&path=%2Fx&host=x.example.com"
                           "&mode=packet-up&alpn=h2#X",
         true},
        {"{name: T, type: trojan, server: t.example.com, port: 443, password: pw, sni: s.example.com, "
         "skip-cert-verify: true}",
         "trojan://pw@t.example.com:443?security=tls&sni=s.example.com&allowInsecure=1#T"},
        {"{name: T, type: trojan, server: t.example.com, port: 443, password: pw, network: grpc, grpc-opts: "
         "{grpc-service-name: g}, client-fingerprint: chrome}",
         "trojan://pw@t.example.com:443?security=tls&type=grpc&serviceName=g&fp=chrome#T"},
        // The new kinds, as their links say them.
        {"{name: H, type: hysteria2, server: h.example.com, port: 443, password: pw, sni: s.example.com, obfs: "
         "salamander, obfs-password: ob, ports: 20000-30000}",
         "hysteria2://pw@h.example.com:443/?sni=s.example.com&obfs=salamander&obfs-password=ob&mport=20000-30000#H",
         true, true},
        // Brutal's rates: a bare number is Mbit/s here as in links.
        {"{name: H, type: hysteria2, server: h.example.com, port: 443, password: pw, sni: s.example.com, up: 30 Mbps, "
         "down: 100}",
         "hysteria2://pw@h.example.com:443/?sni=s.example.com&up=30%20Mbps&down=100#H", true},
        {"{name: W, type: wireguard, server: w.example.com, port: 51820, ip: 10.0.0.2/32, private-key: cHJpdg==, "
         "public-key: cHVi, reserved: [1, 2, 3], mtu: 1280}",
         "wireguard://cHJpdg%3D%3D@w.example.com:51820/?publickey=cHVi&address=10.0.0.2%2F32&mtu=1280"
         "&reserved=1%2C2%2C3#W",
         true, true},
        {"{name: S, type: socks5, server: s.example.com, port: 1080, username: u, password: p}",
         "socks://" + base64("u:p") + "@s.example.com:1080#S", false, true},
        {"{name: P, type: http, server: p.example.com, port: 8080, username: u, password: p}",
         "http://u:p@p.example.com:8080#P", false, true},
        {"{name: E, type: vless, server: x.example.com, port: 443, uuid: " + ID + ", network: xhttp, tls: true, "
         "xhttp-opts: {path: /x, x-padding-bytes: 100-1000, no-grpc-header: true, reuse-settings: {max-concurrency: "
         "16-32, c-max-reuse-times: 64}}}",
         "vless://" + ID + "@x.example.com:443?encryption=none&security=tls&type=xhttp&path=%2Fx&extra=" +
             "%7B%22xPaddingBytes%22%3A%22100-1000%22%2C%22noGRPCHeader%22%3Atrue%2C%22xmux%22%3A%7B%22"
             "maxConcurrency%22%3A%2216-32%22%2C%22cMaxReuseTimes%22%3A64%7D%7D#E",
         true, true},
    }, YAML, "\n", "mihomo YAML");
}

TEST_F(DocTest, MihomoRefusesWhatNoLinkCarries)
{
    const std::string e = "tarvick-node: mihomo YAML: entry 1 \"a\": ";
    const std::string vl = "{name: a, type: vless, server: v.example.com, port: 443, uuid: " + ID + ", ";
    refused({
        {"{name: a, type: tuic, server: t.example.com, port: 443}", "type tuic: no client tarvick writes for runs it"},
        {vl + "network: ws, ws-opts: {headers: {User-Agent: x}}}", "header User-Agent cannot be carried by a link"},
        {vl + "network: http, http-opts: {method: POST}}", "http-opts.method POST cannot be carried by a link"},
        {vl + "smux: {enabled: true}}", "smux cannot be carried by a link"},
        {vl + "network: kcp}", "network kcp cannot be carried by a link"},
        {"{name: a, type: ss, server: s.example.com, port: 1, cipher: aes-128-gcm, password: p, udp-over-tcp: true}",
         "udp-over-tcp cannot be carried by a link"},
        {"{name: a, type: ss, server: s.example.com, port: 1, cipher: aes-128-gcm, password: p, plugin: shadow-tls}",
         "plugin shadow-tls: the Shadowsocks client tarvick writes for does not run it"},
        {"{name: a, type: ss, server: s.example.com, port: 1, cipher: aes-128-gcm, password: p, plugin: obfs, "
         "plugin-opts: {mode: [1]}}",
         "plugin-opts.mode is [1], not a text or a whole number"},
        {"{name: a, type: trojan, server: 't.example.com#x', port: 443, password: p}", "bad server 't.example.com#x'"},
        {"&x {name: a, type: trojan, server: t.example.com, port: 443, password: p}",
         "a YAML anchor, alias or merge key (&, *, <<), which import does not follow"},
    }, YAML, "\n", e);
}

TEST_F(DocTest, XrayOutboundsAreTheirLinks)
{
    const std::string reality = R"("streamSettings":{"network":"tcp","security":"reality","realitySettings":)"
                                R"({"serverName":"www.example.com","fingerprint":"chrome","publicKey":")" + PBK +
                                R"(","shortId":"0123abcd","spiderX":"/"}})";
    const std::string reality_link = "?encryption=none&security=reality&type=tcp&sni=www.example.com&fp=chrome&pbk=" +
                                     PBK + "&sid=0123abcd&spx=%2F&flow=xtls-rprx-vision#R";
    check({
        {R"({"tag":"R","protocol":"vless","settings":{"vnext":[{"address":"r.example.com","port":443,"users":[{"id":")" +
             ID + R"(","encryption":"none","flow":"xtls-rprx-vision","level":0}]}]},)" + reality + "}",
         "vless://" + ID + "@r.example.com:443" + reality_link, true},
        {R"({"tag":"R","protocol":"vless","settings":{"address":"r.example.com","port":443,"id":")" + ID +
             R"(","encryption":"none","flow":"xtls-rprx-vision"},)" + reality + R"(,"mux":{"enabled":false}})",
         "vless://" + ID + "@r.example.com:443" + reality_link, true},
        {R"({"tag":"vm","protocol":"vmess","settings":{"vnext":[{"address":"v.example.com","port":443,"users":[{"id":")" +
             ID + R"(","alterId":0,"security":"auto"}]}]},"streamSettings":{"network":"ws","security":"tls",)"
             R"("tlsSettings":{"serverName":"s.example.com","allowInsecure":true},"wsSettings":{"path":"/ray",)"
             R"("headers":{"Host":"cdn.example.com"}}}})",
         vmess(R"({"v":"2","ps":"vm","add":"v.example.com","port":443,"id":")" + ID + R"(","aid":0,"scy":"auto",)"
               R"("net":"ws","host":"cdn.example.com","path":"/ray","tls":"tls","sni":"s.example.com",)"
               R"("allowInsecure":"1"})")},
        {R"({"tag":"T","protocol":"trojan","settings":{"servers":[{"address":"t.example.com","port":443,)"
         R"("password":"pw"}]},"streamSettings":{"network":"tcp","security":"tls","tlsSettings":)"
         R"({"serverName":"s.example.com"}}})",
         "trojan://pw@t.example.com:443?security=tls&sni=s.example.com#T"},
        {R"({"tag":"a","protocol":"shadowsocks","settings":{"servers":[{"address":"ss.example.com","port":8388,)"
         R"("method":"aes-128-gcm","password":"p:w@","level":0}]},"streamSettings":{"network":"tcp"}})",
         "ss://" + SS_USER + "@ss.example.com:8388#a"},
        {R"({"tag":"G","protocol":"vless","settings":{"vnext":[{"address":"g.example.com","port":443,"users":[{"id":")" +
             ID + R"("}]}]},"streamSettings":{"network":"grpc","security":"tls","grpcSettings":{"serviceName":"s",)"
             R"("multiMode":true},"tlsSettings":{"alpn":["h2"],"fingerprint":"firefox"}}})",
         "vless://" + ID + "@g.example.com:443?security=tls&type=grpc&serviceName=s&mode=multi&alpn=h2&fp=firefox#G"},
        {R"({"tag":"X","protocol":"vless","settings":{"vnext":[{"address":"x.example.com","port":443,"users":[{"id":")" +
             ID + R"("}]}]},"streamSettings":{"network":"xhttp","security":"tls","xhttpSettings":{"path":"/x",)"
             R"("mode":"auto","extra":{"xPaddingBytes":"100-1000"}}}})",
         "vless://" + ID + "@x.example.com:443?security=tls&type=xhttp&path=%2Fx&mode=auto&extra=" +
             "%7B%22xPaddingBytes%22%3A%22100-1000%22%7D#X",
         true, true},
        {R"({"tag":"H","protocol":"hysteria","settings":{"version":2,"address":"h.example.com","port":443},)"
         R"("streamSettings":{"network":"hysteria","security":"tls","hysteriaSettings":{"version":2,"auth":"pw"},)"
         R"("tlsSettings":{"serverName":"s.example.com"}}})",
         "hysteria2://pw@h.example.com:443/?sni=s.example.com#H", true, true},
        // Salamander, hopping and the rates: the whole final mask.
        {R"({"tag":"H","protocol":"hysteria","settings":{"version":2,"address":"h.example.com","port":443},)"
         R"("streamSettings":{"network":"hysteria","security":"tls","hysteriaSettings":{"version":2,"auth":"pw"},)"
         R"("tlsSettings":{"serverName":"s.example.com"},"finalmask":{"udp":[{"type":"salamander","settings":)"
         R"({"password":"obfs-pw"}}],"quicParams":{"brutalUp":"50 mbps","brutalDown":"100 mbps","udpHop":)"
         R"({"ports":"20000-30000"}}}}})",
         "hysteria2://pw@h.example.com:443/?sni=s.example.com&obfs=salamander&obfs-password=obfs-pw"
         "&mport=20000-30000&up=50&down=100#H",
         true},
        {R"({"tag":"W","protocol":"wireguard","settings":{"secretKey":")" + WG_KEY +
             R"(","address":["10.0.0.2/32"],"peers":[{"endpoint":"w.example.com:51820","publicKey":")" + WG_PEER +
             R"(","keepAlive":25}],"mtu":1280,"reserved":[1,2,3]}})",
         WG_LINK, true},
        // XHTTP without extra (it once took import down).
        {R"({"tag":"X","protocol":"vless","settings":{"vnext":[{"address":"x.example.com","port":443,"users":[{"id":")" +
             ID + R"("}]}]},"streamSettings":{"network":"xhttp","security":"tls","xhttpSettings":{"path":"/x"}}})",
         "vless://" + ID + "@x.example.com:443?security=tls&type=xhttp&path=%2Fx#X", true},
    }, R"({"outbounds":[)", R"(,{"protocol":"freedom","tag":"direct"}]})", "Xray JSON");
    // A panel's list names each config by its remarks; every outbound is "proxy".
    check({{R"({"tag":"proxy","protocol":"trojan","settings":{"servers":[{"address":"t.example.com","port":443,)"
            R"("password":"pw"}]},"streamSettings":{"security":"tls"}})",
            "trojan://pw@t.example.com:443?security=tls#Tokyo%201"}},
          R"([{"remarks":"Tokyo 1","outbounds":[)", "]}]", "Xray JSON");
}

TEST_F(DocTest, XrayRefusesWhatNoLinkCarries)
{
    const std::string vl = R"({"tag":"a","protocol":"vless","settings":{"vnext":[{"address":"v.example.com","port":443,)";
    refused({
        {vl + R"("users":[{"id":"x"}]},{"address":"w.example.com","port":443,"users":[{"id":"y"}]}]}})",
         "settings.vnext lists 2, and a node is one server"},
        {vl + R"("users":[{"id":"x"}]}]},"mux":{"enabled":true,"concurrency":8}})", "mux cannot be carried by a link"},
        {R"({"tag":"a","protocol":"tor"})", "protocol tor: no client tarvick writes for runs it"},
        // A network's settings are named whole in what is said of their members.
        {vl + R"("users":[{"id":"x"}]}]},"streamSettings":{"network":"grpc","grpcSettings":{"serviceName":[1]}}})",
         "grpcSettings.serviceName is [1], not a text or a whole number"},
        {vl + R"("users":[{"id":"x"}]}]},"streamSettings":{"network":"xhttp","xhttpSettings":{"path":[1]}}})",
         "xhttpSettings.path is [1], not a text or a whole number"},
        {vl + R"("users":[{"id":"x"}]}]},"streamSettings":{"network":"grpc","grpcSettings":{"multiMode":"yes"}}})",
         "grpcSettings.multiMode is \"yes\", not true or false"},
    }, R"({"outbounds":[)", "]}", "tarvick-node: Xray JSON: entry 1 \"a\": ");
}

TEST_F(DocTest, SingBoxSip008AndOutlineServersAreTheirLinks)
{
    check({
        {R"({"type":"shadowsocks","tag":"a","server":"ss.example.com","server_port":8388,"method":"aes-128-gcm",)"
         R"("password":"p:w@","plugin":"obfs-local","plugin_opts":"obfs=http;obfs-host=bing.com"})",
         "ss://" + SS_USER + "@ss.example.com:8388/?plugin=obfs-local%3Bobfs%3Dhttp%3Bobfs-host%3Dbing.com#a"},
        {R"({"type":"vless","tag":"R","server":"r.example.com","server_port":443,"uuid":")" + ID +
             R"(","flow":"xtls-rprx-vision","tls":{"enabled":true,"server_name":"www.example.com","utls":)"
             R"({"enabled":true,"fingerprint":"chrome"},"reality":{"enabled":true,"public_key":")" + PBK +
             R"(","short_id":"0123abcd"}}})",
         "vless://" + ID + "@r.example.com:443?security=reality&sni=www.example.com&fp=chrome&pbk=" + PBK +
             "&sid=0123abcd&flow=xtls-rprx-vision#R",
         true},
        {R"({"type":"trojan","tag":"T","server":"t.example.com","server_port":443,"password":"pw","tls":)"
         R"({"enabled":true,"server_name":"s.example.com","insecure":true},"transport":{"type":"grpc",)"
         R"("service_name":"g"}})",
         "trojan://pw@t.example.com:443?security=tls&type=grpc&serviceName=g&sni=s.example.com&allowInsecure=1#T"},
        {R"({"type":"vmess","tag":"vm","server":"v.example.com","server_port":443,"uuid":")" + ID +
             R"(","security":"auto","alter_id":0,"tls":{"enabled":true},"transport":{"type":"ws","path":"/w",)"
             R"("headers":{"Host":"h.example.com"}}})",
         vmess(R"({"add":"v.example.com","port":443,"id":")" + ID + R"(","scy":"auto","net":"ws","path":"/w",)"
               R"("host":"h.example.com","tls":"tls","ps":"vm"})")},
        {R"({"type":"hysteria2","tag":"H","server":"h.example.com","server_port":443,"password":"pw","obfs":)"
         R"({"type":"salamander","password":"ob"},"tls":{"enabled":true,"server_name":"s.example.com"}})",
         "hysteria2://pw@h.example.com:443/?obfs=salamander&obfs-password=ob&sni=s.example.com#H", true, true},
        {R"({"type":"hysteria2","tag":"H","server":"h.example.com","server_port":443,"password":"pw","up_mbps":30,)"
         R"("down_mbps":100,"tls":{"enabled":true,"server_name":"s.example.com"}})",
         "hysteria2://pw@h.example.com:443/?sni=s.example.com&up=30&down=100#H", true},
    }, R"({"outbounds":[{"type":"selector","tag":"s","outbounds":["a"]},)", "]}", "sing-box JSON");
    // WireGuard is an endpoint, its peer's address the server.
    check({{R"({"type":"wireguard","tag":"W","address":["10.0.0.2/32"],"private_key":")" + WG_KEY +
                R"(","mtu":1280,"peers":[{"address":"w.example.com","port":51820,"public_key":")" + WG_PEER +
                R"(","allowed_ips":["0.0.0.0/0"],"persistent_keepalive_interval":25,"reserved":[1,2,3]}]})",
            WG_LINK, true}},
          R"({"outbounds":[{"type":"direct","tag":"d"}],"endpoints":[)", "]}", "sing-box JSON");
    check({{R"({"id":"1","remarks":"a","server":"ss.example.com","server_port":8388,"password":"p:w@",)"
            R"("method":"aes-128-gcm"})",
            "ss://" + SS_USER + "@ss.example.com:8388#a"}},
          R"({"version":1,"servers":[)", "]}", "SIP008 JSON");
    check({{R"({"server":"ss.example.com","server_port":8388,"password":"p:w@","method":"aes-128-gcm")",
            "ss://" + SS_USER + "@ss.example.com:8388"}},
          "", "}", "Outline JSON");
    RunResult prefix = run_tarvick_node({"import"}, R"({"server":"s.example.com","server_port":1,"password":"p",)"
                                                    R"("method":"aes-128-gcm","prefix":"\u0016\u0003\u0001"})");
    EXPECT_EQ(messages(prefix.err), Lines({"prefix (the bytes Outline sends first) cannot be carried by a link"}));
    EXPECT_EQ(prefix.status, 1);
    check({{"PrivateKey = cHJpdg==\nAddress = 10.0.0.2/32, fd00::2/128\n\n[Peer]\n"
            "PublicKey = cHVi\nAllowedIPs = 0.0.0.0/0, ::/0\nEndpoint = [2001:db8::9]:51820\n",
            "wireguard://cHJpdg%3D%3D@[2001:db8::9]:51820/?address=10.0.0.2%2F32%2Cfd00%3A%3A2%2F128"
            "&publickey=cHVi",
            true, true}},
          "[Interface]\n", "", "WireGuard file");
    // A value longer than a node holds is refused, never written over.
    refused({{"MTU = " + std::string(30000, '1') + "\n", "too long to be carried"}}, "[Interface]\n",
            "[Peer]\nEndpoint = w.example.com:51820\n", "tarvick-node: WireGuard file: entry 1: ");
}

// What a document is, and what it is not, said in one line each.
TEST_F(DocTest, DocumentsAreToldByTheirContent)
{
    const std::string tj = "{name: t, type: trojan, server: t.example.com, port: 443, password: pw}";
    RunResult mixed = run_tarvick_node(
        {"import", "--first", "3"},
        "\xEF\xBB\xBF# profile\nmixed-port: 7890\nproxies:\n  - " + tj + "\n  - {name: q, type: tuic, server: q, port: 1}\n  - " +
            tj + "\nproxy-groups: [{name: g, type: select, proxies: [t]}]\nrules: [MATCH,g]\n");
    EXPECT_EQ(mixed.err, "tarvick-node: mihomo YAML: entry 2 \"q\": type tuic: no client tarvick writes for runs it\n"
                         "tarvick-node: mihomo YAML: note: proxy groups, rules, DNS and the router's own settings are "
                         "not nodes and were not taken\n"
                         "tarvick-node: mihomo YAML: note: 3 proxies, 2 nodes imported, 1 refused\n");
    EXPECT_EQ(mixed.out.find("# node 3 type 3 t\n"), 0u);
    EXPECT_NE(mixed.out.find("# node 4 type 3 t\n"), std::string::npos);
    EXPECT_EQ(mixed.status, 1);
    // Base64 around a document, and an array of Xray configs with routing.
    const std::string config = R"({"outbounds":[{"protocol":"trojan","tag":"t","settings":{"servers":[{"address":)"
                               R"("t.example.com","port":443,"password":"pw"}]}},{"protocol":"blackhole"}],)"
                               R"("routing":{"rules":[]}})";
    RunResult array = run_tarvick_node({"import"}, base64("[" + config + "," + config + "]"));
    EXPECT_EQ(array.err, "tarvick-node: Xray JSON: note: routing, DNS and inbounds are not node settings and were not "
                         "taken\ntarvick-node: Xray JSON: note: 2 proxy outbounds, 2 nodes imported, 0 refused\n");
    EXPECT_EQ(array.status, 0);

    // A member import does not read is dropped with a word.
    RunResult color = run_tarvick_node({"import"}, "proxies: [{name: t, type: trojan, server: t.example.com, port: 443, "
                                                   "password: pw, color: blue}]");
    EXPECT_EQ(messages(color.err), Lines({"warning: color dropped: tarvick-node does not read it"}));
    EXPECT_EQ(color.status, 0);

    const std::vector<std::pair<std::string, std::string>> not_subscriptions = {
        {"<!DOCTYPE html>\n<html><body>Not Found</body></html>\n",
         "-: an HTML page, not a subscription: it begins \"<!DOCTYPE html>\""},
        {R"({"error":"token expired","code":403})",
         R"(-: a JSON object with no servers (its members: "error", "code"), not a subscription)"},
        {"proxy-providers:\n  p: {type: http, url: 'https://example.com/sub'}\n",
         "-: mihomo YAML with proxy-providers only, which name addresses import does not fetch: import the "
         "provider's own subscription"},
        {"port: 7890\nproxies:\n", "mihomo YAML: no proxies, so no node"},
        // Keys past what the line holds are cut with "...", never left out silently.
        {"external-controller: 1\nsecret: s\nallow-lan: false\nbind-address: x\nunified-delay: true\n"
         "tcp-concurrent: true\nglobal-client-fingerprint: chrome\nfind-process-mode: off\nx: 1\n",
         R"(-: YAML without proxies (its keys: "external-controller", "secret", "allow-lan", "bind-address", )"
         R"("unified-delay", "tcp-concurrent"...), not a subscription)"},
        {"[1, 2]", "-: a JSON list whose item 1 is no Xray config with outbounds, not a subscription"},
    };
    for (const auto &c : not_subscriptions) {
        SCOPED_TRACE(c.first);
        RunResult run = run_tarvick_node({"import"}, c.first);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "tarvick-node: " + c.second + "\n");
        EXPECT_EQ(run.status, 1);
    }
}

// Cut short, nested without end or broken: one line, exit 2, no node.
TEST_F(DocTest, BrokenDocumentsAreRefusedWhole)
{
    const std::string tj = "{name: t, type: trojan, server: t.example.com, port: 443, password: pw}";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"proxies:\n  - " + tj + "\n  - {name: u, type: trojan", "broken YAML at line 4: did not find expected ',' or '}'"},
        {"proxies:\n  - " + tj + "\n  - " + std::string(40, '[') + "\n", "YAML nested deeper than 16 levels at line 3"},
        {R"({"outbounds":[{"protocol":"trojan")", "broken JSON at line 1: it ends too early"},
        {std::string(100000, '['), "broken JSON at line 1: nesting too deep"},
        {R"({"outbounds":[]} x)", "broken JSON at line 1: more after the end of the document"},
        // A list of configs is parsed one config at a time: broken is told all the same.
        {R"([{"outbounds":[]},)" "\n" R"({"outbounds":[]} {}])", "broken JSON at line 2: array value separator ',' expected"},
        {R"([{"outbounds":[{"protocol":"trojan"}]},)", "broken JSON at line 1: it ends too early"},
        {"[Interface]\nPrivateKey\n", "broken WireGuard file at line 2: not KEY = VALUE"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.first.substr(0, 100));
        RunResult run = run_tarvick_node({"import"}, c.first);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "tarvick-node: -: " + c.second + "\n");
        EXPECT_EQ(run.status, 2);
    }
}

} // namespace
