// The calendar of worksheet date serials as the spreadsheet shows them, and
// the reading of dates and times typed as text (DATEVALUE, TIMEVALUE).
//
// Serials count days since 1899-12-30, so from 1900-03-01 (serial 61) on
// they are the plain Gregorian calendar. Below that, workbooks carry the
// spreadsheet's historical 1900 leap-year quirk: serial 1 is 1900-01-01,
// serial 60 is the nonexistent 1900-02-29 and serial 0 shows as 1900-01-00.
// Functions that break a serial into a day (YEAR, TEXT, ...) and DATE use
// this calendar, so files written by other spreadsheets read back the same
// day. Weekdays are counted from the serial alone (serial 1 a Sunday).
// Pure functions; any thread.
#pragma once

#include <optional>
#include <string_view>

#include "common/dates.h"

namespace quillo::spreadsheet {

// The last day a serial may stand for: 9999-12-31.
inline constexpr double kMaxDateSerial = 2958465.0;

// The calendar day of a serial's whole part (serial 0 is 1900-01-00, serial
// 60 is 1900-02-29). The serial must lie within 0 and kMaxDateSerial.
CivilDate day_of_serial(double serial);

// The serial of a calendar day; month and day roll over out of their ranges
// (month 13, day 0) as DATE does. nullopt when the day lies before serial 0
// or after 9999-12-31.
std::optional<double> serial_of_day(long long year, long long month, long long day);

// 0 for Sunday up to 6 for Saturday.
int weekday_of_serial(double serial);

// Days in a month of the Gregorian calendar.
int days_in_month(int year, int month);
bool is_leap_year(int year);

// A date and a time read from text as a user types them: "2024-01-31",
// "1/31/2024", "31-Jan-2024", "January 31, 2024", "Jan-24", "14:30",
// "2:30:15 PM", "2024-01-31 10:00". A date without a year takes
// current_year (with 0 such a date does not read). Two-digit years 00-29 are 2000-2029, 30-99
// 1930-1999.
struct DateTimeText {
  std::optional<double> date;  // the day's serial
  std::optional<double> time;  // the fraction of a day
};
std::optional<DateTimeText> parse_date_time(std::string_view text, int current_year);

}  // namespace quillo::spreadsheet
