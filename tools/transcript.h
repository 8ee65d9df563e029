// travine-send's view of the session log: transcript entries with the
// credentials hidden, the count of accepted messages, the progress bar.
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
    explicit Transcript(bool show_secrets) : show_secrets_(show_secrets) {}

    // Takes one fragment; returns the finished entries it completes, each
    // split into lines without line ends, credentials masked unless shown.
    std::vector<std::string> add(const std::string& fragment);
    // Messages the server accepted after their end-of-data marker.
    unsigned long accepted() const { return accepted_; }

    static const char* const MASK;

private:
    std::vector<std::string> finish(const std::string& entry);

    bool show_secrets_;
    std::string pending_;
    int secret_lines_ = 0;  // client lines after AUTH that carry credentials
    bool data_sent_ = false;
    unsigned long accepted_ = 0;
};

// "[#####.....]  3/10" sized to width columns.
std::string progress_bar(unsigned long done, unsigned long total, int width);

}  // namespace travine_cli

#endif
