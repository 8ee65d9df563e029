// travine-send's library without a network: the command line and its
// refusals, the inputs it names, the message text, the transcript filter,
// the usage text and the exit codes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "exception.h"
#include "message.h"
#include "options.h"
#include "support.h"
#include "transcript.h"

using namespace travine_cli;
using Strings = std::vector<std::string>;

namespace {

Strings split(const std::string& text, char sep) {
    Strings out;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, sep);)
        out.push_back(part);
    return out;
}

std::string join(const Strings& parts) {
    std::string out;
    for (const std::string& p : parts)
        out += (out.empty() ? "" : "|") + p;
    return out;
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// Runs a command line of blank-separated words: "..." stands for a complete
// one, $D for the directory dir, and a word "TRAVINE_PASSWORD=..." sets the
// environment. The outcome is the refusal's code and text (dir shown as
// $D), or the port, the mechanism and what differs from the defaults: the
// password, the verbosity, the count, the body and the first two words of
// each warning.
std::string outcome(const std::string& line, const std::string& dir) {
    Strings args;
    std::string env;
    bool env_set = false;
    for (const std::string& word : split(replaced(line, "$D", dir), ' ')) {
        if (word == "...") {
            args.insert(args.end(), {"--server", "mx", "--from", "a@x", "--to", "b@x"});
        } else if (word.compare(0, 17, "TRAVINE_PASSWORD=") == 0) {
            env = word.substr(17);
            env_set = true;
        } else {
            args.push_back(word);
        }
    }
    try {
        Options o = parse_args(args, env_set ? env.c_str() : nullptr);
        std::istringstream in("stdin");
        load_inputs(o, in);
        const char* const AUTH[] = {"none", "auto", "plain", "login", "cram-md5", "cram-sha1"};
        std::string s = std::to_string(o.port) + " " + AUTH[static_cast<int>(o.auth)];
        s += (o.password.empty() ? "" : " pw=" + o.password) +
             (o.verbose == 0 ? "" : " v" + std::to_string(o.verbose)) +
             (o.count == 1 ? "" : " x" + std::to_string(o.count)) +
             (o.body == "stdin" ? "" : " body=" + o.body);
        for (const std::string& w : o.warnings)
            s += " [" + w.substr(0, w.find(' ', w.find(' ') + 1)) + "]";
        return s;
    } catch (const CliError& e) {
        return std::to_string(e.code) + " " + replaced(e.text, dir, "$D");
    }
}

// Feeds a session's log as the library produces it, one fragment per
// element: a buffer the client wrote (ending in CR LF) or a line read.
// Steps and the lines shown are separated by '|'.
std::string dialogue(Transcript& t, const std::string& steps) {
    Strings shown;
    for (const std::string& s : split(steps, '|')) {
        const bool wrote = s.size() >= 2 && s.compare(s.size() - 2, 2, "\r\n") == 0;
        for (const std::string& f :
             wrote ? Strings{"c", ":\t", s} : Strings{"mx", ":\t", s, "\n"}) {
            for (const std::string& line : t.add(f))
                shown.push_back(line);
        }
    }
    return join(shown);
}

}  // namespace

TEST(CliCommandLine, OutcomeOfEachLineFromOptionsEnvironmentAndFiles) {
    TempDir d;
    std::ofstream(d.file("pw"), std::ios::binary) << "hunter2\r\nsecond line\n";
    std::ofstream(d.file("empty")) << "";
    ::mkdir(d.file("sub").c_str(), 0700);
    const std::pair<std::string, std::string> cases[] = {
        {"TRAVINE_PASSWORD=e ... --to=c@x", "25 none"},
        {"... --tls starttls --insecure -v", "587 none v1 [WARNING: --insecure:]"},
        {"... --tls=smtps --cafile $D/pw -vv --body-file -", "465 none v2"},
        {"... --tls smtps --insecure --port 2465", "2465 none [WARNING: --insecure:]"},
        {"... --port=1 -v --verbose -v --count 3 --body=B", "1 none v2 x3 body=B"},
        {"... --port 65535 --count=100000 --body-file $D/pw",
         "65535 none x100000 body=hunter2\r\nsecond line\n"},
        {"TRAVINE_PASSWORD=s ... --user u --tls starttls --insecure",
         "587 auto pw=s [WARNING: --insecure:]"},
        {"TRAVINE_PASSWORD=e ... --auth cram-md5 --user u --password p",
         "25 cram-md5 pw=p [warning: --password]"},
        {"TRAVINE_PASSWORD=p ... --auth login --user u", "25 login pw=p [warning: without]"},
        {"... --auth=auto --user u --password p --insecure --tls smtps",
         "465 auto pw=p [warning: --password] [WARNING: --insecure:]"},
        {"TRAVINE_PASSWORD=p ... --tls smtps --capath $D --auth plain --user u", "465 plain pw=p"},
        {"TRAVINE_PASSWORD=p ... --auth cram-sha1 --user u", "25 cram-sha1 pw=p"},
        {"TRAVINE_PASSWORD=e ... --user u --password-file $D/pw",
         "25 auto pw=hunter2 [warning: without]"},
        {"--from a@x --to b@x", "64 --server HOST is required"},
        {"--server mx --to b@x", "64 --from ADDRESS is required"},
        {"--server mx --from a@x", "64 at least one --to ADDRESS is required"},
        {"--bogus --help", "64 unknown option '--bogus'"},
        {"... --port 0", "64 --port: '0' is not a number from 1 to 65535"},
        {"... --port 65536", "64 --port: '65536' is not a number from 1 to 65535"},
        {"... --port 8x", "64 --port: '8x' is not a number from 1 to 65535"},
        {"... --port", "64 --port needs a value"},
        {"... --count 100001", "64 --count: '100001' is not a number from 1 to 100000"},
        {"... --tls ssl", "64 --tls: unknown mode 'ssl' (none, starttls or smtps)"},
        {"... --auth md5", "64 --auth: unknown mechanism 'md5' (none, auto, plain, login,..."},
        {"... --frobnicate=1", "64 unknown option '--frobnicate'"},
        {"... -x", "64 unknown option '-x'"},
        {"... --insecure=yes", "64 --insecure takes no value"},
        {"... word", "64 unexpected argument 'word' (the body comes from --body, --body-file..."},
        {"... -- body", "64 unexpected argument 'body' (the body..."},
        {"... --tls starttls", "64 TLS needs --cafile FILE or --capath DIR to verify the..."},
        {"... --tls smtps --insecure --cafile /ca", "64 --insecure and --cafile/--capath..."},
        {"... --cafile /ca.pem", "64 --cafile/--capath needs --tls starttls or --tls smtps"},
        {"... --insecure", "64 --insecure needs --tls starttls or --tls smtps"},
        {"... --cafile=", "64 --cafile: empty file name"},
        {"... --capath=", "64 --capath: empty directory name"},
        {"... --body-file=", "64 --body-file: empty file name"},
        {"... --password-file=", "64 --password-file: empty file name"},
        {"... --body x --body-file f", "64 --body and --body-file exclude each other"},
        {"... --auth plain --password p", "64 --auth needs --user NAME"},
        {"... --auth plain --user u", "64 --auth needs a password: --password-file FILE or the..."},
        {"... --user u --password p --password-file f", "64 --password and --password-file..."},
        {"... --auth none --user u", "64 --auth none contradicts..."},
        {"... --password p", "64 a password needs --user (and optionally --auth)"},
        {"... --subject a\r\nBcc:c@x", "64 --subject: line breaks are not allowed"},
        {"... --user u\n --password p", "64 --user: line breaks are not allowed"},
        {"... --to c@x>\r\nRCPT", "64 --to: 'c@x>\r\nRCPT' is not a bare address (no blanks,..."},
        {"... --to <c@x", "64 --to: '<c@x' is not a bare address..."},
        {"... --to=", "64 --to: empty address"},
        {"... --from a\tb@x", "64 --from: 'a\tb@x' is not a bare address..."},
        {"... --server mx\r\nQUIT", "64 --server: 'mx\r\nQUIT' is not a host name"},
        {"... --domain my\thost", "64 --domain: 'my\thost' is not a host name"},
        {"... --body-file $D/no", "66 cannot read body file '$D/no': No such file or directory"},
        {"... --body-file $D/sub", "66 cannot read body file '$D/sub': Is a directory"},
        {"... --user u --password-file $D/no", "66 cannot read password file '$D/no': No such..."},
        {"... --user u --password-file $D/empty", "66 password file '$D/empty' holds no password"},
        {"... --tls starttls --cafile $D/no", "66 cannot read --cafile '$D/no': No such file..."},
        {"... --tls starttls --cafile $D/sub", "66 cannot read --cafile '$D/sub': Is a directory"},
        {"... --tls starttls --capath $D/pw", "66 cannot read --capath '$D/pw': Not a directory"},
        {"... --tls starttls --capath $D/no", "66 cannot read --capath '$D/no': No such file..."},
    };
    // An expected outcome that ends in "..." is the start of the outcome.
    for (const auto& c : cases) {
        const size_t dots =
            c.second.size() > 3 && c.second.compare(c.second.size() - 3, 3, "...") == 0 ? 3 : 0;
        const std::string got = outcome(c.first, d.path());
        EXPECT_EQ(dots > 0 ? got.substr(0, c.second.size() - 3) : got,
                  c.second.substr(0, c.second.size() - dots))
            << c.first;
    }

    // Standard input gives the body byte for byte.
    const std::string in("in\n\0binary", 10);
    std::istringstream stream(in);
    Options o = parse_args({"--server", "mx", "--from", "a@x", "--to", "b@x"}, nullptr);
    load_inputs(o, stream);
    EXPECT_EQ(o.body, in);
    o = parse_args(split("--server mx --from a@x --to b@x --to c@x --subject S --domain me", ' '),
                   nullptr);
    EXPECT_EQ(join({o.server, o.from, join(o.to), o.subject, o.domain}), "mx|a@x|b@x|c@x|S|me");
    // --help and --version end the parsing; nothing else is required.
    EXPECT_TRUE(parse_args({"--help", "--bogus"}, nullptr).help);
    EXPECT_TRUE(parse_args({"-h"}, nullptr).help);
    EXPECT_TRUE(parse_args({"--version"}, nullptr).version);
}

TEST(CliCommandLine, UsageListsEveryOptionInColumnsAndEveryExitCode) {
    const std::string u = usage_text();
    const char* const parts[] = {
        "Usage: travine-send --server HOST --from ADDRESS --to ADDRESS... [options]\n",
        "\nMessage:\n  --from ADDRESS        envelope sender and From header (required)\n",
        "\n  --body-file FILE      read the body from FILE ('-': standard input);\n"
        "                        without either the body is read from standard input\n",
        "\n  --password-file FILE  password: the first line of FILE; or set\n"
        "                        TRAVINE_PASSWORD in the environment\n",
        "\n  69  connection, time-out, or a reply that refused a command; a wrong\n"
        "      password shows here too (TransferException)\n",
        "\n\nServer:\n  --server HOST ",
        "\n\nAuthentication:\n  --auth MECH ",
        "\n\nOutput:\n  -v, --verbose ",
        "\n\nExit status:\n   0  every message"};
    for (const char* part : parts)
        EXPECT_NE(u.find(part), std::string::npos) << part;
    const std::string items =
        "--to ADDRESS|--subject TEXT|--body TEXT|--count N|--port N|--domain NAME|--tls MODE|"
        "--cafile FILE|--capath DIR|--insecure|--user NAME|--password TEXT|-h, --help|--version|"
        "64|65|66|70|74|76|77";
    for (const std::string& item : split(items, '|'))
        EXPECT_NE(u.find("\n  " + item + " "), std::string::npos) << item;
}

TEST(CliCommandLine, ExitCodeByExceptionClass) {
    const std::pair<std::exception_ptr, int> table[] = {
        {std::make_exception_ptr(TransferException("t", "m", 1)), 69},
        {std::make_exception_ptr(SSLException("t", "m", 1)), 76},
        {std::make_exception_ptr(IOException("t", "m", 1)), 74},
        {std::make_exception_ptr(AuthenticationFailedException("t", "m", 1)), 77},
        {std::make_exception_ptr(DecodeException("t", "m", 1)), 65},
        {std::make_exception_ptr(std::runtime_error("x")), 70}};
    for (const auto& row : table)
        EXPECT_EQ(exit_code_for(row.first), row.second);
}

TEST(CliMessage, BodySubjectAndHeaderBlock) {
    // Line ends become CR LF, a leading dot is doubled, a final line end goes.
    EXPECT_EQ(smtp_body(""), "");
    EXPECT_EQ(smtp_body("a\n\n"), "a\r\n");
    EXPECT_EQ(smtp_body(".a\nb\r\nc\rd\r\r\n..e\n.\r\n\nf.g .h\n."),
              "..a\r\nb\r\nc\r\nd\r\n\r\n...e\r\n..\r\n\r\nf.g .h\r\n..");

    std::string words = "word0", euros = "a";
    for (int i = 1; i < 20; ++i)
        words += " word" + std::to_string(i);
    for (int i = 0; i < 13; ++i)
        euros += "\xE2\x82\xAC";
    EXPECT_EQ(encode_subject("Quarterly report"), "Quarterly report");
    // A line of "Subject: " and the words may reach 78 characters, not 79.
    const std::string a59(59, 'a'), b9(9, 'b');
    EXPECT_EQ(encode_subject(a59 + " " + b9), a59 + " " + b9);
    EXPECT_EQ(encode_subject("a" + a59 + " " + b9), "a" + a59 + "\r\n " + b9);
    // With "Subject: " in front the first line has 75 characters.
    EXPECT_EQ(encode_subject(words),
              "word0 word1 word2 word3 word4 word5 word6 word7 word8 word9 word10\r\n"
              " word11 word12 word13 word14 word15 word16 word17 word18 word19");
    EXPECT_EQ(encode_subject("Gr\u00fc\u00dfe"), "=?UTF-8?B?R3LDvMOfZQ==?=");
    EXPECT_EQ(encode_subject("tab\there"), "=?UTF-8?B?dGFiCWhlcmU=?=");
    // 40 bytes: the cut at 39 would split the last euro sign.
    EXPECT_EQ(encode_subject(euros),
              "=?UTF-8?B?YeKCrOKCrOKCrOKCrOKCrOKCrOKCrOKCrOKCrOKCrOKCrOKCrA==?=\r\n"
              " =?UTF-8?B?4oKs?=");

    MessageParts p{"a@x", {"b@x", "c@x"}, "Hi", "Tue, 02 Dec 2025", "<1@h>", "Hi.\n.hidden\n"};
    const std::string tail =
        "\r\nSubject: Hi\r\nDate: Tue, 02 Dec 2025\r\nMessage-ID: <1@h>\r\n"
        "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=UTF-8\r\n"
        "Content-Transfer-Encoding: 8bit\r\n";
    EXPECT_EQ(compose_message(p), "From: a@x\r\nTo: b@x, c@x" + tail + "\r\nHi.\r\n..hidden");
    // To folds before a recipient that would make its line longer than 78;
    // an empty body leaves the blank line to the end-of-data marker.
    const std::string a36(36, 'a'), b37(37, 'b');
    p.body = "";
    p.to = {a36, a36};
    EXPECT_EQ(compose_message(p), "From: a@x\r\nTo: " + a36 + ", " + a36 + tail);
    p.to = {a36, b37, a36};
    EXPECT_EQ(compose_message(p), "From: a@x\r\nTo: " + a36 + ",\r\n " + b37 + ", " + a36 + tail);
}

TEST(CliMessage, DateAndMessageId) {
    std::tm tm{};
    tm.tm_year = 125, tm.tm_mon = 11, tm.tm_mday = 2, tm.tm_wday = 2;
    tm.tm_hour = 14, tm.tm_min = 3, tm.tm_sec = 9;
    EXPECT_EQ(rfc5322_date(tm, 60), "Tue, 02 Dec 2025 14:03:09 +0100");
    EXPECT_EQ(rfc5322_date(tm, -330), "Tue, 02 Dec 2025 14:03:09 -0530");
    const char* tz = std::getenv("TZ");
    const std::string old_tz = tz != nullptr ? tz : "";
    ::setenv("TZ", "XYZ-5:30", 1);  // 5 hours 30 minutes east of UTC
    ::tzset();
    EXPECT_EQ(rfc5322_date(std::time_t(0)), "Thu, 01 Jan 1970 05:30:00 +0530");
    tz != nullptr ? ::setenv("TZ", old_tz.c_str(), 1) : ::unsetenv("TZ");
    ::tzset();
    const auto domain = [](const std::string& id) { return id.substr(id.find('@')); };
    const std::string a = make_message_id("host.example"), b = make_message_id("host.example");
    EXPECT_NE(a, b);
    EXPECT_EQ(a.front(), '<');
    EXPECT_EQ(domain(a), "@host.example>");
    EXPECT_EQ(domain(make_message_id("bad host>")), "@bad-host->");
    EXPECT_EQ(domain(make_message_id("")), "@localhost>");
}

TEST(CliTranscript, AssemblesFragmentsMasksCredentialsAndCountsAcceptedMessages) {
    Transcript t(false);
    EXPECT_TRUE(t.add("mx").empty());
    EXPECT_TRUE(t.add(":\t220 ready\r").empty());
    EXPECT_EQ(t.add("\n"), Strings{"mx:\t220 ready"});
    EXPECT_EQ(t.add("SSLInfo:\tusing X \n"), Strings{"SSLInfo:\tusing X "});
    const std::tuple<bool, const char*, const char*> cases[] = {
        {false, "AUTH PLAIN AHVz\r\n|235 ok|MAIL FROM: <a@x>\r\n",
         "c:\tAUTH PLAIN ********|mx:\t235 ok|c:\tMAIL FROM: <a@x>"},
        {false, "AUTH PLAIN\r\n|334 |AHVz\r\n|235 ok|QUIT\r\n",
         "c:\tAUTH PLAIN|mx:\t334 |c:\t********|mx:\t235 ok|c:\tQUIT"},
        {false, "AUTH LOGIN\r\n|334 VXNl|dXNl\r\n|334 UGFz|cGFz\r\n|235 ok|RSET\r\n",
         "c:\tAUTH LOGIN|mx:\t334 VXNl|c:\t********|mx:\t334 UGFz|c:\t********|mx:\t235 "
         "ok|c:\tRSET"},
        {false, "auth login dXNl\r\n|334 UGFz|cGFz\r\n|QUIT\r\n",
         "c:\tauth login ********|mx:\t334 UGFz|c:\t********|c:\tQUIT"},
        {false, "AUTH CRAM-MD5\r\n|334 PDEy|dXNl\r\n|QUIT\r\n",
         "c:\tAUTH CRAM-MD5|mx:\t334 PDEy|c:\t********|c:\tQUIT"},
        // A refusal ends the masking: the next command is shown.
        {false, "AUTH LOGIN\r\n|535 no|QUIT\r\n", "c:\tAUTH LOGIN|mx:\t535 no|c:\tQUIT"},
        {true, "AUTH PLAIN AHVz\r\n|AUTH LOGIN\r\n|334 VXNl|dXNl\r\n",
         "c:\tAUTH PLAIN AHVz|c:\tAUTH LOGIN|mx:\t334 VXNl|c:\tdXNl"},
    };
    for (const auto& c : cases) {
        Transcript fresh(std::get<0>(c));
        EXPECT_EQ(dialogue(fresh, std::get<1>(c)), std::get<2>(c));
    }

    // A message counts once the last line of the reply to its end marker is 250.
    EXPECT_EQ(dialogue(t, "DATA\r\n|354 go|Subject: x\r\n\r\nbody\r\n.\r\n|250-queued"),
              "c:\tDATA|mx:\t354 go|c:\tSubject: x||body|.|mx:\t250-queued");
    EXPECT_EQ(t.accepted(), 0u);
    dialogue(t, "250 as 42");
    EXPECT_EQ(t.accepted(), 1u);
    // A 250 to MAIL FROM, a refused message and a late 250 count nothing.
    dialogue(t, "250 ok|x\r\n.\r\n|552 too big|250 late");
    EXPECT_EQ(t.accepted(), 1u);
    EXPECT_EQ(progress_bar(0, 10, 10), "[..........]  0/10");
    EXPECT_EQ(progress_bar(3, 10, 10), "[###.......]  3/10");
    EXPECT_EQ(progress_bar(12, 10, 4), "[####] 10/10");
}
