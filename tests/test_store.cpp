// The exchange with the settings daemon, seen from the daemon's side of the
// real socket: what the tool sends, and what it makes of every kind of reply.
// The node lookup shows success or failure (status 0 or 1); the Shadowsocks
// "server" member shows the value a lookup copied.
#include "fixture.h"

#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

const std::string NODE_KEY = "ssconf_basic_node";
const std::string SERVER_KEY = "ssconf_basic_server_0";
const std::string NODE_BODY = "get ssconf_basic_node 3\n"; // 24 bytes

// The Shadowsocks document of node 0 with only a server stored, the server
// given already escaped as JSON.
std::string document_with_server(const std::string &escaped)
{
    return "{ \"server\": \"" + escaped +
           "\", \"server_port\": 0, \"local_address\": \"0.0.0.0\", \"local_port\": 1080, \"mode\": "
           "\"tcp_and_udp\", \"password\": \"\", \"timeout\": 600, \"method\": \"\", \"fast_open\": false, "
           "\"reuse_port\": true, \"protocol\": \"socks\" }\n";
}

ReplyScript send_once(const std::string &bytes)
{
    return ReplyScript{{{bytes, 0}}, 0, true};
}

// Answers the request, then stays silent (but connected) for hold_ms.
ReplyScript send_then_hold(const std::string &bytes, int hold_ms)
{
    ReplyScript script;
    if (!bytes.empty())
        script.steps.push_back({bytes, 0});
    script.hold_ms = hold_ms;
    return script;
}

// Longer than any wait the tool may make, so that only its own deadline can
// end the exchange.
int silence_ms()
{
    return (int)time_bound_ms(1500) + 2000;
}

class StoreTest : public TarvickTest {
protected:
    // The node lookup succeeded with node 3: the generator then asks for
    // node 3's keys.
    void expect_node_three()
    {
        EXPECT_EQ(last.status, 0);
        EXPECT_EQ(last.err, "");
        std::vector<std::string> keys = daemon.keys();
        ASSERT_GE(keys.size(), 2u);
        EXPECT_EQ(keys[1], "ssconf_basic_use_kcp_3");
        EXPECT_TRUE(file_exists(OUT));
    }

    // The node lookup failed: status 1, not a word, no file, no further lookup.
    void expect_silent_failure()
    {
        EXPECT_EQ(last.status, 1);
        EXPECT_EQ(last.out, "");
        EXPECT_EQ(last.err, "");
        EXPECT_EQ(daemon.keys(), std::vector<std::string>{NODE_KEY});
        EXPECT_FALSE(file_exists(OUT));
        EXPECT_EQ(service_calls(), "");
    }

    void reset_between_cases()
    {
        daemon.clear();
        unlink(OUT);
    }

    // Runs with the preload shim and reports whether it was really in the
    // tool; a static binary ignores it.
    RunResult run_with_shim(const std::vector<std::pair<std::string, std::string>> &settings, bool *shim_active)
    {
        const std::string log = "/tmp/shim-log";
        unlink(log.c_str());
        std::vector<std::pair<std::string, std::string>> env = settings;
        env.emplace_back("LD_PRELOAD", preload_shim_path());
        env.emplace_back("TARVICK_SHIM_LOG", log);
        // The shim comes ahead of a sanitizer runtime, which would object.
        std::string asan = getenv("ASAN_OPTIONS") ? getenv("ASAN_OPTIONS") : "";
        env.emplace_back("ASAN_OPTIONS", asan + (asan.empty() ? "" : ":") + "verify_asan_link_order=0");
        RunResult run = run_tarvick_env({"0", OUT, "1080", "1081", "tcp,udp"}, env);
        *shim_active = read_file(log).find("connects=") != std::string::npos;
        unlink(log.c_str());
        return run;
    }

    // Marks the test skipped; GTEST_SKIP only leaves this helper, so callers
    // return when IsSkipped() says so.
    void skip_without_shim()
    {
        if (preload_shim_path().empty())
            GTEST_SKIP() << "built without the preload shim";
        const char *wrapper = getenv("TARVICK_WRAPPER");
        if (wrapper && strstr(wrapper, "qemu"))
            GTEST_SKIP() << "the shim would be preloaded into the emulator, not the tool";
    }
};

TEST_F(StoreTest, RequestsAreFramedExactly)
{
    daemon.set(NODE_KEY, "2147483647\n");
    generate("0");
    ASSERT_EQ(last.status, 0);
    std::vector<std::string> requests = daemon.requests();
    ASSERT_EQ(requests.size(), 8u) << "one connection, one request per lookup";
    EXPECT_EQ(requests[0], std::string("magicv1 0000022 get ssconf_basic_node\n"));
    const std::vector<std::string> keys = {
        "ssconf_basic_node",   "ssconf_basic_use_kcp_2147483647",   "mossgarden_arch",
        "ssconf_basic_server_2147483647", "ssconf_basic_port_2147483647", "ssconf_basic_password_2147483647",
        "ssconf_basic_method_2147483647", "ssconf_basic_ss_obfs_2147483647"};
    for (size_t i = 0; i < keys.size(); i++) {
        const std::string &key = keys[i];
        char length[8];
        snprintf(length, sizeof length, "%07zu", key.size() + 5);
        EXPECT_EQ(requests[i], "magicv1 " + std::string(length) + " get " + key + "\n");
        EXPECT_EQ(requests[i].size(), 21 + key.size());
    }
}

TEST_F(StoreTest, ValueIsTheBodyAfterTheSecondSpace)
{
    struct Case {
        std::string name;
        std::string stored;  // the value as the daemon sends it
        std::string written; // as it appears in the document, escaped
    };
    const std::vector<Case> cases = {
        {"plain", "example.org", "example.org"},
        {"blanks kept", " a b  c ", " a b  c "},
        {"trailing newline kept", "host\n", "host\\n"},
        {"none without newline is a value", "none", "none"},
        {"none and newline means absent", "none\n", ""},
        {"none with two newlines is a value", "none\n\n", "none\\n\\n"},
        {"none after a blank is a value", " none\n", " none\\n"},
        {"upper case None is a value", "None\n", "None\\n"},
        {"empty", "", ""},
        {"NUL ends the text", std::string("ab\0cd", 5), "ab"},
        {"NUL first", std::string("\0cd", 3), ""},
        {"9998 characters whole", std::string(9998, 'v'), std::string(9998, 'v')},
        {"9999 characters cut", std::string(9999, 'v'), std::string(9998, 'v')},
        {"20000 characters cut", std::string(9997, 'v') + "xyz" + std::string(10000, 'w'),
         std::string(9997, 'v') + "x"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        reset_between_cases();
        daemon.set(SERVER_KEY, c.stored);
        EXPECT_EQ(generate("0"), document_with_server(c.written));
        EXPECT_EQ(last.status, 0);
        EXPECT_EQ(last.err, "");
    }
}

TEST_F(StoreTest, OddReplyBodiesGiveTheirThirdField)
{
    struct Case {
        std::string name;
        std::string reply; // raw bytes on the wire
        std::string written;
    };
    const std::vector<Case> cases = {
        {"no space", frame("getnospace"), ""},
        {"one space", frame("get " + SERVER_KEY), ""},
        {"one space at the end", frame("get" + SERVER_KEY + " "), ""},
        {"two spaces, nothing after", frame("get " + SERVER_KEY + " "), ""},
        {"first two fields not examined", frame("x y host"), "host"},
        {"empty first fields", frame("  host"), "host"},
        {"only the first two spaces separate", frame("a b c d"), "c d"},
        {"bytes after the body ignored", frame("get k host") + "junk and more", "host"},
        {"a second reply after the body ignored", frame("get k host") + frame("get k other"), "host"},
        {"empty body", frame(""), ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        reset_between_cases();
        daemon.script(SERVER_KEY, send_once(c.reply));
        EXPECT_EQ(generate("0"), document_with_server(c.written));
        EXPECT_EQ(last.status, 0);
        EXPECT_EQ(last.err, "");
    }
}

TEST_F(StoreTest, LengthFieldIsADecimalNumberAndNothingElse)
{
    struct Case {
        std::string field; // the seven characters after the magic
        char byte15;       // not examined in a reply
        bool accepted;
    };
    const std::vector<Case> cases = {
        {"0000024", ' ', true},   {"   0024", ' ', true},  {"+000024", ' ', true},  {"  +0024", ' ', true},
        {"\t000024", ' ', true},  {"\n000024", ' ', true}, {"0000024", 'x', true},  {"0000024", '\0', true},
        {"0024   ", ' ', false},  {"000024 ", ' ', false}, {"00x0024", ' ', false}, {"000024x", ' ', false},
        {"0x00018", ' ', false},  {"       ", ' ', false}, {"      +", ' ', false}, {"-000001", ' ', false},
        {"-999999", ' ', false},  {"0000000", ' ', false}, {"-000000", ' ', false}, {"+000000", ' ', false},
        {"0000023", ' ', true}, // one byte short of the newline: "3" is still node 3
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("length field '" + c.field + "', byte 15 " + std::to_string((int)c.byte15));
        reset_between_cases();
        std::string reply = "magicv1 " + c.field + std::string(1, c.byte15) + NODE_BODY;
        daemon.script(NODE_KEY, send_then_hold(reply, 0));
        generate("0");
        if (c.accepted) {
            expect_node_three();
        } else {
            expect_silent_failure();
            EXPECT_LT(last.elapsed_ms, time_bound_ms(2000));
        }
    }
}

TEST_F(StoreTest, NegativeLengthFailsBeforeAnyBodyIsRead)
{
    // Taken as a size, -1 is the largest one, and one byte more for the NUL
    // wraps to nothing; the reply must be refused before any read, even with
    // plenty of bytes waiting behind the header.
    const std::string flood(1 << 20, 'z');
    for (const std::string field : {"-000001", "-000002", "-000024", "     -1", "-999999"}) {
        SCOPED_TRACE("length field '" + field + "'");
        reset_between_cases();
        daemon.script(NODE_KEY, send_then_hold("magicv1 " + field + " " + NODE_BODY + flood, 0));
        generate("0");
        expect_silent_failure();
    }
}

TEST_F(StoreTest, BrokenRepliesFailSilently)
{
    struct Case {
        std::string name;
        std::string reply;
    };
    const std::string good = frame(NODE_BODY);
    const std::vector<Case> cases = {
        {"bad magic version", "magicv2 " + good.substr(8)},
        {"upper-case magic", "MAGICV1 " + good.substr(8)},
        {"magic without its blank", "magicv1_" + good.substr(8)},
        {"magic with a tab", "magicv1\t" + good.substr(8)},
        {"nothing at all", ""},
        {"closed mid-header", good.substr(0, 11)},
        {"closed after the header", good.substr(0, 16)},
        {"closed mid-body", good.substr(0, 16 + 10)},
        {"body one byte short", good.substr(0, good.size() - 1)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        reset_between_cases();
        daemon.script(NODE_KEY, send_then_hold(c.reply, 0));
        generate("0");
        expect_silent_failure();
        // A closed connection or a bad header is known at once, not at a deadline.
        EXPECT_LT(last.elapsed_ms, time_bound_ms(500));
    }
}

TEST_F(StoreTest, ReplyInPiecesIsAssembled)
{
    struct Case {
        std::string name;
        std::vector<ReplyStep> steps;
        bool assembled;
        long at_least_ms;
    };
    const std::string good = frame(NODE_BODY);
    const std::vector<Case> cases = {
        {"byte by byte", {}, true, 0},
        {"header in slow pieces", {{good.substr(0, 3), 100}, {good.substr(3, 9), 200}, {good.substr(12), 200}}, true,
         500},
        // Each part has its own deadline: 550 ms for the header and 350 more
        // for the body are fine although together they pass 800.
        {"late header, then late body", {{good.substr(0, 16), 550}, {good.substr(16), 350}}, true, 900},
        {"late header and body in one piece", {{good, 600}}, true, 600},
        {"body in slow pieces", {{good.substr(0, 20), 0}, {good.substr(20, 4), 200}, {good.substr(24), 200}}, true,
         400},
        // A deadline runs from the start of its read, not from the latest piece.
        {"body trickling past its deadline",
         {{good.substr(0, 20), 0}, {good.substr(20, 2), 200}, {good.substr(22, 2), 200}, {good.substr(24), 200}},
         false, 500},
        {"header trickling past its deadline",
         {{good.substr(0, 4), 300}, {good.substr(4, 4), 300}, {good.substr(8), 300}}, false, 780},
    };
    for (Case c : cases) {
        SCOPED_TRACE(c.name);
        reset_between_cases();
        if (c.steps.empty())
            for (char byte : good)
                c.steps.push_back({std::string(1, byte), 0});
        daemon.script(NODE_KEY, ReplyScript{c.steps, 0, true});
        generate("0");
        if (c.assembled)
            expect_node_three();
        else
            expect_silent_failure();
        EXPECT_GE(last.elapsed_ms, c.at_least_ms);
    }
}

TEST_F(StoreTest, SplitValueIsCopiedWhole)
{
    const std::string reply = frame("get " + SERVER_KEY + " host.example\n");
    daemon.script(SERVER_KEY, ReplyScript{{{reply.substr(0, 5), 0},
                                           {reply.substr(5, 15), 100},
                                           {reply.substr(20, 10), 100},
                                           {reply.substr(30), 100}},
                                          0, true});
    EXPECT_EQ(generate("0"), document_with_server("host.example\\n"));
    EXPECT_EQ(last.status, 0);
}

TEST_F(StoreTest, SilentDaemonFailsAtTheDeadline)
{
    struct Case {
        std::string name;
        std::string sent_before_silence;
        long at_least_ms, at_most_ms;
    };
    const std::string good = frame(NODE_BODY);
    const std::vector<Case> cases = {
        {"never answers", "", 780, 1500},
        {"header cut short", good.substr(0, 10), 780, 1500},
        // The body has its own, shorter deadline from the header's arrival.
        {"header only", good.substr(0, 16), 500, 760},
        {"header and part of the body", good.substr(0, 30), 500, 760},
        {"length field promises more", "magicv1 0000099 " + NODE_BODY, 500, 760},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        reset_between_cases();
        daemon.script(NODE_KEY, send_then_hold(c.sent_before_silence, silence_ms()));
        generate("0");
        expect_silent_failure();
        EXPECT_GE(last.elapsed_ms, c.at_least_ms);
        EXPECT_LT(last.elapsed_ms, time_bound_ms(c.at_most_ms));
    }
}

TEST_F(StoreTest, DaemonThatHangsUpBeforeTheRequestDoesNotKillTheTool)
{
    skip_without_shim();
    if (IsSkipped())
        return;
    // The daemon closes each connection as soon as it accepts it; the shim
    // holds connect back long enough that the request is surely written to a
    // closed peer, which raises SIGPIPE unless the tool refuses the signal.
    ReplyScript hang_up;
    hang_up.read_request = false;
    daemon.script("*", hang_up);
    bool shim_active = false;
    RunResult run = run_with_shim({{"TARVICK_SHIM_CONNECT_DELAY_MS", "200"}}, &shim_active);
    EXPECT_NE(run.status, 128 + SIGPIPE) << "killed by SIGPIPE";
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
    EXPECT_FALSE(file_exists(OUT));
    EXPECT_EQ(service_calls(), "");
    if (!shim_active)
        GTEST_SKIP() << "the shim was not loaded into the tool (static binary?): the write after the hang-up "
                        "was not forced";
}

TEST_F(StoreTest, DeadlinesIgnoreTheWallClock)
{
    skip_without_shim();
    if (IsSkipped())
        return;
    struct Case {
        std::string name;
        std::string wall_clock;
        ReplyScript script;
        int status;
        long at_least_ms, at_most_ms;
    };
    const std::string good = frame(NODE_BODY);
    const ReplyScript late = ReplyScript{{{good.substr(0, 16), 300}, {good.substr(16), 300}}, 0, true};
    const ReplyScript silent = send_then_hold("", silence_ms());
    const std::vector<Case> cases = {
        {"clock jumping ahead, late reply", "forward", late, 0, 600, 1500},
        {"clock jumping back, late reply", "backward", late, 0, 600, 1500},
        {"clock jumping ahead, no reply", "forward", silent, 1, 780, 1500},
        {"clock jumping back, no reply", "backward", silent, 1, 780, 1500},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        reset_between_cases();
        daemon.script(NODE_KEY, c.script);
        bool shim_active = false;
        last = run_with_shim({{"TARVICK_SHIM_WALLCLOCK", c.wall_clock}}, &shim_active);
        if (c.status == 0)
            expect_node_three();
        else
            expect_silent_failure();
        EXPECT_GE(last.elapsed_ms, c.at_least_ms);
        EXPECT_LT(last.elapsed_ms, time_bound_ms(c.at_most_ms));
        if (!shim_active)
            GTEST_SKIP() << "the shim was not loaded into the tool (static binary?)";
    }
}

} // namespace
