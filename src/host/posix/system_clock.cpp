#include "host/posix/system_clock.h"

#include <time.h>

namespace quillo::host {

std::int64_t SystemClock::monotonic_ms() const {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

CalendarTime SystemClock::calendar() const {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  tm local{};
  const time_t seconds = ts.tv_sec;
  ::localtime_r(&seconds, &local);
  CalendarTime t;
  t.unix_ms = static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
  t.utc_offset_s = static_cast<std::int32_t>(local.tm_gmtoff);
  return t;
}

}  // namespace quillo::host
