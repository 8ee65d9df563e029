// Reading the scenario files (their format: scenarios_test.cpp), shared
// with the fuzz replay, which takes what a scenario's server sends as a seed.
#ifndef TRAVINE_TEST_SCENARIO_TEXT_H
#define TRAVINE_TEST_SCENARIO_TEXT_H

#include <fstream>
#include <string>
#include <vector>

// BYTES as a scenario writes them; with line false nothing is appended.
inline std::string bytes(const std::string& raw, bool line = false) {
    std::string out;
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '\\') {
            out += raw[i];
        } else if (++i == raw.size()) {
            line = false;  // a lone \ at the end
        } else if (raw[i] == 'x') {
            out += static_cast<char>(std::stoi(raw.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            const size_t e = std::string("rnt0").find(raw[i]);
            out += e == std::string::npos ? raw[i] : "\r\n\t"[e];  // [3]: the NUL
            line = line && !(raw[i] == 'n' && i + 1 == raw.size());
        }
    }
    return line ? out + "\r\n" : out;
}

// The lines of the scenario file at path, with the EHLO, HELO and QUIT
// steps written out as the S: and C: lines they stand for.
inline std::vector<std::string> scenario_lines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    bool email = false;
    for (std::string line; std::getline(in, line);) {
        const std::string key = line.substr(0, line.find(' '));
        email = email || key == "email";
        if (key == "EHLO" || key == "HELO") {
            lines.push_back("S: 220 mx.example.test ESMTP");
            lines.push_back("C: " + key + (email ? " localhost" : " client.test"));
            if (line.size() > 5)
                lines.push_back("S: " + line.substr(5));
        } else if (line == "QUIT") {
            lines.insert(lines.end(), {"C: QUIT", "S: 221 bye"});
        } else {
            lines.push_back(line);
        }
    }
    return lines;
}

#endif
