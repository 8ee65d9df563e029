// Sending to a real SMTP server, aiosmtpd on 127.0.0.1: plain, STARTTLS,
// implicit TLS and SMTP AUTH, through the SMTP class and through email(),
// checking each message as the server stored it.
#include <gtest/gtest.h>

#include <string>

#include "emailwrap.h"
#include "exception.h"
#include "smtp.h"
#include "smtpd.h"
#include "tls_peer.h"

namespace {

const std::string TEXT = "From: a@example.test\nSubject: hi\n\nbody\n";
const std::string EMAIL_TEXT = "From: a@example.test\nTo: b@example.test\nSubject: hi\nbody\n";
const std::string PASSWORD = "tanstaaftanstaaf";

// A session sending TEXT to two recipients: "ok" or the failure's text.
std::string send(const Smtpd& server, SMTP::SSL_TYPE ssl, SMTP::AUTH_TYPE auth,
                 const std::string& password) {
    SMTP s("client.test", "a@example.test", "127.0.0.1", static_cast<u32>(server.port()));
    s.setSSLOpts(ssl, SSLSocket::VERIFY_PEER, TestPki::get().ca_file, "");
    s.setCredentials("tim", password, auth);
    s.addMessage(TEXT, {"b@example.test", "c@example.test"});
    try {
        s.sendMessage();
        return "ok";
    } catch (const Exception& e) {
        return e.msg;
    }
}

u32 send_email(const Smtpd& server, u8 auth, const char* ssl, const char* type,
               const std::string& opts) {
    return email("a@example.test", "b@example.test", "hi", "body", "127.0.0.1", auth, "tim",
                 PASSWORD.c_str(), static_cast<u32>(server.port()), ssl, type, opts.c_str());
}

class Aiosmtpd : public testing::Test {
protected:
    void SetUp() override {
        if (!aiosmtpd_available())
            GTEST_SKIP() << "/usr/bin/python3 cannot import aiosmtpd";
    }
};

}  // namespace

TEST_F(Aiosmtpd, PlainStartTlsAndImplicitTls) {
    const TestPki& pki = TestPki::get();
    const struct {
        const char* mode;
        SMTP::SSL_TYPE ssl;
        const char* email_ssl;
        const char* email_type;
        std::string email_opts;
    } modes[] = {{"plain", SMTP::NO_SSL, "", "", ""},
                 {"starttls", SMTP::STARTTLS, "enable", "STARTTLS", "capath=" + pki.ca_dir},
                 {"smtps", SMTP::SMTPS, "enable", "SMTPS", "cafile=" + pki.ca_file}};
    for (const auto& m : modes) {
        SCOPED_TRACE(m.mode);
        Smtpd server({"--mode", m.mode, "--cert", pki.server_cert, "--key", pki.server_key});
        ASSERT_TRUE(server.ready());
        EXPECT_EQ(send(server, m.ssl, SMTP::NO_AUTH, ""), "ok");
        const Stored first = server.message(1);
        EXPECT_EQ(first.from, "a@example.test");
        EXPECT_EQ(first.rcpts, "b@example.test\nc@example.test\n");
        EXPECT_EQ(first.content, TEXT + "\r\n");
        EXPECT_EQ(send_email(server, 0, m.email_ssl, m.email_type, m.email_opts), 0u);
        EXPECT_EQ(server.message(2).content, EMAIL_TEXT + "\r\n");
        if (m.ssl == SMTP::STARTTLS) {
            EXPECT_EQ(send(server, SMTP::NO_SSL, SMTP::NO_AUTH, ""),
                      "530 Must issue a STARTTLS command first");
        }
    }
}

TEST_F(Aiosmtpd, EveryMechanismAuthenticatesAndWrongPasswordsAreRefused) {
    Smtpd server({"--auth", "tim:" + PASSWORD});
    ASSERT_TRUE(server.ready());
    const std::pair<SMTP::AUTH_TYPE, std::string> mechanisms[] = {{SMTP::PLAIN, "PLAIN tim"},
                                                                  {SMTP::LOGIN, "LOGIN tim"},
                                                                  {SMTP::CRAM_MD5, "CRAM-MD5 tim"},
                                                                  {SMTP::AUTO, "CRAM-MD5 tim"}};
    int n = 0;
    for (const auto& m : mechanisms) {
        SCOPED_TRACE(m.second);
        EXPECT_EQ(send(server, SMTP::NO_SSL, m.first, "wrong"),
                  "535 5.7.8 Authentication credentials invalid");
        EXPECT_EQ(send(server, SMTP::NO_SSL, m.first, PASSWORD), "ok");
        EXPECT_EQ(server.message(++n).auth, m.second);
    }
    EXPECT_EQ(send_email(server, 4, "", "", ""), 0u);
    EXPECT_EQ(server.message(++n).auth, "CRAM-MD5 tim");
    EXPECT_EQ(send_email(server, 0, "", "", ""), 274u);  // AUTH is required
    EXPECT_FALSE(server.has_message(n + 1));
}
