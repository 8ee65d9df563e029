// travine-send's messages: addresses as people write them, the composed
// message, and a complete message prepared as sendmail sends it.
#include "message.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "exception.h"
#include "mailmessage.h"

namespace travine_cli {

namespace {

// The parts of text at the separators in seps that stand outside quotes,
// comments and angle brackets; comments are dropped, quotes kept. With
// groups, what precedes a ':' there is dropped too (a group's name).
std::vector<std::string> split_outside(const std::string& text, const char* seps, bool groups) {
    std::vector<std::string> parts(1);
    bool quoted = false, angled = false;
    int comment = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if ((quoted || comment > 0) && c == '\\' && i + 1 < text.size()) {
            if (comment == 0)
                parts.back() += text.substr(i, 2);
            ++i;
        } else if (comment > 0) {
            comment += c == '(' ? 1 : c == ')' ? -1 : 0;
        } else if (quoted) {
            quoted = c != '"';
            parts.back() += c;
        } else if (c == '(' && !angled) {
            comment = 1;
        } else if (!angled && c != '\0' && std::strchr(seps, c) != nullptr) {
            parts.emplace_back();
        } else if (groups && !angled && c == ':') {
            parts.back().clear();
        } else {
            quoted = c == '"';
            angled = c == '<' || (angled && c != '>');
            parts.back() += c;
        }
    }
    return parts;
}

// What an address may be: what MailMessage takes and the envelope can carry.
bool valid_address(const std::string& a) {
    return !a.empty() && std::all_of(a.begin(), a.end(), [](unsigned char c) {
        return c > ' ' && c < 0x7f && std::strchr("<>(),;:\"\\", c) == nullptr;
    });
}

// The lines of s, split at LF, CR LF or a lone CR; a final line end adds no
// empty line.
std::vector<std::string> lines_of(const std::string& s) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\r' || s[i] == '\n') {
            lines.push_back(s.substr(start, i - start));
            i += s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n';
            start = i + 1;
        }
    }
    if (start < s.size())
        lines.push_back(s.substr(start));
    return lines;
}

// A header field's first line: a name of printable ASCII without ':', then ':'.
bool starts_field(const std::string& line) {
    const size_t colon = line.find(':');
    return colon != std::string::npos && colon > 0 &&
           std::all_of(line.begin(), line.begin() + long(colon),
                       [](unsigned char c) { return c > ' ' && c < 0x7f; });
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; });
    return s;
}

// A media type by the end of a file name.
std::string media_type(const std::string& file) {
    static const char* const TYPES[][2] = {
        {".txt", "text/plain"},      {".log", "text/plain"},        {".csv", "text/csv"},
        {".html", "text/html"},      {".patch", "text/x-diff"},     {".diff", "text/x-diff"},
        {".pdf", "application/pdf"}, {".json", "application/json"}, {".zip", "application/zip"},
        {".gz", "application/gzip"}, {".png", "image/png"},         {".jpg", "image/jpeg"},
        {".jpeg", "image/jpeg"},     {".gif", "image/gif"},
    };
    const std::string name = lower(file);
    for (const auto& t : TYPES) {
        const size_t n = std::strlen(t[0]);
        if (name.size() > n && name.compare(name.size() - n, n, t[0]) == 0)
            return t[1];
    }
    return "application/octet-stream";
}

// Runs step, turning a refusal of the message into one that names what.
template <class F>
void refusing(const std::string& what, F step) {
    try {
        step();
    } catch (const DecodeException& e) {
        throw usage_error(what + ": " + e.msg);
    } catch (const IOException& e) {
        throw CliError{EXIT_NOINPUT,
                       "cannot read " + what + ": " + e.msg.substr(e.msg.rfind(": ") + 2)};
    }
}

}  // namespace

std::string trimmed(const std::string& s) {
    const size_t begin = s.find_first_not_of(" \t\r");
    return begin == std::string::npos ? ""
                                      : s.substr(begin, s.find_last_not_of(" \t\r") + 1 - begin);
}

Mailbox parse_mailbox(const std::string& text) {
    const std::string t = trimmed(split_outside(text, "", false)[0]);
    const size_t open = t.find('<');
    Mailbox m;
    if (open == std::string::npos || t.back() != '>') {
        m.address = t;
        return m;
    }
    m.address = trimmed(t.substr(open + 1, t.size() - open - 2));
    for (size_t i = 0, quoted = 0; i < open; ++i) {
        if (t[i] == '"')
            quoted ^= 1;
        else
            m.name += t[i] == '\\' && quoted && i + 1 < open ? t[++i] : t[i];
    }
    m.name = trimmed(m.name);
    return m;
}

std::vector<std::string> address_list(const std::string& value) {
    std::vector<std::string> out;
    for (const std::string& part : split_outside(value, ",;", true)) {
        const std::string a = parse_mailbox(part).address;
        if (!a.empty())
            out.push_back(a);
    }
    return out;
}

void check_mailbox(const std::string& option, const std::string& text) {
    const Mailbox m = parse_mailbox(text);
    if (text.empty())
        throw usage_error(option + ": empty address");
    if (!valid_address(m.address) || m.name.find_first_of(std::string("\r\n\0", 3)) != m.name.npos)
        throw usage_error(option + ": '" + text +
                          "' is not an address (jo@example.org or 'Jo <jo@example.org>')");
}

Outgoing compose(const Options& o) {
    MailMessage m;
    const Mailbox from = parse_mailbox(o.from);
    refusing("--from", [&] { m.setFrom(from.address, from.name); });
    if (!o.reply_to.empty()) {
        const Mailbox r = parse_mailbox(o.reply_to);
        refusing("--reply-to", [&] { m.setReplyTo(r.address, r.name); });
    }
    for (const std::string& to : o.to) {
        const Mailbox r = parse_mailbox(to);
        refusing("--to", [&] { m.addTo(r.address, r.name); });
    }
    for (const std::string& cc : o.cc) {
        const Mailbox r = parse_mailbox(cc);
        refusing("--cc", [&] { m.addCc(r.address, r.name); });
    }
    for (const std::string& bcc : o.bcc)
        refusing("--bcc", [&] { m.addBcc(parse_mailbox(bcc).address); });
    if (o.subject_given)
        refusing("--subject", [&] { m.setSubject(o.subject); });
    for (const std::string& h : o.headers) {
        const size_t colon = h.find(':');
        if (colon == std::string::npos)
            throw usage_error("--header: '" + h + "' is not 'Name: value'");
        const std::string value = h.substr(std::min(h.find_first_not_of(' ', colon + 1), h.size()));
        refusing("--header '" + h + "'", [&] { m.addHeader(h.substr(0, colon), value); });
    }
    m.setBody(o.body);
    for (const std::string& attachment : o.attachments) {
        const size_t comma = attachment.rfind(',');
        const bool typed =
            comma != std::string::npos && attachment.find('/', comma) != std::string::npos;
        const std::string file = typed ? attachment.substr(0, comma) : attachment;
        refusing("attachment '" + file + "'", [&] {
            m.attachFile(file, typed ? attachment.substr(comma + 1) : media_type(file));
        });
    }
    Outgoing out{from.address, m.recipients(), {}};
    const std::string id = m.messageId();
    for (unsigned long i = 1; i <= o.count; ++i) {
        if (o.count > 1)
            m.setMessageId("<" + std::to_string(i) + "." + id.substr(1));
        out.texts.push_back(m.text());
    }
    return out;
}

std::string read_message(std::istream& in, bool dot_ends) {
    std::string text;
    if (!dot_ends) {
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } else {
        for (std::string line; std::getline(in, line);) {
            if (line == "." || line == ".\r")
                break;
            text += line + (in.eof() ? "" : "\n");
        }
    }
    if (in.bad())
        throw CliError{EXIT_NOINPUT, "cannot read the message from standard input"};
    return text;
}

Outgoing sendmail_message(const std::string& raw, const Options& o) {
    const std::vector<std::string> lines = lines_of(raw);
    size_t end = 0;  // the header: the fields and their continuation lines from the top
    while (end < lines.size() && (starts_field(lines[end]) ||
                                  (end > 0 && (lines[end][0] == ' ' || lines[end][0] == '\t'))))
        ++end;
    Outgoing out;
    std::vector<std::string> listed, header;
    std::string from_field;
    bool has_from = false, has_date = false, has_id = false;
    for (size_t i = 0; i < end;) {
        size_t next = i + 1;
        std::string value = lines[i].substr(lines[i].find(':') + 1);
        while (next < end && !starts_field(lines[next]))
            value += lines[next++];
        const std::string name = lower(lines[i].substr(0, lines[i].find(':')));
        if ((name == "to" || name == "cc" || name == "bcc") && o.from_headers) {
            for (const std::string& a : address_list(value))
                listed.push_back(a);
        }
        if (name == "from" && !has_from && !address_list(value).empty())
            from_field = address_list(value)[0];
        has_from = has_from || name == "from";
        has_date = has_date || name == "date";
        has_id = has_id || name == "message-id";
        if (name != "bcc")  // never sent, whoever lists the recipients
            header.insert(header.end(), lines.begin() + long(i), lines.begin() + long(next));
        i = next;
    }
    out.sender = o.from.empty() ? from_field : parse_mailbox(o.from).address;
    if (out.sender.empty()) {
        throw usage_error(
            "no sender: give -f ADDRESS, put 'from' in the account, or a From field in the "
            "message");
    }
    check_mailbox("the sender", out.sender);
    std::vector<std::string> rcpts = o.operands;
    rcpts.insert(rcpts.end(), o.to.begin(), o.to.end());
    rcpts.insert(rcpts.end(), listed.begin(), listed.end());
    for (const std::string& r : rcpts) {
        check_mailbox("recipient", r);
        const std::string a = parse_mailbox(r).address;
        if (std::find(out.rcpts.begin(), out.rcpts.end(), a) == out.rcpts.end())
            out.rcpts.push_back(a);
    }
    if (out.rcpts.empty()) {
        throw usage_error(
            "no recipients: name them as arguments, or take them from the To, Cc and Bcc "
            "fields with -t");
    }
    // The fields put in front come from MailMessage, -F's name encoded as
    // its From field needs.
    MailMessage m;
    refusing("-F", [&] { m.setFrom(out.sender, o.full_name); });
    const std::string made = m.text();
    std::vector<std::string> added;
    if (!has_from)
        added = lines_of(made.substr(0, made.find("\r\nDate: ")));
    if (!has_date)
        added.push_back("Date: " + m.date());
    if (!has_id)
        added.push_back("Message-ID: " + m.messageId());
    header.insert(header.begin(), added.begin(), added.end());
    if (end < lines.size() && !lines[end].empty())
        header.emplace_back();  // the body began without the blank line
    std::string joined;
    bool first = true;
    auto add = [&](const std::string& line) {
        joined += first ? "" : "\r\n";
        joined += line.empty() || line[0] != '.' ? line : "." + line;
        first = false;
    };
    std::for_each(header.begin(), header.end(), add);
    std::for_each(lines.begin() + long(end), lines.end(), add);
    out.texts.push_back(joined);
    return out;
}

}  // namespace travine_cli
