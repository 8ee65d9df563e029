// Internal to the library (not installed): what the plain route (Socket)
// and the TLS route (SSLSocket) share on the wire and in the transcript.
#ifndef TRAVINE_WIRE_H
#define TRAVINE_WIRE_H

#include <sys/types.h>

#include <cstddef>
#include <string>

class Socket;

namespace wire {

// Writes up to len bytes of buf on fd and returns what the system call
// returned. Sockets are written with send() and MSG_NOSIGNAL, so a peer
// that has gone away yields EPIPE instead of a SIGPIPE that would end the
// host process; other descriptors (pipes, terminals) fall back to write().
ssize_t send_some(int fd, const void* buf, size_t len);

// The longest line: Socket::MAX_LINE bytes, line feed excluded. A line
// grows only by append_to_line(), which never lets it pass that length.
// How many more bytes line may take.
size_t line_room(const std::string& line);
// Appends n bytes of bytes to line; returns false, leaving line as it
// was, when that would make it too long.
bool append_to_line(std::string& line, const char* bytes, size_t n);

// The transcript at VERBOSE: a line read is logged as s.host, ":\t", the
// line and an end of line; a buffer written as the local machine's name,
// ":\t" and the buffer as it is. A statement the threshold drops costs
// only the level test (the local name is not even looked up).
void log_received(Socket& s, const std::string& line);
void log_sent(Socket& s, const std::string& data);

}  // namespace wire

#endif
