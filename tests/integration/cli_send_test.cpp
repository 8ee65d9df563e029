// The built travine-send program against aiosmtpd on 127.0.0.1: the
// default account (STARTTLS, an OAuth token command) sending copies with an
// attachment over one session, the transcript, failures in plain words with
// their exit codes, and sendmail mode under that name.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <tuple>
#include <utility>

#include "smtpd.h"
#include "support.h"
#include "tls_peer.h"  // TestPki

#ifndef TRAVINE_SEND_PATH
#define TRAVINE_SEND_PATH ""
#endif

TEST(CliSend, AccountTranscriptFailuresAndSendmailModeAsANewUserTriesThem) {
    if (std::string(TRAVINE_SEND_PATH).empty())
        GTEST_SKIP() << "needs travine-send (TRAVINE_BUILD_TOOLS)";
    const TestPki& pki = TestPki::get();
    Smtpd mx({"--mode", "starttls", "--cert", pki.server_cert, "--key", pki.server_key, "--auth",
              "tim:tok"});
    Smtpd smtps({"--mode", "smtps", "--cert", pki.server_cert, "--key", pki.server_key});
    ASSERT_TRUE(mx.ready() && smtps.ready());
    const std::string port = std::to_string(mx.port()), sport = std::to_string(smtps.port());
    TempDir home;
    ASSERT_EQ(system(("mkdir -p " + home.file(".config/travine")).c_str()), 0);
    std::ofstream(home.file(".config/travine/config"))
        << "default = test\n[test]\nserver = 127.0.0.1\nport = " << port
        << "\ntls = starttls\ncafile = " << pki.ca_file
        << "\nfrom = Tim <tim@x.test>\nuser = tim\nauth = xoauth2\n"
           "password-command = printf 'tok\\nnot this'\n";
    std::ofstream(home.file("r\xc3\xa9sum\xc3\xa9.txt")) << "attached\n";
    std::ofstream(home.file("mail")) << "To: you@x.test\nBcc: hidden@x.test\nSubject: hi\n\nbody\n";
    // Runs program with args (given to the shell as they are, standard input
    // from /dev/null unless they say otherwise) with home as HOME, killed
    // after 20 seconds: the exit status (-1 when killed) and what it wrote.
    const auto run = [&](const std::string& args, const std::string& program = TRAVINE_SEND_PATH) {
        const int status = std::system(("env -u TRAVINE_PASSWORD HOME=" + home.path() +
                                        " XDG_CONFIG_HOME= timeout -s KILL 20 '" + program +
                                        "' </dev/null " + args + " >" + home.file("out") + " 2>&1")
                                           .c_str());
        return std::make_pair(WIFEXITED(status) ? WEXITSTATUS(status) : -1,
                              slurp(home.file("out")));
    };

    // The default account and its token command, a Bcc, a file attached
    // under a name that needs RFC 2231, two copies over one session; not a
    // terminal: no progress bar, the summary alone.
    auto r = run("--to b@x.test --bcc d@x.test --body x --count 2 --attach '" +
                 home.file("r\xc3\xa9sum\xc3\xa9.txt") + "'");
    const std::string sent = "travine-send: sent 2 messages to b@x.test, d@x.test through ";
    EXPECT_EQ(r, std::make_pair(0, sent + "127.0.0.1:" + port + " with STARTTLS as tim\n"));
    const Stored copy = mx.message(2);
    EXPECT_EQ(copy.from + "|" + copy.rcpts + copy.auth,
              "tim@x.test|b@x.test\nd@x.test\nXOAUTH2 tim");
    for (const char* part : {"\r\nMessage-ID: <2.",
                             "\r\nContent-Type: text/plain\r\nContent-Transfer-Encoding: "
                             "base64\r\nContent-Disposition: attachment; "
                             "filename*=utf-8''r%C3%A9sum%C3%A9.txt\r\n\r\nYXR0YWNoZWQK\r\n"})
        EXPECT_NE(copy.content.find(part), std::string::npos) << copy.content;

    // -v masks the credentials and names the exception.
    const std::string message = " --from a@x.test --to b@x.test --body x";
    r = run("-v --count 2 --auth login --password-command 'echo wrong'" + message);
    EXPECT_EQ(r.first, 77) << r.second;
    for (const char* shown :
         {":\t********\n127.0.0.1:\t334 ", ":\t********\n127.0.0.1:\t535 ",
          "travine-send: the server refused the password (535 5.7.8 Authentication credentials "
          "invalid)\ntravine-send: TransferException in SMTP::evalResponse() [2]\ntravine-send: "
          "the server accepted 0 of 2 messages before the failure\n"})
        EXPECT_NE(r.second.find(shown), std::string::npos) << shown;

    const std::tuple<std::string, int, std::string> cases[] = {
        {"--server 127.0.0.1 --port " + sport + " --tls smtps --cafile " + pki.other_ca_file, 76,
         "travine-send: the certificate of 127.0.0.1:" + sport + " could not be verified: "},
        // Nothing listens on port 1; the warning of --insecure is never quiet.
        {"--server 127.0.0.1 --port 1 --tls smtps --insecure -q", 69,
         "credentials included\ntravine-send: connection refused by 127.0.0.1:1\n"},
        {"--version", 0, "(OpenSSL 3"},
    };
    for (const auto& c : cases) {
        r = run(std::get<0>(c) + message);
        EXPECT_EQ(r.first, std::get<1>(c)) << r.second;
        EXPECT_NE(r.second.find(std::get<2>(c)), std::string::npos) << r.second;
    }

    // As sendmail: the recipients from the header, Bcc stripped, From (the
    // account's address), Date and Message-ID added; no summary; -vv shows
    // the token.
    ASSERT_EQ(symlink(TRAVINE_SEND_PATH, home.file("sendmail").c_str()), 0);
    r = run("-vv -oi -t <" + home.file("mail"), home.file("sendmail"));
    EXPECT_EQ(r.first, 0) << r.second;
    EXPECT_NE(r.second.find("\tAUTH XOAUTH2 dXNlcj10aW0BYXV0aD1CZWFyZXIgdG9rAQE=\n"),
              std::string::npos);
    EXPECT_EQ(r.second.find("travine-send"), std::string::npos) << r.second;
    const Stored m = mx.message(3);
    EXPECT_EQ(m.rcpts + m.content.substr(0, m.content.find("Date: ")),
              "you@x.test\nhidden@x.test\nFrom: tim@x.test\r\n");
    EXPECT_EQ(m.content.substr(m.content.find("\r\nTo: ")),
              "\r\nTo: you@x.test\r\nSubject: hi\r\n\r\nbody\r\n");
    EXPECT_FALSE(mx.has_message(4) || smtps.has_message(1));
}
