// travine-send's accounts: sections of a config file such as
//
//   default = work
//   [work]
//   server = mail.example.org
//   tls = starttls
//   user = jo
//   password-command = pass show mail/work
//
// Blank lines and lines starting with '#' are skipped; blanks around keys
// and values are dropped.
#ifndef TRAVINE_TOOLS_CONFIG_H
#define TRAVINE_TOOLS_CONFIG_H

#include <string>
#include <vector>

namespace travine_cli {

struct Account {
    struct Entry {
        std::string key, value;
        int line;
    };
    std::string name, file;
    std::vector<Entry> entries;
};

// Finds the account name in the first of files that defines it or, with an
// empty name, the default account that the first file with a "default"
// line names; files that do not exist are passed over. Returns false when
// name is empty and no file names a default. Throws CliError (EXIT_CONFIG)
// for a file that cannot be read, a line that is neither "[name]" nor
// "key = value", a named account that no file defines, and a file that
// holds a password while other users may read it.
bool find_account(const std::vector<std::string>& files, const std::string& name, Account* out);

}  // namespace travine_cli

#endif
