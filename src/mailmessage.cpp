// Composition of a mail message as SMTP DATA text.
#include "mailmessage.h"

#include <fcntl.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "algorithm.h"
#include "exception.h"
#include "i18n.h"
#include "mime_codec.h"
#include "string.h"

namespace {

using mime_codec::encoded_words;
using mime_codec::field;
using mime_codec::hex;
using mime_codec::needs_encoding;
using mime_codec::printable;
using mime_codec::text_part;
using mime_codec::unstructured;
using mime_codec::WORD;

DecodeException refused(const char* text, const std::string& param, const char* method, u32 index) {
    return DecodeException(I18N::i18n("travine", text, param), method, index);
}

bool has_break(const std::string& s) {
    return s.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

std::string quoted(const std::string& s) {
    std::string q = "\"";
    for (char c : s)
        q += c == '"' || c == '\\' ? std::string("\\") + c : std::string(1, c);
    return q + "\"";
}

const std::string ALNUM = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";

// A display name as a phrase: atoms as they are, other ASCII quoted, the
// rest encoded.
std::string phrase(const std::string& name) {
    if (needs_encoding(name))
        return encoded_words(name, WORD);
    return name.find_first_not_of(ALNUM + "!#$%&'*+-/=?^_`{|}~ ") == std::string::npos
               ? name
               : quoted(name);
}

std::string mailboxes(const std::vector<MailMessage::Mailbox>& list) {
    std::string out;
    for (const MailMessage::Mailbox& m : list) {
        out += out.empty() ? "" : ", ";
        out += m.name.empty() ? m.address : phrase(m.name) + " <" + m.address + ">";
    }
    return out;
}

MailMessage::Mailbox checked(const std::string& address, const std::string& name,
                             const char* method) {
    if (address.empty() || !printable(address) ||
        address.find_first_of(" <>(),;:\"\\") != std::string::npos)
        throw refused("Invalid address: $0", address, method, 1);
    if (has_break(name))
        throw refused("Invalid display name.", "", method, 2);
    return MailMessage::Mailbox{address, name};
}

void check_attachment(const std::string& file_name, const std::string& type, const char* method) {
    if (file_name.empty() || file_name.size() > 255 || has_break(file_name))
        throw refused("Invalid file name.", "", method, 1);
    const std::string token = ALNUM + "!#$%&'*+-.^_`|~", main = type.substr(0, type.find(';'));
    size_t slash = main.find('/');
    if (!printable(type) || slash == std::string::npos || slash == 0 || slash + 1 == main.size() ||
        main.substr(0, slash).find_first_not_of(token) != std::string::npos ||
        main.find_first_not_of(token, slash + 1) != std::string::npos)
        throw refused("Invalid media type: $0", type, method, 2);
}

// The file name parameter: quoted when printable ASCII, else RFC 2231.
std::string filename_param(const std::string& name) {
    if (printable(name))
        return "filename=" + quoted(name);
    const std::string attr_chars = ALNUM + "!#$&+-.^_`|~";
    std::string out = "filename*=utf-8''";
    for (unsigned char c : name)
        out += attr_chars.find(static_cast<char>(c)) != std::string::npos ? std::string(1, c)
                                                                          : hex(c, '%');
    return out;
}

// bytes random bytes as hex digits, from the system's source; should it
// fail, from a mix of the clock, the process and a counter.
std::string random_hex(size_t bytes) {
    unsigned char buf[32];
    bytes = std::min(bytes, sizeof buf);
    if (getrandom(buf, bytes, 0) != static_cast<ssize_t>(bytes)) {
        static std::atomic<unsigned long long> counter{0};
        unsigned long long x = static_cast<unsigned long long>(
                                   std::chrono::steady_clock::now().time_since_epoch().count()) ^
                               (static_cast<unsigned long long>(::getpid()) << 40) ^
                               counter.fetch_add(1) << 20;
        for (size_t i = 0; i < bytes; ++i) {
            x = x * 6364136223846793005ULL + 1442695040888963407ULL;
            buf[i] = static_cast<unsigned char>(x >> 56);
        }
    }
    std::string out;
    for (size_t i = 0; i < bytes; ++i)
        out += hex(buf[i], 0, "0123456789abcdef");
    return out;
}

std::string attachment_part(const MailMessage::Attachment& a) {
    std::string out =
        field("Content-Type", a.media_type) + "Content-Transfer-Encoding: base64\r\n" +
        field("Content-Disposition", "attachment; " + filename_param(a.file_name)) + "\r\n";
    const std::string b64 = Algorithm::encode(a.content, Algorithm::BASE64);
    for (size_t i = 0; i < b64.size(); i += 76)
        out += b64.substr(i, 76) + "\r\n";
    return out;
}

std::string rfc5322_date(std::time_t t, bool utc) {
    static const char* const DAYS[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const MONTHS[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm tm{};
    if (utc ? gmtime_r(&t, &tm) == nullptr : localtime_r(&t, &tm) == nullptr)
        gmtime_r(&t, &tm);  // out of range: leaves the zeroed fields
    long offset = utc ? 0 : tm.tm_gmtoff / 60;
    long a = offset < 0 ? -offset : offset;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld",
                  DAYS[tm.tm_wday % 7], tm.tm_mday, MONTHS[tm.tm_mon % 12], tm.tm_year + 1900,
                  tm.tm_hour, tm.tm_min, tm.tm_sec, offset < 0 ? '-' : '+', a / 60, a % 60);
    return buf;
}

}  // namespace

MailMessage::MailMessage()
    : has_subject_(false),
      date_(rfc5322_date(std::time(nullptr), false)),
      unique_(random_hex(16)) {}

void MailMessage::setFrom(const std::string& address, const std::string& name) {
    from_ = checked(address, name, "MailMessage::setFrom()");
}

void MailMessage::setReplyTo(const std::string& address, const std::string& name) {
    reply_to_ = checked(address, name, "MailMessage::setReplyTo()");
}

void MailMessage::addTo(const std::string& address, const std::string& name) {
    to_.push_back(checked(address, name, "MailMessage::addTo()"));
}

void MailMessage::addCc(const std::string& address, const std::string& name) {
    cc_.push_back(checked(address, name, "MailMessage::addCc()"));
}

void MailMessage::addBcc(const std::string& address) {
    bcc_.push_back(checked(address, "", "MailMessage::addBcc()").address);
}

void MailMessage::setSubject(const std::string& subject) {
    if (has_break(subject))
        throw refused("Header value holds CR, LF or NUL.", "", "MailMessage::setSubject()", 1);
    subject_ = subject;
    has_subject_ = true;
}

void MailMessage::addHeader(const std::string& name, const std::string& value) {
    const char* method = "MailMessage::addHeader()";
    if (name.empty() || !printable(name) || name.find_first_of(" :") != std::string::npos)
        throw refused("Invalid header field name: $0", name, method, 1);
    const std::string own =
        " from reply-to to cc bcc subject date message-id mime-version "
        "content-type content-transfer-encoding ";
    if (own.find(" " + String::to_lower(name) + " ") != std::string::npos)
        throw refused("Header field $0 is set by its own method.", name, method, 2);
    if (has_break(value))
        throw refused("Header value holds CR, LF or NUL.", "", method, 3);
    headers_.emplace_back(name, value);
}

void MailMessage::setDate(std::time_t when, bool utc) {
    date_ = rfc5322_date(when, utc);
}

void MailMessage::setMessageId(const std::string& id) {
    if (id.size() < 5 || id.front() != '<' || id.back() != '>' || !printable(id) ||
        id.find('@') == std::string::npos || id.find_first_of(" <>", 1) != id.size() - 1)
        throw refused("Invalid Message-ID: $0", id, "MailMessage::setMessageId()", 1);
    message_id_ = id;
}

std::string MailMessage::messageId() const {
    if (!message_id_.empty())
        return message_id_;
    size_t at = from_.address.rfind('@');
    std::string domain = at == std::string::npos ? "" : from_.address.substr(at + 1);
    return "<" + unique_ + "@" + (domain.empty() ? "localhost" : domain) + ">";
}

std::string MailMessage::date() const {
    return date_;
}

void MailMessage::setBody(const std::string& body) {
    body_ = body;
}

void MailMessage::addAttachment(const std::string& file_name, const std::string& content,
                                const std::string& media_type) {
    check_attachment(file_name, media_type, "MailMessage::addAttachment()");
    attachments_.push_back(Attachment{file_name, content, media_type});
}

void MailMessage::attachFile(const std::string& path, const std::string& media_type) {
    const char* method = "MailMessage::attachFile()";
    const std::string name = path.substr(path.rfind('/') + 1);
    check_attachment(name, media_type, method);
    std::string content;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    int err = fd < 0 ? errno : 0;
    char buf[65536];
    while (fd >= 0) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0 || (n < 0 && errno == EINTR)) {
            content.append(buf, n > 0 ? static_cast<size_t>(n) : 0);
            continue;
        }
        err = n < 0 ? errno : 0;
        ::close(fd);
        fd = -1;
    }
    if (err != 0) {
        char text[256];
        throw IOException(
            I18N::i18n("travine", "Cannot read $0: $1", path, strerror_r(err, text, sizeof text)),
            method, 3);
    }
    attachments_.push_back(Attachment{name, content, media_type});
}

std::vector<std::string> MailMessage::recipients() const {
    std::vector<std::string> out;
    auto add = [&out](const std::string& a) {
        if (std::find(out.begin(), out.end(), a) == out.end())
            out.push_back(a);
    };
    for (const std::vector<Mailbox>* list : {&to_, &cc_}) {
        for (const Mailbox& m : *list)
            add(m.address);
    }
    std::for_each(bcc_.begin(), bcc_.end(), add);
    return out;
}

std::string MailMessage::text() const {
    if (from_.address.empty())
        throw DecodeException(I18N::i18n("travine", "No From address."), "MailMessage::text()", 1);
    std::string h = field("From", mailboxes({from_}));
    if (!reply_to_.address.empty())
        h += field("Reply-To", mailboxes({reply_to_}));
    if (!to_.empty())
        h += field("To", mailboxes(to_));
    if (!cc_.empty())
        h += field("Cc", mailboxes(cc_));
    if (has_subject_)
        h += field("Subject", unstructured("Subject", subject_));
    h += field("Date", date_) + field("Message-ID", messageId());
    for (const auto& extra : headers_)
        h += field(extra.first, unstructured(extra.first, extra.second));
    h += "MIME-Version: 1.0\r\n";
    if (attachments_.empty()) {
        h += text_part(body_);
    } else {
        std::vector<std::string> parts;
        if (!body_.empty())
            parts.push_back(text_part(body_));
        for (const Attachment& a : attachments_)
            parts.push_back(attachment_part(a));
        std::string boundary = "=_travine_" + unique_;
        auto occurs = [&](const std::string& p) { return p.find(boundary) != std::string::npos; };
        for (int n = 1; std::any_of(parts.begin(), parts.end(), occurs); ++n)
            boundary = "=_travine_" + unique_ + "_" + String::itoa(n);
        h += field("Content-Type", "multipart/mixed; boundary=\"" + boundary + "\"") + "\r\n";
        for (const std::string& p : parts)
            h += "--" + boundary + "\r\n" + p + "\r\n";
        h += "--" + boundary + "--\r\n";
    }
    std::string out;
    out.reserve(h.size() + h.size() / 64);
    for (size_t i = 0; i < h.size(); ++i) {
        if (h[i] == '.' && (i == 0 || h[i - 1] == '\n'))
            out += '.';
        out += h[i];
    }
    out.resize(out.size() - 2);  // the final CR LF
    return out;
}
