// The TCP connector against listeners on loopback.
#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>

#include "exception.h"
#include "inetsocket.h"
#include "support.h"
#include "tls_peer.h"

namespace {

// A TCP socket bound to the loopback address of family on an ephemeral
// port; listening only when asked. ok() is false when that failed.
class Loopback {
public:
    Loopback(int family, bool listening) : fd_(::socket(family, SOCK_STREAM, 0)) {
        struct sockaddr_storage addr = {};
        auto* in = reinterpret_cast<struct sockaddr_in*>(&addr);
        auto* in6 = reinterpret_cast<struct sockaddr_in6*>(&addr);
        socklen_t len = family == AF_INET ? sizeof *in : sizeof *in6;
        if (family == AF_INET) {
            in->sin_family = AF_INET;
            in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        } else {
            in6->sin6_family = AF_INET6;
            in6->sin6_addr = in6addr_loopback;
        }
        auto* sa = reinterpret_cast<struct sockaddr*>(&addr);
        if (fd_ == -1 || ::bind(fd_, sa, len) != 0 || (listening && ::listen(fd_, 4) != 0) ||
            ::getsockname(fd_, sa, &len) != 0) {
            return;
        }
        // The port sits at the same place in both address forms.
        port_ = ntohs(in->sin_port);
    }
    ~Loopback() {
        if (fd_ != -1)
            ::close(fd_);
    }
    bool ok() const { return port_ != 0; }
    int port() const { return port_; }
    // The next connection, or -1 when none arrives within two seconds.
    int accept() {
        struct pollfd p = {fd_, POLLIN, 0};
        return ::poll(&p, 1, 2000) == 1 ? ::accept(fd_, nullptr, nullptr) : -1;
    }

private:
    int fd_;
    int port_ = 0;
};

// Accepts the connection of s and checks a line each way over it.
void exchange_lines(InetSocket& s, Loopback& listener) {
    int server = listener.accept();
    ASSERT_NE(server, -1);
    ASSERT_EQ(::write(server, "220 loopback\r\n", 14), 14);
    EXPECT_EQ(s.readSocket(), "220 loopback\r");
    s.writeSocket("QUIT\r\n");
    char buf[16] = {};
    struct pollfd p = {server, POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 2000), 1);
    EXPECT_EQ(::read(server, buf, sizeof buf), 6);
    EXPECT_STREQ(buf, "QUIT\r\n");
    ::close(server);
}

void connects_over(int family, const char* address) {
    Loopback listener(family, true);
    if (!listener.ok())
        GTEST_SKIP() << address << " is not available here";
    InetSocket s(address, listener.port());
    ASSERT_EQ(s.sockfd, -1);
    s.connect();
    struct sockaddr_storage peer;
    socklen_t len = sizeof peer;
    ASSERT_EQ(::getpeername(s.sockfd, reinterpret_cast<struct sockaddr*>(&peer), &len), 0);
    EXPECT_EQ(peer.ss_family, family);
    exchange_lines(s, listener);
}

}  // namespace

TEST(InetConnect, ReachesAnIPv4Listener) {
    connects_over(AF_INET, "127.0.0.1");
}

TEST(InetConnect, ReachesAnIPv6Listener) {
    connects_over(AF_INET6, "::1");
}

TEST(InetConnect, RefusedConnectionIsIndex3AndKeepsTheDescriptor) {
    Loopback bound(AF_INET, false);  // bound, never listening: refuses
    ASSERT_TRUE(bound.ok());
    int before = open_descriptor_count();
    {
        InetSocket s("127.0.0.1", bound.port());
        auto e = thrown<TransferException>([&] { s.connect(); });
        EXPECT_EQ(e.msg, std::strerror(ECONNREFUSED));
        EXPECT_EQ(e.method, "InetSocket::connect()");
        EXPECT_EQ(e.index, 3u);
        EXPECT_NE(s.sockfd, -1);
        EXPECT_EQ(open_descriptor_count(), before + 1);
    }
    EXPECT_EQ(open_descriptor_count(), before);
}

TEST(InetConnect, UnresolvableNameIsIndex1WithTheResolversText) {
    struct addrinfo hints = {};
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo* res = nullptr;
    int expected = ::getaddrinfo("no-such-host.invalid", "25", &hints, &res);
    ASSERT_NE(expected, 0) << "no-such-host.invalid resolves here";

    InetSocket s("no-such-host.invalid", 25);
    auto e = thrown<TransferException>([&] { s.connect(); });
    EXPECT_EQ(e.msg, ::gai_strerror(expected));
    EXPECT_EQ(e.method, "InetSocket::connect()");
    EXPECT_EQ(e.index, 1u);
    EXPECT_EQ(s.sockfd, -1);
}

TEST(InetConnect, FailedSocketCreationIsIndex2) {
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer runtime needs free descriptors itself (it probes memory
    // through a pipe), so it cannot run with none left.
    GTEST_SKIP() << "not with the sanitizers: they need free descriptors themselves";
#endif
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    int lowest = ::dup(0);
    ASSERT_NE(lowest, -1);
    ::close(lowest);
    InetSocket s("127.0.0.1", 25);
    // No descriptor number is left below the limit.
    struct rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(lowest);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    auto e = thrown<TransferException>([&] { s.connect(); });
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_EQ(e.msg, std::strerror(EMFILE));
    EXPECT_EQ(e.method, "InetSocket::connect()");
    EXPECT_EQ(e.index, 2u);
    EXPECT_EQ(s.sockfd, -1);
}

TEST(InetConnect, SecondConnectReleasesTheOldConnection) {
    Loopback listener(AF_INET, true);
    ASSERT_TRUE(listener.ok());
    SocketPair old;
    InetSocket s(old.release_client(), "127.0.0.1", listener.port());
    // The old connection is in TLS.
    s.setSSLOpts(SSLSocket::VERIFY_NONE);
    std::thread server([&] { TlsServer(old.peer()).accept(); });
    s.negotiate();
    server.join();
    ASSERT_TRUE(s.negotiated);
    int before = open_descriptor_count();

    s.connect();
    ASSERT_FALSE(s.negotiated);
    EXPECT_EQ(s.ssl, nullptr);
    EXPECT_EQ(s.ctx, nullptr);
    EXPECT_EQ(open_descriptor_count(), before);
    // The old peer sees the end of the stream, after any TLS bytes.
    old.received(2000);
    struct timeval limit = {2, 0};
    ::setsockopt(old.peer(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    char c;
    EXPECT_EQ(::read(old.peer(), &c, 1), 0);
    exchange_lines(s, listener);  // plain again, on the new descriptor
}
