// The one scripted server of the tests, plain or TLS, and the test PKI.
//
//   TestPki::get()  paths of the committed test PKI in certs/: ca_file (the
//                   CA that signed the server), ca_dir (a directory made for
//                   the process with the same CA under its hashed name),
//                   other_ca_file (a CA that signed nothing), server_cert and
//                   server_key (subject /C=DE/O=travine test/
//                   OU=a=b=c/CN=localhost, EC P-256, valid until the year 9966)
//   Peer            a script of steps played on its own thread (below)
//   listen_loopback a listening socket on 127.0.0.1
//
// For a TLS server on a socket pair in a transport test:
//   Peer tls({{'T', ""}, {'S', "220 over tls\r\n"}}, pair.peer());
//
// The PKI was made with OpenSSL 3.0:
//   openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes
//     -keyout ca.key -out ca.pem -days 2900000 -subj "/C=DE/O=travine test/CN=..."
//     -addext basicConstraints=critical,CA:TRUE
//     -addext keyUsage=critical,keyCertSign,cRLSign         (both CAs)
//   openssl req -new ... -subj "/C=DE/O=travine test/OU=a=b=c/CN=localhost"
//   openssl x509 -req -CA ca.pem -CAkey ca.key -days 2900000 -extfile ext.cnf
//     (ext.cnf: extendedKeyUsage=serverAuth,
//      subjectAltName=DNS:localhost,IP:127.0.0.1)
#ifndef TRAVINE_TEST_TLS_PEER_H
#define TRAVINE_TEST_TLS_PEER_H

#include <openssl/ssl.h>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

// A socket listening on 127.0.0.1 with backlog, its port in *port.
int listen_loopback(int backlog, int* port);

// The deadline of every single wait of the peer, in seconds.
const int TIMEOUT_SECONDS = 5;

struct TestPki {
    std::string ca_file, ca_dir, other_ca_file, server_cert, server_key;
    static const TestPki& get();
};

// Plays a script on its own thread over fd (not closed by the peer) or, with
// fd -1, over the first connection to 127.0.0.1:port(), and records what
// the client sends. Steps, by kind:
//   'S' text      send text; only the first `budget` bytes of all 'S' text
//                 go out, then the script stops (a cut)
//   'C' text      read text.size() bytes, which must be text, with nothing
//                 more sent yet (in clear); else stop
//   'T'           TLS handshake as server; from here on through TLS
//   'N'           send the TLS closing message
//   'F' text, n   send text n times; stop early when the client stops
//                 taking it (after TIMEOUT_SECONDS or once it has gone)
//   'R'           shut the reading side (on a socket pair, the client's
//                 writes then fail)
//   'P' ms        pause, ended early by the client's close
// When the script stops the peer shuts its writing side
// without a TLS closing message, so that a client waiting for a reply reads
// the end of the stream, and reads on until the client closes; these bytes
// are recorded too, unless the handshake failed. Every wait has a deadline
// of TIMEOUT_SECONDS, and SIGPIPE is blocked on the peer's thread.
class Peer {
public:
    struct Step {
        char kind;
        std::string text;
        size_t count = 1;
    };
    explicit Peer(std::vector<Step> script, int fd = -1, size_t budget = SIZE_MAX);
    ~Peer() { join(); }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;
    int port() const { return port_; }
    void join() {
        if (thread_.joinable())
            thread_.join();
    }

    // Read after join().
    std::string received;     // every byte the client sent, decrypted
    std::string error;        // why the script stopped early, if it did
    bool cut_in_tls = false;  // the budget stopped the script after the handshake
    bool notified = false;    // the client sent the TLS closing message
    size_t flooded = 0;       // bytes that went out in 'F' steps

private:
    void run();
    bool play(const Step& step);
    bool write(const std::string& data);
    long read(char* p, size_t n);

    std::vector<Step> script_;
    size_t budget_;
    int fd_, listener_ = -1, port_ = 0;
    SSL* ssl_ = nullptr;
    bool tls_up_ = false;
    std::thread thread_;
};

#endif
