// Date and time functions. Days are serials of the spreadsheet calendar
// (date_serials.h); a date argument may be a number or a text that reads as
// a date or time ("2024-01-31", "31-Jan-2024", "14:30").
#include <algorithm>
#include <array>
#include <cmath>
#include <set>

#include "common/text.h"
#include "spreadsheet/date_serials.h"
#include "spreadsheet/function_args.h"
#include "spreadsheet/model.h"

namespace quillo::spreadsheet {

using namespace fn;

namespace {

double now_of(const CallContext& ctx) {
  return ctx.clock ? ctx.clock->now() : 0.0;
}

}  // namespace

int fn::current_year(const CallContext& ctx) {
  const double now = now_of(ctx);
  return day_of_serial(std::clamp(now, 0.0, kMaxDateSerial)).year;
}

namespace {

// A number that may be written as a date or time text.
Arg<double> date_number(const Value& v0, const CallContext& ctx) {
  const Value v = scalar(v0, ctx);
  if (v.is_text()) {
    if (auto d = text::locale_number(v.text())) return *d;
    if (auto dt = parse_date_time(v.text(), current_year(ctx))) {
      return dt->date.value_or(0.0) + dt->time.value_or(0.0);
    }
    return Fail{ErrorCode::Value};
  }
  return number(v, ctx);
}

// A serial within the calendar: whole days unless keep_time.
Arg<double> serial_arg(const Value& v, const CallContext& ctx, bool keep_time = false) {
  const auto n = date_number(v, ctx);
  if (failed(n)) return n;
  const double d = std::get<double>(n);
  if (d < 0 || d >= kMaxDateSerial + 1) return Fail{ErrorCode::Num};
  return keep_time ? d : std::floor(d);
}

Arg<long long> whole_arg(std::span<const Value> args, std::size_t i, double fallback,
                         const CallContext& ctx) {
  const auto n = number_or(args, i, fallback, ctx);
  if (failed(n)) return std::get<Fail>(n);
  const double d = std::trunc(std::get<double>(n));
  if (std::fabs(d) > 1e9) return Fail{ErrorCode::Num};
  return static_cast<long long>(d);
}

Value serial_result(std::optional<double> s) {
  return s ? Value(*s) : Value(ErrorCode::Num);
}

// Reads an argument into var, or answers the error it gives.
#define QUILLO_TAKE(var, expr)                           \
  const auto var##_taken = (expr);                       \
  if (failed(var##_taken)) return error_of(var##_taken); \
  const auto var = std::get<0>(var##_taken)

}  // namespace

Value fn_today(const CallContext& ctx, std::span<const Value>) {
  return Value(Date{std::floor(now_of(ctx))});
}

Value fn_now(const CallContext& ctx, std::span<const Value>) {
  return Value(Date{now_of(ctx)});
}

// Years below 1900 count from 1900 (DATE(110,1,1) is 2010); months and days
// roll over into the years and months around them.
Value fn_date(const CallContext& ctx, std::span<const Value> args) {
  QUILLO_TAKE(year, whole_arg(args, 0, 0, ctx));
  QUILLO_TAKE(month, whole_arg(args, 1, 0, ctx));
  QUILLO_TAKE(day, whole_arg(args, 2, 0, ctx));
  if (year < 0 || year > 9999) return Value(ErrorCode::Num);
  const auto s = serial_of_day(year < 1900 ? year + 1900 : year, month, day);
  if (!s) return Value(ErrorCode::Num);
  return Value(Date{*s});
}

Value fn_time(const CallContext& ctx, std::span<const Value> args) {
  QUILLO_TAKE(h, whole_arg(args, 0, 0, ctx));
  QUILLO_TAKE(m, whole_arg(args, 1, 0, ctx));
  QUILLO_TAKE(s, whole_arg(args, 2, 0, ctx));
  if (h > 32767 || m > 32767 || s > 32767) return Value(ErrorCode::Num);
  const long long total = h * 3600 + m * 60 + s;
  if (total < 0) return Value(ErrorCode::Num);
  return Value(Date{static_cast<double>(total % 86400) / 86400.0});
}

Value fn_datevalue(const CallContext& ctx, std::span<const Value> args) {
  const Value v = scalar(args[0], ctx);
  if (v.is_error()) return v;
  if (!v.is_text()) return Value(ErrorCode::Value);
  const auto dt = parse_date_time(v.text(), current_year(ctx));
  if (!dt || !dt->date) return Value(ErrorCode::Value);
  return Value(*dt->date);
}

Value fn_timevalue(const CallContext& ctx, std::span<const Value> args) {
  const Value v = scalar(args[0], ctx);
  if (v.is_error()) return v;
  if (!v.is_text()) return Value(ErrorCode::Value);
  const auto dt = parse_date_time(v.text(), current_year(ctx));
  if (!dt || !dt->time) return Value(ErrorCode::Value);
  return Value(*dt->time - std::floor(*dt->time));
}

namespace {

template <typename Field>
Value date_part(const CallContext& ctx, std::span<const Value> args, Field field) {
  QUILLO_TAKE(serial, serial_arg(args[0], ctx));
  return Value(static_cast<double>(field(day_of_serial(serial))));
}

// The time of day to the nearest second: 0 to 86399.
Arg<long long> seconds_of_day(const Value& v, const CallContext& ctx) {
  const auto n = serial_arg(v, ctx, true);
  if (failed(n)) return std::get<Fail>(n);
  const double d = std::get<double>(n);
  const auto s = static_cast<long long>(std::llround((d - std::floor(d)) * 86400.0));
  return s % 86400;
}

}  // namespace

Value fn_year(const CallContext& ctx, std::span<const Value> args) {
  return date_part(ctx, args, [](const CivilDate& d) { return d.year; });
}
Value fn_month(const CallContext& ctx, std::span<const Value> args) {
  return date_part(ctx, args, [](const CivilDate& d) { return d.month; });
}
Value fn_day(const CallContext& ctx, std::span<const Value> args) {
  return date_part(ctx, args, [](const CivilDate& d) { return d.day; });
}
Value fn_hour(const CallContext& ctx, std::span<const Value> args) {
  QUILLO_TAKE(s, seconds_of_day(args[0], ctx));
  return Value(static_cast<double>(s / 3600));
}
Value fn_minute(const CallContext& ctx, std::span<const Value> args) {
  QUILLO_TAKE(s, seconds_of_day(args[0], ctx));
  return Value(static_cast<double>(s / 60 % 60));
}
Value fn_second(const CallContext& ctx, std::span<const Value> args) {
  QUILLO_TAKE(s, seconds_of_day(args[0], ctx));
  return Value(static_cast<double>(s % 60));
}

// Return types 1 (Sunday 1 .. Saturday 7), 2 (Monday 1 .. Sunday 7), 3
// (Monday 0 .. Sunday 6) and 11 to 17 (the week starting Monday ..
// Sunday, that day 1).
Value fn_weekday(const CallContext& ctx, std::span<const Value> args) {
  QUILLO_TAKE(serial, serial_arg(args[0], ctx));
  QUILLO_TAKE(type, whole_arg(args, 1, 1, ctx));
  const int w = weekday_of_serial(serial);  // 0 Sunday
  switch (type) {
    case 1:
      return Value(static_cast<double>(w + 1));
    case 2:
      return Value(static_cast<double>((w + 6) % 7 + 1));
    case 3:
      return Value(static_cast<double>((w + 6) % 7));
    default:
      if (type < 11 || type > 17) return Value(ErrorCode::Num);
      return Value(static_cast<double>((w - (type - 10) % 7 + 7) % 7 + 1));
  }
}

namespace {

double iso_week(double serial) {
  const int iso_day = (weekday_of_serial(serial) + 6) % 7 + 1;  // Monday 1
  const double thursday = serial - iso_day + 4;
  const int year = day_of_serial(std::max(thursday, 1.0)).year;
  const double jan1 = serial_of_day(year, 1, 1).value_or(1.0);
  return std::floor((thursday - jan1) / 7) + 1;
}

}  // namespace

// Week 1 holds January 1st; weeks start on Sunday (type 1, 17), Monday (2,
// 11) or the day types 12 to 16 name. Type 21 is the ISO week.
Value fn_weeknum(const CallContext& ctx, std::span<const Value> args) {
  QUILLO_TAKE(serial, serial_arg(args[0], ctx));
  QUILLO_TAKE(type, whole_arg(args, 1, 1, ctx));
  if (type == 21) return Value(iso_week(serial));
  int start;  // 0 Sunday
  if (type == 1 || type == 17) {
    start = 0;
  } else if (type == 2 || type == 11) {
    start = 1;
  } else if (type >= 12 && type <= 16) {
    start = static_cast<int>(type - 10);
  } else {
    return Value(ErrorCode::Num);
  }
  const int year = day_of_serial(serial).year;
  const double jan1 = serial_of_day(year, 1, 1).value_or(0.0);
  const int offset = (weekday_of_serial(std::max(jan1, 1.0)) - start + 7) % 7;
  return Value(std::floor((serial - jan1 + offset) / 7) + 1);
}

Value fn_isoweeknum(const CallContext& ctx, std::span<const Value> args) {
  QUILLO_TAKE(serial, serial_arg(args[0], ctx));
  return Value(iso_week(serial));
}

namespace {

// The day months after the serial's, its day of the month kept where the
// month has it and else the month's last.
std::optional<double> add_months(double serial, long long months, bool end_of_month) {
  const CivilDate d = day_of_serial(serial);
  const long long m = d.month + months;
  if (end_of_month) return serial_of_day(d.year, m + 1, 0);
  long long y = d.year + (m - 1 >= 0 ? (m - 1) / 12 : (m - 12) / 12);
  const long long mm = ((m - 1) % 12 + 12) % 12 + 1;
  if (y < 1900 || y > 9999) return std::nullopt;
  const int last = days_in_month(static_cast<int>(y), static_cast<int>(mm));
  return serial_of_day(y, mm, std::min(d.day, last));
}

}  // namespace

Value fn_edate(const CallContext& ctx, std::span<const Value> args) {
  QUILLO_TAKE(serial, serial_arg(args[0], ctx));
  QUILLO_TAKE(months, whole_arg(args, 1, 0, ctx));
  return serial_result(add_months(serial, months, false));
}

Value fn_eomonth(const CallContext& ctx, std::span<const Value> args) {
  QUILLO_TAKE(serial, serial_arg(args[0], ctx));
  QUILLO_TAKE(months, whole_arg(args, 1, 0, ctx));
  return serial_result(add_months(serial, months, true));
}

Value fn_days(const CallContext& ctx, std::span<const Value> args) {
  QUILLO_TAKE(end, serial_arg(args[0], ctx));
  QUILLO_TAKE(start, serial_arg(args[1], ctx));
  return Value(end - start);
}

namespace {

bool last_of_february(const CivilDate& d) {
  return d.month == 2 && d.day >= days_in_month(d.year, 2);
}

double days_360(CivilDate a, CivilDate b, bool european) {
  if (european) {
    a.day = std::min(a.day, 30);
    b.day = std::min(b.day, 30);
  } else {
    if (a.day == 31 || last_of_february(a)) a.day = 30;
    // An end on the 31st counts as the 1st of the next month (day 31 of a
    // 30-day month) unless the start is on the 30th.
    if (b.day == 31 && a.day >= 30) b.day = 30;
  }
  return 360.0 * (b.year - a.year) + 30.0 * (b.month - a.month) + (b.day - a.day);
}

}  // namespace

Value fn_days360(const CallContext& ctx, std::span<const Value> args) {
  QUILLO_TAKE(start, serial_arg(args[0], ctx));
  QUILLO_TAKE(end, serial_arg(args[1], ctx));
  bool european = false;
  if (!missing(args, 2)) {
    const auto b = to_bool(scalar(args[2], ctx));
    if (const auto* e = std::get_if<ErrorCode>(&b)) return Value(*e);
    european = std::get<bool>(b);
  }
  return Value(days_360(day_of_serial(start), day_of_serial(end), european));
}

// Bases: 0 US 30/360, 1 actual/actual, 2 actual/360, 3 actual/365, 4
// European 30/360. The dates may come in either order.
Value fn_yearfrac(const CallContext& ctx, std::span<const Value> args) {
  QUILLO_TAKE(s0, serial_arg(args[0], ctx));
  QUILLO_TAKE(e0, serial_arg(args[1], ctx));
  QUILLO_TAKE(basis, whole_arg(args, 2, 0, ctx));
  const double start = std::min(s0, e0), end = std::max(s0, e0);
  CivilDate a = day_of_serial(start), b = day_of_serial(end);
  switch (basis) {
    case 0: {
      const bool a_feb = last_of_february(a);
      if (a_feb && last_of_february(b)) b.day = 30;
      if (a.day == 31 || a_feb) a.day = 30;
      if (b.day == 31 && a.day >= 30) b.day = 30;
      return Value((360.0 * (b.year - a.year) + 30.0 * (b.month - a.month) + (b.day - a.day)) /
                   360.0);
    }
    case 1: {
      const double days = end - start;
      if (a.year == b.year) return Value(days / (is_leap_year(a.year) ? 366.0 : 365.0));
      const double year_on = add_months(start, 12, false).value_or(kMaxDateSerial + 1);
      if (end <= year_on) {
        auto feb29_within = [&](int y) {
          if (!is_leap_year(y)) return false;
          const double f = serial_of_day(y, 2, 29).value_or(-1);
          return f >= start && f <= end;
        };
        return Value(days / (feb29_within(a.year) || feb29_within(b.year) ? 366.0 : 365.0));
      }
      const double span = serial_of_day(b.year + 1LL, 1, 1).value_or(kMaxDateSerial + 1) -
                          serial_of_day(a.year, 1, 1).value_or(0.0);
      return Value(days / (span / (b.year - a.year + 1)));
    }
    case 2:
      return Value((end - start) / 360.0);
    case 3:
      return Value((end - start) / 365.0);
    case 4:
      return Value(days_360(a, b, true) / 360.0);
    default:
      return Value(ErrorCode::Num);
  }
}

// Units Y, M, D (complete years, months, days), MD (days apart, months and
// years ignored), YM (months, years ignored), YD (days, years ignored).
Value fn_datedif(const CallContext& ctx, std::span<const Value> args) {
  QUILLO_TAKE(start, serial_arg(args[0], ctx));
  QUILLO_TAKE(end, serial_arg(args[1], ctx));
  QUILLO_TAKE(unit0, text(args[2], ctx));
  if (start > end) return Value(ErrorCode::Num);
  const std::string unit = text::upper(unit0);
  const CivilDate a = day_of_serial(start), b = day_of_serial(end);
  const long long months = 12LL * (b.year - a.year) + (b.month - a.month) - (b.day < a.day);
  if (unit == "D") return Value(end - start);
  if (unit == "M") return Value(static_cast<double>(months));
  if (unit == "Y") return Value(static_cast<double>(months / 12));
  if (unit == "YM") return Value(static_cast<double>(months % 12));
  if (unit == "MD") {
    if (b.day >= a.day) return Value(static_cast<double>(b.day - a.day));
    return Value(end - serial_of_day(b.year, b.month - 1LL, a.day).value_or(end));
  }
  if (unit == "YD") {
    const bool later = b.month > a.month || (b.month == a.month && b.day >= a.day);
    const auto from = serial_of_day(later ? b.year : b.year - 1LL, a.month, a.day);
    return Value(end - from.value_or(start));
  }
  return Value(ErrorCode::Num);
}

// ---- working days ----

namespace {

// Which weekdays are weekend, Monday first.
using WeekMask = std::array<bool, 7>;

Arg<WeekMask> weekend_arg(std::span<const Value> args, std::size_t i, const CallContext& ctx) {
  WeekMask mask{false, false, false, false, false, true, true};
  if (missing(args, i)) return mask;
  const Value v = scalar(args[i], ctx);
  if (v.is_error()) return Fail{v.error()};
  if (v.is_text()) {
    const std::string& t = v.text();
    if (t.size() != 7 || t.find_first_not_of("01") != std::string::npos) {
      return Fail{ErrorCode::Value};
    }
    for (std::size_t d = 0; d < 7; ++d) mask[d] = t[d] == '1';
    if (t == "1111111") return Fail{ErrorCode::Value};  // no working day at all
    return mask;
  }
  const auto n = number(v, ctx);
  if (failed(n)) return std::get<Fail>(n);
  const auto code = static_cast<long long>(std::trunc(std::get<double>(n)));
  mask.fill(false);
  if (code >= 1 && code <= 7) {
    // 1 Saturday and Sunday, 2 Sunday and Monday, ... 7 Friday and Saturday.
    mask[static_cast<std::size_t>((code + 4) % 7)] = true;
    mask[static_cast<std::size_t>((code + 5) % 7)] = true;
  } else if (code >= 11 && code <= 17) {
    mask[static_cast<std::size_t>((code - 5) % 7)] = true;  // 11 Sunday .. 17 Saturday
  } else {
    return Fail{ErrorCode::Num};
  }
  return mask;
}

Arg<std::set<double>> holidays_arg(std::span<const Value> args, std::size_t i,
                                   const CallContext& ctx) {
  std::set<double> out;
  if (missing(args, i)) return out;
  std::optional<ErrorCode> error;
  auto take = [&](const Value& v) {
    if (error) return;
    if (v.is_empty()) return;
    const auto n = date_number(v, ctx);
    if (failed(n)) {
      error = std::get<Fail>(n).code;
      return;
    }
    out.insert(std::floor(std::get<double>(n)));
  };
  if (auto view = RangeView::of(args[i])) {
    view->for_each(take);
  } else {
    take(scalar(args[i], ctx));
  }
  if (error) return Fail{*error};
  return out;
}

bool is_workday(double serial, const WeekMask& mask, const std::set<double>& holidays) {
  return !mask[static_cast<std::size_t>((weekday_of_serial(serial) + 6) % 7)] &&
         !holidays.count(serial);
}

Value networkdays(double start, double end, const WeekMask& mask,
                  const std::set<double>& holidays) {
  const double lo = std::min(start, end), hi = std::max(start, end);
  int per_week = 0;
  for (bool w : mask) per_week += w ? 0 : 1;
  const double weeks = std::floor((hi - lo + 1) / 7);
  double count = weeks * per_week;
  for (double d = lo + weeks * 7; d <= hi; ++d) {
    if (!mask[static_cast<std::size_t>((weekday_of_serial(d) + 6) % 7)]) ++count;
  }
  for (double h : holidays) {
    if (h >= lo && h <= hi && !mask[static_cast<std::size_t>((weekday_of_serial(h) + 6) % 7)]) {
      --count;
    }
  }
  return Value(start <= end ? count : -count);
}

Value workday(double start, long long days, const WeekMask& mask,
              const std::set<double>& holidays) {
  if (std::all_of(mask.begin(), mask.end(), [](bool w) { return w; })) {
    return Value(ErrorCode::Value);
  }
  double d = start;
  const int step = days < 0 ? -1 : 1;
  for (long long left = days < 0 ? -days : days; left > 0;) {
    d += step;
    if (d < 0 || d > kMaxDateSerial) return Value(ErrorCode::Num);
    if (is_workday(d, mask, holidays)) --left;
  }
  return Value(d);
}

}  // namespace

Value fn_networkdays(const CallContext& ctx, std::span<const Value> args) {
  QUILLO_TAKE(start, serial_arg(args[0], ctx));
  QUILLO_TAKE(end, serial_arg(args[1], ctx));
  QUILLO_TAKE(holidays, holidays_arg(args, 2, ctx));
  return networkdays(start, end, WeekMask{false, false, false, false, false, true, true}, holidays);
}

Value fn_networkdays_intl(const CallContext& ctx, std::span<const Value> args) {
  QUILLO_TAKE(start, serial_arg(args[0], ctx));
  QUILLO_TAKE(end, serial_arg(args[1], ctx));
  QUILLO_TAKE(mask, weekend_arg(args, 2, ctx));
  QUILLO_TAKE(holidays, holidays_arg(args, 3, ctx));
  return networkdays(start, end, mask, holidays);
}

Value fn_workday(const CallContext& ctx, std::span<const Value> args) {
  QUILLO_TAKE(start, serial_arg(args[0], ctx));
  QUILLO_TAKE(days, whole_arg(args, 1, 0, ctx));
  QUILLO_TAKE(holidays, holidays_arg(args, 2, ctx));
  return workday(start, days, WeekMask{false, false, false, false, false, true, true}, holidays);
}

Value fn_workday_intl(const CallContext& ctx, std::span<const Value> args) {
  QUILLO_TAKE(start, serial_arg(args[0], ctx));
  QUILLO_TAKE(days, whole_arg(args, 1, 0, ctx));
  QUILLO_TAKE(mask, weekend_arg(args, 2, ctx));
  QUILLO_TAKE(holidays, holidays_arg(args, 3, ctx));
  return workday(start, days, mask, holidays);
}

#undef QUILLO_TAKE

}  // namespace quillo::spreadsheet
