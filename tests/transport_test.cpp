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

TEST(SocketIo, SplitsLinesAtLineFeedsOnlyAndSendsAndLogsEveryByte) {
    const std::string big(5000, 'x');  // longer than one receive
    const std::string wire = "220 ready\r\n\n" + std::string("x\0y\rz\n", 6) + big + "\npartial";
    const Strings lines = {"220 ready\r", "", std::string("x\0y\rz", 5), big};
    for (bool pipe : {false, true}) {  // a pipe cannot be looked at, only read
        int fds[2];
        ASSERT_EQ(pipe ? ::pipe(fds) : ::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        InetSocket in(fds[0], "peer", 25);
        {
            InetSocket out(fds[1], "peer", 25);
            std::stringbuf log;
            out.rdbuf(&log);
            out.setVerbosity(Logger::VERBOSE);
            out.writeSocket(wire);
            out.writeSocket("");
            const std::string host = out.localhost() + ":\t";
            EXPECT_EQ(log.str(), host + wire + host);
        }
        for (const std::string& line : lines)
            EXPECT_EQ(in.readSocket(), line) << (pipe ? "pipe" : "pair");
        EXPECT_EQ(failure([&] { in.readSocket(); }), CLOSED);  // the partial line is lost
        // Writing to a pair whose other end has gone: EPIPE, without SIGPIPE.
        EXPECT_EQ(failure([&] { in.writeSocket("QUIT\r\n"); }),
                  system_failure(pipe ? EBADF : EPIPE, "Socket::writeSocket()", 1));
    }
}

TEST(SocketIo, FailuresCarryTheirTextAndIndex) {
    InetSocket none("peer", 25), dir(::open("/", O_RDONLY), "peer", 25);
    EXPECT_EQ(failure([&] { none.readSocket(); }), "Socket is closed.|Socket::readSocket()|5");
    EXPECT_EQ(failure([&] { none.writeSocket("x"); }), "Socket is closed.|Socket::writeSocket()|2");
    EXPECT_EQ(failure([&] { dir.readSocket(); }),
              system_failure(EISDIR, "Socket::readSocket()", 3));
    EXPECT_NE(::fcntl(dir.sockfd, F_GETFD), -1);  // a failure closes nothing
}

TEST(SocketRead, WaitsForALateLineEndUpToMaxLineBytesOrASignal) {
    // After len bytes, the line feed comes late: after MAX_LINE bytes, after
    // one byte more, to a descriptor put in sockfd by hand (0) or made
    // non-blocking (1), or (2) after a signal (without SA_RESTART), which
    // fails the wait; a failed read loses the bytes of the line read so far.
    struct sigaction sa = {}, old;
    sa.sa_handler = [](int) {};
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    for (size_t len : {Socket::MAX_LINE, Socket::MAX_LINE + 1, size_t(0), size_t(1), size_t(2)}) {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        Peer peer({{'S', std::string(len, 'x')}, {'P', "300"}, {'S', "\nnext\n"}}, fds[1]);
        InetSocket s(len == 0 ? -1 : fds[0], "peer", 25);
        s.sockfd = fds[0];
        if (len == 1)
            ::fcntl(s.sockfd, F_SETFL, O_NONBLOCK);
        std::thread signaller([len, self = pthread_self()] {
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            len == 2 && pthread_kill(self, SIGUSR1);
        });
        if (len == 2 || len > Socket::MAX_LINE) {
            EXPECT_EQ(failure([&] { s.readSocket(); }),
                      len == 2 ? system_failure(EINTR, "Socket::readSocket()", 1)
                               : "Line too long.|Socket::readSocket()|6");
            EXPECT_EQ(s.readSocket(), "");  // the rest of the lost line
        } else {
            EXPECT_EQ(s.readSocket().size(), len);
        }
        EXPECT_EQ(s.readSocket(), "next");
        signaller.join();
    }
    sigaction(SIGUSR1, &old, nullptr);
}

TEST(InetConnect, TriesTheFirstIPv4OrIPv6AddressOnly) {
    Peer peer({{'S', "220 up\r\n"}});
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
            } else {
                EXPECT_THAT(failure([&] { s.connect(); }), testing::EndsWith(outcome)) << host;
                // A failed connection keeps its descriptor until the object goes.
                EXPECT_EQ(open_descriptor_count() - before, outcome.back() == '3') << host;
            }
        }
        // (After connecting, the peer closes its listener meanwhile.)
        EXPECT_TRUE(outcome == "connected" || open_descriptor_count() == before) << host;
    }
}

TEST(UnixConnect, RunsTheProgramOnThePairAndReapsIt) {
    // The line each program prints (cat: echoes); sleep does not read, and is
    // stopped. The child's end of the pair keeps blocking reads: no receive
    // time-out reaches the child.
    const std::vector<std::pair<Strings, std::string>> cases = {
        {{"/bin/echo", "a", "b"}, "a b"},
        {{"echo", "one arg", std::string("cut\0off", 7)}, "one arg cut"},
        {{"echo"}, ""},
        {{"cat"}, "EHLO child\r"},
        {{"sleep", "30"}, "-"},
        {{"/usr/bin/python3", "-c",
          "import socket, struct; s = socket.socket(fileno=0); print(*struct.unpack('ll', "
          "s.getsockopt(socket.SOL_SOCKET, socket.SO_RCVTIMEO, 16))); s.detach()"},
         "0 0"}};
    const int before = open_descriptor_count();
    for (const auto& [argv, line] : cases) {
        pid_t child;
        {
            UnixSocket s(argv);
            s.connect();
            child = s.pid;
            if (argv[0] == "cat")
                s.writeSocket("EHLO child\r\n");
            EXPECT_EQ(line == "-" ? line : s.readSocket(), line);
        }
        EXPECT_EQ(::waitpid(child, nullptr, WNOHANG), -1) << argv[0];
        EXPECT_EQ(errno, ECHILD) << argv[0];
    }
    EXPECT_EQ(failure([] { UnixSocket(Strings{}).connect(); }),
              "No program to run.|UnixSocket::connect()|3");
    EXPECT_EQ(open_descriptor_count(), before);
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
    int port;
    const int listener = listen_loopback(0, &port);
    InetSocket queued("127.0.0.1", port), connecting("127.0.0.1", port);
    queued.connect();  // the one place in the listener's backlog
    for (InetSocket* s : {&secure, &writing, &connecting})
        s->setTimeout(1);
    EXPECT_EQ(failure<SSLException>([&] { secure.writeSocket(big); }),
              "Socket timeout.|SSLSocket::ssl_writeSocket()|3");
    EXPECT_EQ(failure([&] { writing.writeSocket(big); }),
              "Socket timeout.|Socket::writeSocket()|3");
    EXPECT_EQ(failure([&] { connecting.connect(); }), "Socket timeout.|InetSocket::connect()|4");
    ::close(listener);
}

TEST(UnixConnect, AMissingProgramIsReportedOnThePairOrInTheLogOfThisProcess) {
    // On the pair while the log goes to std::cout, where the child's own log
    // would have gone; else to the log's callback or stream. What the host
    // has buffered is written by the host alone, never a second time by the
    // child that fails.
    const std::string failed = std::string("execvp() failed: ") + std::strerror(ENOENT);
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    FILE* host = ::fdopen(out[1], "w");  // fully buffered; every child inherits it
    std::fputs("buffered", host);
    const Strings argv = {"/nonexistent/program"};
    UnixSocket pair(argv), callback(argv), stream(argv);
    std::stringbuf log;
    stream.rdbuf(&log);
    capture_log(callback, Logger::ERROR);
    for (UnixSocket* u : {&pair, &callback, &stream}) {
        u->setVerbosity(Logger::ERROR);
        u->connect();
    }
    EXPECT_EQ(pair.readSocket(), failed);
    for (UnixSocket* u : {&pair, &callback, &stream})
        EXPECT_EQ(failure([&] { u->readSocket(); }), CLOSED);
    EXPECT_EQ(logged(), Strings{failed});
    EXPECT_EQ(log.str(), failed + "\n");
    std::fclose(host);
    std::string written;  // up to the end, once every child has ended
    for (char c; ::read(out[0], &c, 1) == 1;)
        written += c;
    EXPECT_EQ(written, "buffered");
    ::close(out[0]);
}
