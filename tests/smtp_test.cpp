// The SMTP class where a dialogue scenario (tests/scenarios/) cannot reach:
// judging single reply lines, the joined text of a reply, what sendMessage()
// refuses to send, refusals in each place of a pipelined group, and texts
// streamed from files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "smtp.h"
#include "support.h"
#include "tls_peer.h"

TEST(SmtpReplies, JudgedByTheirFirstThreeCharacters) {
    // index 0: accepted; -1: accepted with a notice in the log.
    const struct {
        std::string line;
        bool is_221_fatal;
        int index;
    } rows[] = {{"221 bye", false, 0},  {"221 bye", true, 1},   {"221", true, 1},
                {"250123", true, 0},    {"354-go on", true, 0}, {"334", true, 0},
                {"235 fine", true, 0},  {"535 no", false, 2},   {"421-later", true, 2},
                {"454", true, 2},       {"530 first", true, 2}, {"503 order", true, 2},
                {"", true, 3},          {"25", true, 3},        {" 250 ok", true, 3},
                {"252 maybe", true, 3}, {"555 no", true, 3},    {"211 status", true, -1},
                {"214", false, -1}};
    SMTP s("client.test", "a@example.test", "unused.invalid", 25);
    for (const auto& row : rows) {
        SCOPED_TRACE("\"" + row.line + "\"");
        capture_log(s, Logger::ERROR);
        if (row.index <= 0) {
            EXPECT_NO_THROW(s.evalResponse(row.line, row.is_221_fatal));
        } else {
            auto e = thrown<TransferException>([&] { s.evalResponse(row.line, row.is_221_fatal); });
            EXPECT_EQ(e.method, "SMTP::evalResponse()");
            EXPECT_EQ(e.index, static_cast<u32>(row.index));
            EXPECT_EQ(e.msg, row.index == 3 ? "Unknown message - " + row.line : row.line);
        }
        EXPECT_EQ(logged(), std::vector<std::string>(row.index < 0, "Host said: " + row.line));
    }
}

TEST(SmtpReplies, JoinedWithoutSeparatorsAndOneCrPerLine) {
    SocketPair pair;
    pair.send("250-a\n250-b\r\n250 c\n250 one CR goes\r\r\n250 \r\n250x-not continued\r\n");
    SMTP s("client.test", "a@example.test", "unused.invalid", 25);
    adopt(s, pair.release_client());
    EXPECT_EQ(s.read_response(true), "250-a250-b250 c");
    EXPECT_EQ(s.read_response(true), "250 one CR goes\r");
    EXPECT_EQ(s.read_response(true), "250 ");
    EXPECT_EQ(s.read_response(true), "250x-not continued");
}

namespace {

struct Outcome {
    std::string outcome = "ok", sent;  // outcome: "ok" or "Name method index text"
    std::vector<SMTP::Message> queue;  // the queue after the run
};

// A session of client.test and a@example.test, set up by setup, against a
// peer that sends replies at once (after a handshake, with tls) and records
// every byte it gets until the session has gone (a session that fails may
// close before the replies are sent).
Outcome run(const std::string& replies, const std::function<void(SMTP&)>& setup, bool tls = false) {
    SocketPair pair;
    Peer peer({{tls ? 'T' : 'P', "0"}, {'S', replies}}, pair.peer());
    Outcome r;
    {
        SMTP s("client.test", "a@example.test", "unused.invalid", 25);
        adopt(s, pair.release_client());
        if (tls)
            s.setSSLOpts(SMTP::SMTPS, SSLSocket::VERIFY_NONE, "", "");
        setup(s);
        try {
            s.sendMessage();
        } catch (const Exception& e) {
            r.outcome = e.name + " " + e.method + " " + std::to_string(e.index) + " " + e.msg;
        }
        r.queue = s.msgs;
    }
    peer.join();
    EXPECT_TRUE(r.outcome != "ok" || peer.error.empty()) << peer.error;
    r.sent = peer.received;
    return r;
}

}  // namespace

TEST(SmtpRefusals, NothingIsSentForALineBreakInACommandOrADotLineInAText) {
    // In the second of two queued messages (texts that pass: tests/scenarios/dialogue).
    const std::string dot = "2 Message 2 holds a line of a single dot.", r = std::string(250, 'r');
    const struct {
        std::string domain, from, rcpt, text, refused;
    } rows[] = {
        {"x.test\r\nRSET", "a@x.test", "c@x.test", "hi",
         "1 The domain holds CR, LF or NUL: \"x.test\\r\\nRSET\""},
        {"x.test", "a@x.test>\r\nRCPT TO: <v@evil.test", "c@x.test", "hi",
         "1 The sender holds CR, LF or NUL: \"a@x.test>\\r\\nRCPT TO: <v@evil.test\""},
        {"x.test", "a@x.test", std::string("c\0\"\\\x7f\x1b", 6), "hi",
         "1 A recipient holds CR, LF or NUL: \"c\\0\\\"\\\\\\x7f\\x1b\""},
        {"x.test", "a@x.test", r + "\n", "hi",
         "1 A recipient holds CR, LF or NUL: \"" + r.substr(0, 200) + "\"..."},
        {"x.test", "a@x.test", "c@x.test", ".", dot},
        {"x.test", "a@x.test", "c@x.test", "hi\r\n.\r\nRSET", dot},
        {"x.test", "a@x.test", "c@x.test", "hi\r\n.", dot},
    };
    for (const auto& row : rows) {
        const Outcome o = run("", [&](SMTP& s) {
            s.domain = row.domain, s.from = row.from;
            s.addMessage("first", {"b@x.test"});
            s.addMessage(row.text, {row.rcpt});
        });
        EXPECT_EQ(o.outcome, "TransferException SMTP::sendMessage() " + row.refused);
        EXPECT_EQ(o.sent, "");
        ASSERT_EQ(o.queue.size(), 2u);
        EXPECT_EQ(o.queue[1].msg, row.text);
        EXPECT_EQ(o.queue[1].rcpts, std::vector<std::string>{row.rcpt});
    }
}

TEST(SmtpPipelining, TheFirstRefusalEndsTheRunWithNothingMoreWritten) {
    // Two messages, the first to two recipients; the reply in position k
    // (MAIL, RCPT, RCPT, DATA, the text) refuses. No text follows a refused
    // MAIL, RCPT or DATA; a refused text has the next group behind it. No QUIT.
    const std::string first =
        "EHLO client.test\r\nMAIL FROM: <a@example.test>\r\n"
        "RCPT TO: <b@example.test>\r\nRCPT TO: <c@example.test>\r\nDATA\r\n";
    const std::string next =
        "one\r\n.\r\nMAIL FROM: <a@example.test>\r\nRCPT TO: <d@example.test>\r\nDATA\r\n";
    const std::string ok[] = {"250 ok", "250 ok", "250 ok", "354 go", "250 queued"};
    for (size_t k = 0; k < 5; ++k) {
        std::string replies = "220 mx\r\n250-mx\r\n250 PIPELINING\r\n";
        for (size_t i = 0; i < 5; ++i)
            replies += (i == k ? "554 no" : ok[i]) + "\r\n";
        const Outcome r = run(replies, [](SMTP& s) {
            s.setPipelining(true);
            s.addMessage("one", {"b@example.test", "c@example.test"});
            s.addMessage("two", {"d@example.test"});
        });
        EXPECT_EQ(r.outcome, "TransferException SMTP::evalResponse() 2 554 no");
        EXPECT_EQ(r.sent, first + (k == 4 ? next : "")) << "refused in position " << k;
    }
}

namespace {

// The log callback that changes g_changed once, after the first piece of a
// text has been sent: truncated to 10 bytes, or grown when g_grow.
std::string g_changed;
bool g_grow = false;
void change_after_first_piece(std::string text, int) {
    if (g_changed.empty() || text.size() < 1000)
        return;
    if (g_grow) {
        std::ofstream(g_changed, std::ios::app) << "appended\r\n.\r\n";
    } else {
        EXPECT_EQ(truncate(g_changed.c_str(), 10), 0);
    }
    g_changed.clear();
}

// Lines of 78 bytes (CR LF included), size bytes in all.
std::string lines(size_t size) {
    std::string text;
    for (size_t i = 0; text.size() < size; ++i)
        text += std::string(76, char('a' + i % 26)) + "\r\n";
    return text.substr(0, size);
}

}  // namespace

TEST(SmtpText, FromAFileAsItIsOrRefusedAndMovedInWithoutACopy) {
    const size_t PIECE = 256 * 1024;
    TempDir dir;
    const std::string big = lines(600 * 1024), path = dir.file("text");
    const std::string dot =
        "TransferException SMTP::sendMessage() 2 Message 1 holds a line of a single dot.";
    struct Row {
        std::string content;  // "-": no file there; "/": a directory
        bool tls;
        int kind;             // 1: shrinks after the first piece, 2: grows, 3: moved in
        size_t sent;          // bytes of the text that go out
        std::string outcome;  // "ok" or "Name method index text"
    } rows[] = {
        {big, false, 0, big.size(), "ok"},
        {big, true, 0, big.size(), "ok"},
        {big, false, 2, big.size(), "ok"},
        {"", false, 0, 0, "ok"},
        {big, false, 1, PIECE,
         "IOException SMTP::send_text() 3 " + path + " changed while it was sent."},
        {"-", false, 0, 0, "IOException SMTP::send_text() 1 " + path + " does not exist."},
        {"/", false, 0, 0, "IOException SMTP::send_text() 2 " + path + " is not readable."},
        {lines(PIECE - 2) + "\r\n.\r\n" + lines(1000), false, 0, 0, dot},
        {"a\r\n.\r\nb", false, 0, 0, dot},
        {".\r\nb", false, 0, 0, dot},
        {"a\r\n.", true, 0, 0, dot},
        // No room for the marker and too long to copy: the text, then the marker.
        {lines(100 * 1024), false, 3, 100 * 1024, "ok"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.content.substr(0, 10) + " " + std::to_string(row.kind));
        if (row.content == "/") {
            ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
        } else if (row.content != "-") {
            std::ofstream(path, std::ios::binary | std::ios::trunc) << row.content;
        }
        g_changed = row.kind == 1 || row.kind == 2 ? path : "", g_grow = row.kind == 2;
        const Outcome r = run(
            "220 mx\r\n250 hello\r\n250 ok\r\n250 ok\r\n354 go\r\n250 queued\r\n221 bye\r\n",
            [&](SMTP& s) {
                s.setVerbosity(Logger::VERBOSE);
                s.setCallBackFunction(change_after_first_piece);
                std::string moved = row.content;
                moved.shrink_to_fit();
                const char* const bytes = moved.data();
                if (row.kind == 3) {
                    s.addMessage(std::move(moved), {"b@example.test"});
                    EXPECT_EQ(static_cast<const void*>(s.msgs[0].msg.data()), bytes);
                } else {
                    s.addMessageFile(path, {"b@example.test"});
                }
            },
            row.tls);
        const bool ok = row.outcome == "ok";
        EXPECT_TRUE(r.sent ==
                    "HELO client.test\r\nMAIL FROM: <a@example.test>\r\n"
                    "RCPT TO: <b@example.test>\r\nDATA\r\n" +
                        row.content.substr(0, row.sent) + (ok ? "\r\n.\r\nQUIT\r\n" : ""))
            << r.sent.size();
        EXPECT_EQ(r.outcome, row.outcome);
        (void)!system(("rm -rf '" + path + "'").c_str());
    }
}
