// A small SMTP sink over TLS for the benchmark: it listens on 127.0.0.1
// only, serves one connection after the other, answers every command line as
// soon as it is complete (lock-step, no PIPELINING, no AUTH) and throws the
// messages away. Implicit TLS, or with "starttls" a greeting in clear and
// STARTTLS (offered in the EHLO reply, taken with or without EHLO first).
//   tls_sink PORT CERT_FILE KEY_FILE MAX_SECONDS [starttls]
// It ends by itself after MAX_SECONDS (or on SIGTERM).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "bench_util.h"

namespace {

// One connection: reads lines from TLS and answers them.
class Session {
public:
    // Over ssl, or in clear on fd until STARTTLS makes ssl from ctx.
    Session(SSL* ssl, int fd, SSL_CTX* ctx) : ssl_(ssl), fd_(fd), ctx_(ctx) {}
    ~Session() { SSL_free(ssl_); }
    // The TLS connection, once there is one.
    SSL* tls() const { return ssl_; }

    void run() {
        if (!put("220 tls-sink ESMTP\r\n"))
            return;
        std::string line;
        while (next_line(line)) {
            if (in_data_) {
                if (line == "." || line == ".\r") {
                    in_data_ = false;
                    if (!put("250 2.0.0 Ok: queued\r\n"))
                        return;
                }
                continue;
            }
            std::string verb = line.substr(0, 4);
            for (char& c : verb)
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            const char* answer = "502 5.5.2 Error: command not recognized\r\n";
            if (verb == "HELO") {
                answer = "250 tls-sink\r\n";
            } else if (verb == "EHLO") {
                answer = ssl_ == nullptr ? "250-tls-sink\r\n250 STARTTLS\r\n"
                                         : "250-tls-sink\r\n250 8BITMIME\r\n";
            } else if (verb == "STAR" && ssl_ == nullptr && pos_ == len_) {
                if (!put("220 2.0.0 Ready to start TLS\r\n"))
                    return;
                ssl_ = SSL_new(ctx_);
                SSL_set_fd(ssl_, fd_);
                if (SSL_accept(ssl_) != 1)
                    return;
                continue;
            } else if (verb == "MAIL") {
                answer = "250 2.1.0 Ok\r\n";
            } else if (verb == "RCPT") {
                answer = "250 2.1.5 Ok\r\n";
            } else if (verb == "DATA") {
                answer = "354 End data with <CR><LF>.<CR><LF>\r\n";
                in_data_ = true;
            } else if (verb == "RSET" || verb == "NOOP") {
                answer = "250 2.0.0 Ok\r\n";
            } else if (verb == "QUIT") {
                put("221 2.0.0 Bye\r\n");
                return;
            }
            if (!put(answer))
                return;
        }
    }

private:
    bool put(const char* text) {
        const int n = static_cast<int>(std::strlen(text));
        return ssl_ != nullptr ? SSL_write(ssl_, text, n) > 0 : write(fd_, text, size_t(n)) == n;
    }

    // The next line without its line feed; false at the end of the stream.
    bool next_line(std::string& line) {
        line.clear();
        for (;;) {
            if (pos_ < len_) {
                const char* start = buf_ + pos_;
                const char* lf = static_cast<const char*>(std::memchr(start, '\n', len_ - pos_));
                size_t n = lf != nullptr ? static_cast<size_t>(lf - start) : len_ - pos_;
                line.append(start, n);
                pos_ += n;
                if (lf != nullptr) {
                    ++pos_;
                    return true;
                }
            }
            int n = ssl_ != nullptr ? SSL_read(ssl_, buf_, sizeof buf_)
                                    : static_cast<int>(read(fd_, buf_, sizeof buf_));
            if (n <= 0)
                return false;
            pos_ = 0;
            len_ = static_cast<size_t>(n);
        }
    }

    SSL* ssl_;
    int fd_;
    SSL_CTX* ctx_;
    bool in_data_ = false;
    char buf_[16384];
    size_t pos_ = 0;
    size_t len_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5 && !(argc == 6 && std::strcmp(argv[5], "starttls") == 0)) {
        std::cerr << "usage: tls_sink PORT CERT_FILE KEY_FILE MAX_SECONDS [starttls]\n";
        return 2;
    }
    const bool starttls = argc == 6;
    signal(SIGPIPE, SIG_IGN);
    alarm(static_cast<unsigned>(std::atoi(argv[4])));  // the default action ends us

    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (ctx == nullptr || SSL_CTX_use_certificate_chain_file(ctx, argv[2]) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, argv[3], SSL_FILETYPE_PEM) != 1) {
        ERR_print_errors_fp(stderr);
        return 1;
    }
    const int lfd = bench_socket(std::atoi(argv[1]), 1);
    if (lfd == -1) {
        std::perror("tls_sink: listen");
        return 1;
    }
    for (;;) {
        int fd = accept(lfd, nullptr, nullptr);
        if (fd == -1)
            continue;
        SSL* ssl = nullptr;
        if (!starttls) {
            ssl = SSL_new(ctx);
            SSL_set_fd(ssl, fd);
        }
        if (starttls || SSL_accept(ssl) == 1) {
            Session session(ssl, fd, ctx);
            session.run();
            if (session.tls() != nullptr)
                SSL_shutdown(session.tls());
        } else {
            SSL_free(ssl);
        }
        close(fd);
    }
}
