// Line transport over one connected, blocking stream descriptor.
#include "socket.h"

#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <ostream>
#include <string>

#include "exception.h"
#include "i18n.h"

namespace {

// gethostname() never needs more than this; past it we give up.
const size_t MAX_HOSTNAME_BUFFER = 64 * 1024;

// Writes up to len bytes of buf on fd. Sockets are written with send() and
// MSG_NOSIGNAL, so a peer that has gone away yields EPIPE instead of a
// SIGPIPE that would end the host process; other descriptors (pipes,
// terminals) fall back to write().
ssize_t write_some(int fd, const char* buf, size_t len) {
    ssize_t n = ::send(fd, buf, len, MSG_NOSIGNAL);
    if (n == -1 && errno == ENOTSOCK)
        n = ::write(fd, buf, len);
    return n;
}

}  // namespace

const size_t Socket::MAX_LINE;
const int Socket::READ_TIMEOUT;

Socket::Socket(const std::string& peer) : Logger(), host(peer), sockfd(-1) {}

Socket::Socket(const std::string& peer, int fd) : Logger(), host(peer), sockfd(fd) {}

Socket::~Socket() {
    if (sockfd != -1)
        ::close(sockfd);
}

std::string Socket::localhost() {
    std::string result = "localhost";
    size_t buf_len = 128;
    char* buf = nullptr;
    int myerror;
    for (;;) {
        char* grown = static_cast<char*>(::realloc(buf, buf_len));
        if (grown == nullptr) {
            ::free(buf);
            return result;
        }
        buf = grown;
        myerror = ::gethostname(buf, buf_len);
        bool cut = myerror == 0 && ::memchr(buf, '\0', buf_len) == nullptr;
        bool too_long = myerror == -1 && errno == ENAMETOOLONG;
        if (!cut && !too_long)
            break;
        if (buf_len >= MAX_HOSTNAME_BUFFER) {
            myerror = -1;
            break;
        }
        buf_len *= 2;
    }
    if (myerror == 0)
        result = buf;
    ::free(buf);
    return result;
}

std::string Socket::readSocket() {
    std::string line;
    if (sockfd == -1) {
        throw TransferException(I18N::i18n("travine", "Socket is closed."), "Socket::readSocket()",
                                5);
    }
    for (;;) {
        // poll() rather than select(): it takes descriptors of any number.
        // The wait is set afresh for every byte, so it bounds the silence
        // before each byte. An interrupted wait (EINTR) is not retried.
        struct pollfd pfd;
        pfd.fd = sockfd;
        pfd.events = POLLIN;
        pfd.revents = 0;
        int ready = ::poll(&pfd, 1, READ_TIMEOUT * 1000);
        if (ready == -1) {
            throw TransferException(std::strerror(errno), "Socket::readSocket()", 1);
        }
        if (ready == 0) {
            throw TransferException(I18N::i18n("travine", "Socket timeout."),
                                    "Socket::readSocket()", 2);
        }
        // A descriptor that is not open fails the wait, as select() would.
        if (pfd.revents & POLLNVAL) {
            throw TransferException(std::strerror(EBADF), "Socket::readSocket()", 1);
        }
        // One byte per read(), so nothing past the line feed is consumed:
        // what follows stays in the descriptor for the next call or for a
        // TLS handshake on the same descriptor.
        char byte;
        ssize_t n = ::read(sockfd, &byte, 1);
        if (n == -1) {
            throw TransferException(std::strerror(errno), "Socket::readSocket()", 3);
        }
        if (n == 0) {
            throw TransferException(I18N::i18n("travine", "Socket was closed."),
                                    "Socket::readSocket()", 4);
        }
        if (byte == '\n')
            break;
        if (line.size() >= MAX_LINE) {
            throw TransferException(I18N::i18n("travine", "Line too long."), "Socket::readSocket()",
                                    6);
        }
        line += byte;
    }
    *this << Logger::VERBOSE << host << ":\t" << line << std::endl;
    return line;
}

void Socket::writeSocket(const std::string& data) {
    if (sockfd == -1) {
        throw TransferException(I18N::i18n("travine", "Socket is closed."), "Socket::writeSocket()",
                                2);
    }
    // A blocking descriptor takes everything in one call unless a signal
    // interrupts it after part of the data has gone; the rest is then sent
    // with further calls. A call interrupted before it wrote anything
    // (-1 with EINTR) is simply made again. An empty buffer still makes one
    // call, which succeeds with 0.
    const char* p = data.data();
    size_t remaining = data.size();
    do {
        ssize_t n = write_some(sockfd, p, remaining);
        if (n == -1) {
            if (errno == EINTR)
                continue;
            throw TransferException(std::strerror(errno), "Socket::writeSocket()", 1);
        }
        if (n == 0)
            break;
        p += n;
        remaining -= static_cast<size_t>(n);
    } while (remaining > 0);
    *this << Logger::VERBOSE << localhost() << ":\t" << data;
}
