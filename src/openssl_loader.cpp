// OpenSSL loaded on first need: every OpenSSL function the library calls is
// defined here, inside the library only, and forwards to libssl.so.3 and
// libcrypto.so.3, opened by load().
#include "openssl_loader.h"

#ifndef TRAVINE_LOAD_OPENSSL

const char* openssl_loader::load() {
    return nullptr;
}

#else

#include <dlfcn.h>
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdlib>
#include <string>

// Every function, as X(result, name, (parameters), (arguments)).
#define TRAVINE_OPENSSL_FUNCTIONS(X)                                                               \
    X(void, BIO_clear_flags, (BIO * b, int flags), (b, flags))                                     \
    X(void*, BIO_get_data, (BIO * a), (a))                                                         \
    X(int, BIO_get_new_index, (void), ())                                                          \
    X(BIO_METHOD*, BIO_meth_new, (int type, const char* name), (type, name))                       \
    X(int, BIO_meth_set_ctrl, (BIO_METHOD * m, long (*f)(BIO*, int, long, void*)), (m, f))         \
    X(int, BIO_meth_set_destroy, (BIO_METHOD * m, int (*f)(BIO*)), (m, f))                         \
    X(int, BIO_meth_set_read, (BIO_METHOD * m, int (*f)(BIO*, char*, int)), (m, f))                \
    X(int, BIO_meth_set_write, (BIO_METHOD * m, int (*f)(BIO*, const char*, int)), (m, f))         \
    X(BIO*, BIO_new, (const BIO_METHOD* type), (type))                                             \
    X(void, BIO_set_data, (BIO * a, void* ptr), (a, ptr))                                          \
    X(void, BIO_set_flags, (BIO * b, int flags), (b, flags))                                       \
    X(void, BIO_set_init, (BIO * a, int init), (a, init))                                          \
    X(void, CRYPTO_free, (void* ptr, const char* file, int line), (ptr, file, line))               \
    X(void, ERR_clear_error, (void), ())                                                           \
    X(void, ERR_error_string_n, (unsigned long e, char* buf, size_t len), (e, buf, len))           \
    X(unsigned long, ERR_get_error, (void), ())                                                    \
    X(unsigned long, ERR_peek_error, (void), ())                                                   \
    X(const EVP_MD*, EVP_md5, (void), ())                                                          \
    X(const EVP_MD*, EVP_sha1, (void), ())                                                         \
    X(unsigned char*, HMAC,                                                                        \
      (const EVP_MD* md, const void* key, int key_len, const unsigned char* data, size_t data_len, \
       unsigned char* out, unsigned int* out_len),                                                 \
      (md, key, key_len, data, data_len, out, out_len))                                            \
    X(int, OPENSSL_init_ssl, (uint64_t opts, const OPENSSL_INIT_SETTINGS* s), (opts, s))           \
    X(const char*, SSL_CIPHER_get_name, (const SSL_CIPHER* c), (c))                                \
    X(void, SSL_CTX_free, (SSL_CTX * ctx), (ctx))                                                  \
    X(int, SSL_CTX_load_verify_locations, (SSL_CTX * ctx, const char* file, const char* dir),      \
      (ctx, file, dir))                                                                            \
    X(SSL_CTX*, SSL_CTX_new, (const SSL_METHOD* meth), (meth))                                     \
    X(int, SSL_CTX_set_default_verify_paths, (SSL_CTX * ctx), (ctx))                               \
    X(int, SSL_connect, (SSL * s), (s))                                                            \
    X(long, SSL_ctrl, (SSL * s, int cmd, long larg, void* parg), (s, cmd, larg, parg))             \
    X(void, SSL_free, (SSL * s), (s))                                                              \
    X(X509_VERIFY_PARAM*, SSL_get0_param, (SSL * s), (s))                                          \
    X(X509*, SSL_get1_peer_certificate, (const SSL* s), (s))                                       \
    X(const SSL_CIPHER*, SSL_get_current_cipher, (const SSL* s), (s))                              \
    X(int, SSL_get_error, (const SSL* s, int ret), (s, ret))                                       \
    X(BIO*, SSL_get_rbio, (const SSL* s), (s))                                                     \
    X(long, SSL_get_verify_result, (const SSL* s), (s))                                            \
    X(BIO*, SSL_get_wbio, (const SSL* s), (s))                                                     \
    X(int, SSL_is_init_finished, (const SSL* s), (s))                                              \
    X(SSL*, SSL_new, (SSL_CTX * ctx), (ctx))                                                       \
    X(int, SSL_read, (SSL * s, void* buf, int num), (s, buf, num))                                 \
    X(int, SSL_set1_host, (SSL * s, const char* name), (s, name))                                  \
    X(void, SSL_set_bio, (SSL * s, BIO * rbio, BIO * wbio), (s, rbio, wbio))                       \
    X(void, SSL_set_hostflags, (SSL * s, unsigned int flags), (s, flags))                          \
    X(void, SSL_set_read_ahead, (SSL * s, int yes), (s, yes))                                      \
    X(void, SSL_set_verify, (SSL * s, int mode, SSL_verify_cb cb), (s, mode, cb))                  \
    X(int, SSL_shutdown, (SSL * s), (s))                                                           \
    X(int, SSL_write, (SSL * s, const void* buf, int num), (s, buf, num))                          \
    X(const SSL_METHOD*, TLS_client_method, (void), ())                                            \
    X(char*, X509_NAME_oneline, (const X509_NAME* a, char* buf, int size), (a, buf, size))         \
    X(int, X509_VERIFY_PARAM_set1_ip_asc, (X509_VERIFY_PARAM * p, const char* ip), (p, ip))        \
    X(void, X509_free, (X509 * a), (a))                                                            \
    X(X509_NAME*, X509_get_issuer_name, (const X509* a), (a))                                      \
    X(X509_NAME*, X509_get_subject_name, (const X509* a), (a))

namespace {

// libssl's name as the loader looks it up (libcrypto comes with it), and
// the version of every function used: what linking with them would bind.
const char* const LIBSSL = "libssl.so.3";
const char* const VERSION = "OPENSSL_3.0.0";

struct Functions {
#define TRAVINE_FIELD(result, name, params, args) decltype(&::name) name;
    TRAVINE_OPENSSL_FUNCTIONS(TRAVINE_FIELD)
#undef TRAVINE_FIELD
};

struct Loaded {
    Functions fn;
    std::string failure;  // empty once every function is found
};

template <class F>
bool find(void* lib, const char* name, F* fn, std::string& failure) {
    void* sym = ::dlvsym(lib, name, VERSION);
    if (sym == nullptr) {
        const char* why = ::dlerror();
        failure = why != nullptr ? why : name;
        return false;
    }
    *fn = reinterpret_cast<F>(sym);
    return true;
}

Loaded open_openssl() {
    Loaded l{};
    // Global, as a needed library of the process would be; never closed.
    void* lib = ::dlopen(LIBSSL, RTLD_NOW | RTLD_GLOBAL);
    if (lib == nullptr) {
        const char* why = ::dlerror();
        l.failure = why != nullptr ? why : LIBSSL;
        return l;
    }
#define TRAVINE_FIND(result, name, params, args)  \
    if (!find(lib, #name, &l.fn.name, l.failure)) \
        return l;
    TRAVINE_OPENSSL_FUNCTIONS(TRAVINE_FIND)
#undef TRAVINE_FIND
    return l;
}

const Loaded& loaded() {
    static const Loaded l = open_openssl();
    return l;
}

// The functions; reached only after load() has succeeded.
const Functions& fn() {
    const Loaded& l = loaded();
    if (!l.failure.empty())
        std::abort();
    return l.fn;
}

}  // namespace

const char* openssl_loader::load() {
    const Loaded& l = loaded();
    return l.failure.empty() ? nullptr : l.failure.c_str();
}

#define TRAVINE_FORWARD(result, name, params, args)                       \
    extern "C" __attribute__((visibility("hidden"))) result name params { \
        return fn().name args;                                            \
    }
TRAVINE_OPENSSL_FUNCTIONS(TRAVINE_FORWARD)
#undef TRAVINE_FORWARD

#endif
