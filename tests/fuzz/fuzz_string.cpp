// Fuzz target: the String utilities. The first byte is the wrap width, the
// second the token delimiter, the first four the integer for itoa; the text
// is everything after the first two bytes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "reference.h"
#include "string.h"

namespace {

// The pieces joined by delim give the text back, with the one delimiter
// that a trailing delimiter leaves out.
void check_split(const std::string& text, char delim, const std::vector<std::string>& pieces,
                 const char* what) {
    std::string joined;
    for (size_t k = 0; k < pieces.size(); ++k) {
        FUZZ_CHECK_MSG(pieces[k].find(delim) == std::string::npos,
                       std::string(what) + ": piece holds the delimiter");
        if (k > 0) {
            joined += delim;
        }
        joined += pieces[k];
    }
    if (!text.empty() && text.back() == delim) {
        joined += delim;
    }
    FUZZ_CHECK_MSG(joined == text, std::string(what) + ": \"" + printable(joined) + "\" from \"" +
                                       printable(text) + "\"");
    FUZZ_CHECK_MSG(pieces == ref::split(text, delim), what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const u32 width = size > 0 ? data[0] : 0;
    const char delim = size > 1 ? static_cast<char>(data[1]) : ' ';
    const std::string text =
        size > 2 ? std::string(reinterpret_cast<const char*>(data) + 2, size - 2) : "";

    // wrap: same length, only spaces become line feeds.
    const std::string wrapped = String::wrap(text, width);
    FUZZ_CHECK(wrapped.size() == text.size());
    for (size_t k = 0; k < text.size(); ++k) {
        FUZZ_CHECK_MSG(wrapped[k] == text[k] || (text[k] == ' ' && wrapped[k] == '\n'),
                       "wrap changed byte " + std::to_string(k));
    }
    FUZZ_CHECK_MSG(wrapped == ref::wrap(text, width), "wrap(\"" + printable(text) + "\", " +
                                                          std::to_string(width) + ") gave \"" +
                                                          printable(wrapped) + "\"");
    if (width == 0) {
        FUZZ_CHECK(wrapped == text);
    }

    // Case mapping: same length, ASCII letters only.
    const std::string lower = String::to_lower(text);
    const std::string upper = String::to_upper(text);
    FUZZ_CHECK(lower.size() == text.size() && upper.size() == text.size());
    for (size_t k = 0; k < text.size(); ++k) {
        const char c = text[k];
        const bool is_upper = c >= 'A' && c <= 'Z';
        const bool is_lower = c >= 'a' && c <= 'z';
        FUZZ_CHECK_MSG(lower[k] == (is_upper ? static_cast<char>(c + 32) : c),
                       "to_lower changed byte " + std::to_string(k));
        FUZZ_CHECK_MSG(upper[k] == (is_lower ? static_cast<char>(c - 32) : c),
                       "to_upper changed byte " + std::to_string(k));
    }

    // Splitting.
    check_split(text, '\n', String::string2lines(text), "string2lines");
    check_split(text, ' ', String::string2tokens(text), "string2tokens");
    check_split(text, delim, String::string2tokens(text, delim), "string2tokens(delim)");

    // trim: no double, leading or trailing space; nothing but spaces removed.
    const std::string trimmed = String::trim(text);
    FUZZ_CHECK(trimmed.find("  ") == std::string::npos);
    FUZZ_CHECK(trimmed.empty() || (trimmed.front() != ' ' && trimmed.back() != ' '));
    FUZZ_CHECK_MSG(trimmed == ref::trim(text),
                   "trim(\"" + printable(text) + "\") gave \"" + printable(trimmed) + "\"");

    // itoa: as "%d" writes it.
    int32_t i = 0;
    std::memcpy(&i, data, size < sizeof i ? size : sizeof i);
    char buf[16];
    std::snprintf(buf, sizeof buf, "%d", static_cast<int>(i));
    FUZZ_CHECK_MSG(String::itoa(i) == buf, "itoa(" + std::string(buf) + ")");
    return 0;
}
