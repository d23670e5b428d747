#include "common/dates.h"

#include <charconv>
#include <cmath>

namespace quillo {

namespace {

// Days from 1970-01-01 to the given civil date (Howard Hinnant's algorithm).
long long days_from_civil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

// 1899-12-30 counted from 1970-01-01.
constexpr long long kEpochOffset = -25569;

bool is_leap(int y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int days_in_month(int y, int m) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && is_leap(y) ? 29 : kDays[m - 1];
}

}  // namespace

double date_serial(int year, int month, int day) {
  // Roll the month into range first, then count the day from the 1st.
  long long y = year;
  long long m0 = static_cast<long long>(month) - 1;
  y += m0 >= 0 ? m0 / 12 : (m0 - 11) / 12;
  m0 = ((m0 % 12) + 12) % 12;
  const long long first = days_from_civil(y, static_cast<unsigned>(m0 + 1), 1);
  return static_cast<double>(first - kEpochOffset + day - 1);
}

CivilDate civil_from_serial(double serial) {
  const long long z0 = static_cast<long long>(std::floor(serial)) + kEpochOffset + 719468;
  const long long era = (z0 >= 0 ? z0 : z0 - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z0 - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long long y = static_cast<long long>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  return CivilDate{static_cast<int>(y + (m <= 2)), static_cast<int>(m), static_cast<int>(d)};
}

std::optional<double> parse_iso_date(std::string_view t) {
  if (t.size() != 10 || t[4] != '-' || t[7] != '-') return std::nullopt;
  int y = 0, m = 0, d = 0;
  auto num = [&](std::size_t pos, std::size_t len, int& out) {
    const auto r = std::from_chars(t.data() + pos, t.data() + pos + len, out);
    return r.ec == std::errc() && r.ptr == t.data() + pos + len;
  };
  if (!num(0, 4, y) || !num(5, 2, m) || !num(8, 2, d)) return std::nullopt;
  if (m < 1 || m > 12 || d < 1 || d > days_in_month(y, m)) return std::nullopt;
  return date_serial(y, m, d);
}

}  // namespace quillo
