// A C++ host of libtravine: two messages with different recipients over one
// SMTP session with STARTTLS and SMTP AUTH, the library's log routed to a
// callback of our own.
//
//   send_two HOST PORT CAFILE USER PASSWORD
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <travine/exception.h>
#include <travine/smtp.h>

namespace {

// The logger hands over fragments (host, ":\t", line, "\n"); gather them
// into lines. Encoded credentials appear at VERBOSE, so what the client
// writes between an AUTH command and the server's verdict is not printed.
std::string g_line;
bool g_in_auth = false;

void on_log(std::string text, int level) {
    g_line += text;
    if (g_line.empty() || g_line.back() != '\n')
        return;
    std::string line;
    line.swap(g_line);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    std::string::size_type tab = line.find(":\t");
    std::string who = tab == std::string::npos ? "" : line.substr(0, tab + 2);
    std::string what = tab == std::string::npos ? line : line.substr(tab + 2);
    bool reply = what.size() >= 3 && isdigit(static_cast<unsigned char>(what[0])) &&
                 isdigit(static_cast<unsigned char>(what[1])) &&
                 isdigit(static_cast<unsigned char>(what[2]));
    if (what.compare(0, 5, "AUTH ") == 0) {
        g_in_auth = true;
        line = who + what.substr(0, what.find(' ', 5)) + " ...";
    } else if (reply) {
        if (what.compare(0, 3, "334") != 0)
            g_in_auth = false;
    } else if (g_in_auth) {
        line = who + "...";
    }
    std::fprintf(stderr, "[travine %d] %s\n", level, line.c_str());
}

// Reads a TCP port: decimal digits only, 1 to 65535.
bool parse_port(const char* text, u32* port) {
    if (!isdigit(static_cast<unsigned char>(text[0])))
        return false;
    char* end = nullptr;
    errno = 0;
    unsigned long value = std::strtoul(text, &end, 10);
    if (*end != '\0' || errno != 0 || value == 0 || value > 65535)
        return false;
    *port = static_cast<u32>(value);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    u32 port = 0;
    if (argc != 6 || !parse_port(argv[2], &port)) {
        std::fprintf(stderr, "usage: %s HOST PORT CAFILE USER PASSWORD  (PORT: 1 to 65535)\n",
                     argv[0]);
        return 64;
    }
    SMTP session("client.example", "sender@example.test", argv[1], port);
    session.setVerbosity(Logger::VERBOSE);
    session.setCallBackFunction(&on_log);
    session.setSSLOpts(SMTP::STARTTLS, SSLSocket::VERIFY_PEER, argv[3], "");
    session.setCredentials(argv[4], argv[5], SMTP::AUTO);

    // The library sends the text exactly as given: CR LF line ends, and no
    // line of the body may start with a dot unless it is doubled.
    session.addMessage(
        "From: sender@example.test\r\nTo: first@example.test\r\n"
        "Subject: one\r\n\r\nThe first message.\r\n",
        {"first@example.test"});
    session.addMessage(
        "From: sender@example.test\r\nTo: second@example.test, "
        "third@example.test\r\nSubject: two\r\n\r\nThe second message.\r\n",
        {"second@example.test", "third@example.test"});
    try {
        session.sendMessage();
    } catch (const Exception& e) {
        std::fprintf(stderr, "send_two: %s in %s [%u]: %s\n", e.name.c_str(), e.method.c_str(),
                     static_cast<unsigned>(e.index), e.msg.c_str());
        return 1;
    }
    std::printf("send_two: 2 messages sent\n");
    return 0;
}
