// A long run of the library against a local SMTP server, watching what a
// host process would notice first: resident memory, live heap, open
// descriptors and child processes left unreaped.
//
//   travine-soak [--emails N] [--session N] [--children N]
//                [--server aiosmtpd|sink|auto] [--mode plain|starttls|smtps]
//                [--rss-bound-kib K] [--heap-bound-kib K]
//
// --emails N     N calls of email(), each its own connection;
// --session N    one SMTP session that sends N messages over one connection;
// --children N   N UnixSocket objects running `true`, destroyed after their
//                child has ended; no zombie child may be left;
// --server       aiosmtpd (tests/integration/smtpd_server.py), or sink: a
//                minimal SMTP server in a child process of this program, for
//                plain text only; auto takes aiosmtpd when it is installed.
//
// Memory and descriptors are sampled twenty times per phase. The first 10%
// of a phase is warm-up; after it, resident memory (VmRSS) may grow by at
// most --rss-bound-kib, live heap by at most --heap-bound-kib, and the
// number of open descriptors not at all. Under AddressSanitizer resident
// memory holds the allocator's quarantine of freed blocks, so there it is
// reported but not bounded; live heap is then the sanitizer's own count.
// Exit status 0 when every call succeeded and every bound held.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
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
#include "support.h"
#include "tls_peer.h"
#include "unixsocket.h"

namespace {

const char* const PYTHON = "/usr/bin/python3";

struct Options {
    long emails = 10000;
    long session = 10000;
    long children = 1000;
    std::string server = "auto";
    std::string mode = "plain";
    long rss_bound_kib = 2048;
    long heap_bound_kib = 256;
};

// ---- Figures of this process ------------------------------------------------

long status_kib(const char* key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const size_t len = std::strlen(key);
    while (std::getline(in, line)) {
        if (line.compare(0, len, key) == 0 && line.size() > len && line[len] == ':')
            return std::atol(line.c_str() + len + 1);
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

struct Sample {
    long done;  // calls or messages done when taken
    long rss_kib;
    long heap_bytes;
    int fds;
};

Sample sample(long done) {
    return {done, status_kib("VmRSS"), live_heap_bytes(), open_descriptor_count()};
}

// The samples of one phase, with the bounds applied after warm-up.
class Watch {
public:
    Watch(const char* phase, long total, const Options& opt)
        : phase_(phase), total_(total), opt_(opt) {
        every_ = total / 20 > 0 ? total / 20 : 1;
        warmup_ = total / 10 > 0 ? total / 10 : 1;
        samples_.push_back(sample(0));
    }
    // Called with the count done so far; samples at every twentieth.
    void progress(long done) {
        if (done % every_ == 0 || done == warmup_)
            samples_.push_back(sample(done));
    }
    // Prints the samples and the growth; false when a bound was broken.
    bool report() const {
        std::printf("  %8s %10s %12s %5s\n", "done", "VmRSS KiB", "heap bytes", "fds");
        const Sample* base = nullptr;
        long rss_max = 0, heap_max = 0;
        int fds_max = 0, fds_min = 0;
        for (const Sample& s : samples_) {
            std::printf("  %8ld %10ld %12ld %5d%s\n", s.done, s.rss_kib, s.heap_bytes, s.fds,
                        s.done == warmup_ ? "  <- end of warm-up" : "");
            if (s.done < warmup_)
                continue;
            if (base == nullptr) {
                base = &s;
                rss_max = s.rss_kib;
                heap_max = s.heap_bytes;
                fds_max = fds_min = s.fds;
            }
            rss_max = std::max(rss_max, s.rss_kib);
            heap_max = std::max(heap_max, s.heap_bytes);
            fds_max = std::max(fds_max, s.fds);
            fds_min = std::min(fds_min, s.fds);
        }
        if (base == nullptr) {
            std::printf("  %s: no sample after warm-up\n", phase_);
            return false;
        }
        const long rss_growth = rss_max - base->rss_kib;
        const long heap_growth = heap_max - base->heap_bytes;
        const bool rss_ok = SOAK_UNDER_ASAN || rss_growth <= opt_.rss_bound_kib;
        const bool heap_ok = heap_growth <= opt_.heap_bound_kib * 1024;
        const bool fds_ok = fds_max == base->fds && fds_min == base->fds;
        std::printf(
            "  growth after warm-up (%ld): VmRSS %+ld KiB (bound %s), heap %+ld bytes "
            "(bound %ld KiB), fds %+d (bound 0)\n",
            warmup_, rss_growth,
            SOAK_UNDER_ASAN ? "none under ASan"
                            : (std::to_string(opt_.rss_bound_kib) + " KiB").c_str(),
            heap_growth, opt_.heap_bound_kib, fds_max - base->fds);
        if (!rss_ok)
            std::printf("  FAIL: %s: resident memory grew beyond the bound\n", phase_);
        if (!heap_ok)
            std::printf("  FAIL: %s: live heap grew beyond the bound\n", phase_);
        if (!fds_ok)
            std::printf("  FAIL: %s: open descriptors changed after warm-up\n", phase_);
        return rss_ok && heap_ok && fds_ok;
    }

private:
    const char* phase_;
    long total_;
    const Options& opt_;
    long every_;
    long warmup_;
    std::vector<Sample> samples_;
};

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// ---- The servers ------------------------------------------------------------

bool aiosmtpd_available() {
    return ::access(PYTHON, X_OK) == 0 &&
           std::system("/usr/bin/python3 -c 'import aiosmtpd.controller' >/dev/null 2>&1") == 0;
}

// Reads one line from fd within timeout_ms.
std::string read_line_from(int fd, int timeout_ms) {
    std::string line;
    struct pollfd p = {fd, POLLIN, 0};
    while (line.find('\n') == std::string::npos && ::poll(&p, 1, timeout_ms) > 0) {
        char buf[64];
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        line.append(buf, static_cast<size_t>(n));
    }
    return line;
}

// A child process serving SMTP on 127.0.0.1; stopped and reaped on
// destruction. count() asks it how many messages it accepted.
class Server {
public:
    virtual ~Server() {}
    int port() const { return port_; }
    virtual long count() = 0;

protected:
    int port_ = 0;
};

class Aiosmtpd : public Server {
public:
    Aiosmtpd(const std::string& mode) {
        std::vector<std::string> args = {
            PYTHON,   std::string(TRAVINE_SOURCE_DIR) + "/tests/integration/smtpd_server.py",
            "--dir",  dir_.path(),
            "--mode", mode};
        if (mode != "plain") {
            const TestPki& pki = TestPki::get();
            args.insert(args.end(), {"--cert", pki.server_cert, "--key", pki.server_key});
        }
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
            return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            std::vector<char*> argv;
            for (std::string& a : args)
                argv.push_back(&a[0]);
            argv.push_back(nullptr);
            ::execv(PYTHON, argv.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        stdin_ = in[1];
        port_ = std::atoi(read_line_from(out[0], 15000).c_str());
        ::close(out[0]);
    }
    ~Aiosmtpd() override {
        if (stdin_ >= 0)
            ::close(stdin_);
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGTERM);
        for (int waited = 0; waited < 10000; waited += 20) {
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    // Messages stored: the numbered directories.
    long count() override {
        long n = 0;
        DIR* d = ::opendir(dir_.path().c_str());
        if (d == nullptr)
            return -1;
        while (struct dirent* e = ::readdir(d)) {
            if (e->d_name[0] >= '1' && e->d_name[0] <= '9')
                ++n;
        }
        ::closedir(d);
        return n;
    }

private:
    TempDir dir_;
    pid_t pid_ = -1;
    int stdin_ = -1;
};

// The sink's side of one connection: a greeting, then a reply to every
// line, "354" to DATA and one "250" per message at its end, "221" to QUIT.
long sink_connection(int fd) {
    long messages = 0;
    auto say = [fd](const char* text) {
        size_t len = std::strlen(text), done = 0;
        while (done < len) {
            ssize_t n = ::send(fd, text + done, len - done, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            done += static_cast<size_t>(n);
        }
        return true;
    };
    if (!say("220 sink.test ESMTP\r\n"))
        return 0;
    std::string buffer;
    bool in_data = false;
    char chunk[65536];
    for (;;) {
        size_t lf;
        while ((lf = buffer.find('\n')) != std::string::npos) {
            const std::string line = buffer.substr(0, lf + 1);
            buffer.erase(0, lf + 1);
            bool ok = true;
            if (in_data) {
                if (line == ".\r\n") {
                    in_data = false;
                    ++messages;
                    ok = say("250 2.0.0 Ok: queued\r\n");
                }
            } else if (line.compare(0, 4, "DATA") == 0) {
                in_data = true;
                ok = say("354 End data with <CR><LF>.<CR><LF>\r\n");
            } else if (line.compare(0, 4, "QUIT") == 0) {
                say("221 2.0.0 Bye\r\n");
                return messages;
            } else if (line.compare(0, 4, "EHLO") == 0) {
                ok = say("250-sink.test\r\n250 AUTH PLAIN LOGIN\r\n");
            } else if (line.compare(0, 4, "AUTH") == 0) {
                ok = say("235 2.7.0 Authentication successful\r\n");
            } else {
                ok = say("250 Ok\r\n");
            }
            if (!ok)
                return messages;
        }
        ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0)
            return messages;
        buffer.append(chunk, static_cast<size_t>(n));
    }
}

// The sink in a child process, so that its descriptors and memory do not
// mix with the figures of this one. It serves one connection at a time
// until its control pipe closes, then writes how many messages it accepted.
class Sink : public Server {
public:
    Sink() {
        int ctl[2], res[2];
        if (::pipe2(ctl, O_CLOEXEC) != 0 || ::pipe2(res, O_CLOEXEC) != 0)
            return;
        int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
            ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
            ::listen(listener, 64) != 0) {
            return;
        }
        port_ = ntohs(addr.sin_port);
        std::fflush(stdout);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(ctl[1]);
            ::close(res[0]);
            long total = 0;
            for (;;) {
                struct pollfd p[2] = {{listener, POLLIN, 0}, {ctl[0], POLLIN, 0}};
                if (::poll(p, 2, -1) < 0)
                    continue;
                if (p[1].revents != 0)
                    break;
                int fd = ::accept(listener, nullptr, nullptr);
                if (fd < 0)
                    continue;
                const int one = 1;
                ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                total += sink_connection(fd);
                ::close(fd);
            }
            const std::string text = std::to_string(total) + "\n";
            ssize_t ignored = ::write(res[1], text.data(), text.size());
            (void)ignored;
            ::_exit(0);
        }
        ::close(listener);
        ::close(ctl[0]);
        ::close(res[1]);
        ctl_ = ctl[1];
        res_ = res[0];
    }
    ~Sink() override {
        stop();
        if (res_ >= 0)
            ::close(res_);
    }
    long count() override {
        stop();
        return count_;
    }

private:
    void stop() {
        if (pid_ <= 0)
            return;
        ::close(ctl_);
        count_ = std::atol(read_line_from(res_, 10000).c_str());
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    pid_t pid_ = -1;
    int ctl_ = -1;
    int res_ = -1;
    long count_ = -1;
};

// ---- The phases ---------------------------------------------------------------

const char* ssl_switch(const std::string& mode) {
    return mode == "plain" ? "" : "enable";
}

const char* ssl_type(const std::string& mode) {
    return mode == "starttls" ? "STARTTLS" : "SMTPS";
}

bool emails(const Options& opt, int port) {
    std::printf("emails: %ld calls of email(), %s\n", opt.emails, opt.mode.c_str());
    Watch watch("emails", opt.emails, opt);
    long failed = 0;
    const auto start = std::chrono::steady_clock::now();
    for (long i = 1; i <= opt.emails; ++i) {
        const std::string body = "soak message " + std::to_string(i);
        u32 r =
            email("soak@example.test", "sink@example.test", "soak", body.c_str(), "127.0.0.1", 0,
                  "", "", static_cast<u32>(port), ssl_switch(opt.mode), ssl_type(opt.mode), "");
        if (r != 0)
            ++failed;
        watch.progress(i);
    }
    const double secs = seconds_since(start);
    std::printf("  %ld calls in %.1f s (%.2f ms each), %ld failed\n", opt.emails, secs,
                opt.emails > 0 ? secs * 1000 / opt.emails : 0.0, failed);
    bool ok = watch.report();
    if (failed != 0) {
        std::printf("  FAIL: emails: %ld calls returned 274\n", failed);
        ok = false;
    }
    return ok;
}

// Counts the messages a session has begun, from its transcript, and lets
// the watch sample as it goes.
Watch* g_session_watch = nullptr;
long g_session_sent = 0;

void session_log(std::string text, int /*level*/) {
    if (text.compare(0, 11, "MAIL FROM: ") == 0) {
        ++g_session_sent;
        if (g_session_watch != nullptr)
            g_session_watch->progress(g_session_sent);
    }
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
    g_session_sent = 0;
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
                g_session_sent > 0 ? secs * 1000 / g_session_sent : 0.0, smtp.msgs.size());
    return watch.report() && ok;
}

// Zombie children of this process, from /proc.
int zombie_children() {
    const pid_t self = ::getpid();
    int zombies = 0;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr)
        return -1;
    while (struct dirent* e = ::readdir(proc)) {
        if (e->d_name[0] < '1' || e->d_name[0] > '9')
            continue;
        std::ifstream in(std::string("/proc/") + e->d_name + "/stat");
        std::string stat;
        if (!std::getline(in, stat))
            continue;
        // pid (comm) state ppid ...: comm may hold blanks, so start after ')'.
        const size_t close = stat.rfind(')');
        if (close == std::string::npos)
            continue;
        char state = 0;
        long ppid = 0;
        if (std::sscanf(stat.c_str() + close + 1, " %c %ld", &state, &ppid) == 2 && ppid == self &&
            state == 'Z') {
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
        // Each child has ended (it stays unreaped: WNOWAIT) before its
        // object goes.
        for (const auto& s : batch) {
            siginfo_t info;
            std::memset(&info, 0, sizeof info);
            if (s->pid > 0 &&
                ::waitid(P_PID, static_cast<id_t>(s->pid), &info, WEXITED | WNOWAIT) == 0) {
                ++waited;
            }
        }
        batch.clear();
    }
    const int zombies = zombie_children();
    const int fds_after = open_descriptor_count();
    std::printf(
        "  %ld started, %ld seen ended, in %.1f s; zombie children %d (before %d), "
        "fds %d -> %d\n",
        started, waited, seconds_since(start), zombies, zombies_before, fds_before, fds_after);
    bool ok =
        started == opt.children && waited == started && zombies == 0 && fds_after == fds_before;
    if (!ok)
        std::printf("  FAIL: children: unreaped children or descriptors left\n");
    return ok;
}

bool parse(int argc, char** argv, Options* opt) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (i + 1 >= argc)
            return false;
        const char* v = argv[++i];
        if (a == "--emails")
            opt->emails = std::atol(v);
        else if (a == "--session")
            opt->session = std::atol(v);
        else if (a == "--children")
            opt->children = std::atol(v);
        else if (a == "--server")
            opt->server = v;
        else if (a == "--mode")
            opt->mode = v;
        else if (a == "--rss-bound-kib")
            opt->rss_bound_kib = std::atol(v);
        else if (a == "--heap-bound-kib")
            opt->heap_bound_kib = std::atol(v);
        else
            return false;
    }
    return (opt->mode == "plain" || opt->mode == "starttls" || opt->mode == "smtps") &&
           (opt->server == "auto" || opt->server == "aiosmtpd" || opt->server == "sink");
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (!parse(argc, argv, &opt)) {
        std::fprintf(stderr,
                     "usage: %s [--emails N] [--session N] [--children N] "
                     "[--server aiosmtpd|sink|auto] [--mode plain|starttls|smtps] "
                     "[--rss-bound-kib K] [--heap-bound-kib K]\n",
                     argv[0]);
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (opt.server == "auto")
        opt.server = aiosmtpd_available() ? "aiosmtpd" : "sink";
    if (opt.server == "aiosmtpd" && !aiosmtpd_available()) {
        std::fprintf(stderr, "soak: aiosmtpd is not installed for %s\n", PYTHON);
        return 2;
    }
    if (opt.server == "sink" && opt.mode != "plain") {
        std::fprintf(stderr, "soak: the sink speaks plain text only\n");
        return 2;
    }

    bool ok = true;
    long expected = 0;
    {
        std::unique_ptr<Server> server;
        if (opt.emails > 0 || opt.session > 0) {
            if (opt.server == "aiosmtpd")
                server.reset(new Aiosmtpd(opt.mode));
            else
                server.reset(new Sink());
            if (server->port() <= 0) {
                std::fprintf(stderr, "soak: the %s server did not start\n", opt.server.c_str());
                return 1;
            }
            std::printf("soak: %s server on 127.0.0.1:%d%s\n", opt.server.c_str(), server->port(),
                        SOAK_UNDER_ASAN ? " (AddressSanitizer build)" : "");
        }
        if (opt.emails > 0) {
            ok = emails(opt, server->port()) && ok;
            expected += opt.emails;
        }
        if (opt.session > 0) {
            ok = session(opt, server->port()) && ok;
            expected += opt.session;
        }
        if (server) {
            const long stored = server->count();
            std::printf("server: %ld messages accepted, %ld sent\n", stored, expected);
            if (stored != expected) {
                std::printf("  FAIL: the server did not get every message\n");
                ok = false;
            }
        }
    }
    if (opt.children > 0)
        ok = children(opt) && ok;
    std::printf("soak: %s\n", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}
