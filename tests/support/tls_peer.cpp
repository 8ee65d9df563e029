#include "tls_peer.h"

#include "support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <openssl/err.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>

const TestPki& TestPki::get() {
    static const std::string d = TRAVINE_SOURCE_DIR "/tests/support/certs/";
    // The CA directory: ca.pem under its hashed name, made once per process.
    static const TempDir cadir;
    static const bool hashed = std::system(("ln -s '" + d + "ca.pem' " + cadir.path() +
                                            " && openssl rehash " + cadir.path())
                                               .c_str()) == 0;
    static const TestPki pki{d + "ca.pem", hashed ? cadir.path() : "(openssl rehash failed)",
                             d + "other-ca.pem", d + "server.pem", d + "server.key"};
    return pki;
}

int listen_loopback(int backlog, int* port) {
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(fd, backlog) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        throw std::runtime_error("listening on 127.0.0.1 failed");
    *port = ntohs(addr.sin_port);
    return fd;
}

Peer::Peer(std::vector<Step> script, int fd, size_t budget)
    : script_(std::move(script)), budget_(budget), fd_(fd) {
    if (fd == -1)
        listener_ = listen_loopback(1, &port_);
    thread_ = std::thread(&Peer::run, this);
}

bool Peer::write(const std::string& data) {
    if (ssl_ != nullptr)
        return SSL_write(ssl_, data.data(), int(data.size())) == int(data.size());
    return ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL) == ssize_t(data.size());
}

// Up to n bytes; 0 at the end of the stream (over TLS: after the client's
// closing message), -1 on failure or time-out.
long Peer::read(char* p, size_t n) {
    if (ssl_ == nullptr)
        return ::recv(fd_, p, n, 0);
    const int k = SSL_read(ssl_, p, int(n));
    return k > 0 ? k : SSL_get_error(ssl_, k) == SSL_ERROR_ZERO_RETURN ? 0 : -1;
}

bool Peer::play(const Step& step) {
    switch (step.kind) {
        case 'S': {
            const size_t n = std::min(budget_, step.text.size());
            budget_ -= n;
            const bool cut = n < step.text.size();
            cut_in_tls = cut && ssl_ != nullptr;
            if (n > 0 && !write(step.text.substr(0, n)))
                error = "sending failed";
            return !cut && error.empty();
        }
        case 'C': {
            std::string got;
            char buf[65536];
            for (long n = 1; n > 0 && got.size() < step.text.size() &&
                             step.text.compare(0, got.size(), got) == 0;) {
                n = read(buf, std::min(sizeof buf, step.text.size() - got.size()));
                got.append(buf, size_t(std::max(n, 0L)));
            }
            received += got;
            if (got != step.text)
                error = "the client did not send " + step.text.substr(0, 80);
            else if (ssl_ == nullptr && ::recv(fd_, buf, 1, MSG_PEEK | MSG_DONTWAIT) > 0)
                error = "the client sent more before the reply to " + step.text.substr(0, 80);
            return error.empty();
        }
        case 'T': {
            // The server's context, made once.
            static SSL_CTX* const ctx = [] {
                SSL_CTX* c = SSL_CTX_new(TLS_server_method());
                const TestPki& pki = TestPki::get();
                SSL_CTX_use_certificate_file(c, pki.server_cert.c_str(), SSL_FILETYPE_PEM);
                SSL_CTX_use_PrivateKey_file(c, pki.server_key.c_str(), SSL_FILETYPE_PEM);
                return c;
            }();
            ssl_ = SSL_new(ctx);
            SSL_set_fd(ssl_, fd_);
            tls_up_ = SSL_accept(ssl_) == 1;
            error = tls_up_ ? "" : "TLS handshake failed";
            return tls_up_;
        }
        case 'N':
            SSL_shutdown(ssl_);
            return true;
        case 'F': {
            std::string chunk;  // whole copies of text, about 64 KiB
            for (size_t i = 0; i < step.count && chunk.size() < 65536; ++i)
                chunk += step.text;
            for (size_t left = step.count * step.text.size(); left > 0; left -= chunk.size()) {
                chunk.resize(std::min(left, chunk.size()));
                if (!write(chunk))
                    return false;
                flooded += chunk.size();
            }
            return true;
        }
        case 'R':
            return ::shutdown(fd_, SHUT_RD) == 0;
        default: {  // 'P', ended early by the client's close
            pollfd p = {fd_, POLLRDHUP, 0};
            return ::poll(&p, 1, std::stoi(step.text)) >= 0;
        }
    }
}

void Peer::run() {
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    if (listener_ != -1) {
        struct pollfd p = {listener_, POLLIN, 0};
        fd_ = poll(&p, 1, TIMEOUT_SECONDS * 1000) == 1 ? accept(listener_, nullptr, nullptr) : -1;
        ::close(listener_);
        error = fd_ == -1 ? "no connection" : "";
        const int one = 1;  // small TLS records one after another
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    struct timeval tv = {TIMEOUT_SECONDS, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    for (size_t i = 0; fd_ != -1 && i < script_.size() && play(script_[i]); ++i) {
    }
    if (fd_ != -1) {
        ::shutdown(fd_, SHUT_WR);
        const bool record = ssl_ == nullptr || tls_up_;  // not what follows a failed handshake
        if (!tls_up_) {
            SSL_free(ssl_);
            ssl_ = nullptr;
        }
        char buf[4096];
        long n;
        while ((n = read(buf, sizeof buf)) > 0)
            received.append(record ? buf : "", record ? size_t(n) : 0);
        notified = tls_up_ && n == 0;
    }
    SSL_free(ssl_);
    ERR_clear_error();
    if (listener_ != -1 && fd_ != -1)
        ::close(fd_);
}
