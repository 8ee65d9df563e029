#include "support.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

SocketPair::SocketPair() {
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds_) != 0) {
        throw std::runtime_error("socketpair failed");
    }
}

SocketPair::~SocketPair() {
    if (fds_[0] != -1) close(fds_[0]);
    if (fds_[1] != -1) close(fds_[1]);
}

int SocketPair::release_client() {
    int fd = fds_[0];
    fds_[0] = -1;
    return fd;
}

void SocketPair::send(const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fds_[1], data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error("write to peer failed");
        }
        done += static_cast<size_t>(n);
    }
}

void SocketPair::close_peer() {
    if (fds_[1] != -1) close(fds_[1]);
    fds_[1] = -1;
}

std::string SocketPair::received(int timeout_ms) {
    std::string out;
    struct pollfd p = {fds_[1], POLLIN, 0};
    int wait = timeout_ms;
    while (poll(&p, 1, wait) > 0 && (p.revents & POLLIN)) {
        char buf[4096];
        ssize_t n = ::read(fds_[1], buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
        wait = 0;
    }
    return out;
}

TempDir::TempDir() {
    char tmpl[] = "/tmp/travine-test-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::string cmd = "rm -rf '" + path_ + "'";
    if (system(cmd.c_str()) != 0) {
        // Nothing sensible to do in a destructor.
    }
}

int open_descriptor_count() {
    int count = 0;
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr) return -1;
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] != '.') ++count;
    }
    closedir(d);
    return count - 1;  // the directory stream itself
}
