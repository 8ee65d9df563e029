// Internal to the library (not installed): the check for a line of a single
// dot, shared by the session's refusals and the sending of texts.
#ifndef TRAVINE_SMTP_TEXT_H
#define TRAVINE_SMTP_TEXT_H

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>

class SMTP;

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
        // The bytes around the seam: the last ones fed, then the piece's first.
        char edge[8];
        const size_t m = std::min<size_t>(4, piece.size());
        std::memcpy(edge, tail_, tail_len_);
        std::memcpy(edge + tail_len_, piece.data(), m);
        if (holds(edge, tail_len_ + m) || holds(piece.data(), piece.size()))
            return true;
        // The last four bytes of the two together.
        std::memcpy(edge + tail_len_, piece.data() + piece.size() - m, m);
        const size_t all = tail_len_ + m;
        tail_len_ = std::min<size_t>(4, all);
        std::memcpy(tail_, edge + all - tail_len_, tail_len_);
        return false;
    }
    // Whether the whole text, fed so far, ends in such a line.
    bool at_end() const {
        char end[6];
        std::memcpy(end, tail_, tail_len_);
        std::memcpy(end + tail_len_, "\r\n", 2);
        return holds(end, tail_len_ + 2);
    }

private:
    // Whether the n bytes at text hold CR LF "." CR LF: every "." is looked
    // at, and dots are rare.
    static bool holds(const char* text, size_t n) {
        const char* end = text + n;
        for (const char* p = text; p < end;) {
            const char* dot = static_cast<const char*>(std::memchr(p, '.', end - p));
            if (dot == nullptr)
                return false;
            if (dot - text >= 2 && end - dot >= 3 && dot[-2] == '\r' && dot[-1] == '\n' &&
                dot[1] == '\r' && dot[2] == '\n')
                return true;
            p = dot + 1;
        }
        return false;
    }

    char tail_[4] = {'\r', '\n', 0, 0};  // the last bytes fed, at most four
    size_t tail_len_ = 2;                // the start counts as CR LF
};

// The refusal of a text that holds a line of a single dot, as sendMessage()
// makes it: number is the message's place in the queue, from 1.
[[noreturn]] void dot_line_refused(size_t number);

// Reads and judges one reply as SMTP::read_response() does, without
// joining its lines.
void await_reply(SMTP& session, bool is_221_fatal);

}  // namespace smtp_internal

#endif
