// The plain line transport over socket pairs with a pre-loaded peer.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
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

std::vector<std::pair<std::string, int>> sink;

void collect(std::string text, int level) {
    sink.emplace_back(text, level);
}

std::string hostname() {
    struct utsname u;
    uname(&u);
    return u.nodename;
}

class SocketLog : public ::testing::Test {
protected:
    void SetUp() override { sink.clear(); }
};

}  // namespace

TEST(SocketReadLine, KeepsCarriageReturnAndDropsLineFeed) {
    SocketPair pair;
    PlainSocket s("peer", pair.release_client());
    pair.send("220 ready\r\n");
    EXPECT_EQ(s.readSocket(), "220 ready\r");
}

TEST(SocketReadLine, SplitsOnLineFeedOnly) {
    struct Case {
        const char* name;
        std::string wire;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
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

TEST(SocketReadLine, ReadsNothingPastTheLineFeed) {
    SocketPair pair;
    PlainSocket s("peer", pair.release_client());
    pair.send("a\nb");
    EXPECT_EQ(s.readSocket(), "a");
    char rest[4];
    ASSERT_EQ(::read(s.sockfd, rest, sizeof rest), 1);
    EXPECT_EQ(rest[0], 'b');
}

TEST(SocketReadLine, PeerClosingMidLineLosesThePartialLine) {
    SocketPair pair;
    PlainSocket s("peer", pair.release_client());
    pair.send("250 parti");
    pair.close_peer();
    auto e = thrown<TransferException>([&] { s.readSocket(); });
    EXPECT_EQ(e.msg, "Socket was closed.");
    EXPECT_EQ(e.method, "Socket::readSocket()");
    EXPECT_EQ(e.index, 4u);
    // The descriptor stays open and keeps failing the same way.
    EXPECT_NE(s.sockfd, -1);
    EXPECT_EQ(thrown<TransferException>([&] { s.readSocket(); }).index, 4u);
}

TEST(SocketReadLine, FailedReadReportsTheSystemText) {
    int dir = ::open("/", O_RDONLY | O_DIRECTORY);
    ASSERT_NE(dir, -1);
    PlainSocket s("peer", dir);
    auto e = thrown<TransferException>([&] { s.readSocket(); });
    EXPECT_EQ(e.msg, std::strerror(EISDIR));
    EXPECT_EQ(e.method, "Socket::readSocket()");
    EXPECT_EQ(e.index, 3u);
}

TEST(SocketReadLine, DescriptorNotOpenFailsTheWait) {
    int fd = ::dup(0);
    ASSERT_NE(fd, -1);
    ::close(fd);
    PlainSocket s("peer", fd);
    auto e = thrown<TransferException>([&] { s.readSocket(); });
    s.sockfd = -1;
    EXPECT_EQ(e.msg, std::strerror(EBADF));
    EXPECT_EQ(e.method, "Socket::readSocket()");
    EXPECT_EQ(e.index, 1u);
}

TEST(SocketReadLine, WorksOnDescriptorAbove1024) {
    struct rlimit lim;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
    if (lim.rlim_cur < 1200) {
        if (lim.rlim_max != RLIM_INFINITY && lim.rlim_max < 1200) {
            GTEST_SKIP() << "descriptor limit " << lim.rlim_max << " is below 1200";
        }
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
    for (size_t len : {Socket::MAX_LINE, Socket::MAX_LINE + 1}) {
        SCOPED_TRACE(len);
        SocketPair pair;
        PlainSocket s("peer", pair.release_client());
        std::thread writer([&] { pair.send(std::string(len, 'x') + "\nnext\n"); });
        if (len == Socket::MAX_LINE) {
            EXPECT_EQ(s.readSocket().size(), Socket::MAX_LINE);
            EXPECT_EQ(s.readSocket(), "next");
        } else {
            auto e = thrown<TransferException>([&] { s.readSocket(); });
            EXPECT_EQ(e.msg, "Line too long.");
            EXPECT_EQ(e.method, "Socket::readSocket()");
            EXPECT_EQ(e.index, 6u);
            // The next call starts after the bytes already consumed.
            EXPECT_EQ(s.readSocket(), "");
            EXPECT_EQ(s.readSocket(), "next");
        }
        writer.join();
    }
}

// The reader looks at what has arrived in chunks of 4 KiB and takes exactly
// the bytes up to the line feed; these pin what must not change with that.

namespace {

// Everything readable on fd right now, without waiting.
std::string drain(int fd) {
    std::string out;
    char buf[8192];
    for (;;) {
        ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n <= 0)
            return out;
        out.append(buf, static_cast<size_t>(n));
    }
}

// Runs f on a thread of its own and joins it when the scope is left, also
// when a failed read unwinds the test.
class PeerThread {
public:
    explicit PeerThread(std::function<void()> f) : thread_(std::move(f)) {}
    ~PeerThread() { finish(); }
    // Waits until f has returned.
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

}  // namespace

TEST(SocketReadLine, AssemblesALineFromManySmallWrites) {
    SocketPair pair;
    PlainSocket s("peer", pair.release_client());
    const std::string wire = "250-one byte at a time\r\n250 and the next\r\n";
    PeerThread peer([&] {
        for (char c : wire) {
            pair.send(std::string(1, c));
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    EXPECT_EQ(s.readSocket(), "250-one byte at a time\r");
    EXPECT_EQ(s.readSocket(), "250 and the next\r");
    peer.finish();
    EXPECT_EQ(drain(s.sockfd), "");
}

TEST(SocketReadLine, LineFeedAroundTheChunkBoundary) {
    // Lengths before the line feed around one and two 4 KiB looks, and a
    // line far longer than a look; the next line follows in the same write.
    for (size_t len : {size_t{4094}, size_t{4095}, size_t{4096}, size_t{4097}, size_t{8191},
                       size_t{8192}, size_t{100000}}) {
        SCOPED_TRACE(len);
        SocketPair pair;
        PlainSocket s("peer", pair.release_client());
        const std::string line = pattern(len);
        PeerThread peer([&] { pair.send(line + "\nnext\n" + "rest"); });
        EXPECT_EQ(s.readSocket(), line);
        EXPECT_EQ(s.readSocket(), "next");
        peer.finish();
        EXPECT_EQ(drain(s.sockfd), "rest");
    }
}

TEST(SocketReadLine, LeavesEverythingAfterTheLineForTheTlsHandshake) {
    // The reply to STARTTLS followed at once by more than a look's worth of
    // binary bytes, line feeds among them: all of it stays in the descriptor,
    // in order.
    SocketPair pair;
    PlainSocket s("peer", pair.release_client());
    std::string tail = "\x16\x03\x01\x02\x00";
    for (int i = 0; i < 6000; ++i)
        tail += static_cast<char>((i * 37) & 0xff);
    PeerThread peer([&] { pair.send("220 2.0.0 Ready to start TLS\r\n" + tail); });
    EXPECT_EQ(s.readSocket(), "220 2.0.0 Ready to start TLS\r");
    peer.finish();
    EXPECT_TRUE(drain(s.sockfd) == tail);
}

TEST(SocketReadLine, PipeIsReadByteWise) {
    // A pipe cannot be peeked at: the reader takes one byte at a time there,
    // with the same results.
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

TEST(SocketReadLine, CapHoldsWhenTheEndArrivesWithWhatFollows) {
    // The reader has taken all but the last bytes of a long line when the
    // rest arrives in one write together with the line feed and the next
    // line: a line of MAX_LINE bytes is still accepted, one of MAX_LINE + 1
    // is refused having consumed no byte past the one over the cap.
    for (size_t len : {Socket::MAX_LINE, Socket::MAX_LINE + 1}) {
        SCOPED_TRACE(len);
        SocketPair pair;
        PlainSocket s("peer", pair.release_client());
        const size_t head = Socket::MAX_LINE - 10;
        PeerThread peer([&] {
            pair.send(std::string(head, 'x'));
            // Until the reader has taken every byte sent so far.
            auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            int queued = 1;
            while (queued > 0 && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                if (::ioctl(pair.peer(), SIOCOUTQ, &queued) != 0)
                    break;
            }
            pair.send(std::string(len - head, 'x') + "\nnext\n");
        });
        if (len == Socket::MAX_LINE) {
            EXPECT_EQ(s.readSocket().size(), Socket::MAX_LINE);
        } else {
            EXPECT_EQ(thrown<TransferException>([&] { s.readSocket(); }).index, 6u);
            EXPECT_EQ(s.readSocket(), "");
        }
        EXPECT_EQ(s.readSocket(), "next");
    }
}

TEST(SocketReadLine, ResetConnectionIsAFailedRead) {
    // A TCP peer that aborts the connection: the look reports the reset as a
    // read would (index 3, the system's text).
    int lfd = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(lfd, -1);
    struct sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t alen = sizeof a;
    ASSERT_EQ(::bind(lfd, reinterpret_cast<struct sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(lfd, 1), 0);
    ASSERT_EQ(::getsockname(lfd, reinterpret_cast<struct sockaddr*>(&a), &alen), 0);
    int cfd = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(::connect(cfd, reinterpret_cast<struct sockaddr*>(&a), sizeof a), 0);
    int sfd = ::accept(lfd, nullptr, nullptr);
    ::close(lfd);
    ASSERT_NE(sfd, -1);
    PlainSocket s("peer", cfd);
    struct linger abort_now = {1, 0};
    ::setsockopt(sfd, SOL_SOCKET, SO_LINGER, &abort_now, sizeof abort_now);
    ASSERT_EQ(::write(sfd, "250 partial", 11), 11);
    ::close(sfd);
    auto e = thrown<TransferException>([&] { s.readSocket(); });
    EXPECT_EQ(e.msg, std::strerror(ECONNRESET));
    EXPECT_EQ(e.method, "Socket::readSocket()");
    EXPECT_EQ(e.index, 3u);
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

TEST(SocketWrite, SendsTheBytesUnchanged) {
    SocketPair pair;
    PlainSocket s("peer", pair.release_client());
    s.writeSocket("MAIL FROM: <a@example.test>\r\n");
    s.writeSocket(std::string("\0\r\n", 3));
    EXPECT_EQ(pair.received(1000), std::string("MAIL FROM: <a@example.test>\r\n\0\r\n", 32));
}

TEST(SocketWrite, PeerGoneIsAnErrorNotASignal) {
    SocketPair pair;
    PlainSocket s("peer", pair.release_client());
    pair.close_peer();
    // SIGPIPE has its default action here: raising it would end the test.
    auto e = thrown<TransferException>([&] { s.writeSocket("QUIT\r\n"); });
    EXPECT_EQ(e.msg, std::strerror(EPIPE));
    EXPECT_EQ(e.method, "Socket::writeSocket()");
    EXPECT_EQ(e.index, 1u);
}

TEST(SocketWrite, WorksOnAPipe) {
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    {
        PlainSocket out("peer", p[1]);
        out.writeSocket("line\n");
    }
    PlainSocket in("peer", p[0]);
    EXPECT_EQ(in.readSocket(), "line");
}

namespace {
void on_alarm(int) {}
}  // namespace

TEST(SocketWrite, CompletesAWriteCutShortBySignals) {
    // A timer interrupts the blocked writer again and again while a slow
    // reader drains the pair, so single write calls return short counts.
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_alarm;  // no SA_RESTART
    struct sigaction old_sa;
    ASSERT_EQ(sigaction(SIGALRM, &sa, &old_sa), 0);

    SocketPair pair;
    PlainSocket s("peer", pair.release_client());
    std::string data(4 * 1024 * 1024, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>('a' + i % 26);

    // The reader thread never takes the signal.
    sigset_t alrm, old_mask;
    sigemptyset(&alrm);
    sigaddset(&alrm, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alrm, &old_mask);
    std::string got;
    std::thread reader([&] {
        while (got.size() < data.size()) {
            std::string chunk = pair.received(5000);
            if (chunk.empty())
                break;
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

TEST_F(SocketLog, TranscriptAtVerbose) {
    SocketPair pair;
    PlainSocket s("mx.example.test", pair.release_client());
    s.setVerbosity(Logger::VERBOSE);
    s.setCallBackFunction(collect);
    pair.send("220 ready\r\n");
    s.readSocket();
    s.writeSocket("QUIT\r\n");
    const std::vector<std::pair<std::string, int>> expected = {
        {"mx.example.test", 3}, {":\t", 3}, {"220 ready\r", 3}, {"\n", 3},
        {hostname(), 3},        {":\t", 3}, {"QUIT\r\n", 3},
    };
    EXPECT_EQ(sink, expected);
}

TEST_F(SocketLog, EmptyWriteShowsTheLocalNameOnly) {
    SocketPair pair;
    PlainSocket s("peer", pair.release_client());
    s.setVerbosity(Logger::VERBOSE);
    s.setCallBackFunction(collect);
    s.writeSocket("");
    EXPECT_EQ(pair.received(50), "");
    const std::vector<std::pair<std::string, int>> expected = {
        {hostname(), 3}, {":\t", 3}, {"", 3}};
    EXPECT_EQ(sink, expected);
}

TEST_F(SocketLog, NothingForFailures) {
    SocketPair pair;
    PlainSocket s("peer", pair.release_client());
    s.setVerbosity(Logger::VVERBOSE);
    s.setCallBackFunction(collect);
    pair.send("partial");
    pair.close_peer();
    thrown<TransferException>([&] { s.readSocket(); });
    thrown<TransferException>([&] { s.writeSocket("x"); });
    EXPECT_TRUE(sink.empty());
}

TEST_F(SocketLog, DroppedTranscriptStillSetsTheLevel) {
    // Below the threshold nothing is delivered, but the statements have set
    // the level to VERBOSE as they always did.
    SocketPair pair;
    PlainSocket s("peer", pair.release_client());
    s.setVerbosity(Logger::NORMAL);
    s.setCallBackFunction(collect);
    s << Logger::ERROR;
    pair.send("220 ready\r\n");
    EXPECT_EQ(s.readSocket(), "220 ready\r");
    EXPECT_EQ(s.lvl, Logger::VERBOSE);
    s << Logger::ERROR;
    s.writeSocket("QUIT\r\n");
    EXPECT_EQ(s.lvl, Logger::VERBOSE);
    EXPECT_TRUE(sink.empty());
}

TEST_F(SocketLog, TranscriptFollowsTheParentsThreshold) {
    // The socket's own threshold is QUIET; the parent's decides.
    Logger session;
    session.setVerbosity(Logger::VERBOSE);
    session.setCallBackFunction(collect);
    SocketPair pair;
    PlainSocket s("mx.example.test", pair.release_client());
    s.setParentLogger(&session);
    pair.send("250 ok\r\n");
    s.readSocket();
    const std::vector<std::pair<std::string, int>> expected = {
        {"mx.example.test", 3}, {":\t", 3}, {"250 ok\r", 3}, {"\n", 3}};
    EXPECT_EQ(sink, expected);
    sink.clear();
    session.setVerbosity(Logger::NORMAL);
    pair.send("250 ok\r\n");
    s.readSocket();
    s.writeSocket("QUIT\r\n");
    EXPECT_TRUE(sink.empty());
}

TEST(SocketDestructor, ClosesAnAdoptedDescriptorAndNothingElse) {
    SocketPair pair;
    int fd = pair.release_client();
    int before = open_descriptor_count();
    { PlainSocket none("peer"); }
    EXPECT_EQ(open_descriptor_count(), before);
    { PlainSocket s("peer", fd); }
    EXPECT_EQ(open_descriptor_count(), before - 1);
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
    // The peer sees the end of the stream.
    char c;
    EXPECT_EQ(::read(pair.peer(), &c, 1), 0);
}
