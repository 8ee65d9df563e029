// One SMTP client session: the dialogue (lock-step or pipelined), the
// judging of reply lines, SMTP AUTH and message texts streamed from files.
#include "smtp.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <utility>

#include "algorithm.h"
#include "exception.h"
#include "i18n.h"
#include "inetsocket.h"
#include "string.h"

namespace {

const char* const EVAL_RESPONSE = "SMTP::evalResponse()";
const char* const CHECK_AUTH_METHOD = "SMTP::check_auth_method()";

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
    if (value.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
        throw TransferException(I18N::i18n("travine", text, quoted(value)), SEND_MESSAGE, 1);
}

// Reads one reply as read_response() describes it, handing every line,
// once judged, to each as well.
template <class Each>
std::string read_reply(SMTP& session, bool is_221_fatal, Each each) {
    std::string line = session.socket->readSocket();
    strip_cr(&line);
    check_reply_size(0, line);
    std::string response = line;
    session.evalResponse(line, is_221_fatal);
    each(line);
    while (continues(line)) {
        line = session.socket->readSocket();
        strip_cr(&line);
        // Checked before the line is judged or kept: a server that never
        // ends its reply is cut off once the reply passes the cap.
        check_reply_size(response.size(), line);
        response += line;
        session.evalResponse(line, is_221_fatal);
        each(line);
    }
    return response;
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

const char* const SEND_TEXT = "SMTP::send_text()";
const char* const END_OF_DATA = "\r\n.\r\n";

// Texts up to this size are copied to go out with the end-of-data marker and
// the next commands in one write; longer ones are written where they are.
const size_t SMALL_TEXT = 64 * 1024;
// How much of a file is read, checked and sent at a time.
const size_t FILE_PIECE = 256 * 1024;

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

[[noreturn]] void file_error(const char* text, const std::string& path, u32 index) {
    throw IOException(I18N::i18n("travine", text, path), SEND_TEXT, index);
}

// The refusal of a text that holds a line of a single dot, as sendMessage()
// makes it: number is the message's place in the queue, from 1.
[[noreturn]] void dot_line_refused(size_t number) {
    throw TransferException(I18N::i18n("travine", "Message $0 holds a line of a single dot.",
                                       String::itoa(static_cast<int>(number))),
                            SEND_MESSAGE, 2);
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

// MAIL FROM, a RCPT TO for each recipient and DATA, as one text.
std::string envelope(const std::string& from, const SMTP::Message& msg) {
    std::string commands = "MAIL FROM: <" + from + ">\r\n";
    for (const std::string& rcpt : msg.rcpts)
        commands += "RCPT TO: <" + rcpt + ">\r\n";
    return commands + "DATA\r\n";
}

// The mechanisms in the order AUTO prefers them: the name the EHLO reply
// is searched for, the exchange that runs it, and whether AUTO may choose it.
struct Mechanism {
    SMTP::AUTH_TYPE type;
    const char* name;
    void (SMTP::*exchange)(const std::string& username, const std::string& password);
    bool automatic;
};
const Mechanism MECHANISMS[] = {
    {SMTP::CRAM_SHA1, "cram-sha1", &SMTP::auth_cram_sha1, true},
    {SMTP::CRAM_MD5, "cram-md5", &SMTP::auth_cram_md5, true},
    {SMTP::PLAIN, "plain", &SMTP::auth_plain, true},
    {SMTP::LOGIN, "login", &SMTP::auth_login, true},
    {SMTP::XOAUTH2, "xoauth2", &SMTP::auth_xoauth2, false},
    {SMTP::OAUTHBEARER, "oauthbearer", &SMTP::auth_oauthbearer, false},
};

typedef std::string (*Hmac)(const std::string& message, const std::string& key);

// The CRAM exchange (RFC 2195): command, then the user name, a blank and
// hmac of the decoded challenge under the password, base64-encoded.
// Throws AuthenticationFailedException (method, 1) when the trimmed
// challenge reply is too short to hold a challenge.
void auth_cram(SMTP& session, const char* command, const char* method, Hmac hmac,
               const std::string& user, const std::string& pass) {
    session.socket->writeSocket(command);
    const std::string text = String::trim(session.read_response(true));
    if (text.size() < 4) {
        throw AuthenticationFailedException(I18N::i18n("travine", "Server sent no challenge."),
                                            method, 1);
    }
    // The code and the blank before the challenge are skipped by position.
    const std::string challenge = Algorithm::decode(text.substr(4), Algorithm::BASE64);
    const std::string digest = hmac(challenge, pass);
    session.socket->writeSocket(Algorithm::encode(user + " " + digest, Algorithm::BASE64) + "\r\n");
    session.read_response(true);
}

// What precedes the token in both OAuth 2.0 mechanisms: ^A, "auth=Bearer ".
const char* const BEARER = "\1auth=Bearer ";

// An OAuth 2.0 exchange: command with the base64 initial response. A 334
// reply carries the server's error details; ending sends the response that
// closes the failed exchange, and the refusal must follow.
void auth_bearer(SMTP& session, const char* command, const std::string& initial, const char* ending,
                 const char* method) {
    session.socket->writeSocket(command + Algorithm::encode(initial, Algorithm::BASE64) + "\r\n");
    if (session.read_response(true).compare(0, 3, "334") != 0)
        return;
    session.socket->writeSocket(ending);
    session.read_response(true);  // a refusal throws here
    throw AuthenticationFailedException(
        I18N::i18n("travine", "The server did not end the refused authentication."), method, 1);
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
        read_response(true);  // the greeting
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
        read_response(true);  // the greeting, in clear
        socket->writeSocket("STARTTLS\r\n");
        read_response(true);
    }
    socket->negotiate();
}

void SMTP::sendHELO() {
    socket->writeSocket("HELO " + domain + "\r\n");
    read_response(true);
}

void SMTP::sendMAILFROM() {
    socket->writeSocket("MAIL FROM: <" + from + ">\r\n");
    read_response(true);
}

void SMTP::sendRCPTTO(Message& msg) {
    for (const std::string& rcpt : msg.rcpts) {
        socket->writeSocket("RCPT TO: <" + rcpt + ">\r\n");
        read_response(true);
    }
}

void SMTP::sendDATA(Message& msg) {
    socket->writeSocket("DATA\r\n");
    read_response(true);
    send_text(msg, std::string());
    read_response(true);
}

std::string SMTP::sendEHLO() {
    socket->writeSocket("EHLO " + domain + "\r\n");
    bool first = true;
    server_pipelining = false;
    return read_reply(*this, true, [&](const std::string& line) {
        // The first line names the server; the keywords follow.
        server_pipelining = server_pipelining || (!first && names_extension(line, "PIPELINING"));
        first = false;
    });
}

void SMTP::send_pipelined() {
    if (msgs.empty())
        return;
    socket->writeSocket(envelope(from, msgs[0]));
    for (size_t i = 0; i < msgs.size(); ++i) {
        read_response(true);  // MAIL FROM
        for (size_t r = 0; r < msgs[i].rcpts.size(); ++r)
            read_response(true);  // RCPT TO
        read_response(true);      // DATA
        send_text(msgs[i], i + 1 < msgs.size() ? envelope(from, msgs[i + 1]) : std::string());
        read_response(true);  // the text
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

void SMTP::sendQUIT() {
    socket->writeSocket("QUIT\r\n");
    read_response(false);
}

std::string SMTP::read_response(bool is_221_fatal) {
    return read_reply(*this, is_221_fatal, [](const std::string&) {});
}

void SMTP::evalResponse(const std::string& response, bool is_221_fatal) {
    // Only the first three characters count, compared as text.
    if (is_221_fatal && response.compare(0, 3, "221") == 0) {
        throw TransferException(response, EVAL_RESPONSE, 1);
    }
    if (in_list(response, FATAL_CODES)) {
        throw TransferException(response, EVAL_RESPONSE, 2);
    }
    if (in_list(response, NOTIFY_CODES)) {
        *this << Logger::ERROR << I18N::i18n("travine", "Host said: ") << response << std::endl;
        return;
    }
    if (in_list(response, OK_CODES))
        return;
    throw TransferException(I18N::i18n("travine", "Unknown message - $0", response), EVAL_RESPONSE,
                            3);
}

void SMTP::authenticate() {
    const std::string response = sendEHLO();
    if (auth_type == AUTO)
        auth_type = best_auth_method(response);
    for (const Mechanism& m : MECHANISMS) {
        if (m.type == auth_type) {
            check_auth_method(response, m.name);
            (this->*m.exchange)(username, password);
            return;
        }
    }
    // NO_AUTH (or a value outside the enumeration): EHLO was the greeting;
    // the session goes on without authenticating.
}

SMTP::AUTH_TYPE SMTP::best_auth_method(const std::string& response) {
    for (const std::string& line : String::string2lines(response)) {
        const std::string lower = String::to_lower(line);
        if (lower.find("auth") == std::string::npos)
            continue;
        for (const Mechanism& m : MECHANISMS) {
            if (m.automatic && lower.find(m.name) != std::string::npos)
                return m.type;
        }
    }
    return NO_AUTH;
}

void SMTP::check_auth_method(const std::string& response, const std::string& mechanism) {
    for (const std::string& line : String::string2lines(response)) {
        const std::string lower = String::to_lower(line);
        if (lower.find("auth") == std::string::npos)
            continue;
        if (lower.find(String::to_lower(mechanism)) != std::string::npos)
            return;
        throw AuthenticationFailedException(
            I18N::i18n("travine", "$0 authentication method is not supported by server.",
                       String::to_upper(mechanism)),
            CHECK_AUTH_METHOD, 1);
    }
    throw AuthenticationFailedException(
        I18N::i18n("travine", "SMTP AUTH is not supported by server."), CHECK_AUTH_METHOD, 2);
}

void SMTP::auth_plain(const std::string& user, const std::string& pass) {
    const std::string text = "<NIL>" + user + "<NIL>" + pass;
    socket->writeSocket("AUTH PLAIN " + Algorithm::encode(text, Algorithm::BASE64_NIL) + "\r\n");
    read_response(true);
}

void SMTP::auth_login(const std::string& user, const std::string& pass) {
    socket->writeSocket("AUTH LOGIN\r\n");
    read_response(true);
    socket->writeSocket(Algorithm::encode(user, Algorithm::BASE64) + "\r\n");
    read_response(true);
    socket->writeSocket(Algorithm::encode(pass, Algorithm::BASE64) + "\r\n");
    read_response(true);
}

void SMTP::auth_cram_md5(const std::string& user, const std::string& pass) {
    auth_cram(*this, "AUTH CRAM-MD5\r\n", "SMTP::auth_cram_md5()", &Algorithm::hmac_md5_str, user,
              pass);
}

void SMTP::auth_cram_sha1(const std::string& user, const std::string& pass) {
    auth_cram(*this, "AUTH CRAM-SHA1\r\n", "SMTP::auth_cram_sha1()", &Algorithm::hmac_sha1_str,
              user, pass);
}

void SMTP::auth_xoauth2(const std::string& user, const std::string& token) {
    auth_bearer(*this, "AUTH XOAUTH2 ", "user=" + user + BEARER + token + "\1\1", "\r\n",
                "SMTP::auth_xoauth2()");
}

void SMTP::auth_oauthbearer(const std::string& user, const std::string& token) {
    // The GS2 header names the user as authorisation identity, with ','
    // and '=' escaped.
    std::string name;
    for (char c : user)
        name += c == ',' ? "=2C" : c == '=' ? "=3D" : std::string(1, c);
    auth_bearer(*this, "AUTH OAUTHBEARER ", "n,a=" + name + "," + BEARER + token + "\1\1",
                "AQ==\r\n", "SMTP::auth_oauthbearer()");
}
