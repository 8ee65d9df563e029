// TLS negotiated in place on a socket's descriptor; plain I/O until then.
#ifndef TRAVINE_SSLSOCKET_H
#define TRAVINE_SSLSOCKET_H

#include <string>

#include "socket.h"
#include "travine_export.h"

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

class TRAVINE_EXPORT SSLSocket : public Socket {
public:
    enum SSL_OPTS { VERIFY_PEER = 0, VERIFY_NONE = 1 };

    explicit SSLSocket(const std::string& host);
    SSLSocket(const std::string& host, int fd);
    // Shuts TLS down without waiting for the peer, frees the TLS objects;
    // the base then closes the descriptor.
    virtual ~SSLSocket();

    // One line: over TLS once negotiated, else Socket::readSocket().
    std::string readSocket();
    // One buffer: over TLS once negotiated, else Socket::writeSocket().
    void writeSocket(const std::string& data);

    // The TLS client handshake on sockfd. Verifies the certificate chain
    // against ca_file / ca_dir only when verification is on; sends no server
    // name and does not compare the certificate's names with host. A second
    // call first releases the previous TLS objects. Throws, with method
    // "SSLSocket::negotiate()": SSLException 1 context, 2 connection,
    // 3 loading CA locations, 4 handshake, 5 verification, 6 "Socket is
    // closed."; IOException 7/8 ca_file missing/unreadable, 9/10 ca_dir
    // missing/unreadable ("$0 does not exist.", "$0 is not readable.").
    void negotiate();
    // VERIFY_PEER turns verification on, VERIFY_NONE off; other values
    // change nothing.
    void setSSLOpts(SSL_OPTS opts);
    // CA file and CA directory for the next negotiate(); empty means unused.
    void setVerifyLocations(const std::string& ca_file, const std::string& ca_dir);

    // Internal steps.
    // One line over TLS, without its line feed (a carriage return before it
    // is kept); reads up to a record at a time and keeps what passes the
    // line queued for the next call. No time-out of its own. Throws SSLException of
    // "SSLSocket::ssl_readSocket()": 1 the read failed or the connection
    // ended (OpenSSL or system text, "Socket was closed."), 2 "Socket is
    // closed." (no descriptor), 3 "Line too long." (more than
    // Socket::MAX_LINE bytes). A partial line is lost.
    std::string ssl_readSocket();
    void ssl_writeSocket(const std::string& data);
    int ssl_read(SSL* ssl, void* buf, int num);
    int ssl_write(SSL* ssl, const void* buf, int num);
    int ssl_connect(SSL* ssl);
    std::string ssl_error(int ret);
    void dumpSSLInfo();
    // Frees the TLS objects, sets negotiated to false, drops the bytes
    // queued for reading and closes sockfd.
    void close_connection();
    // Frees the TLS objects and sets negotiated to false; sockfd stays.
    void free_tls();

    SSL_CTX* ctx;
    SSL* ssl;
    bool negotiated;
    int verify;
    std::string ca_file;
    std::string ca_dir;
};

#endif
