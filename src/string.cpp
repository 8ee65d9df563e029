// Static text utilities: splitting, case mapping, space collapsing,
// wrapping and integer formatting.
#include "string.h"

#include <cstdio>

namespace {

// Splits str at every delim; a trailing delimiter adds no empty element.
std::vector<std::string> split(const std::string& str, char delim) {
    std::vector<std::string> result;
    std::string::size_type old_pos = 0;
    std::string::size_type pos = str.find(delim, old_pos);
    while (pos != std::string::npos) {
        result.push_back(str.substr(old_pos, pos - old_pos));
        old_pos = pos + 1;
        pos = str.find(delim, old_pos);
    }
    if (old_pos < str.size()) {
        result.push_back(str.substr(old_pos));
    }
    return result;
}

}  // namespace

std::string String::wrap(std::string str, u32 width) {
    const std::string::size_type none = std::string::npos;
    std::string::size_type last_space = none;
    u32 col = 0;
    for (std::string::size_type idx = 0; idx < str.size(); ++idx) {
        if (str[idx] == ' ') {
            last_space = idx;
        }
        ++col;
        if (col == width) {
            // The count restarts here, not at the break.
            if (last_space != none) {
                str[last_space] = '\n';
                last_space = none;
            }
            col = 0;
        }
        if (str[idx] == '\n') {
            col = 0;
            last_space = none;
        }
    }
    return str;
}

std::string String::to_lower(std::string str) {
    for (char& c : str) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return str;
}

std::string String::to_upper(std::string str) {
    for (char& c : str) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return str;
}

std::vector<std::string> String::string2lines(const std::string& str) {
    return split(str, '\n');
}

std::vector<std::string> String::string2tokens(const std::string& str) {
    return string2tokens(str, ' ');
}

std::vector<std::string> String::string2tokens(const std::string& str, char delim) {
    return split(str, delim);
}

std::string String::trim(std::string str) {
    // Every run of spaces becomes one space.
    std::string out;
    out.reserve(str.size());
    for (char c : str) {
        if (c != ' ' || out.empty() || out.back() != ' ') {
            out += c;
        }
    }
    if (!out.empty() && out.front() == ' ') {
        out.erase(0, 1);
    }
    if (!out.empty() && out.back() == ' ') {
        out.pop_back();
    }
    return out;
}

std::string String::itoa(int i) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%d", i);
    return buf;
}
