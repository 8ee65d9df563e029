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

namespace {

void fail(const std::string& what) {
    ERR_print_errors_fp(stderr);
    throw std::runtime_error("TestPki: " + what);
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

void write_pem(const std::string& path, X509* cert, EVP_PKEY* key) {
    BIO* out = BIO_new_file(path.c_str(), "w");
    if (out == nullptr || (cert != nullptr ? PEM_write_bio_X509(out, cert)
                                           : PEM_write_bio_PrivateKey(out, key, nullptr, nullptr, 0,
                                                                      nullptr, nullptr)) != 1) {
        fail("writing " + path);
    }
    BIO_free(out);
}

// A new key and a certificate for it with subject /C=DE/O=travine test/CN=cn,
// signed by issuer (a self-signed CA when issuer is null), written to
// cert_path and, when given, key_path. The caller frees both.
struct Issued {
    X509* cert;
    EVP_PKEY* key;
};

Issued issue(const char* cn, const Issued* issuer, long serial, const std::string& cert_path,
             const std::string& key_path = "") {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    if (key == nullptr || cert == nullptr)
        fail("key or certificate for " + std::string(cn));
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 7L * 24 * 3600);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    const char* const parts[][2] = {{"C", "DE"}, {"O", "travine test"}, {"CN", cn}};
    for (const auto& part : parts) {
        if (X509_NAME_add_entry_by_txt(name, part[0], MBSTRING_ASC,
                                       reinterpret_cast<const unsigned char*>(part[1]), -1, -1,
                                       0) != 1) {
            fail(std::string("name entry ") + part[0]);
        }
    }
    X509* signer = issuer == nullptr ? cert : issuer->cert;
    X509_set_issuer_name(cert, X509_get_subject_name(signer));
    if (issuer == nullptr) {
        add_ext(cert, signer, NID_basic_constraints, "critical,CA:TRUE");
        add_ext(cert, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        add_ext(cert, signer, NID_basic_constraints, "CA:FALSE");
        add_ext(cert, signer, NID_key_usage, "critical,digitalSignature");
        add_ext(cert, signer, NID_ext_key_usage, "serverAuth");
        add_ext(cert, signer, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1");
    }
    if (X509_sign(cert, issuer == nullptr ? key : issuer->key, EVP_sha256()) == 0)
        fail("X509_sign");
    write_pem(cert_path, cert, nullptr);
    if (!key_path.empty())
        write_pem(key_path, nullptr, key);
    return Issued{cert, key};
}

// Blocks SIGPIPE on the calling thread while it lives and swallows one
// raised meanwhile, so that writing to a client that has gone cannot end
// the test process. The process's disposition is left alone, so the
// library's own protection is still tested.
class SigpipeGuard {
public:
    SigpipeGuard() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
    }
    ~SigpipeGuard() {
        struct timespec zero = {0, 0};
        sigtimedwait(&pipe_, nullptr, &zero);
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    SigpipeGuard(const SigpipeGuard&) = delete;
    SigpipeGuard& operator=(const SigpipeGuard&) = delete;

private:
    sigset_t pipe_;
    sigset_t old_;
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

    const Issued ca = issue(CA_CN, nullptr, 1, ca_file);
    const Issued issued[] = {
        issue("travine other CA", nullptr, 2, other_ca_file),
        issue("localhost", &ca, 3, server_cert, server_key),
        issue("a=b=c", &ca, 4, odd_cert, odd_key),
        ca,
    };

    // The directory form: a link named after the hash of the CA's subject.
    if (mkdir(ca_dir.c_str(), 0755) != 0)
        fail("mkdir " + ca_dir);
    int ok = 0;
    unsigned long hash = X509_NAME_hash_ex(X509_get_subject_name(ca.cert), nullptr, nullptr, &ok);
    if (ok != 1)
        fail("X509_NAME_hash_ex");
    char link_name[32];
    std::snprintf(link_name, sizeof link_name, "/%08lx.0", hash);
    if (symlink(ca_file.c_str(), (ca_dir + link_name).c_str()) != 0)
        fail("symlink");

    for (const Issued& i : issued) {
        X509_free(i.cert);
        EVP_PKEY_free(i.key);
    }
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
