#include "spreadsheet/number_format.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <tuple>
#include <vector>

#include "common/text.h"
#include "spreadsheet/date_serials.h"

namespace quillo::spreadsheet {

namespace {

// ---- decimal digits of a number ----

// The digits of |d| to 15 significant places: value = 0.digits x 10^point.
struct Digits {
  std::string digits;  // no trailing zeros; empty for zero
  int point = 0;
};

Digits digits_of(double d) {
  Digits out;
  d = std::fabs(d);
  if (d == 0 || !std::isfinite(d)) return out;
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.14e", d);
  const char* e = std::strchr(buf, 'e');
  const char* mantissa_end = e;
  out.digits =
      std::string(1, buf[0]) + std::string(static_cast<const char*>(buf) + 2, mantissa_end);
  out.point = std::atoi(e + 1) + 1;
  while (!out.digits.empty() && out.digits.back() == '0') out.digits.pop_back();
  return out;
}

// |d| rounded half away from zero to decimals places: its whole digits
// (no leading zeros, empty for none) and exactly `decimals` fraction digits.
std::pair<std::string, std::string> rounded(double d, int decimals) {
  Digits x = digits_of(d);
  const long keep = static_cast<long>(x.point) + decimals;  // digits that stay
  std::string kept;
  if (keep >= 0) {
    kept = x.digits.substr(
        0, static_cast<std::size_t>(std::min<long>(keep, static_cast<long>(x.digits.size()))));
    const bool up = keep < static_cast<long>(x.digits.size()) &&
                    x.digits[static_cast<std::size_t>(keep)] >= '5';
    kept.resize(static_cast<std::size_t>(keep), '0');
    if (up) {
      long i = keep - 1;
      for (; i >= 0; --i) {
        if (kept[static_cast<std::size_t>(i)] == '9') {
          kept[static_cast<std::size_t>(i)] = '0';
        } else {
          ++kept[static_cast<std::size_t>(i)];
          break;
        }
      }
      if (i < 0) {
        kept.insert(kept.begin(), '1');
        ++x.point;
      }
    }
  }
  // kept holds the digits from 10^(point-1) down to 10^-decimals.
  std::string whole, frac;
  const long point = static_cast<long>(kept.size()) - decimals;
  if (point > 0) {
    whole = kept.substr(0, static_cast<std::size_t>(point));
    frac = kept.substr(static_cast<std::size_t>(point));
  } else {
    frac = std::string(static_cast<std::size_t>(-point), '0') + kept;
  }
  whole.erase(0, std::min(whole.find_first_not_of('0'), whole.size()));
  return {whole, frac};
}

std::string grouped_digits(const std::string& digits) {
  std::string out;
  std::size_t count = 0;
  for (char c : digits) count += c >= '0' && c <= '9';
  std::size_t seen = 0;
  for (char c : digits) {
    if (c >= '0' && c <= '9') {
      if (seen > 0 && (count - seen) % 3 == 0) out += ',';
      ++seen;
    }
    out += c;
  }
  return out;
}

// ---- tokens of a section ----

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

bool is_color(std::string_view s) {
  static constexpr std::array<std::string_view, 8> kColors = {"black",   "blue", "cyan",  "green",
                                                              "magenta", "red",  "white", "yellow"};
  const std::string l = text::lower(s);
  if (l.rfind("color", 0) == 0) return true;
  return std::find(kColors.begin(), kColors.end(), l) != kColors.end();
}

std::size_t utf8_len(std::string_view s, std::size_t i) {
  const auto c = static_cast<unsigned char>(s[i]);
  const std::size_t n = c < 0xC0 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
  return std::min(n, s.size() - i);
}

std::optional<Section> parse_section(std::string_view s) {
  Section sec;
  auto literal = [&](std::string t) {
    if (!sec.tokens.empty() && sec.tokens.back().kind == Kind::Literal) {
      sec.tokens.back().text += t;
    } else {
      sec.tokens.push_back({Kind::Literal, std::move(t)});
    }
  };
  for (std::size_t i = 0; i < s.size();) {
    const char c = s[i];
    const char lc = text::lower_char(c);
    if (c == '"') {
      const std::size_t end = s.find('"', i + 1);
      if (end == std::string_view::npos) return std::nullopt;
      literal(std::string(s.substr(i + 1, end - i - 1)));
      i = end + 1;
    } else if (c == '\\' || c == '_' || c == '*') {
      if (i + 1 >= s.size()) {
        i = s.size();
        continue;
      }
      const std::size_t n = utf8_len(s, i + 1);
      if (c == '\\') literal(std::string(s.substr(i + 1, n)));
      if (c == '_') literal(" ");
      i += 1 + n;
    } else if (c == '[') {
      const std::size_t end = s.find(']', i + 1);
      if (end == std::string_view::npos) return std::nullopt;
      const std::string_view inner = s.substr(i + 1, end - i - 1);
      i = end + 1;
      if (inner.empty()) continue;
      const std::string li = text::lower(inner);
      if (li.find_first_not_of("hms") == std::string::npos &&
          li.find_first_not_of(li[0]) == std::string::npos) {
        sec.tokens.push_back({Kind::Date, li, true});
        sec.is_date = true;
      } else if (inner[0] == '<' || inner[0] == '>' || inner[0] == '=') {
        std::size_t k = 1;
        if (k < inner.size() && (inner[k] == '=' || inner[k] == '>')) ++k;
        const auto v = text::locale_number(inner.substr(k));
        if (!v) return std::nullopt;
        sec.condition = Condition{std::string(inner.substr(0, k)), *v};
      } else if (inner[0] == '$') {
        const std::size_t dash = inner.find('-');
        literal(std::string(
            inner.substr(1, dash == std::string_view::npos ? inner.size() - 1 : dash - 1)));
      } else if (!is_color(inner)) {
        // Other tags (calendars, locale options) change nothing here.
      }
    } else if (c == '0' || c == '#' || c == '?') {
      sec.tokens.push_back({Kind::Digit, std::string(1, c)});
      ++i;
    } else if (c == '.') {
      sec.tokens.push_back({Kind::Point, "."});
      ++i;
    } else if (c == ',') {
      sec.tokens.push_back({Kind::Comma, ","});
      ++i;
    } else if (c == '%') {
      sec.tokens.push_back({Kind::Percent, "%"});
      ++i;
    } else if (c == '@') {
      sec.tokens.push_back({Kind::At, "@"});
      sec.is_text = true;
      ++i;
    } else if ((c == 'E' || c == 'e') && i + 1 < s.size() && (s[i + 1] == '+' || s[i + 1] == '-')) {
      sec.tokens.push_back({Kind::Exponent, std::string(1, s[i + 1])});
      i += 2;
    } else if (c == '/') {
      sec.tokens.push_back({Kind::Slash, "/"});
      ++i;
    } else if (text::iequals(s.substr(i, 7), "General")) {
      sec.tokens.push_back({Kind::General, ""});
      i += 7;
    } else if (text::iequals(s.substr(i, 5), "AM/PM")) {
      sec.tokens.push_back({Kind::AmPm, std::string(s.substr(i, 5))});
      sec.has_ampm = true;
      i += 5;
    } else if (text::iequals(s.substr(i, 3), "A/P")) {
      sec.tokens.push_back({Kind::AmPm, std::string(s.substr(i, 3))});
      sec.has_ampm = true;
      i += 3;
    } else if (lc == 'y' || lc == 'm' || lc == 'd' || lc == 'h' || lc == 's') {
      std::size_t j = i;
      while (j < s.size() && text::lower_char(s[j]) == lc) ++j;
      sec.tokens.push_back({Kind::Date, std::string(j - i, lc)});
      sec.is_date = true;
      i = j;
    } else {
      const std::size_t n = utf8_len(s, i);
      literal(std::string(s.substr(i, n)));
      i += n;
    }
  }
  // An m right after hours or right before seconds is minutes.
  std::size_t prev = std::string::npos;
  for (std::size_t k = 0; k < sec.tokens.size(); ++k) {
    Token& t = sec.tokens[k];
    if (t.kind != Kind::Date) continue;
    if (t.text[0] == 'm' && t.text.size() <= 2 && !t.elapsed) {
      bool after_h = prev != std::string::npos && sec.tokens[prev].text[0] == 'h';
      bool before_s = false;
      for (std::size_t n = k + 1; n < sec.tokens.size(); ++n) {
        if (sec.tokens[n].kind != Kind::Date) continue;
        before_s = sec.tokens[n].text[0] == 's';
        break;
      }
      t.minutes = after_h || before_s;
    }
    if (t.elapsed && t.text[0] == 'm') t.minutes = true;
    prev = k;
  }
  return sec;
}

// Splits at ";" outside quotes, brackets and escapes.
std::optional<std::vector<std::string_view>> split_sections(std::string_view code) {
  std::vector<std::string_view> out;
  std::size_t start = 0;
  for (std::size_t i = 0; i < code.size(); ++i) {
    const char c = code[i];
    if (c == '"') {
      const std::size_t end = code.find('"', i + 1);
      if (end == std::string_view::npos) return std::nullopt;
      i = end;
    } else if (c == '[') {
      const std::size_t end = code.find(']', i + 1);
      if (end == std::string_view::npos) return std::nullopt;
      i = end;
    } else if (c == '\\' || c == '_' || c == '*') {
      ++i;
    } else if (c == ';') {
      out.push_back(code.substr(start, i - start));
      start = i + 1;
      if (out.size() >= 4) return std::nullopt;
    }
  }
  out.push_back(code.substr(start));
  return out;
}

// ---- numbers ----

// Places the whole digits into the integer placeholders, right to left; the
// leftmost placeholder takes any digits beyond them.
std::vector<std::string> place_whole(const std::string& digits,
                                     const std::vector<const Token*>& holders) {
  std::vector<std::string> out(holders.size());
  const std::size_t n = holders.size(), len = digits.size();
  for (std::size_t k = 0; k < n; ++k) {
    const std::size_t j = n - 1 - k;  // placeholder from the right
    if (k < len) {
      out[j] = std::string(1, digits[len - 1 - k]);
    } else {
      const char h = holders[j]->text[0];
      out[j] = h == '0' ? "0" : h == '?' ? " " : "";
    }
  }
  if (n > 0 && len > n) out[0] = digits.substr(0, len - n) + out[0];
  return out;
}

std::string format_plain(double x, const Section& sec) {
  const auto& t = sec.tokens;
  // The parts: integer placeholders before the point, decimals after it.
  std::size_t point = t.size();
  for (std::size_t k = 0; k < t.size(); ++k) {
    if (t[k].kind == Kind::Point) {
      point = k;
      break;
    }
  }
  std::vector<const Token*> whole_holders, frac_holders;
  bool grouped = false;
  int scale = 0;
  std::vector<bool> comma_is_literal(t.size(), false);
  for (std::size_t k = 0; k < t.size(); ++k) {
    if (t[k].kind == Kind::Digit) (k < point ? whole_holders : frac_holders).push_back(&t[k]);
    if (t[k].kind != Kind::Comma) continue;
    bool digit_before = false, digit_after = false;
    for (std::size_t j = 0; j < k; ++j) digit_before |= t[j].kind == Kind::Digit;
    for (std::size_t j = k + 1; j < t.size() && (k > point || j < point); ++j) {
      digit_after |= t[j].kind == Kind::Digit;
    }
    if (digit_before && digit_after && k < point) {
      grouped = true;
    } else if (digit_before && !digit_after) {
      ++scale;
    } else {
      comma_is_literal[k] = true;
    }
  }
  for (const Token& tok : t) {
    if (tok.kind == Kind::Percent) x *= 100;
  }
  for (int k = 0; k < scale; ++k) x /= 1000;
  auto [whole, frac] = rounded(x, static_cast<int>(frac_holders.size()));
  std::vector<std::string> whole_out = place_whole(whole, whole_holders);
  if (grouped && !whole_holders.empty()) {
    std::string all;
    for (auto& w : whole_out) all += w;
    whole_out.assign(whole_out.size(), "");
    whole_out[0] = grouped_digits(all);
  }
  // Decimals: trailing zeros vanish under # and turn blank under ?.
  std::vector<std::string> frac_out(frac_holders.size());
  bool trimming = true;
  for (std::size_t k = frac_holders.size(); k-- > 0;) {
    const char h = frac_holders[k]->text[0];
    if (trimming && frac[k] == '0' && h != '0') {
      frac_out[k] = h == '?' ? " " : "";
    } else {
      trimming = false;
      frac_out[k] = std::string(1, frac[k]);
    }
  }
  std::string out;
  std::size_t wi = 0, fi = 0;
  bool whole_done = whole_holders.empty() && whole.empty();
  for (std::size_t k = 0; k < t.size(); ++k) {
    const Token& tok = t[k];
    switch (tok.kind) {
      case Kind::Digit:
        if (k < point) {
          out += whole_out[wi++];
        } else {
          out += frac_out[fi++];
        }
        break;
      case Kind::Point:
        if (!whole_done && whole_holders.empty()) out += whole;  // no place held for them
        whole_done = true;
        out += '.';
        break;
      case Kind::Comma:
        if (comma_is_literal[k]) out += ',';
        break;
      case Kind::Percent:
        out += '%';
        break;
      case Kind::General:
        out += format_general(x);
        break;
      case Kind::Slash:
        out += '/';
        break;
      case Kind::Literal:
      case Kind::AmPm:
        out += tok.text;
        break;
      default:
        break;
    }
  }
  return out;
}

std::string format_exponent(double x, const Section& sec) {
  const auto& t = sec.tokens;
  std::size_t e_at = 0;
  while (t[e_at].kind != Kind::Exponent) ++e_at;
  int whole_n = 0, frac_n = 0, exp_zeros = 0;
  bool hash_whole = false, seen_point = false;
  for (std::size_t k = 0; k < t.size(); ++k) {
    if (t[k].kind == Kind::Point && k < e_at) seen_point = true;
    if (t[k].kind != Kind::Digit) continue;
    if (k > e_at) {
      exp_zeros += t[k].text[0] == '0';
    } else if (seen_point) {
      ++frac_n;
    } else {
      ++whole_n;
      hash_whole |= t[k].text[0] == '#';
    }
  }
  const int width = std::max(whole_n, 1);
  int e = 0;
  std::pair<std::string, std::string> m{"", std::string(static_cast<std::size_t>(frac_n), '0')};
  if (x != 0) {
    e = static_cast<int>(std::floor(std::log10(x)));
    for (int attempt = 0; attempt < 2; ++attempt) {
      int shift = e;
      if (hash_whole && width > 1) {
        shift = static_cast<int>(std::floor(static_cast<double>(e) / width)) * width;
      } else {
        shift = e - (width - 1);
      }
      m = rounded(x / std::pow(10.0, shift), frac_n);
      if (static_cast<int>(m.first.size()) > width && !(hash_whole && width > 1)) {
        ++e;  // rounding carried into one more digit
        continue;
      }
      e = shift;
      break;
    }
  }
  std::string out;
  // The mantissa through the placeholders before E, then the exponent.
  std::vector<const Token*> whole_holders;
  bool after_point = false;
  for (std::size_t k = 0; k < e_at; ++k) {
    if (t[k].kind == Kind::Point) after_point = true;
    if (t[k].kind == Kind::Digit && !after_point) whole_holders.push_back(&t[k]);
  }
  const auto whole_out = place_whole(m.first, whole_holders);
  std::size_t wi = 0, fi = 0;
  after_point = false;
  for (std::size_t k = 0; k < t.size(); ++k) {
    const Token& tok = t[k];
    if (k == e_at) {
      out += 'E';
      if (e < 0) out += '-';
      if (e >= 0 && tok.text == "+") out += '+';
      std::string digits = std::to_string(std::abs(e));
      if (static_cast<int>(digits.size()) < exp_zeros) {
        digits.insert(0, static_cast<std::size_t>(exp_zeros) - digits.size(), '0');
      }
      out += digits;
      continue;
    }
    if (k > e_at && tok.kind == Kind::Digit) continue;
    switch (tok.kind) {
      case Kind::Digit:
        if (!after_point) {
          out += whole_out[wi++];
        } else {
          out += m.second[fi++];
        }
        break;
      case Kind::Point:
        after_point = true;
        out += '.';
        break;
      case Kind::Percent:
        out += '%';
        break;
      case Kind::Literal:
        out += tok.text;
        break;
      default:
        break;
    }
  }
  return out;
}

std::string format_fraction(double x, const Section& sec) {
  const auto& t = sec.tokens;
  std::size_t slash = 0;
  while (t[slash].kind != Kind::Slash) ++slash;
  // Numerator: the run of placeholders just before the slash.
  std::size_t num_begin = slash;
  while (num_begin > 0 && t[num_begin - 1].kind == Kind::Digit) --num_begin;
  std::vector<const Token*> whole_holders, num_holders, den_holders;
  for (std::size_t k = 0; k < num_begin; ++k) {
    if (t[k].kind == Kind::Digit) whole_holders.push_back(&t[k]);
  }
  for (std::size_t k = num_begin; k < slash; ++k) num_holders.push_back(&t[k]);
  // Denominator: placeholders, or a fixed number written out.
  std::size_t den_end = slash + 1;
  std::string fixed;
  while (den_end < t.size() && (t[den_end].kind == Kind::Digit ||
                                (t[den_end].kind == Kind::Literal && fixed.empty() &&
                                 t[den_end].text[0] >= '1' && t[den_end].text[0] <= '9'))) {
    if (t[den_end].kind == Kind::Literal) {
      std::size_t n = 0;
      while (n < t[den_end].text.size() &&
             std::isdigit(static_cast<unsigned char>(t[den_end].text[n])))
        ++n;
      fixed += t[den_end].text.substr(0, n);
      if (n < t[den_end].text.size()) break;
    } else if (!fixed.empty()) {
      fixed += t[den_end].text[0] == '0' ? "0" : "";
    } else {
      den_holders.push_back(&t[den_end]);
    }
    ++den_end;
  }
  const bool has_whole = !whole_holders.empty();
  double whole = has_whole ? std::floor(x) : 0;
  const double f = x - whole;
  long long num = 0, den = 1;
  if (!fixed.empty()) {
    den = std::max(1LL, std::atoll(fixed.substr(0, 9).c_str()));
    num = std::llround(f * static_cast<double>(den));
  } else {
    const long long max_den =
        static_cast<long long>(std::pow(10.0, std::min<std::size_t>(den_holders.size(), 5))) - 1;
    double best = 2;
    for (long long d = 1; d <= std::max(1LL, max_den); ++d) {
      const long long n = std::llround(f * static_cast<double>(d));
      const double err = std::fabs(f - static_cast<double>(n) / static_cast<double>(d));
      if (err < best - 1e-12) {
        best = err;
        num = n;
        den = d;
      }
    }
  }
  if (has_whole && num == den) {
    whole += 1;
    num = 0;
  }
  if (!has_whole) num += static_cast<long long>(whole) * den;
  const bool blank_fraction = has_whole && num == 0;
  std::string whole_digits = rounded(whole, 0).first;
  if (has_whole && whole_digits.empty() && blank_fraction) whole_digits = "0";
  const auto whole_out = place_whole(whole_digits, whole_holders);
  const auto num_out = place_whole(std::to_string(num), num_holders);
  std::string den_text = fixed.empty() ? std::to_string(den) : fixed;
  for (std::size_t k = den_text.size(); k < den_holders.size(); ++k) {
    den_text += den_holders[k]->text[0] == '0' ? "" : den_holders[k]->text[0] == '?' ? " " : "";
  }
  std::string out, tail;
  std::size_t wi = 0;
  for (std::size_t k = 0; k < t.size(); ++k) {
    const Token& tok = t[k];
    std::string piece;
    if (k < num_begin) {
      if (tok.kind == Kind::Digit) piece = whole_out[wi++];
      if (tok.kind == Kind::Literal) piece = tok.text;
      if (tok.kind == Kind::Percent) piece = "%";
      out += piece;
      continue;
    }
    if (k < slash) {
      if (k == num_begin)
        piece = [&] {
          std::string s;
          for (const auto& n : num_out) s += n;
          return s;
        }();
    } else if (k == slash) {
      piece = "/" + den_text;
    } else if (k < den_end) {
      continue;
    } else if (tok.kind == Kind::Literal) {
      piece = tok.text;
    }
    tail += piece;
  }
  if (blank_fraction) {
    // A whole number keeps its place but shows no fraction.
    return out + std::string(text::char_count(tail), ' ');
  }
  return out + tail;
}

// ---- dates and times ----

constexpr std::array<std::string_view, 12> kMonthNames = {
    "January", "February", "March",     "April",   "May",      "June",
    "July",    "August",   "September", "October", "November", "December"};
constexpr std::array<std::string_view, 7> kDayNames = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                                       "Thursday", "Friday", "Saturday"};

std::string two(long long n) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "%02lld", n);
  return buf;
}

std::optional<std::string> format_date(double x, const Section& sec) {
  if (x < 0 || x >= kMaxDateSerial + 1) return std::nullopt;
  const auto& t = sec.tokens;
  // Fraction-of-second places: a point followed by zeros after seconds.
  int places = 0;
  for (std::size_t k = 0; k + 1 < t.size(); ++k) {
    if (t[k].kind == Kind::Point && t[k + 1].kind == Kind::Digit) {
      int n = 0;
      for (std::size_t j = k + 1; j < t.size() && t[j].kind == Kind::Digit; ++j) ++n;
      places = std::max(places, std::min(n, 3));
    }
  }
  const double per_second = std::pow(10.0, places);
  const auto units = static_cast<long long>(std::llround(x * 86400.0 * per_second));
  const auto unit_per_second = static_cast<long long>(per_second);
  const long long seconds_total = units / unit_per_second;
  const long long sub = units % unit_per_second;
  const double day = static_cast<double>(seconds_total / 86400);
  const long long secs = seconds_total % 86400;
  const CivilDate d = day_of_serial(day);
  const int weekday = weekday_of_serial(day);
  const long long hour = secs / 3600, minute = secs / 60 % 60, second = secs % 60;
  std::string out;
  for (std::size_t k = 0; k < t.size(); ++k) {
    const Token& tok = t[k];
    const std::size_t n = tok.text.size();
    switch (tok.kind) {
      case Kind::Date: {
        const char c = tok.text[0];
        if (tok.elapsed) {
          const long long v = c == 'h'   ? seconds_total / 3600
                              : c == 'm' ? seconds_total / 60
                                         : seconds_total;
          out += n >= 2 ? two(v) : std::to_string(v);
        } else if (c == 'y') {
          out += n <= 2 ? two(d.year % 100) : std::to_string(d.year);
        } else if (c == 'm' && tok.minutes) {
          out += n == 2 ? two(minute) : std::to_string(minute);
        } else if (c == 'm') {
          const std::string_view name = kMonthNames[static_cast<std::size_t>(d.month - 1)];
          out += n == 1   ? std::to_string(d.month)
                 : n == 2 ? two(d.month)
                 : n == 3 ? std::string(name.substr(0, 3))
                 : n == 5 ? std::string(name.substr(0, 1))
                          : std::string(name);
        } else if (c == 'd') {
          const std::string_view name = kDayNames[static_cast<std::size_t>(weekday)];
          out += n == 1   ? std::to_string(d.day)
                 : n == 2 ? two(d.day)
                 : n == 3 ? std::string(name.substr(0, 3))
                          : std::string(name);
        } else if (c == 'h') {
          long long h = hour;
          if (sec.has_ampm) h = h % 12 == 0 ? 12 : h % 12;
          out += n >= 2 ? two(h) : std::to_string(h);
        } else if (c == 's') {
          out += n >= 2 ? two(second) : std::to_string(second);
        }
        break;
      }
      case Kind::Point:
        if (k + 1 < t.size() && t[k + 1].kind == Kind::Digit && places > 0) {
          std::string digits = std::to_string(sub);
          digits.insert(0, static_cast<std::size_t>(places) - digits.size(), '0');
          std::size_t shown = 0;
          for (std::size_t j = k + 1; j < t.size() && t[j].kind == Kind::Digit; ++j) ++shown;
          out += '.';
          out += digits.substr(0, std::min<std::size_t>(shown, digits.size()));
          while (k + 1 < t.size() && t[k + 1].kind == Kind::Digit) ++k;
        } else {
          out += '.';
        }
        break;
      case Kind::AmPm: {
        const bool pm = hour >= 12;
        if (n == 5) {
          const bool lower = tok.text[0] == 'a' || tok.text[0] == 'p';
          out += lower ? (pm ? "pm" : "am") : (pm ? "PM" : "AM");
        } else {
          out += pm ? tok.text.substr(2, 1) : tok.text.substr(0, 1);
        }
        break;
      }
      case Kind::Digit:
        out += tok.text == "0" ? "0" : "";
        break;
      case Kind::Slash:
        out += '/';
        break;
      case Kind::Comma:
        out += ',';
        break;
      case Kind::Percent:
        out += '%';
        break;
      case Kind::Literal:
        out += tok.text;
        break;
      default:
        break;
    }
  }
  return out;
}

std::optional<std::string> format_section(double x, const Section& sec) {
  if (sec.is_date) return format_date(x, sec);
  bool exponent = false, fraction = false;
  for (const Token& tok : sec.tokens) {
    exponent |= tok.kind == Kind::Exponent;
    fraction |= tok.kind == Kind::Slash;
  }
  if (exponent) return format_exponent(x, sec);
  if (fraction) {
    bool digit_after = false, slash_seen = false;
    for (const Token& tok : sec.tokens) {
      if (tok.kind == Kind::Slash) slash_seen = true;
      if (slash_seen &&
          (tok.kind == Kind::Digit ||
           (tok.kind == Kind::Literal && std::isdigit(static_cast<unsigned char>(tok.text[0]))))) {
        digit_after = true;
      }
    }
    if (digit_after) return format_fraction(x, sec);
  }
  return format_plain(x, sec);
}

std::string format_text(const std::string& s, const Section& sec) {
  std::string out;
  for (const Token& tok : sec.tokens) {
    if (tok.kind == Kind::At) {
      out += s;
    } else if (tok.kind == Kind::Literal) {
      out += tok.text;
    }
  }
  return out;
}

std::string exponent_text(double a, int mantissa_places) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.*E", mantissa_places, a);
  std::string s = buf;
  const std::size_t e = s.find('E');
  std::string m = s.substr(0, e), x = s.substr(e + 1);
  if (m.find('.') != std::string::npos) {
    while (m.back() == '0') m.pop_back();
    if (m.back() == '.') m.pop_back();
  }
  const char sign = x[0];
  std::string digits = x.substr(1);
  while (digits.size() > 2 && digits[0] == '0') digits.erase(0, 1);
  return m + "E" + sign + digits;
}

}  // namespace

std::string format_general(double d) {
  if (d == 0) return "0";
  if (!std::isfinite(d)) return "#NUM!";
  const std::string sign = d < 0 ? "-" : "";
  const double a = std::fabs(d);
  const Digits digits = digits_of(a);
  if (a >= 1e11 || digits.point < -8) return sign + exponent_text(a, 5);
  // Plain digits in 11 characters: the whole part, the point, decimals.
  const int whole_len = std::max(digits.point, 1);
  const int decimals = std::max(0, 10 - whole_len);
  auto [whole, frac] = rounded(a, decimals);
  while (!frac.empty() && frac.back() == '0') frac.pop_back();
  std::string plain = (whole.empty() ? "0" : whole) + (frac.empty() ? "" : "." + frac);
  // Small numbers whose digits fall off the end show better in scientific form.
  if (digits.point < 0) {
    const std::size_t plain_sig = plain.size() - plain.find_first_not_of("0.");
    const std::string sci = exponent_text(a, 4);
    const std::size_t sci_sig = sci.find('E') - (sci.find('.') == std::string::npos ? 0 : 1);
    if (sci_sig > plain_sig) return sign + sci;
  }
  return sign + plain;
}

std::string format_fixed(double d, int decimals, bool grouped) {
  const double a = std::fabs(d);
  std::string whole, frac;
  if (decimals >= 0) {
    std::tie(whole, frac) = rounded(a, decimals);
  } else {
    const double unit = std::pow(10.0, -decimals);
    std::tie(whole, frac) = rounded(std::round(a / unit) * unit, 0);
  }
  if (whole.empty()) whole = "0";
  if (grouped) whole = grouped_digits(whole);
  const bool zero = whole.find_first_not_of("0,") == std::string::npos &&
                    frac.find_first_not_of('0') == std::string::npos;
  return (d < 0 && !zero ? "-" : "") + whole + (frac.empty() ? "" : "." + frac);
}

std::optional<std::string> format_value(const Value& v, std::string_view code) {
  if (v.is_error()) return std::string(error_text(v.error()));
  if (code.empty() || text::iequals(code, "General")) {
    if (v.is_number()) return format_general(v.number());
    return v.to_text();
  }
  const auto parts = split_sections(code);
  if (!parts) return std::nullopt;
  std::vector<Section> sections;
  for (std::string_view p : *parts) {
    auto sec = parse_section(p);
    if (!sec) return std::nullopt;
    sections.push_back(std::move(*sec));
  }
  if (!v.is_number()) {
    const std::string s = v.to_text();
    if (sections.size() == 4) return format_text(s, sections[3]);
    if (sections[0].is_text) return format_text(s, sections[0]);
    return s;
  }
  const double d = v.number();
  // The section for the number, and whether it shows the minus sign itself
  // (the negative section does; a section chosen by a condition does when
  // the condition only takes negative numbers).
  const std::size_t numeric = sections.size() == 4 ? 3 : sections.size();
  const Section* sec = &sections[0];
  bool signed_by_section = false;
  if (sections[0].condition || (numeric > 1 && sections[1].condition)) {
    auto takes = [&](std::size_t i) {
      return i < numeric && (!sections[i].condition || sections[i].condition->test(d));
    };
    std::size_t chosen = takes(0) ? 0 : takes(1) ? 1 : takes(2) ? 2 : numeric;
    if (chosen == numeric) return std::nullopt;
    sec = &sections[chosen];
    if (const auto& c = sec->condition) {
      signed_by_section = (c->op == "<" && c->value <= 0) || (c->op == "<=" && c->value < 0);
    } else {
      signed_by_section = chosen == 1 && d < 0 && !sections[0].condition;
    }
  } else if (d < 0 && numeric >= 2) {
    sec = &sections[1];
    signed_by_section = true;
  } else if (d == 0 && numeric >= 3) {
    sec = &sections[2];
  }
  // A number in a text section shows as General where the @ stands.
  if (sec->is_text && !sec->is_date) return format_text(format_general(d), *sec);
  // Dates show only days of the calendar: a negative one has no text.
  auto body = format_section(sec->is_date && !signed_by_section ? d : std::fabs(d), *sec);
  if (!body) return std::nullopt;
  const bool minus = d < 0 && !signed_by_section && !sec->is_date;
  return (minus ? "-" : "") + *body;
}

}  // namespace quillo::spreadsheet
