// Plain reference forms of the codecs and text operations, written from
// their contracts and independent of the library's code, for the fuzz
// targets to compare against.
#ifndef TRAVINE_FUZZ_REFERENCE_H
#define TRAVINE_FUZZ_REFERENCE_H

#include <cstddef>
#include <string>
#include <vector>

namespace ref {

const std::string ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const char NIL[] = "<NIL>";

// RFC 4648 base64 with padding, one unbroken line.
inline std::string encode(const std::string& in) {
    std::string out;
    for (size_t at = 0; at < in.size(); at += 3) {
        const size_t n = in.size() - at < 3 ? in.size() - at : 3;
        unsigned long v = 0;
        for (size_t k = 0; k < 3; ++k) {
            v = (v << 8) | (k < n ? static_cast<unsigned char>(in[at + k]) : 0u);
        }
        for (size_t k = 0; k < 4; ++k) {
            out += k <= n ? ALPHABET[(v >> (18 - 6 * k)) & 63] : '=';
        }
    }
    return out;
}

// Every "<NIL>" turned into one zero byte, searching from the start again
// after each replacement.
inline std::string nil_to_zero(std::string text) {
    for (size_t pos = text.find(NIL); pos != std::string::npos; pos = text.find(NIL)) {
        text.replace(pos, 5, 1, '\0');
    }
    return text;
}

// Decodes enc onto *out the way the decoders are specified: strict length
// and alphabet, "=" only in the last two positions of the whole input, an
// "=" third from the end making the group one byte whatever follows it.
// With nil, a zero byte is appended as "<NIL>". Returns 0, or -1 with the
// groups before the fault appended.
inline int decode(const std::string& enc, std::string* out, bool nil) {
    const size_t len = enc.size();
    if (len % 4 != 0) {
        return -1;
    }
    for (size_t base = 0; base < len; base += 4) {
        unsigned long v = 0;
        int bytes = 3;
        for (size_t at = base; at < base + 4; ++at) {
            const size_t value = ALPHABET.find(enc[at]);
            v <<= 6;
            if (value != std::string::npos) {
                v |= value;
            } else if (enc[at] == '=' && at + 2 == len) {
                bytes = 1;
            } else if (enc[at] == '=' && at + 1 == len) {
                bytes = bytes < 2 ? bytes : 2;
            } else {
                return -1;
            }
        }
        for (int b = 0; b < bytes; ++b) {
            const char c = static_cast<char>((v >> (16 - 8 * b)) & 0xff);
            *out += nil && c == '\0' ? std::string(NIL) : std::string(1, c);
        }
    }
    return 0;
}

// Pieces between delimiters; a delimiter at the very end adds no empty
// last piece, the empty text gives none.
inline std::vector<std::string> split(const std::string& text, char delim) {
    std::vector<std::string> pieces(1);
    for (char c : text) {
        if (c == delim) {
            pieces.emplace_back();
        } else {
            pieces.back() += c;
        }
    }
    if (text.empty() || text.back() == delim) {
        pieces.pop_back();
    }
    return pieces;
}

// The runs of non-space characters joined by single spaces.
inline std::string trim(const std::string& text) {
    std::string out;
    for (const std::string& word : split(text, ' ')) {
        if (!word.empty()) {
            out += (out.empty() ? "" : " ") + word;
        }
    }
    return out;
}

// Breaks lines at the last space once a line reaches width characters,
// counting from the previous break point (a line feed counts as a
// character and starts a new line).
inline std::string wrap(std::string text, unsigned width) {
    unsigned col = 0;
    long last_space = -1;
    for (size_t idx = 0; idx < text.size(); ++idx) {
        if (text[idx] == ' ') {
            last_space = static_cast<long>(idx);
        }
        if (++col == width) {
            if (last_space >= 0) {
                text[static_cast<size_t>(last_space)] = '\n';
            }
            last_space = -1;
            col = 0;
        }
        if (text[idx] == '\n') {
            last_space = -1;
            col = 0;
        }
    }
    return text;
}

// msgid with "$k" (k a digit below count) replaced by params[k]; everything
// else, other "$" included, copied as it stands.
inline std::string fill(const std::string& msgid, const std::vector<std::string>& params) {
    std::string out;
    for (size_t k = 0; k < msgid.size(); ++k) {
        const size_t digit =
            k + 1 < msgid.size() ? std::string("0123456789").find(msgid[k + 1]) : std::string::npos;
        if (msgid[k] == '$' && digit < params.size()) {
            out += params[digit];
            ++k;
        } else {
            out += msgid[k];
        }
    }
    return out;
}

inline std::string lower(std::string text) {
    for (char& c : text) {
        c = c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
    }
    return text;
}

}  // namespace ref

#endif
