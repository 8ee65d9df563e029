// Base64 and its "<NIL>" variant, and the HMAC-MD5 and HMAC-SHA1 digests.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "algorithm.h"
#include "exception.h"
#include "support.h"

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;  // plain, encoded

// From RFC 4648, section 10 (the fuzz corpus holds the rest), and bytes of
// 0x80 and above in every position.
const Pairs base64_cases = {{"", ""},
                            {"foo", "Zm9v"},
                            {"foobar", "Zm9vYmFy"},
                            {"\xff", "/w=="},
                            {"\x80", "gA=="},
                            {std::string("\x00\xff", 2), "AP8="},
                            {"\x01\x80", "AYA="},
                            {"\xfb\xff\xbf", "+/+/"},
                            {"foo\xff", "Zm9v/w=="}};

std::string bytes(int count, char byte) {
    return std::string(static_cast<size_t>(count), byte);
}

}  // namespace

TEST(Base64Codec, EncodesAndDecodesTheReferenceVectors) {
    EXPECT_STREQ(Algorithm::tbl_base64,
                 "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/");
    for (const auto& c : base64_cases) {
        EXPECT_EQ(Algorithm::encode(c.first, Algorithm::BASE64), c.second) << c.second;
        EXPECT_EQ(Algorithm::decode(c.second, Algorithm::BASE64), c.first) << c.second;
    }
}

TEST(Base64Decode, InvalidInputThrowsWithTheCodecsIndex) {
    // A wrong length; "=" second in a group, or fourth in a group that is
    // not the last; bytes outside the alphabet.
    const std::vector<std::string> invalid = {
        "Zg=", "Z=8=", "Zm8=Zm8=", "Zm9-", std::string("Zm9\0", 4), "Zm9\x80"};
    for (const auto& text : invalid) {
        for (const auto codec : {Algorithm::BASE64, Algorithm::BASE64_NIL}) {
            auto e = thrown<DecodeException>([&] { Algorithm::decode(text, codec); });
            EXPECT_EQ(e.msg, "Invalid Base64 Data.") << testing::PrintToString(text);
            EXPECT_EQ(e.method, "Algorithm::decode()");
            EXPECT_EQ(e.index, codec == Algorithm::BASE64 ? 1u : 2u)
                << testing::PrintToString(text);
        }
    }
}

TEST(Base64Decode, WorkersAppendAndKeepGroupsBeforeAFault) {
    std::string out = ">";
    Algorithm::enc_base64("foo", &out);
    EXPECT_EQ(out, ">Zm9v");
    EXPECT_EQ(Algorithm::dec_base64("Zm9vYg==", &out), 0);
    EXPECT_EQ(out, ">Zm9vfoob");

    out = ">";
    EXPECT_EQ(Algorithm::dec_base64("Zm9vYmFyZ!8=", &out), -1);
    EXPECT_EQ(out, ">foobar");
    out = ">";
    EXPECT_EQ(Algorithm::dec_base64_nil("AAAAZ!8=", &out), -1);
    EXPECT_EQ(out, "><NIL><NIL><NIL>");
    // A wrong length is found before anything is decoded.
    out = ">";
    EXPECT_EQ(Algorithm::dec_base64("Zm9vYmFyZ", &out), -1);
    EXPECT_EQ(out, ">");
}

TEST(Base64Decode, PaddingIsJudgedLeniently) {
    // "=" third and a letter fourth give one byte, as "==" does; bits below
    // the last whole byte are ignored.
    const Pairs cases = {{"f", "Zm=Y"},
                         {"f", "Zm=="},
                         {"f", "Zh=="},
                         {"foof", "Zm9vZm=v"},
                         {std::string(1, '\0'), "AA=A"}};
    for (const auto& c : cases) {
        EXPECT_EQ(Algorithm::decode(c.second, Algorithm::BASE64), c.first) << c.second;
    }
    EXPECT_EQ(Algorithm::decode("AA=A", Algorithm::BASE64_NIL), "<NIL>");
}

TEST(NilCodec, MarkerEncodesAsAZeroByte) {
    EXPECT_EQ(Algorithm::encode("<NIL>user@example.test<NIL>secret", Algorithm::BASE64_NIL),
              Algorithm::encode(std::string("\0user@example.test\0secret", 25), Algorithm::BASE64));
    const Pairs cases = {
        {"<NIL>user<NIL>pass", "AHVzZXIAcGFzcw=="},
        {"<NIL><NIL>", "AAA="},
        {"<NIL", "PE5JTA=="},
        {"<nil>", "PG5pbD4="},
        {"<<NIL>NIL>>", "PABOSUw+Pg=="},  // a replacement makes no new marker
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Algorithm::encode(c.first, Algorithm::BASE64_NIL), c.second) << c.first;
    }
    std::string out = "x";
    Algorithm::enc_base64_nil("<NIL>", &out);
    EXPECT_EQ(out, "xAA==");
}

TEST(NilCodec, ZeroBytesDecodeAsMarkers) {
    EXPECT_EQ(Algorithm::decode("AAAA", Algorithm::BASE64_NIL), "<NIL><NIL><NIL>");
    EXPECT_EQ(Algorithm::decode("AAAA", Algorithm::BASE64), std::string(3, '\0'));
    EXPECT_EQ(Algorithm::decode("Zm9vYmFy", Algorithm::BASE64_NIL), "foobar");
}

TEST(CodecDispatch, UnknownCodecGivesAnEmptyResult) {
    const auto other = static_cast<Algorithm::CODEC>(7);
    EXPECT_EQ(Algorithm::encode("foo", other), "");
    EXPECT_EQ(Algorithm::decode("Zm9v", other), "");
    EXPECT_NO_THROW(EXPECT_EQ(Algorithm::decode("!", other), ""));
}

TEST(HmacDigest, ReferenceVectorsAsLowerCaseHex) {
    struct Case {
        std::string key, message, md5, sha1;
    };
    const std::string block = "Test Using Larger Than Block-Size Key";
    // RFC 2202 cases 2, 3 (with the MD5 key length for MD5) and 6; the
    // empty key and message; zero bytes inside key and message.
    const std::vector<Case> cases = {
        {"Jefe", "what do ya want for nothing?", "750c783e6ab0b503eaa86e310a5db738",
         "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
        {bytes(16, '\xaa'), bytes(50, '\xdd'), "56be34521d144c88dbb8c733f0e8b3f6", ""},
        {bytes(20, '\xaa'), bytes(50, '\xdd'), "", "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
        {bytes(80, '\xaa'), block + " - Hash Key First", "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd",
         "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
        {"", "", "74e6f7298a9c2d168935f58c001bad88", "fbdb1d1b18aa6c08324b7d64b71fb76370690e1d"},
        {std::string("k\0y", 3), std::string("m\0sg", 4), "7ca1607619a90d451643ce9320b4fc05",
         "15f7a9d0ee513418c2ec3d4163ddaf6550b5f38a"},
    };
    for (const auto& c : cases) {
        if (!c.md5.empty()) {
            EXPECT_EQ(Algorithm::hmac_md5_str(c.message, c.key), c.md5);
        }
        if (!c.sha1.empty()) {
            EXPECT_EQ(Algorithm::hmac_sha1_str(c.message, c.key), c.sha1);
        }
    }
    // RFC 2195's CRAM-MD5 example.
    EXPECT_EQ(
        Algorithm::hmac_md5_str("<1896.697170952@postoffice.reston.mci.net>", "tanstaaftanstaaf"),
        "b913a602c7eda7a495b4e6e7334d3890");
}

TEST(HmacDigest, RawDigestFillsExactlyItsSize) {
    u8 buf[24];
    std::memset(buf, 0x5a, sizeof buf);
    Algorithm::hmac_md5("what do ya want for nothing?", "Jefe", buf);
    EXPECT_EQ(buf[0], 0x75);
    EXPECT_EQ(buf[15], 0x38);
    EXPECT_EQ(buf[16], 0x5a);

    std::memset(buf, 0x5a, sizeof buf);
    Algorithm::hmac_sha1("what do ya want for nothing?", "Jefe", buf);
    EXPECT_EQ(buf[0], 0xef);
    EXPECT_EQ(buf[19], 0x79);
    EXPECT_EQ(buf[20], 0x5a);
}
