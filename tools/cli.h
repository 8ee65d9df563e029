// The parts of travine-send that need no network: option parsing, message
// composition, the transcript filter and the exit-code table.
#ifndef TRAVINE_TOOLS_CLI_H
#define TRAVINE_TOOLS_CLI_H

#include <cstdint>
#include <ctime>
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

// The exit code for an exception of the library's family, by its name.
int exit_code_for(const std::string& exception_name);

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

// The --help text.
std::string usage_text();

// The default port of a TLS mode: 25, 587 or 465.
uint32_t default_port(TlsMode mode);

// "Tue, 02 Dec 2025 14:03:09 +0100": RFC 5322 date of t in local time.
std::string rfc5322_date(std::time_t t);
// The same with an explicit offset from UTC in minutes (for tests).
std::string rfc5322_date(const std::tm& local, long utc_offset_minutes);

// "<unique@domain>".
std::string make_message_id(const std::string& domain);

// The body as SMTP DATA text: line ends (LF, CR LF or lone CR) become
// CR LF, a line that starts with "." gets another "." in front, and a
// final line end is dropped (the library appends "\r\n.\r\n").
std::string smtp_body(const std::string& body);

// A Subject value as it may stand in a header: unchanged when it is
// printable ASCII, otherwise as RFC 2047 encoded words (UTF-8, base64)
// folded onto continuation lines.
std::string encode_subject(const std::string& subject);

struct MessageParts {
    std::string from;
    std::vector<std::string> to;
    std::string subject;
    std::string date;
    std::string message_id;
    std::string body;
};

// The complete text handed to the library: the header lines From, To,
// Subject, Date, Message-ID, MIME-Version, Content-Type and
// Content-Transfer-Encoding ended by CR LF, a blank line and smtp_body().
// With an empty body the text ends after the last header's CR LF, so that
// the library's "\r\n.\r\n" supplies the blank line.
std::string compose_message(const MessageParts& parts);

// Gathers the session's log fragments into transcript entries and hides
// credentials. An entry ends with a fragment that ends in a line feed: a
// line read ("host:\tline\n") or a buffer written ("host:\tdata").
class Transcript {
public:
    explicit Transcript(bool show_secrets) : show_secrets_(show_secrets) {}

    // Takes one fragment; returns the finished entries it completes, each
    // split into lines without line ends, credentials masked unless shown.
    std::vector<std::string> add(const std::string& fragment);
    // Messages the server accepted after their end-of-data marker.
    unsigned long accepted() const { return accepted_; }

    static const char* const MASK;

private:
    std::vector<std::string> finish(const std::string& entry);

    bool show_secrets_;
    std::string pending_;
    int secret_lines_ = 0;  // client lines after AUTH that carry credentials
    bool data_sent_ = false;
    unsigned long accepted_ = 0;
};

// "[#####.....]  3/10" sized to width columns.
std::string progress_bar(unsigned long done, unsigned long total, int width);

}  // namespace travine_cli

#endif
