#include "harness.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
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

bool must(bool ok, const char *what)
{
    if (!ok)
        fprintf(stderr, "sandbox: %s: %s\n", what, strerror(errno));
    return ok;
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

bool under_tmp(const std::string &path)
{
    return path == "/tmp" || path.compare(0, 5, "/tmp/") == 0;
}

// "/a//b/" as "/a/b"; "" for a path with "." or ".." in it.
std::string plain_path(const std::string &path)
{
    std::string out;
    std::istringstream parts(path);
    std::string part;
    while (std::getline(parts, part, '/')) {
        if (part.empty())
            continue;
        if (part == "." || part == "..")
            return "";
        out += "/" + part;
    }
    return out.empty() ? "/" : out;
}

// What the private /tmp would hide and the tests need: the checkout, the
// build, the working directory and the programs named in the environment,
// where they lie under /tmp (by the name given and by the real one). A path
// inside another one on the list is left out.
std::vector<std::string> paths_under_tmp(const std::string &cwd)
{
    std::vector<std::string> wanted = {TARVICK_SOURCE_DIR, TARVICK_BUILD_DIR};
    // Run from /tmp itself, the tests start in the private one.
    if (cwd != "/tmp")
        wanted.push_back(cwd);
    for (const char *name : {"TARVICK_BINARY", "TARVICK_NODE_BINARY"}) {
        const char *value = getenv(name);
        if (value && *value)
            wanted.push_back(value[0] == '/' ? value : cwd + "/" + value);
    }
    std::vector<std::string> found;
    for (const std::string &path : wanted) {
        char real[PATH_MAX];
        for (std::string name : {plain_path(path), std::string(realpath(path.c_str(), real) ? real : "")})
            if (!name.empty() && under_tmp(name))
                found.push_back(name);
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> kept;
    for (const std::string &path : found) {
        bool inside = false;
        for (const std::string &outer : kept)
            inside = inside || path == outer || path.compare(0, outer.size() + 1, outer + "/") == 0;
        if (!inside)
            kept.push_back(path);
    }
    return kept;
}

// mkdir -p
void make_dirs(const std::string &path)
{
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        mkdir(path.substr(0, slash).c_str(), 0755);
    mkdir(path.c_str(), 0755);
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

bool sandbox_enter()
{
    if (geteuid() != 0) {
        fprintf(stderr, "sandbox: the tests need root for a private mount namespace\n");
        return false;
    }
    char cwd[4096];
    if (!must(getcwd(cwd, sizeof cwd) != NULL, "getcwd"))
        return false;
    if (!must(unshare(CLONE_NEWNS) == 0, "unshare") ||
        !must(mount(NULL, "/", NULL, MS_REC | MS_PRIVATE, NULL) == 0, "make / private"))
        return false;
    // A checkout under /tmp: hold on to it (and only to it) before the
    // private /tmp hides the host's, to bind it back in at the same path.
    std::vector<std::pair<std::string, int>> keep;
    for (const std::string &path : paths_under_tmp(cwd)) {
        if (path == "/tmp") {
            fprintf(stderr, "sandbox: the tests cannot run from /tmp itself; use a directory below it\n");
            return false;
        }
        int fd = open(path.c_str(), O_PATH | O_CLOEXEC);
        if (!must(fd >= 0, path.c_str()))
            return false;
        keep.emplace_back(path, fd);
    }
    if (!must(mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") == 0, "mount /tmp"))
        return false;
    // A writable root of our own, with the host's directories bound in, so
    // that "/rom" and "/tmp" belong to this namespace alone.
    const std::string root = "/tmp/.root";
    mkdir(root.c_str(), 0755);
    if (!must(mount("tmpfs", root.c_str(), "tmpfs", 0, "mode=0755") == 0, "mount new root"))
        return false;
    DIR *dir = opendir("/");
    if (!must(dir != NULL, "opendir /"))
        return false;
    while (struct dirent *entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name == "." || name == ".." || name == "tmp" || name == "rom" || name == "dev")
            continue;
        std::string host = "/" + name, mine = root + "/" + name;
        struct stat info;
        if (lstat(host.c_str(), &info) != 0)
            continue;
        if (S_ISLNK(info.st_mode)) {
            char target[4096];
            ssize_t n = readlink(host.c_str(), target, sizeof target - 1);
            if (n > 0) {
                target[n] = '\0';
                if (symlink(target, mine.c_str()) != 0)
                    fprintf(stderr, "sandbox: symlink %s: %s\n", mine.c_str(), strerror(errno));
            }
        } else if (S_ISDIR(info.st_mode)) {
            mkdir(mine.c_str(), 0755);
            if (mount(host.c_str(), mine.c_str(), NULL, MS_BIND | MS_REC, NULL) != 0)
                fprintf(stderr, "sandbox: bind %s: %s\n", host.c_str(), strerror(errno));
        }
    }
    closedir(dir);
    // A /dev of our own: a faulty tool must never remove or replace the
    // host's devices (a test writes to /dev/full on purpose).
    const std::string dev = root + "/dev";
    mkdir(dev.c_str(), 0755);
    if (!must(mount("tmpfs", dev.c_str(), "tmpfs", 0, "mode=0755") == 0, "mount /dev"))
        return false;
    const struct {
        const char *name;
        unsigned minor;
    } devices[] = {{"null", 3}, {"zero", 5}, {"full", 7}, {"random", 8}, {"urandom", 9}};
    for (const auto &device : devices)
        mknod((dev + "/" + device.name).c_str(), S_IFCHR | 0666, makedev(1, device.minor));
    mkdir((dev + "/shm").c_str(), 01777);
    if (symlink("/proc/self/fd", (dev + "/fd").c_str()) != 0)
        fprintf(stderr, "sandbox: /dev/fd: %s\n", strerror(errno));
    mkdir((root + "/tmp").c_str(), 01777);
    chmod((root + "/tmp").c_str(), 01777);
    for (const auto &path : keep) {
        std::string mine = root + path.first, source = "/proc/self/fd/" + std::to_string(path.second);
        struct stat info;
        if (!must(fstat(path.second, &info) == 0, path.first.c_str()))
            return false;
        if (S_ISDIR(info.st_mode)) {
            make_dirs(mine);
        } else {
            make_dirs(mine.substr(0, mine.rfind('/')));
            close(open(mine.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
        }
        if (!must(mount(source.c_str(), mine.c_str(), NULL, MS_BIND | MS_REC, NULL) == 0, ("bind " + path.first).c_str()))
            return false;
        close(path.second);
    }
    if (!must(chroot(root.c_str()) == 0, "chroot") || !must(chdir(cwd) == 0, "chdir"))
        return false;

    // The stub `service` only notes that the tool asked for the daemon, and
    // the timer slack the tool handed down to it.
    mkdir(STUB_DIR, 0755);
    write_file(std::string(STUB_DIR) + "/service", "#!/bin/sh\necho \"$*\" >> /tmp/service-calls\n"
                                                   "cat /proc/self/timerslack_ns >> /tmp/service-slack\n");
    chmod((std::string(STUB_DIR) + "/service").c_str(), 0755);
    signal(SIGPIPE, SIG_IGN);
    return true;
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
