// Internal to the library (not installed): OpenSSL is loaded by the first
// operation that needs it (a TLS handshake, an HMAC digest), not with the
// library, so a process that only sends in clear never loads it.
#ifndef TRAVINE_OPENSSL_LOADER_H
#define TRAVINE_OPENSSL_LOADER_H

namespace openssl_loader {

// Makes libssl and libcrypto usable, once per process (later calls return
// at once, from any thread). Returns null when they are, otherwise the
// loader's text saying why not; the library then calls nothing of OpenSSL.
// Always null where the library is linked with OpenSSL (the variant that
// leaves OpenSSL to its host).
const char* load();

}  // namespace openssl_loader

#endif
