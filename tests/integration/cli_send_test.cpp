// The built travine-send program against a real SMTP server (aiosmtpd on
// 127.0.0.1): STARTTLS with AUTH and several copies over one connection,
// the masked transcript, and the exit codes of real failures.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <tuple>
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

struct Outcome {
    int status = -1;  // the exit code, -1 when killed
    std::string out, err;
};

// Runs travine-send with args (blank-separated words, given to the shell
// as they are), input on its standard input and env (such as
// "NAME=value") in its environment; kills it after 20 seconds.
Outcome run(const std::string& args, const std::string& input = "", const std::string& env = "") {
    TempDir dir;
    std::ofstream(dir.file("in"), std::ios::binary) << input;
    const std::string command = "env -u TRAVINE_PASSWORD " + env + " timeout -s KILL 20 '" +
                                PROGRAM + "' " + args + " <" + dir.file("in") + " >" +
                                dir.file("out") + " 2>" + dir.file("err");
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(dir.file("out")),
            slurp(dir.file("err"))};
}

// Options for a server in mode with the test certificate, then more.
std::vector<std::string> tls(const std::string& mode, std::vector<std::string> more = {}) {
    const TestPki& pki = TestPki::get();
    more.insert(more.end(), {"--mode", mode, "--cert", pki.server_cert, "--key", pki.server_key});
    return more;
}

// The arguments for a mail from a@x.test to b@x.test through port.
std::string to(int port) {
    return "--server 127.0.0.1 --port " + std::to_string(port) + " --from a@x.test --to b@x.test ";
}

// The value of the header field name in a stored message.
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
    Smtpd server(tls("starttls", {"--auth", "tim:tanstaaftanstaaf"}));
    ASSERT_TRUE(server.ready());
    TempDir dir;
    std::ofstream(dir.file("pw")) << "tanstaaftanstaaf\n";
    Outcome r = run(to(server.port()) +
                        "--to c@x.test --subject Gr\u00fc\u00dfe --tls starttls --user tim --count "
                        "3 --cafile " +
                        TestPki::get().ca_file + " --password-file " + dir.file("pw"),
                    "Hello.\n.leading dot\nend\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");  // not a terminal: no progress bar
    std::set<std::string> ids;
    for (int n = 1; n <= 3; ++n) {
        const Stored m = server.message(n);
        EXPECT_EQ(m.from + "|" + m.rcpts + m.auth, "a@x.test|b@x.test\nc@x.test\nCRAM-MD5 tim");
        EXPECT_EQ(m.content.compare(0, 16, "From: a@x.test\r\n"), 0) << m.content;
        EXPECT_EQ(header(m.content, "To") + "|" + header(m.content, "Subject") + "|" +
                      header(m.content, "Content-Transfer-Encoding"),
                  "b@x.test, c@x.test|=?UTF-8?B?R3LDvMOfZQ==?=|8bit");
        EXPECT_EQ(header(m.content, "Date").size(), 31u);
        ids.insert(header(m.content, "Message-ID"));
        // The server removed the transparency dot again.
        EXPECT_EQ(m.content.substr(m.content.find("\r\n\r\n")),
                  "\r\n\r\nHello.\r\n.leading dot\r\nend\r\n");
    }
    EXPECT_FALSE(server.has_message(4));
    EXPECT_EQ(ids.size(), 3u);
}

TEST_F(CliSend, TranscriptEmptyBodyAndTheExitCodeOfEachFailure) {
    Smtpd server({"--auth", "tim:right", "--exclude", "CRAM-MD5"});
    Smtpd smtps(tls("smtps"));
    ASSERT_TRUE(server.ready() && smtps.ready());
    const std::string mx = to(server.port()), env = "TRAVINE_PASSWORD=right";

    // -v masks the credentials, -vv shows them.
    Outcome login = run(mx + "--body hi --user tim --auth login -v", "", env);
    ASSERT_EQ(login.status, 0) << login.err;
    EXPECT_EQ(login.err.find("dGlt"), std::string::npos) << login.err;  // base64 "tim"
    for (const char* shown :
         {":\tAUTH LOGIN\n", ":\t********\n127.0.0.1:\t334 ", ":\t********\n127.0.0.1:\t235 ",
          ":\tMAIL FROM: <a@x.test>\n", ":\t221 ", "credentials cross the network"})
        EXPECT_NE(login.err.find(shown), std::string::npos) << shown;
    Outcome plain = run(mx + "--body hi --user tim --auth plain -vv", "", env);
    EXPECT_NE(plain.err.find(":\tAUTH PLAIN AHRpbQByaWdodA==\n"), std::string::npos) << plain.err;
    // An empty body: the header block, the blank line, nothing more.
    Outcome empty = run(to(smtps.port()) + "--tls smtps --insecure --body=");
    EXPECT_NE(empty.err.find("WARNING: --insecure"), std::string::npos);
    const std::string content = smtps.message(1).content;
    const std::string tail = "\r\nContent-Transfer-Encoding: 8bit\r\n\r\n";
    EXPECT_EQ(content.substr(content.size() - std::min(content.size(), tail.size())), tail);
    EXPECT_TRUE(server.has_message(2) && !server.has_message(3));

    const std::tuple<std::string, int, std::string> cases[] = {
        {mx + "--user tim --auth cram-md5 --password right", 77,
         "travine-send: AuthenticationFailedException in SMTP::check_auth_method() [1]: CRAM-MD5 "
         "authentication method is not supported by server.\n"},
        {to(smtps.port()) + "--tls smtps --cafile " + TestPki::get().other_ca_file, 76,
         "travine-send: SSLException in SSLSocket::negotiate() ["},
        {mx + "--user tim --auth login --password wrong --count 2", 69,
         "travine-send: TransferException in SMTP::evalResponse() [2]: 535 5.7.8 Authentication "
         "credentials invalid\ntravine-send: the server accepted 0 of 2 messages before the "
         "failure\n"},
        {mx + "--port smtp", 64, "travine-send: --port: 'smtp' is not a number"},
        {"--help", 0, "\nExit status:\n"},
        {"--version", 0, "(OpenSSL 3"},
    };
    for (const auto& c : cases) {
        Outcome r = run(std::get<0>(c));
        EXPECT_EQ(r.status, std::get<1>(c)) << r.err;
        EXPECT_NE((r.out + r.err).find(std::get<2>(c)), std::string::npos) << r.out << r.err;
    }
    EXPECT_EQ(
        run(mx + "--body-file /nonexistent/body").err,
        "travine-send: cannot read body file '/nonexistent/body': No such file or directory\n");
    EXPECT_FALSE(server.has_message(3) || smtps.has_message(2));
}
