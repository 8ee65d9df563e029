/* Runs a command and prints bench_util.h's RESULT line for it as a whole:
 * wall time from start to exit, user and system time of the command and
 * every process it waited for, and the largest peak resident set.
 *   measure COUNT COMMAND [ARG]...       COUNT is only copied into the line
 *   measure -n COUNT COMMAND [ARG]...    runs the command COUNT times, one
 *                                        after the other (a process each)
 * Exits with status 1 at the first run that fails. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double seconds(struct timeval t) {
    return (double)t.tv_sec + (double)t.tv_usec / 1e6;
}

int main(int argc, char** argv) {
    long runs = 1;
    if (argc > 4 && strcmp(argv[1], "-n") == 0) {
        runs = atol(argv[2]);
        argv += 2;
        argc -= 2;
    }
    if (argc < 3 || runs < 1) {
        fprintf(stderr, "usage: measure [-n] COUNT COMMAND [ARG]...\n");
        return 2;
    }
    struct timespec t0, t1;
    double user = 0, sys = 0;
    long maxrss = 0;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    for (long r = 0; r < runs; ++r) {
        pid_t pid = fork();
        if (pid == 0) {
            /* The command's own output goes to standard error, so that
             * standard output carries only the RESULT line. */
            dup2(2, 1);
            execvp(argv[2], argv + 2);
            perror("measure: exec");
            _exit(127);
        }
        int status = 0;
        struct rusage ru;
        if (pid == -1 || wait4(pid, &status, 0, &ru) == -1) {
            perror("measure");
            return 1;
        }
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            fprintf(stderr, "measure: %s failed\n", argv[2]);
            return 1;
        }
        user += seconds(ru.ru_utime);
        sys += seconds(ru.ru_stime);
        maxrss = ru.ru_maxrss > maxrss ? ru.ru_maxrss : maxrss;
    }
    clock_gettime(CLOCK_MONOTONIC, &t1);
    double wall = (double)(t1.tv_sec - t0.tv_sec) + (double)(t1.tv_nsec - t0.tv_nsec) / 1e9;
    printf("RESULT %.6f %.6f %.6f %s %ld\n", wall, user, sys, argv[1], maxrss);
    return 0;
}
