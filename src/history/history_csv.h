// The history answer as a block of cells: the service's CSV (a header line,
// then one line per period, newest first; fields separated by ",", no
// quoting; lines end at a line feed and text after the last one is not
// used) cut into lines and fields and laid out in the order, orientation
// and columns a formula asked for. Pure: no I/O, any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quillo::history {

// The fixed meaning of field k (1-based) of every line.
inline constexpr std::string_view kColumnNames[] = {"DATE",  "OPEN",   "HIGH",     "LOW",
                                                    "CLOSE", "VOLUME", "ADJ CLOSE"};
inline constexpr int kColumns = 7;

// Why the text is no price table of the service, or empty when it is one:
// its first line must be a header naming the columns in the table's order
// (at least DATE to CLOSE, letter case and blanks around names aside),
// ended by a line feed.
std::string table_problem(std::string_view csv);

// The column numbers "ALL" or a comma list of names selects, in the list's
// order; names are upper-cased but not trimmed, unknown ones are skipped,
// repeated ones select again.
std::vector<int> select_columns(std::string_view fields);

struct LayoutOptions {
  bool transpose = false;  // each line fills a column instead of a row
  bool ascending = false;  // oldest period first (the header stays first)
  bool header = true;      // the header line is written
};

// The cells to write, in sheet orientation, and the size to record for the
// next clearing. Only the first seven selections are laid out (further ones
// are counted in the recorded size but write nothing).
struct Block {
  std::int32_t rows = 0;
  std::int32_t cols = 0;
  std::vector<std::string_view> cells;  // rows * cols, row-major, into the CSV text
  std::int32_t out_rows = 0;
  std::int32_t out_cols = 0;
};

// A line with fewer fields than the selection asks for gives empty cells
// for the missing ones; a carriage return before the line feed is dropped.
Block history_block(std::string_view csv, const std::vector<int>& columns,
                    const LayoutOptions& options);

}  // namespace quillo::history
