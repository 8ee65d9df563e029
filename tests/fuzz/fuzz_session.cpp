// Fuzz target: a whole session. The input is everything the server sends:
// it is pre-loaded into one end of a socket pair, which is then shut down
// for writing, so the client reads end of stream after it. A thread drains
// what the client writes, so the client never blocks on a full buffer. The
// session has AUTO credentials, plain transport and one message for two
// recipients. What it writes, how it ends (normally or with an exception of
// the Exception family), the mechanism it settles on and its queue must
// match the reference model; anything else thrown escapes and ends the run.
#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "exception.h"
#include "fuzz_support.h"
#include "smtp.h"
#include "smtp_model.h"

namespace {

// Reads the peer end until the client closes its end, or until stop is set
// and nothing more is readable. Sets *closed when it saw the client close.
void drain(int fd, const std::atomic<bool>* stop, std::string* received, bool* closed) {
    char buf[4096];
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, 20);
        if (ready == 0) {
            if (stop->load()) {
                return;
            }
            continue;
        }
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            received->append(buf, static_cast<size_t>(n));
        } else if (n == 0 || errno == ECONNRESET) {
            // A client end closed with unread bytes in it resets the pair.
            *closed = true;
            return;
        } else if (errno != EINTR) {
            return;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > FUZZ_MAX_WIRE) {
        size = FUZZ_MAX_WIRE;
    }
    const std::string wire(reinterpret_cast<const char*>(data), size);

    model::Session expected;
    expected.domain = "client.example.test";
    expected.from = "sender@example.test";
    // The password never travels in clear, so it must never be seen on
    // the wire; base64 and hex digits hold no '-'.
    expected.username = "user@example.test";
    expected.password = "pw-Secret-7";
    expected.text = "From: sender@example.test\nSubject: fuzz\n\nfirst line\n.\nlast line";
    expected.rcpts = {"first@example.test", "second@example.test"};

    int fds[2];
    FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0);
    const int peer = fds[1];
    const int big = 1 << 20;
    ::setsockopt(peer, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    size_t sent = 0;
    while (sent < wire.size()) {
        const ssize_t n = ::write(peer, wire.data() + sent, wire.size() - sent);
        FUZZ_CHECK(n > 0);
        sent += static_cast<size_t>(n);
    }
    FUZZ_CHECK(::shutdown(peer, SHUT_WR) == 0);

    std::atomic<bool> stop(false);
    std::string written;
    bool closed = false;
    std::thread drainer(drain, peer, &stop, &written, &closed);

    std::unique_ptr<SMTP> session(new SMTP(expected.domain, expected.from, "server.invalid", 25));
    delete session->socket;
    session->socket = new AdoptedSocket(fds[0]);
    session->socket->setParentLogger(session.get());
    session->setCredentials(expected.username, expected.password, SMTP::AUTO);
    session->addMessage(expected.text, expected.rcpts);

    bool failed = false;
    std::string failure;
    bool right_failure = false;
    model::Server server(wire);
    bool expect_failure = false;
    model::Failure expected_failure;
    try {
        model::run(expected, server);
    } catch (const model::Failure& f) {
        expect_failure = true;
        expected_failure = f;
    }
    try {
        session->sendMessage();
    } catch (const Exception& e) {
        failed = true;
        failure = describe(e);
        right_failure = expect_failure && model::same(expected_failure, e);
    }
    const SMTP::AUTH_TYPE auth_type = session->auth_type;
    const size_t queued = session->msgs.size();

    // Destroying the session closes its end, which ends the drain.
    session.reset();
    stop.store(true);
    drainer.join();
    ::close(peer);

    FUZZ_CHECK_MSG(written == expected.written,
                   "wrote    \"" + printable(written) + "\"\nexpected \"" +
                       printable(expected.written) + "\"\nthen " +
                       (failed ? "threw " + failure : std::string("succeeded")));
    FUZZ_CHECK_MSG(failed == expect_failure,
                   failed ? "threw " + failure + ", expected success"
                          : "succeeded, expected " + model::describe(expected_failure));
    FUZZ_CHECK_MSG(!failed || right_failure,
                   "threw " + failure + ", expected " + model::describe(expected_failure));
    FUZZ_CHECK_MSG(auth_type == expected.auth_type, "auth_type " + std::to_string(auth_type) +
                                                        ", expected " +
                                                        std::to_string(expected.auth_type));
    FUZZ_CHECK_MSG(queued == (failed ? 1u : 0u), std::to_string(queued) + " messages left queued");
    FUZZ_CHECK_MSG(closed, "the session left its descriptor open");
    FUZZ_CHECK(written.find(expected.password) == std::string::npos);
    return 0;
}
