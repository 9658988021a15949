/* Preloaded into the tool by some tests, steered by environment variables:
 *
 *   TARVICK_SHIM_WALLCLOCK=forward|backward
 *       every reading of the time of day (gettimeofday, time,
 *       clock_gettime with a wall clock) lies one hour further ahead of, or
 *       behind, the previous one, as on a router whose clock is being set.
 *   TARVICK_SHIM_CONNECT_DELAY_MS=N
 *       a successful connect returns only N ms later, so that a peer that
 *       hangs up at once has surely done so before the request is written.
 *   TARVICK_SHIM_SHRINK=PATH
 *       the process's first fread cuts the file at PATH to half its size, as
 *       another program rewriting it while it is read would.
 *   TARVICK_SHIM_LOG=PATH
 *       a process that connected anywhere appends one line to PATH when it
 *       exits, so a test can tell that the shim was really in the tool
 *       (a static binary ignores LD_PRELOAD).
 */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

extern "C" {

static long shim_connects;
static long shim_wall_readings;

static long long shim_wall_shift_seconds(void)
{
    const char *mode = getenv("TARVICK_SHIM_WALLCLOCK");
    if (!mode)
        return 0;
    shim_wall_readings++;
    long long shift = 3600LL * shim_wall_readings;
    if (strcmp(mode, "backward") == 0)
        return -shift;
    if (strcmp(mode, "forward") == 0)
        return shift;
    return 0;
}

static int shim_real_clock_gettime(clockid_t clock, struct timespec *ts)
{
    static int (*real)(clockid_t, struct timespec *);
    if (!real)
        real = (int (*)(clockid_t, struct timespec *))dlsym(RTLD_NEXT, "clock_gettime");
    return real(clock, ts);
}

int clock_gettime(clockid_t clock, struct timespec *ts)
{
    int rc = shim_real_clock_gettime(clock, ts);
    if (rc == 0 && (clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE))
        ts->tv_sec += shim_wall_shift_seconds();
    return rc;
}

int gettimeofday(struct timeval *tv, void *)
{
    struct timespec now;
    if (shim_real_clock_gettime(CLOCK_REALTIME, &now) != 0)
        return -1;
    tv->tv_sec = now.tv_sec + shim_wall_shift_seconds();
    tv->tv_usec = now.tv_nsec / 1000;
    return 0;
}

time_t time(time_t *out)
{
    struct timespec now;
    shim_real_clock_gettime(CLOCK_REALTIME, &now);
    time_t value = now.tv_sec + shim_wall_shift_seconds();
    if (out)
        *out = value;
    return value;
}

int connect(int fd, const struct sockaddr *address, socklen_t length)
{
    static int (*real)(int, const struct sockaddr *, socklen_t);
    if (!real)
        real = (int (*)(int, const struct sockaddr *, socklen_t))dlsym(RTLD_NEXT, "connect");
    int rc = real(fd, address, length);
    shim_connects++;
    const char *delay = getenv("TARVICK_SHIM_CONNECT_DELAY_MS");
    if (rc == 0 && delay)
        usleep((useconds_t)atoi(delay) * 1000);
    return rc;
}

static long shim_shrunk;

size_t fread(void *data, size_t size, size_t count, FILE *stream)
{
    static size_t (*real)(void *, size_t, size_t, FILE *);
    if (!real)
        real = (size_t(*)(void *, size_t, size_t, FILE *))dlsym(RTLD_NEXT, "fread");
    size_t got = real(data, size, count, stream);
    const char *path = getenv("TARVICK_SHIM_SHRINK");
    struct stat info;
    if (path && !shim_shrunk && stat(path, &info) == 0 && truncate(path, info.st_size / 2) == 0)
        shim_shrunk = 1;
    return got;
}

__attribute__((destructor)) static void shim_report(void)
{
    const char *path = getenv("TARVICK_SHIM_LOG");
    if (!path || (shim_connects == 0 && shim_shrunk == 0))
        return;
    FILE *log = fopen(path, "a");
    if (!log)
        return;
    fprintf(log, "connects=%ld wall_readings=%ld shrunk=%ld\n", shim_connects, shim_wall_readings, shim_shrunk);
    fclose(log);
}

} // extern "C"
