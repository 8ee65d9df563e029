// Sends two mails to a local server: one through the C entry point email(),
// one through an SMTP session with STARTTLS and AUTH whose dialogue is
// printed as it happens.
//
//   travine-demo HOST PORT CAFILE USER PASSWORD FROM TO
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "emailwrap.h"
#include "exception.h"
#include "smtp.h"

namespace {

// The session's logger hands over one element at a time (a host name, ":\t",
// a line, a line feed); printing them as they come rebuilds the transcript.
void print_transcript(std::string text, int /*level*/) {
    std::cout << text;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 8) {
        std::cerr << "usage: " << argv[0] << " HOST PORT CAFILE USER PASSWORD FROM TO\n";
        return 64;
    }
    const std::string host = argv[1], cafile = argv[3], user = argv[4], password = argv[5],
                      from = argv[6], to = argv[7];
    const unsigned port = static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10));

    std::cout << "== 1. email(): STARTTLS, certificate checked against " << cafile
              << ", AUTH picked from the server's offer\n";
    const std::string opts = "cafile=" + cafile;
    u32 rc = email(from.c_str(), to.c_str(), "Hello from email()",
                   "This mail was sent with one call of email().", host.c_str(), 4, user.c_str(),
                   password.c_str(), port, "enable", "STARTTLS", opts.c_str());
    std::cout << "email() returned " << rc << "\n\n";
    if (rc != 0) return 1;

    std::cout << "== 2. SMTP session: STARTTLS + AUTH, transcript at VERBOSE\n";
    try {
        SMTP session("demo.travine.test", from, host, port);
        session.setVerbosity(Logger::VERBOSE);
        session.setCallBackFunction(print_transcript);
        session.setCredentials(user, password, SMTP::AUTO);
        session.setSSLOpts(SMTP::STARTTLS, SSLSocket::VERIFY_PEER, cafile, "");
        session.addMessage("From: " + from + "\r\nTo: " + to +
                               "\r\nSubject: Hello from the SMTP class\r\n\r\n"
                               "This mail went over STARTTLS after AUTH.",
                           {to});
        session.sendMessage();
    } catch (const Exception& e) {
        std::cerr << e.name << " in " << e.method << " [" << e.index << "]: " << e.msg << "\n";
        return 1;
    }
    std::cout << "\nboth mails sent\n";
    return 0;
}
