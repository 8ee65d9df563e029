// travine-send without a network: option parsing and its refusals, input
// loading, message composition and the transcript filter.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <stdexcept>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "exception.h"
#include "message.h"
#include "options.h"
#include "transcript.h"
#include "support.h"

using namespace travine_cli;
using Strings = std::vector<std::string>;

namespace {

const Strings BASE = {"--server", "mx.example.test", "--from", "a@example.test",
                      "--to",     "b@example.test"};

Strings with(const Strings& extra) {
    Strings args = BASE;
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

Options parsed(const Strings& extra, const char* env = nullptr) {
    return parse_args(with(extra), env);
}

CliError refusal(const std::function<void()>& f) {
    try {
        f();
    } catch (const CliError& e) {
        return e;
    }
    ADD_FAILURE() << "accepted";
    return CliError{0, ""};
}

std::string joined(const Strings& args) {
    std::string out;
    for (const std::string& a : args) {
        out += "[" + a + "]";
    }
    return out;
}

// Feeds a session's log as the library produces it, one fragment per
// element: a buffer the client wrote (ending in CR LF) or a line read.
Strings dialogue(Transcript& t, const Strings& steps) {
    Strings out;
    for (const std::string& s : steps) {
        const bool wrote = s.size() >= 2 && s.compare(s.size() - 2, 2, "\r\n") == 0;
        for (const std::string& f :
             wrote ? Strings{"client", ":\t", s} : Strings{"mx", ":\t", s, "\n"}) {
            const Strings lines = t.add(f);
            out.insert(out.end(), lines.begin(), lines.end());
        }
    }
    return out;
}

}  // namespace

TEST(CliParse, AcceptsTheMinimumWithDefaults) {
    Options o = parse_args(with({"--to=c@example.test"}), nullptr);
    EXPECT_EQ(o.server, "mx.example.test");
    EXPECT_EQ(o.port, 25u);
    EXPECT_EQ(o.from, "a@example.test");
    EXPECT_EQ(o.to, Strings({"b@example.test", "c@example.test"}));
    EXPECT_EQ(o.tls, TlsMode::NONE);
    EXPECT_EQ(o.auth, AuthMode::NONE);
    EXPECT_EQ(o.count, 1u);
    EXPECT_EQ(o.verbose, 0);
    EXPECT_TRUE(o.warnings.empty());
}

TEST(CliParse, PortFollowsTheTlsModeUnlessGiven) {
    EXPECT_EQ(parsed({"--tls", "starttls", "--insecure"}).port, 587u);
    EXPECT_EQ(parsed({"--tls=smtps", "--cafile", "/ca.pem"}).port, 465u);
    EXPECT_EQ(parsed({"--tls", "smtps", "--insecure", "--port", "2465"}).port, 2465u);
    EXPECT_EQ(parsed({"--port=1"}).port, 1u);
    EXPECT_EQ(parsed({"--port", "65535"}).port, 65535u);
}

TEST(CliParse, VerbosityCountHelpAndVersion) {
    EXPECT_EQ(parsed({"-v"}).verbose, 1);
    EXPECT_EQ(parsed({"-vv"}).verbose, 2);
    EXPECT_EQ(parsed({"-v", "--verbose", "-v"}).verbose, 2);
    EXPECT_EQ(parsed({"--count", "3"}).count, 3u);
    EXPECT_TRUE(parse_args({"--help", "--bogus"}, nullptr).help);  // nothing else required
    EXPECT_EQ(refusal([] { parse_args({"--bogus", "--help"}, nullptr); }).code, EXIT_USAGE);
    EXPECT_TRUE(parse_args({"--version"}, nullptr).version);
}

TEST(CliParse, RefusesBadCommandLinesWithUsageCode) {
    const std::vector<std::pair<Strings, const char*>> cases = {
        {{"--from", "a@x", "--to", "b@x"}, "--server HOST is required"},
        {{"--server", "mx", "--to", "b@x"}, "--from ADDRESS is required"},
        {{"--server", "mx", "--from", "a@x"}, "at least one --to"},
        {with({"--port", "0"}), "--port: '0' is not a number from 1 to 65535"},
        {with({"--port", "65536"}), "--port: '65536'"},
        {with({"--port", "-25"}), "--port: '-25'"},
        {with({"--port", "99999999999999999999"}), "--port:"},
        {with({"--port"}), "--port needs a value"},
        {with({"--count", "0"}), "--count: '0'"},
        {with({"--count", "100001"}), "--count: '100001'"},
        {with({"--count="}), "--count: ''"},
        {with({"--tls", "ssl"}), "--tls: unknown mode 'ssl'"},
        {with({"--auth", "digest-md5"}), "--auth: unknown mechanism 'digest-md5'"},
        {with({"--frobnicate"}), "unknown option '--frobnicate'"},
        {with({"-x"}), "unknown option '-x'"},
        {with({"--insecure=yes"}), "--insecure takes no value"},
        {with({"body text"}), "unexpected argument 'body text'"},
        {with({"--", "body"}), "unexpected argument 'body'"},
        {with({"--tls", "starttls"}), "TLS needs --cafile FILE or --capath DIR"},
        {with({"--tls", "smtps", "--insecure", "--cafile", "/ca"}), "exclude each other"},
        {with({"--cafile", "/ca.pem"}), "needs --tls starttls or --tls smtps"},
        {with({"--insecure"}), "--insecure needs --tls"},
        {with({"--body", "x", "--body-file", "f"}), "--body and --body-file exclude"},
        {with({"--auth", "plain", "--password", "p"}), "--auth needs --user NAME"},
        {with({"--auth", "plain", "--user", "u"}), "--auth needs a password"},
        {with({"--user", "u", "--password", "p", "--password-file", "f"}),
         "--password and --password-file exclude"},
        {with({"--auth", "none", "--user", "u"}), "--auth none contradicts"},
        {with({"--password", "p"}), "a password needs --user"},
        {with({"--subject", "a\r\nBcc: c@x"}), "--subject: line breaks are not allowed"},
        {with({"--to", "c@x>\r\nRCPT TO: <d@x"}), "is not a bare address"},
        {with({"--to", "<c@x"}), "is not a bare address"},
        {with({"--to", ""}), "--to: empty address"},
        {{"--server", "mx", "--from", "a b@x", "--to", "b@x"}, "is not a bare address"},
        {with({"--server", "mx\r\nQUIT"}), "is not a host name"},
        {with({"--domain", "my host"}), "--domain: 'my host' is not a host name"},
    };
    for (const auto& c : cases) {
        const CliError e = refusal([&] { parse_args(c.first, nullptr); });
        EXPECT_EQ(e.code, EXIT_USAGE) << joined(c.first);
        EXPECT_NE(e.text.find(c.second), std::string::npos) << joined(c.first) << ": " << e.text;
    }
}

TEST(CliParse, PasswordSourcesMechanismsAndWarnings) {
    Options o = parsed({"--user", "alice", "--tls", "starttls", "--insecure"}, "s3cret");
    EXPECT_EQ(o.auth, AuthMode::AUTO);  // --user alone
    EXPECT_EQ(o.password, "s3cret");
    ASSERT_EQ(o.warnings.size(), 1u);
    EXPECT_NE(o.warnings[0].find("NOT verified"), std::string::npos);

    // The command line beats the environment; CRAM sends no clear text.
    o = parsed({"--auth", "cram-md5", "--user", "u", "--password", "pw"}, "env");
    EXPECT_EQ(o.password, "pw");
    ASSERT_EQ(o.warnings.size(), 1u);
    EXPECT_NE(o.warnings[0].find("other users"), std::string::npos);

    o = parsed({"--auth", "login", "--user", "u"}, "pw");
    ASSERT_EQ(o.warnings.size(), 1u);
    EXPECT_NE(o.warnings[0].find("without --tls"), std::string::npos);

    EXPECT_TRUE(
        parsed({"--tls", "smtps", "--capath", "/etc", "--auth", "plain", "--user", "u"}, "pw")
            .warnings.empty());

    const std::pair<const char*, AuthMode> table[] = {{"auto", AuthMode::AUTO},
                                                      {"plain", AuthMode::PLAIN},
                                                      {"login", AuthMode::LOGIN},
                                                      {"cram-md5", AuthMode::CRAM_MD5},
                                                      {"cram-sha1", AuthMode::CRAM_SHA1}};
    for (const auto& row : table) {
        EXPECT_EQ(parsed({"--auth", row.first, "--user", "u"}, "p").auth, row.second) << row.first;
    }
}

TEST(CliExitCode, DistinctPerExceptionClass) {
    EXPECT_EQ(exit_code_for(std::make_exception_ptr(TransferException("", "", 1))), 69);
    EXPECT_EQ(exit_code_for(std::make_exception_ptr(SSLException("", "", 1))), 76);
    EXPECT_EQ(exit_code_for(std::make_exception_ptr(IOException("", "", 1))), 74);
    EXPECT_EQ(exit_code_for(std::make_exception_ptr(AuthenticationFailedException("", "", 1))), 77);
    EXPECT_EQ(exit_code_for(std::make_exception_ptr(DecodeException("", "", 1))), 65);
    EXPECT_EQ(exit_code_for(std::make_exception_ptr(std::runtime_error("x"))), 70);
}

TEST(CliInputs, ReadsBodyAndPasswordFilesOrStandardInput) {
    TempDir dir;
    std::ofstream(dir.file("body"), std::ios::binary) << "line one\nline two\n";
    std::ofstream(dir.file("pw"), std::ios::binary) << "hunter2\r\nsecond line ignored\n";
    Options o =
        parsed({"--body-file", dir.file("body"), "--user", "u", "--password-file", dir.file("pw")},
               "from-env");
    std::istringstream unread("not read");
    load_inputs(o, unread);
    EXPECT_EQ(o.body, "line one\nline two\n");
    EXPECT_EQ(o.password, "hunter2");  // the file beats the environment

    const std::string binary("from stdin\n\0binary", 19);
    for (const Strings& extra : {Strings{}, Strings{"--body-file", "-"}}) {
        o = parsed(extra);
        std::istringstream in(binary);
        load_inputs(o, in);
        EXPECT_EQ(o.body, binary);
    }
    o = parsed({"--body", "inline"});
    load_inputs(o, unread);
    EXPECT_EQ(o.body, "inline");
}

TEST(CliInputs, RefusesWhatCannotBeReadWithNoInputCode) {
    TempDir dir;
    std::ofstream(dir.file("ca.pem")) << "x";
    std::ofstream(dir.file("empty")) << "";
    ::mkdir(dir.file("sub").c_str(), 0700);
    const std::vector<std::pair<Strings, std::string>> cases = {
        {{"--body-file", dir.file("missing")},
         "cannot read body file '" + dir.file("missing") + "': No such file or directory"},
        {{"--body-file", dir.file("sub")}, "cannot read body file"},
        {{"--user", "u", "--password-file", dir.file("nope")},
         "cannot read password file '" + dir.file("nope") + "'"},
        {{"--user", "u", "--password-file", dir.file("empty")}, "holds no password"},
        {{"--tls", "starttls", "--cafile", dir.file("none.pem")},
         "cannot read --cafile '" + dir.file("none.pem") + "'"},
        {{"--tls", "starttls", "--cafile", dir.file("sub")}, "Is a directory"},
        {{"--tls", "starttls", "--capath", dir.file("ca.pem")}, "Not a directory"},
        {{"--tls", "starttls", "--capath", dir.file("gone")}, "cannot read --capath"},
    };
    for (const auto& c : cases) {
        Options o = parsed(c.first);
        std::istringstream in("");
        const CliError e = refusal([&] { load_inputs(o, in); });
        EXPECT_EQ(e.code, EXIT_NOINPUT) << e.text;
        EXPECT_NE(e.text.find(c.second), std::string::npos) << e.text;
    }
}

TEST(CliBody, ConvertsLineEndsAndStuffsDots) {
    const std::pair<std::string, std::string> table[] = {
        {"", ""},
        {"one line\n", "one line"},
        {"a\nb\n", "a\r\nb"},
        {"a\r\nb\r\n", "a\r\nb"},
        {"a\rb", "a\r\nb"},
        {"a\n\n", "a\r\n"},
        {"\n\nx", "\r\n\r\nx"},
        {".", ".."},
        {"a\n.\nb", "a\r\n..\r\nb"},
        {"a\r\n.\r\n", "a\r\n.."},
        {"x\n.\r\n", "x\r\n.."},
        {"\r.\r", "\r\n.."},
        {"..two\n", "...two"},
        {"mid.dot .x\n.end", "mid.dot .x\r\n..end"},
        {"a\r\r\n.", "a\r\n\r\n.."},
    };
    for (const auto& row : table) {
        EXPECT_EQ(smtp_body(row.first), row.second) << "body: " << row.first;
    }
}

TEST(CliCompose, WritesTheHeaderBlockBlankLineAndBody) {
    MessageParts p{"a@example.test",
                   {"b@example.test", "c@example.test"},
                   "Hello",
                   "Tue, 02 Dec 2025 14:03:09 +0100",
                   "<1.2@host.example>",
                   "Hi.\n.hidden\n"};
    const std::string tail =
        "Subject: Hello\r\n"
        "Date: Tue, 02 Dec 2025 14:03:09 +0100\r\n"
        "Message-ID: <1.2@host.example>\r\n"
        "MIME-Version: 1.0\r\n"
        "Content-Type: text/plain; charset=UTF-8\r\n"
        "Content-Transfer-Encoding: 8bit\r\n";
    EXPECT_EQ(compose_message(p), "From: a@example.test\r\nTo: b@example.test, c@example.test\r\n" +
                                      tail + "\r\nHi.\r\n..hidden");

    // An empty body leaves the blank line to the end marker. The To field
    // folds before a recipient that would make its line longer than 78.
    p.body = "";
    const std::string a36 = std::string(23, 'a') + "@example.test";
    const std::string b37 = std::string(24, 'b') + "@example.test";
    p.to = {a36, a36};
    EXPECT_EQ(compose_message(p),
              "From: a@example.test\r\nTo: " + a36 + ", " + a36 + "\r\n" + tail);
    p.to = {a36, b37, a36};
    EXPECT_EQ(compose_message(p),
              "From: a@example.test\r\nTo: " + a36 + ",\r\n " + b37 + ", " + a36 + "\r\n" + tail);
}

TEST(CliSubject, AsciiStaysAndFoldsAtBlanksOtherwiseEncodedWords) {
    EXPECT_EQ(encode_subject("Quarterly report"), "Quarterly report");
    EXPECT_EQ(encode_subject(""), "");
    std::string words = "word0";
    for (int i = 1; i < 20; ++i) {
        words += " word" + std::to_string(i);
    }
    // With "Subject: " in front the first line has 75 characters.
    EXPECT_EQ(encode_subject(words),
              "word0 word1 word2 word3 word4 word5 word6 word7 word8 word9 word10\r\n"
              " word11 word12 word13 word14 word15 word16 word17 word18 word19");

    EXPECT_EQ(encode_subject("Gr\u00fc\u00dfe"), "=?UTF-8?B?R3LDvMOfZQ==?=");
    EXPECT_EQ(encode_subject("tab\there"), "=?UTF-8?B?dGFiCWhlcmU=?=");
    // 40 bytes: the cut at 39 would split the last euro sign, so it moves before it.
    std::string euros = "a";
    for (int i = 0; i < 13; ++i) {
        euros += "\xE2\x82\xAC";
    }
    EXPECT_EQ(encode_subject(euros),
              "=?UTF-8?B?YeKCrOKCrOKCrOKCrOKCrOKCrOKCrOKCrOKCrOKCrOKCrOKCrA==?=\r\n"
              " =?UTF-8?B?4oKs?=");
}

TEST(CliDate, Rfc5322Form) {
    std::tm tm{};
    tm.tm_year = 125;
    tm.tm_mon = 11;
    tm.tm_mday = 2;
    tm.tm_wday = 2;
    tm.tm_hour = 14;
    tm.tm_min = 3;
    tm.tm_sec = 9;
    EXPECT_EQ(rfc5322_date(tm, 60), "Tue, 02 Dec 2025 14:03:09 +0100");
    EXPECT_EQ(rfc5322_date(tm, -330), "Tue, 02 Dec 2025 14:03:09 -0530");
    EXPECT_EQ(rfc5322_date(tm, 0), "Tue, 02 Dec 2025 14:03:09 +0000");
}

TEST(CliMessageId, UniqueAndWellFormed) {
    const std::string a = make_message_id("host.example"), b = make_message_id("host.example");
    EXPECT_NE(a, b);
    EXPECT_EQ(a.front(), '<');
    EXPECT_EQ(a.substr(a.size() - 14), "@host.example>");
    const std::string odd = make_message_id("bad host>"), none = make_message_id("");
    EXPECT_EQ(odd.substr(odd.size() - 11), "@bad-host->");
    EXPECT_EQ(none.substr(none.find('@')), "@localhost>");
}

TEST(CliTranscript, AssemblesFragmentsIntoLines) {
    Transcript t(false);
    EXPECT_TRUE(t.add("mx").empty());
    EXPECT_TRUE(t.add(":\t").empty());
    EXPECT_TRUE(t.add("220 ready\r").empty());
    EXPECT_EQ(t.add("\n"), Strings{"mx:\t220 ready"});
    EXPECT_EQ(dialogue(t, {"EHLO me\r\n"}), Strings{"client:\tEHLO me"});
    EXPECT_EQ(t.add("SSLInfo:\tSSL connection using X \n"),
              Strings{"SSLInfo:\tSSL connection using X "});
}

TEST(CliTranscript, MasksCredentialsUntilTheExchangeEnds) {
    struct Case {
        bool show_secrets;
        Strings steps, shown;
    };
    const std::vector<Case> cases = {
        {false,
         {"AUTH PLAIN AHVzZXIAcGFzcw==\r\n", "235 ok", "MAIL FROM: <a@x>\r\n"},
         {"client:\tAUTH PLAIN ********", "mx:\t235 ok", "client:\tMAIL FROM: <a@x>"}},
        {false,
         {"AUTH PLAIN\r\n", "334 ", "AHVzZXIAcGFzcw==\r\n", "235 ok", "QUIT\r\n"},
         {"client:\tAUTH PLAIN", "mx:\t334 ", "client:\t********", "mx:\t235 ok", "client:\tQUIT"}},
        {false,
         {"AUTH LOGIN\r\n", "334 VXNlcm5hbWU6", "dXNlcg==\r\n", "334 UGFzc3dvcmQ6", "cGFzcw==\r\n",
          "235 ok", "MAIL FROM: <a@x>\r\n"},
         {"client:\tAUTH LOGIN", "mx:\t334 VXNlcm5hbWU6", "client:\t********",
          "mx:\t334 UGFzc3dvcmQ6", "client:\t********", "mx:\t235 ok",
          "client:\tMAIL FROM: <a@x>"}},
        {false,
         {"AUTH CRAM-MD5\r\n", "334 PDEyMzQ1QGhvc3Q+", "dXNlciBhYmNkZWY=\r\n"},
         {"client:\tAUTH CRAM-MD5", "mx:\t334 PDEyMzQ1QGhvc3Q+", "client:\t********"}},
        // A refusal ends the masking: the next command is shown.
        {false,
         {"AUTH LOGIN\r\n", "535 no", "QUIT\r\n"},
         {"client:\tAUTH LOGIN", "mx:\t535 no", "client:\tQUIT"}},
        {true,
         {"AUTH PLAIN AHVzZXIAcGFzcw==\r\n", "AUTH LOGIN\r\n", "334 VXNlcm5hbWU6", "dXNlcg==\r\n"},
         {"client:\tAUTH PLAIN AHVzZXIAcGFzcw==", "client:\tAUTH LOGIN", "mx:\t334 VXNlcm5hbWU6",
          "client:\tdXNlcg=="}},
    };
    for (const Case& c : cases) {
        Transcript t(c.show_secrets);
        EXPECT_EQ(dialogue(t, c.steps), c.shown) << joined(c.steps);
    }
}

TEST(CliTranscript, CountsMessagesAcceptedAfterTheirEndMarker) {
    Transcript t(false);
    EXPECT_EQ(dialogue(t, {"DATA\r\n", "354 go", "Subject: x\r\n\r\nbody\r\n.\r\n", "250-queued"}),
              Strings({"client:\tDATA", "mx:\t354 go", "client:\tSubject: x", "", "body", ".",
                       "mx:\t250-queued"}));
    EXPECT_EQ(t.accepted(), 0u);  // the reply is not complete yet
    dialogue(t, {"250 as 42"});
    EXPECT_EQ(t.accepted(), 1u);
    // A 250 to MAIL FROM, a refused message and a late 250 count nothing.
    dialogue(t, {"250 ok", "x\r\n.\r\n", "552 too big", "250 late"});
    EXPECT_EQ(t.accepted(), 1u);
}

TEST(CliProgress, BarShowsShareAndCount) {
    EXPECT_EQ(progress_bar(0, 10, 10), "[..........]  0/10");
    EXPECT_EQ(progress_bar(3, 10, 10), "[###.......]  3/10");
    EXPECT_EQ(progress_bar(12, 10, 4), "[####] 10/10");
}

TEST(CliUsage, DocumentsEveryOptionAndExitCode) {
    const std::string u = usage_text();
    for (const char* word : {"--server",   "--port",      "--from",   "--to",   "--subject",
                             "--body",     "--body-file", "--domain", "--tls",  "--cafile",
                             "--capath",   "--insecure",  "--auth",   "--user", "--password-file",
                             "--password", "--count",     "-v",       "-vv",    "TRAVINE_PASSWORD",
                             " 64 ",       " 65 ",        " 66 ",     " 69 ",   " 70 ",
                             " 74 ",       " 76 ",        " 77 "}) {
        EXPECT_NE(u.find(word), std::string::npos) << word;
    }
}
