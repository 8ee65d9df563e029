// The descriptor BIO under the TLS connection.
#include "fd_bio.h"

#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/bio.h>

#include <algorithm>
#include <string>

#include "socket_timeout.h"
#include "wire.h"

namespace {

struct FdBioState {
    int fd;
    bool eof;
    const Socket* owner;
    bool timed_out;
    std::string queued{};  // read before fd
};

// The end of a wait that ran out: this and every later call fails.
int timed_out(FdBioState* st) {
    st->timed_out = true;
    errno = ETIMEDOUT;
    return -1;
}

bool retryable(int err) {
    return err == EINTR || err == EAGAIN || err == EWOULDBLOCK || err == EINPROGRESS ||
           err == EALREADY;
}

int fd_bio_write(BIO* bio, const char* buf, int len) {
    FdBioState* st = static_cast<FdBioState*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    if (st->timed_out)
        return timed_out(st);
    ssize_t n = wire::send_within(st->fd, buf, static_cast<size_t>(len), idle_wait_ms(*st->owner));
    if (n == wire::TIMED_OUT)
        return timed_out(st);
    if (n == -1 && retryable(errno))
        BIO_set_retry_write(bio);
    return static_cast<int>(n);
}

int fd_bio_read(BIO* bio, char* buf, int len) {
    if (buf == nullptr)
        return 0;
    FdBioState* st = static_cast<FdBioState*>(BIO_get_data(bio));
    if (!st->queued.empty()) {
        const size_t n = std::min(st->queued.size(), static_cast<size_t>(len));
        st->queued.copy(buf, n);
        st->queued.erase(0, n);
        BIO_clear_retry_flags(bio);
        return static_cast<int>(n);
    }
    BIO_clear_retry_flags(bio);
    if (st->timed_out)
        return timed_out(st);
    ssize_t n = wire::recv_within(st->fd, buf, static_cast<size_t>(len), idle_wait_ms(*st->owner));
    if (n == wire::TIMED_OUT)
        return timed_out(st);
    if (n == -1 && retryable(errno)) {
        BIO_set_retry_read(bio);
    } else if (n == 0) {
        st->eof = true;
    }
    return static_cast<int>(n);
}

long fd_bio_ctrl(BIO* bio, int cmd, long num, void* ptr) {
    (void)num;
    FdBioState* st = static_cast<FdBioState*>(BIO_get_data(bio));
    switch (cmd) {
        case BIO_C_GET_FD:
            if (st == nullptr)
                return -1;
            if (ptr != nullptr)
                *static_cast<int*>(ptr) = st->fd;
            return st->fd;
        case BIO_CTRL_EOF:
            return st != nullptr && st->eof ? 1 : 0;
        case BIO_CTRL_FLUSH:
        case BIO_CTRL_DUP:
            return 1;
        default:
            return 0;
    }
}

int fd_bio_destroy(BIO* bio) {
    delete static_cast<FdBioState*>(BIO_get_data(bio));
    BIO_set_data(bio, nullptr);
    BIO_set_init(bio, 0);
    return 1;
}

BIO_METHOD* make_fd_bio_method() {
    BIO_METHOD* method = BIO_meth_new(
        BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR, "travine descriptor");
    if (method == nullptr)
        return nullptr;
    BIO_meth_set_write(method, fd_bio_write);
    BIO_meth_set_read(method, fd_bio_read);
    BIO_meth_set_ctrl(method, fd_bio_ctrl);
    BIO_meth_set_destroy(method, fd_bio_destroy);
    return method;
}

}  // namespace

BIO* new_fd_bio(int fd, const Socket& owner) {
    static BIO_METHOD* method = make_fd_bio_method();
    if (method == nullptr)
        return nullptr;
    BIO* bio = BIO_new(method);
    if (bio == nullptr)
        return nullptr;
    BIO_set_data(bio, new FdBioState{fd, false, &owner, false, {}});
    BIO_set_init(bio, 1);
    return bio;
}

bool fd_bio_timed_out(BIO* bio) {
    FdBioState* st = bio != nullptr ? static_cast<FdBioState*>(BIO_get_data(bio)) : nullptr;
    return st != nullptr && st->timed_out;
}

void fd_bio_queue(BIO* bio, const std::string& bytes) {
    static_cast<FdBioState*>(BIO_get_data(bio))->queued.append(bytes);
}
