// A mail message composed as the text that SMTP::addMessage() sends: header
// fields with RFC 2047 encoded words, Date and Message-ID, a text body and
// attachments (multipart/mixed), CR LF line ends, dot-stuffed.
#ifndef TRAVINE_MAILMESSAGE_H
#define TRAVINE_MAILMESSAGE_H

#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "travine_export.h"

// Refused input is reported by DecodeException (the text cannot be put into
// a message as given), an unreadable file by IOException; each names the
// method and its site as listed below. Header values, display names and
// the Subject may hold UTF-8: a value with a byte outside printable ASCII
// (tab aside) or with "=?" is sent whole as encoded words (UTF-8, base64) of
// at most 75 characters, never splitting a character. Header lines are
// folded before a blank so that they stay within 78 characters wherever a
// blank allows, and no line holds blanks alone.
class TRAVINE_EXPORT MailMessage {
public:
    // An address with its display name (empty for none).
    struct Mailbox {
        std::string address;
        std::string name;
    };
    // An attachment as given to addAttachment().
    struct Attachment {
        std::string file_name;
        std::string content;
        std::string media_type;
    };

    // Date is the time of construction in local time; Message-ID is
    // "<32 random hex digits@the From address's domain>" ("localhost" when
    // it has none). Reads the clock and the system's random source only.
    MailMessage();

    // Addresses are bare addr-specs ("jo@example.org"): printable ASCII
    // without blanks or any of <>(),;:"\. name is an optional display name, empty
    // for none. Each throws DecodeException: 1 "Invalid address: $0" (the
    // address), 2 "Invalid display name." (it holds CR, LF or NUL). The
    // methods are "MailMessage::setFrom()", "MailMessage::setReplyTo()",
    // "MailMessage::addTo()", "MailMessage::addCc()" and "MailMessage::addBcc()".
    // setFrom() and setReplyTo() replace; the add methods append. Bcc
    // addresses appear only in recipients(), never in text().
    void setFrom(const std::string& address, const std::string& name = "");
    void setReplyTo(const std::string& address, const std::string& name = "");
    void addTo(const std::string& address, const std::string& name = "");
    void addCc(const std::string& address, const std::string& name = "");
    void addBcc(const std::string& address);

    // Without a call there is no Subject field at all. Throws DecodeException
    // ("Header value holds CR, LF or NUL.", "MailMessage::setSubject()", 1).
    void setSubject(const std::string& subject);
    // Appends an extra field, after Message-ID, in the order of the calls.
    // Throws DecodeException of "MailMessage::addHeader()": 1 "Invalid header
    // field name: $0" (empty, or a byte outside "!" to "~", or ":"), 2 "Header
    // field $0 is set by its own method." (From, Reply-To, To, Cc, Bcc,
    // Subject, Date, Message-ID, MIME-Version, Content-Type and
    // Content-Transfer-Encoding, in any case), 3 "Header value holds CR, LF
    // or NUL.".
    void addHeader(const std::string& name, const std::string& value);
    // The Date field: when, in local time with its offset, or in UTC
    // ("+0000"), as in "Thu, 01 Jan 1970 00:00:00 +0000".
    void setDate(std::time_t when, bool utc = false);
    // Replaces the generated Message-ID. Throws DecodeException ("Invalid
    // Message-ID: $0", "MailMessage::setMessageId()", 1) unless id is "<",
    // printable ASCII holding an "@" and no blank or angle bracket, then ">".
    void setMessageId(const std::string& id);
    // The effective Message-ID.
    std::string messageId() const;
    // The Date field's value, as setDate() or the constructor made it.
    std::string date() const;

    // The text body, UTF-8. Line ends may be LF, CR LF or a lone CR. It goes
    // as 7bit when it is ASCII without NUL and with lines of at most 998
    // bytes, otherwise as quoted-printable; charset=utf-8 either way.
    void setBody(const std::string& body);
    // Adds an attachment: content is sent as it is, base64-encoded, under
    // media_type ("type/subtype", parameters may follow after ";"). file_name
    // is sent plain and quoted when it is printable ASCII, otherwise RFC 2231
    // encoded (filename*=utf-8''...). With an attachment the message becomes
    // multipart/mixed, the body (when not empty) its first part. Throws
    // DecodeException of "MailMessage::addAttachment()": 1 "Invalid file
    // name." (empty, longer than 255 bytes, or holding CR, LF or NUL),
    // 2 "Invalid media type: $0".
    void addAttachment(const std::string& file_name, const std::string& content,
                       const std::string& media_type = "application/octet-stream");
    // The same for the whole file at path, read now, under the last component
    // of path. Throws
    // of "MailMessage::attachFile()": DecodeException 1 and 2 as
    // addAttachment(), then IOException 3 "Cannot read $0: $1" (the path and
    // the system's text).
    void attachFile(const std::string& path,
                    const std::string& media_type = "application/octet-stream");

    // The To, Cc and Bcc addresses in that order, each once: the envelope
    // recipients for SMTP::addMessage().
    std::vector<std::string> recipients() const;
    // The whole message with CR LF line ends, every line that starts with
    // "." preceded by another ".", and without the final line end, which
    // the end-of-data marker of SMTP::sendDATA() supplies. A multipart
    // boundary is "=_travine_" and the 32 random digits made at construction, with "_1",
    // "_2", ... added while it occurs in a part. Calls give the same text
    // unless the message is changed between them. Throws
    // DecodeException ("No From address.", "MailMessage::text()", 1) when
    // setFrom() was not called.
    std::string text() const;

private:
    Mailbox from_;
    Mailbox reply_to_;
    std::vector<Mailbox> to_;
    std::vector<Mailbox> cc_;
    std::vector<std::string> bcc_;
    bool has_subject_;
    std::string subject_;
    std::vector<std::pair<std::string, std::string>> headers_;
    std::string date_;
    std::string message_id_;
    std::string unique_;
    std::string body_;
    std::vector<Attachment> attachments_;
};

#endif
