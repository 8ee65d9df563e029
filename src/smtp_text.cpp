// The sending of message texts: from memory or streamed from files, lock-step or pipelined.
#include "smtp.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "exception.h"
#include "i18n.h"
#include "smtp_text.h"

namespace {

using smtp_internal::await_reply;
using smtp_internal::dot_line_refused;
using smtp_internal::DotLine;
using smtp_internal::END_OF_DATA;

const char* const SEND_TEXT = "SMTP::send_text()";

// Texts up to this size are copied to go out with the end-of-data marker and
// the next commands in one write; longer ones are written where they are.
const size_t SMALL_TEXT = 64 * 1024;
// How much of a file is read, checked and sent at a time.
const size_t FILE_PIECE = 256 * 1024;

[[noreturn]] void file_error(const char* text, const std::string& path, u32 index) {
    throw IOException(I18N::i18n("travine", text, path), SEND_TEXT, index);
}

// Closes a descriptor when it goes.
struct OpenFile {
    int fd;
    ~OpenFile() {
        if (fd != -1)
            ::close(fd);
    }
};

// Sends the content of the file at path, the text of message number, through
// s, then tail, piece by piece, each checked for a line of a single dot
// before it goes; the last
// piece goes in one write with tail. The bytes sent are the bytes read and
// checked: sendfile() and splice() would hand the kernel references to the
// file's pages instead, so a file cut short while they wait in the socket's
// buffer would send zeroes in their place, and a change after the check
// would go out unchecked.
void stream_file(SSLSocket& s, const std::string& path, size_t number, const std::string& tail) {
    OpenFile f{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (f.fd == -1)
        file_error(errno == ENOENT ? "$0 does not exist." : "$0 is not readable.", path,
                   errno == ENOENT ? 1 : 2);
    struct stat st;
    if (::fstat(f.fd, &st) != 0)
        file_error("$0 is not readable.", path, 2);
    // A regular file is sent up to the size it has now; anything else (a
    // pipe, a terminal) until it ends.
    const bool regular = S_ISREG(st.st_mode);
    DotLine check;
    std::string piece, held;  // held: read and checked, not sent yet
    piece.reserve(FILE_PIECE + tail.size());
    held.reserve(FILE_PIECE + tail.size());
    for (off_t at = 0;;) {
        size_t want = FILE_PIECE;
        if (regular)
            want = std::min(want, static_cast<size_t>(st.st_size - at));
        if (want == 0)
            break;
        piece.resize(want);
        ssize_t n = regular ? ::pread(f.fd, &piece[0], want, at) : ::read(f.fd, &piece[0], want);
        if (n == -1 && errno == EINTR)
            continue;
        if (n == -1)
            file_error("$0 is not readable.", path, 2);
        if (n == 0 && regular)
            file_error("$0 changed while it was sent.", path, 3);
        if (n == 0)
            break;
        piece.resize(static_cast<size_t>(n));
        if (check.feed(piece))
            dot_line_refused(number);
        if (!held.empty())
            s.writeSocket(held);
        held.swap(piece);
        at += n;
    }
    if (check.at_end())
        dot_line_refused(number);
    s.writeSocket(held.append(tail));
}

// MAIL FROM, a RCPT TO for each recipient and DATA, as one text.
std::string envelope(const std::string& from, const SMTP::Message& msg) {
    std::string commands = "MAIL FROM: <" + from + ">\r\n";
    for (const std::string& rcpt : msg.rcpts)
        commands += "RCPT TO: <" + rcpt + ">\r\n";
    return commands + "DATA\r\n";
}

}  // namespace

void SMTP::send_pipelined() {
    if (msgs.empty())
        return;
    socket->writeSocket(envelope(from, msgs[0]));
    for (size_t i = 0; i < msgs.size(); ++i) {
        await_reply(*this, true);  // MAIL FROM
        for (size_t r = 0; r < msgs[i].rcpts.size(); ++r)
            await_reply(*this, true);  // RCPT TO
        await_reply(*this, true);      // DATA
        send_text(msgs[i], i + 1 < msgs.size() ? envelope(from, msgs[i + 1]) : std::string());
        await_reply(*this, true);  // the text
    }
}

void SMTP::send_text(Message& msg, const std::string& after) {
    if (!msg.file.empty()) {
        const size_t number = static_cast<size_t>(&msg - msgs.data()) + 1;
        stream_file(*socket, msg.file, number, END_OF_DATA + after);
        return;
    }
    // In place where the string has room, so that the text is not copied;
    // the queue keeps the text as it was given, whatever happens.
    const size_t length = msg.msg.size();
    if (msg.msg.capacity() - length >= 5 + after.size()) {
        msg.msg.append(END_OF_DATA).append(after);
        try {
            socket->writeSocket(msg.msg);
        } catch (...) {
            msg.msg.resize(length);
            throw;
        }
        msg.msg.resize(length);
    } else if (length <= SMALL_TEXT) {
        socket->writeSocket(msg.msg + END_OF_DATA + after);
    } else {
        socket->writeSocket(msg.msg);
        socket->writeSocket(END_OF_DATA + after);
    }
}
