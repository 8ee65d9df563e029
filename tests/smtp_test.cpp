// The SMTP class where a dialogue scenario file (tests/scenarios/) cannot
// reach: judging single reply lines, the joined text of a reply, and, played
// as scenarios built in code, what sendMessage() refuses to send and texts
// streamed from files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "scenarios/scenario_play.h"

TEST(SmtpReplies, JudgedByTheirFirstThreeCharacters) {
    // index 0: accepted; -1: accepted with a notice in the log (more codes:
    // the refusals and replies of tests/scenarios/).
    const struct {
        std::string line;
        bool is_221_fatal;
        int index;
    } rows[] = {{"221 bye", false, 0},  {"221", true, 1},         {"250123", true, 0},
                {"354-go on", true, 0}, {"535 no", false, 2},     {"421-later", true, 2},
                {"530 first", true, 2}, {"503 order", true, 2},   {"", true, 3},
                {"25", true, 3},        {" 250 ok", true, 3},     {"252 maybe", true, 3},
                {"555 no", true, 3},    {"211 status", true, -1}, {"214", false, -1}};
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
    // In the second of two queued messages, one value refused at a time:
    // 'd' the domain, 'f' the sender, 'r' the recipient, 't' the text
    // (texts that pass: tests/scenarios/dialogue).
    const std::string dot = "2 Message 2 holds a line of a single dot.", r = std::string(250, 'r');
    const struct {
        char what;
        std::string value, refused;
    } rows[] = {
        {'d', "x.test\r\nRSET", "1 The domain holds CR, LF or NUL: \"x.test\\r\\nRSET\""},
        {'f', "a@x.test>\r\nRCPT TO: <v@evil.test",
         "1 The sender holds CR, LF or NUL: \"a@x.test>\\r\\nRCPT TO: <v@evil.test\""},
        {'r', std::string("c\0\"\\\x7f\x1b", 6),
         "1 A recipient holds CR, LF or NUL: \"c\\0\\\"\\\\\\x7f\\x1b\""},
        {'r', r + "\n", "1 A recipient holds CR, LF or NUL: \"" + r.substr(0, 200) + "\"..."},
        {'t', ".", dot},
        {'t', "hi\r\n.\r\nRSET", dot},
        {'t', "hi\r\n.", dot},
    };
    for (const auto& row : rows) {
        Scenario sc;
        const std::string text = row.what == 't' ? row.value : "hi";
        sc.mail = {{"first", {"b@x.test"}}, {text, {row.what == 'r' ? row.value : "c@x.test"}}};
        sc.setup = [&](SMTP& s) {
            s.domain = row.what == 'd' ? row.value : s.domain;
            s.from = row.what == 'f' ? row.value : s.from;
        };
        std::unique_ptr<Peer> peer;
        EXPECT_EQ(play(sc, 0, peer), "TransferException SMTP::sendMessage() " + row.refused);
        EXPECT_EQ(peer->received, "");
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
    const std::string replies =
        "220 mx\r\n250 hello\r\n250 ok\r\n250 ok\r\n354 go\r\n250 queued\r\n221 bye\r\n";
    struct Row {
        std::string content;  // "-": no file there; "/": a directory
        char how;             // 'T': over TLS; 's': shrinks after the first piece,
                              // 'g': grows; 'm': moved in, not from a file
        std::string outcome;  // "ok" or "Name method index text"
    } rows[] = {
        {big, ' ', "ok"},
        {big, 'T', "ok"},
        {big, 'g', "ok"},
        {"", ' ', "ok"},
        {big, 's', "IOException SMTP::send_text() 3 " + path + " changed while it was sent."},
        {"-", ' ', "IOException SMTP::send_text() 1 " + path + " does not exist."},
        {"/", ' ', "IOException SMTP::send_text() 2 " + path + " is not readable."},
        {lines(PIECE - 2) + "\r\n.\r\n" + lines(1000), ' ', dot},
        {"a\r\n.\r\nb", ' ', dot},
        {".\r\nb", ' ', dot},
        {"a\r\n.", 'T', dot},
        // No room for the marker and too long to copy: the text, then the marker.
        {lines(100 * 1024), 'm', "ok"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.content.substr(0, 10) + " " + row.how);
        if (row.content == "/") {
            ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
        } else if (row.content != "-") {
            std::ofstream(path, std::ios::binary | std::ios::trunc) << row.content;
        }
        g_changed = row.how == 's' || row.how == 'g' ? path : "", g_grow = row.how == 'g';
        Scenario sc;
        sc.steps = {{row.how == 'T' ? 'T' : 'P', "0"}, {'S', replies}};  // 'P': no pause
        sc.tls = {{row.how == 'T' ? "SMTPS" : "NO_SSL", "VERIFY_NONE", "", ""}};
        sc.setup = [&](SMTP& s) {
            s.setVerbosity(Logger::VERBOSE);
            s.setCallBackFunction(change_after_first_piece);
            std::string moved = row.content;
            moved.shrink_to_fit();
            const char* const bytes = moved.data();
            if (row.how == 'm') {
                s.addMessage(std::move(moved), {"b@example.test"});
                EXPECT_EQ(static_cast<const void*>(s.msgs[0].msg.data()), bytes);
            } else {
                s.addMessageFile(path, {"b@example.test"});
            }
        };
        std::unique_ptr<Peer> peer;
        EXPECT_EQ(play(sc, 0, peer), row.outcome);
        const bool ok = row.outcome == "ok";
        EXPECT_TRUE(peer->received ==
                    "HELO client.test\r\nMAIL FROM: <a@example.test>\r\n"
                    "RCPT TO: <b@example.test>\r\nDATA\r\n" +
                        row.content.substr(0, ok               ? std::string::npos
                                              : row.how == 's' ? PIECE
                                                               : 0) +
                        (ok ? "\r\n.\r\nQUIT\r\n" : ""))
            << peer->received.size();
        (void)!system(("rm -rf '" + path + "'").c_str());
    }
}
