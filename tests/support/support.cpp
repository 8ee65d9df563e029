#include "support.h"

#include <dirent.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <utility>

#include "smtp.h"
#include "sslsocket.h"

SocketPair::SocketPair() {
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds_) != 0)
        throw std::runtime_error("socketpair failed");
}

SocketPair::~SocketPair() {
    for (int fd : fds_) {
        if (fd != -1)
            close(fd);
    }
}

int SocketPair::release_client() {
    return std::exchange(fds_[0], -1);
}

void SocketPair::send(const std::string& data) {
    for (size_t done = 0; done < data.size();) {
        ssize_t n = ::send(fds_[1], data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno != EINTR)
            throw std::runtime_error("write to peer failed");
        done += n > 0 ? static_cast<size_t>(n) : 0;
    }
}

void SocketPair::close_peer() {
    close(std::exchange(fds_[1], -1));
}

std::string SocketPair::received(int timeout_ms) {
    std::string out;
    struct pollfd p = {fds_[1], POLLIN, 0};
    char buf[4096];
    for (ssize_t n; poll(&p, 1, out.empty() ? timeout_ms : 0) > 0 &&
                    (n = ::recv(fds_[1], buf, sizeof buf, MSG_DONTWAIT)) > 0;) {
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

TempDir::TempDir() {
    char tmpl[] = "/tmp/travine-test-XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    if (system(("rm -rf '" + path_ + "'").c_str()) != 0) {
        // Nothing sensible to do in a destructor.
    }
}

int open_descriptor_count() {
    int count = -1;  // the directory stream itself
    DIR* d = opendir("/proc/self/fd");
    while (d != nullptr && readdir(d) != nullptr)
        ++count;
    if (d != nullptr)
        closedir(d);
    return count - 2;  // "." and ".."
}

namespace {

std::vector<std::pair<std::string, int>> g_log;

void keep(std::string text, int level) {
    g_log.emplace_back(std::move(text), level);
}

// A transport over an adopted descriptor; the session's connect() is a no-op.
class AdoptedSocket : public SSLSocket {
public:
    explicit AdoptedSocket(int fd) : SSLSocket("peer", fd) {}
    void connect() override {}
};

}  // namespace

void capture_log(Logger& log, Logger::VERBOSITY verbosity) {
    g_log.clear();
    log.setVerbosity(verbosity);
    log.setCallBackFunction(keep);
}

std::vector<std::string> logged(int level) {
    std::string all;
    for (const auto& piece : g_log) {
        if (level == -1 || piece.second == level)
            all += piece.first;
    }
    std::vector<std::string> lines;
    for (size_t start = 0, end; start < all.size(); start = end + 1) {
        end = all.find('\n', start);
        end = end == std::string::npos ? all.size() : end;
        lines.push_back(all.substr(start, end - start));
    }
    return lines;
}

void adopt(SMTP& session, int fd) {
    delete session.socket;
    session.socket = new AdoptedSocket(fd);
    session.socket->setParentLogger(&session);
}
