/* A C host of the library: COUNT calls of email(), each its own connection.
 *   email_client PORT COUNT BODY_BYTES [tls|starttls]
 * The same sending as travine_client's email mode, from a program that
 * links no C++ itself, as a C host of email() is. Prints bench_util.h's
 * RESULT line, or a failure on standard error with exit status 1. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "bench_util.h"
#include "emailwrap.h"

int main(int argc, char** argv) {
    if (argc < 4 || argc > 5) {
        fprintf(stderr, "usage: email_client PORT COUNT BODY_BYTES [tls|starttls]\n");
        return 2;
    }
    const unsigned port = (unsigned)atoi(argv[1]);
    const long count = atol(argv[2]);
    const size_t body_bytes = (size_t)atol(argv[3]);
    const char* tls = argc == 5 ? argv[4] : "";
    /* email() builds its own header lines around the body. */
    char* body = malloc(body_bytes + 1);
    if (body == NULL)
        return 1;
    memset(body, 'b', body_bytes);
    body[body_bytes] = '\0';

    struct bench_clock clock;
    bench_start(&clock);
    for (long i = 0; i < count; ++i) {
        u32 ret = email("a@bench.test", "b@bench.test", "bench", body, "127.0.0.1", 0, "", "", port,
                        *tls != '\0' ? "enable" : "disable",
                        strcmp(tls, "starttls") == 0 ? "STARTTLS" : "SMTPS", "");
        if (ret != 0) {
            fprintf(stderr, "email_client: email() returned %u\n", ret);
            return 1;
        }
    }
    bench_stop(&clock, count);
    free(body);
    return 0;
}
