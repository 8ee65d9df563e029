// Faults at every byte: a server plays its side of a whole dialogue and cuts
// the connection after k bytes of it, for every k from 0 to the whole length,
// in plain text, with STARTTLS and with implicit TLS, with and without SMTP
// AUTH, through the SMTP class and through email(). Over TLS the cut is also
// counted in bytes on the wire (inside the handshake and the TLS records).
// Every cut ends in one failure raised by the transport, the whole length in
// success; the session's descriptor stays open until the session goes and
// then closes, and no descriptor is left behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "emailwrap.h"
#include "exception.h"
#include "smtp.h"
#include "smtp_peer.h"
#include "support.h"
#include "tls_peer.h"

namespace {

// Under the sanitizers a TLS run costs about ten times as much; the cuts
// on the wire then take every RAW_STRIDE-th byte plus the edges.
#if defined(__SANITIZE_ADDRESS__)
const size_t RAW_STRIDE = 7;
#else
const size_t RAW_STRIDE = 1;
#endif
const size_t UNLIMITED = SIZE_MAX;

const std::string TEXT = "From: a@example.test\nTo: b@example.test\nSubject: hi\n\nbody\n";
// The text email() builds from its arguments below.
const std::string EMAIL_TEXT = "From: a@example.test\nTo: b@example.test\nSubject: hi\nbody\n";

enum class Tls { NONE, STARTTLS, SMTPS };
// PLAIN is what AUTO picks from "AUTH PLAIN LOGIN"; LOGIN is asked for.
enum class Auth { NONE, PLAIN, LOGIN };

struct Config {
    Tls tls;
    Auth auth;
};

std::string config_name(const testing::TestParamInfo<Config>& info) {
    const char* tls[] = {"Plain", "StartTls", "ImplicitTls"};
    const char* auth[] = {"Helo", "AuthPlain", "AuthLogin"};
    return std::string(tls[static_cast<int>(info.param.tls)]) +
           auth[static_cast<int>(info.param.auth)];
}

struct Step {
    enum Kind { SEND, LINE, DATA, TLS } kind;
    std::string text;
};

// Both sides of one complete dialogue.
struct Dialogue {
    std::vector<Step> server;  // what the server sends and waits for
    std::string client;        // every byte the client writes, in order
    size_t length = 0;         // bytes of SMTP text the server sends in all
};

Dialogue dialogue(const Config& c, const std::string& domain, const std::string& text) {
    Dialogue d;
    auto send = [&d](const std::string& t) {
        d.server.push_back({Step::SEND, t});
        d.length += t.size();
    };
    auto line = [&d](const std::string& expected) {
        d.server.push_back({Step::LINE, ""});
        d.client += expected;
    };
    if (c.tls == Tls::SMTPS)
        d.server.push_back({Step::TLS, ""});
    send("220-mx.example.test ESMTP\r\n220 ready\r\n");
    if (c.tls == Tls::STARTTLS) {
        line("STARTTLS\r\n");
        send("220 2.0.0 Ready to start TLS\r\n");
        d.server.push_back({Step::TLS, ""});
    }
    if (c.auth == Auth::NONE) {
        line("HELO " + domain + "\r\n");
        send("250 mx.example.test\r\n");
    } else {
        line("EHLO " + domain + "\r\n");
        send("250-mx.example.test\r\n250-AUTH PLAIN LOGIN\r\n250 8BITMIME\r\n");
        if (c.auth == Auth::PLAIN) {
            line("AUTH PLAIN AHRpbQBzZWNyZXQ=\r\n");  // "\0tim\0secret"
        } else {
            line("AUTH LOGIN\r\n");
            send("334 VXNlcm5hbWU6\r\n");
            line("dGlt\r\n");
            send("334 UGFzc3dvcmQ6\r\n");
            line("c2VjcmV0\r\n");
        }
        send("235 2.7.0 Authentication successful\r\n");
    }
    line("MAIL FROM: <a@example.test>\r\n");
    send("250 2.1.0 Ok\r\n");
    line("RCPT TO: <b@example.test>\r\n");
    send("250 2.1.5 Ok\r\n");
    line("DATA\r\n");
    send("354 End data with <CR><LF>.<CR><LF>\r\n");
    d.server.push_back({Step::DATA, ""});
    d.client += text + "\r\n.\r\n";
    send("250 2.0.0 Ok: queued\r\n");
    line("QUIT\r\n");
    send("221 2.0.0 Bye\r\n");
    return d;
}

// The server's TLS context, made once: the test PKI's server certificate.
SSL_CTX* server_context() {
    static SSL_CTX* const ctx = [] {
        const TestPki& pki = TestPki::get();
        SSL_CTX* c = SSL_CTX_new(TLS_server_method());
        if (c == nullptr ||
            SSL_CTX_use_certificate_file(c, pki.server_cert.c_str(), SSL_FILETYPE_PEM) != 1 ||
            SSL_CTX_use_PrivateKey_file(c, pki.server_key.c_str(), SSL_FILETYPE_PEM) != 1) {
            throw std::runtime_error("server TLS context");
        }
        return c;
    }();
    return ctx;
}

// The server's descriptor with a budget of bytes on the wire. Writing past
// the budget sends what fits and then fails for good: that is the cut.
struct Wire {
    int fd = -1;
    size_t left = UNLIMITED;
    size_t written = 0;
    bool cut = false;

    bool put(const char* p, size_t n) {
        const size_t fits = std::min(n, left);
        if (!send_all(fd, std::string(p, fits)))
            return false;
        written += fits;
        if (left != UNLIMITED)
            left -= fits;
        cut = cut || fits < n;
        return !cut;
    }
    // Up to n bytes; 0 at the end of the stream, -1 on failure or time-out.
    ssize_t get(char* p, size_t n) {
        ssize_t r = -1;
        while (wait_for(fd, POLLIN) && (r = ::recv(fd, p, n, 0)) < 0 && errno == EINTR) {
        }
        return r;
    }
};

// A BIO over a Wire, so that the TLS connection runs over the budget.
BIO* wire_bio(Wire* w) {
    static BIO_METHOD* const method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "test wire");
        BIO_meth_set_write(m, [](BIO* bio, const char* buf, int len) {
            BIO_clear_retry_flags(bio);
            Wire* wire = static_cast<Wire*>(BIO_get_data(bio));
            return wire->put(buf, static_cast<size_t>(len)) ? len : -1;
        });
        BIO_meth_set_read(m, [](BIO* bio, char* buf, int len) {
            BIO_clear_retry_flags(bio);
            Wire* wire = static_cast<Wire*>(BIO_get_data(bio));
            return static_cast<int>(wire->get(buf, static_cast<size_t>(len)));
        });
        BIO_meth_set_ctrl(
            m, [](BIO*, int cmd, long, void*) -> long { return cmd == BIO_CTRL_FLUSH ? 1 : 0; });
        return m;
    }();
    BIO* bio = BIO_new(method);
    BIO_set_data(bio, w);
    BIO_set_init(bio, 1);
    return bio;
}

// How a server ends a cut over TLS.
enum class Close { ABRUPT, NOTIFY };

// Plays the server's side of a dialogue on its own thread, over fd (owned
// and closed when the play ends) or, with listening set, over the first
// connection accepted on fd. It stops and closes just before the first byte
// past `budget` bytes of SMTP text (counted before encryption) or past
// `raw_budget` bytes on the wire, whichever comes first. A cut over TLS ends
// with a TLS closing message first when close is NOTIFY.
class CuttingServer {
public:
    CuttingServer(int fd, bool listening, const Dialogue& d, size_t budget, size_t raw_budget,
                  Close close)
        : steps_(d.server), budget_(budget), close_(close), listening_(listening) {
        wire_.fd = fd;
        wire_.left = raw_budget;
        thread_ = std::thread([this] { run(); });
    }
    ~CuttingServer() { join(); }

    void join() {
        if (thread_.joinable())
            thread_.join();
    }
    // The following are read after join().
    bool cut() const { return cut_; }
    bool cut_over_tls() const { return cut_over_tls_; }
    size_t wire_bytes() const { return wire_.written; }
    const std::string& received() const { return received_; }
    // Empty when the server saw everything it waited for.
    const std::string& error() const { return error_; }

private:
    bool write(const std::string& data) {
        if (ssl_ == nullptr)
            return wire_.put(data.data(), data.size());
        return SSL_write(ssl_, data.data(), static_cast<int>(data.size())) ==
               static_cast<int>(data.size());
    }
    bool read_line() {
        char c = 0;
        while (c != '\n') {
            if (ssl_ != nullptr ? SSL_read(ssl_, &c, 1) != 1 : wire_.get(&c, 1) != 1)
                return false;
            received_ += c;
        }
        return true;
    }
    bool data_done() const {
        return received_.size() >= 5 &&
               received_.compare(received_.size() - 5, 5, "\r\n.\r\n") == 0;
    }
    // Runs one step; false ends the play.
    bool play(const Step& step) {
        switch (step.kind) {
            case Step::SEND: {
                const size_t n = std::min(budget_, step.text.size());
                if (n > 0 && !write(step.text.substr(0, n))) {
                    if (!wire_.cut)
                        error_ = "writing to the client failed";
                    return false;
                }
                budget_ -= n;
                cut_ = n < step.text.size();
                return !cut_;
            }
            case Step::LINE:
                if (!read_line())
                    error_ = "no line from the client";
                return error_.empty();
            case Step::DATA:
                while (error_.empty() && !data_done()) {
                    if (!read_line())
                        error_ = "no end of data from the client";
                }
                return error_.empty();
            case Step::TLS:
                ssl_ = SSL_new(server_context());
                if (ssl_ == nullptr) {
                    error_ = "SSL_new";
                    return false;
                }
                BIO* bio = wire_bio(&wire_);
                SSL_set_bio(ssl_, bio, bio);
                if (SSL_accept(ssl_) != 1 && !wire_.cut)
                    error_ = "TLS handshake failed";
                return error_.empty() && !wire_.cut;
        }
        return false;
    }
    void run() {
        if (listening_) {
            const int listener = wire_.fd;
            wire_.fd = wait_for(listener, POLLIN) ? ::accept(listener, nullptr, nullptr) : -1;
            ::close(listener);
            if (wire_.fd < 0) {
                error_ = "no connection";
                return;
            }
            // Small TLS records one after another must not wait for acks.
            const int one = 1;
            ::setsockopt(wire_.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        }
        for (const Step& step : steps_) {
            if (!play(step))
                break;
        }
        cut_ = cut_ || wire_.cut;
        cut_over_tls_ = cut_ && ssl_ != nullptr;
        if (ssl_ != nullptr) {
            if (cut_ && !wire_.cut && close_ == Close::NOTIFY)
                SSL_shutdown(ssl_);
            SSL_free(ssl_);
        }
        ERR_clear_error();
        ::close(wire_.fd);
    }

    std::vector<Step> steps_;
    size_t budget_;
    Close close_;
    bool listening_;
    Wire wire_;
    SSL* ssl_ = nullptr;
    bool cut_ = false;
    bool cut_over_tls_ = false;
    std::string received_;
    std::string error_;
    std::thread thread_;
};

// What the client ended with, and where the server was when it cut.
struct Outcome {
    bool ok = false;
    Exception e{"", "", 0};
    bool cut_over_tls = false;
    size_t wire_bytes = 0;
};

std::ostream& operator<<(std::ostream& out, const Outcome& o) {
    if (o.ok)
        return out << "success";
    return out << o.e.name << " (" << o.e.method << " " << o.e.index << ": " << o.e.msg << ")";
}

bool raised_by_transport(const Outcome& o) {
    for (const char* m : {"Socket::readSocket()", "Socket::writeSocket()", "SSLSocket::negotiate()",
                          "SSLSocket::ssl_readSocket()", "SSLSocket::ssl_writeSocket()"}) {
        if (o.e.method == m)
            return true;
    }
    return false;
}

bool is_open(int fd) {
    return ::fcntl(fd, F_GETFD) != -1;
}

// One session for c against a server cut at budget / raw_budget, with the
// checks that hold for every cut.
Outcome run_cut(const Config& c, const Dialogue& d, size_t budget, size_t raw_budget, Close close) {
    const int before = open_descriptor_count();
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        throw std::runtime_error("socketpair failed");
    CuttingServer server(fds[1], false, d, budget, raw_budget, close);
    std::unique_ptr<SMTP> s(new SMTP("client.test", "a@example.test", "unused.invalid", 25));
    adopt(s.get(), fds[0]);
    if (c.auth != Auth::NONE)
        s->setCredentials("tim", "secret", c.auth == Auth::PLAIN ? SMTP::AUTO : SMTP::LOGIN);
    if (c.tls == Tls::STARTTLS)
        s->setSSLOpts(SMTP::STARTTLS, SSLSocket::VERIFY_PEER, TestPki::get().ca_file, "");
    if (c.tls == Tls::SMTPS)
        s->setSSLOpts(SMTP::SMTPS, SSLSocket::VERIFY_NONE, "", "");
    s->addMessage(TEXT, {"b@example.test"});
    Outcome o;
    try {
        s->sendMessage();
        o.ok = true;
    } catch (const Exception& e) {
        o.e = e;
    }  // anything else fails the test where it is thrown
    server.join();

    EXPECT_EQ(server.error(), "");
    EXPECT_EQ(o.ok, !server.cut()) << o;
    if (o.ok) {
        EXPECT_EQ(server.received(), d.client);
    } else {
        EXPECT_TRUE(raised_by_transport(o)) << o;
    }
    EXPECT_EQ(s->msgs.size(), o.ok ? 0u : 1u);
    EXPECT_EQ(s->socket->sockfd, fds[0]);
    EXPECT_TRUE(is_open(fds[0])) << "closed before the session went";
    s.reset();
    errno = 0;
    EXPECT_FALSE(is_open(fds[0])) << "left open by the session";
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(open_descriptor_count(), before);
    o.cut_over_tls = server.cut_over_tls();
    o.wire_bytes = server.wire_bytes();
    return o;
}

// Stops a matrix after the first few failing runs.
bool too_many_failures(int* failing) {
    return ::testing::Test::HasFailure() && ++*failing >= 5;
}

const Config ALL_CONFIGS[] = {
    {Tls::NONE, Auth::NONE},     {Tls::NONE, Auth::PLAIN},     {Tls::NONE, Auth::LOGIN},
    {Tls::STARTTLS, Auth::NONE}, {Tls::STARTTLS, Auth::PLAIN}, {Tls::STARTTLS, Auth::LOGIN},
    {Tls::SMTPS, Auth::NONE},    {Tls::SMTPS, Auth::PLAIN},    {Tls::SMTPS, Auth::LOGIN},
};

class FaultInSmtpText : public ::testing::TestWithParam<Config> {};
class FaultOnTheWire : public ::testing::TestWithParam<Config> {};
class FaultThroughEmail : public ::testing::TestWithParam<Config> {};

}  // namespace

// Cut after k bytes of the server's SMTP text, for every k. The client is
// waiting for a reply at every cut, so the failure is known exactly: the
// end of the stream, in clear or over TLS. Over TLS even k end without and
// odd k with a TLS closing message.
TEST_P(FaultInSmtpText, EveryCutFailsAtTheTransportAndLeavesNothingBehind) {
    const Config c = GetParam();
    const Dialogue d = dialogue(c, "client.test", TEXT);
    int failing = 0;
    for (size_t k = 0; k <= d.length; ++k) {
        SCOPED_TRACE(testing::Message() << "cut after " << k << " of " << d.length << " bytes");
        const Close close = k % 2 == 0 ? Close::ABRUPT : Close::NOTIFY;
        const Outcome o = run_cut(c, d, k, UNLIMITED, close);
        if (k == d.length) {
            EXPECT_TRUE(o.ok) << o;
        } else if (!o.cut_over_tls) {
            EXPECT_EQ(o.e.name, "TransferException") << o;
            EXPECT_EQ(o.e.msg, "Socket was closed.");
            EXPECT_EQ(o.e.method, "Socket::readSocket()");
            EXPECT_EQ(o.e.index, 4u);
        } else {
            EXPECT_NE(c.tls, Tls::NONE);
            EXPECT_EQ(o.e.name, "SSLException") << o;
            EXPECT_EQ(o.e.method, "SSLSocket::ssl_readSocket()");
            EXPECT_EQ(o.e.index, 1u);
            if (close == Close::ABRUPT) {
                EXPECT_EQ(o.e.msg, "Socket was closed.");
            }
        }
        if (too_many_failures(&failing))
            break;
    }
}

INSTANTIATE_TEST_SUITE_P(AllModes, FaultInSmtpText, ::testing::ValuesIn(ALL_CONFIGS), config_name);

// Cut after k bytes on the wire: inside the handshake, inside TLS records
// and in the clear part of STARTTLS. Exactly the cuts before the last byte
// fail; each failure comes from the transport.
TEST_P(FaultOnTheWire, EveryCutInsideTlsFailsAtTheTransport) {
    const Config c = GetParam();
    const Dialogue d = dialogue(c, "client.test", TEXT);
    // Signatures vary in length by a byte or two from one handshake to the
    // next, so the matrix runs a little past the length first measured.
    const Outcome whole = run_cut(c, d, UNLIMITED, UNLIMITED, Close::ABRUPT);
    ASSERT_TRUE(whole.ok);
    const size_t total = whole.wire_bytes;
    ASSERT_GT(total, d.length);
    int failing = 0;
    for (size_t k = 0; k <= total + 8; ++k) {
        if (k % RAW_STRIDE != 0 && k > 8 && k + 8 < total)
            continue;
        SCOPED_TRACE(testing::Message()
                     << "cut after " << k << " of about " << total << " bytes on the wire");
        run_cut(c, d, UNLIMITED, k, Close::ABRUPT);
        if (too_many_failures(&failing))
            break;
    }
}

INSTANTIATE_TEST_SUITE_P(TlsModes, FaultOnTheWire,
                         ::testing::Values(Config{Tls::STARTTLS, Auth::PLAIN},
                                           Config{Tls::SMTPS, Auth::LOGIN}),
                         config_name);

// email() against the same cuts over TCP: 274 for every cut, 0 for the
// whole dialogue, and no descriptor left behind.
TEST_P(FaultThroughEmail, EveryCutGives274) {
    const Config c = GetParam();
    const Dialogue d = dialogue(c, "localhost", EMAIL_TEXT);
    const u8 auth = c.auth == Auth::NONE ? 0 : 4;
    const char* ssl = c.tls == Tls::NONE ? "" : "enable";
    const char* ssl_type = c.tls == Tls::STARTTLS ? "STARTTLS" : "SMTPS";
    int failing = 0;
    for (size_t k = 0; k <= d.length; ++k) {
        SCOPED_TRACE(testing::Message() << "cut after " << k << " of " << d.length << " bytes");
        const int before = open_descriptor_count();
        int port = 0;
        CuttingServer server(listen_loopback(&port), true, d, k, UNLIMITED,
                             k % 2 == 0 ? Close::ABRUPT : Close::NOTIFY);
        const u32 result = email("a@example.test", "b@example.test", "hi", "body", "127.0.0.1",
                                 auth, "tim", "secret", static_cast<u32>(port), ssl, ssl_type, "");
        server.join();
        EXPECT_EQ(server.error(), "");
        EXPECT_EQ(server.cut(), k < d.length);
        EXPECT_EQ(result, server.cut() ? 274u : 0u);
        if (k == d.length) {
            EXPECT_EQ(server.received(), d.client);
        }
        EXPECT_EQ(open_descriptor_count(), before);
        if (too_many_failures(&failing))
            break;
    }
}

INSTANTIATE_TEST_SUITE_P(Subset, FaultThroughEmail,
                         ::testing::Values(Config{Tls::NONE, Auth::PLAIN},
                                           Config{Tls::STARTTLS, Auth::NONE},
                                           Config{Tls::SMTPS, Auth::PLAIN}),
                         config_name);
