// Plain reference forms of the codecs and text operations, written from
// their contracts and independent of the library's code, for the fuzz
// targets to compare against.
#ifndef TRAVINE_FUZZ_REFERENCE_H
#define TRAVINE_FUZZ_REFERENCE_H

#include <cstddef>
#include <string>
#include <vector>

namespace ref {

const char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const char NIL[] = "<NIL>";

inline int alphabet_value(char c) {
    for (int k = 0; k < 64; ++k) {
        if (ALPHABET[k] == c) {
            return k;
        }
    }
    return -1;
}

// RFC 4648 base64 with padding, one unbroken line.
inline std::string encode(const std::string& in) {
    std::string out;
    for (size_t at = 0; at < in.size(); at += 3) {
        const size_t n = in.size() - at < 3 ? in.size() - at : 3;
        unsigned long v = 0;
        for (size_t k = 0; k < 3; ++k) {
            v <<= 8;
            if (k < n) {
                v |= static_cast<unsigned char>(in[at + k]);
            }
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
        bool pad3 = false;
        bool pad4 = false;
        for (size_t j = 0; j < 4; ++j) {
            const size_t at = base + j;
            const int value = alphabet_value(enc[at]);
            v <<= 6;
            if (value >= 0) {
                v |= static_cast<unsigned long>(value);
            } else if (enc[at] == '=' && at + 2 == len) {
                pad3 = true;
                pad4 = true;
            } else if (enc[at] == '=' && at + 1 == len) {
                pad4 = true;
            } else {
                return -1;
            }
        }
        const int bytes = pad3 ? 1 : pad4 ? 2 : 3;
        for (int b = 0; b < bytes; ++b) {
            const char c = static_cast<char>((v >> (16 - 8 * b)) & 0xff);
            if (nil && c == '\0') {
                *out += NIL;
            } else {
                *out += c;
            }
        }
    }
    return 0;
}

// Pieces between delimiters; a delimiter at the very end adds no empty
// last piece, the empty text gives none.
inline std::vector<std::string> split(const std::string& text, char delim) {
    std::vector<std::string> pieces;
    std::string current;
    for (size_t k = 0; k < text.size(); ++k) {
        if (text[k] == delim) {
            pieces.push_back(current);
            current.clear();
        } else {
            current += text[k];
        }
    }
    if (!text.empty() && text.back() != delim) {
        pieces.push_back(current);
    }
    return pieces;
}

// The runs of non-space characters joined by single spaces.
inline std::string trim(const std::string& text) {
    std::string out;
    size_t k = 0;
    while (k < text.size()) {
        while (k < text.size() && text[k] == ' ') {
            ++k;
        }
        const size_t start = k;
        while (k < text.size() && text[k] != ' ') {
            ++k;
        }
        if (k > start) {
            if (!out.empty()) {
                out += ' ';
            }
            out.append(text, start, k - start);
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
        if (msgid[k] == '$' && k + 1 < msgid.size() && msgid[k + 1] >= '0' && msgid[k + 1] <= '9' &&
            static_cast<size_t>(msgid[k + 1] - '0') < params.size()) {
            out += params[static_cast<size_t>(msgid[k + 1] - '0')];
            ++k;
        } else {
            out += msgid[k];
        }
    }
    return out;
}

inline std::string lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c + ('a' - 'A'));
        }
    }
    return text;
}

}  // namespace ref

#endif
