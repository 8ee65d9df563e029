// The plain line transport over socket pairs with a pre-loaded peer.
#include <errno.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "exception.h"
#include "socket.h"
#include "support.h"

namespace {

// Socket leaves connect() to the connectors; these tests adopt descriptors.
class PlainSocket : public Socket {
public:
    using Socket::Socket;
    void connect() override {}
};

typedef std::vector<std::pair<std::string, int>> Log;
Log sink;

void collect(std::string text, int level) {
    sink.emplace_back(text, level);
}

std::string hostname() {
    struct utsname u;
    uname(&u);
    return u.nodename;
}

// Everything readable on fd right now, without waiting.
std::string drain(int fd) {
    std::string out;
    char buf[8192];
    ssize_t n;
    while ((n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0)
        out.append(buf, static_cast<size_t>(n));
    return out;
}

// Runs the peer's part f on a thread of its own, joined when the scope is
// left. A write that finds no room for 5 s (the reader has failed) throws,
// which ends the part instead of blocking the join.
class PeerThread {
public:
    PeerThread(SocketPair& pair, std::function<void()> f) {
        struct timeval limit = {5, 0};
        ::setsockopt(pair.peer(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        thread_ = std::thread([f] {
            try {
                f();
            } catch (const std::exception&) {
            }
        });
    }
    ~PeerThread() { finish(); }
    void finish() {
        if (thread_.joinable())
            thread_.join();
    }

private:
    std::thread thread_;
};

std::string pattern(size_t len) {
    std::string s(len, '\0');
    for (size_t i = 0; i < len; ++i)
        s[i] = static_cast<char>('a' + i % 26);
    return s;
}

// A descriptor whose peer sent part of a line and closed its end; with
// bytes of ours left unread there when reset, which makes the close a reset.
int peer_closed(bool reset) {
    SocketPair pair;
    if (reset && ::write(pair.client(), "x", 1) != 1)
        return -1;
    pair.send("250 parti");
    pair.close_peer();
    return pair.release_client();
}

}  // namespace

TEST(SocketReadLine, SplitsOnLineFeedOnlyAndKeepsCarriageReturn) {
    struct Case {
        const char* name;
        std::string wire;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"CR LF", "220 ready\r\n", {"220 ready\r"}},
        {"bare line feed", "\n", {""}},
        {"two lines in one packet", "250-first\r\n250 second\r\n", {"250-first\r", "250 second\r"}},
        {"mixed endings", "a\nb\r\n\r\n", {"a", "b\r", "\r"}},
        {"NUL and CR inside", std::string("x\0y\rz\n", 6), {std::string("x\0y\rz", 5)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SocketPair pair;
        PlainSocket s("peer", pair.release_client());
        pair.send(c.wire);
        for (const std::string& expected : c.lines)
            EXPECT_EQ(s.readSocket(), expected);
        // Nothing is left over: the peer closing now ends the stream.
        pair.close_peer();
        EXPECT_EQ(thrown<TransferException>([&] { s.readSocket(); }).index, 4u);
    }
}

TEST(SocketReadLine, FailuresCarryTheirTextAndIndex) {
    struct Case {
        const char* name;
        int (*open)();
        std::string msg;
        unsigned index;
    };
    const Case cases[] = {
        {"peer closed mid-line", [] { return peer_closed(false); }, "Socket was closed.", 4},
        {"read fails (byte-wise, on a directory)", [] { return ::open("/", O_RDONLY); },
         std::strerror(EISDIR), 3},
        {"connection reset (seen by the look)", [] { return peer_closed(true); },
         std::strerror(ECONNRESET), 3},
        {"descriptor not open fails the wait",
         [] {
             int fd = ::dup(0);
             ::close(fd);
             return fd;
         },
         std::strerror(EBADF), 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int fd = c.open();
        ASSERT_NE(fd, -1);
        PlainSocket s("peer", fd);
        auto e = thrown<TransferException>([&] { s.readSocket(); });
        EXPECT_EQ(e.msg, c.msg);
        EXPECT_EQ(e.method, "Socket::readSocket()");
        EXPECT_EQ(e.index, c.index);
        EXPECT_EQ(s.sockfd, fd);  // a failure closes nothing
        if (c.index == 1)
            s.sockfd = -1;  // the number may be someone else's by now
    }
}

TEST(SocketReadLine, WorksOnDescriptorAbove1024) {
    struct rlimit lim;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
    if (lim.rlim_cur < 1200) {
        if (lim.rlim_max != RLIM_INFINITY && lim.rlim_max < 1200)
            GTEST_SKIP() << "descriptor limit " << lim.rlim_max << " is below 1200";
        lim.rlim_cur = 1200;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lim), 0);
    }
    SocketPair pair;
    int high = ::fcntl(pair.client(), F_DUPFD, 1100);
    ASSERT_GE(high, 1100);
    PlainSocket s("peer", high);
    pair.send("250 high\r\n");
    EXPECT_EQ(s.readSocket(), "250 high\r");
    s.writeSocket("QUIT\r\n");
    EXPECT_EQ(pair.received(1000), "QUIT\r\n");
}

TEST(SocketReadLine, CapsTheLineAtMaxLine) {
    // The whole line in one write; or a head of it first and, once the
    // reader has taken that, the rest with the line feed and the next line.
    // MAX_LINE bytes pass; MAX_LINE + 1 fail having consumed no byte past the
    // one over the cap.
    for (size_t head : {size_t{0}, Socket::MAX_LINE - 10, Socket::MAX_LINE}) {
        for (size_t len : {Socket::MAX_LINE, Socket::MAX_LINE + 1}) {
            SCOPED_TRACE(testing::Message() << "length " << len << ", head " << head);
            SocketPair pair;
            PlainSocket s("peer", pair.release_client());
            PeerThread peer(pair, [&] {
                pair.send(std::string(head, 'x'));
                int queued = head > 0 ? 1 : 0;
                for (int i = 0; queued > 0 && i < 5000; ++i) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    if (::ioctl(pair.peer(), SIOCOUTQ, &queued) != 0)
                        break;
                }
                pair.send(std::string(len - head, 'x') + "\nnext\n");
            });
            if (len == Socket::MAX_LINE) {
                EXPECT_EQ(s.readSocket().size(), Socket::MAX_LINE);
            } else {
                auto e = thrown<TransferException>([&] { s.readSocket(); });
                EXPECT_EQ(e.msg, "Line too long.");
                EXPECT_EQ(e.method, "Socket::readSocket()");
                EXPECT_EQ(e.index, 6u);
                EXPECT_EQ(s.readSocket(), "");  // the rest of the lost line
            }
            EXPECT_EQ(s.readSocket(), "next");
        }
    }
}

TEST(SocketReadLine, ReadsNothingPastTheLineFeedAtAnyChunkBoundary) {
    // The reader looks in chunks of 4 KiB; what follows the line feed stays
    // in the descriptor (for the next line or a TLS handshake).
    for (size_t len : {size_t{4094}, size_t{4095}, size_t{4096}, size_t{4097}, size_t{8191},
                       size_t{8192}, size_t{100000}}) {
        SCOPED_TRACE(len);
        SocketPair pair;
        PlainSocket s("peer", pair.release_client());
        const std::string line = pattern(len);
        PeerThread peer(pair, [&] { pair.send(line + "\nnext\n" + "\x16\x03\x01 rest\n"); });
        EXPECT_EQ(s.readSocket(), line);
        EXPECT_EQ(s.readSocket(), "next");
        peer.finish();
        EXPECT_EQ(drain(s.sockfd), "\x16\x03\x01 rest\n");
    }
}

TEST(SocketReadLine, PipeIsReadByteWise) {
    // A pipe cannot be peeked at; writing falls back to write() there too,
    // and the writer's destructor closes its end.
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    PlainSocket in("peer", p[0]);
    {
        PlainSocket out("peer", p[1]);
        out.writeSocket("220 first\r\n");
        out.writeSocket(pattern(5000) + "\nleft");
    }
    EXPECT_EQ(in.readSocket(), "220 first\r");
    EXPECT_EQ(in.readSocket(), pattern(5000));
    char rest[16];
    ASSERT_EQ(::read(in.sockfd, rest, sizeof rest), 4);
    EXPECT_EQ(std::string(rest, 4), "left");
    auto e = thrown<TransferException>([&] { in.readSocket(); });
    EXPECT_EQ(e.msg, "Socket was closed.");
    EXPECT_EQ(e.index, 4u);
}

TEST(SocketClosed, ReadAndWriteFailWithoutTouchingADescriptor) {
    PlainSocket s("peer");
    ASSERT_EQ(s.sockfd, -1);
    errno = 0;
    auto r = thrown<TransferException>([&] { s.readSocket(); });
    auto w = thrown<TransferException>([&] { s.writeSocket("QUIT\r\n"); });
    EXPECT_EQ(errno, 0);  // no system call was made on -1
    EXPECT_EQ(r.msg, "Socket is closed.");
    EXPECT_EQ(r.method, "Socket::readSocket()");
    EXPECT_EQ(r.index, 5u);
    EXPECT_EQ(w.msg, "Socket is closed.");
    EXPECT_EQ(w.method, "Socket::writeSocket()");
    EXPECT_EQ(w.index, 2u);
}

TEST(SocketWrite, SendsTheBytesUnchangedAndPeerGoneIsAnErrorNotASignal) {
    SocketPair pair;
    PlainSocket s("peer", pair.release_client());
    s.writeSocket("MAIL FROM: <a@example.test>\r\n");
    s.writeSocket(std::string("\0\r\n", 3));
    EXPECT_EQ(pair.received(1000), std::string("MAIL FROM: <a@example.test>\r\n\0\r\n", 32));
    pair.close_peer();
    // SIGPIPE has its default action here: raising it would end the test.
    auto e = thrown<TransferException>([&] { s.writeSocket("QUIT\r\n"); });
    EXPECT_EQ(e.msg, std::strerror(EPIPE));
    EXPECT_EQ(e.method, "Socket::writeSocket()");
    EXPECT_EQ(e.index, 1u);
}

namespace {
void on_alarm(int) {}
}  // namespace

TEST(SocketWrite, CompletesAWriteCutShortBySignals) {
    // A timer interrupts the blocked writer again and again (no SA_RESTART)
    // while a slow reader drains the pair, so single writes come up short.
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_alarm;
    struct sigaction old_sa;
    ASSERT_EQ(sigaction(SIGALRM, &sa, &old_sa), 0);

    SocketPair pair;
    PlainSocket s("peer", pair.release_client());
    const std::string data = pattern(4 * 1024 * 1024);
    // The reader thread never takes the signal.
    sigset_t alrm, old_mask;
    sigemptyset(&alrm);
    sigaddset(&alrm, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alrm, &old_mask);
    std::string got;
    std::thread reader([&] {
        std::string chunk;
        while (got.size() < data.size() && !(chunk = pair.received(5000)).empty()) {
            got += chunk;
            usleep(200);
        }
    });
    pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);

    struct itimerval every = {{0, 500}, {0, 500}};
    setitimer(ITIMER_REAL, &every, nullptr);
    s.writeSocket(data);
    struct itimerval off = {{0, 0}, {0, 0}};
    setitimer(ITIMER_REAL, &off, nullptr);
    reader.join();
    sigaction(SIGALRM, &old_sa, nullptr);
    EXPECT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data);
}

TEST(SocketLog, TranscriptOfEveryLineAndBufferNoneOfFailures) {
    sink.clear();
    SocketPair pair;
    PlainSocket s("mx.example.test", pair.release_client());
    s.setVerbosity(Logger::VERBOSE);
    s.setCallBackFunction(collect);
    pair.send("220 ready\r\n");
    s.readSocket();
    s.writeSocket("QUIT\r\n");
    s.writeSocket("");  // writes nothing, shows the local name only
    EXPECT_EQ(pair.received(1000), "QUIT\r\n");
    const Log expected = {
        {"mx.example.test", 3},
        {":\t", 3},
        {"220 ready\r", 3},
        {"\n", 3},
        {hostname(), 3},
        {":\t", 3},
        {"QUIT\r\n", 3},
        {hostname(), 3},
        {":\t", 3},
        {"", 3},
    };
    EXPECT_EQ(sink, expected);

    sink.clear();
    s.setVerbosity(Logger::VVERBOSE);
    pair.send("partial");
    pair.close_peer();
    thrown<TransferException>([&] { s.readSocket(); });
    thrown<TransferException>([&] { s.writeSocket("x"); });
    EXPECT_TRUE(sink.empty());
}

TEST(SocketLog, ParentsThresholdDecidesAndTheLevelIsAlwaysSet) {
    // The socket's own threshold is QUIET; the parent's decides. A dropped
    // transcript still leaves the level at VERBOSE.
    sink.clear();
    Logger session;
    session.setVerbosity(Logger::VERBOSE);
    session.setCallBackFunction(collect);
    SocketPair pair;
    PlainSocket s("mx.example.test", pair.release_client());
    s.setParentLogger(&session);
    pair.send("250 ok\r\n");
    s.readSocket();
    EXPECT_EQ(sink, (Log{{"mx.example.test", 3}, {":\t", 3}, {"250 ok\r", 3}, {"\n", 3}}));

    sink.clear();
    session.setVerbosity(Logger::NORMAL);
    s << Logger::ERROR;
    pair.send("250 ok\r\n");
    EXPECT_EQ(s.readSocket(), "250 ok\r");
    EXPECT_EQ(s.lvl, Logger::VERBOSE);
    s << Logger::ERROR;
    s.writeSocket("QUIT\r\n");
    EXPECT_EQ(s.lvl, Logger::VERBOSE);
    EXPECT_TRUE(sink.empty());
}
