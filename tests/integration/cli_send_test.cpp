// The built travine-send program against a real SMTP server (aiosmtpd on
// 127.0.0.1): STARTTLS with AUTH and several copies over one connection,
// the masked transcript, and the exit codes of real failures.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "smtpd.h"
#include "support.h"
#include "tls_peer.h"

namespace {

#ifdef TRAVINE_SEND_PATH
const std::string PROGRAM = TRAVINE_SEND_PATH;
#else
const std::string PROGRAM;
#endif

std::string port_of(const Smtpd& server) { return std::to_string(server.port()); }

std::string stored(const Smtpd& server, int n, const char* field) {
    Stored m = server.message(n);
    const std::string f = field;
    return f == "from" ? m.from : f == "rcpts" ? m.rcpts : f == "auth" ? m.auth : m.content;
}

struct Outcome {
    int status = -1;  // exit code, or -1 when killed or not started
    std::string out, err;
};

// Runs travine-send with args, input on its standard input and extra
// environment entries; kills it after 20 seconds.
Outcome run(const std::vector<std::string>& args, const std::string& input = "",
            const std::vector<std::string>& env = {}) {
    Outcome r;
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        return r;
    }
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        std::vector<std::string> all = {PROGRAM};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all)
            argv.push_back(&a[0]);
        argv.push_back(nullptr);
        unsetenv("TRAVINE_PASSWORD");
        for (const std::string& e : env)
            putenv(const_cast<char*>(e.c_str()));
        execv(PROGRAM.c_str(), argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    signal(SIGPIPE, SIG_IGN);
    if (!input.empty()) {
        ssize_t n = write(in[1], input.data(), input.size());
        (void)n;
    }
    close(in[1]);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open_fds = 2;
    while (open_fds > 0 && std::chrono::steady_clock::now() < deadline) {
        if (poll(fds, 2, 200) <= 0)
            continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP)))
                continue;
            char buf[4096];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_fds;
            } else {
                (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
            }
        }
    }
    for (auto& f : fds) {
        if (f.fd >= 0)
            close(f.fd);
    }
    int status = 0;
    if (open_fds > 0)
        kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    if (open_fds == 0 && WIFEXITED(status))
        r.status = WEXITSTATUS(status);
    return r;
}

std::vector<std::string> tls(const std::string& mode) {
    const TestPki& pki = TestPki::get();
    return {"--mode", mode, "--cert", pki.server_cert, "--key", pki.server_key};
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A loopback port that nothing listens on (bound, then released).
std::string closed_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return std::to_string(ntohs(a.sin_port));
}

std::string header(const std::string& content, const std::string& name) {
    size_t p = content.find("\r\n" + name + ": ");
    if (p == std::string::npos)
        return "";
    p += name.size() + 4;
    return content.substr(p, content.find("\r\n", p) - p);
}

class CliSend : public ::testing::Test {
protected:
    void SetUp() override {
        if (PROGRAM.empty())
            GTEST_SKIP() << "travine-send is not built (TRAVINE_BUILD_TOOLS)";
        if (!aiosmtpd_available())
            GTEST_SKIP() << "/usr/bin/python3 cannot import aiosmtpd";
    }
};

}  // namespace

TEST_F(CliSend, StartTlsAuthThreeCopiesOverOneSession) {
    Smtpd server(tls("starttls") + std::vector<std::string>{"--auth", "tim:tanstaaftanstaaf"});
    ASSERT_TRUE(server.ready());
    TempDir dir;
    std::ofstream(dir.file("pw")) << "tanstaaftanstaaf\n";
    Outcome r = run({"--server",
                     "127.0.0.1",
                     "--port",
                     port_of(server),
                     "--tls",
                     "starttls",
                     "--cafile",
                     TestPki::get().ca_file,
                     "--user",
                     "tim",
                     "--password-file",
                     dir.file("pw"),
                     "--from",
                     "a@example.test",
                     "--to",
                     "b@example.test",
                     "--to",
                     "c@example.test",
                     "--subject",
                     "Gr\xC3\xBC\xC3\x9F"
                     "e",
                     "--domain",
                     "client.test",
                     "--count",
                     "3"},
                    "Hello.\n.leading dot\nend\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");  // not a terminal: no progress bar
    std::set<std::string> ids;
    for (int n = 1; n <= 3; ++n) {
        ASSERT_TRUE(server.has_message(n)) << n;
        EXPECT_EQ(stored(server, n, "from"), "a@example.test");
        EXPECT_EQ(stored(server, n, "rcpts"), "b@example.test\nc@example.test\n");
        EXPECT_EQ(stored(server, n, "auth"), "CRAM-MD5 tim");  // auto picks the strongest
        std::string content = stored(server, n, "content");
        EXPECT_EQ(content.compare(0, 22, "From: a@example.test\r\n"), 0) << content;
        EXPECT_EQ(header(content, "To"), "b@example.test, c@example.test");
        EXPECT_EQ(header(content, "Subject"), "=?UTF-8?B?R3LDvMOfZQ==?=");
        EXPECT_EQ(header(content, "MIME-Version"), "1.0");
        EXPECT_EQ(header(content, "Content-Type"), "text/plain; charset=UTF-8");
        EXPECT_EQ(header(content, "Content-Transfer-Encoding"), "8bit");
        EXPECT_EQ(header(content, "Date").size(), 31u);
        ids.insert(header(content, "Message-ID"));
        // The server removed the transparency dot again.
        EXPECT_EQ(content.substr(content.find("\r\n\r\n")),
                  "\r\n\r\nHello.\r\n.leading dot\r\nend\r\n");
    }
    EXPECT_FALSE(server.has_message(4));
    EXPECT_EQ(ids.size(), 3u);
}

TEST_F(CliSend, VerboseTranscriptMasksCredentialsUnlessDoubled) {
    Smtpd server({"--auth", "tim:tanstaaftanstaaf"});
    ASSERT_TRUE(server.ready());
    const std::vector<std::string> base = {"--server", "127.0.0.1", "--port", port_of(server),
                                           "--from",   "a@x.test",  "--to",   "b@x.test",
                                           "--body",   "hi",        "--user", "tim"};
    const std::string plain_b64 = "AHRpbQB0YW5zdGFhZnRhbnN0YWFm";  // "\0tim\0tanstaaftanstaaf"
    const std::vector<std::string> env = {"TRAVINE_PASSWORD=tanstaaftanstaaf"};

    Outcome masked = run(base + std::vector<std::string>{"--auth", "plain", "-v"}, "", env);
    ASSERT_EQ(masked.status, 0) << masked.err;
    EXPECT_NE(masked.err.find(":\tAUTH PLAIN ********\n"), std::string::npos) << masked.err;
    EXPECT_EQ(masked.err.find(plain_b64), std::string::npos);
    EXPECT_NE(masked.err.find(":\tMAIL FROM: <a@x.test>\n"), std::string::npos);
    EXPECT_NE(masked.err.find(":\t221 "), std::string::npos);
    EXPECT_NE(masked.err.find("credentials cross the network"), std::string::npos);

    Outcome login = run(base + std::vector<std::string>{"--auth", "login", "-v"}, "", env);
    ASSERT_EQ(login.status, 0) << login.err;
    EXPECT_EQ(login.err.find("dGlt"), std::string::npos) << login.err;  // base64 "tim"
    EXPECT_EQ(login.err.find("dGFuc3RhYWZ0YW5zdGFhZg=="), std::string::npos);
    size_t first = login.err.find(":\t********\n");
    ASSERT_NE(first, std::string::npos) << login.err;
    EXPECT_NE(login.err.find(":\t********\n", first + 1), std::string::npos);

    Outcome shown = run(base + std::vector<std::string>{"--auth", "plain", "-vv"}, "", env);
    ASSERT_EQ(shown.status, 0) << shown.err;
    EXPECT_NE(shown.err.find("AUTH PLAIN " + plain_b64), std::string::npos) << shown.err;
    EXPECT_TRUE(server.has_message(3));
}

TEST_F(CliSend, ImplicitTlsWithInsecureWarnsAndSends) {
    Smtpd server(tls("smtps"));
    ASSERT_TRUE(server.ready());
    Outcome r = run({"--server", "127.0.0.1", "--port", port_of(server), "--tls", "smtps",
                     "--insecure", "--from", "a@x.test", "--to", "b@x.test", "--body", ""});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("WARNING: --insecure"), std::string::npos);
    std::string content = stored(server, 1, "content");
    // An empty body: the header block, the blank line, nothing more.
    const std::string tail = "\r\nContent-Transfer-Encoding: 8bit\r\n\r\n";
    ASSERT_GE(content.size(), tail.size());
    EXPECT_EQ(content.substr(content.size() - tail.size()), tail);
}

TEST_F(CliSend, FailuresNameTheExceptionAndExitByClass) {
    Smtpd auth_server({"--auth", "tim:right", "--exclude", "CRAM-MD5"});
    Smtpd tls_server(tls("starttls"));
    ASSERT_TRUE(auth_server.ready());
    ASSERT_TRUE(tls_server.ready());
    const std::vector<std::string> msg = {"--from", "a@x.test", "--to",     "b@x.test",
                                          "--body", "x",        "--server", "127.0.0.1"};

    Outcome wrong =
        run(msg + std::vector<std::string>{"--port", port_of(auth_server), "--user", "tim", "--auth",
                                           "plain", "--password", "wrong"});
    EXPECT_EQ(wrong.status, 69) << wrong.err;
    EXPECT_NE(wrong.err.find("travine-send: TransferException in SMTP::evalResponse() [2]: 535"),
              std::string::npos)
        << wrong.err;

    Outcome mech = run(msg + std::vector<std::string>{"--port", port_of(auth_server), "--user", "tim",
                                                      "--auth", "cram-md5", "--password", "right"});
    EXPECT_EQ(mech.status, 77) << mech.err;
    EXPECT_NE(mech.err.find("travine-send: AuthenticationFailedException in "
                            "SMTP::check_auth_method() [1]: CRAM-MD5 authentication method is "
                            "not supported by server.\n"),
              std::string::npos)
        << mech.err;

    Outcome untrusted =
        run(msg + std::vector<std::string>{"--port", port_of(tls_server), "--tls", "starttls",
                                           "--cafile", TestPki::get().other_ca_file});
    EXPECT_EQ(untrusted.status, 76) << untrusted.err;
    EXPECT_NE(untrusted.err.find("travine-send: SSLException in SSLSocket::negotiate() ["),
              std::string::npos)
        << untrusted.err;

    Outcome refused = run(msg + std::vector<std::string>{"--port", closed_port(), "--count", "2"});
    EXPECT_EQ(refused.status, 69) << refused.err;
    EXPECT_NE(refused.err.find("TransferException in InetSocket::connect() [3]: "),
              std::string::npos)
        << refused.err;
    EXPECT_NE(refused.err.find("accepted 0 of 2 messages"), std::string::npos);
    EXPECT_FALSE(auth_server.has_message(1));
    EXPECT_FALSE(tls_server.has_message(1));
}

TEST_F(CliSend, BadInputIsRefusedBeforeAnyConnection) {
    Smtpd server({});
    ASSERT_TRUE(server.ready());
    const std::vector<std::string> base = {"--server", "127.0.0.1", "--port", port_of(server),
                                           "--from",   "a@x.test",  "--to",   "b@x.test"};
    Outcome missing = run(base + std::vector<std::string>{"--body-file", "/nonexistent/body"});
    EXPECT_EQ(missing.status, 66);
    EXPECT_EQ(missing.err,
              "travine-send: cannot read body file '/nonexistent/body': No such "
              "file or directory\n");
    Outcome port = run({"--server", "127.0.0.1", "--port", "smtp", "--from", "a@x", "--to", "b@x"});
    EXPECT_EQ(port.status, 64);
    EXPECT_NE(port.err.find("--port: 'smtp' is not a number"), std::string::npos);
    Outcome tls_no_ca = run(base + std::vector<std::string>{"--tls", "starttls", "--body", "x"});
    EXPECT_EQ(tls_no_ca.status, 64);
    EXPECT_NE(tls_no_ca.err.find("no system trust store"), std::string::npos);
    EXPECT_FALSE(server.has_message(1));

    Outcome help = run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Exit status:"), std::string::npos);
    Outcome version = run({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_NE(version.out.find("OpenSSL 3"), std::string::npos) << version.out;
}
