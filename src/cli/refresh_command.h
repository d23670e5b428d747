// `quillo refresh`: opens an xlsx workbook, recalculates every formula and
// saves it, in place or to another file. Formulas quillo cannot compute keep
// the values the file had, and are listed as warnings.
#pragma once

#include <iosfwd>
#include <string>

namespace quillo::cli {

struct RefreshOptions {
  std::string book;    // the workbook to refresh
  std::string output;  // where to save it; empty: over the workbook itself
};

// Exit codes: 0 saved, 1 the file could not be written (the previous one is
// left as it was), 2 the workbook could not be read.
int run_refresh(const RefreshOptions& options, std::ostream& out, std::ostream& err);

}  // namespace quillo::cli
