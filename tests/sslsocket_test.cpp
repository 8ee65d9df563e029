// TLS negotiated in place on a socket pair, against a TLS server run by the
// test on its own thread.
#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
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

// Runs the server's part on its own thread. When the part is over, the
// server's end stops sending (so a client still reading sees the end of the
// stream instead of waiting); the thread is joined on destruction.
class ServerThread {
public:
    ServerThread(int fd, std::function<void()> part)
        : thread_([fd, part] {
              part();
              ::shutdown(fd, SHUT_WR);
          }) {}
    ~ServerThread() { join(); }
    void join() {
        if (thread_.joinable())
            thread_.join();
    }

private:
    std::thread thread_;
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
    size_t start = 0;
    while (start < all.size()) {
        size_t end = all.find('\n', start);
        end = end == std::string::npos ? all.size() : end + 1;
        lines.push_back(all.substr(start, end - start));
        start = end;
    }
    return lines;
}

std::string hostname() {
    struct utsname u;
    uname(&u);
    return u.nodename;
}

class SSLTest : public ::testing::Test {
protected:
    void SetUp() override {
        sink.clear();
        pki = &TestPki::get();
    }
    const TestPki* pki = nullptr;
};

class SSLHandshake : public SSLTest {};
class SSLLines : public SSLTest {};
class SSLInfo : public SSLTest {};

}  // namespace

TEST_F(SSLHandshake, VerifiesAgainstCaFileOrHashedCaDir) {
    struct Case {
        const char* name;
        std::string file;
        std::string dir;
    };
    const Case cases[] = {
        {"CA file", pki->ca_file, ""},
        {"hashed CA directory", "", pki->ca_dir},
        {"both", pki->ca_file, pki->ca_dir},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SocketPair pair;
        TlsSocket s("mx.example.test", pair.release_client());
        s.setVerifyLocations(c.file, c.dir);
        bool accepted = false;
        std::string from_client;
        ServerThread server(pair.peer(), [&] {
            TlsServer tls(pair.peer());
            accepted = tls.accept();
            if (accepted) {
                tls.write("220 over tls\r\n");
                from_client = tls.read_line();
            }
        });
        s.negotiate();
        EXPECT_TRUE(s.negotiated);
        EXPECT_EQ(s.readSocket(), "220 over tls\r");
        s.writeSocket("EHLO client.example.test\r\n");
        server.join();
        EXPECT_TRUE(accepted);
        EXPECT_EQ(from_client, "EHLO client.example.test\r\n");
    }
}

TEST_F(SSLHandshake, VerifyNoneAcceptsAnyCertificate) {
    SocketPair pair;
    TlsSocket s("mx.example.test", pair.release_client());
    s.setSSLOpts(SSLSocket::VERIFY_NONE);
    s.setVerifyLocations(pki->other_ca_file, "");
    bool accepted = false;
    ServerThread server(pair.peer(), [&] {
        TlsServer tls(pair.peer());
        accepted = tls.accept();
        if (accepted)
            tls.write("220 ok\r\n");
    });
    s.negotiate();
    EXPECT_EQ(s.readSocket(), "220 ok\r");
    server.join();
    EXPECT_TRUE(accepted);
}

TEST_F(SSLHandshake, UntrustedServerFailsTheHandshake) {
    struct Case {
        const char* name;
        std::string file;
    };
    const Case cases[] = {{"CA that signed nothing", pki->other_ca_file},
                          {"no trust anchor at all", ""}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SocketPair pair;
        TlsSocket s("mx.example.test", pair.release_client());
        s.setVerifyLocations(c.file, "");
        bool accepted = true;
        ServerThread server(pair.peer(), [&] {
            TlsServer tls(pair.peer());
            accepted = tls.accept();
        });
        auto e = thrown<SSLException>([&] { s.negotiate(); });
        server.join();
        EXPECT_EQ(e.method, "SSLSocket::negotiate()");
        EXPECT_EQ(e.index, 4u);
        EXPECT_NE(e.msg.find("certificate verify failed"), std::string::npos) << e.msg;
        EXPECT_FALSE(s.negotiated);
        EXPECT_FALSE(accepted);
    }
}

TEST_F(SSLHandshake, MissingCaLocationFailsBeforeAnyByteIsSent) {
    TempDir tmp;
    struct Case {
        const char* name;
        std::string file;
        std::string dir;
        std::string path;
        unsigned index;
    };
    const Case cases[] = {
        {"CA file", tmp.file("absent.pem"), "", tmp.file("absent.pem"), 7},
        {"CA directory", "", tmp.file("absent"), tmp.file("absent"), 9},
        {"file checked first", tmp.file("absent.pem"), tmp.file("absent"), tmp.file("absent.pem"),
         7},
        {"directory after a good file", pki->ca_file, tmp.file("absent"), tmp.file("absent"), 9},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SocketPair pair;
        TlsSocket s("mx.example.test", pair.release_client());
        s.setVerifyLocations(c.file, c.dir);
        auto e = thrown<IOException>([&] { s.negotiate(); });
        EXPECT_EQ(e.msg, c.path + " does not exist.");
        EXPECT_EQ(e.method, "SSLSocket::negotiate()");
        EXPECT_EQ(e.index, c.index);
        EXPECT_EQ(pair.received(50), "");
        EXPECT_FALSE(s.negotiated);
    }
}

TEST_F(SSLHandshake, UnreadableCaLocationFails) {
    // As root, access() ignores permission bits; the check runs in a child
    // that has given up its privileges.
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to switch to an unprivileged user";
    TempDir tmp;
    ASSERT_EQ(chmod(tmp.path().c_str(), 0755), 0);
    std::string file = tmp.file("locked.pem");
    std::string dir = tmp.file("locked");
    { std::ofstream(file) << "not read\n"; }
    ASSERT_EQ(chmod(file.c_str(), 0), 0);
    ASSERT_EQ(mkdir(dir.c_str(), 0), 0);

    pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(77);
        int code = 0;
        auto check = [&](const std::string& f, const std::string& d, const std::string& path,
                         unsigned index, int bit) {
            SocketPair pair;
            TlsSocket s("mx.example.test", pair.release_client());
            s.setVerifyLocations(f, d);
            try {
                s.negotiate();
                code |= bit;
            } catch (const IOException& e) {
                if (e.msg != path + " is not readable." || e.index != index ||
                    e.method != "SSLSocket::negotiate()") {
                    code |= bit;
                }
            } catch (...) {
                code |= bit;
            }
        };
        check(file, "", file, 8, 1);
        check("", dir, dir, 10, 2);
        _exit(code);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "cannot switch to user nobody here";
    EXPECT_EQ(WEXITSTATUS(status) & 1, 0) << "unreadable CA file not reported as index 8";
    EXPECT_EQ(WEXITSTATUS(status) & 2, 0) << "unreadable CA directory not reported as index 10";
}

TEST_F(SSLHandshake, CaFileWithoutCertificatesFailsLoading) {
    TempDir tmp;
    std::string file = tmp.file("junk.pem");
    { std::ofstream(file) << "this is not a certificate\n"; }
    SocketPair pair;
    TlsSocket s("mx.example.test", pair.release_client());
    s.setVerifyLocations(file, "");
    auto e = thrown<SSLException>([&] { s.negotiate(); });
    EXPECT_EQ(e.method, "SSLSocket::negotiate()");
    EXPECT_EQ(e.index, 3u);
    EXPECT_EQ(e.msg.rfind("error:", 0), 0u) << e.msg;
    EXPECT_EQ(pair.received(50), "");
}

TEST_F(SSLHandshake, ClosedSocketFailsBeforeAnythingIsMade) {
    TlsSocket s("mx.example.test");
    auto e = thrown<SSLException>([&] { s.negotiate(); });
    EXPECT_EQ(e.msg, "Socket is closed.");
    EXPECT_EQ(e.method, "SSLSocket::negotiate()");
    EXPECT_EQ(e.index, 6u);
    EXPECT_EQ(s.ctx, nullptr);
    EXPECT_EQ(s.ssl, nullptr);
}

TEST_F(SSLHandshake, RetriesWhileTheHandshakeWantsMoreInput) {
    SocketPair pair;
    TlsSocket s("mx.example.test", pair.release_client());
    s.setVerifyLocations(pki->ca_file, "");
    s.setVerbosity(Logger::ERROR);
    s.setCallBackFunction(collect);
    // A descriptor without blocking makes every wait a want-read outcome.
    ASSERT_EQ(fcntl(s.sockfd, F_SETFL, O_NONBLOCK), 0);
    bool accepted = false;
    ServerThread server(pair.peer(), [&] {
        usleep(50 * 1000);
        TlsServer tls(pair.peer());
        accepted = tls.accept();
    });
    s.negotiate();
    server.join();
    EXPECT_TRUE(accepted);
    std::vector<std::string> notices = logged_lines(Logger::ERROR);
    ASSERT_FALSE(notices.empty());
    for (const std::string& n : notices) {
        EXPECT_EQ(n, "SSL_connect() operation did not complete. I try it again.\n");
    }
}

TEST_F(SSLHandshake, SecondNegotiationStartsFromFreshObjects) {
    SocketPair first;
    TlsSocket s("mx.example.test", first.release_client());
    s.setVerifyLocations(pki->ca_file, "");
    {
        ServerThread server(first.peer(), [&] {
            TlsServer tls(first.peer());
            if (tls.accept())
                tls.write("220 first\r\n");
        });
        s.negotiate();
        EXPECT_EQ(s.readSocket(), "220 first\r");
    }
    // A new descriptor, as after a new connection, with the first
    // connection's TLS objects still in place.
    SocketPair second;
    ::close(s.sockfd);
    s.sockfd = second.release_client();
    ServerThread server(second.peer(), [&] {
        TlsServer tls(second.peer());
        if (tls.accept())
            tls.write("220 second\r\n");
    });
    s.negotiate();
    EXPECT_TRUE(s.negotiated);
    EXPECT_EQ(s.readSocket(), "220 second\r");
}

TEST_F(SSLLines, PlainUntilNegotiatedThenTlsOnTheSameDescriptor) {
    SocketPair pair;
    TlsSocket s("mx.example.test", pair.release_client());
    s.setVerifyLocations(pki->ca_file, "");
    pair.send("220 plain greeting\r\n");
    EXPECT_EQ(s.readSocket(), "220 plain greeting\r");
    s.writeSocket("STARTTLS\r\n");
    EXPECT_EQ(pair.received(2000), "STARTTLS\r\n");
    pair.send("220 go ahead\r\n");
    EXPECT_EQ(s.readSocket(), "220 go ahead\r");

    std::vector<std::string> from_client;
    ServerThread server(pair.peer(), [&] {
        TlsServer tls(pair.peer());
        if (!tls.accept())
            return;
        tls.write("250-first\r\n250 second\n\r\n");
        from_client.push_back(tls.read_line());
        from_client.push_back(tls.read_line());
    });
    s.negotiate();
    EXPECT_EQ(s.readSocket(), "250-first\r");
    EXPECT_EQ(s.readSocket(), "250 second");
    EXPECT_EQ(s.readSocket(), "\r");
    s.writeSocket("QUIT\r\n");
    s.writeSocket("");  // no record, no failure
    s.writeSocket("bare\n");
    server.join();
    EXPECT_EQ(from_client, (std::vector<std::string>{"QUIT\r\n", "bare\n"}));
}

TEST_F(SSLLines, TranscriptAtVerbose) {
    SocketPair pair;
    TlsSocket s("mx.example.test", pair.release_client());
    s.setVerifyLocations(pki->ca_file, "");
    ServerThread server(pair.peer(), [&] {
        TlsServer tls(pair.peer());
        if (tls.accept()) {
            tls.write("220 ready\r\n");
            tls.read_line();
        }
    });
    s.negotiate();
    s.setVerbosity(Logger::VERBOSE);
    s.setCallBackFunction(collect);
    s.readSocket();
    s.writeSocket("QUIT\r\n");
    const std::vector<std::pair<std::string, int>> expected = {
        {"mx.example.test", 3}, {":\t", 3}, {"220 ready\r", 3}, {"\n", 3},
        {hostname(), 3},        {":\t", 3}, {"QUIT\r\n", 3},
    };
    EXPECT_EQ(sink, expected);
}

TEST_F(SSLLines, UncleanCloseMidLineIsSocketWasClosed) {
    SocketPair pair;
    TlsSocket s("mx.example.test", pair.release_client());
    s.setVerifyLocations(pki->ca_file, "");
    ServerThread server(pair.peer(), [&] {
        TlsServer tls(pair.peer());
        if (tls.accept())
            tls.write("250 parti");
        // No closing message: the thread's end shuts the stream down.
    });
    s.negotiate();
    auto e = thrown<SSLException>([&] { s.readSocket(); });
    EXPECT_EQ(e.msg, "Socket was closed.");
    EXPECT_EQ(e.method, "SSLSocket::ssl_readSocket()");
    EXPECT_EQ(e.index, 1u);
}

TEST_F(SSLLines, ClosingMessageMidLineFailsTheRead) {
    SocketPair pair;
    TlsSocket s("mx.example.test", pair.release_client());
    s.setVerifyLocations(pki->ca_file, "");
    ServerThread server(pair.peer(), [&] {
        TlsServer tls(pair.peer());
        if (tls.accept()) {
            tls.write("250 parti");
            tls.shutdown();
        }
    });
    s.negotiate();
    auto e = thrown<SSLException>([&] { s.readSocket(); });
    // A clean end of TLS leaves the error queue empty: the text is that of
    // error code 0.
    EXPECT_EQ(e.msg, "error:00000000:lib(0)::reason(0)");
    EXPECT_EQ(e.method, "SSLSocket::ssl_readSocket()");
    EXPECT_EQ(e.index, 1u);
}

TEST_F(SSLLines, PeerGoneIsAnErrorNotASignal) {
    SocketPair pair;
    TlsSocket s("mx.example.test", pair.release_client());
    s.setVerifyLocations(pki->ca_file, "");
    {
        ServerThread server(pair.peer(), [&] {
            TlsServer tls(pair.peer());
            tls.accept();
        });
        s.negotiate();
    }
    pair.close_peer();
    // SIGPIPE keeps its default action: raising it would end the test, here
    // or in the destructor's closing message.
    auto e = thrown<SSLException>([&] { s.writeSocket("QUIT\r\n"); });
    EXPECT_EQ(e.msg, std::strerror(EPIPE));
    EXPECT_EQ(e.method, "SSLSocket::ssl_writeSocket()");
    EXPECT_EQ(e.index, 1u);
}

TEST_F(SSLLines, RetriesWhileReadWantsMoreInput) {
    SocketPair pair;
    TlsSocket s("mx.example.test", pair.release_client());
    s.setVerifyLocations(pki->ca_file, "");
    ServerThread server(pair.peer(), [&] {
        TlsServer tls(pair.peer());
        if (!tls.accept())
            return;
        usleep(50 * 1000);
        tls.write("220 late\r\n");
    });
    s.negotiate();
    ASSERT_EQ(fcntl(s.sockfd, F_SETFL, O_NONBLOCK), 0);
    s.setVerbosity(Logger::ERROR);
    s.setCallBackFunction(collect);
    EXPECT_EQ(s.readSocket(), "220 late\r");
    std::vector<std::string> notices = logged_lines(Logger::ERROR);
    ASSERT_FALSE(notices.empty());
    for (const std::string& n : notices) {
        EXPECT_EQ(n, "SSL_read() operation did not complete. I try it again.\n");
    }
}

TEST_F(SSLLines, ClosedSocketFailsOnTheTlsRoute) {
    TlsSocket s("mx.example.test");
    s.negotiated = true;
    auto r = thrown<SSLException>([&] { s.readSocket(); });
    auto w = thrown<SSLException>([&] { s.writeSocket("QUIT\r\n"); });
    EXPECT_EQ(r.msg, "Socket is closed.");
    EXPECT_EQ(r.method, "SSLSocket::ssl_readSocket()");
    EXPECT_EQ(r.index, 2u);
    EXPECT_EQ(w.msg, "Socket is closed.");
    EXPECT_EQ(w.method, "SSLSocket::ssl_writeSocket()");
    EXPECT_EQ(w.index, 2u);
}

TEST_F(SSLLines, CloseConnectionReleasesEverything) {
    SocketPair pair;
    TlsSocket s("mx.example.test", pair.release_client());
    s.setVerifyLocations(pki->ca_file, "");
    {
        ServerThread server(pair.peer(), [&] {
            TlsServer tls(pair.peer());
            tls.accept();
        });
        s.negotiate();
    }
    int fd = s.sockfd;
    s.close_connection();
    EXPECT_EQ(s.sockfd, -1);
    EXPECT_FALSE(s.negotiated);
    EXPECT_EQ(s.ssl, nullptr);
    EXPECT_EQ(s.ctx, nullptr);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(thrown<TransferException>([&] { s.readSocket(); }).index, 5u);
}

TEST_F(SSLInfo, ShowsCipherSubjectAndIssuer) {
    SocketPair pair;
    TlsSocket s("mx.example.test", pair.release_client());
    s.setVerifyLocations(pki->ca_file, "");
    s.setVerbosity(Logger::VERBOSE);
    s.setCallBackFunction(collect);
    std::string cipher;
    ServerThread server(pair.peer(), [&] {
        TlsServer tls(pair.peer());
        if (tls.accept())
            cipher = tls.cipher();
    });
    s.negotiate();
    server.join();
    ASSERT_FALSE(cipher.empty());
    const std::vector<std::string> expected = {
        "SSLInfo:\tSSL connection using " + cipher + " \n",
        "SSLInfo:\tserver certificate - subject:\n",
        "SSLInfo:\t=============================\n",
        "SSLInfo:\tC\t=\tDE\n",
        "SSLInfo:\tO\t=\ttravine test\n",
        "SSLInfo:\tCN\t=\tlocalhost\n",
        "SSLInfo:\tServer certificate - issuer:\n",
        "SSLInfo:\t=============================\n",
        "SSLInfo:\tC\t=\tDE\n",
        "SSLInfo:\tO\t=\ttravine test\n",
        std::string("SSLInfo:\tCN\t=\t") + TestPki::CA_CN + "\n",
    };
    EXPECT_EQ(logged_lines(Logger::VERBOSE), expected);
    EXPECT_TRUE(logged_lines(Logger::ERROR).empty());
}

TEST_F(SSLInfo, ValueHoldingEqualsSignIsCutThere) {
    SocketPair pair;
    TlsSocket s("mx.example.test", pair.release_client());
    s.setVerifyLocations(pki->ca_file, "");
    s.setVerbosity(Logger::VERBOSE);
    s.setCallBackFunction(collect);
    ServerThread server(pair.peer(), [&] {
        TlsServer tls(pair.peer(), pki->odd_cert, pki->odd_key);
        tls.accept();
    });
    s.negotiate();
    server.join();
    std::vector<std::string> lines = logged_lines(Logger::VERBOSE);
    ASSERT_EQ(lines.size(), 11u);
    EXPECT_EQ(lines[5], "SSLInfo:\tCN\t=\ta\n");
}

TEST(SSLOpts, SelectsTheVerificationModeAndIgnoresOtherValues) {
    TlsSocket s("mx.example.test");
    EXPECT_EQ(s.verify, 1);
    s.setSSLOpts(static_cast<SSLSocket::SSL_OPTS>(7));
    EXPECT_EQ(s.verify, 1);
    s.setSSLOpts(SSLSocket::VERIFY_NONE);
    EXPECT_EQ(s.verify, 0);
    s.setSSLOpts(static_cast<SSLSocket::SSL_OPTS>(-1));
    EXPECT_EQ(s.verify, 0);
    s.setSSLOpts(SSLSocket::VERIFY_PEER);
    EXPECT_EQ(s.verify, 1);
}
