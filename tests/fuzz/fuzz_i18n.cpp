// Fuzz target: filling message texts. The input's first line is the message
// text, each further line (at most five) one parameter.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "i18n.h"
#include "reference.h"

namespace {

// The overload with exactly as many parameters as p holds.
std::string fill_by_overload(const std::string& domain, const std::string& msgid,
                             const std::vector<std::string>& p) {
    switch (p.size()) {
        case 0:
            return I18N::i18n(domain, msgid);
        case 1:
            return I18N::i18n(domain, msgid, p[0]);
        case 2:
            return I18N::i18n(domain, msgid, p[0], p[1]);
        case 3:
            return I18N::i18n(domain, msgid, p[0], p[1], p[2]);
        case 4:
            return I18N::i18n(domain, msgid, p[0], p[1], p[2], p[3]);
        default:
            return I18N::i18n(domain, msgid, p[0], p[1], p[2], p[3], p[4]);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Every line, the empty one after a final line feed included.
    std::vector<std::string> lines =
        ref::split(std::string(reinterpret_cast<const char*>(data), size) + "\n", '\n');
    const std::string msgid = lines[0];
    lines.erase(lines.begin());
    lines.resize(lines.size() < 5 ? lines.size() : 5);
    const std::vector<std::string>& params = lines;
    const std::string expected = ref::fill(msgid, params);

    // The array form on an array of exactly count entries (none when the
    // count is 0), so that a read past the count is a heap overflow.
    const u32 count = static_cast<u32>(params.size());
    std::unique_ptr<std::string[]> array(count > 0 ? new std::string[count] : nullptr);
    std::copy(params.begin(), params.end(), array.get());
    const std::string by_array = I18N::i18n("travine", msgid, array.get(), count);
    FUZZ_CHECK_MSG(by_array == expected, "\"" + printable(msgid) + "\" with " +
                                             std::to_string(count) + " parameters gave \"" +
                                             printable(by_array) + "\", expected \"" +
                                             printable(expected) + "\"");
    FUZZ_CHECK(fill_by_overload("travine", msgid, params) == expected);
    // The text domain selects nothing.
    FUZZ_CHECK(fill_by_overload(count > 0 ? params[count - 1] : msgid, msgid, params) == expected);
    // No parameters: every placeholder stays as written.
    FUZZ_CHECK(I18N::i18n("travine", msgid) == msgid);
    FUZZ_CHECK(I18N::i18n("travine", msgid, nullptr, 0) == msgid);
    return 0;
}
