// Helpers shared by the tests. The scripted peer and the test PKI are in
// tls_peer.h, aiosmtpd as a child process in smtpd.h. Here:
//
//   thrown<E>(f)             runs f, which must throw E; returns the object caught
//   SocketPair               a connected AF_UNIX stream pair: release_client() for
//                            the code under test, peer() for the test; send()
//                            writes all to the peer end
//   TempDir                  a fresh directory under /tmp, removed with its contents
//   open_descriptor_count()  the descriptors this process holds
//   capture_log(log, v)      routes log's output up to verbosity v into one store
//                            (and empties it); logged() reads the store back as
//                            lines, line feeds dropped
//   adopt(session, fd)       gives session a transport over fd whose connect()
//                            does nothing; the transport owns fd
#ifndef TRAVINE_TEST_SUPPORT_H
#define TRAVINE_TEST_SUPPORT_H

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "exception.h"
#include "logger.h"

class SMTP;

// Records a test failure (and returns an object with index 0) when f throws
// nothing or something else.
template <class E>
E thrown(const std::function<void()>& f) {
    try {
        f();
        ADD_FAILURE() << "nothing was thrown";
    } catch (const E& e) {
        return e;
    } catch (const Exception& e) {
        ADD_FAILURE() << "threw " << e.name << " (" << e.method << " " << e.index << ": " << e.msg
                      << ") instead";
    } catch (...) {
        ADD_FAILURE() << "threw something outside the Exception family";
    }
    return E("", "", 0);
}

class SocketPair {
public:
    SocketPair() {
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds_) != 0)
            throw std::runtime_error("socketpair failed");
    }
    ~SocketPair() {
        for (int fd : fds_)
            fd != -1 && close(fd);
    }
    SocketPair(const SocketPair&) = delete;
    SocketPair& operator=(const SocketPair&) = delete;
    int peer() const { return fds_[1]; }
    int release_client() { return std::exchange(fds_[0], -1); }
    void send(const std::string& data) {
        if (::send(fds_[1], data.data(), data.size(), MSG_NOSIGNAL) != ssize_t(data.size()))
            throw std::runtime_error("writing to the peer end failed");
    }

private:
    int fds_[2];
};

class TempDir {
public:
    TempDir() : path_("/tmp/travine-test-XXXXXX") {
        if (mkdtemp(&path_[0]) == nullptr)
            throw std::runtime_error("mkdtemp failed");
    }
    ~TempDir() { (void)!system(("rm -rf '" + path_ + "'").c_str()); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

int open_descriptor_count();
void capture_log(Logger& log, Logger::VERBOSITY verbosity);
std::vector<std::string> logged();
void adopt(SMTP& session, int fd);

#endif
