// travine-send's command line. One table of options drives the parser, the
// keys an account of the config file may hold, and the usage text.
#include "options.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <set>

#include "config.h"
#include "message.h"
#include "report.h"

namespace travine_cli {

namespace {

struct Option;

// What the options fill in: the options, the numbers as given (judged once
// every option is in), the option being applied, for refusals, and the
// options the command line gave.
struct Parsed {
    Options o;
    std::optional<std::string> port, count, timeout;
    const char* option = "";
    bool from_config = false;
    std::set<const Option*> given;
    std::string config;  // --config
};

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
    {"cram-md5", AuthMode::CRAM_MD5}, {"cram-sha1", AuthMode::CRAM_SHA1},
    {"xoauth2", AuthMode::XOAUTH2},   {"oauthbearer", AuthMode::OAUTHBEARER}};

// A non-empty file (or directory) name.
std::string path(const Parsed& p, const std::string& v, const char* what = "file") {
    if (v.empty())
        throw usage_error(std::string(p.option) + ": empty " + what + " name");
    return v;
}

// An address, with or without a display name; refused when it is none.
std::string mailbox(const Parsed& p, const std::string& v) {
    check_mailbox(p.option, v);
    return v;
}

struct Option {
    const char* section;  // its heading in the usage text
    const char* flag;     // the short spelling, or null
    const char* name;     // the long spelling ("--name VALUE", "--name=VALUE"), or null
    const char* value;    // what its value is called; null for an option without one
    const char* help;     // its usage lines, '\n' between them; null: not listed
    char account;         // an account may hold it, as name without "--": 'a', or 's' for
                          // a source of the password; 0: not
    void (*apply)(Parsed& p, const std::string& value);
};

void nothing(Parsed&, const std::string&) {}

const char* const SENDMAIL =
    "Sendmail mode: the whole message from standard input, the recipients as\n"
    "arguments; chosen by -t, -i, a recipient, or the name 'sendmail'";

const Option OPTIONS[] = {
    {"Message", "-f", "--from", "ADDRESS",
     "sender (MAIL FROM) and From field, as jo@example.org\nor 'Jo Doe <jo@example.org>'", 'a',
     [](Parsed& p, const std::string& v) { p.o.from = mailbox(p, v); }},
    {"Message", nullptr, "--to", "ADDRESS", "recipient listed in the To field; repeat for more", 0,
     [](Parsed& p, const std::string& v) { p.o.to.push_back(mailbox(p, v)); }},
    {"Message", nullptr, "--cc", "ADDRESS", "recipient listed in the Cc field", 0,
     [](Parsed& p, const std::string& v) { p.o.cc.push_back(mailbox(p, v)); }},
    {"Message", nullptr, "--bcc", "ADDRESS", "recipient listed in no field", 0,
     [](Parsed& p, const std::string& v) { p.o.bcc.push_back(mailbox(p, v)); }},
    {"Message", nullptr, "--reply-to", "ADDRESS", "the Reply-To field", 0,
     [](Parsed& p, const std::string& v) { p.o.reply_to = mailbox(p, v); }},
    {"Message", nullptr, "--subject", "TEXT", "Subject field (none without it); UTF-8 is encoded",
     0,
     [](Parsed& p, const std::string& v) {
         p.o.subject = v;
         p.o.subject_given = true;
     }},
    {"Message", nullptr, "--header", "FIELD", "one more header field, 'Name: value'; repeat", 0,
     [](Parsed& p, const std::string& v) { p.o.headers.push_back(v); }},
    {"Message", nullptr, "--body", "TEXT", "the body; or", 0,
     [](Parsed& p, const std::string& v) {
         p.o.body = v;
         p.o.body_given = true;
     }},
    {"Message", nullptr, "--body-file", "FILE",
     "read the body from FILE ('-': standard input);\n"
     "without either the body is read from standard input\n"
     "(non-ASCII text goes as quoted-printable)",
     0, [](Parsed& p, const std::string& v) { p.o.body_file = path(p, v); }},
    {"Message", nullptr, "--attach", "FILE[,TYPE]",
     "attach FILE as TYPE (default: by its name, else\napplication/octet-stream); repeat for more",
     0, [](Parsed& p, const std::string& v) { p.o.attachments.push_back(path(p, v)); }},
    {"Message", nullptr, "--count", "N", "send N copies over one connection (1 to 100000)", 0,
     [](Parsed& p, const std::string& v) { p.count = v; }},
    {SENDMAIL, "-t", nullptr, nullptr,
     "also take the recipients from the To, Cc and Bcc\nfields (Bcc fields are never sent)", 0,
     [](Parsed& p, const std::string&) { p.o.from_headers = true; }},
    {SENDMAIL, "-i", nullptr, nullptr,
     "a line of a single dot does not end the message\n(also -oi)", 0,
     [](Parsed& p, const std::string&) { p.o.dot_ends = false; }},
    {SENDMAIL, "-F", nullptr, "NAME", "the sender's name in a From field put in front", 0,
     [](Parsed& p, const std::string& v) { p.o.full_name = v; }},
    {"", "-B", nullptr, "TYPE", nullptr, 0, nothing},  // the body's type: sent as it is anyway
    {"", "-oi", nullptr, nullptr, nullptr, 0,
     [](Parsed& p, const std::string&) { p.o.dot_ends = false; }},
    // Accepted for mail readers that pass them; nothing to do here.
    {"", "-oem", nullptr, nullptr, nullptr, 0, nothing},
    {"", "-oee", nullptr, nullptr, nullptr, 0, nothing},
    {"", "-odi", nullptr, nullptr, nullptr, 0, nothing},
    {"", "-odb", nullptr, nullptr, nullptr, 0, nothing},
    {"", "-bm", nullptr, nullptr, nullptr, 0, nothing},
    {"Server", nullptr, "--server", "HOST", "mail server: a name, an address or [IPv6 address]",
     'a', [](Parsed& p, const std::string& v) { p.o.server = v; }},
    {"Server", nullptr, "--port", "N", "port; default 25, 587 with starttls, 465 with smtps", 'a',
     [](Parsed& p, const std::string& v) { p.port = v; }},
    {"Server", nullptr, "--domain", "NAME",
     "name announced in HELO/EHLO (default: this host's name)", 'a',
     [](Parsed& p, const std::string& v) { p.o.domain = v; }},
    {"Server", nullptr, "--tls", "MODE", "none (default), starttls or smtps (TLS from the start)",
     'a',
     [](Parsed& p, const std::string& v) { p.o.tls = choose(p.option, "mode", v, TLS_MODES); }},
    {"Server", nullptr, "--cafile", "FILE",
     "CA certificates (PEM) that verify the server;\n"
     "without it or --capath the system's trust store",
     'a', [](Parsed& p, const std::string& v) { p.o.cafile = path(p, v); }},
    {"Server", nullptr, "--capath", "DIR", "hashed directory of CA certificates", 'a',
     [](Parsed& p, const std::string& v) { p.o.capath = path(p, v, "directory"); }},
    {"Server", nullptr, "--insecure", nullptr,
     "do not verify the server's certificate (dangerous);\n"
     "otherwise its chain and its name are checked",
     0, [](Parsed& p, const std::string&) { p.o.insecure = true; }},
    {"Server", nullptr, "--timeout", "SECONDS", "longest wait for the server (default 30)", 'a',
     [](Parsed& p, const std::string& v) { p.timeout = v; }},
    {"Authentication", nullptr, "--auth", "MECH",
     "none (default), auto, plain, login, cram-md5,\ncram-sha1, xoauth2, oauthbearer; "
     "--user alone\nmeans auto (never xoauth2 or oauthbearer)",
     'a',
     [](Parsed& p, const std::string& v) {
         p.o.auth = choose(p.option, "mechanism", v, AUTH_MODES);
         p.o.auth_given = true;
     }},
    {"Authentication", nullptr, "--user", "NAME", "user name", 'a',
     [](Parsed& p, const std::string& v) { p.o.user = v; }},
    {"Authentication", nullptr, "--password-file", "FILE",
     "the password (the access token with xoauth2 and\noauthbearer): the first line of FILE", 's',
     [](Parsed& p, const std::string& v) { p.o.password_file = path(p, v); }},
    {"Authentication", nullptr, "--password-command", "CMD",
     "or the first line that CMD prints (run by /bin/sh);\n"
     "without either: TRAVINE_PASSWORD, else a prompt\n"
     "when there is a terminal",
     's', [](Parsed& p, const std::string& v) { p.o.password_command = path(p, v, "command"); }},
    {"Authentication", nullptr, "--password", "TEXT", "works, but other users can see it", 's',
     [](Parsed& p, const std::string& v) {
         p.o.password = v;
         p.o.password_given = true;
         p.o.password_on_command_line = !p.from_config;
     }},
    {"Accounts", nullptr, "--account", "NAME",
     "take what the command line leaves open from the\n"
     "account NAME of ~/.config/travine/config or\n"
     "/etc/travine.conf; without it and --server, from\n"
     "the default account",
     0, [](Parsed& p, const std::string& v) { p.o.account = path(p, v, "account"); }},
    {"Accounts", nullptr, "--config", "FILE", "read accounts from FILE instead", 0,
     [](Parsed& p, const std::string& v) { p.config = path(p, v); }},
    {"Output", "-v", "--verbose", nullptr,
     "print the SMTP dialogue on standard error, credentials\nmasked; -vv shows them", 0,
     [](Parsed& p, const std::string&) { p.o.verbose = p.o.verbose < 2 ? p.o.verbose + 1 : 2; }},
    {"Output", "-vv", nullptr, nullptr, nullptr, 0,
     [](Parsed& p, const std::string&) { p.o.verbose = 2; }},
    {"Output", "-q", "--quiet", nullptr, "no summary line after sending", 0,
     [](Parsed& p, const std::string&) { p.o.quiet = true; }},
    {"Output", "-h", "--help", nullptr, "this text", 0,
     [](Parsed& p, const std::string&) { p.o.help = true; }},
    {"Output", nullptr, "--version", nullptr, "version of travine-send and OpenSSL", 0,
     [](Parsed& p, const std::string&) { p.o.version = true; }},
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

void apply(Parsed& p, const Option& opt, const std::string& value) {
    p.option = opt.name != nullptr ? opt.name : opt.flag;
    opt.apply(p, value);
}

// Fills in what the command line left open from the account it names or,
// without --account and --server, from the default account.
void apply_account(Parsed& p, const Environment& env) {
    if (p.o.account.empty() && p.given.count(spelled("--server", true)) != 0)
        return;
    Account a;
    if (!find_account(p.config.empty() ? env.config_files : std::vector<std::string>{p.config},
                      p.o.account, &a))
        return;
    p.o.account = a.name;
    p.o.account_file = a.file;
    bool secret_given = env.password != nullptr;
    for (const Option* g : p.given)
        secret_given = secret_given || g->account == 's';
    p.from_config = true;
    for (const Account::Entry& e : a.entries) {
        const std::string where = a.file + ":" + std::to_string(e.line) + ": ";
        const Option* opt = spelled("--" + e.key, true);
        if (opt == nullptr || opt->account == 0)
            throw CliError{EXIT_CONFIG, where + "unknown key '" + e.key + "'"};
        if (p.given.count(opt) != 0 || (opt->account == 's' && secret_given))
            continue;
        try {
            apply(p, *opt, e.value);
        } catch (const CliError& err) {
            throw CliError{EXIT_CONFIG, where + err.text};
        }
    }
    p.from_config = false;
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

// text with every line after the first indented by indent blanks, and a
// line end.
std::string indented(const std::string& text, size_t indent) {
    std::string out;
    for (char c : text)
        out += c == '\n' ? "\n" + std::string(indent, ' ') : std::string(1, c);
    return out + "\n";
}

}  // namespace

uint32_t default_port(TlsMode mode) {
    return mode == TlsMode::STARTTLS ? 587 : mode == TlsMode::SMTPS ? 465 : 25;
}

const char* auth_name(AuthMode mode) {
    for (const auto& m : AUTH_MODES) {
        if (m.second == mode)
            return m.first;
    }
    return "none";
}

Options parse_args(const std::vector<std::string>& args, const Environment& env) {
    Parsed p;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i], value;
        if (name == "--") {  // recipients follow, whatever they look like
            p.o.operands.insert(p.o.operands.end(), args.begin() + long(i) + 1, args.end());
            break;
        }
        if (name.empty() || name[0] != '-') {  // a recipient, in sendmail mode
            p.o.operands.push_back(name);
            continue;
        }
        const Option* opt = spelled(name, false);
        const Option* flag =
            opt != nullptr || name[1] == '-' ? nullptr : spelled(name.substr(0, 2), false);
        const size_t eq = name.find('=');
        const bool inline_value = opt == nullptr && (eq != name.npos || flag != nullptr);
        if (flag != nullptr && flag->value != nullptr) {  // "-fADDRESS"
            value = name.substr(2);
            opt = flag;
        } else if (inline_value && name[1] == '-') {  // "--name=value"
            value = name.substr(eq + 1);
            name.erase(eq);
            opt = spelled(name, true);
        }
        if (opt == nullptr)
            throw usage_error("unknown option '" + name + "'");
        if (opt->value == nullptr && inline_value)
            throw usage_error(name + " takes no value");
        if (opt->value != nullptr && !inline_value) {
            if (i + 1 >= args.size())
                throw usage_error(name + " needs a value");
            value = args[++i];
        }
        apply(p, *opt, value);
        p.given.insert(opt);
        if (p.o.help || p.o.version)
            return p.o;
    }
    apply_account(p, env);
    Options& o = p.o;
    o.port = static_cast<uint32_t>(number(p.port, "--port", 65535, default_port(o.tls)));
    o.count = number(p.count, "--count", MAX_COUNT, 1);
    o.timeout = number(p.timeout, "--timeout", 3600, 30);
    check_options(o, env);
    return o;
}

std::string usage_text() {
    std::string u =
        "Usage: travine-send [--account NAME] --server HOST --from ADDRESS --to ADDRESS...\n"
        "                    [options]\n"
        "       travine-send [--account NAME] [options] [-t] [-i] [--] [ADDRESS...] <message\n"
        "       sendmail [-t] [-i] [-f ADDRESS] [ADDRESS...] <message\n"
        "Send mail over SMTP with the travine library: a message composed from the\n"
        "options, or a complete message from standard input as sendmail takes it.\n";
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
            left += std::string(opt.flag) + (opt.name != nullptr ? ", " : "");
        if (opt.name != nullptr)
            left += opt.name;
        if (opt.value != nullptr)
            left += std::string(" ") + opt.value;
        left.resize(std::max<size_t>(left.size() + 2, 24), ' ');
        u += left + indented(opt.help, left.size());
    }
    std::string keys = "  ";
    for (const Option& opt : OPTIONS) {
        if (opt.account != 0)
            keys += std::string(keys.size() % 64 > 50 ? ",\n"
                                : keys.size() > 2     ? ", "
                                                      : "") +
                    (opt.name + 2);
    }
    u += "\nAn account is a line '[NAME]' and lines 'key = value' after it; a line\n"
         "'default = NAME' before the first names the default account. Its keys:\n" +
         indented(keys, 2);
    return u + "\nExit status:\n" + exit_codes_text();
}

}  // namespace travine_cli
