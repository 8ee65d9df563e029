// The child-process connector: a program whose standard input and output
// are one end of a socket pair.
#ifndef TRAVINE_UNIXSOCKET_H
#define TRAVINE_UNIXSOCKET_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "sslsocket.h"
#include "travine_export.h"

class TRAVINE_EXPORT UnixSocket : public SSLSocket {
public:
    // argv: the program, then its arguments.
    explicit UnixSocket(const std::vector<std::string>& argv);
    // Adopts the already connected descriptor fd.
    UnixSocket(int fd, const std::vector<std::string>& argv);
    // Closes the connection (after the TLS closing message, if TLS is up),
    // then reaps the child: it has a quarter of a second to end, then it is
    // stopped with SIGKILL and reaped. Releases argv. Leaves no zombie.
    virtual ~UnixSocket();

    // Starts the program with the pair's other end on its standard input and
    // output; a previous connection is closed and its child reaped first, as
    // on destruction. Between fork() and exec the child runs no callback and
    // allocates nothing. A program that cannot be started shows as the end
    // of the stream on the first read. Its failure ("execvp() failed: " or
    // "dup2() failed: " and the system's text) is logged at ERROR by this
    // process: to the log's own stream when it is std::cout's (which is the
    // child's standard output) as a line that the first read returns before
    // the end of the stream; to a callback or any other stream as usual.
    // Throws TransferException of "UnixSocket::connect()": 1 socketpair() or
    // pipe() failed, 2 fork() failed (system texts), 3 "No program to run."
    // (empty argument vector).
    virtual void connect();

    // Fills argv from args: owned copies, ended by a null pointer.
    void buildArgv(const std::vector<std::string>& args);

    char** argv;
    pid_t pid;
};

#endif
