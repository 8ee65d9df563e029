// The C entry point, loaded from the shared object as a host loads it, against
// a scripted SMTP peer on 127.0.0.1.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "smtp_peer.h"
#include "tls_peer.h"
#include "types.h"

namespace {

typedef u32 (*EmailFn)(const char*, const char*, const char*, const char*, const char*, u8,
                       const char*, const char*, u32, const char*, const char*, const char*);

// email() from the built library, looked up by its unadorned name.
EmailFn email_fn() {
    static EmailFn fn = [] {
        void* lib = dlopen(TRAVINE_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        if (lib == nullptr) {
            ADD_FAILURE() << "dlopen: " << dlerror();
            return EmailFn(nullptr);
        }
        return reinterpret_cast<EmailFn>(dlsym(lib, "email"));
    }();
    return fn;
}

const std::vector<std::string> ACCEPT = {
    "220 peer.test ESMTP\r\n", "250 hello\r\n", "250 ok\r\n", "250 ok\r\n", "354 go\r\n",
    "250 queued\r\n",          "221 bye\r\n"};

// The dialogue after the greeting, for a server that has already greeted.
std::vector<SmtpPeer::Step> without_greeting(const std::vector<std::string>& replies) {
    std::vector<SmtpPeer::Step> steps = SmtpPeer::dialogue(replies);
    steps.erase(steps.begin());
    return steps;
}

std::vector<SmtpPeer::Step> concat(std::vector<SmtpPeer::Step> a,
                                   const std::vector<SmtpPeer::Step>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct Call {
    std::string from = "a", to = "b", subject = "c", body = "d";
    u8 auth = 0;
    std::string user = "user", password = "secret";
    std::string ssl = "", ssl_type = "", ssl_opts = "";

    u32 run(int port) const {
        EmailFn email = email_fn();
        if (email == nullptr)
            return 1;
        return email(from.c_str(), to.c_str(), subject.c_str(), body.c_str(), "127.0.0.1", auth,
                     user.c_str(), password.c_str(), static_cast<u32>(port), ssl.c_str(),
                     ssl_type.c_str(), ssl_opts.c_str());
    }
};

std::string dialogue(const std::string& greet, const std::string& from, const std::string& to,
                     const std::string& text) {
    return greet + "MAIL FROM: <" + from + ">\r\nRCPT TO: <" + to + ">\r\nDATA\r\n" + text +
           "\r\n.\r\nQUIT\r\n";
}

}  // namespace

TEST(EmailEntry, IsExportedUnderItsPlainName) {
    ASSERT_NE(email_fn(), nullptr);
}

TEST(EmailEntry, SendsTheBuiltTextWithHelo) {
    struct Case {
        std::string body;
        std::string text;
    } cases[] = {
        {"d", "From: a\nTo: b\nSubject: c\nd\n"},
        {"", "From: a\nTo: b\nSubject: c\n\n"},
        {"line 1\r\n.\nline 3", "From: a\nTo: b\nSubject: c\nline 1\r\n.\nline 3\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        SmtpPeer peer(SmtpPeer::dialogue(ACCEPT));
        Call call;
        call.body = c.body;
        EXPECT_EQ(call.run(peer.port()), 0u);
        peer.join();
        EXPECT_EQ(peer.error(), "");
        EXPECT_EQ(peer.received(), dialogue("HELO localhost\r\n", "a", "b", c.text));
    }
}

TEST(EmailEntry, RecipientIsNotSplit) {
    SmtpPeer peer(SmtpPeer::dialogue(ACCEPT));
    Call call;
    call.to = "b@example.test, c@example.test";
    EXPECT_EQ(call.run(peer.port()), 0u);
    peer.join();
    EXPECT_EQ(peer.received(),
              dialogue("HELO localhost\r\n", "a", "b@example.test, c@example.test",
                       "From: a\nTo: b@example.test, c@example.test\nSubject: c\nd\n"));
}

TEST(EmailEntry, AuthMethodFourAuthenticates) {
    SmtpPeer peer(SmtpPeer::dialogue(
        {"220 peer.test ESMTP\r\n", "250-peer.test\r\n250 AUTH LOGIN PLAIN\r\n", "235 2.7.0 ok\r\n",
         "250 ok\r\n", "250 ok\r\n", "354 go\r\n", "250 queued\r\n", "221 bye\r\n"}));
    Call call;
    call.auth = 4;
    EXPECT_EQ(call.run(peer.port()), 0u);
    peer.join();
    // base64 of NUL "user" NUL "secret"
    EXPECT_EQ(peer.received(), dialogue("EHLO localhost\r\nAUTH PLAIN AHVzZXIAc2VjcmV0\r\n", "a",
                                        "b", "From: a\nTo: b\nSubject: c\nd\n"));
}

TEST(EmailEntry, OtherAuthMethodsSendHeloAndNoAuth) {
    for (u8 auth : {0, 1, 2, 3, 5, 255}) {
        SCOPED_TRACE(static_cast<int>(auth));
        SmtpPeer peer(SmtpPeer::dialogue(ACCEPT));
        Call call;
        call.auth = auth;
        EXPECT_EQ(call.run(peer.port()), 0u);
        peer.join();
        EXPECT_EQ(peer.received(),
                  dialogue("HELO localhost\r\n", "a", "b", "From: a\nTo: b\nSubject: c\nd\n"));
    }
}

TEST(EmailEntry, OnlyExactlyEnableStartsTls) {
    for (const char* ssl : {"Enable", "enable ", "ENABLE", "", "yes"}) {
        SCOPED_TRACE(ssl);
        SmtpPeer peer(SmtpPeer::dialogue(ACCEPT));
        Call call;
        call.ssl = ssl;
        call.ssl_type = "STARTTLS";
        EXPECT_EQ(call.run(peer.port()), 0u);
        peer.join();
        EXPECT_EQ(peer.received(),
                  dialogue("HELO localhost\r\n", "a", "b", "From: a\nTo: b\nSubject: c\nd\n"));
    }
}

TEST(EmailEntry, NoticeReplyToRcptIsNotAFailure) {
    std::vector<std::string> replies = ACCEPT;
    replies[3] = "551 5.1.6 user not local\r\n";
    SmtpPeer peer(SmtpPeer::dialogue(replies));
    EXPECT_EQ(Call().run(peer.port()), 0u);
    peer.join();
    EXPECT_EQ(peer.received(),
              dialogue("HELO localhost\r\n", "a", "b", "From: a\nTo: b\nSubject: c\nd\n"));
}

TEST(EmailEntry, FailuresGive274) {
    // A refused connection.
    EXPECT_EQ(Call().run(refused_port()), 274u);

    // A refusal stops the dialogue; the connection is closed, nothing more sent.
    std::vector<std::string> replies(ACCEPT.begin(), ACCEPT.begin() + 2);
    replies.push_back("554 5.7.1 sender rejected\r\n");
    SmtpPeer peer(SmtpPeer::dialogue(replies));
    EXPECT_EQ(Call().run(peer.port()), 274u);
    peer.join();
    EXPECT_EQ(peer.error(), "");
    EXPECT_EQ(peer.received(), "HELO localhost\r\nMAIL FROM: <a>\r\n");

    // A server that closes the connection after greeting.
    SmtpPeer closing(
        {SmtpPeer::send("220 peer.test ESMTP\r\n"), SmtpPeer::line(), SmtpPeer::close()});
    EXPECT_EQ(Call().run(closing.port()), 274u);
}

TEST(EmailEntry, NullStringIsRefusedWithoutConnecting) {
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(bind(listener, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<struct sockaddr*>(&addr), &len), 0);
    const u32 port = ntohs(addr.sin_port);

    EmailFn email = email_fn();
    ASSERT_NE(email, nullptr);
    const char* s = "x";
    for (int i = 0; i < 10; ++i) {
        const char* p[10] = {s, s, s, s, "127.0.0.1", s, s, s, s, s};
        p[i] = nullptr;
        EXPECT_EQ(email(p[0], p[1], p[2], p[3], p[4], 0, p[5], p[6], port, p[7], p[8], p[9]), 274u)
            << "null parameter " << i;
    }
    struct pollfd pfd = {listener, POLLIN, 0};
    EXPECT_EQ(poll(&pfd, 1, 0), 0) << "a connection was attempted";
    ::close(listener);
}

TEST(EmailTls, ImplicitTlsByDefault) {
    SmtpPeer peer(concat({SmtpPeer::start_tls()}, SmtpPeer::dialogue(ACCEPT)));
    Call call;
    call.ssl = "enable";
    call.ssl_type = "SMTPS";
    EXPECT_EQ(call.run(peer.port()), 0u);
    peer.join();
    EXPECT_EQ(peer.error(), "");
    EXPECT_EQ(peer.received_clear(), "");
    EXPECT_EQ(peer.received(),
              dialogue("HELO localhost\r\n", "a", "b", "From: a\nTo: b\nSubject: c\nd\n"));
}

TEST(EmailTls, StartTlsWhenAsked) {
    SmtpPeer peer(
        concat({SmtpPeer::send("220 peer.test ESMTP\r\n"), SmtpPeer::line(),
                SmtpPeer::send("220 2.0.0 Ready to start TLS\r\n"), SmtpPeer::start_tls()},
               without_greeting(ACCEPT)));
    Call call;
    call.ssl = "enable";
    call.ssl_type = "STARTTLS";
    EXPECT_EQ(call.run(peer.port()), 0u);
    peer.join();
    EXPECT_EQ(peer.error(), "");
    EXPECT_EQ(peer.received_clear(), "STARTTLS\r\n");
    EXPECT_EQ(peer.received(), dialogue("STARTTLS\r\nHELO localhost\r\n", "a", "b",
                                        "From: a\nTo: b\nSubject: c\nd\n"));
}

TEST(EmailTls, SslOptsChooseVerification) {
    const TestPki& pki = TestPki::get();
    struct Case {
        std::string opts;
        u32 result;
    } cases[] = {
        {"", 0},                               // no verification
        {"verify", 0},                         // not an option form: no verification
        {"CAFILE=" + pki.other_ca_file, 0},    // case matters: no verification
        {"cafile=" + pki.ca_file, 0},          // verified against the signing CA
        {"capath=" + pki.ca_dir, 0},           // verified against the hashed directory
        {"cafile=" + pki.other_ca_file, 274},  // the chain does not verify
        {"cafile=/nonexistent/ca.pem", 274},   // the CA file is missing
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.opts);
        SmtpPeer peer(concat({SmtpPeer::start_tls()}, SmtpPeer::dialogue(ACCEPT)));
        Call call;
        call.ssl = "enable";
        call.ssl_opts = c.opts;
        EXPECT_EQ(call.run(peer.port()), c.result);
        peer.join();
        if (c.result == 0) {
            EXPECT_EQ(peer.error(), "");
        } else {
            EXPECT_EQ(peer.received(), "");  // no command reached the peer
        }
    }
}
