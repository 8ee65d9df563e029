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
// whose transport reads the pre-loaded replies. The peer's writing side is
// shut after the replies, so a client that reads more gets end of stream at
// once instead of waiting out the read time-out.
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

// A scripted SMTP server listening on 127.0.0.1, port 0. It accepts one
// connection and plays its steps in order on its own thread; every wait has
// a deadline of a few seconds. After the last step it keeps recording until
// the client closes the connection (or the deadline passes).
class SmtpPeer {
public:
    struct Step {
        enum Kind { SEND, LINE, DATA, START_TLS, CLOSE } kind;
        std::string text;
    };
    // Writes text.
    static Step send(const std::string& text) { return Step{Step::SEND, text}; }
    // Reads one line, line feed included.
    static Step line() { return Step{Step::LINE, ""}; }
    // Reads message data up to and including "\r\n.\r\n".
    static Step data() { return Step{Step::DATA, ""}; }
    // TLS handshake as server (TlsServer with TestPki); I/O then goes through TLS.
    static Step start_tls() { return Step{Step::START_TLS, ""}; }
    // Closes the connection at once.
    static Step close() { return Step{Step::CLOSE, ""}; }

    // A dialogue: replies[0] is sent on accepting; each further reply is
    // sent after one line has been read, or after the message data when the
    // reply before it began with "354".
    static std::vector<Step> dialogue(const std::vector<std::string>& replies);

    explicit SmtpPeer(const std::vector<Step>& script);
    ~SmtpPeer();
    int port() const { return port_; }

    // Waits for the script to end (bounded by the deadlines).
    void join();
    // Every byte received, in order, decrypted once TLS is running. join() first.
    const std::string& received() const { return received_; }
    // The bytes received before TLS started. join() first.
    const std::string& received_clear() const { return received_clear_; }
    // Empty when every step ran; otherwise what went wrong first.
    const std::string& error() const { return error_; }

private:
    void run();

    std::vector<Step> script_;
    int listen_fd_;
    int port_;
    std::string received_;
    std::string received_clear_;
    std::string error_;
    std::thread thread_;
};

// A TCP port on 127.0.0.1 on which nothing listens (bound, then released).
int refused_port();

#endif
