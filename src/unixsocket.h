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
    // Releases argv; reaps the child if it has already ended (never waits).
    virtual ~UnixSocket();

    // Starts the program with the pair's other end on its standard input and
    // output. A program that cannot be started shows as the end of the
    // stream on the first read. Throws TransferException of
    // "UnixSocket::connect()": 1 socketpair() failed, 2 fork() failed
    // (system texts), 3 "No program to run." (empty argument vector).
    virtual void connect();

    // Fills argv from args: owned copies, ended by a null pointer.
    void buildArgv(const std::vector<std::string>& args);

    char** argv;
    pid_t pid;
};

#endif
