// The machine's clocks: CLOCK_MONOTONIC for the loop, the system time and
// the local time zone (TZ) for the calendar. Any thread.
#pragma once

#include "host/clock.h"

namespace quillo::host {

class SystemClock final : public Clock {
 public:
  std::int64_t monotonic_ms() const override;
  CalendarTime calendar() const override;
};

}  // namespace quillo::host
