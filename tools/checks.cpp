// travine-send's checks of the whole command line, once the options and
// the account are in.
#include <string>

#include "message.h"
#include "options.h"

namespace travine_cli {

namespace {

bool has_control(const std::string& s) {
    for (unsigned char c : s) {
        if (c < ' ' || c == 0x7f)
            return true;
    }
    return false;
}

// The server as the library takes it: "[::1]" loses its brackets.
void check_server(Options& o) {
    if (o.server.empty()) {
        throw usage_error(
            "--server HOST is required (or --account NAME, or a default account in the config "
            "file)");
    }
    std::string& s = o.server;
    if (s.front() == '[' && s.back() == ']' && s.find(':') != std::string::npos)
        s = s.substr(1, s.size() - 2);
    if (has_control(s) || s.find_first_of(" []") != std::string::npos)
        throw usage_error("--server: '" + s + "' is not a host name or address");
}

// Sendmail mode takes the message as it is: the options that compose one
// do not go with it.
void check_mode(Options& o, const Environment& env) {
    o.sendmail = env.as_sendmail || o.from_headers || !o.dot_ends || !o.operands.empty();
    const std::pair<bool, const char*> composing[] = {
        {o.subject_given, "--subject"},   {!o.cc.empty(), "--cc"},
        {!o.bcc.empty(), "--bcc"},        {!o.reply_to.empty(), "--reply-to"},
        {!o.headers.empty(), "--header"}, {!o.attachments.empty(), "--attach"},
        {o.body_given, "--body"},         {!o.body_file.empty(), "--body-file"},
        {o.count > 1, "--count"}};
    for (const auto& c : composing) {
        if (o.sendmail && c.first) {
            throw usage_error(std::string(c.second) +
                              " composes a message, but with -t, -i or recipients as "
                              "arguments the message comes whole from standard input");
        }
    }
    if (o.sendmail)
        return;
    if (o.from.empty())
        throw usage_error("--from ADDRESS is required");
    if (o.to.empty() && o.cc.empty() && o.bcc.empty())
        throw usage_error("at least one --to, --cc or --bcc ADDRESS is required");
}

void check_tls(const Options& o) {
    const bool ca_given = !o.cafile.empty() || !o.capath.empty();
    if (o.tls == TlsMode::NONE && (ca_given || o.insecure)) {
        throw usage_error(std::string(ca_given ? "--cafile/--capath" : "--insecure") +
                          " needs --tls starttls or --tls smtps");
    }
    if (o.insecure && ca_given)
        throw usage_error("--insecure and --cafile/--capath exclude each other");
}

void check_auth(Options& o, const char* env_password) {
    if (!o.user.empty() && !o.auth_given)
        o.auth = AuthMode::AUTO;
    if (has_control(o.user))
        throw usage_error("--user: control characters are not allowed");
    const int sources =
        int(o.password_given) + int(!o.password_file.empty()) + int(!o.password_command.empty());
    if (sources > 1) {
        throw usage_error(
            "--password, --password-file and --password-command exclude each other (an "
            "account's count too)");
    }
    if (o.auth == AuthMode::NONE) {
        // An account's credentials go unused with --auth none.
        if (o.account.empty() && o.auth_given && (sources > 0 || !o.user.empty()))
            throw usage_error("--auth none contradicts --user and a password");
        if (o.account.empty() && sources > 0)
            throw usage_error("a password needs --user (and optionally --auth)");
        return;
    }
    if (o.user.empty())
        throw usage_error("--auth needs --user NAME");
    if (sources == 0 && env_password != nullptr) {
        o.password = env_password;
        o.password_given = true;
    }
    if (o.password_on_command_line) {
        o.warnings.push_back(
            "warning: --password puts the password where other users of this machine "
            "can see it (process list); use --password-file, --password-command or "
            "TRAVINE_PASSWORD");
    }
    if (o.tls == TlsMode::NONE && o.auth != AuthMode::CRAM_MD5 && o.auth != AuthMode::CRAM_SHA1) {
        o.warnings.push_back(
            "warning: without --tls the credentials cross the network readable by anyone "
            "on the path");
    }
}

}  // namespace

void check_options(Options& o, const Environment& env) {
    check_server(o);
    check_mode(o, env);
    if (has_control(o.domain) || o.domain.find(' ') != std::string::npos)
        throw usage_error("--domain: '" + o.domain + "' is not a host name");
    if (o.body_given && !o.body_file.empty())
        throw usage_error("--body and --body-file exclude each other");
    check_tls(o);
    check_auth(o, env.password);
    o.prompt = env.terminal;
    if (o.insecure) {
        o.warnings.push_back(
            "WARNING: --insecure: the server's certificate is NOT verified; anyone between "
            "here and the server can read and change this session, credentials included");
    }
}

}  // namespace travine_cli
