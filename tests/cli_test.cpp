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

// Generated Date and Message-ID values as NOW and <ID@domain> (<N.ID@...>
// for copy N).
std::string generic(std::string text) {
    for (size_t at = text.find("Date: "); at != std::string::npos;
         at = text.find("Date: ", at + 1)) {
        if (text.size() >= at + 37 && text[at + 9] == ',')
            text.replace(at + 6, 31, "NOW");
    }
    const auto id = [&text](size_t p) {
        return text.size() > p + 32 && text[p + 32] == '@' &&
               text.find_first_not_of("0123456789abcdef", p) == p + 32;
    };
    for (size_t at = text.find('<'); at != std::string::npos; at = text.find('<', at + 1)) {
        const size_t dot = text.find_first_not_of("0123456789", at + 1);
        const size_t p = dot < text.size() && text[dot] == '.' ? dot + 1 : at + 1;
        if (id(p))
            text.replace(p, 32, "ID");
    }
    return text;
}

// Runs a command line of blank-separated words after the program name:
// "..." stands for a complete one, $D for the directory dir, a word
// "TRAVINE_PASSWORD=..." sets the environment, "AS_SENDMAIL" the name. The
// outcome is the refusal's code and text, or the server, the port, the
// mechanism and what differs from the defaults.
std::string outcome(const std::string& line, const std::string& dir) {
    Strings args;
    Environment env;
    env.config_files = {dir + "/config", dir + "/system"};
    std::string password;
    for (std::string word : split(replaced(line, "$D", dir), ' ')) {
        word = replaced(word, "~", " ");
        if (word == "...") {
            args.insert(args.end(), {"--server", "mx", "--from", "a@x", "--to", "b@x"});
        } else if (word.compare(0, 17, "TRAVINE_PASSWORD=") == 0) {
            password = word.substr(17);
            env.password = password.c_str();
        } else {
            env.as_sendmail = env.as_sendmail || word == "AS_SENDMAIL";
            word == "AS_SENDMAIL" ? void() : args.push_back(word);
        }
    }
    try {
        Options o = parse_args(args, env);
        std::istringstream in("stdin");
        load_inputs(o, in);
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
    } catch (const CliError& e) {
        return std::to_string(e.code) + " " + replaced(e.text, dir, "$D");
    }
}

}  // namespace

TEST(CliCommandLine, OutcomeOfEachLineFromOptionsAccountsAndFiles) {
    TempDir d;
    std::ofstream(d.file("pw")) << "hunter2\r\nsecond line\n";
    std::ofstream(d.file("empty")) << "";
    std::ofstream(d.file("config")) << "default = main\n\n# comment\n[main]\n server = mx.test \n"
                                       "port=2525\nfrom = Me <me@x>\nuser = me\npassword = pw1\n"
                                       "[oauth]\nserver = [::1]\nauth = xoauth2\nuser = me\n"
                                       "password-command = printf 'tok\\nx'\n[bad]\ncolour = blue\n"
                                       "[badtls]\ntls = ssl\n";
    std::ofstream(d.file("open")) << "[a]\npassword = x\n";
    std::ofstream(d.file("junk")) << "[a]\nserver\n";
    ::chmod(d.file("config").c_str(), 0600);
    ::chmod(d.file("open").c_str(), 0644);
    const std::pair<std::string, std::string> cases[] = {
        {"TRAVINE_PASSWORD=e ... --to=c@x", "mx 25 none"},
        {"... --tls starttls --insecure -v -q", "mx 587 none v1 [WARNING: --insecure:]"},
        {"... --tls=smtps --cafile $D/pw -vv --body-file - --timeout 5", "mx 465 none v2 t5"},
        {"... --tls starttls", "mx 587 none"},  // the system's trust store
        {"... --port=1 -v --verbose -v --count 3 --body=B", "mx 1 none v2 x3"},
        {"--server [::1] --from Jo~<a@x> --to b@x", "::1 25 none"},
        {"TRAVINE_PASSWORD=s ... --user u --tls starttls", "mx 587 auto pw=s"},
        {"TRAVINE_PASSWORD=e ... --auth cram-md5 --user u --password p",
         "mx 25 cram-md5 pw=p [warning: --password]"},
        {"... --auth oauthbearer --user u --password-command echo~t --tls smtps",
         "mx 465 oauthbearer pw=t"},
        {"... --user u --password-file $D/pw --tls smtps", "mx 465 auto pw=hunter2"},
        {"--server mx -t -i", "mx 25 none sendmail -i"},
        {"AS_SENDMAIL --server mx -oem -oi -- -x@y b@x", "mx 25 none sendmail -i [-x@y b@x]"},
        {"--server mx b@x -f a@x", "mx 25 none sendmail [b@x]"},
        {"--config $D/config --to b@x", "mx.test 2525 auto pw=pw1 account=main [warning: without]"},
        {"--to b@x --port 26 --password p2",
         "mx.test 26 auto pw=p2 account=main [warning: --password]..."},
        {"TRAVINE_PASSWORD=e --to b@x -q",
         "mx.test 2525 auto pw=e account=main [warning: without]"},
        {"--account oauth --from a@x --to b@x --tls starttls",
         "::1 587 xoauth2 pw=tok account=oauth"},
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
        {"... --tls ssl", "64 --tls: unknown mode 'ssl' (none, starttls or smtps)"},
        {"... --auth md5", "64 --auth: unknown mechanism 'md5' (none, auto, plain, login,..."},
        {"... --subject S b@x",
         "64 --subject composes a message, but with -t, -i or recipients..."},
        {"--server mx -t --attach f", "64 --attach composes a message, but with -t, -i or..."},
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
    // An expected outcome that ends in "..." is the start of the outcome.
    for (const auto& c : cases) {
        const bool dots =
            c.second.size() > 3 && c.second.compare(c.second.size() - 3, 3, "...") == 0;
        const std::string want = dots ? c.second.substr(0, c.second.size() - 3) : c.second;
        const std::string got = outcome(c.first, d.path());
        EXPECT_EQ(dots ? got.substr(0, want.size()) : got, want) << c.first;
    }
    EXPECT_TRUE(parse_args({"--help", "--bogus"}, Environment()).help);
    const std::string u = usage_text();
    for (const char* part : {"\n  -f, --from ADDRESS    sender", "\n  --password-command CMD  ",
                             "\n  auth, user, password-file,", "\n 130  interrupted"})
        EXPECT_NE(u.find(part), std::string::npos) << part;
}

namespace {

// The message and envelope that sendmail mode makes of input for a command
// line after "--server mx": "sender|recipients|text", or the refusal.
std::string sendmail(const std::string& line, const std::string& input) {
    try {
        Options o = parse_args(split("--server mx " + line, ' '), Environment());
        std::istringstream in(input);
        load_inputs(o, in);
        const Outgoing out = sendmail_message(o.body, o);
        return out.sender + "|" + join(out.rcpts, ",") + "|" + generic(join(out.texts));
    } catch (const CliError& e) {
        return std::to_string(e.code) + " " + e.text;
    }
}

}  // namespace

TEST(CliSendmail, TextAndEnvelopeOfACompleteMessage) {
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
    };
    for (const auto& c : cases) {
        const std::string& want = std::get<2>(c);
        const bool dots = want.compare(want.size() - 3, 3, "...") == 0;
        const std::string got = sendmail(std::get<0>(c), std::get<1>(c));
        EXPECT_EQ(dots ? got.substr(0, want.size() - 3) : got,
                  dots ? want.substr(0, want.size() - 3) : want)
            << std::get<0>(c);
    }
}

TEST(CliMessage, ComposedFromTheOptionsThroughMailMessage) {
    TempDir d;
    std::ofstream(d.file("\xC3\xA4.txt")) << "data";
    const auto composed = [&](const std::string& line) {
        Strings args = split(replaced(line, "$D", d.path()), ' ');
        for (std::string& a : args)
            a = replaced(a, "~", " ");
        Options o = parse_args(args, Environment());
        std::istringstream in("");
        load_inputs(o, in);
        return compose(o);
    };
    const Outgoing out = composed(
        "--server mx --from Jo~<jo@x> --to b@x --cc c@x --bcc d@x --reply-to r@x "
        "--header X-A:~1 --body B --count 2 --attach $D/\xC3\xA4.txt");
    EXPECT_EQ(out.sender + "|" + join(out.rcpts, ","), "jo@x|b@x,c@x,d@x");
    ASSERT_EQ(out.texts.size(), 2u);
    const std::string text = generic(out.texts[0]);
    EXPECT_EQ(text.substr(0, text.find("Content-Type")),
              "From: Jo <jo@x>\r\nReply-To: r@x\r\nTo: b@x\r\nCc: c@x\r\nDate: NOW\r\n"
              "Message-ID: <1.ID@x>\r\nX-A: 1\r\nMIME-Version: 1.0\r\n");
    EXPECT_NE(text.find("\r\nContent-Type: text/plain\r\nContent-Transfer-Encoding: base64\r\n"
                        "Content-Disposition: attachment; filename*=utf-8''%C3%A4.txt\r\n\r\n"
                        "ZGF0YQ==\r\n"),
              std::string::npos);
    EXPECT_NE(generic(out.texts[1]).find("Message-ID: <2.ID@x>"), std::string::npos);
    const std::pair<std::string, std::string> refusals[] = {
        {"--header X", "64 --header: 'X' is not 'Name: value'"},
        {"--header From:~x", "64 --header 'From: x': Header field From is set by its own method."},
        {"--attach $D/no", "66 cannot read attachment '$D/no': No such file or directory"}};
    for (const auto& r : refusals) {
        try {
            composed("--server mx --from a@x --to b@x " + r.first);
            ADD_FAILURE() << r.first;
        } catch (const CliError& e) {
            EXPECT_EQ(std::to_string(e.code) + " " + replaced(e.text, d.path(), "$D"), r.second);
        }
    }
}

TEST(CliTranscript, MasksCredentialsFollowsTheStepsAndCountsAcceptedMessages) {
    // Fragments as the library logs them: a buffer the client wrote (ending
    // in CR LF) or a line read; shown lines joined by '|'.
    const auto dialogue = [](Transcript& t, const std::string& steps) {
        Strings shown;
        for (const std::string& s : split(steps, '|')) {
            const bool wrote = s.size() >= 2 && s.compare(s.size() - 2, 2, "\r\n") == 0;
            for (const std::string& f :
                 wrote ? Strings{"c", ":\t", s} : Strings{"mx", ":\t", s, "\n"})
                for (const std::string& line : t.add(f))
                    shown.push_back(line);
        }
        return join(shown);
    };
    const std::tuple<bool, const char*, const char*> cases[] = {
        {false, "AUTH PLAIN AHVz\r\n|235 ok|MAIL FROM: <a@x>\r\n",
         "c:\tAUTH PLAIN ********|mx:\t235 ok|c:\tMAIL FROM: <a@x>"},
        {false, "AUTH PLAIN\r\n|334 |AHVz\r\n|235 ok|QUIT\r\n",
         "c:\tAUTH PLAIN|mx:\t334 |c:\t********|mx:\t235 ok|c:\tQUIT"},
        {false, "AUTH LOGIN\r\n|334 VXNl|dXNl\r\n|334 UGFz|cGFz\r\n|235 ok|RSET\r\n",
         "c:\tAUTH LOGIN|mx:\t334 VXNl|c:\t********|mx:\t334 UGFz|c:\t********|mx:\t235 "
         "ok|c:\tRSET"},
        {false, "AUTH CRAM-MD5\r\n|334 PDEy|dXNl\r\n|QUIT\r\n",
         "c:\tAUTH CRAM-MD5|mx:\t334 PDEy|c:\t********|c:\tQUIT"},
        // The token goes in the first line; the closing response is no secret.
        {false, "AUTH XOAUTH2 dXNl\r\n|334 eyJ9|\r\n|535 no|QUIT\r\n",
         "c:\tAUTH XOAUTH2 ********|mx:\t334 eyJ9|c:\t|mx:\t535 no|c:\tQUIT"},
        // A refusal ends the masking: the next command is shown.
        {false, "AUTH LOGIN\r\n|535 no|QUIT\r\n", "c:\tAUTH LOGIN|mx:\t535 no|c:\tQUIT"},
        {true, "AUTH PLAIN AHVz\r\n|AUTH LOGIN\r\n|334 VXNl|dXNl\r\n",
         "c:\tAUTH PLAIN AHVz|c:\tAUTH LOGIN|mx:\t334 VXNl|c:\tdXNl"},
    };
    for (const auto& c : cases) {
        Transcript fresh(std::get<0>(c));
        EXPECT_EQ(dialogue(fresh, std::get<1>(c)), std::get<2>(c));
    }

    Transcript t(false);
    EXPECT_TRUE(t.add("mx").empty());
    EXPECT_TRUE(t.add(":\t220 ready\r").empty());
    EXPECT_EQ(t.add("\n"), Strings{"mx:\t220 ready"});
    EXPECT_EQ(t.add("SSLInfo:\tusing X \n"), Strings{"SSLInfo:\tusing X "});
    EXPECT_EQ(t.step(), Transcript::GREETING);
    dialogue(t, "EHLO c\r\n|250 ok|MAIL FROM: <a@x>\r\n|250 ok|RCPT TO: <b@x>\r\n");
    EXPECT_EQ(std::to_string(t.step()) + t.address(), std::to_string(Transcript::RCPT) + "b@x");
    // A message counts once the last line of the reply to its end marker is 250.
    EXPECT_EQ(dialogue(t, "250 ok|DATA\r\n|354 go|Subject: x\r\n\r\nbody\r\n.\r\n|250-queued"),
              "mx:\t250 ok|c:\tDATA|mx:\t354 go|c:\tSubject: x||body|.|mx:\t250-queued");
    EXPECT_EQ(t.step(), Transcript::MESSAGE);
    EXPECT_EQ(t.accepted(), 0u);
    dialogue(t, "250 as 42");
    EXPECT_EQ(t.accepted(), 1u);
    // A 250 to MAIL FROM, a refused message and a late 250 count nothing.
    dialogue(t, "250 ok|x\r\n.\r\n|552 too big|250 late");
    EXPECT_EQ(t.accepted(), 1u);
    EXPECT_EQ(progress_bar(12, 10, 4), "[####] 10/10");
}

TEST(CliReport, PlainWordsExitCodesSummaryAndVisibleText) {
    Options o;
    o.server = "::1", o.port = 2525, o.timeout = 7, o.user = "tim", o.count = 2;
    const Transcript::Step G = Transcript::GREETING, A = Transcript::AUTH;
    const std::tuple<const char*, const char*, unsigned, const char*, Transcript::Step, AuthMode,
                     const char*>
        cases[] = {
            {"TransferException", "InetSocket::connect()", 3, "Connection refused", G,
             AuthMode::NONE, "69 connection refused by [::1]:2525"},
            {"TransferException", "Socket::readSocket()", 2, "Socket timeout.", G, AuthMode::NONE,
             "69 no answer from [::1]:2525 within 7 seconds (Socket timeout.)"},
            {"TransferException", "Socket::readSocket()", 4, "Socket was closed.", G,
             AuthMode::NONE, "69 [::1]:2525 closed the connection"},
            {"TransferException", "SMTP::evalResponse()", 2, "535 5.7.8 no", A, AuthMode::AUTO,
             "77 the server refused the password (535 5.7.8 no)"},
            {"TransferException", "SMTP::evalResponse()", 2, "535 5.7.8 no", A, AuthMode::XOAUTH2,
             "77 the server refused the access token (535 5.7.8 no)"},
            {"TransferException", "SMTP::evalResponse()", 2, "454 4.7.0 later", A, AuthMode::PLAIN,
             "77 the server refused the authentication (454 4.7.0 later)"},
            {"TransferException", "SMTP::evalResponse()", 2, "550 unknown", Transcript::RCPT,
             AuthMode::NONE, "69 the server refused the recipient b@x (550 unknown)"},
            {"TransferException", "SMTP::evalResponse()", 3, "Unknown message - 299 hm",
             Transcript::DATA, AuthMode::NONE,
             "69 the server sent a reply that does not fit (299 hm)"},
            {"SSLException", "SSLSocket::negotiate()", 4, "certificate verify failed", G,
             AuthMode::NONE,
             "76 the certificate of [::1]:2525 could not be verified: certificate "
             "verify failed"},
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
