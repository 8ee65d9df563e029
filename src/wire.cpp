// What the plain and the TLS route share: writing without SIGPIPE, the
// longest line, and the transcript.
#include "wire.h"

#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

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

size_t line_room(const std::string& line) {
    return Socket::MAX_LINE - line.size();
}

bool append_to_line(std::string& line, const char* bytes, size_t n) {
    if (n > line_room(line))
        return false;
    line.append(bytes, n);
    return true;
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
