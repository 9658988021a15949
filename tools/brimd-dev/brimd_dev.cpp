// brimd-dev: a stand-in for the router's settings daemon, for development,
// tests and the demo. It serves "get" requests on the daemon's socket from a
// plain text file of key=value lines, which it reloads whenever it changes.
//
// File format: one "key=value" per line; "#" starts a comment line; in values
// \n, \t, \\ and \xHH stand for a newline, a tab, a backslash and any byte.
// A key that is not in the file is answered as having no value ("none\n").
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <unordered_map>

namespace {

const char *g_socket_path = "/tmp/.brimd_server_sock";
volatile sig_atomic_t g_stop = 0;

struct Settings {
    std::string path;
    struct timespec mtime = {0, 0};
    off_t size = -1;
    std::unordered_map<std::string, std::string> values;
};

int hex_digit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string unescape(const std::string &raw)
{
    std::string out;
    for (size_t i = 0; i < raw.size(); i++) {
        char c = raw[i];
        if (c != '\\' || i + 1 >= raw.size()) {
            out += c;
            continue;
        }
        char next = raw[++i];
        if (next == 'n') out += '\n';
        else if (next == 't') out += '\t';
        else if (next == '\\') out += '\\';
        else if (next == 'x' && i + 2 < raw.size() && hex_digit(raw[i + 1]) >= 0 && hex_digit(raw[i + 2]) >= 0) {
            out += (char)(hex_digit(raw[i + 1]) * 16 + hex_digit(raw[i + 2]));
            i += 2;
        } else {
            out += '\\';
            out += next;
        }
    }
    return out;
}

// Reloads the file when its time or size changed; keeps the old settings when
// it cannot be read, so a half-saved edit does not empty the store.
void settings_refresh(Settings *settings)
{
    struct stat info;
    if (stat(settings->path.c_str(), &info) != 0)
        return;
    if (info.st_mtim.tv_sec == settings->mtime.tv_sec && info.st_mtim.tv_nsec == settings->mtime.tv_nsec &&
        info.st_size == settings->size)
        return;
    FILE *file = fopen(settings->path.c_str(), "r");
    if (!file)
        return;
    std::unordered_map<std::string, std::string> values;
    char *line = NULL;
    size_t capacity = 0;
    ssize_t length;
    while ((length = getline(&line, &capacity, file)) >= 0) {
        std::string text(line, (size_t)length);
        if (!text.empty() && text.back() == '\n')
            text.pop_back();
        if (text.empty() || text[0] == '#')
            continue;
        size_t equals = text.find('=');
        if (equals == std::string::npos || equals == 0)
            continue;
        values[text.substr(0, equals)] = unescape(text.substr(equals + 1));
    }
    free(line);
    fclose(file);
    settings->values.swap(values);
    settings->mtime = info.st_mtim;
    settings->size = info.st_size;
}

bool read_full(int fd, char *buffer, size_t count)
{
    size_t done = 0;
    while (done < count) {
        ssize_t got = read(fd, buffer + done, count - done);
        if (got <= 0) {
            if (got < 0 && errno == EINTR)
                continue;
            return false;
        }
        done += (size_t)got;
    }
    return true;
}

void write_full(int fd, const std::string &data)
{
    size_t done = 0;
    while (done < data.size()) {
        ssize_t put = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (put <= 0) {
            if (put < 0 && errno == EINTR)
                continue;
            return;
        }
        done += (size_t)put;
    }
}

void serve_client(int fd, Settings *settings)
{
    char header[16];
    if (!read_full(fd, header, sizeof header) || memcmp(header, "magicv1 ", 8) != 0)
        return;
    header[15] = '\0';
    long length = strtol(header + 8, NULL, 10);
    if (length <= 0 || length > 1 << 20)
        return;
    std::string body((size_t)length, '\0');
    if (!read_full(fd, &body[0], body.size()))
        return;
    if (!body.empty() && body.back() == '\n')
        body.pop_back();
    size_t space = body.find(' ');
    std::string command = body.substr(0, space);
    std::string key = space == std::string::npos ? "" : body.substr(space + 1);

    settings_refresh(settings);
    std::string value = "none\n";
    auto found = settings->values.find(key);
    if (command == "get" && found != settings->values.end())
        value = found->second;
    std::string reply_body = command + " " + key + " " + value;
    char reply_header[32];
    snprintf(reply_header, sizeof reply_header, "magicv1 %07zu ", reply_body.size());
    write_full(fd, reply_header + reply_body);
}

void on_signal(int)
{
    g_stop = 1;
}

} // namespace

int main(int argc, char **argv)
{
    int opt;
    while ((opt = getopt(argc, argv, "s:")) != -1) {
        if (opt == 's')
            g_socket_path = optarg;
        else
            break;
    }
    if (optind != argc - 1) {
        fprintf(stderr, "usage: brimd-dev [-s SOCKET] SETTINGS_FILE\n");
        return 2;
    }
    Settings settings;
    settings.path = argv[optind];
    if (access(settings.path.c_str(), R_OK) != 0) {
        fprintf(stderr, "brimd-dev: cannot read %s: %s\n", settings.path.c_str(), strerror(errno));
        return 1;
    }
    settings_refresh(&settings);

    int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", g_socket_path);
    unlink(g_socket_path);
    if (listener < 0 || bind(listener, (struct sockaddr *)&address, sizeof address) != 0 || listen(listener, 64) != 0) {
        fprintf(stderr, "brimd-dev: cannot listen on %s: %s\n", g_socket_path, strerror(errno));
        return 1;
    }

    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = on_signal; // no SA_RESTART: accept must return
    sigaction(SIGTERM, &action, NULL);
    sigaction(SIGINT, &action, NULL);
    signal(SIGPIPE, SIG_IGN);

    while (!g_stop) {
        int client = accept(listener, NULL, NULL);
        if (client < 0)
            continue;
        serve_client(client, &settings);
        close(client);
    }
    close(listener);
    unlink(g_socket_path);
    return 0;
}
