// The read time-out waited out for real (about 50 seconds).
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "exception.h"
#include "socket.h"
#include "support.h"

namespace {

class PlainSocket : public Socket {
public:
    using Socket::Socket;
    void connect() override {}
};

}  // namespace

TEST(SocketTimeout, BoundsTheSilenceBeforeEachByte) {
    // One byte after 20 seconds restarts the wait; then silence ends the read
    // 30 seconds later, at about 50 seconds in all.
    SocketPair pair;
    PlainSocket s("peer", pair.release_client());
    std::thread peer([&] {
        std::this_thread::sleep_for(std::chrono::seconds(20));
        pair.send("2");
    });
    auto start = std::chrono::steady_clock::now();
    auto e = thrown<TransferException>([&] { s.readSocket(); });
    auto waited = std::chrono::steady_clock::now() - start;
    peer.join();
    EXPECT_EQ(e.msg, "Socket timeout.");
    EXPECT_EQ(e.method, "Socket::readSocket()");
    EXPECT_EQ(e.index, 2u);
    EXPECT_GE(waited, std::chrono::seconds(Socket::READ_TIMEOUT + 15));
    EXPECT_LT(waited, std::chrono::seconds(Socket::READ_TIMEOUT + 40));
    // The byte that arrived was consumed along with the lost line.
    pair.send("\n");
    EXPECT_EQ(s.readSocket(), "");
}
