// Dialogue scenarios: every file of this directory whose name has no dot is
// one test, Files/Scenarios.Run/<name> ('-' read as '_'), played against
// the scripted Peer (support/tls_peer.h). A session talks to the peer over a
// socket pair; email() over TCP on 127.0.0.1. Lines starting with '#' are
// comments.
//
// The client, before the dialogue (defaults in brackets):
//   from ADDRESS                  the envelope sender [a@example.test]
//   domain NAME                   announced in HELO and EHLO [client.test]
//   auth TYPE USER PASSWORD       setCredentials(); TYPE an AUTH_TYPE name or a number
//   tls TYPE OPTS CAFILE CADIR    setSSLOpts(); SSL_TYPE and SSL_OPTS names or
//                                 numbers; '-' for an empty path
//   mail RCPTS TEXT               addMessage(TEXT, RCPTS split at ','; '-' for none)
//   email FROM|TO|SUBJECT|BODY|AUTH|USER|PASSWORD|SSL|SSLTYPE|SSLOPTS
//                                 email() to the peer instead of a session
//   log VERBOSE                   capture the log at VERBOSE instead of ERROR
// Several auth, tls or email lines (one kind per file) give one run each,
// all with the same dialogue and outcome. In tls and email lines $CA,
// $CADIR, $OTHERCA and $KEY name the files of the test PKI.
//
// The dialogue, in order, as the peer plays it:
//   S: BYTES         the server sends BYTES
//   C: BYTES         the client must send exactly BYTES next
//   tls              TLS handshake, server side; all later bytes go through TLS
//   notify           the server sends the TLS closing message
//   shut             the server shuts its reading side: the client's next write fails
//   fill N BYTES     the server sends BYTES N times
//   flood BYTES      the server sends BYTES over and over: the client must stop
//                    reading after 1 MiB and more, holding less than 8 MiB
// BYTES are literal, with the escapes \r \n \t \0 \\ and \xHH; CR LF is
// appended unless they end in \n or in a lone \. After the last step the
// server shuts its writing side and reads on until the client closes:
// everything it read must be the C: lines, in full.
//
// The outcome:
//   => ok [TYPE]            sendMessage() succeeded (and auth_type is TYPE)
//   => 0 | => 274           email()'s result
//   => NAME METHOD INDEX TEXT   the exception; '*' in TEXT matches any bytes
//   L: TEXT                 the log, line by line ('*' matches any bytes; $HOST
//                           is the local name); no L: line: nothing logged
//   cut                     also one run per byte k of the S: text, the server
//                           stopping after k bytes: each fails as the end of the
//                           stream fails (in clear or over TLS), or gives 274
// In every run of a session: a failure leaves the queue exactly as queued, a
// success empties it; the descriptor stays open until the session goes;
// TLS ends with a closing message exactly when the handshake completed.
// No run leaves a descriptor open.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "smtp.h"
#include "support.h"
#include "tls_peer.h"
#include "types.h"

namespace {
// Bytes held through operator new now, and their peak.
std::atomic<size_t> g_live{0}, g_peak{0};

void release(void* p) {
    if (p != nullptr)
        g_live -= malloc_usable_size(p);
    std::free(p);
}
}  // namespace

void* operator new(size_t n) {
    void* p = std::malloc(n == 0 ? 1 : n);
    if (p == nullptr)
        throw std::bad_alloc();
    const size_t now = g_live += malloc_usable_size(p);
    for (size_t peak = g_peak; now > peak && !g_peak.compare_exchange_weak(peak, now);) {
    }
    return p;
}

void operator delete(void* p) noexcept {
    release(p);
}

void operator delete(void* p, size_t) noexcept {
    release(p);
}

namespace {

const std::string SCENARIOS = TRAVINE_SOURCE_DIR "/tests/scenarios/";
const std::vector<std::string> AUTH_TYPES = {"AUTO",     "PLAIN",     "LOGIN",
                                             "CRAM_MD5", "CRAM_SHA1", "NO_AUTH"};

// BYTES as described above; with line false nothing is appended.
std::string bytes(const std::string& raw, bool line = false) {
    std::string out;
    bool crlf = line;
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '\\') {
            out += raw[i];
            continue;
        }
        if (++i == raw.size()) {  // a lone \ at the end
            crlf = false;
            break;
        }
        const char c = raw[i];
        if (c == 'x') {
            out += static_cast<char>(std::stoi(raw.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += c == 'r' ? '\r' : c == 'n' ? '\n' : c == 't' ? '\t' : c == '0' ? '\0' : c;
        }
        crlf = crlf && !(c == 'n' && i + 1 == raw.size());
    }
    return crlf ? out + "\r\n" : out;
}

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> parts(1);
    for (char c : s)
        c == sep ? parts.push_back("") : parts.back().push_back(c);
    return parts;
}

std::string paths(std::string s) {
    const TestPki& pki = TestPki::get();
    const std::pair<std::string, std::string> names[] = {{"$CADIR", pki.ca_dir},
                                                         {"$CA", pki.ca_file},
                                                         {"$OTHERCA", pki.other_ca_file},
                                                         {"$KEY", pki.server_key}};
    for (const auto& n : names) {
        for (size_t at; (at = s.find(n.first)) != std::string::npos;)
            s.replace(at, n.first.size(), n.second);
    }
    return s;
}

// Whether text matches pattern, in which '*' stands for any run of bytes.
bool matches(const std::string& pattern, const std::string& text) {
    const size_t star = pattern.find('*');
    if (star == std::string::npos)
        return pattern == text;
    if (text.compare(0, star, pattern, 0, star) != 0)
        return false;
    for (size_t at = star; at <= text.size(); ++at) {
        if (matches(pattern.substr(star + 1), text.substr(at)))
            return true;
    }
    return false;
}

int named(const std::string& word, const std::vector<std::string>& names) {
    const auto it = std::find(names.begin(), names.end(), word);
    return it != names.end() ? static_cast<int>(it - names.begin()) : std::stoi(word);
}

struct Scenario {
    std::string from = "a@example.test", domain = "client.test";
    std::vector<std::vector<std::string>> auth, tls, email;
    std::vector<SMTP::Message> mail;
    std::vector<Peer::Step> steps;
    std::string client, outcome;
    std::vector<std::string> log;
    Logger::VERBOSITY verbosity = Logger::ERROR;
    bool cut = false, flood = false;
    size_t text = 0;  // bytes of S: text
};

Scenario read_scenario(const std::string& name) {
    Scenario sc;
    std::ifstream in(SCENARIOS + name);
    for (std::string line; std::getline(in, line);) {
        const size_t sp = std::min(line.find(' '), line.size());
        const std::string key = line.substr(0, sp),
                          rest = line.substr(std::min(sp + 1, line.size()));
        if (key == "S:" || key == "C:" || key == "flood" || key == "fill") {
            const bool fill = key == "fill";
            const size_t at = fill ? rest.find(' ') + 1 : 0;
            sc.steps.push_back({key == "flood" || fill ? 'F' : key[0], bytes(rest.substr(at), true),
                                fill             ? std::stoul(rest)
                                : key == "flood" ? size_t(1) << 40
                                                 : 1});
            sc.text += key == "S:" ? sc.steps.back().text.size() : 0;
            sc.client += key == "C:" ? sc.steps.back().text : "";
            sc.flood = sc.flood || key == "flood";
        } else if (key == "tls" || key == "notify" || key == "shut") {
            if (rest.empty())
                sc.steps.push_back({key == "tls" ? 'T' : key == "notify" ? 'N' : 'R', ""});
            else
                sc.tls.push_back(split(paths(rest), ' '));
        } else if (key == "auth") {
            sc.auth.push_back(split(rest, ' '));
        } else if (key == "email") {
            sc.email.push_back(split(paths(rest), '|'));
            for (std::string& field : sc.email.back())
                field = bytes(field);
        } else if (key == "mail") {
            const std::string rcpts = rest.substr(0, rest.find(' '));
            sc.mail.push_back({bytes(rest.substr(rcpts.size() + 1)),
                               rcpts == "-" ? std::vector<std::string>() : split(rcpts, ',')});
        } else if (key == "from" || key == "domain") {
            (key == "from" ? sc.from : sc.domain) = rest;
        } else if (key == "log") {
            sc.verbosity = Logger::VERBOSE;
        } else if (key == "L:") {
            sc.log.push_back(bytes(rest));
        } else if (key == "=>") {
            sc.outcome = bytes(rest);
        } else if (key == "cut") {
            sc.cut = true;
        } else if (!line.empty() && line[0] != '#') {
            ADD_FAILURE() << name << ": cannot read \"" << line << "\"";
        }
    }
    return sc;
}

typedef u32 (*EmailFn)(const char*, const char*, const char*, const char*, const char*, u8,
                       const char*, const char*, u32, const char*, const char*, const char*);

// email() of the built library, loaded as a host loads it.
EmailFn email_fn() {
    static void* const lib = dlopen(TRAVINE_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    return lib == nullptr ? nullptr : reinterpret_cast<EmailFn>(dlsym(lib, "email"));
}

struct Result {
    std::string outcome, received, error;
    std::vector<std::string> log;
    bool cut_in_tls = false;
    size_t flooded = 0, peak = 0;
};

template <class T>
const T* pick(const std::vector<T>& variants, size_t v) {
    return variants.empty() ? nullptr : &variants[std::min(v, variants.size() - 1)];
}

// Run v of sc, the peer stopping after `budget` bytes of its text.
Result play(const Scenario& sc, size_t v, size_t budget) {
    Result r;
    const int before = open_descriptor_count();
    if (const std::vector<std::string>* a = pick(sc.email, v)) {
        Peer peer(sc.steps, -1, budget);
        EmailFn email = email_fn();
        EXPECT_NE(email, nullptr) << "email is not exported under its plain name";
        if (email != nullptr) {
            r.outcome = std::to_string(email(
                (*a)[0].c_str(), (*a)[1].c_str(), (*a)[2].c_str(), (*a)[3].c_str(), "127.0.0.1",
                static_cast<u8>(std::stoi((*a)[4])), (*a)[5].c_str(), (*a)[6].c_str(),
                static_cast<u32>(peer.port()), (*a)[7].c_str(), (*a)[8].c_str(), (*a)[9].c_str()));
        }
        peer.join();
        r.received = peer.received, r.error = peer.error, r.cut_in_tls = peer.cut_in_tls;
        EXPECT_EQ(open_descriptor_count(), before) << "a descriptor was left open";
        return r;
    }
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        throw std::runtime_error("socketpair failed");
    Peer peer(sc.steps, fds[1], budget);
    std::unique_ptr<SMTP> s(new SMTP(sc.domain, sc.from, "unused.invalid", 25));
    adopt(*s, fds[0]);
    if (const std::vector<std::string>* a = pick(sc.auth, v))
        s->setCredentials(a->at(1), a->at(2), SMTP::AUTH_TYPE(named(a->at(0), AUTH_TYPES)));
    if (const std::vector<std::string>* t = pick(sc.tls, v)) {
        s->setSSLOpts(SMTP::SSL_TYPE(named(t->at(0), {"STARTTLS", "SMTPS", "NO_SSL"})),
                      SSLSocket::SSL_OPTS(named(t->at(1), {"VERIFY_PEER", "VERIFY_NONE"})),
                      t->at(2) == "-" ? "" : t->at(2), t->at(3) == "-" ? "" : t->at(3));
    }
    for (const SMTP::Message& m : sc.mail)
        s->addMessage(m.msg, m.rcpts);
    capture_log(*s, sc.verbosity);
    const size_t base = g_peak = g_live.load();
    try {
        s->sendMessage();
        r.outcome = "ok";
        if (sc.outcome.size() > 3 && sc.outcome.compare(0, 3, "ok ") == 0)
            r.outcome += " " + (s->auth_type <= 5 ? AUTH_TYPES[s->auth_type] : "?");
    } catch (const Exception& e) {
        r.outcome = e.name + " " + e.method + " " + std::to_string(e.index) + " " + e.msg;
    }
    r.peak = g_peak - base;
    const bool ok = r.outcome.compare(0, 2, "ok") == 0;
    EXPECT_EQ(s->msgs.size(), ok ? 0 : sc.mail.size()) << "the queue after " << r.outcome;
    for (size_t i = 0; !ok && i < std::min(s->msgs.size(), sc.mail.size()); ++i) {
        EXPECT_EQ(s->msgs[i].msg, sc.mail[i].msg) << "queued text " << i;
        EXPECT_EQ(s->msgs[i].rcpts, sc.mail[i].rcpts) << "queued recipients " << i;
    }
    EXPECT_NE(fcntl(s->socket->sockfd, F_GETFD), -1) << "closed before the session went";
    const bool negotiated = s->socket->negotiated;
    const std::string host = s->socket->localhost();
    s.reset();
    peer.join();
    close(fds[1]);
    EXPECT_TRUE(ok ? peer.notified == negotiated : negotiated || !peer.notified)
        << "TLS closing message: sent " << peer.notified << ", handshake " << negotiated;
    for (std::string line : logged()) {
        for (size_t at; (at = line.find(host + ":\t")) != std::string::npos;)
            line.replace(at, host.size(), "$HOST");
        r.log.push_back(line);
    }
    r.received = peer.received, r.error = peer.error, r.cut_in_tls = peer.cut_in_tls;
    r.flooded = peer.flooded;
    EXPECT_EQ(open_descriptor_count(), before) << "a descriptor was left open";
    return r;
}

std::vector<std::string> scenario_files() {
    std::vector<std::string> names;
    DIR* d = opendir(SCENARIOS.c_str());
    while (struct dirent* e = d != nullptr ? readdir(d) : nullptr) {
        if (std::string(e->d_name).find('.') == std::string::npos)
            names.push_back(e->d_name);
    }
    if (d != nullptr)
        closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

class Scenarios : public testing::TestWithParam<std::string> {};

}  // namespace

TEST_P(Scenarios, Run) {
    const Scenario sc = read_scenario(GetParam());
    const size_t runs = std::max({sc.auth.size(), sc.tls.size(), sc.email.size(), size_t(1)});
    for (size_t v = 0; v < runs; ++v) {
        SCOPED_TRACE("run " + std::to_string(v + 1) + " of " + std::to_string(runs));
        const Result r = play(sc, v, SIZE_MAX);
        EXPECT_EQ(r.received, sc.client) << r.error;
        EXPECT_TRUE(matches(sc.outcome, r.outcome)) << r.outcome;
        bool same = sc.email.empty() && r.log.size() == sc.log.size();
        for (size_t i = 0; same && i < r.log.size(); ++i)
            same = matches(sc.log[i], r.log[i]);
        EXPECT_TRUE(same || !sc.email.empty()) << testing::PrintToString(r.log);
        if (sc.flood) {
            EXPECT_GT(r.flooded, size_t(1) << 20) << "stopped reading before its limit";
            EXPECT_LT(r.peak, size_t(8) << 20) << "bytes held at the peak";
        }
    }
    const std::string plain = "TransferException Socket::readSocket() 4 Socket was closed.";
    const std::string tls = "SSLException SSLSocket::ssl_readSocket() 1 Socket was closed.";
    for (size_t k = 0; sc.cut && k < sc.text && !HasFailure(); ++k) {
        SCOPED_TRACE("cut after " + std::to_string(k) + " bytes");
        const Result r = play(sc, 0, k);
        EXPECT_EQ(r.outcome, !sc.email.empty() ? "274" : r.cut_in_tls ? tls : plain);
        EXPECT_EQ(sc.client.compare(0, r.received.size(), r.received), 0) << r.received;
    }
}

INSTANTIATE_TEST_SUITE_P(Files, Scenarios, testing::ValuesIn(scenario_files()),
                         [](const testing::TestParamInfo<std::string>& file) {
                             std::string name = file.param;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });
