// The browser page's edits of a block of cells, applied all or nothing: a
// clear, a paste, or the undo or redo of one, in one call rather than one
// call per cell. Event-loop thread (reads and writes the workbook through
// the host's ranges).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/status.h"
#include "host/range.h"
#include "host/worksheet.h"
#include "spreadsheet/address.h"

namespace quillo::cli {

// The most cells one block edit may change (the page refuses more before
// asking).
inline constexpr std::int64_t kMaxBlockEditCells = 10000;

// The most characters a cell's text may hold (the spreadsheet format's
// limit).
inline constexpr std::size_t kMaxCellTextChars = 32767;

// A cell's text written as the user typed it: a formula when it starts
// with "=", nothing clears the cell, anything else is entered as typed
// (numbers and dates become numbers). A text longer than a cell holds is
// refused.
Status write_cell_text(const host::Range& cell, const std::string& text);

// A cell's text as the user would type it to get the cell back exactly:
// its formula, or its constant; a text that typing would read as something
// else (a formula "=1+1", a number "0012", a boolean "TRUE", a text that
// itself starts with an apostrophe) carries a leading apostrophe.
// write_cell_text of it gives the same cell again.
Result<std::string> cell_edit_text(const host::Range& cell);

// The edits of a block, one entry per cell, row by row. A text of nullopt
// leaves its cell alone; an expected text, when given, is what the cell
// must hold for the edit to go ahead (a cell changed since refuses all).
struct BlockEdit {
  std::vector<std::optional<std::string>> texts;
  std::vector<std::optional<std::string>> expect;
};

// Reads {"texts":[text|null,...],"expect":[text|null,...]} ("expect" may
// be left out) for a block of `cells` cells.
Result<BlockEdit> parse_block_edit(std::string_view body, std::int64_t cells);

struct BlockEditReply {
  int status = 200;
  std::string json;
  bool wrote = false;  // some cell was changed (and kept)
};

// Applies the edits to `box` of `sheet`, all or nothing: a cell that does
// not hold what was expected refuses before anything is written (409,
// naming it), as does a cell to be changed that lies under one of
// `merges` other than its top-left cell (400, naming both), and a cell
// quillo refuses takes back, last first, what was already written (400,
// naming it and why). A cell whose text would not change is not written. Answers
// {"ok":true,"before":[...],"after":[...]}: every cell's text before, and as it is now kept (a
// number typed "1.50" reads "1.5").
BlockEditReply apply_block_edit(const host::Worksheet& sheet, const spreadsheet::Box& box,
                                const BlockEdit& edit,
                                const std::vector<spreadsheet::Box>& merges = {});

}  // namespace quillo::cli
