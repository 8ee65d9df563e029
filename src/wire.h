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

// What send_within() and recv_within() return when their wait ran out.
const ssize_t TIMED_OUT = -2;

// seconds as milliseconds for poll(), capped at what an int holds.
int milliseconds(int seconds);

// Waits until fd is ready for events (POLLIN, POLLOUT) or shows an error or
// a hang-up, at most ms milliseconds (-1: without limit). Returns 1 then,
// 0 when the time ran out, -1 with errno set when the wait failed (EBADF
// for a descriptor that is not open).
int wait_for(int fd, short events, int ms);

// Like send_some(), but with ms 0 or more it never blocks for longer than
// ms milliseconds without progress: it waits for room, then sends what fits
// at once (a descriptor that is not a socket: at most PIPE_BUF bytes).
// Returns the bytes sent, -1 with errno set, or TIMED_OUT.
ssize_t send_within(int fd, const void* buf, size_t len, int ms);
// Reads up to len bytes of fd into buf the same way: with ms -1 as a
// blocking recv() (read() for a descriptor that is not a socket), else
// after waiting at most ms milliseconds for data. Returns the bytes read, 0
// at the end of the stream, -1 with errno set, or TIMED_OUT.
ssize_t recv_within(int fd, void* buf, size_t len, int ms);

// What take_line() found at the front of a queue of received bytes.
enum class Take {
    LINE,      // a whole line, now taken out of the queue
    MORE,      // no line feed yet: more bytes must be received
    TOO_LONG,  // the line passes Socket::MAX_LINE: MAX_LINE + 1 bytes dropped
};
// Takes the first line out of queue into line, without its line feed. The
// first *scanned bytes of queue are known to hold no line feed (start at 0;
// it is kept up to date, so that every byte is looked at once per line).
Take take_line(std::string& queue, size_t& scanned, std::string& line);

// The next line of queue, without its line feed: receive() appends more
// bytes to queue until a whole line is there; too_long() throws for a line
// past Socket::MAX_LINE. A receive that throws loses the part of the line
// received so far (all that queue holds then).
template <class Receive, class TooLong>
std::string next_line(std::string& queue, Receive receive, TooLong too_long) {
    std::string line;
    for (size_t scanned = 0;;) {
        const Take got = take_line(queue, scanned, line);
        if (got == Take::LINE)
            return line;
        if (got == Take::TOO_LONG)
            too_long();
        try {
            receive();
        } catch (...) {
            queue.clear();
            throw;
        }
    }
}

// The transcript at VERBOSE: a line read is logged as s.host, ":\t", the
// line and an end of line; a buffer written as the local machine's name,
// ":\t" and the buffer as it is. A statement the threshold drops costs
// only the level test (the local name is not even looked up).
void log_received(Socket& s, const std::string& line);
void log_sent(Socket& s, const std::string& data);

}  // namespace wire

#endif
