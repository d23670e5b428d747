// `quillo show`: prints the cells of an xlsx workbook, one per line: the
// address, the formula and the value, tab-separated. The value is what the
// cell shows: its number format applied ("0.00" gives two decimals, a date
// format a date, General the spreadsheet's General). With raw, the value
// itself instead: numbers in their shortest exact form, dates as
// YYYY-MM-DD (with the time when there is one). Either way, a date value
// in a General cell shows as YYYY-MM-DD [hh:mm:ss] (hh:mm:ss for a time
// alone); tabs, line breaks and backslashes in texts show as \t, \n and \\,
// so every cell stays on one line.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>

#include "common/value.h"

namespace quillo::cli {

struct ShowOptions {
  std::string book;
  // A range such as "A1:C10" (on every sheet) or "'Sheet 2'!A1:C10"; empty:
  // every cell of every sheet.
  std::string range;
  bool raw = false;  // the values themselves rather than as formatted
  // Set: list instead the cells quillo filled whose value is older than
  // this many minutes (explain_command.h: print_stale), in the range.
  std::optional<double> stale_minutes;
};

// Exit codes: 0 printed, 2 the workbook could not be read or the range is
// not one.
int run_show(const ShowOptions& options, std::ostream& out, std::ostream& err);

// A text on one line of tab-separated output: tabs, line breaks and
// backslashes written as \t, \n, \r and \\.
std::string one_line(std::string_view s);

// What a cell shows: the value under its number format, on one line. A date
// value in a General cell shows as YYYY-MM-DD [hh:mm:ss]; a format that
// cannot show the value gives the value's own text.
std::string shown_text(const Value& v, const std::string& format);

}  // namespace quillo::cli
