// Matching shared by the functions that take criteria or look texts up
// (COUNTIF, SUMIFS, MATCH, VLOOKUP, XLOOKUP, SEARCH, ...). Pure functions.
#pragma once

#include <string_view>

namespace quillo::spreadsheet {

// True when text matches pattern as a spreadsheet matches wildcards: "*" any
// run of characters (also none), "?" exactly one character, "~" makes the
// next "*", "?" or "~" literal. Letters compare without regard to ASCII case;
// "?" takes one whole UTF-8 character. The whole text must match.
bool wildcard_match(std::string_view pattern, std::string_view text);

// True when the text holds a wildcard that wildcard_match would read as one.
bool has_wildcards(std::string_view pattern);

}  // namespace quillo::spreadsheet
