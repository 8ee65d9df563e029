// Message texts with placeholders, the load-time object and the exception
// family's fields.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "exception.h"
#include "i18n.h"
#include "init.h"

TEST(I18NFill, LibraryTextsTakeTheirOneParameter) {
    EXPECT_EQ(I18N::i18n("travine", "Unknown message - $0", "421 4.3.2 closing\r"),
              "Unknown message - 421 4.3.2 closing\r");
    EXPECT_EQ(I18N::i18n("travine", "$0 does not exist.", "/etc/ssl/ca.pem"),
              "/etc/ssl/ca.pem does not exist.");
    EXPECT_EQ(I18N::i18n("travine", "$0 authentication method is not supported by server.",
                         "CRAM-MD5"),
              "CRAM-MD5 authentication method is not supported by server.");
    EXPECT_EQ(I18N::i18n("travine", "SSLInfo:\tSSL connection using $0 ",
                         "TLS_AES_256_GCM_SHA384"),
              "SSLInfo:\tSSL connection using TLS_AES_256_GCM_SHA384 ");
}

TEST(I18NFill, TextWithoutPlaceholderIsUnchangedWhateverIsPassed) {
    const std::string text = "Socket timeout.";
    EXPECT_EQ(I18N::i18n("travine", text), text);
    EXPECT_EQ(I18N::i18n("travine", text, "a"), text);
    EXPECT_EQ(I18N::i18n("travine", text, "a", "b", "c", "d", "e"), text);
    EXPECT_EQ(I18N::i18n("other-domain", text), text);
}

TEST(I18NFill, EachOverloadFillsItsParametersInOrder) {
    const std::string msg = "$4|$3|$2|$1|$0";
    EXPECT_EQ(I18N::i18n("travine", msg), msg);
    EXPECT_EQ(I18N::i18n("travine", msg, "a"), "$4|$3|$2|$1|a");
    EXPECT_EQ(I18N::i18n("travine", msg, "a", "b"), "$4|$3|$2|b|a");
    EXPECT_EQ(I18N::i18n("travine", msg, "a", "b", "c"), "$4|$3|c|b|a");
    EXPECT_EQ(I18N::i18n("travine", msg, "a", "b", "c", "d"), "$4|d|c|b|a");
    EXPECT_EQ(I18N::i18n("travine", msg, "a", "b", "c", "d", "e"), "e|d|c|b|a");
}

TEST(I18NFill, UnusualPlaceholders) {
    struct Case {
        std::string msgid;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"$0$0", "XX"},               // repeated
        {"cost: $", "cost: $"},       // "$" at the end
        {"$$0", "$X"},                // "$" before a placeholder
        {"$a and $ 0", "$a and $ 0"}, // "$" not followed by a digit
        {"$1 and $9", "$1 and $9"},   // digit not below the count
        {"$01", "X1"},                // one digit only
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(I18N::i18n("travine", c.msgid, "X"), c.expected) << c.msgid;
    }
}

TEST(I18NFill, ParameterTextIsNotScannedAgain) {
    EXPECT_EQ(I18N::i18n("travine", "<$0><$1>", "$1", "$0"), "<$1><$0>");
}

TEST(I18NFill, ArrayFormReadsNoMoreThanCount) {
    const std::string params[] = {"first", "second"};
    EXPECT_EQ(I18N::i18n("travine", "$0 $1", params, 1), "first $1");
    EXPECT_EQ(I18N::i18n("travine", "$0 $1", params, 2), "first second");
    // With a count of 0, params is not read at all.
    EXPECT_EQ(I18N::i18n("travine", "$0 $1", nullptr, 0), "$0 $1");
}

TEST(I18NInit, HasNoEffect) {
    I18N::init("travine", ".");
    init again;
    EXPECT_EQ(I18N::i18n("travine", "Socket is closed."), "Socket is closed.");
}

TEST(ExceptionFamily, EachSubclassNamesItself) {
    EXPECT_EQ(DecodeException("t", "m", 1).name, "DecodeException");
    EXPECT_EQ(TransferException("t", "m", 1).name, "TransferException");
    EXPECT_EQ(AuthenticationFailedException("t", "m", 1).name,
              "AuthenticationFailedException");
    EXPECT_EQ(SSLException("t", "m", 1).name, "SSLException");
    EXPECT_EQ(IOException("t", "m", 1).name, "IOException");

    const Exception plain("text", "Class::op()", 3);
    EXPECT_EQ(plain.name, "");
    EXPECT_EQ(plain.msg, "text");
    EXPECT_EQ(plain.method, "Class::op()");
    EXPECT_EQ(plain.index, 3u);
}

TEST(ExceptionFamily, SlicingToExceptionByValueKeepsAllFields) {
    auto check = [](const std::function<void()>& f, const std::string& name) {
        try {
            f();
            ADD_FAILURE() << "nothing was thrown";
        } catch (const Exception& caught) {
            const Exception e = caught;  // the slicing copy a by-value catch makes
            EXPECT_EQ(e.name, name);
            EXPECT_EQ(e.msg, "Socket timeout.");
            EXPECT_EQ(e.method, "Socket::readSocket()");
            EXPECT_EQ(e.index, 2u);
        }
    };
    auto site = [](auto tag) {
        return [] {
            throw decltype(tag)(I18N::i18n("travine", "Socket timeout."),
                                "Socket::readSocket()", 2);
        };
    };
    check(site(TransferException("", "", 0)), "TransferException");
    check(site(DecodeException("", "", 0)), "DecodeException");
    check(site(AuthenticationFailedException("", "", 0)), "AuthenticationFailedException");
    check(site(SSLException("", "", 0)), "SSLException");
    check(site(IOException("", "", 0)), "IOException");
}
