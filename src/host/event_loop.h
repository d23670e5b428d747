// The event loop everything runs on: one thread dispatches timers, posted
// tasks and I/O readiness one at a time, so the engine needs no locks.
//
// Timers stand in for the platform's window timers: a timer fires after its
// interval and again every interval until it is killed. Timers due at the
// same time fire in the order they were set. The clock is read once per
// dispatch, so every handler of one pass sees the same time.
//
// Implementations: PollLoop (host/posix/poll_loop.h) waits on poll(2) and
// reads a monotonic Clock; VirtualLoop, here, runs on a clock that only
// advance(ms) moves, firing due timers in order without sleeping (for
// tests). Each keeps the cases of event_loop_contract.h.
//
// Loop thread only, but for post_from_any_thread, which any thread may call
// (the web server's threads and WinHTTP's workers hand their results back
// through it). Handlers may set and kill timers, post tasks and watch or
// unwatch descriptors, including their own, while they run.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "host/clock.h"

namespace quillo::host {

using TimerId = std::uint64_t;

// What a watched descriptor is waited for, and what it became ready for.
enum IoEvents : unsigned { kIoRead = 1, kIoWrite = 2, kIoError = 4 };

class EventLoop {
 public:
  virtual ~EventLoop() = default;

  // Milliseconds on the loop's clock, as read at the start of this dispatch.
  std::int64_t now_ms() const { return m_now; }

  // Fires fn every interval_ms (at least 1) until killed; returns its id.
  TimerId set_timer(std::int64_t interval_ms, std::function<void()> fn);
  // Fires fn once after delay_ms.
  TimerId set_timeout(std::int64_t delay_ms, std::function<void()> fn);
  // Stops a timer; unknown or already stopped ids are ignored.
  void kill_timer(TimerId id);
  std::size_t timer_count() const { return m_timers.size(); }

  // Runs fn on the loop thread after the current handler, in posting order.
  void post(std::function<void()> fn);
  // Safe from any thread (not from a signal handler): queues fn to run on
  // the loop thread, after the tasks queued before it, and wakes the loop.
  // A task queued while the loop is not running waits for its next
  // dispatch; one still queued when the loop is destroyed is dropped
  // without running.
  void post_from_any_thread(std::function<void()> fn);

  // Calls fn(ready events) whenever fd is ready for any of events. One
  // watch per descriptor; watching again replaces it.
  virtual void watch_fd(int fd, unsigned events, std::function<void(unsigned)> fn);
  virtual void unwatch_fd(int fd);

 protected:
  struct Timer {
    std::int64_t interval = 0;  // 0: fires once
    std::function<void()> fn;
  };
  struct Watch {
    unsigned events = 0;
    std::function<void(unsigned)> fn;
  };

  // Runs the tasks queued from other threads, posted tasks and the timers
  // due at m_now, in order.
  void dispatch_due();
  // The deadline of the next timer, or -1 when none is set.
  std::int64_t next_deadline() const;
  bool has_posted() const { return !m_posted.empty(); }
  // Whether tasks from other threads wait to be taken. Any thread.
  bool has_foreign() const;
  // Called on the posting thread after a task from another thread is
  // queued: wakes the loop's wait. A loop that only runs when asked (the
  // virtual loop) ignores it.
  virtual void wake_from_any_thread() {}
  // Called after a timer is set or killed or a task is posted, so a loop
  // that waits on the platform's own timer (WindowsLoop) can re-arm it.
  // Loops that look at the schedule before every wait ignore it.
  virtual void schedule_changed() {}

  std::int64_t m_now = 0;
  std::map<int, Watch> m_watches;

 private:
  TimerId add(std::int64_t delay, std::int64_t interval, std::function<void()> fn);

  // Deadline and sequence number order equal deadlines by setting order.
  std::map<std::pair<std::int64_t, std::uint64_t>, TimerId> m_queue;
  std::map<TimerId, std::pair<Timer, std::pair<std::int64_t, std::uint64_t>>> m_timers;
  // Moves the tasks queued from other threads behind the posted ones.
  void take_foreign();

  std::vector<std::function<void()>> m_posted;
  mutable std::mutex m_foreign_mutex;
  std::vector<std::function<void()>> m_foreign;
  std::uint64_t m_sequence = 0;
  TimerId m_next_id = 1;
};

// A loop on a virtual clock for tests: time moves only by advance().
class VirtualLoop : public EventLoop {
 public:
  // Moves the clock forward by ms, firing every timer that falls due on the
  // way at its own deadline, in order, and running posted tasks.
  void advance(std::int64_t ms);
  // Runs posted tasks, those queued from other threads included (and
  // timers due now), without moving the clock.
  void run_pending() { advance(0); }
  // Simulates readiness of a watched descriptor.
  void signal_fd(int fd, unsigned events);
  // The loop's clock: its monotonic time is now_ms(); the calendar moves
  // with it from wherever the test set it.
  FakeClock& clock() { return m_clock; }

 private:
  void move_to(std::int64_t ms);
  FakeClock m_clock;
};

}  // namespace quillo::host
