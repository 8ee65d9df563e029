// How the plain line reader waits: descriptors the library adopts or opens
// carry a receive time-out of READ_TIMEOUT seconds (so one blocking look
// waits and looks), everything else is waited for with poll(), and the TLS
// route runs without the time-out.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "exception.h"
#include "inetsocket.h"
#include "socket.h"
#include "socket_timeout.h"
#include "sslsocket.h"
#include "support.h"
#include "tls_peer.h"
#include "unixsocket.h"

namespace {

class PlainSocket : public Socket {
public:
    using Socket::Socket;
    void connect() override {}
};

class TlsSocket : public SSLSocket {
public:
    using SSLSocket::SSLSocket;
    void connect() override {}
};

// The receive time-out of fd in milliseconds, or -1 when it cannot be had.
long receive_timeout_ms(int fd) {
    struct timeval tv;
    socklen_t len = sizeof tv;
    if (::getsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, &len) != 0)
        return -1;
    return static_cast<long>(tv.tv_sec) * 1000 + static_cast<long>(tv.tv_usec) / 1000;
}

const long ARMED_MS = Socket::READ_TIMEOUT * 1000L;

// Sends data on fd after delay_ms, on a thread joined when the scope ends.
class LateSender {
public:
    LateSender(int fd, std::string data, int delay_ms)
        : thread_([fd, data, delay_ms] {
              std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
              ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
              (void)n;
          }) {}
    ~LateSender() { thread_.join(); }

private:
    std::thread thread_;
};

// A listening TCP socket on 127.0.0.1 (port chosen by the system).
struct Listener {
    Listener() {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        auto* sa = reinterpret_cast<struct sockaddr*>(&a);
        if (fd != -1 && ::bind(fd, sa, len) == 0 && ::listen(fd, 1) == 0 &&
            ::getsockname(fd, sa, &len) == 0)
            port = ntohs(a.sin_port);
    }
    ~Listener() {
        if (fd != -1)
            ::close(fd);
    }
    int fd = -1;
    int port = 0;
};

volatile sig_atomic_t interruptions = 0;

void count_interruption(int) {
    interruptions = interruptions + 1;
}

}  // namespace

TEST(SocketReadTimeout, IsSetOnceOnAdoptedAndConnectedDescriptorsOnly) {
    // Adopted: the constructor sets it.
    SocketPair pair;
    PlainSocket adopted("peer", pair.release_client());
    EXPECT_EQ(receive_timeout_ms(adopted.sockfd), ARMED_MS);
    EXPECT_TRUE(read_timeout_armed(adopted));
    // The other end of the pair is a socket of its own and keeps none.
    EXPECT_EQ(receive_timeout_ms(pair.peer()), 0);

    // Opened by the TCP connector.
    Listener listener;
    ASSERT_NE(listener.port, 0);
    InetSocket inet("127.0.0.1", listener.port);
    inet.connect();
    EXPECT_EQ(receive_timeout_ms(inet.sockfd), ARMED_MS);
    EXPECT_TRUE(read_timeout_armed(inet));

    // Not a socket, or no descriptor at all: nothing to set, poll() waits.
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    PlainSocket piped("peer", p[0]);
    EXPECT_FALSE(read_timeout_armed(piped));
    ASSERT_EQ(::write(p[1], "250 pipe\n", 9), 9);
    EXPECT_EQ(piped.readSocket(), "250 pipe");
    ::close(p[1]);
    PlainSocket none("peer", -1);
    EXPECT_FALSE(read_timeout_armed(none));
    EXPECT_EQ(thrown<TransferException>([&] { none.readSocket(); }).index, 5u);
}

TEST(SocketReadTimeout, ChildsEndOfThePairKeepsBlockingWithoutOne) {
    if (::access("/usr/bin/python3", X_OK) != 0)
        GTEST_SKIP() << "/usr/bin/python3 is needed to look at the child's end";
    // The child reports the receive time-out of its standard input, which is
    // its end of the pair.
    UnixSocket s(std::vector<std::string>{
        "/usr/bin/python3", "-c",
        "import socket, struct\n"
        "s = socket.socket(fileno=0)\n"
        "sec, usec = struct.unpack('ll', s.getsockopt(socket.SOL_SOCKET, socket.SO_RCVTIMEO, 16))\n"
        "s.detach()\n"
        "print(sec, usec, flush=True)\n"});
    s.connect();
    EXPECT_EQ(receive_timeout_ms(s.sockfd), ARMED_MS);
    EXPECT_TRUE(read_timeout_armed(s));
    EXPECT_EQ(s.readSocket(), "0 0");
}

TEST(SocketReadTimeout, DescriptorsNotSetUpByTheLibraryAreWaitedForWithPoll) {
    // A descriptor a host puts in sockfd itself has no time-out, and one
    // that was set up but no longer waits as it was (made non-blocking, its
    // time-out shortened) would end a blocking look at once or early: each
    // must still wait for a line that comes late instead of failing.
    struct Case {
        const char* name;
        bool adopt;
        void (*change)(int fd);
    };
    const Case cases[] = {
        {"assigned by hand", false, [](int) {}},
        {"adopted, then made non-blocking", true,
         [](int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }},
        {"adopted, then its time-out shortened", true,
         [](int fd) {
             struct timeval tv = {0, 50 * 1000};
             ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SocketPair pair;
        PlainSocket s("peer", c.adopt ? pair.release_client() : -1);
        if (!c.adopt) {
            s.sockfd = pair.release_client();
            EXPECT_FALSE(read_timeout_armed(s));
        }
        c.change(s.sockfd);
        {
            LateSender late(pair.peer(), "250 late\r\n250 later", 300);
            EXPECT_EQ(s.readSocket(), "250 late\r");
        }
        // Nothing past the line feed was taken.
        pair.send("\n");
        EXPECT_EQ(s.readSocket(), "250 later");
        // From now on poll() waits for this descriptor.
        EXPECT_FALSE(read_timeout_armed(s));
        pair.close_peer();
        EXPECT_EQ(thrown<TransferException>([&] { s.readSocket(); }).index, 4u);
    }
}

TEST(SocketReadTimeout, InterruptedWaitIsIndex1AndLosesThePartialLine) {
    // Neither a poll() nor a look on a socket with a receive time-out is
    // restarted after a signal handler, with SA_RESTART or without.
    for (int flags : {0, SA_RESTART}) {
        SCOPED_TRACE(flags == 0 ? "without SA_RESTART" : "with SA_RESTART");
        struct sigaction sa = {};
        sa.sa_handler = count_interruption;
        sa.sa_flags = flags;
        sigemptyset(&sa.sa_mask);
        struct sigaction old_sa;
        ASSERT_EQ(sigaction(SIGUSR1, &sa, &old_sa), 0);

        SocketPair pair;
        PlainSocket s("peer", pair.release_client());
        ASSERT_TRUE(read_timeout_armed(s));
        pair.send("250 par");
        interruptions = 0;
        std::atomic<bool> done(false);
        pthread_t reader = pthread_self();
        // Signals the reader every 50 ms until its read has returned (at
        // most 2 s), so one of them lands while it waits.
        std::thread signaller([&] {
            for (int i = 0; i < 40 && !done; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                if (!done)
                    pthread_kill(reader, SIGUSR1);
            }
        });
        auto e = thrown<TransferException>([&] { s.readSocket(); });
        done = true;
        signaller.join();
        sigaction(SIGUSR1, &old_sa, nullptr);
        EXPECT_GE(interruptions, 1);
        EXPECT_EQ(e.msg, std::strerror(EINTR));
        EXPECT_EQ(e.method, "Socket::readSocket()");
        EXPECT_EQ(e.index, 1u);
        // "250 par" went with the failed read; the next line starts after it.
        pair.send("tial\r\n250 next\r\n");
        EXPECT_EQ(s.readSocket(), "tial\r");
        EXPECT_EQ(s.readSocket(), "250 next\r");
    }
}

TEST(SocketReadTimeout, TlsRouteRunsWithoutIt) {
    SocketPair pair;
    TlsSocket s("mx.example.test", pair.release_client());
    s.setVerifyLocations(TestPki::get().ca_file, "");
    ASSERT_EQ(receive_timeout_ms(s.sockfd), ARMED_MS);
    // The plain greeting is read with the time-out set, then the handshake
    // runs on the same descriptor.
    pair.send("220 plain\r\n");
    EXPECT_EQ(s.readSocket(), "220 plain\r");
    bool accepted = false;
    std::thread server([&] {
        TlsServer tls(pair.peer());
        accepted = tls.accept();
        // A pause before the reply: the TLS read simply blocks meanwhile.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        if (accepted)
            tls.write("250 over tls\r\n");
        ::shutdown(pair.peer(), SHUT_WR);
    });
    s.negotiate();
    EXPECT_TRUE(s.negotiated);
    EXPECT_EQ(receive_timeout_ms(s.sockfd), 0);
    EXPECT_FALSE(read_timeout_armed(s));
    EXPECT_EQ(s.readSocket(), "250 over tls\r");
    server.join();
    EXPECT_TRUE(accepted);
}

TEST(SocketReadTimeout, FailedHandshakeLeavesAPlainSocketWaitedForWithPoll) {
    SocketPair pair;
    TlsSocket s("mx.example.test", pair.release_client());
    s.setSSLOpts(SSLSocket::VERIFY_NONE);
    // Five bytes that cannot start a TLS record: the handshake reads them
    // and fails, and nothing else is in the pair to be consumed.
    pair.send("XXXXX");
    auto e = thrown<SSLException>([&] { s.negotiate(); });
    EXPECT_EQ(e.method, "SSLSocket::negotiate()");
    EXPECT_EQ(e.index, 4u);
    EXPECT_FALSE(s.negotiated);
    EXPECT_EQ(receive_timeout_ms(s.sockfd), 0);
    EXPECT_FALSE(read_timeout_armed(s));
    // The client's hello went to the peer; plain lines still come through,
    // late ones too.
    EXPECT_FALSE(pair.received(1000).empty());
    {
        LateSender late(pair.peer(), "454 no tls\r\n", 200);
        EXPECT_EQ(s.readSocket(), "454 no tls\r");
    }
    s.writeSocket("QUIT\r\n");
    EXPECT_EQ(pair.received(1000), "QUIT\r\n");
}
