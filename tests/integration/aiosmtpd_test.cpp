// Sending to a real SMTP server, aiosmtpd on 127.0.0.1: plain, STARTTLS and
// implicit TLS, each with an SMTP AUTH mechanism, checking each message as
// the server stored it. (The dialogue is checked byte by byte in the
// scenarios of tests/scenarios/.)
#include <gtest/gtest.h>

#include <string>
#include <tuple>

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

TEST(Aiosmtpd, EveryTlsModeWithAMechanismAndAWrongPasswordRefused) {
    const TestPki& pki = TestPki::get();
    const std::tuple<const char*, SMTP::SSL_TYPE, SMTP::AUTH_TYPE, std::string> cases[] = {
        {"plain", SMTP::NO_SSL, SMTP::PLAIN, "PLAIN tim"},
        {"starttls", SMTP::STARTTLS, SMTP::LOGIN, "LOGIN tim"},
        {"smtps", SMTP::SMTPS, SMTP::CRAM_MD5, "CRAM-MD5 tim"},
        {"plain", SMTP::NO_SSL, SMTP::AUTO, "CRAM-MD5 tim"}};
    for (const auto& [mode, ssl, auth, stored] : cases) {
        SCOPED_TRACE(stored + " over " + mode);
        Smtpd server({"--mode", mode, "--cert", pki.server_cert, "--key", pki.server_key, "--auth",
                      "tim:tanstaaftanstaaf"});
        ASSERT_TRUE(server.ready());
        EXPECT_EQ(send(server, ssl, auth, "wrong"), "535 5.7.8 Authentication credentials invalid");
        EXPECT_EQ(send(server, ssl, auth), "ok");
        const Stored m = server.message(1);
        EXPECT_EQ(m.from + m.rcpts + m.auth + "|" + m.content,
                  "a@example.testb@example.test\nc@example.test\n" + stored + "|" + TEXT + "\r\n");
        EXPECT_FALSE(server.has_message(2));
    }
}
