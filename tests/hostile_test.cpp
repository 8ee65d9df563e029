// Hostile servers: lines and replies that never end, plain text injected
// behind the reply to STARTTLS, and junk in place of the greeting. Each ends
// in one exactly known failure, with bounded memory and without waiting for
// the read time-out.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

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

// A figure of /proc/self/status, in KiB; -1 when the line is missing.
long status_kib(const std::string& key) {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);) {
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
    const bool ok = std::fputs("5", f) >= 0;
    return std::fclose(f) == 0 && ok;
}

// A continuation line of len bytes, CR LF added.
std::string continuation(size_t len) {
    return "250-" + std::string(len - 4, 'x') + "\r\n";
}

// A thread that is joined when it goes out of scope, also when a test
// fails by an exception.
class JoinedThread {
public:
    template <class F>
    explicit JoinedThread(F f) : thread_(f) {}
    ~JoinedThread() { thread_.join(); }

private:
    std::thread thread_;
};

class TlsSocket : public SSLSocket {
public:
    using SSLSocket::SSLSocket;
    void connect() override {}
};

}  // namespace

TEST(HostileFlood, EndlessLineOrReplyFailsAtItsCapWithBoundedMemory) {
    using P = SmtpPeer;
    std::string lines;  // 64 continuation lines of 1024 bytes and CR LF
    for (int i = 0; i < 64; ++i)
        lines += continuation(1024);
    struct Case {
        const char* name;
        std::vector<P::Step> script;
        std::string msg, method;
        u32 index;
        size_t least;  // bytes the client takes before it fails
    } cases[] = {
        {"reply to MAIL FROM without line end",
         {P::send(GREETING), P::line(), P::send("250 mx\r\n"), P::line(), P::send("250 "),
          P::flood(std::string(64 * 1024, 'x'))},
         "Line too long.",
         "Socket::readSocket()",
         6,
         Socket::MAX_LINE / 2},
        {"continuation lines forever after HELO",
         {P::send(GREETING), P::line(), P::flood(lines)},
         "Reply too long.",
         "SMTP::read_response()",
         1,
         MIB / 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const long rss_before = status_kib("VmRSS");
        const bool peak_known = reset_peak_rss();
        SmtpPeer peer(c.script);
        std::unique_ptr<SMTP> s(
            new SMTP("client.test", "a@example.test", "127.0.0.1", static_cast<u32>(peer.port())));
        s->addMessage("Subject: hi\n\nbody\n", {"b@example.test"});
        auto e = thrown<TransferException>([&] { s->sendMessage(); });
        EXPECT_EQ(e.msg, c.msg);
        EXPECT_EQ(e.method, c.method);
        EXPECT_EQ(e.index, c.index);
        EXPECT_EQ(s->msgs.size(), 1u);
        s.reset();  // closes the connection, which ends the flood
        peer.join();
        EXPECT_GT(peer.flooded(), c.least);
        EXPECT_LT(peer.flooded(), SmtpPeer::FLOOD_LIMIT);
        if (peak_known && rss_before > 0) {
            // Held up to the cap, never the megabytes behind it.
            EXPECT_LT(status_kib("VmHWM") - rss_before, 16 * 1024) << "KiB above the start";
        }
    }
}

TEST(HostileLongLine, TlsLinesAreCappedLikePlainOnes) {
    // A line of exactly MAX_LINE bytes passes; one byte more fails at once.
    SocketPair pair;
    const int peer = pair.peer();
    JoinedThread server([&] {
        TlsServer tls(peer);
        if (tls.accept()) {
            tls.write(std::string(Socket::MAX_LINE, 'a') + "\n" +
                      std::string(Socket::MAX_LINE + 1, 'b') + "\nnext\n");
        }
        ::shutdown(peer, SHUT_RDWR);
    });
    TlsSocket s("mx.example.test", pair.release_client());
    s.setSSLOpts(SSLSocket::VERIFY_NONE);
    s.negotiate();
    EXPECT_TRUE(s.readSocket() == std::string(Socket::MAX_LINE, 'a'));
    auto e = thrown<SSLException>([&] { s.readSocket(); });
    EXPECT_EQ(e.msg, "Line too long.");
    EXPECT_EQ(e.method, "SSLSocket::ssl_readSocket()");
    EXPECT_EQ(e.index, 3u);
    // The bytes taken so far are gone; reading goes on after them.
    EXPECT_EQ(s.readSocket(), "");
    EXPECT_EQ(s.readSocket(), "next");
}

TEST(HostileEndlessReply, CapCountsTheJoinedReplyToTheByte) {
    // 1023 continuation lines of 1024 bytes (CR stripped), then a line that
    // brings the joined reply to exactly 1 MiB, or one byte past it.
    std::string body;
    for (int i = 0; i < 1023; ++i)
        body += continuation(1024);
    const struct {
        const char* name;
        std::string last;
        bool fits;
    } cases[] = {
        {"exactly 1 MiB", "250 " + std::string(1020, 'y') + "\r\n", true},
        {"bare line feeds", "250 " + std::string(1020, 'y') + "\n", true},
        {"one byte more", "250 " + std::string(1021, 'y') + "\r\n", false},
        // The line that passes the cap is not judged: no refusal, the cap.
        {"refusal past the cap", "550 " + std::string(1021, 'y') + "\r\n", false},
        // Judged as the line arrives, not at the end of the reply.
        {"continuation past the cap", "250-" + std::string(1021, 'y') + "\r\n", false},
    };
    for (const auto& c : cases) {
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
            EXPECT_EQ(joined.size(), MIB);
            EXPECT_EQ(joined.substr(joined.size() - 5), "yyyyy");
        } else {
            auto e = thrown<TransferException>([&] { s.read_response(true); });
            EXPECT_EQ(e.msg, "Reply too long.");
            EXPECT_EQ(e.method, "SMTP::read_response()");
            EXPECT_EQ(e.index, 1u);
        }
        // The reply ended at its last line, or at the line that passed the cap.
        EXPECT_EQ(s.read_response(true), "250 next reply");
    }
}

TEST(HostileStartTls, InjectedLinesBehindTheReplyGoIntoTheHandshake) {
    // The reply to STARTTLS and forged replies arrive in one segment. The
    // forged lines must not be read as replies: they are what the handshake
    // sees first, and it fails on them (not on the end of the stream).
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
        EXPECT_EQ(wire.substr(0, 11), "STARTTLS\r\n\x16");  // TLS handshake record
        EXPECT_EQ(wire.find("EHLO"), std::string::npos);
        EXPECT_EQ(wire.find("HELO"), std::string::npos);
    }
}

TEST(HostileJunk, JunkInPlaceOfTheGreetingIsUnknown) {
    const struct {
        std::string sent;
        std::string line;  // the line judged, CR removed
    } cases[] = {
        {"* OK IMAP4rev1 Service Ready\r\n", "* OK IMAP4rev1 Service Ready"},
        {"\r\n", ""},
        {std::string("\x16\x03\x01\x00\x05hello\n", 11),
         std::string("\x16\x03\x01\x00\x05hello", 10)},
        {std::string("\0\0\0\n", 4), std::string("\0\0\0", 3)},
        // Junk inside a greeting that began well.
        {"220-mx.example.test\r\n+OK POP3 ready\r\n", "+OK POP3 ready"},
    };
    // With STARTTLS the greeting is judged before STARTTLS is sent.
    for (SMTP::SSL_TYPE mode : {SMTP::NO_SSL, SMTP::STARTTLS}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(testing::Message() << "mode " << mode << ": " << c.line);
            WireSession w(c.sent + GREETING + "250 ok\r\n");
            w.smtp->setSSLOpts(mode, SSLSocket::VERIFY_NONE, "", "");
            auto e = thrown<TransferException>([&] { w.smtp->sendMessage(); });
            EXPECT_EQ(e.msg, "Unknown message - " + c.line);
            EXPECT_EQ(e.method, "SMTP::evalResponse()");
            EXPECT_EQ(e.index, 3u);
            EXPECT_EQ(w.wire(), "");  // not a single command
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
