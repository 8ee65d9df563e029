// The C entry point, loaded from the shared object as a host loads it, against
// a scripted SMTP peer on 127.0.0.1. Cuts at every byte and the whole
// dialogue with AUTH and over TLS are in fault_test.cpp.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <poll.h>
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
        EmailFn f = reinterpret_cast<EmailFn>(dlsym(lib, "email"));
        if (f == nullptr)
            ADD_FAILURE() << "email is not exported under its plain name";
        return f;
    }();
    return fn;
}

const std::vector<std::string> ACCEPT = {
    "220 peer.test ESMTP\r\n", "250 hello\r\n", "250 ok\r\n", "250 ok\r\n", "354 go\r\n",
    "250 queued\r\n",          "221 bye\r\n"};

struct Call {
    std::string from = "a", to = "b", subject = "c", body = "d";
    u8 auth = 0;
    std::string ssl = "", ssl_type = "", ssl_opts = "";

    u32 run(int port) const {
        EmailFn email = email_fn();
        if (email == nullptr)
            return 1;
        return email(from.c_str(), to.c_str(), subject.c_str(), body.c_str(), "127.0.0.1", auth,
                     "user", "secret", static_cast<u32>(port), ssl.c_str(), ssl_type.c_str(),
                     ssl_opts.c_str());
    }
    // What the client writes to a server that accepts the mail, with HELO.
    std::string dialogue() const {
        return "HELO localhost\r\nMAIL FROM: <" + from + ">\r\nRCPT TO: <" + to +
               ">\r\nDATA\r\nFrom: " + from + "\nTo: " + to + "\nSubject: " + subject + "\n" +
               body + "\n\r\n.\r\nQUIT\r\n";
    }
};

std::vector<SmtpPeer::Step> tls_first(const std::vector<std::string>& replies) {
    std::vector<SmtpPeer::Step> steps = SmtpPeer::dialogue(replies);
    steps.insert(steps.begin(), SmtpPeer::start_tls());
    return steps;
}

}  // namespace

// The built text goes out unchanged, to the one recipient given; any
// authMethod but 4 greets with HELO and sends no AUTH; any pSsl but exactly
// "enable" keeps the connection plain, even with pSslType "STARTTLS".
TEST(EmailEntry, SendsTheBuiltTextWithHelo) {
    std::vector<Call> calls;
    auto add = [&calls]() -> Call& {
        calls.emplace_back();
        return calls.back();
    };
    for (const char* body : {"d", "", "line 1\r\n.\nline 3"})
        add().body = body;
    add().to = "b@example.test, c@example.test";
    for (u8 auth : {1, 2, 3, 5, 255})
        add().auth = auth;
    for (const char* ssl : {"Enable", "enable ", "ENABLE", "yes"}) {
        Call& c = add();
        c.ssl = ssl;
        c.ssl_type = "STARTTLS";
    }
    for (const Call& call : calls) {
        SCOPED_TRACE(testing::Message()
                     << "body \"" << call.body << "\", to \"" << call.to << "\", auth "
                     << int(call.auth) << ", ssl \"" << call.ssl << "\"");
        SmtpPeer peer(SmtpPeer::dialogue(ACCEPT));
        EXPECT_EQ(call.run(peer.port()), 0u);
        peer.join();
        EXPECT_EQ(peer.error(), "");
        EXPECT_EQ(peer.received(), call.dialogue());
    }
}

TEST(EmailEntry, FailuresGive274) {
    EXPECT_EQ(Call().run(refused_port()), 274u);
    // A refusal stops the dialogue; the connection is closed, nothing more sent.
    std::vector<std::string> replies(ACCEPT.begin(), ACCEPT.begin() + 2);
    replies.push_back("554 5.7.1 sender rejected\r\n");
    SmtpPeer peer(SmtpPeer::dialogue(replies));
    EXPECT_EQ(Call().run(peer.port()), 274u);
    peer.join();
    EXPECT_EQ(peer.error(), "");
    EXPECT_EQ(peer.received(), "HELO localhost\r\nMAIL FROM: <a>\r\n");
}

TEST(EmailEntry, NullStringIsRefusedWithoutConnecting) {
    int port = 0;
    const int listener = listen_loopback(&port);
    EmailFn email = email_fn();
    ASSERT_NE(email, nullptr);
    const char* s = "x";
    for (int i = 0; i < 10; ++i) {
        const char* p[10] = {s, s, s, s, "127.0.0.1", s, s, s, s, s};
        p[i] = nullptr;
        EXPECT_EQ(email(p[0], p[1], p[2], p[3], p[4], 0, p[5], p[6], static_cast<u32>(port), p[7],
                        p[8], p[9]),
                  274u)
            << "null parameter " << i;
    }
    struct pollfd pfd = {listener, POLLIN, 0};
    EXPECT_EQ(poll(&pfd, 1, 0), 0) << "a connection was attempted";
    ::close(listener);
}

TEST(EmailTls, ImplicitTlsUnlessTheTypeIsExactlyStartTls) {
    for (const char* type : {"SMTPS", "", "starttls"}) {
        SCOPED_TRACE(type);
        SmtpPeer peer(tls_first(ACCEPT));
        Call call;
        call.ssl = "enable";
        call.ssl_type = type;
        EXPECT_EQ(call.run(peer.port()), 0u);
        peer.join();
        EXPECT_EQ(peer.error(), "");
        EXPECT_EQ(peer.received_clear(), "");
        EXPECT_EQ(peer.received(), call.dialogue());
    }
}

TEST(EmailTls, SslOptsChooseVerification) {
    const TestPki& pki = TestPki::get();
    const struct {
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
    for (const auto& c : cases) {
        SCOPED_TRACE(c.opts);
        SmtpPeer peer(tls_first(ACCEPT));
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
