// Sending to a real SMTP server: aiosmtpd on 127.0.0.1, plain, with STARTTLS,
// with implicit TLS and with SMTP AUTH, through the SMTP class and through
// email(). Each test starts its own server and checks the message exactly as
// the server stored it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "emailwrap.h"
#include "exception.h"
#include "smtp.h"
#include "support.h"
#include "tls_peer.h"

namespace {

const char* const PYTHON = "/usr/bin/python3";
const std::string SCRIPT = std::string(TRAVINE_SOURCE_DIR) + "/tests/integration/smtpd_server.py";

bool aiosmtpd_available() {
    static const bool available =
        access(PYTHON, X_OK) == 0 &&
        system("/usr/bin/python3 -c 'import aiosmtpd.controller' >/dev/null 2>&1") == 0;
    return available;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// One message as the server stored it.
struct Stored {
    std::string from, rcpts, content, auth;
};

// smtpd_server.py as a child process; stopped (and reaped) on destruction.
class Smtpd {
public:
    explicit Smtpd(std::vector<std::string> options) {
        options.insert(options.begin(), {PYTHON, SCRIPT, "--dir", dir_.path()});
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            std::vector<char*> argv;
            for (std::string& o : options)
                argv.push_back(&o[0]);
            argv.push_back(nullptr);
            execv(PYTHON, argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        stdin_ = in[1];
        // The port, on one line, within 10 seconds.
        std::string line;
        struct pollfd p = {out[0], POLLIN, 0};
        while (line.find('\n') == std::string::npos && poll(&p, 1, 10000) > 0) {
            char buf[64];
            ssize_t n = read(out[0], buf, sizeof buf);
            if (n <= 0)
                break;
            line.append(buf, static_cast<size_t>(n));
        }
        close(out[0]);
        port_ = atoi(line.c_str());
    }
    ~Smtpd() {
        if (stdin_ >= 0)
            close(stdin_);
        if (pid_ <= 0)
            return;
        kill(pid_, SIGTERM);
        for (int waited = 0; waited < 5000; waited += 20) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    int port() const { return port_; }
    // Message number n (from 1) as stored, or empty fields.
    Stored message(int n) const {
        const std::string d = dir_.file(std::to_string(n));
        return {slurp(d + "/from"), slurp(d + "/rcpts"), slurp(d + "/content"), slurp(d + "/auth")};
    }
    bool has_message(int n) const {
        struct stat st;
        return stat(dir_.file(std::to_string(n)).c_str(), &st) == 0;
    }

private:
    TempDir dir_;
    pid_t pid_ = -1;
    int stdin_ = -1;
    int port_ = 0;
};

std::vector<std::string> tls_options(const std::string& mode) {
    const TestPki& pki = TestPki::get();
    return {"--mode", mode, "--cert", pki.server_cert, "--key", pki.server_key};
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const std::string TEXT = "From: a@example.test\nTo: b@example.test\nSubject: hi\n\nbody\n";

u32 send_email(int port, u8 auth, const std::string& password, const char* ssl,
               const char* ssl_type, const std::string& ssl_opts) {
    return email("a@example.test", "b@example.test", "hi", "body", "127.0.0.1", auth, "tim",
                 password.c_str(), static_cast<u32>(port), ssl, ssl_type, ssl_opts.c_str());
}

const std::string EMAIL_TEXT = "From: a@example.test\nTo: b@example.test\nSubject: hi\nbody\n";

class Aiosmtpd : public ::testing::Test {
protected:
    void SetUp() override {
        if (!aiosmtpd_available())
            GTEST_SKIP() << "/usr/bin/python3 cannot import aiosmtpd";
    }
};

}  // namespace

TEST_F(Aiosmtpd, PlainSessionWithTwoMessages) {
    Smtpd server({});
    ASSERT_GT(server.port(), 0);
    SMTP s("client.test", "a@example.test", "127.0.0.1", static_cast<u32>(server.port()));
    s.addMessage(TEXT, {"b@example.test", "c@example.test"});
    s.addMessage("Subject: two\r\n\r\nsecond\r\n", {"d@example.test"});
    ASSERT_NO_THROW(s.sendMessage());
    EXPECT_TRUE(s.msgs.empty());

    Stored first = server.message(1);
    EXPECT_EQ(first.from, "a@example.test");
    EXPECT_EQ(first.rcpts, "b@example.test\nc@example.test\n");
    EXPECT_EQ(first.content, TEXT + "\r\n");
    EXPECT_EQ(first.auth, "");
    Stored second = server.message(2);
    EXPECT_EQ(second.rcpts, "d@example.test\n");
    EXPECT_EQ(second.content, "Subject: two\r\n\r\nsecond\r\n\r\n");
}

TEST_F(Aiosmtpd, PlainEmail) {
    Smtpd server({});
    ASSERT_GT(server.port(), 0);
    EXPECT_EQ(send_email(server.port(), 0, "", "", "", ""), 0u);
    Stored m = server.message(1);
    EXPECT_EQ(m.from, "a@example.test");
    EXPECT_EQ(m.rcpts, "b@example.test\n");
    EXPECT_EQ(m.content, EMAIL_TEXT + "\r\n");
}

TEST_F(Aiosmtpd, StartTlsVerifiedAgainstTheTestCa) {
    Smtpd server(tls_options("starttls"));
    ASSERT_GT(server.port(), 0);
    SMTP s("client.test", "a@example.test", "127.0.0.1", static_cast<u32>(server.port()));
    s.setSSLOpts(SMTP::STARTTLS, SSLSocket::VERIFY_PEER, TestPki::get().ca_file, "");
    s.addMessage(TEXT, {"b@example.test"});
    ASSERT_NO_THROW(s.sendMessage());
    EXPECT_EQ(server.message(1).content, TEXT + "\r\n");

    EXPECT_EQ(
        send_email(server.port(), 0, "", "enable", "STARTTLS", "capath=" + TestPki::get().ca_dir),
        0u);
    EXPECT_EQ(server.message(2).content, EMAIL_TEXT + "\r\n");
}

TEST_F(Aiosmtpd, StartTlsIsRequiredByTheServer) {
    Smtpd server(tls_options("starttls"));
    ASSERT_GT(server.port(), 0);
    SMTP s("client.test", "a@example.test", "127.0.0.1", static_cast<u32>(server.port()));
    s.addMessage(TEXT, {"b@example.test"});
    auto e = thrown<TransferException>([&] { s.sendMessage(); });
    EXPECT_EQ(e.msg, "530 Must issue a STARTTLS command first");
    EXPECT_EQ(e.index, 2u);
    EXPECT_EQ(s.msgs.size(), 1u);
    EXPECT_FALSE(server.has_message(1));
}

TEST_F(Aiosmtpd, ImplicitTls) {
    Smtpd server(tls_options("smtps"));
    ASSERT_GT(server.port(), 0);
    SMTP s("client.test", "a@example.test", "127.0.0.1", static_cast<u32>(server.port()));
    s.setSSLOpts(SMTP::SMTPS, SSLSocket::VERIFY_PEER, "", TestPki::get().ca_dir);
    s.addMessage(TEXT, {"b@example.test"});
    ASSERT_NO_THROW(s.sendMessage());
    EXPECT_EQ(server.message(1).content, TEXT + "\r\n");

    EXPECT_EQ(send_email(server.port(), 0, "", "enable", "", ""), 0u);
    EXPECT_EQ(server.message(2).content, EMAIL_TEXT + "\r\n");
    // A CA that did not sign the server's certificate is refused.
    EXPECT_EQ(
        send_email(server.port(), 0, "", "enable", "", "cafile=" + TestPki::get().other_ca_file),
        274u);
    EXPECT_FALSE(server.has_message(3));
}

TEST_F(Aiosmtpd, EveryNamedMechanismAuthenticates) {
    Smtpd server({"--auth", "tim:tanstaaftanstaaf"});
    ASSERT_GT(server.port(), 0);
    struct Case {
        SMTP::AUTH_TYPE type;
        std::string stored;
    } cases[] = {{SMTP::PLAIN, "PLAIN tim"},
                 {SMTP::LOGIN, "LOGIN tim"},
                 {SMTP::CRAM_MD5, "CRAM-MD5 tim"},
                 {SMTP::AUTO, "CRAM-MD5 tim"}};
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored);
        SMTP s("client.test", "a@example.test", "127.0.0.1", static_cast<u32>(server.port()));
        s.setCredentials("tim", "tanstaaftanstaaf", c.type);
        s.addMessage(TEXT, {"b@example.test"});
        ASSERT_NO_THROW(s.sendMessage());
        Stored m = server.message(++n);
        EXPECT_EQ(m.auth, c.stored);
        EXPECT_EQ(m.content, TEXT + "\r\n");
    }
}

TEST_F(Aiosmtpd, WrongPasswordIsTheServersRefusal) {
    Smtpd server({"--auth", "tim:tanstaaftanstaaf"});
    ASSERT_GT(server.port(), 0);
    for (SMTP::AUTH_TYPE type : {SMTP::PLAIN, SMTP::LOGIN, SMTP::CRAM_MD5}) {
        SCOPED_TRACE(type);
        SMTP s("client.test", "a@example.test", "127.0.0.1", static_cast<u32>(server.port()));
        s.setCredentials("tim", "wrong", type);
        s.addMessage(TEXT, {"b@example.test"});
        auto e = thrown<TransferException>([&] { s.sendMessage(); });
        EXPECT_EQ(e.msg, "535 5.7.8 Authentication credentials invalid");
        EXPECT_EQ(e.method, "SMTP::evalResponse()");
        EXPECT_EQ(e.index, 2u);
    }
    EXPECT_FALSE(server.has_message(1));
}

TEST_F(Aiosmtpd, EmailAuthenticatesWithTheStrongestOffer) {
    Smtpd server({"--auth", "tim:tanstaaftanstaaf"});
    ASSERT_GT(server.port(), 0);
    EXPECT_EQ(send_email(server.port(), 4, "tanstaaftanstaaf", "", "", ""), 0u);
    EXPECT_EQ(server.message(1).auth, "CRAM-MD5 tim");
    EXPECT_EQ(server.message(1).content, EMAIL_TEXT + "\r\n");
    EXPECT_EQ(send_email(server.port(), 4, "wrong", "", "", ""), 274u);
    // Without authentication the server refuses the mail.
    EXPECT_EQ(send_email(server.port(), 0, "tanstaaftanstaaf", "", "", ""), 274u);
    EXPECT_FALSE(server.has_message(2));

    Smtpd plain_only({"--auth", "tim:tanstaaftanstaaf", "--exclude", "CRAM-MD5"});
    ASSERT_GT(plain_only.port(), 0);
    EXPECT_EQ(send_email(plain_only.port(), 4, "tanstaaftanstaaf", "", "", ""), 0u);
    EXPECT_EQ(plain_only.message(1).auth, "PLAIN tim");
}

TEST_F(Aiosmtpd, AuthenticationOverStartTls) {
    Smtpd server(tls_options("starttls") + std::vector<std::string>{"--auth", "tim:secret"});
    ASSERT_GT(server.port(), 0);
    EXPECT_EQ(send_email(server.port(), 4, "secret", "enable", "STARTTLS",
                         "cafile=" + TestPki::get().ca_file),
              0u);
    EXPECT_EQ(server.message(1).auth, "CRAM-MD5 tim");
    EXPECT_EQ(server.message(1).content, EMAIL_TEXT + "\r\n");
}
