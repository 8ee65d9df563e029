// A soak run: ROUNDS calls of email() against a local aiosmtpd, each beside a
// UnixSocket child run to its end. After a warm-up of a tenth of the rounds
// the process may gain no descriptor and no unreaped child, and (outside
// AddressSanitizer builds, whose quarantine keeps freed memory) at most
// 2 MiB of peak resident memory.
//
//   travine-soak [ROUNDS]    default 200
#include <sys/resource.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "emailwrap.h"
#include "smtpd.h"
#include "unixsocket.h"

namespace {

// The peak resident memory so far: it grows with any leak.
long rss_kib() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
    const long rounds = argc > 1 ? std::atol(argv[1]) : 200;
    Smtpd server({"--mode", "plain"});
    long failed = 0, fds = 0, rss = 0;
    for (long i = 0; i < rounds; ++i) {
        if (i == rounds / 10) {
            fds = open_descriptor_count();
            rss = rss_kib();
        }
        failed += email("soak@example.test", "sink@example.test", "soak", "body", "127.0.0.1", 0,
                        "", "", static_cast<u32>(server.port()), "", "", "") != 0;
        UnixSocket child(std::vector<std::string>{"true"});
        child.connect();
        siginfo_t info;  // ended, reaped by the destructor
        failed += ::waitid(P_PID, static_cast<id_t>(child.pid), &info, WEXITED | WNOWAIT) != 0;
    }
    long grown = rss_kib() - rss;
    const long zombies = ::waitpid(-1, nullptr, WNOHANG) > 0;
    std::printf("%ld rounds, %ld failed; descriptors %ld -> %d; peak RSS %+ld KiB; zombies %ld\n",
                rounds, failed, fds, open_descriptor_count(), grown, zombies);
#if defined(__SANITIZE_ADDRESS__)
    grown = 0;
#endif
    return failed + zombies + (open_descriptor_count() != fds) + (grown > 2048) == 0 ? 0 : 1;
}
