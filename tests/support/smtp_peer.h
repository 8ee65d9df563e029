// SMTP peers for tests: a session whose transport is one end of a socket
// pair pre-loaded with the server's replies, and a scripted server on
// 127.0.0.1 that runs on its own thread and records what it receives.
#ifndef TRAVINE_TEST_SMTP_PEER_H
#define TRAVINE_TEST_SMTP_PEER_H

#include <sys/socket.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "smtp.h"
#include "sslsocket.h"
#include "support.h"

// A transport over an already connected descriptor; connect() only counts.
class AdoptedSocket : public SSLSocket {
public:
    explicit AdoptedSocket(int fd) : SSLSocket("peer", fd) {}
    void connect() override { ++connects; }
    int connects = 0;
};

// Gives session an AdoptedSocket on fd in place of the transport it built.
inline AdoptedSocket* adopt(SMTP* session, int fd) {
    delete session->socket;
    AdoptedSocket* transport = new AdoptedSocket(fd);
    session->socket = transport;
    session->socket->setParentLogger(session);
    return transport;
}

// A session announcing "client.test" with the sender "a@example.test",
// whose transport reads the pre-loaded replies, then at once the end of the
// stream (the peer's writing side is shut).
class WireSession {
public:
    explicit WireSession(const std::string& replies)
        : smtp(new SMTP("client.test", "a@example.test", "unused.invalid", 25)) {
        pair.send(replies);
        ::shutdown(pair.peer(), SHUT_WR);
        transport = adopt(smtp.get(), pair.release_client());
    }
    // Everything the client has written so far.
    std::string wire() { return pair.received(100); }

    SocketPair pair;
    std::unique_ptr<SMTP> smtp;
    AdoptedSocket* transport;
};

// Waits at most 5 s for events on fd; false on time-out or error.
bool wait_for(int fd, short events);
// Writes all of data on fd, waiting at most 5 s for room each time; false
// once the other end has gone or stopped reading.
bool send_all(int fd, const std::string& data);
// A TCP socket listening on 127.0.0.1 on a free port; sets *port.
int listen_loopback(int* port);
// A TCP port on 127.0.0.1 on which nothing listens (bound, then released).
int refused_port();

// A scripted SMTP server on 127.0.0.1: accepts one connection and plays its
// steps in order on its own thread, each wait bounded by 5 s. After the last
// step it keeps recording until the client closes the connection.
class SmtpPeer {
public:
    struct Step {
        enum Kind { SEND, LINE, DATA, START_TLS, CLOSE, FLOOD } kind;
        std::string text;
    };
    static Step send(const std::string& text) { return Step{Step::SEND, text}; }
    // Reads one line, line feed included.
    static Step line() { return Step{Step::LINE, ""}; }
    // Reads message data up to and including "\r\n.\r\n".
    static Step data() { return Step{Step::DATA, ""}; }
    // TLS handshake as server (TlsServer with TestPki); I/O then goes through TLS.
    static Step start_tls() { return Step{Step::START_TLS, ""}; }
    static Step close() { return Step{Step::CLOSE, ""}; }
    // Writes text over and over, in clear, until a write fails (the client
    // has gone or read nothing for 5 s) or FLOOD_LIMIT bytes went; then closes.
    static Step flood(const std::string& text) { return Step{Step::FLOOD, text}; }
    static constexpr size_t FLOOD_LIMIT = 64 * 1024 * 1024;

    // A dialogue: replies[0] is sent on accepting; each further reply is
    // sent after one line has been read, or after the message data when the
    // reply before it began with "354".
    static std::vector<Step> dialogue(const std::vector<std::string>& replies);

    explicit SmtpPeer(const std::vector<Step>& script);
    ~SmtpPeer();
    int port() const { return port_; }

    // Waits for the script to end. The following are read after it.
    void join();
    // Every byte received, in order, decrypted once TLS is running.
    const std::string& received() const { return received_; }
    // The bytes received before TLS started.
    const std::string& received_clear() const { return received_clear_; }
    // Bytes of a flood the kernel took.
    size_t flooded() const { return flooded_; }
    // Empty when every step ran; otherwise what went wrong first.
    const std::string& error() const { return error_; }

private:
    void run();

    std::vector<Step> script_;
    int listen_fd_;
    int port_;
    std::string received_;
    std::string received_clear_;
    size_t flooded_ = 0;
    std::string error_;
    std::thread thread_;
};

#endif
