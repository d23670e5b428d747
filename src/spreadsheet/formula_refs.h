// Reference scanning for the formula parser: reads one cell, area, column or
// row reference in A1 or R1C1 notation at a position of the formula text,
// and the bracketed part of a structured reference (formula_tables.cpp).
// Internal to the spreadsheet library; pure.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "spreadsheet/formula.h"

namespace quillo::spreadsheet {

namespace formula_chars {
inline bool is_alpha(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
inline bool is_digit(char c) {
  return c >= '0' && c <= '9';
}
// Characters of names: function names, sheet names and A1 references.
inline bool is_word(char c) {
  return is_alpha(c) || is_digit(c) || c == '_' || c == '.' || c == '$' ||
         static_cast<unsigned char>(c) >= 0x80;
}
}  // namespace formula_chars

struct RefScan {
  bool found = false;
  RefAst ref;         // kind and coordinates, relative to the formula's cell
  std::string error;  // a malformed reference: "invalid range", ...
  std::size_t error_pos = 0;
};

// Reads a reference at pos in the formula of the cell (row, col) and moves
// pos past it. Text that is no reference (a name, a function) leaves pos
// alone and answers found == false without an error. sheet: the sheet the
// reference was written with (its prefix, unquoted), whose name may be
// written again before a range's second end.
RefScan scan_reference(std::string_view s, std::size_t& pos, Notation notation, std::int32_t row,
                       std::int32_t col, std::string_view sheet = {});

struct StructuredScan {
  RefAst ref;         // the table's cells the reference stands for
  std::string error;  // a malformed reference or an unknown column
};

// Reads the bracketed part of a structured reference to table at pos (just
// after the table's name; nothing there means the table's data) and moves
// pos past it.
StructuredScan scan_structured(std::string_view s, std::size_t& pos, const TableInfo& table);

}  // namespace quillo::spreadsheet
