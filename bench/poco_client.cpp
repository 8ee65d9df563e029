// Poco's SMTPClientSession as a peer in the benchmark.
//   poco_client session|oneshot PORT COUNT BODY_BYTES [tls|starttls]
// session: one SMTPClientSession, COUNT messages; oneshot: a session per
// message. Each message goes out as a prepared text, as from the other
// clients: sendAddresses() (MAIL FROM, RCPT TO), sendData() (DATA) and
// sendMessage(stream) (the text and the end-of-data marker), so Poco's
// MIME composition is not measured. "tls" is implicit TLS over a
// SecureStreamSocket, "starttls" a SecureSMTPClientSession's startTLS(),
// both without certificate verification. Prints bench_util.h's RESULT line.
#include <Poco/Exception.h>
#include <Poco/Net/Context.h>
#include <Poco/Net/SMTPClientSession.h>
#include <Poco/Net/SecureSMTPClientSession.h>
#include <Poco/Net/SecureStreamSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>

#include <cstdlib>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>

#include "bench_util.h"

namespace {

std::unique_ptr<Poco::Net::SMTPClientSession> open_session(unsigned short port,
                                                           Poco::Net::Context::Ptr ctx,
                                                           bool starttls) {
    Poco::Net::SocketAddress addr("127.0.0.1", port);
    std::unique_ptr<Poco::Net::SMTPClientSession> s;
    if (starttls) {
        auto* secure = new Poco::Net::SecureSMTPClientSession("127.0.0.1", port);
        s.reset(secure);
        secure->login("bench.test");
        secure->startTLS(ctx);
    } else if (ctx.isNull()) {
        s.reset(new Poco::Net::SMTPClientSession(Poco::Net::StreamSocket(addr)));
    } else {
        s.reset(new Poco::Net::SMTPClientSession(Poco::Net::SecureStreamSocket(addr, ctx)));
    }
    s->login("bench.test");
    return s;
}

void send_one(Poco::Net::SMTPClientSession& s, const std::string& text) {
    static const Poco::Net::SMTPClientSession::Recipients rcpts = {"b@bench.test"};
    s.sendAddresses("a@bench.test", rcpts);
    s.sendData();
    std::istringstream in(text);
    s.sendMessage(in);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5 || argc > 6) {
        std::cerr << "usage: poco_client session|oneshot PORT COUNT BODY_BYTES [tls|starttls]\n";
        return 2;
    }
    const bool starttls = argc == 6 && std::string(argv[5]) == "starttls";
    const bool oneshot = std::string(argv[1]) == "oneshot";
    const unsigned short port = static_cast<unsigned short>(std::atoi(argv[2]));
    const long count = std::atol(argv[3]);
    size_t len = 0;
    char* raw = bench_text(static_cast<size_t>(std::atol(argv[4])), &len);
    if (raw == nullptr)
        return 1;
    const std::string text(raw, len);
    std::free(raw);
    Poco::Net::Context::Ptr ctx;
    if (argc == 6) {
        ctx = new Poco::Net::Context(Poco::Net::Context::TLS_CLIENT_USE, "", "", "",
                                     Poco::Net::Context::VERIFY_NONE);
    }

    bench_clock clock;
    bench_start(&clock);
    try {
        std::unique_ptr<Poco::Net::SMTPClientSession> s;
        if (!oneshot)
            s = open_session(port, ctx, starttls);
        for (long i = 0; i < count; ++i) {
            if (oneshot)
                s = open_session(port, ctx, starttls);
            send_one(*s, text);
            if (oneshot)
                s->close();
        }
        if (!oneshot)
            s->close();
    } catch (const Poco::Exception& e) {
        std::cerr << "poco_client: " << e.displayText() << "\n";
        return 1;
    }
    bench_stop(&clock, count);
    return 0;
}
