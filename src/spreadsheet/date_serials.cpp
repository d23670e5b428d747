#include "spreadsheet/date_serials.h"

#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "common/text.h"

namespace quillo::spreadsheet {

bool is_leap_year(int y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int days_in_month(int y, int m) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (m < 1 || m > 12) return 30;
  return m == 2 && is_leap_year(y) ? 29 : kDays[m - 1];
}

CivilDate day_of_serial(double serial) {
  const double n = std::floor(serial);
  if (n <= 0) return CivilDate{1900, 1, 0};
  if (n < 60) return civil_from_serial(n + 1);  // the days before the phantom 1900-02-29
  if (n == 60) return CivilDate{1900, 2, 29};
  return civil_from_serial(n);
}

std::optional<double> serial_of_day(long long year, long long month, long long day) {
  long long m0 = month - 1;
  year += m0 >= 0 ? m0 / 12 : (m0 - 11) / 12;
  m0 = ((m0 % 12) + 12) % 12;
  if (year < 1800 || year > 10000 || day < -4000000 || day > 4000000) return std::nullopt;
  double first =
      date_serial(static_cast<int>(year), static_cast<int>(m0 + 1), 1);  // Gregorian count
  if (first < 61) first -= 1;  // months before March 1900 sit one day lower
  const double serial = first + static_cast<double>(day) - 1;
  if (serial < 0 || serial > kMaxDateSerial) return std::nullopt;
  return serial;
}

int weekday_of_serial(double serial) {
  const auto n = static_cast<long long>(std::floor(serial));
  return static_cast<int>(((n + 6) % 7 + 7) % 7);
}

namespace {

struct Token {
  enum class Kind { Number, Word, Sep } kind;
  std::string_view text;
  long long number = 0;
};

std::vector<Token> tokens_of(std::string_view s) {
  std::vector<Token> out;
  for (std::size_t i = 0; i < s.size();) {
    const char c = s[i];
    if (c >= '0' && c <= '9') {
      std::size_t j = i;
      long long n = 0;
      while (j < s.size() && s[j] >= '0' && s[j] <= '9') {
        if (n < 100000000) n = n * 10 + (s[j] - '0');
        ++j;
      }
      out.push_back({Token::Kind::Number, s.substr(i, j - i), n});
      i = j;
    } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
      std::size_t j = i;
      while (j < s.size() && ((s[j] >= 'a' && s[j] <= 'z') || (s[j] >= 'A' && s[j] <= 'Z'))) ++j;
      out.push_back({Token::Kind::Word, s.substr(i, j - i)});
      i = j;
    } else if (c == ' ') {
      while (i < s.size() && s[i] == ' ') ++i;
      out.push_back({Token::Kind::Sep, " "});
    } else {
      out.push_back({Token::Kind::Sep, s.substr(i, 1)});
      ++i;
    }
  }
  return out;
}

constexpr std::array<std::string_view, 12> kMonths = {
    "january", "february", "march",     "april",   "may",      "june",
    "july",    "august",   "september", "october", "november", "december"};

// 1-12 for a month's name or its abbreviation of three letters or more.
int month_of_word(std::string_view w) {
  if (w.size() < 3) return 0;
  const std::string lw = text::lower(w);
  for (std::size_t i = 0; i < kMonths.size(); ++i) {
    if (lw.size() <= kMonths[i].size() && kMonths[i].substr(0, lw.size()) == lw) {
      return static_cast<int>(i) + 1;
    }
  }
  return 0;
}

bool is_weekday_word(std::string_view w) {
  static constexpr std::array<std::string_view, 7> kDays = {
      "sunday", "monday", "tuesday", "wednesday", "thursday", "friday", "saturday"};
  if (w.size() < 3) return false;
  const std::string lw = text::lower(w);
  for (std::string_view d : kDays) {
    if (lw.size() <= d.size() && d.substr(0, lw.size()) == lw) return true;
  }
  return false;
}

std::optional<int> year_of(const Token& t) {
  if (t.text.size() == 4) return static_cast<int>(t.number);
  if (t.text.size() <= 2)
    return static_cast<int>(t.number < 30 ? 2000 + t.number : 1900 + t.number);
  return std::nullopt;
}

std::optional<double> valid_day(std::optional<int> y, long long m, long long d) {
  if (!y || *y < 1900 || *y > 9999 || m < 1 || m > 12 || d < 1) return std::nullopt;
  const bool phantom = *y == 1900 && m == 2 && d == 29;
  if (!phantom && d > days_in_month(*y, static_cast<int>(m))) return std::nullopt;
  const auto s = serial_of_day(*y, m, d);
  if (!s || *s < 1) return std::nullopt;
  return s;
}

// The date part: its numbers and words with the separators taken out.
std::optional<double> parse_date_part(const std::vector<Token>& toks, int current_year) {
  std::vector<const Token*> parts;
  std::string seps;
  for (const Token& t : toks) {
    if (t.kind == Token::Kind::Sep) {
      if (t.text != " " && t.text != "," && t.text != "-" && t.text != "/") {
        return std::nullopt;
      }
      if (t.text != " " && t.text != ",") seps += t.text;  // "." is a decimal point here
      continue;
    }
    if (t.kind == Token::Kind::Word && parts.empty() && is_weekday_word(t.text) &&
        !month_of_word(t.text)) {
      continue;
    }
    parts.push_back(&t);
  }
  auto kind = [&](std::size_t i) { return parts[i]->kind; };
  const auto N = Token::Kind::Number, W = Token::Kind::Word;
  if (parts.size() == 3 && kind(0) == N && kind(1) == N && kind(2) == N) {
    if (parts[0]->text.size() == 4) {
      return valid_day(year_of(*parts[0]), parts[1]->number, parts[2]->number);
    }
    return valid_day(year_of(*parts[2]), parts[0]->number, parts[1]->number);
  }
  if (parts.size() == 2 && kind(0) == N && kind(1) == N) {
    if (seps.empty()) return std::nullopt;
    if (parts[1]->number > 31 || parts[1]->text.size() == 4) {
      return valid_day(year_of(*parts[1]), parts[0]->number, 1);
    }
    return valid_day(current_year, parts[0]->number, parts[1]->number);
  }
  if (parts.size() >= 2 && kind(0) == N && kind(1) == W) {
    const int m = month_of_word(parts[1]->text);
    if (!m) return std::nullopt;
    if (parts.size() == 2) return valid_day(current_year, m, parts[0]->number);
    if (parts.size() == 3 && kind(2) == N) {
      return valid_day(year_of(*parts[2]), m, parts[0]->number);
    }
    return std::nullopt;
  }
  if (parts.size() >= 2 && kind(0) == W && kind(1) == N) {
    const int m = month_of_word(parts[0]->text);
    if (!m) return std::nullopt;
    if (parts.size() == 3 && kind(2) == N) {
      return valid_day(year_of(*parts[2]), m, parts[1]->number);
    }
    if (parts.size() != 2) return std::nullopt;
    if (parts[1]->number > 31 || parts[1]->text.size() == 4) {
      return valid_day(year_of(*parts[1]), m, 1);
    }
    return valid_day(current_year, m, parts[1]->number);
  }
  return std::nullopt;
}

// The time part: h[:mm[:ss[.fff]]] with an optional AM or PM.
std::optional<double> parse_time_part(const std::vector<Token>& toks) {
  std::vector<const Token*> t;
  for (const Token& k : toks) {
    if (k.kind != Token::Kind::Sep || k.text != " ") t.push_back(&k);
  }
  std::size_t i = 0;
  double fields[3] = {0, 0, 0};
  int count = 0;
  double fraction = 0;
  while (i < t.size() && t[i]->kind == Token::Kind::Number && count < 3) {
    fields[count++] = static_cast<double>(t[i]->number);
    ++i;
    if (i < t.size() && t[i]->text == ":") {
      ++i;
      continue;
    }
    if (count == 3 && i + 1 < t.size() && t[i]->text == "." &&
        t[i + 1]->kind == Token::Kind::Number) {
      fraction = std::stod("0." + std::string(t[i + 1]->text.substr(0, 9)));
      i += 2;
    }
    break;
  }
  if (count == 0) return std::nullopt;
  int half = 0;  // 1 AM, 2 PM
  if (i < t.size() && t[i]->kind == Token::Kind::Word) {
    const std::string w = text::lower(t[i]->text);
    if (w == "am" || w == "a") half = 1;
    if (w == "pm" || w == "p") half = 2;
    if (!half) return std::nullopt;
    ++i;
  }
  if (i != t.size()) return std::nullopt;
  if (count == 1 && !half) return std::nullopt;  // a lone number is not a time
  double h = fields[0];
  if (half) {
    if (h > 12) return std::nullopt;
    if (h == 12) h = 0;
    if (half == 2) h += 12;
  }
  if (fields[1] >= 60 || fields[2] >= 60 || h >= 10000) return std::nullopt;
  return (h * 3600 + fields[1] * 60 + fields[2] + fraction) / 86400.0;
}

}  // namespace

std::optional<DateTimeText> parse_date_time(std::string_view s, int current_year) {
  s = text::trim(s);
  if (s.empty() || s.size() > 255) return std::nullopt;
  const std::vector<Token> toks = tokens_of(s);
  // The time starts at the number before the first ":" or before AM/PM.
  std::size_t time_at = toks.size();
  for (std::size_t i = 0; i < toks.size(); ++i) {
    if (toks[i].kind != Token::Kind::Number) continue;
    std::size_t j = i + 1;
    if (j < toks.size() && toks[j].text == " ") ++j;
    if (j >= toks.size()) break;
    const std::string w = text::lower(toks[j].text);
    if (toks[j].text == ":" || w == "am" || w == "pm" || w == "a" || w == "p") {
      time_at = i;
      break;
    }
  }
  DateTimeText out;
  const std::vector<Token> date_toks(toks.begin(), toks.begin() + static_cast<long>(time_at));
  const std::vector<Token> time_toks(toks.begin() + static_cast<long>(time_at), toks.end());
  bool date_blank = true;
  for (const Token& t : date_toks) date_blank = date_blank && t.kind == Token::Kind::Sep;
  if (!date_blank) {
    out.date = parse_date_part(date_toks, current_year);
    if (!out.date) return std::nullopt;
  }
  if (!time_toks.empty()) {
    out.time = parse_time_part(time_toks);
    if (!out.time) return std::nullopt;
  }
  if (!out.date && !out.time) return std::nullopt;
  return out;
}

}  // namespace quillo::spreadsheet
