// SMTP AUTH: choosing the mechanism from the EHLO reply, and the exact
// lines of PLAIN, LOGIN, CRAM-MD5 and CRAM-SHA1.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "exception.h"
#include "smtp.h"
#include "smtp_peer.h"
#include "support.h"

namespace {

const std::string GREETING = "220 mx.example.test ESMTP\r\n";
const std::string EHLO_ALL =
    "250-mx.example.test\r\n250-Auth LOGIN plain Cram-Md5 CRAM-SHA1\r\n250 8BITMIME\r\n";
const std::string EHLO_NO_AUTH = "250-mx.example.test\r\n250-PIPELINING\r\n250 8BITMIME\r\n";
const std::string OK = "235 2.7.0 Authentication successful\r\n";
const std::string MESSAGE_REPLIES = "250 ok\r\n250 ok\r\n354 go\r\n250 queued\r\n221 bye\r\n";
const std::string MESSAGE_LINES =
    "MAIL FROM: <a@example.test>\r\nRCPT TO: <b@example.test>\r\n"
    "DATA\r\nhello\r\n.\r\nQUIT\r\n";

// RFC 2195's worked example.
const std::string RFC2195_CHALLENGE = "PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+";
// base64("tim b913a602c7eda7a495b4e6e7334d3890")
const std::string RFC2195_MD5_LINE = "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw";
// base64("tim " + HMAC-SHA1 of the same challenge under the same password,
// "8cb10ed0a8b764ab0e05125dd6eaa295f19b5943")
const std::string RFC2195_SHA1_LINE =
    "dGltIDhjYjEwZWQwYThiNzY0YWIwZTA1MTI1ZGQ2ZWFhMjk1ZjE5YjU5NDM=";
const std::string CHALLENGE = "334 " + RFC2195_CHALLENGE + "\r\n";
const std::string REFUSED = "535 5.7.8 Authentication credentials invalid";

// Runs f, which must throw a member of the Exception family; returns it.
Exception caught(const std::function<void()>& f) {
    try {
        f();
    } catch (const Exception& e) {
        return e;
    }
    ADD_FAILURE() << "nothing was thrown";
    return Exception("", "", 0);
}

}  // namespace

TEST(AuthChoice, PicksTheStrongestOfferedMechanismIgnoringCase) {
    struct Case {
        std::string reply;
        SMTP::AUTH_TYPE expected;
    } cases[] = {
        {"250-mx250-AUTH LOGIN PLAIN CRAM-MD5 CRAM-SHA1250 8BITMIME", SMTP::CRAM_SHA1},
        {"250-mx250-AUTH LOGIN PLAIN CRAM-MD5250 8BITMIME", SMTP::CRAM_MD5},
        {"250-mx250-AUTH LOGIN PLAIN250 8BITMIME", SMTP::PLAIN},
        {"250-mx250 AUTH LOGIN", SMTP::LOGIN},
        {"250-mx250-auth=login plain", SMTP::PLAIN},
        {"250-mx250 Auth Cram-Md5 login", SMTP::CRAM_MD5},
        {"250-mx250 auth cram-sha1", SMTP::CRAM_SHA1},
        // The names count only on a line that contains "auth".
        {"250-mx250-PLAIN LOGIN250 SIZE", SMTP::NO_AUTH},
        {"250-mx250-AUTH GSSAPI250 SIZE", SMTP::NO_AUTH},
        {"", SMTP::NO_AUTH},
        {"250 PLAIN\n250 AUTH LOGIN", SMTP::LOGIN},
        {"250-AUTH GSSAPI\n250 AUTH PLAIN", SMTP::PLAIN},
    };
    SMTP s("client.test", "a@example.test", "unused.invalid", 25);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reply);
        EXPECT_EQ(s.best_auth_method(c.reply), c.expected);
    }
}

TEST(AuthChoice, CheckLooksAtTheFirstAuthLineOnly) {
    SMTP s("client.test", "a@example.test", "unused.invalid", 25);
    EXPECT_NO_THROW(s.check_auth_method("250-mx250-auth Plain250 SIZE", "plain"));
    EXPECT_NO_THROW(s.check_auth_method("250 SIZE\n250 AUTH CRAM-MD5", "cram-md5"));

    auto e = thrown<AuthenticationFailedException>(
        [&] { s.check_auth_method("250-AUTH LOGIN\n250 AUTH PLAIN", "plain"); });
    EXPECT_EQ(e.msg, "PLAIN authentication method is not supported by server.");
    EXPECT_EQ(e.method, "SMTP::check_auth_method()");
    EXPECT_EQ(e.index, 1u);

    e = thrown<AuthenticationFailedException>(
        [&] { s.check_auth_method("250-mx250 PLAIN LOGIN", "login"); });
    EXPECT_EQ(e.msg, "SMTP AUTH is not supported by server.");
    EXPECT_EQ(e.method, "SMTP::check_auth_method()");
    EXPECT_EQ(e.index, 2u);
}

TEST(AuthAuto, NoUsableOfferMeansNoAuthAndHeloNextTime) {
    WireSession w(GREETING + "250-mx.example.test\r\n250 AUTH GSSAPI\r\n" + MESSAGE_REPLIES +
                  GREETING + "250 hello\r\n221 bye\r\n");
    w.smtp->setCredentials("user", "secret", SMTP::AUTO);
    w.smtp->addMessage("hello", {"b@example.test"});
    w.smtp->sendMessage();
    EXPECT_EQ(w.smtp->auth_type, SMTP::NO_AUTH);
    w.smtp->sendMessage();
    EXPECT_EQ(w.wire(), "EHLO client.test\r\n" + MESSAGE_LINES + "HELO client.test\r\nQUIT\r\n");
}

TEST(AuthNamed, MechanismMissingFromTheOfferSendsNothingMore) {
    struct Case {
        SMTP::AUTH_TYPE type;
        std::string offer;
        std::string msg;
        u32 index;
    } cases[] = {
        {SMTP::PLAIN, EHLO_NO_AUTH, "SMTP AUTH is not supported by server.", 2},
        {SMTP::CRAM_MD5, EHLO_NO_AUTH, "SMTP AUTH is not supported by server.", 2},
        {SMTP::CRAM_SHA1, "250-mx.example.test\r\n250 AUTH CRAM-MD5\r\n",
         "CRAM-SHA1 authentication method is not supported by server.", 1},
        {SMTP::LOGIN, "250-mx.example.test\r\n250 AUTH PLAIN\r\n",
         "LOGIN authentication method is not supported by server.", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.msg);
        WireSession w(GREETING + c.offer + OK + MESSAGE_REPLIES);
        w.smtp->setCredentials("user", "secret", c.type);
        w.smtp->addMessage("hello", {"b@example.test"});
        auto e = thrown<AuthenticationFailedException>([&] { w.smtp->sendMessage(); });
        EXPECT_EQ(e.msg, c.msg);
        EXPECT_EQ(e.method, "SMTP::check_auth_method()");
        EXPECT_EQ(e.index, c.index);
        EXPECT_EQ(w.wire(), "EHLO client.test\r\n");
        EXPECT_EQ(w.smtp->msgs.size(), 1u);
    }
}

TEST(AuthExchange, ExactClientLines) {
    const struct {
        const char* name;
        SMTP::AUTH_TYPE type, chosen;
        std::string user, password;
        std::string replies;
        std::string lines;
    } cases[] = {
        {"plain", SMTP::PLAIN, SMTP::PLAIN, "user", "secret", OK,
         "AUTH PLAIN AHVzZXIAc2VjcmV0\r\n"},
        {"plain, empty user", SMTP::PLAIN, SMTP::PLAIN, "", "secret", OK,
         "AUTH PLAIN AABzZWNyZXQ=\r\n"},
        {"plain, nil markers", SMTP::PLAIN, SMTP::PLAIN, "us<NIL>er", "pa<NIL>ss", OK,
         "AUTH PLAIN AHVzAGVyAHBhAHNz\r\n"},
        // The prompts are not read: the user name always goes first.
        {"login", SMTP::LOGIN, SMTP::LOGIN, "user", "secret",
         "334 UGFzc3dvcmQ6\r\n334 VXNlcm5hbWU6\r\n" + OK, "AUTH LOGIN\r\ndXNlcg==\r\nc2VjcmV0\r\n"},
        {"cram-md5", SMTP::CRAM_MD5, SMTP::CRAM_MD5, "tim", "tanstaaftanstaaf", CHALLENGE + OK,
         "AUTH CRAM-MD5\r\n" + RFC2195_MD5_LINE + "\r\n"},
        {"cram-md5, trailing space", SMTP::CRAM_MD5, SMTP::CRAM_MD5, "tim", "tanstaaftanstaaf",
         "334 " + RFC2195_CHALLENGE + " \r\n" + OK,
         "AUTH CRAM-MD5\r\n" + RFC2195_MD5_LINE + "\r\n"},
        {"cram-sha1", SMTP::CRAM_SHA1, SMTP::CRAM_SHA1, "tim", "tanstaaftanstaaf", CHALLENGE + OK,
         "AUTH CRAM-SHA1\r\n" + RFC2195_SHA1_LINE + "\r\n"},
        // AUTO uses the strongest offer and keeps it for the next run.
        {"auto", SMTP::AUTO, SMTP::CRAM_SHA1, "tim", "tanstaaftanstaaf", CHALLENGE + OK,
         "AUTH CRAM-SHA1\r\n" + RFC2195_SHA1_LINE + "\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WireSession w(EHLO_ALL + c.replies);
        w.smtp->setCredentials(c.user, c.password, c.type);
        EXPECT_NO_THROW(w.smtp->authenticate());
        EXPECT_EQ(w.wire(), "EHLO client.test\r\n" + c.lines);
        EXPECT_EQ(w.smtp->auth_type, c.chosen);
    }
}

// A bad challenge or a refusal ends the exchange: nothing more is written.
TEST(AuthExchange, FailureStopsTheExchange) {
    const struct {
        SMTP::AUTH_TYPE type;
        std::string replies, lines;
        std::string name, msg, method;
        u32 index;
    } cases[] = {
        {SMTP::CRAM_MD5, "334 not*base64!\r\n", "AUTH CRAM-MD5\r\n", "DecodeException",
         "Invalid Base64 Data.", "Algorithm::decode()", 1},
        {SMTP::CRAM_MD5, "334\r\n", "AUTH CRAM-MD5\r\n", "AuthenticationFailedException",
         "Server sent no challenge.", "SMTP::auth_cram_md5()", 1},
        {SMTP::CRAM_MD5, "334  \r\n", "AUTH CRAM-MD5\r\n", "AuthenticationFailedException",
         "Server sent no challenge.", "SMTP::auth_cram_md5()", 1},
        {SMTP::CRAM_SHA1, "334 \r\n", "AUTH CRAM-SHA1\r\n", "AuthenticationFailedException",
         "Server sent no challenge.", "SMTP::auth_cram_sha1()", 1},
        {SMTP::LOGIN, "334 VXNlcm5hbWU6\r\n334 UGFzc3dvcmQ6\r\n" + REFUSED + "\r\n",
         "AUTH LOGIN\r\ndGlt\r\ndGFuc3RhYWZ0YW5zdGFhZg==\r\n", "TransferException", REFUSED,
         "SMTP::evalResponse()", 2},
        {SMTP::CRAM_SHA1, CHALLENGE + REFUSED + "\r\n",
         "AUTH CRAM-SHA1\r\n" + RFC2195_SHA1_LINE + "\r\n", "TransferException", REFUSED,
         "SMTP::evalResponse()", 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.method + " \"" + c.replies + "\"");
        WireSession w(EHLO_ALL + c.replies + OK + "250 ok\r\n");
        w.smtp->setCredentials("tim", "tanstaaftanstaaf", c.type);
        const Exception e = caught([&] { w.smtp->authenticate(); });
        EXPECT_EQ(e.name, c.name);
        EXPECT_EQ(e.msg, c.msg);
        EXPECT_EQ(e.method, c.method);
        EXPECT_EQ(e.index, c.index);
        EXPECT_EQ(w.wire(), "EHLO client.test\r\n" + c.lines);
    }
}
