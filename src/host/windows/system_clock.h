// The machine's clocks on Windows: the performance counter for the loop
// (monotonic, finer than the tick count's 15.6 ms), the precise system time
// and the local time zone's offset at that moment for the calendar. Any
// thread.
#pragma once

#include "host/clock.h"

namespace quillo::host {

class SystemClock final : public Clock {
 public:
  std::int64_t monotonic_ms() const override;
  CalendarTime calendar() const override;
};

}  // namespace quillo::host
