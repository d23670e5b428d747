// `quillo parse`: runs the definition-based parse of one category over a
// saved page and prints what each field would show in a cell. A tool for
// people who write definitions files.
#pragma once

#include <iosfwd>
#include <string>
#include <utility>
#include <vector>

namespace quillo::cli {

struct ParseOptions {
  std::string definitions;  // path of the definitions file
  bool check = false;       // --check: check the definitions file, parse nothing
  std::string instrument;
  std::vector<std::pair<std::string, std::string>> options;  // --option NAME=VALUE, in order
  std::string category;                                      // SOURCE.CATEGORY
  std::string page;                                          // path, or "-" for standard input
};

// Exit codes: 0 printed, 2 bad input (definitions, category, page), 3 the
// page is the category's invalid-request page, 4 the category's answer is
// JSON or CSV and the page is none (or too large or deep): the fields are
// printed as a cell would show them, the reason goes to standard error. With check: one line
// "FILE:LINE:COLUMN: message" per finding; 0 none, 1 findings, 2 the file
// does not load.
int run_parse(const ParseOptions& options, std::istream& in, std::ostream& out, std::ostream& err);

}  // namespace quillo::cli
