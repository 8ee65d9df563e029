// Message texts with placeholders, the load-time object and the exception
// family's fields.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "exception.h"
#include "i18n.h"
#include "init.h"

TEST(I18NFill, EachOverloadFillsItsParametersInOrder) {
    const std::string msg = "$4|$3|$2|$1|$0";
    EXPECT_EQ(I18N::i18n("other-domain", msg), msg);  // the text domain selects nothing
    EXPECT_EQ(I18N::i18n("travine", msg, "a"), "$4|$3|$2|$1|a");
    EXPECT_EQ(I18N::i18n("travine", msg, "a", "b"), "$4|$3|$2|b|a");
    EXPECT_EQ(I18N::i18n("travine", msg, "a", "b", "c"), "$4|$3|c|b|a");
    EXPECT_EQ(I18N::i18n("travine", msg, "a", "b", "c", "d"), "$4|d|c|b|a");
    EXPECT_EQ(I18N::i18n("travine", msg, "a", "b", "c", "d", "e"), "e|d|c|b|a");
    EXPECT_EQ(I18N::i18n("travine", "Socket timeout.", "a", "b", "c", "d", "e"), "Socket timeout.");
}

TEST(I18NFill, UnusualPlaceholders) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"$0$0", "XX"},              // repeated
        {"$$0", "$X"},               // "$" before a placeholder
        {"$1 and $9", "$1 and $9"},  // digit not below the count
        {"$01", "X1"},               // one digit only
        {"Socket timeout.", "Socket timeout."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(I18N::i18n("travine", c.first, "X"), c.second) << c.first;
    }
    // A parameter's text is not scanned again.
    EXPECT_EQ(I18N::i18n("travine", "<$0><$1>", "$1", "$0"), "<$1><$0>");
}

TEST(I18NFill, ArrayFormReadsNoMoreThanCount) {
    const std::string params[] = {"first", "second"};
    EXPECT_EQ(I18N::i18n("travine", "$0 $1", params, 1), "first $1");
    EXPECT_EQ(I18N::i18n("travine", "$0 $1", params, 2), "first second");
    EXPECT_EQ(I18N::i18n("travine", "$0 $1", nullptr, 0), "$0 $1");
}

TEST(I18NInit, HasNoEffect) {
    I18N::init("travine", ".");
    init again;
    EXPECT_EQ(I18N::i18n("travine", "Socket is closed."), "Socket is closed.");
}

namespace {

template <class E>
void expect_sliced_copy_keeps_fields(const char* name) {
    try {
        throw E(I18N::i18n("travine", "Socket timeout."), "Socket::readSocket()", 2);
    } catch (const Exception& caught) {
        const Exception e = caught;  // the slicing copy a by-value catch makes
        EXPECT_EQ(e.name, name);
        EXPECT_EQ(e.msg, "Socket timeout.");
        EXPECT_EQ(e.method, "Socket::readSocket()");
        EXPECT_EQ(e.index, 2u);
    }
}

}  // namespace

TEST(ExceptionFamily, EachSubclassNamesItselfAndSlicingKeepsAllFields) {
    expect_sliced_copy_keeps_fields<TransferException>("TransferException");
    expect_sliced_copy_keeps_fields<DecodeException>("DecodeException");
    expect_sliced_copy_keeps_fields<AuthenticationFailedException>("AuthenticationFailedException");
    expect_sliced_copy_keeps_fields<SSLException>("SSLException");
    expect_sliced_copy_keeps_fields<IOException>("IOException");
    EXPECT_EQ(Exception("text", "Class::op()", 3).name, "");
}
