// quillo search and quillo insert: the symbol search and the two
// assistants for people without a window. Each drives the same dialog
// models a front end shows - picks the source, types, clicks - so the
// command line writes exactly what the dialogs write.
//
// Loop thread only (the command's own). Exit codes: search 0 with hits,
// 1 with none, 2 on failure; insert 0 saved, 1 the file could not be
// written (the previous one is intact), 2 bad input (nothing written).
#pragma once

#include <iosfwd>
#include <string>
#include <utility>
#include <vector>

namespace quillo::cli {

struct SearchOptions {
  std::string source;  // a data source's name or code; empty: the first
  std::string text;
  double timeout_seconds = 60;
};

struct InsertSingleOptions {
  std::string book;
  std::string cell;  // "B2" or "Sheet 2!B2"
  std::vector<std::string> ids;
  std::vector<std::string> fields;
  std::vector<std::pair<std::string, std::string>> params;
  std::string orientation = "rows";  // rows: one instrument per row
};

struct InsertHistoryOptions {
  std::string book;
  std::string cell;
  std::string id;
  std::string from, to;  // YYYY-MM-DD
  std::string sampling = "d";
  std::vector<std::string> fields;
  std::string sort = "asc";
  bool no_header = false;
  bool transpose = false;
};

int run_search(const SearchOptions& options, std::ostream& out, std::ostream& err);
int run_insert_single(const InsertSingleOptions& options, std::ostream& out, std::ostream& err);
int run_insert_history(const InsertHistoryOptions& options, std::ostream& out, std::ostream& err);

}  // namespace quillo::cli
