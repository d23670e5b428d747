#include "host/event_loop.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>

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

TEST(VirtualLoopTest, HandlersMayKillAndSetTimersAndPost) {
  VirtualLoop loop;
  std::string log;
  TimerId second = 0;
  loop.set_timeout(5, [&] {
    log += "1";
    loop.kill_timer(second);  // due at the same time, must not fire
    loop.post([&] { log += "p"; });
    loop.set_timeout(0, [&] { log += "0"; });  // due now: fires in this pass
  });
  second = loop.set_timeout(5, [&] { log += "2"; });
  TimerId self = 0;
  self = loop.set_timer(3, [&] {
    log += "s";
    loop.kill_timer(self);
  });
  loop.advance(10);
  EXPECT_EQ(log, "s1p0");
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

TEST(PollLoopTest, RunUntilEndsOnConditionOrTimeoutAndWakesForOtherThreads) {
  PollLoop loop;
  bool done = false;
  std::thread other([&] { loop.post_from_any_thread([&] { done = true; }); });
  loop.set_timer(10000, [] {});  // keeps the loop busy
  EXPECT_TRUE(loop.run_until([&] { return done; }, 5000));
  other.join();
  EXPECT_FALSE(loop.run_until([] { return false; }, 20));
}

}  // namespace
}  // namespace quillo::host
