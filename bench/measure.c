/* Runs commands many times and prints the medians of what each run cost:
 * wall time, user and system CPU time, and peak resident memory.
 *
 *   measure [-n RUNS] GROUP [::: GROUP]...
 *     GROUP: [-s SLACK_NS] [-o FILE] -- COMMAND [ARG...]
 *   measure --sleep-cost [-n SLEEPS] [-s SLACK_NS] [-u MICROSECONDS]
 *
 * Several commands are run in turn, one run of each per round, so that load
 * from elsewhere on the machine falls on all of them alike. -s sets the timer
 * slack a command starts with (it is inherited across exec), so its effect
 * can be measured without rebuilding the program; -o sends the command's
 * standard output and error to FILE (a program that prints megabytes would
 * otherwise time the terminal). Prints one line of
 * "name=value" pairs per command, in the order given.
 *
 * Peak memory is not taken from wait4's ru_maxrss: for a forked child the
 * kernel counts the pages it shared with this runner before exec, so a
 * runner bigger than the program hides the program. Instead separate runs
 * stop the program at its exit under ptrace and read VmHWM, the peak of the
 * program's own address space; those runs are not timed. They also read
 * how often the program gave up the processor of its own accord (each
 * poll sleep or blocking wait counts once).
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

enum { MAX_RUNS = 5000, MAX_COMMANDS = 8, MEMORY_RUNS = 7, WARMUPS = 3 };

struct Command {
    char **argv;
    long slack;
    const char *output;
    long wall_us[MAX_RUNS], user_us[MAX_RUNS], sys_us[MAX_RUNS], rss_kib[MEMORY_RUNS], waits[MEMORY_RUNS];
};

static struct Command commands[MAX_COMMANDS];

static long now_ns(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000L + t.tv_nsec;
}

static int compare(const void *a, const void *b)
{
    long x = *(const long *)a, y = *(const long *)b;
    return x < y ? -1 : x > y;
}

static long median(long *values, int count)
{
    qsort(values, (size_t)count, sizeof *values, compare);
    return count % 2 ? values[count / 2] : (values[count / 2 - 1] + values[count / 2]) / 2;
}

static double mean(const long *values, int count)
{
    double sum = 0;
    for (int i = 0; i < count; i++)
        sum += (double)values[i];
    return sum / count;
}

static long tv_us(struct timeval t)
{
    return t.tv_sec * 1000000L + t.tv_usec;
}

static void child_start(const struct Command *command, int traced)
{
    if (command->slack > 0)
        prctl(PR_SET_TIMERSLACK, (unsigned long)command->slack);
    if (command->output) {
        int fd = open(command->output, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || dup2(fd, 1) < 0 || dup2(fd, 2) < 0)
            _exit(126);
        close(fd);
    }
    if (traced)
        ptrace(PTRACE_TRACEME, 0, NULL, NULL);
    execvp(command->argv[0], command->argv);
    _exit(127);
}

static int failed(const struct Command *command, int status)
{
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return 0;
    fprintf(stderr, "measure: %s failed (status %d)\n", command->argv[0], status);
    return 1;
}

/* One timed run; run < 0 is a warm-up whose figures are dropped. */
static int timed_run(struct Command *command, int run)
{
    long started = now_ns();
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0)
        child_start(command, 0);
    int status = 0;
    struct rusage usage;
    if (wait4(pid, &status, 0, &usage) != pid || failed(command, status))
        return -1;
    if (run >= 0) {
        command->wall_us[run] = (now_ns() - started) / 1000;
        command->user_us[run] = tv_us(usage.ru_utime);
        command->sys_us[run] = tv_us(usage.ru_stime);
    }
    return 0;
}

static long status_field_kib(pid_t pid, const char *name)
{
    char path[64], line[256];
    snprintf(path, sizeof path, "/proc/%d/status", (int)pid);
    FILE *file = fopen(path, "r");
    if (!file)
        return -1;
    long value = -1;
    size_t length = strlen(name);
    while (fgets(line, sizeof line, file))
        if (strncmp(line, name, length) == 0 && line[length] == ':')
            value = atol(line + length + 1);
    fclose(file);
    return value;
}

/* One run under ptrace, stopped at its exit to read its peak resident size
 * and its count of voluntary context switches. */
static long peak_rss_kib(const struct Command *command, long *waits)
{
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0)
        child_start(command, 1);
    long peak = -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFSTOPPED(status))
        return -1;
    ptrace(PTRACE_SETOPTIONS, pid, NULL, (void *)(long)PTRACE_O_TRACEEXIT);
    ptrace(PTRACE_CONT, pid, NULL, NULL);
    for (;;) {
        if (waitpid(pid, &status, 0) != pid)
            return -1;
        if (WIFEXITED(status) || WIFSIGNALED(status))
            break;
        int signal_number = 0;
        if (status >> 8 == (SIGTRAP | (PTRACE_EVENT_EXIT << 8))) {
            peak = status_field_kib(pid, "VmHWM");
            *waits = status_field_kib(pid, "voluntary_ctxt_switches");
        } else if (WSTOPSIG(status) != SIGTRAP)
            signal_number = WSTOPSIG(status);
        ptrace(PTRACE_CONT, pid, NULL, (void *)(long)signal_number);
    }
    return failed(command, status) ? -1 : peak;
}

static int sleep_cost(int count, long slack, long micros)
{
    if (slack > 0)
        prctl(PR_SET_TIMERSLACK, (unsigned long)slack);
    long *took = commands[0].wall_us;
    for (int i = 0; i < count; i++) {
        long started = now_ns();
        usleep((useconds_t)micros);
        took[i] = now_ns() - started;
    }
    double average = mean(took, count);
    printf("slack_ns=%ld usleep_us=%ld median_ns=%ld mean_ns=%.0f\n", (long)prctl(PR_GET_TIMERSLACK), micros,
           median(took, count), average);
    return 0;
}

static int usage(void)
{
    fprintf(stderr, "usage: measure [-n RUNS] [-s SLACK_NS] [-o FILE] -- COMMAND [ARG...] [::: [-s SLACK_NS] [-o FILE] -- "
                    "COMMAND...]\n"
                    "       measure --sleep-cost [-n SLEEPS] [-s SLACK_NS] [-u MICROSECONDS]\n");
    return 2;
}

int main(int argc, char **argv)
{
    int runs = 51, sleeps = 0, count = 0;
    long slack = 0, micros = 50;
    const char *output = NULL;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--sleep-cost") == 0)
            sleeps = 1;
        else if (strcmp(argv[i], "-n") == 0 && i + 1 < argc)
            runs = atoi(argv[++i]);
        else if (strcmp(argv[i], "-s") == 0 && i + 1 < argc)
            slack = atol(argv[++i]);
        else if (strcmp(argv[i], "-o") == 0 && i + 1 < argc)
            output = argv[++i];
        else if (strcmp(argv[i], "-u") == 0 && i + 1 < argc)
            micros = atol(argv[++i]);
        else if (strcmp(argv[i], "--") == 0 && i + 1 < argc && count < MAX_COMMANDS) {
            commands[count].argv = argv + i + 1;
            commands[count].slack = slack;
            commands[count].output = output;
            count++;
            slack = 0;
            output = NULL;
            while (i < argc && strcmp(argv[i], ":::") != 0)
                i++;
            argv[i < argc ? i : argc] = NULL; /* ends this command's argument list */
        } else
            return usage();
    }
    if (runs < 1 || runs > MAX_RUNS) {
        fprintf(stderr, "measure: runs must be 1 to %d\n", MAX_RUNS);
        return 2;
    }
    if (sleeps)
        return sleep_cost(runs, slack, micros);
    if (count == 0)
        return usage();

    for (int run = -WARMUPS; run < runs; run++)
        for (int c = 0; c < count; c++)
            if (timed_run(&commands[c], run) != 0)
                return 1;
    for (int run = 0; run < MEMORY_RUNS; run++)
        for (int c = 0; c < count; c++)
            if ((commands[c].rss_kib[run] = peak_rss_kib(&commands[c], &commands[c].waits[run])) < 0)
                return 1;

    for (int c = 0; c < count; c++) {
        struct Command *command = &commands[c];
        double user_mean = mean(command->user_us, runs), sys_mean = mean(command->sys_us, runs);
        printf("runs=%d wall_us=%ld user_us=%ld sys_us=%ld user_mean_us=%.0f sys_mean_us=%.0f peak_rss_kib=%ld "
               "waits=%ld\n",
               runs, median(command->wall_us, runs), median(command->user_us, runs), median(command->sys_us, runs),
               user_mean, sys_mean, median(command->rss_kib, MEMORY_RUNS), median(command->waits, MEMORY_RUNS));
    }
    return 0;
}
