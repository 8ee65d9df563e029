// Splitting, case mapping, space collapsing, wrapping and integer formatting.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "string.h"

using Strings = std::vector<std::string>;

TEST(StringLines, SplitOnlyAtLineFeeds) {
    const std::vector<std::pair<std::string, Strings>> cases = {
        {"one\ntwo", {"one", "two"}},
        {"one\ntwo\n", {"one", "two"}},
        {"\n", {""}},
        {"one\n\ntwo", {"one", "", "two"}},
        {"x", {"x"}},
        {"", {}},
        {"\none", {"", "one"}},
        {"a\n\n", {"a", ""}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(String::string2lines(c.first), c.second) << testing::PrintToString(c.first);
    }
}

TEST(StringTokens, SplitAtEveryDelimiter) {
    struct Case {
        std::string in;
        char delim;
        Strings out;
    };
    const std::vector<Case> cases = {
        {"AUTH PLAIN LOGIN", ' ', {"AUTH", "PLAIN", "LOGIN"}},
        {"PLAIN  LOGIN", ' ', {"PLAIN", "", "LOGIN"}},
        {"", ' ', {}},
        {" ", ' ', {""}},
        {"a\tb", ' ', {"a\tb"}},
        {"/C=DE/O=Example/CN=mail.example.test",
         '/',
         {"", "C=DE", "O=Example", "CN=mail.example.test"}},
        {"a b", ',', {"a b"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(String::string2tokens(c.in, c.delim), c.out) << testing::PrintToString(c.in);
        if (c.delim == ' ') {
            EXPECT_EQ(String::string2tokens(c.in), c.out) << testing::PrintToString(c.in);
        }
    }
}

TEST(StringTrim, CollapsesRunsOfSpacesAndDropsOneAtEachEnd) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"  one  two  ", "one two"}, {" ", ""},           {"", ""},
        {"one two", "one two"},      {"one\t ", "one\t"}, {" \t one", "\t one"},
        {"a \n  b", "a \n b"},       {"\r\n", "\r\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(String::trim(c.first), c.second) << testing::PrintToString(c.first);
    }
}

TEST(StringWrap, BreaksAtTheLastSpaceWhenTheCountReachesWidth) {
    struct Case {
        std::string in;
        u32 width;
        std::string out;
    };
    // Three words at width 4 and 5, the count restarting after a break and
    // a line feed counted as a character are pinned by the fuzz corpus
    // (tests/fuzz/corpus/string/wrap-*).
    const std::vector<Case> cases = {
        {"abcd e f", 3, "abcd\ne f"}, {"a\nbc de", 4, "a\nbc\nde"}, {"  ", 2, " \n"}};
    for (const auto& c : cases) {
        EXPECT_EQ(String::wrap(c.in, c.width), c.out)
            << testing::PrintToString(c.in) << " width " << c.width;
    }
    const std::string no_space = "abcdefghij\nklmnop";
    for (u32 width = 0; width <= no_space.size() + 1; ++width) {
        EXPECT_EQ(String::wrap(no_space, width), no_space) << "width " << width;
    }
}

TEST(StringCase, MapsOnlyAsciiLetters) {
    EXPECT_EQ(String::to_upper("cram-md5"), "CRAM-MD5");
    EXPECT_EQ(String::to_lower("CRAM-SHA1"), "cram-sha1");
    EXPECT_EQ(String::to_upper(std::string("a\0b", 3)), std::string("A\0B", 3));
}

TEST(StringItoa, WritesDecimalLikePercentD) {
    EXPECT_EQ(String::itoa(0), "0");
}
