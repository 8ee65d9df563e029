// The SMTP session: exact bytes of every command, reply reading, reply
// judging, the queue, and the order of the TLS variants.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "exception.h"
#include "logger.h"
#include "smtp.h"
#include "smtp_peer.h"
#include "support.h"
#include "tls_peer.h"

namespace {

const std::string GREETING = "220 mx.example.test ESMTP\r\n";
const std::string TEXT = "From: a@example.test\nTo: b@example.test\nSubject: hi\n\nbody\n";

// The replies of a server that accepts one message for one recipient.
const std::string ACCEPT_ONE = GREETING +
                               "250 mx.example.test\r\n"
                               "250 2.1.0 Ok\r\n"
                               "250 2.1.5 Ok\r\n"
                               "354 End data with <CR><LF>.<CR><LF>\r\n"
                               "250 2.0.0 Ok: queued\r\n"
                               "221 2.0.0 Bye\r\n";

// What the client writes for one message, from MAIL FROM to the end of data.
std::string mail(const std::vector<std::string>& rcpts, const std::string& text) {
    std::string out = "MAIL FROM: <a@example.test>\r\n";
    for (const std::string& r : rcpts)
        out += "RCPT TO: <" + r + ">\r\n";
    return out + "DATA\r\n" + text + "\r\n.\r\n";
}

// Log elements delivered to the callback: text and level.
std::vector<std::pair<std::string, int>> g_log;
void log_sink(std::string text, int level) {
    g_log.emplace_back(text, level);
}

}  // namespace

TEST(SmtpDialogue, PlainHeloSendsEveryCommandExactly) {
    WireSession w(ACCEPT_ONE);
    w.smtp->addMessage(TEXT, {"b@example.test"});
    w.smtp->sendMessage();
    EXPECT_EQ(w.wire(), "HELO client.test\r\n" + mail({"b@example.test"}, TEXT) + "QUIT\r\n");
    EXPECT_EQ(w.transport->connects, 1);
    EXPECT_TRUE(w.smtp->msgs.empty());
}

TEST(SmtpDialogue, OneRcptToPerRecipientInOrder) {
    WireSession w(GREETING +
                  "250 hello\r\n250 ok\r\n250 ok\r\n250 ok\r\n354 go\r\n250 queued\r\n221 bye\r\n");
    w.smtp->addMessage(TEXT, {"b@example.test", "c@example.test"});
    w.smtp->sendMessage();
    EXPECT_EQ(w.wire(), "HELO client.test\r\n" + mail({"b@example.test", "c@example.test"}, TEXT) +
                            "QUIT\r\n");
}

TEST(SmtpDialogue, SecondRecipientWaitsForTheFirstReply) {
    WireSession w(GREETING + "250 hello\r\n250 ok\r\n550 5.1.1 no such user\r\n250 ok\r\n");
    w.smtp->addMessage(TEXT, {"b@example.test", "c@example.test"});
    auto e = thrown<TransferException>([&] { w.smtp->sendMessage(); });
    EXPECT_EQ(e.msg, "550 5.1.1 no such user");
    EXPECT_EQ(e.method, "SMTP::evalResponse()");
    EXPECT_EQ(e.index, 2u);
    EXPECT_EQ(w.wire(),
              "HELO client.test\r\n"
              "MAIL FROM: <a@example.test>\r\n"
              "RCPT TO: <b@example.test>\r\n");
}

TEST(SmtpDialogue, TwoMessagesShareOneConnectionAndSender) {
    const std::string second = "Subject: two\n\nsecond\n";
    WireSession w(GREETING +
                  "250 hello\r\n"
                  "250 ok\r\n250 ok\r\n354 go\r\n250 queued\r\n"
                  "250 ok\r\n250 ok\r\n354 go\r\n250 queued\r\n"
                  "221 bye\r\n");
    w.smtp->addMessage(TEXT, {"b@example.test"});
    w.smtp->addMessage(second, {"c@example.test"});
    w.smtp->sendMessage();
    EXPECT_EQ(w.wire(), "HELO client.test\r\n" + mail({"b@example.test"}, TEXT) +
                            mail({"c@example.test"}, second) + "QUIT\r\n");
    EXPECT_EQ(w.transport->connects, 1);
    EXPECT_TRUE(w.smtp->msgs.empty());
}

TEST(SmtpDialogue, MessageWithoutRecipientsGoesStraightToData) {
    WireSession w(GREETING + "250 hello\r\n250 ok\r\n354 go\r\n250 queued\r\n221 bye\r\n");
    w.smtp->addMessage(TEXT, {});
    w.smtp->sendMessage();
    EXPECT_EQ(w.wire(), "HELO client.test\r\n" + mail({}, TEXT) + "QUIT\r\n");
}

TEST(SmtpDialogue, TextIsSentUnchanged) {
    // A lone dot, a leading dot, bare LF and CR LF line ends, no final line end.
    const std::string text = "a\n.\n..b\r\nc\rd";
    WireSession w(ACCEPT_ONE);
    w.smtp->addMessage(text, {"b@example.test"});
    w.smtp->sendMessage();
    EXPECT_EQ(w.wire(), "HELO client.test\r\n" + mail({"b@example.test"}, text) + "QUIT\r\n");
}

TEST(SmtpDialogue, EmptyQueueStillGreetsAndQuits) {
    WireSession w(GREETING + "250 hello\r\n221 bye\r\n");
    w.smtp->sendMessage();
    EXPECT_EQ(w.wire(), "HELO client.test\r\nQUIT\r\n");
}

TEST(SmtpDialogue, MultiLineRepliesAndBareLineFeedsAreRead) {
    WireSession w(
        "220-mx.example.test ESMTP\r\n220-more\n220 ready\r\n"
        "250-mx.example.test\r\n250\r\n"
        "250 ok\n250 ok\n354 go\n250 queued\n221 bye\n");
    w.smtp->addMessage(TEXT, {"b@example.test"});
    w.smtp->sendMessage();
    EXPECT_EQ(w.wire(), "HELO client.test\r\n" + mail({"b@example.test"}, TEXT) + "QUIT\r\n");
}

TEST(SmtpDialogue, SecondRunConnectsAgain) {
    WireSession w(ACCEPT_ONE + ACCEPT_ONE);
    w.smtp->addMessage(TEXT, {"b@example.test"});
    w.smtp->sendMessage();
    w.smtp->addMessage(TEXT, {"b@example.test"});
    w.smtp->sendMessage();
    const std::string one = "HELO client.test\r\n" + mail({"b@example.test"}, TEXT) + "QUIT\r\n";
    EXPECT_EQ(w.wire(), one + one);
    EXPECT_EQ(w.transport->connects, 2);
}

TEST(SmtpFailure, FatalReplyStopsTheDialogueAndKeepsTheQueue) {
    WireSession w(GREETING +
                  "250 hello\r\n250 ok\r\n250 ok\r\n354 go\r\n"
                  "552 5.3.4 message too big\r\n221 bye\r\n");
    w.smtp->addMessage(TEXT, {"b@example.test"});
    w.smtp->addMessage("second", {"c@example.test", "d@example.test"});
    auto e = thrown<TransferException>([&] { w.smtp->sendMessage(); });
    EXPECT_EQ(e.msg, "552 5.3.4 message too big");
    EXPECT_EQ(e.index, 2u);
    EXPECT_EQ(w.wire(), "HELO client.test\r\n" + mail({"b@example.test"}, TEXT));
    ASSERT_EQ(w.smtp->msgs.size(), 2u);
    EXPECT_EQ(w.smtp->msgs[0].msg, TEXT);
    EXPECT_EQ(w.smtp->msgs[0].rcpts, std::vector<std::string>{"b@example.test"});
    EXPECT_EQ(w.smtp->msgs[1].msg, "second");
    EXPECT_EQ(w.smtp->msgs[1].rcpts,
              (std::vector<std::string>{"c@example.test", "d@example.test"}));
}

TEST(SmtpFailure, ServiceClosingOutsideQuitFails) {
    struct Case {
        std::string replies;
        std::string wire;
    } cases[] = {
        {"221 closing\r\n", ""},
        {GREETING + "221 closing\r\n", "HELO client.test\r\n"},
        {GREETING + "250 hello\r\n221 closing\r\n",
         "HELO client.test\r\nMAIL FROM: <a@example.test>\r\n"},
        {GREETING + "250 hello\r\n250 ok\r\n250 ok\r\n354 go\r\n221 closing\r\n",
         "HELO client.test\r\n" + mail({"b@example.test"}, TEXT)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.replies);
        WireSession w(c.replies);
        w.smtp->addMessage(TEXT, {"b@example.test"});
        auto e = thrown<TransferException>([&] { w.smtp->sendMessage(); });
        EXPECT_EQ(e.msg, "221 closing");
        EXPECT_EQ(e.method, "SMTP::evalResponse()");
        EXPECT_EQ(e.index, 1u);
        EXPECT_EQ(w.wire(), c.wire);
        EXPECT_EQ(w.smtp->msgs.size(), 1u);
    }
}

TEST(SmtpFailure, TransportFailureRisesUnchanged) {
    WireSession w(GREETING + "250 hello\r\n");  // then end of stream
    w.smtp->addMessage(TEXT, {"b@example.test"});
    auto e = thrown<TransferException>([&] { w.smtp->sendMessage(); });
    EXPECT_EQ(e.method, "Socket::readSocket()");
    EXPECT_EQ(e.index, 4u);
    EXPECT_EQ(w.wire(), "HELO client.test\r\nMAIL FROM: <a@example.test>\r\n");
    EXPECT_EQ(w.smtp->msgs.size(), 1u);
}

TEST(SmtpFailure, DestroyingAFailedSessionSendsNothing) {
    WireSession w(GREETING + "554 no service\r\n");
    w.smtp->addMessage(TEXT, {"b@example.test"});
    thrown<TransferException>([&] { w.smtp->sendMessage(); });
    EXPECT_EQ(w.wire(), "HELO client.test\r\n");
    w.smtp.reset();
    // The peer now reads end of stream and no further byte.
    char c;
    EXPECT_EQ(::recv(w.pair.peer(), &c, 1, MSG_DONTWAIT), 0);
}

class SmtpNotify : public ::testing::Test {
protected:
    void SetUp() override { g_log.clear(); }
};

TEST_F(SmtpNotify, NoticeRepliesAreLoggedAtErrorAndAccepted) {
    WireSession w(GREETING +
                  "250 hello\r\n250 ok\r\n551 5.1.6 user has moved\r\n"
                  "354 go\r\n250 queued\r\n221 bye\r\n");
    w.smtp->setVerbosity(Logger::ERROR);
    w.smtp->setCallBackFunction(log_sink);
    w.smtp->addMessage(TEXT, {"b@example.test"});
    w.smtp->sendMessage();
    EXPECT_EQ(w.wire(), "HELO client.test\r\n" + mail({"b@example.test"}, TEXT) + "QUIT\r\n");
    const std::vector<std::pair<std::string, int>> expected = {
        {"Host said: ", Logger::ERROR},
        {"551 5.1.6 user has moved", Logger::ERROR},
        {"\n", Logger::ERROR}};
    EXPECT_EQ(g_log, expected);
}

TEST(SmtpEvalResponse, JudgesEveryLineByItsFirstThreeCharacters) {
    enum Outcome { OK, NOTICE, CLOSING, REFUSED, UNKNOWN };
    struct Case {
        std::string line;
        bool is_221_fatal;
        Outcome outcome;
    };
    std::vector<Case> cases;
    for (const char* code : {"500", "501", "502", "503", "504", "421", "450", "451", "452", "550",
                             "552", "553", "554", "534", "538", "454", "530", "535"}) {
        cases.push_back({std::string(code) + " refused", true, REFUSED});
        cases.push_back({std::string(code) + "-refused", false, REFUSED});
    }
    for (const char* code : {"211", "214", "551", "251"}) {
        cases.push_back({std::string(code) + " notice", true, NOTICE});
        cases.push_back({code, false, NOTICE});
    }
    for (const char* code : {"220", "250", "354", "334", "235"}) {
        cases.push_back({std::string(code) + " fine", true, OK});
        cases.push_back({std::string(code) + "-fine", false, OK});
    }
    cases.push_back({"221 bye", false, OK});
    cases.push_back({"221 bye", true, CLOSING});
    cases.push_back({"221", true, CLOSING});
    cases.push_back({"250123", true, OK});
    cases.push_back({"25", true, UNKNOWN});
    cases.push_back({" 250 ok", true, UNKNOWN});
    cases.push_back({"252 cannot verify", true, UNKNOWN});
    cases.push_back({"455 unable", true, UNKNOWN});
    cases.push_back({"555 bad parameters", true, UNKNOWN});
    cases.push_back({"", true, UNKNOWN});
    cases.push_back({"hello", false, UNKNOWN});

    WireSession w("");
    w.smtp->setVerbosity(Logger::ERROR);
    w.smtp->setCallBackFunction(log_sink);
    for (const Case& c : cases) {
        SCOPED_TRACE("\"" + c.line + "\" is_221_fatal=" + (c.is_221_fatal ? "true" : "false"));
        g_log.clear();
        if (c.outcome == OK || c.outcome == NOTICE) {
            EXPECT_NO_THROW(w.smtp->evalResponse(c.line, c.is_221_fatal));
            std::string logged;
            for (const auto& element : g_log) {
                logged += element.first;
                EXPECT_EQ(element.second, Logger::ERROR);
            }
            EXPECT_EQ(logged, c.outcome == NOTICE ? "Host said: " + c.line + "\n" : "");
            continue;
        }
        auto e = thrown<TransferException>([&] { w.smtp->evalResponse(c.line, c.is_221_fatal); });
        EXPECT_EQ(e.method, "SMTP::evalResponse()");
        EXPECT_TRUE(g_log.empty());
        switch (c.outcome) {
            case CLOSING:
                EXPECT_EQ(e.index, 1u);
                EXPECT_EQ(e.msg, c.line);
                break;
            case REFUSED:
                EXPECT_EQ(e.index, 2u);
                EXPECT_EQ(e.msg, c.line);
                break;
            default:
                EXPECT_EQ(e.index, 3u);
                EXPECT_EQ(e.msg, "Unknown message - " + c.line);
                break;
        }
    }
    EXPECT_EQ(w.wire(), "");
}

TEST(SmtpReadResponse, JoinsTheLinesOfOneReply) {
    struct Case {
        std::string input;
        std::string result;
    } cases[] = {
        {"220-mx.example.test ESMTP\r\n220 ready\r\n", "220-mx.example.test ESMTP220 ready"},
        {"250\r\n", "250"},
        {"250-\r\n250 last\r\n", "250-250 last"},
        {"250-a\n250-b\r\n250 c\n", "250-a250-b250 c"},
        {"250 one CR goes\r\r\n", "250 one CR goes\r"},
        {"250 \r\n", "250 "},
        {"250x-not a continuation\r\n", "250x-not a continuation"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        WireSession w(c.input + "354 next reply\r\n");
        EXPECT_EQ(w.smtp->read_response(true), c.result);
        EXPECT_EQ(w.smtp->read_response(true), "354 next reply");
    }
}

TEST(SmtpReadResponse, FailingContinuationLineEndsTheReply) {
    WireSession w("250-first\r\n554-refused\r\n250 last\r\n");
    auto e = thrown<TransferException>([&] { w.smtp->read_response(true); });
    EXPECT_EQ(e.msg, "554-refused");
    EXPECT_EQ(e.index, 2u);
    EXPECT_EQ(w.smtp->read_response(true), "250 last");
}

TEST(SmtpSetup, TlsOptionsReachTheTransport) {
    SMTP s("client.test", "a@example.test", "mx.example.test", 465);
    EXPECT_EQ(s.ssl_type, SMTP::NO_SSL);
    EXPECT_EQ(s.auth_type, SMTP::NO_AUTH);
    s.setSSLOpts(SMTP::SMTPS, SSLSocket::VERIFY_NONE, "/ca.pem", "/ca.d");
    EXPECT_EQ(s.ssl_type, SMTP::SMTPS);
    EXPECT_EQ(s.socket->verify, 0);
    EXPECT_EQ(s.socket->ca_file, "/ca.pem");
    EXPECT_EQ(s.socket->ca_dir, "/ca.d");
    s.setSSLOpts(SMTP::STARTTLS, SSLSocket::VERIFY_PEER, "", "");
    EXPECT_EQ(s.ssl_type, SMTP::STARTTLS);
    EXPECT_EQ(s.socket->verify, 1);
    EXPECT_EQ(s.socket->ca_file, "");
    // The session is the transport's parent logger.
    s.setVerbosity(Logger::VERBOSE);
    EXPECT_EQ(s.socket->getVerbosity(), Logger::VERBOSE);
}

// TLS orders: the client's end is adopted by the session, the test plays
// the server on the other end, first in clear, then through TlsServer.
namespace {

// Reads from fd until want has arrived (or 5 s pass); returns what came.
std::string read_clear(int fd, const std::string& want) {
    std::string got;
    for (int waited = 0; got.size() < want.size() && waited < 5000;) {
        char c;
        ssize_t n = ::recv(fd, &c, 1, MSG_DONTWAIT);
        if (n == 1) {
            got.push_back(c);
        } else if (n == 0) {
            break;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            waited += 10;
        }
    }
    return got;
}

// The server side over TLS after the handshake: answers HELO, one message
// and QUIT; returns every line it read.
std::string serve_over_tls(TlsServer* tls, bool send_greeting) {
    std::string got;
    if (send_greeting && !tls->write("220 tls.example.test ESMTP\r\n"))
        return got;
    for (const char* reply : {"250 hello\r\n", "250 ok\r\n", "250 ok\r\n", "354 go\r\n"}) {
        got += tls->read_line();
        tls->write(reply);
    }
    std::string data;
    while (data.size() < 5 || data.compare(data.size() - 5, 5, "\r\n.\r\n") != 0) {
        std::string l = tls->read_line();
        if (l.empty())
            return got + data;
        data += l;
    }
    got += data;
    tls->write("250 queued\r\n");
    got += tls->read_line();
    tls->write("221 bye\r\n");
    tls->shutdown();
    return got;
}

const std::string OVER_TLS = "HELO client.test\r\n" + mail({"b@example.test"}, TEXT) + "QUIT\r\n";

}  // namespace

TEST(SmtpTlsOrder, StartTlsAfterTheGreetingThenHeloOverTls) {
    SocketPair pair;
    pair.send(GREETING + "220 2.0.0 Ready to start TLS\r\n");
    SMTP s("client.test", "a@example.test", "unused.invalid", 25);
    adopt(&s, pair.release_client());
    s.setSSLOpts(SMTP::STARTTLS, SSLSocket::VERIFY_PEER, TestPki::get().ca_file, "");
    s.addMessage(TEXT, {"b@example.test"});

    std::string clear, over_tls;
    bool handshake = false;
    std::thread server([&] {
        clear = read_clear(pair.peer(), "STARTTLS\r\n");
        if (clear != "STARTTLS\r\n")
            return;
        TlsServer tls(pair.peer());
        handshake = tls.accept();
        if (handshake)
            over_tls = serve_over_tls(&tls, false);
        ::shutdown(pair.peer(), SHUT_RDWR);  // a client out of step reads end of stream
    });
    EXPECT_NO_THROW(s.sendMessage());
    server.join();
    EXPECT_EQ(clear, "STARTTLS\r\n");
    EXPECT_TRUE(handshake);
    EXPECT_EQ(over_tls, OVER_TLS);
}

TEST(SmtpTlsOrder, ImplicitTlsHandshakesBeforeAnyByte) {
    SocketPair pair;
    SMTP s("client.test", "a@example.test", "unused.invalid", 465);
    adopt(&s, pair.release_client());
    s.setSSLOpts(SMTP::SMTPS, SSLSocket::VERIFY_NONE, "", "");
    s.addMessage(TEXT, {"b@example.test"});

    std::string over_tls;
    bool handshake = false;
    std::thread server([&] {
        TlsServer tls(pair.peer());
        handshake = tls.accept();
        if (handshake)
            over_tls = serve_over_tls(&tls, true);
        ::shutdown(pair.peer(), SHUT_RDWR);
    });
    EXPECT_NO_THROW(s.sendMessage());
    server.join();
    EXPECT_TRUE(handshake);
    EXPECT_EQ(over_tls, OVER_TLS);
}

TEST(SmtpTlsOrder, RefusedStartTlsAttemptsNoHandshake) {
    for (const char* refusal : {"454 4.7.0 TLS not available", "502 5.5.1 not implemented"}) {
        SCOPED_TRACE(refusal);
        WireSession w(GREETING + refusal + "\r\n");
        w.smtp->setSSLOpts(SMTP::STARTTLS, SSLSocket::VERIFY_NONE, "", "");
        w.smtp->addMessage(TEXT, {"b@example.test"});
        auto e = thrown<TransferException>([&] { w.smtp->sendMessage(); });
        EXPECT_EQ(e.msg, refusal);
        EXPECT_EQ(e.method, "SMTP::evalResponse()");
        EXPECT_EQ(e.index, 2u);
        EXPECT_EQ(w.wire(), "STARTTLS\r\n");  // no ClientHello follows
        EXPECT_FALSE(w.transport->negotiated);
    }
}
