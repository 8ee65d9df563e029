// Fuzz target: a whole session against a server whose bytes are the input,
// pre-loaded into the peer end of a socket pair. The session authenticates
// as the server's offer decides and sends one message to two recipients.
// Whatever the server sends: only the Exception family escapes; a failure
// leaves the queue as it was given; the password never shows in clear on
// the wire; the lines the transcript shows as read are the wire's first
// lines, in order, and no more than were taken from it (what was received
// past them may stay queued); the session closes its descriptor when it goes.
#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "exception.h"
#include "smtp.h"

namespace {

struct Adopted : SSLSocket {
    explicit Adopted(int fd) : SSLSocket("[S]", fd) {}  // no host name has a "["
    void connect() override {}
};

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "property broken: %s\n", what);
        std::abort();
    }
}

// Everything readable on fd now (the input is at most 64 KiB).
std::string drain(int fd) {
    static char buf[1 << 16];
    const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    return std::string(buf, n > 0 ? size_t(n) : 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string wire(reinterpret_cast<const char*>(data), size < 65536 ? size : 65536);
    const std::string password = "pw-Secret-7", text = "Subject: s\n\nline\n.\nlast";
    const std::vector<std::string> rcpts = {"b@example.test", "c@example.test"};
    int fds[2];
    check(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0, "socketpair");
    check(::send(fds[1], wire.data(), wire.size(), 0) == ssize_t(wire.size()), "pre-load");
    ::shutdown(fds[1], SHUT_WR);
    std::stringbuf transcript, notices;
    std::string unread;
    {
        SMTP smtp("client.test", "a@example.test", "unused.invalid", 25);
        delete smtp.socket;
        smtp.socket = new Adopted(fds[0]);
        smtp.socket->setParentLogger(&smtp);
        smtp.socket->rdbuf(&transcript);
        smtp.rdbuf(&notices);
        smtp.setVerbosity(Logger::VERBOSE);
        smtp.setCredentials("user@example.test", password, SMTP::AUTO);
        smtp.addMessage(text, rcpts);
        try {
            smtp.sendMessage();
            check(smtp.msgs.empty(), "queue left after success");
        } catch (const Exception&) {
            check(smtp.msgs.size() == 1 && smtp.msgs[0].msg == text && smtp.msgs[0].rcpts == rcpts,
                  "queue changed by a failure");
        }
        unread = drain(fds[0]);
    }
    check(::fcntl(fds[0], F_GETFD) == -1 && errno == EBADF, "descriptor left open");
    const std::string taken = wire.substr(0, wire.size() - unread.size());
    check(wire.compare(taken.size(), std::string::npos, unread) == 0, "unread is not the rest");
    std::istringstream log(transcript.str());
    std::string shown;
    for (std::string line; std::getline(log, line);)
        shown += line.compare(0, 5, "[S]:\t") == 0 ? line.substr(5) + "\n" : "";
    check(shown.size() <= taken.size() && wire.compare(0, shown.size(), shown) == 0,
          "transcript differs from the lines read");
    check(drain(fds[1]).find(password) == std::string::npos, "password in clear on the wire");
    ::close(fds[1]);
    return 0;
}
