// Message texts: English texts whose "$0".."$9" placeholders are filled in.
#include "i18n.h"

void I18N::init(const std::string& /*textdomain*/, const std::string& /*locale_dir*/) {}

std::string I18N::i18n(const std::string& textdomain, const std::string& msgid) {
    return i18n(textdomain, msgid, nullptr, 0);
}

std::string I18N::i18n(const std::string& textdomain, const std::string& msgid,
                       const std::string& param) {
    const std::string params[] = {param};
    return i18n(textdomain, msgid, params, 1);
}

std::string I18N::i18n(const std::string& textdomain, const std::string& msgid,
                       const std::string& param1, const std::string& param2) {
    const std::string params[] = {param1, param2};
    return i18n(textdomain, msgid, params, 2);
}

std::string I18N::i18n(const std::string& textdomain, const std::string& msgid,
                       const std::string& param1, const std::string& param2,
                       const std::string& param3) {
    const std::string params[] = {param1, param2, param3};
    return i18n(textdomain, msgid, params, 3);
}

std::string I18N::i18n(const std::string& textdomain, const std::string& msgid,
                       const std::string& param1, const std::string& param2,
                       const std::string& param3, const std::string& param4) {
    const std::string params[] = {param1, param2, param3, param4};
    return i18n(textdomain, msgid, params, 4);
}

std::string I18N::i18n(const std::string& textdomain, const std::string& msgid,
                       const std::string& param1, const std::string& param2,
                       const std::string& param3, const std::string& param4,
                       const std::string& param5) {
    const std::string params[] = {param1, param2, param3, param4, param5};
    return i18n(textdomain, msgid, params, 5);
}

std::string I18N::i18n(const std::string& /*textdomain*/, const std::string& msgid,
                       const std::string* params, u32 count) {
    std::string out;
    out.reserve(msgid.size());
    for (std::string::size_type idx = 0; idx < msgid.size(); ++idx) {
        const char c = msgid[idx];
        if (c == '$' && idx + 1 < msgid.size() && msgid[idx + 1] >= '0' && msgid[idx + 1] <= '9') {
            const u32 k = static_cast<u32>(msgid[idx + 1] - '0');
            if (k < count) {
                // The parameter goes in as it stands; it is not scanned again.
                out += params[k];
                ++idx;
                continue;
            }
        }
        out += c;
    }
    return out;
}
