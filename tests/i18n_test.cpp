// Message texts with "$k" placeholders.
#include <gtest/gtest.h>

#include <string>

#include "i18n.h"

TEST(I18N, FillsEachPlaceholderFromItsParameterOnce) {
    const std::string msg = "$4|$3|$2|$1|$0", p[] = {"a", "b", "c", "d", "e"};
    EXPECT_EQ(I18N::i18n("other", msg) + I18N::i18n("travine", msg, p[0]) +
                  I18N::i18n("travine", msg, p[0], p[1]) +
                  I18N::i18n("travine", msg, p[0], p[1], p[2]) +
                  I18N::i18n("travine", msg, p[0], p[1], p[2], p[3]) +
                  I18N::i18n("travine", msg, p[0], p[1], p[2], p[3], p[4]),
              msg + "$4|$3|$2|$1|a$4|$3|$2|b|a$4|$3|c|b|a$4|d|c|b|ae|d|c|b|a");
    // Repeated, after a "$", one digit only; a parameter's text is not scanned again.
    EXPECT_EQ(I18N::i18n("travine", "$0$0 $$0 $01 $ $1 $0", "$1", "$0"), "$1$1 $$1 $11 $ $0 $1");
    EXPECT_EQ(I18N::i18n("travine", "$0 $1", p, 1), "a $1");  // nothing read past count
}
