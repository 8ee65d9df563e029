// One SMTP client session: the dialogue (lock-step or pipelined) and the
// judging of reply lines; SMTP AUTH is in smtp_auth.cpp, texts in smtp_text.cpp.
#include "smtp.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <utility>

#include "exception.h"
#include "i18n.h"
#include "inetsocket.h"
#include "smtp_text.h"
#include "string.h"

namespace {

const char* const EVAL_RESPONSE = "SMTP::evalResponse()";

// Reply codes, compared as three-character texts.
const char* const FATAL_CODES[] = {"500", "501", "502", "503", "504", "421", "450", "451", "452",
                                   "550", "552", "553", "554", "534", "538", "454", "530", "535"};
const char* const NOTIFY_CODES[] = {"211", "214", "551", "251"};
const char* const OK_CODES[] = {"220", "250", "354", "221", "334", "235"};

// Whether the first three characters of line (all of it when shorter) are
// one of the codes of list.
template <size_t N>
bool in_list(const std::string& line, const char* const (&list)[N]) {
    if (line.size() < 3)
        return false;
    for (size_t i = 0; i < N; ++i) {
        if (line[0] == list[i][0] && line[1] == list[i][1] && line[2] == list[i][2])
            return true;
    }
    return false;
}

// Removes one carriage return at the end of line, if there is one.
void strip_cr(std::string* line) {
    if (!line->empty() && (*line)[line->size() - 1] == '\r')
        line->erase(line->size() - 1);
}

// A line continues its reply when its fourth character is '-'.
bool continues(const std::string& line) {
    return line.size() > 3 && line[3] == '-';
}

// The longest reply read_response() joins, in bytes.
const size_t MAX_REPLY = 1024 * 1024;

// Throws TransferException ("Reply too long.", "SMTP::read_response()", 1)
// when a reply of so_far bytes with line added would exceed MAX_REPLY.
void check_reply_size(size_t so_far, const std::string& line) {
    if (line.size() > MAX_REPLY - so_far) {
        throw TransferException(I18N::i18n("travine", "Reply too long."), "SMTP::read_response()",
                                1);
    }
}

const char* const SEND_MESSAGE = "SMTP::sendMessage()";

// The longest part of a refused value that a failure's text shows.
const size_t MAX_QUOTED = 200;

// value in double quotes, safe to print: control bytes, DEL, '"' and '\'
// escaped, at most MAX_QUOTED bytes of it, then "..." if there is more.
std::string quoted(const std::string& value) {
    static const char HEX[] = "0123456789abcdef";
    std::string out = "\"";
    for (size_t i = 0; i < value.size() && i < MAX_QUOTED; ++i) {
        const unsigned char c = static_cast<unsigned char>(value[i]);
        const char* named = c == '\r' ? "\\r" : c == '\n' ? "\\n" : c == '\0' ? "\\0" : nullptr;
        if (named != nullptr) {
            out += named;
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            out += "\\x";
            out += HEX[c >> 4];
            out += HEX[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + (value.size() > MAX_QUOTED ? "\"..." : "\"");
}

// Throws refusal 1 of sendMessage() with text when value holds CR, LF or
// NUL, which would end its command early and start another.
void refuse_line_break(const std::string& value, const char* text) {
    const auto breaks = [](char c) { return c == '\r' || c == '\n' || c == '\0'; };
    if (std::any_of(value.begin(), value.end(), breaks))
        throw TransferException(I18N::i18n("travine", text, quoted(value)), SEND_MESSAGE, 1);
}

// Reads one reply as read_response() describes it, handing every line,
// once judged, to each as well; the lines are joined into *joined unless it
// is null (the reply is only judged).
template <class Each>
void read_reply(SMTP& session, bool is_221_fatal, std::string* joined, Each each) {
    std::string line = session.socket->readSocket();
    strip_cr(&line);
    check_reply_size(0, line);
    size_t size = line.size();
    if (joined != nullptr)
        *joined = line;
    session.evalResponse(line, is_221_fatal);
    each(line);
    while (continues(line)) {
        line = session.socket->readSocket();
        strip_cr(&line);
        // Checked before the line is judged or kept: a server that never
        // ends its reply is cut off once the reply passes the cap.
        check_reply_size(size, line);
        size += line.size();
        if (joined != nullptr)
            *joined += line;
        session.evalResponse(line, is_221_fatal);
        each(line);
    }
}

// A command: verb, then arg and end when given, built with one allocation.
std::string command(const char* verb, const std::string& arg, const char* end) {
    const size_t verb_len = std::strlen(verb);
    const size_t end_len = std::strlen(end);
    std::string text;
    text.reserve(verb_len + arg.size() + end_len);
    return text.append(verb, verb_len).append(arg).append(end, end_len);
}

// Whether an EHLO reply line names the extension keyword (upper case), as
// in "250-PIPELINING" or "250 PIPELINING": case does not matter.
bool names_extension(const std::string& line, const char* keyword) {
    const size_t n = std::strlen(keyword);
    if (line.size() < 4 + n || (line[3] != ' ' && line[3] != '-') ||
        (line.size() > 4 + n && line[4 + n] != ' '))
        return false;
    return String::to_upper(line.substr(4, n)) == keyword;
}

}  // namespace

namespace smtp_internal {

// The refusal of a text that holds a line of a single dot, as sendMessage()
// makes it: number is the message's place in the queue, from 1.
[[noreturn]] void dot_line_refused(size_t number) {
    throw TransferException(I18N::i18n("travine", "Message $0 holds a line of a single dot.",
                                       String::itoa(static_cast<int>(number))),
                            SEND_MESSAGE, 2);
}

void await_reply(SMTP& session, bool is_221_fatal) {
    read_reply(session, is_221_fatal, nullptr, [](const std::string&) {});
}

}  // namespace smtp_internal

namespace {

using smtp_internal::await_reply;
using smtp_internal::dot_line_refused;
using smtp_internal::DotLine;

// Refuses, before anything is sent, what would inject commands or end the
// data early: the refusals of sendMessage().
void refuse_injection(const SMTP& session) {
    refuse_line_break(session.domain, "The domain holds CR, LF or NUL: $0");
    refuse_line_break(session.from, "The sender holds CR, LF or NUL: $0");
    for (size_t i = 0; i < session.msgs.size(); ++i) {
        for (const std::string& rcpt : session.msgs[i].rcpts)
            refuse_line_break(rcpt, "A recipient holds CR, LF or NUL: $0");
        DotLine check;
        if (check.feed(session.msgs[i].msg) || check.at_end())
            dot_line_refused(i + 1);
    }
}

}  // namespace

SMTP::SMTP(const std::string& announced, const std::string& sender, const std::string& server,
           u32 port)
    : domain(announced),
      from(sender),
      socket(nullptr),
      username(),
      password(),
      auth_type(NO_AUTH),
      ssl_type(NO_SSL),
      pipelining(false),
      server_pipelining(false) {
    socket = new InetSocket(server, static_cast<int>(port));
    socket->setParentLogger(this);
}

SMTP::~SMTP() {
    if (socket != nullptr) {
        delete socket;
        socket = nullptr;
    }
}

void SMTP::setCredentials(const std::string& user, const std::string& passwd, AUTH_TYPE type) {
    username = user;
    password = passwd;
    auth_type = type;
}

void SMTP::setSSLOpts(SSL_TYPE type, SSLSocket::SSL_OPTS opts, const std::string& ca_file,
                      const std::string& ca_dir) {
    ssl_type = type;
    socket->setSSLOpts(opts);
    socket->setVerifyLocations(ca_file, ca_dir);
}

void SMTP::setTimeout(int seconds) {
    socket->setTimeout(seconds);
}

void SMTP::addMessage(const std::string& msg, const std::vector<std::string>& rcpts) {
    // Room for the end-of-data marker, which sendDATA() appends in place
    // instead of copying a possibly large text once more.
    Message m;
    m.msg.reserve(msg.size() + 5);
    m.msg.assign(msg);
    m.rcpts = rcpts;
    msgs.push_back(std::move(m));
}

void SMTP::addMessage(std::string&& msg, const std::vector<std::string>& rcpts) {
    Message m;
    m.msg = std::move(msg);
    m.rcpts = rcpts;
    msgs.push_back(std::move(m));
}

void SMTP::addMessageFile(const std::string& path, const std::vector<std::string>& rcpts) {
    Message m;
    m.file = path;
    m.rcpts = rcpts;
    msgs.push_back(std::move(m));
}

void SMTP::setPipelining(bool on) {
    pipelining = on;
}

void SMTP::sendMessage() {
    refuse_injection(*this);
    socket->connect();
    // Every command, group and text is written whole, so holding a short
    // segment back (Nagle) gains nothing; where a text goes out in two
    // writes, it would wait for the server's delayed acknowledgement. Not a
    // TCP connection (a child's socket pair): nothing to set.
    const int one = 1;
    ::setsockopt(socket->sockfd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (ssl_type != NO_SSL)
        startSSL();
    if (ssl_type != STARTTLS)
        await_reply(*this, true);  // the greeting
    if (auth_type != NO_AUTH) {
        authenticate();
    } else if (pipelining) {
        sendEHLO();
    } else {
        sendHELO();
    }
    if (pipelining && server_pipelining) {
        send_pipelined();
    } else {
        for (Message& m : msgs) {
            sendMAILFROM();
            sendRCPTTO(m);
            sendDATA(m);
        }
    }
    sendQUIT();
    msgs.clear();
}

void SMTP::startSSL() {
    if (ssl_type == NO_SSL)
        return;
    if (ssl_type == STARTTLS) {
        await_reply(*this, true);  // the greeting, in clear
        socket->writeSocket("STARTTLS\r\n");
        await_reply(*this, true);
    }
    socket->negotiate();
}

void SMTP::sendHELO() {
    socket->writeSocket(command("HELO ", domain, "\r\n"));
    await_reply(*this, true);
}

void SMTP::sendMAILFROM() {
    socket->writeSocket(command("MAIL FROM: <", from, ">\r\n"));
    await_reply(*this, true);
}

void SMTP::sendRCPTTO(Message& msg) {
    for (const std::string& rcpt : msg.rcpts) {
        socket->writeSocket(command("RCPT TO: <", rcpt, ">\r\n"));
        await_reply(*this, true);
    }
}

void SMTP::sendDATA(Message& msg) {
    socket->writeSocket("DATA\r\n");
    await_reply(*this, true);
    send_text(msg, std::string());
    await_reply(*this, true);
}

std::string SMTP::sendEHLO() {
    socket->writeSocket(command("EHLO ", domain, "\r\n"));
    bool first = true;
    server_pipelining = false;
    std::string response;
    read_reply(*this, true, &response, [&](const std::string& line) {
        // The first line names the server; the keywords follow.
        server_pipelining = server_pipelining || (!first && names_extension(line, "PIPELINING"));
        first = false;
    });
    return response;
}

void SMTP::sendQUIT() {
    socket->writeSocket("QUIT\r\n");
    await_reply(*this, false);
}

std::string SMTP::read_response(bool is_221_fatal) {
    std::string response;
    read_reply(*this, is_221_fatal, &response, [](const std::string&) {});
    return response;
}

void SMTP::evalResponse(const std::string& response, bool is_221_fatal) {
    // Only the first three characters count, compared as text. The lists
    // share no code, so the common case, an accepted line, is looked for
    // first.
    const bool is_221 =
        response.size() >= 3 && response[0] == '2' && response[1] == '2' && response[2] == '1';
    if (is_221_fatal && is_221) {
        throw TransferException(response, EVAL_RESPONSE, 1);
    }
    if (in_list(response, OK_CODES))
        return;
    if (in_list(response, FATAL_CODES)) {
        throw TransferException(response, EVAL_RESPONSE, 2);
    }
    if (in_list(response, NOTIFY_CODES)) {
        *this << Logger::ERROR << I18N::i18n("travine", "Host said: ") << response << std::endl;
        return;
    }
    throw TransferException(I18N::i18n("travine", "Unknown message - $0", response), EVAL_RESPONSE,
                            3);
}
