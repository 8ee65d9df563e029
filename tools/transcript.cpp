// travine-send's transcript filter and progress bar.
#include "transcript.h"

#include <cstring>

namespace travine_cli {

namespace {

// A server reply line: three digits, then the end, a blank or a '-'.
bool is_reply(const std::string& s) {
    if (s.size() < 3)
        return false;
    for (int i = 0; i < 3; ++i) {
        if (s[i] < '0' || s[i] > '9')
            return false;
    }
    return s.size() == 3 || s[3] == ' ' || s[3] == '-';
}

std::string upper(std::string s) {
    for (char& c : s)
        c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    return s;
}

}  // namespace

const char* const Transcript::MASK = "********";

std::vector<std::string> Transcript::add(const std::string& fragment) {
    pending_ += fragment;
    if (fragment.empty() || fragment.back() != '\n')
        return {};
    std::string entry;
    entry.swap(pending_);
    return finish(entry);
}

std::vector<std::string> Transcript::finish(const std::string& entry) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < entry.size()) {
        size_t nl = entry.find('\n', start);
        std::string l = entry.substr(start, nl - start);
        if (!l.empty() && l.back() == '\r')
            l.pop_back();
        lines.push_back(l);
        if (nl == std::string::npos)
            break;
        start = nl + 1;
    }
    if (lines.empty())
        return lines;

    const bool data_end = entry.size() >= 5 && entry.compare(entry.size() - 5, 5, "\r\n.\r\n") == 0;
    if (data_end) {
        data_sent_ = true;
        step_ = MESSAGE;
        return lines;
    }
    if (lines.size() != 1)
        return lines;

    std::string& line = lines[0];
    size_t sep = line.find(":\t");
    if (sep == std::string::npos)
        return lines;
    const std::string prefix = line.substr(0, sep + 2);
    const std::string content = line.substr(sep + 2);

    if (is_reply(content)) {
        bool last = content.size() == 3 || content[3] != '-';
        if (data_sent_ && last) {
            if (content.compare(0, 3, "250") == 0)
                ++accepted_;
            data_sent_ = false;
        }
        if (secret_lines_ > 0 && content.compare(0, 3, "334") != 0)
            secret_lines_ = 0;
    } else if (prefix != "SSLInfo:\t") {
        client_line(line, prefix, content);
    }
    return lines;
}

void Transcript::client_line(std::string& line, const std::string& prefix,
                             const std::string& content) {
    if (secret_lines_ > 0) {
        --secret_lines_;
        if (!show_secrets_)
            line = prefix + MASK;
        return;
    }
    const std::string verb = upper(content.substr(0, content.find(' ')));
    const Step steps[] = {HELLO, HELLO, STARTTLS, AUTH, MAIL, RCPT, DATA, QUIT};
    const char* const verbs[] = {"EHLO", "HELO", "STARTTLS", "AUTH",
                                 "MAIL", "RCPT", "DATA",     "QUIT"};
    for (size_t i = 0; i < sizeof steps / sizeof steps[0]; ++i)
        step_ = verb == verbs[i] ? steps[i] : step_;
    if (step_ == MAIL || step_ == RCPT) {
        const size_t open = content.find('<');
        address_ = content.substr(open + 1, content.rfind('>') - open - 1);
    }
    if (verb != "AUTH")
        return;
    // "AUTH MECHANISM [initial response]": the response is masked, and the
    // lines that answer the server's 334 carry the credentials: LOGIN the
    // user name and the password, the others one.
    const size_t mech = content.find(' ');
    const size_t initial = content.find(' ', mech + 1);
    const bool login = upper(content.substr(mech + 1, initial - mech - 1)) == "LOGIN";
    secret_lines_ = (login ? 2 : 1) - (initial == std::string::npos ? 0 : 1);
    if (initial != std::string::npos && !show_secrets_)
        line = prefix + content.substr(0, initial + 1) + MASK;
}

std::string progress_bar(unsigned long done, unsigned long total, int width) {
    if (width < 1)
        width = 1;
    if (done > total)
        done = total;
    unsigned long filled = total == 0 ? 0 : done * static_cast<unsigned long>(width) / total;
    std::string bar = "[" + std::string(filled, '#') +
                      std::string(static_cast<size_t>(width) - filled, '.') + "] ";
    std::string count = std::to_string(done) + "/" + std::to_string(total);
    std::string t = std::to_string(total);
    return bar + std::string(2 * t.size() + 1 - count.size(), ' ') + count;
}

}  // namespace travine_cli
