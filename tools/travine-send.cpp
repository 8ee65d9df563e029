// travine-send: sends a plain-text mail (or N copies of it) over one SMTP
// session, built only on the library's public classes.
#include <openssl/crypto.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "exception.h"
#include "logger.h"
#include "message.h"
#include "options.h"
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
    // The dialogue with -v; without it only what the library reports at
    // ERROR (server notices such as "Host said: 251 ...").
    if (!lines.empty() && (g_log.verbose > 0 || level == Logger::ERROR)) {
        if (g_log.progress)
            std::fputs("\r\033[K", stderr);  // the bar's line makes room
        for (const std::string& l : lines)
            std::fprintf(stderr, "%s%s\n", g_log.verbose > 0 ? "" : "travine-send: ", l.c_str());
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
    switch (m) {
        case AuthMode::AUTO:
            return SMTP::AUTO;
        case AuthMode::PLAIN:
            return SMTP::PLAIN;
        case AuthMode::LOGIN:
            return SMTP::LOGIN;
        case AuthMode::CRAM_MD5:
            return SMTP::CRAM_MD5;
        case AuthMode::CRAM_SHA1:
            return SMTP::CRAM_SHA1;
        case AuthMode::NONE:
            break;
    }
    return SMTP::NO_AUTH;
}

int run(Options& o) {
    Transcript transcript(o.verbose >= 2);
    g_log.transcript = &transcript;
    g_log.verbose = o.verbose;
    g_log.total = o.count;
    g_log.progress = o.count > 1 && o.verbose == 0 && isatty(STDERR_FILENO);

    MessageParts parts;
    parts.from = o.from;
    parts.to = o.to;
    parts.subject = o.subject;
    parts.date = rfc5322_date(std::time(nullptr));
    parts.body = o.body;

    SMTP session(o.domain, o.from, o.server, o.port);
    // The transcript also counts accepted messages, so the session always
    // logs; the callback decides what is shown.
    session.setVerbosity(Logger::VERBOSE);
    session.setCallBackFunction(&on_log);
    if (o.tls != TlsMode::NONE) {
        session.setSSLOpts(o.tls == TlsMode::STARTTLS ? SMTP::STARTTLS : SMTP::SMTPS,
                           o.insecure ? SSLSocket::VERIFY_NONE : SSLSocket::VERIFY_PEER, o.cafile,
                           o.capath);
    }
    if (o.auth != AuthMode::NONE)
        session.setCredentials(o.user, o.password, auth_type(o.auth));
    for (unsigned long i = 0; i < o.count; ++i) {
        parts.message_id = make_message_id(o.domain);
        session.addMessage(compose_message(parts), o.to);
    }

    if (g_log.progress)
        draw_progress();
    try {
        session.sendMessage();
    } catch (const Exception& e) {
        if (g_log.progress)
            std::fputc('\n', stderr);
        std::fprintf(stderr, "travine-send: %s in %s [%u]: %s\n", e.name.c_str(), e.method.c_str(),
                     static_cast<unsigned>(e.index), e.msg.c_str());
        if (o.count > 1) {
            std::fprintf(stderr,
                         "travine-send: the server accepted %lu of %lu messages before the "
                         "failure\n",
                         transcript.accepted(), o.count);
        }
        return exit_code_for(std::current_exception());
    }
    if (g_log.progress)
        std::fputc('\n', stderr);
    return EXIT_SENT;
}

}  // namespace

int main(int argc, char** argv) {
    // A reader of standard error that went away must not end the session
    // half-way (the library's own writes never raise SIGPIPE).
    signal(SIGPIPE, SIG_IGN);

    std::vector<std::string> args(argv + 1, argv + argc);
    Options opts;
    try {
        opts = parse_args(args, std::getenv("TRAVINE_PASSWORD"));
    } catch (const CliError& e) {
        std::fprintf(stderr, "travine-send: %s\nTry 'travine-send --help'.\n", e.text.c_str());
        return e.code;
    }
    if (opts.help) {
        std::fputs(usage_text().c_str(), stdout);
        return EXIT_SENT;
    }
    if (opts.version) {
        std::printf("travine-send %s (%s)\n", TRAVINE_VERSION, OpenSSL_version(OPENSSL_VERSION));
        return EXIT_SENT;
    }
    if (opts.domain.empty())
        opts.domain = local_domain();
    if (!opts.body_given && (opts.body_file.empty() || opts.body_file == "-") &&
        isatty(STDIN_FILENO)) {
        std::fprintf(stderr,
                     "travine-send: reading the body from standard input; end it with "
                     "Ctrl-D\n");
    }
    try {
        load_inputs(opts, std::cin);
    } catch (const CliError& e) {
        std::fprintf(stderr, "travine-send: %s\n", e.text.c_str());
        return e.code;
    }
    for (const std::string& w : opts.warnings) {
        std::fprintf(stderr, "travine-send: %s\n", w.c_str());
    }

    // The library leaves OpenSSL to its host when built that way; this
    // program is such a host and initialises it itself.
    OPENSSL_init_ssl(0, nullptr);
    try {
        return run(opts);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "travine-send: internal error: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "travine-send: internal error\n");
    }
    return EXIT_SOFTWARE;
}
