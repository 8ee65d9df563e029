/* The practical floor: the same lock-step SMTP dialogue as the clients
 * under test, with nothing but one write() per command and read() until the
 * reply is complete (SSL_write()/SSL_read() with "tls" or "starttls").
 *   floor_client session|oneshot|file PORT COUNT BODY_BYTES [tls|starttls]
 * session: one connection, COUNT messages; oneshot: one connection per
 * message; file: as session, the text written to a file before the clock
 * starts and streamed from it in 64 KiB read()s and write()s. "starttls":
 * the greeting and STARTTLS in clear, then TLS. Prints bench_util.h's
 * RESULT line. */
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "bench_util.h"

static int fd = -1;
static SSL* ssl;

static void die(const char* what) {
    fprintf(stderr, "floor_client: %s\n", what);
    exit(1);
}

static void put(const char* p, size_t n) {
    while (n > 0) {
        long k = ssl ? SSL_write(ssl, p, (int)n) : write(fd, p, n);
        if (k <= 0)
            die("write failed");
        p += k;
        n -= (size_t)k;
    }
}

/* Reads one whole reply (its last line has no '-' after the code) and
 * fails unless it is positive (2xx or 3xx). */
static void reply(void) {
    static char buf[65536];
    size_t have = 0;
    for (;;) {
        long k = ssl ? SSL_read(ssl, buf + have, (int)(sizeof buf - have))
                     : read(fd, buf + have, sizeof buf - have);
        if (k <= 0)
            die("read failed");
        have += (size_t)k;
        if (buf[have - 1] != '\n')
            continue;
        size_t start = have - 1;
        while (start > 0 && buf[start - 1] != '\n')
            --start;
        if (have - start >= 4 && buf[start + 3] == '-')
            continue;
        if (buf[0] != '2' && buf[0] != '3')
            die("negative reply");
        return;
    }
}

static void command(const char* c) {
    put(c, strlen(c));
    reply();
}

static void open_session(int port, SSL_CTX* ctx, int starttls) {
    fd = bench_socket(port, 0);
    if (fd == -1)
        die("connect failed");
    if (starttls) {
        reply();
        command("STARTTLS\r\n");
    }
    if (ctx != NULL) {
        ssl = SSL_new(ctx);
        SSL_set_fd(ssl, fd);
        if (SSL_connect(ssl) != 1)
            die("TLS handshake failed");
    }
    if (!starttls)
        reply();
    command("HELO bench.test\r\n");
}

static void close_session(void) {
    command("QUIT\r\n");
    if (ssl != NULL) {
        SSL_shutdown(ssl);
        SSL_free(ssl);
        ssl = NULL;
    }
    close(fd);
}

/* With file >= 0 the text is that file's, streamed, then the marker. */
static void send_one(const char* text, size_t len, int file) {
    command("MAIL FROM: <a@bench.test>\r\n");
    command("RCPT TO: <b@bench.test>\r\n");
    command("DATA\r\n");
    if (file >= 0) {
        static char buf[65536];
        long n;
        lseek(file, 0, SEEK_SET);
        while ((n = read(file, buf, sizeof buf)) > 0)
            put(buf, (size_t)n);
        if (n < 0)
            die("reading the file failed");
        text = "\r\n.\r\n";
        len = 5;
    }
    put(text, len);
    reply();
}

int main(int argc, char** argv) {
    if (argc < 5 || argc > 6)
        die("usage: floor_client session|oneshot|file PORT COUNT BODY_BYTES [tls|starttls]");
    int oneshot = strcmp(argv[1], "oneshot") == 0;
    int starttls = argc == 6 && strcmp(argv[5], "starttls") == 0;
    int port = atoi(argv[2]);
    long count = atol(argv[3]);
    size_t len;
    char* body = bench_text((size_t)atol(argv[4]), &len);
    if (body == NULL)
        die("out of memory");
    /* The text and its end-of-data marker go out in one write, as from the
     * clients under test. */
    char* text = malloc(len + 6);
    if (text == NULL)
        die("out of memory");
    memcpy(text, body, len);
    memcpy(text + len, "\r\n.\r\n", 6);
    len += 5;
    int file = -1;
    char path[] = "/tmp/travine-bench-floor.XXXXXX";
    if (strcmp(argv[1], "file") == 0) {
        file = mkstemp(path);
        if (file == -1 || write(file, body, len - 5) != (ssize_t)(len - 5))
            die("writing the file failed");
        unlink(path);
        free(text); /* the text lives in the file only */
        free(body);
        body = NULL;
        text = NULL;
    }
    SSL_CTX* ctx = NULL;
    if (argc == 6) {
        ctx = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, NULL);
    }
    struct bench_clock clock;
    bench_start(&clock);
    if (!oneshot)
        open_session(port, ctx, starttls);
    for (long i = 0; i < count; ++i) {
        if (oneshot)
            open_session(port, ctx, starttls);
        send_one(text, len, file);
        if (oneshot)
            close_session();
    }
    if (!oneshot)
        close_session();
    bench_stop(&clock, count);
    if (ctx != NULL)
        SSL_CTX_free(ctx);
    free(text);
    free(body);
    return 0;
}
