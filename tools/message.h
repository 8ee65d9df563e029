// travine-send's message: the text handed to the library, its header
// fields and its body.
#ifndef TRAVINE_TOOLS_MESSAGE_H
#define TRAVINE_TOOLS_MESSAGE_H

#include <ctime>
#include <string>
#include <vector>

namespace travine_cli {

// "Tue, 02 Dec 2025 14:03:09 +0100": RFC 5322 date of t in local time.
std::string rfc5322_date(std::time_t t);
// The same with an explicit offset from UTC in minutes (for tests).
std::string rfc5322_date(const std::tm& local, long utc_offset_minutes);

// "<unique@domain>".
std::string make_message_id(const std::string& domain);

// The body as SMTP DATA text: line ends (LF, CR LF or lone CR) become
// CR LF, a line that starts with "." gets another "." in front, and a
// final line end is dropped (the library appends "\r\n.\r\n").
std::string smtp_body(const std::string& body);

// A Subject value as it may stand in a header: unchanged when it is
// printable ASCII, otherwise as RFC 2047 encoded words (UTF-8, base64)
// folded onto continuation lines.
std::string encode_subject(const std::string& subject);

struct MessageParts {
    std::string from;
    std::vector<std::string> to;
    std::string subject;
    std::string date;
    std::string message_id;
    std::string body;
};

// The complete text handed to the library: the header lines From, To,
// Subject, Date, Message-ID, MIME-Version, Content-Type and
// Content-Transfer-Encoding ended by CR LF, a blank line and smtp_body().
// With an empty body the text ends after the last header's CR LF, so that
// the library's "\r\n.\r\n" supplies the blank line.
std::string compose_message(const MessageParts& parts);

}  // namespace travine_cli

#endif
