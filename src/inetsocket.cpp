// The TCP connector: name resolution and a blocking connect.
#include "inetsocket.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cstring>
#include <memory>
#include <sstream>
#include <string>

#include "exception.h"
#include "i18n.h"
#include "socket_timeout.h"
#include "wire.h"

namespace {

const char* const CONNECT = "InetSocket::connect()";

struct AddrInfoFree {
    void operator()(struct addrinfo* ai) const { ::freeaddrinfo(ai); }
};

// Connects fd to ai's address. With ms -1 a blocking connect(); else the
// attempt waits at most ms milliseconds and fd keeps its blocking mode.
// Returns 0, -1 with errno set, or wire::TIMED_OUT.
int connect_within(int fd, const struct addrinfo* ai, int ms) {
    if (ms < 0)
        return ::connect(fd, ai->ai_addr, ai->ai_addrlen);
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags == -1 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == -1)
        return -1;
    int rc = ::connect(fd, ai->ai_addr, ai->ai_addrlen);
    if (rc == -1 && errno == EINPROGRESS) {
        rc = wire::wait_for(fd, POLLOUT, ms);
        int err = 0;
        socklen_t len = sizeof err;
        if (rc == 0) {
            rc = static_cast<int>(wire::TIMED_OUT);
        } else if (rc == 1) {
            rc = ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0 ? 0 : -1;
            errno = err != 0 ? err : errno;
        }
    }
    const int saved = errno;
    ::fcntl(fd, F_SETFL, flags);
    errno = saved;
    return rc;
}

}  // namespace

InetSocket::InetSocket(const std::string& peer, int peer_port) : SSLSocket(peer), port(peer_port) {}

InetSocket::InetSocket(int fd, const std::string& peer, int peer_port)
    : SSLSocket(peer, fd), port(peer_port) {}

InetSocket::~InetSocket() {}

void InetSocket::connect() {
    // A new connection never inherits the old one's descriptor or TLS state.
    if (sockfd != -1)
        close_connection();

    struct addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_flags = AI_PASSIVE;
    hints.ai_socktype = SOCK_STREAM;

    std::ostringstream ssport;
    ssport << port;

    struct addrinfo* servai = nullptr;
    int gaierr = ::getaddrinfo(host.c_str(), ssport.str().c_str(), &hints, &servai);
    if (gaierr != 0) {
        throw TransferException(::gai_strerror(gaierr), CONNECT, 1);
    }
    // Released on every way out from here on.
    std::unique_ptr<struct addrinfo, AddrInfoFree> results(servai);

    struct addrinfo* ai = servai;
    while (ai != nullptr && ai->ai_family != AF_INET && ai->ai_family != AF_INET6) {
        ai = ai->ai_next;
    }
    if (ai == nullptr)
        return;

    sockfd = ::socket(ai->ai_family, SOCK_STREAM, 0);
    if (sockfd == -1) {
        throw TransferException(std::strerror(errno), CONNECT, 2);
    }
    // The receive time-out of the line reader (SO_RCVTIMEO does not bound
    // the connect itself).
    arm_read_timeout(*this);
    const int rc = connect_within(sockfd, ai, idle_wait_ms(*this));
    if (rc == wire::TIMED_OUT) {
        throw TransferException(I18N::i18n("travine", "Socket timeout."), CONNECT, 4);
    }
    if (rc == -1) {
        throw TransferException(std::strerror(errno), CONNECT, 3);
    }
}
