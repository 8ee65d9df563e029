// Sending to a real SMTP server: aiosmtpd on 127.0.0.1, plain, with STARTTLS,
// with implicit TLS and with SMTP AUTH, through the SMTP class and through
// email(). Each test starts its own server and checks the message exactly as
// the server stored it.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "emailwrap.h"
#include "exception.h"
#include "smtp.h"
#include "smtpd.h"
#include "support.h"
#include "tls_peer.h"

namespace {

const std::string TEXT = "From: a@example.test\nTo: b@example.test\nSubject: hi\n\nbody\n";
// The text email() builds from the arguments of send_email().
const std::string EMAIL_TEXT = "From: a@example.test\nTo: b@example.test\nSubject: hi\nbody\n";
const std::string PASSWORD = "tanstaaftanstaaf";
const std::string REFUSED = "535 5.7.8 Authentication credentials invalid";

std::vector<std::string> tls_options(const std::string& mode) {
    const TestPki& pki = TestPki::get();
    return {"--mode", mode, "--cert", pki.server_cert, "--key", pki.server_key};
}

u32 send_email(int port, u8 auth, const std::string& password, const char* ssl,
               const char* ssl_type, const std::string& ssl_opts) {
    return email("a@example.test", "b@example.test", "hi", "body", "127.0.0.1", auth, "tim",
                 password.c_str(), static_cast<u32>(port), ssl, ssl_type, ssl_opts.c_str());
}

class Aiosmtpd : public ::testing::Test {
protected:
    void SetUp() override {
        if (!aiosmtpd_available())
            GTEST_SKIP() << "/usr/bin/python3 cannot import aiosmtpd";
    }
    // Starts the server; the test fails when it does not come up.
    Smtpd& start(const std::vector<std::string>& options) {
        server_.reset(new Smtpd(options));
        EXPECT_TRUE(server_->ready()) << "aiosmtpd did not start";
        return *server_;
    }
    // A session to the server with TEXT queued for b@example.test.
    std::unique_ptr<SMTP> session() {
        std::unique_ptr<SMTP> s(new SMTP("client.test", "a@example.test", "127.0.0.1",
                                         static_cast<u32>(server_->port())));
        s->addMessage(TEXT, {"b@example.test"});
        return s;
    }

private:
    std::unique_ptr<Smtpd> server_;
};

}  // namespace

TEST_F(Aiosmtpd, PlainSessionWithTwoMessagesAndEmail) {
    Smtpd& server = start({});
    std::unique_ptr<SMTP> s = session();
    s->msgs[0].rcpts.push_back("c@example.test");
    s->addMessage("Subject: two\r\n\r\nsecond\r\n", {"d@example.test"});
    ASSERT_NO_THROW(s->sendMessage());
    EXPECT_TRUE(s->msgs.empty());
    Stored first = server.message(1);
    EXPECT_EQ(first.from, "a@example.test");
    EXPECT_EQ(first.rcpts, "b@example.test\nc@example.test\n");
    EXPECT_EQ(first.content, TEXT + "\r\n");
    EXPECT_EQ(first.auth, "");
    Stored second = server.message(2);
    EXPECT_EQ(second.rcpts, "d@example.test\n");
    EXPECT_EQ(second.content, "Subject: two\r\n\r\nsecond\r\n\r\n");

    EXPECT_EQ(send_email(server.port(), 0, "", "", "", ""), 0u);
    Stored third = server.message(3);
    EXPECT_EQ(third.from, "a@example.test");
    EXPECT_EQ(third.rcpts, "b@example.test\n");
    EXPECT_EQ(third.content, EMAIL_TEXT + "\r\n");
}

TEST_F(Aiosmtpd, StartTlsVerifiedAgainstTheTestCaAndRequired) {
    Smtpd& server = start(tls_options("starttls"));
    std::unique_ptr<SMTP> s = session();
    s->setSSLOpts(SMTP::STARTTLS, SSLSocket::VERIFY_PEER, TestPki::get().ca_file, "");
    ASSERT_NO_THROW(s->sendMessage());
    EXPECT_EQ(server.message(1).content, TEXT + "\r\n");
    EXPECT_EQ(
        send_email(server.port(), 0, "", "enable", "STARTTLS", "capath=" + TestPki::get().ca_dir),
        0u);
    EXPECT_EQ(server.message(2).content, EMAIL_TEXT + "\r\n");

    // Without STARTTLS the server refuses the mail.
    s = session();
    auto e = thrown<TransferException>([&] { s->sendMessage(); });
    EXPECT_EQ(e.msg, "530 Must issue a STARTTLS command first");
    EXPECT_EQ(e.index, 2u);
    EXPECT_EQ(s->msgs.size(), 1u);
    EXPECT_FALSE(server.has_message(3));
}

TEST_F(Aiosmtpd, ImplicitTls) {
    Smtpd& server = start(tls_options("smtps"));
    std::unique_ptr<SMTP> s = session();
    s->setSSLOpts(SMTP::SMTPS, SSLSocket::VERIFY_PEER, "", TestPki::get().ca_dir);
    ASSERT_NO_THROW(s->sendMessage());
    EXPECT_EQ(server.message(1).content, TEXT + "\r\n");
    EXPECT_EQ(send_email(server.port(), 0, "", "enable", "", ""), 0u);
    EXPECT_EQ(server.message(2).content, EMAIL_TEXT + "\r\n");
}

TEST_F(Aiosmtpd, EveryNamedMechanismAuthenticatesAndWrongPasswordsAreRefused) {
    Smtpd& server = start({"--auth", "tim:" + PASSWORD});
    const struct {
        SMTP::AUTH_TYPE type;
        std::string stored;
    } cases[] = {{SMTP::PLAIN, "PLAIN tim"},
                 {SMTP::LOGIN, "LOGIN tim"},
                 {SMTP::CRAM_MD5, "CRAM-MD5 tim"},
                 {SMTP::AUTO, "CRAM-MD5 tim"}};
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored);
        std::unique_ptr<SMTP> s = session();
        s->setCredentials("tim", "wrong", c.type);
        auto e = thrown<TransferException>([&] { s->sendMessage(); });
        EXPECT_EQ(e.msg, REFUSED);
        EXPECT_EQ(e.method, "SMTP::evalResponse()");
        EXPECT_EQ(e.index, 2u);
        EXPECT_FALSE(server.has_message(n + 1));

        s = session();
        s->setCredentials("tim", PASSWORD, c.type);
        ASSERT_NO_THROW(s->sendMessage());
        Stored m = server.message(++n);
        EXPECT_EQ(m.auth, c.stored);
        EXPECT_EQ(m.content, TEXT + "\r\n");
    }
}

TEST_F(Aiosmtpd, EmailAuthenticatesWithTheStrongestOffer) {
    Smtpd& server = start({"--auth", "tim:" + PASSWORD});
    EXPECT_EQ(send_email(server.port(), 4, PASSWORD, "", "", ""), 0u);
    EXPECT_EQ(server.message(1).auth, "CRAM-MD5 tim");
    EXPECT_EQ(server.message(1).content, EMAIL_TEXT + "\r\n");
    EXPECT_EQ(send_email(server.port(), 4, "wrong", "", "", ""), 274u);
    // Without authentication the server refuses the mail.
    EXPECT_EQ(send_email(server.port(), 0, PASSWORD, "", "", ""), 274u);
    EXPECT_FALSE(server.has_message(2));

    Smtpd plain_only({"--auth", "tim:" + PASSWORD, "--exclude", "CRAM-MD5"});
    ASSERT_TRUE(plain_only.ready());
    EXPECT_EQ(send_email(plain_only.port(), 4, PASSWORD, "", "", ""), 0u);
    EXPECT_EQ(plain_only.message(1).auth, "PLAIN tim");
}

TEST_F(Aiosmtpd, AuthenticationOverStartTls) {
    std::vector<std::string> options = tls_options("starttls");
    options.insert(options.end(), {"--auth", "tim:secret"});
    Smtpd& server = start(options);
    EXPECT_EQ(send_email(server.port(), 4, "secret", "enable", "STARTTLS",
                         "cafile=" + TestPki::get().ca_file),
              0u);
    EXPECT_EQ(server.message(1).auth, "CRAM-MD5 tim");
    EXPECT_EQ(server.message(1).content, EMAIL_TEXT + "\r\n");
}
