// What travine-send tells a person about a failure or a success.
#include "report.h"

#include <cerrno>
#include <cstring>

#include "exception.h"

namespace travine_cli {

namespace {

// The plain words for a failure: by class, method ("" any) and index (0
// any), the first row that fits. In text, $E stands for the endpoint, $H
// for the host, $M for the exception's text.
struct Words {
    const char* name;
    const char* method;
    unsigned index;
    int code;
    const char* text;
};

const Words WORDS[] = {
    {"TransferException", "InetSocket::connect()", 1, EXIT_UNAVAILABLE,
     "cannot find the server $H: $M"},
    {"TransferException", "InetSocket::connect()", 0, EXIT_UNAVAILABLE, "cannot connect to $E: $M"},
    {"TransferException", "Socket::readSocket()", 4, EXIT_UNAVAILABLE, "$E closed the connection"},
    {"TransferException", "Socket::writeSocket()", 0, EXIT_UNAVAILABLE, "sending to $E failed: $M"},
    {"TransferException", "SMTP::read_response()", 0, EXIT_UNAVAILABLE,
     "the reply of $E was too long"},
    {"TransferException", "SMTP::evalResponse()", 1, EXIT_UNAVAILABLE,
     "the server ended the session ($M)"},
    {"TransferException", "SMTP::evalResponse()", 3, EXIT_UNAVAILABLE,
     "the server sent a reply that does not fit ($M)"},
    {"TransferException", "", 0, EXIT_UNAVAILABLE, "the connection to $E failed: $M"},
    {"SSLException", "", 0, EXIT_PROTOCOL, "TLS with $E failed: $M"},
    {"IOException", "", 0, EXIT_IOERR, "$M"},
    {"AuthenticationFailedException", "SMTP::check_auth_method()", 2, EXIT_NOPERM,
     "the server offers no authentication (no AUTH in its reply to EHLO)"},
    {"AuthenticationFailedException", "SMTP::check_auth_method()", 1, EXIT_NOPERM,
     "the server does not offer this authentication: $M"},
    {"AuthenticationFailedException", "", 0, EXIT_NOPERM, "authentication failed: $M"},
    {"DecodeException", "", 0, EXIT_DATAERR, "the server's authentication challenge is not base64"},
};

// What a refusal refused, by the step the client had reached.
const char* const REFUSED[] = {"the server refused the connection",
                               "the server refused the greeting",
                               "the server refused STARTTLS",
                               "the server refused the authentication",
                               "the server refused the sender $A",
                               "the server refused the recipient $A",
                               "the server refused the DATA command",
                               "the server refused the message",
                               "the server refused QUIT"};

const std::pair<int, const char*> EXIT_TEXTS[] = {
    {EXIT_SENT, "every message was accepted and the session ended with QUIT"},
    {EXIT_USAGE, "usage: unknown option, missing or bad value, a message that\ncannot be sent"},
    {EXIT_DATAERR, "the server's authentication challenge was not base64"},
    {EXIT_NOINPUT, "a body, password, token, attachment or CA file cannot be read"},
    {EXIT_UNAVAILABLE, "connection refused or failed, time-out, or a refused command"},
    {EXIT_SOFTWARE, "internal error"},
    {EXIT_IOERR, "a CA file or directory went missing"},
    {EXIT_PROTOCOL, "TLS handshake, certificate verification or TLS I/O failed"},
    {EXIT_NOPERM,
     "the server refused the password or token, or does not offer\nthe authentication asked for"},
    {EXIT_CONFIG,
     "the config file cannot be used (unreadable, a wrong line, no such\n"
     "account, a password that other users can read)"},
    {EXIT_INTERRUPTED,
     "interrupted (Ctrl-C); with --count, after telling how many\n"
     "messages were accepted"},
};

std::string replaced(std::string text, const std::string& key, const std::string& value) {
    const size_t at = text.find(key);
    return at == std::string::npos ? text : text.replace(at, key.size(), value);
}

bool timed_out(const std::string& msg) {
    std::string m;
    for (char c : msg)
        m += c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
    return m.find("timeout") != std::string::npos || m.find("time-out") != std::string::npos ||
           m.find("timed out") != std::string::npos;
}

}  // namespace

std::string visible(const std::string& text) {
    static const char HEX[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const unsigned char next =
            i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {
            out += std::string("\\u00") + HEX[next >> 4] + HEX[next & 15];
            ++i;
        } else if (c == '\r' || c == '\n') {
            out += c == '\r' ? "\\r" : "\\n";
        } else if ((c < 0x20 && c != '\t') || c == 0x7f) {
            out += std::string("\\x") + HEX[c >> 4] + HEX[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string endpoint(const std::string& host, unsigned long port) {
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

Report describe(const Exception& e, const Context& c) {
    const Options& o = *c.options;
    const std::string end = endpoint(o.server, o.port);
    if (e.method == "InetSocket::connect()" && e.msg == std::strerror(ECONNREFUSED))
        return {EXIT_UNAVAILABLE, "connection refused by " + end};
    if (timed_out(e.msg) && e.name != "AuthenticationFailedException") {
        return {EXIT_UNAVAILABLE, "no answer from " + end + " within " + std::to_string(o.timeout) +
                                      " seconds (" + e.msg + ")"};
    }
    if (e.name == "SSLException" && e.msg.find("verif") != std::string::npos)
        return {EXIT_PROTOCOL, "the certificate of " + end + " could not be verified: " + e.msg};
    if (e.method == "SMTP::evalResponse()" && e.index == 2) {
        std::string what = replaced(REFUSED[c.step], "$A", c.address);
        if (c.step == Transcript::AUTH && e.msg.compare(0, 3, "535") == 0) {
            const bool token = o.auth == AuthMode::XOAUTH2 || o.auth == AuthMode::OAUTHBEARER;
            what =
                token ? "the server refused the access token" : "the server refused the password";
        }
        return {c.step == Transcript::AUTH ? EXIT_NOPERM : EXIT_UNAVAILABLE,
                what + " (" + e.msg + ")"};
    }
    for (const Words& w : WORDS) {
        if (e.name != w.name || (w.method[0] != '\0' && e.method != w.method) ||
            (w.index != 0 && e.index != w.index))
            continue;
        std::string msg = replaced(e.msg, "Unknown message - ", "");
        return {w.code, replaced(replaced(replaced(w.text, "$E", end), "$H", o.server), "$M", msg)};
    }
    return {EXIT_SOFTWARE, e.name + ": " + e.msg};
}

std::string summary(const Options& o, const std::vector<std::string>& rcpts) {
    std::string s =
        "sent " + std::to_string(o.count) + (o.count == 1 ? " message" : " messages") + " to ";
    for (size_t i = 0; i < rcpts.size() && i < 3; ++i)
        s += (i == 0 ? "" : ", ") + rcpts[i];
    if (rcpts.size() > 3)
        s += " and " + std::to_string(rcpts.size() - 3) + " more";
    s += " through " + endpoint(o.server, o.port);
    if (o.tls != TlsMode::NONE)
        s += o.tls == TlsMode::STARTTLS ? " with STARTTLS" : " over TLS";
    if (o.auth != AuthMode::NONE)
        s += " as " + o.user;
    return s;
}

std::string exit_codes_text() {
    std::string out;
    for (const auto& row : EXIT_TEXTS) {
        std::string code = std::to_string(row.first);
        out += std::string(4 - code.size(), ' ') + code + "  ";
        for (const char* c = row.second; *c != '\0'; ++c)
            out += *c == '\n' ? std::string("\n      ") : std::string(1, *c);
        out += "\n";
    }
    return out;
}

}  // namespace travine_cli
