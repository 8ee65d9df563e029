// The TCP connector: name resolution and a blocking connect.
#include "inetsocket.h"

#include <errno.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cstring>
#include <memory>
#include <sstream>
#include <string>

#include "exception.h"
#include "socket_timeout.h"

namespace {

const char* const CONNECT = "InetSocket::connect()";

struct AddrInfoFree {
    void operator()(struct addrinfo* ai) const { ::freeaddrinfo(ai); }
};

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
    if (::connect(sockfd, ai->ai_addr, ai->ai_addrlen) == -1) {
        throw TransferException(std::strerror(errno), CONNECT, 3);
    }
}
