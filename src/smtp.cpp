// One SMTP client session: the dialogue, the judging of reply lines and
// SMTP AUTH.
#include "smtp.h"

#include <cstddef>
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

// Whether text holds a line of a single "." between CR LF pairs, its start
// and end counting as such: sent before CR LF "." CR LF, it would end the
// data there.
bool ends_data_early(const std::string& text) {
    const size_t n = text.size();
    return text == "." || text.compare(0, 3, ".\r\n") == 0 ||
           (n >= 3 && text.compare(n - 3, 3, "\r\n.") == 0) ||
           text.find("\r\n.\r\n") != std::string::npos;
}

// Refuses, before anything is sent, what would inject commands or end the
// data early: the refusals of sendMessage().
void refuse_injection(const SMTP& session) {
    refuse_line_break(session.domain, "The domain holds CR, LF or NUL: $0");
    refuse_line_break(session.from, "The sender holds CR, LF or NUL: $0");
    for (size_t i = 0; i < session.msgs.size(); ++i) {
        for (const std::string& rcpt : session.msgs[i].rcpts)
            refuse_line_break(rcpt, "A recipient holds CR, LF or NUL: $0");
        if (ends_data_early(session.msgs[i].msg)) {
            throw TransferException(
                I18N::i18n("travine", "Message $0 holds a line of a single dot.",
                           String::itoa(static_cast<int>(i + 1))),
                SEND_MESSAGE, 2);
        }
    }
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
      ssl_type(NO_SSL) {
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

void SMTP::sendMessage() {
    refuse_injection(*this);
    socket->connect();
    if (ssl_type != NO_SSL)
        startSSL();
    if (ssl_type != STARTTLS)
        read_response(true);  // the greeting
    if (auth_type == NO_AUTH) {
        sendHELO();
    } else {
        authenticate();
    }
    for (Message& m : msgs) {
        sendMAILFROM();
        sendRCPTTO(m);
        sendDATA(m);
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
    // The text and the end-of-data marker go out as one write. The marker
    // is appended to the stored text and taken off again whatever happens,
    // so the queue keeps the text as it was given.
    const size_t length = msg.msg.size();
    msg.msg.append("\r\n.\r\n");
    try {
        socket->writeSocket(msg.msg);
    } catch (...) {
        msg.msg.resize(length);
        throw;
    }
    msg.msg.resize(length);
    read_response(true);
}

void SMTP::sendQUIT() {
    socket->writeSocket("QUIT\r\n");
    read_response(false);
}

std::string SMTP::read_response(bool is_221_fatal) {
    std::string line = socket->readSocket();
    strip_cr(&line);
    check_reply_size(0, line);
    std::string response = line;
    evalResponse(line, is_221_fatal);
    while (continues(line)) {
        line = socket->readSocket();
        strip_cr(&line);
        // Checked before the line is judged or kept: a server that never
        // ends its reply is cut off once the reply passes the cap.
        check_reply_size(response.size(), line);
        response += line;
        evalResponse(line, is_221_fatal);
    }
    return response;
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
    socket->writeSocket("EHLO " + domain + "\r\n");
    const std::string response = read_response(true);
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
