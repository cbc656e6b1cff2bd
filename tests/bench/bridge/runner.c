/* Times programs and measures their peak memory, interleaved, so that a load
 * change on the machine shifts every command of a round alike.
 *
 *   runner [-r RUNS] [-w WARMUP] [-C DIR] -- COMMAND [::: COMMAND]...
 *   COMMAND:  NAME [-C DIR] [-e VAR=VALUE]... PROGRAM ARG...
 *
 * Every round starts each command once, in the order given, in its DIR (the
 * command's own -C, else the global one, else the current directory), with the
 * command's -e variables added to the environment, and with standard input,
 * output and error on /dev/null.
 * The WARMUP first rounds (default 3) are not counted. For each command one
 * line goes to standard output:
 *
 *   NAME MEDIAN_MS Q1_MS Q3_MS MIN_MS RSS_MEDIAN_KIB RSS_MAX_KIB CPU_MEDIAN_MS
 *
 * the wall time from fork to reaping the child, its CPU time (user and
 * system, which leaves out time spent waiting, for the disk or for a CPU that
 * another process holds), and the child's peak resident
 * set (ru_maxrss of wait4, which also counts the few hundred KiB that the
 * forked copy of this small runner holds before the exec). A run that exits
 * with a status other than 0 or dies by a signal stops everything, with exit
 * status 1. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

struct command {
    const char *name;
    const char *dir;
    char *env[8];
    int envCount;
    char **argv;
    double *ms;
    double *cpuMs;
    long *rssKib;
};

static double now_ms(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec * 1e3 + (double)t.tv_nsec / 1e6;
}

static int compare_double(const void *a, const void *b)
{
    double x = *(const double *)a, y = *(const double *)b;
    return (x > y) - (x < y);
}

static int compare_long(const void *a, const void *b)
{
    long x = *(const long *)a, y = *(const long *)b;
    return (x > y) - (x < y);
}

/* Linear interpolation between the closest ranks of sorted values. */
static double quantile(const double *sorted, int count, double q)
{
    double position = q * (count - 1);
    int below = (int)position;
    if (below + 1 >= count)
        return sorted[count - 1];
    return sorted[below] + (position - below) * (sorted[below + 1] - sorted[below]);
}

static double timeval_ms(struct timeval t)
{
    return (double)t.tv_sec * 1e3 + (double)t.tv_usec / 1e3;
}

static int run_once(const struct command *c, double *ms, double *cpuMs, long *rssKib)
{
    double start = now_ms();
    pid_t pid = fork();
    if (pid < 0) {
        perror("fork");
        return 0;
    }
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        if (null < 0 || dup2(null, 0) < 0 || dup2(null, 1) < 0 || dup2(null, 2) < 0)
            _exit(126);
        if (c->dir && chdir(c->dir) != 0)
            _exit(126);
        for (int i = 0; i < c->envCount; ++i)
            if (putenv(c->env[i]) != 0)
                _exit(126);
        execvp(c->argv[0], c->argv);
        _exit(127);
    }
    int status = 0;
    struct rusage usage;
    while (wait4(pid, &status, 0, &usage) < 0) {
        if (errno != EINTR) {
            perror("wait4");
            return 0;
        }
    }
    *ms = now_ms() - start;
    *cpuMs = timeval_ms(usage.ru_utime) + timeval_ms(usage.ru_stime);
    *rssKib = usage.ru_maxrss;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return 1;
    if (WIFEXITED(status))
        fprintf(stderr, "runner: %s exited with status %d\n", c->name, WEXITSTATUS(status));
    else
        fprintf(stderr, "runner: %s died by signal %d\n", c->name, WTERMSIG(status));
    return 0;
}

int main(int argc, char **argv)
{
    int runs = 20, warmup = 3, opt;
    const char *dir = NULL;
    while ((opt = getopt(argc, argv, "r:w:C:")) != -1) {
        switch (opt) {
        case 'r': runs = atoi(optarg); break;
        case 'w': warmup = atoi(optarg); break;
        case 'C': dir = optarg; break;
        default:
            fprintf(stderr, "usage: runner [-r RUNS] [-w WARMUP] [-C DIR] -- NAME PROGRAM ARG... [::: ...]\n");
            return 2;
        }
    }
    if (runs < 1 || warmup < 0 || optind >= argc) {
        fprintf(stderr, "runner: nothing to run\n");
        return 2;
    }

    /* Split the rest at ":::" into commands; each starts with its name. */
    struct command commands[32];
    int count = 0;
    for (int i = optind; i < argc;) {
        int end = i;
        while (end < argc && strcmp(argv[end], ":::") != 0)
            ++end;
        if (end - i < 2 || count == (int)(sizeof commands / sizeof commands[0])) {
            fprintf(stderr, "runner: a command needs a name and a program (at most 32 commands)\n");
            return 2;
        }
        struct command *c = &commands[count];
        c->name = argv[i];
        c->dir = dir;
        c->envCount = 0;
        int first = i + 1;
        for (;;) {
            if (end - first >= 3 && strcmp(argv[first], "-C") == 0) {
                c->dir = argv[first + 1];
            } else if (end - first >= 3 && strcmp(argv[first], "-e") == 0 && strchr(argv[first + 1], '=') &&
                       c->envCount < (int)(sizeof c->env / sizeof c->env[0])) {
                c->env[c->envCount++] = argv[first + 1];
            } else {
                break;
            }
            first += 2;
        }
        c->argv = argv + first;
        commands[count].ms = calloc((size_t)runs, sizeof(double));
        commands[count].cpuMs = calloc((size_t)runs, sizeof(double));
        commands[count].rssKib = calloc((size_t)runs, sizeof(long));
        if (!commands[count].ms || !commands[count].cpuMs || !commands[count].rssKib)
            return 1;
        if (end < argc)
            argv[end] = NULL;
        ++count;
        i = end + 1;
    }

    for (int round = 0; round < warmup + runs; ++round) {
        for (int c = 0; c < count; ++c) {
            double ms, cpuMs;
            long rss;
            if (!run_once(&commands[c], &ms, &cpuMs, &rss))
                return 1;
            if (round >= warmup) {
                commands[c].ms[round - warmup] = ms;
                commands[c].cpuMs[round - warmup] = cpuMs;
                commands[c].rssKib[round - warmup] = rss;
            }
        }
    }

    for (int c = 0; c < count; ++c) {
        qsort(commands[c].ms, (size_t)runs, sizeof(double), compare_double);
        qsort(commands[c].cpuMs, (size_t)runs, sizeof(double), compare_double);
        qsort(commands[c].rssKib, (size_t)runs, sizeof(long), compare_long);
        printf("%s %.3f %.3f %.3f %.3f %ld %ld %.3f\n", commands[c].name, quantile(commands[c].ms, runs, 0.5),
               quantile(commands[c].ms, runs, 0.25), quantile(commands[c].ms, runs, 0.75), commands[c].ms[0],
               commands[c].rssKib[runs / 2], commands[c].rssKib[runs - 1],
               quantile(commands[c].cpuMs, runs, 0.5));
    }
    return 0;
}
