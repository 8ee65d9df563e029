/* Timing shared by the benchmark clients: wall clock and CPU time of the
 * measured part of a run, printed as one line that bench/run.sh reads:
 *   RESULT <wall seconds> <user seconds> <system seconds> <count> <peak RSS KiB>
 * Written in C so that the C and C++ clients use the same code. */
#ifndef TRAVINE_BENCH_UTIL_H
#define TRAVINE_BENCH_UTIL_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

struct bench_clock {
    struct timespec wall;
    struct rusage usage;
};

/* Starts the clock; the peak resident set counts from here on (Linux resets
 * it on "5" written to clear_refs). */
static inline void bench_start(struct bench_clock* c) {
    FILE* peak = fopen("/proc/self/clear_refs", "w");
    if (peak != NULL) {
        fputs("5", peak);
        fclose(peak);
    }
    getrusage(RUSAGE_SELF, &c->usage);
    clock_gettime(CLOCK_MONOTONIC, &c->wall);
}

static inline double bench_tv(struct timeval a, struct timeval b) {
    return (double)(b.tv_sec - a.tv_sec) + (double)(b.tv_usec - a.tv_usec) / 1e6;
}

/* Prints the RESULT line for the time since bench_start(). */
static inline void bench_stop(const struct bench_clock* c, long count) {
    struct timespec now;
    struct rusage usage;
    clock_gettime(CLOCK_MONOTONIC, &now);
    getrusage(RUSAGE_SELF, &usage);
    double wall =
        (double)(now.tv_sec - c->wall.tv_sec) + (double)(now.tv_nsec - c->wall.tv_nsec) / 1e9;
    printf("RESULT %.6f %.6f %.6f %ld %ld\n", wall, bench_tv(c->usage.ru_utime, usage.ru_utime),
           bench_tv(c->usage.ru_stime, usage.ru_stime), count, usage.ru_maxrss);
    fflush(stdout);
}

/* The message every client sends: three header lines, a blank line and
 * body_bytes of body in lines of 76 characters, each line ended by CR LF
 * except the last (the client adds the end-of-data marker "\r\n.\r\n").
 * No line starts with a dot. Returns a malloc'ed, NUL-terminated text. */
static inline char* bench_text(size_t body_bytes, size_t* len) {
    static const char head[] =
        "From: <a@bench.test>\r\nTo: <b@bench.test>\r\nSubject: bench\r\n\r\n";
    size_t cap = sizeof head + body_bytes + body_bytes / 76 * 2 + 8;
    char* t = (char*)malloc(cap);
    if (t == NULL)
        return NULL;
    size_t n = sizeof head - 1;
    memcpy(t, head, n);
    for (size_t i = 0; i < body_bytes; ++i) {
        if (i > 0 && i % 76 == 0) {
            t[n++] = '\r';
            t[n++] = '\n';
        }
        t[n++] = (char)('a' + i % 26);
    }
    t[n] = '\0';
    *len = n;
    return t;
}

/* Connects to 127.0.0.1:port (listen 0) or listens there (listen 1, for
 * the sinks and the relay); -1 on failure. */
static inline int bench_socket(int port, int listen_there) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons((unsigned short)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (listen_there)
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (fd == -1 ||
        (listen_there ? bind(fd, (struct sockaddr*)&a, sizeof a) != 0 || listen(fd, 64) != 0
                      : connect(fd, (struct sockaddr*)&a, sizeof a) != 0)) {
        if (fd != -1)
            close(fd);
        return -1;
    }
    return fd;
}

#endif
