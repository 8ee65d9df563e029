// The SMTP session: exact bytes of every command, reply reading, reply
// judging, the queue, and a refused STARTTLS. The whole dialogue over
// STARTTLS and implicit TLS is checked byte for byte in fault_test.cpp.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "exception.h"
#include "logger.h"
#include "smtp.h"
#include "smtp_peer.h"
#include "support.h"

namespace {

const std::string GREETING = "220 mx.example.test ESMTP\r\n";
const std::string TEXT = "From: a@example.test\nTo: b@example.test\nSubject: hi\n\nbody\n";

// What the client writes for one message, from MAIL FROM to the end of data.
std::string mail(const SMTP::Message& m) {
    std::string out = "MAIL FROM: <a@example.test>\r\n";
    for (const std::string& r : m.rcpts)
        out += "RCPT TO: <" + r + ">\r\n";
    return out + "DATA\r\n" + m.msg + "\r\n.\r\n";
}

// The replies of a server that accepts every message of queue, and what the
// client writes to it.
std::string accepting(const std::vector<SMTP::Message>& queue) {
    std::string out = GREETING + "250 hello\r\n";
    for (const SMTP::Message& m : queue) {
        out += "250 ok\r\n";
        for (size_t i = 0; i < m.rcpts.size(); ++i)
            out += "250 ok\r\n";
        out += "354 go\r\n250 queued\r\n";
    }
    return out + "221 bye\r\n";
}

std::string dialogue(const std::vector<SMTP::Message>& queue) {
    std::string out = "HELO client.test\r\n";
    for (const SMTP::Message& m : queue)
        out += mail(m);
    return out + "QUIT\r\n";
}

// Log elements delivered to the callback: text and level.
std::vector<std::pair<std::string, int>> g_log;
void log_sink(std::string text, int level) {
    g_log.emplace_back(text, level);
}

}  // namespace

TEST(SmtpDialogue, SendsEveryQueuedMessageExactly) {
    const struct {
        const char* name;
        std::vector<SMTP::Message> queue;
        std::string replies;  // empty: accepting(queue)
    } cases[] = {
        {"one recipient", {{TEXT, {"b@example.test"}}}, ""},
        {"recipients in order", {{TEXT, {"b@example.test", "c@example.test"}}}, ""},
        {"no recipient", {{TEXT, {}}}, ""},
        {"two messages, one connection",
         {{TEXT, {"b@example.test"}}, {"two", {"c@example.test"}}},
         ""},
        // A lone dot, a leading dot, bare LF and CR LF, no final line end.
        {"text unchanged", {{"a\n.\n..b\r\nc\rd", {"b@example.test"}}}, ""},
        {"empty queue", {}, ""},
        {"multi-line replies, bare line feeds",
         {{TEXT, {"b@example.test"}}},
         "220-mx.example.test ESMTP\r\n220-more\n220 ready\r\n250-mx.example.test\r\n250\r\n"
         "250 ok\n250 ok\n354 go\n250 queued\n221 bye\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WireSession w(c.replies.empty() ? accepting(c.queue) : c.replies);
        for (const SMTP::Message& m : c.queue)
            w.smtp->addMessage(m.msg, m.rcpts);
        w.smtp->sendMessage();
        EXPECT_EQ(w.wire(), dialogue(c.queue));
        EXPECT_EQ(w.transport->connects, 1);
        EXPECT_TRUE(w.smtp->msgs.empty());
    }
}

TEST(SmtpDialogue, SecondRunConnectsAgain) {
    const std::vector<SMTP::Message> queue = {{TEXT, {"b@example.test"}}};
    WireSession w(accepting(queue) + accepting(queue));
    for (int run = 1; run <= 2; ++run) {
        w.smtp->addMessage(TEXT, {"b@example.test"});
        w.smtp->sendMessage();
        EXPECT_EQ(w.transport->connects, run);
    }
    EXPECT_EQ(w.wire(), dialogue(queue) + dialogue(queue));
}

// At the first failure nothing more is sent, the queue is kept as it was
// and the exception rises unchanged; destroying the session sends nothing.
TEST(SmtpFailure, FirstFailureStopsTheDialogueAndKeepsTheQueue) {
    const std::vector<SMTP::Message> queue = {{TEXT, {"b@example.test", "c@example.test"}},
                                              {"second", {"d@example.test"}}};
    const std::string helo = "HELO client.test\r\n";
    const std::string mail_from = "MAIL FROM: <a@example.test>\r\n";
    const std::string to_data = GREETING + "250 hello\r\n250 ok\r\n250 ok\r\n250 ok\r\n354 go\r\n";
    const struct {
        std::string replies;
        std::string wire;
        std::string msg, method;
        u32 index;
    } cases[] = {
        {"221 closing\r\n", "", "221 closing", "SMTP::evalResponse()", 1},
        {GREETING + "221 closing\r\n", helo, "221 closing", "SMTP::evalResponse()", 1},
        {GREETING + "250 hello\r\n221 closing\r\n", helo + mail_from, "221 closing",
         "SMTP::evalResponse()", 1},
        {to_data + "221 closing\r\n", helo + mail(queue[0]), "221 closing", "SMTP::evalResponse()",
         1},
        {GREETING + "250 hello\r\n250 ok\r\n550 5.1.1 no such user\r\n250 ok\r\n",
         helo + mail_from + "RCPT TO: <b@example.test>\r\n", "550 5.1.1 no such user",
         "SMTP::evalResponse()", 2},
        {to_data + "552 5.3.4 message too big\r\n221 bye\r\n", helo + mail(queue[0]),
         "552 5.3.4 message too big", "SMTP::evalResponse()", 2},
        {GREETING + "554 no service\r\n", helo, "554 no service", "SMTP::evalResponse()", 2},
        // The end of the stream from the transport.
        {GREETING + "250 hello\r\n", helo + mail_from, "Socket was closed.", "Socket::readSocket()",
         4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.replies);
        WireSession w(c.replies);
        for (const SMTP::Message& m : queue)
            w.smtp->addMessage(m.msg, m.rcpts);
        auto e = thrown<TransferException>([&] { w.smtp->sendMessage(); });
        EXPECT_EQ(e.msg, c.msg);
        EXPECT_EQ(e.method, c.method);
        EXPECT_EQ(e.index, c.index);
        EXPECT_EQ(w.wire(), c.wire);
        ASSERT_EQ(w.smtp->msgs.size(), 2u);
        for (size_t i = 0; i < 2; ++i) {
            EXPECT_EQ(w.smtp->msgs[i].msg, queue[i].msg);
            EXPECT_EQ(w.smtp->msgs[i].rcpts, queue[i].rcpts);
        }
        w.smtp.reset();
        // The peer sees the end of the stream (a reset when replies were left
        // unread) and no further byte.
        char byte;
        errno = 0;
        const ssize_t n = ::recv(w.pair.peer(), &byte, 1, MSG_DONTWAIT);
        EXPECT_TRUE(n == 0 || (n < 0 && errno == ECONNRESET)) << n << " " << errno;
    }
}

TEST(SmtpEvalResponse, JudgesEveryLineByItsFirstThreeCharacters) {
    enum Outcome { OK, NOTICE, CLOSING, REFUSED, UNKNOWN };
    struct Case {
        std::string line;
        bool is_221_fatal;
        Outcome outcome;
    };
    std::vector<Case> cases = {{"221 bye", false, OK},
                               {"221 bye", true, CLOSING},
                               {"221", true, CLOSING},
                               {"250123", true, OK},
                               {"hello", false, UNKNOWN}};
    for (const char* line : {"", "25", " 250 ok", "252 cannot verify", "455 unable", "555 bad"})
        cases.push_back({line, true, UNKNOWN});
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
    WireSession w("");
    w.smtp->setVerbosity(Logger::ERROR);
    w.smtp->setCallBackFunction(log_sink);
    for (const Case& c : cases) {
        SCOPED_TRACE("\"" + c.line + "\" is_221_fatal=" + (c.is_221_fatal ? "true" : "false"));
        g_log.clear();
        if (c.outcome == OK || c.outcome == NOTICE) {
            EXPECT_NO_THROW(w.smtp->evalResponse(c.line, c.is_221_fatal));
            std::vector<std::pair<std::string, int>> expected;
            if (c.outcome == NOTICE)
                expected = {
                    {"Host said: ", Logger::ERROR}, {c.line, Logger::ERROR}, {"\n", Logger::ERROR}};
            EXPECT_EQ(g_log, expected);
            continue;
        }
        auto e = thrown<TransferException>([&] { w.smtp->evalResponse(c.line, c.is_221_fatal); });
        EXPECT_EQ(e.method, "SMTP::evalResponse()");
        EXPECT_EQ(e.index, c.outcome == CLOSING ? 1u : c.outcome == REFUSED ? 2u : 3u);
        EXPECT_EQ(e.msg, c.outcome == UNKNOWN ? "Unknown message - " + c.line : c.line);
        EXPECT_TRUE(g_log.empty());
    }
    EXPECT_EQ(w.wire(), "");
}

TEST(SmtpReadResponse, JoinsTheLinesOfOneReply) {
    const struct {
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
    for (const auto& c : cases) {
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

TEST(SmtpSetup, TlsOptionsAndLoggingReachTheTransport) {
    SMTP s("client.test", "a@example.test", "mx.example.test", 465);
    s.setSSLOpts(SMTP::SMTPS, SSLSocket::VERIFY_NONE, "/ca.pem", "/ca.d");
    EXPECT_EQ(s.ssl_type, SMTP::SMTPS);
    EXPECT_EQ(s.socket->verify, 0);
    EXPECT_EQ(s.socket->ca_file, "/ca.pem");
    EXPECT_EQ(s.socket->ca_dir, "/ca.d");
    s.setSSLOpts(SMTP::STARTTLS, SSLSocket::VERIFY_PEER, "", "");
    EXPECT_EQ(s.socket->verify, 1);
    EXPECT_EQ(s.socket->ca_file, "");
    // The session is the transport's parent logger.
    s.setVerbosity(Logger::VERBOSE);
    EXPECT_EQ(s.socket->getVerbosity(), Logger::VERBOSE);
}

TEST(SmtpStartTls, RefusedStartTlsAttemptsNoHandshake) {
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
