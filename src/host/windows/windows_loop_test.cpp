// WindowsLoop under the event-loop contract (event_loop_contract.h), and
// what only it has: a quit request during run_until and an injected clock.
// Intervals are short and the assertions are about order and counts, never
// about how long things took.
#include "host/windows/windows_loop.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>

#include "host/event_loop_contract.h"

namespace quillo::host {
namespace {

struct WindowsHarness {
  WindowsHarness() { EXPECT_TRUE(m_loop.ok()) << "system error " << m_loop.error(); }
  WindowsLoop& loop() { return m_loop; }
  bool run_until(const std::function<bool()>& done, std::int64_t limit_ms) {
    return m_loop.run_until(done, limit_ms);
  }
  WindowsLoop m_loop;
};

INSTANTIATE_TYPED_TEST_SUITE_P(Windows, EventLoopContract, WindowsHarness);

TEST(WindowsLoopTest, RunUntilGivesWayToAQuitRequestAndTimesOut) {
  WindowsLoop loop;
  // A task posted with no timer set wakes the loop by itself.
  bool posted = false;
  loop.post([&] { posted = true; });
  EXPECT_TRUE(loop.run_until([&] { return posted; }, 2000));
  bool fired = false;
  loop.set_timeout(5000, [&] { fired = true; });
  EXPECT_FALSE(loop.run_until([&] { return fired; }, 50));
  PostQuitMessage(7);
  EXPECT_FALSE(loop.run_until([&] { return fired; }, 5000));
  // The quit request is left for the host's own message loop.
  MSG msg;
  ASSERT_TRUE(PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
  EXPECT_EQ(msg.wParam, 7u);
  EXPECT_FALSE(fired);
}

TEST(WindowsLoopTest, ReadsTheClockItIsGiven) {
  FakeClock clock;
  clock.advance(1000);
  WindowsLoop loop(clock);
  EXPECT_EQ(loop.now_ms(), 1000);
  SystemClock system;
  const std::int64_t a = system.monotonic_ms();
  EXPECT_GE(system.monotonic_ms(), a);
  // The calendar is near enough to now: after 2020, before 2100.
  const CalendarTime t = system.calendar();
  EXPECT_GT(t.unix_ms, 1577836800000LL);
  EXPECT_LT(t.unix_ms, 4102444800000LL);
  EXPECT_LE(std::abs(t.utc_offset_s), 14 * 3600);
}

}  // namespace
}  // namespace quillo::host
