// Internal to the library (not installed): the descriptor BIO that TLS
// connections run over.
#ifndef TRAVINE_FD_BIO_H
#define TRAVINE_FD_BIO_H

#include <string>

typedef struct bio_st BIO;
class Socket;

// A BIO over fd, or null when OpenSSL cannot make one. OpenSSL's own socket
// BIO writes with write(), so a close_notify from the destructor, an alert,
// or any TLS record sent to a peer that has gone away would raise SIGPIPE
// and end the host process. This one writes as the plain route does
// (wire::send_some), so such writes fail with EPIPE and become ordinary
// errors; descriptors that are not sockets are read with read(). It never
// closes fd (the socket owns it) and touches nothing process-wide (signal
// mask or disposition). The method table is made once and lives as long as
// the process. Every read and write waits at most as long as owner's
// time-out allows (idle_wait_ms(), read at each call); once a wait has run
// out, every further read and write fails at once (-1, errno ETIMEDOUT,
// no retry) and fd_bio_timed_out() tells so.
BIO* new_fd_bio(int fd, const Socket& owner);

// Whether a wait of bio (made by new_fd_bio()) ran out.
bool fd_bio_timed_out(BIO* bio);

// Makes the next reads of bio (made by new_fd_bio()) return bytes first,
// before anything its descriptor gives.
void fd_bio_queue(BIO* bio, const std::string& bytes);

#endif
