// The SMTP class where a dialogue scenario (tests/scenarios/) cannot reach:
// judging single reply lines, the joined text of a reply, and what
// sendMessage() refuses to send.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "smtp.h"
#include "support.h"

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

TEST(SmtpRefusals, NothingIsSentForALineBreakInACommandOrADotLineInAText) {
    // The second of two queued messages; index 0: all sent as given.
    const std::string crlf_rset = "x.test\r\nRSET", long_rcpt = std::string(250, 'r') + "\n";
    const struct {
        std::string domain, from, rcpt, text;
        int index;
        std::string msg;
    } rows[] = {
        {crlf_rset, "a@x.test", "c@x.test", "hi", 1,
         "The domain holds CR, LF or NUL: \"x.test\\r\\nRSET\""},
        {"x.test", "a@x.test>\r\nRCPT TO: <v@evil.test", "c@x.test", "hi", 1,
         "The sender holds CR, LF or NUL: \"a@x.test>\\r\\nRCPT TO: <v@evil.test\""},
        {"x.test", "a@x.test", std::string("c\0\"\\\x7f\x1b", 6), "hi", 1,
         "A recipient holds CR, LF or NUL: \"c\\0\\\"\\\\\\x7f\\x1b\""},
        {"x.test", "a@x.test", long_rcpt, "hi", 1,
         "A recipient holds CR, LF or NUL: \"" + long_rcpt.substr(0, 200) + "\"..."},
        {"x.test", "a@x.test", "c@x.test", ".", 2, "Message 2 holds a line of a single dot."},
        {"x.test", "a@x.test", "c@x.test", ".\r\nRSET", 2,
         "Message 2 holds a line of a single dot."},
        {"x.test", "a@x.test", "c@x.test", "hi\r\n.\r\nRSET", 2,
         "Message 2 holds a line of a single dot."},
        {"x.test", "a@x.test", "c@x.test", "hi\r\n.", 2, "Message 2 holds a line of a single dot."},
        {"x.test", "a@x.test", "c@x.test", ".\nhi\n.\n\r\n.\rx\r\n..\r\n.x\r\n\n.", 0, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.msg);
        SocketPair pair;
        pair.send(
            "220 hi\r\n250 hi\r\n250 ok\r\n250 ok\r\n354 go\r\n250 ok\r\n"
            "250 ok\r\n250 ok\r\n354 go\r\n250 ok\r\n221 bye\r\n");
        SMTP s(row.domain, row.from, "unused.invalid", 25);
        adopt(s, pair.release_client());
        s.addMessage("first", {"b@x.test"});
        s.addMessage(row.text, {row.rcpt});
        if (row.index == 0) {
            s.sendMessage();
        } else {
            auto e = thrown<TransferException>([&] { s.sendMessage(); });
            EXPECT_EQ(e.msg + "|" + e.method + "|" + std::to_string(e.index),
                      row.msg + "|SMTP::sendMessage()|" + std::to_string(row.index));
            ASSERT_EQ(s.msgs.size(), 2u);
            EXPECT_EQ(s.msgs[1].msg, row.text);
            EXPECT_EQ(s.msgs[1].rcpts, std::vector<std::string>{row.rcpt});
        }
        char buf[4096];
        const ssize_t n = recv(pair.peer(), buf, sizeof buf, MSG_DONTWAIT);
        EXPECT_EQ(std::string(buf, size_t(std::max<ssize_t>(n, 0))),
                  row.index != 0 ? ""
                                 : "HELO x.test\r\nMAIL FROM: <a@x.test>\r\nRCPT TO: <b@x.test>\r\n"
                                   "DATA\r\nfirst\r\n.\r\nMAIL FROM: <a@x.test>\r\nRCPT TO: "
                                   "<c@x.test>\r\nDATA\r\n" +
                                       row.text + "\r\n.\r\nQUIT\r\n");
    }
}
