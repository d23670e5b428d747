// Date and time sections of number formats.
#include <array>
#include <cmath>
#include <cstdio>

#include "spreadsheet/date_serials.h"
#include "spreadsheet/number_format_detail.h"

namespace quillo::spreadsheet::number_format_detail {

namespace {

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

}  // namespace

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

}  // namespace quillo::spreadsheet::number_format_detail
