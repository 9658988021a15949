// The tests' one sandbox: runs a command in a private mount namespace whose
// "/" and "/tmp" are throw-away tmpfs mounts, with the host's top-level
// directories bound in, a /dev of its own, the stub `service` first on PATH,
// and the paths named with --keep bound back in where the private /tmp would
// hide them (a checkout or build under /tmp). No test can reach a daemon or
// leave a file outside it. The unit harness and the e2e driver both re-run
// themselves through it.
//
//   tarvick_sandbox [--net] [--keep PATH]... -- COMMAND [ARG...]
//
// --net asks for a private network namespace with its loopback up as well
// (the command goes on in the host's network where the kernel refuses one).
// The command finds TARVICK_SANDBOXED set: "net" with a private network,
// "shared" without. As root, the namespaces are made directly; otherwise in a
// user namespace of our own, where the kernel allows unprivileged ones, with
// the caller as its root.
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
#include <string>
#include <vector>

namespace {

const char ROOT[] = "/tmp/.root";

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
    if (fd >= 0)
        close(fd);
    return must(ok, path);
}

bool bind(const std::string &from, const std::string &to)
{
    return must(mount(from.c_str(), to.c_str(), NULL, MS_BIND | MS_REC, NULL) == 0, "bind " + from + " on " + to);
}

// mkdir -p
void make_dirs(const std::string &path)
{
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        mkdir(path.substr(0, slash).c_str(), 0755);
    mkdir(path.c_str(), 0755);
}

bool under_tmp(const std::string &path)
{
    return path == "/tmp" || path.compare(0, 5, "/tmp/") == 0;
}

// "/a//b/" as "/a/b", relative to cwd; "" for a path with "." or "..".
std::string plain_path(const std::string &path, const std::string &cwd)
{
    std::string out, part, whole = path[0] == '/' ? path : cwd + "/" + path;
    for (size_t at = 0; at <= whole.size(); at++) {
        if (at < whole.size() && whole[at] != '/') {
            part += whole[at];
            continue;
        }
        if (part == "." || part == "..")
            return "";
        if (!part.empty())
            out += "/" + part;
        part.clear();
    }
    return out.empty() ? "/" : out;
}

// Those of the paths (by the name given and by the real one) that the private
// /tmp would hide, without any that lie inside another.
std::vector<std::string> paths_under_tmp(const std::vector<std::string> &paths, const std::string &cwd)
{
    std::vector<std::string> found;
    for (const std::string &path : paths) {
        char real[PATH_MAX];
        for (std::string name : {plain_path(path, cwd), std::string(realpath(path.c_str(), real) ? real : "")})
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

// Root inside a user namespace of our own, where the kernel allows it.
bool enter_user_namespace()
{
    uid_t uid = geteuid();
    gid_t gid = getegid();
    if (unshare(CLONE_NEWUSER) != 0) {
        fprintf(stderr, "sandbox: the tests need root, or unprivileged user namespaces, which this system refuses "
                        "(%s; see /proc/sys/user/max_user_namespaces): run them as root or with sudo\n",
                strerror(errno));
        return false;
    }
    return write_text("/proc/self/setgroups", "deny") &&
           write_text("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") &&
           write_text("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
}

bool loopback_up()
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct ifreq request;
    memset(&request, 0, sizeof request);
    strcpy(request.ifr_name, "lo");
    bool ok = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP;
    ok = ok && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    if (fd >= 0)
        close(fd);
    return must(ok, "loopback up");
}

// The host's top-level directories bound into the new root, and a /dev of
// our own: a faulty tool must never remove or replace the host's devices (a
// test writes to /dev/full on purpose). Devices are bound in one by one, as
// a user namespace may make none.
bool fill_root()
{
    DIR *dir = opendir("/");
    if (!must(dir != NULL, "opendir /"))
        return false;
    bool ok = true;
    while (struct dirent *entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name == "." || name == ".." || name == "tmp" || name == "rom" || name == "dev")
            continue;
        std::string host = "/" + name, mine = ROOT + host;
        struct stat info;
        char target[PATH_MAX];
        ssize_t length;
        if (lstat(host.c_str(), &info) != 0)
            continue;
        if (S_ISLNK(info.st_mode) && (length = readlink(host.c_str(), target, sizeof target - 1)) > 0) {
            target[length] = '\0';
            ok = must(symlink(target, mine.c_str()) == 0, "symlink " + mine) && ok;
        } else if (S_ISDIR(info.st_mode)) {
            mkdir(mine.c_str(), 0755);
            ok = bind(host, mine) && ok;
        }
    }
    closedir(dir);
    const std::string dev = std::string(ROOT) + "/dev";
    mkdir(dev.c_str(), 0755);
    if (!ok || !must(mount("tmpfs", dev.c_str(), "tmpfs", 0, "mode=0755") == 0, "mount /dev"))
        return false;
    for (const char *device : {"null", "zero", "full", "random", "urandom"}) {
        std::string mine = dev + "/" + device;
        close(open(mine.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
        if (!bind(std::string("/dev/") + device, mine))
            return false;
    }
    mkdir((dev + "/shm").c_str(), 01777);
    chmod((dev + "/shm").c_str(), 01777);
    const char *links[][2] = {{"/proc/self/fd", "fd"}, {"/proc/self/fd/0", "stdin"},
                              {"/proc/self/fd/1", "stdout"}, {"/proc/self/fd/2", "stderr"}};
    for (const auto &link : links)
        if (!must(symlink(link[0], (dev + "/" + link[1]).c_str()) == 0, std::string("/dev/") + link[1]))
            return false;
    mkdir((std::string(ROOT) + "/tmp").c_str(), 01777);
    return must(chmod((std::string(ROOT) + "/tmp").c_str(), 01777) == 0, "chmod /tmp");
}

} // namespace

int main(int argc, char **argv)
{
    bool want_net = false;
    std::vector<std::string> keep;
    int at = 1;
    for (; at < argc && strcmp(argv[at], "--") != 0; at++) {
        if (strcmp(argv[at], "--net") == 0)
            want_net = true;
        else if (strcmp(argv[at], "--keep") == 0 && at + 1 < argc)
            keep.push_back(argv[++at]);
        else
            break;
    }
    if (at + 1 >= argc || strcmp(argv[at], "--") != 0) {
        fprintf(stderr, "usage: tarvick_sandbox [--net] [--keep PATH]... -- COMMAND [ARG...]\n");
        return 2;
    }
    char cwd[PATH_MAX];
    if (!must(getcwd(cwd, sizeof cwd) != NULL, "getcwd"))
        return 1;
    if (geteuid() != 0 && !enter_user_namespace())
        return 1;
    bool private_net = want_net && unshare(CLONE_NEWNET) == 0;
    if (!must(unshare(CLONE_NEWNS) == 0, "unshare") ||
        !must(mount(NULL, "/", NULL, MS_REC | MS_PRIVATE, NULL) == 0, "make / private"))
        return 1;
    if (private_net && !loopback_up())
        return 1;
    // A path under /tmp: held open before the private /tmp hides the host's,
    // to be bound back in at the same path. Run from /tmp itself, the command
    // starts in the private one.
    if (strcmp(cwd, "/tmp") != 0)
        keep.push_back(cwd);
    std::vector<std::pair<std::string, int>> held;
    for (const std::string &path : paths_under_tmp(keep, cwd)) {
        if (path == "/tmp") {
            fprintf(stderr, "sandbox: the tests cannot run programs from /tmp itself; use a directory below it\n");
            return 1;
        }
        int fd = open(path.c_str(), O_PATH | O_CLOEXEC);
        if (!must(fd >= 0, path))
            return 1;
        held.emplace_back(path, fd);
    }
    if (!must(mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") == 0, "mount /tmp"))
        return 1;
    mkdir(ROOT, 0755);
    if (!must(mount("tmpfs", ROOT, "tmpfs", 0, "mode=0755") == 0, "mount new root") || !fill_root())
        return 1;
    for (const auto &path : held) {
        std::string mine = ROOT + path.first;
        struct stat info;
        if (!must(fstat(path.second, &info) == 0, path.first))
            return 1;
        if (S_ISDIR(info.st_mode)) {
            make_dirs(mine);
        } else {
            make_dirs(mine.substr(0, mine.rfind('/')));
            close(open(mine.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
        }
        if (!bind("/proc/self/fd/" + std::to_string(path.second), mine))
            return 1;
        close(path.second);
    }
    if (!must(chroot(ROOT) == 0, "chroot") || !must(chdir(cwd) == 0, "chdir"))
        return 1;

    // The stub `service` only notes that the tool asked for the daemon, and
    // the timer slack the tool handed down to it.
    mkdir("/.stub-bin", 0755);
    if (!write_text("/.stub-bin/service", "#!/bin/sh\necho \"$*\" >> /tmp/service-calls\n"
                                          "cat /proc/self/timerslack_ns >> /tmp/service-slack\n"))
        return 1;
    const char *path = getenv("PATH");
    setenv("PATH", (std::string("/.stub-bin:") + (path ? path : "/usr/sbin:/usr/bin:/sbin:/bin")).c_str(), 1);
    setenv("TARVICK_SANDBOXED", private_net ? "net" : "shared", 1);
    execvp(argv[at + 1], argv + at + 1);
    must(false, argv[at + 1]);
    return 127;
}
