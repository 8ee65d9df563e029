// The child-process connector: a program spoken to over a socket pair.
#include "unixsocket.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/ssl.h>

#include <cstring>
#include <iostream>
#include <ostream>
#include <string>
#include <vector>

#include "exception.h"
#include "i18n.h"
#include "socket_timeout.h"
#include "wire.h"

namespace {

const char* const CONNECT = "UnixSocket::connect()";

std::string program_of(const std::vector<std::string>& args) {
    return args.empty() ? std::string() : args[0];
}

// Releases every string of argv, up to its null entry, then the array.
void free_argv(char** argv) {
    if (argv == nullptr)
        return;
    for (size_t idx = 0; argv[idx] != nullptr; ++idx)
        delete[] argv[idx];
    delete[] argv;
}

// How long a child has to end by itself once its input is closed.
const int REAP_GRACE_MS = 250;

// Reaps child: waits up to REAP_GRACE_MS for it to end, then stops it with
// SIGKILL and waits for that. A child that is not ours to wait for (reaped
// elsewhere) is left alone.
void reap(pid_t child) {
    if (child <= 0)
        return;
    int status;
    for (int waited = 0, step = 1;; waited += step, step = step < 16 ? step * 2 : step) {
        pid_t r = ::waitpid(child, &status, WNOHANG);
        if (r == child || (r == -1 && errno != EINTR))
            return;
        if (waited >= REAP_GRACE_MS)
            break;
        ::usleep(static_cast<useconds_t>(step) * 1000);
    }
    ::kill(child, SIGKILL);
    while (::waitpid(child, &status, 0) == -1 && errno == EINTR) {
    }
}

// What a child that could not start its program reports through the
// status pipe: the step that failed and its errno.
enum ChildStep { DUP2_FAILED = 1, EXEC_FAILED = 2 };
struct ChildReport {
    int step;
    int err;
};

// The child after fork(): only async-signal-safe calls, nothing allocated.
// Puts pair on standard input and output and runs argv; if that fails,
// writes a ChildReport to report (closed on exec) and ends.
[[noreturn]] void run_child(char** argv, int pair, int parent_end, int report) {
    ::close(parent_end);
    ChildReport r = {0, 0};
    if (report <= 1) {
        // Not to be overwritten by dup2() below.
        report = ::fcntl(report, F_DUPFD_CLOEXEC, 2);
    }
    if (::dup2(pair, 0) == -1 || ::dup2(pair, 1) == -1) {
        r.step = DUP2_FAILED;
    } else {
        if (pair > 1)
            ::close(pair);
        ::execvp(argv[0], argv);
        r.step = EXEC_FAILED;
    }
    r.err = errno;
    ssize_t ignored = ::write(report, &r, sizeof r);
    (void)ignored;
    ::_exit(r.step == DUP2_FAILED ? 1 : 127);
}

// Waits for the child's report on fd, at most seconds: a ChildReport when
// it could not start its program, step 0 once it has (exec closes fd).
ChildReport read_report(int fd, int seconds) {
    ChildReport r = {0, 0};
    char* p = reinterpret_cast<char*>(&r);
    size_t got = 0;
    while (got < sizeof r && wire::wait_for(fd, POLLIN, wire::milliseconds(seconds)) == 1) {
        ssize_t n = ::read(fd, p + got, sizeof r - got);
        if (n == 0 || (n == -1 && errno != EINTR))
            break;
        got += n > 0 ? static_cast<size_t>(n) : 0;
    }
    return got == sizeof r ? r : ChildReport{0, 0};
}

}  // namespace

UnixSocket::UnixSocket(const std::vector<std::string>& args)
    : SSLSocket(program_of(args)), argv(nullptr), pid(-1) {
    buildArgv(args);
}

UnixSocket::UnixSocket(int fd, const std::vector<std::string>& args)
    : SSLSocket(program_of(args), fd), argv(nullptr), pid(-1) {
    buildArgv(args);
}

UnixSocket::~UnixSocket() {
    // Closed here rather than by the bases, so that the child sees the end
    // of its input before it is waited for.
    if (ssl != nullptr && SSL_is_init_finished(ssl))
        SSL_shutdown(ssl);
    close_connection();
    reap(pid);
    free_argv(argv);
}

void UnixSocket::buildArgv(const std::vector<std::string>& args) {
    free_argv(argv);
    argv = new char*[args.size() + 1];
    for (size_t idx = 0; idx < args.size(); ++idx) {
        size_t len = args[idx].size() + 1;
        argv[idx] = new char[len];
        // Copies up to and including the first NUL: an element holding a
        // NUL byte is cut there.
        std::strncpy(argv[idx], args[idx].c_str(), len);
    }
    argv[args.size()] = nullptr;
}

void UnixSocket::connect() {
    if (sockfd != -1)
        close_connection();
    reap(pid);
    pid = -1;
    if (argv == nullptr || argv[0] == nullptr) {
        throw TransferException(I18N::i18n("travine", "No program to run."), CONNECT, 3);
    }

    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == -1) {
        throw TransferException(std::strerror(errno), CONNECT, 1);
    }
    // The child's report, should it fail to start the program; closed on
    // exec, so that an empty read means the program runs.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) == -1) {
        int err = errno;
        ::close(fds[0]);
        ::close(fds[1]);
        throw TransferException(std::strerror(err), CONNECT, 1);
    }

    pid_t child = ::fork();
    if (child == -1) {
        int err = errno;
        for (int fd : {fds[0], fds[1], report[0], report[1]})
            ::close(fd);
        throw TransferException(std::strerror(err), CONNECT, 2);
    }
    if (child == 0)
        run_child(argv, fds[0], fds[1], report[1]);
    ::close(report[1]);
    const ChildReport r = read_report(report[0], read_wait_seconds(*this));
    ::close(report[0]);
    if (r.step != 0) {
        const std::string line =
            I18N::i18n("travine", r.step == DUP2_FAILED ? "dup2() failed: " : "execvp() failed: ") +
            std::strerror(r.err);
        // Where the child's own log would have gone: its standard output,
        // which is the pair, when the log is written to std::cout's buffer.
        sync();
        if (callback_function == nullptr && callback_object == nullptr &&
            rdbuf() == std::cout.rdbuf()) {
            if (Logger::ERROR <= getVerbosity()) {
                const std::string text = line + "\n";
                ssize_t ignored = ::send(fds[0], text.data(), text.size(), MSG_NOSIGNAL);
                (void)ignored;
            }
        } else {
            *this << Logger::ERROR << line << std::endl;
        }
    }
    ::close(fds[0]);
    sockfd = fds[1];
    pid = child;
    // The receive time-out of the line reader, on this end only: the two
    // ends of a pair are separate sockets, so the child's end (its standard
    // input and output) keeps blocking without one.
    arm_read_timeout(*this);
}
