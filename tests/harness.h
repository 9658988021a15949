// Test harness: runs the shipped tarvick binary against a scriptable fake
// settings daemon on the real socket path, inside a private mount namespace
// whose "/" and "/tmp" are throw-away tmpfs mounts (so "/rom" can be made and
// removed and no daemon outside the test is ever reached).
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Enters the private namespace; call once per process before any test.
// Returns false (with a message on stderr) when that is impossible.
bool sandbox_enter();

// Removes everything a test may have left in /tmp and /rom.
void sandbox_reset();

// One scripted answer: pieces of raw bytes, each sent after a delay, then
// either close or keep the connection open without a word.
struct ReplyStep {
    std::string bytes;
    int delay_ms = 0;
};

struct ReplyScript {
    std::vector<ReplyStep> steps;
    int hold_ms = 0;   // keep the connection open this long after the steps
    bool read_request = true; // false: close (or hold) before reading anything
};

// "magicv1 %07zu " followed by the body.
std::string frame(const std::string &body);
// The normal reply for a key: "get <key> <value>".
std::string value_reply(const std::string &key, const std::string &value);
// "get <key> none\n".
std::string absent_reply(const std::string &key);

class FakeDaemon {
public:
    FakeDaemon();
    ~FakeDaemon();

    // Starts listening at once, or only once the stub `service` command has
    // been run (to exercise the tool's automatic start of the daemon).
    void start(bool wait_for_service = false);
    void stop();

    // Stored values; absent keys are answered "none\n".
    void set(const std::string &key, const std::string &value);
    void erase(const std::string &key);
    void clear();
    // A script replaces the normal answer for one key, or for every key ("*").
    void script(const std::string &key, const ReplyScript &reply);

    // Every request received, byte for byte, in order.
    std::vector<std::string> requests();
    // The keys of those requests ("get <key>\n" bodies), in order.
    std::vector<std::string> keys();

private:
    void serve();
    void answer(int fd);

    std::mutex mutex_;
    std::map<std::string, std::string> values_;
    std::map<std::string, ReplyScript> scripts_;
    std::vector<std::string> requests_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    bool wait_for_service_ = false;
    int listener_ = -1;
};

struct RunResult {
    int status = -1;     // exit status, or 128 + signal number
    std::string out;
    std::string err;
    long elapsed_ms = 0;
};

// Runs the tool with these arguments (without the program name). The stub
// `service` command is first on PATH; it records its arguments in
// /tmp/service-calls.
RunResult run_tarvick(const std::vector<std::string> &args);
// The same for tarvick-node (TARVICK_NODE_BINARY overrides the built one),
// with this text as its standard input.
RunResult run_tarvick_node(const std::vector<std::string> &args, const std::string &input = "");
// Runs a program the same way (behind TARVICK_WRAPPER, stub `service` first
// on PATH); standard input is the given text, or the suite's own when NULL.
// With out_path, standard output is appended to that file instead.
RunResult run_program(const std::string &binary, const std::vector<std::string> &args, const std::string *input,
                      const std::string &out_path = "");
// The tarvick-node the suite runs.
std::string tarvick_node_path();

// Base64 of test data, written here apart from the code under test.
std::string base64(const std::string &data, bool url_safe = false, bool pad = true);
// The URL-safe alphabet without padding, as links write it.
std::string b64url(const std::string &text);

std::string read_file(const std::string &path);
bool file_exists(const std::string &path);
void write_file(const std::string &path, const std::string &content);

// Writes the CA bundle the Trojan document looks for, or removes it.
void set_ca_bundle(bool present);

// True when the tool runs behind TARVICK_WRAPPER (valgrind, qemu-user, ...).
bool run_is_wrapped();
// An upper bound on a run's time: as given for the bare binary, much wider
// behind a wrapper, whose start-up alone can take seconds.
long time_bound_ms(long ms);

// Like run_tarvick, with extra environment variables for the tool (and the
// stub `service`) only.
RunResult run_tarvick_env(const std::vector<std::string> &args,
                          const std::vector<std::pair<std::string, std::string>> &env);

// The preloadable test shim (wall clock that jumps, slow connect); "" when
// the suite was built without it.
std::string preload_shim_path();
// Everything the stub `service` was asked to do, one line per call.
std::string service_calls();
