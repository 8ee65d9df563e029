#include "support.h"

#include <filesystem>
#include <sstream>

#include "smtp.h"
#include "sslsocket.h"

int open_descriptor_count() {
    const std::filesystem::directory_iterator fds("/proc/self/fd");
    return int(std::distance(begin(fds), end(fds))) - 1;  // less the iterator's own
}

namespace {

std::string g_log;

void keep(std::string text, int) {
    g_log += text;
}

class AdoptedSocket : public SSLSocket {
public:
    explicit AdoptedSocket(int fd) : SSLSocket("peer", fd) {}
    void connect() override {}
};

}  // namespace

void capture_log(Logger& log, Logger::VERBOSITY verbosity) {
    g_log.clear();
    log.setVerbosity(verbosity);
    log.setCallBackFunction(keep);
}

std::vector<std::string> logged() {
    std::vector<std::string> lines;
    std::istringstream in(g_log);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

void adopt(SMTP& session, int fd) {
    delete session.socket;
    session.socket = new AdoptedSocket(fd);
    session.socket->setParentLogger(&session);
}
