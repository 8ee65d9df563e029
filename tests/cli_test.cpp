// travine-send's library without a network: the command line, the accounts
// of a config file and their refusals, the message of sendmail mode byte by
// byte, the transcript filter and the plain-word failures.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "exception.h"
#include "message.h"
#include "options.h"
#include "report.h"
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

std::string join(const Strings& parts, const char* sep = "|") {
    std::string out;
    for (const std::string& p : parts)
        out += (out.empty() ? "" : sep) + p;
    return out;
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// Files the cases name as $D/NAME.
const TempDir dir;

// What a command line of blank-separated words after the program name
// makes of input: "..." stands for a complete one; a word
// "TRAVINE_PASSWORD=..." sets the environment. Without input the settings
// (the server, the port, the mechanism and what differs from the defaults),
// else "sender|recipients|text" of the message, generated Date and
// Message-ID values as NOW and ID; or the code and text of the refusal.
std::string outcome(const std::string& line, const std::string& input) {
    Strings args;
    Environment env;
    env.config_files = {dir.file("config"), dir.file("system")};
    std::string password;
    for (const std::string& word :
         split(replaced(replaced(line, "$D", dir.path()), "...", "--server mx --from a@x --to b@x"),
               ' ')) {
        if (word.compare(0, 17, "TRAVINE_PASSWORD=") == 0)
            env.password = (password = word.substr(17)).c_str();
        else
            args.push_back(word);
    }
    try {
        Options o = parse_args(args, env);
        std::istringstream in(input);
        load_inputs(o, in);
        if (input.empty()) {
            std::string s = o.server + " " + std::to_string(o.port) + " " + auth_name(o.auth) +
                            (o.password.empty() ? "" : " pw=" + o.password) +
                            (o.dot_ends ? "" : " -i") +
                            (o.operands.empty() ? "" : " [" + join(o.operands) + "]");
            for (const std::string& w : o.warnings)
                s += " [" + w.substr(0, w.find(' ', w.find(' ') + 1)) + "]";
            return s;
        }
        const Outgoing out = o.sendmail ? sendmail_message(o.body, o) : compose(o);
        const std::string text =
            std::regex_replace(join(out.texts), std::regex("[0-9a-f]{32}@"), "ID@");
        return out.sender + "|" + join(out.rcpts, ",") + "|" +
               std::regex_replace(text, std::regex("Date: \\w{3}, [^\r]+"), "Date: NOW");
    } catch (const CliError& e) {
        return std::to_string(e.code) + " " + replaced(e.text, dir.path(), "$D");
    }
}

}  // namespace

// A refusal is checked by the start of its text.
TEST(CliInputs, CommandLineAccountsFilesAndTheMessage) {
    std::ofstream(dir.file("pw")) << "hunter2\r\nsecond line\n";
    std::ofstream(dir.file("config")) << "default = main\n\n# comment\n[main]\n server = mx.test \n"
                                         "port=2525\nfrom = me@x\nuser = me\npassword = pw1\n"
                                         "[oauth]\nserver = [::1]\nauth = oauthbearer\nuser = me\n"
                                         "password-command = printf 'tok\\nx'\n[b]\nx = 1\n[t]\n"
                                         "tls = ssl\n";
    std::ofstream(dir.file("open")) << "[a]\npassword = x\n";
    std::ofstream(dir.file("junk")) << "[a]\nserver\n";
    ::chmod(dir.file("config").c_str(), 0600);
    ::chmod(dir.file("open").c_str(), 0644);
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {"TRAVINE_PASSWORD=e ... --to=c@x", "", "mx 25 none"},
        {"... --tls=smtps --cafile $D/pw --user u --password-file $D/pw", "",
         "mx 465 auto pw=hunter2"},
        {"TRAVINE_PASSWORD=e ... --auth cram-md5 --user u --password p", "",
         "mx 25 cram-md5 pw=p [warning: --password]"},
        {"--server mx -oem -oi -- -x@y b@x", "", "mx 25 none -i [-x@y|b@x]"},
        {"--config $D/config --to b@x", "", "mx.test 2525 auto pw=pw1 [warning: without]"},
        {"TRAVINE_PASSWORD=e --to b@x -q", "", "mx.test 2525 auto pw=e [warning: without]"},
        {"--account oauth --from a@x --to b@x --tls starttls", "", "::1 587 oauthbearer pw=tok"},
        {"--account nope", "", "78 no account 'nope' in '$D/config'"},
        {"--account b", "", "78 $D/config:16: unknown key 'x'"},
        {"--config $D/junk --account a", "", "78 $D/junk:2: expected 'key = value' or"},
        {"--account t", "", "78 $D/config:18: --tls: unknown mode 'ssl'"},
        {"--config $D/open --account a", "", "78 config file '$D/open' holds a password, and"},
        {"... --port 65536", "", "64 --port: '65536' is not a number from 1 to 65535"},
        {"... --subject S b@x", "", "64 --subject composes a message, but with -t, -i or"},
        {"--server mx\r\nQUIT --from a@x --to b@x", "", "64 --server: 'mx\r\nQUIT' is not a host"},
        {"... --body-file $D/no", "", "66 cannot read body file '$D/no': No such file or"},
        // -t: recipients from the fields (a group, a quoted comma, a folded
        // Bcc), the arguments first, each once; Bcc is not sent; the lone dot
        // does not end the text with -i; every line end becomes CR LF.
        {"--server mx -t -i d@x",
         "From: Jo <jo@x>\nTo: \"Doe, Jo\" <a@x>, b@x (Bee)\r\nCc: team: c@x, a@x;\n"
         "bcc: e@x,\n\tf@x\nDate: given\nMessage-ID: <m@x>\n\n.\n..two\r\nbare CR\rend",
         "jo@x|d@x,a@x,b@x,c@x,e@x,f@x|From: Jo <jo@x>\r\nTo: \"Doe, Jo\" <a@x>, b@x (Bee)\r\n"
         "Cc: team: c@x, a@x;\r\nDate: given\r\nMessage-ID: <m@x>\r\n\r\n..\r\n...two\r\nbare "
         "CR\r\nend"},
        // Without -t the fields name no recipient; a lone dot ends the input;
        // From, Date and Message-ID are added when missing.
        {"--server mx -f s@x r@x", "Subject: x\nBcc: h@x\n\nbody\n.\nafter\n",
         "s@x|r@x|From: s@x\r\nDate: NOW\r\nMessage-ID: <ID@x>\r\nSubject: x\r\n\r\nbody"},
        // No header at all: the blank line goes after the added fields.
        {"--server mx -fs@x -F J\xC3\xB6 -B8BITMIME r@x", "hello\n.x",
         "s@x|r@x|From: =?utf-8?B?SsO2?= <s@x>\r\nDate: NOW\r\nMessage-ID: "
         "<ID@x>\r\n\r\nhello\r\n..x"},
        {"--server mx -t", "From: a@x\nTo: a b@x\n", "64 recipient: 'a b@x' is not an address"},
        {"... --attach $D/no", "B", "66 cannot read attachment '$D/no': No such file or"},
    };
    for (const auto& c : cases) {
        const std::string got = outcome(std::get<0>(c), std::get<1>(c)), want = std::get<2>(c);
        EXPECT_EQ(got.substr(0, got[0] >= '0' && got[0] <= '9' ? want.size() : got.size()), want)
            << std::get<0>(c);
    }
    EXPECT_TRUE(parse_args({"--help", "--bogus"}, Environment()).help);
    const std::string u = usage_text();
    for (const char* part : {"\n  -f, --from ADDRESS    sender", "\n  --password-command CMD  ",
                             "\n  auth, user, password-file,", "\n 130  interrupted"})
        EXPECT_NE(u.find(part), std::string::npos) << part;
}

TEST(CliTranscript, MasksCredentialsFollowsTheStepsAndCountsAcceptedMessages) {
    // Lines written (ending in CR LF) and read; shown lines joined by '|',
    // then the step reached (5 RCPT, 7 MESSAGE, 8 QUIT), its address and the
    // messages accepted.
    const auto dialogue = [&](const std::string& lines) {
        Transcript t(false);
        Strings shown;
        for (const std::string& s : split(lines, '|')) {
            const Strings got = t.add(s.back() == '\n' ? "c:\t" + s : "s:\t" + s + "\n");
            shown.insert(shown.end(), got.begin(), got.end());
        }
        return join(shown) + " #" + std::to_string(t.step()) + " " + t.address() + " " +
               std::to_string(t.accepted());
    };
    // A refusal ends the masking; CRAM-MD5 masks one line.
    EXPECT_EQ(dialogue("AUTH LOGIN\r\n|535 no|AUTH CRAM-MD5\r\n|334 x|dXNl\r\n|RCPT TO: <b@x>\r\n"),
              "c:\tAUTH LOGIN|s:\t535 no|c:\tAUTH CRAM-MD5|s:\t334 x|c:\t********|c:\tRCPT "
              "TO: <b@x> #5 b@x 0");
    // The token goes in the first line; the closing response is no secret.
    EXPECT_EQ(dialogue("AUTH XOAUTH2 dXNl\r\n|334 eyJ9|\r\n|535 no|QUIT\r\n"),
              "c:\tAUTH XOAUTH2 ********|s:\t334 eyJ9|c:\t|s:\t535 no|c:\tQUIT #8  0");
    // A message counts once the last line of the reply to its end marker
    // is 250; a refused message and a late 250 count nothing.
    EXPECT_EQ(dialogue("DATA\r\n|354 go|Subject: x\r\n\r\nbody\r\n.\r\n|250-queued|250 as "
                       "42|x\r\n.\r\n|552 no|250 late|y\r\n.\r\n|250-a|550 b"),
              "c:\tDATA|s:\t354 go|c:\tSubject: x||body|.|s:\t250-queued|s:\t250 as "
              "42|c:\tx|.|s:\t552 no|s:\t250 late|c:\ty|.|s:\t250-a|s:\t550 b #7  1");
    EXPECT_EQ(progress_bar(12, 10, 4), "[####] 10/10");
}

TEST(CliReport, PlainWordsExitCodesSummaryAndVisibleText) {
    Options o;
    o.server = "::1", o.port = 2525, o.timeout = 7, o.user = "tim", o.count = 2;
    o.auth = AuthMode::OAUTHBEARER;
    const auto words = [&](const Exception& e) {
        const Report r = describe(e, Context{&o, Transcript::AUTH, "b@x"});
        return std::to_string(r.code) + " " + r.text;
    };
    EXPECT_EQ(words(TransferException("Socket timeout.", "Socket::readSocket()", 2)),
              "69 no answer from [::1]:2525 within 7 seconds (Socket timeout.)");
    EXPECT_EQ(words(TransferException("535 5.7.8 no", "SMTP::evalResponse()", 2)),
              "77 the server refused the access token (535 5.7.8 no)");
    EXPECT_EQ(words(DecodeException("x", "Algorithm::decode()", 1)),
              "65 the server's authentication challenge is not base64");
    o.tls = TlsMode::STARTTLS, o.auth = AuthMode::PLAIN;
    EXPECT_EQ(summary(o, {"a", "b", "c", "d", "e"}),
              "sent 2 messages to a, b, c and 2 more through [::1]:2525 with STARTTLS as tim");
    EXPECT_EQ(visible("a\r\n\x1b[31m\x7f\xC2\x9B\t\xC3\xBC"),
              "a\\r\\n\\x1b[31m\\x7f\\u009b\t\xC3\xBC");
}
