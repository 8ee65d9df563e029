/* libcurl as a peer in the benchmark.
 *   curl_client session|oneshot PORT COUNT BODY_BYTES [tls|starttls]
 * session: one easy handle, COUNT transfers over the connection it keeps;
 * oneshot: a new handle (so a new connection) per message. "tls" is
 * smtps://, "starttls" smtp:// with CURLUSESSL_ALL, both without
 * certificate verification. Prints bench_util.h's RESULT line. */
#include <curl/curl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "bench_util.h"

struct upload {
    const char* text;
    size_t len;
    size_t off;
};

static size_t feed(char* out, size_t size, size_t nmemb, void* arg) {
    struct upload* u = arg;
    size_t n = size * nmemb;
    if (n > u->len - u->off)
        n = u->len - u->off;
    memcpy(out, u->text + u->off, n);
    u->off += n;
    return n;
}

static int starttls;

static CURL* make_handle(const char* url, struct curl_slist* rcpt, struct upload* u) {
    CURL* h = curl_easy_init();
    if (h == NULL)
        return NULL;
    curl_easy_setopt(h, CURLOPT_URL, url);
    curl_easy_setopt(h, CURLOPT_MAIL_FROM, "<a@bench.test>");
    curl_easy_setopt(h, CURLOPT_MAIL_RCPT, rcpt);
    curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(h, CURLOPT_READFUNCTION, feed);
    curl_easy_setopt(h, CURLOPT_READDATA, u);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(h, CURLOPT_TIMEOUT, 120L);
    if (starttls)
        curl_easy_setopt(h, CURLOPT_USE_SSL, (long)CURLUSESSL_ALL);
    return h;
}

int main(int argc, char** argv) {
    if (argc < 5 || argc > 6) {
        fprintf(stderr,
                "usage: curl_client session|oneshot PORT COUNT BODY_BYTES [tls|starttls]\n");
        return 2;
    }
    starttls = argc == 6 && strcmp(argv[5], "starttls") == 0;
    int oneshot = strcmp(argv[1], "oneshot") == 0;
    long count = atol(argv[3]);
    struct upload u;
    u.text = bench_text((size_t)atol(argv[4]), &u.len);
    if (u.text == NULL)
        return 1;
    char url[128];
    /* The path is the name announced in EHLO. */
    snprintf(url, sizeof url, "%s://127.0.0.1:%s/bench.test",
             argc == 6 && !starttls ? "smtps" : "smtp", argv[2]);
    curl_global_init(CURL_GLOBAL_DEFAULT);
    struct curl_slist* rcpt = curl_slist_append(NULL, "<b@bench.test>");

    struct bench_clock clock;
    bench_start(&clock);
    CURL* h = oneshot ? NULL : make_handle(url, rcpt, &u);
    for (long i = 0; i < count; ++i) {
        if (oneshot)
            h = make_handle(url, rcpt, &u);
        u.off = 0;
        CURLcode rc = h != NULL ? curl_easy_perform(h) : CURLE_FAILED_INIT;
        if (rc != CURLE_OK) {
            fprintf(stderr, "curl_client: %s\n", curl_easy_strerror(rc));
            return 1;
        }
        if (oneshot)
            curl_easy_cleanup(h); /* sends QUIT and closes */
    }
    if (!oneshot)
        curl_easy_cleanup(h);
    bench_stop(&clock, count);
    curl_slist_free_all(rcpt);
    curl_global_cleanup();
    free((void*)u.text);
    return 0;
}
