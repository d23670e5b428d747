// Internals of the number format engine shared by its files: the tokens a
// format section is read into, and the decimal rounding every part uses.
// Internal to the spreadsheet library; pure, any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillo::spreadsheet::number_format_detail {

enum class Kind {
  Literal,
  Digit,     // 0 # ?
  Point,     // .
  Comma,     // ,
  Percent,   // %
  Exponent,  // E+ E-
  Slash,     // / of a fraction
  At,        // @
  General,
  Date,  // y m d h s and elapsed [h] [m] [s]
  AmPm,
};

struct Token {
  Kind kind;
  std::string text;  // literal text, placeholder char, date code (lower case), AM/PM as written
  bool elapsed = false;
  bool minutes = false;  // an m code that means minutes
};

struct Condition {
  std::string op;
  double value = 0;
  bool test(double d) const {
    if (op == "<") return d < value;
    if (op == "<=") return d <= value;
    if (op == ">") return d > value;
    if (op == ">=") return d >= value;
    if (op == "<>") return d != value;
    return d == value;
  }
};

struct Section {
  std::vector<Token> tokens;
  std::optional<Condition> condition;
  bool is_date = false;
  bool is_text = false;  // has @
  bool has_ampm = false;
};

// Reads one section; nullopt when it cannot be read (an unclosed quote or
// bracket, a condition without a number).
std::optional<Section> parse_section(std::string_view s);
// Splits a code at ";" outside quotes, brackets and escapes; nullopt for
// more than four sections or an unclosed quote or bracket.
std::optional<std::vector<std::string_view>> split_sections(std::string_view code);

// |d| rounded half away from zero to decimals places, from its 15
// significant digits: the whole digits (no leading zeros, empty for none)
// and exactly `decimals` fraction digits.
std::pair<std::string, std::string> rounded(double d, int decimals);

// A date or time section; nullopt for a value outside the calendar.
std::optional<std::string> format_date(double x, const Section& sec);

}  // namespace quillo::spreadsheet::number_format_detail
