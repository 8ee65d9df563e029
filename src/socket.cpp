// Line transport over one connected, blocking stream descriptor.
#include "socket.h"

#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ostream>
#include <string>

#include "exception.h"
#include "i18n.h"
#include "socket_timeout.h"

namespace {

// gethostname() never needs more than this; past it we give up.
const size_t MAX_HOSTNAME_BUFFER = 64 * 1024;

// How much of the received data one look takes in; a longer line takes
// several looks.
const size_t PEEK_CHUNK = 4096;

// The benchmark builds a variant with the byte-wise reader alone, to compare.
#ifdef TRAVINE_BYTEWISE_READER
const bool PEEKING_READER = false;
#else
const bool PEEKING_READER = true;
#endif

// Throws the failure of a read with the system's text: a descriptor that is
// not open fails as the wait for it would have (1), anything else as a read
// (3).
[[noreturn]] void read_failed(int err) {
    throw TransferException(std::strerror(err), "Socket::readSocket()", err == EBADF ? 1 : 3);
}

// Throws the end of a wait that saw nothing for READ_TIMEOUT seconds.
[[noreturn]] void timed_out() {
    throw TransferException(I18N::i18n("travine", "Socket timeout."), "Socket::readSocket()", 2);
}

// Waits until fd has something to read (data, end of stream or an error),
// at most READ_TIMEOUT seconds. poll() rather than select(): it takes
// descriptors of any number. An interrupted wait (EINTR) is not retried.
void wait_readable(int fd) {
    struct pollfd pfd;
    pfd.fd = fd;
    pfd.events = POLLIN;
    pfd.revents = 0;
    int ready = ::poll(&pfd, 1, Socket::READ_TIMEOUT * 1000);
    if (ready == -1) {
        throw TransferException(std::strerror(errno), "Socket::readSocket()", 1);
    }
    if (ready == 0)
        timed_out();
    // A descriptor that is not open fails the wait, as select() would.
    if (pfd.revents & POLLNVAL) {
        throw TransferException(std::strerror(EBADF), "Socket::readSocket()", 1);
    }
}

// Reads the rest of a line onto line one byte per read(), waiting before
// each byte: for descriptors that cannot be peeked at.
void read_bytewise(int fd, std::string& line) {
    for (;;) {
        wait_readable(fd);
        char byte;
        ssize_t n = ::read(fd, &byte, 1);
        if (n == -1) {
            throw TransferException(std::strerror(errno), "Socket::readSocket()", 3);
        }
        if (n == 0) {
            throw TransferException(I18N::i18n("travine", "Socket was closed."),
                                    "Socket::readSocket()", 4);
        }
        if (byte == '\n')
            return;
        if (line.size() >= Socket::MAX_LINE) {
            throw TransferException(I18N::i18n("travine", "Line too long."), "Socket::readSocket()",
                                    6);
        }
        line += byte;
    }
}

// A receive time-out may end a little before its nominal length, by the
// kernel's timer granularity; a look that gave up this close to
// READ_TIMEOUT counts as timed out.
const std::chrono::milliseconds TIMEOUT_SLACK(500);

// Looks at what has arrived on fd without taking it, waiting for it first:
// a blocking look (MSG_PEEK), bounded by the receive time-out that fd was
// given, returns as soon as anything is there. Returns the look's result;
// -1 with errno set for failures the caller handles alike on both routes.
// Sets timed_fd to -1, and returns -1 with EAGAIN so that the caller waits
// with poll() from now on, when the look gave up well before READ_TIMEOUT:
// fd does not wait as it was set up to (it was made non-blocking, or its
// time-out was changed).
ssize_t wait_and_peek(int fd, char* buf, size_t want, int& timed_fd) {
    auto start = std::chrono::steady_clock::now();
    ssize_t n = ::recv(fd, buf, want, MSG_PEEK);
    if (n != -1)
        return n;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
        auto waited = std::chrono::steady_clock::now() - start;
        if (waited >= std::chrono::seconds(Socket::READ_TIMEOUT) - TIMEOUT_SLACK)
            timed_out();
        timed_fd = -1;
        errno = EAGAIN;
        return -1;
    }
    // An interrupted wait (EINTR) is not retried: it fails as a failed wait
    // always has.
    if (errno == EINTR) {
        throw TransferException(std::strerror(errno), "Socket::readSocket()", 1);
    }
    return -1;
}

// Reads the rest of a line onto line by looking at what has arrived
// without taking it (MSG_PEEK), finding the line feed, and taking exactly the
// bytes up to it: nothing past the line feed is consumed, so what follows
// stays in the descriptor for the next line or for a TLS handshake on the
// same descriptor. While timed_fd is fd, fd carries a receive time-out of
// READ_TIMEOUT seconds and one blocking look both waits and looks, so a
// line costs a look and a take; otherwise poll() waits first, and a line
// costs a wait, a look and a take. Returns false, having consumed nothing,
// when fd is not a socket. Sets timed_fd to -1 when fd turns out not to
// wait as set up.
bool read_peeking(int fd, std::string& line, int& timed_fd) {
    char buf[PEEK_CHUNK];
    // A reply is usually still on its way when its line is asked for, so
    // the wait comes first; once part of a long line has been taken, the
    // rest has often arrived already, so the look comes first.
    bool wait_first = true;
    for (;;) {
        // Never past the byte that makes the line too long, so a failure
        // consumes what the byte-wise reader would have consumed.
        size_t want = std::min(PEEK_CHUNK, Socket::MAX_LINE + 1 - line.size());
        ssize_t n;
        if (wait_first && timed_fd == fd) {
            n = wait_and_peek(fd, buf, want, timed_fd);
        } else {
            if (wait_first)
                wait_readable(fd);
            n = ::recv(fd, buf, want, MSG_PEEK | MSG_DONTWAIT);
        }
        if (n == -1) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                // Nothing new: the wait starts afresh, as for every byte.
                wait_first = true;
                continue;
            }
            if (errno == ENOTSOCK)
                return false;
            read_failed(errno);
        }
        if (n == 0) {
            throw TransferException(I18N::i18n("travine", "Socket was closed."),
                                    "Socket::readSocket()", 4);
        }
        const char* lf = static_cast<const char*>(::memchr(buf, '\n', static_cast<size_t>(n)));
        size_t take = lf != nullptr ? static_cast<size_t>(lf - buf) + 1 : static_cast<size_t>(n);
        // The bytes are there, so this takes them at once; should anyone
        // else have taken them meanwhile, the loop simply looks again.
        ssize_t got = ::recv(fd, buf, take, MSG_DONTWAIT);
        if (got == -1) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                wait_first = false;
                continue;
            }
            read_failed(errno);
        }
        if (got == 0) {
            throw TransferException(I18N::i18n("travine", "Socket was closed."),
                                    "Socket::readSocket()", 4);
        }
        if (lf != nullptr && static_cast<size_t>(got) == take) {
            line.append(buf, take - 1);
            return true;
        }
        line.append(buf, static_cast<size_t>(got));
        if (line.size() > Socket::MAX_LINE) {
            throw TransferException(I18N::i18n("travine", "Line too long."), "Socket::readSocket()",
                                    6);
        }
        wait_first = false;
    }
}

// Sets the transcript's level (VERBOSE) and tells whether what follows at
// that level would be delivered. Every element of a statement is judged the
// same way and nothing between them can change the threshold unless one is
// delivered, so a statement whose first element would be dropped can be
// skipped whole, with its arguments left unbuilt.
bool transcript_on(Logger& log) {
    log << Logger::VERBOSE;
    return static_cast<int>(log.lvl) <= static_cast<int>(log.getVerbosity());
}

// Writes up to len bytes of buf on fd. Sockets are written with send() and
// MSG_NOSIGNAL, so a peer that has gone away yields EPIPE instead of a
// SIGPIPE that would end the host process; other descriptors (pipes,
// terminals) fall back to write().
ssize_t write_some(int fd, const char* buf, size_t len) {
    ssize_t n = ::send(fd, buf, len, MSG_NOSIGNAL);
    if (n == -1 && errno == ENOTSOCK)
        n = ::write(fd, buf, len);
    return n;
}

}  // namespace

const size_t Socket::MAX_LINE;
const int Socket::READ_TIMEOUT;

void arm_read_timeout(Socket& s) {
    s.timed_fd = -1;
    if (s.sockfd == -1)
        return;
    struct timeval tv;
    tv.tv_sec = Socket::READ_TIMEOUT;
    tv.tv_usec = 0;
    // Fails with ENOTSOCK for pipes and other descriptors that are not
    // sockets; they keep the wait by poll().
    if (::setsockopt(s.sockfd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0)
        s.timed_fd = s.sockfd;
}

void disarm_read_timeout(Socket& s) {
    if (s.sockfd != -1 && s.timed_fd == s.sockfd) {
        struct timeval tv;
        tv.tv_sec = 0;
        tv.tv_usec = 0;
        ::setsockopt(s.sockfd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    s.timed_fd = -1;
}

Socket::Socket(const std::string& peer) : Logger(), host(peer), sockfd(-1), timed_fd(-1) {}

// The adopted descriptor is given its receive time-out once, here, rather
// than at every line.
Socket::Socket(const std::string& peer, int fd) : Logger(), host(peer), sockfd(fd), timed_fd(-1) {
    arm_read_timeout(*this);
}

Socket::~Socket() {
    if (sockfd != -1)
        ::close(sockfd);
}

std::string Socket::localhost() {
    std::string result = "localhost";
    size_t buf_len = 128;
    char* buf = nullptr;
    int myerror;
    for (;;) {
        char* grown = static_cast<char*>(::realloc(buf, buf_len));
        if (grown == nullptr) {
            ::free(buf);
            return result;
        }
        buf = grown;
        myerror = ::gethostname(buf, buf_len);
        bool cut = myerror == 0 && ::memchr(buf, '\0', buf_len) == nullptr;
        bool too_long = myerror == -1 && errno == ENAMETOOLONG;
        if (!cut && !too_long)
            break;
        if (buf_len >= MAX_HOSTNAME_BUFFER) {
            myerror = -1;
            break;
        }
        buf_len *= 2;
    }
    if (myerror == 0)
        result = buf;
    ::free(buf);
    return result;
}

std::string Socket::readSocket() {
    if (sockfd == -1) {
        throw TransferException(I18N::i18n("travine", "Socket is closed."), "Socket::readSocket()",
                                5);
    }
    std::string line;
    // The descriptor bounds a blocking look only if it is the one that was
    // given the time-out (timed_fd); any other, such as one a host put in
    // sockfd itself, is waited for with poll().
    if (!PEEKING_READER || !read_peeking(sockfd, line, timed_fd))
        read_bytewise(sockfd, line);
    // The transcript costs only the level test when the threshold drops it.
    if (transcript_on(*this))
        *this << host << ":\t" << line << std::endl;
    return line;
}

void Socket::writeSocket(const std::string& data) {
    if (sockfd == -1) {
        throw TransferException(I18N::i18n("travine", "Socket is closed."), "Socket::writeSocket()",
                                2);
    }
    // A blocking descriptor takes everything in one call unless a signal
    // interrupts it after part of the data has gone; the rest is then sent
    // with further calls. A call interrupted before it wrote anything
    // (-1 with EINTR) is simply made again. An empty buffer still makes one
    // call, which succeeds with 0.
    const char* p = data.data();
    size_t remaining = data.size();
    do {
        ssize_t n = write_some(sockfd, p, remaining);
        if (n == -1) {
            if (errno == EINTR)
                continue;
            throw TransferException(std::strerror(errno), "Socket::writeSocket()", 1);
        }
        if (n == 0)
            break;
        p += n;
        remaining -= static_cast<size_t>(n);
    } while (remaining > 0);
    // The local name is looked up only when the transcript is delivered.
    if (transcript_on(*this))
        *this << localhost() << ":\t" << data;
}
