#include "smtp_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "tls_peer.h"

namespace {

bool ends_with(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// One accepted connection, plain or (after start_tls) over TLS.
class Connection {
public:
    explicit Connection(int fd) : fd_(fd) {}
    ~Connection() {
        if (tls_)
            tls_->shutdown();
        tls_.reset();
        ::close(fd_);
    }
    bool start_tls() {
        tls_.reset(new TlsServer(fd_));
        return tls_->accept();
    }
    bool write(const std::string& data) { return tls_ ? tls_->write(data) : send_all(fd_, data); }
    // One line, line feed included; false on end of stream, failure or
    // time-out (a partial line is still appended to *out).
    bool read_line(std::string* out) {
        if (tls_) {
            std::string l = tls_->read_line();
            out->append(l);
            return ends_with(l, "\n");
        }
        for (;;) {
            char c;
            if (!wait_for(fd_, POLLIN) || ::read(fd_, &c, 1) != 1)
                return false;
            out->push_back(c);
            if (c == '\n')
                return true;
        }
    }

private:
    int fd_;
    std::unique_ptr<TlsServer> tls_;
};

}  // namespace

bool wait_for(int fd, short events) {
    struct pollfd p = {fd, events, 0};
    int r;
    do {
        r = poll(&p, 1, 5000);
    } while (r < 0 && errno == EINTR);
    return r > 0;
}

bool send_all(int fd, const std::string& data) {
    for (size_t done = 0; done < data.size();) {
        if (!wait_for(fd, POLLOUT))
            return false;
        ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

int listen_loopback(int* port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0 || listen(fd, 1) != 0) {
        if (fd >= 0)
            ::close(fd);
        throw std::runtime_error("listen on 127.0.0.1 failed");
    }
    *port = ntohs(addr.sin_port);
    return fd;
}

int refused_port() {
    int port = 0;
    ::close(listen_loopback(&port));
    return port;
}

std::vector<SmtpPeer::Step> SmtpPeer::dialogue(const std::vector<std::string>& replies) {
    std::vector<Step> steps;
    bool data_next = false;
    for (size_t i = 0; i < replies.size(); ++i) {
        if (i > 0)
            steps.push_back(data_next ? data() : line());
        steps.push_back(send(replies[i]));
        data_next = replies[i].compare(0, 3, "354") == 0;
    }
    return steps;
}

SmtpPeer::SmtpPeer(const std::vector<Step>& script) : script_(script), port_(0) {
    listen_fd_ = listen_loopback(&port_);
    thread_ = std::thread(&SmtpPeer::run, this);
}

SmtpPeer::~SmtpPeer() {
    join();
    ::close(listen_fd_);
}

void SmtpPeer::join() {
    if (thread_.joinable())
        thread_.join();
}

void SmtpPeer::run() {
    int fd = wait_for(listen_fd_, POLLIN) ? ::accept(listen_fd_, nullptr, nullptr) : -1;
    if (fd < 0) {
        error_ = "no connection";
        return;
    }
    Connection conn(fd);
    bool tls_started = false;
    bool closed = false;
    for (size_t i = 0; i < script_.size() && error_.empty() && !closed; ++i) {
        const Step& step = script_[i];
        const std::string where = " at step " + std::to_string(i);
        switch (step.kind) {
            case Step::SEND:
                if (!conn.write(step.text))
                    error_ = "write failed" + where;
                break;
            case Step::LINE:
                if (!conn.read_line(&received_))
                    error_ = "no line" + where;
                break;
            case Step::DATA:
                do {
                    if (!conn.read_line(&received_))
                        error_ = "no end of data" + where;
                } while (error_.empty() && !ends_with(received_, "\r\n.\r\n"));
                break;
            case Step::START_TLS:
                received_clear_ = received_;
                tls_started = true;
                if (!conn.start_tls())
                    error_ = "TLS handshake failed" + where;
                break;
            case Step::FLOOD:
                while (flooded_ < FLOOD_LIMIT && send_all(fd, step.text))
                    flooded_ += step.text.size();
                closed = true;
                break;
            case Step::CLOSE:
                closed = true;
                break;
        }
    }
    if (!tls_started)
        received_clear_ = received_;
    if (error_.empty() && !closed) {
        // Record whatever else the client sends until it closes.
        while (conn.read_line(&received_)) {
        }
    }
}
