// Conversions of one value the way spreadsheet operators and functions take
// their arguments. Each answers the converted value, or the error value that
// stands instead (an error argument propagates; text that is not a number is
// #VALUE!). Pure; any thread.
#pragma once

#include <string>
#include <variant>

#include "common/value.h"

namespace quillo::spreadsheet {

// A number for arithmetic: numbers and dates, TRUE 1 and FALSE 0, empty 0,
// text that reads as a number, a percentage, a date or a time.
std::variant<double, ErrorCode> to_number(const Value& v);
// Text for "&" and the text functions: numbers as general_text writes them,
// TRUE/FALSE, empty as "".
std::variant<std::string, ErrorCode> to_text(const Value& v);
// A number as text in the General format with no width to fit: at most 15
// significant digits, written in full from 1E-07 up to below 1E+15, else as
// a mantissa and an upper-case exponent of at least two digits
// ("1E+15", "1.23456789012346E+15", "1.5E-20").
std::string general_text(double d);
// The longest text a cell holds, in characters; a longer result is #VALUE!.
inline constexpr std::size_t kMaxTextChars = 32767;
// The text, or #VALUE! when it is longer than a cell holds.
Value text_result(std::string s);
// A truth value: booleans, numbers (non-zero is TRUE), empty FALSE, the texts
// "TRUE" and "FALSE".
std::variant<bool, ErrorCode> to_bool(const Value& v);

// True when two numbers are equal as the comparison operators see them:
// equal at about 15 significant digits, so 0.1+0.2 equals 0.3 and 1/9
// equals 0.111111111111111. Zero equals only zero.
bool nearly_equal(double a, double b);

// A result number, or #NUM! when it is not finite.
Value number_result(double d);

}  // namespace quillo::spreadsheet
