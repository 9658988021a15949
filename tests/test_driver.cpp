// The command line as the add-on's scripts use it: argument checks, the usage
// text, the node lookup and the choice of generator, seen from outside the
// real binary.
#include "fixture.h"

#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

namespace {

const std::string USAGE_FIRST = "tarvick $type $conf_file $local_port $socks_port $proto\n";
const std::string USAGE_SECOND_PREFIX = "Feedback bugs on the website : ";

// The Shadowsocks document of a node with nothing stored.
std::string empty_ss_document(const std::string &local_port = "1080", const std::string &mode = "tcp_and_udp",
                              const std::string &role = "socks")
{
    return "{ \"server\": \"\", \"server_port\": 0, \"local_address\": \"0.0.0.0\", \"local_port\": " + local_port +
           ", \"mode\": \"" + mode +
           "\", \"password\": \"\", \"timeout\": 600, \"method\": \"\", \"fast_open\": false, \"reuse_port\": true, "
           "\"protocol\": \"" +
           role + "\" }\n";
}

std::string empty_ssr_document()
{
    return "{ \"server\": \"\", \"server_port\": 0, \"local_address\": \"0.0.0.0\", \"local_port\": 1080, \"mode\": "
           "\"tcp_and_udp\", \"password\": \"\", \"timeout\": 600, \"method\": \"\", \"protocol\": \"\", "
           "\"protocol_param\": \"\", \"obfs\": \"\", \"obfs_param\": \"\", \"fast_open\": false, \"reuse_port\": true "
           "}\n";
}

std::string empty_v2ray_document(const std::string &local_port, const std::string &network,
                                 const std::string &socks_port)
{
    return "{ \"log\": { \"error\": \"\\/tmp\\/xray.log\", \"loglevel\": \"warning\" }, \"inbound\": { \"port\": " +
           local_port + ", \"protocol\": \"dokodemo-door\", \"settings\": { \"network\": \"" + network +
           "\", \"followRedirect\": true }, \"sniffing\": { \"enabled\": true, \"destOverride\": [ \"http\", \"tls\" ] "
           "} }, \"inboundDetour\": [ { \"protocol\": \"socks\", \"port\": " +
           socks_port +
           ", \"settings\": { \"auth\": \"noauth\", \"udp\": true } } ], \"outbound\": { \"protocol\": \"\", "
           "\"settings\": { }, \"streamSettings\": { \"network\": \"\", \"security\": \"\" } } }\n";
}

std::string empty_trojan_document()
{
    return "{ \"log_level\": 3, \"run_type\": \"client\", \"local_addr\": \"0.0.0.0\", \"local_port\": 1080, "
           "\"remote_addr\": \"\", \"remote_port\": 0, \"udp_timeout\": 60, \"password\": [ \"\" ], \"ssl\": { "
           "\"verify\": false, \"verify_hostname\": true, \"cert\": \"\", \"cipher\": "
           "\"ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-"
           "CHACHA20-POLY1305:ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-AES256-SHA:ECDHE-"
           "ECDSA-AES128-SHA:ECDHE-RSA-AES128-SHA:ECDHE-RSA-AES256-SHA:DHE-RSA-AES128-SHA:DHE-RSA-AES256-SHA:AES128-"
           "SHA:AES256-SHA:DES-CBC3-SHA\", \"cipher_tls13\": "
           "\"TLS_AES_128_GCM_SHA256:TLS_CHACHA20_POLY1305_SHA256:TLS_AES_256_GCM_SHA384\", \"sni\": \"\", \"alpn\": [ "
           "\"h2\", \"http\\/1.1\" ], \"curve\": \"\", \"reuse_session\": true, \"session_ticket\": false }, \"tcp\": { "
           "\"no_delay\": true, \"keep_alive\": true, \"reuse_port\": true, \"fast_open\": false, \"fast_open_qlen\": "
           "20 } }\n";
}

// The keys a Shadowsocks run asks for, in order, for the given node suffix.
std::vector<std::string> ss_keys(const std::string &node)
{
    return {"ssconf_basic_node",        "ssconf_basic_use_kcp_" + node,   "mossgarden_arch",
            "ssconf_basic_server_" + node, "ssconf_basic_port_" + node,    "ssconf_basic_password_" + node,
            "ssconf_basic_method_" + node, "ssconf_basic_ss_obfs_" + node};
}

// A socket file that nobody listens on: connecting to it is refused.
void leave_dead_socket_file()
{
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    strcpy(address.sun_path, "/tmp/.brimd_server_sock");
    ASSERT_EQ(bind(fd, (struct sockaddr *)&address, sizeof address), 0);
    close(fd);
}

class DriverTest : public TarvickTest {
protected:
    // The usage text, with its address checked for shape and returned.
    void expect_usage(const RunResult &run, const std::string &why)
    {
        SCOPED_TRACE(why);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.err, "");
        ASSERT_EQ(run.out.compare(0, USAGE_FIRST.size(), USAGE_FIRST), 0) << run.out;
        std::string second = run.out.substr(USAGE_FIRST.size());
        ASSERT_EQ(second.compare(0, USAGE_SECOND_PREFIX.size(), USAGE_SECOND_PREFIX), 0) << run.out;
        std::string address = second.substr(USAGE_SECOND_PREFIX.size());
        ASSERT_FALSE(address.empty());
        EXPECT_EQ(address.back(), '\n');
        address.pop_back();
        EXPECT_FALSE(address.empty());
        EXPECT_EQ(address.find('\n'), std::string::npos) << "more than two lines: " << run.out;
        EXPECT_EQ(address.find(' '), std::string::npos) << "an address has no blanks: " << run.out;
        if (usage_seen.empty())
            usage_seen = run.out;
        EXPECT_EQ(run.out, usage_seen) << "the usage text never varies";
        EXPECT_TRUE(daemon.requests().empty()) << "a usage error must not contact the daemon";
        EXPECT_EQ(service_calls(), "");
        EXPECT_FALSE(file_exists(OUT));
    }

    std::string usage_seen;
};

TEST_F(DriverTest, WrongArgumentCountPrintsUsageOnly)
{
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"0"},
        {"0", OUT, "1080", "1081"},
        {"0", OUT, "1080", "1081", "tcp", "extra"},
        {"0", OUT, "1080", "1081", "tcp", "", ""},
    };
    for (const auto &args : cases)
        expect_usage(run_tarvick(args), std::to_string(args.size()) + " arguments");
}

TEST_F(DriverTest, PortsThatAreNotPositivePrintUsageOnly)
{
    const std::vector<std::string> bad = {"0", "-1", "abc", "", " ", "+0", "-0", "x8080", "-99999999999", "0x50"};
    for (const std::string &port : bad) {
        expect_usage(run_tarvick({"0", OUT, port, "1081", "tcp"}), "local port '" + port + "'");
        expect_usage(run_tarvick({"0", OUT, "1080", port, "tcp"}), "second port '" + port + "'");
    }
    // The local port is judged first, but a good one does not excuse a bad second.
    expect_usage(run_tarvick({"2", OUT, "0", "0", "tcp"}), "both ports zero");
}

TEST_F(DriverTest, PortTextIsReadByItsLeadingDigits)
{
    struct Case {
        std::string arg;
        std::string written;
    };
    const std::vector<Case> cases = {
        {"8080xyz", "8080"},
        {" 42", "42"},
        {"\t\n7", "7"},
        {"+9", "9"},
        {"00012", "12"},
        {"65536", "65536"}, // no range check beyond the sign
        {"2147483647", "2147483647"},
        {"99999999999", "2147483647"}, // saturates instead of wrapping to a negative
        {"4294967297", "2147483647"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.arg);
        EXPECT_EQ(generate("0", c.arg, "1081", "tcp,udp"), empty_ss_document(c.written));
        EXPECT_EQ(last.status, 0);
        EXPECT_EQ(last.out, "");
        EXPECT_EQ(last.err, "");
    }
}

TEST_F(DriverTest, TypeTextSelectsTheGenerator)
{
    struct Case {
        std::string type;
        std::string document;
        std::string first_generator_key; // the generator's first request
    };
    const std::string v2ray = empty_v2ray_document("1080", "tcp,udp", "1081");
    const std::vector<Case> cases = {
        {"0", empty_ss_document(), "ssconf_basic_use_kcp_0"},
        {"abc", empty_ss_document(), "ssconf_basic_use_kcp_0"},
        {"", empty_ss_document(), "ssconf_basic_use_kcp_0"},
        {"-0", empty_ss_document(), "ssconf_basic_use_kcp_0"},
        {"1", empty_ssr_document(), "ssconf_basic_use_kcp_0"},
        {"1.9", empty_ssr_document(), "ssconf_basic_use_kcp_0"},
        {"2", v2ray, "ssconf_basic_v2ray_protocol_0"},
        {"2abc", v2ray, "ssconf_basic_v2ray_protocol_0"},
        {"+2", v2ray, "ssconf_basic_v2ray_protocol_0"},
        {"3", empty_trojan_document(), "mossgarden_arch"},
        {" 3", empty_trojan_document(), "mossgarden_arch"},
        {"03", empty_trojan_document(), "mossgarden_arch"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("type '" + c.type + "'");
        daemon.clear();
        unlink(OUT);
        EXPECT_EQ(generate(c.type), c.document);
        EXPECT_EQ(last.status, 0);
        EXPECT_EQ(last.out, "");
        EXPECT_EQ(last.err, "");
        std::vector<std::string> keys = daemon.keys();
        ASSERT_GE(keys.size(), 2u);
        EXPECT_EQ(keys[0], "ssconf_basic_node");
        EXPECT_EQ(keys[1], c.first_generator_key);
    }
}

TEST_F(DriverTest, KindOutsideTheTableFailsAfterTheNodeLookup)
{
    const std::vector<std::string> types = {"4", "-1", "5x", "99999999999", "-99999999999"};
    for (const std::string &type : types) {
        SCOPED_TRACE("type '" + type + "'");
        daemon.clear();
        daemon.set("ssconf_basic_node", "1\n");
        write_file(OUT, "previous document\n");
        generate(type);
        EXPECT_EQ(last.status, 1);
        EXPECT_EQ(last.out, "");
        EXPECT_EQ(last.err, "");
        EXPECT_EQ(daemon.keys(), std::vector<std::string>{"ssconf_basic_node"});
        EXPECT_EQ(read_file(OUT), "previous document\n") << "nothing may be written";
    }
}

TEST_F(DriverTest, UnreachableDaemonIsStartedOnceThenTheRunFails)
{
    struct Case {
        std::string type;
        bool socket_file; // a stale socket file refuses; no file at all is not found
        std::string message;
    };
    const std::vector<Case> cases = {
        {"0", false, "connect to brimd error: No such file or directory\n"},
        {"2", false, "connect to brimd error: No such file or directory\n"},
        {"4", false, "connect to brimd error: No such file or directory\n"},
        {"-1", false, "connect to brimd error: No such file or directory\n"},
        {"3", true, "connect to brimd error: Connection refused\n"},
        {"7", true, "connect to brimd error: Connection refused\n"},
    };
    daemon.stop();
    for (const Case &c : cases) {
        SCOPED_TRACE("type '" + c.type + "'" + (c.socket_file ? " with a stale socket file" : ""));
        sandbox_reset();
        if (c.socket_file)
            leave_dead_socket_file();
        generate(c.type);
        EXPECT_EQ(last.status, 1);
        EXPECT_EQ(last.err, c.message);
        EXPECT_EQ(last.out, "");
        EXPECT_EQ(service_calls(), "start_brimd\n") << "exactly one start attempt";
        EXPECT_GE(last.elapsed_ms, 950) << "the daemon gets a second to come up";
        EXPECT_LT(last.elapsed_ms, time_bound_ms(2500)) << "only one retry";
        EXPECT_FALSE(file_exists(OUT));
    }
}

TEST_F(DriverTest, DaemonStartedByTheServiceCommandServesTheRun)
{
    daemon.stop();
    daemon.set("ssconf_basic_node", "2\n");
    daemon.set("ssconf_basic_server_2", "example.org");
    daemon.start(true);
    std::string document = generate("0");
    EXPECT_EQ(last.status, 0);
    EXPECT_EQ(last.err, "");
    EXPECT_EQ(last.out, "");
    EXPECT_EQ(service_calls(), "start_brimd\n");
    EXPECT_GE(last.elapsed_ms, 950);
    EXPECT_EQ(document,
              "{ \"server\": \"example.org\", \"server_port\": 0, \"local_address\": \"0.0.0.0\", \"local_port\": "
              "1080, \"mode\": \"tcp_and_udp\", \"password\": \"\", \"timeout\": 600, \"method\": \"\", "
              "\"fast_open\": false, \"reuse_port\": true, \"protocol\": \"socks\" }\n");
    EXPECT_EQ(daemon.keys(), ss_keys("2"));
}

TEST_F(DriverTest, NodeIndexNamesEveryLaterKey)
{
    struct Case {
        const char *stored; // nullptr: the key is absent
        std::string suffix;
    };
    const std::vector<Case> cases = {
        {nullptr, "0"},
        {"", "0"},
        {"none", "0"},
        {"3\n", "3"},
        {"3", "3"},
        {" 12 \n", "12"},
        {"7abc", "7"},
        {"-2\n", "-2"},
        {"99999999999\n", "2147483647"},
        {"-99999999999\n", "-2147483648"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.stored ? "stored '" + std::string(c.stored) + "'" : "absent");
        daemon.clear();
        if (c.stored)
            daemon.set("ssconf_basic_node", c.stored);
        EXPECT_EQ(generate("0"), empty_ss_document());
        EXPECT_EQ(last.status, 0);
        EXPECT_EQ(daemon.keys(), ss_keys(c.suffix));
    }
}

TEST_F(DriverTest, SecondPortAndTransportListArePassedThrough)
{
    struct Case {
        std::string type, second_port, proto, document;
    };
    const std::vector<Case> cases = {
        {"2", "23456", "tcp,udp", empty_v2ray_document("3333", "tcp,udp", "23456")},
        {"2", "1", "tcp", empty_v2ray_document("3333", "tcp", "1")},
        {"2", "99999999999", "udp,tcp", empty_v2ray_document("3333", "udp,tcp", "2147483647")},
        {"2", "23456", "tcp \"odd\"/list", empty_v2ray_document("3333", "tcp \\\"odd\\\"\\/list", "23456")},
        // The Shadowsocks generator takes its role from the second port and its
        // mode from the list.
        {"0", "3333", "udp", empty_ss_document("3333", "udp_only", "redir")},
        {"0", "3334", "tcp", empty_ss_document("3333", "tcp_only", "socks")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.type + " " + c.second_port + " " + c.proto);
        EXPECT_EQ(generate(c.type, "3333", c.second_port, c.proto), c.document);
        EXPECT_EQ(last.status, 0);
    }
}

TEST_F(DriverTest, DaemonLostAfterTheNodeLookupStillGivesADocument)
{
    // Every later lookup starts the daemon again, fails on its own and looks
    // to the generator like a key without a value.
    // The node reply's last byte comes late; meanwhile the socket file goes,
    // so every later connect finds no daemon.
    std::string reply = value_reply("ssconf_basic_node", "5\n");
    daemon.script("ssconf_basic_node",
                  ReplyScript{{{reply.substr(0, reply.size() - 1), 0}, {reply.substr(reply.size() - 1), 300}}, 0, true});
    std::thread run([this] { generate("0"); });
    for (int waited = 0; daemon.requests().empty() && waited < 5000; waited += 1)
        usleep(1000);
    unlink("/tmp/.brimd_server_sock");
    run.join();
    daemon.stop();
    EXPECT_EQ(last.status, 0);
    EXPECT_EQ(read_file(OUT), empty_ss_document());
    const size_t later_lookups = ss_keys("5").size() - 1;
    // The daemon the tool starts keeps the timer slack the tool was given,
    // whatever the tool's own polls use.
    const std::string slack = read_file("/proc/self/timerslack_ns");
    std::string messages, starts, slacks;
    for (size_t i = 0; i < later_lookups; i++) {
        messages += "connect to brimd error: No such file or directory\n";
        starts += "start_brimd\n";
        slacks += slack;
    }
    EXPECT_EQ(last.err, messages);
    EXPECT_EQ(service_calls(), starts);
    EXPECT_EQ(read_file("/tmp/service-slack"), slacks);
    EXPECT_EQ(daemon.keys(), std::vector<std::string>{"ssconf_basic_node"});
}

} // namespace
