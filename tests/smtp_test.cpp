// The SMTP class where a dialogue scenario (tests/scenarios/) cannot reach:
// judging single reply lines, and the joined text of a reply.
#include <gtest/gtest.h>

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
