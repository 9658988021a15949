// Shadowsocks (kind 0) and ShadowsocksR (kind 1) documents, produced by the
// shipped binary from the fake daemon's settings.
#include "fixture.h"

#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

namespace {

typedef std::map<std::string, std::string> Settings;
typedef std::vector<std::string> Keys;

// Node 5 of a store with everything a Shadowsocks node needs, on a router
// that allows port reuse.
Settings ss_node()
{
    return {
        {"ssconf_basic_node", "5\n"},
        {"mossgarden_arch", "aarch64"},
        {"ssconf_basic_server_5", "ss.example.net"},
        {"ssconf_basic_port_5", "8388"},
        {"ssconf_basic_password_5", "czNjcmV0IHBhc3M="}, // "s3cret pass"
        {"ssconf_basic_method_5", "aes-256-gcm"},
    };
}

Settings ssr_node()
{
    Settings s = ss_node();
    s["ssconf_basic_method_5"] = "chacha20";
    s["ssconf_basic_ssr_protocol_5"] = "auth_aes128_md5";
    s["ssconf_basic_ssr_protocol_param_5"] = "64:secret";
    s["ssconf_basic_ssr_obfs_5"] = "tls1.2_ticket_auth";
    s["ssconf_basic_ssr_obfs_param_5"] = "cdn.example.com";
    return s;
}

// The expected documents; every field holds the text as it appears in the
// file (strings already quoted and escaped).
struct SsDoc {
    std::string server = "\"ss.example.net\"";
    std::string server_port = "8388";
    std::string local_port = "1080";
    std::string mode = "\"tcp_and_udp\"";
    std::string password = "\"s3cret pass\"";
    std::string method = "\"aes-256-gcm\"";
    std::string plugin;      // empty: no "plugin" and no "plugin_opts"
    std::string plugin_opts;
    std::string reuse_port = "true";
    std::string protocol = "\"socks\"";
};

std::string ss_text(const SsDoc &d)
{
    std::string text = "{ \"server\": " + d.server + ", \"server_port\": " + d.server_port +
                       ", \"local_address\": \"0.0.0.0\", \"local_port\": " + d.local_port +
                       ", \"mode\": " + d.mode + ", \"password\": " + d.password +
                       ", \"timeout\": 600, \"method\": " + d.method;
    if (!d.plugin.empty())
        text += ", \"plugin\": " + d.plugin + ", \"plugin_opts\": " + d.plugin_opts;
    return text + ", \"fast_open\": false, \"reuse_port\": " + d.reuse_port + ", \"protocol\": " + d.protocol +
           " }\n";
}

struct SsrDoc {
    std::string server = "\"ss.example.net\"";
    std::string server_port = "8388";
    std::string local_port = "1080";
    std::string mode = "\"tcp_and_udp\"";
    std::string password = "\"s3cret pass\"";
    std::string method = "\"chacha20\"";
    std::string protocol = "\"auth_aes128_md5\"";
    std::string protocol_param = "\"64:secret\"";
    std::string obfs = "\"tls1.2_ticket_auth\"";
    std::string obfs_param = "\"cdn.example.com\"";
    std::string reuse_port = "true";
};

std::string ssr_text(const SsrDoc &d)
{
    return "{ \"server\": " + d.server + ", \"server_port\": " + d.server_port +
           ", \"local_address\": \"0.0.0.0\", \"local_port\": " + d.local_port + ", \"mode\": " + d.mode +
           ", \"password\": " + d.password + ", \"timeout\": 600, \"method\": " + d.method +
           ", \"protocol\": " + d.protocol + ", \"protocol_param\": " + d.protocol_param + ", \"obfs\": " + d.obfs +
           ", \"obfs_param\": " + d.obfs_param + ", \"fast_open\": false, \"reuse_port\": " + d.reuse_port + " }\n";
}

// The keys the daemon must see, in order, for node 5.
const Keys SS_KEYS = {
    "ssconf_basic_node",       "ssconf_basic_use_kcp_5", "mossgarden_arch",       "ssconf_basic_server_5",
    "ssconf_basic_port_5",     "ssconf_basic_password_5", "ssconf_basic_method_5", "ssconf_basic_ss_obfs_5",
};
const Keys SS_KEYS_PLUGIN = {
    "ssconf_basic_node",     "ssconf_basic_use_kcp_5",  "mossgarden_arch",
    "ssconf_basic_server_5", "ssconf_basic_port_5",     "ssconf_basic_password_5",
    "ssconf_basic_method_5", "ssconf_basic_ss_obfs_5",  "ssconf_basic_ss_obfs_host_5",
};
const Keys SS_KEYS_KCP = {
    "ssconf_basic_node",     "ssconf_basic_use_kcp_5", "mossgarden_arch",
    "ssconf_basic_password_5", "ssconf_basic_method_5", "ssconf_basic_ss_obfs_5",
};
const Keys SSR_KEYS = {
    "ssconf_basic_node",
    "ssconf_basic_use_kcp_5",
    "mossgarden_arch",
    "ssconf_basic_server_5",
    "ssconf_basic_port_5",
    "ssconf_basic_password_5",
    "ssconf_basic_method_5",
    "ssconf_basic_ssr_protocol_5",
    "ssconf_basic_ssr_protocol_param_5",
    "ssconf_basic_ssr_obfs_5",
    "ssconf_basic_ssr_obfs_param_5",
};

class SsTest : public TarvickTest {
protected:
    // One run against a store holding exactly `settings`; a leftover file
    // from an earlier run can never pass for this run's output.
    std::string run(const Settings &settings, const std::string &type, const std::string &local_port = "1080",
                    const std::string &second_port = "1081", const std::string &proto = "tcp,udp")
    {
        daemon.clear();
        for (const auto &setting : settings)
            daemon.set(setting.first, setting.second);
        unlink(OUT);
        std::string text = generate(type, local_port, second_port, proto);
        EXPECT_EQ(last.status, 0);
        EXPECT_EQ(last.out, "");
        EXPECT_EQ(last.err, "");
        return text;
    }
};

TEST_F(SsTest, ShadowsocksDocumentWithPlugin)
{
    Settings s = {
        {"ssconf_basic_node", "12\n"},
        {"mossgarden_arch", "mips"},
        {"ssconf_basic_use_kcp_12", "0"},
        {"ssconf_basic_server_12", "203.0.113.7"},
        {"ssconf_basic_port_12", "8443"},
        {"ssconf_basic_password_12", "cGFzc3dvcmQ="}, // "password"
        {"ssconf_basic_method_12", "chacha20-ietf-poly1305"},
        {"ssconf_basic_ss_obfs_12", "obfs-local"},
        {"ssconf_basic_ss_obfs_host_12", "obfs=http;obfs-host=www.example.com/x"},
    };
    // A longer file from an earlier run must not leave a tail behind.
    write_file(OUT, std::string(4096, 'x'));
    daemon.clear();
    for (const auto &setting : s)
        daemon.set(setting.first, setting.second);
    EXPECT_EQ(generate("0", "1080", "3333", "tcp,udp"),
              "{ \"server\": \"203.0.113.7\", \"server_port\": 8443, \"local_address\": \"0.0.0.0\", "
              "\"local_port\": 1080, \"mode\": \"tcp_and_udp\", \"password\": \"password\", \"timeout\": 600, "
              "\"method\": \"chacha20-ietf-poly1305\", \"plugin\": \"obfs-local\", "
              "\"plugin_opts\": \"obfs=http;obfs-host=www.example.com\\/x\", \"fast_open\": false, "
              "\"reuse_port\": true, \"protocol\": \"redir\" }\n");
    EXPECT_EQ(last.status, 0);
    EXPECT_EQ(last.out, "");
    EXPECT_EQ(last.err, "");

    const Keys keys = {
        "ssconf_basic_node",         "ssconf_basic_use_kcp_12", "mossgarden_arch",
        "ssconf_basic_server_12",    "ssconf_basic_port_12",    "ssconf_basic_password_12",
        "ssconf_basic_method_12",    "ssconf_basic_ss_obfs_12", "ssconf_basic_ss_obfs_host_12",
    };
    EXPECT_EQ(daemon.keys(), keys);
    // Each request on the wire: header with the body length, "get", the key.
    std::vector<std::string> requests;
    for (const std::string &key : keys)
        requests.push_back(frame("get " + key + "\n"));
    EXPECT_EQ(daemon.requests(), requests);
    EXPECT_EQ(daemon.requests()[1], "magicv1 0000028 get ssconf_basic_use_kcp_12\n");
}

TEST_F(SsTest, ShadowsocksRDocument)
{
    Settings s = ssr_node();
    // Stored texts go in verbatim; only the JSON escaping touches them.
    s["ssconf_basic_server_5"] = " host.example \n";
    s["ssconf_basic_ssr_protocol_param_5"] = "id:\"k\\ey\"";
    s["ssconf_basic_ssr_obfs_param_5"] = "h\xc3\xa9.example/p\x0b\x1f\x7f";
    s["ssconf_basic_method_5"] = "none";
    EXPECT_EQ(run(s, "1", "1234", "3333", "udp"),
              "{ \"server\": \" host.example \\n\", \"server_port\": 8388, \"local_address\": \"0.0.0.0\", "
              "\"local_port\": 1234, \"mode\": \"udp_only\", \"password\": \"s3cret pass\", \"timeout\": 600, "
              "\"method\": \"none\", \"protocol\": \"auth_aes128_md5\", \"protocol_param\": \"id:\\\"k\\\\ey\\\"\", "
              "\"obfs\": \"tls1.2_ticket_auth\", \"obfs_param\": \"h\xc3\xa9.example\\/p\\u000b\\u001f\x7f\", "
              "\"fast_open\": false, \"reuse_port\": true }\n");
    EXPECT_EQ(daemon.keys(), SSR_KEYS);
}

TEST_F(SsTest, ShadowsocksRWithEveryValueEmpty)
{
    // Only the node index is known; every other key is answered "none".
    EXPECT_EQ(run({{"ssconf_basic_node", "5\n"}}, "1"),
              "{ \"server\": \"\", \"server_port\": 0, \"local_address\": \"0.0.0.0\", \"local_port\": 1080, "
              "\"mode\": \"tcp_and_udp\", \"password\": \"\", \"timeout\": 600, \"method\": \"\", "
              "\"protocol\": \"\", \"protocol_param\": \"\", \"obfs\": \"\", \"obfs_param\": \"\", "
              "\"fast_open\": false, \"reuse_port\": true }\n");
    EXPECT_EQ(daemon.keys(), SSR_KEYS);

    // Stored but empty values read the same as absent ones.
    Settings empty = {{"ssconf_basic_node", "5\n"}};
    for (const std::string &key : SSR_KEYS)
        if (key != "ssconf_basic_node")
            empty[key] = "";
    EXPECT_EQ(run(empty, "1"), ssr_text(SsrDoc{"\"\"", "0", "1080", "\"tcp_and_udp\"", "\"\"", "\"\"", "\"\"",
                                               "\"\"", "\"\"", "\"\"", "true"}));
}

TEST_F(SsTest, KcpSwitchReadings)
{
    struct Case {
        const char *value; // nullptr: key absent
        bool redirect;
    };
    const Case cases[] = {
        {"1", true},   {"01", true},   {" 1x", true},  {"1\n", true}, {"+1", true},
        {"2", false},  {"true", false}, {"", false},   {"0", false},  {"-1", false},
        {"11", false}, {"x1", false},   {nullptr, false},
    };
    for (const Case &c : cases) {
        for (const char *kind : {"0", "1"}) {
            SCOPED_TRACE(testing::Message() << "use_kcp \"" << (c.value ? c.value : "(absent)") << "\" kind " << kind);
            Settings s = kind[0] == '0' ? ss_node() : ssr_node();
            if (c.value)
                s["ssconf_basic_use_kcp_5"] = c.value;
            std::string text = run(s, kind);
            if (kind[0] == '0') {
                SsDoc d;
                if (c.redirect) {
                    d.server = "\"127.0.0.1\"";
                    d.server_port = "1091";
                }
                EXPECT_EQ(text, ss_text(d));
                EXPECT_EQ(daemon.keys(), c.redirect ? SS_KEYS_KCP : SS_KEYS);
            } else {
                SsrDoc d;
                Keys keys = SSR_KEYS;
                if (c.redirect) {
                    d.server = "\"127.0.0.1\"";
                    d.server_port = "1091";
                    keys.erase(keys.begin() + 3, keys.begin() + 5);
                }
                EXPECT_EQ(text, ssr_text(d));
                EXPECT_EQ(daemon.keys(), keys);
            }
        }
    }
}

TEST_F(SsTest, ArchitectureReadings)
{
    struct Case {
        const char *value; // nullptr: key absent
        const char *reuse_port;
    };
    const Case cases[] = {
        {"armv7l", "false"}, {"ARMV7L", "true"}, {"armv7l ", "true"}, {"armv7l\n", "true"},
        {" armv7l", "true"}, {"armv7", "true"},  {"", "true"},        {"aarch64", "true"},
        {nullptr, "true"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "arch \"" << (c.value ? c.value : "(absent)") << "\"");
        Settings ss = ss_node(), ssr = ssr_node();
        ss.erase("mossgarden_arch");
        ssr.erase("mossgarden_arch");
        if (c.value)
            ss["mossgarden_arch"] = ssr["mossgarden_arch"] = c.value;
        SsDoc d;
        d.reuse_port = c.reuse_port;
        EXPECT_EQ(run(ss, "0"), ss_text(d));
        EXPECT_EQ(daemon.keys(), SS_KEYS);
        SsrDoc r;
        r.reuse_port = c.reuse_port;
        EXPECT_EQ(run(ssr, "1"), ssr_text(r));
        EXPECT_EQ(daemon.keys(), SSR_KEYS);
    }
}

TEST_F(SsTest, TransportLists)
{
    struct Case {
        const char *proto;
        const char *mode;
    };
    const Case cases[] = {
        {"", "\"tcp_only\""},          {"tcp", "\"tcp_only\""},    {"udp", "\"udp_only\""},
        {"tcp,udp", "\"tcp_and_udp\""}, {"udp,tcp", "\"tcp_only\""}, {"TCP,UDP", "\"tcp_only\""},
        {"UDP", "\"tcp_only\""},        {"tcp,udp ", "\"tcp_only\""}, {"udp\n", "\"tcp_only\""},
        {"nat", "\"tcp_only\""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "proto \"" << c.proto << "\"");
        SsDoc d;
        d.mode = c.mode;
        EXPECT_EQ(run(ss_node(), "0", "1080", "1081", c.proto), ss_text(d));
        SsrDoc r;
        r.mode = c.mode;
        EXPECT_EQ(run(ssr_node(), "1", "1080", "1081", c.proto), ssr_text(r));
    }
}

TEST_F(SsTest, PluginReadings)
{
    struct Case {
        const char *plugin; // nullptr: key absent
        const char *host;   // nullptr: key absent
        const char *plugin_text; // "": no plugin members
        const char *opts_text;
    };
    const Case cases[] = {
        {nullptr, "ignored", "", ""},
        {"", "ignored", "", ""},
        {"none", "ignored", "", ""},
        {"None", nullptr, "\"None\"", "\"\""},
        {"NONE", "", "\"NONE\"", "\"\""},
        {"none ", "h", "\"none \"", "\"h\""},
        {"none\n", "h", "", ""}, // the daemon's own word for "no value"
        {"none\n ", "h", "\"none\\n \"", "\"h\""},
        {"obfs-local", "obfs=tls;obfs-host=a.example", "\"obfs-local\"", "\"obfs=tls;obfs-host=a.example\""},
        {"v2ray-plugin", nullptr, "\"v2ray-plugin\"", "\"\""},
        {" ", "\"quoted\"", "\" \"", "\"\\\"quoted\\\"\""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "ss_obfs \"" << (c.plugin ? c.plugin : "(absent)") << "\"");
        Settings s = ss_node();
        if (c.plugin)
            s["ssconf_basic_ss_obfs_5"] = c.plugin;
        if (c.host)
            s["ssconf_basic_ss_obfs_host_5"] = c.host;
        SsDoc d;
        d.plugin = c.plugin_text;
        d.plugin_opts = c.opts_text;
        EXPECT_EQ(run(s, "0"), ss_text(d));
        // The host key is asked for only when there is a plugin to feed.
        EXPECT_EQ(daemon.keys(), d.plugin.empty() ? SS_KEYS : SS_KEYS_PLUGIN);
    }

    // ShadowsocksR never looks at the Shadowsocks plugin settings.
    Settings ssr = ssr_node();
    ssr["ssconf_basic_ss_obfs_5"] = "obfs-local";
    ssr["ssconf_basic_ss_obfs_host_5"] = "h";
    EXPECT_EQ(run(ssr, "1"), ssr_text(SsrDoc()));
    EXPECT_EQ(daemon.keys(), SSR_KEYS);
}

TEST_F(SsTest, SecondPortChoosesTheRole)
{
    struct Case {
        const char *second_port;
        const char *protocol;
    };
    const Case cases[] = {
        {"3333", "\"redir\""}, {"03333", "\"redir\""}, {"3333x", "\"redir\""}, {"1080", "\"socks\""},
        {"3334", "\"socks\""}, {"333", "\"socks\""},    {"33333", "\"socks\""}, {"23456", "\"socks\""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "second port \"" << c.second_port << "\"");
        SsDoc d;
        d.protocol = c.protocol;
        EXPECT_EQ(run(ss_node(), "0", "1080", c.second_port), ss_text(d));
        // ShadowsocksR has no role member; its "protocol" is the stored one.
        EXPECT_EQ(run(ssr_node(), "1", "1080", c.second_port), ssr_text(SsrDoc()));
    }
}

TEST_F(SsTest, PortTexts)
{
    struct Case {
        const char *stored;
        const char *server_port;
    };
    const Case cases[] = {
        {"443x", "443"},       {"x443", "0"},       {" 443", "443"},        {"\t8388\n", "8388"},
        {"+443", "443"},       {"0443", "443"},     {"443 80", "443"},      {"", "0"},
        {"-1", "-1"},          {"99999", "99999"},  {"4294967297", "2147483647"},
        {"-4294967297", "-2147483648"}, {"1e3", "1"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "port \"" << c.stored << "\"");
        Settings s = ss_node();
        s["ssconf_basic_port_5"] = c.stored;
        SsDoc d;
        d.server_port = c.server_port;
        EXPECT_EQ(run(s, "0"), ss_text(d));
    }
}

TEST_F(SsTest, LocalPortArgument)
{
    struct Case {
        const char *argument;
        const char *local_port;
    };
    const Case cases[] = {{"1", "1"}, {"65535", "65535"}, {"65536", "65536"}, {" 1080x", "1080"}, {"+23", "23"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "local port \"" << c.argument << "\"");
        SsDoc d;
        d.local_port = c.local_port;
        EXPECT_EQ(run(ss_node(), "0", c.argument), ss_text(d));
        SsrDoc r;
        r.local_port = c.local_port;
        EXPECT_EQ(run(ssr_node(), "1", c.argument), ssr_text(r));
    }
}

TEST_F(SsTest, PasswordReadings)
{
    struct Case {
        const char *stored; // nullptr: key absent
        const char *password;
    };
    const Case cases[] = {
        {nullptr, "\"\""},
        {"", "\"\""},
        {"cGFzcw==\n", "\"pass\""},               // the newline is a leftover
        {"YQBi", "\"a\""},                        // cut at the decoded zero byte
        {"AAAA", "\"\""},
        {"YSJiXGMvZAF/w6k=", "\"a\\\"b\\\\c\\/d\\u0001\x7f\xc3\xa9\""},
        {"cGFzcw", "\"pas\""},                    // "cw" is no complete group
        {"s3cret", "\"\xb3w+\""},                     // not Base64 at all, still decoded
        {"cGFz cw==", "\"pas\\u0001\""},      // a blank is 0 bits
        {"QUJD=UJD", "\"ABC\\u0001B\""},       // padding inside shortens by one
        {"QUJ==UJD", "\"AB@\\u0001\""},        // "==" across two groups shortens by two
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "password \"" << (c.stored ? c.stored : "(absent)") << "\"");
        Settings s = ss_node();
        s.erase("ssconf_basic_password_5");
        if (c.stored)
            s["ssconf_basic_password_5"] = c.stored;
        SsDoc d;
        d.password = c.password;
        EXPECT_EQ(run(s, "0"), ss_text(d));
        Settings r = ssr_node();
        r.erase("ssconf_basic_password_5");
        if (c.stored)
            r["ssconf_basic_password_5"] = c.stored;
        SsrDoc e;
        e.password = c.password;
        EXPECT_EQ(run(r, "1"), ssr_text(e));
    }
}

TEST_F(SsTest, OutputInMissingDirectory)
{
    for (const char *kind : {"0", "1"}) {
        SCOPED_TRACE(testing::Message() << "kind " << kind);
        daemon.clear();
        for (const auto &setting : ssr_node())
            daemon.set(setting.first, setting.second);
        last = run_tarvick({kind, "/tmp/missing/out.json", "1080", "3333", "tcp,udp"});
        EXPECT_EQ(last.status, 0);
        EXPECT_EQ(last.out, "");
        EXPECT_EQ(last.err, "");
        EXPECT_FALSE(file_exists("/tmp/missing"));
        // The settings were still read in full.
        EXPECT_EQ(daemon.keys(), kind[0] == '0' ? SS_KEYS : SSR_KEYS);
    }
}

TEST_F(SsTest, DaemonFallsSilentDuringRun)
{
    // The method lookup gets no answer; it gives up and the rest carries on.
    Settings s = ss_node();
    s["ssconf_basic_ss_obfs_5"] = "obfs-local";
    s["ssconf_basic_ss_obfs_host_5"] = "h";
    daemon.clear();
    for (const auto &setting : s)
        daemon.set(setting.first, setting.second);
    ReplyScript silent;
    silent.hold_ms = 1500;
    daemon.script("ssconf_basic_method_5", silent);
    unlink(OUT);
    SsDoc d;
    d.method = "\"\"";
    d.plugin = "\"obfs-local\"";
    d.plugin_opts = "\"h\"";
    EXPECT_EQ(generate("0"), ss_text(d));
    EXPECT_EQ(last.status, 0);
    EXPECT_EQ(last.err, "");
    EXPECT_EQ(daemon.keys(), SS_KEYS_PLUGIN);
}

} // namespace
