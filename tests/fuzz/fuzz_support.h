// Helpers shared by the fuzz targets: a check that ends the run with a
// readable report, a printable form of raw bytes, and a session whose
// transport is one end of a socket pair pre-loaded with the server's bytes.
#ifndef TRAVINE_FUZZ_SUPPORT_H
#define TRAVINE_FUZZ_SUPPORT_H

#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "exception.h"
#include "smtp.h"
#include "sslsocket.h"

// The most server bytes a session target feeds through a socket pair: the
// pair's buffer holds it all, so pre-loading the peer never blocks.
const size_t FUZZ_MAX_WIRE = 64 * 1024;

// Raw bytes with backslash and every non-printable byte escaped as \xNN.
inline std::string printable(const std::string& bytes) {
    std::string out;
    for (unsigned char u : bytes) {
        char buf[5];
        std::snprintf(buf, sizeof buf, u < 0x20 || u >= 0x7f || u == '\\' ? "\\x%02x" : "%c", u);
        out += buf;
    }
    return out;
}

// One line describing a caught exception.
inline std::string describe(const Exception& e) {
    return e.name + " " + e.method + " " + std::to_string(e.index) + ": " + printable(e.msg);
}

[[noreturn]] inline void fuzz_fail(const char* check, const char* file, int line,
                                   const std::string& detail) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n%s\n", file, line, check, detail.c_str());
    std::fflush(stderr);
    std::abort();
}

// Ends the run (abort, which both libFuzzer and the replay report) unless cond
// holds; detail is evaluated only on failure.
#define FUZZ_CHECK_MSG(cond, detail)                        \
    do {                                                    \
        if (!(cond)) {                                      \
            fuzz_fail(#cond, __FILE__, __LINE__, (detail)); \
        }                                                   \
    } while (0)
#define FUZZ_CHECK(cond) FUZZ_CHECK_MSG(cond, std::string())

// A transport on an already connected descriptor whose connect() does
// nothing, so a session runs over a socket pair.
struct AdoptedSocket : SSLSocket {
    explicit AdoptedSocket(int fd) : SSLSocket("peer", fd) {}
    void connect() override {}
};

// A socket pair whose peer end fds[1] holds wire (at most FUZZ_MAX_WIRE
// bytes) and is shut down for writing, so the client end fds[0] reads end
// of stream after it.
inline void preloaded_pair(const std::string& wire, int fds[2]) {
    FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0);
    const int big = 1 << 20;
    ::setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    for (size_t sent = 0; sent < wire.size();) {
        const ssize_t n = ::write(fds[1], wire.data() + sent, wire.size() - sent);
        FUZZ_CHECK(n > 0);
        sent += static_cast<size_t>(n);
    }
    FUZZ_CHECK(::shutdown(fds[1], SHUT_WR) == 0);
}

// A session to "server.invalid" whose transport is the descriptor fd.
inline std::unique_ptr<SMTP> session_on(int fd, const std::string& domain,
                                        const std::string& from) {
    std::unique_ptr<SMTP> session(new SMTP(domain, from, "server.invalid", 25));
    delete session->socket;
    session->socket = new AdoptedSocket(fd);
    session->socket->setParentLogger(session.get());
    return session;
}

#endif
