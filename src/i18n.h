// Message texts: English texts with "$0".."$9" placeholders filled in.
#ifndef TRAVINE_I18N_H
#define TRAVINE_I18N_H

#include <string>

#include "travine_export.h"
#include "types.h"

class TRAVINE_EXPORT I18N {
public:
    // Keeps nothing and has no effect; called once at load time.
    static void init(const std::string& textdomain, const std::string& locale_dir);

    // Returns msgid with each "$k" (k a decimal digit below the number of
    // parameters) replaced by parameter k. A "$" not followed by a digit, and
    // a placeholder whose digit is not below the count, stay as written.
    // Parameter texts are not scanned again. textdomain selects nothing: no
    // catalogue is consulted.
    static std::string i18n(const std::string& textdomain, const std::string& msgid);
    static std::string i18n(const std::string& textdomain, const std::string& msgid,
                            const std::string& param);
    static std::string i18n(const std::string& textdomain, const std::string& msgid,
                            const std::string& param1, const std::string& param2);
    static std::string i18n(const std::string& textdomain, const std::string& msgid,
                            const std::string& param1, const std::string& param2,
                            const std::string& param3);
    static std::string i18n(const std::string& textdomain, const std::string& msgid,
                            const std::string& param1, const std::string& param2,
                            const std::string& param3, const std::string& param4);
    static std::string i18n(const std::string& textdomain, const std::string& msgid,
                            const std::string& param1, const std::string& param2,
                            const std::string& param3, const std::string& param4,
                            const std::string& param5);
    // Array form: reads at most count entries of params, none when count is 0.
    static std::string i18n(const std::string& textdomain, const std::string& msgid,
                            const std::string* params, u32 count);
};

#endif
