// A reference model of the client side of the dialogue, written from its
// contract: how the server's bytes split into lines and replies, how each
// line is judged, and what a session with AUTO credentials writes in answer.
// The reply and session targets run the real code over a socket pair and
// compare it with this model.
#ifndef TRAVINE_FUZZ_SMTP_MODEL_H
#define TRAVINE_FUZZ_SMTP_MODEL_H

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "algorithm.h"
#include "exception.h"
#include "fuzz_support.h"
#include "reference.h"
#include "smtp.h"

namespace model {

// The failure the real code is expected to throw.
struct Failure {
    std::string name, method;
    u32 index;
    std::string msg;
};

inline std::string describe(const Failure& f) {
    return f.name + " " + f.method + " " + std::to_string(f.index) + ": " + printable(f.msg);
}

inline bool same(const Failure& f, const Exception& e) {
    return f.name == e.name && f.method == e.method && f.index == e.index && f.msg == e.msg;
}

// Judges one reply line by its first three characters.
inline void eval(const std::string& line, bool is_221_fatal) {
    static const char* const fatal[] = {"500", "501", "502", "503", "504", "421",
                                        "450", "451", "452", "550", "552", "553",
                                        "554", "534", "538", "454", "530", "535"};
    static const char* const accepted[] = {"211", "214", "551", "251", "220",
                                           "250", "354", "221", "334", "235"};
    const std::string code = line.substr(0, 3);
    if (is_221_fatal && code == "221") {
        throw Failure{"TransferException", "SMTP::evalResponse()", 1, line};
    }
    for (const char* c : fatal) {
        if (code == c) {
            throw Failure{"TransferException", "SMTP::evalResponse()", 2, line};
        }
    }
    for (const char* c : accepted) {
        if (code == c) {
            return;
        }
    }
    throw Failure{"TransferException", "SMTP::evalResponse()", 3, "Unknown message - " + line};
}

// Whether an accepted line is one that the session reports in its log.
inline bool notifies(const std::string& line) {
    const std::string code = line.substr(0, 3);
    return code == "211" || code == "214" || code == "551" || code == "251";
}

// The server's bytes as the client reads them: lines up to each LF, end of
// stream after the last byte.
class Server {
public:
    explicit Server(const std::string& bytes) : bytes_(bytes), pos_(0) {}

    // The next line without its LF; a partial last line is lost.
    std::string read_line() {
        const size_t lf = bytes_.find('\n', pos_);
        if (lf == std::string::npos) {
            pos_ = bytes_.size();
            throw Failure{"TransferException", "Socket::readSocket()", 4, "Socket was closed."};
        }
        std::string line = bytes_.substr(pos_, lf - pos_);
        pos_ = lf + 1;
        lines_read.push_back(line);
        return line;
    }

    // One reply: lines while the fourth character is '-', each without one
    // trailing CR and judged as it arrives; returned joined.
    std::string read_response(bool is_221_fatal) {
        std::string reply;
        std::string line;
        do {
            line = read_line();
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            reply += line;
            eval(line, is_221_fatal);
            if (notifies(line)) {
                notified.push_back(line);
            }
        } while (line.size() > 3 && line[3] == '-');
        return reply;
    }

    // Every line read, as read (CR kept), and every accepted line of the
    // notify list (CR removed), in order.
    std::vector<std::string> lines_read;
    std::vector<std::string> notified;

private:
    std::string bytes_;
    size_t pos_;
};

// What one session run should do: the bytes it writes, how it ends, and the
// mechanism it settles on.
struct Session {
    std::string domain, from, username, password, text;
    std::vector<std::string> rcpts;
    std::string written;
    SMTP::AUTH_TYPE auth_type = SMTP::AUTO;
};

// The strongest mechanism named on any line that mentions "auth".
inline SMTP::AUTH_TYPE best_auth_method(const std::string& reply) {
    const std::pair<const char*, SMTP::AUTH_TYPE> order[] = {{"cram-sha1", SMTP::CRAM_SHA1},
                                                             {"cram-md5", SMTP::CRAM_MD5},
                                                             {"plain", SMTP::PLAIN},
                                                             {"login", SMTP::LOGIN}};
    for (const std::string& line : ref::split(reply, '\n')) {
        const std::string l = ref::lower(line);
        for (const auto& o : order) {
            if (l.find("auth") != std::string::npos && l.find(o.first) != std::string::npos) {
                return o.second;
            }
        }
    }
    return SMTP::NO_AUTH;
}

// Only the first line that mentions "auth" is searched for the mechanism.
inline void check_auth_method(const std::string& reply, const std::string& mechanism) {
    for (const std::string& line : ref::split(reply, '\n')) {
        const std::string l = ref::lower(line);
        if (l.find("auth") == std::string::npos) {
            continue;
        }
        if (l.find(mechanism) != std::string::npos) {
            return;
        }
        std::string upper = mechanism;
        for (char& c : upper) {
            c = c >= 'a' && c <= 'z' ? static_cast<char>(c - ('a' - 'A')) : c;
        }
        throw Failure{"AuthenticationFailedException", "SMTP::check_auth_method()", 1,
                      upper + " authentication method is not supported by server."};
    }
    throw Failure{"AuthenticationFailedException", "SMTP::check_auth_method()", 2,
                  "SMTP AUTH is not supported by server."};
}

// The CRAM exchange with the HMAC given by md5 or not (SHA-1); exchange
// writes a line and reads the reply to it.
template <class Exchange>
void cram(Session& s, Exchange exchange, bool md5) {
    const char* method = md5 ? "SMTP::auth_cram_md5()" : "SMTP::auth_cram_sha1()";
    const std::string text = ref::trim(exchange(md5 ? "AUTH CRAM-MD5" : "AUTH CRAM-SHA1"));
    if (text.size() < 4) {
        throw Failure{"AuthenticationFailedException", method, 1, "Server sent no challenge."};
    }
    std::string challenge;
    if (ref::decode(text.substr(4), &challenge, false) != 0) {
        throw Failure{"DecodeException", "Algorithm::decode()", 1, "Invalid Base64 Data."};
    }
    exchange(ref::encode(s.username + " " +
                         (md5 ? Algorithm::hmac_md5_str(challenge, s.password)
                              : Algorithm::hmac_sha1_str(challenge, s.password))));
}

// A plain-transport session with AUTO credentials and one queued message.
// Fills s.written and s.auth_type; throws the expected Failure, if any.
inline void run(Session& s, Server& server) {
    auto exchange = [&](const std::string& line) {
        s.written += line + "\r\n";
        return server.read_response(true);
    };
    server.read_response(true);  // the greeting
    const std::string ehlo = exchange("EHLO " + s.domain);
    s.auth_type = best_auth_method(ehlo);
    switch (s.auth_type) {
        case SMTP::PLAIN:
            check_auth_method(ehlo, "plain");
            exchange("AUTH PLAIN " + ref::encode('\0' + s.username + '\0' + s.password));
            break;
        case SMTP::LOGIN:
            check_auth_method(ehlo, "login");
            exchange("AUTH LOGIN");
            exchange(ref::encode(s.username));
            exchange(ref::encode(s.password));
            break;
        case SMTP::CRAM_MD5:
            check_auth_method(ehlo, "cram-md5");
            cram(s, exchange, true);
            break;
        case SMTP::CRAM_SHA1:
            check_auth_method(ehlo, "cram-sha1");
            cram(s, exchange, false);
            break;
        default:
            break;
    }
    exchange("MAIL FROM: <" + s.from + ">");
    for (const std::string& rcpt : s.rcpts) {
        exchange("RCPT TO: <" + rcpt + ">");
    }
    exchange("DATA");
    exchange(s.text + "\r\n.");
    s.written += "QUIT\r\n";
    server.read_response(false);
}

}  // namespace model

#endif
