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

std::vector<std::pair<std::string, int>> g_log;

void keep(std::string text, int level) {
    g_log.emplace_back(std::move(text), level);
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

std::vector<std::string> logged(int level) {
    std::string all;
    for (const auto& piece : g_log)
        all += level == -1 || piece.second == level ? piece.first : "";
    std::vector<std::string> lines;
    for (size_t start = 0, end; start < all.size(); start = end + 1) {
        end = std::min(all.find('\n', start), all.size());
        lines.push_back(all.substr(start, end - start));
    }
    return lines;
}

void adopt(SMTP& session, int fd) {
    delete session.socket;
    session.socket = new AdoptedSocket(fd);
    session.socket->setParentLogger(&session);
}
