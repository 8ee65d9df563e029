// The C entry point: one mail, one session, one numeric result.
#include "emailwrap.h"

#include <string>
#include <vector>

#include "smtp.h"
#include "sslsocket.h"

namespace {

const u32 EMAIL_OK = 0;
const u32 EMAIL_FAILED = 274;

// The name announced in HELO and EHLO.
const char* const DEFAULT_DOMAIN = "localhost";

// The longest wait without progress, in seconds, of every step.
const int EMAIL_TIMEOUT = 30;

// Applies pSsl, pSslType and pSslOpts to the session.
void configure_tls(SMTP& session, const std::string& ssl, const std::string& ssl_type,
                   const std::string& ssl_opts) {
    if (ssl != "enable")
        return;
    const SMTP::SSL_TYPE mode = ssl_type == "STARTTLS" ? SMTP::STARTTLS : SMTP::SMTPS;
    const std::string cafile = "cafile=";
    const std::string capath = "capath=";
    if (ssl_opts.compare(0, cafile.size(), cafile) == 0) {
        session.setSSLOpts(mode, SSLSocket::VERIFY_HOST, ssl_opts.substr(cafile.size()), "");
    } else if (ssl_opts.compare(0, capath.size(), capath) == 0) {
        session.setSSLOpts(mode, SSLSocket::VERIFY_HOST, "", ssl_opts.substr(capath.size()));
    } else {
        session.setSSLOpts(mode, SSLSocket::VERIFY_NONE, "", "");
    }
}

}  // namespace

extern "C" u32 email(const char* pFrom, const char* pTo, const char* pSubject, const char* pBody,
                     const char* pHost, u8 authMethod, const char* pUsername, const char* pPassword,
                     u32 port, const char* pSsl, const char* pSslType, const char* pSslOpts) {
    if (pFrom == nullptr || pTo == nullptr || pSubject == nullptr || pBody == nullptr ||
        pHost == nullptr || pUsername == nullptr || pPassword == nullptr || pSsl == nullptr ||
        pSslType == nullptr || pSslOpts == nullptr) {
        return EMAIL_FAILED;
    }
    u32 u32Ret = EMAIL_OK;
    try {
        const std::string from(pFrom);
        const std::string to(pTo);
        const std::string username(pUsername);
        const std::string password(pPassword);
        const std::string text = "From: " + from + "\n" + "To: " + to + "\n" +
                                 "Subject: " + std::string(pSubject) + "\n" + std::string(pBody) +
                                 "\n";

        SMTP session(DEFAULT_DOMAIN, from, pHost, port);
        if (authMethod == 4)
            session.setCredentials(username, password, SMTP::AUTO);
        configure_tls(session, pSsl, pSslType, pSslOpts);
        session.setTimeout(EMAIL_TIMEOUT);
        session.addMessage(text, std::vector<std::string>(1, to));
        session.sendMessage();
    } catch (...) {
        // Every failure of the Exception family ends here, and so does
        // anything else: nothing may cross the C boundary, not even
        // std::bad_alloc.
        u32Ret = EMAIL_FAILED;
    }
    return u32Ret;
}
