// Base64 codecs and HMAC digests for SMTP authentication.
#ifndef TRAVINE_ALGORITHM_H
#define TRAVINE_ALGORITHM_H

#include <string>

#include "travine_export.h"
#include "types.h"

class TRAVINE_EXPORT Algorithm {
public:
    enum CODEC { BASE64 = 0, BASE64_NIL = 1 };

    // The RFC 4648 base64 alphabet, followed by a NUL.
    static const char tbl_base64[65];

    // Encodes str; BASE64_NIL first turns every "<NIL>" into a zero byte.
    // An unknown codec gives an empty result.
    static std::string encode(const std::string& str, CODEC codec);
    // Decodes str. Throws DecodeException ("Invalid Base64 Data.",
    // "Algorithm::decode()", 1 for BASE64, 2 for BASE64_NIL) if it is not
    // valid base64. An unknown codec gives an empty result.
    static std::string decode(const std::string& str, CODEC codec);

    // Append the encoding of orig_str to *enc_str.
    static void enc_base64(const std::string& orig_str, std::string* enc_str);
    static void enc_base64_nil(std::string orig_str, std::string* enc_str);
    // Append the decoded bytes to *orig_str; return 0, or -1 on bad input
    // (bytes of groups decoded before the fault stay appended). The nil
    // decoder appends "<NIL>" for every zero byte.
    static int dec_base64(const std::string& enc_str, std::string* orig_str);
    static int dec_base64_nil(const std::string& enc_str, std::string* orig_str);

    // HMAC of the message str under key, into 16 (MD5) or 20 (SHA-1) bytes.
    // Throw SSLException ("HMAC computation failed.", "Algorithm::hmac_md5()"
    // or "Algorithm::hmac_sha1()", 1) if the cryptographic library cannot
    // compute it; a wrong digest is never returned.
    static void hmac_md5(const std::string& str, const std::string& key, u8* digest);
    static void hmac_sha1(const std::string& str, const std::string& key, u8* digest);
    // The same digests as 32 or 40 lower-case hex digits.
    static std::string hmac_md5_str(const std::string& str, const std::string& key);
    static std::string hmac_sha1_str(const std::string& str, const std::string& key);
};

#endif
