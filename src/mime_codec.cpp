// MIME encoders for the message text: encoded words, folding, quoted-printable.
#include "mime_codec.h"

#include <algorithm>

#include "algorithm.h"

namespace mime_codec {

// Printable ASCII, blanks included; with tab true, tabs too.
bool printable(const std::string& s, bool tab) {
    return std::all_of(s.begin(), s.end(), [tab](unsigned char c) {
        return (c >= 0x20 && c < 0x7f) || (tab && c == '\t');
    });
}

// A header value that cannot stand as it is: bytes outside printable ASCII
// (tab aside), or "=?", which a reader would take for an encoded word.
bool needs_encoding(const std::string& s) {
    return !printable(s, true) || s.find("=?") != std::string::npos;
}

// lead (when not NUL) and the two hex digits of c, from digits.
std::string hex(unsigned char c, char lead, const char* digits) {
    std::string out = lead ? std::string(1, lead) : std::string();
    return out + digits[c >> 4] + digits[c & 15];
}

// s as encoded words separated by blanks, the first at most first characters
// long and the others at most WORD. A UTF-8 character is never split.
std::string encoded_words(const std::string& s, size_t first) {
    std::string out;
    size_t room = first;
    for (size_t i = 0; i < s.size(); room = WORD) {
        size_t n = std::min((room - 12) / 4 * 3, s.size() - i);
        size_t k = n;
        while (k > 0 && i + k < s.size() && (static_cast<unsigned char>(s[i + k]) & 0xC0) == 0x80)
            --k;
        n = k > 0 ? k : n;
        out += (out.empty() ? "=?utf-8?B?" : " =?utf-8?B?") +
               Algorithm::encode(s.substr(i, n), Algorithm::BASE64) + "?=";
        i += n;
    }
    return out;
}

// An unstructured value after "name: ".
std::string unstructured(const std::string& name, const std::string& value) {
    if (!needs_encoding(value))
        return value;
    size_t room = LINE - name.size() - 2;
    return encoded_words(value, room < 24 || room > WORD ? WORD : room);
}

// "name: value" and CR LF, folded before a blank that follows a non-blank
// so that lines stay within LINE characters where such a blank allows.
std::string field(const std::string& name, const std::string& value) {
    const std::string line = name + ": " + value;
    std::string out;
    size_t start = 0;
    while (line.size() - start > LINE) {
        size_t cut = std::string::npos;
        for (size_t i = start + 1;
             i < line.size() && (i <= start + LINE || cut == std::string::npos); ++i) {
            if (line[i] == ' ' && line[i - 1] != ' ' &&
                line.find_first_not_of(' ', i) != std::string::npos)
                cut = i;
        }
        if (cut == std::string::npos)
            break;
        out += line.substr(start, cut - start) + "\r\n";
        start = cut;
    }
    return out + line.substr(start) + "\r\n";
}

// The lines of s, split at LF, CR LF or a lone CR; a final line end adds no
// empty line.
std::vector<std::string> lines_of(const std::string& s) {
    std::vector<std::string> lines;
    std::string line;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\r' && s[i] != '\n') {
            line += s[i];
            continue;
        }
        if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n')
            ++i;
        lines.push_back(line);
        line.clear();
    }
    if (!line.empty())
        lines.push_back(line);
    return lines;
}

// One line in quoted-printable, soft breaks keeping lines within 76 characters.
std::string quoted_printable(const std::string& line) {
    std::string out;
    size_t col = 0;
    for (size_t i = 0; i < line.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(line[i]);
        bool last = i + 1 == line.size();
        bool literal = (c > ' ' && c < 0x7f && c != '=') || ((c == ' ' || c == '\t') && !last);
        std::string t = literal ? std::string(1, static_cast<char>(c)) : hex(c, '=');
        if (col + t.size() > (last ? 76u : 75u)) {
            out += "=\r\n";
            col = 0;
        }
        out += t;
        col += t.size();
    }
    return out + "\r\n";
}

// The body's part header fields, a blank line and the encoded body.
std::string text_part(const std::string& body) {
    std::vector<std::string> lines = lines_of(body);
    bool seven_bit = true;
    for (const std::string& l : lines) {
        seven_bit =
            seven_bit && l.size() <= 998 &&
            std::none_of(l.begin(), l.end(), [](unsigned char c) { return c == 0 || c >= 0x80; });
    }
    std::string out = std::string("Content-Type: text/plain; charset=utf-8\r\n") +
                      "Content-Transfer-Encoding: " + (seven_bit ? "7bit" : "quoted-printable") +
                      "\r\n\r\n";
    for (const std::string& l : lines)
        out += seven_bit ? l + "\r\n" : quoted_printable(l);
    return out;
}

}  // namespace mime_codec
