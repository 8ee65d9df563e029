// travine-send's command line: the options, their refusals, the inputs they
// name, the usage text and the exit codes.
#ifndef TRAVINE_TOOLS_OPTIONS_H
#define TRAVINE_TOOLS_OPTIONS_H

#include <cstdint>
#include <exception>
#include <istream>
#include <string>
#include <vector>

namespace travine_cli {

// Exit codes, after sysexits.h.
enum ExitCode {
    EXIT_SENT = 0,
    EXIT_USAGE = 64,        // the command line is wrong
    EXIT_DATAERR = 65,      // DecodeException: the server's challenge was not base64
    EXIT_NOINPUT = 66,      // a body, password or CA file cannot be read
    EXIT_UNAVAILABLE = 69,  // TransferException: connection, time-out, refusal
    EXIT_SOFTWARE = 70,     // a failure outside the library's exception family
    EXIT_IOERR = 74,        // IOException: CA location missing at handshake time
    EXIT_PROTOCOL = 76,     // SSLException: TLS handshake, verification, TLS I/O
    EXIT_NOPERM = 77,       // AuthenticationFailedException: AUTH not offered
};

// The exit code for failure, by the class of the library's exception it
// holds; EXIT_SOFTWARE for anything else.
int exit_code_for(std::exception_ptr failure);

// A refusal before any connection: the text says what is wrong.
struct CliError {
    int code;
    std::string text;
};

enum class TlsMode { NONE, STARTTLS, SMTPS };
enum class AuthMode { NONE, AUTO, PLAIN, LOGIN, CRAM_MD5, CRAM_SHA1 };

struct Options {
    std::string server;
    uint32_t port = 0;  // 0 until parsed: then the given one or the mode's default
    std::string from;
    std::vector<std::string> to;
    std::string subject;
    bool body_given = false;  // --body
    std::string body;
    std::string body_file;  // --body-file; neither: standard input
    std::string domain;     // empty: the local host name
    TlsMode tls = TlsMode::NONE;
    std::string cafile;
    std::string capath;
    bool insecure = false;
    AuthMode auth = AuthMode::NONE;
    bool auth_given = false;
    std::string user;
    std::string password;
    bool password_given = false;  // from --password, the file or the environment
    bool password_on_command_line = false;
    std::string password_file;
    unsigned long count = 1;
    int verbose = 0;  // -v 1, -vv 2
    bool help = false;
    bool version = false;
    std::vector<std::string> warnings;  // to print before sending
};

// The most copies one run sends.
const unsigned long MAX_COUNT = 100000;

// Parses the arguments after the program name. env_password is the value
// of TRAVINE_PASSWORD, or null when it is not set. Reads no file. Throws
// CliError (EXIT_USAGE) for an unknown option, a missing or bad value, a
// missing required option or a contradiction.
Options parse_args(const std::vector<std::string>& args, const char* env_password);

// Reads the password file (first line, without its line end) and the body
// (--body, --body-file, else in), and checks that the CA locations can be
// read. Throws CliError (EXIT_NOINPUT) naming the file that cannot be read.
void load_inputs(Options& opts, std::istream& in);

// The --help text: every option and exit code.
std::string usage_text();

// The default port of a TLS mode: 25, 587 or 465.
uint32_t default_port(TlsMode mode);

}  // namespace travine_cli

#endif
