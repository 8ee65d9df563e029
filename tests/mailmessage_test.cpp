// MailMessage: the exact text of simple messages, quoted-printable bodies, a
// full multipart message read back by Python's email package, and refusals.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "exception.h"
#include "mailmessage.h"
#include "smtpd.h"  // slurp, TempDir, thrown

namespace {

const std::string HEAD =
    "Date: Thu, 01 Jan 1970 00:00:00 +0000\r\nMessage-ID: <id@example.org>\r\n";
const std::string TEXT7 =
    "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=utf-8\r\n"
    "Content-Transfer-Encoding: 7bit\r\n";

MailMessage simple() {
    MailMessage m;
    m.setFrom("a@example.org");
    m.setDate(0, true);
    m.setMessageId("<id@example.org>");
    return m;
}

TEST(MailMessageText, ExactBytes) {
    MailMessage m = simple();
    EXPECT_EQ(m.text(), "From: a@example.org\r\n" + HEAD + TEXT7);  // no Subject, no body
    m.setFrom("jo@example.org", "Jo Q. Public");
    m.setReplyTo("r@example.org");
    m.addTo("b@example.net", "Bee");
    m.addTo("c@example.net");
    m.addCc("b@example.net");
    m.addBcc("hidden@example.com");
    m.setSubject("Hello there");
    m.addHeader("X-Mailer", "travine");
    const std::string blanks(200, ' ');  // no line may hold only blanks
    m.addHeader("X-Blanks", "a" + blanks + "b" + blanks);
    m.setBody(".dot\nbare LF\rlone CR\r\n..two\n\nend\n");
    EXPECT_EQ(m.text(),
              "From: \"Jo Q. Public\" <jo@example.org>\r\nReply-To: r@example.org\r\n"
              "To: Bee <b@example.net>, c@example.net\r\nCc: b@example.net\r\n"
              "Subject: Hello there\r\n" +
                  HEAD + "X-Mailer: travine\r\nX-Blanks: a\r\n" + blanks + "b" + blanks + "\r\n" +
                  TEXT7 + "\r\n..dot\r\nbare LF\r\nlone CR\r\n...two\r\n\r\nend");
    EXPECT_EQ(m.recipients(),
              (std::vector<std::string>{"b@example.net", "c@example.net", "hidden@example.com"}));
}

TEST(MailMessageText, QuotedPrintableBody) {
    const std::string x(75, 'x');
    MailMessage m = simple();
    m.setBody("caf\xc3\xa9 = ok \nx\t\n\n\xc3\xa9" + x + "\n" + x.substr(2) + "\xc3\xa9\n" + x +
              "x");
    const std::string text = m.text();
    // A soft break keeps "=XX" whole; a line's last character may be its 76th.
    EXPECT_EQ(text.substr(text.find("Content-Transfer-Encoding")),
              "Content-Transfer-Encoding: quoted-printable\r\n\r\ncaf=C3=A9 =3D ok=20\r\nx=09\r\n"
              "\r\n=C3=A9" +
                  x.substr(6) + "=\r\nxxxxxx\r\n" + x.substr(2) + "=\r\n=C3=A9\r\n" + x + "x");
}

// Python's email package is an independent reader: the decoded Subject,
// display names, body and attachment come back as given, without defects or
// long lines or 8-bit bytes, and the Bcc field is gone.
TEST(MailMessageText, ReadBackByPythonEmail) {
    std::string bytes = "%PDF\r\n.\r\n", file = "r\u00e9sum\u00e9 \"2024\".pdf";
    for (int i = 0; i < 600; ++i)
        bytes += static_cast<char>(i * 7);
    const std::string subject = "Gr\u00fc\u00dfe aus K\u00f6ln, \u65e5\u672c\u8a9e " +
                                std::string(56, 'z') + " \U0001F4E7";  // split by a word's end
    const std::string body = ".dot\n" + std::string(90, '=') + "\n" + std::string(999, 'a') + "\n";
    MailMessage m = simple();
    m.setFrom("a@example.org", "Zo\u00eb \u00c5ngstr\u00f6m");
    m.addTo("b@example.net", "Say \"hi\", \\ Bee");
    m.addBcc("secret@example.com");
    m.setSubject(subject);
    m.addHeader("X-Note", "=?utf-8?Q?hi?= is text");
    m.setBody(body);
    m.addAttachment(file, bytes, "application/pdf");
    TempDir dir;
    std::ofstream(dir.file("mail.eml"), std::ios::binary) << m.text() << "\r\n";
    std::ofstream(dir.file("read.py"))
        << "import base64, email, email.policy, re, sys\n"
           "d = open(sys.argv[1], 'rb').read().replace(b'\\r\\n..', b'\\r\\n.')\n"
           "m = email.message_from_bytes(d, policy=email.policy.default)\n"
           "for w in re.findall(rb'=[?]utf-8[?]B[?]([^?]*)[?]=', d):\n"
           "    assert len(w) <= 63 and base64.b64decode(w).decode()  # whole characters\n"
           "a = next(m.iter_attachments())\n"
           "out = [m['subject'], m['x-note'], m['from'].addresses[0].display_name, m['bcc'],\n"
           "       m['to'].addresses[0].display_name, sum(len(p.defects) for p in m.walk()),\n"
           "       max(map(len, d.split(b'\\r\\n'))) <= 78 and d.isascii(),\n"
           "       m.get_body().get_content(), a.get_filename()]\n"
           "out = [str(x).replace('\\r\\n', '\\n').encode() for x in out]\n"
           "sys.stdout.buffer.write(b'|'.join(out + [a.get_payload(decode=True)]))\n";
    const std::string cmd = "/usr/bin/python3 " + dir.file("read.py") + " " + dir.file("mail.eml");
    ASSERT_EQ(std::system((cmd + " > " + dir.file("out")).c_str()), 0);
    EXPECT_EQ(
        slurp(dir.file("out")),
        subject +
            "|=?utf-8?Q?hi?= is text|Zo\u00eb \u00c5ngstr\u00f6m|None|Say \"hi\", \\ Bee|0|True|" +
            body + "|" + file + "|" + bytes);
}

TEST(MailMessageFields, Generated) {
    MailMessage a;
    a.setFrom("x@mail.example.org");
    EXPECT_NE(a.messageId(), MailMessage().messageId());
    EXPECT_EQ(a.messageId().substr(33), "@mail.example.org>");  // after 32 hex digits
    const std::string boundary = "=_travine_" + a.messageId().substr(1, 32);
    a.setBody("--" + boundary + "\n");  // taken by the body: the boundary moves on
    a.addAttachment("f", "x");
    EXPECT_NE(a.text().find("\r\n--" + boundary + "_1\r\n"), std::string::npos);
    ::setenv("TZ", "XYZ+3:30", 1);  // only this test reads local time
    ::tzset();
    a.setDate(86399, false);
    EXPECT_NE(a.text().find("\r\nDate: Thu, 01 Jan 1970 20:29:59 -0330\r\n"), std::string::npos);
}

TEST(MailMessageFields, RefusedInputLeavesTheMessageAlone) {
    using M = MailMessage&;
    const std::vector<std::pair<std::function<void(M)>, std::string>> cases = {
        {[](M m) { m.addHeader("X-A", "v\r\nBcc: x@y"); },
         "addHeader() 3 Header value holds CR, LF or NUL."},
        {[](M m) { m.addHeader("X A", "v"); }, "addHeader() 1 Invalid header field name: X A"},
        {[](M m) { m.addHeader("content-TYPE", "t/h"); },
         "addHeader() 2 Header field content-TYPE is set by its own method."},
        {[](M m) { m.setSubject(std::string("a\0b", 3)); },
         "setSubject() 1 Header value holds CR, LF or NUL."},
        {[](M m) { m.addTo("a b@x"); }, "addTo() 1 Invalid address: a b@x"},
        {[](M m) { m.addBcc("y@z\r\nRSET"); }, "addBcc() 1 Invalid address: y@z\r\nRSET"},
        {[](M m) { m.setFrom("f@x", "N\nBcc: y@z"); }, "setFrom() 2 Invalid display name."},
        {[](M m) { m.setMessageId("<a b@x>"); }, "setMessageId() 1 Invalid Message-ID: <a b@x>"},
        {[](M m) { m.addAttachment("a\r\n", ""); }, "addAttachment() 1 Invalid file name."},
        {[](M m) { m.addAttachment("a", "", "text"); },
         "addAttachment() 2 Invalid media type: text"},
        {[](M m) { m.addAttachment("a", "", "a/b; c\nX: y"); },
         "addAttachment() 2 Invalid media type: a/b; c\nX: y"},
        {[](M) { MailMessage().text(); }, "text() 1 No From address."},
    };
    MailMessage m = simple();
    for (const auto& c : cases) {
        DecodeException e = thrown<DecodeException>([&] { c.first(m); });
        EXPECT_EQ("MailMessage::" + c.second,
                  e.method + " " + std::to_string(e.index) + " " + e.msg);
    }
    IOException e = thrown<IOException>([&] { m.attachFile("/nonexistent/x.bin"); });
    EXPECT_EQ(
        e.method + " " + std::to_string(e.index) + " " + e.msg,
        "MailMessage::attachFile() 3 Cannot read /nonexistent/x.bin: No such file or directory");
    EXPECT_EQ(m.text(), simple().text());
}

}  // namespace
