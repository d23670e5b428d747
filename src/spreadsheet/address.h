// Cell addresses: sheet limits, column letters and the A1 text of cells and
// boxes (rectangles of cells). Pure functions; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillo::spreadsheet {

inline constexpr std::int32_t kMaxRows = 1048576;
inline constexpr std::int32_t kMaxCols = 16384;

// A rectangle of cells, 1-based and inclusive.
struct Box {
  std::int32_t r1 = 1, c1 = 1, r2 = 1, c2 = 1;

  bool contains(std::int32_t r, std::int32_t c) const {
    return r >= r1 && r <= r2 && c >= c1 && c <= c2;
  }
  std::int32_t rows() const { return r2 - r1 + 1; }
  std::int32_t cols() const { return c2 - c1 + 1; }
  std::int64_t area() const { return std::int64_t{rows()} * cols(); }
  bool single() const { return r1 == r2 && c1 == c2; }
  bool operator==(const Box&) const = default;
};

inline bool valid_cell(std::int32_t r, std::int32_t c) {
  return r >= 1 && r <= kMaxRows && c >= 1 && c <= kMaxCols;
}

// "A", "Z", "AA", ... "XFD" for 1 .. kMaxCols.
std::string column_letters(std::int32_t col);
// The column of letters such as "AB" (any case); nullopt when not a column.
std::optional<std::int32_t> column_from_letters(std::string_view letters);

// "$A$1" style text of a cell, with each part absolute or relative.
std::string cell_a1(std::int32_t row, std::int32_t col, bool row_abs = false, bool col_abs = false);
// "$A$1" or "$A$1:$B$2" (absolute), as a range's Address shows.
std::string box_a1(const Box& box, bool absolute = true);

// Reads "A1", "$B$2:C10", "A:C" (whole columns) or "3:5" (whole rows); the
// dollar signs are accepted and ignored. nullopt when the text is none of these.
std::optional<Box> parse_box_a1(std::string_view text);

// A sheet-qualified box such as "'Sheet 2'!A1:C10" or "Data!B2"; the sheet
// is empty when the text names none.
struct SheetBox {
  std::string sheet;
  Box box;
};
std::optional<SheetBox> parse_sheet_box(std::string_view text);

// True when a sheet name must be quoted in a formula ('My Sheet'!A1).
bool sheet_name_needs_quotes(std::string_view name);
// The sheet name as a formula writes it: quoted (with doubled quotes) when needed.
std::string quote_sheet_name(std::string_view name);

}  // namespace quillo::spreadsheet
