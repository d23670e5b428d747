// Clocks: where the engine reads time. The event loop reads the monotonic
// clock (only differences mean anything: timers, time-outs); the calendar
// clock gives the wall time with the local offset from UTC (what a
// spreadsheet's NOW() shows, log time stamps).
//
// SystemClock (host/posix/, host/windows/) reads the machine's clocks;
// FakeClock holds times a test sets and moves. Any thread may read a clock;
// a FakeClock is moved by the test's own thread.
#pragma once

#include <cstdint>

namespace quillo::host {

// A moment of the calendar: milliseconds since 1970-01-01 UTC, and the
// local time zone's offset from UTC at that moment.
struct CalendarTime {
  std::int64_t unix_ms = 0;
  std::int32_t utc_offset_s = 0;

  // Local time as a spreadsheet serial: days since 1899-12-30 with the time
  // of day as the fraction.
  double local_serial() const {
    const double local_s = static_cast<double>(unix_ms) / 1000.0 + utc_offset_s;
    return local_s / 86400.0 + 25569.0;
  }
};

class Clock {
 public:
  virtual ~Clock() = default;
  virtual std::int64_t monotonic_ms() const = 0;
  virtual CalendarTime calendar() const = 0;
};

class FakeClock final : public Clock {
 public:
  std::int64_t monotonic_ms() const override { return m_monotonic; }
  CalendarTime calendar() const override { return m_calendar; }

  // Moves both clocks forward by ms.
  void advance(std::int64_t ms) {
    m_monotonic += ms;
    m_calendar.unix_ms += ms;
  }
  void set_calendar(CalendarTime t) { m_calendar = t; }

 private:
  std::int64_t m_monotonic = 0;
  CalendarTime m_calendar;
};

}  // namespace quillo::host
