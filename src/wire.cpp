// What the plain and the TLS route share: writing without SIGPIPE, taking
// lines out of the bytes received, and the transcript.
#include "wire.h"

#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

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
    log << Logger::VERBOSE;
    return static_cast<int>(log.lvl) <= static_cast<int>(log.getVerbosity());
}

}  // namespace

ssize_t send_some(int fd, const void* buf, size_t len) {
    ssize_t n = ::send(fd, buf, len, MSG_NOSIGNAL);
    if (n == -1 && errno == ENOTSOCK)
        n = ::write(fd, buf, len);
    return n;
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
    line.assign(queue, 0, end);
    queue.erase(0, end + 1);
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
