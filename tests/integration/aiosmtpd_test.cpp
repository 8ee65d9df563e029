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
#include "smtpd.h"
#include "support.h"
#include "tls_peer.h"

namespace {

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
