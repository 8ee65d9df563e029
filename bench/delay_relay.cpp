// A relay on 127.0.0.1 that holds every chunk it receives for DELAY_MS
// before passing it on, in each direction: a round trip of twice DELAY_MS
// between a client and a sink, as to a mail server in a near-by data centre.
// Each accepted connection gets its own connection to the target.
//   delay_relay LISTEN_PORT TARGET_PORT DELAY_MS MAX_SECONDS
// It ends by itself after MAX_SECONDS (or on SIGTERM).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "bench_util.h"

namespace {

using Clock = std::chrono::steady_clock;

// Closes both descriptors once both directions are done with them.
struct Pair {
    int a, b;
    ~Pair() {
        close(a);
        close(b);
    }
};

// One direction: a reader that stamps each chunk with the time it is due,
// and a writer that sends it then; an empty chunk stands for the end.
void direction(std::shared_ptr<Pair> pair, int from, int to, Clock::duration delay) {
    std::mutex m;
    std::condition_variable ready;
    std::deque<std::pair<Clock::time_point, std::string>> queue;
    std::thread writer([&, pair] {
        for (;;) {
            std::unique_lock<std::mutex> lock(m);
            ready.wait(lock, [&] { return !queue.empty(); });
            auto chunk = std::move(queue.front());
            queue.pop_front();
            lock.unlock();
            std::this_thread::sleep_until(chunk.first);
            if (chunk.second.empty()) {
                shutdown(to, SHUT_WR);
                return;
            }
            for (size_t off = 0; off < chunk.second.size();) {
                ssize_t n =
                    send(to, chunk.second.data() + off, chunk.second.size() - off, MSG_NOSIGNAL);
                if (n <= 0) {
                    shutdown(from, SHUT_RD);
                    return;
                }
                off += static_cast<size_t>(n);
            }
        }
    });
    char buf[65536];
    for (;;) {
        ssize_t n = recv(from, buf, sizeof buf, 0);
        std::lock_guard<std::mutex> lock(m);
        queue.emplace_back(Clock::now() + delay, n > 0 ? std::string(buf, size_t(n)) : "");
        ready.notify_one();
        if (n <= 0)
            break;
    }
    writer.join();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: delay_relay LISTEN_PORT TARGET_PORT DELAY_MS MAX_SECONDS\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    alarm(static_cast<unsigned>(std::atoi(argv[4])));
    const int target = std::atoi(argv[2]);
    const auto delay = std::chrono::milliseconds(std::atoi(argv[3]));
    const int lfd = bench_socket(std::atoi(argv[1]), 1);
    if (lfd == -1) {
        std::perror("delay_relay: listen");
        return 1;
    }
    for (;;) {
        int client = accept(lfd, nullptr, nullptr);
        if (client == -1)
            continue;
        int server = bench_socket(target, 0);
        if (server == -1) {
            close(client);
            continue;
        }
        int on = 1;  // chunks go on as they come, not held back further
        setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        std::shared_ptr<Pair> pair(new Pair{client, server});
        std::thread(direction, pair, client, server, delay).detach();
        std::thread(direction, pair, server, client, delay).detach();
    }
}
