// The line transport over socket pairs and pipes, and its two connectors:
// TCP on loopback and a child process.
#include <dlfcn.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "exception.h"
#include "inetsocket.h"
#include "support.h"
#include "tls_peer.h"
#include "unixsocket.h"

namespace {

using Strings = std::vector<std::string>;

// The failure that f throws, as "text|method|index".
template <class E = TransferException>
std::string failure(const std::function<void()>& f) {
    auto e = thrown<E>(f);
    return e.msg + "|" + e.method + "|" + std::to_string(e.index);
}

std::string system_failure(int err, const char* method, int index) {
    return std::string(std::strerror(err)) + "|" + method + "|" + std::to_string(index);
}

const std::string CLOSED = "Socket was closed.|Socket::readSocket()|4";

}  // namespace

// "two.test" resolves to 127.0.0.2, then 127.0.0.1, as a name with several
// addresses does; other names as usual.
extern "C" int getaddrinfo(const char* node, const char* service, const struct addrinfo* hints,
                           struct addrinfo** res) {
    using Real = int (*)(const char*, const char*, const struct addrinfo*, struct addrinfo**);
    static const Real real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "getaddrinfo"));
    if (node == nullptr || std::strcmp(node, "two.test") != 0)
        return real(node, service, hints, res);
    const int rc = real("127.0.0.2", service, hints, res);
    return rc != 0 ? rc : real("127.0.0.1", service, hints, &(*res)->ai_next);
}

TEST(SocketRead, SplitsAtLineFeedsOnlyAndTakesNothingPastOne) {
    const std::string big(5000, 'x');  // longer than one look
    const std::vector<std::pair<std::string, Strings>> cases = {
        {"220 ready\r\n", {"220 ready\r"}},
        {"\n\n", {"", ""}},
        {"250-first\r\n250 second\r\n", {"250-first\r", "250 second\r"}},
        {std::string("x\0y\rz\n", 6), {std::string("x\0y\rz", 5)}},
        {big + "\nnext\n", {big, "next"}}};
    for (bool pipe : {false, true}) {  // a pipe cannot be looked at, only read
        for (const auto& [wire, lines] : cases) {
            int fds[2];
            ASSERT_EQ(pipe ? ::pipe(fds) : ::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
            InetSocket s(fds[0], "peer", 25);
            const std::string sent = wire + "partial";
            ASSERT_EQ(::write(fds[1], sent.data(), sent.size()), ssize_t(sent.size()));
            ::close(fds[1]);
            for (const std::string& line : lines)
                EXPECT_EQ(s.readSocket(), line) << (pipe ? "pipe" : "pair");
            EXPECT_EQ(failure([&] { s.readSocket(); }), CLOSED);  // the partial line is lost
        }
    }
}

TEST(SocketRead, FailuresCarryTheirTextAndIndex) {
    InetSocket none("peer", 25), dir(::open("/", O_RDONLY), "peer", 25);
    EXPECT_EQ(failure([&] { none.readSocket(); }), "Socket is closed.|Socket::readSocket()|5");
    EXPECT_EQ(failure([&] { none.writeSocket("x"); }), "Socket is closed.|Socket::writeSocket()|2");
    EXPECT_EQ(failure([&] { dir.readSocket(); }),
              system_failure(EISDIR, "Socket::readSocket()", 3));
    EXPECT_NE(::fcntl(dir.sockfd, F_GETFD), -1);  // a failure closes nothing
}

TEST(SocketRead, CapsALineAtMaxLineBytesAndWaitsForItsEnd) {
    // The line feed comes late: after MAX_LINE bytes, after one byte more,
    // and to a descriptor put in sockfd by hand or made non-blocking.
    for (size_t len : {Socket::MAX_LINE, Socket::MAX_LINE + 1, size_t(0), size_t(1)}) {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        Peer peer({{'S', std::string(len, 'x')}, {'P', "200"}, {'S', "\nnext\n"}}, fds[1]);
        InetSocket s(len == 0 ? -1 : fds[0], "peer", 25);
        s.sockfd = fds[0];
        if (len == 1)
            ::fcntl(s.sockfd, F_SETFL, O_NONBLOCK);
        if (len <= Socket::MAX_LINE) {
            EXPECT_EQ(s.readSocket().size(), len);
        } else {
            EXPECT_EQ(failure([&] { s.readSocket(); }), "Line too long.|Socket::readSocket()|6");
            EXPECT_EQ(s.readSocket(), "");  // the rest of the lost line
        }
        EXPECT_EQ(s.readSocket(), "next");
    }
}

TEST(SocketWrite, SendsAndLogsEveryByteAndReportsAGonePeerWithoutSIGPIPE) {
    for (bool pipe : {false, true}) {
        int fds[2];
        ASSERT_EQ(pipe ? ::pipe(fds) : ::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        InetSocket s(fds[1], "peer", 25);
        std::stringbuf log;
        s.rdbuf(&log);
        s.setVerbosity(Logger::VERBOSE);
        s.writeSocket(std::string("MAIL\0\r\n", 7));
        s.writeSocket("");
        char buf[16];
        EXPECT_EQ(std::string(buf, ::read(fds[0], buf, sizeof buf)), std::string("MAIL\0\r\n", 7));
        const std::string host = s.localhost() + ":\t";
        EXPECT_EQ(log.str(), host + std::string("MAIL\0\r\n", 7) + host);
        ::close(fds[0]);
        if (!pipe) {  // a pipe raises SIGPIPE, as any write() to it does
            EXPECT_EQ(failure([&] { s.writeSocket("QUIT\r\n"); }),
                      system_failure(EPIPE, "Socket::writeSocket()", 1));
        }
    }
}

TEST(SocketSignals, InterruptedWaitFailsAndACutShortWriteIsCompleted) {
    struct sigaction sa = {}, old;
    sa.sa_handler = [](int) {};  // without SA_RESTART
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    const pthread_t self = pthread_self();

    // A wait for the rest of a line fails with EINTR (index 1); the part of
    // the line read before is lost.
    SocketPair pair;
    InetSocket s(pair.release_client(), "peer", 25);
    pair.send("250 par");
    std::thread signaller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        pthread_kill(self, SIGUSR1);
    });
    EXPECT_EQ(failure([&] { s.readSocket(); }), system_failure(EINTR, "Socket::readSocket()", 1));
    signaller.join();
    pair.send("tial\r\n");
    EXPECT_EQ(s.readSocket(), "tial\r");

    // With a small send buffer and a slow reader that signals the writer
    // while the rest waits, one send() comes back short (the first run shows
    // it); writeSocket() goes on until every byte is out.
    const std::string data(1 << 20, 'd');
    for (bool library : {false, true}) {
        SocketPair slow;
        const int small = 4096;
        ::setsockopt(slow.client(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        InetSocket w(slow.release_client(), "peer", 25);
        size_t got = 0;
        std::thread reader([&] {
            char buf[4096];
            for (ssize_t n; (n = ::read(slow.peer(), buf, sizeof buf)) > 0; ::usleep(50)) {
                got += size_t(n);
                if (got % (64 * 1024) < size_t(n) && got < data.size() / 2)
                    pthread_kill(self, SIGUSR1);
            }
        });
        const ssize_t sent = library ? (w.writeSocket(data), ssize_t(data.size()))
                                     : ::send(w.sockfd, data.data(), data.size(), 0);
        ::shutdown(w.sockfd, SHUT_WR);
        reader.join();
        EXPECT_EQ(got, size_t(sent));
        EXPECT_EQ(sent < ssize_t(data.size()), !library);
    }
    sigaction(SIGUSR1, &old, nullptr);
}

TEST(InetConnect, TriesTheFirstIPv4OrIPv6AddressOnly) {
    Peer peer({{'S', "220 up\r\n"}, {'C', "QUIT\r\n"}});
    struct addrinfo* none = nullptr;
    const std::string unknown = gai_strerror(::getaddrinfo("no-such-host.invalid", "25", 0, &none));
    // The name, and how connecting ends: connected, or the end of the failure.
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"two.test", system_failure(ECONNREFUSED, "InetSocket::connect()", 3)},
        {"::1", "|InetSocket::connect()|3"},  // tried, though nothing listens there
        {"no-such-host.invalid", unknown + "|InetSocket::connect()|1"},
        {"127.0.0.1", "connected"}};
    for (const auto& [host, outcome] : cases) {
        const int before = open_descriptor_count();
        {
            InetSocket s(host, peer.port());
            if (outcome == "connected") {
                s.connect();
                EXPECT_EQ(s.readSocket(), "220 up\r");
                s.writeSocket("QUIT\r\n");
            } else {
                EXPECT_THAT(failure([&] { s.connect(); }), testing::EndsWith(outcome)) << host;
                // A failed connection keeps its descriptor until the object goes.
                EXPECT_EQ(open_descriptor_count() - before, outcome.back() == '3') << host;
            }
        }
        // (After connecting, the peer closes its listener meanwhile.)
        EXPECT_TRUE(outcome == "connected" || open_descriptor_count() == before) << host;
    }
    peer.join();
    EXPECT_EQ(peer.received, "QUIT\r\n");
}

TEST(UnixConnect, RunsTheProgramOnThePairWithItsArguments) {
    // Each program prints one line and ends. The child's end of the pair
    // keeps blocking reads: no receive time-out reaches the child.
    const std::vector<std::pair<Strings, std::string>> cases = {
        {{"/bin/echo", "a", "b"}, "a b"},
        {{"echo", "one arg", std::string("cut\0off", 7)}, "one arg cut"},
        {{"echo"}, ""},
        {{"/usr/bin/python3", "-c",
          "import socket, struct; s = socket.socket(fileno=0); print(*struct.unpack('ll', "
          "s.getsockopt(socket.SOL_SOCKET, socket.SO_RCVTIMEO, 16))); s.detach()"},
         "0 0"}};
    const int before = open_descriptor_count();
    for (const auto& [argv, line] : cases) {
        UnixSocket s(argv);
        s.connect();
        EXPECT_EQ(s.readSocket(), line);
        EXPECT_EQ(failure([&] { s.readSocket(); }), CLOSED);
    }
    UnixSocket cat(Strings{"cat"});
    cat.connect();
    cat.writeSocket("EHLO child\r\n");
    EXPECT_EQ(cat.readSocket(), "EHLO child\r");
    EXPECT_EQ(failure([] { UnixSocket(Strings{}).connect(); }),
              "No program to run.|UnixSocket::connect()|3");
    EXPECT_EQ(open_descriptor_count(), before + 1);
}

TEST(Timeouts, ConnectingAndWritingEndAfterTheLimitWithoutProgress) {
    // Over TLS and in clear, a peer that takes nothing; a listener whose
    // backlog is full, which leaves further connections unanswered.
    const std::string big(4 << 20, 'x');
    SocketPair tls, plain;
    Peer peer({{'T', ""}, {'P', "3000"}}, tls.peer());
    InetSocket secure(tls.release_client(), "peer", 25),
        writing(plain.release_client(), "peer", 25);
    secure.setSSLOpts(SSLSocket::VERIFY_NONE);
    secure.negotiate();
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), len), 0);
    ASSERT_EQ(::listen(listener, 0), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    std::vector<int> queued;
    for (int i = 0; i < 2; ++i) {
        queued.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        ::connect(queued.back(), reinterpret_cast<sockaddr*>(&addr), len);
    }
    InetSocket connecting("127.0.0.1", ntohs(addr.sin_port));
    for (InetSocket* s : {&secure, &writing, &connecting})
        s->setTimeout(1);
    EXPECT_EQ(failure<SSLException>([&] { secure.writeSocket(big); }),
              "Socket timeout.|SSLSocket::ssl_writeSocket()|3");
    EXPECT_EQ(failure([&] { writing.writeSocket(big); }),
              "Socket timeout.|Socket::writeSocket()|3");
    EXPECT_EQ(failure([&] { connecting.connect(); }), "Socket timeout.|InetSocket::connect()|4");
    for (int fd : queued)
        ::close(fd);
    ::close(listener);
}

TEST(UnixConnect, DestroyingReapsTheChild) {
    // cat ends at the end of its input; sleep does not read it and is
    // stopped; a program that cannot start has ended already.
    for (const Strings& argv : {Strings{"cat"}, Strings{"sleep", "30"}, Strings{"/nonexistent"}}) {
        pid_t child;
        {
            UnixSocket s(argv);
            s.connect();
            child = s.pid;
        }
        EXPECT_EQ(::waitpid(child, nullptr, WNOHANG), -1) << argv[0];
        EXPECT_EQ(errno, ECHILD) << argv[0];
    }
}

TEST(UnixConnect, AMissingProgramShowsOnTheFirstReadOrReachesACallbackHere) {
    // What the host has buffered (here without a line end) is written by the
    // host alone, never a second time by the child that fails.
    const std::string failed = std::string("execvp() failed: ") + std::strerror(ENOENT);
    std::fflush(stdout);
    const int saved = ::dup(1);
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    ::dup2(out[1], 1);
    std::fputs("buffered", stdout);
    UnixSocket s(Strings{"/nonexistent/program"}), missing(Strings{"/nonexistent/program"});
    s.setVerbosity(Logger::ERROR);
    s.connect();
    EXPECT_EQ(s.readSocket(), failed);
    std::fflush(stdout);
    ::dup2(saved, 1);
    ::close(out[1]);
    char buf[64];
    EXPECT_EQ(std::string(buf, ::read(out[0], buf, sizeof buf)), "buffered");
    ::close(out[0]);
    ::close(saved);
    // The callback runs in this process, not in the child.
    capture_log(missing, Logger::ERROR);
    missing.connect();
    for (UnixSocket* u : {&s, &missing})
        EXPECT_EQ(failure([&] { u->readSocket(); }), CLOSED);
    EXPECT_EQ(logged(), Strings{failed});
}
