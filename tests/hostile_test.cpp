// Hostile servers: lines and replies that never end, plain text injected
// behind the reply to STARTTLS, and junk in place of the greeting. Each ends
// in one exactly known failure, with bounded memory and without waiting for
// the read time-out.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "emailwrap.h"
#include "exception.h"
#include "smtp.h"
#include "smtp_peer.h"
#include "socket.h"
#include "sslsocket.h"
#include "support.h"
#include "tls_peer.h"

namespace {

const std::string GREETING = "220 mx.example.test ESMTP\r\n";
const size_t MIB = 1024 * 1024;
// The longest reply the session joins.
const size_t MAX_REPLY = MIB;
// How long the flooding peer waits for any progress of the client.
const int DEADLINE_MS = 5000;

// Resident memory figures of this process from /proc/self/status, in KiB;
// -1 when the line is missing.
long status_kib(const std::string& key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, key.size() + 1, key + ":") == 0)
            return std::atol(line.c_str() + key.size() + 1);
    }
    return -1;
}

// Resets the peak of resident memory (VmHWM) to the current value; false
// when the kernel does not let us.
bool reset_peak_rss() {
    FILE* f = std::fopen("/proc/self/clear_refs", "w");
    if (f == nullptr)
        return false;
    bool ok = std::fputs("5", f) >= 0;
    return std::fclose(f) == 0 && ok;
}

// Writes all of data on fd, waiting at most DEADLINE_MS for room each time;
// false once the client has gone or stopped reading.
bool send_all(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        struct pollfd p = {fd, POLLOUT, 0};
        if (::poll(&p, 1, DEADLINE_MS) <= 0)
            return false;
        ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Reads one line (line feed included) within DEADLINE_MS per byte.
bool read_line(int fd) {
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        if (::poll(&p, 1, DEADLINE_MS) <= 0)
            return false;
        char c;
        if (::read(fd, &c, 1) != 1)
            return false;
        if (c == '\n')
            return true;
    }
}

// The server's side on its own thread, over TCP on 127.0.0.1 (port()) or
// over a given descriptor. It sends replies[0] at once and each further
// reply after one line from the client; then, after one more line if there
// were replies, it sends lead and chunk after chunk until the client stops
// reading (a write fails or finds no room for DEADLINE_MS) or limit bytes
// of chunks are out. Then it closes its end.
class Flood {
public:
    Flood(std::vector<std::string> replies, std::string lead, std::string chunk, size_t limit)
        : replies_(std::move(replies)),
          lead_(std::move(lead)),
          chunk_(std::move(chunk)),
          limit_(limit) {
        listen_fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (listen_fd_ < 0 || ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
            ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
            ::listen(listen_fd_, 1) != 0) {
            throw std::runtime_error("listen failed");
        }
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~Flood() {
        join();
        if (listen_fd_ >= 0)
            ::close(listen_fd_);
    }
    int port() const { return port_; }
    void join() {
        if (thread_.joinable())
            thread_.join();
    }
    // Bytes of chunks that the kernel took; join() first.
    size_t flooded() const { return flooded_; }

private:
    void run() {
        struct pollfd p = {listen_fd_, POLLIN, 0};
        if (::poll(&p, 1, DEADLINE_MS) <= 0)
            return;
        int fd = ::accept(listen_fd_, nullptr, nullptr);
        if (fd < 0)
            return;
        bool ok = true;
        for (size_t i = 0; ok && i < replies_.size(); ++i)
            ok = (i == 0 || read_line(fd)) && send_all(fd, replies_[i]);
        if (ok && !replies_.empty())
            ok = read_line(fd);
        if (ok)
            ok = send_all(fd, lead_);
        while (ok && flooded_ < limit_) {
            ok = send_all(fd, chunk_);
            if (ok)
                flooded_ += chunk_.size();
        }
        ::close(fd);
    }

    std::vector<std::string> replies_;
    std::string lead_;
    std::string chunk_;
    size_t limit_;
    size_t flooded_ = 0;
    int listen_fd_ = -1;
    int port_ = 0;
    std::thread thread_;
};

// A continuation line of the given length, CR LF added.
std::string continuation(size_t len) {
    return "250-" + std::string(len - 4, 'x') + "\r\n";
}

// 64 continuation lines of 1024 bytes each (1026 with CR LF).
std::string continuation_chunk() {
    std::string chunk;
    for (int i = 0; i < 64; ++i)
        chunk += continuation(1024);
    return chunk;
}

// A session over TCP to 127.0.0.1:port announcing "client.test".
std::unique_ptr<SMTP> session_to(int port) {
    std::unique_ptr<SMTP> s(
        new SMTP("client.test", "a@example.test", "127.0.0.1", static_cast<u32>(port)));
    s->addMessage("Subject: hi\n\nbody\n", {"b@example.test"});
    return s;
}

u32 send_email(int port, const char* ssl = "", const char* ssl_type = "") {
    return email("a@example.test", "b@example.test", "hi", "body", "127.0.0.1", 0, "", "",
                 static_cast<u32>(port), ssl, ssl_type, "");
}

// A thread that is joined when it goes out of scope, also when a test
// fails by an exception.
class JoinedThread {
public:
    template <class F>
    explicit JoinedThread(F f) : thread_(std::move(f)) {}
    ~JoinedThread() { join(); }
    void join() {
        if (thread_.joinable())
            thread_.join();
    }

private:
    std::thread thread_;
};

class TlsSocket : public SSLSocket {
public:
    using SSLSocket::SSLSocket;
    void connect() override {}
};

// A peer limit far beyond any cap: a client without one would read it all.
const size_t FLOOD_LIMIT = 64 * MIB;

}  // namespace

TEST(HostileLongLine, EndlessReplyLineEndsAtTheLineCap) {
    // The reply to MAIL FROM never ends its line.
    const long rss_before = status_kib("VmRSS");
    const bool peak_known = reset_peak_rss();
    {
        Flood flood({GREETING, "250 mx.example.test\r\n"}, "250 ", std::string(64 * 1024, 'x'),
                    FLOOD_LIMIT);
        std::unique_ptr<SMTP> s = session_to(flood.port());
        auto e = thrown<TransferException>([&] { s->sendMessage(); });
        EXPECT_EQ(e.msg, "Line too long.");
        EXPECT_EQ(e.method, "Socket::readSocket()");
        EXPECT_EQ(e.index, 6u);
        EXPECT_EQ(s->msgs.size(), 1u);
        s.reset();  // closes the connection, which ends the flood
        flood.join();
        EXPECT_LT(flood.flooded(), FLOOD_LIMIT);
        EXPECT_GT(flood.flooded(), Socket::MAX_LINE / 2);
    }
    if (peak_known && rss_before > 0) {
        // The line is held up to the cap, never the megabytes behind it.
        EXPECT_LT(status_kib("VmHWM") - rss_before, 16 * 1024) << "KiB above the start";
    }
    // The same greeting through email().
    Flood flood({}, "220 ", std::string(64 * 1024, 'x'), FLOOD_LIMIT);
    EXPECT_EQ(send_email(flood.port()), 274u);
    flood.join();
    EXPECT_LT(flood.flooded(), FLOOD_LIMIT);
}

TEST(HostileLongLine, TlsLinesAreCappedLikePlainOnes) {
    // A line of exactly MAX_LINE bytes passes; one byte more fails at once.
    SocketPair pair;
    int peer = pair.peer();
    std::atomic<bool> accepted(false);
    JoinedThread server([&] {
        TlsServer tls(peer);
        if (tls.accept()) {
            accepted = true;
            tls.write(std::string(Socket::MAX_LINE, 'a') + "\n" +
                      std::string(Socket::MAX_LINE + 1, 'b') + "\nnext\n");
        }
        ::shutdown(peer, SHUT_RDWR);
    });
    {
        TlsSocket s("mx.example.test", pair.release_client());
        s.setSSLOpts(SSLSocket::VERIFY_NONE);
        s.negotiate();
        const std::string first = s.readSocket();
        EXPECT_EQ(first.size(), Socket::MAX_LINE);
        EXPECT_EQ(first.find_first_not_of('a'), std::string::npos);
        auto e = thrown<SSLException>([&] { s.readSocket(); });
        EXPECT_EQ(e.msg, "Line too long.");
        EXPECT_EQ(e.method, "SSLSocket::ssl_readSocket()");
        EXPECT_EQ(e.index, 3u);
        // The bytes taken so far are gone; reading goes on after them.
        EXPECT_EQ(s.readSocket(), "");
        EXPECT_EQ(s.readSocket(), "next");
    }
    server.join();
    EXPECT_TRUE(accepted);
}

TEST(HostileLongLine, ImplicitTlsGreetingWithoutEndFails) {
    SmtpPeer peer({SmtpPeer::start_tls(), SmtpPeer::send("220 " + std::string(8 * MIB, 'x'))});
    std::unique_ptr<SMTP> s = session_to(peer.port());
    s->setSSLOpts(SMTP::SMTPS, SSLSocket::VERIFY_PEER, TestPki::get().ca_file, "");
    auto e = thrown<SSLException>([&] { s->sendMessage(); });
    EXPECT_EQ(e.msg, "Line too long.");
    EXPECT_EQ(e.method, "SSLSocket::ssl_readSocket()");
    EXPECT_EQ(e.index, 3u);
    s.reset();
    peer.join();
    EXPECT_EQ(peer.received(), "");
}

TEST(HostileEndlessReply, ContinuationLinesForeverEndAfterOneMebibyte) {
    const long rss_before = status_kib("VmRSS");
    const bool peak_known = reset_peak_rss();
    {
        // "250-xxx…" as the reply to HELO, without end.
        Flood flood({GREETING}, "", continuation_chunk(), FLOOD_LIMIT);
        std::unique_ptr<SMTP> s = session_to(flood.port());
        auto e = thrown<TransferException>([&] { s->sendMessage(); });
        EXPECT_EQ(e.msg, "Reply too long.");
        EXPECT_EQ(e.method, "SMTP::read_response()");
        EXPECT_EQ(e.index, 1u);
        s.reset();
        flood.join();
        EXPECT_GT(flood.flooded(), MAX_REPLY / 2);
        EXPECT_LT(flood.flooded(), FLOOD_LIMIT);
    }
    if (peak_known && rss_before > 0) {
        EXPECT_LT(status_kib("VmHWM") - rss_before, 16 * 1024) << "KiB above the start";
    }
    // As the greeting, through email().
    Flood flood({}, "", continuation_chunk(), FLOOD_LIMIT);
    EXPECT_EQ(send_email(flood.port()), 274u);
    flood.join();
    EXPECT_LT(flood.flooded(), FLOOD_LIMIT);
}

TEST(HostileEndlessReply, CapCountsTheJoinedReplyToTheByte) {
    // 1023 continuation lines of 1024 bytes (CR stripped), then a last line
    // that brings the joined reply to exactly 1 MiB, or one byte past it.
    std::string body;
    for (int i = 0; i < 1023; ++i)
        body += continuation(1024);
    struct Case {
        const char* name;
        std::string last;
        bool fits;
    };
    const Case cases[] = {
        {"exactly 1 MiB", "250 " + std::string(1020, 'y') + "\r\n", true},
        {"one byte more", "250 " + std::string(1021, 'y') + "\r\n", false},
        // The line that passes the cap is not judged: no refusal, the cap.
        {"refusal past the cap", "550 " + std::string(1021, 'y') + "\r\n", false},
        {"bare line feeds", "250 " + std::string(1020, 'y') + "\n", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SocketPair pair;
        SMTP s("client.test", "a@example.test", "unused.invalid", 25);
        adopt(&s, pair.release_client());
        const std::string reply = body + c.last + "250 next reply\r\n";
        JoinedThread writer([&] {
            send_all(pair.peer(), reply);
            ::shutdown(pair.peer(), SHUT_WR);
        });
        if (c.fits) {
            const std::string joined = s.read_response(true);
            EXPECT_EQ(joined.size(), MAX_REPLY);
            EXPECT_EQ(joined.substr(joined.size() - 5), "yyyyy");
            EXPECT_EQ(s.read_response(true), "250 next reply");
        } else {
            auto e = thrown<TransferException>([&] { s.read_response(true); });
            EXPECT_EQ(e.msg, "Reply too long.");
            EXPECT_EQ(e.method, "SMTP::read_response()");
            EXPECT_EQ(e.index, 1u);
            // The reply ended at the line that passed the cap.
            EXPECT_EQ(s.read_response(true), "250 next reply");
        }
        writer.join();
    }
}

TEST(HostileStartTls, InjectedLinesBehindTheReplyGoIntoTheHandshake) {
    // The reply to STARTTLS and forged replies arrive in one segment. The
    // forged lines must not be read as replies: they are what the handshake
    // sees first, and it fails.
    const char* const injected[] = {
        "250 injected\r\n",
        "250-mx.example.test\r\n250-AUTH PLAIN LOGIN\r\n250 8BITMIME\r\n",
        "235 2.7.0 Authentication successful\r\n250 ok\r\n250 ok\r\n354 go\r\n",
        "221 bye\r\n",
    };
    for (const char* forged : injected) {
        SCOPED_TRACE(forged);
        WireSession w(GREETING + "220 2.0.0 go ahead\r\n" + forged);
        w.smtp->setCredentials("tim", "secret", SMTP::AUTO);
        w.smtp->setSSLOpts(SMTP::STARTTLS, SSLSocket::VERIFY_NONE, "", "");
        w.smtp->addMessage("Subject: hi\n\nbody\n", {"b@example.test"});
        auto e = thrown<SSLException>([&] { w.smtp->sendMessage(); });
        EXPECT_EQ(e.method, "SSLSocket::negotiate()");
        EXPECT_EQ(e.index, 4u);
        EXPECT_FALSE(e.msg.empty());
        EXPECT_NE(e.msg, "Socket was closed.");
        EXPECT_FALSE(w.transport->negotiated);
        // In clear only STARTTLS, then the ClientHello record; no command.
        const std::string wire = w.wire();
        ASSERT_GT(wire.size(), 12u);
        EXPECT_EQ(wire.substr(0, 10), "STARTTLS\r\n");
        EXPECT_EQ(wire[10], '\x16');  // TLS handshake record
        EXPECT_EQ(wire.find("EHLO"), std::string::npos);
        EXPECT_EQ(wire.find("HELO"), std::string::npos);
    }
}

TEST(HostileStartTls, InjectedLinesBeforeARealTlsServer) {
    SmtpPeer peer({SmtpPeer::send(GREETING), SmtpPeer::line(),
                   SmtpPeer::send("220 2.0.0 go ahead\r\n250 injected\r\n"), SmtpPeer::start_tls(),
                   SmtpPeer::line(), SmtpPeer::send("250 ok\r\n")});
    std::unique_ptr<SMTP> s = session_to(peer.port());
    s->setSSLOpts(SMTP::STARTTLS, SSLSocket::VERIFY_PEER, TestPki::get().ca_file, "");
    auto e = thrown<SSLException>([&] { s->sendMessage(); });
    EXPECT_EQ(e.method, "SSLSocket::negotiate()");
    EXPECT_EQ(e.index, 4u);
    s.reset();
    peer.join();
    EXPECT_EQ(peer.received_clear(), "STARTTLS\r\n");
    EXPECT_NE(peer.error().find("TLS handshake failed"), std::string::npos) << peer.error();
}

TEST(HostileJunk, JunkInPlaceOfTheGreetingIsUnknown) {
    struct Case {
        std::string sent;
        std::string line;  // the line judged, CR removed
    };
    const Case cases[] = {
        {"* OK IMAP4rev1 Service Ready\r\n", "* OK IMAP4rev1 Service Ready"},
        {"HTTP/1.1 400 Bad Request\r\n\r\n", "HTTP/1.1 400 Bad Request"},
        {"SSH-2.0-OpenSSH_9.6\r\n", "SSH-2.0-OpenSSH_9.6"},
        {"\r\n", ""},
        {"22\r\n", "22"},
        {std::string("\x16\x03\x01\x00\x05hello\n", 11),
         std::string("\x16\x03\x01\x00\x05hello", 10)},
        {std::string("\0\0\0\n", 4), std::string("\0\0\0", 3)},
        // Junk inside a greeting that began well.
        {"220-mx.example.test\r\n+OK POP3 ready\r\n", "+OK POP3 ready"},
    };
    for (SMTP::SSL_TYPE mode : {SMTP::NO_SSL, SMTP::STARTTLS}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << "mode " << mode << ": " << c.line);
            WireSession w(c.sent + GREETING + "250 ok\r\n");
            if (mode == SMTP::STARTTLS)
                w.smtp->setSSLOpts(mode, SSLSocket::VERIFY_NONE, "", "");
            auto e = thrown<TransferException>([&] { w.smtp->sendMessage(); });
            EXPECT_EQ(e.msg, "Unknown message - " + c.line);
            EXPECT_EQ(e.method, "SMTP::evalResponse()");
            EXPECT_EQ(e.index, 3u);
            EXPECT_EQ(w.pair.received(), "");  // not a single command
        }
    }
}

TEST(HostileJunk, PlainTextInPlaceOfImplicitTlsFailsTheHandshake) {
    WireSession w(GREETING + "250 ok\r\n");
    w.smtp->setSSLOpts(SMTP::SMTPS, SSLSocket::VERIFY_NONE, "", "");
    auto e = thrown<SSLException>([&] { w.smtp->sendMessage(); });
    EXPECT_EQ(e.method, "SSLSocket::negotiate()");
    EXPECT_EQ(e.index, 4u);
    const std::string wire = w.wire();
    ASSERT_FALSE(wire.empty());
    EXPECT_EQ(wire[0], '\x16');  // only the ClientHello went out
    EXPECT_EQ(wire.find("HELO"), std::string::npos);
}
