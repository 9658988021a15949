// Running a client for tarvick-node check: its version, its own verdict on a
// document, and the file that holds the document meanwhile.
#include "check_client.h"
#include "node.h"

#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

// What a signal must clean up: a handler has no other way to reach it.
struct SignalCleanup {
    char path[512];
    pid_t owner; // a child between fork and exec runs the handler too
    volatile sig_atomic_t client; // the process group of the client being run; 0: none
};
SignalCleanup cleanup;
const int CLEANUP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

void cleanup_on_signal(int sig)
{
    if (getpid() == cleanup.owner) {
        if (cleanup.client > 0)
            kill(-cleanup.client, SIGKILL);
        unlink(cleanup.path);
    }
    // SA_RESETHAND has put the usual action back: it is taken on return.
    raise(sig);
}

void signals_block(sigset_t *old)
{
    sigset_t block;
    sigemptyset(&block);
    for (int sig : CLEANUP_SIGNALS)
        sigaddset(&block, sig);
    sigprocmask(SIG_BLOCK, &block, old);
}

enum { CLIENT_OUTPUT_MAX = 4096 };

struct ClientRun {
    int status; // exit status; -1 when it was still running at the deadline
    char output[CLIENT_OUTPUT_MAX];
};

// Runs argv with its output collected, for at most limit_ms; a client still
// running then is stopped (a bounded start).
int client_run(char *const *argv, long limit_ms, ClientRun *run)
{
    int pipe_fds[2];
    run->status = -1;
    run->output[0] = '\0';
    if (pipe(pipe_fds) != 0)
        return -1;
    fflush(stdout);
    sigset_t old;
    signals_block(&old); // until the client is known to the handler
    pid_t pid = fork();
    if (pid == 0) {
        sigprocmask(SIG_SETMASK, &old, NULL);
        setpgid(0, 0);
        dup2(pipe_fds[1], 1);
        dup2(pipe_fds[1], 2);
        close(pipe_fds[0]);
        close(pipe_fds[1]);
        execv(argv[0], argv);
        _exit(127);
    }
    cleanup.client = pid > 0 ? pid : 0;
    sigprocmask(SIG_SETMASK, &old, NULL);
    close(pipe_fds[1]);
    int input = pipe_fds[0];
    if (pid < 0) {
        close(input);
        return -1;
    }
    size_t used = 0;
    int status = 0;
    bool ended = false;
    struct timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    while (!ended) {
        clock_gettime(CLOCK_MONOTONIC, &now);
        long left = limit_ms - ((now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000);
        if (left <= 0)
            break;
        // Output as it comes; the end of the process is what counts.
        struct pollfd poll_fd = {input, POLLIN, 0};
        if (input >= 0 && poll(&poll_fd, 1, left < 20 ? (int)left : 20) > 0) {
            char chunk[512];
            ssize_t got = read(input, chunk, sizeof chunk);
            if (got <= 0) {
                close(input);
                input = -1;
            } else {
                size_t keep = used + (size_t)got < CLIENT_OUTPUT_MAX - 1 ? (size_t)got : CLIENT_OUTPUT_MAX - 1 - used;
                memcpy(run->output + used, chunk, keep);
                used += keep;
                run->output[used] = '\0';
            }
        } else if (input < 0) {
            usleep(10000);
        }
        ended = waitpid(pid, &status, WNOHANG) == pid;
    }
    if (input >= 0)
        close(input);
    if (ended) {
        run->status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    } else {
        // The client (and whatever it started, such as a plugin) is still
        // running: a start that took the file.
        kill(-pid, SIGKILL);
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    cleanup.client = 0;
    return 0;
}

struct VersionPattern {
    const char *marker; // what the client prints before its version
    ClientFamily family;
};

// Longer markers first: "shadowsocks-libev " also begins "shadowsocks".
const VersionPattern CLIENT_PATTERNS[] = {
    {"shadowsocks-libev ", FAMILY_SS_LIBEV}, {"shadowsocks ", FAMILY_SS_RUST}, {"Trojan-Go v", FAMILY_TROJAN_GO},
    {"trojan ", FAMILY_TROJAN},               {"V2Ray ", FAMILY_V2RAY},         {"Xray ", FAMILY_XRAY},
};

bool client_identify(const char *output, CheckClient *client)
{
    for (const VersionPattern &pattern : CLIENT_PATTERNS) {
        const char *at = strstr(output, pattern.marker);
        if (!at)
            continue;
        at += strlen(pattern.marker);
        if (*at == 'v')
            at++;
        Version v = {0, 0, 0};
        // major.minor, and .patch when there is one
        char *end;
        v.major = (int)strtol(at, &end, 10);
        if (end == at || *end != '.' || end[1] < '0' || end[1] > '9')
            continue;
        v.minor = (int)strtol(end + 1, &end, 10);
        if (*end == '.' && end[1] >= '0' && end[1] <= '9')
            v.patch = (int)strtol(end + 1, &end, 10);
        client->family = pattern.family;
        client->version = v;
        snprintf(client->label, sizeof client->label, "%s %s%d.%d.%d", client_family_name(pattern.family),
                 client_version_prefix(pattern.family), v.major, v.minor, v.patch);
        return true;
    }
    return false;
}

} // namespace

const char *client_family_name(int family)
{
    switch (family) {
    case FAMILY_SS_LIBEV: return "ss-libev";
    case FAMILY_SS_RUST: return "shadowsocks-rust";
    case FAMILY_V2RAY: return "V2Ray";
    case FAMILY_XRAY: return "Xray";
    case FAMILY_TROJAN: return "Trojan";
    default: return "trojan-go";
    }
}

const char *client_version_prefix(int family)
{
    return family == FAMILY_XRAY || family == FAMILY_SS_RUST || family == FAMILY_TROJAN_GO ? "v" : "";
}

int client_ask_version(const char *path, CheckClient *client)
{
    static const char *const ASK[] = {"-version", "version", "-v", "--version", "-h"};
    for (const char *ask : ASK) {
        char *argv[] = {(char *)path, (char *)ask, NULL};
        ClientRun run;
        if (client_run(argv, 3000, &run) == 0 && client_identify(run.output, client))
            return 0;
    }
    return -1;
}

int client_verdict(const char *path, const CheckClient *client, const char *file, char *reason, size_t size)
{
    ClientRun run;
    char *argv[6] = {(char *)path, NULL};
    bool bounded = false;
    if (client->family == FAMILY_XRAY || (client->family == FAMILY_V2RAY && client->version.major < 5)) {
        argv[1] = (char *)"-test", argv[2] = (char *)"-config", argv[3] = (char *)file;
    } else if (client->family == FAMILY_V2RAY) {
        argv[1] = (char *)"test", argv[2] = (char *)"-c", argv[3] = (char *)file;
    } else if (client->family == FAMILY_TROJAN) {
        argv[1] = (char *)"-t", argv[2] = (char *)"-c", argv[3] = (char *)file;
    } else {
        // No test mode: a start that is still running after a while took it.
        argv[1] = (char *)(client->family == FAMILY_TROJAN_GO ? "-config" : "-c"), argv[2] = (char *)file;
        bounded = true;
    }
    if (client_run(argv, bounded ? 1500 : 10000, &run) != 0)
        return -1;
    bool accepts = bounded ? run.status == -1 : run.status == 0;
    if (!accepts) {
        // The last line that says something is the client's reason.
        char *end = run.output + strlen(run.output);
        while (end > run.output && (end[-1] == '\n' || end[-1] == '\r' || end[-1] == ' '))
            *--end = '\0';
        char *line = strrchr(run.output, '\n');
        line = line ? line + 1 : run.output;
        line += strspn(line, " \t");
        snprintf(reason, size, "%.400s", line[0] ? line : "no message");
    }
    return accepts ? 0 : 1;
}

int client_free_port(void)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (fd >= 0 && bind(fd, (struct sockaddr *)&address, sizeof address) == 0 &&
        getsockname(fd, (struct sockaddr *)&address, &length) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0)
        close(fd);
    return port == 3333 || port == 0 ? 1080 : port;
}

int check_file_make(CheckFile *file)
{
    const char *tmp = getenv("TMPDIR");
    snprintf(file->path, sizeof file->path, "%s/tarvick-check-XXXXXX.json", tmp && tmp[0] ? tmp : "/tmp");
    // No signal comes between the file's making and the handler's knowing it.
    sigset_t old;
    signals_block(&old);
    struct sigaction action, was;
    memset(&action, 0, sizeof action);
    action.sa_handler = cleanup_on_signal;
    action.sa_flags = SA_RESETHAND;
    for (int sig : CLEANUP_SIGNALS) // a signal the caller ignores (nohup's SIGHUP) stays ignored
        if (sigaction(sig, NULL, &was) == 0 && was.sa_handler != SIG_IGN)
            sigaction(sig, &action, NULL);
    int fd = mkstemps(file->path, 5); // mode 0600
    int saved = errno;
    if (fd >= 0) {
        close(fd);
        file->made = true;
        memcpy(cleanup.path, file->path, sizeof cleanup.path);
        cleanup.owner = getpid();
    }
    sigprocmask(SIG_SETMASK, &old, NULL);
    errno = saved;
    return fd >= 0 ? 0 : -1;
}

CheckFile::~CheckFile()
{
    // The handler stays: with no file of its owner's it only lets the signal
    // take its course.
    if (made)
        unlink(path);
    cleanup.owner = 0;
}
