// Internal to the library (not installed): the receive time-out that lets
// the plain line reader wait for data and look at it in one call.
#ifndef TRAVINE_SOCKET_TIMEOUT_H
#define TRAVINE_SOCKET_TIMEOUT_H

class Socket;

// Gives s.sockfd a receive time-out (SO_RCVTIMEO) of Socket::READ_TIMEOUT
// seconds and records it in s.timed_fd, so that readSocket() may wait with
// a blocking look. When the option cannot be set (no descriptor, not a
// socket, any other failure) s.timed_fd becomes -1 and the reader waits
// with poll() instead. Called once per descriptor, by whoever puts it in
// sockfd.
__attribute__((visibility("hidden"))) void arm_read_timeout(Socket& s);

// Takes the receive time-out off s.sockfd again, if this library set it
// there, and sets s.timed_fd to -1: for the TLS route, which has no
// time-out of its own. Failures are ignored.
__attribute__((visibility("hidden"))) void disarm_read_timeout(Socket& s);

#endif
