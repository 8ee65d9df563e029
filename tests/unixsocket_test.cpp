// The child-process connector with small system programs as peers.
#include <errno.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "exception.h"
#include "support.h"
#include "unixsocket.h"

namespace {

// State letter of process pid from /proc ('Z' once it has ended and is not
// yet reaped), or 0 when there is no such process.
char process_state(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line))
        return 0;
    size_t close_paren = line.rfind(')');
    if (close_paren == std::string::npos || close_paren + 2 >= line.size())
        return 0;
    return line[close_paren + 2];
}

// Waits up to two seconds for pid to end, without reaping it.
bool ended_within_deadline(pid_t pid) {
    for (int i = 0; i < 200; ++i) {
        char state = process_state(pid);
        if (state == 'Z' || state == 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// Reaps pid, waiting up to two seconds; its exit status or -1.
int reap(pid_t pid) {
    for (int i = 0; i < 200; ++i) {
        int status;
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (r == -1)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}

}  // namespace

TEST(UnixConnect, CatEchoesALine) {
    UnixSocket s(std::vector<std::string>{"cat"});
    EXPECT_EQ(s.host, "cat");
    ASSERT_EQ(s.sockfd, -1);
    s.connect();
    ASSERT_NE(s.sockfd, -1);
    ASSERT_GT(s.pid, 0);
    s.writeSocket("EHLO child\r\n");
    EXPECT_EQ(s.readSocket(), "EHLO child\r");
    s.writeSocket("second\n");
    EXPECT_EQ(s.readSocket(), "second");
    pid_t child = s.pid;
    s.close_connection();  // cat sees the end of its input and ends
    EXPECT_EQ(reap(child), 0);
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
        EXPECT_EQ(reap(s.pid), 0);
    }
}

TEST(UnixConnect, ProgramEndingAtOnceClosesTheStream) {
    UnixSocket s(std::vector<std::string>{"true"});
    s.connect();
    auto e = thrown<TransferException>([&] { s.readSocket(); });
    EXPECT_EQ(e.msg, "Socket was closed.");
    EXPECT_EQ(e.method, "Socket::readSocket()");
    EXPECT_EQ(e.index, 4u);
}

TEST(UnixConnect, MissingProgramShowsOnTheFirstRead) {
    const std::string missing = "/nonexistent/travine-no-such-program";
    {
        // Default threshold: the child logs nothing, the stream just ends.
        UnixSocket s(std::vector<std::string>{missing});
        s.connect();
        EXPECT_EQ(thrown<TransferException>([&] { s.readSocket(); }).index, 4u);
        EXPECT_EQ(reap(s.pid), 127);
    }
    {
        // At ERROR the child's failure line goes to its standard output,
        // which is the pair.
        UnixSocket s(std::vector<std::string>{missing, "arg"});
        s.setVerbosity(Logger::ERROR);
        s.connect();
        EXPECT_EQ(s.readSocket(), std::string("execvp() failed: ") + std::strerror(ENOENT));
        EXPECT_EQ(thrown<TransferException>([&] { s.readSocket(); }).index, 4u);
        EXPECT_EQ(reap(s.pid), 127);
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

TEST(UnixLifecycle, LeavesNoDescriptorAndReapsAnEndedChild) {
    int before = open_descriptor_count();
    pid_t child;
    {
        UnixSocket s(std::vector<std::string>{"true"});
        s.connect();
        EXPECT_EQ(open_descriptor_count(), before + 1);
        child = s.pid;
        ASSERT_TRUE(ended_within_deadline(child));
    }
    EXPECT_EQ(open_descriptor_count(), before);
    errno = 0;
    EXPECT_EQ(::waitpid(child, nullptr, WNOHANG), -1);  // already reaped
    EXPECT_EQ(errno, ECHILD);
}

TEST(UnixLifecycle, RunningChildIsLeftToEndOnItsOwn) {
    int before = open_descriptor_count();
    pid_t child;
    {
        UnixSocket s(std::vector<std::string>{"cat"});
        s.connect();
        child = s.pid;
        s.writeSocket("ping\n");
        EXPECT_EQ(s.readSocket(), "ping");
    }
    EXPECT_EQ(open_descriptor_count(), before);
    // Closing the pair gave cat the end of its input.
    EXPECT_EQ(reap(child), 0);
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
    EXPECT_EQ(reap(first), 0);  // the first cat saw the end of its input
}
