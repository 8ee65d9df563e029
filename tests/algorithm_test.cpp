// Base64, its "<NIL>" variant and the HMAC digests, against published vectors.
// How strict decoding is (length, alphabet, where "=" may stand) is checked
// by fuzz/fuzz_base64.cpp against a decoder of its own, over its corpus.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "algorithm.h"

namespace {
const auto B64 = Algorithm::BASE64, NIL = Algorithm::BASE64_NIL;
}  // namespace

TEST(Base64, EncodesAndDecodesBothWays) {
    // Pairs of plain and encoded text: RFC 4648 section 10, bytes of 0x80 and
    // above; with the nil codec "<NIL>" stands for a zero byte (a replaced
    // marker makes no new one).
    const std::vector<std::string> b64 = {
        "f", "Zg==", "fo", "Zm8=", "foobar", "Zm9vYmFy", "\xfb\xff\xbf", "+/+/"};
    const std::vector<std::string> nil = {"<NIL>user<NIL>pass", "AHVzZXIAcGFzcw==", "<<NIL>NIL>>",
                                          "PABOSUw+Pg=="};
    for (auto codec : {B64, NIL}) {
        const auto& cases = codec == B64 ? b64 : nil;
        for (size_t k = 0; k < cases.size(); k += 2) {
            EXPECT_EQ(Algorithm::encode(cases[k], codec), cases[k + 1]) << cases[k];
            EXPECT_EQ(Algorithm::decode(cases[k + 1], codec), cases[k]) << cases[k + 1];
        }
    }
    const auto other = static_cast<Algorithm::CODEC>(7);
    EXPECT_EQ(Algorithm::encode("foo", other) + Algorithm::decode("!", other), "");
}

TEST(Hmac, ReferenceVectorsAsLowerCaseHex) {
    struct Case {
        std::string key, text, md5, sha1;  // an empty digest is not checked
    };
    // RFC 2202 cases 2 and 6 (a key longer than a block), RFC 2195's example,
    // empty inputs, inputs holding a NUL.
    const Case cases[] = {
        {"Jefe", "what do ya want for nothing?", "750c783e6ab0b503eaa86e310a5db738",
         "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
        {std::string(80, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
         "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd", "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
        {"tanstaaftanstaaf", "<1896.697170952@postoffice.reston.mci.net>",
         "b913a602c7eda7a495b4e6e7334d3890", ""},
        {"", "", "74e6f7298a9c2d168935f58c001bad88", "fbdb1d1b18aa6c08324b7d64b71fb76370690e1d"},
        {std::string("k\0y", 3), std::string("m\0sg", 4), "7ca1607619a90d451643ce9320b4fc05",
         "15f7a9d0ee513418c2ec3d4163ddaf6550b5f38a"}};
    for (const Case& c : cases) {
        EXPECT_EQ(Algorithm::hmac_md5_str(c.text, c.key), c.md5);
        EXPECT_EQ(c.sha1.empty() ? "" : Algorithm::hmac_sha1_str(c.text, c.key), c.sha1);
    }
}
