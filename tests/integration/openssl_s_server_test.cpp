// Implicit TLS against a real `openssl s_server` on loopback.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "inetsocket.h"
#include "support.h"
#include "tls_peer.h"

namespace {

std::vector<std::pair<std::string, int>> sink;

void collect(std::string text, int level) {
    sink.emplace_back(text, level);
}

// s_server in its reversing echo mode (every line received comes back
// reversed), for one connection; started for each test.
class OpensslServer : public ::testing::Test {
protected:
    void SetUp() override {
        sink.clear();
        if (std::system("command -v openssl >/dev/null 2>&1") != 0)
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
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    // The port from the line "ACCEPT 127.0.0.1:<port>", or 0.
    int read_port() {
        std::string text;
        for (int waited = 0; waited < 10000; waited += 100) {
            struct pollfd p = {out_, POLLIN, 0};
            if (::poll(&p, 1, 100) != 1)
                continue;
            char buf[256];
            ssize_t n = ::read(out_, buf, sizeof buf);
            if (n <= 0)
                return 0;
            text.append(buf, static_cast<size_t>(n));
            size_t at = text.find("ACCEPT 127.0.0.1:");
            if (at != std::string::npos && text.find('\n', at) != std::string::npos)
                return std::atoi(text.c_str() + at + 17);
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
    EXPECT_NE(log.find("SSLInfo:\tCN\t=\tlocalhost\n"), std::string::npos) << log;
    EXPECT_NE(log.find("127.0.0.1:\tenivart olleh\n"), std::string::npos) << log;
}
