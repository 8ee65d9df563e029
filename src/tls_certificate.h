// Internal to the library (not installed): the peer's certificate, freed when it goes.
#ifndef TRAVINE_TLS_CERTIFICATE_H
#define TRAVINE_TLS_CERTIFICATE_H

#include <openssl/x509.h>

#include <memory>

namespace tls_certificate {

struct X509Free {
    void operator()(X509* cert) const { X509_free(cert); }
};
using Certificate = std::unique_ptr<X509, X509Free>;

}  // namespace tls_certificate

#endif
