// travine-send's accounts, read from a config file.
#include "config.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "message.h"  // trimmed()
#include "options.h"

namespace travine_cli {

namespace {

CliError config_error(const std::string& text) {
    return CliError{EXIT_CONFIG, text};
}

struct File {
    std::string default_account;
    std::vector<Account> accounts;
    bool holds_password = false;
    mode_t mode = 0;
};

struct CloseFile {
    void operator()(FILE* f) const { std::fclose(f); }
};

// Reads and parses path into *f; false when there is no such file.
bool read_config(const std::string& path, File* f) {
    std::unique_ptr<FILE, CloseFile> in(std::fopen(path.c_str(), "re"));
    struct stat st;
    if (in == nullptr && errno == ENOENT)
        return false;
    if (in == nullptr || ::fstat(fileno(in.get()), &st) != 0 || !S_ISREG(st.st_mode)) {
        throw config_error("cannot read config file '" + path +
                           "': " + std::strerror(in == nullptr ? errno : EISDIR));
    }
    f->mode = st.st_mode;
    char buf[4096];
    std::string line;
    for (int n = 1; std::fgets(buf, sizeof buf, in.get()) != nullptr;) {
        line += buf;
        if (line.back() != '\n' && !std::feof(in.get()))
            continue;
        const std::string t = trimmed(line.substr(0, line.find('\n')));
        const std::string where = path + ":" + std::to_string(n++) + ": ";
        line.clear();
        if (t.empty() || t[0] == '#')
            continue;
        if (t[0] == '[') {
            const std::string name = trimmed(t.substr(1, t.size() - 2));
            if (t.back() != ']' || name.empty())
                throw config_error(where + "an account starts with a line '[NAME]'");
            for (const Account& a : f->accounts) {
                if (a.name == name)
                    throw config_error(where + "account '" + name + "' comes twice");
            }
            f->accounts.push_back(Account{name, path, {}});
            continue;
        }
        const size_t eq = t.find('=');
        const std::string key = trimmed(t.substr(0, eq));
        if (eq == std::string::npos || key.empty())
            throw config_error(where + "expected 'key = value' or '[NAME]'");
        const std::string value = trimmed(t.substr(eq + 1));
        if (!f->accounts.empty()) {
            f->accounts.back().entries.push_back(Account::Entry{key, value, n - 1});
            f->holds_password = f->holds_password || key == "password";
        } else if (key == "default") {
            f->default_account = value;
        } else {
            throw config_error(where + "'" + key + "' before the first account ('[NAME]')");
        }
    }
    if (std::ferror(in.get()))
        throw config_error("cannot read config file '" + path + "': " + std::strerror(errno));
    return true;
}

}  // namespace

bool find_account(const std::vector<std::string>& files, const std::string& name, Account* out) {
    std::string searched;
    for (const std::string& path : files) {
        File f;
        if (!read_config(path, &f))
            continue;
        searched += (searched.empty() ? "'" : " or '") + path + "'";
        const std::string wanted = name.empty() ? f.default_account : name;
        if (wanted.empty())
            continue;
        for (const Account& a : f.accounts) {
            if (a.name != wanted)
                continue;
            if (f.holds_password && (f.mode & S_IROTH) != 0) {
                char mode[8];
                std::snprintf(mode, sizeof mode, "%04o", unsigned(f.mode & 07777));
                throw config_error("config file '" + path + "' holds a password, and other " +
                                   "users can read it (mode " + mode +
                                   "); refused. Make it private: chmod 600 '" + path + "'");
            }
            *out = a;
            return true;
        }
        if (name.empty()) {
            throw config_error(path + ": the default account '" + wanted + "' is not in this file");
        }
    }
    if (name.empty())
        return false;
    throw config_error("no account '" + name + "'" +
                       (searched.empty() ? " (no config file found)" : " in " + searched));
}

}  // namespace travine_cli
