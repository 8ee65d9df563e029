/* libESMTP as a peer in the benchmark.
 *   esmtp_client session|oneshot PORT COUNT BODY_BYTES
 * session: one smtp_session_t holding COUNT messages, sent by one
 * smtp_start_session() (libESMTP pipelines MAIL, RCPT and DATA when the
 * server offers PIPELINING, and waits once per message); oneshot: a session
 * per message. libESMTP adds the Date and Message-Id fields itself. Prints
 * bench_util.h's RESULT line. */
#include <stddef.h> /* libesmtp.h uses size_t without it */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <libesmtp.h>

#include "bench_util.h"

static int failed;

static void check_message(smtp_message_t m, void* arg) {
    (void)arg;
    const smtp_status_t* st = smtp_message_transfer_status(m);
    if (st == NULL || st->code / 100 != 2)
        failed = 1;
}

static int send_batch(const char* server, long n, char* text) {
    smtp_session_t s = smtp_create_session();
    smtp_set_server(s, server);
    smtp_set_hostname(s, "bench.test");
    for (long i = 0; i < n; ++i) {
        smtp_message_t m = smtp_add_message(s);
        smtp_set_reverse_path(m, "a@bench.test");
        smtp_add_recipient(m, "b@bench.test");
        smtp_set_message_str(m, text);
    }
    if (!smtp_start_session(s)) {
        char buf[128];
        fprintf(stderr, "esmtp_client: %s\n", smtp_strerror(smtp_errno(), buf, sizeof buf));
        return 1;
    }
    smtp_enumerate_messages(s, check_message, NULL);
    smtp_destroy_session(s);
    if (failed)
        fprintf(stderr, "esmtp_client: a message was not accepted\n");
    return failed;
}

int main(int argc, char** argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: esmtp_client session|oneshot PORT COUNT BODY_BYTES\n");
        return 2;
    }
    int oneshot = strcmp(argv[1], "oneshot") == 0;
    long count = atol(argv[3]);
    size_t len;
    char* text = bench_text((size_t)atol(argv[4]), &len);
    if (text == NULL)
        return 1;
    char server[64];
    snprintf(server, sizeof server, "127.0.0.1:%s", argv[2]);
    struct bench_clock clock;
    bench_start(&clock);
    for (long done = 0; done < count; done += oneshot ? 1 : count) {
        if (send_batch(server, oneshot ? 1 : count, text) != 0)
            return 1;
    }
    bench_stop(&clock, count);
    free(text);
    return 0;
}
