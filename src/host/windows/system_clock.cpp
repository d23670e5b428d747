#include "host/windows/system_clock.h"

#include <windows.h>

namespace quillo::host {

namespace {

// 100 ns intervals from 1601-01-01 (FILETIME's epoch) to 1970-01-01.
constexpr std::int64_t kUnixEpochIn100ns = 116444736000000000LL;

std::int64_t filetime_100ns(const FILETIME& ft) {
  return static_cast<std::int64_t>((static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) |
                                   ft.dwLowDateTime);
}

}  // namespace

std::int64_t SystemClock::monotonic_ms() const {
  static const std::int64_t frequency = [] {
    LARGE_INTEGER f;
    return QueryPerformanceFrequency(&f) && f.QuadPart > 0 ? f.QuadPart : 0;
  }();
  LARGE_INTEGER count;
  if (frequency == 0 || !QueryPerformanceCounter(&count)) {
    return static_cast<std::int64_t>(GetTickCount64());
  }
  // Whole seconds and the remainder apart, so the product cannot overflow.
  const std::int64_t c = count.QuadPart;
  return c / frequency * 1000 + c % frequency * 1000 / frequency;
}

CalendarTime SystemClock::calendar() const {
  FILETIME utc;
  GetSystemTimePreciseAsFileTime(&utc);
  const std::int64_t utc_100ns = filetime_100ns(utc);
  CalendarTime t;
  t.unix_ms = (utc_100ns - kUnixEpochIn100ns) / 10000;
  // The offset in force at this moment (daylight saving included): the
  // same instant as local and as UTC calendar time, compared.
  SYSTEMTIME utc_st, local_st;
  FILETIME local_ft;
  if (FileTimeToSystemTime(&utc, &utc_st) &&
      SystemTimeToTzSpecificLocalTime(nullptr, &utc_st, &local_st) &&
      SystemTimeToFileTime(&local_st, &local_ft)) {
    const std::int64_t diff_100ns = filetime_100ns(local_ft) - utc_100ns;
    // SYSTEMTIME keeps milliseconds only; round to whole seconds.
    const std::int64_t seconds = (diff_100ns + (diff_100ns >= 0 ? 5000000 : -5000000)) / 10000000;
    t.utc_offset_s = static_cast<std::int32_t>(seconds);
  }
  return t;
}

}  // namespace quillo::host
