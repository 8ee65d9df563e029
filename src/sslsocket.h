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
    // VERIFY_PEER: the certificate chain is verified against the CA file and
    // directory given (none given: nothing verifies). VERIFY_NONE: nothing is
    // verified. VERIFY_HOST: the chain is verified as with VERIFY_PEER, or
    // against the system's default trust store when neither CA file nor CA
    // directory is given; the certificate must be for host (a DNS name by
    // the usual wildcard rules, whole labels only; an IPv4 or IPv6 literal
    // against the certificate's IP addresses only); a DNS name is sent as
    // the server name (SNI); TLS 1.2 is the lowest version accepted.
    enum SSL_OPTS { VERIFY_PEER = 0, VERIFY_NONE = 1, VERIFY_HOST = 2 };

    explicit SSLSocket(const std::string& host);
    SSLSocket(const std::string& host, int fd);
    // Shuts TLS down without waiting for the peer, frees the TLS objects;
    // the base then closes the descriptor.
    virtual ~SSLSocket();

    // One line: over TLS once negotiated, else Socket::readSocket().
    std::string readSocket();
    // One buffer: over TLS once negotiated, else Socket::writeSocket().
    void writeSocket(const std::string& data);

    // The TLS client handshake on sockfd, verifying as setSSLOpts() chose.
    // A second call first releases the previous TLS objects. Throws, with
    // method "SSLSocket::negotiate()": SSLException 1 context, 2 connection,
    // 3 loading CA locations (or the default trust store), 4 handshake
    // (OpenSSL's text; a certificate that does not verify or, with
    // VERIFY_HOST, is not for host fails here), 5 verification, 6 "Socket is
    // closed.", 11 "Socket timeout." (with a time-out set by
    // Socket::setTimeout()), 12 "$0 cannot be checked against a
    // certificate." (VERIFY_HOST with a host, $0, that cannot be a
    // certificate's name, such as an empty one); IOException 7/8 ca_file
    // missing/unreadable, 9/10 ca_dir missing/unreadable ("$0 does not
    // exist.", "$0 is not readable.").
    void negotiate();
    // Chooses the verification (SSL_OPTS above); other values change
    // nothing.
    void setSSLOpts(SSL_OPTS opts);
    // CA file and CA directory for the next negotiate(); empty means unused.
    void setVerifyLocations(const std::string& ca_file, const std::string& ca_dir);

    // Internal steps.
    // One line over TLS, without its line feed (a carriage return before it
    // is kept); reads up to a record at a time and keeps what passes the
    // line queued for the next call. No time-out unless one is set. Throws SSLException of
    // "SSLSocket::ssl_readSocket()": 1 the read failed or the connection
    // ended (OpenSSL or system text, "Socket was closed."), 2 "Socket is
    // closed." (no descriptor), 3 "Line too long." (more than
    // Socket::MAX_LINE bytes), 4 "Socket timeout.". A partial line is lost.
    std::string ssl_readSocket();
    // One buffer over TLS. Throws SSLException of
    // "SSLSocket::ssl_writeSocket()": 1 the write failed (OpenSSL or system
    // text), 2 "Socket is closed.", 3 "Socket timeout.".
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

private:
    // VERIFY_HOST was chosen: with verify on, the certificate must be for
    // host, and the default trust store stands in for missing CA locations.
    bool check_host;
};

#endif
