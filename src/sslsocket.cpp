// TLS client negotiated in place on a socket's descriptor.
#include "sslsocket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <memory>
#include <string>

#include "exception.h"
#include "fd_bio.h"
#include "i18n.h"
#include "openssl_loader.h"
#include "socket_timeout.h"
#include "tls_certificate.h"
#include "wire.h"

namespace {

using tls_certificate::Certificate;

const char* const NEGOTIATE = "SSLSocket::negotiate()";
const char* const SSL_READ_SOCKET = "SSLSocket::ssl_readSocket()";
const char* const SSL_WRITE_SOCKET = "SSLSocket::ssl_writeSocket()";

// What ssl_error() is given where no I/O result is at hand (making the
// context or the connection, loading the CA locations, verification): a
// positive value, for which SSL_get_error() reports SSL_ERROR_NONE, so the
// text is that of the earliest error in OpenSSL's queue.
const int NO_IO_RESULT = 65536;

// The most plain text one TLS record carries.
const int TLS_RECORD = 16384;

bool wants_more_io(int err) {
    return err == SSL_ERROR_WANT_WRITE || err == SSL_ERROR_WANT_READ ||
           err == SSL_ERROR_WANT_CONNECT || err == SSL_ERROR_WANT_X509_LOOKUP;
}

// Runs call for as long as OpenSSL asks for more I/O on the socket's
// connection, without limit, logging notice at ERROR and sleeping 100
// microseconds before each repetition. The error queue is cleared before
// every attempt, so that SSL_get_error() and ssl_error() see only what this
// attempt left; errno of the last attempt is kept for ssl_error().
// Empties OpenSSL's error queue. Looking first is cheaper than clearing
// a queue that is empty already, as it mostly is here.
void clear_errors() {
    if (ERR_peek_error() != 0)
        ERR_clear_error();
}

template <class Call>
int retry_while_wanting_io(SSLSocket& socket, const char* notice, Call call) {
    clear_errors();
    int ret = call();
    int err = errno;
    while (wants_more_io(SSL_get_error(socket.ssl, ret))) {
        socket << Logger::ERROR << I18N::i18n("travine", notice);
        clear_errors();
        ret = call();
        err = errno;
        ::usleep(100);
    }
    errno = err;
    return ret;
}

// Throws the time-out of method (an SSLException "Socket timeout." with
// index), leaving OpenSSL's error queue empty.
[[noreturn]] void timed_out(const char* method, u32 index) {
    ERR_clear_error();
    throw SSLException(I18N::i18n("travine", "Socket timeout."), method, index);
}

// Throws IOException of negotiate() when path does not exist (index
// missing) or cannot be read (index missing + 1).
void check_readable(const std::string& path, u32 missing) {
    if (::access(path.c_str(), F_OK) != 0) {
        throw IOException(I18N::i18n("travine", "$0 does not exist.", path), NEGOTIATE, missing);
    }
    if (::access(path.c_str(), R_OK) != 0) {
        throw IOException(I18N::i18n("travine", "$0 is not readable.", path), NEGOTIATE,
                          missing + 1);
    }
}

// Makes conn expect a certificate for host: an IPv4 literal (in any form the
// resolver takes, such as 127.1) or an IPv6 literal (a zone after '%'
// dropped) among the certificate's IP addresses only; anything else as a
// DNS name, whole labels only (no partial wildcards such as f*.example),
// sent as the server name. A final dot of a name is dropped. Returns false
// when host cannot be a certificate's name.
bool expect_host(SSL* conn, const std::string& host) {
    const std::string ip6 = host.substr(0, host.find('%'));
    struct in_addr v4;
    struct in6_addr v6;
    char text[INET6_ADDRSTRLEN];
    const char* ip = nullptr;
    if (host.find_first_not_of("0123456789abcdefABCDEFxX.") == std::string::npos &&
        ::inet_aton(host.c_str(), &v4) != 0) {
        ip = ::inet_ntop(AF_INET, &v4, text, sizeof text);
    } else if (::inet_pton(AF_INET6, ip6.c_str(), &v6) == 1) {
        ip = ip6.c_str();
    }
    if (ip != nullptr)
        return X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(conn), ip) == 1;
    std::string name = host;
    if (!name.empty() && name.back() == '.')
        name.pop_back();
    // set1_host() takes an empty name as "no check at all".
    if (name.empty() || name.find('\0') != std::string::npos)
        return false;
    SSL_set_hostflags(conn, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    return SSL_set1_host(conn, name.c_str()) == 1 &&
           SSL_set_tlsext_host_name(conn, name.c_str()) == 1;
}

}  // namespace

// OpenSSL is initialised by negotiate(), before anything of it is used: a
// plain session never pays for loading its error texts.
SSLSocket::SSLSocket(const std::string& peer)
    : Socket(peer), ctx(nullptr), ssl(nullptr), negotiated(false), verify(1), check_host(false) {}

SSLSocket::SSLSocket(const std::string& peer, int fd)
    : Socket(peer, fd),
      ctx(nullptr),
      ssl(nullptr),
      negotiated(false),
      verify(1),
      check_host(false) {}

SSLSocket::~SSLSocket() {
    // One closing message, without waiting for the peer's. A connection
    // whose handshake never completed has nothing to close.
    if (ssl != nullptr && SSL_is_init_finished(ssl))
        SSL_shutdown(ssl);
    // OpenSSL's error queue is left alone where TLS never started: touching
    // it sets the queue up, a cost a plain session does not pay.
    const bool used_tls = ssl != nullptr || ctx != nullptr;
    free_tls();
    if (used_tls)
        ERR_clear_error();
}

std::string SSLSocket::readSocket() {
    if (negotiated)
        return ssl_readSocket();
    return Socket::readSocket();
}

void SSLSocket::writeSocket(const std::string& data) {
    if (negotiated) {
        ssl_writeSocket(data);
    } else {
        Socket::writeSocket(data);
    }
}

void SSLSocket::negotiate() {
    if (sockfd == -1) {
        throw SSLException(I18N::i18n("travine", "Socket is closed."), NEGOTIATE, 6);
    }
    // The certificate must be for host only with verification on.
    const bool host_checked = check_host && verify != 0;
    // OpenSSL itself, then its error texts, once per process (later calls
    // return at once); OpenSSL would set up the rest on first use by itself.
    // Without OpenSSL, the loader's text stands for its error text.
    if (const char* missing = openssl_loader::load())
        throw SSLException(missing, NEGOTIATE, 1);
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    // A repeated handshake starts from fresh TLS objects.
    free_tls();
    ERR_clear_error();

    ctx = SSL_CTX_new(TLS_client_method());
    if (ctx == nullptr)
        throw SSLException(ssl_error(NO_IO_RESULT), NEGOTIATE, 1);
    ssl = SSL_new(ctx);
    if (ssl == nullptr)
        throw SSLException(ssl_error(NO_IO_RESULT), NEGOTIATE, 2);

    if (!ca_file.empty() || !ca_dir.empty()) {
        if (!ca_file.empty())
            check_readable(ca_file, 7);
        if (!ca_dir.empty())
            check_readable(ca_dir, 9);
        const char* file = ca_file.empty() ? nullptr : ca_file.c_str();
        const char* dir = ca_dir.empty() ? nullptr : ca_dir.c_str();
        if (SSL_CTX_load_verify_locations(ctx, file, dir) != 1) {
            throw SSLException(ssl_error(NO_IO_RESULT), NEGOTIATE, 3);
        }
    } else if (host_checked && SSL_CTX_set_default_verify_paths(ctx) != 1) {
        throw SSLException(ssl_error(NO_IO_RESULT), NEGOTIATE, 3);
    }
    if (host_checked) {
        if (SSL_set_min_proto_version(ssl, TLS1_2_VERSION) != 1)
            throw SSLException(ssl_error(NO_IO_RESULT), NEGOTIATE, 2);
        if (!expect_host(ssl, host)) {
            ERR_clear_error();
            throw SSLException(
                I18N::i18n("travine", "$0 cannot be checked against a certificate.", host),
                NEGOTIATE, 12);
        }
    }

    SSL_set_verify(ssl, verify, nullptr);
    // Records are read whole, with what has arrived behind them, instead of
    // a header and then a body: one receive per reply.
    SSL_set_read_ahead(ssl, 1);
    BIO* bio = new_fd_bio(sockfd, *this);
    // Failing to make the BIO is a failure to make the connection object.
    if (bio == nullptr)
        throw SSLException(ssl_error(NO_IO_RESULT), NEGOTIATE, 2);
    SSL_set_bio(ssl, bio, bio);
    // Bytes that arrived behind the last plain line are the first the
    // handshake reads, as if they were still in the descriptor.
    fd_bio_queue(bio, received);
    received.clear();

    // The TLS route waits as long as the descriptor blocks: the receive
    // time-out of the plain route comes off before the first TLS byte, or a
    // silent peer would make every read want more I/O again, without end.
    // Should the handshake fail, the plain route then waits with poll().
    disarm_read_timeout(*this);
    int ret = ssl_connect(ssl);
    if (ret <= 0) {
        if (fd_bio_timed_out(bio))
            timed_out(NEGOTIATE, 11);
        throw SSLException(ssl_error(ret), NEGOTIATE, 4);
    }

    if (verify != 0) {
        Certificate cert(SSL_get1_peer_certificate(ssl));
        if (SSL_get_verify_result(ssl) != X509_V_OK || cert == nullptr)
            throw SSLException(ssl_error(NO_IO_RESULT), NEGOTIATE, 5);
    }

    dumpSSLInfo();
    negotiated = true;
}

void SSLSocket::setSSLOpts(SSL_OPTS opts) {
    switch (opts) {
        case VERIFY_PEER:
            verify = SSL_VERIFY_PEER;
            check_host = false;
            break;
        case VERIFY_NONE:
            verify = SSL_VERIFY_NONE;
            check_host = false;
            break;
        case VERIFY_HOST:
            verify = SSL_VERIFY_PEER;
            check_host = true;
            break;
        default:
            break;
    }
}

void SSLSocket::setVerifyLocations(const std::string& file, const std::string& dir) {
    ca_file = file;
    ca_dir = dir;
}

std::string SSLSocket::ssl_readSocket() {
    if (sockfd == -1) {
        throw SSLException(I18N::i18n("travine", "Socket is closed."), SSL_READ_SOCKET, 2);
    }
    const std::string line = wire::next_line(
        received,
        [&] {
            // As much as a record holds; what passes the line stays queued.
            char buf[TLS_RECORD];
            int ret = ssl_read(ssl, buf, sizeof buf);
            if (ret <= 0) {
                if (fd_bio_timed_out(SSL_get_rbio(ssl)))
                    timed_out(SSL_READ_SOCKET, 4);
                throw SSLException(ssl_error(ret), SSL_READ_SOCKET, 1);
            }
            received.append(buf, static_cast<size_t>(ret));
        },
        [] { throw SSLException(I18N::i18n("travine", "Line too long."), SSL_READ_SOCKET, 3); });
    wire::log_received(*this, line);
    return line;
}

void SSLSocket::ssl_writeSocket(const std::string& data) {
    if (sockfd == -1) {
        throw SSLException(I18N::i18n("travine", "Socket is closed."), SSL_WRITE_SOCKET, 2);
    }
    // SSL_write() of nothing reports 0, which would read as a closed
    // connection; an empty buffer succeeds without a record, as on the
    // plain route. Otherwise one call writes the whole buffer.
    if (!data.empty()) {
        int ret = ssl_write(ssl, data.data(), static_cast<int>(data.size()));
        if (ret <= 0) {
            if (fd_bio_timed_out(SSL_get_wbio(ssl)))
                timed_out(SSL_WRITE_SOCKET, 3);
            throw SSLException(ssl_error(ret), SSL_WRITE_SOCKET, 1);
        }
    }
    wire::log_sent(*this, data);
}

int SSLSocket::ssl_read(SSL* conn, void* buf, int num) {
    return retry_while_wanting_io(*this, "SSL_read() operation did not complete. I try it again.\n",
                                  [&] { return SSL_read(conn, buf, num); });
}

int SSLSocket::ssl_write(SSL* conn, const void* buf, int num) {
    return retry_while_wanting_io(*this,
                                  "SSL_write() operation did not complete. I try it again.\n",
                                  [&] { return SSL_write(conn, buf, num); });
}

int SSLSocket::ssl_connect(SSL* conn) {
    return retry_while_wanting_io(*this,
                                  "SSL_connect() operation did not complete. I try it again.\n",
                                  [&] { return SSL_connect(conn); });
}

std::string SSLSocket::ssl_error(int ret) {
    int err = errno;
    std::string text = I18N::i18n("travine", "An unknown error occured.");
    int e = ssl != nullptr ? SSL_get_error(ssl, ret) : SSL_ERROR_SSL;
    unsigned long code = 0;
    if (e == SSL_ERROR_SYSCALL && (code = ERR_get_error()) == 0) {
        if (ret == 0) {
            text = I18N::i18n("travine", "Socket was closed.");
        } else if (ret == -1) {
            text = std::strerror(err);
        }
    } else {
        if (e != SSL_ERROR_SYSCALL)
            code = ERR_get_error();
        if (ERR_GET_LIB(code) == ERR_LIB_SSL &&
            ERR_GET_REASON(code) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
            // The peer ended the connection without a TLS closing message.
            text = I18N::i18n("travine", "Socket was closed.");
        } else {
            char buf[1024];
            ERR_error_string_n(code, buf, sizeof buf);
            text = buf;
        }
    }
    ERR_clear_error();
    errno = err;
    return text;
}

void SSLSocket::close_connection() {
    // Forgotten first: a descriptor given later by hand may reuse the number.
    disarm_read_timeout(*this);
    free_tls();
    received.clear();
    if (sockfd != -1)
        ::close(sockfd);
    sockfd = -1;
}

void SSLSocket::free_tls() {
    if (ssl != nullptr)
        SSL_free(ssl);
    ssl = nullptr;
    if (ctx != nullptr)
        SSL_CTX_free(ctx);
    ctx = nullptr;
    negotiated = false;
}
