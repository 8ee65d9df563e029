// SMTP AUTH: choosing the mechanism and running its exchange.
#include "smtp.h"

#include <string>

#include "algorithm.h"
#include "exception.h"
#include "i18n.h"
#include "string.h"

namespace {

const char* const CHECK_AUTH_METHOD = "SMTP::check_auth_method()";

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
