// travine-send's option parsing, message composition and transcript filter.
#include "cli.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <random>
#include <sstream>

namespace travine_cli {

namespace {

CliError usage_error(const std::string& text) {
    return CliError{EXIT_USAGE, text};
}

bool has_line_break(const std::string& s) {
    return s.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

// A decimal number in [lo, hi]; false for anything else (signs, blanks,
// empty, overflow).
bool parse_number(const std::string& s, unsigned long lo, unsigned long hi, unsigned long* out) {
    if (s.empty() || s.size() > 10)
        return false;
    unsigned long v = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + static_cast<unsigned long>(c - '0');
    }
    if (v < lo || v > hi)
        return false;
    *out = v;
    return true;
}

TlsMode parse_tls(const std::string& v) {
    if (v == "none")
        return TlsMode::NONE;
    if (v == "starttls")
        return TlsMode::STARTTLS;
    if (v == "smtps")
        return TlsMode::SMTPS;
    throw usage_error("--tls: unknown mode '" + v + "' (none, starttls or smtps)");
}

AuthMode parse_auth(const std::string& v) {
    if (v == "none")
        return AuthMode::NONE;
    if (v == "auto")
        return AuthMode::AUTO;
    if (v == "plain")
        return AuthMode::PLAIN;
    if (v == "login")
        return AuthMode::LOGIN;
    if (v == "cram-md5")
        return AuthMode::CRAM_MD5;
    if (v == "cram-sha1")
        return AuthMode::CRAM_SHA1;
    throw usage_error("--auth: unknown mechanism '" + v +
                      "' (none, auto, plain, login, cram-md5 or cram-sha1)");
}

// An envelope address as it can stand between angle brackets.
void check_address(const std::string& option, const std::string& addr) {
    if (addr.empty())
        throw usage_error(option + ": empty address");
    for (unsigned char c : addr) {
        if (c <= ' ' || c == 0x7f || c == '<' || c == '>') {
            throw usage_error(option + ": '" + addr +
                              "' is not a bare address (no blanks, line breaks or angle "
                              "brackets)");
        }
    }
}

// Reads all of path; 0 or the errno of the failure.
int read_file(const std::string& path, std::string* out) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            int err = errno;
            ::close(fd);
            return err;
        }
        if (n == 0)
            break;
        out->append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return 0;
}

CliError noinput(const std::string& what, const std::string& path, int err) {
    return CliError{EXIT_NOINPUT, "cannot read " + what + " '" + path + "': " + std::strerror(err)};
}

const char B64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64(const std::string& in) {
    std::string out;
    size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        unsigned v = (static_cast<unsigned char>(in[i]) << 16) |
                     (static_cast<unsigned char>(in[i + 1]) << 8) |
                     static_cast<unsigned char>(in[i + 2]);
        out += B64[(v >> 18) & 63];
        out += B64[(v >> 12) & 63];
        out += B64[(v >> 6) & 63];
        out += B64[v & 63];
    }
    if (i + 1 == in.size()) {
        unsigned v = static_cast<unsigned char>(in[i]) << 16;
        out += B64[(v >> 18) & 63];
        out += B64[(v >> 12) & 63];
        out += "==";
    } else if (i + 2 == in.size()) {
        unsigned v = (static_cast<unsigned char>(in[i]) << 16) |
                     (static_cast<unsigned char>(in[i + 1]) << 8);
        out += B64[(v >> 18) & 63];
        out += B64[(v >> 12) & 63];
        out += B64[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

// A server reply line: three digits, then the end, a blank or a '-'.
bool is_reply(const std::string& s) {
    if (s.size() < 3)
        return false;
    for (int i = 0; i < 3; ++i) {
        if (s[i] < '0' || s[i] > '9')
            return false;
    }
    return s.size() == 3 || s[3] == ' ' || s[3] == '-';
}

bool starts_with_nocase(const std::string& s, const char* prefix) {
    size_t n = std::strlen(prefix);
    if (s.size() < n)
        return false;
    for (size_t i = 0; i < n; ++i) {
        char c = s[i];
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        if (c != prefix[i])
            return false;
    }
    return true;
}

}  // namespace

int exit_code_for(const std::string& name) {
    if (name == "TransferException")
        return EXIT_UNAVAILABLE;
    if (name == "SSLException")
        return EXIT_PROTOCOL;
    if (name == "IOException")
        return EXIT_IOERR;
    if (name == "AuthenticationFailedException")
        return EXIT_NOPERM;
    if (name == "DecodeException")
        return EXIT_DATAERR;
    return EXIT_SOFTWARE;
}

uint32_t default_port(TlsMode mode) {
    switch (mode) {
        case TlsMode::STARTTLS:
            return 587;
        case TlsMode::SMTPS:
            return 465;
        case TlsMode::NONE:
            break;
    }
    return 25;
}

Options parse_args(const std::vector<std::string>& args, const char* env_password) {
    Options o;
    bool port_given = false, count_given = false;
    std::string port_text, count_text;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        if (arg == "-h" || arg == "--help") {
            o.help = true;
            return o;
        }
        if (arg == "--version") {
            o.version = true;
            return o;
        }
        if (arg == "-v" || arg == "--verbose") {
            o.verbose = o.verbose < 2 ? o.verbose + 1 : 2;
            continue;
        }
        if (arg == "-vv") {
            o.verbose = 2;
            continue;
        }
        if (arg == "--insecure") {
            o.insecure = true;
            continue;
        }
        if (arg.compare(0, 2, "--") != 0 || arg == "--") {
            if (!arg.empty() && arg[0] == '-' && arg != "--") {
                throw usage_error("unknown option '" + arg + "'");
            }
            const std::string& extra = arg == "--" && i + 1 < args.size() ? args[i + 1] : arg;
            throw usage_error("unexpected argument '" + extra +
                              "' (the body comes from --body, --body-file or standard input)");
        }
        std::string name = arg, value;
        bool inline_value = false;
        size_t eq = arg.find('=');
        if (eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            inline_value = true;
        }
        static const char* const WITH_VALUE[] = {
            "--server",    "--port",     "--from",          "--to",     "--subject", "--body",
            "--body-file", "--domain",   "--tls",           "--cafile", "--capath",  "--auth",
            "--user",      "--password", "--password-file", "--count"};
        bool known = false;
        for (const char* n : WITH_VALUE)
            known = known || name == n;
        if (!known) {
            if (inline_value && (name == "--insecure" || name == "--help" || name == "--version" ||
                                 name == "--verbose")) {
                throw usage_error(name + " takes no value");
            }
            throw usage_error("unknown option '" + name + "'");
        }
        if (!inline_value) {
            if (i + 1 >= args.size())
                throw usage_error(name + " needs a value");
            value = args[++i];
        }
        if (name == "--server") {
            o.server = value;
        } else if (name == "--port") {
            port_text = value;
            port_given = true;
        } else if (name == "--from") {
            o.from = value;
        } else if (name == "--to") {
            check_address("--to", value);
            o.to.push_back(value);
        } else if (name == "--subject") {
            o.subject = value;
        } else if (name == "--body") {
            o.body = value;
            o.body_given = true;
        } else if (name == "--body-file") {
            if (value.empty())
                throw usage_error("--body-file: empty file name");
            o.body_file = value;
        } else if (name == "--domain") {
            o.domain = value;
        } else if (name == "--tls") {
            o.tls = parse_tls(value);
        } else if (name == "--cafile") {
            if (value.empty())
                throw usage_error("--cafile: empty file name");
            o.cafile = value;
        } else if (name == "--capath") {
            if (value.empty())
                throw usage_error("--capath: empty directory name");
            o.capath = value;
        } else if (name == "--auth") {
            o.auth = parse_auth(value);
            o.auth_given = true;
        } else if (name == "--user") {
            o.user = value;
        } else if (name == "--password") {
            o.password = value;
            o.password_given = true;
            o.password_on_command_line = true;
        } else if (name == "--password-file") {
            if (value.empty())
                throw usage_error("--password-file: empty file name");
            o.password_file = value;
        } else if (name == "--count") {
            count_text = value;
            count_given = true;
        }
    }

    if (o.server.empty())
        throw usage_error("--server HOST is required");
    if (has_line_break(o.server) || o.server.find(' ') != std::string::npos) {
        throw usage_error("--server: '" + o.server + "' is not a host name");
    }
    if (o.from.empty())
        throw usage_error("--from ADDRESS is required");
    check_address("--from", o.from);
    if (o.to.empty())
        throw usage_error("at least one --to ADDRESS is required");
    if (has_line_break(o.subject))
        throw usage_error("--subject: line breaks are not allowed");
    if (!o.domain.empty()) {
        for (unsigned char c : o.domain) {
            if (c <= ' ' || c == 0x7f) {
                throw usage_error("--domain: '" + o.domain + "' is not a host name");
            }
        }
    }
    if (port_given) {
        unsigned long p = 0;
        if (!parse_number(port_text, 1, 65535, &p)) {
            throw usage_error("--port: '" + port_text + "' is not a number from 1 to 65535");
        }
        o.port = static_cast<uint32_t>(p);
    } else {
        o.port = default_port(o.tls);
    }
    if (count_given) {
        unsigned long c = 0;
        if (!parse_number(count_text, 1, MAX_COUNT, &c)) {
            throw usage_error("--count: '" + count_text + "' is not a number from 1 to " +
                              std::to_string(MAX_COUNT));
        }
        o.count = c;
    }
    if (o.body_given && !o.body_file.empty()) {
        throw usage_error("--body and --body-file exclude each other");
    }

    // TLS and certificate verification.
    bool ca_given = !o.cafile.empty() || !o.capath.empty();
    if (o.tls == TlsMode::NONE) {
        if (ca_given || o.insecure) {
            throw usage_error(std::string(ca_given ? "--cafile/--capath" : "--insecure") +
                              " needs --tls starttls or --tls smtps");
        }
    } else if (o.insecure && ca_given) {
        throw usage_error("--insecure and --cafile/--capath exclude each other");
    } else if (!o.insecure && !ca_given) {
        throw usage_error(
            "TLS needs --cafile FILE or --capath DIR to verify the server (no system trust "
            "store is used), or --insecure to skip verification");
    }

    // Authentication.
    if (!o.user.empty() && !o.auth_given)
        o.auth = AuthMode::AUTO;
    if (has_line_break(o.user))
        throw usage_error("--user: line breaks are not allowed");
    if (o.password_on_command_line && !o.password_file.empty()) {
        throw usage_error("--password and --password-file exclude each other");
    }
    if (o.auth == AuthMode::NONE) {
        if (o.auth_given &&
            (!o.user.empty() || o.password_on_command_line || !o.password_file.empty())) {
            throw usage_error("--auth none contradicts --user/--password/--password-file");
        }
        if (o.password_on_command_line || !o.password_file.empty()) {
            throw usage_error("a password needs --user (and optionally --auth)");
        }
    } else {
        if (o.user.empty())
            throw usage_error("--auth needs --user NAME");
        if (!o.password_given && o.password_file.empty()) {
            if (env_password != nullptr) {
                o.password = env_password;
                o.password_given = true;
            } else {
                throw usage_error(
                    "--auth needs a password: --password-file FILE or the environment "
                    "variable TRAVINE_PASSWORD");
            }
        }
        if (o.password_on_command_line) {
            o.warnings.push_back(
                "warning: --password puts the password where other users of this machine "
                "can see it (process list); use --password-file or TRAVINE_PASSWORD");
        }
        if (o.tls == TlsMode::NONE && o.auth != AuthMode::CRAM_MD5 &&
            o.auth != AuthMode::CRAM_SHA1) {
            o.warnings.push_back(
                "warning: without --tls the credentials cross the network readable by anyone "
                "on the path");
        }
    }
    if (o.insecure) {
        o.warnings.push_back(
            "WARNING: --insecure: the server's certificate is NOT verified; anyone between "
            "here and the server can read and change this session, credentials included");
    }
    return o;
}

void load_inputs(Options& o, std::istream& in) {
    if (!o.cafile.empty()) {
        struct stat st;
        if (::stat(o.cafile.c_str(), &st) != 0)
            throw noinput("--cafile", o.cafile, errno);
        if (S_ISDIR(st.st_mode))
            throw noinput("--cafile", o.cafile, EISDIR);
        if (::access(o.cafile.c_str(), R_OK) != 0)
            throw noinput("--cafile", o.cafile, errno);
    }
    if (!o.capath.empty()) {
        struct stat st;
        if (::stat(o.capath.c_str(), &st) != 0)
            throw noinput("--capath", o.capath, errno);
        if (!S_ISDIR(st.st_mode))
            throw noinput("--capath", o.capath, ENOTDIR);
        if (::access(o.capath.c_str(), R_OK | X_OK) != 0) {
            throw noinput("--capath", o.capath, errno);
        }
    }
    if (!o.password_file.empty()) {
        std::string text;
        int err = read_file(o.password_file, &text);
        if (err != 0)
            throw noinput("password file", o.password_file, err);
        std::string line = text.substr(0, text.find('\n'));
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty()) {
            throw CliError{EXIT_NOINPUT,
                           "password file '" + o.password_file + "' holds no password"};
        }
        o.password = line;
        o.password_given = true;
    }
    if (o.body_given)
        return;
    if (!o.body_file.empty() && o.body_file != "-") {
        std::string text;
        int err = read_file(o.body_file, &text);
        if (err != 0)
            throw noinput("body file", o.body_file, err);
        o.body = text;
    } else {
        o.body.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (in.bad())
            throw CliError{EXIT_NOINPUT, "cannot read the body from standard input"};
    }
    o.body_given = true;
}

std::string usage_text() {
    return "Usage: travine-send --server HOST --from ADDRESS --to ADDRESS... [options]\n"
           "Send a plain-text mail over SMTP with the travine library.\n"
           "\n"
           "Message:\n"
           "  --from ADDRESS        envelope sender and From header (required)\n"
           "  --to ADDRESS          recipient; repeat for more (at least one)\n"
           "  --subject TEXT        Subject header (UTF-8 is encoded as needed)\n"
           "  --body TEXT           the body; or\n"
           "  --body-file FILE      read the body from FILE ('-': standard input);\n"
           "                        without either the body is read from standard input\n"
           "  --count N             send N copies over one connection (1 to 100000)\n"
           "\n"
           "Server:\n"
           "  --server HOST         mail server (required)\n"
           "  --port N              port; default 25, 587 with starttls, 465 with smtps\n"
           "  --domain NAME         name announced in HELO/EHLO (default: this host's name)\n"
           "  --tls MODE            none (default), starttls or smtps (TLS from the start)\n"
           "  --cafile FILE         CA certificates (PEM) that verify the server\n"
           "  --capath DIR          hashed directory of CA certificates\n"
           "  --insecure            do not verify the server's certificate (dangerous)\n"
           "                        TLS needs --cafile, --capath or --insecure: no system\n"
           "                        trust store is used, and host names are not checked.\n"
           "\n"
           "Authentication:\n"
           "  --auth MECH           none (default), auto, plain, login, cram-md5, cram-sha1;\n"
           "                        --user alone means auto\n"
           "  --user NAME           user name\n"
           "  --password-file FILE  password: the first line of FILE; or set\n"
           "                        TRAVINE_PASSWORD in the environment\n"
           "  --password TEXT       works, but other users can see it\n"
           "\n"
           "Output:\n"
           "  -v, --verbose         print the SMTP dialogue on standard error, credentials\n"
           "                        masked; -vv shows them\n"
           "  -h, --help            this text\n"
           "  --version             version of travine-send and OpenSSL\n"
           "\n"
           "Exit status:\n"
           "   0  every message was accepted and the session ended with QUIT\n"
           "  64  usage: unknown option, missing or bad value\n"
           "  65  the server's authentication challenge was not base64 (DecodeException)\n"
           "  66  a body, password or CA file or directory cannot be read\n"
           "  69  connection, time-out, or a reply that refused a command; a wrong\n"
           "      password shows here too (TransferException)\n"
           "  70  internal error\n"
           "  74  a CA file or directory went missing (IOException)\n"
           "  76  TLS handshake, certificate verification or TLS I/O failed (SSLException)\n"
           "  77  the server does not offer the requested authentication\n"
           "      (AuthenticationFailedException)\n";
}

std::string rfc5322_date(const std::tm& tm, long offset) {
    static const char* const DAYS[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const MONTHS[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char sign = offset < 0 ? '-' : '+';
    long a = offset < 0 ? -offset : offset;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld",
                  DAYS[((tm.tm_wday % 7) + 7) % 7], tm.tm_mday,
                  MONTHS[((tm.tm_mon % 12) + 12) % 12], tm.tm_year + 1900, tm.tm_hour, tm.tm_min,
                  tm.tm_sec, sign, a / 60, a % 60);
    return buf;
}

std::string rfc5322_date(std::time_t t) {
    std::tm tm;
    localtime_r(&t, &tm);
    return rfc5322_date(tm, tm.tm_gmtoff / 60);
}

std::string make_message_id(const std::string& domain) {
    static std::atomic<unsigned long> counter{0};
    static std::mt19937_64 rng{std::random_device{}()};
    std::string right = domain.empty() ? "localhost" : domain;
    for (char& c : right) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '.' || c == '-';
        if (!ok)
            c = '-';
    }
    char buf[96];
    std::snprintf(buf, sizeof buf, "%lx.%lx.%lu.%016llx",
                  static_cast<unsigned long>(std::time(nullptr)),
                  static_cast<unsigned long>(::getpid()), counter.fetch_add(1),
                  static_cast<unsigned long long>(rng()));
    return "<" + std::string(buf) + "@" + right + ">";
}

std::string smtp_body(const std::string& body) {
    std::string out;
    out.reserve(body.size() + body.size() / 32 + 2);
    bool line_start = true;
    for (size_t i = 0; i < body.size(); ++i) {
        char c = body[i];
        if (c == '\r' || c == '\n') {
            if (c == '\r' && i + 1 < body.size() && body[i + 1] == '\n')
                ++i;
            out += "\r\n";
            line_start = true;
            continue;
        }
        if (line_start && c == '.')
            out += '.';
        out += c;
        line_start = false;
    }
    if (out.size() >= 2 && out.compare(out.size() - 2, 2, "\r\n") == 0)
        out.resize(out.size() - 2);
    return out;
}

std::string encode_subject(const std::string& subject) {
    bool ascii = true;
    for (unsigned char c : subject)
        ascii = ascii && c >= 0x20 && c < 0x7f;
    if (ascii) {
        // Fold long subjects before a blank; a continuation line starts
        // with that blank and never holds blanks alone.
        std::string out;
        size_t col = 9;  // "Subject: "
        size_t start = 0;
        while (start < subject.size()) {
            size_t sp = subject.find(' ', start + 1);
            std::string word =
                subject.substr(start, sp == std::string::npos ? std::string::npos : sp - start);
            if (word[0] == ' ' && word.size() > 1 && col > 9 && col + word.size() > 78) {
                out += "\r\n";
                col = 0;
            }
            out += word;
            col += word.size();
            if (sp == std::string::npos)
                break;
            start = sp;
        }
        return out;
    }
    // Encoded words of at most 39 bytes each (52 base64 characters), cut
    // only before the start of a UTF-8 character.
    std::string out;
    size_t i = 0;
    while (i < subject.size()) {
        size_t end = i + 39 < subject.size() ? i + 39 : subject.size();
        if (end < subject.size()) {
            size_t e = end;
            while (e > i && (static_cast<unsigned char>(subject[e]) & 0xC0) == 0x80)
                --e;
            if (e > i)
                end = e;
        }
        if (!out.empty())
            out += "\r\n ";
        out += "=?UTF-8?B?" + base64(subject.substr(i, end - i)) + "?=";
        i = end;
    }
    return out;
}

std::string compose_message(const MessageParts& p) {
    std::string h = "From: " + p.from + "\r\n";
    std::string line = "To: ";
    h += "To: ";
    for (size_t i = 0; i < p.to.size(); ++i) {
        if (i > 0) {
            if (line.size() + 2 + p.to[i].size() > 78) {
                h += ",\r\n ";
                line = " ";
            } else {
                h += ", ";
                line += ", ";
            }
        }
        h += p.to[i];
        line += p.to[i];
    }
    h += "\r\n";
    h += "Subject: " + encode_subject(p.subject) + "\r\n";
    h += "Date: " + p.date + "\r\n";
    h += "Message-ID: " + p.message_id + "\r\n";
    h += "MIME-Version: 1.0\r\n";
    h += "Content-Type: text/plain; charset=UTF-8\r\n";
    h += "Content-Transfer-Encoding: 8bit\r\n";
    std::string body = smtp_body(p.body);
    if (body.empty())
        return h;
    return h + "\r\n" + body;
}

const char* const Transcript::MASK = "********";

std::vector<std::string> Transcript::add(const std::string& fragment) {
    pending_ += fragment;
    if (fragment.empty() || fragment.back() != '\n')
        return {};
    std::string entry;
    entry.swap(pending_);
    return finish(entry);
}

std::vector<std::string> Transcript::finish(const std::string& entry) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < entry.size()) {
        size_t nl = entry.find('\n', start);
        std::string l = entry.substr(start, nl - start);
        if (!l.empty() && l.back() == '\r')
            l.pop_back();
        lines.push_back(l);
        if (nl == std::string::npos)
            break;
        start = nl + 1;
    }
    if (lines.empty())
        return lines;

    const bool data_end = entry.size() >= 5 && entry.compare(entry.size() - 5, 5, "\r\n.\r\n") == 0;
    if (data_end) {
        data_sent_ = true;
        return lines;
    }
    if (lines.size() != 1)
        return lines;

    std::string& line = lines[0];
    size_t sep = line.find(":\t");
    if (sep == std::string::npos)
        return lines;
    const std::string prefix = line.substr(0, sep + 2);
    const std::string content = line.substr(sep + 2);

    if (is_reply(content)) {
        bool last = content.size() == 3 || content[3] != '-';
        if (data_sent_ && last) {
            if (content.compare(0, 3, "250") == 0)
                ++accepted_;
            data_sent_ = false;
        }
        if (secret_lines_ > 0 && content.compare(0, 3, "334") != 0)
            secret_lines_ = 0;
        return lines;
    }
    if (prefix == "SSLInfo:\t")
        return lines;

    if (secret_lines_ > 0) {
        --secret_lines_;
        if (!show_secrets_)
            line = prefix + MASK;
        return lines;
    }
    if (starts_with_nocase(content, "AUTH PLAIN")) {
        if (content.size() > 11) {
            if (!show_secrets_)
                line = prefix + content.substr(0, 11) + MASK;
        } else {
            secret_lines_ = 1;
        }
    } else if (starts_with_nocase(content, "AUTH LOGIN")) {
        if (content.size() > 11) {
            if (!show_secrets_)
                line = prefix + content.substr(0, 11) + MASK;
            secret_lines_ = 1;
        } else {
            secret_lines_ = 2;
        }
    } else if (starts_with_nocase(content, "AUTH CRAM-")) {
        secret_lines_ = 1;
    }
    return lines;
}

std::string progress_bar(unsigned long done, unsigned long total, int width) {
    if (width < 1)
        width = 1;
    if (done > total)
        done = total;
    unsigned long filled = total == 0 ? 0 : done * static_cast<unsigned long>(width) / total;
    std::string bar = "[" + std::string(filled, '#') +
                      std::string(static_cast<size_t>(width) - filled, '.') + "] ";
    std::string count = std::to_string(done) + "/" + std::to_string(total);
    std::string t = std::to_string(total);
    return bar + std::string(2 * t.size() + 1 - count.size(), ' ') + count;
}

}  // namespace travine_cli
