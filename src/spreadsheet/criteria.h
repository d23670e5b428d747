// Matching shared by the functions that take criteria or look texts up
// (COUNTIF, SUMIFS, MATCH, VLOOKUP, XLOOKUP, SEARCH, ...). Pure functions.
#pragma once

#include <string>
#include <string_view>

#include "common/value.h"

namespace quillo::spreadsheet {

// True when text matches pattern as a spreadsheet matches wildcards: "*" any
// run of characters (also none), "?" exactly one character, "~" makes the
// next "*", "?" or "~" literal. Letters compare without regard to ASCII case;
// "?" takes one whole UTF-8 character. The whole text must match.
bool wildcard_match(std::string_view pattern, std::string_view text);

// True when the text holds a wildcard that wildcard_match would read as one.
bool has_wildcards(std::string_view pattern);

// One criterion of COUNTIF, SUMIFS and the other *IF functions, read once
// and matched against many cells. A criterion is a value (5, TRUE, #N/A:
// cells equal to it) or a text with an optional leading operator ("<>x",
// ">=5", "=", "a*"). What follows the operator is read as a number, a
// logical value or an error literal when it reads as one, else as a text
// that "=" and "<>" match with wildcards.
//
// Equality with a number also accepts a cell holding that number as text
// ("5" matches 5 and "5"), but "<>5" still counts that text as different;
// ordering operators only compare cells of the criterion's own kind, so ">0" never counts a text or
// an empty cell. A criterion "" matches empty cells and empty texts, "=" empty cells only,
// "<>" every cell that is not empty. Numbers compare as the comparison
// operators do (at 15 significant digits).
class Criterion {
 public:
  explicit Criterion(const Value& criterion);
  bool matches(const Value& cell) const;

 private:
  enum class Op : std::uint8_t { Eq, Ne, Lt, Le, Gt, Ge };
  enum class Kind : std::uint8_t { Number, Text, Bool, Error, Blank, EmptyOnly };

  bool equal(const Value& cell, bool numeric_text) const;

  Op m_op = Op::Eq;
  Kind m_kind = Kind::Number;
  double m_number = 0;
  bool m_bool = false;
  ErrorCode m_error = ErrorCode::NA;
  std::string m_text;
};

}  // namespace quillo::spreadsheet
