// The contract every EventLoop keeps, as typed test cases: timers fire in
// deadline order (equal deadlines in setting order) and stop when killed,
// posted tasks run before the timers of the same pass, handlers may reshape
// the schedule while they run, and tasks posted from other threads run on
// the loop thread in their order, wait while the loop is not running, and
// are dropped with the loop.
//
// A test binary instantiates the suite for each loop it has with a harness:
//
//   struct Harness {
//     Loop& loop();  // a fresh loop made on the constructing thread
//     // Runs the loop until done() answers true (true) or limit_ms of the
//     // loop's clock pass (false).
//     bool run_until(const std::function<bool()>& done, std::int64_t limit_ms);
//   };
//   INSTANTIATE_TYPED_TEST_SUITE_P(Poll, EventLoopContract, PollHarness);
//
// The limits only keep a broken loop from hanging the suite; assertions are
// about order and counts, never about how long anything took.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/event_loop.h"

namespace quillo::host {

template <typename Harness>
class EventLoopContract : public testing::Test {
 protected:
  Harness harness;
  EventLoop& loop() { return harness.loop(); }
  bool run_until(const std::function<bool()>& done, std::int64_t limit_ms) {
    return harness.run_until(done, limit_ms);
  }
};

TYPED_TEST_SUITE_P(EventLoopContract);

TYPED_TEST_P(EventLoopContract, TimersFireInDeadlineThenSettingOrderAndStopWhenKilled) {
  EventLoop& loop = this->loop();
  std::vector<std::string> events;
  loop.set_timeout(60, [&] { events.push_back("d"); });
  loop.set_timeout(20, [&] { events.push_back("a"); });
  loop.set_timeout(40, [&] { events.push_back("b"); });
  loop.set_timeout(40, [&] { events.push_back("c"); });  // b's deadline, set later
  int ticks = 0;
  TimerId repeating = 0;
  repeating = loop.set_timer(15, [&] {
    if (++ticks == 3) loop.kill_timer(repeating);
  });
  EXPECT_EQ(loop.timer_count(), 5u);
  ASSERT_TRUE(this->run_until([&] { return events.size() == 4 && ticks >= 3; }, 5000));
  EXPECT_EQ(events, (std::vector<std::string>{"a", "b", "c", "d"}));
  // Killed from its own handler: no fourth tick, and nothing left to fire.
  EXPECT_FALSE(this->run_until([&] { return ticks > 3; }, 100));
  EXPECT_EQ(ticks, 3);
  EXPECT_EQ(loop.timer_count(), 0u);
  loop.kill_timer(repeating);  // already gone: ignored
  loop.kill_timer(12345);
}

TYPED_TEST_P(EventLoopContract, PostedTasksComeFirstAndHandlersReshapeTheSchedule) {
  EventLoop& loop = this->loop();
  std::vector<std::string> events;
  // A timer killed by another handler never fires, even when due in the
  // same pass; one set from a handler fires (at once when its delay is 0);
  // a task posted from a handler runs before the next timer.
  TimerId doomed_later = 0, doomed_now = 0;
  loop.set_timeout(10, [&] {
    events.push_back("first");
    loop.kill_timer(doomed_now);
    loop.kill_timer(doomed_later);
    loop.set_timeout(0, [&] { events.push_back("zero"); });
    loop.set_timeout(10, [&] { events.push_back("second"); });
    loop.post([&] { events.push_back("posted by first"); });
  });
  doomed_now = loop.set_timeout(10, [&] { events.push_back("doomed now"); });
  doomed_later = loop.set_timeout(200, [&] { events.push_back("doomed later"); });
  loop.post([&] { events.push_back("p1"); });
  loop.post([&] { events.push_back("p2"); });
  ASSERT_TRUE(this->run_until([&] { return events.size() >= 6; }, 5000));
  EXPECT_FALSE(this->run_until([] { return false; }, 300));
  EXPECT_EQ(events,
            (std::vector<std::string>{"p1", "p2", "first", "posted by first", "zero", "second"}));
  EXPECT_EQ(loop.timer_count(), 0u);
}

TYPED_TEST_P(EventLoopContract, TasksFromOtherThreadsRunOnTheLoopThreadInTheirOrder) {
  EventLoop& loop = this->loop();
  const std::thread::id loop_thread = std::this_thread::get_id();
  std::vector<int> seen;
  bool all_on_loop_thread = true;
  // Nothing else keeps the loop busy: the posts alone wake it.
  std::thread worker([&] {
    for (int i = 0; i < 200; ++i) {
      loop.post_from_any_thread([&, i] {
        seen.push_back(i);
        all_on_loop_thread = all_on_loop_thread && std::this_thread::get_id() == loop_thread;
        // A task from another thread may post and set timers like any handler.
        if (i == 199) loop.post([&] { seen.push_back(200); });
      });
    }
  });
  const bool done = this->run_until([&] { return seen.size() == 201; }, 5000);
  worker.join();
  ASSERT_TRUE(done) << seen.size();
  EXPECT_TRUE(all_on_loop_thread);
  for (int i = 0; i <= 200; ++i) ASSERT_EQ(seen[static_cast<std::size_t>(i)], i);
}

TYPED_TEST_P(EventLoopContract, TasksFromOtherThreadsWaitForTheNextRunAndDieWithTheLoop) {
  auto harness = std::make_unique<TypeParam>();
  EventLoop& loop = harness->loop();
  int ran = 0;
  ASSERT_FALSE(harness->run_until([&] { return ran > 0; }, 20));
  // Posted while the loop is not running: held, not run on the posting thread.
  std::thread([&] { loop.post_from_any_thread([&] { ++ran; }); }).join();
  EXPECT_EQ(ran, 0);
  EXPECT_TRUE(harness->run_until([&] { return ran == 1; }, 5000));
  // Posted after the last run: dropped unrun with the loop, what the task
  // holds released.
  auto held = std::make_shared<int>(7);
  std::thread([&, held] { loop.post_from_any_thread([&ran, held] { ran += *held; }); }).join();
  EXPECT_EQ(held.use_count(), 2);
  harness.reset();
  EXPECT_EQ(held.use_count(), 1);
  EXPECT_EQ(ran, 1);
}

REGISTER_TYPED_TEST_SUITE_P(EventLoopContract,
                            TimersFireInDeadlineThenSettingOrderAndStopWhenKilled,
                            PostedTasksComeFirstAndHandlersReshapeTheSchedule,
                            TasksFromOtherThreadsRunOnTheLoopThreadInTheirOrder,
                            TasksFromOtherThreadsWaitForTheNextRunAndDieWithTheLoop);

}  // namespace quillo::host
