// Internal to the library (not installed): the receive time-out that lets
// the plain line reader wait for data and look at it in one call.
#ifndef TRAVINE_SOCKET_TIMEOUT_H
#define TRAVINE_SOCKET_TIMEOUT_H

class Socket;

// The seconds a plain read of s waits before each byte: the time-out set
// with setTimeout(), or Socket::READ_TIMEOUT by default.
int read_wait_seconds(const Socket& s);

// The milliseconds that any other wait of s (connecting, the TLS route,
// writing) may last without progress, or -1 for no limit (the default).
int idle_wait_ms(const Socket& s);

// Gives s.sockfd a receive time-out (SO_RCVTIMEO) of read_wait_seconds(s)
// seconds and records it, so that readSocket() may wait with a blocking
// look. When the option cannot be set (no descriptor, not a socket, any
// other failure) nothing is recorded and the reader waits with poll()
// instead. Called once per descriptor, by whoever puts it in sockfd, and
// again by setTimeout() for a descriptor that has it.
void arm_read_timeout(Socket& s);

// Takes the receive time-out off s.sockfd again, if this library set it
// there, and forgets it: for the TLS route, which has no time-out of its
// own, and before the descriptor is closed. Failures are ignored.
void disarm_read_timeout(Socket& s);

// Whether readSocket() waits for s.sockfd with a blocking look: the
// descriptor carries the time-out this library gave it, and has not shown
// that it no longer waits as set up (made non-blocking, time-out changed).
bool read_timeout_armed(const Socket& s);

#endif
