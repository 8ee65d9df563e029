// Debian's aiosmtpd (tests/integration/smtpd_server.py) as a child process on
// 127.0.0.1, for tests that need a real SMTP server:
//   Smtpd server(options)  started with options such as {"--mode", "starttls",
//                          "--cert", ..., "--key", ..., "--auth", "user:password"};
//                          ready() once it has told its port (within 10 s;
//                          never without aiosmtpd: scripts/setup-deps.sh);
//                          stopped on destruction
//   server.message(n)      message n (from 1) as stored, or empty fields
//   slurp(path)            a file's whole content, empty when unreadable
#ifndef TRAVINE_TEST_SMTPD_H
#define TRAVINE_TEST_SMTPD_H

#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support.h"

std::string slurp(const std::string& path);

struct Stored {
    std::string from, rcpts, content, auth;
};

class Smtpd {
public:
    explicit Smtpd(const std::vector<std::string>& options);
    ~Smtpd();
    bool ready() const { return port_ > 0; }
    int port() const { return port_; }
    Stored message(int n) const;
    bool has_message(int n) const {
        return access(dir_.file(std::to_string(n)).c_str(), F_OK) == 0;
    }

private:
    TempDir dir_;  // not copyable, and so neither is the server
    FILE* server_;
    int port_ = 0;
};

#endif
