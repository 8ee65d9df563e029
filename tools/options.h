// travine-send's command line: the options, the accounts of the config file
// that fill in what the command line leaves open, their refusals, the usage
// text and the exit codes.
#ifndef TRAVINE_TOOLS_OPTIONS_H
#define TRAVINE_TOOLS_OPTIONS_H

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

namespace travine_cli {

// Exit codes, after sysexits.h.
enum ExitCode {
    EXIT_SENT = 0,
    EXIT_USAGE = 64,        // the command line or the message is wrong
    EXIT_DATAERR = 65,      // the server's challenge was not base64
    EXIT_NOINPUT = 66,      // a body, password, attachment or CA file cannot be read
    EXIT_UNAVAILABLE = 69,  // connection, time-out, a refused command
    EXIT_SOFTWARE = 70,     // a failure outside the library's exception family
    EXIT_IOERR = 74,        // a CA location went missing at handshake time
    EXIT_PROTOCOL = 76,     // TLS handshake, verification, TLS I/O
    EXIT_NOPERM = 77,       // the password or token was refused, or the AUTH asked for is missing
    EXIT_CONFIG = 78,       // the config file cannot be used
    EXIT_INTERRUPTED = 130  // Ctrl-C
};

// A refusal before any connection: the text says what is wrong.
struct CliError {
    int code;
    std::string text;
};

// A refusal of the command line or the message.
inline CliError usage_error(const std::string& text) {
    return CliError{EXIT_USAGE, text};
}

enum class TlsMode { NONE, STARTTLS, SMTPS };
enum class AuthMode { NONE, AUTO, PLAIN, LOGIN, CRAM_MD5, CRAM_SHA1, XOAUTH2, OAUTHBEARER };

struct Options {
    // Sendmail mode: the whole message comes from standard input.
    bool sendmail = false;
    bool from_headers = false;  // -t
    bool dot_ends = true;       // a line of a single dot ends the input (no -i)
    std::vector<std::string> operands;

    std::string from;
    std::string full_name;  // -F, for a From field put in front in sendmail mode
    std::vector<std::string> to, cc, bcc;
    std::string reply_to;
    std::vector<std::string> headers;      // "Name: value"
    std::vector<std::string> attachments;  // "FILE[,type]"
    bool subject_given = false;
    std::string subject;
    bool body_given = false;  // --body, or once the body has been read
    std::string body;
    std::string body_file;  // --body-file; neither: standard input
    unsigned long count = 1;

    std::string server;  // without the brackets of "[::1]"
    uint32_t port = 0;   // 0 until parsed: then the given one or the mode's default
    std::string domain;  // empty: the local host name
    TlsMode tls = TlsMode::NONE;
    std::string cafile;
    std::string capath;
    bool insecure = false;
    unsigned long timeout = 30;

    AuthMode auth = AuthMode::NONE;
    bool auth_given = false;
    std::string user;
    std::string password;  // or the access token for XOAUTH2 and OAUTHBEARER
    bool password_given = false;
    bool password_on_command_line = false;
    std::string password_file;
    std::string password_command;
    bool prompt = false;  // the password may be asked for on the terminal

    std::string account;  // the account used, empty for none
    std::string account_file;
    int verbose = 0;  // -v 1, -vv 2
    bool quiet = false;
    bool help = false;
    bool version = false;
    std::vector<std::string> warnings;  // to print before sending
};

// What the program takes from outside its arguments.
struct Environment {
    const char* password = nullptr;  // TRAVINE_PASSWORD, null when not set
    // Where accounts are looked up, in order: the user's file, then the
    // system's; --config replaces them.
    std::vector<std::string> config_files;
    bool as_sendmail = false;  // invoked under the name sendmail
    bool terminal = false;     // a terminal to ask for the password on
};

// The most copies one run sends.
const unsigned long MAX_COUNT = 100000;

// Parses the arguments after the program name and fills in what they leave
// open from the account named by --account or, without --account and
// --server, from the default account. Throws CliError: EXIT_USAGE for an
// unknown option, a missing or bad value, a missing required option or a
// contradiction; EXIT_CONFIG for a config file that cannot be used.
Options parse_args(const std::vector<std::string>& args, const Environment& env);

// The checks of the whole command line once every option is in; called by
// parse_args(). Throws CliError (EXIT_USAGE).
void check_options(Options& o, const Environment& env);

// Reads what the options name: the CA locations are checked, the body or
// the whole message read from in, the password or token taken from its
// file, its command or a prompt on the terminal. Throws CliError
// (EXIT_NOINPUT, or EXIT_USAGE when no password can be had).
void load_inputs(Options& opts, std::istream& in);

// The --help text: every option and exit code.
std::string usage_text();

// The default port of a TLS mode: 25, 587 or 465.
uint32_t default_port(TlsMode mode);

// The lower-case name of a mechanism, as --auth takes it.
const char* auth_name(AuthMode mode);

}  // namespace travine_cli

#endif
