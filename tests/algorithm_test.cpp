// Base64 and its "<NIL>" variant, and the HMAC-MD5 and HMAC-SHA1 digests.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "algorithm.h"
#include "exception.h"
#include "support.h"

namespace {

struct CodecCase {
    std::string plain;
    std::string encoded;
};

// RFC 4648, section 10, and bytes of 0x80 and above in every position.
const std::vector<CodecCase> base64_cases = {
    {"", ""},
    {"f", "Zg=="},
    {"fo", "Zm8="},
    {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="},
    {"fooba", "Zm9vYmE="},
    {"foobar", "Zm9vYmFy"},
    {"\xff", "/w=="},
    {"\x80", "gA=="},
    {std::string("\x00\xff", 2), "AP8="},
    {"\x01\x80", "AYA="},
    {"\xff\xfe", "//4="},
    {"\xfb\xff\xbf", "+/+/"},
    {"foo\xff", "Zm9v/w=="},
};

std::string bytes(int count, char byte) { return std::string(static_cast<size_t>(count), byte); }

std::string counting_key() {
    std::string key;
    for (char c = 1; c <= 25; ++c) {
        key += c;
    }
    return key;
}

struct DigestCase {
    std::string key;
    std::string message;
    std::string md5;
    std::string sha1;
};

}  // namespace

TEST(Base64Codec, TableIsTheStandardAlphabet) {
    EXPECT_STREQ(Algorithm::tbl_base64,
                 "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/");
    EXPECT_EQ(Algorithm::tbl_base64[64], '\0');
}

TEST(Base64Codec, EncodesAndDecodesTheReferenceVectors) {
    for (const auto& c : base64_cases) {
        EXPECT_EQ(Algorithm::encode(c.plain, Algorithm::BASE64), c.encoded) << c.encoded;
        EXPECT_EQ(Algorithm::decode(c.encoded, Algorithm::BASE64), c.plain) << c.encoded;
    }
}

TEST(Base64Codec, EveryByteValueRoundTrips) {
    std::string all;
    for (int b = 0; b < 256; ++b) {
        all += static_cast<char>(b);
    }
    for (size_t len = 0; len <= all.size(); len += 85) {
        const std::string plain = all.substr(all.size() - len);
        const std::string enc = Algorithm::encode(plain, Algorithm::BASE64);
        EXPECT_EQ(enc.size(), (plain.size() + 2) / 3 * 4);
        EXPECT_EQ(Algorithm::decode(enc, Algorithm::BASE64), plain);
    }
}

TEST(Base64Codec, WorkersAppendWithoutClearing) {
    std::string out = "prefix:";
    Algorithm::enc_base64("foo", &out);
    EXPECT_EQ(out, "prefix:Zm9v");

    std::string dec = "prefix:";
    EXPECT_EQ(Algorithm::dec_base64("Zm9vYg==", &dec), 0);
    EXPECT_EQ(dec, "prefix:foob");
}

TEST(Base64Decode, InvalidInputThrowsWithTheCodecsIndex) {
    const std::vector<std::string> invalid = {
        "Zm9vY",      // length not a multiple of 4
        "Z",          //
        "Zg=",        //
        "Zm9v\nYmFy", // split by a line break
        "Zm9 vYmF",   // split by a space
        "Zm9v\r\n",   //
        "=m8=",       // "=" first in a group
        "Z=8=",       // "=" second in a group
        "====",       //
        "Zm=vZm8=",   // "=" third in a group that is not the last
        "Zm8=Zm8=",   // "=" fourth in a group that is not the last
        "Zg==Zg==",   //
        "Zm9-",       // outside the alphabet
        "Zm9_",       //
        std::string("Zm9\0", 4),
        "Zm9\x80",
        "\xffZm9",
    };
    for (const auto& text : invalid) {
        auto e = thrown<DecodeException>([&] { Algorithm::decode(text, Algorithm::BASE64); });
        EXPECT_EQ(e.msg, "Invalid Base64 Data.") << testing::PrintToString(text);
        EXPECT_EQ(e.method, "Algorithm::decode()");
        EXPECT_EQ(e.index, 1u) << testing::PrintToString(text);
        EXPECT_EQ(e.name, "DecodeException");

        e = thrown<DecodeException>([&] { Algorithm::decode(text, Algorithm::BASE64_NIL); });
        EXPECT_EQ(e.msg, "Invalid Base64 Data.");
        EXPECT_EQ(e.method, "Algorithm::decode()");
        EXPECT_EQ(e.index, 2u) << testing::PrintToString(text);

        std::string out;
        EXPECT_EQ(Algorithm::dec_base64(text, &out), -1) << testing::PrintToString(text);
        std::string nil_out;
        EXPECT_EQ(Algorithm::dec_base64_nil(text, &nil_out), -1);
    }
}

TEST(Base64Decode, GroupsBeforeAFaultStayAppended) {
    std::string out = ">";
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
    const std::vector<CodecCase> cases = {
        {"f", "Zm=Y"},     // "=" third, a letter fourth: one byte, as with "=="
        {"f", "Zm=="},     //
        {"f", "Zh=="},     // bits below the last whole byte are ignored
        {"fo", "Zm9="},    //
        {"fo", "Zm8="},    //
        {"foof", "Zm9vZm=v"},
        {std::string(1, '\0'), "AA=A"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Algorithm::decode(c.encoded, Algorithm::BASE64), c.plain) << c.encoded;
    }
    EXPECT_EQ(Algorithm::decode("AA=A", Algorithm::BASE64_NIL), "<NIL>");
}

TEST(NilCodec, MarkerEncodesAsAZeroByte) {
    const std::string message = "<NIL>user@example.test<NIL>secret";
    const std::string with_zeros = std::string("\0user@example.test\0secret", 25);
    EXPECT_EQ(Algorithm::encode(message, Algorithm::BASE64_NIL),
              Algorithm::encode(with_zeros, Algorithm::BASE64));
    EXPECT_EQ(Algorithm::encode("<NIL>user<NIL>pass", Algorithm::BASE64_NIL),
              "AHVzZXIAcGFzcw==");

    const std::vector<CodecCase> cases = {
        {"", ""},
        {"<NIL><NIL>", "AAA="},
        {"<NIL", "PE5JTA=="},
        {"<nil>", "PG5pbD4="},
        {"<<NIL>NIL>>", "PABOSUw+Pg=="},  // a replacement makes no new marker
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Algorithm::encode(c.plain, Algorithm::BASE64_NIL), c.encoded) << c.plain;
    }

    std::string out = "x";
    Algorithm::enc_base64_nil("<NIL>", &out);
    EXPECT_EQ(out, "xAA==");
}

TEST(NilCodec, ZeroBytesDecodeAsMarkers) {
    EXPECT_EQ(Algorithm::decode("AAAA", Algorithm::BASE64_NIL), "<NIL><NIL><NIL>");
    EXPECT_EQ(Algorithm::decode("AAAA", Algorithm::BASE64), std::string(3, '\0'));
    EXPECT_EQ(Algorithm::decode("AHVzZXIAcGFzcw==", Algorithm::BASE64_NIL),
              "<NIL>user<NIL>pass");
    for (const auto& c : base64_cases) {
        if (c.plain.find('\0') == std::string::npos) {
            EXPECT_EQ(Algorithm::decode(c.encoded, Algorithm::BASE64_NIL), c.plain);
        }
    }
}

TEST(NilCodec, RoundTripsTextWithoutZeroBytes) {
    for (const std::string text : {"<NIL>a<NIL>b", "", "<NIL>", "plain", "x<NIL><NIL>y"}) {
        EXPECT_EQ(Algorithm::decode(Algorithm::encode(text, Algorithm::BASE64_NIL),
                                    Algorithm::BASE64_NIL),
                  text);
    }
}

TEST(CodecDispatch, UnknownCodecGivesAnEmptyResult) {
    const auto other = static_cast<Algorithm::CODEC>(7);
    EXPECT_EQ(Algorithm::encode("foo", other), "");
    EXPECT_EQ(Algorithm::decode("Zm9v", other), "");
    EXPECT_NO_THROW(EXPECT_EQ(Algorithm::decode("!", other), ""));
}

TEST(HmacDigest, ReferenceVectorsAsLowerCaseHex) {
    const std::string block = "Test Using Larger Than Block-Size Key";
    // RFC 2202: the MD5 cases use 16-byte keys where the SHA-1 cases use 20.
    const std::vector<DigestCase> cases = {
        {bytes(16, 0x0b), "Hi There", "9294727a3638bb1c13f48ef8158bfc9d", ""},
        {bytes(20, 0x0b), "Hi There", "", "b617318655057264e28bc0b6fb378c8ef146be00"},
        {"Jefe", "what do ya want for nothing?", "750c783e6ab0b503eaa86e310a5db738",
         "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
        {bytes(16, '\xaa'), bytes(50, '\xdd'), "56be34521d144c88dbb8c733f0e8b3f6", ""},
        {bytes(20, '\xaa'), bytes(50, '\xdd'), "", "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
        {counting_key(), bytes(50, '\xcd'), "697eaf0aca3a3aea3a75164746ffaa79",
         "4c9007f4026250c6bc8414f9bf50c86c2d7235da"},
        {bytes(16, 0x0c), "Test With Truncation", "56461ef2342edc00f9bab995690efd4c", ""},
        {bytes(20, 0x0c), "Test With Truncation", "", "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04"},
        {bytes(80, '\xaa'), block + " - Hash Key First", "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd",
         "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
        {bytes(80, '\xaa'), block + " and Larger Than One Block-Size Data",
         "6f630fad67cda0ee1fb1f562db3aa53e", "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"},
        {"", "", "74e6f7298a9c2d168935f58c001bad88",
         "fbdb1d1b18aa6c08324b7d64b71fb76370690e1d"},
    };
    for (const auto& c : cases) {
        if (!c.md5.empty()) {
            EXPECT_EQ(Algorithm::hmac_md5_str(c.message, c.key), c.md5);
        }
        if (!c.sha1.empty()) {
            EXPECT_EQ(Algorithm::hmac_sha1_str(c.message, c.key), c.sha1);
        }
    }
}

TEST(HmacDigest, CramMd5WorkedExample) {
    EXPECT_EQ(Algorithm::hmac_md5_str("<1896.697170952@postoffice.reston.mci.net>",
                                      "tanstaaftanstaaf"),
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

TEST(HmacDigest, KeyAndMessageMayHoldZeroBytes) {
    const std::string key("k\0y", 3);
    const std::string message("m\0sg", 4);
    EXPECT_EQ(Algorithm::hmac_md5_str(message, key), "7ca1607619a90d451643ce9320b4fc05");
    EXPECT_EQ(Algorithm::hmac_sha1_str(message, key), "15f7a9d0ee513418c2ec3d4163ddaf6550b5f38a");
}
