// Static text utilities: splitting, case mapping, space collapsing,
// wrapping and integer formatting.
#ifndef TRAVINE_STRING_H
#define TRAVINE_STRING_H

#include <string>
#include <vector>

#include "travine_export.h"
#include "types.h"

class TRAVINE_EXPORT String {
public:
    // Replaces spaces by line feeds so that lines break near width columns;
    // the length never changes. A width of 0 never breaks.
    static std::string wrap(std::string str, u32 width);
    // ASCII case mapping, independent of the process's locale.
    static std::string to_lower(std::string str);
    static std::string to_upper(std::string str);
    // Splits at each line feed; a trailing line feed adds no empty element.
    static std::vector<std::string> string2lines(const std::string& str);
    // Splits at each space (or delim); a trailing delimiter adds no empty token.
    static std::vector<std::string> string2tokens(const std::string& str);
    static std::vector<std::string> string2tokens(const std::string& str, char delim);
    // Collapses runs of spaces to one, then drops one leading and one
    // trailing space. Only 0x20 counts as a space.
    static std::string trim(std::string str);
    // Decimal form of i, as "%d" writes it.
    static std::string itoa(int i);
};

#endif
