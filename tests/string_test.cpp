// Splitting, case mapping, space collapsing, wrapping and integer formatting.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "string.h"

namespace {

using Strings = std::vector<std::string>;

struct SplitCase {
    std::string in;
    Strings out;
};

struct WrapCase {
    std::string in;
    u32 width;
    std::string out;
};

struct TextCase {
    std::string in;
    std::string out;
};

}  // namespace

TEST(StringLines, SplitOnlyAtLineFeeds) {
    const std::vector<SplitCase> cases = {
        {"one\ntwo", {"one", "two"}},
        {"one\ntwo\n", {"one", "two"}},
        {"\n", {""}},
        {"one\n\ntwo", {"one", "", "two"}},
        {"x", {"x"}},
        {"", {}},
        {"\none", {"", "one"}},
        {"250-AUTH PLAIN\r\n250 OK\r\n", {"250-AUTH PLAIN\r", "250 OK\r"}},
        {"a\n\n", {"a", ""}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(String::string2lines(c.in), c.out) << testing::PrintToString(c.in);
    }
}

TEST(StringTokens, SplitAtEverySpace) {
    const std::vector<SplitCase> cases = {
        {"AUTH PLAIN LOGIN", {"AUTH", "PLAIN", "LOGIN"}},
        {" PLAIN", {"", "PLAIN"}},
        {"PLAIN  LOGIN", {"PLAIN", "", "LOGIN"}},
        {"PLAIN ", {"PLAIN"}},
        {"", {}},
        {" ", {""}},
        {"a\tb", {"a\tb"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(String::string2tokens(c.in), c.out) << testing::PrintToString(c.in);
        EXPECT_EQ(String::string2tokens(c.in, ' '), c.out) << testing::PrintToString(c.in);
    }
}

TEST(StringTokens, SplitAtAnyDelimiter) {
    EXPECT_EQ(String::string2tokens("/C=DE/O=Example/CN=mail.example.test", '/'),
              Strings({"", "C=DE", "O=Example", "CN=mail.example.test"}));
    EXPECT_EQ(String::string2tokens("a,,b,", ','), Strings({"a", "", "b"}));
    EXPECT_EQ(String::string2tokens("a b", ','), Strings({"a b"}));
}

TEST(StringTrim, CollapsesRunsOfSpacesAndDropsOneAtEachEnd) {
    const std::vector<TextCase> cases = {
        {"  one  two  ", "one two"},
        {"   one   two   ", "one two"},
        {"  one   two ", "one two"},
        {" ", ""},
        {"  ", ""},
        {"", ""},
        {"one two", "one two"},
        {"one\t ", "one\t"},
        {" \t one", "\t one"},
        {"a \n  b", "a \n b"},
        {"\r\n", "\r\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(String::trim(c.in), c.out) << testing::PrintToString(c.in);
    }
}

TEST(StringWrap, BreaksAtTheLastSpaceWhenTheCountReachesWidth) {
    const std::vector<WrapCase> cases = {
        {"abc def ghi", 4, "abc\ndef\nghi"},
        {"abc def ghi", 5, "abc\ndef\nghi"},
        // The count restarts at the current position, so the last line
        // holds five characters.
        {"a bcd efg h", 4, "a\nbcd\nefg h"},
        {"ab cdefg", 4, "ab\ncdefg"},
        {"abcd e f", 3, "abcd\ne f"},
        // The line feed is the sixth character counted.
        {"ab cd\nef", 6, "ab\ncd\nef"},
        // A space of an ended line is never touched.
        {"a bc\ndefghij", 6, "a bc\ndefghij"},
        // A line feed restarts the count.
        {"a\nbc de", 4, "a\nbc\nde"},
        {"a b", 1, "a\nb"},
        {"a b c", 0, "a b c"},
        {"", 3, ""},
        {"  ", 2, " \n"},
    };
    for (const auto& c : cases) {
        const std::string out = String::wrap(c.in, c.width);
        EXPECT_EQ(out, c.out) << testing::PrintToString(c.in) << " width " << c.width;
        EXPECT_EQ(out.size(), c.in.size());
    }
}

TEST(StringWrap, TextWithoutSpacesIsUnchangedForEveryWidth) {
    const std::string text = "abcdefghij\nklmnop";
    for (u32 width = 0; width <= text.size() + 1; ++width) {
        EXPECT_EQ(String::wrap(text, width), text) << "width " << width;
    }
}

TEST(StringCase, MapsOnlyAsciiLetters) {
    EXPECT_EQ(String::to_upper("cram-md5"), "CRAM-MD5");
    EXPECT_EQ(String::to_lower("CRAM-SHA1"), "cram-sha1");
    EXPECT_EQ(String::to_upper("aZ09 !@[`{~"), "AZ09 !@[`{~");
    EXPECT_EQ(String::to_lower("Az09 !@[`{~"), "az09 !@[`{~");
    const std::string high = "\xC4\xE4\xFF";
    EXPECT_EQ(String::to_upper(high), high);
    EXPECT_EQ(String::to_lower(high), high);
    const std::string with_nul("a\0b", 3);
    EXPECT_EQ(String::to_upper(with_nul), std::string("A\0B", 3));
}

TEST(StringItoa, WritesDecimalLikePercentD) {
    EXPECT_EQ(String::itoa(0), "0");
    EXPECT_EQ(String::itoa(-42), "-42");
    EXPECT_EQ(String::itoa(587), "587");
    EXPECT_EQ(String::itoa(INT_MAX), "2147483647");
    EXPECT_EQ(String::itoa(INT_MIN), "-2147483648");
}
