// Debian's aiosmtpd (tests/integration/smtpd_server.py) as a child process on
// 127.0.0.1, for tests that need a real SMTP server.
#ifndef TRAVINE_TEST_SMTPD_H
#define TRAVINE_TEST_SMTPD_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "support.h"

// Whether /usr/bin/python3 can import aiosmtpd (tests skip when it cannot).
bool aiosmtpd_available();

// The whole content of a file, empty when it cannot be read.
std::string slurp(const std::string& path);

// One message as the server stored it.
struct Stored {
    std::string from, rcpts, content, auth;
};

// The server, started with options (e.g. {"--mode", "starttls", ...}) and a
// fresh message directory; stopped (SIGTERM, then SIGKILL after 5 s) and
// reaped on destruction. ready() is false when it did not report its port
// within 10 seconds.
class Smtpd {
public:
    explicit Smtpd(std::vector<std::string> options);
    ~Smtpd();
    Smtpd(const Smtpd&) = delete;
    Smtpd& operator=(const Smtpd&) = delete;

    bool ready() const { return port_ > 0; }
    int port() const { return port_; }
    // Message number n (from 1) as stored, or empty fields.
    Stored message(int n) const;
    bool has_message(int n) const;

private:
    TempDir dir_;
    pid_t pid_ = -1;
    int stdin_ = -1;
    int port_ = 0;
};

#endif
