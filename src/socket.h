// The bottom of the transport stack: one connected, blocking stream
// descriptor read line by line and written buffer by buffer.
#ifndef TRAVINE_SOCKET_H
#define TRAVINE_SOCKET_H

#include <string>

#include "logger.h"
#include "travine_export.h"

class TRAVINE_EXPORT Socket : public Logger {
public:
    // The longest line readSocket() accepts, line feed excluded.
    static const size_t MAX_LINE = 1024 * 1024;
    // Seconds of silence before any byte that a read waits at most.
    static const int READ_TIMEOUT = 30;

    // No descriptor yet (sockfd is -1).
    explicit Socket(const std::string& host);
    // Adopts the already connected descriptor fd. A socket is given a
    // receive time-out (SO_RCVTIMEO) of READ_TIMEOUT seconds for the line
    // reader; the TLS handshake takes it off again.
    Socket(const std::string& host, int fd);
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    // Closes sockfd unless it is -1.
    virtual ~Socket();

    // Establishes the connection and sets sockfd.
    virtual void connect() = 0;

    // The local machine's name, or "localhost" when it cannot be had.
    std::string localhost();
    // Bounds every wait of this transport at seconds without progress:
    // connecting (InetSocket), the TLS handshake, every read (plain and TLS)
    // and every write (plain and TLS: no byte taken for that long). 0 or a
    // negative value is the default: plain reads wait READ_TIMEOUT seconds
    // before each byte and nothing else is bounded. Takes effect at the next
    // wait. An expiry throws "Socket timeout." with the index that the
    // method documents (readSocket() 2, writeSocket() 3, InetSocket::connect()
    // 4, SSLSocket::negotiate() 11, ssl_readSocket() 4, ssl_writeSocket() 3).
    // A dialogue cannot go on after one (part of a line or of a command is
    // lost or sent); over TLS every later read and write fails at once.
    void setTimeout(int seconds);
    // The setting in seconds; 0 for the default.
    int getTimeout() const;

    // Reads the next line and returns it without its line feed (a carriage
    // return before it is kept). Takes whatever has arrived in one receive;
    // bytes past the line feed stay queued in this object, in order, for the
    // next call (or, at negotiate(), for the TLS handshake). Waits at most
    // READ_TIMEOUT seconds (or the time-out set) for each receive. Throws
    // TransferException of "Socket::readSocket()": 1 wait failed (system
    // text), 2 "Socket timeout.", 3 read failed (system text),
    // 4 "Socket was closed.", 5 "Socket is closed." (no descriptor),
    // 6 "Line too long." (more than MAX_LINE bytes; MAX_LINE + 1 of them are
    // dropped). A partial line is lost.
    std::string readSocket();
    // Writes every byte of data. Throws TransferException of
    // "Socket::writeSocket()": 1 write failed (system text),
    // 2 "Socket is closed." (no descriptor), 3 "Socket timeout." (with a
    // time-out set: no byte taken for that long).
    void writeSocket(const std::string& data);

    std::string host;
    int sockfd;

private:
    // The descriptor that this library gave a receive time-out of
    // READ_TIMEOUT seconds (when it adopted or opened it), or -1. While it
    // equals sockfd, readSocket() waits and looks in one call; a descriptor
    // put in sockfd by other means differs from it and is waited for with
    // poll(), so every wait stays bounded. Kept by the functions of the
    // library's internal socket_timeout.h.
    int timed_fd;
    // What setTimeout() set: seconds, or 0 for the default.
    int idle_timeout;
    // Bytes received past the last line returned, in order; taken by the
    // next read (plain or, once negotiated, decrypted) or by the handshake.
    std::string received;

    friend class SSLSocket;
    friend void arm_read_timeout(Socket& s);
    friend void disarm_read_timeout(Socket& s);
    friend bool read_timeout_armed(const Socket& s);
};

#endif
