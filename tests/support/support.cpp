#include "support.h"

#include <dirent.h>

#include "smtp.h"
#include "sslsocket.h"

int open_descriptor_count() {
    int count = -3;  // ".", ".." and the directory stream itself
    DIR* d = opendir("/proc/self/fd");
    while (d != nullptr && readdir(d) != nullptr)
        ++count;
    if (d != nullptr)
        closedir(d);
    return count;
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
    for (size_t start = 0, end; start < g_log.size(); start = end + 1) {
        end = std::min(g_log.find('\n', start), g_log.size());
        lines.push_back(g_log.substr(start, end - start));
    }
    return lines;
}

void adopt(SMTP& session, int fd) {
    delete session.socket;
    session.socket = new AdoptedSocket(fd);
    session.socket->setParentLogger(&session);
}
