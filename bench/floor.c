/* The least a settings-to-file run can cost: the same request/reply exchanges
 * with the settings daemon as tarvick makes, each on a connection of its own,
 * but read with plain blocking reads and no document building, then one file
 * written. The benchmark measures tarvick against this.
 *
 *   floor OUTPUT KEY...
 *
 * Writes the values it got, one after another, to OUTPUT. Exits 1 when an
 * exchange fails.
 */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

static int read_full(int fd, char *buffer, size_t count)
{
    size_t done = 0;
    while (done < count) {
        ssize_t got = read(fd, buffer + done, count - done);
        if (got <= 0)
            return -1;
        done += (size_t)got;
    }
    return 0;
}

static char reply[10000];
static char output[65536];

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: floor OUTPUT KEY...\n");
        return 2;
    }
    size_t used = 0;
    for (int i = 2; i < argc; i++) {
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        struct sockaddr_un address;
        memset(&address, 0, sizeof address);
        address.sun_family = AF_UNIX;
        strcpy(address.sun_path, "/tmp/.brimd_server_sock");
        if (fd < 0 || connect(fd, (struct sockaddr *)&address, sizeof address) != 0)
            return 1;
        char request[200];
        int length = snprintf(request, sizeof request, "magicv1 %07d get %s\n", (int)strlen(argv[i]) + 5, argv[i]);
        if (length <= 0 || length >= (int)sizeof request || write(fd, request, (size_t)length) != length)
            return 1;
        char header[17];
        if (read_full(fd, header, 16) != 0)
            return 1;
        header[16] = '\0';
        long body = strtol(header + 8, NULL, 10);
        if (body <= 0 || body >= (long)sizeof reply || read_full(fd, reply, (size_t)body) != 0)
            return 1;
        close(fd);
        if (used + (size_t)body <= sizeof output) {
            memcpy(output + used, reply, (size_t)body);
            used += (size_t)body;
        }
    }
    int out = open(argv[1], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || write(out, output, used) != (ssize_t)used || close(out) != 0)
        return 1;
    return 0;
}
