// travine-send's messages: one composed from the options with the library's
// MailMessage, or a complete message from standard input (sendmail mode),
// each as the text and the envelope that the session queues.
#ifndef TRAVINE_TOOLS_MESSAGE_H
#define TRAVINE_TOOLS_MESSAGE_H

#include <istream>
#include <string>
#include <vector>

#include "options.h"

namespace travine_cli {

// s without the blanks, tabs and carriage returns at its ends.
std::string trimmed(const std::string& s);

struct Mailbox {
    std::string address, name;
};

// One address as written in a field or an option: "jo@example.org",
// "<jo@example.org>", "Jo Doe <jo@example.org>", "\"Doe, Jo\" <...>", with
// comments in parentheses dropped.
Mailbox parse_mailbox(const std::string& text);
// The addresses of a field's value: mailboxes separated by commas, groups
// ("team: a@x, b@x;") opened up.
std::vector<std::string> address_list(const std::string& value);
// Throws CliError (EXIT_USAGE) naming option when text holds no address
// that can stand in MAIL FROM or RCPT TO.
void check_mailbox(const std::string& option, const std::string& text);

// What one session sends: the sender, the recipients, and the texts (one per
// copy), with CR LF line ends, dot-stuffed, without the final line end.
struct Outgoing {
    std::string sender;
    std::vector<std::string> rcpts;
    std::vector<std::string> texts;
};

// The message of the options (From, Reply-To, To, Cc, Subject when given,
// Date, Message-ID, extra fields, the body and the attachments), o.count
// copies, each with its own Message-ID. Throws CliError: EXIT_USAGE for a
// field the message cannot hold, EXIT_NOINPUT for an attachment that
// cannot be read.
Outgoing compose(const Options& o);

// Reads a complete message; with dot_ends a line of a single dot ends it.
std::string read_message(std::istream& in, bool dot_ends);

// The message raw as sendmail sends it: line ends as CR LF, dot-stuffed,
// the Bcc fields removed, and From (the sender), Date and Message-ID put in
// front when the header lacks them. The sender is o.from, else the first
// address of the From field; the recipients are the operands and --to,
// with -t also the To, Cc and Bcc addresses, each once. Throws CliError
// (EXIT_USAGE) when there is no sender, no recipient, or an address that
// cannot be sent to.
Outgoing sendmail_message(const std::string& raw, const Options& o);

}  // namespace travine_cli

#endif
