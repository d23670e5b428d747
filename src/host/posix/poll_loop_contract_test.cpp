// The event-loop contract on this platform's loop (PollLoop) and on the
// virtual loop tests drive by hand.
#include <chrono>
#include <thread>

#include "host/event_loop_contract.h"
#include "host/posix/poll_loop.h"

namespace quillo::host {
namespace {

struct PollHarness {
  PollLoop& loop() { return m_loop; }
  bool run_until(const std::function<bool()>& done, std::int64_t limit_ms) {
    return m_loop.run_until(done, limit_ms);
  }
  PollLoop m_loop;
};

// Moves the virtual clock a millisecond at a time, pausing as long in real
// time so that other threads get to post.
struct VirtualHarness {
  VirtualLoop& loop() { return m_loop; }
  bool run_until(const std::function<bool()>& done, std::int64_t limit_ms) {
    for (std::int64_t waited = 0; !done(); ++waited) {
      if (waited >= limit_ms) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      m_loop.advance(1);
    }
    return true;
  }
  VirtualLoop m_loop;
};

INSTANTIATE_TYPED_TEST_SUITE_P(Poll, EventLoopContract, PollHarness);
INSTANTIATE_TYPED_TEST_SUITE_P(Virtual, EventLoopContract, VirtualHarness);

}  // namespace
}  // namespace quillo::host
