// Fuzz target: the base64 codecs. Every input must survive both round trips,
// and decode, as it is and mapped onto the alphabet and "=" (so that most
// texts are nearly valid and reach the padding rules), exactly as a decoder
// written independently from the codec's rules does; only DecodeException
// with the codec's index may escape.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "algorithm.h"
#include "exception.h"

namespace {

const std::string ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

void check(bool ok, const char* what, const std::string& input) {
    if (!ok) {
        std::fprintf(stderr, "%s for an input of %zu bytes\n", what, input.size());
        std::abort();
    }
}

// Length a multiple of 4, the alphabet only, "=" only in the last two
// places; an "=" second to last makes its group one byte, whatever follows.
// With nil, a zero byte comes out as "<NIL>". False on invalid text.
bool reference_decode(const std::string& text, bool nil, std::string* out) {
    if (text.size() % 4 != 0)
        return false;
    for (size_t group = 0; group < text.size(); group += 4) {
        unsigned long bits = 0;
        size_t bytes = 3;
        for (size_t at = group; at < group + 4; ++at) {
            const size_t value = ALPHABET.find(text[at]);
            bits = bits << 6 | (value == std::string::npos ? 0 : value);
            if (value == std::string::npos && (text[at] != '=' || at + 2 < text.size()))
                return false;
            if (value == std::string::npos)
                bytes = std::min(bytes, at + 2 == text.size() ? size_t(1) : size_t(2));
        }
        for (size_t k = 0; k < bytes; ++k) {
            const char byte = static_cast<char>(bits >> (16 - 8 * k));
            *out += nil && byte == '\0' ? std::string("<NIL>") : std::string(1, byte);
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string x(reinterpret_cast<const char*>(data), size);
    const auto B64 = Algorithm::BASE64, NIL = Algorithm::BASE64_NIL;
    const std::string enc = Algorithm::encode(x, B64);
    check(enc.size() == (size + 2) / 3 * 4 && Algorithm::decode(enc, B64) == x, "round trip", x);
    check(
        x.find('\0') != std::string::npos || Algorithm::decode(Algorithm::encode(x, NIL), NIL) == x,
        "nil round trip", x);
    std::string mapped = x;
    for (char& c : mapped)
        c = (ALPHABET + "=")[static_cast<unsigned char>(c) % 65];
    for (const std::string& text : {x, mapped}) {
        for (bool nil : {false, true}) {
            std::string expected;
            const bool valid = reference_decode(text, nil, &expected);
            try {
                const std::string decoded = Algorithm::decode(text, nil ? NIL : B64);
                check(valid && decoded == expected, "decode", text);
            } catch (const DecodeException& e) {
                check(!valid && e.index == (nil ? 2u : 1u), "decode threw", text);
            }
        }
    }
    return 0;
}
