// cls_log: the event-log sink. Components that have something worth a
// diagnostic log (the HTTP request monitors) report events here; by default
// the sink keeps nothing and has no visible effect. With the environment
// variable QUILLO_LOG set (to anything but "0" or empty) each event is
// written to standard error with a timestamp; nothing else changes.
//
// Callers must not depend on any effect: the operations return at once and
// never fail. Any thread; writes to standard error are line-buffered.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string_view>

#include "common/value.h"

namespace quillo {

class cls_log {
 public:
  // Reads QUILLO_LOG once.
  cls_log();
  // For tests: writes to out (nullptr: keeps nothing).
  explicit cls_log(std::ostream* out) : m_out(out) {}

  // Whether events are kept: callers skip formatting an event's texts when
  // they are not.
  bool enabled() const { return m_out != nullptr; }
  void logevent(std::int32_t level, const Value& event, const Value& detail, std::string_view text);
  void datadump(const Value& a, const Value& b);

 private:
  std::ostream* m_out = nullptr;
};

}  // namespace quillo
