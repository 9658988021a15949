#include "harness.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <sstream>

namespace {

const char SOCKET_PATH[] = "/tmp/.brimd_server_sock";
const char STUB_DIR[] = "/.stub-bin";
const char SERVICE_LOG[] = "/tmp/service-calls";

long now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

// Removes a path the tests made in the sandbox's own file system (dev), and
// never anything on another one: whatever is bound in (the checkout under
// /tmp, a host directory) is neither entered nor removed.
void remove_tree(const std::string &path, dev_t dev)
{
    struct stat info;
    if (lstat(path.c_str(), &info) != 0 || info.st_dev != dev)
        return;
    if (S_ISDIR(info.st_mode)) {
        if (DIR *dir = opendir(path.c_str())) {
            while (struct dirent *entry = readdir(dir)) {
                std::string name = entry->d_name;
                if (name != "." && name != "..")
                    remove_tree(path + "/" + name, dev);
            }
            closedir(dir);
        }
        rmdir(path.c_str()); // fails, as it should, while a bound path is inside
    } else {
        unlink(path.c_str());
    }
}

// The sandbox's root and its /tmp are one tmpfs of the sandbox's own.
void remove_private(const std::string &path)
{
    struct stat root;
    if (lstat("/", &root) == 0)
        remove_tree(path, root.st_dev);
}

bool read_exact(int fd, std::string *out, size_t count)
{
    while (out->size() < count) {
        char buffer[4096];
        size_t want = count - out->size();
        ssize_t got = read(fd, buffer, want < sizeof buffer ? want : sizeof buffer);
        if (got <= 0)
            return false;
        out->append(buffer, (size_t)got);
    }
    return true;
}

// Close-on-exec, so the tool under test inherits none of the daemon's sockets.
int listen_on_daemon_socket()
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    strcpy(address.sun_path, SOCKET_PATH);
    if (bind(fd, (struct sockaddr *)&address, sizeof address) != 0 || listen(fd, 16) != 0)
        fprintf(stderr, "fake daemon: cannot listen: %s\n", strerror(errno));
    return fd;
}

std::string drain(int fd)
{
    std::string out;
    char buffer[4096];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof buffer)) > 0)
        out.append(buffer, (size_t)got);
    return out;
}

} // namespace

// The sandbox is tests/sandbox.cpp's launcher: the suite runs itself again
// through it, keeping the checkout, the build and the programs under test.
bool sandbox_enter()
{
    if (getenv("TARVICK_SANDBOXED")) {
        signal(SIGPIPE, SIG_IGN);
        return true;
    }
    char exe[4096];
    ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
    int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
    std::string cmdline = fd >= 0 ? drain(fd) : "";
    if (fd >= 0)
        close(fd);
    if (length <= 0 || cmdline.empty()) {
        fprintf(stderr, "sandbox: cannot read this program's path and arguments: %s\n", strerror(errno));
        return false;
    }
    exe[length] = '\0';
    std::vector<std::string> args = {TARVICK_SANDBOX_PATH, "--keep", TARVICK_SOURCE_DIR, "--keep", TARVICK_BUILD_DIR,
                                     "--keep", exe};
    for (const char *name : {"TARVICK_BINARY", "TARVICK_NODE_BINARY"})
        if (getenv(name) && *getenv(name))
            args.insert(args.end(), {"--keep", getenv(name)});
    args.insert(args.end(), {"--", exe});
    for (size_t at = cmdline.find('\0') + 1; at < cmdline.size(); at = cmdline.find('\0', at) + 1)
        args.push_back(cmdline.c_str() + at);
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(&arg[0]);
    argv.push_back(NULL);
    execv(argv[0], argv.data());
    fprintf(stderr, "sandbox: %s: %s\n", argv[0], strerror(errno));
    return false;
}

void sandbox_reset()
{
    if (DIR *dir = opendir("/tmp")) {
        while (struct dirent *entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name != "." && name != ".." && name != ".root")
                remove_private("/tmp/" + name);
        }
        closedir(dir);
    }
    remove_private("/rom");
}

std::string frame(const std::string &body)
{
    char header[32];
    snprintf(header, sizeof header, "magicv1 %07zu ", body.size());
    return header + body;
}

std::string value_reply(const std::string &key, const std::string &value)
{
    return frame("get " + key + " " + value);
}

std::string absent_reply(const std::string &key)
{
    return frame("get " + key + " none\n");
}

FakeDaemon::FakeDaemon() = default;

FakeDaemon::~FakeDaemon()
{
    stop();
}

void FakeDaemon::start(bool wait_for_service)
{
    wait_for_service_ = wait_for_service;
    stopping_ = false;
    unlink(SOCKET_PATH);
    if (!wait_for_service) {
        listener_ = listen_on_daemon_socket();
    }
    thread_ = std::thread([this] { serve(); });
}

void FakeDaemon::stop()
{
    stopping_ = true;
    if (thread_.joinable())
        thread_.join();
    if (listener_ >= 0)
        close(listener_);
    listener_ = -1;
    unlink(SOCKET_PATH);
}

void FakeDaemon::set(const std::string &key, const std::string &value)
{
    std::lock_guard<std::mutex> lock(mutex_);
    values_[key] = value;
}

void FakeDaemon::erase(const std::string &key)
{
    std::lock_guard<std::mutex> lock(mutex_);
    values_.erase(key);
}

void FakeDaemon::clear()
{
    std::lock_guard<std::mutex> lock(mutex_);
    values_.clear();
    scripts_.clear();
    requests_.clear();
}

void FakeDaemon::script(const std::string &key, const ReplyScript &reply)
{
    std::lock_guard<std::mutex> lock(mutex_);
    scripts_[key] = reply;
}

std::vector<std::string> FakeDaemon::requests()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

std::vector<std::string> FakeDaemon::keys()
{
    std::vector<std::string> keys;
    for (const std::string &request : requests()) {
        // "magicv1 NNNNNNN get <key>\n"
        std::string body = request.size() > 16 ? request.substr(16) : "";
        if (body.rfind("get ", 0) == 0)
            body = body.substr(4);
        if (!body.empty() && body.back() == '\n')
            body.pop_back();
        keys.push_back(body);
    }
    return keys;
}

void FakeDaemon::serve()
{
    while (!stopping_) {
        if (listener_ < 0) {
            // Come up only once the tool has run the start command.
            if (access(SERVICE_LOG, F_OK) == 0) {
                FakeDaemon::wait_for_service_ = false;
                listener_ = listen_on_daemon_socket();
            } else {
                usleep(5000);
            }
            continue;
        }
        struct pollfd waiting = {listener_, POLLIN, 0};
        if (poll(&waiting, 1, 20) <= 0)
            continue;
        int fd = accept4(listener_, NULL, NULL, SOCK_CLOEXEC); // the tool must not inherit it
        if (fd < 0)
            continue;
        answer(fd);
        close(fd);
    }
}

void FakeDaemon::answer(int fd)
{
    // Read the request first (unless the script says not to), so the key can
    // choose the script.
    std::string request, key;
    ReplyScript reply;
    bool scripted = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto all = scripts_.find("*");
        if (all != scripts_.end() && !all->second.read_request) {
            reply = all->second;
            scripted = true;
        }
    }
    if (!scripted || reply.read_request) {
        struct pollfd readable = {fd, POLLIN, 0};
        if (poll(&readable, 1, 2000) <= 0)
            return;
        if (!read_exact(fd, &request, 16))
            return;
        size_t length = strtoul(request.substr(8, 7).c_str(), NULL, 10);
        read_exact(fd, &request, 16 + length);
        std::string body = request.substr(16);
        key = body.rfind("get ", 0) == 0 ? body.substr(4) : body;
        if (!key.empty() && key.back() == '\n')
            key.pop_back();
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(request);
        auto own = scripts_.find(key);
        auto all = scripts_.find("*");
        if (own != scripts_.end()) {
            reply = own->second;
            scripted = true;
        } else if (all != scripts_.end()) {
            reply = all->second;
            scripted = true;
        } else {
            auto value = values_.find(key);
            reply.steps.push_back({value == values_.end() ? absent_reply(key) : value_reply(key, value->second), 0});
        }
    }
    for (const ReplyStep &step : reply.steps) {
        if (step.delay_ms > 0)
            usleep(step.delay_ms * 1000);
        size_t done = 0;
        while (done < step.bytes.size()) {
            ssize_t put = send(fd, step.bytes.data() + done, step.bytes.size() - done, MSG_NOSIGNAL);
            if (put <= 0)
                return;
            done += (size_t)put;
        }
    }
    // Hold the connection open, but let go as soon as the client hangs up.
    long until = now_ms() + reply.hold_ms;
    while (!stopping_ && now_ms() < until) {
        struct pollfd readable = {fd, POLLIN, 0};
        if (poll(&readable, 1, 10) > 0) {
            char byte;
            if (recv(fd, &byte, 1, MSG_DONTWAIT) == 0)
                break;
        }
    }
}

RunResult run_program(const std::string &binary, const std::vector<std::string> &args, const std::string *input,
                      const std::string &append_to)
{
    std::vector<std::string> argv;
    // A wrapper such as valgrind or qemu-user runs in front of the binary.
    if (const char *wrapper = getenv("TARVICK_WRAPPER")) {
        std::istringstream words(wrapper);
        std::string word;
        while (words >> word)
            argv.push_back(word);
    }
    argv.push_back(binary);
    argv.insert(argv.end(), args.begin(), args.end());

    std::string out_path = "/tmp/.run-out", err_path = "/tmp/.run-err", in_path = "/tmp/.run-in";
    if (input)
        write_file(in_path, *input);
    // Everything the child needs is made here: between fork and exec a child
    // of this threaded process may not allocate (the fake daemon's thread may
    // hold the allocator's lock at the fork, and the child would wait on it
    // for ever).
    std::string path = std::string(STUB_DIR) + ":" + (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin");
    std::string program = argv[0];
    for (size_t at = 0, end; program.find('/') == std::string::npos && at < path.size(); at = end + 1) {
        end = std::min(path.find(':', at), path.size());
        std::string candidate = path.substr(at, end - at) + "/" + argv[0];
        if (access(candidate.c_str(), X_OK) == 0)
            program = candidate;
    }
    std::vector<std::string> environment = {"PATH=" + path};
    for (char **entry = environ; *entry; entry++)
        if (strncmp(*entry, "PATH=", 5) != 0)
            environment.push_back(*entry);
    std::vector<char *> raw, env;
    for (std::string &word : argv)
        raw.push_back(&word[0]);
    raw.push_back(NULL);
    for (std::string &entry : environment)
        env.push_back(&entry[0]);
    env.push_back(NULL);
    long started = now_ms();
    pid_t pid = fork();
    if (pid == 0) {
        if (input) {
            int in = open(in_path.c_str(), O_RDONLY);
            dup2(in, 0);
        }
        int out = append_to.empty() ? open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600)
                                    : open(append_to.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out, 1);
        dup2(err, 2);
        signal(SIGPIPE, SIG_DFL); // the tool must cope with the default disposition
        execve(program.c_str(), raw.data(), env.data());
        _exit(127);
    }
    RunResult result;
    int status = 0;
    waitpid(pid, &status, 0);
    result.elapsed_ms = now_ms() - started;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = read_file(out_path);
    result.err = read_file(err_path);
    unlink(out_path.c_str());
    unlink(err_path.c_str());
    unlink(in_path.c_str());
    return result;
}

RunResult run_tarvick(const std::vector<std::string> &args)
{
    const char *binary = getenv("TARVICK_BINARY");
    return run_program(binary && *binary ? binary : TARVICK_BINARY_PATH, args, NULL);
}

std::string tarvick_node_path()
{
    const char *binary = getenv("TARVICK_NODE_BINARY");
    return binary && *binary ? binary : TARVICK_NODE_BINARY_PATH;
}

RunResult run_tarvick_node(const std::vector<std::string> &args, const std::string &input)
{
    return run_program(tarvick_node_path(), args, &input);
}

std::string read_file(const std::string &path)
{
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return "";
    std::string content = drain(fd);
    close(fd);
    return content;
}

bool file_exists(const std::string &path)
{
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

void write_file(const std::string &path, const std::string &content)
{
    FILE *file = fopen(path.c_str(), "w");
    if (!file)
        return;
    fwrite(content.data(), 1, content.size(), file);
    fclose(file);
}

void set_ca_bundle(bool present)
{
    if (!present) {
        remove_private("/rom");
        return;
    }
    for (const char *dir : {"/rom", "/rom/etc", "/rom/etc/ssl", "/rom/etc/ssl/certs"})
        mkdir(dir, 0755);
    write_file("/rom/etc/ssl/certs/ca-certificates.crt", "test bundle\n");
}

bool run_is_wrapped()
{
    const char *wrapper = getenv("TARVICK_WRAPPER");
    return wrapper && *wrapper;
}

long time_bound_ms(long ms)
{
    return run_is_wrapped() ? ms * 5 + 10000 : ms;
}

RunResult run_tarvick_env(const std::vector<std::string> &args,
                          const std::vector<std::pair<std::string, std::string>> &env)
{
    // Set for the child only: the previous values come back afterwards.
    std::vector<std::pair<std::string, std::string>> saved;
    std::vector<std::string> unset;
    for (const auto &entry : env) {
        if (const char *old = getenv(entry.first.c_str()))
            saved.emplace_back(entry.first, old);
        else
            unset.push_back(entry.first);
        setenv(entry.first.c_str(), entry.second.c_str(), 1);
    }
    RunResult result = run_tarvick(args);
    for (const auto &entry : saved)
        setenv(entry.first.c_str(), entry.second.c_str(), 1);
    for (const std::string &name : unset)
        unsetenv(name.c_str());
    return result;
}

std::string preload_shim_path()
{
#ifdef TARVICK_SHIM_PATH
    return TARVICK_SHIM_PATH;
#else
    return "";
#endif
}

std::string service_calls()
{
    return read_file(SERVICE_LOG);
}

std::string base64(const std::string &data, bool url_safe, bool pad)
{
    const std::string alphabet = std::string("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789") +
                                 (url_safe ? "-_" : "+/");
    std::string out;
    for (size_t i = 0; i < data.size(); i += 3) {
        unsigned bits = 0;
        for (size_t k = 0; k < 3; k++)
            bits = bits << 8 | (i + k < data.size() ? (unsigned char)data[i + k] : 0);
        for (size_t c = 0; c < 4; c++) {
            if (c <= data.size() - i)
                out += alphabet[(bits >> (18 - 6 * c)) & 63];
            else if (pad)
                out += '=';
        }
    }
    return out;
}

std::string b64url(const std::string &text)
{
    return base64(text, true, false);
}
