// travine-send's view of the session log: transcript entries with the
// credentials hidden, the count of accepted messages, the step the dialogue
// has reached, the progress bar.
#ifndef TRAVINE_TOOLS_TRANSCRIPT_H
#define TRAVINE_TOOLS_TRANSCRIPT_H

#include <string>
#include <vector>

namespace travine_cli {

// Gathers the session's log fragments into transcript entries and hides
// credentials. An entry ends with a fragment that ends in a line feed: a
// line read ("host:\tline\n") or a buffer written ("host:\tdata").
class Transcript {
public:
    // What the client sent last: nothing yet, EHLO or HELO, STARTTLS, a line
    // of AUTH, MAIL FROM, RCPT TO, DATA, a message text, QUIT.
    enum Step { GREETING, HELLO, STARTTLS, AUTH, MAIL, RCPT, DATA, MESSAGE, QUIT };

    explicit Transcript(bool show_secrets) : show_secrets_(show_secrets) {}

    // Takes one fragment; returns the finished entries it completes, each
    // split into lines without line ends, credentials masked unless shown:
    // the initial response of AUTH and the client lines that answer 334.
    std::vector<std::string> add(const std::string& fragment);
    // Messages the server accepted after their end-of-data marker.
    unsigned long accepted() const { return accepted_; }
    Step step() const { return step_; }
    // The address of the last MAIL FROM or RCPT TO.
    const std::string& address() const { return address_; }

    static const char* const MASK;

private:
    std::vector<std::string> finish(const std::string& entry);
    void client_line(std::string& line, const std::string& prefix, const std::string& content);

    bool show_secrets_;
    std::string pending_;
    int secret_lines_ = 0;  // client lines after AUTH that carry credentials
    bool data_sent_ = false;
    unsigned long accepted_ = 0;
    Step step_ = GREETING;
    std::string address_;
};

// "[#####.....]  3/10" sized to width columns.
std::string progress_bar(unsigned long done, unsigned long total, int width);

}  // namespace travine_cli

#endif
