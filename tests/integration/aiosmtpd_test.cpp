// Sending to a real SMTP server, aiosmtpd on 127.0.0.1: plain, STARTTLS,
// implicit TLS and every SMTP AUTH mechanism, checking each message as the
// server stored it. (email()'s dialogue is checked byte by byte in the
// dialogue scenarios of tests/scenarios/.)
#include <gtest/gtest.h>

#include <string>

#include "exception.h"
#include "smtp.h"
#include "smtpd.h"
#include "tls_peer.h"

namespace {

const std::string TEXT = "From: a@example.test\nSubject: hi\n\nbody\n";

// A session sending TEXT to two recipients: "ok" or the failure's text.
std::string send(const Smtpd& server, SMTP::SSL_TYPE ssl, SMTP::AUTH_TYPE auth,
                 const std::string& password = "tanstaaftanstaaf") {
    SMTP s("client.test", "a@example.test", "127.0.0.1", u32(server.port()));
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

}  // namespace

TEST(Aiosmtpd, PlainStartTlsAndImplicitTls) {
    if (!aiosmtpd_available())
        GTEST_SKIP() << "/usr/bin/python3 cannot import aiosmtpd";
    const TestPki& pki = TestPki::get();
    const SMTP::SSL_TYPE types[] = {SMTP::NO_SSL, SMTP::STARTTLS, SMTP::SMTPS};
    const char* const modes[] = {"plain", "starttls", "smtps"};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(modes[i]);
        Smtpd server({"--mode", modes[i], "--cert", pki.server_cert, "--key", pki.server_key});
        ASSERT_TRUE(server.ready());
        EXPECT_EQ(send(server, types[i], SMTP::NO_AUTH), "ok");
        const Stored m = server.message(1);
        EXPECT_EQ(m.from + m.rcpts + m.content,
                  "a@example.testb@example.test\nc@example.test\n" + TEXT + "\r\n");
    }
}

TEST(Aiosmtpd, EveryMechanismAuthenticatesAndWrongPasswordsAreRefused) {
    if (!aiosmtpd_available())
        GTEST_SKIP() << "/usr/bin/python3 cannot import aiosmtpd";
    Smtpd server({"--auth", "tim:tanstaaftanstaaf"});
    ASSERT_TRUE(server.ready());
    const SMTP::AUTH_TYPE types[] = {SMTP::PLAIN, SMTP::LOGIN, SMTP::CRAM_MD5, SMTP::AUTO};
    const char* const stored[] = {"PLAIN tim", "LOGIN tim", "CRAM-MD5 tim", "CRAM-MD5 tim"};
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(send(server, SMTP::NO_SSL, types[i], "wrong"),
                  "535 5.7.8 Authentication credentials invalid");
        EXPECT_EQ(send(server, SMTP::NO_SSL, types[i]), "ok");
        EXPECT_EQ(server.message(i + 1).auth, stored[i]);
    }
    EXPECT_FALSE(server.has_message(5));
}
