// `quillo show`: prints the cells of an xlsx workbook, one per line: the
// address, the formula and the value, tab-separated. Dates show as
// YYYY-MM-DD (with the time when there is one); tabs, line breaks and
// backslashes in texts as \t, \n and \\, so every cell stays on one line.
#pragma once

#include <iosfwd>
#include <string>

namespace quillo::cli {

struct ShowOptions {
  std::string book;
  // A range such as "A1:C10" (on every sheet) or "'Sheet 2'!A1:C10"; empty:
  // every cell of every sheet.
  std::string range;
};

// Exit codes: 0 printed, 2 the workbook could not be read or the range is
// not one.
int run_show(const ShowOptions& options, std::ostream& out, std::ostream& err);

}  // namespace quillo::cli
