// Playing one run of a dialogue scenario (the format: scenarios_test.cpp),
// read from its file or, for the cases a file cannot express, built in code
// (smtp_test.cpp), which may also set the session up further.
#ifndef TRAVINE_TEST_SCENARIO_PLAY_H
#define TRAVINE_TEST_SCENARIO_PLAY_H

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "emailwrap.h"
#include "smtp.h"
#include "support.h"
#include "tls_peer.h"

inline const std::vector<std::string> AUTH_TYPES = {
    "AUTO", "PLAIN", "LOGIN", "CRAM_MD5", "CRAM_SHA1", "NO_AUTH", "XOAUTH2", "OAUTHBEARER"};

inline int named(const std::string& word, const std::vector<std::string>& names) {
    const auto it = std::find(names.begin(), names.end(), word);
    return it != names.end() ? static_cast<int>(it - names.begin()) : std::stoi(word);
}

struct Scenario {
    std::vector<std::vector<std::string>> auth, tls, email;  // one run each
    std::vector<SMTP::Message> mail;
    std::vector<Peer::Step> steps;
    std::string client, outcome;
    std::vector<std::string> log;
    bool verbose = false, cut = false, flood = false, pipelining = false;
    size_t text = 0;  // bytes of S: text
    int timeout = 0;
    std::function<void(SMTP&)> setup;  // last, before sendMessage()
};

template <class T>
const T* pick(const std::vector<T>& runs, size_t v) {
    return runs.empty() ? nullptr : &runs[std::min(v, runs.size() - 1)];
}

// Run v of sc, the peer stopping after `budget` bytes of its text: the
// outcome ("ok", "0", "274" or "Name method index text"), the peer once it
// has finished, and the log. Checks the queue, the closing message and the
// descriptors as scenarios_test.cpp describes.
inline std::string play(const Scenario& sc, size_t v, std::unique_ptr<Peer>& peer,
                        size_t budget = SIZE_MAX, std::vector<std::string>* log = nullptr) {
    const int before = open_descriptor_count();
    int fds[2] = {-1, -1};
    if (sc.email.empty() && socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        throw std::runtime_error("socketpair failed");
    peer.reset(new Peer(sc.steps, fds[1], budget));
    std::string outcome;
    bool ok = true, negotiated = false;  // not looked at for email()
    if (const std::vector<std::string>* a = pick(sc.email, v)) {
        outcome = std::to_string(email((*a)[0].c_str(), (*a)[1].c_str(), (*a)[2].c_str(),
                                       (*a)[3].c_str(), "127.0.0.1", u8(std::stoi((*a)[4])),
                                       (*a)[5].c_str(), (*a)[6].c_str(), u32(peer->port()),
                                       (*a)[7].c_str(), (*a)[8].c_str(), (*a)[9].c_str()));
    } else {
        std::unique_ptr<SMTP> s(new SMTP("client.test", "a@example.test", "unused.invalid", 25));
        adopt(*s, fds[0]);
        if (const std::vector<std::string>* c = pick(sc.auth, v))
            s->setCredentials(c->at(1), c->at(2), SMTP::AUTH_TYPE(named(c->at(0), AUTH_TYPES)));
        if (const std::vector<std::string>* t = pick(sc.tls, v)) {
            s->setSSLOpts(
                SMTP::SSL_TYPE(named(t->at(0), {"STARTTLS", "SMTPS", "NO_SSL"})),
                SSLSocket::SSL_OPTS(named(t->at(1), {"VERIFY_PEER", "VERIFY_NONE", "VERIFY_HOST"})),
                t->at(2), t->at(3));
        }
        for (const SMTP::Message& m : sc.mail)
            s->addMessage(m.msg, m.rcpts);
        s->setTimeout(sc.timeout);
        s->setPipelining(sc.pipelining);
        capture_log(*s, sc.verbose ? Logger::VERBOSE : Logger::ERROR);
        if (sc.setup)
            sc.setup(*s);
        const std::vector<SMTP::Message> queued = s->msgs;
        try {
            s->sendMessage();
            const bool chosen = sc.outcome.size() > 3;  // "ok TYPE"
            outcome = "ok" + (chosen ? " " + AUTH_TYPES.at(s->auth_type) : "");
        } catch (const Exception& e) {
            outcome = e.name + " " + e.method + " " + std::to_string(e.index) + " " + e.msg;
        }
        ok = outcome.compare(0, 2, "ok") == 0;
        EXPECT_EQ(s->msgs.size(), ok ? 0 : queued.size()) << "the queue after " << outcome;
        for (size_t i = 0; !ok && i < std::min(s->msgs.size(), queued.size()); ++i) {
            EXPECT_EQ(s->msgs[i].msg, queued[i].msg) << "queued text " << i;
            EXPECT_EQ(s->msgs[i].file, queued[i].file) << "queued file " << i;
            EXPECT_EQ(s->msgs[i].rcpts, queued[i].rcpts) << "queued recipients " << i;
        }
        EXPECT_NE(fcntl(s->socket->sockfd, F_GETFD), -1) << "closed before the session went";
        negotiated = s->socket->negotiated;
        if (log != nullptr)
            *log = logged();
    }
    peer->join();
    if (fds[1] != -1)
        close(fds[1]);
    // After a failure the closing message may not get through; it never
    // comes without a completed handshake.
    EXPECT_TRUE(!sc.email.empty() ||
                (ok ? peer->notified == negotiated : negotiated || !peer->notified))
        << "TLS closing message";
    EXPECT_EQ(open_descriptor_count(), before) << "a descriptor was left open";
    return outcome;
}

#endif
