// travine-send's inputs: the body, the password file and the CA locations
// that the command line names.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iterator>

#include "options.h"

namespace travine_cli {

namespace {

CliError noinput(const std::string& what, const std::string& path, int err) {
    return CliError{EXIT_NOINPUT, "cannot read " + what + " '" + path + "': " + std::strerror(err)};
}

// All of the file at path; refuses one that cannot be read.
std::string read_file(const std::string& what, const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw noinput(what, path, errno);
    std::string text;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            int err = errno;
            ::close(fd);
            if (n < 0)
                throw noinput(what, path, err);
            return text;
        }
        text.append(buf, static_cast<size_t>(n));
    }
}

// Refuses a CA file that is not a readable file, or a CA directory that is
// not a readable, searchable directory.
void check_ca(const char* option, const std::string& path, bool dir) {
    if (path.empty())
        return;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        throw noinput(option, path, errno);
    const bool is_dir = S_ISDIR(st.st_mode);
    if (is_dir != dir)
        throw noinput(option, path, dir ? ENOTDIR : EISDIR);
    if (::access(path.c_str(), dir ? R_OK | X_OK : R_OK) != 0)
        throw noinput(option, path, errno);
}

}  // namespace

void load_inputs(Options& o, std::istream& in) {
    check_ca("--cafile", o.cafile, false);
    check_ca("--capath", o.capath, true);
    if (!o.password_file.empty()) {
        const std::string text = read_file("password file", o.password_file);
        std::string line = text.substr(0, text.find('\n'));
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty()) {
            throw CliError{EXIT_NOINPUT,
                           "password file '" + o.password_file + "' holds no password"};
        }
        o.password = line;
        o.password_given = true;
    }
    if (o.body_given)
        return;
    if (!o.body_file.empty() && o.body_file != "-") {
        o.body = read_file("body file", o.body_file);
    } else {
        o.body.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (in.bad())
            throw CliError{EXIT_NOINPUT, "cannot read the body from standard input"};
    }
    o.body_given = true;
}

}  // namespace travine_cli
