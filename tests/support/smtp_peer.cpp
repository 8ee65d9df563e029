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

// How long the peer waits for a connection or for any byte.
const int DEADLINE_MS = 5000;

// Waits for fd to become readable; false on time-out or error.
bool readable(int fd) {
    struct pollfd p = {fd, POLLIN, 0};
    int r;
    do {
        r = poll(&p, 1, DEADLINE_MS);
    } while (r < 0 && errno == EINTR);
    return r > 0;
}

// A TCP socket bound to 127.0.0.1 on a free port; sets *port.
int bound_socket(int* port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        throw std::runtime_error("socket failed");
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0 ||
        getsockname(fd, reinterpret_cast<struct sockaddr*>(&addr), &len) != 0) {
        ::close(fd);
        throw std::runtime_error("bind failed");
    }
    *port = ntohs(addr.sin_port);
    return fd;
}

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
    bool write(const std::string& data) {
        if (tls_)
            return tls_->write(data);
        size_t done = 0;
        while (done < data.size()) {
            ssize_t n = ::send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }
    // One line, line feed included; false on end of stream, failure or
    // time-out (a partial line is still appended to *out).
    bool read_line(std::string* out) {
        if (tls_) {
            std::string l = tls_->read_line();
            out->append(l);
            return !l.empty() && l[l.size() - 1] == '\n';
        }
        for (;;) {
            if (!readable(fd_))
                return false;
            char c;
            ssize_t n = ::read(fd_, &c, 1);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
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
    listen_fd_ = bound_socket(&port_);
    if (listen(listen_fd_, 1) != 0) {
        ::close(listen_fd_);
        throw std::runtime_error("listen failed");
    }
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
    if (!readable(listen_fd_)) {
        error_ = "no connection";
        return;
    }
    int fd = ::accept(listen_fd_, nullptr, nullptr);
    if (fd < 0) {
        error_ = "accept failed";
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

int refused_port() {
    int port = 0;
    int fd = bound_socket(&port);
    ::close(fd);
    return port;
}
