// Fuzz target: the String utilities against their reference forms. The
// first byte is the wrap width, the second the token delimiter, the first
// four the integer for itoa; the text is everything after the first two.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "reference.h"
#include "string.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const u32 width = size > 0 ? data[0] : 0;
    const char delim = size > 1 ? static_cast<char>(data[1]) : ' ';
    const std::string text =
        size > 2 ? std::string(reinterpret_cast<const char*>(data) + 2, size - 2) : "";
    const std::string shown = "\"" + printable(text) + "\"";

    FUZZ_CHECK_MSG(String::wrap(text, width) == ref::wrap(text, width),
                   "wrap(" + shown + ", " + std::to_string(width) + ")");
    FUZZ_CHECK_MSG(String::to_lower(text) == ref::lower(text), "to_lower(" + shown + ")");
    std::string upper = text;
    for (char& c : upper) {
        c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
    }
    FUZZ_CHECK_MSG(String::to_upper(text) == upper, "to_upper(" + shown + ")");
    FUZZ_CHECK_MSG(String::string2lines(text) == ref::split(text, '\n'),
                   "string2lines(" + shown + ")");
    FUZZ_CHECK_MSG(String::string2tokens(text) == ref::split(text, ' '),
                   "string2tokens(" + shown + ")");
    FUZZ_CHECK_MSG(String::string2tokens(text, delim) == ref::split(text, delim),
                   "string2tokens(" + shown + ", " + std::to_string(delim) + ")");
    FUZZ_CHECK_MSG(String::trim(text) == ref::trim(text), "trim(" + shown + ")");

    int32_t i = 0;
    std::memcpy(&i, data, size < sizeof i ? size : sizeof i);
    char buf[16];
    std::snprintf(buf, sizeof buf, "%d", static_cast<int>(i));
    FUZZ_CHECK_MSG(String::itoa(i) == buf, "itoa(" + std::string(buf) + ")");
    return 0;
}
