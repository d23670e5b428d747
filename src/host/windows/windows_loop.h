// The event loop on the host's user-interface thread: a message-only window
// made on the constructing thread; one SetTimer on it for the next timer
// deadline (re-armed whenever timers change or after each dispatch); posted
// tasks and tasks from other threads arrive as a window message. The host's
// own message loop drives it; run_until pumps messages itself (tests, the
// stand-in host, which have no message loop of their own).
//
// Loop thread only (the constructing thread, which must pump messages), but
// for post_from_any_thread. A dispatch never starts inside another one: a
// handler that runs a nested message loop (a message box) holds the loop's
// timers and tasks until it returns. Descriptor watches do not exist on
// Windows (watch_fd is accepted but never fires).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "host/clock.h"
#include "host/event_loop.h"
#include "host/windows/system_clock.h"

namespace quillo::host {

class WindowsLoop final : public EventLoop {
 public:
  // Reads the system's monotonic clock.
  WindowsLoop();
  // Reads clock, which must outlive the loop.
  explicit WindowsLoop(const Clock& clock);
  // Kills its timer and destroys its window; tasks still queued are dropped.
  ~WindowsLoop() override;
  WindowsLoop(const WindowsLoop&) = delete;
  WindowsLoop& operator=(const WindowsLoop&) = delete;

  // Pumps this thread's messages until done() answers true (checked after
  // every message) or timeout_ms passes; true when done() was reached. A
  // WM_QUIT ends it early and is posted again for the outer loop.
  bool run_until(const std::function<bool()>& done, std::int64_t timeout_ms);

  // False when the window could not be made; the loop then never runs.
  bool ok() const { return m_window != nullptr; }
  // The system's error code from the last failed attempt to make it.
  unsigned long error() const { return m_error; }

  // The window procedure's entry: a timer tick or a wake message.
  void on_wake();

 private:
  void schedule_changed() override;
  // Posts the wake message to the loop's window.
  void wake_from_any_thread() override { wake(); }
  // Sets the window timer for the next deadline, or posts a wake message
  // when something is due already.
  void arm();
  void wake();

  SystemClock m_system_clock;
  const Clock& m_clock;
  void* m_window = nullptr;  // HWND
  unsigned long m_error = 0;
  bool m_dispatching = false;
  bool m_timer_set = false;
  std::atomic<bool> m_wake_pending{false};
};

}  // namespace quillo::host
