// The child-process connector: a program spoken to over a socket pair.
#include "unixsocket.h"

#include <errno.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "exception.h"
#include "i18n.h"
#include "socket_timeout.h"

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
    free_argv(argv);
    // A child that has already ended is reaped; one still running is left
    // alone (it sees the end of its input once the bases close the
    // descriptor).
    if (pid > 0) {
        int status;
        ::waitpid(pid, &status, WNOHANG);
    }
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
    if (pid > 0) {
        // The previous child is reaped if it has ended; it is not waited for.
        int status;
        ::waitpid(pid, &status, WNOHANG);
        pid = -1;
    }
    if (argv == nullptr || argv[0] == nullptr) {
        throw TransferException(I18N::i18n("travine", "No program to run."), CONNECT, 3);
    }

    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == -1) {
        throw TransferException(std::strerror(errno), CONNECT, 1);
    }

    // Built before fork(): the child then allocates as little as it can
    // before it replaces its image, which matters in a host with threads.
    const std::string dup2_failed = I18N::i18n("travine", "dup2() failed: ");
    const std::string execvp_failed = I18N::i18n("travine", "execvp() failed: ");
    // Output still buffered for this stream (by default the host's
    // standard output) is written now, so that the child cannot write it a
    // second time, into the pair, when it flushes its failure line.
    flush();

    pid_t child = ::fork();
    if (child == -1) {
        int err = errno;
        ::close(fds[0]);
        ::close(fds[1]);
        throw TransferException(std::strerror(err), CONNECT, 2);
    }
    if (child == 0) {
        ::close(fds[1]);
        if (::dup2(fds[0], 0) == -1 || ::dup2(fds[0], 1) == -1) {
            std::string error = std::strerror(errno);
            *this << Logger::ERROR << dup2_failed << error << std::endl;
            flush();
            ::_exit(1);
        }
        if (fds[0] > 1)
            ::close(fds[0]);
        ::execvp(argv[0], argv);
        std::string error = std::strerror(errno);
        *this << Logger::ERROR << execvp_failed << error << std::endl;
        // The failure line is out; the exit-time handlers and the buffers
        // inherited from the host are not the child's to run or write.
        flush();
        ::_exit(127);
    }
    ::close(fds[0]);
    sockfd = fds[1];
    pid = child;
    // The receive time-out of the line reader, on this end only: the two
    // ends of a pair are separate sockets, so the child's end (its standard
    // input and output) keeps blocking without one.
    arm_read_timeout(*this);
}
