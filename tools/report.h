// What travine-send tells a person: a failure in plain words with its exit
// code, the summary of a success, and any text from outside with its
// control characters made visible.
#ifndef TRAVINE_TOOLS_REPORT_H
#define TRAVINE_TOOLS_REPORT_H

#include <string>
#include <vector>

#include "options.h"
#include "transcript.h"

class Exception;

namespace travine_cli {

// text with C0 control characters (tab aside), DEL and the C1 controls of
// UTF-8 written as \r, \n or \xHH (\u0080 to \u009f for C1).
std::string visible(const std::string& text);

// "host:port", an IPv6 address in brackets.
std::string endpoint(const std::string& host, unsigned long port);

// Where the session stood when it failed.
struct Context {
    const Options* options;
    Transcript::Step step;
    std::string address;  // of the last MAIL FROM or RCPT TO
};

struct Report {
    int code;
    std::string text;  // one line, plain words; outside text not yet made visible
};

// The failure e in plain words, such as "connection refused by
// 127.0.0.1:2525" or "the server refused the password (535 5.7.8 ...)",
// and the exit code: EXIT_NOPERM for a refused password or token and for
// an AUTH the server lacks, EXIT_UNAVAILABLE for other refusals and for
// connections, EXIT_PROTOCOL for TLS, EXIT_IOERR, EXIT_DATAERR.
Report describe(const Exception& e, const Context& c);

// The exit codes and what each means, one to a line (more for a long one).
std::string exit_codes_text();

// "sent 2 messages to a@x.test, b@x.test through mx.example.org:587".
std::string summary(const Options& o, const std::vector<std::string>& rcpts);

}  // namespace travine_cli

#endif
