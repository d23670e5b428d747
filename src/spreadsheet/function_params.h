// Which parameters of a built-in take one value and which take a range or
// an array as given. A function with parameters of one value computes item
// by item when such a parameter receives an array: an array constant
// anywhere, and inside an array formula or an argument that takes arrays
// (SUMPRODUCT, SUM, ...) a range too. Its answer is then an array of the
// answers. Elsewhere a range given for one value is the cell in the
// formula's own row or column, as the function's own reading makes it.
// Internal to the spreadsheet library; any thread (the table is constant
// once built).
#pragma once

#include <cstddef>
#include <string_view>

#include "spreadsheet/functions.h"

namespace quillo::spreadsheet {

// The parameters of one built-in: 's' one value, 'r' a range or array
// taken whole. After a '|' the letters that follow repeat for further
// arguments (SUMIFS: "r|rs"); without one the last letter repeats.
class ParamKinds {
 public:
  constexpr explicit ParamKinds(std::string_view kinds) : m_kinds(kinds) {}
  bool scalar(std::size_t i) const;

 private:
  std::string_view m_kinds;
};

// The parameter kinds of a built-in; null for one that takes every argument
// as given (SUM, INDEX, ROWS, ...). Element-wise functions (ABS, ISNUMBER)
// take one value everywhere.
const ParamKinds* param_kinds(const FunctionDef& def);

}  // namespace quillo::spreadsheet
