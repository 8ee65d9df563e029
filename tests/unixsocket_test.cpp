// The child-process connector with small system programs as peers.
#include <errno.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "exception.h"
#include "support.h"
#include "unixsocket.h"

namespace {

// Waits up to two seconds for the child pid to end and reaps it, unless
// keep. Its exit status, or -1: not ended in time, killed, or not a child
// left to reap.
int await_child(pid_t pid, bool keep = false) {
    for (int i = 0; i < 200; ++i) {
        siginfo_t info = {};
        int options = WEXITED | WNOHANG | (keep ? WNOWAIT : 0);
        if (::waitid(P_PID, static_cast<id_t>(pid), &info, options) != 0)
            return -1;
        if (info.si_pid == pid)
            return info.si_code == CLD_EXITED ? info.si_status : -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}

}  // namespace

TEST(UnixConnect, CatEchoesAndEndsWhenThePairIsClosed) {
    int before = open_descriptor_count();
    pid_t child;
    {
        UnixSocket s(std::vector<std::string>{"cat"});
        EXPECT_EQ(s.host, "cat");
        ASSERT_EQ(s.sockfd, -1);
        s.connect();
        ASSERT_GT(s.pid, 0);
        child = s.pid;
        s.writeSocket("EHLO child\r\n");
        EXPECT_EQ(s.readSocket(), "EHLO child\r");
    }
    EXPECT_EQ(open_descriptor_count(), before);
    // The destructor did not wait: cat, given the end of its input, ends
    // and is ours to reap.
    EXPECT_EQ(await_child(child), 0);
}

TEST(UnixConnect, PassesTheArgumentsThrough) {
    struct Case {
        const char* name;
        std::vector<std::string> argv;
        std::string line;
    };
    const Case cases[] = {
        {"two arguments", {"/bin/echo", "a", "b"}, "a b"},
        {"argument with a blank", {"echo", "one arg", "x"}, "one arg x"},
        {"argument cut at a NUL", {"echo", std::string("keep\0drop", 9)}, "keep"},
        {"no arguments", {"echo"}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UnixSocket s(c.argv);
        s.connect();
        EXPECT_EQ(s.readSocket(), c.line);
        EXPECT_EQ(thrown<TransferException>([&] { s.readSocket(); }).index, 4u);
        EXPECT_EQ(await_child(s.pid), 0);
    }
}

TEST(UnixConnect, MissingProgramShowsOnTheFirstRead) {
    // At ERROR the child's failure line goes to its standard output, which
    // is the pair; at the default threshold the stream just ends.
    for (bool logged : {false, true}) {
        SCOPED_TRACE(logged ? "at ERROR" : "default threshold");
        UnixSocket s(std::vector<std::string>{"/nonexistent/travine-no-such-program", "arg"});
        if (logged)
            s.setVerbosity(Logger::ERROR);
        s.connect();
        if (logged) {
            EXPECT_EQ(s.readSocket(), std::string("execvp() failed: ") + std::strerror(ENOENT));
        }
        EXPECT_EQ(thrown<TransferException>([&] { s.readSocket(); }).index, 4u);
        EXPECT_EQ(await_child(s.pid), 127);
    }
}

TEST(UnixConnect, EmptyArgumentVectorIsIndex3) {
    UnixSocket s(std::vector<std::string>{});
    EXPECT_EQ(s.host, "");
    ASSERT_NE(s.argv, nullptr);
    EXPECT_EQ(s.argv[0], nullptr);
    int before = open_descriptor_count();
    auto e = thrown<TransferException>([&] { s.connect(); });
    EXPECT_EQ(e.msg, "No program to run.");
    EXPECT_EQ(e.method, "UnixSocket::connect()");
    EXPECT_EQ(e.index, 3u);
    EXPECT_EQ(s.sockfd, -1);
    EXPECT_EQ(s.pid, -1);
    EXPECT_EQ(open_descriptor_count(), before);
}

TEST(UnixArgv, HoldsCopiesEndedByANullEntry) {
    std::vector<std::string> args = {"prog", "", "third"};
    UnixSocket s(args);
    args[0] = "changed";
    ASSERT_NE(s.argv, nullptr);
    EXPECT_STREQ(s.argv[0], "prog");
    EXPECT_STREQ(s.argv[1], "");
    EXPECT_STREQ(s.argv[2], "third");
    EXPECT_EQ(s.argv[3], nullptr);
    s.buildArgv({"one"});
    EXPECT_STREQ(s.argv[0], "one");
    EXPECT_EQ(s.argv[1], nullptr);
}

TEST(UnixLifecycle, ProgramEndingAtOnceEndsTheStreamAndIsReaped) {
    int before = open_descriptor_count();
    pid_t child;
    {
        UnixSocket s(std::vector<std::string>{"true"});
        s.connect();
        EXPECT_EQ(open_descriptor_count(), before + 1);
        auto e = thrown<TransferException>([&] { s.readSocket(); });
        EXPECT_EQ(e.msg, "Socket was closed.");
        EXPECT_EQ(e.method, "Socket::readSocket()");
        EXPECT_EQ(e.index, 4u);
        child = s.pid;
        ASSERT_EQ(await_child(child, true), 0);  // ended, not yet reaped
    }
    EXPECT_EQ(open_descriptor_count(), before);
    errno = 0;
    EXPECT_EQ(::waitpid(child, nullptr, WNOHANG), -1);  // the destructor reaped it
    EXPECT_EQ(errno, ECHILD);
}

TEST(UnixLifecycle, SecondConnectStartsAFreshChild) {
    UnixSocket s(std::vector<std::string>{"cat"});
    s.connect();
    pid_t first = s.pid;
    int before = open_descriptor_count();
    s.connect();
    EXPECT_NE(s.pid, first);
    EXPECT_EQ(open_descriptor_count(), before);
    s.writeSocket("fresh\n");
    EXPECT_EQ(s.readSocket(), "fresh");
    EXPECT_EQ(await_child(first), 0);  // the first cat saw the end of its input
    pid_t second = s.pid;
    s.close_connection();
    EXPECT_EQ(s.sockfd, -1);
    EXPECT_EQ(await_child(second), 0);
}
