#include "parse/figures.h"

#include <charconv>

#include "common/text.h"

namespace quillo {

namespace {

constexpr std::size_t kNpos = std::string_view::npos;

using text::is_digit;
using text::is_space;

std::string_view trim_blanks(std::string_view s) {
  while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
  return s;
}

// The length of the currency sign ($, euro, pound, yen) s starts with, or 0.
std::size_t currency_at(std::string_view s) {
  for (const std::string_view c : {"$", "\xE2\x82\xAC", "\xC2\xA3", "\xC2\xA5"}) {
    if (s.starts_with(c)) return c.size();
  }
  return 0;
}

// Exact powers of ten: every one up to 1e22 is a double.
constexpr double kPowersOfTen[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                     1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                     1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The number of digits with at most one "." ("123.45", "7", ".5"; at most
// 15 digits) times 10^shift, when it can be made at once: the digits make
// an exact whole number and one multiplication or division by an exact
// power of ten rounds once, to the double nearest the figure, as reading
// the decimal text does. nullopt for anything else.
std::optional<double> scaled_decimal(std::string_view number, int shift) {
  std::int64_t whole = 0;
  std::size_t digits = 0;
  std::size_t point = kNpos;
  for (std::size_t i = 0; i < number.size(); ++i) {
    const char c = number[i];
    if (is_digit(c)) {
      if (++digits > 15) return std::nullopt;  // no longer exact (and no overflow)
      whole = whole * 10 + (c - '0');
    } else if (c == '.' && point == kNpos) {
      point = i;
    } else {
      return std::nullopt;
    }
  }
  if (digits == 0) return std::nullopt;
  const int places = point == kNpos ? 0 : static_cast<int>(number.size() - point - 1);
  const int exponent = shift - places;
  if (exponent < -22 || exponent > 22) return std::nullopt;
  const auto value = static_cast<double>(whole);
  return exponent >= 0 ? value * kPowersOfTen[exponent] : value / kPowersOfTen[-exponent];
}

// A figure of plain digits with an optional "-" in front and one "."
// ("123.45", "-0.5", "1234567": most figures of a page), read at once.
std::optional<double> plain_decimal(std::string_view s) {
  const bool negative = !s.empty() && s.front() == '-';
  if (negative) s.remove_prefix(1);
  const auto value = scaled_decimal(s, 0);
  if (!value) return std::nullopt;
  return negative ? -*value : *value;
}

}  // namespace

// Typographic minus signs and dashes pages write in front of figures (the
// minus sign of "&#8722;2.50", the en and em dash, the figure dash, the
// small and full-width hyphen-minus). A dash in a text without digits is a
// placeholder for "no value" and stays.
void figure_minus_signs(std::string& t) {
  // Every dash below starts with one of the bytes E2 and EF: a text without
  // either, or without digits, is left as it is (one pass over the bytes).
  bool digit = false, lead = false;
  for (const char c : t) {
    digit = digit || is_digit(c);
    lead = lead || c == '\xE2' || c == '\xEF';
  }
  if (!digit || !lead) return;
  for (const std::string_view dash : {"\xE2\x88\x92", "\xE2\x80\x92", "\xE2\x80\x93",
                                      "\xE2\x80\x94", "\xEF\xB9\xA3", "\xEF\xBC\x8D"}) {
    text::replace_all(t, dash, "-");
  }
}

// Removes group separators and makes the decimal separator ".".
void figure_separators(std::string& t, const FigureFormat& f) {
  if (!f.group.empty()) text::replace_all(t, f.group, "");
  if (!f.decimal.empty() && f.decimal != ".") text::replace_all(t, f.decimal, ".");
}

// Reads a well-formed figure: optionally enclosed in parentheses (a
// negative figure), with a sign in front or behind, a currency sign before
// or after the number, a unit K, M, B or T (letter case significant) and a
// percent sign, blanks allowed between them. The number has digits, an
// optional "." and an optional exponent. nullopt for anything else, which
// the older, more lenient steps of figure_convert1 then read.
std::optional<double> read_figure(std::string_view s) {
  if (const auto plain = plain_decimal(s)) return plain;
  s = trim_blanks(s);
  bool negative = false;
  bool percent = false;
  auto take_percent = [&] {
    if (percent || !s.ends_with('%')) return;
    percent = true;
    s = trim_blanks(s.substr(0, s.size() - 1));
  };
  take_percent();  // "(1.5)%"
  if (s.size() >= 2 && s.front() == '(' && s.back() == ')') {
    negative = true;
    s = trim_blanks(s.substr(1, s.size() - 2));
  }
  take_percent();  // "(1.5%)"
  bool sign = false, currency = false;
  for (int k = 0; k < 2; ++k) {  // sign and currency, in either order
    if (!sign && !s.empty() && (s.front() == '-' || s.front() == '+')) {
      sign = true;
      negative = negative || s.front() == '-';
      s = trim_blanks(s.substr(1));
    } else if (const std::size_t n = currency ? 0 : currency_at(s)) {
      currency = true;
      s = trim_blanks(s.substr(n));
    }
  }
  // The number is the run of s it starts with: digits, an optional "." with
  // digits, and an exponent when digits follow its "e" or "E".
  std::size_t i = 0;
  bool any_digit = false;
  while (i < s.size() && is_digit(s[i])) {
    ++i;
    any_digit = true;
  }
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && is_digit(s[i])) {
      ++i;
      any_digit = true;
    }
  }
  if (!any_digit) return std::nullopt;
  bool exponent = false;
  if (i + 1 < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    std::size_t j = i + 1;
    if (s[j] == '+' || s[j] == '-') ++j;
    const std::size_t digits = j;
    while (j < s.size() && is_digit(s[j])) ++j;
    if (j > digits) {
      exponent = true;
      i = j;
    }
  }
  const std::string_view number = s.substr(0, i);
  s = trim_blanks(s.substr(i));
  int shift = 0;
  if (!s.empty()) {
    static constexpr std::string_view kUnits = "KMBT";
    const std::size_t u = kUnits.find(s.front());
    if (u != kNpos) {
      shift = 3 * static_cast<int>(u + 1);
      s = trim_blanks(s.substr(1));
    }
  }
  for (int k = 0; k < 3 && !s.empty(); ++k) {  // currency, sign and percent behind
    if (const std::size_t n = currency ? 0 : currency_at(s)) {
      currency = true;
      s = trim_blanks(s.substr(n));
    } else if (!sign && (s.front() == '-' || s.front() == '+')) {
      sign = true;
      negative = negative || s.front() == '-';
      s = trim_blanks(s.substr(1));
    } else if (!percent && s.front() == '%') {
      percent = true;
      s = trim_blanks(s.substr(1));
    }
  }
  if (!s.empty()) return std::nullopt;
  if (percent) shift -= 2;
  // Up to 15 digits without an exponent are made at once; others are read
  // as they are, or with a shift or an exponent through the decimal
  // exponent of leading_number.
  if (!exponent) {
    if (const auto value = scaled_decimal(number, shift)) return negative ? -*value : *value;
  }
  if (shift == 0 && !exponent) {
    double value = 0;
    const auto r = std::from_chars(number.data(), number.data() + number.size(), value);
    if (r.ec == std::errc()) return negative ? -value : value;
  }
  if (!negative) return text::leading_number(number, shift);
  std::string signed_number;
  signed_number.reserve(number.size() + 1);
  signed_number.append("-").append(number);
  return text::leading_number(signed_number, shift);
}
}  // namespace quillo
