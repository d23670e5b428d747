// The real event loop: poll(2) on the watched descriptors, a pipe to wake
// it from other threads, timers on the monotonic clock.
//
// Loop thread only, but for post_from_any_thread.
#pragma once

#include <functional>

#include "host/clock.h"
#include "host/event_loop.h"
#include "host/posix/system_clock.h"

namespace quillo::host {

class PollLoop : public EventLoop {
 public:
  // Reads the machine's monotonic clock.
  PollLoop();
  // Reads clock, which must outlive the loop.
  explicit PollLoop(const Clock& clock);
  ~PollLoop() override;

  // Dispatches until stop() is called or nothing is left to wait for (no
  // timer, no watch, no posted task).
  void run();
  // Dispatches until done() answers true (checked after every dispatch) or
  // timeout_ms passes; true when done() was reached.
  bool run_until(const std::function<bool()>& done, std::int64_t timeout_ms);
  void stop() { m_stopped = true; }

 private:
  // Waits for I/O or the next deadline (at most max_wait_ms), then dispatches.
  void run_once(std::int64_t max_wait_ms);
  std::int64_t read_clock() const { return m_clock.monotonic_ms(); }
  // Writes a byte to the wake pipe, which poll(2) waits on.
  void wake_from_any_thread() override;

  SystemClock m_system_clock;
  const Clock& m_clock;
  bool m_stopped = false;
  int m_wake[2] = {-1, -1};
};

}  // namespace quillo::host
