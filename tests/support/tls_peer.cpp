#include "tls_peer.h"

#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

typedef std::vector<std::pair<std::string, std::string>> NameParts;

void fail(const std::string& what) {
    ERR_print_errors_fp(stderr);
    throw std::runtime_error("TestPki: " + what);
}

EVP_PKEY* make_key() {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    if (key == nullptr)
        fail("key generation");
    return key;
}

void add_ext(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (ext == nullptr)
        fail(std::string("extension ") + value);
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

// A certificate for key with the given subject, signed by issuer_key; a
// self-signed CA when issuer is null.
X509* make_cert(EVP_PKEY* key, const NameParts& subject, X509* issuer, EVP_PKEY* issuer_key,
                long serial) {
    X509* cert = X509_new();
    if (cert == nullptr)
        fail("X509_new");
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 7L * 24 * 3600);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    for (const auto& part : subject) {
        if (X509_NAME_add_entry_by_txt(name, part.first.c_str(), MBSTRING_ASC,
                                       reinterpret_cast<const unsigned char*>(part.second.c_str()),
                                       -1, -1, 0) != 1) {
            fail("name entry " + part.first);
        }
    }
    bool ca = issuer == nullptr;
    X509_set_issuer_name(cert, ca ? name : X509_get_subject_name(issuer));
    X509* signer = ca ? cert : issuer;
    if (ca) {
        add_ext(cert, signer, NID_basic_constraints, "critical,CA:TRUE");
        add_ext(cert, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        add_ext(cert, signer, NID_basic_constraints, "CA:FALSE");
        add_ext(cert, signer, NID_key_usage, "critical,digitalSignature");
        add_ext(cert, signer, NID_ext_key_usage, "serverAuth");
        add_ext(cert, signer, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1");
    }
    if (X509_sign(cert, issuer_key, EVP_sha256()) == 0)
        fail("X509_sign");
    return cert;
}

void write_cert(const std::string& path, X509* cert) {
    BIO* out = BIO_new_file(path.c_str(), "w");
    if (out == nullptr || PEM_write_bio_X509(out, cert) != 1)
        fail("writing " + path);
    BIO_free(out);
}

void write_key(const std::string& path, EVP_PKEY* key) {
    BIO* out = BIO_new_file(path.c_str(), "w");
    if (out == nullptr ||
        PEM_write_bio_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        fail("writing " + path);
    }
    BIO_free(out);
}

// Blocks SIGPIPE on the calling thread for the lifetime of the object and
// swallows a SIGPIPE raised meanwhile, so that writing to a client that has
// gone cannot end the test process. The process's disposition stays as it
// is, so the library's own protection is still tested.
class SigpipeGuard {
public:
    SigpipeGuard() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        was_pending_ = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
    }
    ~SigpipeGuard() {
        if (!was_pending_) {
            sigset_t pending;
            sigpending(&pending);
            if (sigismember(&pending, SIGPIPE) == 1) {
                struct timespec zero = {0, 0};
                sigtimedwait(&pipe_, nullptr, &zero);
            }
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    SigpipeGuard(const SigpipeGuard&) = delete;
    SigpipeGuard& operator=(const SigpipeGuard&) = delete;

private:
    sigset_t pipe_;
    sigset_t old_;
    bool was_pending_;
};

}  // namespace

const char* const TestPki::CA_CN = "travine test CA";

const TestPki& TestPki::get() {
    static const TestPki pki;
    return pki;
}

TestPki::TestPki() {
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    ca_file = dir_.file("ca.pem");
    other_ca_file = dir_.file("other-ca.pem");
    server_cert = dir_.file("server.pem");
    server_key = dir_.file("server.key");
    odd_cert = dir_.file("odd.pem");
    odd_key = dir_.file("odd.key");
    ca_dir = dir_.file("cadir");

    EVP_PKEY* ca_key = make_key();
    X509* ca =
        make_cert(ca_key, {{"C", "DE"}, {"O", "travine test"}, {"CN", CA_CN}}, nullptr, ca_key, 1);
    write_cert(ca_file, ca);

    EVP_PKEY* other_key = make_key();
    X509* other =
        make_cert(other_key, {{"C", "DE"}, {"O", "travine test"}, {"CN", "travine other CA"}},
                  nullptr, other_key, 2);
    write_cert(other_ca_file, other);

    EVP_PKEY* key = make_key();
    X509* cert =
        make_cert(key, {{"C", "DE"}, {"O", "travine test"}, {"CN", "localhost"}}, ca, ca_key, 3);
    write_cert(server_cert, cert);
    write_key(server_key, key);

    EVP_PKEY* odd = make_key();
    X509* odd_x509 =
        make_cert(odd, {{"C", "DE"}, {"O", "travine test"}, {"CN", "a=b=c"}}, ca, ca_key, 4);
    write_cert(odd_cert, odd_x509);
    write_key(odd_key, odd);

    // The directory form: a link named after the hash of the CA's subject.
    if (mkdir(ca_dir.c_str(), 0755) != 0)
        fail("mkdir " + ca_dir);
    int ok = 0;
    unsigned long hash = X509_NAME_hash_ex(X509_get_subject_name(ca), nullptr, nullptr, &ok);
    if (ok != 1)
        fail("X509_NAME_hash_ex");
    char link_name[32];
    std::snprintf(link_name, sizeof link_name, "/%08lx.0", hash);
    if (symlink(ca_file.c_str(), (ca_dir + link_name).c_str()) != 0)
        fail("symlink");

    X509_free(odd_x509);
    EVP_PKEY_free(odd);
    X509_free(cert);
    EVP_PKEY_free(key);
    X509_free(other);
    EVP_PKEY_free(other_key);
    X509_free(ca);
    EVP_PKEY_free(ca_key);
}

TlsServer::TlsServer(int fd, const TestPki& pki) : fd_(fd), ctx_(nullptr), ssl_(nullptr) {
    init(pki.server_cert, pki.server_key);
}

TlsServer::TlsServer(int fd, const std::string& cert_file, const std::string& key_file)
    : fd_(fd), ctx_(nullptr), ssl_(nullptr) {
    init(cert_file, key_file);
}

void TlsServer::init(const std::string& cert_file, const std::string& key_file) {
    struct timeval tv = {TIMEOUT_SECONDS, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);

    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (ctx == nullptr)
        return;
    ctx_ = ctx;
    if (SSL_CTX_use_certificate_file(ctx, cert_file.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, key_file.c_str(), SSL_FILETYPE_PEM) != 1) {
        ERR_print_errors_fp(stderr);
        return;
    }
    SSL* ssl = SSL_new(ctx);
    if (ssl == nullptr)
        return;
    SSL_set_fd(ssl, fd_);
    ssl_ = ssl;
}

TlsServer::~TlsServer() {
    if (ssl_ != nullptr)
        SSL_free(static_cast<SSL*>(ssl_));
    if (ctx_ != nullptr)
        SSL_CTX_free(static_cast<SSL_CTX*>(ctx_));
    ERR_clear_error();
}

bool TlsServer::accept() {
    SigpipeGuard guard;
    bool ok = ssl_ != nullptr && SSL_accept(static_cast<SSL*>(ssl_)) == 1;
    ERR_clear_error();
    if (!ok)
        ::shutdown(fd_, SHUT_RDWR);
    return ok;
}

std::string TlsServer::read_line() {
    if (ssl_ == nullptr)
        return "";
    SigpipeGuard guard;
    std::string line;
    for (;;) {
        char byte;
        if (SSL_read(static_cast<SSL*>(ssl_), &byte, 1) != 1) {
            ERR_clear_error();
            return "";
        }
        line += byte;
        if (byte == '\n')
            return line;
    }
}

bool TlsServer::write(const std::string& data) {
    if (ssl_ == nullptr)
        return false;
    SigpipeGuard guard;
    bool ok = data.empty() ||
              SSL_write(static_cast<SSL*>(ssl_), data.data(), static_cast<int>(data.size())) ==
                  static_cast<int>(data.size());
    ERR_clear_error();
    return ok;
}

void TlsServer::shutdown() {
    if (ssl_ == nullptr)
        return;
    SigpipeGuard guard;
    SSL_shutdown(static_cast<SSL*>(ssl_));
    ERR_clear_error();
}

std::string TlsServer::cipher() const {
    if (ssl_ == nullptr)
        return "";
    const SSL_CIPHER* c = SSL_get_current_cipher(static_cast<SSL*>(ssl_));
    return c == nullptr ? "" : SSL_CIPHER_get_name(c);
}
