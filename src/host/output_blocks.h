// Output blocks: the rectangles of values the add-in writes beside a
// formula cell (a price-history table, an indicator series), and where the
// block each formula cell wrote last lies.
//
// That record is kept with the workbook, on a very hidden sheet the add-in
// owns ("quillo_blocks": one row per formula cell - its sheet's name, row
// and column, then the block's top row, left column, rows and columns), so
// any later session, command or host clears exactly the previous block
// before writing the new one. The user's sheets are not touched by it.
//
// A block never overwrites a formula: the caller looks for one in the way
// first (first_formula) and writes nothing when there is one; clearing an
// old block leaves the formulas in it alone.
//
// Built on the host interfaces only. Loop thread only; writes may evaluate
// formulas before they return.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "host/worksheet.h"

namespace quillo::host {

// The sheet's size; blocks are cut to it.
inline constexpr std::int64_t kSheetRows = 1048576;
inline constexpr std::int64_t kSheetCols = 16384;

inline constexpr std::string_view kBlockStoreSheet = "quillo_blocks";

// What a formula cell shows when its block could not be written, or was
// cut at the sheet's edge (the texts start so).
inline constexpr std::string_view kBlockedPrefix = "Blocked: ";
inline constexpr std::string_view kCutPrefix = "Cut at the sheet's edge: ";

// A rectangle of cells, 1-based; empty when it has no rows or columns.
struct Block {
  std::int64_t top = 0;
  std::int64_t left = 0;
  std::int64_t rows = 0;
  std::int64_t cols = 0;
  bool empty() const { return rows <= 0 || cols <= 0 || top < 1 || left < 1; }
  std::int64_t bottom() const { return top + rows - 1; }
  std::int64_t right() const { return left + cols - 1; }
};

struct CellPos {
  std::int64_t row = 0;
  std::int64_t col = 0;
};

// The part of the block that lies on the sheet (empty when none does).
Block on_sheet(const Block& b);
// "C5".
std::string a1_address(std::int64_t row, std::int64_t col);

// The first cell of the block, row by row, that holds a formula; nullopt
// when none does (or the block lies off the sheet).
std::optional<CellPos> first_formula(const Worksheet& sheet, const Block& b);
// Removes the values of the block's cells that hold no formula.
void clear_values(const Worksheet& sheet, const Block& b);

// "Blocked: the formula in C5 is in the way".
std::string blocked_text(const CellPos& in_the_way);
// "Cut at the sheet's edge: 3 rows left out" (and/or columns).
std::string cut_text(std::int64_t rows_left_out, std::int64_t cols_left_out);

// The block the workbook records for the formula cell at (row, col) of the
// named sheet; nullopt when it records none.
std::optional<Block> recorded_block(const Workbook& book, std::string_view sheet, std::int64_t row,
                                    std::int64_t col);
// Records the formula cell's block, adding the store sheet when the
// workbook has none. False when it could not be recorded.
bool record_block(Workbook& book, std::string_view sheet, std::int64_t row, std::int64_t col,
                  const Block& b);

}  // namespace quillo::host
