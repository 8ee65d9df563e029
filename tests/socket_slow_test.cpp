// The read time-out waited out for real (about 50 seconds).
#include <chrono>
#include <string>
#include <thread>

#include "exception.h"
#include "inetsocket.h"
#include "support.h"

TEST(SocketTimeout, BoundsTheSilenceBeforeEachByte) {
    // A byte after 20 seconds restarts the wait; 30 seconds of silence then
    // end the read, and the byte is lost with the line.
    SocketPair pair;
    InetSocket s(pair.release_client(), "peer", 25);
    std::thread peer([&] {
        std::this_thread::sleep_for(std::chrono::seconds(20));
        pair.send("2");
    });
    const auto start = std::chrono::steady_clock::now();
    auto e = thrown<TransferException>([&] { s.readSocket(); });
    const auto waited = std::chrono::steady_clock::now() - start;
    peer.join();
    EXPECT_EQ(e.msg + "|" + e.method + "|" + std::to_string(e.index),
              "Socket timeout.|Socket::readSocket()|2");
    EXPECT_GE(waited, std::chrono::seconds(Socket::READ_TIMEOUT + 15));
    EXPECT_LT(waited, std::chrono::seconds(Socket::READ_TIMEOUT + 40));
    pair.send("\n");
    EXPECT_EQ(s.readSocket(), "");
}
