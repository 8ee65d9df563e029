// TLS negotiated in place on a socket pair, against a TLS server run by the
// test on its own thread.
#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "exception.h"
#include "sslsocket.h"
#include "support.h"
#include "tls_peer.h"

namespace {

class TlsSocket : public SSLSocket {
public:
    using SSLSocket::SSLSocket;
    void connect() override {}
};

std::vector<std::pair<std::string, int>> sink;

void collect(std::string text, int level) {
    sink.emplace_back(text, level);
}

// The fragments of one level joined, then cut into lines (line feed kept).
std::vector<std::string> logged_lines(int level) {
    std::string all;
    for (const auto& f : sink) {
        if (f.second == level)
            all += f.first;
    }
    std::vector<std::string> lines;
    for (size_t start = 0, end = 0; start < all.size(); start = end) {
        end = all.find('\n', start);
        end = end == std::string::npos ? all.size() : end + 1;
        lines.push_back(all.substr(start, end - start));
    }
    return lines;
}

std::string hostname() {
    struct utsname u;
    uname(&u);
    return u.nodename;
}

// A socket on one end of a pair, verifying against the test CA, and the TLS
// server of the other end, started by serve() on its own thread and joined
// when the link goes: what the server's part writes is declared before the
// link. Clears the log sink.
struct TlsLink {
    TlsLink() : s("mx.example.test", pair.release_client()) {
        sink.clear();
        s.setVerifyLocations(TestPki::get().ca_file, "");
    }
    ~TlsLink() { join(); }
    // After delay_ms, the handshake presenting cert, then part if it
    // succeeded; then the server's end stops sending, so a client still
    // reading sees the end of the stream.
    void serve(std::function<void(TlsServer&)> part = {}) {
        server.reset(new std::thread([this, part] {
            ::usleep(static_cast<useconds_t>(delay_ms) * 1000);
            TlsServer tls(pair.peer(), cert, key);
            accepted = tls.accept();
            if (accepted && part)
                part(tls);
            ::shutdown(pair.peer(), SHUT_WR);
        }));
    }
    // Waits for the server; true when its handshake succeeded.
    bool join() {
        if (server && server->joinable())
            server->join();
        return accepted;
    }

    SocketPair pair;
    TlsSocket s;
    std::string cert = TestPki::get().server_cert;
    std::string key = TestPki::get().server_key;
    int delay_ms = 0;
    bool accepted = false;
    std::unique_ptr<std::thread> server;
};

}  // namespace

TEST(SSLHandshake, VerifiesTheChainAgainstTheCaFileOrHashedCaDirUnlessTurnedOff) {
    const TestPki& pki = TestPki::get();
    struct Case {
        const char* name;
        std::string file;
        std::string dir;
        SSLSocket::SSL_OPTS opts;
        bool trusted;
    };
    const Case cases[] = {
        {"CA file", pki.ca_file, "", SSLSocket::VERIFY_PEER, true},
        {"hashed CA directory", "", pki.ca_dir, SSLSocket::VERIFY_PEER, true},
        {"both", pki.ca_file, pki.ca_dir, SSLSocket::VERIFY_PEER, true},
        {"CA that signed nothing", pki.other_ca_file, "", SSLSocket::VERIFY_PEER, false},
        {"no trust anchor at all", "", "", SSLSocket::VERIFY_PEER, false},
        {"verification off, untrusted", pki.other_ca_file, "", SSLSocket::VERIFY_NONE, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string from_client;
        TlsLink link;
        link.s.setSSLOpts(c.opts);
        link.s.setVerifyLocations(c.file, c.dir);
        link.serve([&](TlsServer& tls) {
            tls.write("220 over tls\r\n");
            from_client = tls.read_line();
        });
        if (!c.trusted) {
            auto e = thrown<SSLException>([&] { link.s.negotiate(); });
            EXPECT_EQ(e.method, "SSLSocket::negotiate()");
            EXPECT_EQ(e.index, 4u);
            EXPECT_NE(e.msg.find("certificate verify failed"), std::string::npos) << e.msg;
            EXPECT_FALSE(link.s.negotiated);
            EXPECT_FALSE(link.join());
            continue;
        }
        link.s.negotiate();
        EXPECT_TRUE(link.s.negotiated);
        EXPECT_EQ(link.s.readSocket(), "220 over tls\r");
        link.s.writeSocket("EHLO client.example.test\r\n");
        EXPECT_TRUE(link.join());
        EXPECT_EQ(from_client, "EHLO client.example.test\r\n");
    }
}

TEST(SSLHandshake, BadCaLocationFailsBeforeAnyByteIsSent) {
    TempDir tmp;
    const std::string file = tmp.file("absent.pem"), dir = tmp.file("absent");
    const std::string junk = tmp.file("junk.pem");
    { std::ofstream(junk) << "this is not a certificate\n"; }
    struct Case {
        const char* name;
        std::string file;
        std::string dir;
        std::string exception;
        std::string msg;  // for SSLException: the start of the text
        unsigned index;
    };
    const Case cases[] = {
        {"CA file", file, "", "IOException", file + " does not exist.", 7},
        {"CA directory", "", dir, "IOException", dir + " does not exist.", 9},
        {"file checked first", file, dir, "IOException", file + " does not exist.", 7},
        {"directory after a good file", TestPki::get().ca_file, dir, "IOException",
         dir + " does not exist.", 9},
        {"file without certificates", junk, "", "SSLException", "error:", 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TlsLink link;
        link.s.setVerifyLocations(c.file, c.dir);
        Exception e("", "", 0);
        try {
            link.s.negotiate();
            ADD_FAILURE() << "nothing was thrown";
        } catch (const Exception& caught) {
            e = caught;
        }
        EXPECT_EQ(e.name, c.exception);
        EXPECT_EQ(c.exception == "SSLException" ? e.msg.substr(0, c.msg.size()) : e.msg, c.msg);
        EXPECT_EQ(e.method, "SSLSocket::negotiate()");
        EXPECT_EQ(e.index, c.index);
        EXPECT_EQ(link.pair.received(50), "");
        EXPECT_FALSE(link.s.negotiated);
    }
}

TEST(SSLHandshake, UnreadableCaLocationFails) {
    // As root, access() ignores permission bits: the checks run in a child
    // that has given up its privileges; a bit of its exit status per case.
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to switch to an unprivileged user";
    TempDir tmp;
    ASSERT_EQ(chmod(tmp.path().c_str(), 0755), 0);
    const std::string file = tmp.file("locked.pem"), dir = tmp.file("locked");
    { std::ofstream(file) << "not read\n"; }
    ASSERT_EQ(chmod(file.c_str(), 0), 0);
    ASSERT_EQ(mkdir(dir.c_str(), 0), 0);

    pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(77);
        auto fails = [](const std::string& f, const std::string& d, const std::string& path,
                        unsigned index) {
            SocketPair pair;
            TlsSocket s("mx.example.test", pair.release_client());
            s.setVerifyLocations(f, d);
            try {
                s.negotiate();
            } catch (const IOException& e) {
                return e.msg == path + " is not readable." && e.index == index &&
                       e.method == "SSLSocket::negotiate()";
            } catch (...) {
            }
            return false;
        };
        _exit((fails(file, "", file, 8) ? 0 : 1) | (fails("", dir, dir, 10) ? 0 : 2));
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "cannot switch to user nobody here";
    EXPECT_EQ(WEXITSTATUS(status) & 1, 0) << "unreadable CA file not reported as index 8";
    EXPECT_EQ(WEXITSTATUS(status) & 2, 0) << "unreadable CA directory not reported as index 10";
}

TEST(SSLHandshake, SecondNegotiationStartsFromFreshObjects) {
    TlsLink first;
    first.serve([](TlsServer& tls) { tls.write("220 first\r\n"); });
    first.s.negotiate();
    EXPECT_EQ(first.s.readSocket(), "220 first\r");
    first.join();
    // A new descriptor, as after a new connection, with the first
    // connection's TLS objects still in place.
    TlsLink second;
    second.serve([](TlsServer& tls) { tls.write("220 second\r\n"); });
    std::swap(first.s.sockfd, second.s.sockfd);
    first.s.negotiate();
    EXPECT_TRUE(first.s.negotiated);
    EXPECT_EQ(first.s.readSocket(), "220 second\r");
}

TEST(SSLHandshake, HandshakeAndReadRetryWhileTheyWantMoreInput) {
    // A descriptor without blocking makes every wait a want-read outcome.
    TlsLink link;
    link.delay_ms = 50;
    link.serve([](TlsServer& tls) {
        ::usleep(50 * 1000);
        tls.write("220 late\r\n");
    });
    ASSERT_EQ(fcntl(link.s.sockfd, F_SETFL, O_NONBLOCK), 0);
    link.s.setVerbosity(Logger::ERROR);
    link.s.setCallBackFunction(collect);
    link.s.negotiate();
    EXPECT_EQ(link.s.readSocket(), "220 late\r");
    // Notices of the handshake, then notices of the read, and nothing else.
    const std::vector<std::string> notices = logged_lines(Logger::ERROR);
    size_t n = 0;
    while (n < notices.size() &&
           notices[n] == "SSL_connect() operation did not complete. I try it again.\n") {
        ++n;
    }
    EXPECT_GT(n, 0u);
    EXPECT_GT(notices.size(), n);
    EXPECT_EQ(std::vector<std::string>(notices.begin() + static_cast<long>(n), notices.end()),
              std::vector<std::string>(notices.size() - n,
                                       "SSL_read() operation did not complete. I try it again.\n"));
}

TEST(SSLLines, PlainUntilNegotiatedThenTlsOnTheSameDescriptorUntilThePeerGoes) {
    std::vector<std::string> from_client;
    TlsLink link;
    TlsSocket& s = link.s;
    link.pair.send("220 go ahead\r\n");
    EXPECT_EQ(s.readSocket(), "220 go ahead\r");
    s.writeSocket("STARTTLS\r\n");
    EXPECT_EQ(link.pair.received(2000), "STARTTLS\r\n");

    link.serve([&](TlsServer& tls) {
        tls.write("250-first\r\n250 second\n\r\n");
        from_client.push_back(tls.read_line());
        from_client.push_back(tls.read_line());
    });
    s.negotiate();
    s.setVerbosity(Logger::VERBOSE);
    s.setCallBackFunction(collect);
    EXPECT_EQ(s.readSocket(), "250-first\r");
    EXPECT_EQ(s.readSocket(), "250 second");
    EXPECT_EQ(s.readSocket(), "\r");
    s.writeSocket("QUIT\r\n");
    s.writeSocket("");  // no record, no failure
    s.writeSocket("bare\n");
    link.join();
    EXPECT_EQ(from_client, (std::vector<std::string>{"QUIT\r\n", "bare\n"}));
    // The transcript; the empty write shows the local name alone.
    const std::string local = hostname() + ":\t";
    const std::vector<std::string> transcript = {
        "mx.example.test:\t250-first\r\n", "mx.example.test:\t250 second\n",
        "mx.example.test:\t\r\n", local + "QUIT\r\n", local + local + "bare\n"};
    EXPECT_EQ(logged_lines(Logger::VERBOSE), transcript);

    // SIGPIPE keeps its default action: raising it would end the test, here
    // or in the destructor's closing message.
    link.pair.close_peer();
    auto e = thrown<SSLException>([&] { s.writeSocket("QUIT\r\n"); });
    EXPECT_EQ(e.msg, std::strerror(EPIPE));
    EXPECT_EQ(e.method, "SSLSocket::ssl_writeSocket()");
    EXPECT_EQ(e.index, 1u);
}

TEST(SSLLines, EndOfStreamMidLineFailsTheRead) {
    // Without a closing message the text is ours; after one the error queue
    // is empty and the text is that of error code 0.
    for (bool notify : {false, true}) {
        SCOPED_TRACE(notify ? "closing message" : "no closing message");
        TlsLink link;
        link.serve([notify](TlsServer& tls) {
            tls.write("250 parti");
            if (notify)
                tls.shutdown();
        });
        link.s.negotiate();
        auto e = thrown<SSLException>([&] { link.s.readSocket(); });
        EXPECT_EQ(e.msg, notify ? "error:00000000:lib(0)::reason(0)" : "Socket was closed.");
        EXPECT_EQ(e.method, "SSLSocket::ssl_readSocket()");
        EXPECT_EQ(e.index, 1u);
    }
}

TEST(SSLClosed, NegotiateReadAndWriteFailWithoutADescriptor) {
    TlsSocket s("mx.example.test");
    auto n = thrown<SSLException>([&] { s.negotiate(); });
    EXPECT_EQ(n.msg, "Socket is closed.");
    EXPECT_EQ(n.method, "SSLSocket::negotiate()");
    EXPECT_EQ(n.index, 6u);
    EXPECT_EQ(s.ctx, nullptr);  // before anything is made
    EXPECT_EQ(s.ssl, nullptr);
    s.negotiated = true;  // the TLS route
    auto r = thrown<SSLException>([&] { s.readSocket(); });
    auto w = thrown<SSLException>([&] { s.writeSocket("QUIT\r\n"); });
    EXPECT_EQ(r.msg, "Socket is closed.");
    EXPECT_EQ(r.method, "SSLSocket::ssl_readSocket()");
    EXPECT_EQ(r.index, 2u);
    EXPECT_EQ(w.msg, "Socket is closed.");
    EXPECT_EQ(w.method, "SSLSocket::ssl_writeSocket()");
    EXPECT_EQ(w.index, 2u);
}

TEST(SSLInfo, ShowsCipherSubjectAndIssuer) {
    // A value holding '=' is cut at its second '='.
    const TestPki& pki = TestPki::get();
    for (bool odd : {false, true}) {
        SCOPED_TRACE(odd ? "CN=a=b=c" : "CN=localhost");
        std::string cipher;
        TlsLink link;
        if (odd) {
            link.cert = pki.odd_cert;
            link.key = pki.odd_key;
        }
        link.s.setVerbosity(Logger::VERBOSE);
        link.s.setCallBackFunction(collect);
        link.serve([&](TlsServer& tls) { cipher = tls.cipher(); });
        link.s.negotiate();
        ASSERT_TRUE(link.join());
        ASSERT_FALSE(cipher.empty());
        const std::vector<std::string> expected = {
            "SSLInfo:\tSSL connection using " + cipher + " \n",
            "SSLInfo:\tserver certificate - subject:\n",
            "SSLInfo:\t=============================\n",
            "SSLInfo:\tC\t=\tDE\n",
            "SSLInfo:\tO\t=\ttravine test\n",
            std::string("SSLInfo:\tCN\t=\t") + (odd ? "a" : "localhost") + "\n",
            "SSLInfo:\tServer certificate - issuer:\n",
            "SSLInfo:\t=============================\n",
            "SSLInfo:\tC\t=\tDE\n",
            "SSLInfo:\tO\t=\ttravine test\n",
            std::string("SSLInfo:\tCN\t=\t") + TestPki::CA_CN + "\n",
        };
        EXPECT_EQ(logged_lines(Logger::VERBOSE), expected);
        EXPECT_TRUE(logged_lines(Logger::ERROR).empty());
    }
}

TEST(SSLOpts, SelectsTheVerificationModeAndIgnoresOtherValues) {
    TlsSocket s("mx.example.test");
    EXPECT_EQ(s.verify, 1);
    // Option given, mode stored after it.
    const std::pair<int, int> steps[] = {{7, 1}, {1, 0}, {-1, 0}, {0, 1}};
    for (const auto& step : steps) {
        s.setSSLOpts(static_cast<SSLSocket::SSL_OPTS>(step.first));
        EXPECT_EQ(s.verify, step.second) << "after " << step.first;
    }
}
