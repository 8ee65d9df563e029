// travine-send's library without a network: the command line, the accounts
// of a config file and their refusals, the message of sendmail mode byte by
// byte, the composed message, the transcript filter and the plain-word
// failures.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
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

// Generated Date and Message-ID values as NOW and <ID@...> (<N.ID@...> for
// copy N).
std::string generic(std::string text) {
    for (size_t at = text.find("Date: "); at != std::string::npos;
         at = text.find("Date: ", at + 1)) {
        if (text.size() >= at + 37 && text[at + 9] == ',')
            text.replace(at + 6, 31, "NOW");
    }
    for (size_t at = text.find('<'); at != std::string::npos; at = text.find('<', at + 1)) {
        const size_t dot = text.find_first_not_of("0123456789", at + 1);
        const size_t p = dot < text.size() && text[dot] == '.' ? dot + 1 : at + 1;
        if (text.find_first_not_of("0123456789abcdef", p) == p + 32 && text[p + 32] == '@')
            text.replace(p, 32, "ID");
    }
    return text;
}

// The options of a command line of blank-separated words after the program
// name, its inputs read from input: "..." stands for a complete one, $D for
// the directory dir, '~' for a blank; a word "TRAVINE_PASSWORD=..." sets the
// environment, "AS_SENDMAIL" the program's name.
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
        else if (word == "AS_SENDMAIL")
            env.as_sendmail = true;
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
    std::ofstream(d.file("empty")) << "";
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
             (o.verbose == 0 ? "" : " v" + std::to_string(o.verbose)) +
             (o.count == 1 ? "" : " x" + std::to_string(o.count)) +
             (o.timeout == 30 ? "" : " t" + std::to_string(o.timeout)) +
             (o.sendmail ? " sendmail" + (o.dot_ends ? "" : std::string(" -i")) : "") +
             (o.operands.empty() ? "" : " [" + join(o.operands, " ") + "]");
        for (const std::string& w : o.warnings)
            s += " [" + w.substr(0, w.find(' ', w.find(' ') + 1)) + "]";
        return s;
    };
    const std::pair<std::string, std::string> cases[] = {
        {"TRAVINE_PASSWORD=e ... --to=c@x", "mx 25 none"},
        {"... --tls starttls --insecure -v -q", "mx 587 none v1 [WARNING: --insecure:]"},
        {"... --tls=smtps --cafile $D/pw -vv --body-file - --timeout 5", "mx 465 none v2 t5"},
        {"... --port=1 -v --verbose -v --count 3 --body=B", "mx 1 none v2 x3"},
        {"TRAVINE_PASSWORD=s ... --user u --tls starttls", "mx 587 auto pw=s"},
        {"TRAVINE_PASSWORD=e ... --auth cram-md5 --user u --password p",
         "mx 25 cram-md5 pw=p [warning: --password]"},
        {"... --user u --password-file $D/pw --tls smtps", "mx 465 auto pw=hunter2"},
        {"AS_SENDMAIL --server mx -oem -oi -- -x@y b@x", "mx 25 none sendmail -i [-x@y b@x]"},
        {"--config $D/config --to b@x", "mx.test 2525 auto pw=pw1 account=main [warning: without]"},
        {"--to b@x --port 26 --password p2",
         "mx.test 26 auto pw=p2 account=main [warning: --password]..."},
        {"TRAVINE_PASSWORD=e --to b@x -q",
         "mx.test 2525 auto pw=e account=main [warning: without]"},
        {"--account oauth --from a@x --to b@x --tls starttls",
         "::1 587 oauthbearer pw=tok account=oauth"},
        {"--server other --from a@x --to b@x", "other 25 none"},
        {"--account nope", "78 no account 'nope' in '$D/config'"},
        {"--account bad", "78 $D/config:16: unknown key 'colour'"},
        {"--account badtls",
         "78 $D/config:18: --tls: unknown mode 'ssl' (none, starttls or smtps)"},
        {"--config $D/junk --account a", "78 $D/junk:2: expected 'key = value' or '[NAME]'"},
        {"--config $D/open --account a",
         "78 config file '$D/open' holds a password, and other users can read it (mode 0644); "
         "refused. Make it private: chmod 600 '$D/open'"},
        {"--config $D/none --from a@x --to b@x", "64 --server HOST is required (or --account..."},
        {"--server mx --from a@x", "64 at least one --to, --cc or --bcc ADDRESS is required"},
        {"--bogus --help", "64 unknown option '--bogus'"},
        {"... --port 65536", "64 --port: '65536' is not a number from 1 to 65535"},
        {"... --auth md5", "64 --auth: unknown mechanism 'md5' (none, auto, plain, login,..."},
        {"... --subject S b@x",
         "64 --subject composes a message, but with -t, -i or recipients..."},
        {"... --insecure", "64 --insecure needs --tls starttls or --tls smtps"},
        {"... --body x --body-file f", "64 --body and --body-file exclude each other"},
        {"... --auth plain --password p", "64 --auth needs --user NAME"},
        {"... --auth plain --user u", "64 --auth needs a password: --password-file FILE, --pas..."},
        {"... --user u --password p --password-command c", "64 --password, --password-file and..."},
        {"... --password p", "64 a password needs --user (and optionally --auth)"},
        {"... --to c@x>\r\nRCPT",
         "64 --to: 'c@x>\r\nRCPT' is not an address (jo@example.org or..."},
        {"--server mx\r\nQUIT --from a@x --to b@x", "64 --server: 'mx\r\nQUIT' is not a host..."},
        {"... --body-file $D/no", "66 cannot read body file '$D/no': No such file or directory"},
        {"... --user u --password-file $D/empty", "66 password file '$D/empty' holds no password"},
        {"... --user u --password-command false", "66 --password-command 'false' failed (exit..."},
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
// message or as the options compose one; or the refusal.
TEST(CliMessage, EnvelopeAndTextOfSendmailModeAndOfTheComposedMessage) {
    TempDir d;
    std::ofstream(d.file("\xC3\xA4.txt")) << "data";
    const auto made = [&](const std::string& line, const std::string& input) {
        const Options o = parsed("--server mx " + line, d.path(), input);
        const Outgoing out = o.sendmail ? sendmail_message(o.body, o) : compose(o);
        return out.sender + "|" + join(out.rcpts, ",") + "|" + generic(join(out.texts));
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
        {"-t -f s@x", "Subject: x\n\n",
         "64 no recipients: name them as arguments, or take them from..."},
        {"r@x", "Subject: x\n",
         "64 no sender: give -f ADDRESS, put 'from' in the account, or a..."},
        {"-t", "From: a@x\nTo: a b@x\n", "64 recipient: 'a b@x' is not an address (jo@examp..."},
        // Composed: the envelope names every recipient, each copy its own
        // Message-ID.
        {"--from Jo~<jo@x> --to b@x --cc c@x --bcc d@x --reply-to r@x --header X-A:~1 --body B "
         "--count 2 --attach $D/\xC3\xA4.txt",
         "",
         "jo@x|b@x,c@x,d@x|From: Jo <jo@x>\r\nReply-To: r@x\r\nTo: b@x\r\nCc: c@x\r\nDate: "
         "NOW\r\nMessage-ID: <1.ID@x>\r\nX-A: 1\r\nMIME-Version: 1.0\r\n..."},
        {"... --header X", "", "64 --header: 'X' is not 'Name: value'"},
        {"... --header From:~x", "",
         "64 --header 'From: x': Header field From is set by its own method."},
        {"... --attach $D/no", "", "66 cannot read attachment '$D/no': No such file or directory"},
    };
    for (const auto& c : cases) {
        expect_outcome([&] { return made(std::get<0>(c), std::get<1>(c)); }, std::get<2>(c),
                       d.path(), std::get<0>(c));
    }
    const std::string copies = made(std::get<0>(cases[6]), "");
    EXPECT_NE(copies.find("\r\nContent-Type: text/plain\r\nContent-Transfer-Encoding: base64\r\n"
                          "Content-Disposition: attachment; filename*=utf-8''%C3%A4.txt\r\n\r\n"
                          "ZGF0YQ==\r\n"),
              std::string::npos);
    EXPECT_NE(copies.find("Message-ID: <2.ID@x>"), std::string::npos);
}

TEST(CliTranscript, MasksCredentialsFollowsTheStepsAndCountsAcceptedMessages) {
    // Fragments as the library logs them: a buffer the client wrote (ending
    // in CR LF) or a line read in pieces; shown lines joined by '|', then
    // the step reached, its address and the messages accepted.
    const char* const steps[] = {"GREETING", "HELLO", "STARTTLS", "AUTH", "MAIL",
                                 "RCPT",     "DATA",  "MESSAGE",  "QUIT"};
    const auto dialogue = [&](bool show_secrets, const std::string& lines) {
        Transcript t(show_secrets);
        Strings shown;
        for (const std::string& s : split(lines, '|')) {
            const bool wrote = s.size() >= 2 && s.compare(s.size() - 2, 2, "\r\n") == 0;
            for (const std::string& f :
                 wrote ? Strings{"c", ":\t", s} : Strings{"mx", ":\t", s, "\n"})
                for (const std::string& line : t.add(f))
                    shown.push_back(line);
        }
        return join(shown) + " #" + steps[t.step()] + " " + t.address() + " " +
               std::to_string(t.accepted());
    };
    const std::tuple<bool, const char*, const char*> cases[] = {
        {false, "AUTH PLAIN AHVz\r\n|235 ok|MAIL FROM: <a@x>\r\n",
         "c:\tAUTH PLAIN ********|mx:\t235 ok|c:\tMAIL FROM: <a@x> #MAIL a@x 0"},
        {false, "AUTH LOGIN\r\n|334 VXNl|dXNl\r\n|334 UGFz|cGFz\r\n|235 ok|RSET\r\n",
         "c:\tAUTH LOGIN|mx:\t334 VXNl|c:\t********|mx:\t334 UGFz|c:\t********|mx:\t235 "
         "ok|c:\tRSET #AUTH  0"},
        {false, "AUTH CRAM-MD5\r\n|334 PDEy|dXNl\r\n|QUIT\r\n",
         "c:\tAUTH CRAM-MD5|mx:\t334 PDEy|c:\t********|c:\tQUIT #QUIT  0"},
        // The token goes in the first line; the closing response is no secret.
        {false, "AUTH XOAUTH2 dXNl\r\n|334 eyJ9|\r\n|535 no|QUIT\r\n",
         "c:\tAUTH XOAUTH2 ********|mx:\t334 eyJ9|c:\t|mx:\t535 no|c:\tQUIT #QUIT  0"},
        // A refusal ends the masking: the next command is shown.
        {false, "AUTH LOGIN\r\n|535 no|QUIT\r\n", "c:\tAUTH LOGIN|mx:\t535 no|c:\tQUIT #QUIT  0"},
        {true, "AUTH PLAIN AHVz\r\n|AUTH LOGIN\r\n|334 VXNl|dXNl\r\n",
         "c:\tAUTH PLAIN AHVz|c:\tAUTH LOGIN|mx:\t334 VXNl|c:\tdXNl #AUTH  0"},
        {false, "220 ready\r|EHLO c\r\n|250 ok|MAIL FROM: <a@x>\r\n|250 ok|RCPT TO: <b@x>\r\n",
         "mx:\t220 ready|c:\tEHLO c|mx:\t250 ok|c:\tMAIL FROM: <a@x>|mx:\t250 ok|c:\tRCPT TO: "
         "<b@x> #RCPT b@x 0"},
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
    const Transcript::Step G = Transcript::GREETING, A = Transcript::AUTH;
    const std::tuple<const char*, const char*, unsigned, const char*, Transcript::Step, AuthMode,
                     const char*>
        cases[] = {
            {"TransferException", "Socket::readSocket()", 2, "Socket timeout.", G, AuthMode::NONE,
             "69 no answer from [::1]:2525 within 7 seconds (Socket timeout.)"},
            {"TransferException", "Socket::readSocket()", 4, "Socket was closed.", G,
             AuthMode::NONE, "69 [::1]:2525 closed the connection"},
            {"TransferException", "SMTP::evalResponse()", 2, "535 5.7.8 no", A, AuthMode::XOAUTH2,
             "77 the server refused the access token (535 5.7.8 no)"},
            {"TransferException", "SMTP::evalResponse()", 2, "535 5.7.8 no", A,
             AuthMode::OAUTHBEARER, "77 the server refused the access token (535 5.7.8 no)"},
            {"TransferException", "SMTP::evalResponse()", 2, "454 4.7.0 later", A, AuthMode::PLAIN,
             "77 the server refused the authentication (454 4.7.0 later)"},
            {"TransferException", "SMTP::evalResponse()", 2, "550 unknown", Transcript::RCPT,
             AuthMode::NONE, "69 the server refused the recipient b@x (550 unknown)"},
            {"TransferException", "SMTP::evalResponse()", 3, "Unknown message - 299 hm",
             Transcript::DATA, AuthMode::NONE,
             "69 the server sent a reply that does not fit (299 hm)"},
            {"DecodeException", "Algorithm::decode()", 1, "x", A, AuthMode::CRAM_MD5,
             "65 the server's authentication challenge is not base64"},
        };
    for (const auto& c : cases) {
        TransferException e(std::get<3>(c), std::get<1>(c), std::get<2>(c));
        e.name = std::get<0>(c);
        o.auth = std::get<5>(c);
        const Report r = describe(e, Context{&o, std::get<4>(c), "b@x"});
        EXPECT_EQ(std::to_string(r.code) + " " + r.text, std::get<6>(c));
    }
    o.tls = TlsMode::STARTTLS, o.auth = AuthMode::PLAIN;
    EXPECT_EQ(summary(o, {"a", "b", "c", "d", "e"}),
              "sent 2 messages to a, b, c and 2 more through [::1]:2525 with STARTTLS as tim");
    EXPECT_EQ(visible("a\r\n\x1b[31m\x7f\xC2\x9B\t\xC3\xBC"),
              "a\\r\\n\\x1b[31m\\x7f\\u009b\t\xC3\xBC");
}
