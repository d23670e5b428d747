// What only some loops have: the virtual loop's exact clock, descriptor
// watches and run() on the poll loop, injected clocks. What every loop
// keeps is in event_loop_contract.h.
#include "host/event_loop.h"
#include "host/posix/poll_loop.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace quillo::host {
namespace {

TEST(VirtualLoopTest, TimersFireInDeadlineThenSettingOrder) {
  VirtualLoop loop;
  std::string log;
  loop.set_timeout(20, [&] { log += "b"; });
  loop.set_timeout(10, [&] { log += "a"; });
  loop.set_timeout(20, [&] { log += "c"; });  // same deadline as b, set later
  const TimerId every = loop.set_timer(15, [&] { log += std::to_string(loop.now_ms() / 15); });
  loop.advance(19);
  EXPECT_EQ(log, "a1");
  loop.advance(11);  // now 30: b and c at 20, the repeating timer at 30
  EXPECT_EQ(log, "a1bc2");
  loop.kill_timer(every);
  loop.advance(100);
  EXPECT_EQ(log, "a1bc2");
  EXPECT_EQ(loop.timer_count(), 0u);
  EXPECT_EQ(loop.now_ms(), 130);
}

TEST(PollLoopTest, WatchesDescriptorsAndStopsWhenIdle) {
  PollLoop loop;
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::string got;
  loop.watch_fd(fds[0], kIoRead, [&](unsigned ready) {
    EXPECT_TRUE(ready & kIoRead);
    char c;
    if (::read(fds[0], &c, 1) == 1) got.push_back(c);
    if (got.size() == 2) loop.unwatch_fd(fds[0]);
  });
  loop.set_timeout(1, [&] { ASSERT_EQ(::write(fds[1], "x", 1), 1); });
  loop.set_timeout(2, [&] { ASSERT_EQ(::write(fds[1], "y", 1), 1); });
  loop.run();  // returns once nothing is left to wait for
  EXPECT_EQ(got, "xy");
  ::close(fds[0]);
  ::close(fds[1]);
}

// Timers see the clock at their own deadline, and the calendar moves with
// the loop from where the test set it.
TEST(VirtualLoopTest, ClockFollowsTheLoop) {
  VirtualLoop loop;
  loop.clock().set_calendar(CalendarTime{86400000, 3600});  // 1970-01-02 01:00 local
  std::vector<std::int64_t> seen;
  loop.set_timer(250, [&] { seen.push_back(loop.clock().monotonic_ms()); });
  loop.advance(1000);
  EXPECT_EQ(seen, (std::vector<std::int64_t>{250, 500, 750, 1000}));
  EXPECT_EQ(loop.clock().calendar().unix_ms, 86401000);
  EXPECT_NEAR(loop.clock().calendar().local_serial(), 25570.0 + (3601.0 / 86400.0), 1e-9);
}

// A loop reading an injected clock schedules by it.
TEST(PollLoopTest, ReadsTheClockItIsGiven) {
  FakeClock clock;
  clock.advance(5000);
  PollLoop loop(clock);
  EXPECT_EQ(loop.now_ms(), 5000);
  SystemClock system;
  const CalendarTime now = system.calendar();
  EXPECT_GT(now.local_serial(), 45000.0);  // after 2023
  EXPECT_LE(std::abs(now.utc_offset_s), 14 * 3600);
}

}  // namespace
}  // namespace quillo::host
