// Dialogue scenarios: every file of this directory whose name has no dot is
// one test, Files/Scenarios.Run/<name> ('-' read as '_'), played against the
// scripted Peer (support/tls_peer.h). Lines starting with '#' are comments.
//
// The client: a session announcing client.test and sending from
// a@example.test, over a socket pair; or email() to 127.0.0.1 and the peer's
// port. Before the dialogue:
//   auth TYPE USER PASSWORD       setCredentials(); TYPE an AUTH_TYPE name or number
//   tls TYPE OPTS CAFILE CADIR    setSSLOpts(); SSL_TYPE and SSL_OPTS names or
//                                 numbers; '-' for an empty path
//   mail RCPTS TEXT               addMessage(TEXT, RCPTS split at ','; '-' for none)
//   email FROM|TO|SUBJECT|BODY|AUTH|USER|PASSWORD|SSL|SSLTYPE|SSLOPTS
//                                 email() instead of a session
//   log VERBOSE                   capture the log at VERBOSE instead of ERROR
//   timeout SECONDS               setTimeout() on the session
//   pipelining                    setPipelining(true)
// Several auth, tls or email lines (one kind per file) give one run each,
// all with the same dialogue and outcome. In tls and email lines $CA,
// $CADIR, $OTHERCA and $KEY name the files of the test PKI.
//
// The dialogue, in order, as the peer plays it:
//   S: BYTES         the server sends BYTES
//   C: BYTES         the client must send exactly BYTES next, and (in clear)
//                    nothing more before the server's next step: a pipelined
//                    group is one C: line
//   EHLO [REPLY]     stands for "S: 220 mx.example.test ESMTP", then
//   HELO [REPLY]     "C: EHLO client.test" (HELO; localhost for email()),
//                    then "S: REPLY" if REPLY is given
//   QUIT             stands for "C: QUIT", then "S: 221 bye"
//   tls              TLS handshake, server side; all later bytes go through TLS
//   notify           the server sends the TLS closing message
//   shut             the server shuts its reading side: the client's next write fails
//   fill N BYTES     the server sends BYTES N times
//   pause MS         the server does nothing for MS milliseconds, or until
//                    the client closes
//   flood BYTES      the server sends BYTES over and over, up to 64 MiB: the
//                    client must stop reading after at least 1 MiB and
//                    before the server could send 8 MiB
// BYTES are literal, with the escapes \r \n \t \0 \\ and \xHH; CR LF is
// appended unless they end in \n or in a lone \. After the last step the
// server shuts its writing side and reads on until the client closes:
// everything it read must be the C: lines, in full.
//
// The outcome:
//   => ok [TYPE]            sendMessage() succeeded (and auth_type is TYPE)
//   => 0 | => 274           email()'s result
//   => NAME METHOD INDEX TEXT   the exception; '*' in TEXT matches any bytes
//   L: TEXT                 the session's log, line by line ('*' matches any
//                           bytes); without L: lines nothing may be logged
//   cut                     one more run for every byte k of the S: text, the
//                           server stopping after k bytes: each must fail with
//                           the end of the stream, "Socket was closed." from
//                           Socket::readSocket() 4, or over TLS from
//                           SSLSocket::ssl_readSocket() 1 (email(): 274)
// In every run of a session: a failure leaves the queue as queued, a success
// empties it; the descriptor stays open until the session goes; the peer
// gets a TLS closing message only after a completed handshake, and always
// after a successful run over TLS. No run leaves a descriptor open.
#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "scenario_play.h"
#include "scenario_text.h"

namespace {

const std::string SCENARIOS = TRAVINE_SOURCE_DIR "/tests/scenarios/";

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> parts(1);
    for (char c : s)
        c == sep ? parts.push_back("") : parts.back().push_back(c);
    return parts;
}

// Whether text matches pattern, in which '*' stands for any run of bytes.
bool matches(const std::string& pattern, const std::string& text) {
    const size_t star = pattern.find('*');
    if (star == std::string::npos)
        return pattern == text;
    for (size_t at = star; at <= text.size(); ++at) {
        if (text.compare(0, star, pattern, 0, star) == 0 &&
            matches(pattern.substr(star + 1), text.substr(at)))
            return true;
    }
    return false;
}

Scenario read_scenario(const std::string& name) {
    Scenario sc;
    const TestPki& pki = TestPki::get();
    const std::string paths[][2] = {{"$CADIR", pki.ca_dir},
                                    {"$CA", pki.ca_file},
                                    {"$OTHERCA", pki.other_ca_file},
                                    {"$KEY", pki.server_key}};
    for (const std::string& line : scenario_lines(SCENARIOS + name)) {
        const size_t sp = std::min(line.find(' '), line.size());
        const std::string key = line.substr(0, sp);
        std::string rest = line.substr(std::min(sp + 1, line.size()));
        if (key == "S:" || key == "C:" || key == "fill" || key == "flood") {
            const std::string text =
                bytes(rest.substr(key == "fill" ? rest.find(' ') + 1 : 0), true);
            const size_t count = key == "fill"    ? std::stoul(rest)
                                 : key == "flood" ? (64ul << 20) / text.size()
                                                  : 1;
            sc.steps.push_back({key.size() == 2 ? key[0] : 'F', text, count});
            sc.text += key == "S:" ? text.size() : 0;
            sc.client += key == "C:" ? text : "";
            sc.flood = sc.flood || key == "flood";
        } else if ((key == "tls" || key == "notify" || key == "shut") && rest.empty()) {
            sc.steps.push_back({key == "tls" ? 'T' : key == "notify" ? 'N' : 'R', ""});
        } else if (key == "auth" || key == "tls" || key == "email") {
            for (const auto& p : paths) {
                for (size_t at; (at = rest.find(p[0])) != std::string::npos;)
                    rest.replace(at, p[0].size(), p[1]);
            }
            auto& runs = key == "auth" ? sc.auth : key == "tls" ? sc.tls : sc.email;
            runs.push_back(split(rest, key == "email" ? '|' : ' '));
            for (std::string& field : runs.back())
                field = field == "-" ? "" : bytes(field);
        } else if (key == "mail") {
            const std::string rcpts = rest.substr(0, rest.find(' '));
            sc.mail.push_back({bytes(rest.substr(rcpts.size() + 1)),
                               rcpts == "-" ? std::vector<std::string>() : split(rcpts, ',')});
        } else if (key == "L:" || key == "=>") {
            (key == "L:" ? sc.log.emplace_back() : sc.outcome) = bytes(rest);
        } else if (key == "pause") {
            sc.steps.push_back({'P', rest});
        } else if (key == "timeout") {
            sc.timeout = std::stoi(rest);
        } else if (key == "log" || key == "cut" || key == "pipelining") {
            (key == "log" ? sc.verbose : key == "cut" ? sc.cut : sc.pipelining) = true;
        } else if (!line.empty() && line[0] != '#') {
            ADD_FAILURE() << name << ": cannot read \"" << line << "\"";
        }
    }
    return sc;
}

std::vector<std::string> scenario_files() {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(SCENARIOS)) {
        if (!e.path().has_extension())
            names.push_back(e.path().filename());
    }
    std::sort(names.begin(), names.end());
    return names;
}

class Scenarios : public testing::TestWithParam<std::string> {};

}  // namespace

TEST_P(Scenarios, Run) {
    const Scenario sc = read_scenario(GetParam());
    const size_t runs = std::max({sc.auth.size(), sc.tls.size(), sc.email.size(), size_t(1)});
    std::unique_ptr<Peer> peer;
    std::vector<std::string> log;
    for (size_t v = 0; v < runs; ++v) {
        SCOPED_TRACE("run " + std::to_string(v + 1) + " of " + std::to_string(runs));
        const std::string outcome = play(sc, v, peer, SIZE_MAX, &log);
        EXPECT_EQ(peer->received, sc.client) << peer->error;
        EXPECT_TRUE(matches(sc.outcome, outcome)) << outcome;
        bool same = log.size() == sc.log.size();
        for (size_t i = 0; same && i < log.size(); ++i)
            same = matches(sc.log[i], log[i]);
        EXPECT_TRUE(same) << testing::PrintToString(log);
        if (sc.flood) {
            EXPECT_GE(peer->flooded, size_t(1) << 20) << "stopped reading before its limit";
            EXPECT_LT(peer->flooded, size_t(8) << 20) << "read on past its limit";
        }
    }
    const std::string plain = "TransferException Socket::readSocket() 4 Socket was closed.";
    const std::string tls = "SSLException SSLSocket::ssl_readSocket() 1 Socket was closed.";
    for (size_t k = 0; sc.cut && k < sc.text && !HasFailure(); ++k) {
        SCOPED_TRACE("cut after " + std::to_string(k) + " bytes");
        const std::string outcome = play(sc, 0, peer, k, &log);
        EXPECT_EQ(outcome, !sc.email.empty() ? "274" : peer->cut_in_tls ? tls : plain);
        EXPECT_EQ(sc.client.compare(0, peer->received.size(), peer->received), 0) << peer->received;
    }
}

INSTANTIATE_TEST_SUITE_P(Files, Scenarios, testing::ValuesIn(scenario_files()),
                         [](const testing::TestParamInfo<std::string>& file) {
                             std::string name = file.param;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });
