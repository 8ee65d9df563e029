// travine-send's inputs: the body or the whole message, the password or
// token (a file, a command, a prompt) and the CA locations that the
// options name.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "message.h"
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

// The first line of text, without its line end.
std::string first_line(const std::string& text) {
    std::string line = text.substr(0, text.find('\n'));
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
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

// The output of command, run by /bin/sh with standard input from /dev/null
// (it is the message's); refuses a command that fails.
std::string run_command(const std::string& command) {
    FILE* out = ::popen(("exec </dev/null; " + command).c_str(), "re");
    if (out == nullptr)
        throw CliError{EXIT_NOINPUT,
                       "cannot run --password-command: " + std::string(std::strerror(errno))};
    std::string text;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, out)) > 0;)
        text.append(buf, n);
    const int status = ::pclose(out);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw CliError{EXIT_NOINPUT,
                       "--password-command '" + command + "' failed (" +
                           (WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                              : std::string("killed")) +
                           ")"};
    }
    return text;
}

// A line typed on the terminal without echo, after prompt; false when
// /dev/tty cannot be opened.
bool ask(const std::string& prompt, std::string* answer) {
    const int tty = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (tty < 0)
        return false;
    struct termios old, quiet;
    const bool raw = ::tcgetattr(tty, &old) == 0;
    quiet = old;
    quiet.c_lflag &= ~tcflag_t(ECHO);
    quiet.c_lflag |= ECHONL;
    if (raw)
        ::tcsetattr(tty, TCSAFLUSH, &quiet);
    (void)!::write(tty, prompt.data(), prompt.size());
    answer->clear();
    for (char c; ::read(tty, &c, 1) == 1 && c != '\n';)
        *answer += c;
    if (raw)
        ::tcsetattr(tty, TCSAFLUSH, &old);
    ::close(tty);
    return true;
}

// The password or token, from the first source the options give.
void load_secret(Options& o) {
    const bool token = o.auth == AuthMode::XOAUTH2 || o.auth == AuthMode::OAUTHBEARER;
    const std::string what = token ? "access token" : "password";
    if (!o.password_file.empty()) {
        o.password = first_line(read_file(what + " file", o.password_file));
        if (o.password.empty())
            throw CliError{EXIT_NOINPUT, what + " file '" + o.password_file + "' holds no " + what};
    } else if (!o.password_command.empty()) {
        o.password = first_line(run_command(o.password_command));
        if (o.password.empty())
            throw CliError{EXIT_NOINPUT,
                           "--password-command '" + o.password_command + "' printed no " + what};
    } else if (!o.password_given) {
        const std::string prompt =
            (token ? "Access token for " : "Password for ") + o.user + " at " + o.server + ": ";
        if (!o.prompt || !ask(prompt, &o.password)) {
            throw CliError{EXIT_USAGE, "--auth needs a " + what +
                                           ": --password-file FILE, --password-command CMD, "
                                           "TRAVINE_PASSWORD, or a terminal to ask on"};
        }
    }
    o.password_given = true;
}

}  // namespace

void load_inputs(Options& o, std::istream& in) {
    check_ca("--cafile", o.cafile, false);
    check_ca("--capath", o.capath, true);
    // The message first: a password command or prompt may want the terminal.
    if (o.sendmail) {
        o.body = read_message(in, o.dot_ends);
    } else if (!o.body_given && !o.body_file.empty() && o.body_file != "-") {
        o.body = read_file("body file", o.body_file);
    } else if (!o.body_given) {
        o.body.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (in.bad())
            throw CliError{EXIT_NOINPUT, "cannot read the body from standard input"};
    }
    o.body_given = true;
    if (o.auth != AuthMode::NONE)
        load_secret(o);
}

}  // namespace travine_cli
