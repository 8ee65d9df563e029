#include "smtpd.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

const char* const PYTHON = "/usr/bin/python3";

std::string script() {
    return std::string(TRAVINE_SOURCE_DIR) + "/tests/integration/smtpd_server.py";
}

}  // namespace

bool aiosmtpd_available() {
    static const bool available =
        access(PYTHON, X_OK) == 0 &&
        system("/usr/bin/python3 -c 'import aiosmtpd.controller' >/dev/null 2>&1") == 0;
    return available;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

Smtpd::Smtpd(std::vector<std::string> options) {
    options.insert(options.begin(), {PYTHON, script(), "--dir", dir_.path()});
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0)
        return;
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        return;
    }
    pid_ = fork();
    if (pid_ == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        std::vector<char*> argv;
        for (std::string& o : options)
            argv.push_back(&o[0]);
        argv.push_back(nullptr);
        execv(PYTHON, argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    stdin_ = in[1];
    // The server runs until its standard input closes; it prints its port,
    // on one line, when it is ready.
    std::string line;
    struct pollfd p = {out[0], POLLIN, 0};
    while (pid_ > 0 && line.find('\n') == std::string::npos && poll(&p, 1, 10000) > 0) {
        char buf[64];
        ssize_t n = read(out[0], buf, sizeof buf);
        if (n <= 0)
            break;
        line.append(buf, static_cast<size_t>(n));
    }
    close(out[0]);
    port_ = atoi(line.c_str());
}

Smtpd::~Smtpd() {
    if (stdin_ >= 0)
        close(stdin_);
    if (pid_ <= 0)
        return;
    kill(pid_, SIGTERM);
    for (int waited = 0; waited < 5000; waited += 20) {
        if (waitpid(pid_, nullptr, WNOHANG) == pid_)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
}

Stored Smtpd::message(int n) const {
    const std::string d = dir_.file(std::to_string(n));
    return {slurp(d + "/from"), slurp(d + "/rcpts"), slurp(d + "/content"), slurp(d + "/auth")};
}

bool Smtpd::has_message(int n) const {
    struct stat st;
    return stat(dir_.file(std::to_string(n)).c_str(), &st) == 0;
}
