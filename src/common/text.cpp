#include "common/text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace quillo::text {

namespace {

bool is_letter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool equal_ci(const char* a, const char* b, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    if (lower_char(a[i]) != lower_char(b[i])) return false;
  }
  return true;
}

// Next position (0-based, at or after from) of byte c in hay, or npos.
std::size_t next_byte(std::string_view hay, char c, std::size_t from) {
  if (from >= hay.size()) return std::string_view::npos;
  const void* p = std::memchr(hay.data() + from, static_cast<unsigned char>(c), hay.size() - from);
  return p ? static_cast<std::size_t>(static_cast<const char*>(p) - hay.data())
           : std::string_view::npos;
}

bool is_continuation(unsigned char c) {
  return (c & 0xC0) == 0x80;
}

// Byte offset of the n-th character (0-based) of s, or s.size() if there are fewer.
std::size_t char_offset(std::string_view s, std::size_t n) {
  std::size_t i = 0;
  while (i < s.size() && n > 0) {
    ++i;
    while (i < s.size() && is_continuation(static_cast<unsigned char>(s[i]))) ++i;
    --n;
  }
  return i;
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

std::size_t find_ci(std::string_view hay, std::string_view needle, std::size_t start) {
  if (start == 0) start = 1;
  if (start > hay.size() + 1) return 0;
  if (needle.empty()) return start;
  if (needle.size() > hay.size()) return 0;
  const std::size_t last = hay.size() - needle.size();  // last 0-based start that fits
  std::size_t from = start - 1;
  const char first = needle[0];
  if (!is_letter(first)) {
    // memchr finds candidates at memory speed; the rest is compared folded.
    for (std::size_t p = next_byte(hay, first, from); p != std::string_view::npos && p <= last;
         p = next_byte(hay, first, p + 1)) {
      if (equal_ci(hay.data() + p + 1, needle.data() + 1, needle.size() - 1)) return p + 1;
    }
    return 0;
  }
  // A letter can start a match in either case. Candidates of both cases
  // are sought within a window at a time, so a case that does not occur
  // near the match costs no scan of the whole rest of the text.
  const char lo = lower_char(first);
  const char up = static_cast<char>(lo - 32);
  constexpr std::size_t kWindow = 4096;
  while (from <= last) {
    const std::string_view window = hay.substr(0, std::min(last + 1, from + kWindow));
    std::size_t next_lo = next_byte(window, lo, from);
    std::size_t next_up = next_byte(window, up, from);
    while (next_lo != std::string_view::npos || next_up != std::string_view::npos) {
      const std::size_t p = std::min(next_lo, next_up);
      if (equal_ci(hay.data() + p + 1, needle.data() + 1, needle.size() - 1)) return p + 1;
      if (p == next_lo) {
        next_lo = next_byte(window, lo, p + 1);
      } else {
        next_up = next_byte(window, up, p + 1);
      }
    }
    from = window.size();
  }
  return 0;
}

std::size_t find(std::string_view hay, std::string_view needle, std::size_t start) {
  if (start == 0) start = 1;
  if (start > hay.size() + 1) return 0;
  const std::size_t p = hay.find(needle, start - 1);
  return p == std::string_view::npos ? 0 : p + 1;
}

std::string_view left(std::string_view s, std::size_t n) {
  return s.substr(0, std::min(n, s.size()));
}

std::string_view mid(std::string_view s, std::size_t p) {
  if (p == 0) p = 1;
  if (p > s.size()) return {};
  return s.substr(p - 1);
}

std::string_view mid(std::string_view s, std::size_t p, std::size_t n) {
  return left(mid(s, p), n);
}

std::string_view right(std::string_view s, std::size_t n) {
  return n >= s.size() ? s : s.substr(s.size() - n);
}

std::size_t char_count(std::string_view s) {
  std::size_t n = 0;
  for (char c : s) n += is_continuation(static_cast<unsigned char>(c)) ? 0 : 1;
  return n;
}

std::string_view left_chars(std::string_view s, std::size_t n) {
  return s.substr(0, char_offset(s, n));
}

std::string_view mid_chars(std::string_view s, std::size_t p, std::size_t n) {
  if (p == 0) p = 1;
  const std::size_t begin = char_offset(s, p - 1);
  return left_chars(s.substr(begin), n);
}

std::string_view right_chars(std::string_view s, std::size_t n) {
  const std::size_t count = char_count(s);
  return n >= count ? s : s.substr(char_offset(s, count - n));
}

std::string upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  }
  return out;
}

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = lower_char(c);
  return out;
}

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && equal_ci(a.data(), b.data(), a.size());
}

std::string_view ltrim(std::string_view s) {
  const std::size_t p = s.find_first_not_of(' ');
  return p == std::string_view::npos ? std::string_view{} : s.substr(p);
}

std::string_view rtrim(std::string_view s) {
  const std::size_t p = s.find_last_not_of(' ');
  return p == std::string_view::npos ? std::string_view{} : s.substr(0, p + 1);
}

std::string_view trim(std::string_view s) {
  return rtrim(ltrim(s));
}

void replace_all(std::string& s, std::string_view from, std::string_view to) {
  if (from.empty() || s.size() < from.size()) return;
  std::size_t p = s.find(from);
  if (p == std::string::npos) return;
  std::string out;
  out.reserve(s.size());
  std::size_t done = 0;
  while (p != std::string::npos) {
    out.append(s, done, p - done).append(to);
    done = p + from.size();
    p = s.find(from, done);
  }
  out.append(s, done, std::string::npos);
  s.swap(out);
}

void remove_chars(std::string& s, std::string_view chars) {
  s.erase(std::remove_if(s.begin(), s.end(),
                         [&](char c) { return chars.find(c) != std::string_view::npos; }),
          s.end());
}

std::optional<double> locale_number(std::string_view s) {
  s = trim(s);
  bool negative = false;
  if (s.size() >= 2 && s.front() == '(' && s.back() == ')') {
    negative = true;
    s = trim(s.substr(1, s.size() - 2));
  }
  auto take_sign = [&](bool at_front) {
    if (s.empty()) return false;
    const char c = at_front ? s.front() : s.back();
    if (c != '-' && c != '+') return false;
    if (c == '-') negative = !negative;
    s = at_front ? s.substr(1) : s.substr(0, s.size() - 1);
    s = trim(s);
    return true;
  };
  const bool sign_front = take_sign(true);
  if (!s.empty() && s.front() == '$') s = trim(s.substr(1));
  if (!sign_front) take_sign(true);  // "$-5" as well as "-$5"
  if (!sign_front) take_sign(false);
  // Digits with group separators, a decimal point and an exponent.
  std::string digits;
  digits.reserve(s.size());
  std::size_t i = 0;
  bool any_digit = false;
  while (i < s.size() && (is_digit(s[i]) || s[i] == ',')) {
    if (s[i] != ',') {
      digits.push_back(s[i]);
      any_digit = true;
    } else if (!any_digit) {
      return std::nullopt;  // a group separator cannot come first
    }
    ++i;
  }
  if (i < s.size() && s[i] == '.') {
    digits.push_back('.');
    ++i;
    while (i < s.size() && is_digit(s[i])) {
      digits.push_back(s[i++]);
      any_digit = true;
    }
  }
  if (!any_digit) return std::nullopt;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    std::size_t j = i + 1;
    std::string exp = "e";
    if (j < s.size() && (s[j] == '+' || s[j] == '-')) exp.push_back(s[j++]);
    const std::size_t digits_start = j;
    while (j < s.size() && is_digit(s[j])) exp.push_back(s[j++]);
    if (j == digits_start) return std::nullopt;
    digits += exp;
    i = j;
  }
  if (i != s.size()) return std::nullopt;
  double value = 0;
  const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (r.ec != std::errc() || !std::isfinite(value)) return std::nullopt;
  return negative ? -value : value;
}

bool is_locale_numeric(std::string_view s) {
  return locale_number(s).has_value();
}

double leading_number(std::string_view s, int decimal_shift) {
  // Blanks, tabs and line feeds do not end the number; they are skipped
  // wherever they stand, as the spreadsheet's leading-number reader does.
  auto skippable = [](char c) { return c == ' ' || c == '\t' || c == '\n'; };
  std::string mantissa;
  bool seen_digit = false, seen_point = false;
  long long exponent = 0;
  std::size_t i = 0;
  for (; i < s.size(); ++i) {
    const char c = s[i];
    if (skippable(c)) continue;
    if (is_digit(c)) {
      mantissa.push_back(c);
      seen_digit = true;
    } else if ((c == '-' || c == '+') && mantissa.empty()) {
      if (c == '-') mantissa.push_back(c);
    } else if (c == '.' && !seen_point) {
      mantissa.push_back(c);
      seen_point = true;
    } else {
      break;
    }
  }
  if (!seen_digit) return 0;
  // An exponent ("e" or "d", optional sign) only counts when digits follow it.
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E' || s[i] == 'd' || s[i] == 'D')) {
    std::size_t j = i + 1;
    while (j < s.size() && skippable(s[j])) ++j;
    bool negative = false;
    if (j < s.size() && (s[j] == '+' || s[j] == '-')) negative = s[j++] == '-';
    long long e = 0;
    bool any = false;
    for (; j < s.size(); ++j) {
      if (skippable(s[j])) continue;
      if (!is_digit(s[j])) break;
      any = true;
      if (e < 100000) e = e * 10 + (s[j] - '0');
    }
    if (any) exponent = negative ? -e : e;
  }
  // The decimal shift goes into the exponent, so "11.9" shifted by -2 reads
  // as the double nearest to 0.119 rather than 11.9 / 100 with its rounding.
  exponent += decimal_shift;
  const std::string number = mantissa + "e" + std::to_string(exponent);
  double value = 0;
  const auto r = std::from_chars(number.data(), number.data() + number.size(), value);
  if (r.ec == std::errc::result_out_of_range) {
    if (exponent < 0) return 0.0;
    return mantissa[0] == '-' ? -HUGE_VAL : HUGE_VAL;
  }
  return r.ec == std::errc() ? value : 0.0;
}

std::optional<std::int32_t> to_int32(std::string_view s) {
  const auto d = locale_number(s);
  if (!d) return std::nullopt;
  const double r = std::nearbyint(*d);  // default rounding mode: half to even
  if (r < std::numeric_limits<std::int32_t>::min() || r > std::numeric_limits<std::int32_t>::max())
    return std::nullopt;
  return static_cast<std::int32_t>(r);
}

std::string format_number(double d) {
  if (d == 0) return "0";  // also for -0
  if (std::isnan(d)) return "NaN";
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, d);
  return std::string(buf, r.ptr);
}

std::string format_number_15(double d) {
  if (d == 0) return "0";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15g", d);
  return format_number(std::strtod(buf, nullptr));
}

}  // namespace quillo::text
