// One SMTP client session: a queue of messages sent over one connection.
#ifndef TRAVINE_SMTP_H
#define TRAVINE_SMTP_H

#include <string>
#include <vector>

#include "logger.h"
#include "sslsocket.h"
#include "travine_export.h"
#include "types.h"

class TRAVINE_EXPORT SMTP : public Logger {
public:
    // XOAUTH2 and OAUTHBEARER take an OAuth 2.0 access token where the
    // password goes; AUTO never chooses them. The underlying type is fixed,
    // so a value outside the list is a valid AUTH_TYPE (it authenticates
    // with nothing, as NO_AUTH).
    enum AUTH_TYPE : u32 {
        AUTO = 0,
        PLAIN = 1,
        LOGIN = 2,
        CRAM_MD5 = 3,
        CRAM_SHA1 = 4,
        NO_AUTH = 5,
        XOAUTH2 = 6,
        OAUTHBEARER = 7
    };
    enum SSL_TYPE { STARTTLS = 0, SMTPS = 1, NO_SSL = 2 };

    // One queued mail: its text, sent after DATA exactly as given (no
    // dot-stuffing, no line-end conversion), and its envelope recipients.
    // When file is not empty, the text is instead the content of the file
    // of that path, read while it is sent (msg is then not used).
    struct TRAVINE_EXPORT Message {
        std::string msg;
        std::vector<std::string> rcpts;
        std::string file{};
    };

    // domain is announced in HELO/EHLO, from is the envelope sender. Creates
    // an InetSocket for server and port that follows this session's logging.
    // No network traffic.
    SMTP(const std::string& domain, const std::string& from, const std::string& server, u32 port);
    SMTP(const SMTP&) = delete;
    SMTP& operator=(const SMTP&) = delete;
    // Deletes the socket; sends nothing (no QUIT).
    virtual ~SMTP();

    // Any auth_type but NO_AUTH makes sendMessage() greet with EHLO and
    // authenticate; AUTO picks the strongest mechanism the server offers.
    void setCredentials(const std::string& username, const std::string& passwd,
                        AUTH_TYPE auth_type);
    // TLS mode, certificate verification and CA locations for the transport.
    void setSSLOpts(SSL_TYPE ssl_type, SSLSocket::SSL_OPTS opts, const std::string& ca_file,
                    const std::string& ca_dir);
    // Bounds every wait of the transport at seconds without progress
    // (Socket::setTimeout()); 0 or a negative value restores the default.
    void setTimeout(int seconds);
    // Queues a copy of msg for rcpts (bare addresses, no angle brackets).
    void addMessage(const std::string& msg, const std::vector<std::string>& rcpts);
    // Queues msg itself for rcpts, without copying it (msg is moved from). A
    // text whose string has no room left for the 5 bytes of the end-of-data
    // marker goes out in two writes: the text, then the marker.
    void addMessage(std::string&& msg, const std::vector<std::string>& rcpts);
    // Queues a message whose text is the content of the file at path (or
    // "/dev/fd/N" for an open descriptor N), opened when its DATA has been
    // accepted and streamed from there in pieces of 256 KiB, each read,
    // checked and written (one SSL_write() over TLS), never held in memory
    // whole. A regular file is sent up to the size it had when opened; one
    // that became shorter by then fails. Throws nothing here;
    // sending throws, with method "SMTP::send_text()": IOException
    // 1 "$0 does not exist.", 2 "$0 is not readable." (any other failure to
    // open or read it), 3 "$0 changed while it was sent." (it became
    // shorter); and, for a text that holds a line of a single dot (its start
    // and end counting as line ends), the refusal that sendMessage() makes of
    // such a text in memory: TransferException ("Message $0 holds a line of
    // a single dot.", "SMTP::sendMessage()", 2), $0 the message's place in
    // the queue from 1. It is found while streaming: the piece that holds
    // it, the piece before and the end-of-data marker are not sent.
    void addMessageFile(const std::string& path, const std::vector<std::string>& rcpts);
    // PIPELINING (RFC 2920), off by default. When on, sendMessage() greets
    // with EHLO even without credentials and, if the server's EHLO reply
    // offers PIPELINING, writes MAIL FROM, every RCPT TO and DATA of a
    // message in one write, the text and end-of-data marker together with
    // the next message's commands. The replies are read and judged in order,
    // as in lock-step; the first failure ends the run (no text follows a
    // refused MAIL FROM or RCPT TO, no QUIT is sent). Without the offer the
    // session goes on in lock-step.
    void setPipelining(bool on);
    // Connects, starts TLS as asked, greets, authenticates, sends every
    // queued message and QUIT, then clears the queue. At the first failure
    // nothing more is sent, the queue is kept and the exception rises
    // unchanged. A second call opens a fresh connection.
    // Before connecting it refuses, so that nothing at all is sent, with a
    // TransferException of "SMTP::sendMessage()":
    //   1 a domain, sender or recipient holding CR, LF or NUL: "The domain
    //     holds CR, LF or NUL: $0", "The sender holds CR, LF or NUL: $0" or
    //     "A recipient holds CR, LF or NUL: $0", $0 the value in double
    //     quotes with control bytes, '"' and '\' escaped (\r, \n, \0, \xHH,
    //     \", \\), cut after 200 bytes with "...";
    //   2 a text holding a line of a single "." between CR LF pairs (its
    //     start and end count as such, since CR LF "." CR LF follows it),
    //     which would end the data early: "Message $0 holds a line of a
    //     single dot.", $0 its place in the queue from 1. Bare line feeds
    //     around a dot are sent as given.
    void sendMessage();

    // The steps of the dialogue.
    void startSSL();
    void sendHELO();
    void sendMAILFROM();
    void sendRCPTTO(Message& msg);
    void sendDATA(Message& msg);
    void sendQUIT();
    // Writes EHLO and reads its reply, which it returns (lines joined, as by
    // read_response()); server_pipelining tells whether it offered
    // PIPELINING.
    std::string sendEHLO();
    // Every queued message with PIPELINING.
    void send_pipelined();
    // The text of msg and the end-of-data marker, followed by after (the
    // next commands), in one write where the text is in memory and small.
    void send_text(Message& msg, const std::string& after);
    // Reads one reply, judging each line as it arrives; returns its lines
    // joined without separators, each without its trailing CR. Throws, besides
    // the transport's and evalResponse()'s failures, TransferException
    // ("Reply too long.", "SMTP::read_response()", 1) as soon as the joined
    // reply would pass 1 MiB (1048576 bytes); the line that would pass it is
    // neither judged nor kept.
    std::string read_response(bool is_221_fatal);
    // Judges one reply line by its first three characters. Throws
    // TransferException of "SMTP::evalResponse()": 1 a 221 where it is
    // fatal, 2 a refusal code (both with the reply line as text), 3 a code in
    // no list ("Unknown message - $0"). 211, 214, 551 and 251 are logged at
    // ERROR as "Host said: " and the line.
    void evalResponse(const std::string& response, bool is_221_fatal);

    // EHLO and SMTP AUTH.
    void authenticate();
    AUTH_TYPE best_auth_method(const std::string& response);
    // Throws AuthenticationFailedException of "SMTP::check_auth_method()":
    // 1 the mechanism is not offered, 2 the server offers no AUTH at all.
    void check_auth_method(const std::string& response, const std::string& auth_type);
    void auth_plain(const std::string& username, const std::string& password);
    void auth_login(const std::string& username, const std::string& password);
    // The CRAM exchanges throw, besides the reply and decoding failures,
    // AuthenticationFailedException ("Server sent no challenge.",
    // "SMTP::auth_cram_md5()" or "SMTP::auth_cram_sha1()", 1) when the
    // challenge reply is too short to hold a challenge; nothing more is
    // written then.
    void auth_cram_md5(const std::string& username, const std::string& password);
    void auth_cram_sha1(const std::string& username, const std::string& password);
    // The OAuth 2.0 exchanges, token in place of the password, sent as the
    // initial response: XOAUTH2 "user=" username "\x01auth=Bearer " token
    // "\x01\x01"; OAUTHBEARER (RFC 7628) "n,a=" username ("," and "=" as
    // "=2C" and "=3D") ",\x01auth=Bearer " token "\x01\x01"; both base64.
    // A server that refuses the token answers 334 with error details; the
    // client then ends the exchange as the mechanism prescribes (an empty
    // line for XOAUTH2, base64 of "\x01" for OAUTHBEARER), and the refusal
    // that follows rises from evalResponse() with the server's text. Throws
    // AuthenticationFailedException ("The server did not end the refused
    // authentication.", "SMTP::auth_xoauth2()" or "SMTP::auth_oauthbearer()",
    // 1) when it answers that with anything but a refusal.
    void auth_xoauth2(const std::string& username, const std::string& token);
    void auth_oauthbearer(const std::string& username, const std::string& token);

    std::string domain;
    std::string from;
    std::vector<Message> msgs;
    SSLSocket* socket;
    std::string username;
    std::string password;
    AUTH_TYPE auth_type;
    SSL_TYPE ssl_type;
    bool pipelining;         // setPipelining()
    bool server_pipelining;  // the last EHLO reply offered PIPELINING
};

#endif
