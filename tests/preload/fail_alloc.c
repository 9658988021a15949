/* Preloaded into the tool by the allocation-failure tests: makes the Nth
 * malloc, calloc or realloc of the run fail (TARVICK_FAIL_ALLOC=N), or every
 * malloc of exactly N bytes (TARVICK_FAIL_ALLOC_SIZE=N), can leave
 * errno at ENOMEM after every one that succeeds, as glibc's malloc may
 * (TARVICK_ALLOC_LEAVE_ENOMEM=1), and can write how many there were in all
 * (TARVICK_ALLOC_COUNT=<file>). Only the tool itself counts: the shell that
 * system() starts inherits the preload. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

extern void *__libc_malloc(size_t size);
extern void *__libc_calloc(size_t count, size_t size);
extern void *__libc_realloc(void *old, size_t size);

static long fail_at;
static long fail_size = -1;
static long calls;
static int active;
static int leave_enomem;

__attribute__((constructor)) static void fail_alloc_start(void)
{
    if (strcmp(program_invocation_short_name, "tarvick") != 0 &&
        strcmp(program_invocation_short_name, "tarvick-node") != 0)
        return;
    const char *n = getenv("TARVICK_FAIL_ALLOC");
    fail_at = n ? atol(n) : 0;
    const char *size = getenv("TARVICK_FAIL_ALLOC_SIZE");
    fail_size = size ? atol(size) : -1;
    leave_enomem = getenv("TARVICK_ALLOC_LEAVE_ENOMEM") != NULL;
    active = 1;
}

__attribute__((destructor)) static void fail_alloc_report(void)
{
    const char *path = getenv("TARVICK_ALLOC_COUNT");
    if (!active || !path)
        return;
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return;
    char text[32];
    int length = snprintf(text, sizeof text, "%ld\n", calls);
    if (write(fd, text, (size_t)length) != length) {
        /* the test notices a missing count */
    }
    close(fd);
}

static int fail_now(void)
{
    if (!active)
        return 0;
    return ++calls == fail_at;
}

static void *succeeded(void *block)
{
    if (block && leave_enomem)
        errno = ENOMEM;
    return block;
}

void *malloc(size_t size)
{
    if (fail_now() || (active && (long)size == fail_size)) {
        errno = ENOMEM;
        return NULL;
    }
    return succeeded(__libc_malloc(size));
}

void *calloc(size_t count, size_t size)
{
    if (fail_now()) {
        errno = ENOMEM;
        return NULL;
    }
    return succeeded(__libc_calloc(count, size));
}

void *realloc(void *old, size_t size)
{
    if (fail_now()) {
        errno = ENOMEM;
        return NULL;
    }
    return succeeded(__libc_realloc(old, size));
}
