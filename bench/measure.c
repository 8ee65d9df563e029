/* Runs a command and prints bench_util.h's RESULT line for it as a whole:
 * wall time from start to exit, user and system time of the command and
 * every process it waited for.
 *   measure COUNT COMMAND [ARG]...
 * COUNT is only copied into the line. Exits with the command's status. */
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: measure COUNT COMMAND [ARG]...\n");
        return 2;
    }
    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    pid_t pid = fork();
    if (pid == 0) {
        /* The command's own output goes to standard error, so that standard
         * output carries only the RESULT line. */
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
    clock_gettime(CLOCK_MONOTONIC, &t1);
    double wall = (double)(t1.tv_sec - t0.tv_sec) + (double)(t1.tv_nsec - t0.tv_nsec) / 1e9;
    double user = (double)ru.ru_utime.tv_sec + (double)ru.ru_utime.tv_usec / 1e6;
    double sys = (double)ru.ru_stime.tv_sec + (double)ru.ru_stime.tv_usec / 1e6;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "measure: %s failed\n", argv[2]);
        return 1;
    }
    printf("RESULT %.6f %.6f %.6f %s\n", wall, user, sys, argv[1]);
    return 0;
}
