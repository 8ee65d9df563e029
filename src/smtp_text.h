// Internal to the library (not installed): the check for a line of a single
// dot, shared by the session's refusals and the sending of texts.
#ifndef TRAVINE_SMTP_TEXT_H
#define TRAVINE_SMTP_TEXT_H

#include <algorithm>
#include <cstddef>
#include <string>

namespace smtp_internal {

const char* const END_OF_DATA = "\r\n.\r\n";

// Finds a line of a single "." in a text read piece by piece: the end-of-data
// marker itself, CR LF "." CR LF, where the text's start and end count as
// CR LF (the server reads the text from a line start, and the marker follows
// it).
class DotLine {
public:
    // Whether the text so far, with piece after it, holds such a line.
    bool feed(const std::string& piece) {
        const std::string edge = tail_ + piece.substr(0, 4);
        if (edge.find(END_OF_DATA) != std::string::npos ||
            piece.find(END_OF_DATA) != std::string::npos)
            return true;
        const std::string last =
            tail_ + piece.substr(piece.size() - std::min<size_t>(4, piece.size()));
        tail_ = last.substr(last.size() - std::min<size_t>(4, last.size()));
        return false;
    }
    // Whether the whole text, fed so far, ends in such a line.
    bool at_end() const { return (tail_ + "\r\n").find(END_OF_DATA) != std::string::npos; }

private:
    std::string tail_ = "\r\n";  // the last four bytes fed, the start first
};

// The refusal of a text that holds a line of a single dot, as sendMessage()
// makes it: number is the message's place in the queue, from 1.
[[noreturn]] void dot_line_refused(size_t number);

}  // namespace smtp_internal

#endif
