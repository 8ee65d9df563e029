// Fuzz target: reading and judging replies. The input is what the server
// sends: it is pre-loaded into one end of a socket pair, that end is closed,
// and a session reads replies from the other end until reading fails (at
// the latest at the end of the stream); a refused line ends only its reply.
// Replies are read alternately as for QUIT (221 accepted) and as for any
// other command. Every reply and every failure must match the reference
// model, and so must the session's log (the transcript of every line read
// and the notices); a failure outside the Exception family escapes and ends
// the run.
#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "exception.h"
#include "fuzz_support.h"
#include "smtp.h"
#include "smtp_model.h"

namespace {

// Everything the session logs, by level.
std::map<int, std::string> logged;

void log_sink(std::string text, int level) {
    logged[level] += text;
}

// What a log callback receives of a text: the characters before any NUL.
std::string up_to_nul(const std::string& text) {
    return text.substr(0, text.find('\0'));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > FUZZ_MAX_WIRE) {
        size = FUZZ_MAX_WIRE;
    }
    const std::string wire(reinterpret_cast<const char*>(data), size);

    int fds[2];
    FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0);
    size_t sent = 0;
    while (sent < wire.size()) {
        const ssize_t n = ::write(fds[1], wire.data() + sent, wire.size() - sent);
        FUZZ_CHECK(n > 0);
        sent += static_cast<size_t>(n);
    }
    ::close(fds[1]);

    std::unique_ptr<SMTP> session(
        new SMTP("client.example.test", "sender@example.test", "server.invalid", 25));
    delete session->socket;
    session->socket = new AdoptedSocket(fds[0]);
    session->socket->setParentLogger(session.get());
    logged.clear();
    session->setVerbosity(Logger::VERBOSE);
    session->setCallBackFunction(log_sink);

    model::Server server(wire);
    bool is_221_fatal = false;
    for (;;) {
        is_221_fatal = !is_221_fatal;
        std::string expected;
        bool expect_failure = false;
        model::Failure failure;
        try {
            expected = server.read_response(is_221_fatal);
        } catch (const model::Failure& f) {
            expect_failure = true;
            failure = f;
        }
        try {
            const std::string reply = session->read_response(is_221_fatal);
            FUZZ_CHECK_MSG(!expect_failure,
                           "read \"" + printable(reply) + "\", expected " + describe(failure));
            FUZZ_CHECK_MSG(reply == expected, "read \"" + printable(reply) + "\", expected \"" +
                                                  printable(expected) + "\"");
            FUZZ_CHECK(reply.find('\n') == std::string::npos);
        } catch (const Exception& e) {
            FUZZ_CHECK_MSG(expect_failure, "threw " + describe(e) + ", expected the reply \"" +
                                               printable(expected) + "\"");
            FUZZ_CHECK_MSG(model::same(failure, e),
                           "threw " + describe(e) + ", expected " + describe(failure));
            // A refused line ends its reply; the next reply starts after it.
            if (e.method != "SMTP::evalResponse()") {
                break;
            }
        }
    }

    // The transcript of every line read (CR kept) at VERBOSE, every
    // accepted line of the notify list at ERROR, nothing else.
    std::string transcript;
    for (const std::string& line : server.lines_read) {
        transcript += "peer:\t" + up_to_nul(line) + "\n";
    }
    std::string notices;
    for (const std::string& line : server.notified) {
        notices += "Host said: " + up_to_nul(line) + "\n";
    }
    FUZZ_CHECK_MSG(logged[Logger::VERBOSE] == transcript,
                   "logged \"" + printable(logged[Logger::VERBOSE]) + "\", expected \"" +
                       printable(transcript) + "\"");
    FUZZ_CHECK_MSG(logged[Logger::ERROR] == notices,
                   "logged \"" + printable(logged[Logger::ERROR]) + "\", expected \"" +
                       printable(notices) + "\"");
    logged.erase(Logger::VERBOSE);
    logged.erase(Logger::ERROR);
    FUZZ_CHECK_MSG(logged.empty(), "logged at level " + std::to_string(logged.begin()->first));

    // The session releases its descriptor when it goes.
    session.reset();
    errno = 0;
    FUZZ_CHECK_MSG(::fcntl(fds[0], F_GETFD) == -1 && errno == EBADF,
                   "the session left its descriptor open");
    return 0;
}
