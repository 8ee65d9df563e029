// travine-send's library without a network: the command line, the accounts
// of a config file and their refusals, the message of sendmail mode byte by
// byte, the composed message, the transcript filter and the plain-word
// failures.
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

// The options of a command line of blank-separated words after the program
// name, its inputs read from input: "..." stands for a complete one, $D for
// the directory dir, '~' for a blank; a word "TRAVINE_PASSWORD=..." sets the
// environment.
Options parsed(const std::string& line, const std::string& dir, const std::string& input) {
    Strings args;
    Environment env;
    env.config_files = {dir + "/config", dir + "/system"};
    std::string password;
    for (std::string word : split(
             replaced(replaced(line, "$D", dir), "...", "--server mx --from a@x --to b@x"), ' ')) {
        word = replaced(word, "~", " ");
        if (word.compare(0, 17, "TRAVINE_PASSWORD=") == 0)
            env.password = (password = word.substr(17)).c_str();
        else
            args.push_back(word);
    }
    Options o = parse_args(args, env);
    std::istringstream in(input);
    load_inputs(o, in);
    return o;
}

// What made returns, or the code and text of its refusal; checked against
// want, or against its start when it ends in "...".
template <class F>
void expect_outcome(F made, const std::string& want, const std::string& dir,
                    const std::string& line) {
    std::string got;
    try {
        got = made();
    } catch (const CliError& e) {
        got = std::to_string(e.code) + " " + replaced(e.text, dir, "$D");
    }
    const bool dots = want.size() > 3 && want.compare(want.size() - 3, 3, "...") == 0;
    const size_t n = dots ? want.size() - 3 : std::string::npos;
    EXPECT_EQ(got.substr(0, n), want.substr(0, n)) << line;
}

}  // namespace

// The outcome of each line: the server, the port, the mechanism and what
// differs from the defaults, or the refusal.
TEST(CliCommandLine, OutcomeOfEachLineFromOptionsAccountsAndFiles) {
    TempDir d;
    std::ofstream(d.file("pw")) << "hunter2\r\nsecond line\n";
    std::ofstream(d.file("config")) << "default = main\n\n# comment\n[main]\n server = mx.test \n"
                                       "port=2525\nfrom = Me <me@x>\nuser = me\npassword = pw1\n"
                                       "[oauth]\nserver = [::1]\nauth = oauthbearer\nuser = me\n"
                                       "password-command = printf 'tok\\nx'\n[bad]\ncolour = blue\n"
                                       "[badtls]\ntls = ssl\n";
    std::ofstream(d.file("open")) << "[a]\npassword = x\n";
    std::ofstream(d.file("junk")) << "[a]\nserver\n";
    ::chmod(d.file("config").c_str(), 0600);
    ::chmod(d.file("open").c_str(), 0644);
    const auto settings = [&](const std::string& line) {
        const Options o = parsed(line, d.path(), "stdin");
        std::string s = o.server + " " + std::to_string(o.port) + " " + auth_name(o.auth);
        s += (o.password.empty() ? "" : " pw=" + o.password) +
             (o.account.empty() ? "" : " account=" + o.account) +
             (o.sendmail ? " sendmail" + (o.dot_ends ? "" : std::string(" -i")) : "") +
             (o.operands.empty() ? "" : " [" + join(o.operands, " ") + "]");
        for (const std::string& w : o.warnings)
            s += " [" + w.substr(0, w.find(' ', w.find(' ') + 1)) + "]";
        return s;
    };
    const std::pair<std::string, std::string> cases[] = {
        {"TRAVINE_PASSWORD=e ... --to=c@x", "mx 25 none"},
        {"TRAVINE_PASSWORD=s ... --tls starttls --insecure --user u",
         "mx 587 auto pw=s [WARNING: --insecure:]"},
        {"... --tls=smtps --cafile $D/pw --body-file - --user u --password-file $D/pw",
         "mx 465 auto pw=hunter2"},
        {"TRAVINE_PASSWORD=e ... --auth cram-md5 --user u --password p",
         "mx 25 cram-md5 pw=p [warning: --password]"},
        {"--server mx -oem -oi -- -x@y b@x", "mx 25 none sendmail -i [-x@y b@x]"},
        {"--config $D/config --to b@x", "mx.test 2525 auto pw=pw1 account=main [warning: without]"},
        {"TRAVINE_PASSWORD=e --to b@x -q",
         "mx.test 2525 auto pw=e account=main [warning: without]"},
        {"--account oauth --from a@x --to b@x --tls starttls",
         "::1 587 oauthbearer pw=tok account=oauth"},
        {"--account nope", "78 no account 'nope' in '$D/config'"},
        {"--account bad", "78 $D/config:16: unknown key 'colour'"},
        {"--account badtls", "78 $D/config:18: --tls: unknown mode 'ssl' (none, starttls..."},
        {"--config $D/junk --account a", "78 $D/junk:2: expected 'key = value' or '[NAME]'"},
        {"--config $D/open --account a", "78 config file '$D/open' holds a password, and other..."},
        {"--bogus --help", "64 unknown option '--bogus'"},
        {"... --port 65536", "64 --port: '65536' is not a number from 1 to 65535"},
        {"... --subject S b@x", "64 --subject composes a message, but with -t, -i or..."},
        {"... --user u --password p --password-command c", "64 --password, --password-file and..."},
        {"--server mx\r\nQUIT --from a@x --to b@x", "64 --server: 'mx\r\nQUIT' is not a host..."},
        {"... --body-file $D/no", "66 cannot read body file '$D/no': No such file or directory"},
        {"... --tls starttls --capath $D/pw", "66 cannot read --capath '$D/pw': Not a directory"},
    };
    for (const auto& c : cases)
        expect_outcome([&] { return settings(c.first); }, c.second, d.path(), c.first);
    EXPECT_TRUE(parse_args({"--help", "--bogus"}, Environment()).help);
    const std::string u = usage_text();
    for (const char* part : {"\n  -f, --from ADDRESS    sender", "\n  --password-command CMD  ",
                             "\n  auth, user, password-file,", "\n 130  interrupted"})
        EXPECT_NE(u.find(part), std::string::npos) << part;
}

// The envelope and the text that a line after "--server mx" makes of
// input, "sender|recipients|text", as sendmail mode takes a complete
// message or as the options compose one; or the refusal. Generated Date
// and Message-ID values read NOW and ID.
TEST(CliMessage, EnvelopeAndTextOfSendmailModeAndOfTheComposedMessage) {
    TempDir d;
    const auto made = [&](const std::string& line, const std::string& input) {
        const Options o = parsed("--server mx " + line, d.path(), input);
        const Outgoing out = o.sendmail ? sendmail_message(o.body, o) : compose(o);
        const std::string text =
            std::regex_replace(join(out.texts), std::regex("[0-9a-f]{32}@"), "ID@");
        return out.sender + "|" + join(out.rcpts, ",") + "|" +
               std::regex_replace(text, std::regex("Date: \\w{3}, [^\r]+"), "Date: NOW");
    };
    const std::tuple<std::string, std::string, std::string> cases[] = {
        // -t: recipients from the fields (a group, a quoted comma, a folded
        // Bcc), the arguments first, each once; Bcc is not sent; the lone dot
        // does not end the text with -i; every line end becomes CR LF.
        {"-t -i d@x",
         "From: Jo <jo@x>\nTo: \"Doe, Jo\" <a@x>, b@x (Bee)\r\nCc: team: c@x, a@x;\n"
         "bcc: e@x,\n\tf@x\nDate: given\nMessage-ID: <m@x>\n\n.\n..two\r\nbare CR\rend",
         "jo@x|d@x,a@x,b@x,c@x,e@x,f@x|From: Jo <jo@x>\r\nTo: \"Doe, Jo\" <a@x>, b@x (Bee)\r\n"
         "Cc: team: c@x, a@x;\r\nDate: given\r\nMessage-ID: <m@x>\r\n\r\n..\r\n...two\r\nbare "
         "CR\r\nend"},
        // Without -t the fields name no recipient; a lone dot ends the input;
        // From, Date and Message-ID are added when missing.
        {"-f s@x r@x", "Subject: x\nBcc: h@x\n\nbody\n.\nafter\n",
         "s@x|r@x|From: s@x\r\nDate: NOW\r\nMessage-ID: <ID@x>\r\nSubject: x\r\n\r\nbody"},
        // No header at all: the blank line goes after the added fields.
        {"-fs@x -F J\xC3\xB6 -B8BITMIME r@x", "hello\n.x",
         "s@x|r@x|From: =?utf-8?B?SsO2?= <s@x>\r\nDate: NOW\r\nMessage-ID: "
         "<ID@x>\r\n\r\nhello\r\n..x"},
        {"r@x", "Subject: x\n", "64 no sender: give -f ADDRESS, put 'from' in the account, or..."},
        {"-t", "From: a@x\nTo: a b@x\n", "64 recipient: 'a b@x' is not an address (jo@examp..."},
        {"... --attach $D/no", "", "66 cannot read attachment '$D/no': No such file or directory"},
    };
    for (const auto& c : cases) {
        expect_outcome([&] { return made(std::get<0>(c), std::get<1>(c)); }, std::get<2>(c),
                       d.path(), std::get<0>(c));
    }
}

TEST(CliTranscript, MasksCredentialsFollowsTheStepsAndCountsAcceptedMessages) {
    // Lines written (ending in CR LF) and read; shown lines joined by '|',
    // then the step reached, its address and the messages accepted.
    const char* const steps[] = {"GREETING", "HELLO", "STARTTLS", "AUTH", "MAIL",
                                 "RCPT",     "DATA",  "MESSAGE",  "QUIT"};
    const auto dialogue = [&](bool show_secrets, const std::string& lines) {
        Transcript t(show_secrets);
        Strings shown;
        for (const std::string& s : split(lines, '|')) {
            for (const std::string& line :
                 t.add(s.back() == '\n' ? "c:\t" + s : "mx:\t" + s + "\n"))
                shown.push_back(line);
        }
        return join(shown) + " #" + steps[t.step()] + " " + t.address() + " " +
               std::to_string(t.accepted());
    };
    const std::tuple<bool, const char*, const char*> cases[] = {
        // A refusal ends the masking; CRAM-MD5 masks one line.
        {false,
         "220 ready\r|AUTH LOGIN\r\n|535 no|AUTH CRAM-MD5\r\n|334 PDEy|dXNl\r\n|235 ok|MAIL FROM: "
         "<a@x>\r\n|250 ok|RCPT TO: <b@x>\r\n",
         "mx:\t220 ready|c:\tAUTH LOGIN|mx:\t535 no|c:\tAUTH CRAM-MD5|mx:\t334 "
         "PDEy|c:\t********|mx:\t235 "
         "ok|c:\tMAIL FROM: <a@x>|mx:\t250 ok|c:\tRCPT TO: <b@x> #RCPT b@x 0"},
        // The token goes in the first line; the closing response is no secret.
        {false, "AUTH XOAUTH2 dXNl\r\n|334 eyJ9|\r\n|535 no|QUIT\r\n",
         "c:\tAUTH XOAUTH2 ********|mx:\t334 eyJ9|c:\t|mx:\t535 no|c:\tQUIT #QUIT  0"},
        {true, "AUTH PLAIN AHVz\r\n|AUTH LOGIN\r\n|334 VXNl|dXNl\r\n",
         "c:\tAUTH PLAIN AHVz|c:\tAUTH LOGIN|mx:\t334 VXNl|c:\tdXNl #AUTH  0"},
        // A message counts once the last line of the reply to its end
        // marker is 250; a refused message and a late 250 count nothing.
        {false,
         "DATA\r\n|354 go|Subject: x\r\n\r\nbody\r\n.\r\n|250-queued|250 as 42|x\r\n.\r\n|552 "
         "no|250 late|y\r\n.\r\n|250-a|550 b",
         "c:\tDATA|mx:\t354 go|c:\tSubject: x||body|.|mx:\t250-queued|mx:\t250 as "
         "42|c:\tx|.|mx:\t552 no|mx:\t250 late|c:\ty|.|mx:\t250-a|mx:\t550 b #MESSAGE  1"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(dialogue(std::get<0>(c), std::get<1>(c)), std::get<2>(c));
    EXPECT_EQ(progress_bar(12, 10, 4), "[####] 10/10");
}

TEST(CliReport, PlainWordsExitCodesSummaryAndVisibleText) {
    Options o;
    o.server = "::1", o.port = 2525, o.timeout = 7, o.user = "tim", o.count = 2;
    using T = TransferException;
    const struct {
        Exception e;
        Transcript::Step step;
        AuthMode auth;
        const char* want;
    } cases[] = {
        {T("Socket timeout.", "Socket::readSocket()", 2), Transcript::GREETING, AuthMode::NONE,
         "69 no answer from [::1]:2525 within 7 seconds (Socket timeout.)"},
        {T("535 5.7.8 no", "SMTP::evalResponse()", 2), Transcript::AUTH, AuthMode::OAUTHBEARER,
         "77 the server refused the access token (535 5.7.8 no)"},
        {T("550 unknown", "SMTP::evalResponse()", 2), Transcript::RCPT, AuthMode::NONE,
         "69 the server refused the recipient b@x (550 unknown)"},
        {DecodeException("x", "Algorithm::decode()", 1), Transcript::AUTH, AuthMode::CRAM_MD5,
         "65 the server's authentication challenge is not base64"},
    };
    for (const auto& c : cases) {
        o.auth = c.auth;
        const Report r = describe(c.e, Context{&o, c.step, "b@x"});
        EXPECT_EQ(std::to_string(r.code) + " " + r.text, c.want);
    }
    o.tls = TlsMode::STARTTLS, o.auth = AuthMode::PLAIN;
    EXPECT_EQ(summary(o, {"a", "b", "c", "d", "e"}),
              "sent 2 messages to a, b, c and 2 more through [::1]:2525 with STARTTLS as tim");
    EXPECT_EQ(visible("a\r\n\x1b[31m\x7f\xC2\x9B\t\xC3\xBC"),
              "a\\r\\n\\x1b[31m\\x7f\\u009b\t\xC3\xBC");
}
