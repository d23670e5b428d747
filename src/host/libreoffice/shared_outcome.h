// The one text the cells of a shared call show about its table. Calc keeps
// one live result per call (function and arguments) and never says which
// cell asks, so every cell making the call shows the same text. When the
// call's table was written beside some of those cells and not beside
// others, the text must be true for each cell that shows it: it names the
// cell it is about and says how many of the cells got their table.
// Pure functions, any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quillo::host::lo {

// What writing a call's table beside one cell came to.
struct CellOutcome {
  std::string where;  // the cell as Calc names it: "Sheet1.B5" ("... in <document>")
  std::string text;   // why it was not written whole ("Blocked: ..."); empty when it was
};

// The text the call's cells show: for one cell, its own text as it is
// (empty when written); for several, empty when every table was written,
// else the first cell's text that was not, naming that cell ("Blocked at
// Sheet1.B5: the formula in B9 is in the way"), and how many tables were
// written ("; written for 1 of 2 cells").
std::string shared_outcome_text(const std::vector<CellOutcome>& outcomes);

// "Sheet1.B5", with the sheet's name quoted as Calc quotes it when it
// holds more than letters, digits and "_" ('My sheet'.B5).
std::string calc_cell_name(const std::string& sheet, std::int64_t row, std::int64_t col);

}  // namespace quillo::host::lo
