// A daemon that misbehaves in every way it can short of trickling bytes
// forever: each lookup must still end within its deadlines, silently, and the
// run must go on (generator lookups) or stop with status 1 (the node lookup).
#include "fixture.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <algorithm>
#include <string>
#include <thread>

namespace {

const long HEADER_MS = 800;
const long BODY_MS = 510;

// The tool's own start-up and the daemon thread's scheduling, plus whatever a
// wrapper such as valgrind adds to every run.
long slack_ms()
{
    return getenv("TARVICK_WRAPPER") ? 4000 : 400;
}

const char SS_NODE_1[] =
    "{ \"server\": \"\", \"server_port\": 8388, \"local_address\": \"0.0.0.0\", \"local_port\": 1080, "
    "\"mode\": \"tcp_and_udp\", \"password\": \"pass\", \"timeout\": 600, \"method\": \"aes-256-gcm\", "
    "\"fast_open\": false, \"reuse_port\": true, \"protocol\": \"socks\" }\n";

struct Misbehaviour {
    const char *name;
    ReplyScript script;
    long min_ms; // the deadline the lookup has to wait out
    long max_ms; // before slack
};

ReplyScript pieces(std::vector<ReplyStep> steps, int hold_ms)
{
    ReplyScript script;
    script.steps = std::move(steps);
    script.hold_ms = hold_ms;
    return script;
}

const int HOLD = 5000; // longer than any deadline: the tool has to give up first

std::vector<Misbehaviour> misbehaviours()
{
    return {
        {"silent", pieces({}, HOLD), HEADER_MS, HEADER_MS},
        {"silent_without_reading", [] {
             ReplyScript s = pieces({}, HOLD);
             s.read_request = false;
             return s;
         }(), HEADER_MS, HEADER_MS},
        {"closes_at_once", pieces({}, 0), 0, 0},
        {"closes_mid_header", pieces({{"magicv1 00", 0}}, 0), 0, 0},
        {"closes_mid_body", pieces({{"magicv1 0000040 get ssconf_", 0}}, 0), 0, 0},
        {"bad_magic", pieces({{"magicv2 0000010 get a b c", 0}}, HOLD), 0, 0},
        {"letter_in_length", pieces({{"magicv1 00x0010 get a b c", 0}}, HOLD), 0, 0},
        {"negative_length", pieces({{"magicv1 -000010 get a b c", 0}}, HOLD), 0, 0},
        {"zero_length_then_silence", pieces({{"magicv1 0000000 ", 0}}, HOLD), BODY_MS, BODY_MS},
        {"half_header_then_silence", pieces({{"magicv1 000", 0}}, HOLD), HEADER_MS, HEADER_MS},
        {"huge_length_never_sent", pieces({{"magicv1 9999999 ", 0}}, HOLD), BODY_MS, BODY_MS},
        {"huge_length_partly_sent", pieces({{"magicv1 9999999 get x ", 0}, {std::string(70000, 'v'), 0}}, HOLD),
         BODY_MS, BODY_MS},
        {"late_header_then_silent_body", pieces({{"magicv1 0000030 ", 600}}, HOLD), 600 + BODY_MS,
         600 + BODY_MS},
    };
}

void PrintTo(const Misbehaviour &bad, std::ostream *out)
{
    *out << bad.name;
}

} // namespace

class HostileDaemonTest : public TarvickTest, public testing::WithParamInterface<Misbehaviour> {};

// The node lookup decides whether there is a run at all: any broken exchange
// ends it with status 1, no message and no file.
TEST_P(HostileDaemonTest, NodeLookupFailsWithinItsDeadline)
{
    const Misbehaviour &bad = GetParam();
    daemon.script("ssconf_basic_node", bad.script);
    write_file(OUT, "previous\n");

    std::string written = generate("0");

    EXPECT_EQ(last.status, 1);
    EXPECT_EQ(last.out, "");
    EXPECT_EQ(last.err, "");
    EXPECT_EQ(written, "previous\n");
    EXPECT_GE(last.elapsed_ms, bad.min_ms);
    EXPECT_LT(last.elapsed_ms, bad.max_ms + slack_ms());
}

// A generator's lookup that breaks reads as an empty value; the run carries on
// with the next key and writes the document.
TEST_P(HostileDaemonTest, SettingLookupFailsWithinItsDeadlineAndTheRunGoesOn)
{
    const Misbehaviour &bad = GetParam();
    daemon.set("ssconf_basic_node", "1\n");
    daemon.set("ssconf_basic_server_1", "server.example");
    daemon.set("ssconf_basic_port_1", "8388");
    daemon.set("ssconf_basic_password_1", "cGFzcw==");
    daemon.set("ssconf_basic_method_1", "aes-256-gcm");
    daemon.script("ssconf_basic_server_1", bad.script);

    std::string written = generate("0");

    EXPECT_EQ(last.status, 0);
    EXPECT_EQ(last.err, "");
    EXPECT_EQ(written, SS_NODE_1);
    std::vector<std::string> keys = daemon.keys();
    ASSERT_GE(keys.size(), 5u);
    EXPECT_EQ(keys[3], "ssconf_basic_server_1");
    EXPECT_EQ(keys[4], "ssconf_basic_port_1");
    EXPECT_GE(last.elapsed_ms, bad.min_ms);
    EXPECT_LT(last.elapsed_ms, bad.max_ms + slack_ms());
}

INSTANTIATE_TEST_SUITE_P(Replies, HostileDaemonTest, testing::ValuesIn(misbehaviours()),
                         [](const testing::TestParamInfo<Misbehaviour> &info) { return std::string(info.param.name); });

// Worst case of a whole run against a daemon that accepts and never answers:
// the node lookup waits out the header deadline once, then the run stops.
TEST_F(TarvickTest, SilentDaemonEndsTheRunAfterOneHeaderDeadline)
{
    daemon.script("*", pieces({}, HOLD));
    for (const char *type : {"0", "1", "2", "3", "7"}) {
        SCOPED_TRACE(type);
        std::string written = generate(type);
        EXPECT_EQ(last.status, 1);
        EXPECT_EQ(last.err, "");
        EXPECT_EQ(written, "");
        EXPECT_GE(last.elapsed_ms, HEADER_MS);
        EXPECT_LT(last.elapsed_ms, HEADER_MS + slack_ms());
    }
    EXPECT_EQ(daemon.keys().size(), 5u);
}

namespace {

// A daemon that hangs stops accepting; once its listen queue is full, a
// blocking connect would wait for it forever.
class StuckListener {
public:
    StuckListener()
    {
        unlink("/tmp/.brimd_server_sock");
        // Close-on-exec: the tool must not hold the listener open itself.
        listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_un address;
        memset(&address, 0, sizeof address);
        address.sun_family = AF_UNIX;
        strcpy(address.sun_path, "/tmp/.brimd_server_sock");
        EXPECT_EQ(bind(listener_, (struct sockaddr *)&address, sizeof address), 0) << strerror(errno);
        EXPECT_EQ(listen(listener_, 0), 0) << strerror(errno);
        // Fill the queue: connect without blocking until the kernel refuses.
        for (int i = 0; i < 64; i++) {
            int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (connect(fd, (struct sockaddr *)&address, sizeof address) != 0) {
                close(fd);
                break;
            }
            queued_.push_back(fd);
        }
        EXPECT_FALSE(queued_.empty());
    }
    // Closing the listener releases a connect that is still waiting, so a
    // tool that would hang fails the test instead of stalling the suite.
    void release_after(long ms)
    {
        watchdog_ = std::thread([this, ms] {
            auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
            while (!done_ && std::chrono::steady_clock::now() < until)
                usleep(10000);
            shutdown(listener_, SHUT_RDWR);
            close(listener_);
            listener_ = -1;
        });
    }
    ~StuckListener()
    {
        done_ = true;
        if (watchdog_.joinable())
            watchdog_.join();
        if (listener_ >= 0)
            close(listener_);
        for (int fd : queued_)
            close(fd);
        unlink("/tmp/.brimd_server_sock");
    }

private:
    int listener_ = -1;
    std::vector<int> queued_;
    std::thread watchdog_;
    std::atomic<bool> done_{false};
};

} // namespace

TEST(HostileListener, FullListenQueueFailsTheRunInsteadOfHanging)
{
    sandbox_reset();
    StuckListener stuck;
    const long connect_ms = HEADER_MS;
    // Two bounded connects around the start attempt and its one-second pause.
    const long expected_ms = connect_ms + 1000 + connect_ms;
    stuck.release_after(expected_ms + 4 * slack_ms());

    RunResult run = run_tarvick({"0", "/tmp/out.json", "1080", "1081", "tcp"});

    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "connect to brimd error: Resource temporarily unavailable\n");
    EXPECT_EQ(read_file("/tmp/service-calls"), "start_brimd\n");
    EXPECT_FALSE(file_exists("/tmp/out.json"));
    EXPECT_GE(run.elapsed_ms, expected_ms);
    EXPECT_LT(run.elapsed_ms, expected_ms + slack_ms());
}

// Out of memory at any single allocation of a run: the tool either writes
// exactly the right document with status 0, or leaves the previous file alone,
// says so in one line and ends with status 1. It never crashes and never
// writes a document with a setting missing.
#if defined(__SANITIZE_ADDRESS__)
#define HOSTILE_OWN_MALLOC 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HOSTILE_OWN_MALLOC 1
#endif
#endif

namespace {

struct AllocCase {
    const char *name;
    const char *type;
    std::vector<std::pair<std::string, std::string>> settings;
};

const AllocCase ALLOC_CASES[] = {
    {"shadowsocks", "0",
     {{"ssconf_basic_node", "1\n"}, {"ssconf_basic_server_1", "ss.example"}, {"ssconf_basic_port_1", "8388"},
      {"ssconf_basic_password_1", "cGFzcw=="}, {"ssconf_basic_method_1", "aes-256-gcm"},
      {"ssconf_basic_ss_obfs_1", "obfs-local"}, {"ssconf_basic_ss_obfs_host_1", "obfs=http"}}},
    {"shadowsocksr", "1",
     {{"ssconf_basic_node", "2"}, {"ssconf_basic_server_2", "ssr.example"}, {"ssconf_basic_port_2", "443"},
      {"ssconf_basic_password_2", "c3Ny"}, {"ssconf_basic_method_2", "aes-128-cfb"},
      {"ssconf_basic_ssr_protocol_2", "auth_aes128_md5"}, {"ssconf_basic_ssr_obfs_2", "tls1.2_ticket_auth"}}},
    {"v2ray", "2",
     {{"ssconf_basic_node", "3"}, {"ssconf_basic_v2ray_protocol_3", "vmess"},
      {"ssconf_basic_v2ray_network_security_3", "tls"}, {"ssconf_basic_v2ray_network_3", "ws"},
      {"ssconf_basic_server_3", "v.example"}, {"ssconf_basic_port_3", "10086"},
      {"ssconf_basic_v2ray_uuid_3", "b831381d-6324-4d53-ad4f-8cda48b30811"},
      {"ssconf_basic_v2ray_security_3", "auto"}, {"ssconf_basic_v2ray_network_path_3", "/ws"},
      {"ssconf_basic_v2ray_network_host_3", "cdn.example"}, {"ssconf_basic_v2ray_mux_enable_3", "1"},
      {"ssconf_basic_v2ray_mux_concurrency_3", "8"}}},
    {"trojan", "3",
     {{"ssconf_basic_node", "4"}, {"ssconf_basic_server_4", "t.example"}, {"ssconf_basic_port_4", "443"},
      {"ssconf_basic_password_4", "dHJvamFu"}, {"ssconf_basic_trojan_sni_4", "sni.example"},
      {"ssconf_basic_trojan_mp_enable_4", "1"}, {"ssconf_basic_trojan_mulprocess_4", "4"}}},
};

// Environment for the tool only: run_tarvick's child inherits it.
RunResult run_with_env(const std::vector<std::string> &args,
                       const std::vector<std::pair<std::string, std::string>> &env)
{
    for (const auto &entry : env)
        setenv(entry.first.c_str(), entry.second.c_str(), 1);
    RunResult run = run_tarvick(args);
    for (const auto &entry : env)
        unsetenv(entry.first.c_str());
    return run;
}

} // namespace

TEST_F(TarvickTest, EveryFailedAllocationLeavesTheRightFileOrTheOldOne)
{
#if !defined(TARVICK_FAIL_ALLOC_SHIM)
    GTEST_SKIP() << "built without the allocation-failure shim";
#elif defined(HOSTILE_OWN_MALLOC)
    GTEST_SKIP() << "the sanitizer runtime owns malloc";
#else
    if (getenv("TARVICK_WRAPPER"))
        GTEST_SKIP() << "the wrapper owns malloc";
    const std::string previous = "previous document\n";
    const std::string oom = std::string("write ") + OUT + " error: Cannot allocate memory\n";
    for (const AllocCase &c : ALLOC_CASES) {
        SCOPED_TRACE(c.name);
        daemon.clear();
        for (const auto &setting : c.settings)
            daemon.set(setting.first, setting.second);
        std::vector<std::string> args = {c.type, OUT, "1080", "1081", "tcp,udp"};

        unlink(OUT);
        RunResult counted = run_with_env(
            args, {{"LD_PRELOAD", TARVICK_FAIL_ALLOC_SHIM}, {"TARVICK_ALLOC_COUNT", "/tmp/alloc-count"}});
        ASSERT_EQ(counted.status, 0) << counted.err;
        const std::string expected = read_file(OUT);
        ASSERT_NE(expected, "");
        long total = atol(read_file("/tmp/alloc-count").c_str());
        ASSERT_GT(total, 10);

        int refused = 0, wrong = 0;
        for (long n = 1; n <= total; n++) {
            write_file(OUT, previous);
            RunResult run = run_with_env(
                args, {{"LD_PRELOAD", TARVICK_FAIL_ALLOC_SHIM}, {"TARVICK_FAIL_ALLOC", std::to_string(n)}});
            std::string written = read_file(OUT);
            bool whole = run.status == 0 && written == expected && run.err.empty();
            bool refusal = run.status == 1 && written == previous && run.err == oom;
            refused += refusal;
            EXPECT_TRUE(whole || refusal) << "allocation " << n << " of " << total << ": status " << run.status
                                          << ", stderr \"" << run.err << "\", file \"" << written << "\"";
            if (!whole && !refusal && ++wrong == 5)
                break; // enough to go on
        }
        EXPECT_GT(refused, 0);
    }
#endif
}

// glibc's malloc may succeed and leave errno at ENOMEM: a lookup that fails on
// its own (the daemon hangs up) and a serialiser whose allocations all worked
// must not pass for a lack of memory.
TEST_F(TarvickTest, AllocationsLeavingEnomemBehindStillGiveTheDocument)
{
#if !defined(TARVICK_FAIL_ALLOC_SHIM) || defined(HOSTILE_OWN_MALLOC)
    GTEST_SKIP() << "no allocation shim, or the sanitizer runtime owns malloc";
#else
    if (getenv("TARVICK_WRAPPER"))
        GTEST_SKIP() << "the wrapper owns malloc";
    daemon.set("ssconf_basic_node", "1\n");
    daemon.set("ssconf_basic_port_1", "8388");
    daemon.set("ssconf_basic_password_1", "cGFzcw==");
    daemon.set("ssconf_basic_method_1", "aes-256-gcm");
    // A body too long for the request buffer: its allocation comes after the
    // last receive that could leave EAGAIN, and the hang-up follows it.
    daemon.script("ssconf_basic_server_1", pieces({{"magicv1 0003000 ", 0}}, 0));
    RunResult run = run_with_env({"0", OUT, "1080", "1081", "tcp,udp"},
                                 {{"LD_PRELOAD", TARVICK_FAIL_ALLOC_SHIM}, {"TARVICK_ALLOC_LEAVE_ENOMEM", "1"},
                                  {"TARVICK_ALLOC_COUNT", "/tmp/alloc-count"}});
    if (read_file("/tmp/alloc-count").empty())
        GTEST_SKIP() << "the shim was not loaded into the tool (static binary?)";
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(read_file(OUT), SS_NODE_1);
#endif
}

// Memory that runs out while one link is read refuses that link, and no
// other: each link is a run of its own.
TEST_F(TarvickTest, AFailedAllocationRefusesOnlyItsOwnLink)
{
#if !defined(TARVICK_FAIL_ALLOC_SHIM) || defined(HOSTILE_OWN_MALLOC)
    GTEST_SKIP() << "no allocation shim, or the sanitizer runtime owns malloc";
#else
    if (getenv("TARVICK_WRAPPER"))
        GTEST_SKIP() << "the wrapper owns malloc";
    // The decoded password alone takes 778 bytes: 777 and its NUL.
    const std::string links = "trojan://" + std::string(777, 'p') + "@a.example:443?type=ws&path=%2Fw\n"
                              "vless://b831381d-6324-4d53-ad4f-8cda48b30811@b.example:443?security=tls&type=ws\n";
    setenv("LD_PRELOAD", TARVICK_FAIL_ALLOC_SHIM, 1);
    setenv("TARVICK_FAIL_ALLOC_SIZE", "778", 1);
    RunResult run = run_tarvick_node({"import", "--xray"}, links);
    unsetenv("TARVICK_FAIL_ALLOC_SIZE");
    unsetenv("LD_PRELOAD");
    EXPECT_EQ(run.err, "tarvick-node: line 1: trojan: out of memory\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("# node 1 type 2\nssconf_basic_v2ray_protocol_1=vless\n"), std::string::npos) << run.out;
#endif
}

// Whichever allocation of an import fails, the node comes out whole or the
// link is refused: never a node without one of its keys.
TEST_F(TarvickTest, ImportGivesTheWholeNodeOrRefusesItWhicheverAllocationFails)
{
#if !defined(TARVICK_FAIL_ALLOC_SHIM) || defined(HOSTILE_OWN_MALLOC)
    GTEST_SKIP() << "no allocation shim, or the sanitizer runtime owns malloc";
#else
    if (getenv("TARVICK_WRAPPER"))
        GTEST_SKIP() << "the wrapper owns malloc";
    // Values too long for a record's own room take an allocation each; ss
    // and ssr links decode their Base64 into allocations of their own; each
    // name is an allocation too.
    const std::string links[] = {
        "vless://b831381d-6324-4d53-ad4f-8cda48b30811@b.example:443?security=tls&type=ws&path=%2F" +
            std::string(1500, 'p') + "&host=" + std::string(1500, 'h') + ".example#b\n",
        "ss://YWVzLTI1Ni1nY206cGFzc0BleGFtcGxlLmNvbTo4Mzg4#s\n",
        "ssr://ZXhhbXBsZS5jb206ODM4ODpvcmlnaW46YWVzLTI1Ni1jZmI6cGxhaW46Y0dGemN3Lz9vYmZzcGFyYW09WVdKaiZyZW1hcmtzPWNn\n",
    };
    setenv("LD_PRELOAD", TARVICK_FAIL_ALLOC_SHIM, 1);
    for (const std::string &link : links) {
        setenv("TARVICK_ALLOC_COUNT", "/tmp/alloc-count", 1);
        RunResult whole = run_tarvick_node({"import", "--xray"}, link);
        unsetenv("TARVICK_ALLOC_COUNT");
        long total = atol(read_file("/tmp/alloc-count").c_str());
        ASSERT_EQ(whole.status, 0) << whole.err;
        ASSERT_GT(total, 3);
        for (long n = 1; n <= total; n++) {
            setenv("TARVICK_FAIL_ALLOC", std::to_string(n).c_str(), 1);
            RunResult run = run_tarvick_node({"import", "--xray"}, link);
            bool refused = run.out.empty() && run.status != 0 && run.err.find("out of memory\n") != std::string::npos &&
                           std::count(run.err.begin(), run.err.end(), '\n') == 1;
            EXPECT_TRUE((run.out == whole.out && run.status == 0) || refused)
                << link << "allocation " << n << " of " << total << ": status " << run.status << ", stderr " << run.err;
        }
        unsetenv("TARVICK_FAIL_ALLOC");
    }
    unsetenv("LD_PRELOAD");
#endif
}
