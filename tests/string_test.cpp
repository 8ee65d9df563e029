// Splitting, space collapsing, wrapping, case mapping and integer formatting.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <tuple>
#include <vector>

#include "string.h"

using Strings = std::vector<std::string>;

TEST(String, SplitsOnlyAtTheDelimiterWithNoEmptyLastPiece) {
    const std::vector<std::tuple<std::string, char, Strings>> cases = {
        {"one\n\r\n\ntwo\n", '\n', {"one", "\r", "", "two"}},
        {"\n", '\n', {""}},
        {"", '\n', {}},
        {" PLAIN  LOGIN\t", ' ', {"", "PLAIN", "", "LOGIN\t"}},
        {"/C=DE/CN=a b", '/', {"", "C=DE", "CN=a b"}}};
    for (const auto& [text, delim, pieces] : cases) {
        EXPECT_EQ(delim == '\n'  ? String::string2lines(text)
                  : delim == ' ' ? String::string2tokens(text)
                                 : String::string2tokens(text, delim),
                  pieces)
            << text;
    }
}

TEST(String, TrimCollapsesSpacesOnly) {
    const Strings cases = {"  one   two  ", "one two", " ", "", " \t one \n  b ", "\t one \n b"};
    for (size_t k = 0; k < cases.size(); k += 2)
        EXPECT_EQ(String::trim(cases[k]), cases[k + 1]) << cases[k];
}

TEST(String, WrapBreaksAtTheLastSpaceWhenTheCountReachesTheWidth) {
    const std::vector<std::tuple<std::string, u32, std::string>> cases = {
        {"abc def ghi", 4, "abc\ndef\nghi"},
        {"a bcd efg h", 4, "a\nbcd\nefg h"},  // the count restarts at the break
        {"ab cd\nef", 6, "ab\ncd\nef"},       // the line feed is counted
        {"a bc\nabcdefg", 6, "a bc\nabcdefg"},
        {"ab\n c d", 5, "ab\n c d"},
        {"abcd e f", 3, "abcd\ne f"},
        {"a b c", 0, "a b c"}};
    for (const auto& [text, width, wrapped] : cases)
        EXPECT_EQ(String::wrap(text, width), wrapped) << text << " at " << width;
}

TEST(String, CaseMappingAndItoa) {
    EXPECT_EQ(String::to_upper(std::string("cram-md5 az\0z", 13)),
              std::string("CRAM-MD5 AZ\0Z", 13));
    EXPECT_EQ(String::to_lower("CRAM-SHA1 AZ@["), "cram-sha1 az@[");
    EXPECT_EQ(String::itoa(0) + " " + String::itoa(-42) + " " + String::itoa(INT_MIN) + " " +
                  String::itoa(INT_MAX),
              "0 -42 -2147483648 2147483647");
}
