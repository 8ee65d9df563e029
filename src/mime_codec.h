// Internal to the library (not installed): the MIME encoders the message
// text is composed with.
#ifndef TRAVINE_MIME_CODEC_H
#define TRAVINE_MIME_CODEC_H

#include <cstddef>
#include <string>
#include <vector>

namespace mime_codec {

const size_t LINE = 78;  // the line length folding aims at
const size_t WORD = 75;  // the longest encoded word

// Printable ASCII, blanks included; with tab true, tabs too.
bool printable(const std::string& s, bool tab = false);

// A header value that cannot stand as it is: bytes outside printable ASCII
// (tab aside), or "=?", which a reader would take for an encoded word.
bool needs_encoding(const std::string& s);

// lead (when not NUL) and the two hex digits of c, from digits.
std::string hex(unsigned char c, char lead, const char* digits = "0123456789ABCDEF");

// s as encoded words separated by blanks, the first at most first characters
// long and the others at most WORD. A UTF-8 character is never split.
std::string encoded_words(const std::string& s, size_t first);

// An unstructured value after "name: ".
std::string unstructured(const std::string& name, const std::string& value);

// "name: value" and CR LF, folded before a blank that follows a non-blank
// so that lines stay within LINE characters where such a blank allows.
std::string field(const std::string& name, const std::string& value);

// The lines of s, split at LF, CR LF or a lone CR; a final line end adds no
// empty line.
std::vector<std::string> lines_of(const std::string& s);

// One line in quoted-printable, soft breaks keeping lines within 76 characters.
std::string quoted_printable(const std::string& line);

// The body's part header fields, a blank line and the encoded body.
std::string text_part(const std::string& body);

}  // namespace mime_codec

#endif
