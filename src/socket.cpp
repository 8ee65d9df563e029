// Line transport over one connected, blocking stream descriptor.
#include "socket.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <new>
#include <string>

#include "exception.h"
#include "i18n.h"
#include "socket_timeout.h"
#include "wire.h"

namespace {

const char* const READ_SOCKET = "Socket::readSocket()";
const char* const WRITE_SOCKET = "Socket::writeSocket()";

// gethostname() never needs more than this; past it we give up.
const size_t MAX_HOSTNAME_BUFFER = 64 * 1024;

// The most one receive takes in: a few whole replies.
const size_t RECEIVE_CHUNK = 4096;

// A receive time-out may end a little before its nominal length, by the
// kernel's timer granularity; a receive that gave up this close to
// its wait counts as timed out.
const std::chrono::milliseconds TIMEOUT_SLACK(500);

// Throw the failures of readSocket(): with our own text, with the system's
// text for err, and for a failed receive, where a descriptor that is not
// open fails as the wait for it would have (1), anything else as a read (3).
[[noreturn]] void read_error(const char* text, u32 index) {
    throw TransferException(I18N::i18n("travine", text), READ_SOCKET, index);
}
[[noreturn]] void read_errno(int err, u32 index) {
    throw TransferException(std::strerror(err), READ_SOCKET, index);
}
[[noreturn]] void receive_failed(int err) {
    read_errno(err, err == EBADF ? 1 : 3);
}

// Waits until fd has something to read (data, end of stream or an error),
// at most seconds. poll() rather than select(): it takes descriptors of any
// number. An interrupted wait (EINTR) is not retried.
void wait_readable(int fd, int seconds) {
    struct pollfd pfd;
    pfd.fd = fd;
    pfd.events = POLLIN;
    pfd.revents = 0;
    int ready = ::poll(&pfd, 1, wire::milliseconds(seconds));
    if (ready == -1)
        read_errno(errno, 1);
    if (ready == 0)
        read_error("Socket timeout.", 2);
    // A descriptor that is not open fails the wait, as select() would.
    if (pfd.revents & POLLNVAL)
        read_errno(EBADF, 1);
}

// A blocking receive on fd, bounded by the receive time-out that fd was
// given: it waits and takes what has arrived in one call. Returns the
// receive's result; -1 with errno set for failures the caller handles alike
// on both routes. Sets timed_fd to -1, and returns -1 with EAGAIN so that the
// caller waits with poll() from now on, when the receive gave up well before
// seconds: fd does not wait as it was set up to (it was made
// non-blocking, or its time-out was changed).
ssize_t wait_and_receive(int fd, char* buf, size_t want, int& timed_fd, int seconds) {
    auto start = std::chrono::steady_clock::now();
    ssize_t n = ::recv(fd, buf, want, 0);
    if (n != -1)
        return n;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
        auto waited = std::chrono::steady_clock::now() - start;
        if (waited >= std::chrono::seconds(seconds) - TIMEOUT_SLACK)
            read_error("Socket timeout.", 2);
        timed_fd = -1;
        errno = EAGAIN;
        return -1;
    }
    // An interrupted wait (EINTR) is not retried: it fails as a failed wait.
    if (errno == EINTR)
        read_errno(errno, 1);
    return -1;
}

// Appends to queue what has arrived on fd, waiting for it first: by a
// blocking receive while timed_fd is fd, else by poll(). Descriptors that are
// not sockets (pipes) are read with read().
void receive(int fd, std::string& queue, int& timed_fd, int seconds) {
    char buf[RECEIVE_CHUNK];
    for (;;) {
        ssize_t n;
        if (timed_fd == fd) {
            n = wait_and_receive(fd, buf, sizeof buf, timed_fd, seconds);
        } else {
            wait_readable(fd, seconds);
            n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n == -1 && errno == ENOTSOCK)
                n = ::read(fd, buf, sizeof buf);
        }
        if (n == -1) {
            // Nothing after all: the wait starts afresh.
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                continue;
            receive_failed(errno);
        }
        if (n == 0)
            read_error("Socket was closed.", 4);
        queue.append(buf, static_cast<size_t>(n));
        return;
    }
}

int set_receive_timeout(int fd, int seconds) {
    struct timeval tv;
    tv.tv_sec = seconds;
    tv.tv_usec = 0;
    return ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

}  // namespace

const size_t Socket::MAX_LINE;
const int Socket::READ_TIMEOUT;

int read_wait_seconds(const Socket& s) {
    return s.getTimeout() > 0 ? s.getTimeout() : Socket::READ_TIMEOUT;
}

int idle_wait_ms(const Socket& s) {
    return s.getTimeout() > 0 ? wire::milliseconds(s.getTimeout()) : -1;
}

void arm_read_timeout(Socket& s) {
    s.timed_fd = -1;
    if (s.sockfd == -1)
        return;
    // Fails with ENOTSOCK for pipes and other descriptors that are not
    // sockets; they keep the wait by poll().
    if (set_receive_timeout(s.sockfd, read_wait_seconds(s)) == 0)
        s.timed_fd = s.sockfd;
}

void disarm_read_timeout(Socket& s) {
    if (read_timeout_armed(s))
        set_receive_timeout(s.sockfd, 0);
    s.timed_fd = -1;
}

bool read_timeout_armed(const Socket& s) {
    return s.sockfd != -1 && s.timed_fd == s.sockfd;
}

Socket::Socket(const std::string& peer)
    : Logger(), host(peer), sockfd(-1), timed_fd(-1), idle_timeout(0) {}

// The adopted descriptor is given its receive time-out once, here, rather
// than at every line.
Socket::Socket(const std::string& peer, int fd)
    : Logger(), host(peer), sockfd(fd), timed_fd(-1), idle_timeout(0) {
    arm_read_timeout(*this);
}

Socket::~Socket() {
    if (sockfd != -1)
        ::close(sockfd);
}

void Socket::setTimeout(int seconds) {
    idle_timeout = seconds > 0 ? seconds : 0;
    // A descriptor that waits by its receive time-out gets the new one.
    if (read_timeout_armed(*this))
        arm_read_timeout(*this);
}

int Socket::getTimeout() const {
    return idle_timeout;
}

std::string Socket::localhost() {
    std::string buf;
    for (size_t len = 128;; len *= 2) {
        try {
            buf.resize(len);
        } catch (const std::bad_alloc&) {
            return "localhost";
        }
        int myerror = ::gethostname(&buf[0], len);
        bool cut = myerror == 0 && ::memchr(buf.data(), '\0', len) == nullptr;
        bool too_long = myerror == -1 && errno == ENAMETOOLONG;
        if (!cut && !too_long)
            return myerror == 0 ? std::string(buf.c_str()) : "localhost";
        if (len >= MAX_HOSTNAME_BUFFER)
            return "localhost";
    }
}

std::string Socket::readSocket() {
    if (sockfd == -1)
        read_error("Socket is closed.", 5);
    // Only the descriptor that was given the time-out is waited for by a
    // blocking receive; any other, such as one a host put in sockfd itself,
    // is waited for with poll().
    const int seconds = read_wait_seconds(*this);
    const std::string line = wire::next_line(
        received, [&] { receive(sockfd, received, timed_fd, seconds); },
        [] { read_error("Line too long.", 6); });
    wire::log_received(*this, line);
    return line;
}

void Socket::writeSocket(const std::string& data) {
    if (sockfd == -1) {
        throw TransferException(I18N::i18n("travine", "Socket is closed."), WRITE_SOCKET, 2);
    }
    // A blocking descriptor takes everything in one call unless a signal
    // interrupts it after part of the data has gone (or, with a time-out,
    // the wait for room ends); the rest is then sent with further calls. A
    // call interrupted before it wrote anything (-1 with EINTR) is simply
    // made again. An empty buffer still makes one call, which succeeds with 0.
    const char* p = data.data();
    size_t remaining = data.size();
    const int wait_ms = idle_wait_ms(*this);
    do {
        ssize_t n = wire::send_within(sockfd, p, remaining, wait_ms);
        if (n == wire::TIMED_OUT) {
            throw TransferException(I18N::i18n("travine", "Socket timeout."), WRITE_SOCKET, 3);
        }
        if (n == -1) {
            if (errno == EINTR)
                continue;
            throw TransferException(std::strerror(errno), WRITE_SOCKET, 1);
        }
        if (n == 0)
            break;
        p += n;
        remaining -= static_cast<size_t>(n);
    } while (remaining > 0);
    wire::log_sent(*this, data);
}
