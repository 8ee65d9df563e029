// travine-send's command line. One table of options drives both the parser
// and the usage text.
#include "options.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>

#include "exception.h"

namespace travine_cli {

namespace {

CliError usage_error(const std::string& text) {
    return CliError{EXIT_USAGE, text};
}

// What the options fill in: the options, the numbers as given (judged once
// every option is in), and the option being applied, for refusals.
struct Parsed {
    Options o;
    std::optional<std::string> port, count;
    const char* option = "";
};

bool has_line_break(const std::string& s) {
    return s.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

// The choice named v; refuses any other name, listing the choices.
template <class T, size_t N>
T choose(const char* option, const char* what, const std::string& v,
         const std::pair<const char*, T> (&choices)[N]) {
    std::string names;
    for (size_t i = 0; i < N; ++i) {
        if (v == choices[i].first)
            return choices[i].second;
        names += std::string(i == 0 ? "" : i + 1 == N ? " or " : ", ") + choices[i].first;
    }
    throw usage_error(std::string(option) + ": unknown " + what + " '" + v + "' (" + names + ")");
}

const std::pair<const char*, TlsMode> TLS_MODES[] = {
    {"none", TlsMode::NONE}, {"starttls", TlsMode::STARTTLS}, {"smtps", TlsMode::SMTPS}};
const std::pair<const char*, AuthMode> AUTH_MODES[] = {
    {"none", AuthMode::NONE},         {"auto", AuthMode::AUTO},
    {"plain", AuthMode::PLAIN},       {"login", AuthMode::LOGIN},
    {"cram-md5", AuthMode::CRAM_MD5}, {"cram-sha1", AuthMode::CRAM_SHA1}};

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

// A file (or directory) name, which must not be empty.
std::string path(const Parsed& p, const std::string& v, const char* what = "file") {
    if (v.empty())
        throw usage_error(std::string(p.option) + ": empty " + what + " name");
    return v;
}

struct Option {
    const char* section;  // its heading in the usage text
    const char* flag;     // the short spelling, or null
    const char* name;     // the long spelling ("--name VALUE", "--name=VALUE"), or null
    const char* value;    // what its value is called; null for an option without one
    const char* help;     // its usage lines, '\n' between them; null: not listed
    void (*apply)(Parsed& p, const std::string& value);
};

const Option OPTIONS[] = {
    {"Message", nullptr, "--from", "ADDRESS", "envelope sender and From header (required)",
     [](Parsed& p, const std::string& v) { p.o.from = v; }},
    {"Message", nullptr, "--to", "ADDRESS", "recipient; repeat for more (at least one)",
     [](Parsed& p, const std::string& v) {
         check_address(p.option, v);
         p.o.to.push_back(v);
     }},
    {"Message", nullptr, "--subject", "TEXT", "Subject header (UTF-8 is encoded as needed)",
     [](Parsed& p, const std::string& v) { p.o.subject = v; }},
    {"Message", nullptr, "--body", "TEXT", "the body; or",
     [](Parsed& p, const std::string& v) {
         p.o.body = v;
         p.o.body_given = true;
     }},
    {"Message", nullptr, "--body-file", "FILE",
     "read the body from FILE ('-': standard input);\n"
     "without either the body is read from standard input",
     [](Parsed& p, const std::string& v) { p.o.body_file = path(p, v); }},
    {"Message", nullptr, "--count", "N", "send N copies over one connection (1 to 100000)",
     [](Parsed& p, const std::string& v) { p.count = v; }},
    {"Server", nullptr, "--server", "HOST", "mail server (required)",
     [](Parsed& p, const std::string& v) { p.o.server = v; }},
    {"Server", nullptr, "--port", "N", "port; default 25, 587 with starttls, 465 with smtps",
     [](Parsed& p, const std::string& v) { p.port = v; }},
    {"Server", nullptr, "--domain", "NAME",
     "name announced in HELO/EHLO (default: this host's name)",
     [](Parsed& p, const std::string& v) { p.o.domain = v; }},
    {"Server", nullptr, "--tls", "MODE", "none (default), starttls or smtps (TLS from the start)",
     [](Parsed& p, const std::string& v) { p.o.tls = choose(p.option, "mode", v, TLS_MODES); }},
    {"Server", nullptr, "--cafile", "FILE", "CA certificates (PEM) that verify the server",
     [](Parsed& p, const std::string& v) { p.o.cafile = path(p, v); }},
    {"Server", nullptr, "--capath", "DIR", "hashed directory of CA certificates",
     [](Parsed& p, const std::string& v) { p.o.capath = path(p, v, "directory"); }},
    {"Server", nullptr, "--insecure", nullptr,
     "do not verify the server's certificate (dangerous)\n"
     "TLS needs --cafile, --capath or --insecure: no system\n"
     "trust store is used, and host names are not checked.",
     [](Parsed& p, const std::string&) { p.o.insecure = true; }},
    {"Authentication", nullptr, "--auth", "MECH",
     "none (default), auto, plain, login, cram-md5, cram-sha1;\n--user alone means auto",
     [](Parsed& p, const std::string& v) {
         p.o.auth = choose(p.option, "mechanism", v, AUTH_MODES);
         p.o.auth_given = true;
     }},
    {"Authentication", nullptr, "--user", "NAME", "user name",
     [](Parsed& p, const std::string& v) { p.o.user = v; }},
    {"Authentication", nullptr, "--password-file", "FILE",
     "password: the first line of FILE; or set\nTRAVINE_PASSWORD in the environment",
     [](Parsed& p, const std::string& v) { p.o.password_file = path(p, v); }},
    {"Authentication", nullptr, "--password", "TEXT", "works, but other users can see it",
     [](Parsed& p, const std::string& v) {
         p.o.password = v;
         p.o.password_given = true;
         p.o.password_on_command_line = true;
     }},
    {"Output", "-v", "--verbose", nullptr,
     "print the SMTP dialogue on standard error, credentials\nmasked; -vv shows them",
     [](Parsed& p, const std::string&) { p.o.verbose = p.o.verbose < 2 ? p.o.verbose + 1 : 2; }},
    {"Output", "-vv", nullptr, nullptr, nullptr,
     [](Parsed& p, const std::string&) { p.o.verbose = 2; }},
    {"Output", "-h", "--help", nullptr, "this text",
     [](Parsed& p, const std::string&) { p.o.help = true; }},
    {"Output", nullptr, "--version", nullptr, "version of travine-send and OpenSSL",
     [](Parsed& p, const std::string&) { p.o.version = true; }},
};

const std::pair<int, const char*> EXIT_TEXTS[] = {
    {EXIT_SENT, "every message was accepted and the session ended with QUIT"},
    {EXIT_USAGE, "usage: unknown option, missing or bad value"},
    {EXIT_DATAERR, "the server's authentication challenge was not base64 (DecodeException)"},
    {EXIT_NOINPUT, "a body, password or CA file or directory cannot be read"},
    {EXIT_UNAVAILABLE,
     "connection, time-out, or a reply that refused a command; a wrong\n"
     "password shows here too (TransferException)"},
    {EXIT_SOFTWARE, "internal error"},
    {EXIT_IOERR, "a CA file or directory went missing (IOException)"},
    {EXIT_PROTOCOL, "TLS handshake, certificate verification or TLS I/O failed (SSLException)"},
    {EXIT_NOPERM,
     "the server does not offer the requested authentication\n"
     "(AuthenticationFailedException)"},
};

// The option spelled exactly s (short or long), or null.
const Option* spelled(const std::string& s, bool long_only) {
    for (const Option& opt : OPTIONS) {
        if ((opt.name != nullptr && s == opt.name) ||
            (!long_only && opt.flag != nullptr && s == opt.flag))
            return &opt;
    }
    return nullptr;
}

// Refuses args[i], which is no option: a word, "-x" or "--".
[[noreturn]] void refuse_argument(const std::vector<std::string>& args, size_t i) {
    const std::string& arg = args[i];
    if (!arg.empty() && arg[0] == '-' && arg != "--")
        throw usage_error("unknown option '" + arg + "'");
    const std::string& extra = arg == "--" && i + 1 < args.size() ? args[i + 1] : arg;
    throw usage_error("unexpected argument '" + extra +
                      "' (the body comes from --body, --body-file or standard input)");
}

// The number given for an option, from 1 to max, or fallback when it was
// not given. Refuses anything else (signs, blanks, empty, overflow).
unsigned long number(const std::optional<std::string>& given, const char* option, unsigned long max,
                     unsigned long fallback) {
    if (!given)
        return fallback;
    bool ok = !given->empty() && given->size() <= 10;
    unsigned long v = 0;
    for (char c : *given) {
        ok = ok && c >= '0' && c <= '9';
        v = v * 10 + static_cast<unsigned long>(c - '0');
    }
    if (!ok || v < 1 || v > max) {
        throw usage_error(std::string(option) + ": '" + *given + "' is not a number from 1 to " +
                          std::to_string(max));
    }
    return v;
}

// The checks of the whole command line once every option is in.
void check_message(Options& o) {
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
    for (unsigned char c : o.domain) {
        if (c <= ' ' || c == 0x7f)
            throw usage_error("--domain: '" + o.domain + "' is not a host name");
    }
}

void check_tls(const Options& o) {
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
}

void check_auth(Options& o, const char* env_password) {
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
        return;
    }
    if (o.user.empty())
        throw usage_error("--auth needs --user NAME");
    if (!o.password_given && o.password_file.empty()) {
        if (env_password == nullptr) {
            throw usage_error(
                "--auth needs a password: --password-file FILE or the environment "
                "variable TRAVINE_PASSWORD");
        }
        o.password = env_password;
        o.password_given = true;
    }
    if (o.password_on_command_line) {
        o.warnings.push_back(
            "warning: --password puts the password where other users of this machine "
            "can see it (process list); use --password-file or TRAVINE_PASSWORD");
    }
    if (o.tls == TlsMode::NONE && o.auth != AuthMode::CRAM_MD5 && o.auth != AuthMode::CRAM_SHA1) {
        o.warnings.push_back(
            "warning: without --tls the credentials cross the network readable by anyone "
            "on the path");
    }
}

// text with every line after the first indented by indent blanks, and a
// line end.
std::string indented(const std::string& text, size_t indent) {
    std::string out;
    for (char c : text)
        out += c == '\n' ? "\n" + std::string(indent, ' ') : std::string(1, c);
    return out + "\n";
}

}  // namespace

int exit_code_for(std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const TransferException&) {
        return EXIT_UNAVAILABLE;
    } catch (const SSLException&) {
        return EXIT_PROTOCOL;
    } catch (const IOException&) {
        return EXIT_IOERR;
    } catch (const AuthenticationFailedException&) {
        return EXIT_NOPERM;
    } catch (const DecodeException&) {
        return EXIT_DATAERR;
    } catch (...) {
        return EXIT_SOFTWARE;
    }
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
    Parsed p;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i], value;
        const Option* opt = spelled(name, false);
        bool inline_value = false;
        if (opt == nullptr) {
            if (name.compare(0, 2, "--") != 0 || name == "--")
                refuse_argument(args, i);
            size_t eq = name.find('=');
            if (eq != std::string::npos) {
                value = name.substr(eq + 1);
                name.erase(eq);
                inline_value = true;
            }
            opt = spelled(name, true);
            if (opt == nullptr)
                throw usage_error("unknown option '" + name + "'");
        }
        if (opt->value == nullptr && inline_value)
            throw usage_error(name + " takes no value");
        if (opt->value != nullptr && !inline_value) {
            if (i + 1 >= args.size())
                throw usage_error(name + " needs a value");
            value = args[++i];
        }
        p.option = opt->name != nullptr ? opt->name : opt->flag;
        opt->apply(p, value);
        if (p.o.help || p.o.version)
            return p.o;
    }
    Options& o = p.o;
    check_message(o);
    o.port = static_cast<uint32_t>(number(p.port, "--port", 65535, default_port(o.tls)));
    o.count = number(p.count, "--count", MAX_COUNT, 1);
    if (o.body_given && !o.body_file.empty())
        throw usage_error("--body and --body-file exclude each other");
    check_tls(o);
    check_auth(o, env_password);
    if (o.insecure) {
        o.warnings.push_back(
            "WARNING: --insecure: the server's certificate is NOT verified; anyone between "
            "here and the server can read and change this session, credentials included");
    }
    return o;
}

std::string usage_text() {
    std::string u =
        "Usage: travine-send --server HOST --from ADDRESS --to ADDRESS... [options]\n"
        "Send a plain-text mail over SMTP with the travine library.\n";
    const char* section = "";
    for (const Option& opt : OPTIONS) {
        if (opt.help == nullptr)
            continue;
        if (std::strcmp(section, opt.section) != 0) {
            section = opt.section;
            u += "\n" + std::string(section) + ":\n";
        }
        std::string left = "  ";
        if (opt.flag != nullptr)
            left += std::string(opt.flag) + ", ";
        left += opt.name;
        if (opt.value != nullptr)
            left += std::string(" ") + opt.value;
        left.resize(std::max<size_t>(left.size() + 2, 24), ' ');
        u += left + indented(opt.help, left.size());
    }
    u += "\nExit status:\n";
    for (const auto& row : EXIT_TEXTS) {
        char code[8];
        std::snprintf(code, sizeof code, "%4d  ", row.first);
        u += code + indented(row.second, 6);
    }
    return u;
}

}  // namespace travine_cli
