// Text helpers with the conventions the engine's text operations are written
// in: positions are 1-based, 0 means "not found", searches of markers ignore
// ASCII letter case, and numbers read and write in the fixed locale ("."
// decimal point, "," group separator, "$" currency).
//
// Byte-position helpers (find, left, mid, right) are what the parsers use: a
// position found by a search and a length taken from a marker always agree.
// Helpers that count what a user sees (the *_chars family) count UTF-8
// characters. All functions are pure and thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillo {

// The not-found marker: the text that parsers and conversions answer when a
// marker, tag or value is missing. Callers compare it exactly.
inline constexpr std::string_view kNotFound = "#N/A";

}  // namespace quillo

namespace quillo::text {

// Position (1-based) of the first occurrence of needle in hay at or after
// start, ignoring letter case; 0 when there is none. Both are UTF-8; letters
// beyond ASCII fold in the Latin, Greek and Cyrillic alphabets. An empty
// needle is found at start, as long as start lies within the text or just
// after it.
std::size_t find_ci(std::string_view hay, std::string_view needle, std::size_t start = 1);
// The same search, letter case significant.
std::size_t find(std::string_view hay, std::string_view needle, std::size_t start = 1);

// What find_ci works out from a needle before it looks at the text: its
// first eight bytes folded, the folded first and last bytes its candidates
// are picked by, whether it holds letters beyond ASCII. A marker searched
// in many pages is prepared once (ci_needle) and searched with that form.
// It holds no pointer into the needle: it stays valid when the needle's
// string is copied or moved, and describes any text equal to it.
struct CiNeedle {
  std::uint64_t head = 0;       // the first bytes (up to eight), letters folded
  std::uint64_t head_mask = 0;  // which bytes of head count
  std::size_t size = 0;         // the needle's length in bytes
  unsigned char first = 0;      // its first byte | 0x20
  unsigned char last = 0;       // its last byte | 0x20
  bool folded = false;          // letters beyond ASCII: compared by character
};
CiNeedle ci_needle(std::string_view needle);
// find_ci with needle prepared as ci_needle(needle) gives it. A prepared
// form whose length is not the needle's (made from another text) is not
// used: the needle is prepared again.
std::size_t find_ci(std::string_view hay, std::string_view needle, const CiNeedle& prepared,
                    std::size_t start = 1);

// Left(s, n), Mid(s, p), Mid(s, p, n) and Right(s, n) on bytes; a start
// beyond the end gives the empty text. p must be 1 or more.
std::string_view left(std::string_view s, std::size_t n);
std::string_view mid(std::string_view s, std::size_t p);
std::string_view mid(std::string_view s, std::size_t p, std::size_t n);
std::string_view right(std::string_view s, std::size_t n);

// The same on UTF-8 characters (what a user sees), for conversions that
// count characters.
std::size_t char_count(std::string_view s);
std::string_view left_chars(std::string_view s, std::size_t n);
std::string_view mid_chars(std::string_view s, std::size_t p, std::size_t n);
std::string_view right_chars(std::string_view s, std::size_t n);

std::string upper(std::string_view s);  // ASCII letters only
std::string lower(std::string_view s);  // ASCII letters only
// Equal but for letter case, letters beyond ASCII folded as find_ci does.
bool iequals(std::string_view a, std::string_view b);
inline char lower_char(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}
// An ASCII letter.
inline bool is_letter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
// An ASCII digit.
inline bool is_digit(char c) {
  return c >= '0' && c <= '9';
}
// White space in a page's text: space, tab, line feed, carriage return,
// form feed.
inline bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

// Removes blanks (the space character) at the ends.
std::string_view trim(std::string_view s);
std::string_view ltrim(std::string_view s);
std::string_view rtrim(std::string_view s);

// Replaces every occurrence of from (exact case, non-empty) by to, left to right.
void replace_all(std::string& s, std::string_view from, std::string_view to);
// Removes every byte of s that occurs in chars.
void remove_chars(std::string& s, std::string_view chars);

// True when the text reads as a number in the fixed locale: optional blanks
// around it, a sign in front or behind or enclosing parentheses, an optional
// "$", digits with "," group separators, a "." decimal point, an exponent.
bool is_locale_numeric(std::string_view s);
// The number such a text stands for; nullopt when it is not locale-numeric.
std::optional<double> locale_number(std::string_view s);
// The number read from the beginning of the text: blanks, tabs and line
// feeds are skipped, "." is the decimal point, reading stops at the first
// character that cannot continue the number; 0 when there is none. A
// decimal_shift of k gives the number times 10^k, rounded once.
double leading_number(std::string_view s, int decimal_shift = 0);
// A locale-numeric text as a whole number (rounded half to even, as the
// spreadsheet's integer conversion does); nullopt when the text is not
// numeric or the number does not fit in 32 bits.
std::optional<std::int32_t> to_int32(std::string_view s);

// The shortest decimal text that reads back as the same double ("0.1",
// "1234.5", "0.0001"; "1e+21" style exponents only for magnitudes from
// 1e15 up or below 1e-7).
std::string format_number(double d);
// The number with at most 15 significant digits, as a cell shows it.
std::string format_number_15(double d);

// Appends the UTF-8 form of the code point cp (at most U+10FFFF).
void append_utf8(std::string& out, char32_t cp);

// Whether a formula's text calls one of the functions named (in lower
// case): the name, in any case, followed by "(" and not preceded by a
// letter, digit, "_" or ".".
bool calls_any(std::string_view formula, const std::vector<std::string>& names);

}  // namespace quillo::text
