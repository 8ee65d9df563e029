// travine-send's message composition: header fields, the body as DATA
// text, and the whole text handed to the library.
#include "message.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <random>

#include "algorithm.h"

namespace travine_cli {

std::string rfc5322_date(const std::tm& tm, long offset) {
    static const char* const DAYS[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const MONTHS[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char sign = offset < 0 ? '-' : '+';
    long a = offset < 0 ? -offset : offset;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld",
                  DAYS[((tm.tm_wday % 7) + 7) % 7], tm.tm_mday,
                  MONTHS[((tm.tm_mon % 12) + 12) % 12], tm.tm_year + 1900, tm.tm_hour, tm.tm_min,
                  tm.tm_sec, sign, a / 60, a % 60);
    return buf;
}

std::string rfc5322_date(std::time_t t) {
    std::tm tm;
    localtime_r(&t, &tm);
    return rfc5322_date(tm, tm.tm_gmtoff / 60);
}

std::string make_message_id(const std::string& domain) {
    static std::atomic<unsigned long> counter{0};
    static std::mt19937_64 rng{std::random_device{}()};
    std::string right = domain.empty() ? "localhost" : domain;
    for (char& c : right) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '.' || c == '-';
        if (!ok)
            c = '-';
    }
    char buf[96];
    std::snprintf(buf, sizeof buf, "%lx.%lx.%lu.%016llx",
                  static_cast<unsigned long>(std::time(nullptr)),
                  static_cast<unsigned long>(::getpid()), counter.fetch_add(1),
                  static_cast<unsigned long long>(rng()));
    return "<" + std::string(buf) + "@" + right + ">";
}

std::string smtp_body(const std::string& body) {
    std::string out;
    out.reserve(body.size() + body.size() / 32 + 2);
    bool line_start = true;
    for (size_t i = 0; i < body.size(); ++i) {
        char c = body[i];
        if (c == '\r' || c == '\n') {
            if (c == '\r' && i + 1 < body.size() && body[i + 1] == '\n')
                ++i;
            out += "\r\n";
            line_start = true;
            continue;
        }
        if (line_start && c == '.')
            out += '.';
        out += c;
        line_start = false;
    }
    if (out.size() >= 2 && out.compare(out.size() - 2, 2, "\r\n") == 0)
        out.resize(out.size() - 2);
    return out;
}

std::string encode_subject(const std::string& subject) {
    bool ascii = true;
    for (unsigned char c : subject)
        ascii = ascii && c >= 0x20 && c < 0x7f;
    if (ascii) {
        // Fold long subjects before a blank; a continuation line starts
        // with that blank and never holds blanks alone.
        std::string out;
        size_t col = 9;  // "Subject: "
        size_t start = 0;
        while (start < subject.size()) {
            size_t sp = subject.find(' ', start + 1);
            std::string word =
                subject.substr(start, sp == std::string::npos ? std::string::npos : sp - start);
            if (word[0] == ' ' && word.size() > 1 && col > 9 && col + word.size() > 78) {
                out += "\r\n";
                col = 0;
            }
            out += word;
            col += word.size();
            if (sp == std::string::npos)
                break;
            start = sp;
        }
        return out;
    }
    // Encoded words of at most 39 bytes each (52 base64 characters), cut
    // only before the start of a UTF-8 character.
    std::string out;
    size_t i = 0;
    while (i < subject.size()) {
        size_t end = i + 39 < subject.size() ? i + 39 : subject.size();
        if (end < subject.size()) {
            size_t e = end;
            while (e > i && (static_cast<unsigned char>(subject[e]) & 0xC0) == 0x80)
                --e;
            if (e > i)
                end = e;
        }
        if (!out.empty())
            out += "\r\n ";
        out +=
            "=?UTF-8?B?" + Algorithm::encode(subject.substr(i, end - i), Algorithm::BASE64) + "?=";
        i = end;
    }
    return out;
}

std::string compose_message(const MessageParts& p) {
    std::string h = "From: " + p.from + "\r\n";
    std::string line = "To: ";
    h += "To: ";
    for (size_t i = 0; i < p.to.size(); ++i) {
        if (i > 0) {
            if (line.size() + 2 + p.to[i].size() > 78) {
                h += ",\r\n ";
                line = " ";
            } else {
                h += ", ";
                line += ", ";
            }
        }
        h += p.to[i];
        line += p.to[i];
    }
    h += "\r\n";
    h += "Subject: " + encode_subject(p.subject) + "\r\n";
    h += "Date: " + p.date + "\r\n";
    h += "Message-ID: " + p.message_id + "\r\n";
    h += "MIME-Version: 1.0\r\n";
    h += "Content-Type: text/plain; charset=UTF-8\r\n";
    h += "Content-Transfer-Encoding: 8bit\r\n";
    std::string body = smtp_body(p.body);
    if (body.empty())
        return h;
    return h + "\r\n" + body;
}

}  // namespace travine_cli
