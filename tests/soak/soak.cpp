// A long run of the library against a local aiosmtpd, watching what a host
// process would notice first: resident memory, live heap, open descriptors
// and child processes left unreaped.
//
//   travine-soak [--emails N] [--session N] [--children N] [--server aiosmtpd]
//                [--mode plain|starttls|smtps] [--rss-bound-kib K] [--heap-bound-kib K]
//
// N calls of email(); one session of N messages; N UnixSocket objects
// running `true`, each destroyed after its child ended, leaving no zombie.
// Memory and descriptors are sampled twenty times per phase; after the
// first 10% (warm-up) VmRSS may grow by at most --rss-bound-kib (not bounded
// under AddressSanitizer, whose quarantine holds freed blocks), live heap by
// at most --heap-bound-kib, descriptors not at all. Exit status 0 when every
// call succeeded and every bound held; 77 (skipped) when a phase needs
// aiosmtpd and it is not installed; 2 on bad arguments.
#include <dirent.h>
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
// From the sanitizer runtime (GCC ships no header that declares it).
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);
#define SOAK_UNDER_ASAN 1
#else
#define SOAK_UNDER_ASAN 0
#endif

#include "emailwrap.h"
#include "exception.h"
#include "logger.h"
#include "smtp.h"
#include "smtpd.h"
#include "support.h"
#include "tls_peer.h"
#include "unixsocket.h"

namespace {

struct Options {
    long emails = 10000, session = 10000, children = 1000;
    std::string mode = "plain";
    long rss_bound_kib = 2048, heap_bound_kib = 256;
};

long rss_kib() {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, 6, "VmRSS:") == 0)
            return std::atol(line.c_str() + 6);
    }
    return -1;
}

// Bytes of heap in use by the program right now.
long live_heap_bytes() {
#if SOAK_UNDER_ASAN
    return static_cast<long>(__sanitizer_get_current_allocated_bytes());
#else
    return static_cast<long>(mallinfo2().uordblks);
#endif
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The samples of one phase, with the bounds applied after warm-up.
class Watch {
public:
    Watch(const char* phase, long total, const Options& opt)
        : phase_(phase),
          opt_(opt),
          every_(std::max(total / 20, 1L)),
          warmup_(std::max(total / 10, 1L)) {
        progress(0);
    }
    // Called with the count done so far; samples at every twentieth.
    void progress(long done) {
        if (done % every_ == 0 || done == warmup_)
            samples_.push_back({done, rss_kib(), live_heap_bytes(), open_descriptor_count()});
    }
    // Prints the samples and the growth after warm-up; false when a bound broke.
    bool report() const {
        std::printf("  %8s %10s %12s %5s\n", "done", "VmRSS KiB", "heap bytes", "fds");
        const Sample* base = nullptr;  // the first sample after warm-up
        long rss_growth = 0, heap_growth = 0;
        int fds_change = 0;
        for (const Sample& s : samples_) {
            std::printf("  %8ld %10ld %12ld %5d%s\n", s.done, s.rss, s.heap, s.fds,
                        s.done == warmup_ ? "  <- end of warm-up" : "");
            if (s.done < warmup_)
                continue;
            base = base != nullptr ? base : &s;
            rss_growth = std::max(rss_growth, s.rss - base->rss);
            heap_growth = std::max(heap_growth, s.heap - base->heap);
            fds_change = s.fds != base->fds ? s.fds - base->fds : fds_change;
        }
        if (base == nullptr)
            return fail("no sample after warm-up");
        std::printf(
            "  growth after warm-up (%ld): VmRSS %+ld KiB (bound %s), heap %+ld bytes "
            "(bound %ld KiB), fds %+d (bound 0)\n",
            warmup_, rss_growth,
            SOAK_UNDER_ASAN ? "none under ASan"
                            : (std::to_string(opt_.rss_bound_kib) + " KiB").c_str(),
            heap_growth, opt_.heap_bound_kib, fds_change);
        bool ok = true;
        if (!SOAK_UNDER_ASAN && rss_growth > opt_.rss_bound_kib)
            ok = fail("resident memory grew beyond the bound");
        if (heap_growth > opt_.heap_bound_kib * 1024)
            ok = fail("live heap grew beyond the bound");
        if (fds_change != 0)
            ok = fail("open descriptors changed after warm-up");
        return ok;
    }

private:
    struct Sample {
        long done, rss, heap;
        int fds;
    };
    bool fail(const char* what) const {
        std::printf("  FAIL: %s: %s\n", phase_, what);
        return false;
    }
    const char* phase_;
    const Options& opt_;
    long every_, warmup_;
    std::vector<Sample> samples_;
};

bool emails(const Options& opt, int port) {
    std::printf("emails: %ld calls of email(), %s\n", opt.emails, opt.mode.c_str());
    const char* ssl = opt.mode == "plain" ? "" : "enable";
    const char* ssl_type = opt.mode == "starttls" ? "STARTTLS" : "SMTPS";
    Watch watch("emails", opt.emails, opt);
    long failed = 0;
    const auto start = std::chrono::steady_clock::now();
    for (long i = 1; i <= opt.emails; ++i) {
        const std::string body = "soak message " + std::to_string(i);
        if (email("soak@example.test", "sink@example.test", "soak", body.c_str(), "127.0.0.1", 0,
                  "", "", static_cast<u32>(port), ssl, ssl_type, "") != 0) {
            ++failed;
        }
        watch.progress(i);
    }
    const double secs = seconds_since(start);
    std::printf("  %ld calls in %.1f s (%.2f ms each), %ld failed\n", opt.emails, secs,
                secs * 1000 / static_cast<double>(opt.emails), failed);
    if (failed != 0)
        std::printf("  FAIL: emails: %ld calls returned 274\n", failed);
    return watch.report() && failed == 0;
}

// Counts the messages the session has begun, from its transcript, and lets
// the watch sample as it goes.
Watch* g_session_watch = nullptr;
long g_session_sent = 0;

void session_log(std::string text, int /*level*/) {
    if (text.compare(0, 11, "MAIL FROM: ") == 0 && g_session_watch != nullptr)
        g_session_watch->progress(++g_session_sent);
}

bool session(const Options& opt, int port) {
    std::printf("session: one SMTP session of %ld messages, %s\n", opt.session, opt.mode.c_str());
    SMTP smtp("localhost", "soak@example.test", "127.0.0.1", static_cast<u32>(port));
    if (opt.mode != "plain") {
        smtp.setSSLOpts(opt.mode == "starttls" ? SMTP::STARTTLS : SMTP::SMTPS,
                        SSLSocket::VERIFY_NONE, "", "");
    }
    for (long i = 1; i <= opt.session; ++i) {
        smtp.addMessage(
            "From: soak@example.test\nTo: sink@example.test\nSubject: soak\n\n"
            "session message " +
                std::to_string(i) + "\n",
            {"sink@example.test"});
    }
    // The transcript reaches the callback only; nothing is printed.
    smtp.setCallBackFunction(session_log);
    smtp.setVerbosity(Logger::VERBOSE);
    Watch watch("session", opt.session, opt);
    g_session_watch = &watch;
    bool ok = true;
    const auto start = std::chrono::steady_clock::now();
    try {
        smtp.sendMessage();
    } catch (const Exception& e) {
        std::printf("  FAIL: session: %s (%s %u): %s\n", e.name.c_str(), e.method.c_str(), e.index,
                    e.msg.c_str());
        ok = false;
    }
    g_session_watch = nullptr;
    const double secs = seconds_since(start);
    std::printf("  %ld messages in %.1f s (%.2f ms each), queue left %zu\n", g_session_sent, secs,
                secs * 1000 / static_cast<double>(std::max(g_session_sent, 1L)), smtp.msgs.size());
    return watch.report() && ok;
}

// Zombie children of this process, from /proc; -1 when /proc is unreadable.
int zombie_children() {
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr)
        return -1;
    int zombies = 0;
    while (struct dirent* e = ::readdir(proc)) {
        if (e->d_name[0] < '1' || e->d_name[0] > '9')
            continue;
        std::ifstream in(std::string("/proc/") + e->d_name + "/stat");
        std::string stat;
        std::getline(in, stat);
        // pid (comm) state ppid ...: comm may hold blanks, so read after the last ')'.
        const size_t close = stat.rfind(')');
        char state = 0;
        long ppid = 0;
        if (close != std::string::npos &&
            std::sscanf(stat.c_str() + close + 1, " %c %ld", &state, &ppid) == 2 &&
            ppid == ::getpid() && state == 'Z') {
            ++zombies;
        }
    }
    ::closedir(proc);
    return zombies;
}

bool children(const Options& opt) {
    std::printf("children: %ld UnixSocket objects running true, in batches of 50\n", opt.children);
    const int fds_before = open_descriptor_count();
    const int zombies_before = zombie_children();
    const auto start = std::chrono::steady_clock::now();
    long started = 0, waited = 0;
    for (long done = 0; done < opt.children;) {
        std::vector<std::unique_ptr<UnixSocket>> batch;
        for (; batch.size() < 50 && done < opt.children; ++done) {
            batch.emplace_back(new UnixSocket(std::vector<std::string>{"true"}));
            try {
                batch.back()->connect();
                ++started;
            } catch (const Exception& e) {
                std::printf("  connect failed: %s\n", e.msg.c_str());
            }
        }
        // Each child has ended (it stays unreaped: WNOWAIT) before its object goes.
        for (const auto& s : batch) {
            siginfo_t info;
            std::memset(&info, 0, sizeof info);
            if (s->pid > 0 &&
                ::waitid(P_PID, static_cast<id_t>(s->pid), &info, WEXITED | WNOWAIT) == 0) {
                ++waited;
            }
        }
    }
    const int zombies = zombie_children();
    const int fds_after = open_descriptor_count();
    std::printf(
        "  %ld started, %ld seen ended, in %.1f s; zombie children %d (before %d), "
        "fds %d -> %d\n",
        started, waited, seconds_since(start), zombies, zombies_before, fds_before, fds_after);
    const bool ok =
        started == opt.children && waited == started && zombies == 0 && fds_after == fds_before;
    if (!ok)
        std::printf("  FAIL: children: unreaped children or descriptors left\n");
    return ok;
}

bool parse(int argc, char** argv, Options* opt) {
    const std::map<std::string, long*> counts = {{"--emails", &opt->emails},
                                                 {"--session", &opt->session},
                                                 {"--children", &opt->children},
                                                 {"--rss-bound-kib", &opt->rss_bound_kib},
                                                 {"--heap-bound-kib", &opt->heap_bound_kib}};
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i], v = argv[i + 1];
        if (counts.count(a) != 0)
            *counts.at(a) = std::atol(v.c_str());
        else if (a == "--mode" && (v == "plain" || v == "starttls" || v == "smtps"))
            opt->mode = v;
        else if (a != "--server" || v != "aiosmtpd")
            return false;
    }
    return argc % 2 == 1;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (!parse(argc, argv, &opt)) {
        std::fprintf(stderr,
                     "usage: %s [--emails N] [--session N] [--children N] [--server aiosmtpd] "
                     "[--mode plain|starttls|smtps] [--rss-bound-kib K] [--heap-bound-kib K]\n",
                     argv[0]);
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    bool ok = true;
    if (opt.emails > 0 || opt.session > 0) {
        if (!aiosmtpd_available()) {
            std::printf(
                "soak: SKIPPED: /usr/bin/python3 cannot import aiosmtpd "
                "(Debian package python3-aiosmtpd)\n");
            return 77;
        }
        std::vector<std::string> options = {"--mode", opt.mode};
        if (opt.mode != "plain") {
            const TestPki& pki = TestPki::get();
            options.insert(options.end(), {"--cert", pki.server_cert, "--key", pki.server_key});
        }
        Smtpd server(options);
        if (!server.ready()) {
            std::fprintf(stderr, "soak: aiosmtpd did not start\n");
            return 1;
        }
        std::printf("soak: aiosmtpd on 127.0.0.1:%d%s\n", server.port(),
                    SOAK_UNDER_ASAN ? " (AddressSanitizer build)" : "");
        if (opt.emails > 0)
            ok = emails(opt, server.port()) && ok;
        if (opt.session > 0)
            ok = session(opt, server.port()) && ok;
        long stored = 0;
        while (server.has_message(static_cast<int>(stored) + 1))
            ++stored;
        std::printf("server: %ld messages stored, %ld sent\n", stored, opt.emails + opt.session);
        if (stored != opt.emails + opt.session) {
            std::printf("  FAIL: the server did not get every message\n");
            ok = false;
        }
    }
    if (opt.children > 0)
        ok = children(opt) && ok;
    std::printf("soak: %s\n", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}
