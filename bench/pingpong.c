/* The loopback round trip: one byte there and back over TCP on 127.0.0.1,
 * the echoing side pinned to one core and the timing side to another.
 *   pingpong COUNT ECHO_CPU PING_CPU
 * Prints bench_util.h's RESULT line for COUNT round trips (wall and CPU
 * of the timing side). */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bench_util.h"

static void pin(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(0, sizeof set, &set);
}

static void die(const char* what) {
    perror(what);
    exit(1);
}

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: pingpong COUNT ECHO_CPU PING_CPU\n");
        return 2;
    }
    long count = atol(argv[1]);
    int on = 1;
    int lfd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a;
    socklen_t alen = sizeof a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(lfd, (struct sockaddr*)&a, sizeof a) != 0 || listen(lfd, 1) != 0 ||
        getsockname(lfd, (struct sockaddr*)&a, &alen) != 0)
        die("pingpong: listen");
    pid_t child = fork();
    if (child == 0) {
        pin(atoi(argv[2]));
        alarm(120);
        int fd = accept(lfd, NULL, NULL);
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        char c;
        while (read(fd, &c, 1) == 1)
            if (write(fd, &c, 1) != 1)
                break;
        _exit(0);
    }
    pin(atoi(argv[3]));
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(fd, (struct sockaddr*)&a, sizeof a) != 0)
        die("pingpong: connect");
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    char c = 'x';
    for (int i = 0; i < 1000; ++i) /* warm-up */
        if (write(fd, &c, 1) != 1 || read(fd, &c, 1) != 1)
            die("pingpong");
    struct bench_clock clock;
    bench_start(&clock);
    for (long i = 0; i < count; ++i)
        if (write(fd, &c, 1) != 1 || read(fd, &c, 1) != 1)
            die("pingpong");
    bench_stop(&clock, count);
    close(fd);
    waitpid(child, NULL, 0);
    return 0;
}
