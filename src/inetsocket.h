// The TCP connector: resolves host and port and connects a stream socket.
#ifndef TRAVINE_INETSOCKET_H
#define TRAVINE_INETSOCKET_H

#include <string>

#include "sslsocket.h"
#include "travine_export.h"

class TRAVINE_EXPORT InetSocket : public SSLSocket {
public:
    InetSocket(const std::string& host, int port);
    // Adopts the already connected descriptor fd (note: descriptor first).
    InetSocket(int fd, const std::string& host, int port);
    virtual ~InetSocket();

    // Releases any previous connection (TLS objects, descriptor), resolves
    // host and port, and connects to the first IPv4 or IPv6 address, with
    // no time-out of its own unless one is set (Socket::setTimeout(); name
    // resolution keeps the resolver's own limits). Throws TransferException
    // of "InetSocket::connect()": 1 resolver text, 2 socket() failed,
    // 3 connect() failed (system texts), 4 "Socket timeout.".
    virtual void connect();

    int port;
};

#endif
