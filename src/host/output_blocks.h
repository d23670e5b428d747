// Output blocks: the rectangles of values the add-in writes beside a
// formula cell (a price-history table, an indicator series), and where the
// block each formula cell wrote last lies.
//
// That record is kept with the workbook, on a very hidden sheet the add-in
// owns ("quillo_blocks": a signature row, then one row per formula cell -
// its sheet's name, row and column, the block's top row, left column, rows
// and columns, and a fingerprint of the values written), so any later
// session, command or host clears exactly the previous block before
// writing the new one. The user's sheets are not touched by it; a sheet of
// that name without the signature is the user's and is left alone.
//
// A record is trusted only as far as it can be: it is used only when its
// block lies where the formula's block can lie and fits the sheet, and the
// old block is cleared only while its cells still hold exactly what was
// written (a user who changed anything in it keeps all of it). Clearing
// leaves formulas and the cells of other formulas' recorded blocks alone.
// A host whose record follows the cells (Calc: its formula cell can be
// moved away from its block) may also have a block that no longer lies
// beside its formula cleared, on the same fingerprint condition
// (clear_left_behind).
//
// A block never overwrites a formula, another formula's recorded block nor
// the cells its own formula reads: the caller looks for one in the way
// first (first_formula, first_in_other_block, covered_input) and writes
// nothing when there is one.
//
// Built on the host interfaces only. Loop thread only; writes may evaluate
// formulas before they return.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// "Blocked: G4 is in the block of the formula in A3".
std::string blocked_text(const CellPos& in_the_way, const CellPos& owner);

// Whether the two blocks share a cell.
bool overlaps(const Block& a, const Block& b);
// The first of the formula's input ranges (on the block's sheet) that the
// block would cover; nullopt when it covers none. A block written over
// what its formula reads would change its own input, and the formula
// would compute again and write again without end: it is never written.
std::optional<Block> covered_input(const Block& b, const std::vector<Block>& inputs);
// Where an argument of the formula in `caller` lies when it is a range on
// the caller's own sheet; nullopt for any other argument.
std::optional<Block> input_block(const Value& arg, const Range& caller);
// "Blocked: the block would cover A2:F21, which the formula reads".
std::string blocked_input_text(const Block& input);

// Where a formula's block lies: a price table starts in the row below the
// formula cell (in the column right of it when transposed); a series lies
// in the formula's column and the next, from its row or a row below it
// (its first periods may have no value, and so show nothing).
enum class BlockShape { Table, Series };

// The first line of quillo's record sheet, which tells it from a user's
// sheet of the same name.
inline constexpr std::string_view kBlockStoreSignature = "quillo block record";

// The block the workbook records for the formula cell at (row, col) of the
// named sheet; nullopt when it records none, or none that lies where a
// block of that shape can lie.
std::optional<Block> recorded_block(const Workbook& book, std::string_view sheet, std::int64_t row,
                                    std::int64_t col, BlockShape shape);
// Records the formula cell's block with a fingerprint of the values its
// cells hold now (call it after writing them), adding the record sheet
// when the workbook has none. False when it could not be recorded (a
// user's sheet has the record sheet's name).
bool record_block(Workbook& book, std::string_view sheet, std::int64_t row, std::int64_t col,
                  const Block& b);
// Clears the block the formula cell wrote before: the recorded one when
// it lies where it can and still holds what was written (nothing when a
// user changed it), else `remembered` (this session's), leaving formulas
// and other formulas' recorded blocks alone. A record that cannot be the
// formula's is dropped.
void clear_previous(Workbook& book, const Worksheet& sheet, std::string_view sheet_name,
                    std::int64_t row, std::int64_t col, BlockShape shape, const Block& remembered);
// For a host whose record follows the cells (Calc moves a formula cell
// and the record with it, and its block stays where it was when only the
// formula cell was moved): when the formula cell's recorded block no
// longer lies where a block of that shape can lie for it, the block is
// cleared if it still holds exactly what was written (leaving formulas and
// other formulas' recorded blocks alone) and dropped from the record.
// Nothing happens for a block that lies where it can, or a record without
// a fingerprint.
void clear_left_behind(Workbook& book, const Worksheet& sheet, std::string_view sheet_name,
                       std::int64_t row, std::int64_t col, BlockShape shape);
// The first cell of b, row by row, inside the recorded block of another
// formula cell of the sheet that still holds a formula; owner is set to
// that formula cell.
std::optional<CellPos> first_in_other_block(const Workbook& book, const Worksheet& sheet,
                                            std::string_view sheet_name, std::int64_t row,
                                            std::int64_t col, const Block& b, CellPos& owner);
// True when the workbook has a sheet of the record sheet's name that is
// not quillo's (a user's own): blocks are then remembered per session only.
bool foreign_record_sheet(const Workbook& book);
// Drops the records of formula cells that hold no formula any more (or
// whose sheet is gone); done before quillo saves a workbook. The number
// dropped.
std::size_t drop_stale_records(Workbook& book);

}  // namespace quillo::host
