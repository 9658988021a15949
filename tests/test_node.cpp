// tarvick-node as shipped: share links and subscriptions imported into node
// settings, nodes exported as links, checked against the real tarvick reading
// the same settings from the fake daemon.
#include "fixture.h"

#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace {

typedef std::vector<std::string> Lines;

const std::string ID = "b831381d-6324-4d53-ad4f-8cda48b30811";
const std::string USAGE = "usage: tarvick-node import [--first N] [--xray] [FILE|-]\n"
                          "       tarvick-node export TYPE|xray [NODE] [--qr]\n"
                          "       tarvick-node check TYPE|xray [NODE] [--client PATH]\n"
                          "       tarvick-node xray $conf_file $local_port $socks_port $proto\n";
const std::string UNKNOWN = "not a link tarvick-node knows (ss, ssr, vmess, vless, trojan, socks, http, hysteria2, wireguard)";

std::string vmess(const std::string &json, bool url_safe = false)
{
    return "vmess://" + base64(json, url_safe, !url_safe);
}

// What import prints for one node: "# node N type HEAD", then each of the
// blank-separated "field=value" as "ssconf_basic_field_N=value".
std::string block(int node, const std::string &head, const std::string &fields)
{
    const std::string n = std::to_string(node);
    std::string text = "# node " + n + " type " + head + "\n";
    for (size_t at = 0, end; at < fields.size(); at = end + 1) {
        end = std::min(fields.find(' ', at), fields.size());
        size_t equals = fields.find('=', at);
        text += "ssconf_basic_" + fields.substr(at, equals - at) + "_" + n + fields.substr(equals, end - equals) + "\n";
    }
    return text;
}

std::string refused(const std::string &scheme, const std::string &reason, int line = 1)
{
    return "tarvick-node: line " + std::to_string(line) + ": " + scheme + ": " + reason + "\n";
}

struct ImportCase {
    std::string input;
    std::string out;
    std::string err;
    int status;
};

// The settings every V2Ray/Xray node starts with, in the order tarvick reads them.
std::string v2(const std::string &protocol, const std::string &security, const std::string &network,
               const std::string &server, const std::string &port)
{
    return "v2ray_protocol=" + protocol + " v2ray_network_security=" + security + " v2ray_network=" + network +
           " server=" + server + " port=" + port;
}

std::vector<ImportCase> import_cases()
{
    const std::string ssr_plain = "ssr.example.com:8389:auth_aes128_md5:aes-128-cfb:tls1.2_ticket_auth:" +
                                  b64url("ssr-pass") + "/?obfsparam=" + b64url("cdn.example.com") + "&protoparam=" +
                                  b64url("32:abc") + "&remarks=" + b64url("SSR \xE8\x8A\x82") + "&group=" + b64url("g");
    const std::string longest(9997, 'p'), too_long(9998, 'p'), id = " v2ray_uuid=" + ID, add = R"({"add":")";
    const std::string vl = "vless://" + ID + "@h.example.com:443?";
    const std::string seed = "an mKCP seed cannot be carried by the V2Ray/Xray document";
    const std::string fp = "warning: fp dropped: the Trojan client has no fingerprint setting";
    std::string dozen_dropped;
    for (int i = 1; i <= 12; i++)
        dozen_dropped += refused("trojan", "warning: parameter a" + std::to_string(i) +
                                               " dropped: the Trojan document has no place for it");
    const std::string NOT_CARRIED = " cannot be carried by the V2Ray/Xray document (tarvick-node import --xray takes it "
                                    "for tarvick-node xray)";
    return {
        // ss: SIP002 user info in URL-safe Base64 without padding, in the
        // standard alphabet with it, URL-safe with escaped padding; plain
        // user info of a 2022 cipher; the older whole-Base64 form.
        {"ss://Y2hhY2hhMjAtaWV0Zi1wb2x5MTMwNTpwPnNzP3d-cmQveA@ss.example.com:8388"
         "#%F0%9F%87%AF%F0%9F%87%B5%20Tokyo%2001",
         block(1, "0 \xF0\x9F\x87\xAF\xF0\x9F\x87\xB5 Tokyo 01", "use_kcp=0 server=ss.example.com port=8388 "
               "password=cD5zcz93fnJkL3g= method=chacha20-ietf-poly1305 ss_obfs=none"), "", 0},
        {"ss://Y2hhY2hhMjAtaWV0Zi1wb2x5MTMwNTpwYXNzK3cvcmQ/Pw==@198.51.100.7:443/#std",
         block(1, "0 std", "use_kcp=0 server=198.51.100.7 port=443 password=cGFzcyt3L3JkPz8= "
               "method=chacha20-ietf-poly1305 ss_obfs=none"), "", 0},
        {"ss://YWVzLTEyOC1nY206dGVzdA%3D%3D@192.168.100.1:8888/?plugin=obfs-local%3Bobfs%3Dtls%3Bobfs-host%3Dcdn.a.com",
         block(1, "0", "use_kcp=0 server=192.168.100.1 port=8888 password=dGVzdA== method=aes-128-gcm "
               "ss_obfs=obfs-local ss_obfs_host=obfs=tls;obfs-host=cdn.a.com"), "", 0},
        {"ss://YWVzLTEyOC1nY206dGVzdA@192.168.100.1:8888/?plugin=simple-obfs%3Bobfs%3Dhttp%3Bobfs-host%3Dbing.com#obfs",
         block(1, "0 obfs", "use_kcp=0 server=192.168.100.1 port=8888 password=dGVzdA== method=aes-128-gcm "
               "ss_obfs=obfs-local ss_obfs_host=obfs=http;obfs-host=bing.com"), "", 0},
        {"ss://2022-blake3-aes-128-gcm:YctPZ6U7xPPcU%2Bgp3u%2BOXA%3D%3D@[2001:db8::1]:8443#2022%20v6",
         block(1, "0 2022 v6", "use_kcp=0 server=2001:db8::1 port=8443 password=WWN0UFo2VTd4UFBjVStncDN1K09YQT09 "
               "method=2022-blake3-aes-128-gcm ss_obfs=none"), "", 0},
        {"ss://YmYtY2ZiOnRlc3RAMTkyLjE2OC4xMDAuMTo4ODg4#example-server",
         block(1, "0 example-server", "use_kcp=0 server=192.168.100.1 port=8888 password=dGVzdA== method=bf-cfb "
               "ss_obfs=none"), "", 0},
        {"ssr://" + b64url(ssr_plain),
         block(1, "1 SSR \xE8\x8A\x82", "use_kcp=0 server=ssr.example.com port=8389 password=c3NyLXBhc3M= "
               "method=aes-128-cfb ssr_protocol=auth_aes128_md5 ssr_protocol_param=32:abc ssr_obfs=tls1.2_ticket_auth "
               "ssr_obfs_param=cdn.example.com"), "", 0},
        // Leading zeros are written away, as tarvick reads them and export writes them.
        {"ssr://" + b64url("h.example.com:0080:origin:rc4-md5:plain:" + b64url("p")),
         block(1, "1", "use_kcp=0 server=h.example.com port=80 password=cA== method=rc4-md5 ssr_protocol=origin "
               "ssr_protocol_param= ssr_obfs=plain ssr_obfs_param="), "", 0},
        // vmess: port and aid as numbers, then as strings (URL-safe Base64).
        {vmess(R"({"v":"2","ps":"vm tcp","add":"vm.example.com","port":443,"id":")" + ID +
               R"(","aid":0,"net":"tcp","type":"none","host":"","path":"","tls":""})"),
         block(1, "2 vm tcp", v2("vmess", "none", "tcp", "vm.example.com", "443") + id +
               " v2ray_alterid=0 v2ray_security=auto v2ray_headtype_tcp=none v2ray_mux_enable=0"), "", 0},
        {vmess(R"({"v":"2","ps":"","add":"203.0.113.9","port":"8443","id":")" + ID + R"(","aid":"4",)"
               R"("scy":"aes-128-gcm","net":"ws","type":"none","host":"cdn.a.com","path":"/ray?ed=2048","tls":"tls",)"
               R"("sni":"","fp":"chrome"})", true),
         block(1, "2", v2("vmess", "tls", "ws", "203.0.113.9", "8443") + id + " v2ray_alterid=4 "
               "v2ray_security=aes-128-gcm v2ray_fingerprint=chrome v2ray_network_tlshost=cdn.a.com "
               "v2ray_network_path=/ray?ed=2048 v2ray_network_host=cdn.a.com v2ray_mux_enable=0"), "", 0},
        {vmess(add + R"(q.example.com","port":"443","id":")" + ID + R"(","net":"quic","type":"srtp",)"
               R"("host":"aes-128-gcm","path":"qkey","tls":"tls","sni":"q.example.com"})"),
         block(1, "2", v2("vmess", "tls", "quic", "q.example.com", "443") + id + " v2ray_alterid=0 v2ray_security=auto "
               "v2ray_fingerprint= v2ray_network_tlshost=q.example.com v2ray_quic_security=aes-128-gcm "
               "v2ray_quic_key=qkey v2ray_quic_guise=srtp v2ray_mux_enable=0"), "", 0},
        {vmess(R"({"ps":"gRPC \u2713 \ud83c\uddef\ud83c\uddf5","add":"g.example.com","port":443,"id":")" + ID +
               R"(","aid":"0","net":"grpc","type":"multi","path":"svc","tls":"tls","sni":"sni.example.com"})"),
         block(1, "2 gRPC \xE2\x9C\x93 \xF0\x9F\x87\xAF\xF0\x9F\x87\xB5", v2("vmess", "tls", "grpc", "g.example.com", "443") + id +
               " v2ray_alterid=0 v2ray_security=auto v2ray_fingerprint= v2ray_network_tlshost=sni.example.com "
               "v2ray_grpc_serviceName=svc v2ray_mux_enable=1"), "", 0},
        {vmess(add + R"(2001:db8::5","port":"10000","id":")" + ID + R"(","aid":"2","net":"kcp",)"
               R"("type":"wechat-video"})"),
         block(1, "2", v2("vmess", "none", "mkcp", "2001:db8::5", "10000") + id + " v2ray_alterid=2 "
               "v2ray_security=auto v2ray_headtype_tcp=wechat-video v2ray_mux_enable=0"), "", 0},
        {vmess(add + R"(h.example.com","port":80,"id":")" + ID +
               R"(","net":"tcp","type":"http","host":"www.example.com","path":"/","tls":"none"})"),
         block(1, "2", v2("vmess", "none", "tcp", "h.example.com", "80") + id + " v2ray_alterid=0 v2ray_security=auto "
               "v2ray_headtype_tcp=http v2ray_network_host=www.example.com v2ray_mux_enable=0"), "", 0},
        // vless: TCP+TLS (its alpn dropped with a word), gRPC multi on IPv6, XTLS with a flow.
        {"vless://" + ID + "@vl.example.com:443?encryption=none&security=tls&type=tcp&headerType=none"
                           "&sni=sni.example.com&fp=firefox&alpn=h2%2Chttp%2F1.1#VLESS%20TLS",
         block(1, "2 VLESS TLS", v2("vless", "tls", "tcp", "vl.example.com", "443") + id + " v2ray_fingerprint=firefox "
               "v2ray_network_tlshost=sni.example.com v2ray_headtype_tcp=none v2ray_mux_enable=0"),
         refused("vless", "warning: alpn dropped: the client offers its own ALPN"), 0},
        {"vless://" + ID + "@[2001:db8::2]:443?encryption=none&security=tls&type=grpc&serviceName=grpc-svc&mode=multi",
         block(1, "2", v2("vless", "tls", "grpc", "2001:db8::2", "443") + id + " v2ray_fingerprint= "
               "v2ray_network_tlshost=2001:db8::2 v2ray_grpc_serviceName=grpc-svc v2ray_mux_enable=1"), "", 0},
        // gRPC's multi mode switches nothing on under another transport.
        {"vless://" + ID + "@vl.example.com:443?security=tls&type=ws&path=%2Fw&mode=multi",
         block(1, "2", v2("vless", "tls", "ws", "vl.example.com", "443") + id + " v2ray_fingerprint= "
               "v2ray_network_tlshost=vl.example.com v2ray_network_path=/w v2ray_network_host= v2ray_mux_enable=0"),
         refused("vless", "warning: mode dropped: it changes nothing over ws with security tls"), 0},
        {"vless://" + ID + "@x.example.com:443?security=xtls&flow=xtls-rprx-direct&type=tcp&sni=x.example.com",
         block(1, "2", v2("vless", "xtls", "tcp", "x.example.com", "443") + id + " v2ray_network_flow=xtls-rprx-direct "
               "v2ray_network_tlshost=x.example.com v2ray_headtype_tcp=none v2ray_mux_enable=0"), "", 0},
        // trojan over plain TCP and TLS is the Trojan client's; anything else V2Ray's.
        {"trojan://pa%24%24%40word@tj.example.com:443?security=tls&sni=sni.example.com#Trojan%20%231",
         block(1, "3 Trojan #1", "server=tj.example.com port=443 password=cGEkJEB3b3Jk ssl_verify_enable=1 "
               "trojan_sni=sni.example.com trojan_mp_enable=0"), "", 0},
        {"trojan://secret@203.0.113.5:8443?peer=peer.example.com&allowInsecure=1",
         block(1, "3", "server=203.0.113.5 port=8443 password=c2VjcmV0 ssl_verify_enable=0 trojan_sni=peer.example.com "
               "trojan_mp_enable=0"), "", 0},
        {"trojan://secret@tj.example.com:443?allowInsecure=true#tab%09new%0Aline",
         block(1, "3 tab new line", "server=tj.example.com port=443 password=c2VjcmV0 ssl_verify_enable=0 "
               "trojan_sni=tj.example.com trojan_mp_enable=0"), "", 0},
        {"trojan://secret@tj.example.com:443?type=tcp&headerType=none&allowInsecure=0&sni=a.example.com&fp=chrome",
         block(1, "3", "server=tj.example.com port=443 password=c2VjcmV0 ssl_verify_enable=1 trojan_sni=a.example.com "
               "trojan_mp_enable=0"), refused("trojan", fp), 0},
        // No client sends a name or path with a control byte in it.
        {"trojan://secret@t.example.com:443?type=ws&path=%2Fws%3Fed%3D2048%5C%09%01%7F%0A&host=h.example.com#WS", "",
         refused("trojan", "path '/ws?ed=2048\\\\x09\\x01\\x7f\\x0a' holds a control byte, which no client takes in a "
                           "name"), 1},
        {"vless://" + ID + "@v.example.com:443?security=tls&sni=a%0Ab", "",
         refused("vless", "sni 'a\\x0ab' holds a control byte, which no client takes in a name"), 1},
        // A host's escapes are the clients' URL readers': a byte beyond ASCII
        // only.
        {"vless://" + ID + "@ex%61mple.com:443?security=none", "",
         refused("vless", "bad host: %61 is no escape a host may hold (only bytes beyond ASCII are written escaped)"), 1},
        {"vless://" + ID + "@%E4%BE%8B.example:443?security=none",
         block(1, "2", v2("vless", "none", "tcp", "\xe4\xbe\x8b.example", "443") + id +
               " v2ray_headtype_tcp=none v2ray_mux_enable=0"), "", 0},
        // Escapes wherever they fall among eight bytes of an id, which keeps
        // its bytes; UTF-8 stays as it is.
        {"vless://%C3%A9abc%7Fdefghijklm%5Cn%01@t.example.com:443?security=none",
         block(1, "2", v2("vless", "none", "tcp", "t.example.com", "443") + " v2ray_uuid=\xc3\xa9" "abc\\x7fdefghijklm\\\\n\\x01 "
               "v2ray_headtype_tcp=none v2ray_mux_enable=0"), "", 0},
        {"trojan://secret@t.example.com:443?type=ws&path=%2F" + longest,
         block(1, "2", v2("trojan", "tls", "ws", "t.example.com", "443") + " password=c2VjcmV0 v2ray_fingerprint= "
               "v2ray_network_tlshost=t.example.com v2ray_network_path=/" + longest + " v2ray_network_host= "
               "v2ray_mux_enable=0"), "", 0},
        // simple-obfs's options as parameters of their own (Hiddify): the
        // plugin's, which must agree with any it names itself.
        {"ss://YWVzLTI1Ni1nY206cA@s.example.com:8388?plugin=obfs-local&obfs=http&obfs-host=www.bing.com#H\n"
         "ss://YWVzLTI1Ni1nY206cA@s.example.com:8388?obfs=tls\n"
         "ss://YWVzLTI1Ni1nY206cA@s.example.com:8388?plugin=obfs-local%3Bobfs%3Dhttp&obfs=tls",
         block(1, "0 H", "use_kcp=0 server=s.example.com port=8388 password=cA== method=aes-256-gcm ss_obfs=obfs-local "
               "ss_obfs_host=obfs=http;obfs-host=www.bing.com") +
             block(2, "0", "use_kcp=0 server=s.example.com port=8388 password=cA== method=aes-256-gcm "
                   "ss_obfs=obfs-local ss_obfs_host=obfs=tls"),
         refused("ss", "the plugin's own options and its obfs and obfs-host parameters disagree", 3), 1},
        // Shadowrocket's vmess form is the node its JSON form gives.
        {"vmess://" + base64("auto:" + ID + "@v.example.com:443") + "?remarks=SR%20node&obfs=websocket&path=/ws"
         "&obfsParam=cdn.example.com&tls=1&peer=sni.example.com&alterId=0&tfo=1\n" +
             vmess(add + R"(v.example.com","port":"443","id":")" + ID + R"(","aid":"0","scy":"auto","net":"ws",)"
                   R"("host":"cdn.example.com","path":"/ws","tls":"tls","sni":"sni.example.com","ps":"SR node"})"),
         block(1, "2 SR node", v2("vmess", "tls", "ws", "v.example.com", "443") + id + " v2ray_alterid=0 "
               "v2ray_security=auto v2ray_fingerprint= v2ray_network_tlshost=sni.example.com v2ray_network_path=/ws "
               "v2ray_network_host=cdn.example.com v2ray_mux_enable=0") +
             block(2, "2 SR node", v2("vmess", "tls", "ws", "v.example.com", "443") + id + " v2ray_alterid=0 "
                   "v2ray_security=auto v2ray_fingerprint= v2ray_network_tlshost=sni.example.com "
                   "v2ray_network_path=/ws v2ray_network_host=cdn.example.com v2ray_mux_enable=0"),
         refused("vmess", "warning: parameter tfo dropped: the V2Ray/Xray document has no place for it"), 0},
        {"vmess://" + base64("auto:" + ID + "@v.example.com:443") + "?obfs=quic", "",
         refused("vmess", "Shadowrocket's obfs 'quic' is no vmess transport"), 1},
        // SOCKS and HTTP proxies, their account as Base64 or as it is.
        {"socks://dXNlcjpwYXNz@s.example.com:1080#S",
         block(1, "2 S", v2("socks", "none", "tcp", "s.example.com", "1080") + " auth=1 username=user "
               "password=cGFzcw== v2ray_headtype_tcp=none v2ray_mux_enable=0"), "", 0},
        {"http://u%40x:p%3Aq@[2001:db8::1]:8080\nsocks5://s.example.com:1080?udp=1",
         block(1, "2", v2("http", "none", "tcp", "2001:db8::1", "8080") + " auth=1 username=u@x password=cDpx "
               "v2ray_headtype_tcp=none v2ray_mux_enable=0") +
         block(2, "2", v2("socks", "none", "tcp", "s.example.com", "1080") + " auth=0 v2ray_headtype_tcp=none "
               "v2ray_mux_enable=0"),
         refused("socks5", "warning: parameter udp dropped: the V2Ray/Xray document has no place for it", 2), 0},
        {"tuic://uuid:pw@t.example.com:443", "",
         refused("tuic", "no client tarvick or tarvick-node xray writes for runs this protocol"), 1},
        // Banners and expired accounts' entries are no servers: a note each.
        {"trojan://pw@2025-12-31:443#expires\nvless://" + ID + "@x.example.com:443?security=tls&sni=fake_ip_for_sub_link"
         "\nss://YWVzLTI1Ni1nY206cA@0.0.0.0:1#ended", "",
         refused("trojan", "note: not a server (its address is a time stamp): skipped") +
             refused("vless", "note: not a server (its address is fake_ip_for_sub_link): skipped", 2) +
             refused("ss", "note: not a server (its address is no host): skipped", 3), 0},
        // A refused line does not stop the others.
        {"not a link\nvless://" + ID + "@[::1]:1?security=none",
         block(1, "2", v2("vless", "none", "tcp", "::1", "1") + id + " v2ray_headtype_tcp=none v2ray_mux_enable=0"),
         refused("?", UNKNOWN), 1},
        // Links as panels and client apps write them. Shadowsocks over a
        // V2Ray transport is the V2Ray/Xray document's; stating the defaults
        // changes nothing.
        {"ss://" + b64url("aes-128-gcm:pass") + "@ss.example.com:443?type=ws&path=%2Fws&host=cdn.example.com"
                                                 "&security=tls&sni=sni.example.com#WS",
         block(1, "2 WS", v2("ss", "tls", "ws", "ss.example.com", "443") + " password=cGFzcw== "
               "v2ray_ss_method=aes-128-gcm v2ray_fingerprint= v2ray_network_tlshost=sni.example.com "
               "v2ray_network_path=/ws v2ray_network_host=cdn.example.com v2ray_mux_enable=0"), "", 0},
        {"ss://" + b64url("aes-128-gcm:pass") + "@ss.example.com:8388?type=tcp&security=none&headerType=none",
         block(1, "0", "use_kcp=0 server=ss.example.com port=8388 password=cGFzcw== method=aes-128-gcm ss_obfs=none"),
         "", 0},
        // "echo ... | base64" makes the older form's text end in a newline.
        {"ss://" + base64("aes-128-gcm:pass@ss.example.com:8388\n"),
         block(1, "0", "use_kcp=0 server=ss.example.com port=8388 password=cGFzcw== method=aes-128-gcm ss_obfs=none"),
         "", 0},
        // Trojan over a transport, the older ws=1 form included, is V2Ray's.
        {"trojan://pw@t.example.com:443?type=grpc&serviceName=svc&sni=s.example.com",
         block(1, "2", v2("trojan", "tls", "grpc", "t.example.com", "443") + " password=cHc= v2ray_fingerprint= "
               "v2ray_network_tlshost=s.example.com v2ray_grpc_serviceName=svc v2ray_mux_enable=0"), "", 0},
        {"trojan://pw@t.example.com:443?ws=1&wspath=%2Fws&wshost=cdn.example.com&peer=p.example.com#old",
         block(1, "2 old", v2("trojan", "tls", "ws", "t.example.com", "443") + " password=cHc= v2ray_fingerprint= "
               "v2ray_network_tlshost=p.example.com v2ray_network_path=/ws v2ray_network_host=cdn.example.com "
               "v2ray_mux_enable=0"), "", 0},
        // Trojan's host names the server when nothing else does; verification
        // as each client spells it.
        {"trojan://pw@t.example.com:443?skip-cert-verify=false&host=h.example.com",
         block(1, "3", "server=t.example.com port=443 password=cHc= ssl_verify_enable=1 trojan_sni=h.example.com "
               "trojan_mp_enable=0"), "", 0},
        {"trojan://pw@t.example.com:443?insecure=1&pcs=ab",
         block(1, "3", "server=t.example.com port=443 password=cHc= ssl_verify_enable=0 trojan_sni=t.example.com "
               "trojan_mp_enable=0"),
         refused("trojan", "warning: pcs dropped: the Trojan client cannot pin the certificate or verify it by other "
                           "names: it verifies it against the CA bundle, or not at all as the link says"), 0},
        {vl + "security=tls&type=raw&sni=h.example.com&allowInsecure=0",
         block(1, "2", v2("vless", "tls", "tcp", "h.example.com", "443") + id + " v2ray_fingerprint= "
               "v2ray_network_tlshost=h.example.com v2ray_headtype_tcp=none v2ray_mux_enable=0"),
         refused("vless", "warning: the certificate will not be verified, though the link asks for it (allowInsecure): "
                          "the V2Ray/Xray document never verifies"), 0},
        // vmess members the reader does not use may hold any JSON value.
        {vmess(R"({"v":2,"ps":"any","add":"vm.example.com","port":443,"id":")" + ID + R"(","aid":0,"net":"tcp",)"
               R"("type":"none","tls":"","allowInsecure":true,"extra":{"a":[1,2.5,{"b":null}],"c":false},)"
               R"("score":-1.5e3,"tags":[]})"),
         block(1, "2 any", v2("vmess", "none", "tcp", "vm.example.com", "443") + id + " v2ray_alterid=0 "
               "v2ray_security=auto v2ray_headtype_tcp=none v2ray_mux_enable=0"), "", 0},
        {vmess(add + R"(g.example.com","port":443,"id":")" + ID + R"(","net":"grpc","type":"none","path":"s",)"
               R"("tls":"tls","verify_cert":true})"),
         block(1, "2", v2("vmess", "tls", "grpc", "g.example.com", "443") + id + " v2ray_alterid=0 "
               "v2ray_security=auto v2ray_fingerprint= v2ray_network_tlshost=g.example.com v2ray_grpc_serviceName=s "
               "v2ray_mux_enable=0"),
         refused("vmess", "warning: the certificate will not be verified, though the link asks for it (verify_cert): "
                          "the V2Ray/Xray document never verifies"), 0},
        // A host list is a list where the client takes one (an HTTP header's).
        {vmess(add + R"(h.example.com","port":80,"id":")" + ID + R"(","net":"tcp","type":"http",)"
               R"("host":"a.example.com,b.example.com"})"),
         block(1, "2", v2("vmess", "none", "tcp", "h.example.com", "80") + id + " v2ray_alterid=0 v2ray_security=auto "
               "v2ray_headtype_tcp=http v2ray_network_host=a.example.com,b.example.com v2ray_mux_enable=0"), "", 0},
        {"ssr://" + b64url("h.example.com:443:origin:aes-256-cfb:plain:" + b64url("pw") + "/"),
         block(1, "1", "use_kcp=0 server=h.example.com port=443 password=cHc= method=aes-256-cfb ssr_protocol=origin "
               "ssr_protocol_param= ssr_obfs=plain ssr_obfs_param="), "", 0},
        // Every dropped parameter has its own line, however many there are.
        {"trojan://pw@t.example.com:443?a1=1&a2=2&a3=3&a4=4&a5=5&a6=6&a7=7&a8=8&a9=9&a10=10&a11=11&a12=12",
         block(1, "3", "server=t.example.com port=443 password=cHc= ssl_verify_enable=1 trojan_sni=t.example.com "
               "trojan_mp_enable=0"),
         dozen_dropped, 0},
        // Refusals.
        {"foo://id:pw@h.example.com:443", "", refused("foo", UNKNOWN), 1},
        // Current Xray's own kinds come in with --xray only.
        {"hysteria2://pw@h.example.com:443\nwg://k@h.example.com:51820", "",
         refused("hysteria2", "protocol hysteria2" + NOT_CARRIED) + refused("wg", "protocol wireguard" + NOT_CARRIED, 2), 1},
        {"vless://" + ID + "@h.example.com:0", "", refused("vless", "bad port '0' (1 to 65535)"), 1},
        {"trojan://pw@h.example.com:65536", "", refused("trojan", "bad port '65536' (1 to 65535)"), 1},
        {"ss://YWVzLTEyOC1nY206dGVzdA@h.example.com:80a", "", refused("ss", "bad port '80a' (1 to 65535)"), 1},
        {vmess(add + R"(h.example.com","port":70000,"id":"x"})"), "", refused("vmess", "bad port '70000' (1 to 65535)"),
         1},
        {"vless://" + ID + "@:443", "", refused("vless", "no host"), 1},
        {"trojan://pw@h.example.com", "", refused("trojan", "no port"), 1},
        // The Trojan client has no ECH and no final mask: a plain TCP trojan link with them is no Trojan node.
        // gRPC's authority, xhttp's extra and REALITY's pqv change nothing here: warned as dropped.
        {"trojan://pw@t.example.com:443?authority=a.example.com&extra=%7B%7D&pqv=AAAA",
         block(1, "3", "server=t.example.com port=443 password=cHc= ssl_verify_enable=1 trojan_sni=t.example.com "
               "trojan_mp_enable=0"),
         refused("trojan", "warning: parameter authority dropped: the Trojan document has no place for it") +
             refused("trojan", "warning: parameter extra dropped: the Trojan document has no place for it") +
             refused("trojan", "warning: parameter pqv dropped: the Trojan document has no place for it"), 0},
        {"trojan://pw@h.example.com:443?ech=AEn%2B\ntrojan://pw@h.example.com:443?fm=%7B%7D", "",
         refused("trojan", "an ECH configuration cannot be carried by the documents") +
             refused("trojan", "a final mask (fm) cannot be carried by the documents", 2), 1},
        {"vless://" + ID + "@2001:db8::1:443", "", refused("vless", "bad host (IPv6 must stand in brackets)"), 1},
        {"vmess://not*base64", "", refused("vmess", "bad Base64"), 1},
        {"ss://a*b@h.example.com:1", "", refused("ss", "bad Base64 in the user info"), 1},
        {vmess(add + R"(h.example.com","port":1)"), "", refused("vmess", "broken JSON"), 1},
        {vmess(add + R"(h.example.com","port":443.0,"id":"x"})"), "",
         refused("vmess", "port is neither a text nor a whole number"), 1},
        {vmess(add + R"(h.example.com","port":1,"id":"x","alpn":["h2"]})"), "",
         refused("vmess", "alpn is neither a text nor a whole number"), 1},
        {vmess(add + R"(h.example.com","port":1,"id":"x","ps":"\udc00"})"), "", refused("vmess", "broken JSON"), 1},
        {"trojan://a%00b@h.example.com:443", "", refused("trojan", "password holds a NUL byte"), 1},
        {"vless://a%00b@h.example.com:443", "", refused("vless", "v2ray_uuid holds a NUL byte"), 1},
        {vmess(add + R"(h.example.com","port":1,"id":"a\u0000b"})"), "", refused("vmess", "id holds a NUL byte"), 1},
        {"trojan://secret@t.example.com:443?type=ws&path=%2F" + too_long, "",
         refused("trojan", "v2ray_network_path is longer than 9998 bytes"), 1},
        {vl + "security=reality&pbk=key&sid=1", "", refused("vless", "security reality" + NOT_CARRIED), 1},
        {vl + "type=xhttp\n" + vl + "type=splithttp\ntrojan://pw@h.example.com:443?type=httpupgrade", "",
         refused("vless", "network xhttp" + NOT_CARRIED) + refused("vless", "network splithttp" + NOT_CARRIED, 2) +
             refused("trojan", "network httpupgrade" + NOT_CARRIED, 3), 1},
        {vl + "security=tls&flow=xtls-rprx-vision", "",
         refused("vless", "flow xtls-rprx-vision over tls cannot be carried (the document sends a flow only "
                          "with xtls)"), 1},
        {vl + "encryption=aes-128-gcm", "",
         refused("vless", "encryption aes-128-gcm cannot be carried (the document sends none)"), 1},
        {vl + "type=kcp&seed=abc\n" + vmess(add + R"(h.example.com","port":1,"id":"x","net":"kcp","path":"abc"})"), "",
         refused("vless", seed) + refused("vmess", seed, 2), 1},
        {vmess(add + R"(h.example.com","port":1,"id":"x","type":"http","path":"/x"})"), "",
         refused("vmess", "TCP HTTP header path /x cannot be carried (the document sends /)"), 1},
        {vl + "type=foo\n" + vl + "security=foo\n" + vl + "headerType=foo\n" + vl + "type=grpc&mode=foo", "",
         refused("vless", "unknown network 'foo'") + refused("vless", "unknown security 'foo'", 2) +
             refused("vless", "unknown TCP header type 'foo'", 3) + refused("vless", "unknown gRPC mode 'foo'", 4), 1},
        {"ss://" + b64url("aes-128-gcm:pass") + "@h.example.com:1?plugin=obfs-local&type=ws", "",
         refused("ss", "a plugin and a transport together cannot be carried"), 1},
        {"trojan://@t.example.com:443\nss://" + b64url("aes-128-gcm:") + "@h.example.com:1\nvless://@h.example.com:1",
         "", refused("trojan", "no password") + refused("ss", "no password", 2) + refused("vless", "no id", 3), 1},
        {vmess(add + R"(h.example.com","port":443,"id":")" + ID + R"(","net":"ws","tls":"tls",)"
               R"("host":"a.example.com,b.example.com"})") + "\n" +
             vmess(add + R"(h.example.com","port":443,"id":")" + ID + R"(","net":"h2","tls":"tls",)"
                   R"("host":"a.example.com,b.example.com"})"),
         "", refused("vmess", "host a.example.com,b.example.com is a list, and the ws transport takes one name") +
                 refused("vmess", "host a.example.com,b.example.com is a list and the link names no sni: a TLS server "
                                  "name is one name", 2), 1},
        {"vmess://" + ID + "@h.example.com:443?security=tls", "",
         refused("vmess", "the vmess URL form (vmess://id@host:port?...) is not taken: use the vmess JSON form or a "
                          "vless link"), 1},
        // The input's control bytes reach no terminal.
        {vl + "type=%1B%5B31mred\n\x1b[2Jfoo://x", "",
         refused("vless", "unknown network '\\x1b[31mred'") + refused("\\x1b[2Jfoo", UNKNOWN, 2), 1},
    };
}

struct Block {
    int node = 0;
    std::string type;
    Lines lines;
    std::vector<std::pair<std::string, std::string>> settings; // keys and unescaped values
};

// The daemon's escapes: \\ \n \t and \xHH.
std::string unescape(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        char c = text[i];
        if (c == '\\' && i + 1 < text.size()) {
            c = text[++i];
            if (c == 'n' || c == 't')
                c = c == 'n' ? '\n' : '\t';
            else if (c == 'x' && i + 2 < text.size())
                c = (char)strtol(text.substr(i + 1, 2).c_str(), NULL, 16), i += 2;
        }
        out += c;
    }
    return out;
}

std::vector<Block> parse_blocks(const std::string &out)
{
    std::vector<Block> blocks;
    for (size_t at = 0, end; at < out.size(); at = end + 1) {
        end = std::min(out.find('\n', at), out.size());
        const std::string line = out.substr(at, end - at);
        if (line.rfind("# node ", 0) == 0) {
            blocks.emplace_back();
            blocks.back().node = atoi(line.c_str() + 7);
            blocks.back().type = line.substr(line.find(" type ") + 6, 1);
        } else if (!blocks.empty()) {
            blocks.back().lines.push_back(line);
            const size_t equals = line.find('=');
            blocks.back().settings.emplace_back(line.substr(0, equals), unescape(line.substr(equals + 1)));
        }
    }
    return blocks;
}

struct ExportCase {
    std::string type;
    std::string fields; // node 5's settings, blank-separated "field=value"
    std::string out;
    std::string err;
};

class NodeTest : public TarvickTest {
protected:
    void serve(const std::vector<std::pair<std::string, std::string>> &settings, const std::string &node = "")
    {
        daemon.clear();
        for (const auto &setting : settings)
            daemon.set(setting.first, setting.second);
        if (!node.empty())
            daemon.set("ssconf_basic_node", node + "\n");
    }
    // Node 5 of these blank-separated "field=value" settings.
    void serve_node(const std::string &fields, const std::string &active = "")
    {
        serve(parse_blocks(block(5, "", fields))[0].settings, active);
    }
    // Export prints this for node 5, after the very lookups tarvick makes.
    void check_export(const ExportCase &c)
    {
        SCOPED_TRACE(c.type + " " + c.fields);
        serve_node(c.fields);
        RunResult run = run_tarvick_node({"export", c.type, "5"});
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(run.err, c.err);
        EXPECT_EQ(run.status, c.out.empty() ? 1 : 0);
        Lines export_keys = daemon.keys();
        serve_node(c.fields, "5");
        generate(c.type);
        EXPECT_EQ(export_keys, daemon.keys());
    }
    // The link export prints for an imported node.
    std::string exported(const Block &b)
    {
        serve(b.settings);
        RunResult run = run_tarvick_node({"export", b.type, std::to_string(b.node)});
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.err, "");
        return run.out.substr(0, run.out.size() - (run.out.empty() ? 0 : 1));
    }
};

TEST_F(NodeTest, ImportTable)
{
    for (const ImportCase &c : import_cases()) {
        SCOPED_TRACE(c.input.substr(0, 200));
        RunResult run = run_tarvick_node({"import"}, c.input + "\n");
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(run.err, c.err);
        EXPECT_EQ(run.status, c.status);
    }
}

// A NUL would reach the client as a value cut short, whatever field or
// parameter holds it.
TEST_F(NodeTest, NulInAnyValueIsRefused)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"trojan", "trojan://pw@h.example.com:443?sni=a%00b"},
        {"vless", "vless://" + ID + "@h.example.com:443?type=ws&path=%2Fa%00b"},
        {"vless", "vless://" + ID + "@h.example.com:443?type=ws&host=a%00b"},
        {"ss", "ss://YWVzLTEyOC1nY206dGVzdA@h.example.com:443?plugin=obfs-local%3Bobfs%3Dhttp%00x"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.second);
        RunResult run = run_tarvick_node({"import"}, c.second + "\n");
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err.rfind("tarvick-node: line 1: " + c.first + ": ", 0), 0u) << run.err;
        EXPECT_NE(run.err.find("NUL"), std::string::npos) << run.err;
        EXPECT_EQ(run.status, 1);
    }
}

// Every field dropped gets its own warning line, in the order of the link.
TEST_F(NodeTest, EachDroppedFieldIsWarned)
{
    RunResult run = run_tarvick_node({"import"}, "trojan://pw@h.example.com:443?fp=chrome&alpn=h2\n");
    EXPECT_EQ(run.err, refused("trojan", "warning: fp dropped: the Trojan client has no fingerprint setting") +
                           refused("trojan", "warning: alpn dropped: the client offers its own ALPN"));
    EXPECT_EQ(parse_blocks(run.out).size(), 1u);
    EXPECT_EQ(run.status, 0);
}

// tarvick run on each imported node reads exactly the printed keys, in that
// order (a key it reads twice counts where it is first read).
TEST_F(NodeTest, ImportedKeysAreTheKeysTarvickReads)
{
    int checked = 0;
    for (const ImportCase &c : import_cases()) {
        for (const Block &b : parse_blocks(c.out)) {
            SCOPED_TRACE(c.input.substr(0, 200));
            serve(b.settings, std::to_string(b.node));
            generate(b.type);
            EXPECT_EQ(last.status, 0);
            EXPECT_EQ(last.err, "");
            Lines read, printed;
            for (const std::string &key : daemon.keys())
                if (key != "ssconf_basic_node" && key != "mossgarden_arch" &&
                    std::find(read.begin(), read.end(), key) == read.end())
                    read.push_back(key);
            for (const auto &setting : b.settings)
                printed.push_back(setting.first);
            EXPECT_EQ(read, printed);
            checked++;
        }
    }
    EXPECT_EQ(checked, 47);
}

TEST_F(NodeTest, SubscriptionsInEitherAlphabetGiveWhatTheLinksGive)
{
    // ss, vmess ws and quic, a refused line, two Trojan nodes of one shape, ssr.
    const std::vector<ImportCase> rows = import_cases();
    const Lines links = {rows[0].input, rows[8].input, rows[9].input, "bad://x", rows[17].input, rows[18].input,
                         rows[6].input};
    std::string text = "# provider\r\n\r\n", expected;
    int node = 1;
    for (const std::string &link : links) {
        text += "  " + link + "\t\r\n";
        if (link != "bad://x")
            expected += run_tarvick_node({"import", "--first", std::to_string(node++)}, link).out;
    }
    RunResult plain = run_tarvick_node({"import"}, text);
    EXPECT_EQ(plain.out, expected);
    EXPECT_EQ(plain.err, refused("bad", UNKNOWN, 6));
    EXPECT_EQ(plain.status, 1);

    text += text.size() % 3 ? "" : "\n"; // so that padding shows
    const std::string standard = base64(text), unpadded = base64(text, false, false);
    ASSERT_NE(standard.find_first_of("+/"), std::string::npos);
    std::string wrapped, wrapped_unpadded;
    for (size_t i = 0; i < standard.size(); i += 76)
        wrapped += standard.substr(i, 76) + "\r\n";
    for (size_t i = 0; i < unpadded.size(); i += 64)
        wrapped_unpadded += unpadded.substr(i, 64) + "\n";
    // A UTF-8 byte order mark may start the file, or the text it encodes.
    const std::string bom = "\xEF\xBB\xBF";
    for (const std::string &body : {wrapped, b64url(text), wrapped_unpadded, bom + text, bom + wrapped, base64(bom + text)}) {
        SCOPED_TRACE(body.substr(0, 80));
        RunResult run = run_tarvick_node({"import"}, body);
        EXPECT_EQ(run.out, plain.out);
        EXPECT_EQ(run.err, plain.err);
        EXPECT_EQ(run.status, 1);
    }
    // From a file, whether or not the byte after its end starts a page.
    for (const std::string &body : {text, wrapped})
        for (size_t size : {4095u, 4096u, 4097u}) {
            SCOPED_TRACE(size);
            ASSERT_LT(body.size(), size);
            write_file("/tmp/links.txt", body + std::string(size - body.size(), '\n'));
            RunResult run = run_tarvick_node({"import", "/tmp/links.txt"});
            EXPECT_EQ(run.out, plain.out);
            EXPECT_EQ(run.err, plain.err);
        }
    RunResult neither = run_tarvick_node({"import"}, "hello world!\n");
    EXPECT_EQ(neither.out, "");
    EXPECT_EQ(neither.err, refused("?", UNKNOWN));
    EXPECT_EQ(neither.status, 1);
}

// What a file holds past its first bytes must be whole node blocks of the
// full output, from its start.
void expect_whole_blocks(const std::string &file, const std::string &before, const std::string &whole)
{
    ASSERT_EQ(file.compare(0, before.size(), before), 0);
    const std::string written = file.substr(before.size());
    EXPECT_EQ(whole.compare(0, written.size(), written), 0);
    EXPECT_TRUE(written.size() == whole.size() || whole.compare(written.size(), 7, "# node ") == 0)
        << "cut after " << written.size() << " bytes: " << written.substr(written.size() > 80 ? written.size() - 80 : 0);
}

std::string many_links(int count)
{
    std::string links;
    for (int i = 0; i < count; i++)
        links += "trojan://pw" + std::to_string(i) + "@t" + std::to_string(i) + ".example.com:443?sni=s.example.com#n" +
                 std::to_string(i) + "\n";
    return links;
}

// On standard output a node block is whole or absent: when the disk fills,
// and when import is ended by a signal, a settings file appended to keeps
// what it had and whole blocks only.
TEST_F(NodeTest, OutputHoldsWholeBlocksOnly)
{
    const std::string before = "ssconf_basic_node=1\n";
    write_file("/tmp/links.txt", many_links(3000));
    const std::string whole = run_tarvick_node({"import", "/tmp/links.txt"}).out;
    ASSERT_GT(whole.size(), 400000u);

    mkdir("/tmp/small", 0755);
    ASSERT_EQ(mount("tmpfs", "/tmp/small", "tmpfs", 0, "size=256k"), 0);
    write_file("/tmp/small/settings.conf", before);
    RunResult full = run_program(tarvick_node_path(), {"import", "/tmp/links.txt"}, NULL, "/tmp/small/settings.conf");
    EXPECT_EQ(full.err, "tarvick-node: standard output: No space left on device\n");
    EXPECT_EQ(full.status, 2);
    const std::string kept = read_file("/tmp/small/settings.conf");
    EXPECT_GT(kept.size(), before.size());
    expect_whole_blocks(kept, before, whole);
    umount("/tmp/small");

    // A signal's timing is the emulator's under a wrapper, whose own end
    // would only be reported as a fault.
    if (run_is_wrapped())
        return;
    write_file("/tmp/links.txt", many_links(60000));
    const std::string big = run_tarvick_node({"import", "/tmp/links.txt"}).out;
    for (const char *after : {"0.05", "0.1", "0.2", "0.3"}) {
        SCOPED_TRACE(after);
        write_file("/tmp/settings.conf", before);
        RunResult ended = run_program("timeout", {"-s", "TERM", after, tarvick_node_path(), "import", "/tmp/links.txt"},
                                      NULL, "/tmp/settings.conf");
        expect_whole_blocks(read_file("/tmp/settings.conf"), before, big);
    }
}

// A file cut short while import reads it would give a last link cut short,
// that is another node: it is refused whole.
TEST_F(NodeTest, InputThatChangesWhileReadIsRefused)
{
    if (preload_shim_path().empty() || (getenv("TARVICK_WRAPPER") && strstr(getenv("TARVICK_WRAPPER"), "qemu")))
        GTEST_SKIP() << "needs the preload shim in the tool itself";
    write_file("/tmp/links.txt", many_links(3000));
    std::string asan = getenv("ASAN_OPTIONS") ? getenv("ASAN_OPTIONS") : "";
    const std::vector<std::pair<std::string, std::string>> env = {
        {"LD_PRELOAD", preload_shim_path()}, {"TARVICK_SHIM_SHRINK", "/tmp/links.txt"},
        {"TARVICK_SHIM_LOG", "/tmp/shim-log"}, {"ASAN_OPTIONS", asan + (asan.empty() ? "" : ":") + "verify_asan_link_order=0"}};
    for (const auto &entry : env)
        setenv(entry.first.c_str(), entry.second.c_str(), 1);
    RunResult run = run_tarvick_node({"import", "/tmp/links.txt"});
    for (const auto &entry : env)
        unsetenv(entry.first.c_str());
    if (!asan.empty())
        setenv("ASAN_OPTIONS", asan.c_str(), 1);
    if (read_file("/tmp/shim-log").find("shrunk=1") == std::string::npos)
        GTEST_SKIP() << "a static tool ignores the preload shim";
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "tarvick-node: /tmp/links.txt: the file changed while it was read\n");
    EXPECT_EQ(run.status, 2);
}

TEST_F(NodeTest, FirstNumbersImportedLinksOnly)
{
    write_file("/tmp/links.txt", "trojan://pw@a.example.com:443\nfoo://x\n\ntrojan://pw@b.example.com:443");
    RunResult run = run_tarvick_node({"import", "--first", "7", "/tmp/links.txt"});
    const std::string node = "port=443 password=cHc= ssl_verify_enable=1 trojan_sni=";
    EXPECT_EQ(run.out, block(7, "3", "server=a.example.com " + node + "a.example.com trojan_mp_enable=0") +
                           block(8, "3", "server=b.example.com " + node + "b.example.com trojan_mp_enable=0"));
    EXPECT_EQ(run.err, refused("foo", UNKNOWN, 2));
    EXPECT_EQ(run.status, 1);
}

// Input that cannot be read whole: a message, nothing on standard output.
TEST_F(NodeTest, InputOfMoreThan16MiBOrUnreadableIsRefusedWhole)
{
    const std::string link = "trojan://pw@a.example.com:443\n#";
    std::string input = link + std::string((16u << 20) - link.size(), '#');
    write_file("/tmp/big.txt", input);
    RunResult limit = run_tarvick_node({"import", "/tmp/big.txt"});
    EXPECT_EQ(limit.status, 0);
    EXPECT_EQ(parse_blocks(limit.out).size(), 1u);
    input += "#";
    write_file("/tmp/big.txt", input);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/tmp/big.txt", "input is larger than 16 MiB"}, {"-", "input is larger than 16 MiB"},
        {"/tmp/missing.txt", "No such file or directory"}, {"/tmp", "Is a directory"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.first);
        RunResult run = run_tarvick_node({"import", c.first}, c.first == "-" ? input : "");
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err.substr(0, run.err.find('\n') + 1), "tarvick-node: " + c.first + ": " + c.second + "\n");
        EXPECT_EQ(run.status, 2);
    }
}

// A read error is no usage error.
TEST_F(NodeTest, ReadErrorsPrintTheirMessageAlone)
{
    EXPECT_EQ(run_tarvick_node({"import", "/tmp"}).err, "tarvick-node: /tmp: Is a directory\n");
    EXPECT_EQ(run_tarvick_node({"import", "/tmp/missing.txt"}).err,
              "tarvick-node: /tmp/missing.txt: No such file or directory\n");
}

TEST_F(NodeTest, UsageErrorsExitTwo)
{
    const std::vector<Lines> cases = {
        {}, {"frob"}, {"import", "a", "b"}, {"import", "--first"}, {"import", "--first", "x"},
        {"import", "--first", "-1"}, {"import", "--all"}, {"export"}, {"export", "4"}, {"export", "x"},
        {"export", "-1"}, {"export", "2", "x"}, {"export", "2", "1", "3"},
    };
    for (const Lines &args : cases) {
        SCOPED_TRACE(testing::PrintToString(args));
        RunResult run = run_tarvick_node(args, "trojan://pw@a.example.com:443\n");
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, USAGE);
        EXPECT_EQ(run.status, 2);
    }
    EXPECT_EQ(daemon.keys(), Lines{});
}

TEST_F(NodeTest, ExportTable)
{
    const std::string ss = "server=192.0.2.1 port=8388 password=cD5zcz93fnJkL3g= method=chacha20-ietf-poly1305 ";
    const std::string ss_link = "ss://Y2hhY2hhMjAtaWV0Zi1wb2x5MTMwNTpwPnNzP3d-cmQveA@192.0.2.1:8388/";
    const std::string tj = "server=tj.example.com port=443 password=cGEkJEB3b3Jk trojan_sni=sni.example.com";
    const std::string tj_link = "trojan://pa%24%24%40word@tj.example.com:443?security=tls&sni=sni.example.com";
    const std::string vl = "v2ray_protocol=vless server=2001:db8::2 port=443 v2ray_uuid=" + ID;
    const std::string vl_link = "vless://" + ID + "@[2001:db8::2]:443?encryption=none&security=";
    const std::string no_link = "tarvick-node: node 5 type 2: ";
    const std::vector<ExportCase> cases = {
        {"0", ss + "ss_obfs=none", ss_link + "\n", ""},
        {"0", ss + "use_kcp=0 ss_obfs=obfs-local ss_obfs_host=obfs=http;obfs-host=www.bing.com",
         ss_link + "?plugin=obfs-local%3Bobfs%3Dhttp%3Bobfs-host%3Dwww.bing.com\n", ""},
        {"1", "server=ssr.example.com port=8389 password=c3NyLXBhc3M= method=aes-128-cfb ssr_protocol=auth_aes128_md5 "
              "ssr_protocol_param=32:abc ssr_obfs=tls1.2_ticket_auth ssr_obfs_param=cdn.example.com",
         "ssr://" + b64url("ssr.example.com:8389:auth_aes128_md5:aes-128-cfb:tls1.2_ticket_auth:c3NyLXBhc3M"
                           "/?obfsparam=Y2RuLmV4YW1wbGUuY29t&protoparam=MzI6YWJj") + "\n", ""},
        {"3", tj + " ssl_verify_enable=1", tj_link + "\n", ""},
        {"3", tj, tj_link + "&allowInsecure=1\n", ""},
        {"2", "v2ray_protocol=vmess server=203.0.113.9 port=8443 v2ray_uuid=" + ID + " v2ray_alterid=4 "
              "v2ray_security=aes-128-gcm v2ray_network_security=tls v2ray_fingerprint=chrome "
              "v2ray_network_tlshost=cdn.a.com v2ray_network=ws v2ray_network_path=/ray v2ray_network_host=cdn.a.com",
         vmess(R"({"v":"2","ps":"","add":"203.0.113.9","port":"8443","id":")" + ID + R"(","aid":"4",)"
               R"("scy":"aes-128-gcm","net":"ws","type":"","host":"cdn.a.com","path":"/ray","tls":"tls",)"
               R"("sni":"cdn.a.com","fp":"chrome"})") + "\n", ""},
        {"2", vl + " v2ray_network=grpc v2ray_network_security=tls v2ray_grpc_serviceName=grpc-svc v2ray_mux_enable=1 "
                   "v2ray_network_tlshost=g.example.com",
         vl_link + "tls&type=grpc&serviceName=grpc-svc&mode=multi&sni=g.example.com\n", ""},
        {"2", vl + " v2ray_network=tcp v2ray_network_security=xtls v2ray_network_flow=xtls-rprx-direct "
                   "v2ray_headtype_tcp=none v2ray_network_tlshost=x.example.com",
         vl_link + "xtls&type=tcp&headerType=none&sni=x.example.com&flow=xtls-rprx-direct\n", ""},
        {"2", vl + " v2ray_network=quic v2ray_quic_security=aes-128-gcm v2ray_quic_key=k v2ray_quic_guise=srtp",
         vl_link + "none&type=quic&headerType=srtp&quicSecurity=aes-128-gcm&key=k\n", ""},
        {"2", "v2ray_protocol=trojan server=t.example.com port=443 password=c2VjcmV0 v2ray_network=ws "
              "v2ray_network_security=tls v2ray_network_path=/ws v2ray_network_host=h.example.com "
              "v2ray_network_tlshost=h.example.com",
         "trojan://secret@t.example.com:443?security=tls&type=ws&host=h.example.com&path=%2Fws&sni=h.example.com\n",
         ""},
        {"2", "v2ray_protocol=ss server=192.0.2.1 port=8388 password=dGVzdA== v2ray_ss_method=aes-256-gcm "
              "v2ray_network=tcp",
         "ss://YWVzLTI1Ni1nY206dGVzdA@192.0.2.1:8388/\n", ""},
        // Nodes no link can carry.
        {"2", "v2ray_protocol=socks v2ray_network=tcp server=s.example.com port=1", "socks://s.example.com:1\n", ""},
        {"2", "v2ray_protocol=http v2ray_network=tcp server=s.example.com port=1 auth=1 username=u password=cDpx",
         "http://dTpwOnE@s.example.com:1\n", ""},
        {"2", "v2ray_protocol=http v2ray_network=ws server=s.example.com port=1", "",
         no_link + "a http proxy over 'ws' with security none has no share link\n"},
        // Shadowsocks over a transport, with the parameters vless links have.
        {"2", "v2ray_protocol=ss server=s.example.com port=1 password=dGVzdA== v2ray_ss_method=aes-256-gcm "
              "v2ray_network=ws v2ray_network_path=/p v2ray_network_security=tls v2ray_network_tlshost=s.example.com",
         "ss://YWVzLTI1Ni1nY206dGVzdA@s.example.com:1/?security=tls&type=ws&path=%2Fp&sni=s.example.com\n", ""},
        {"3", "port=443", "", "tarvick-node: node 5 type 3: the node has no server\n"},
        {"3", "server=s.example.com port=65536", "",
         "tarvick-node: node 5 type 3: the node's port '65536' is not 1 to 65535\n"},
        // What cannot stand in a link as it is would import as another node.
        {"3", "server=evil.example#a.example port=443 password=cHc=", "",
         "tarvick-node: node 5 type 3: the server 'evil.example#a.example' cannot stand in a link as a host\n"},
        {"3", "server=a\\x01b port=443 password=cHc=", "",
         "tarvick-node: node 5 type 3: the server 'a\\x01b' cannot stand in a link as a host\n"},
        {"3", "server=s.ex%ceName port=443 password=cHc=", "",
         "tarvick-node: node 5 type 3: the server 's.ex%ceName' cannot stand in a link as a host\n"},
        {"3", "server=s.example.com port=443x password=cHc=", "",
         "tarvick-node: node 5 type 3: the node's port '443x' is not 1 to 65535\n"},
        {"3", "server=s.example.com port=443 password=AA==", "", "tarvick-node: node 5 type 3: the node has no password\n"},
        {"0", "server=s.example.com port=443 password=cHc= method=a:b", "",
         "tarvick-node: node 5 type 0: the node's method 'a:b' cannot stand in a link\n"},
        {"2", "v2ray_protocol=vless server=s.example.com port=443", "", no_link + "the node has no id\n"},
        {"2", "v2ray_protocol=vmess server=h.example.com port=1 v2ray_uuid=" + ID + " v2ray_network=tcp", "",
         no_link + "the vmess security is empty, which no vmess link can say (an empty scy means auto)\n"},
        {"2", vl + " v2ray_network=mkcp", "",
         no_link + "the mKCP header type is empty, which no link can say (none is what a link without it means)\n"},
        {"0", "server=s.example.com port=1 password=cHc= method=aes-256-gcm ss_obfs=a;b", "",
         "tarvick-node: node 5 type 0: the plugin 'a;b' cannot be named in a link\n"},
        {"1", "server=s.example.com port=1 password=cHc= method=aes-256-cfb ssr_protocol=a:b", "",
         "tarvick-node: node 5 type 1: the ssr_protocol 'a:b' cannot stand in a link\n"},
        {"2", vl + " v2ray_network=ws v2ray_network_security=tls v2ray_network_host=a.example.com,b.example.com", "",
         no_link + "its link would not import: host a.example.com,b.example.com is a list, and the ws transport takes "
                   "one name\n"},
        // An empty server name is the server's address, which a link without
        // sni would not say.
        {"2", vl + " v2ray_network=tcp v2ray_network_security=tls", vl_link + "tls&type=tcp&sni=2001%3Adb8%3A%3A2\n", ""},
    };
    for (const ExportCase &c : cases)
        check_export(c);
}

// SIP002 writes a 2022 cipher's user info as method ":" password, each
// percent-encoded: clients split it at the colon before decoding.
TEST_F(NodeTest, Ss2022ExportKeepsTheColonOfItsUserInfo)
{
    check_export({"0", "server=2001:db8::1 port=8443 password=WWN0UFo2VTd4UFBjVStncDN1K09YQT09 "
                       "method=2022-blake3-aes-128-gcm",
                  "ss://2022-blake3-aes-128-gcm:YctPZ6U7xPPcU%2Bgp3u%2BOXA%3D%3D@[2001:db8::1]:8443/\n", ""});
}

// A node no link can carry is refused for what it is, though tarvick reads
// no server for it (a KCP node goes to the local tunnel, an unknown protocol
// gets no server object).
TEST_F(NodeTest, ExportRefusalNamesItsCause)
{
    const std::string kcp = ": the node runs through the KCP tunnel (use_kcp 1), which no link can say\n";
    check_export({"0", "use_kcp=1 server=s.example.com port=1 password=dGVzdA== method=aes-256-gcm", "",
                  "tarvick-node: node 5 type 0" + kcp});
    check_export({"1", "use_kcp=1 server=s.example.com port=1", "", "tarvick-node: node 5 type 1" + kcp});
    check_export({"2", "v2ray_protocol=foo server=s.example.com port=1", "",
                  "tarvick-node: node 5 type 2: protocol 'foo' has no share link\n"});
    // tarvick's own refusal, told once.
    check_export({"2", "v2ray_protocol=vless v2ray_network_security=reality server=s.example.com port=1", "",
                  "tarvick-node: node 5 type 2: ssconf_basic_v2ray_network_security_5 is not tls, xtls or none: "
                  "tarvick cannot write it (tarvick-node xray can write reality)\n"});
}

TEST_F(NodeTest, ExportTakesTheActiveNodeLikeTarvick)
{
    const std::string node = "server=tj.example.com port=443 password=c2VjcmV0 ssl_verify_enable=1";
    serve_node(node, "5");
    generate("3");
    const Lines tarvick_keys = daemon.keys();
    serve_node(node, "5");
    RunResult run = run_tarvick_node({"export", "3"});
    EXPECT_EQ(run.out, "trojan://secret@tj.example.com:443?security=tls\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(daemon.keys(), tarvick_keys);

    daemon.stop();
    run = run_tarvick_node({"export", "3"});
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "connect to brimd error: No such file or directory\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(service_calls(), "start_brimd\n");
}

// Every link that imports exports in a canonical form that imports to the
// same settings and exports to itself.
TEST_F(NodeTest, RoundTrip)
{
    int checked = 0;
    for (const ImportCase &c : import_cases()) {
        std::vector<Block> blocks = parse_blocks(c.out);
        if (blocks.size() != 1 || c.status != 0)
            continue;
        SCOPED_TRACE(c.input.substr(0, 200));
        const std::string link = exported(blocks[0]);
        RunResult again = run_tarvick_node({"import"}, link + "\n");
        EXPECT_EQ(again.err, "");
        std::vector<Block> reimported = parse_blocks(again.out);
        ASSERT_EQ(reimported.size(), 1u) << link;
        EXPECT_EQ(reimported[0].type, blocks[0].type) << link;
        EXPECT_EQ(reimported[0].lines, blocks[0].lines) << link;
        EXPECT_EQ(exported(reimported[0]), link);
        checked++;
    }
    EXPECT_EQ(checked, 40);
}

// import --xray: the nodes providers hand out today, for tarvick-node xray.
std::vector<ImportCase> xray_import_cases()
{
    const std::string pbk = "el70Wl1QMTLmZXHYRNs9RAL5Yd0z0mhaMEuw_Fo3d2I";
    const std::string pcs = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
    const std::string vl = "vless://" + ID + "@h.example.com:443?", id = " v2ray_uuid=" + ID;
    auto needs = [](const std::string &scheme) {
        return refused(scheme, "warning: this node needs tarvick-node xray: tarvick cannot write it");
    };
    auto dropped = [](const std::string &member) {
        return refused("vless", "warning: extra member " + member + " dropped: Xray does not read it");
    };
    const std::string pqv = b64url(std::string(1952, 'k')), xhttp_tls = " v2ray_vless_encryption= v2ray_network_flow= "
        "v2ray_fingerprint=chrome v2ray_network_tlshost=h.example.com v2ray_tls_alpn= v2ray_tls_pinned_sha256= "
        "v2ray_tls_verify_names= v2ray_tls_ech_config= v2ray_network_path=/x v2ray_network_host= ";
    const std::string enc = "mlkem768x25519plus.xorpub.1rtt.100-111-1111.75-0-111.50-0-3333."
                            "Id7baI9lw6oLE-_VTj1Kt5fLJSisKwsczXeMLUBuFn0";
    return {
        {"vless://" + ID + "@r.example.com:443?encryption=none&security=reality&type=tcp&sni=www.example.com&fp=chrome"
                           "&pbk=" + pbk + "&sid=0123abcd&spx=%2F&flow=xtls-rprx-vision#R",
         block(1, "2 R", v2("vless", "reality", "tcp", "r.example.com", "443") + id + " v2ray_vless_encryption= "
               "v2ray_network_flow=xtls-rprx-vision v2ray_fingerprint=chrome v2ray_network_tlshost=www.example.com "
               "v2ray_reality_publickey=" + pbk + " v2ray_reality_shortid=0123abcd v2ray_reality_spiderx=/ "
               "v2ray_reality_mldsa65_verify= v2ray_headtype_tcp=none v2ray_mux_enable=0"),
         needs("vless"), 0},
        {vl + "security=tls&type=xhttp&path=%2Fx&host=x.example.com&mode=packet-up&alpn=h2&pcs=" + pcs,
         block(1, "2", v2("vless", "tls", "xhttp", "h.example.com", "443") + id + " v2ray_vless_encryption= "
               "v2ray_network_flow= v2ray_fingerprint= v2ray_network_tlshost=x.example.com v2ray_tls_alpn=h2 "
               "v2ray_tls_pinned_sha256=" + pcs + " v2ray_tls_verify_names= v2ray_tls_ech_config= "
               "v2ray_network_path=/x v2ray_network_host=x.example.com v2ray_xhttp_mode=packet-up v2ray_xhttp_extra= "
               "v2ray_mux_enable=0"),
         needs("vless"), 0},
        {"trojan://pw@h.example.com:443?type=httpupgrade&path=%2Fu&allowInsecure=1",
         block(1, "2", v2("trojan", "tls", "httpupgrade", "h.example.com", "443") + " password=cHc= "
               "v2ray_network_flow= v2ray_fingerprint= v2ray_network_tlshost=h.example.com v2ray_tls_alpn= "
               "v2ray_tls_pinned_sha256= v2ray_tls_verify_names= v2ray_tls_ech_config= v2ray_network_path=/u "
               "v2ray_network_host= v2ray_mux_enable=0"),
         needs("trojan") + refused("trojan", "warning: allowInsecure dropped: tarvick-node xray verifies the "
                                             "certificate (pin a self-signed one with pcs=)"), 0},
        // ECH over plain TCP: a V2Ray/Xray node, as the Trojan client has no ECH.
        {"trojan://pw@t.example.com:443?sni=s.example.com&ech=h.example.com%2Bhttps%3A%2F%2F1.1.1.1%2Fdns-query",
         block(1, "2", v2("trojan", "tls", "tcp", "t.example.com", "443") + " password=cHc= v2ray_network_flow= "
               "v2ray_fingerprint= v2ray_network_tlshost=s.example.com v2ray_tls_alpn= v2ray_tls_pinned_sha256= "
               "v2ray_tls_verify_names= v2ray_tls_ech_config=h.example.com+https://1.1.1.1/dns-query "
               "v2ray_headtype_tcp=none v2ray_mux_enable=0"),
         needs("trojan"), 0},
        // Panel dialects: a header type in another case (Hiddify's None), a
        // pin in Base64 (3x-ui's), a TCP HTTP header path (a list, as Xray
        // splits it).
        {"vless://" + ID + "@r.example.com:443?security=reality&type=tcp&headerType=None&sni=www.example.com&fp=chrome"
                           "&pbk=" + pbk + "&sid=ab",
         block(1, "2", v2("vless", "reality", "tcp", "r.example.com", "443") + id + " v2ray_vless_encryption= "
               "v2ray_network_flow= v2ray_fingerprint=chrome v2ray_network_tlshost=www.example.com "
               "v2ray_reality_publickey=" + pbk + " v2ray_reality_shortid=ab v2ray_reality_spiderx= "
               "v2ray_reality_mldsa65_verify= v2ray_headtype_tcp=none v2ray_mux_enable=0"),
         needs("vless"), 0},
        {vl + "security=tls&type=xhttp&pcs=47DEQpj8HBSa%2B%2FTImW%2B5JCeuQeRkm5NMpJWZG3hSuFU%3D",
         block(1, "2", v2("vless", "tls", "xhttp", "h.example.com", "443") + id + " v2ray_vless_encryption= "
               "v2ray_network_flow= v2ray_fingerprint= v2ray_network_tlshost=h.example.com v2ray_tls_alpn= "
               "v2ray_tls_pinned_sha256=" + pcs + " v2ray_tls_verify_names= v2ray_tls_ech_config= v2ray_network_path= "
               "v2ray_network_host= v2ray_xhttp_mode= v2ray_xhttp_extra= v2ray_mux_enable=0"),
         needs("vless"), 0},
        {vl + "security=tls&type=ws&pcs=47DEQpj8HBSa%2B%2FTImW%2B5JCeuQeRkm5NMpJWZG3hSuFU%3D,,ab", "",
         refused("vless", "v2ray_tls_pinned_sha256 is not a comma-separated list of SHA-256 hashes (64 hex digits, "
                          "colons allowed), and Xray refuses it: set the hashes of the server's certificate or its CA"), 1},
        {vl + "security=none&type=tcp&headerType=http&path=%2Fa%2C%2Fb&host=x.example.com",
         block(1, "2", v2("vless", "none", "tcp", "h.example.com", "443") + id + " v2ray_vless_encryption= "
               "v2ray_network_flow= v2ray_headtype_tcp=http v2ray_network_path=/a,/b v2ray_network_host=x.example.com "
               "v2ray_mux_enable=0"),
         "", 0},
        // Shadowsocks and plain Trojan links stay nodes of their types, with
        // the keys that tell tarvick-node xray their kind.
        {"ss://2022-blake3-aes-128-gcm:MDEyMzQ1Njc4OWFiY2RlZg%3D%3D%3AZmVkY2JhOTg3NjU0MzIxMA%3D%3D@s.example.com:8388#S",
         block(1, "0 S", "v2ray_protocol= ssr_protocol= method=2022-blake3-aes-128-gcm use_kcp=0 server=s.example.com "
               "port=8388 password=TURFeU16UTFOamM0T1dGaVkyUmxaZz09OlptVmtZMkpoT1RnM05qVTBNekl4TUE9PQ== ss_obfs=none"), "", 0},
        {"trojan://pw@t.example.com:443?sni=n.example.com&allowInsecure=1&pcs=" + pcs + "&vcn=n.example.com\n"
         "trojan://pw@t.example.com:443?insecure=1",
         block(1, "3", "v2ray_protocol= ssr_protocol= method= server=t.example.com port=443 password=cHc= "
               "ssl_verify_enable=0 trojan_sni=n.example.com v2ray_tls_pinned_sha256=" + pcs + " v2ray_tls_verify_names="
               "n.example.com trojan_mp_enable=0") +
             block(2, "3", "v2ray_protocol= ssr_protocol= method= server=t.example.com port=443 password=cHc= "
                   "ssl_verify_enable=0 trojan_sni=t.example.com v2ray_tls_pinned_sha256= v2ray_tls_verify_names= "
                   "trojan_mp_enable=0"),
         refused("trojan", "warning: insecure: tarvick-node xray refuses this node, as it verifies the certificate "
                           "(pin a self-signed one with pcs=)", 2), 0},
        // What tarvick writes as well is recorded for both.
        {vmess(R"({"add":"v.example.com","port":443,"id":")" + ID + R"(","aid":4,"net":"quic","tls":"tls"})"),
         block(1, "2", v2("vmess", "tls", "quic", "v.example.com", "443") + id + " v2ray_alterid=4 "
               "v2ray_security=auto v2ray_fingerprint= v2ray_network_tlshost=v.example.com v2ray_tls_alpn= "
               "v2ray_tls_pinned_sha256= v2ray_tls_verify_names= v2ray_tls_ech_config= v2ray_mux_enable=0 "
               "v2ray_quic_security=none "
               "v2ray_quic_key= v2ray_quic_guise=none"), "", 0},
        // XHTTP extra as Marzban writes it (form-encoded, members Xray no
        // longer reads) and as 3x-ui does (with REALITY's pqv here).
        {vl + "security=tls&type=xhttp&headerType=&path=%2Fx&host=&mode=auto&extra=%7B%22scMaxEachPostBytes%22%3A+1000000"
              "%2C+%22scMaxConcurrentPosts%22%3A+100%2C+%22xPaddingBytes%22%3A+%22100-1000%22%2C+%22noGRPCHeader%22%3A+"
              "false%2C+%22keepAlivePeriod%22%3A+10%7D&sni=h.example.com&fp=chrome#M",
         block(1, "2 M", v2("vless", "tls", "xhttp", "h.example.com", "443") + id + xhttp_tls + "v2ray_xhttp_mode=auto "
               R"(v2ray_xhttp_extra={"scMaxEachPostBytes":1000000,"xPaddingBytes":"100-1000","noGRPCHeader":false} )"
               "v2ray_mux_enable=0"),
         dropped("scMaxConcurrentPosts") + dropped("keepAlivePeriod") + needs("vless"), 0},
        {vl + "type=xhttp&encryption=none&path=%2Fx&host=&mode=auto&extra=%7B%22mode%22%3A%22auto%22%2C%22sessionID"
              "Placement%22%3A%22query%22%2C%22sessionPlacement%22%3A%22query%22%7D&security=reality&pbk=" + pbk +
              "&fp=chrome&sni=www.example.com&sid=ab&pqv=" + pqv,
         block(1, "2", v2("vless", "reality", "xhttp", "h.example.com", "443") + id + " v2ray_vless_encryption= "
               "v2ray_network_flow= v2ray_fingerprint=chrome v2ray_network_tlshost=www.example.com "
               "v2ray_reality_publickey=" + pbk + " v2ray_reality_shortid=ab v2ray_reality_spiderx= "
               "v2ray_reality_mldsa65_verify=" + pqv + " v2ray_network_path=/x v2ray_network_host= v2ray_xhttp_mode=auto "
               R"(v2ray_xhttp_extra={"mode":"auto","sessionIDPlacement":"query"} v2ray_mux_enable=0)"),
         dropped("sessionPlacement") + needs("vless"), 0},
        // Marzban's vmess form: extra an object in the object.
        {vmess(R"({"add":"v.example.com","id":")" + ID + R"(","net":"xhttp","path":"/x","port":443,"tls":"tls","type":)"
               R"("auto","extra":{"scMaxConcurrentPosts":100,"xPaddingBytes":"100-1000","noGRPCHeader":false}})"),
         block(1, "2", v2("vmess", "tls", "xhttp", "v.example.com", "443") + id + " v2ray_alterid=0 v2ray_security=auto "
               "v2ray_fingerprint= v2ray_network_tlshost=v.example.com v2ray_tls_alpn= v2ray_tls_pinned_sha256= "
               "v2ray_tls_verify_names= v2ray_tls_ech_config= v2ray_network_path=/x v2ray_network_host= "
               R"(v2ray_xhttp_mode=auto v2ray_xhttp_extra={"xPaddingBytes":"100-1000","noGRPCHeader":false} )"
               "v2ray_mux_enable=0"),
         refused("vmess", "warning: extra member scMaxConcurrentPosts dropped: Xray does not read it") + needs("vmess"), 0},
        // VLESS Encryption (paddings, then the key) is encryption enough
        // for a public address; gRPC's authority; ECH asked of DNS.
        {"vless://" + ID + "@203.0.113.9:8443?encryption=" + enc + "&type=grpc&serviceName=s&authority=g.example.com"
                           "&security=tls&ech=h.example.com%2Bhttps%3A%2F%2F1.1.1.1%2Fdns-query",
         block(1, "2", v2("vless", "tls", "grpc", "203.0.113.9", "8443") + id + " v2ray_vless_encryption=" + enc +
               " v2ray_network_flow= v2ray_fingerprint= v2ray_network_tlshost=203.0.113.9 v2ray_tls_alpn= "
               "v2ray_tls_pinned_sha256= v2ray_tls_verify_names= v2ray_tls_ech_config=h.example.com+https://1.1.1.1/"
               "dns-query v2ray_grpc_serviceName=s v2ray_grpc_authority=g.example.com v2ray_mux_enable=0"),
         needs("vless"), 0},
        {"vless://" + ID + "@203.0.113.9:80?encryption=" + enc,
         block(1, "2", v2("vless", "none", "tcp", "203.0.113.9", "80") + id + " v2ray_vless_encryption=" + enc +
               " v2ray_network_flow= v2ray_headtype_tcp=none v2ray_mux_enable=0"), needs("vless"), 0},
        // Each refused in one line naming the member; fm stays refused.
        {vl + "encryption=mlkem768x25519plus.native.1rtt.100-111-1111\n" + vl + "type=xhttp&extra=%5B%5D\n" + vl +
             "type=xhttp&extra=%7B%22uplinkHTTPMethod%22%3A%22get%22%7D\n" + vl +
             "type=xhttp&extra=%7B%22xmux%22%3A%7B%22maxConcurrency%22%3A%221.5%22%7D%7D\n" + vl +
             "type=xhttp&extra=%7B%22headers%22%3A%7B%22HOST%22%3A%22a%22%7D%7D\n" + vl +
             "type=xhttp&extra=%7B%22downloadSettings%22%3A%7B%7D%7D\n" + vl + "type=xhttp&extra=%7B%7D%20x\n" + vl +
             "security=reality&pbk=" + pbk + "&pqv=AAAA\n" + vl + "security=tls&ech=AAAA\n" + vl + "fm=%7B%7D",
         "", refused("vless", "v2ray_vless_encryption is not none or mlkem768x25519plus.native, xorpub or random, .1rtt "
                              "or .0rtt, paddings, and the server's X25519 or ML-KEM-768 keys, as xray vlessenc prints "
                              "it, and Xray refuses it: set the server's encryption") +
                 refused("vless", "extra is not a JSON object, and Xray refuses it", 2) +
                 refused("vless", "extra member uplinkHTTPMethod is GET, which Xray takes only in packet-up mode", 3) +
                 refused("vless", "extra member xmux.maxConcurrency is not a whole number or a range such as "
                                  "\"100-1000\" within 32 bits, and Xray refuses it or reads another number", 4) +
                 refused("vless", "extra member headers holds Host, which Xray refuses there: set the host instead", 5) +
                 refused("vless", "extra member downloadSettings is a second transport's settings, which tarvick-node "
                                  "cannot check as Xray reads them", 6) +
                 refused("vless", "extra is not JSON, and Xray refuses it", 7) +
                 refused("vless", "v2ray_reality_mldsa65_verify is not an ML-DSA-65 public key (2603 characters of "
                                  "URL-safe Base64, as xray mldsa65 prints it), and Xray refuses it: set the server's, "
                                  "or empty it", 8) +
                 refused("vless", "v2ray_tls_ech_config is neither an ECHConfigList in standard Base64 nor a DNS "
                                  "server to ask for one: set the server's", 9) +
                 refused("vless", "a final mask (fm) cannot be carried by the documents", 10), 1},
        {vl + "security=reality&type=ws&pbk=" + pbk + "\n" + vl + "security=none&flow=xtls-rprx-vision\n" + vl +
             "security=reality&pbk=" + pbk + "&sid=abc\n" + vl + "security=tls&type=xhttp&mode=foo\n" + vl +
             "security=reality&sni=a.example.com\n" + vl + "security=tls&type=ws&flow=xtls-rprx-vision\n" +
             "trojan://pw@h.example.com:443?flow=xtls-rprx-vision\n" + vl + "security=tls&pcs=ab",
         "", refused("vless", "reality runs over tcp, xhttp or grpc only, not ws") +
                 refused("vless", "flow xtls-rprx-vision needs tls or reality", 2) +
                 refused("vless", "v2ray_reality_shortid is not an even number of hex digits, at most 16: set one of "
                                  "the server's short ids", 3) +
                 refused("vless", "unknown xhttp mode 'foo'", 4) +
                 refused("vless", "reality without its public key (pbk)", 5) +
                 refused("vless", "flow xtls-rprx-vision runs over tcp only, not ws", 6) +
                 refused("trojan", "flow xtls-rprx-vision is vless's, not trojan's", 7) +
                 refused("vless", "v2ray_tls_pinned_sha256 is not a comma-separated list of SHA-256 hashes (64 hex "
                                  "digits, colons allowed), and Xray refuses it: set the hashes of the server's "
                                  "certificate or its CA", 8), 1},
        // Hysteria2: a port list is hopped over, fm and the parameters make one mask.
        {"hysteria2://p%40ss@hy.example.net:443,5000-6000/?sni=cdn.example.net&obfs=salamander&obfs-password=gecko-pw"
         "&alpn=h3&fp=chrome&up=100mbps&down=1gbps&pinSHA256=" + pcs + "&insecure=1#HY",
         block(1, "2 HY", v2("hysteria2", "tls", "hysteria", "hy.example.net", "443") + " v2ray_fingerprint=chrome "
               "v2ray_network_tlshost=cdn.example.net v2ray_tls_alpn=h3 v2ray_tls_pinned_sha256=" + pcs +
               " v2ray_tls_verify_names= v2ray_tls_ech_config= password=cEBzcw== v2ray_hysteria_obfs_password=gecko-pw "
               "v2ray_hysteria_up=100mbps v2ray_hysteria_down=1gbps v2ray_hysteria_hop_ports=443,5000-6000 "
               "v2ray_mux_enable=0"),
         needs("hysteria2"), 0},
        {"hy2://pw@[2001:db8::1]?obfs=salamander&mport=20000-30000&fm=%7B%22udp%22%3A%5B%7B%22type%22%3A%22salamander%22%2C%22settings%22%3A%7B%22password%22%3A%22gecko-pw%22%7D%7D%5D%7D",
         block(1, "2", v2("hysteria2", "tls", "hysteria", "2001:db8::1", "443") + " v2ray_fingerprint= "
               "v2ray_network_tlshost=2001:db8::1 v2ray_tls_alpn= v2ray_tls_pinned_sha256= v2ray_tls_verify_names= "
               "v2ray_tls_ech_config= password=cHc= v2ray_hysteria_obfs_password=gecko-pw v2ray_hysteria_up= "
               "v2ray_hysteria_down= "
               "v2ray_hysteria_hop_ports=20000-30000 v2ray_mux_enable=0"),
         needs("hy2"), 0},
        {"wireguard://yAnz5TF%2B1XXJte14tji3zlMNq%2BhdKKHcVwAEUa5H9qg%3D@wg.example.net:51820/?publickey=" + pbk +
             "&presharedkey=" + pbk + "&address=10.0.0.2%2F32%2Cfd00%3A%3A2%2F128&mtu=1280&reserved=1%2C2%2C3"
             "&keepalive=25&dns=1.1.1.1#WG",
         block(1, "2 WG", "v2ray_protocol=wireguard v2ray_network_security= v2ray_network= server=wg.example.net "
               "port=51820 password=eUFuejVURisxWFhKdGUxNHRqaTN6bE1OcStoZEtLSGNWd0FFVWE1SDlxZz0= "
               "v2ray_wireguard_address=10.0.0.2/32,fd00::2/128 v2ray_wireguard_publickey=" + pbk +
               " v2ray_wireguard_presharedkey=" + pbk + " v2ray_wireguard_keepalive=25 v2ray_wireguard_mtu=1280 "
               "v2ray_wireguard_reserved=1,2,3 v2ray_mux_enable=0"),
         needs("wireguard") + refused("wireguard", "warning: parameter dns dropped: the V2Ray/Xray document has no "
                                                   "place for it"), 0},
        {"hy2://pw@h.example.com?obfs=salamander&obfs-password=other&fm=%7B%22udp%22%3A%5B%7B%22type%22%3A%22salamander%22%2C%22settings%22%3A%7B%22password%22%3A%22gecko-pw%22%7D%7D%5D%7D\nhy2://pw@h.example.com?obfs=xplus\n"
         "hy2://pw@h.example.com?obfs-password=abcd\nhy2://pw@h.example.com?fm=%7B%22tcp%22%3A%5B1%5D%7D\n"
         "hy2://pw@h.example.com:443,500-600?mport=700\nhy2://pw@h.example.com?security=none\n"
         "hy2://pw@h.example.com?obfs=salamander\nhy2://pw@h.example.com?up=0.1\n"
         "wireguard://short@w.example.com:51820?publickey=" + pbk + "&address=10.0.0.2\n"
         "wg://yAnz5TF-1XXJte14tji3zlMNq-hdKKHcVwAEUa5H9qg@w.example.com:51820?publickey=" + pbk +
             "&address=10.0.0.2&reserved=0,0,0,0",
         "", refused("hy2", "the link names two Salamander passwords: other and gecko-pw") +
                 refused("hy2", "obfs xplus is not salamander, the one Hysteria 2 has", 2) +
                 refused("hy2", "obfs-password without obfs=salamander", 3) +
                 refused("hy2", "fm member tcp cannot be carried", 4) +
                 refused("hy2", "the link names two port lists to hop over: 443,500-600 and 700", 5) +
                 refused("hy2", "security none: Hysteria runs over TLS only", 6) +
                 refused("hy2", "obfs salamander without its password (obfs-password)", 7) +
                 refused("hy2", "v2ray_hysteria_up is not a rate of at least 512 kbps (such as 100 mbps): set one, "
                                "or empty it", 8) +
                 refused("wireguard", "the private key is not a WireGuard key (44 characters of Base64, or 64 hex "
                                      "digits)", 9) +
                 refused("wg", "v2ray_wireguard_reserved is not three bytes (such as 0,0,0), and Xray refuses it: "
                               "set the server's, or empty it", 10), 1},
    };
}

// Each node holds exactly the keys tarvick-node xray reads, in its order,
// then those only tarvick reads; export xray gives a link that imports back.
TEST_F(NodeTest, XrayImportTable)
{
    for (const ImportCase &c : xray_import_cases()) {
        SCOPED_TRACE(c.input.substr(0, 200));
        RunResult run = run_tarvick_node({"import", "--xray"}, c.input + "\n");
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(run.err, c.err);
        EXPECT_EQ(run.status, c.status);
        for (const Block &b : parse_blocks(c.out)) {
            serve(b.settings, std::to_string(b.node));
            RunResult xray = run_tarvick_node({"xray", "/tmp/out.json", "1080", "1081", "tcp,udp"});
            Lines read, printed;
            for (const std::string &key : daemon.keys())
                if (key != "ssconf_basic_node" && std::find(read.begin(), read.end(), key) == read.end())
                    read.push_back(key);
            for (const auto &setting : b.settings)
                printed.push_back(setting.first);
            EXPECT_EQ(Lines(printed.begin(), printed.begin() + std::min(read.size(), printed.size())), read);
            RunResult exported = run_tarvick_node({"export", "xray", std::to_string(b.node)});
            EXPECT_EQ(exported.status, xray.status); // a node it refuses has no link for it either
            if (xray.status != 0)
                continue;
            const std::string &link = exported.out;
            RunResult again = run_tarvick_node({"import", "--xray"}, link);
            ASSERT_EQ(parse_blocks(again.out).size(), 1u) << link;
            EXPECT_EQ(parse_blocks(again.out)[0].lines, b.lines) << link;
        }
    }
}

TEST_F(NodeTest, QrCodeFollowsTheLink)
{
    serve_node("server=tj.example.com port=443 password=c2VjcmV0 ssl_verify_enable=1");
    RunResult run = run_tarvick_node({"export", "3", "5", "--qr"});
    // The suite's own build is known; another binary may lack the library.
    if (!getenv("TARVICK_NODE_BINARY")) {
        EXPECT_EQ(run.status == 0, TARVICK_NODE_QR_BUILT == 1);
    }
    if (run.status != 0) {
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "tarvick-node: built without QR codes (libqrencode)\n");
        EXPECT_EQ(run.status, 2);
        return;
    }
    EXPECT_EQ(run.err, "");
    const std::string link = "trojan://secret@tj.example.com:443?security=tls\n";
    ASSERT_EQ(run.out.substr(0, link.size()), link);
    Lines rows; // '#' full block, '^' upper half, 'v' lower half
    for (size_t at = link.size(), end; at < run.out.size(); at = end + 1) {
        end = run.out.find('\n', at);
        ASSERT_NE(end, std::string::npos);
        std::string row;
        for (size_t i = at; i < end; i++) {
            const std::string glyph = run.out.substr(i, 3);
            ASSERT_TRUE(run.out[i] == ' ' || glyph == "\u2588" || glyph == "\u2580" || glyph == "\u2584") << i;
            row += run.out[i] == ' ' ? ' ' : glyph == "\u2588" ? '#' : glyph == "\u2580" ? '^' : 'v';
            i += run.out[i] == ' ' ? 0 : 2;
        }
        rows.push_back(row);
    }
    // Two modules a cell, light ones drawn: the two-module quiet zone makes
    // the first row full blocks, and the odd module count (21 + 4k + 4)
    // leaves upper halves alone in the last.
    ASSERT_FALSE(rows.empty());
    const size_t width = rows[0].size();
    EXPECT_EQ(width % 4, 1u);
    EXPECT_EQ(rows.size(), (width + 1) / 2);
    for (const std::string &row : rows)
        EXPECT_EQ(row.size(), width);
    EXPECT_EQ(rows.front(), std::string(width, '#'));
    EXPECT_EQ(rows.back(), std::string(width, '^'));
}

} // namespace
