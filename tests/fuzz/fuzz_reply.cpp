// Fuzz target: reading and judging replies. The input is what the server
// sends, pre-loaded into the peer end of a socket pair; a session reads
// replies from the other end until reading fails (at the latest at the end
// of the stream); a refused line ends only its reply. Replies are read
// alternately as for QUIT (221 accepted) and as for any other command.
// Every reply and failure must match the reference model, and so must the
// session's log (the transcript of every line read and the notices); a
// failure outside the Exception family escapes and ends the run.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "exception.h"
#include "fuzz_support.h"
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
    const std::string wire(reinterpret_cast<const char*>(data),
                           size < FUZZ_MAX_WIRE ? size : FUZZ_MAX_WIRE);
    int fds[2];
    preloaded_pair(wire, fds);
    ::close(fds[1]);
    auto session = session_on(fds[0], "client.example.test", "sender@example.test");
    logged.clear();
    session->setVerbosity(Logger::VERBOSE);
    session->setCallBackFunction(log_sink);

    model::Server server(wire);
    for (bool is_221_fatal = true;; is_221_fatal = !is_221_fatal) {
        std::string expected;
        bool expect_failure = false;
        model::Failure failure;
        try {
            expected = server.read_response(is_221_fatal);
        } catch (const model::Failure& f) {
            expect_failure = true;
            failure = f;
        }
        const std::string expectation =
            expect_failure ? describe(failure) : "the reply \"" + printable(expected) + "\"";
        try {
            const std::string reply = session->read_response(is_221_fatal);
            FUZZ_CHECK_MSG(!expect_failure && reply == expected,
                           "read \"" + printable(reply) + "\", expected " + expectation);
        } catch (const Exception& e) {
            FUZZ_CHECK_MSG(expect_failure && model::same(failure, e),
                           "threw " + describe(e) + ", expected " + expectation);
            // A refused line ends its reply; the next reply starts after it.
            if (e.method != "SMTP::evalResponse()") {
                break;
            }
        }
    }

    // The transcript of every line read (CR kept) at VERBOSE, every
    // accepted line of the notify list at ERROR, nothing else.
    std::map<int, std::string> expected_log;
    for (const std::string& line : server.lines_read) {
        expected_log[Logger::VERBOSE] += "peer:\t" + up_to_nul(line) + "\n";
    }
    for (const std::string& line : server.notified) {
        expected_log[Logger::ERROR] += "Host said: " + up_to_nul(line) + "\n";
    }
    for (auto* entries : {&logged, &expected_log}) {
        entries->emplace(Logger::VERBOSE, "");
        entries->emplace(Logger::ERROR, "");
    }
    FUZZ_CHECK_MSG(logged == expected_log,
                   "logged \"" + printable(logged[Logger::VERBOSE]) + "\" and \"" +
                       printable(logged[Logger::ERROR]) + "\", expected \"" +
                       printable(expected_log[Logger::VERBOSE]) + "\" and \"" +
                       printable(expected_log[Logger::ERROR]) + "\"");

    // The session releases its descriptor when it goes.
    session.reset();
    errno = 0;
    FUZZ_CHECK_MSG(::fcntl(fds[0], F_GETFD) == -1 && errno == EBADF,
                   "the session left its descriptor open");
    return 0;
}
