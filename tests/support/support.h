// Helpers shared by the tests: catching a thrown Exception, socket pairs
// with a pre-loaded peer, temporary directories.
#ifndef TRAVINE_TEST_SUPPORT_H
#define TRAVINE_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "exception.h"

// Runs f, which must throw E; returns the caught object. Records a test
// failure (and returns an object with index 0) when f throws nothing or
// something else.
template <class E>
E thrown(const std::function<void()>& f) {
    try {
        f();
    } catch (const E& e) {
        return e;
    } catch (const Exception& e) {
        ADD_FAILURE() << "threw " << e.name << " (" << e.method << " " << e.index << ": "
                      << e.msg << ") instead";
        return E("", "", 0);
    } catch (...) {
        ADD_FAILURE() << "threw something outside the Exception family";
        return E("", "", 0);
    }
    ADD_FAILURE() << "nothing was thrown";
    return E("", "", 0);
}

// A connected AF_UNIX stream pair. client() is handed to the object under
// test (which then owns it: call release_client()); peer() is the test's end.
class SocketPair {
public:
    SocketPair();
    ~SocketPair();
    int client() const { return fds_[0]; }
    int peer() const { return fds_[1]; }
    // The client descriptor is now owned by someone else.
    int release_client();
    // Writes all of data to the peer end.
    void send(const std::string& data);
    // Closes the peer end (the client then reads end of stream).
    void close_peer();
    // Everything readable on the peer end right now, without waiting more
    // than timeout_ms for the first byte.
    std::string received(int timeout_ms = 0);

private:
    int fds_[2];
};

// A fresh directory under /tmp, removed with its contents on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Number of open descriptors of this process.
int open_descriptor_count();

#endif
