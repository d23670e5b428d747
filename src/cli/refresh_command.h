// `quillo refresh`: opens an xlsx workbook in a headless spreadsheet with
// the add-in loaded as the host would load it (formulas calling a copy of
// the function library in another folder are repaired on opening),
// recalculates every formula, waits until every web request has been
// answered (or the time-out), and saves the workbook atomically, in place or
// to another file. Prints a summary of what the add-in's cells show, and
// counts (naming a few) the formulas quillo cannot compute that kept the
// file's value although cells they read changed.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>

namespace quillo::cli {

struct RefreshOptions {
  std::string book;    // the workbook to refresh
  std::string output;  // where to save it; empty: over the workbook itself
  double timeout_seconds = 300;
  // Set: quillo values older than this many minutes after the refresh (by
  // the time of their answer) are named as warnings, and fail --strict.
  std::optional<double> max_age_minutes;
  bool strict = false;    // exit 1 when any cell shows an error or a formula may be out of date
  bool progress = false;  // a progress line on the error stream
};

// Exit codes: 0 saved, 1 the file could not be written (the previous one is
// left as it was) or, with strict, a cell shows an error or a formula quillo
// cannot compute kept the file's value though cells it reads changed; 2 bad
// input.
int run_refresh(const RefreshOptions& options, std::ostream& out, std::ostream& err);

}  // namespace quillo::cli
