// travine-send: sends a message composed from its options (or N copies of
// it), or a complete message from standard input as sendmail does, over one
// SMTP session, built only on the library's public classes.
#include <openssl/crypto.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "exception.h"
#include "logger.h"
#include "message.h"
#include "options.h"
#include "report.h"
#include "smtp.h"
#include "sslsocket.h"
#include "transcript.h"

#ifndef TRAVINE_VERSION
#define TRAVINE_VERSION "unknown"
#endif

using namespace travine_cli;

namespace {

// The logger callback is a plain function: its state lives here.
struct LogState {
    Transcript* transcript = nullptr;
    int verbose = 0;
    bool progress = false;
    unsigned long total = 0;
    unsigned long shown = 0;
};
LogState g_log;
// Read by the Ctrl-C handler; lock-free, so safe there.
std::atomic<unsigned long> g_accepted{0};

void say(const std::string& text) {
    std::fprintf(stderr, "travine-send: %s\n", visible(text).c_str());
}

// Appends text, or the digits of v, to buf at *n (async-signal-safe).
void put(char* buf, size_t* n, const char* text) {
    while (*text != '\0')
        buf[(*n)++] = *text++;
}
void put(char* buf, size_t* n, unsigned long v) {
    char digits[24];
    size_t k = 0;
    do {
        digits[k++] = static_cast<char>('0' + v % 10);
    } while ((v /= 10) != 0);
    while (k > 0)
        buf[(*n)++] = digits[--k];
}

// Ctrl-C during --count: how many messages the server accepted, then exit.
void on_interrupt(int) {
    char buf[160];
    size_t n = 0;
    put(buf, &n, g_log.progress ? "\r\033[K" : "\n");
    put(buf, &n, "travine-send: interrupted; the server accepted ");
    put(buf, &n, g_accepted.load());
    put(buf, &n, " of ");
    put(buf, &n, g_log.total);
    put(buf, &n, " messages\n");
    (void)!::write(STDERR_FILENO, buf, n);
    _exit(EXIT_INTERRUPTED);
}

int terminal_columns() {
    struct winsize ws;
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0)
        return ws.ws_col;
    return 80;
}

void draw_progress() {
    std::string t = std::to_string(g_log.total);
    int width = terminal_columns() - static_cast<int>(2 * t.size()) - 16;
    if (width > 50)
        width = 50;
    std::string bar = progress_bar(g_log.shown, g_log.total, width);
    std::fprintf(stderr, "\r%s sent", bar.c_str());
    std::fflush(stderr);
}

void on_log(std::string text, int level) {
    std::vector<std::string> lines = g_log.transcript->add(text);
    g_accepted = g_log.transcript->accepted();
    // The dialogue with -v; without it only what the library reports at
    // ERROR (server notices such as "Host said: 251 ...").
    if (!lines.empty() && (g_log.verbose > 0 || level == Logger::ERROR)) {
        if (g_log.progress)
            std::fputs("\r\033[K", stderr);  // the bar's line makes room
        for (const std::string& l : lines)
            std::fprintf(stderr, "%s%s\n",
                         g_log.verbose > 0 ? "" : "travine-send: ", visible(l).c_str());
        if (g_log.progress)
            draw_progress();
    }
    if (g_log.progress && g_log.transcript->accepted() != g_log.shown) {
        g_log.shown = g_log.transcript->accepted();
        draw_progress();
    }
}

std::string local_domain() {
    char name[256];
    if (gethostname(name, sizeof name) != 0)
        return "localhost";
    name[sizeof name - 1] = '\0';
    return name[0] != '\0' ? name : "localhost";
}

SMTP::AUTH_TYPE auth_type(AuthMode m) {
    const SMTP::AUTH_TYPE types[] = {SMTP::NO_AUTH, SMTP::AUTO,       SMTP::PLAIN,
                                     SMTP::LOGIN,   SMTP::CRAM_MD5,   SMTP::CRAM_SHA1,
                                     SMTP::XOAUTH2, SMTP::OAUTHBEARER};
    return types[static_cast<int>(m)];
}

// The library's safe settings: TLS verified with the host name checked
// (against the system's trust store without --cafile and --capath) unless
// --insecure, and every wait bounded by --timeout.
void secure(SMTP& session, const Options& o) {
    if (o.tls != TlsMode::NONE) {
        session.setSSLOpts(o.tls == TlsMode::STARTTLS ? SMTP::STARTTLS : SMTP::SMTPS,
                           o.insecure ? SSLSocket::VERIFY_NONE : SSLSocket::VERIFY_HOST, o.cafile,
                           o.capath);
    }
    session.setTimeout(static_cast<int>(o.timeout));
}

int run(Options& o, const Outgoing& out) {
    Transcript transcript(o.verbose >= 2);
    g_log.transcript = &transcript;
    g_log.verbose = o.verbose;
    g_log.total = out.texts.size();
    g_log.progress = o.count > 1 && o.verbose == 0 && isatty(STDERR_FILENO);

    SMTP session(o.domain, out.sender, o.server, o.port);
    // The transcript also counts accepted messages and follows the steps,
    // so the session always logs; the callback decides what is shown.
    session.setVerbosity(Logger::VERBOSE);
    session.setCallBackFunction(&on_log);
    secure(session, o);
    if (o.auth != AuthMode::NONE)
        session.setCredentials(o.user, o.password, auth_type(o.auth));
    for (const std::string& text : out.texts)
        session.addMessage(text, out.rcpts);

    if (o.count > 1)
        signal(SIGINT, on_interrupt);
    if (g_log.progress)
        draw_progress();
    try {
        session.sendMessage();
    } catch (const Exception& e) {
        if (g_log.progress)
            std::fputc('\n', stderr);
        const Report r = describe(e, Context{&o, transcript.step(), transcript.address()});
        say(r.text);
        if (o.verbose > 0)
            say(e.name + " in " + e.method + " [" + std::to_string(e.index) + "]");
        if (o.count > 1) {
            say("the server accepted " + std::to_string(transcript.accepted()) + " of " +
                std::to_string(o.count) + " messages before the failure");
        }
        return r.code;
    }
    if (g_log.progress)
        std::fputc('\n', stderr);
    if (!o.quiet)
        say(summary(o, out.rcpts));
    return EXIT_SENT;
}

Environment environment(const char* program) {
    Environment env;
    env.password = std::getenv("TRAVINE_PASSWORD");
    const char* slash = std::strrchr(program, '/');
    env.as_sendmail = std::strcmp(slash != nullptr ? slash + 1 : program, "sendmail") == 0;
    env.terminal = isatty(STDIN_FILENO) || isatty(STDERR_FILENO);
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    if (xdg != nullptr && xdg[0] == '/')
        env.config_files.push_back(std::string(xdg) + "/travine/config");
    else if (home != nullptr && home[0] != '\0')
        env.config_files.push_back(std::string(home) + "/.config/travine/config");
    env.config_files.push_back("/etc/travine.conf");
    return env;
}

// Everything before the connection: the options, the inputs, the message.
// Returns the exit code of a refusal, or -1 to go on.
int prepare(int argc, char** argv, Options* opts, Outgoing* out) {
    const Environment env = environment(argv[0]);
    try {
        *opts = parse_args(std::vector<std::string>(argv + 1, argv + argc), env);
        Options& o = *opts;
        if (o.help || o.version)
            return EXIT_SENT;
        o.quiet = o.quiet || env.as_sendmail;
        if (o.domain.empty())
            o.domain = local_domain();
        for (const std::string& w : o.warnings) {
            if (!o.quiet || w.compare(0, 8, "warning:") != 0)  // --insecure's is never quiet
                say(w);
        }
        if (isatty(STDIN_FILENO) && (o.sendmail || (!o.body_given && o.body_file.empty()))) {
            say(o.sendmail ? "reading the message from standard input; end it with Ctrl-D"
                           : "reading the body from standard input; end it with Ctrl-D");
        }
        load_inputs(o, std::cin);
        *out = o.sendmail ? sendmail_message(o.body, o) : compose(o);
    } catch (const CliError& e) {
        say(e.text);
        if (e.code == EXIT_USAGE)
            std::fputs("Try 'travine-send --help'.\n", stderr);
        return e.code;
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    // A reader of standard error that went away must not end the session
    // half-way (the library's own writes never raise SIGPIPE).
    signal(SIGPIPE, SIG_IGN);
    Options opts;
    Outgoing out;
    const int refused = prepare(argc, argv, &opts, &out);
    if (opts.help) {
        std::fputs(usage_text().c_str(), stdout);
        return EXIT_SENT;
    }
    if (opts.version) {
        std::printf("travine-send %s (%s)\n", TRAVINE_VERSION, OpenSSL_version(OPENSSL_VERSION));
        return EXIT_SENT;
    }
    if (refused != -1)
        return refused;
    // The library leaves OpenSSL to its host when built that way; this
    // program is such a host and initialises it itself.
    OPENSSL_init_ssl(0, nullptr);
    try {
        return run(opts, out);
    } catch (const std::exception& e) {
        say(std::string("internal error: ") + e.what());
    } catch (...) {
        say("internal error");
    }
    return EXIT_SOFTWARE;
}
