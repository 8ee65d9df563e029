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
    Peer peer({{'P', "100"}, {'T', ""}, {'P', "100"}, {'S', "220 late\r\n"}, {'P', "100"}},
              pair.peer());
    {
        InetSocket s(pair.release_client(), "peer", 25);
        const int small = 4096;
        ASSERT_EQ(setsockopt(s.sockfd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
        ASSERT_EQ(fcntl(s.sockfd, F_SETFL, O_NONBLOCK), 0);
        s.setSSLOpts(SSLSocket::VERIFY_NONE);
        capture_log(s, Logger::ERROR);
        s.negotiate();
        EXPECT_EQ(s.readSocket(), "220 late\r");
        s.writeSocket("");  // no record, as no write in clear
        s.writeSocket(big);
    }
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
    TempDir tmp;
    ASSERT_EQ(chmod(tmp.path().c_str(), 0755), 0);
    const std::string file = tmp.file("locked.pem"), dir = tmp.file("locked");
    std::ofstream(file) << "not read\n";
    ASSERT_EQ(chmod(file.c_str(), 0), 0);
    ASSERT_EQ(mkdir(dir.c_str(), 0), 0);
    // access() lets a real user id of root read anything: root gives it up
    // meanwhile and keeps root as the saved one to come back.
    const bool root = getuid() == 0;
    ASSERT_TRUE(!root || setresuid(65534, 65534, 0) == 0);
    for (const std::string& path : {file, dir}) {
        InetSocket s(open("/dev/null", O_RDWR), "peer", 25);  // a handshake would fail at once
        s.setVerifyLocations(path == file ? file : "", path == dir ? dir : "");
        const IOException e = thrown<IOException>([&] { s.negotiate(); });
        EXPECT_EQ(e.msg + "|" + e.method + "|" + std::to_string(e.index),
                  path + " is not readable.|SSLSocket::negotiate()|" + (path == file ? "8" : "10"));
    }
    EXPECT_TRUE(!root || setresuid(0, 0, 0) == 0);
}
