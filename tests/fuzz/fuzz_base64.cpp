// Fuzz target: the base64 codecs. Every input is encoded and decoded back
// with both codecs, and decoded as base64 text with both codecs and both
// layers (Algorithm::decode and the workers), against a reference decoder.
#include <cstddef>
#include <cstdint>
#include <string>

#include "algorithm.h"
#include "exception.h"
#include "fuzz_support.h"
#include "reference.h"

namespace {

// Decodes text with codec and checks the worker's code, what it appends
// after existing output, and decode()'s result or exception.
void check_decoding(const std::string& text, Algorithm::CODEC codec) {
    const bool nil = codec == Algorithm::BASE64_NIL;
    const std::string shown = "\"" + printable(text) + "\"";
    std::string expected;
    const int expected_rc = ref::decode(text, &expected, nil);
    std::string out = "kept:";
    const int rc = nil ? Algorithm::dec_base64_nil(text, &out) : Algorithm::dec_base64(text, &out);
    FUZZ_CHECK_MSG(rc == expected_rc && out == "kept:" + expected,
                   "worker returned " + std::to_string(rc) + " and \"" + printable(out) +
                       "\", expected \"kept:" + printable(expected) + "\" for " + shown);
    try {
        const std::string decoded = Algorithm::decode(text, codec);
        FUZZ_CHECK_MSG(expected_rc == 0 && decoded == expected,
                       "decode(" + shown + ") gave \"" + printable(decoded) + "\"");
    } catch (const DecodeException& e) {
        FUZZ_CHECK_MSG(expected_rc == -1 && e.name == "DecodeException" &&
                           e.msg == "Invalid Base64 Data." && e.method == "Algorithm::decode()" &&
                           e.index == (nil ? 2u : 1u),
                       "decode(" + shown + ") threw " + describe(e));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string x(reinterpret_cast<const char*>(data), size);

    // Standard codec: the RFC 4648 form, and back.
    const std::string enc = Algorithm::encode(x, Algorithm::BASE64);
    FUZZ_CHECK_MSG(enc == ref::encode(x), "encode() gave \"" + enc + "\"");
    std::string appended = "kept:";
    Algorithm::enc_base64(x, &appended);
    FUZZ_CHECK(appended == "kept:" + enc);
    FUZZ_CHECK(Algorithm::decode(enc, Algorithm::BASE64) == x);

    // Nil codec: "<NIL>" travels as a zero byte and comes back as "<NIL>",
    // so the round trip holds for every text without a zero byte of its own.
    const std::string enc_nil = Algorithm::encode(x, Algorithm::BASE64_NIL);
    FUZZ_CHECK_MSG(enc_nil == ref::encode(ref::nil_to_zero(x)),
                   "nil encode() gave \"" + enc_nil + "\"");
    appended = "kept:";
    Algorithm::enc_base64_nil(x, &appended);
    FUZZ_CHECK(appended == "kept:" + enc_nil);
    FUZZ_CHECK(x.find('\0') != std::string::npos ||
               Algorithm::decode(enc_nil, Algorithm::BASE64_NIL) == x);

    // The input itself as base64 text, and mapped onto the alphabet and "=",
    // so that most texts are near-valid and the padding rules are reached often.
    const std::string symbols = ref::ALPHABET + "=";
    std::string mapped = x;
    for (char& c : mapped) {
        c = symbols[static_cast<unsigned char>(c) % 65];
    }
    for (const std::string& text : {x, mapped}) {
        check_decoding(text, Algorithm::BASE64);
        check_decoding(text, Algorithm::BASE64_NIL);
    }
    return 0;
}
