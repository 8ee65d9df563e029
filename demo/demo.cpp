// The program behind scripts/demo.sh. Sends two mails to a local server:
// one through the C entry point email(), one through an SMTP session with
// STARTTLS and AUTH whose dialogue is printed as it happens.
//
//   travine-demo HOST PORT CAFILE USER PASSWORD FROM TO
#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <string>

#include "emailwrap.h"
#include "exception.h"
#include "smtp.h"

namespace {

// The session's logger hands over one element at a time (a host name, ":\t",
// a line, a line feed); this gathers them and prints each line indented.
std::string g_pending;
void print_indented(std::string text, int /*level*/) {
    g_pending += text;
    std::string::size_type end;
    while ((end = g_pending.find('\n')) != std::string::npos) {
        std::cout << "   " << g_pending.substr(0, end + 1) << std::flush;
        g_pending.erase(0, end + 1);
    }
}

// Reads a TCP port: decimal digits only, 1 to 65535; 0 when text is not one.
u32 parse_port(const char* text) {
    char* end = nullptr;
    errno = 0;
    unsigned long value = std::strtoul(text, &end, 10);
    if (text[0] < '0' || text[0] > '9' || *end != '\0' || errno != 0 || value > 65535)
        return 0;
    return static_cast<u32>(value);
}

}  // namespace

int main(int argc, char** argv) {
    const u32 port = argc == 8 ? parse_port(argv[2]) : 0;
    if (port == 0) {
        std::cerr << "usage: " << argv[0] << " HOST PORT CAFILE USER PASSWORD FROM TO\n";
        return 64;
    }
    const std::string host = argv[1], cafile = argv[3], user = argv[4], password = argv[5],
                      from = argv[6], to = argv[7];

    std::cout << "== 1. email(): one C call sends one mail\n"
                 "   STARTTLS, the server's certificate checked against the demo CA, and AUTH\n"
                 "   with the strongest mechanism the server offers.\n";
    const std::string opts = "cafile=" + cafile;
    const char* body = "This mail was sent with one call of email().";
    u32 rc = email(from.c_str(),          // pFrom: envelope sender and From: line
                   to.c_str(),            // pTo: the one recipient and To: line
                   "Hello from email()",  // pSubject
                   body,                  // pBody: follows the Subject: line directly
                   host.c_str(),          // pHost
                   4,                     // authMethod: 4 = AUTH, the mechanism chosen
                   user.c_str(),          // pUsername
                   password.c_str(),      // pPassword
                   port,                  // port
                   "enable",              // pSsl: "enable" turns TLS on
                   "STARTTLS",            // pSslType: STARTTLS, else TLS from the start
                   opts.c_str());         // pSslOpts: "cafile=PATH" verifies the server
    std::cout << "   email() returned " << rc << " (0: sent, 274: any failure)\n\n";
    if (rc != 0)
        return 1;

    std::cout << "== 2. An SMTP session: STARTTLS, then AUTH, then the message\n"
                 "   The dialogue as the session's logger hands it over at VERBOSE. AUTH\n"
                 "   picks CRAM-MD5 here: the 334 line is the server's challenge, the line\n"
                 "   after it the user name and a keyed digest of the password (base64).\n";
    try {
        SMTP session("demo.travine.test", from, host, port);
        session.setVerbosity(Logger::VERBOSE);
        session.setCallBackFunction(print_indented);
        session.setCredentials(user, password, SMTP::AUTO);
        session.setSSLOpts(SMTP::STARTTLS, SSLSocket::VERIFY_PEER, cafile, "");
        // The session sends the text exactly as given and then "\r\n.\r\n":
        // the caller writes the header, the blank line that ends it, and
        // CR LF line ends.
        session.addMessage("From: " + from + "\r\nTo: " + to +
                               "\r\nSubject: Hello from the SMTP class\r\n\r\n"
                               "This mail went over STARTTLS after AUTH.",
                           {to});
        session.sendMessage();
    } catch (const Exception& e) {
        std::cerr << e.name << " in " << e.method << " [" << e.index << "]: " << e.msg << "\n";
        return 1;
    }
    std::cout << "\n   both mails sent\n";
    return 0;
}
