// Date serials as spreadsheets count them: days since 1899-12-30, the
// fraction being the time of day. Pure functions of the proleptic Gregorian
// calendar; any thread.
#pragma once

#include <optional>
#include <string_view>

namespace quillo {

struct CivilDate {
  int year = 1899;
  int month = 12;
  int day = 30;
  bool operator==(const CivilDate&) const = default;
};

// The serial of a calendar day; month and day may lie outside their usual
// ranges and roll over (month 13 is January of the next year, day 0 the last
// day of the month before), as the spreadsheet's DATE function does.
double date_serial(int year, int month, int day);
// The calendar day of a serial (its whole part).
CivilDate civil_from_serial(double serial);
// Reads an ISO date "YYYY-MM-DD"; nullopt when the text is not a valid date.
std::optional<double> parse_iso_date(std::string_view text);

}  // namespace quillo
