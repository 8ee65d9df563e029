// Base64 codecs and HMAC digests for SMTP authentication.
#include "algorithm.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <climits>

#include "exception.h"
#include "i18n.h"
#include "openssl_loader.h"

const char Algorithm::tbl_base64[65] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

namespace {

const char nil_marker[] = "<NIL>";
const std::string::size_type nil_marker_len = sizeof nil_marker - 1;

// Value of an alphabet character, or -1 for any other byte (NUL included).
int base64_value(char c) {
    static const struct Table {
        signed char value[256];
        Table() {
            for (signed char& v : value) {
                v = -1;
            }
            for (int k = 0; k < 64; ++k) {
                value[static_cast<unsigned char>(Algorithm::tbl_base64[k])] =
                    static_cast<signed char>(k);
            }
        }
    } table;
    return table.value[static_cast<unsigned char>(c)];
}

// Decodes enc_str group by group onto *orig_str; with nil set, a zero byte
// is appended as the nil marker. Returns 0, or -1 at the first fault, with
// the groups before it already appended.
int dec_groups(const std::string& enc_str, std::string* orig_str, bool nil) {
    const std::string::size_type len = enc_str.size();
    if (len % 4 != 0) {
        return -1;
    }
    for (std::string::size_type base = 0; base < len; base += 4) {
        unsigned long slot[4] = {0, 0, 0, 0};
        bool pad[4] = {false, false, false, false};
        for (std::string::size_type j = 0; j < 4; ++j) {
            const std::string::size_type at = base + j;
            const char c = enc_str[at];
            const int v = base64_value(c);
            if (v >= 0) {
                slot[j] = static_cast<unsigned long>(v);
            } else if (c == '=' && at == len - 2) {
                pad[2] = true;
                pad[3] = true;
            } else if (c == '=' && at == len - 1) {
                pad[3] = true;
            } else {
                return -1;
            }
        }
        const unsigned long value = (slot[0] << 18) | (slot[1] << 12) | (slot[2] << 6) | slot[3];
        const int count = pad[2] ? 1 : (pad[3] ? 2 : 3);
        for (int b = 0; b < count; ++b) {
            const char byte = static_cast<char>((value >> (16 - 8 * b)) & 0xFF);
            if (nil && byte == '\0') {
                orig_str->append(nil_marker, nil_marker_len);
            } else {
                *orig_str += byte;
            }
        }
    }
    return 0;
}

// One-shot HMAC of str under key into digest, which receives size bytes.
// The digest is md's; nothing is computed when OpenSSL cannot be loaded.
void hmac(const EVP_MD* (*md)(), const std::string& str, const std::string& key, u8* digest,
          unsigned int size, const char* method) {
    unsigned int out_len = 0;
    unsigned char* out = nullptr;
    const EVP_MD* evp = openssl_loader::load() == nullptr ? md() : nullptr;
    // data() is never null, so an empty key or message is a valid buffer.
    if (key.size() <= static_cast<std::string::size_type>(INT_MAX) && evp != nullptr) {
        out =
            HMAC(evp, key.data(), static_cast<int>(key.size()),
                 reinterpret_cast<const unsigned char*>(str.data()), str.size(), digest, &out_len);
    }
    if (out == nullptr || out_len != size) {
        throw SSLException(I18N::i18n("travine", "HMAC computation failed."), method, 1);
    }
}

std::string to_hex(const u8* digest, unsigned int size) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(2 * size);
    for (unsigned int k = 0; k < size; ++k) {
        hex += digits[digest[k] >> 4];
        hex += digits[digest[k] & 0x0F];
    }
    return hex;
}

}  // namespace

std::string Algorithm::encode(const std::string& str, CODEC codec) {
    std::string enc;
    switch (codec) {
        case BASE64:
            enc_base64(str, &enc);
            break;
        case BASE64_NIL:
            enc_base64_nil(str, &enc);
            break;
    }
    return enc;
}

std::string Algorithm::decode(const std::string& str, CODEC codec) {
    std::string orig;
    int result = 0;
    u32 index = 0;  // the throw site: 1 for BASE64, 2 for BASE64_NIL
    switch (codec) {
        case BASE64:
            result = dec_base64(str, &orig);
            index = 1;
            break;
        case BASE64_NIL:
            result = dec_base64_nil(str, &orig);
            index = 2;
            break;
    }
    if (result != 0) {
        throw DecodeException(I18N::i18n("travine", "Invalid Base64 Data."), "Algorithm::decode()",
                              index);
    }
    return orig;
}

void Algorithm::enc_base64(const std::string& orig_str, std::string* enc_str) {
    const std::string::size_type len = orig_str.size();
    const std::string::size_type remain = len % 3;
    const std::string::size_type full = len - remain;
    enc_str->reserve(enc_str->size() + (len + 2) / 3 * 4);
    auto byte = [&](std::string::size_type at) {
        return static_cast<unsigned long>(static_cast<unsigned char>(orig_str[at]));
    };
    auto put = [&](unsigned long value, int shift) {
        *enc_str += tbl_base64[(value >> shift) & 0x3F];
    };
    for (std::string::size_type at = 0; at < full; at += 3) {
        const unsigned long value = (byte(at) << 16) | (byte(at + 1) << 8) | byte(at + 2);
        put(value, 18);
        put(value, 12);
        put(value, 6);
        put(value, 0);
    }
    if (remain == 2) {
        const unsigned long value = (byte(full) << 16) | (byte(full + 1) << 8);
        put(value, 18);
        put(value, 12);
        put(value, 6);
        *enc_str += '=';
    } else if (remain == 1) {
        const unsigned long value = byte(full) << 16;
        put(value, 18);
        put(value, 12);
        *enc_str += "==";
    }
}

void Algorithm::enc_base64_nil(std::string orig_str, std::string* enc_str) {
    // A zero byte is never part of a marker, so the search can go on after it.
    std::string::size_type pos = orig_str.find(nil_marker);
    while (pos != std::string::npos) {
        orig_str.replace(pos, nil_marker_len, 1, '\0');
        pos = orig_str.find(nil_marker, pos + 1);
    }
    enc_base64(orig_str, enc_str);
}

int Algorithm::dec_base64(const std::string& enc_str, std::string* orig_str) {
    return dec_groups(enc_str, orig_str, false);
}

int Algorithm::dec_base64_nil(const std::string& enc_str, std::string* orig_str) {
    return dec_groups(enc_str, orig_str, true);
}

void Algorithm::hmac_md5(const std::string& str, const std::string& key, u8* digest) {
    hmac(EVP_md5, str, key, digest, 16, "Algorithm::hmac_md5()");
}

void Algorithm::hmac_sha1(const std::string& str, const std::string& key, u8* digest) {
    hmac(EVP_sha1, str, key, digest, 20, "Algorithm::hmac_sha1()");
}

std::string Algorithm::hmac_md5_str(const std::string& str, const std::string& key) {
    u8 digest[16];
    hmac_md5(str, key, digest);
    return to_hex(digest, sizeof digest);
}

std::string Algorithm::hmac_sha1_str(const std::string& str, const std::string& key) {
    u8 digest[20];
    hmac_sha1(str, key, digest);
    return to_hex(digest, sizeof digest);
}
