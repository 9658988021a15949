// Trojan (kind 3) documents, produced by the shipped binary from the fake
// daemon's settings; "/rom" belongs to the test's own mount namespace.
#include "fixture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

namespace {

typedef std::map<std::string, std::string> Settings;
typedef std::vector<std::string> Keys;

Settings trojan_node()
{
    return {
        {"ssconf_basic_node", "5\n"},
        {"mossgarden_arch", "aarch64"},
        {"ssconf_basic_server_5", "trojan.example.org"},
        {"ssconf_basic_port_5", "443"},
        {"ssconf_basic_password_5", "dHJvamFuLXBhc3M="}, // "trojan-pass"
        {"ssconf_basic_ssl_verify_enable_5", "1"},
        {"ssconf_basic_trojan_sni_5", "sni.example.org"},
    };
}

const char CA_PATH_TEXT[] = "\"\\/rom\\/etc\\/ssl\\/certs\\/ca-certificates.crt\"";

// The expected document; fields hold the text as it appears in the file.
struct TrojanDoc {
    std::string run_type = "\"client\"";
    std::string local_port = "1080";
    std::string remote_addr = "\"trojan.example.org\"";
    std::string remote_port = "443";
    std::string password = "\"trojan-pass\"";
    std::string verify = "true";
    std::string cert = "\"\"";
    std::string sni = "\"sni.example.org\"";
    std::string concurrency; // empty: no "mux" member
    std::string reuse_port = "true";
};

std::string trojan_text(const TrojanDoc &d)
{
    std::string text =
        "{ \"log_level\": 3, \"run_type\": " + d.run_type + ", \"local_addr\": \"0.0.0.0\", \"local_port\": " +
        d.local_port + ", \"remote_addr\": " + d.remote_addr + ", \"remote_port\": " + d.remote_port +
        ", \"udp_timeout\": 60, \"password\": [ " + d.password + " ], \"ssl\": { \"verify\": " + d.verify +
        ", \"verify_hostname\": true, \"cert\": " + d.cert +
        ", \"cipher\": \"ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-CHACHA20-POLY1305:"
        "ECDHE-RSA-CHACHA20-POLY1305:ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-AES256-SHA:"
        "ECDHE-ECDSA-AES128-SHA:ECDHE-RSA-AES128-SHA:ECDHE-RSA-AES256-SHA:DHE-RSA-AES128-SHA:DHE-RSA-AES256-SHA:"
        "AES128-SHA:AES256-SHA:DES-CBC3-SHA\", "
        "\"cipher_tls13\": \"TLS_AES_128_GCM_SHA256:TLS_CHACHA20_POLY1305_SHA256:TLS_AES_256_GCM_SHA384\", "
        "\"sni\": " + d.sni + ", \"alpn\": [ \"h2\", \"http\\/1.1\" ], \"curve\": \"\", \"reuse_session\": true, "
        "\"session_ticket\": false }";
    if (!d.concurrency.empty())
        text += ", \"mux\": { \"enabled\": true, \"concurrency\": " + d.concurrency + ", \"idle_timeout\": 60 }";
    return text + ", \"tcp\": { \"no_delay\": true, \"keep_alive\": true, \"reuse_port\": " + d.reuse_port +
           ", \"fast_open\": false, \"fast_open_qlen\": 20 } }\n";
}

const Keys TROJAN_KEYS = {
    "ssconf_basic_node",
    "mossgarden_arch",
    "ssconf_basic_server_5",
    "ssconf_basic_port_5",
    "ssconf_basic_password_5",
    "ssconf_basic_ssl_verify_enable_5",
    "ssconf_basic_trojan_sni_5",
    "ssconf_basic_trojan_mp_enable_5",
};

Keys trojan_keys_with_mux()
{
    Keys keys = TROJAN_KEYS;
    keys.push_back("ssconf_basic_trojan_mulprocess_5");
    return keys;
}

class TrojanTest : public TarvickTest {
protected:
    std::string run(const Settings &settings, const std::string &local_port = "1080",
                    const std::string &second_port = "1081", const std::string &proto = "tcp,udp",
                    const std::string &kind = "3")
    {
        daemon.clear();
        for (const auto &setting : settings)
            daemon.set(setting.first, setting.second);
        unlink(OUT);
        last = run_tarvick({kind, OUT, local_port, second_port, proto});
        EXPECT_EQ(last.status, 0);
        EXPECT_EQ(last.out, "");
        EXPECT_EQ(last.err, "");
        return read_file(OUT);
    }
};

TEST_F(TrojanTest, DocumentWithMultiplexingAndBundle)
{
    set_ca_bundle(true);
    Settings s = {
        {"ssconf_basic_node", "12\n"},
        {"mossgarden_arch", "armv7l"},
        {"ssconf_basic_server_12", "198.51.100.4"},
        {"ssconf_basic_port_12", "8443"},
        {"ssconf_basic_password_12", "cGFzc3dvcmQ="}, // "password"
        {"ssconf_basic_ssl_verify_enable_12", "1"},
        {"ssconf_basic_trojan_sni_12", "cdn.example.com"},
        {"ssconf_basic_trojan_mp_enable_12", "1"},
        {"ssconf_basic_trojan_mulprocess_12", "8"},
    };
    EXPECT_EQ(run(s, "1234", "3333", "tcp"),
              "{ \"log_level\": 3, \"run_type\": \"nat\", \"local_addr\": \"0.0.0.0\", \"local_port\": 1234, "
              "\"remote_addr\": \"198.51.100.4\", \"remote_port\": 8443, \"udp_timeout\": 60, "
              "\"password\": [ \"password\" ], \"ssl\": { \"verify\": true, \"verify_hostname\": true, "
              "\"cert\": \"\\/rom\\/etc\\/ssl\\/certs\\/ca-certificates.crt\", "
              "\"cipher\": \"ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
              "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305:ECDHE-ECDSA-AES256-GCM-SHA384:"
              "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-AES256-SHA:ECDHE-ECDSA-AES128-SHA:ECDHE-RSA-AES128-SHA:"
              "ECDHE-RSA-AES256-SHA:DHE-RSA-AES128-SHA:DHE-RSA-AES256-SHA:AES128-SHA:AES256-SHA:DES-CBC3-SHA\", "
              "\"cipher_tls13\": \"TLS_AES_128_GCM_SHA256:TLS_CHACHA20_POLY1305_SHA256:TLS_AES_256_GCM_SHA384\", "
              "\"sni\": \"cdn.example.com\", \"alpn\": [ \"h2\", \"http\\/1.1\" ], \"curve\": \"\", "
              "\"reuse_session\": true, \"session_ticket\": false }, "
              "\"mux\": { \"enabled\": true, \"concurrency\": 8, \"idle_timeout\": 60 }, "
              "\"tcp\": { \"no_delay\": true, \"keep_alive\": true, \"reuse_port\": false, \"fast_open\": false, "
              "\"fast_open_qlen\": 20 } }\n");
    const Keys keys = {
        "ssconf_basic_node",
        "mossgarden_arch",
        "ssconf_basic_server_12",
        "ssconf_basic_port_12",
        "ssconf_basic_password_12",
        "ssconf_basic_ssl_verify_enable_12",
        "ssconf_basic_trojan_sni_12",
        "ssconf_basic_trojan_mp_enable_12",
        "ssconf_basic_trojan_mulprocess_12",
    };
    EXPECT_EQ(daemon.keys(), keys);
    std::vector<std::string> requests;
    for (const std::string &key : keys)
        requests.push_back(frame("get " + key + "\n"));
    EXPECT_EQ(daemon.requests(), requests);
}

TEST_F(TrojanTest, EveryValueEmpty)
{
    set_ca_bundle(false);
    EXPECT_EQ(run({{"ssconf_basic_node", "5\n"}}, "1080", "1081", "udp"),
              "{ \"log_level\": 3, \"run_type\": \"client\", \"local_addr\": \"0.0.0.0\", \"local_port\": 1080, "
              "\"remote_addr\": \"\", \"remote_port\": 0, \"udp_timeout\": 60, \"password\": [ \"\" ], "
              "\"ssl\": { \"verify\": false, \"verify_hostname\": true, \"cert\": \"\", "
              "\"cipher\": \"ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
              "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305:ECDHE-ECDSA-AES256-GCM-SHA384:"
              "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-AES256-SHA:ECDHE-ECDSA-AES128-SHA:ECDHE-RSA-AES128-SHA:"
              "ECDHE-RSA-AES256-SHA:DHE-RSA-AES128-SHA:DHE-RSA-AES256-SHA:AES128-SHA:AES256-SHA:DES-CBC3-SHA\", "
              "\"cipher_tls13\": \"TLS_AES_128_GCM_SHA256:TLS_CHACHA20_POLY1305_SHA256:TLS_AES_256_GCM_SHA384\", "
              "\"sni\": \"\", \"alpn\": [ \"h2\", \"http\\/1.1\" ], \"curve\": \"\", \"reuse_session\": true, "
              "\"session_ticket\": false }, \"tcp\": { \"no_delay\": true, \"keep_alive\": true, "
              "\"reuse_port\": true, \"fast_open\": false, \"fast_open_qlen\": 20 } }\n");
    EXPECT_EQ(daemon.keys(), TROJAN_KEYS);
}

TEST_F(TrojanTest, RunTypes)
{
    struct Case {
        const char *proto;
        const char *run_type;
    };
    const Case cases[] = {
        {"nat", "\"nat\""},        {"tcp", "\"nat\""},        {"udp", "\"client\""},  {"tcp,udp", "\"client\""},
        {"", "\"client\""},        {"NAT", "\"client\""},     {"TCP", "\"client\""},  {"tcp ", "\"client\""},
        {"nat\n", "\"client\""},   {"nat,tcp", "\"client\""}, {"na", "\"client\""},   {"tc", "\"client\""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "proto \"" << c.proto << "\"");
        TrojanDoc d;
        d.run_type = c.run_type;
        EXPECT_EQ(run(trojan_node(), "1080", "1081", c.proto), trojan_text(d));
        EXPECT_EQ(daemon.keys(), TROJAN_KEYS);
    }
}

TEST_F(TrojanTest, VerificationReadings)
{
    struct Case {
        const char *value; // nullptr: key absent
        const char *verify;
    };
    const Case cases[] = {
        {"1", "true"},   {"01", "true"},   {" 1x", "true"}, {"1\n", "true"}, {"0", "false"},
        {"2", "false"},  {"true", "false"}, {"", "false"},  {"-1", "false"}, {nullptr, "false"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "verify \"" << (c.value ? c.value : "(absent)") << "\"");
        Settings s = trojan_node();
        s.erase("ssconf_basic_ssl_verify_enable_5");
        if (c.value)
            s["ssconf_basic_ssl_verify_enable_5"] = c.value;
        TrojanDoc d;
        d.verify = c.verify;
        EXPECT_EQ(run(s), trojan_text(d));
    }
}

TEST_F(TrojanTest, MultiplexingReadings)
{
    struct Case {
        const char *enable;      // nullptr: key absent
        const char *concurrency; // nullptr: key absent
        const char *written;     // "": no "mux" member
    };
    const Case cases[] = {
        {"1", "8", "8"},     {"01", "4x", "4"},  {" 1x", "-3", "-3"}, {"1", "", "0"},
        {"1", nullptr, "0"}, {"1", "x8", "0"},   {"0", "8", ""},      {"", "8", ""},
        {"2", "8", ""},      {"true", "8", ""},  {nullptr, "8", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "mp_enable \"" << (c.enable ? c.enable : "(absent)") << "\"");
        Settings s = trojan_node();
        if (c.enable)
            s["ssconf_basic_trojan_mp_enable_5"] = c.enable;
        if (c.concurrency)
            s["ssconf_basic_trojan_mulprocess_5"] = c.concurrency;
        TrojanDoc d;
        d.concurrency = c.written;
        EXPECT_EQ(run(s), trojan_text(d));
        // The concurrency is asked for only when multiplexing is on.
        EXPECT_EQ(daemon.keys(), d.concurrency.empty() ? TROJAN_KEYS : trojan_keys_with_mux());
    }
}

TEST_F(TrojanTest, CaBundlePresence)
{
    TrojanDoc with, without;
    with.cert = CA_PATH_TEXT;

    set_ca_bundle(true);
    EXPECT_EQ(run(trojan_node()), trojan_text(with));
    set_ca_bundle(false);
    EXPECT_EQ(run(trojan_node()), trojan_text(without));

    // Existence is all that counts: an empty file, an unreadable one, or even
    // a directory at the path.
    set_ca_bundle(true);
    write_file("/rom/etc/ssl/certs/ca-certificates.crt", "");
    chmod("/rom/etc/ssl/certs/ca-certificates.crt", 0);
    EXPECT_EQ(run(trojan_node()), trojan_text(with));
    set_ca_bundle(false);
    for (const char *dir : {"/rom", "/rom/etc", "/rom/etc/ssl", "/rom/etc/ssl/certs",
                            "/rom/etc/ssl/certs/ca-certificates.crt"})
        mkdir(dir, 0755);
    EXPECT_EQ(run(trojan_node()), trojan_text(with));

    // A bundle elsewhere in the tree is not looked for.
    set_ca_bundle(false);
    for (const char *dir : {"/tmp/etc", "/tmp/etc/ssl", "/tmp/etc/ssl/certs"})
        mkdir(dir, 0755);
    write_file("/tmp/etc/ssl/certs/ca-certificates.crt", "bundle\n");
    EXPECT_EQ(run(trojan_node()), trojan_text(without));
    EXPECT_EQ(daemon.keys(), TROJAN_KEYS);
}

TEST_F(TrojanTest, ArchitectureReadings)
{
    struct Case {
        const char *value; // nullptr: key absent
        const char *reuse_port;
    };
    const Case cases[] = {
        {"armv7l", "false"}, {"ARMV7L", "true"}, {"armv7l ", "true"}, {"armv7l\n", "true"},
        {"", "true"},        {"mipsel", "true"}, {nullptr, "true"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "arch \"" << (c.value ? c.value : "(absent)") << "\"");
        Settings s = trojan_node();
        s.erase("mossgarden_arch");
        if (c.value)
            s["mossgarden_arch"] = c.value;
        TrojanDoc d;
        d.reuse_port = c.reuse_port;
        EXPECT_EQ(run(s), trojan_text(d));
        EXPECT_EQ(daemon.keys(), TROJAN_KEYS);
    }
}

TEST_F(TrojanTest, PasswordReadings)
{
    struct Case {
        const char *stored; // nullptr: key absent
        const char *element;
    };
    const Case cases[] = {
        {nullptr, "\"\""},
        {"", "\"\""},
        {"==", "\"\""},
        {"YQBi", "\"a\""}, // cut at the decoded zero byte
        {"dHJvamFuLXBhc3M=\n", "\"trojan-pass\""},
        {"QUJ==UJD", "\"AB@\\u0001\""},
        {"YSJiXGMvZAF/w6k=", "\"a\\\"b\\\\c\\/d\\u0001\x7f\xc3\xa9\""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "password \"" << (c.stored ? c.stored : "(absent)") << "\"");
        Settings s = trojan_node();
        s.erase("ssconf_basic_password_5");
        if (c.stored)
            s["ssconf_basic_password_5"] = c.stored;
        TrojanDoc d;
        d.password = c.element;
        EXPECT_EQ(run(s), trojan_text(d));
    }
}

TEST_F(TrojanTest, ServerSettingsVerbatim)
{
    struct Case {
        const char *server, *port, *sni;
        const char *remote_addr, *remote_port, *sni_text;
    };
    const Case cases[] = {
        {"443x.example", "443x", "a\"b", "\"443x.example\"", "443", "\"a\\\"b\""},
        {"", "x443", "", "\"\"", "0", "\"\""},
        {" h \n", "-1", "s\\n\t", "\" h \\n\"", "-1", "\"s\\\\n\\t\""},
        {"h", "70000", "\xe4\xb8\xad.example", "\"h\"", "70000", "\"\xe4\xb8\xad.example\""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "server \"" << c.server << "\" port \"" << c.port << "\"");
        Settings s = trojan_node();
        s["ssconf_basic_server_5"] = c.server;
        s["ssconf_basic_port_5"] = c.port;
        s["ssconf_basic_trojan_sni_5"] = c.sni;
        TrojanDoc d;
        d.remote_addr = c.remote_addr;
        d.remote_port = c.remote_port;
        d.sni = c.sni_text;
        EXPECT_EQ(run(s), trojan_text(d));
    }
}

TEST_F(TrojanTest, KindAndSecondPortNeverChangeTheDocument)
{
    Settings s = trojan_node();
    s["ssconf_basic_trojan_mp_enable_5"] = "1";
    s["ssconf_basic_trojan_mulprocess_5"] = "2";
    // Settings of other kinds of node must not leak in either.
    s["ssconf_basic_use_kcp_5"] = "1";
    s["ssconf_basic_method_5"] = "aes-256-gcm";
    TrojanDoc d;
    d.concurrency = "2";
    for (const char *kind : {"3", "03", " 3", "3x", "+3"}) {
        for (const char *second_port : {"1081", "3333", "23456", "1"}) {
            SCOPED_TRACE(testing::Message() << "kind \"" << kind << "\" second port " << second_port);
            EXPECT_EQ(run(s, "1080", second_port, "tcp,udp", kind), trojan_text(d));
            EXPECT_EQ(daemon.keys(), trojan_keys_with_mux());
        }
    }
}

TEST_F(TrojanTest, LocalPortArgument)
{
    for (const char *port : {"1", "65535", "65536"}) {
        SCOPED_TRACE(testing::Message() << "local port " << port);
        TrojanDoc d;
        d.local_port = port;
        EXPECT_EQ(run(trojan_node(), port), trojan_text(d));
    }
}

TEST_F(TrojanTest, OutputInMissingDirectory)
{
    daemon.clear();
    for (const auto &setting : trojan_node())
        daemon.set(setting.first, setting.second);
    last = run_tarvick({"3", "/tmp/missing/out.json", "1080", "1081", "nat"});
    EXPECT_EQ(last.status, 0);
    EXPECT_EQ(last.out, "");
    EXPECT_EQ(last.err, "");
    EXPECT_FALSE(file_exists("/tmp/missing"));
    EXPECT_EQ(daemon.keys(), TROJAN_KEYS);
}

TEST_F(TrojanTest, DaemonFallsSilentDuringRun)
{
    daemon.clear();
    for (const auto &setting : trojan_node())
        daemon.set(setting.first, setting.second);
    ReplyScript silent;
    silent.hold_ms = 1500;
    daemon.script("ssconf_basic_password_5", silent);
    unlink(OUT);
    TrojanDoc d;
    d.password = "\"\"";
    EXPECT_EQ(generate("3"), trojan_text(d));
    EXPECT_EQ(last.status, 0);
    EXPECT_EQ(last.err, "");
    EXPECT_EQ(daemon.keys(), TROJAN_KEYS);
}

} // namespace
