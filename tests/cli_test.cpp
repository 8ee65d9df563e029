// travine-send without a network: option parsing and its refusals, input
// loading, message composition and the transcript filter.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "algorithm.h"
#include "cli.h"
#include "support.h"

using namespace travine_cli;

namespace {

const std::vector<std::string> BASE = {"--server", "mx.example.test", "--from", "a@example.test",
                                       "--to",     "b@example.test"};

std::vector<std::string> with(std::vector<std::string> extra) {
    std::vector<std::string> args = BASE;
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

CliError refusal(const std::vector<std::string>& args, const char* env = nullptr) {
    try {
        parse_args(args, env);
    } catch (const CliError& e) {
        return e;
    }
    ADD_FAILURE() << "parse_args accepted the arguments";
    return CliError{0, ""};
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// Feeds the fragments one logging statement of the library produces.
std::vector<std::string> feed(Transcript& t, const std::vector<std::string>& fragments) {
    std::vector<std::string> out;
    for (const std::string& f : fragments) {
        std::vector<std::string> lines = t.add(f);
        out.insert(out.end(), lines.begin(), lines.end());
    }
    return out;
}
std::vector<std::string> wrote(Transcript& t, const std::string& data) {
    return feed(t, {"client", ":\t", data});
}
std::vector<std::string> read(Transcript& t, const std::string& line) {
    return feed(t, {"mx", ":\t", line, "\n"});
}

}  // namespace

TEST(CliParse, AcceptsTheMinimumWithDefaults) {
    Options o = parse_args(BASE, nullptr);
    EXPECT_EQ(o.server, "mx.example.test");
    EXPECT_EQ(o.port, 25u);
    EXPECT_EQ(o.from, "a@example.test");
    EXPECT_EQ(o.to, std::vector<std::string>{"b@example.test"});
    EXPECT_EQ(o.tls, TlsMode::NONE);
    EXPECT_EQ(o.auth, AuthMode::NONE);
    EXPECT_EQ(o.count, 1u);
    EXPECT_EQ(o.verbose, 0);
    EXPECT_TRUE(o.warnings.empty());
}

TEST(CliParse, PortFollowsTheTlsModeUnlessGiven) {
    EXPECT_EQ(parse_args(with({"--tls", "starttls", "--insecure"}), nullptr).port, 587u);
    EXPECT_EQ(parse_args(with({"--tls=smtps", "--cafile", "/ca.pem"}), nullptr).port, 465u);
    EXPECT_EQ(parse_args(with({"--tls", "smtps", "--insecure", "--port", "2465"}), nullptr).port,
              2465u);
    EXPECT_EQ(parse_args(with({"--port=1"}), nullptr).port, 1u);
    EXPECT_EQ(parse_args(with({"--port", "65535"}), nullptr).port, 65535u);
}

TEST(CliParse, RepeatedToGivesOneRecipientEach) {
    Options o = parse_args(with({"--to", "c@example.test", "--to=d@example.test"}), nullptr);
    EXPECT_EQ(o.to,
              (std::vector<std::string>{"b@example.test", "c@example.test", "d@example.test"}));
}

TEST(CliParse, VerbosityAndCount) {
    EXPECT_EQ(parse_args(with({"-v"}), nullptr).verbose, 1);
    EXPECT_EQ(parse_args(with({"-vv"}), nullptr).verbose, 2);
    EXPECT_EQ(parse_args(with({"-v", "--verbose", "-v"}), nullptr).verbose, 2);
    EXPECT_EQ(parse_args(with({"--count", "3"}), nullptr).count, 3u);
    EXPECT_TRUE(parse_args({"--help"}, nullptr).help);
    EXPECT_TRUE(parse_args({"--help", "--bogus"}, nullptr).help);  // nothing else required
    EXPECT_EQ(refusal({"--bogus", "--help"}).code, EXIT_USAGE);
    EXPECT_TRUE(parse_args({"--version"}, nullptr).version);
}

TEST(CliParse, RefusesBadCommandLinesWithUsageCode) {
    struct Case {
        std::vector<std::string> args;
        const char* says;
    };
    const std::vector<Case> cases = {
        {{"--from", "a@x", "--to", "b@x"}, "--server HOST is required"},
        {{"--server", "mx", "--to", "b@x"}, "--from ADDRESS is required"},
        {{"--server", "mx", "--from", "a@x"}, "at least one --to"},
        {with({"--port", "abc"}), "--port: 'abc' is not a number from 1 to 65535"},
        {with({"--port", "0"}), "--port: '0'"},
        {with({"--port", "65536"}), "--port: '65536'"},
        {with({"--port", "-25"}), "--port: '-25'"},
        {with({"--port", "25 "}), "--port: '25 '"},
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
        {with({"--to", "<c@x>"}), "is not a bare address"},
        {with({"--to", ""}), "--to: empty address"},
        {{"--server", "mx", "--from", "a b@x", "--to", "b@x"}, "is not a bare address"},
        {with({"--server", "mx\r\nQUIT"}), "is not a host name"},
        {with({"--domain", "my host"}), "--domain: 'my host' is not a host name"},
    };
    for (const Case& c : cases) {
        std::string joined;
        for (const std::string& a : c.args)
            joined += "[" + a + "]";
        CliError e = refusal(c.args);
        EXPECT_EQ(e.code, EXIT_USAGE) << joined;
        EXPECT_NE(e.text.find(c.says), std::string::npos) << joined << " said: " << e.text;
    }
}

TEST(CliParse, UserAloneMeansAutoWithThePasswordFromTheEnvironment) {
    Options o = parse_args(with({"--user", "alice", "--tls", "starttls", "--insecure"}), "s3cret");
    EXPECT_EQ(o.auth, AuthMode::AUTO);
    EXPECT_EQ(o.password, "s3cret");
    EXPECT_FALSE(o.password_on_command_line);
}

TEST(CliParse, CommandLinePasswordBeatsTheEnvironmentAndWarns) {
    Options o = parse_args(with({"--auth", "cram-md5", "--user", "u", "--password", "pw"}), "env");
    EXPECT_EQ(o.auth, AuthMode::CRAM_MD5);
    EXPECT_EQ(o.password, "pw");
    ASSERT_EQ(o.warnings.size(), 1u);  // CRAM over plain text: no clear-text warning
    EXPECT_NE(o.warnings[0].find("other users"), std::string::npos);
}

TEST(CliParse, WarnsAboutClearTextCredentialsAndInsecureTls) {
    Options plain = parse_args(with({"--auth", "login", "--user", "u"}), "pw");
    ASSERT_EQ(plain.warnings.size(), 1u);
    EXPECT_NE(plain.warnings[0].find("without --tls"), std::string::npos);

    Options insecure = parse_args(with({"--tls", "smtps", "--insecure"}), nullptr);
    ASSERT_EQ(insecure.warnings.size(), 1u);
    EXPECT_NE(insecure.warnings[0].find("NOT verified"), std::string::npos);

    EXPECT_TRUE(parse_args(with({"--tls", "smtps", "--capath", "/etc/ssl/certs", "--auth", "plain",
                                 "--user", "u"}),
                           "pw")
                    .warnings.empty());
}

TEST(CliParse, MapsEveryMechanism) {
    const std::pair<const char*, AuthMode> table[] = {{"auto", AuthMode::AUTO},
                                                      {"plain", AuthMode::PLAIN},
                                                      {"login", AuthMode::LOGIN},
                                                      {"cram-md5", AuthMode::CRAM_MD5},
                                                      {"cram-sha1", AuthMode::CRAM_SHA1}};
    for (const auto& row : table) {
        EXPECT_EQ(parse_args(with({"--auth", row.first, "--user", "u"}), "p").auth, row.second)
            << row.first;
    }
}

TEST(CliExitCode, DistinctPerExceptionClass) {
    EXPECT_EQ(exit_code_for("TransferException"), 69);
    EXPECT_EQ(exit_code_for("SSLException"), 76);
    EXPECT_EQ(exit_code_for("IOException"), 74);
    EXPECT_EQ(exit_code_for("AuthenticationFailedException"), 77);
    EXPECT_EQ(exit_code_for("DecodeException"), 65);
    EXPECT_EQ(exit_code_for(""), 70);
    EXPECT_EQ(exit_code_for(TransferException("t", "m", 1).name), 69);
    EXPECT_EQ(exit_code_for(AuthenticationFailedException("t", "m", 1).name), 77);
}

TEST(CliInputs, ReadsBodyAndPasswordFiles) {
    TempDir dir;
    write_file(dir.file("body"), "line one\nline two\n");
    write_file(dir.file("pw"), "hunter2\r\nsecond line ignored\n");
    Options o = parse_args(
        with({"--body-file", dir.file("body"), "--user", "u", "--password-file", dir.file("pw")}),
        "from-env");
    std::istringstream in("not read");
    load_inputs(o, in);
    EXPECT_EQ(o.body, "line one\nline two\n");
    EXPECT_EQ(o.password, "hunter2");  // the file beats the environment
}

TEST(CliInputs, BodyFromStandardInputWhenNoneGiven) {
    for (const char* dash : {"", "-"}) {
        Options o = parse_args(*dash ? with({"--body-file", dash}) : BASE, nullptr);
        std::istringstream in(std::string("from stdin\n\0binary", 19));
        load_inputs(o, in);
        EXPECT_EQ(o.body, std::string("from stdin\n\0binary", 19));
    }
    Options given = parse_args(with({"--body", "inline"}), nullptr);
    std::istringstream in("ignored");
    load_inputs(given, in);
    EXPECT_EQ(given.body, "inline");
}

TEST(CliInputs, RefusesWhatCannotBeReadWithNoInputCode) {
    TempDir dir;
    write_file(dir.file("ca.pem"), "x");
    write_file(dir.file("empty"), "");
    ::mkdir(dir.file("sub").c_str(), 0700);
    struct Case {
        std::vector<std::string> args;
        std::string says;
    };
    const std::vector<Case> cases = {
        {with({"--body-file", dir.file("missing")}),
         "cannot read body file '" + dir.file("missing") + "': No such file or directory"},
        {with({"--body-file", dir.file("sub")}), "cannot read body file"},
        {with({"--user", "u", "--password-file", dir.file("nope")}),
         "cannot read password file '" + dir.file("nope") + "'"},
        {with({"--user", "u", "--password-file", dir.file("empty")}), "holds no password"},
        {with({"--tls", "starttls", "--cafile", dir.file("none.pem")}),
         "cannot read --cafile '" + dir.file("none.pem") + "'"},
        {with({"--tls", "starttls", "--cafile", dir.file("sub")}), "Is a directory"},
        {with({"--tls", "starttls", "--capath", dir.file("ca.pem")}), "Not a directory"},
        {with({"--tls", "starttls", "--capath", dir.file("gone")}), "cannot read --capath"},
    };
    for (const Case& c : cases) {
        Options o = parse_args(c.args, nullptr);
        std::istringstream in("");
        try {
            load_inputs(o, in);
            ADD_FAILURE() << "accepted " << c.says;
        } catch (const CliError& e) {
            EXPECT_EQ(e.code, EXIT_NOINPUT) << e.text;
            EXPECT_NE(e.text.find(c.says), std::string::npos) << e.text;
        }
    }
}

TEST(CliBody, ConvertsLineEndsAndStuffsDots) {
    const std::pair<std::string, std::string> table[] = {
        {"", ""},
        {"one line", "one line"},
        {"one line\n", "one line"},
        {"a\nb\n", "a\r\nb"},
        {"a\r\nb\r\n", "a\r\nb"},
        {"a\rb", "a\r\nb"},
        {"a\n\n", "a\r\n"},
        {"\n\nx", "\r\n\r\nx"},
        {".", ".."},
        {".\n", ".."},
        {"a\n.\nb", "a\r\n..\r\nb"},
        {"a\r\n.\r\n", "a\r\n.."},
        {"..two\n", "...two"},
        {"mid.dot .x\n.end", "mid.dot .x\r\n..end"},
        {"a\r\r\n.", "a\r\n\r\n.."},
    };
    for (const auto& row : table) {
        EXPECT_EQ(smtp_body(row.first), row.second) << "body: " << row.first;
    }
}

TEST(CliBody, EndMarkerAppearsOnlyWhereTheLibraryPutsIt) {
    const char* bodies[] = {".", ".\n", "\n.\n", "a\r\n.\r\nb", "x\n.\r\n", "\r.\r", ""};
    for (const char* body : bodies) {
        MessageParts p{"a@x", {"b@x"}, "s", "Mon, 01 Dec 2025 00:00:00 +0000", "<id@x>", body};
        std::string wire = compose_message(p) + "\r\n.\r\n";
        EXPECT_EQ(wire.find("\r\n.\r\n"), wire.size() - 5) << "body: " << body;
        // Every LF on the wire belongs to a CR LF.
        for (size_t i = 0; i < wire.size(); ++i) {
            if (wire[i] == '\n') {
                EXPECT_TRUE(i > 0 && wire[i - 1] == '\r') << body;
            }
            if (wire[i] == '\r') {
                EXPECT_TRUE(i + 1 < wire.size() && wire[i + 1] == '\n') << body;
            }
        }
    }
}

TEST(CliCompose, WritesTheHeaderBlockBlankLineAndBody) {
    MessageParts p{"a@example.test",
                   {"b@example.test", "c@example.test"},
                   "Hello",
                   "Tue, 02 Dec 2025 14:03:09 +0100",
                   "<1.2@host.example>",
                   "Hi.\n.hidden\n"};
    EXPECT_EQ(compose_message(p),
              "From: a@example.test\r\n"
              "To: b@example.test, c@example.test\r\n"
              "Subject: Hello\r\n"
              "Date: Tue, 02 Dec 2025 14:03:09 +0100\r\n"
              "Message-ID: <1.2@host.example>\r\n"
              "MIME-Version: 1.0\r\n"
              "Content-Type: text/plain; charset=UTF-8\r\n"
              "Content-Transfer-Encoding: 8bit\r\n"
              "\r\n"
              "Hi.\r\n"
              "..hidden");
}

TEST(CliCompose, EmptyBodyLeavesTheBlankLineToTheEndMarker) {
    MessageParts p{"a@x", {"b@x"}, "", "D", "<i@x>", ""};
    std::string text = compose_message(p);
    const std::string last = "\r\nContent-Transfer-Encoding: 8bit\r\n";
    EXPECT_EQ(text.substr(text.size() - last.size()), last);
    EXPECT_EQ(text.find("\r\n\r\n"), std::string::npos);
    EXPECT_NE(text.find("Subject: \r\n"), std::string::npos);
}

TEST(CliCompose, FoldsLongRecipientLists) {
    std::vector<std::string> to;
    for (int i = 0; i < 8; ++i)
        to.push_back("recipient" + std::to_string(i) + "@example.test");
    MessageParts p{"a@x", to, "s", "D", "<i@x>", "b"};
    std::string text = compose_message(p);
    std::string to_field =
        text.substr(text.find("To: "), text.find("\r\nSubject:") - text.find("To: "));
    size_t start = 0;
    int lines = 0;
    for (;;) {
        size_t end = to_field.find("\r\n", start);
        std::string line = to_field.substr(start, end - start);
        EXPECT_LE(line.size(), 78u) << line;
        if (lines > 0) {
            EXPECT_EQ(line[0], ' ');
        }
        ++lines;
        if (end == std::string::npos)
            break;
        start = end + 2;
    }
    EXPECT_GT(lines, 1);
    std::string unfolded;
    for (char c : to_field) {
        if (c != '\r' && c != '\n')
            unfolded += c;
    }
    std::string expect = "To: " + to[0];
    for (size_t i = 1; i < to.size(); ++i)
        expect += ", " + to[i];
    EXPECT_EQ(unfolded, expect);
}

TEST(CliSubject, AsciiStaysAndLongAsciiFoldsAtBlanks) {
    EXPECT_EQ(encode_subject("Quarterly report"), "Quarterly report");
    std::string words;
    for (int i = 0; i < 20; ++i)
        words += (i ? " word" : "word") + std::to_string(i);
    std::string folded = encode_subject(words);
    EXPECT_NE(folded.find("\r\n "), std::string::npos);
    std::string unfolded = folded;
    for (size_t p; (p = unfolded.find("\r\n")) != std::string::npos;)
        unfolded.erase(p, 2);
    EXPECT_EQ(unfolded, words);
    size_t first = folded.find("\r\n");
    EXPECT_LE(first + 9, 78u);  // with "Subject: " in front
}

TEST(CliSubject, NonAsciiBecomesEncodedWordsCutBetweenCharacters) {
    std::string subject;
    for (int i = 0; i < 30; ++i)
        subject += "\xC3\xA4\xE2\x82\xAC";  // "ä€" x 30
    std::string enc = encode_subject(subject);
    std::string decoded;
    size_t start = 0;
    for (;;) {
        size_t end = enc.find("\r\n ", start);
        std::string word =
            enc.substr(start, end == std::string::npos ? std::string::npos : end - start);
        ASSERT_EQ(word.compare(0, 10, "=?UTF-8?B?"), 0) << word;
        ASSERT_EQ(word.substr(word.size() - 2), "?=");
        EXPECT_LE(word.size() + 9, 78u);
        std::string piece = Algorithm::decode(word.substr(10, word.size() - 12), Algorithm::BASE64);
        ASSERT_FALSE(piece.empty());
        EXPECT_NE(static_cast<unsigned char>(piece[0]) & 0xC0, 0x80u) << "cut inside a character";
        decoded += piece;
        if (end == std::string::npos)
            break;
        start = end + 3;
    }
    EXPECT_EQ(decoded, subject);
    EXPECT_EQ(encode_subject("Gr\xC3\xBC\xC3\x9F"
                             "e"),
              "=?UTF-8?B?R3LDvMOfZQ==?=");
    EXPECT_EQ(encode_subject("tab\there"), "=?UTF-8?B?dGFiCWhlcmU=?=");
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
    std::string now = rfc5322_date(std::time(nullptr));
    EXPECT_EQ(now.size(), 31u) << now;
    EXPECT_EQ(now.substr(3, 2), ", ");
}

TEST(CliMessageId, UniqueAndWellFormed) {
    std::string a = make_message_id("host.example"), b = make_message_id("host.example");
    EXPECT_NE(a, b);
    EXPECT_EQ(a.front(), '<');
    EXPECT_EQ(a.substr(a.size() - 14), "@host.example>");
    std::string odd = make_message_id("bad host>");
    EXPECT_EQ(odd.substr(odd.size() - 11), "@bad-host->");
    EXPECT_EQ(make_message_id("").substr(make_message_id("").find('@')), "@localhost>");
}

TEST(CliTranscript, AssemblesFragmentsIntoLines) {
    Transcript t(false);
    EXPECT_TRUE(t.add("mx").empty());
    EXPECT_TRUE(t.add(":\t").empty());
    EXPECT_TRUE(t.add("220 ready\r").empty());
    EXPECT_EQ(t.add("\n"), std::vector<std::string>{"mx:\t220 ready"});
    EXPECT_EQ(wrote(t, "EHLO me\r\n"), std::vector<std::string>{"client:\tEHLO me"});
    EXPECT_EQ(feed(t, {"SSLInfo:\tSSL connection using X ", "\n"}),
              std::vector<std::string>{"SSLInfo:\tSSL connection using X "});
}

TEST(CliTranscript, MasksPlainInitialResponse) {
    Transcript t(false);
    EXPECT_EQ(wrote(t, "AUTH PLAIN AHVzZXIAcGFzcw==\r\n"),
              std::vector<std::string>{"client:\tAUTH PLAIN ********"});
    EXPECT_EQ(read(t, "235 ok"), std::vector<std::string>{"mx:\t235 ok"});
    EXPECT_EQ(wrote(t, "MAIL FROM: <a@x>\r\n"),
              std::vector<std::string>{"client:\tMAIL FROM: <a@x>"});
}

TEST(CliTranscript, MasksLoginUserAndPasswordButNotThePrompts) {
    Transcript t(false);
    std::vector<std::string> all;
    for (auto lines :
         {wrote(t, "AUTH LOGIN\r\n"), read(t, "334 VXNlcm5hbWU6"), wrote(t, "dXNlcg==\r\n"),
          read(t, "334 UGFzc3dvcmQ6"), wrote(t, "cGFzcw==\r\n"), read(t, "235 ok"),
          wrote(t, "MAIL FROM: <a@x>\r\n")}) {
        all.insert(all.end(), lines.begin(), lines.end());
    }
    EXPECT_EQ(all, (std::vector<std::string>{"client:\tAUTH LOGIN", "mx:\t334 VXNlcm5hbWU6",
                                             "client:\t********", "mx:\t334 UGFzc3dvcmQ6",
                                             "client:\t********", "mx:\t235 ok",
                                             "client:\tMAIL FROM: <a@x>"}));
}

TEST(CliTranscript, MasksCramResponseAndStopsAfterARefusal) {
    Transcript t(false);
    wrote(t, "AUTH CRAM-MD5\r\n");
    EXPECT_EQ(read(t, "334 PDEyMzQ1QGhvc3Q+"),
              std::vector<std::string>{"mx:\t334 PDEyMzQ1QGhvc3Q+"});
    EXPECT_EQ(wrote(t, "dXNlciBhYmNkZWY=\r\n"), std::vector<std::string>{"client:\t********"});
    // A refused LOGIN ends the masking: the next command is shown.
    Transcript r(false);
    wrote(r, "AUTH LOGIN\r\n");
    read(r, "535 no");
    EXPECT_EQ(wrote(r, "QUIT\r\n"), std::vector<std::string>{"client:\tQUIT"});
}

TEST(CliTranscript, ShowsSecretsWhenAsked) {
    Transcript t(true);
    EXPECT_EQ(wrote(t, "AUTH PLAIN AHVzZXIAcGFzcw==\r\n"),
              std::vector<std::string>{"client:\tAUTH PLAIN AHVzZXIAcGFzcw=="});
    wrote(t, "AUTH LOGIN\r\n");
    read(t, "334 VXNlcm5hbWU6");
    EXPECT_EQ(wrote(t, "dXNlcg==\r\n"), std::vector<std::string>{"client:\tdXNlcg=="});
}

TEST(CliTranscript, CountsMessagesAcceptedAfterTheirEndMarker) {
    Transcript t(false);
    wrote(t, "DATA\r\n");
    read(t, "354 go");
    EXPECT_EQ(wrote(t, "Subject: x\r\n\r\nbody\r\n.\r\n"),
              (std::vector<std::string>{"client:\tSubject: x", "", "body", "."}));
    read(t, "250-queued");
    EXPECT_EQ(t.accepted(), 0u);  // the reply is not complete yet
    read(t, "250 as 42");
    EXPECT_EQ(t.accepted(), 1u);
    read(t, "250 ok");  // a 250 to MAIL FROM counts nothing
    EXPECT_EQ(t.accepted(), 1u);
    wrote(t, "x\r\n.\r\n");
    read(t, "552 too big");
    EXPECT_EQ(t.accepted(), 1u);
    read(t, "250 late");
    EXPECT_EQ(t.accepted(), 1u);
}

TEST(CliProgress, BarShowsShareAndCount) {
    EXPECT_EQ(progress_bar(0, 10, 10), "[..........]  0/10");
    EXPECT_EQ(progress_bar(3, 10, 10), "[###.......]  3/10");
    EXPECT_EQ(progress_bar(10, 10, 4), "[####] 10/10");
    EXPECT_EQ(progress_bar(12, 10, 4), "[####] 10/10");
}

TEST(CliUsage, DocumentsEveryOptionAndExitCode) {
    std::string u = usage_text();
    for (const char* word : {"--server",   "--port",      "--from",   "--to",   "--subject",
                             "--body",     "--body-file", "--domain", "--tls",  "--cafile",
                             "--capath",   "--insecure",  "--auth",   "--user", "--password-file",
                             "--password", "--count",     "-v",       "-vv",    "TRAVINE_PASSWORD",
                             " 64 ",       " 65 ",        " 66 ",     " 69 ",   " 70 ",
                             " 74 ",       " 76 ",        " 77 "}) {
        EXPECT_NE(u.find(word), std::string::npos) << word;
    }
}
