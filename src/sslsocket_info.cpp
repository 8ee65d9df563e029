// The TLS connection's details in the log: cipher, server certificate subject and issuer.
#include "sslsocket.h"

#include <openssl/crypto.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "i18n.h"
#include "string.h"
#include "tls_certificate.h"

namespace {

using tls_certificate::Certificate;

struct OpenSSLFree {
    void operator()(char* text) const { OPENSSL_free(text); }
};

// Logs heading, a separator line and the entry lines of name in its
// one-line form ("/C=DE/O=example/CN=host"): one line per component, key
// and value. Returns false, after the separator, when name has no one-line
// form.
bool log_name(Logger& log, const std::string& heading, const X509_NAME* name) {
    log << Logger::VERBOSE << heading << std::endl;
    log << Logger::VERBOSE << "SSLInfo:\t=============================" << std::endl;
    std::unique_ptr<char, OpenSSLFree> oneline(X509_NAME_oneline(name, nullptr, 0));
    if (oneline == nullptr)
        return false;
    for (const std::string& token : String::string2tokens(oneline.get(), '/')) {
        std::vector<std::string> parts = String::string2tokens(token, '=');
        if (parts.size() > 1) {
            log << Logger::VERBOSE << "SSLInfo:\t" << parts[0] << "\t=\t" << parts[1] << std::endl;
        }
    }
    return true;
}

}  // namespace

void SSLSocket::dumpSSLInfo() {
    if (ssl == nullptr)  // no handshake yet: nothing to tell
        return;
    const SSL_CIPHER* cipher = SSL_get_current_cipher(ssl);
    if (cipher == nullptr)
        return;
    const char* name = SSL_CIPHER_get_name(cipher);
    if (name == nullptr)
        return;
    *this << Logger::VERBOSE << I18N::i18n("travine", "SSLInfo:\tSSL connection using $0 ", name)
          << std::endl;
    Certificate cert(SSL_get1_peer_certificate(ssl));
    if (cert == nullptr)
        return;
    if (log_name(*this, I18N::i18n("travine", "SSLInfo:\tserver certificate - subject:"),
                 X509_get_subject_name(cert.get()))) {
        log_name(*this, I18N::i18n("travine", "SSLInfo:\tServer certificate - issuer:"),
                 X509_get_issuer_name(cert.get()));
    }
}
