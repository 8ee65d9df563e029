// Implicit TLS against a real `openssl s_server` on loopback.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "exception.h"
#include "inetsocket.h"
#include "support.h"
#include "tls_peer.h"

namespace {

bool on_path(const std::string& program) {
    const char* path = std::getenv("PATH");
    if (path == nullptr)
        return false;
    std::string dirs = path;
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        std::string candidate = dirs.substr(start, end - start) + "/" + program;
        if (::access(candidate.c_str(), X_OK) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

std::vector<std::pair<std::string, int>> sink;

void collect(std::string text, int level) {
    sink.emplace_back(text, level);
}

// s_server in its reversing echo mode: every line received comes back
// reversed. Started for each test, stopped in TearDown().
class OpensslServer : public ::testing::Test {
protected:
    void SetUp() override {
        sink.clear();
        if (!on_path("openssl"))
            GTEST_SKIP() << "the openssl program is not installed";
        const TestPki& pki = TestPki::get();
        int out[2];
        ASSERT_EQ(::pipe(out), 0);
        pid_ = ::fork();
        ASSERT_NE(pid_, -1);
        if (pid_ == 0) {
            int null = ::open("/dev/null", O_RDWR);
            ::dup2(null, 0);
            ::dup2(out[1], 1);
            ::dup2(null, 2);
            ::close(out[0]);
            ::execlp("openssl", "openssl", "s_server", "-accept", "127.0.0.1:0", "-cert",
                     pki.server_cert.c_str(), "-key", pki.server_key.c_str(), "-rev", "-naccept",
                     "1", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(out[1]);
        out_ = out[0];
        port_ = read_port();
        ASSERT_GT(port_, 0) << "s_server did not report its port within 10 seconds";
    }

    void TearDown() override {
        if (out_ != -1)
            ::close(out_);
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGTERM);
        for (int i = 0; i < 300; ++i) {
            if (::waitpid(pid_, nullptr, WNOHANG) != 0)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }

    // The port from the line "ACCEPT 127.0.0.1:<port>", or 0.
    int read_port() {
        std::string text;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            struct pollfd p = {out_, POLLIN, 0};
            if (::poll(&p, 1, 100) != 1)
                continue;
            char buf[256];
            ssize_t n = ::read(out_, buf, sizeof buf);
            if (n <= 0)
                return 0;
            text.append(buf, static_cast<size_t>(n));
            size_t at = text.find("ACCEPT 127.0.0.1:");
            if (at != std::string::npos) {
                size_t end = text.find('\n', at);
                if (end != std::string::npos) {
                    return std::atoi(text.c_str() + at + 17);
                }
            }
        }
        return 0;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    int port_ = 0;
};

}  // namespace

TEST_F(OpensslServer, ImplicitTlsVerifiedByCaFile) {
    InetSocket s("127.0.0.1", port_);
    s.setVerifyLocations(TestPki::get().ca_file, "");
    s.setVerbosity(Logger::VERBOSE);
    s.setCallBackFunction(collect);
    s.connect();
    s.negotiate();
    ASSERT_TRUE(s.negotiated);
    s.writeSocket("hello travine\n");
    EXPECT_EQ(s.readSocket(), "enivart olleh");

    std::string log;
    for (const auto& f : sink)
        log += f.first;
    EXPECT_NE(log.find("SSLInfo:\tSSL connection using "), std::string::npos) << log;
    EXPECT_NE(log.find("SSLInfo:\tserver certificate - subject:\n"
                       "SSLInfo:\t=============================\n"
                       "SSLInfo:\tC\t=\tDE\n"
                       "SSLInfo:\tO\t=\ttravine test\n"
                       "SSLInfo:\tCN\t=\tlocalhost\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("127.0.0.1:\tenivart olleh\n"), std::string::npos) << log;
}

TEST_F(OpensslServer, ImplicitTlsVerifiedByHashedCaDir) {
    InetSocket s("127.0.0.1", port_);
    s.setVerifyLocations("", TestPki::get().ca_dir);
    s.connect();
    s.negotiate();
    s.writeSocket("abc\n");
    EXPECT_EQ(s.readSocket(), "cba");
}

TEST_F(OpensslServer, UntrustedCertificateFailsTheHandshake) {
    InetSocket s("127.0.0.1", port_);
    s.setVerifyLocations(TestPki::get().other_ca_file, "");
    s.connect();
    auto e = thrown<SSLException>([&] { s.negotiate(); });
    EXPECT_EQ(e.method, "SSLSocket::negotiate()");
    EXPECT_EQ(e.index, 4u);
    EXPECT_NE(e.msg.find("certificate verify failed"), std::string::npos) << e.msg;
    EXPECT_FALSE(s.negotiated);
}
