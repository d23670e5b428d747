#include "common/text.h"

#include <cctype>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quillo::text {

namespace {

constexpr std::uint64_t kHigh = 0x8080808080808080ull;

std::uint64_t load8(const char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// The eight bytes of x with the ASCII capitals made small, as lower_char
// does byte by byte: a byte of 'A' to 'Z' (its high bit clear) gets bit
// 0x20. The sums of the low seven bits never carry into the next byte.
std::uint64_t lower8(std::uint64_t x) {
  constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
  constexpr std::uint64_t kToA = 0x3F3F3F3F3F3F3F3Full;    // 0x80 - 'A'
  constexpr std::uint64_t kPastZ = 0x2525252525252525ull;  // 0x80 - ('Z' + 1)
  const std::uint64_t low = x & kLow7;
  const std::uint64_t capital = (low + kToA) & ~(low + kPastZ) & ~x & kHigh;
  return x | (capital >> 2);
}

// Eight bytes at a time: most texts compared are equal, or equal but for
// the case of a few letters.
bool equal_ci(const char* a, const char* b, std::size_t n) {
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const std::uint64_t x = load8(a + i);
    const std::uint64_t y = load8(b + i);
    if (x != y && lower8(x) != lower8(y)) return false;
  }
  for (; i < n; ++i) {
    if (lower_char(a[i]) != lower_char(b[i])) return false;
  }
  return true;
}

// Whether s holds a byte of 0x80 or above (a letter beyond ASCII).
bool beyond_ascii(std::string_view s) {
  std::size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    if ((load8(s.data() + i) & kHigh) != 0) return true;
  }
  for (; i < s.size(); ++i) {
    if (static_cast<unsigned char>(s[i]) >= 0x80) return true;
  }
  return false;
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

// The character of UTF-8 text s at byte i, and i moved past it. A byte that
// starts no well-formed character stands for itself, above every character,
// so it matches only the same byte.
char32_t next_char(std::string_view s, std::size_t& i) {
  const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(s[at]); };
  const unsigned char b = byte(i);
  std::size_t n = b < 0x80             ? 0
                  : (b & 0xE0) == 0xC0 ? 1
                  : (b & 0xF0) == 0xE0 ? 2
                  : (b & 0xF8) == 0xF0 ? 3
                                       : 4;
  if (n == 0) {
    ++i;
    return b;
  }
  if (n == 4 || i + n >= s.size()) {
    ++i;
    return char32_t{0x110000} + b;
  }
  char32_t c = b & (0x3F >> n);
  for (std::size_t k = 1; k <= n; ++k) {
    if (!is_continuation(byte(i + k))) {
      ++i;
      return char32_t{0x110000} + b;
    }
    c = (c << 6) | (byte(i + k) & 0x3F);
  }
  i += n + 1;
  return c;
}

// The small letter of a capital in the Latin, Greek and Cyrillic alphabets;
// any other character as it is.
char32_t fold_case(char32_t c) {
  if (c < 0x80) return c >= 'A' && c <= 'Z' ? c + 32 : c;
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 32;
  if (c == 0x178) return 0xFF;
  if (c >= 0x100 && c <= 0x17E) {
    // Capitals are the even code points, except from U+0139 to U+0148 and
    // from U+0179 on, where they are the odd ones; U+0130, U+0131, U+0138
    // and U+0149 have no pair.
    if (c == 0x130 || c == 0x131 || c == 0x138 || c == 0x149) return c;
    const bool odd_capitals = (c >= 0x139 && c <= 0x148) || c >= 0x179;
    return (c % 2 == 1) == odd_capitals ? c + 1 : c;
  }
  if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return c + 32;
  // Greek capitals with an accent, and the final small sigma as sigma.
  if (c == 0x386) return 0x3AC;
  if (c >= 0x388 && c <= 0x38A) return c + 37;
  if (c == 0x38C) return 0x3CC;
  if (c == 0x38E || c == 0x38F) return c + 63;
  if (c == 0x3C2) return 0x3C3;
  if (c >= 0x410 && c <= 0x42F) return c + 32;
  if (c >= 0x400 && c <= 0x40F) return c + 80;
  return c;
}

// find_ci for a needle with letters beyond ASCII: characters are compared
// with their case folded, at character boundaries of hay.
std::size_t find_folded(std::string_view hay, std::string_view needle, std::size_t from) {
  std::vector<char32_t> want;
  for (std::size_t i = 0; i < needle.size();) want.push_back(fold_case(next_char(needle, i)));
  for (std::size_t p = from; p < hay.size(); ++p) {
    if (is_continuation(static_cast<unsigned char>(hay[p]))) continue;
    std::size_t i = p;
    std::size_t k = 0;
    while (k < want.size() && i < hay.size() && fold_case(next_char(hay, i)) == want[k]) ++k;
    if (k == want.size()) return p + 1;
  }
  return 0;
}

}  // namespace

CiNeedle ci_needle(std::string_view needle) {
  CiNeedle p;
  p.size = needle.size();
  if (needle.empty()) return p;
  p.folded = beyond_ascii(needle);
  p.first = static_cast<unsigned char>(needle.front()) | 0x20;
  p.last = static_cast<unsigned char>(needle.back()) | 0x20;
  // The needle's first eight bytes (or all of a shorter one) folded once:
  // where eight bytes of hay can be read at a candidate, they are folded
  // and compared at once, and only the rest of a longer needle byte by byte.
  const std::size_t head_size = std::min<std::size_t>(needle.size(), 8);
  std::uint64_t head = 0;
  std::uint64_t head_mask = ~std::uint64_t{0};
  if (head_size == 8) {
    head = load8(needle.data());
  } else if constexpr (std::endian::native == std::endian::little) {
    for (std::size_t i = head_size; i-- > 0;) {
      head = head << 8 | static_cast<unsigned char>(needle[i]);
    }
    head_mask = (std::uint64_t{1} << (8 * head_size)) - 1;
  } else {
    char bytes[8] = {};
    std::memcpy(bytes, needle.data(), head_size);
    head = load8(bytes);
    std::memset(bytes, 0, sizeof bytes);
    std::memset(bytes, 0xFF, head_size);
    head_mask = load8(bytes);
  }
  p.head = lower8(head);
  p.head_mask = head_mask;
  return p;
}

std::size_t find_ci(std::string_view hay, std::string_view needle, std::size_t start) {
  if (needle.empty() || needle.size() > hay.size()) {
    // Answered before the needle's form is looked at: no need to make it.
    CiNeedle sized;
    sized.size = needle.size();
    return find_ci(hay, needle, sized, start);
  }
  return find_ci(hay, needle, ci_needle(needle), start);
}

std::size_t find_ci(std::string_view hay, std::string_view needle, const CiNeedle& prepared,
                    std::size_t start) {
  if (prepared.size != needle.size()) return find_ci(hay, needle, ci_needle(needle), start);
  if (start == 0) start = 1;
  if (start > hay.size() + 1) return 0;
  if (needle.empty()) return start;
  if (prepared.folded) return find_folded(hay, needle, start - 1);
  if (needle.size() > hay.size()) return 0;
  const std::size_t last = hay.size() - needle.size();  // last 0-based start that fits
  std::size_t from = start - 1;
  if (needle.size() == 1) {
    const char lo = lower_char(needle[0]);
    for (std::size_t p = from; p <= last; ++p) {
      if (lower_char(hay[p]) == lo) return p + 1;
    }
    return 0;
  }
  const char* h = hay.data();
  const std::size_t n = needle.size();
  const std::uint64_t head = prepared.head;
  const std::uint64_t head_mask = prepared.head_mask;
  const auto matches = [&](std::size_t q) {
    if (q + 8 > hay.size()) return equal_ci(h + q, needle.data(), n);
    if ((lower8(load8(h + q)) & head_mask) != head) return false;
    return n <= 8 || equal_ci(h + q + 8, needle.data() + 8, n - 8);
  };
  // Candidates are positions whose first and last bytes match the needle's
  // with bit 0x20 set (which folds ASCII letters; other bytes that happen
  // to match are weeded out by the full comparison). Testing the last byte
  // rather than the second keeps "<td" from being a candidate for "<table".
  // Sixteen positions are tested at once where SSE2 is there.
  const std::size_t k = n - 1;
  const unsigned char f0 = prepared.first;
  const unsigned char f1 = prepared.last;
  std::size_t p = from;
#if defined(__SSE2__)
  const __m128i fold = _mm_set1_epi8(0x20);
  const __m128i v0 = _mm_set1_epi8(static_cast<char>(f0));
  const __m128i v1 = _mm_set1_epi8(static_cast<char>(f1));
  // The candidates among the sixteen positions from at on; bytes at .. at+15+k
  // lie within the text while at+16 <= last+1.
  const auto block = [&](std::size_t at) {
    const __m128i a = _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(h + at)), fold);
    const __m128i b =
        _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(h + at + k)), fold);
    return _mm_and_si128(_mm_cmpeq_epi8(a, v0), _mm_cmpeq_epi8(b, v1));
  };
  // Two blocks a round first: most rounds of a long text hold no candidate,
  // and one test says so for both.
  for (; p + 32 <= last + 1; p += 32) {
    const __m128i low = block(p);
    const __m128i high = block(p + 16);
    if (_mm_movemask_epi8(_mm_or_si128(low, high)) == 0) continue;
    unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(low)) |
                    (static_cast<unsigned>(_mm_movemask_epi8(high)) << 16);
    while (mask != 0) {
      const std::size_t q = p + static_cast<std::size_t>(__builtin_ctz(mask));
      if (matches(q)) return q + 1;
      mask &= mask - 1;
    }
  }
  for (; p + 16 <= last + 1; p += 16) {
    unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(block(p)));
    while (mask != 0) {
      const std::size_t q = p + static_cast<std::size_t>(__builtin_ctz(mask));
      if (matches(q)) return q + 1;
      mask &= mask - 1;
    }
  }
  // The positions left (fewer than sixteen) as one block ending at the
  // last, the positions before p in it masked off.
  if (p <= last && last >= 15) {
    const std::size_t at = last + 1 - 16;
    unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(block(at))) >> (p - at) << (p - at);
    while (mask != 0) {
      const std::size_t q = at + static_cast<std::size_t>(__builtin_ctz(mask));
      if (matches(q)) return q + 1;
      mask &= mask - 1;
    }
    return 0;
  }
#endif
  for (; p <= last; ++p) {
    if ((static_cast<unsigned char>(h[p]) | 0x20) == f0 &&
        (static_cast<unsigned char>(h[p + k]) | 0x20) == f1 && matches(p)) {
      return p + 1;
    }
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
  if (a.size() != b.size()) return false;  // folded pairs have the same length
  if (equal_ci(a.data(), b.data(), a.size())) return true;
  if (std::none_of(a.begin(), a.end(),
                   [](char c) { return static_cast<unsigned char>(c) >= 0x80; })) {
    return false;
  }
  std::size_t i = 0, k = 0;
  while (i < a.size() && k < b.size()) {
    if (fold_case(next_char(a, i)) != fold_case(next_char(b, k))) return false;
  }
  return i == a.size() && k == b.size();
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
  // Most texts hold none of the characters: memchr finds that out fast.
  std::size_t first = std::string::npos;
  for (char c : chars) first = std::min(first, s.find(c));
  if (first == std::string::npos) return;
  bool drop[256] = {};
  for (char c : chars) drop[static_cast<unsigned char>(c)] = true;
  s.erase(std::remove_if(s.begin() + static_cast<std::ptrdiff_t>(first), s.end(),
                         [&](char c) { return drop[static_cast<unsigned char>(c)]; }),
          s.end());
}

std::optional<double> locale_number(std::string_view s) {
  // Plain digits (a definition's numbers, a page's counts) are read at once:
  // up to 15 of them are exact in a double.
  if (!s.empty() && s.size() <= 15 &&
      std::all_of(s.begin(), s.end(), [](char c) { return is_digit(c); })) {
    std::int64_t n = 0;
    for (const char c : s) n = n * 10 + (c - '0');
    return static_cast<double>(n);
  }
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
  // Without an exponent the digits are read as they are (most figures).
  const std::string number =
      exponent == 0 ? std::move(mantissa) : mantissa + "e" + std::to_string(exponent);
  double value = 0;
  const auto r = std::from_chars(number.data(), number.data() + number.size(), value);
  if (r.ec == std::errc::result_out_of_range) {
    if (exponent < 0) return 0.0;
    return number[0] == '-' ? -HUGE_VAL : HUGE_VAL;
  }
  return r.ec == std::errc() ? value : 0.0;
}

std::optional<std::int32_t> to_int32(std::string_view s) {
  // Plain digits (ids, columns, counts of the definitions), up to nine of
  // them, are the number they spell: read at once.
  if (!s.empty() && s.size() <= 9) {
    std::int32_t n = 0;
    std::size_t i = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') n = n * 10 + (s[i++] - '0');
    if (i == s.size()) return n;
  }
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
  char buf[400];
  // The fewest digits that read back as the same double, written out in
  // full where a cell would ("0.0001", "131400000000"), with an exponent
  // only for very large or very small magnitudes.
  const double magnitude = std::fabs(d);
  const auto format =
      magnitude >= 1e-7 && magnitude < 1e15 ? std::chars_format::fixed : std::chars_format::general;
  const auto r = std::to_chars(buf, buf + sizeof buf, d, format);
  return std::string(buf, r.ptr);
}

std::string format_number_15(double d) {
  if (d == 0) return "0";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15g", d);
  return format_number(std::strtod(buf, nullptr));
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

bool calls_any(std::string_view formula, const std::vector<std::string>& names) {
  const std::string low = lower(formula);
  const auto name_char = [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '.';
  };
  for (const std::string& name : names) {
    std::size_t at = 0;
    while ((at = low.find(name, at)) != std::string::npos) {
      const std::size_t end = at + name.size();
      if ((at == 0 || !name_char(low[at - 1])) && end < low.size() && low[end] == '(') return true;
      at = end;
    }
  }
  return false;
}

}  // namespace quillo::text
