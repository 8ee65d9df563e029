// The built travine-send program against aiosmtpd on 127.0.0.1
// (STARTTLS with AUTH and copies over one connection, the masked
// transcript, failures in plain words with their exit codes, accounts,
// OAuth, attachments, the password command, sendmail mode as a new user
// tries it).
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "smtpd.h"
#include "support.h"
#include "tls_peer.h"  // TestPki

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

// Runs program with args (blank-separated words, given to the shell as
// they are), input on its standard input and env (such as "NAME=value") in
// its environment; kills it after 20 seconds.
Outcome run(const std::string& args, const std::string& input = "", const std::string& env = "",
            const std::string& program = PROGRAM) {
    TempDir dir;
    std::ofstream(dir.file("in"), std::ios::binary) << input;
    const std::string command = "env -u TRAVINE_PASSWORD " + env + " timeout -s KILL 20 '" +
                                program + "' " + args + " <" + dir.file("in") + " >" +
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
    // Not a terminal: no progress bar, the summary alone.
    EXPECT_EQ(r.out + r.err,
              "travine-send: sent 3 messages to b@x.test, c@x.test through 127.0.0.1:" +
                  std::to_string(server.port()) + " with STARTTLS as tim\n");
    std::set<std::string> ids;
    for (int n = 1; n <= 3; ++n) {
        const Stored m = server.message(n);
        EXPECT_EQ(m.from + "|" + m.rcpts + m.auth, "a@x.test|b@x.test\nc@x.test\nCRAM-MD5 tim");
        EXPECT_EQ(m.content.compare(0, 16, "From: a@x.test\r\n"), 0) << m.content;
        EXPECT_EQ(header(m.content, "To") + "|" + header(m.content, "Subject"),
                  "b@x.test, c@x.test|=?utf-8?B?R3LDvMOfZQ==?=");
        ids.insert(header(m.content, "Message-ID"));
        // The server removed the transparency dot again.
        EXPECT_EQ(m.content.substr(m.content.find("\r\n\r\n")),
                  "\r\n\r\nHello.\r\n.leading dot\r\nend\r\n");
    }
    EXPECT_FALSE(server.has_message(4));
    EXPECT_EQ(ids.size(), 3u);
}

TEST_F(CliSend, TranscriptAndTheExitCodeOfEachFailure) {
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
    Outcome plain = run(mx + "--body hi --user tim --auth plain -vv -q", "", env);
    EXPECT_NE(plain.err.find(":\tAUTH PLAIN AHRpbQByaWdodA==\n"), std::string::npos) << plain.err;
    EXPECT_EQ(plain.err.find("travine-send: sent"), std::string::npos) << plain.err;

    const std::tuple<std::string, int, std::string> cases[] = {
        {to(smtps.port()) + "--tls smtps --cafile " + TestPki::get().other_ca_file, 76,
         "travine-send: the certificate of 127.0.0.1:" + std::to_string(smtps.port()) +
             " could not be verified: "},
        {mx + "--user tim --auth login --password wrong --count 2", 77,
         "travine-send: the server refused the password (535 5.7.8 Authentication credentials "
         "invalid)\ntravine-send: the server accepted 0 of 2 messages before the failure\n"},
        {to(1) + "-v", 69,  // nothing listens on port 1
         "travine-send: connection refused by 127.0.0.1:1\ntravine-send: TransferException in "
         "InetSocket::connect() [3]\n"},
        {"--version", 0, "(OpenSSL 3"},
    };
    for (const auto& c : cases) {
        Outcome r = run(std::get<0>(c) + " --body x");
        EXPECT_EQ(r.status, std::get<1>(c)) << r.err;
        EXPECT_NE((r.out + r.err).find(std::get<2>(c)), std::string::npos) << r.out << r.err;
    }
    EXPECT_FALSE(server.has_message(3) || smtps.has_message(1));
}

TEST_F(CliSend, AccountsOAuthAttachmentsAndSendmailModeAsANewUserTriesThem) {
    Smtpd server({"--auth", "tim:tok"});
    ASSERT_TRUE(server.ready());
    TempDir home;
    ASSERT_EQ(system(("mkdir -p " + home.file(".config/travine")).c_str()), 0);
    const std::string config = home.file(".config/travine/config");
    std::ofstream(config) << "default = test\n[test]\nserver = 127.0.0.1\nport = " << server.port()
                          << "\nfrom = Tim <tim@x.test>\nuser = tim\nauth = xoauth2\n"
                             "password-command = printf 'tok\\nnot this'\n";
    std::ofstream(home.file("\xC3\xA4.txt")) << "attached";
    const std::string env = "HOME=" + home.path() + " XDG_CONFIG_HOME=";

    // The default account, its token command, an attachment, a Bcc.
    Outcome r = run("--to b@x.test --bcc d@x.test --body Gr\u00fc\u00dfe -q --attach " +
                        home.file("\xC3\xA4.txt"),
                    "", env);
    ASSERT_EQ(r.status, 0) << r.err;
    Stored m = server.message(1);
    EXPECT_EQ(m.from + "|" + m.rcpts + m.auth, "tim@x.test|b@x.test\nd@x.test\nXOAUTH2 tim");
    for (const char* part :
         {"\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\nGr=C3=BC=C3=9Fe\r\n",
          "\r\nContent-Disposition: attachment; "
          "filename*=utf-8''%C3%A4.txt\r\n\r\nYXR0YWNoZWQ=\r\n"})
        EXPECT_NE(m.content.find(part), std::string::npos) << m.content;
    EXPECT_EQ(header(m.content, "To") + header(m.content, "Cc") + header(m.content, "Bcc"),
              "b@x.test");
    // The other mechanism; then both with a token the server refuses.
    EXPECT_EQ(run("--account test --auth oauthbearer --to b@x.test --body x", "", env).status, 0);
    EXPECT_EQ(server.message(2).auth, "OAUTHBEARER tim");
    for (const char* mech : {"xoauth2", "oauthbearer"}) {
        r = run(std::string("--to b@x.test --body x --password-command 'echo bad' --auth ") + mech,
                "", env);
        EXPECT_EQ(r.status, 77);
        EXPECT_EQ(r.err,
                  "travine-send: warning: without --tls the credentials cross the network "
                  "readable by anyone on the path\ntravine-send: the server refused the access "
                  "token (535 5.7.8 Authentication credentials invalid)\n");
    }
    // A whole message: recipients from the header, Bcc stripped, From, Date
    // and Message-ID added; as sendmail, nothing on standard error.
    r = run("-t --account test", "To: you@x.test\nBcc: hidden@x.test\nSubject: hi\n\nbody\n", env);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("travine-send: sent 1 message to you@x.test, hidden@x.test"),
              std::string::npos)
        << r.err;
    ASSERT_EQ(symlink(PROGRAM.c_str(), home.file("sendmail").c_str()), 0);
    r = run("-oi -t", "To: you@x.test\n\nsecond\n", env, home.file("sendmail"));
    EXPECT_EQ(std::to_string(r.status) + r.err, "0");
    m = server.message(3);
    EXPECT_EQ(m.rcpts + m.content.substr(0, m.content.find("Date: ")),
              "you@x.test\nhidden@x.test\nFrom: tim@x.test\r\n");
    EXPECT_EQ(m.content.substr(m.content.find("\r\nTo: ")),
              "\r\nTo: you@x.test\r\nSubject: hi\r\n\r\nbody\r\n");
    EXPECT_EQ(server.message(4).rcpts, "you@x.test\n");
    EXPECT_FALSE(server.has_message(5));
}
