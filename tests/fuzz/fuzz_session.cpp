// Fuzz target: a whole session. The input is everything the server sends,
// pre-loaded into the peer end of a socket pair that is then shut down for
// writing; what the client writes (a few hundred bytes) waits in the pair's
// buffer until the session has gone. The session has AUTO credentials, plain
// transport and one message for two recipients. What it writes, how it ends
// (normally or with an exception of the Exception family), the mechanism it
// settles on and its queue must match the reference model; anything else
// thrown escapes and ends the run.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "exception.h"
#include "fuzz_support.h"
#include "smtp_model.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string wire(reinterpret_cast<const char*>(data),
                           size < FUZZ_MAX_WIRE ? size : FUZZ_MAX_WIRE);
    model::Session expected;
    expected.domain = "client.example.test";
    expected.from = "sender@example.test";
    // The password never travels in clear, so it must never be seen on the
    // wire; base64 and hex digits hold no '-'.
    expected.username = "user@example.test";
    expected.password = "pw-Secret-7";
    expected.text = "From: sender@example.test\nSubject: fuzz\n\nfirst line\n.\nlast line";
    expected.rcpts = {"first@example.test", "second@example.test"};

    int fds[2];
    preloaded_pair(wire, fds);

    auto session = session_on(fds[0], expected.domain, expected.from);
    session->setCredentials(expected.username, expected.password, SMTP::AUTO);
    session->addMessage(expected.text, expected.rcpts);

    model::Server server(wire);
    bool expect_failure = false;
    model::Failure expected_failure;
    try {
        model::run(expected, server);
    } catch (const model::Failure& f) {
        expect_failure = true;
        expected_failure = f;
    }
    bool failed = false;
    bool right_failure = false;
    std::string failure = "succeeded";
    try {
        session->sendMessage();
    } catch (const Exception& e) {
        failed = true;
        failure = "threw " + describe(e);
        right_failure = expect_failure && model::same(expected_failure, e);
    }
    const SMTP::AUTH_TYPE auth_type = session->auth_type;
    const size_t queued = session->msgs.size();

    // Destroying the session closes its end: everything it wrote, then end
    // of stream (or a reset, when it left bytes of the server's unread).
    session.reset();
    errno = 0;
    FUZZ_CHECK_MSG(::fcntl(fds[0], F_GETFD) == -1 && errno == EBADF,
                   "the session left its descriptor open");
    std::string written;
    char buf[4096];
    for (ssize_t n; (n = ::read(fds[1], buf, sizeof buf)) != 0;) {
        FUZZ_CHECK_MSG(n > 0 || errno == ECONNRESET || errno == EINTR,
                       "read: " + std::to_string(errno));
        if (n < 0 && errno == ECONNRESET) {
            break;
        }
        written.append(buf, n > 0 ? static_cast<size_t>(n) : 0);
    }
    ::close(fds[1]);

    const std::string expectation =
        expect_failure ? "expected " + model::describe(expected_failure) : "expected success";
    FUZZ_CHECK_MSG(written == expected.written,
                   "wrote    \"" + printable(written) + "\"\nexpected \"" +
                       printable(expected.written) + "\"\nthen " + failure);
    FUZZ_CHECK_MSG(failed == expect_failure && (!failed || right_failure),
                   failure + ", " + expectation);
    FUZZ_CHECK_MSG(auth_type == expected.auth_type, "auth_type " + std::to_string(auth_type) +
                                                        ", expected " +
                                                        std::to_string(expected.auth_type));
    FUZZ_CHECK_MSG(queued == (failed ? 1u : 0u), std::to_string(queued) + " messages left queued");
    FUZZ_CHECK(written.find(expected.password) == std::string::npos);
    return 0;
}
