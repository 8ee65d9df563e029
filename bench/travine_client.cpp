// The travine side of the benchmark, a host of the shared library like any
// other.
//   travine_client MODE PORT COUNT BODY_BYTES [tls|starttls]
// MODE:
//   session   one SMTP session that queues COUNT messages and sends them with
//             one sendMessage() (HELO, then MAIL FROM, RCPT TO and DATA per
//             message, QUIT)
//   pipeline  the same with setPipelining(true): EHLO, and MAIL FROM, RCPT TO
//             and DATA in one write when the server offers PIPELINING
//   file      the same as session, the text written to a file before the
//             clock starts and queued with addMessageFile()
//   email     COUNT calls of email(), each its own connection
// "tls" is implicit TLS, "starttls" STARTTLS, both without certificate
// verification. The server is 127.0.0.1. Prints bench_util.h's RESULT line
// for the sending, or a failure on standard error with exit status 1.
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "bench_util.h"
#include "emailwrap.h"
#include "exception.h"
#include "smtp.h"

namespace {

int usage() {
    std::cerr << "usage: travine_client session|pipeline|file|email PORT COUNT BODY_BYTES "
                 "[tls|starttls]\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5 || argc > 6)
        return usage();
    const std::string mode = argv[1];
    const unsigned port = static_cast<unsigned>(std::atoi(argv[2]));
    const long count = std::atol(argv[3]);
    const size_t body_bytes = static_cast<size_t>(std::atol(argv[4]));
    const std::string tls = argc == 6 ? argv[5] : "";
    if (tls != "" && tls != "tls" && tls != "starttls")
        return usage();

    size_t len = 0;
    char* raw = bench_text(body_bytes, &len);
    if (raw == nullptr)
        return 1;
    std::string text(raw, len);
    std::free(raw);
    char path[] = "/tmp/travine-bench-text.XXXXXX";
    if (mode == "file") {
        const int fd = mkstemp(path);
        if (fd == -1 || write(fd, text.data(), text.size()) != ssize_t(text.size()))
            return 1;
        close(fd);
        std::string().swap(text);  // the text lives in the file only
    }

    bench_clock clock;
    if (mode == "session" || mode == "pipeline" || mode == "file") {
        bench_start(&clock);
        try {
            SMTP smtp("bench.test", "a@bench.test", "127.0.0.1", port);
            if (tls != "") {
                smtp.setSSLOpts(tls == "tls" ? SMTP::SMTPS : SMTP::STARTTLS, SSLSocket::VERIFY_NONE,
                                "", "");
            }
            smtp.setPipelining(mode == "pipeline");
            const std::vector<std::string> rcpts = {"b@bench.test"};
            for (long i = 0; i < count; ++i) {
                if (mode == "file") {
                    smtp.addMessageFile(path, rcpts);
                } else {
                    smtp.addMessage(text, rcpts);
                }
            }
            smtp.sendMessage();
        } catch (const Exception& e) {
            if (mode == "file")
                unlink(path);
            std::cerr << "travine_client: " << e.name << " in " << e.method << " [" << e.index
                      << "]: " << e.msg << "\n";
            return 1;
        }
        bench_stop(&clock, count);
        if (mode == "file")
            unlink(path);
    } else if (mode == "email") {
        // email() builds its own header lines around the body.
        const std::string body(body_bytes, 'b');
        bench_start(&clock);
        for (long i = 0; i < count; ++i) {
            u32 ret = email("a@bench.test", "b@bench.test", "bench", body.c_str(), "127.0.0.1", 0,
                            "", "", port, tls != "" ? "enable" : "disable",
                            tls == "starttls" ? "STARTTLS" : "SMTPS", "");
            if (ret != 0) {
                std::cerr << "travine_client: email() returned " << ret << "\n";
                return 1;
            }
        }
        bench_stop(&clock, count);
    } else {
        return usage();
    }
    return 0;
}
