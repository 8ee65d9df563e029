// A TLS server side for tests: a CA and a server certificate made at test
// time, and a server that runs on its own thread over a given descriptor.
#ifndef TRAVINE_TEST_TLS_PEER_H
#define TRAVINE_TEST_TLS_PEER_H

#include <string>

#include "support.h"

// A CA, a server key and certificate signed by it, a second CA that signed
// nothing, and a hashed CA directory holding the first CA. Made once per
// test process with OpenSSL in a temporary directory.
class TestPki {
public:
    static const TestPki& get();
    std::string ca_file;        // PEM of the signing CA
    std::string ca_dir;         // directory with <hash>.0 -> the signing CA
    std::string other_ca_file;  // PEM of a CA that signed nothing here
    std::string server_cert;    // PEM, subject /C=DE/O=travine test/CN=localhost
    std::string server_key;     // PEM
    // Signed by the same CA, subject /C=DE/O=travine test/CN=a=b=c (a value
    // holding '=').
    std::string odd_cert;
    std::string odd_key;
    // Subject of the signing CA: /C=DE/O=travine test/CN=travine test CA.
    static const char* const CA_CN;

private:
    TestPki();
    TempDir dir_;
};

// The server end of a TLS connection on descriptor fd (not owned: the test
// closes it). Every wait has a deadline of a few seconds so that a broken
// client fails the test instead of hanging it.
class TlsServer {
public:
    explicit TlsServer(int fd, const TestPki& pki = TestPki::get());
    // Presents cert_file with key_file instead of the usual server pair.
    TlsServer(int fd, const std::string& cert_file, const std::string& key_file);
    TlsServer(const TlsServer&) = delete;
    TlsServer& operator=(const TlsServer&) = delete;
    ~TlsServer();
    // Runs the handshake; false when it failed or timed out. On failure the
    // descriptor is shut down, so a client blocked in its handshake sees the
    // end of the stream instead of waiting forever.
    bool accept();
    // Reads one line over TLS, line feed included; empty on failure/time-out.
    std::string read_line();
    // Writes data over TLS; false on failure.
    bool write(const std::string& data);
    // Sends the TLS closing message.
    void shutdown();
    // Name of the negotiated cipher, empty before a handshake.
    std::string cipher() const;

    // Deadline of every single wait, in seconds.
    static const int TIMEOUT_SECONDS = 5;

private:
    void init(const std::string& cert_file, const std::string& key_file);

    int fd_;
    void* ctx_;
    void* ssl_;
};

#endif
