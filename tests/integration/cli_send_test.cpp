// The built travine-send program against a real SMTP server (aiosmtpd on
// 127.0.0.1): STARTTLS with AUTH and several copies over one connection,
// the masked transcript, and the exit codes of real failures.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "smtpd.h"
#include "support.h"
#include "tls_peer.h"

using Strings = std::vector<std::string>;

namespace {

#ifdef TRAVINE_SEND_PATH
const std::string PROGRAM = TRAVINE_SEND_PATH;
#else
const std::string PROGRAM;
#endif

struct Outcome {
    int status = -1;  // exit code (137 when killed)
    std::string out, err;
};

// Runs travine-send with args, input on its standard input and env (such
// as "NAME=value") in its environment; kills it after 20 seconds.
Outcome run(const Strings& args, const std::string& input = "", const std::string& env = "") {
    auto quoted = [](const std::string& text) {
        std::string q = "'";
        for (char c : text) {
            q += c == '\'' ? std::string("'\\''") : std::string(1, c);
        }
        return q + "'";
    };
    TempDir dir;
    std::ofstream(dir.file("in"), std::ios::binary) << input;
    std::string command =
        "env -u TRAVINE_PASSWORD " + env + " timeout -s KILL 20 " + quoted(PROGRAM);
    for (const std::string& a : args) {
        command += " " + quoted(a);
    }
    command += " <" + dir.file("in") + " >" + dir.file("out") + " 2>" + dir.file("err");
    const int status = std::system(command.c_str());
    Outcome r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = slurp(dir.file("out"));
    r.err = slurp(dir.file("err"));
    return r;
}

Strings operator+(Strings a, const Strings& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Strings tls(const std::string& mode) {
    const TestPki& pki = TestPki::get();
    return {"--mode", mode, "--cert", pki.server_cert, "--key", pki.server_key};
}

Strings to_server(const Smtpd& server) {
    return {"--server", "127.0.0.1", "--port", std::to_string(server.port()),
            "--from",   "a@x.test",  "--to",   "b@x.test"};
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
    if (p == std::string::npos) {
        return "";
    }
    p += name.size() + 4;
    return content.substr(p, content.find("\r\n", p) - p);
}

class CliSend : public ::testing::Test {
protected:
    void SetUp() override {
        if (PROGRAM.empty()) {
            GTEST_SKIP() << "travine-send is not built (TRAVINE_BUILD_TOOLS)";
        }
        if (!aiosmtpd_available()) {
            GTEST_SKIP() << "/usr/bin/python3 cannot import aiosmtpd";
        }
    }
};

}  // namespace

TEST_F(CliSend, StartTlsAuthThreeCopiesOverOneSession) {
    Smtpd server(tls("starttls") + Strings{"--auth", "tim:tanstaaftanstaaf"});
    ASSERT_TRUE(server.ready());
    TempDir dir;
    std::ofstream(dir.file("pw")) << "tanstaaftanstaaf\n";
    Outcome r =
        run(to_server(server) + Strings{"--to", "c@x.test", "--subject", "Gr\u00fc\u00dfe", "--tls",
                                        "starttls", "--cafile", TestPki::get().ca_file, "--user",
                                        "tim", "--password-file", dir.file("pw"), "--count", "3"},
            "Hello.\n.leading dot\nend\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");  // not a terminal: no progress bar
    std::set<std::string> ids;
    for (int n = 1; n <= 3; ++n) {
        ASSERT_TRUE(server.has_message(n)) << n;
        const Stored m = server.message(n);
        EXPECT_EQ(m.from, "a@x.test");
        EXPECT_EQ(m.rcpts, "b@x.test\nc@x.test\n");
        EXPECT_EQ(m.auth, "CRAM-MD5 tim");  // auto picks the strongest
        EXPECT_EQ(m.content.compare(0, 16, "From: a@x.test\r\n"), 0) << m.content;
        EXPECT_EQ(header(m.content, "To"), "b@x.test, c@x.test");
        EXPECT_EQ(header(m.content, "Subject"), "=?UTF-8?B?R3LDvMOfZQ==?=");
        EXPECT_EQ(header(m.content, "Content-Transfer-Encoding"), "8bit");
        EXPECT_EQ(header(m.content, "Date").size(), 31u);
        ids.insert(header(m.content, "Message-ID"));
        // The server removed the transparency dot again.
        EXPECT_EQ(m.content.substr(m.content.find("\r\n\r\n")),
                  "\r\n\r\nHello.\r\n.leading dot\r\nend\r\n");
    }
    EXPECT_FALSE(server.has_message(4));
    EXPECT_EQ(ids.size(), 3u);
}

TEST_F(CliSend, VerboseTranscriptMasksCredentialsUnlessDoubled) {
    Smtpd server({"--auth", "tim:tanstaaftanstaaf"});
    ASSERT_TRUE(server.ready());
    const Strings base = to_server(server) + Strings{"--body", "hi", "--user", "tim"};
    const std::string env = "TRAVINE_PASSWORD=tanstaaftanstaaf";

    Outcome login = run(base + Strings{"--auth", "login", "-v"}, "", env);
    ASSERT_EQ(login.status, 0) << login.err;
    EXPECT_EQ(login.err.find("dGlt"), std::string::npos) << login.err;  // base64 "tim"
    EXPECT_EQ(login.err.find("dGFuc3RhYWZ0YW5zdGFhZg=="), std::string::npos);
    const size_t first = login.err.find(":\t********\n");
    ASSERT_NE(first, std::string::npos) << login.err;
    EXPECT_NE(login.err.find(":\t********\n", first + 1), std::string::npos);
    EXPECT_NE(login.err.find(":\tMAIL FROM: <a@x.test>\n"), std::string::npos);
    EXPECT_NE(login.err.find(":\t221 "), std::string::npos);
    EXPECT_NE(login.err.find("credentials cross the network"), std::string::npos);

    Outcome shown = run(base + Strings{"--auth", "plain", "-vv"}, "", env);
    ASSERT_EQ(shown.status, 0) << shown.err;
    // "\0tim\0tanstaaftanstaaf"
    EXPECT_NE(shown.err.find("AUTH PLAIN AHRpbQB0YW5zdGFhZnRhbnN0YWFm"), std::string::npos)
        << shown.err;
    EXPECT_TRUE(server.has_message(2));
}

TEST_F(CliSend, ImplicitTlsWithInsecureWarnsAndSends) {
    Smtpd server(tls("smtps"));
    ASSERT_TRUE(server.ready());
    Outcome r = run(to_server(server) + Strings{"--tls", "smtps", "--insecure", "--body", ""});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("WARNING: --insecure"), std::string::npos);
    // An empty body: the header block, the blank line, nothing more.
    const std::string content = server.message(1).content;
    const std::string tail = "\r\nContent-Transfer-Encoding: 8bit\r\n\r\n";
    ASSERT_GE(content.size(), tail.size());
    EXPECT_EQ(content.substr(content.size() - tail.size()), tail);
}

TEST_F(CliSend, FailuresNameTheExceptionAndExitByClass) {
    Smtpd auth_server({"--auth", "tim:right", "--exclude", "CRAM-MD5"});
    Smtpd tls_server(tls("starttls"));
    ASSERT_TRUE(auth_server.ready());
    ASSERT_TRUE(tls_server.ready());

    Outcome mech = run(to_server(auth_server) + Strings{"--body", "x", "--user", "tim", "--auth",
                                                        "cram-md5", "--password", "right"});
    EXPECT_EQ(mech.status, 77) << mech.err;
    EXPECT_NE(mech.err.find("travine-send: AuthenticationFailedException in "
                            "SMTP::check_auth_method() [1]: CRAM-MD5 authentication method is "
                            "not supported by server.\n"),
              std::string::npos)
        << mech.err;

    Outcome untrusted =
        run(to_server(tls_server) +
            Strings{"--body", "x", "--tls", "starttls", "--cafile", TestPki::get().other_ca_file});
    EXPECT_EQ(untrusted.status, 76) << untrusted.err;
    EXPECT_NE(untrusted.err.find("travine-send: SSLException in SSLSocket::negotiate() ["),
              std::string::npos)
        << untrusted.err;

    Outcome refused = run({"--server", "127.0.0.1", "--port", closed_port(), "--from", "a@x.test",
                           "--to", "b@x.test", "--body", "x", "--count", "2"});
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
    Outcome missing = run(to_server(server) + Strings{"--body-file", "/nonexistent/body"});
    EXPECT_EQ(missing.status, 66);
    EXPECT_EQ(missing.err,
              "travine-send: cannot read body file '/nonexistent/body': No such file or "
              "directory\n");
    Outcome port = run({"--server", "127.0.0.1", "--port", "smtp", "--from", "a@x", "--to", "b@x"});
    EXPECT_EQ(port.status, 64);
    EXPECT_NE(port.err.find("--port: 'smtp' is not a number"), std::string::npos);
    EXPECT_FALSE(server.has_message(1));

    Outcome help = run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Exit status:"), std::string::npos);
    Outcome version = run({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_NE(version.out.find("OpenSSL 3"), std::string::npos) << version.out;
}
