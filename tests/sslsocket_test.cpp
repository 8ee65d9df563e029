// The TLS layer where a dialogue scenario (tests/scenarios/) cannot reach:
// retries while OpenSSL wants more I/O, and CA locations that exist but
// cannot be read.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "exception.h"
#include "inetsocket.h"
#include "support.h"
#include "tls_peer.h"

TEST(SSLRetry, HandshakeReadAndWriteRetryWhileTheyWantMoreIO) {
    // A descriptor that does not block makes every wait a want-read or,
    // with a small send buffer, a want-write outcome.
    const std::string big(256 * 1024, 'x');
    SocketPair pair;
    Peer peer({{'P', "100"},
               {'T', ""},
               {'P', "100"},
               {'S', "220 late\r\n"},
               {'P', "100"},
               {'C', big},
               {'X', ""}},
              pair.peer());
    InetSocket s(pair.release_client(), "peer", 25);
    const int small = 4096;
    ASSERT_EQ(setsockopt(s.sockfd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    ASSERT_EQ(fcntl(s.sockfd, F_SETFL, O_NONBLOCK), 0);
    s.setSSLOpts(SSLSocket::VERIFY_NONE);
    capture_log(s, Logger::ERROR);
    s.negotiate();
    EXPECT_EQ(s.readSocket(), "220 late\r");
    s.writeSocket(big);
    peer.join();
    EXPECT_TRUE(peer.received == big) << peer.received.size() << " bytes";
    // Notices of the handshake, then of the read, then of the write.
    std::vector<std::string> calls;
    for (const std::string& line : logged()) {
        const size_t at = line.find("()");
        EXPECT_EQ(line.substr(at), "() operation did not complete. I try it again.");
        if (calls.empty() || calls.back() != line.substr(0, at))
            calls.push_back(line.substr(0, at));
    }
    EXPECT_EQ(calls, (std::vector<std::string>{"SSL_connect", "SSL_read", "SSL_write"}));
}

TEST(SSLCaLocation, UnreadableFileOrDirectoryFailsBeforeTheHandshake) {
    // access() lets root read anything: the checks run in a child that is
    // not root or has given root up.
    TempDir tmp;
    ASSERT_EQ(chmod(tmp.path().c_str(), 0755), 0);
    const std::string file = tmp.file("locked.pem"), dir = tmp.file("locked");
    std::ofstream(file) << "not read\n";
    ASSERT_EQ(chmod(file.c_str(), 0), 0);
    ASSERT_EQ(mkdir(dir.c_str(), 0), 0);
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(4);
        int failed = 0;
        for (int i = 0; i < 2; ++i) {
            SocketPair pair;
            pair.close_peer();  // a handshake, which must not come, fails at once
            InetSocket s(pair.release_client(), "peer", 25);
            s.setVerifyLocations(i == 0 ? file : "", i == 0 ? "" : dir);
            try {
                s.negotiate();
            } catch (const IOException& e) {
                if (e.msg == (i == 0 ? file : dir) + " is not readable." &&
                    e.method == "SSLSocket::negotiate()" && e.index == 8u + 2 * i)
                    continue;
            } catch (...) {
            }
            failed |= 1 << i;
        }
        _exit(failed);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0) << "1: the file, 2: the directory, 4: root could not be given up";
}
