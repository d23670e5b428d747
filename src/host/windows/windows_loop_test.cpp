// WindowsLoop: window timers in deadline order, kill_timer, posted tasks,
// tasks from other threads, handlers that change the schedule while they
// run, and a quit request during run_until. Intervals are short and the
// assertions are about order and counts, never about how long things took.
#include "host/windows/windows_loop.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace quillo::host {
namespace {

TEST(WindowsLoopTest, TimersFireInDeadlineOrderAndStopWhenKilled) {
  WindowsLoop loop;
  ASSERT_TRUE(loop.ok());
  std::vector<std::string> events;
  loop.set_timeout(60, [&] { events.push_back("c"); });
  loop.set_timeout(20, [&] { events.push_back("a"); });
  loop.set_timeout(40, [&] { events.push_back("b"); });
  int ticks = 0;
  TimerId repeating = 0;
  repeating = loop.set_timer(15, [&] {
    if (++ticks == 3) loop.kill_timer(repeating);
  });
  EXPECT_EQ(loop.timer_count(), 4u);
  ASSERT_TRUE(loop.run_until([&] { return events.size() == 3 && ticks >= 3; }, 5000));
  EXPECT_EQ(events, (std::vector<std::string>{"a", "b", "c"}));
  // Killed from its own handler: no fourth tick, and nothing left to fire.
  EXPECT_FALSE(loop.run_until([&] { return ticks > 3; }, 100));
  EXPECT_EQ(ticks, 3);
  EXPECT_EQ(loop.timer_count(), 0u);
}

TEST(WindowsLoopTest, PostedTasksRunInOrderBeforeTimersAndHandlersReshapeTheSchedule) {
  WindowsLoop loop;
  std::vector<std::string> events;
  // A timer killed by another handler before its deadline never fires; one
  // set from a handler fires; a task posted from a handler runs.
  const TimerId doomed = loop.set_timeout(200, [&] { events.push_back("doomed"); });
  loop.set_timeout(10, [&] {
    events.push_back("first");
    loop.kill_timer(doomed);
    loop.set_timeout(10, [&] { events.push_back("second"); });
    loop.post([&] { events.push_back("posted by first"); });
  });
  loop.post([&] { events.push_back("p1"); });
  loop.post([&] { events.push_back("p2"); });
  ASSERT_TRUE(loop.run_until([&] { return events.size() >= 5; }, 5000));
  EXPECT_FALSE(loop.run_until([] { return false; }, 300));
  EXPECT_EQ(events, (std::vector<std::string>{"p1", "p2", "first", "posted by first", "second"}));
}

TEST(WindowsLoopTest, TasksFromOtherThreadsRunOnTheLoopThreadInTheirOrder) {
  WindowsLoop loop;
  const std::thread::id loop_thread = std::this_thread::get_id();
  std::vector<int> seen;
  bool all_on_loop_thread = true;
  std::thread worker([&] {
    for (int i = 0; i < 200; ++i) {
      loop.post_from_any_thread([&, i] {
        seen.push_back(i);
        all_on_loop_thread = all_on_loop_thread && std::this_thread::get_id() == loop_thread;
      });
    }
  });
  const bool done = loop.run_until([&] { return seen.size() == 200; }, 5000);
  worker.join();
  ASSERT_TRUE(done);
  EXPECT_TRUE(all_on_loop_thread);
  for (int i = 0; i < 200; ++i) ASSERT_EQ(seen[i], i);
}

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
