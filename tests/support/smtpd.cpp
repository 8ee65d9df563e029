#include "smtpd.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// The server runs until its standard input closes; it writes its port into
// the file "port" of its directory once it is ready.
Smtpd::Smtpd(const std::vector<std::string>& options) {
    std::string command = "exec /usr/bin/python3 '" TRAVINE_SOURCE_DIR
                          "/tests/integration/smtpd_server.py' --dir '" +
                          dir_.path() + "'";
    for (const std::string& o : options)
        command += " '" + o + "'";
    server_ = popen((command + " >/dev/null").c_str(), "we");
    for (int waited = 0; server_ != nullptr && port_ == 0 && waited < 10000; waited += 20) {
        usleep(20 * 1000);
        port_ = atoi(slurp(dir_.file("port")).c_str());
    }
}

Smtpd::~Smtpd() {
    if (server_ != nullptr)
        pclose(server_);
}

Stored Smtpd::message(int n) const {
    const std::string d = dir_.file(std::to_string(n)) + "/";
    return {slurp(d + "from"), slurp(d + "rcpts"), slurp(d + "content"), slurp(d + "auth")};
}
