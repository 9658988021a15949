// The tests' one sandbox; the unit harness and the e2e driver run themselves
// again through it:  tarvick_sandbox [--net] [--keep PATH]... -- COMMAND...
// COMMAND runs in a private mount namespace whose "/" and "/tmp" are one
// throw-away tmpfs, with the host's top-level directories bound in, a /dev of
// its own, the stub `service` first on PATH, and each PATH that the private
// /tmp would hide (a checkout or build under /tmp) bound back in. With --net,
// also in a private network with its loopback up, where the kernel allows it.
// COMMAND finds TARVICK_SANDBOXED set to "net" or "shared". Without root, all
// of it happens in a user namespace of its own, where the caller is root.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <net/if.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::string ROOT = "/tmp/.root";

bool must(bool ok, const std::string &what)
{
    if (!ok)
        fprintf(stderr, "sandbox: %s: %s\n", what.c_str(), strerror(errno));
    return ok;
}

bool write_text(const std::string &path, const std::string &text)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755);
    bool ok = fd >= 0 && write(fd, text.data(), text.size()) == (ssize_t)text.size();
    return must(ok && close(fd) == 0, path);
}

bool bind(const std::string &from, const std::string &to)
{
    return must(mount(from.c_str(), to.c_str(), NULL, MS_BIND | MS_REC, NULL) == 0, "bind " + from + " on " + to);
}

// Each path by the name given ("//" and relative ones made plain) and by its
// real one, where that lies under /tmp; none that lies inside another.
std::vector<std::string> paths_under_tmp(const std::vector<std::string> &paths, const std::string &cwd)
{
    std::vector<std::string> found, kept;
    for (const std::string &path : paths) {
        std::string plain, part;
        std::istringstream parts(path[0] == '/' ? path : cwd + "/" + path);
        while (std::getline(parts, part, '/'))
            plain = part == "." || part == ".." || plain == "?" ? "?" : part.empty() ? plain : plain + "/" + part;
        char real[PATH_MAX];
        for (const std::string &name : {plain, std::string(realpath(path.c_str(), real) ? real : "")})
            if (name == "/tmp" || name.compare(0, 5, "/tmp/") == 0)
                found.push_back(name);
    }
    std::sort(found.begin(), found.end());
    for (const std::string &path : found)
        if (kept.empty() || (path != kept.back() && path.compare(0, kept.back().size() + 1, kept.back() + "/") != 0))
            kept.push_back(path);
    return kept;
}

bool enter_user_namespace()
{
    std::string uid = std::to_string(geteuid()), gid = std::to_string(getegid());
    if (unshare(CLONE_NEWUSER) != 0) {
        fprintf(stderr, "sandbox: without root the tests need unprivileged user namespaces, which this system "
                        "refuses (%s; see /proc/sys/user/max_user_namespaces): run them as root or with sudo\n",
                strerror(errno));
        return false;
    }
    return write_text("/proc/self/setgroups", "deny") && write_text("/proc/self/uid_map", "0 " + uid + " 1") &&
           write_text("/proc/self/gid_map", "0 " + gid + " 1");
}

bool loopback_up()
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct ifreq request = {};
    strcpy(request.ifr_name, "lo");
    bool ok = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP;
    ok = ok && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    return must(ok && close(fd) == 0, "loopback up");
}

// The host's top-level directories bound into the new root, and a /dev of
// our own: a faulty tool must never remove or replace the host's devices (a
// test writes to /dev/full on purpose). Devices are bound in, each a mount
// point no one can remove, as a user namespace can make none.
bool fill_root()
{
    DIR *dir = opendir("/");
    bool ok = must(dir != NULL, "opendir /");
    while (struct dirent *entry = ok ? readdir(dir) : NULL) {
        std::string name = entry->d_name, host = "/" + name, mine = ROOT + host;
        struct stat info;
        char target[PATH_MAX] = {};
        if (name == "." || name == ".." || name == "tmp" || name == "rom" || name == "dev" ||
            lstat(host.c_str(), &info) != 0)
            continue;
        if (S_ISLNK(info.st_mode) && readlink(host.c_str(), target, sizeof target - 1) > 0)
            ok = must(symlink(target, mine.c_str()) == 0, "symlink " + mine);
        else if (S_ISDIR(info.st_mode))
            ok = (mkdir(mine.c_str(), 0755), bind(host, mine));
    }
    if (dir)
        closedir(dir);
    const std::string dev = ROOT + "/dev";
    ok = ok && (mkdir(dev.c_str(), 0755), must(mount("tmpfs", dev.c_str(), "tmpfs", 0, "mode=0755") == 0, "/dev"));
    for (const char *device : {"null", "zero", "full", "random", "urandom"})
        ok = ok && write_text(dev + "/" + device, "") && bind(std::string("/dev/") + device, dev + "/" + device);
    // Xray's WireGuard client makes a TUN device where it may.
    struct stat tun;
    if (stat("/dev/net/tun", &tun) == 0)
        ok = ok && mkdir((dev + "/net").c_str(), 0755) == 0 && write_text(dev + "/net/tun", "") &&
             bind("/dev/net/tun", dev + "/net/tun");
    const char *links[][2] = {{"fd", ""}, {"stdin", "/0"}, {"stdout", "/1"}, {"stderr", "/2"}};
    for (const auto &link : links)
        ok = ok && must(symlink(("/proc/self/fd" + std::string(link[1])).c_str(), (dev + "/" + link[0]).c_str()) == 0,
                        dev + "/" + link[0]);
    return ok && mkdir((dev + "/shm").c_str(), 0) == 0 && chmod((dev + "/shm").c_str(), 01777) == 0 &&
           mkdir((ROOT + "/tmp").c_str(), 0) == 0 && must(chmod((ROOT + "/tmp").c_str(), 01777) == 0, "/tmp");
}

} // namespace

int main(int argc, char **argv)
{
    bool want_net = false;
    std::vector<std::string> keep;
    int at = 1;
    for (; at + 1 < argc && strcmp(argv[at], "--") != 0; at++) {
        if (strcmp(argv[at], "--keep") == 0)
            keep.push_back(argv[++at]);
        else if (strcmp(argv[at], "--net") == 0)
            want_net = true;
        else
            break;
    }
    char cwd[PATH_MAX];
    if (at + 1 >= argc || strcmp(argv[at], "--") != 0) {
        fprintf(stderr, "usage: tarvick_sandbox [--net] [--keep PATH]... -- COMMAND [ARG...]\n");
        return 2;
    }
    if (!must(getcwd(cwd, sizeof cwd) != NULL, "getcwd") || (geteuid() != 0 && !enter_user_namespace()))
        return 1;
    bool private_net = want_net && unshare(CLONE_NEWNET) == 0;
    if (!must(unshare(CLONE_NEWNS) == 0, "unshare") ||
        !must(mount(NULL, "/", NULL, MS_REC | MS_PRIVATE, NULL) == 0, "make / private") ||
        (private_net && !loopback_up()))
        return 1;
    // Each path to keep is held open before the private /tmp hides the
    // host's, to be bound back in at the same path. Run from /tmp itself,
    // the command starts in the private one.
    if (strcmp(cwd, "/tmp") != 0)
        keep.push_back(cwd);
    std::vector<std::pair<std::string, int>> held;
    for (const std::string &path : paths_under_tmp(keep, cwd)) {
        if (path == "/tmp") {
            fprintf(stderr, "sandbox: the tests cannot run programs from /tmp itself; use a directory below it\n");
            return 1;
        }
        held.emplace_back(path, open(path.c_str(), O_PATH | O_CLOEXEC));
        if (!must(held.back().second >= 0, path))
            return 1;
    }
    if (!must(mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") == 0, "mount /tmp") ||
        !must(mkdir(ROOT.c_str(), 0755) == 0, ROOT) ||
        !must(mount("tmpfs", ROOT.c_str(), "tmpfs", 0, "mode=0755") == 0, "mount new root") || !fill_root())
        return 1;
    for (const auto &path : held) {
        std::string mine = ROOT + path.first;
        struct stat info;
        for (size_t slash = mine.find('/', 1); slash != std::string::npos; slash = mine.find('/', slash + 1))
            mkdir(mine.substr(0, slash).c_str(), 0755); // mkdir -p of its parent
        if (!must(fstat(path.second, &info) == 0, path.first) ||
            !(S_ISDIR(info.st_mode) ? mkdir(mine.c_str(), 0755) == 0 : write_text(mine, "")) ||
            !bind("/proc/self/fd/" + std::to_string(path.second), mine))
            return 1;
        close(path.second);
    }
    if (!must(chroot(ROOT.c_str()) == 0, "chroot") || !must(chdir(cwd) == 0, "chdir"))
        return 1;
    // The stub `service` only notes that the tool asked for the daemon, and
    // the timer slack the tool handed down to it.
    if (!must(mkdir("/.stub-bin", 0755) == 0, "/.stub-bin") ||
        !write_text("/.stub-bin/service", "#!/bin/sh\necho \"$*\" >> /tmp/service-calls\n"
                                          "cat /proc/self/timerslack_ns >> /tmp/service-slack\n"))
        return 1;
    const char *path = getenv("PATH");
    setenv("PATH", ("/.stub-bin:" + std::string(path ? path : "/usr/sbin:/usr/bin:/sbin:/bin")).c_str(), 1);
    setenv("TARVICK_SANDBOXED", private_net ? "net" : "shared", 1);
    execvp(argv[at + 1], argv + at + 1);
    must(false, argv[at + 1]);
    return 127;
}
