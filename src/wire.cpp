// What the plain and the TLS route share: writing without SIGPIPE, taking
// lines out of the bytes received, and the transcript.
#include "wire.h"

#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ostream>

#include "socket.h"

namespace wire {

namespace {

// Sets the transcript's level (VERBOSE) and tells whether what follows at
// that level would be delivered. Every element of a statement is judged the
// same way and nothing between them can change the threshold unless one is
// delivered, so a statement whose first element would be dropped can be
// skipped whole, with its arguments left unbuilt.
bool transcript_on(Logger& log) {
    // Setting the level takes the parent chain's threshold in (sync()), so
    // the threshold is read as it stands.
    log << Logger::VERBOSE;
    return static_cast<int>(log.lvl) <= static_cast<int>(log.verbosity);
}

}  // namespace

ssize_t send_some(int fd, const void* buf, size_t len) {
    ssize_t n = ::send(fd, buf, len, MSG_NOSIGNAL);
    if (n == -1 && errno == ENOTSOCK)
        n = ::write(fd, buf, len);
    return n;
}

int milliseconds(int seconds) {
    return seconds > INT_MAX / 1000 ? INT_MAX : seconds * 1000;
}

int wait_for(int fd, short events, int ms) {
    struct pollfd pfd;
    pfd.fd = fd;
    pfd.events = events;
    pfd.revents = 0;
    int ready = ::poll(&pfd, 1, ms);
    if (ready == 1 && (pfd.revents & POLLNVAL)) {
        errno = EBADF;
        return -1;
    }
    return ready;
}

namespace {

// Runs io, which must not block, each time fd is ready for events, until it
// makes progress or fails otherwise than with EAGAIN; waits at most ms
// milliseconds in all for that.
template <class Io>
ssize_t within(int fd, short events, int ms, Io io) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        int ready = wait_for(fd, events, static_cast<int>(std::max<long long>(left.count(), 0)));
        if (ready == 0)
            return TIMED_OUT;
        if (ready == -1)
            return -1;
        ssize_t n = io();
        if (n != -1 || (errno != EAGAIN && errno != EWOULDBLOCK))
            return n;
    }
}

}  // namespace

ssize_t send_within(int fd, const void* buf, size_t len, int ms) {
    if (ms < 0 || len == 0)
        return send_some(fd, buf, len);
    return within(fd, POLLOUT, ms, [&] {
        ssize_t n = ::send(fd, buf, len, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n == -1 && errno == ENOTSOCK)
            n = ::write(fd, buf, std::min(len, static_cast<size_t>(PIPE_BUF)));
        return n;
    });
}

ssize_t recv_within(int fd, void* buf, size_t len, int ms) {
    auto take = [&](int flags) {
        ssize_t n = ::recv(fd, buf, len, flags);
        if (n == -1 && errno == ENOTSOCK)
            n = ::read(fd, buf, len);
        return n;
    };
    if (ms < 0)
        return take(0);
    return within(fd, POLLIN, ms, [&] { return take(MSG_DONTWAIT); });
}

Take take_line(std::string& queue, size_t& scanned, std::string& line) {
    const char* lf =
        static_cast<const char*>(std::memchr(queue.data() + scanned, '\n', queue.size() - scanned));
    const size_t end = lf != nullptr ? static_cast<size_t>(lf - queue.data()) : queue.size();
    if (end > Socket::MAX_LINE) {
        queue.erase(0, Socket::MAX_LINE + 1);
        scanned = 0;
        return Take::TOO_LONG;
    }
    if (lf == nullptr) {
        scanned = end;
        return Take::MORE;
    }
    line.assign(queue.data(), end);
    // Mostly the line is all that arrived.
    if (end + 1 == queue.size()) {
        queue.clear();
    } else {
        queue.erase(0, end + 1);
    }
    scanned = 0;
    return Take::LINE;
}

void log_received(Socket& s, const std::string& line) {
    if (transcript_on(s))
        s << s.host << ":\t" << line << std::endl;
}

void log_sent(Socket& s, const std::string& data) {
    if (transcript_on(s))
        s << s.localhost() << ":\t" << data;
}

}  // namespace wire
