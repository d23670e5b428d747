#include "http/clsXMLHttpManager.h"

#include <gtest/gtest.h>

#include "http/scripted_transport.h"

namespace quillo::http {
namespace {

struct Call {
  std::string response;
  std::int32_t reqno;
  std::int16_t status;
  std::string message;
};

class ManagerTest : public ::testing::Test {
 protected:
  ManagerTest() : transport(loop), log(nullptr), manager(loop, transport, processors, log) {
    processors.add("HttpResponseProcessor", [this](const std::string& r, std::int32_t n,
                                                   std::int16_t s, const std::string& m) {
      calls.push_back({r, n, s, m});
    });
    manager.manager_setup({{"SMP", 2}, {"ZER", 0}});
    transport.set_default(ScriptedTransport::complete(200, "ok", 100));
  }
  void call(std::int32_t reqno, std::uint8_t channel = 1) {
    ASSERT_TRUE(manager.XMLHttpCall("GET", "http://h/" + std::to_string(reqno),
                                    "HttpResponseProcessor", reqno, channel));
  }
  std::vector<std::int32_t> answered() const {
    std::vector<std::int32_t> out;
    for (const Call& c : calls) out.push_back(c.reqno);
    return out;
  }

  host::VirtualLoop loop;
  ScriptedTransport transport;
  ResponseProcessors processors;
  cls_log log;
  clsXMLHttpManager manager;
  std::vector<Call> calls;
};

TEST_F(ManagerTest, ChannelsFollowTheSourcesThenTheFixedOnes) {
  EXPECT_EQ(manager.getchannelid("SMP"), 1);
  EXPECT_EQ(manager.getchannelid("wlink"), 3);
  EXPECT_EQ(manager.getchannelid("internal"), 5);
  EXPECT_EQ(manager.getchannelid("WLINK"), 0);
  EXPECT_FALSE(manager.XMLHttpCall("GET", "http://h/", "HttpResponseProcessor", 1, 0));
  EXPECT_FALSE(manager.XMLHttpCall("GET", "http://h/", "HttpResponseProcessor", 1, 6));
}

TEST_F(ManagerTest, LimitQueuesInArrivalOrderAndThePassFillsFreedSlots) {
  for (int r = 1; r <= 5; ++r) call(r);
  EXPECT_EQ(transport.requests().size(), 2u);
  EXPECT_EQ(manager.channel(1).queue, (std::deque<std::int32_t>{3, 4, 5}));
  loop.advance(100);  // the first two answer; queued ones wait for the pass
  EXPECT_EQ(answered(), (std::vector<std::int32_t>{1, 2}));
  EXPECT_EQ(transport.requests().size(), 2u);
  manager.httpqueue_sendout();
  EXPECT_EQ(transport.requests().size(), 4u);
  EXPECT_EQ(transport.requests()[2].url, "http://h/3");
  EXPECT_EQ(manager.channel(1).inflight, 2);
  loop.advance(100);
  manager.httpqueue_sendout();
  loop.advance(100);
  EXPECT_EQ(answered(), (std::vector<std::int32_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(manager.channel(1).inflight, 0);
}

// A request handed over again (the update round sends answered requests
// again) while others wait in its channel goes behind them, though slots
// are free: the waiting ones take the room, in their order.
TEST_F(ManagerTest, ARequestHandedOverWhileOthersWaitGoesBehindThem) {
  for (int r = 1; r <= 5; ++r) call(r);
  loop.advance(100);  // 1 and 2 answered: both slots free, 3 to 5 still queued
  call(1);
  call(2);
  ASSERT_EQ(transport.requests().size(), 4u);
  EXPECT_EQ(transport.requests()[2].url, "http://h/3");
  EXPECT_EQ(transport.requests()[3].url, "http://h/4");
  EXPECT_EQ(manager.channel(1).queue.size(), 3u);  // 5, then 1 and 2 again
  EXPECT_EQ(manager.channel(1).inflight, 2);
  call(5);  // still queued: dropped, not queued twice
  EXPECT_EQ(manager.channel(1).queue.size(), 3u);
  for (int pass = 0; pass < 3; ++pass) {
    loop.advance(100);
    manager.httpqueue_sendout();
  }
  loop.advance(100);
  EXPECT_EQ(answered(), (std::vector<std::int32_t>{1, 2, 3, 4, 5, 1, 2}));
}

TEST_F(ManagerTest, SendOnCompletionFillsTheSlotAtOnceWithinTheLimit) {
  manager.set_send_on_completion(true);
  for (int r = 1; r <= 5; ++r) call(r);
  loop.advance(100);
  EXPECT_EQ(transport.requests().size(), 4u);
  EXPECT_EQ(manager.channel(1).inflight, 2);
  loop.advance(200);
  EXPECT_EQ(answered().size(), 5u);
}

TEST_F(ManagerTest, ZeroLimitNeverSendsAndBusyMonitorDropsTheSecondCall) {
  call(7, 2);
  manager.httpqueue_sendout();
  EXPECT_TRUE(transport.requests().empty());
  EXPECT_EQ(manager.channel(2).queue.size(), 1u);
  call(8);
  call(8);  // same request number, still busy: dropped
  EXPECT_EQ(transport.count("http://h/8"), 1u);
  loop.advance(100);
  EXPECT_EQ(answered(), (std::vector<std::int32_t>{8}));
  call(8);  // available again
  EXPECT_EQ(transport.count("http://h/8"), 2u);
}

TEST_F(ManagerTest, OneRequestNumberOnTwoChannelsHasAMonitorOnEach) {
  // The search and the definitions download share a request number.
  const std::uint8_t search = manager.getchannelid("search");
  const std::uint8_t internal = manager.getchannelid("internal");
  transport.script("http://h/search", ScriptedTransport::never());
  ASSERT_TRUE(
      manager.XMLHttpCall("GET", "http://h/search", "HttpResponseProcessor", 100002, search));
  ASSERT_TRUE(
      manager.XMLHttpCall("GET", "http://h/defs", "HttpResponseProcessor", 100002, internal));
  EXPECT_EQ(transport.requests().size(), 2u);
  EXPECT_EQ(manager.channel(search).inflight, 1);
  EXPECT_EQ(manager.channel(internal).inflight, 1);
  loop.advance(100);
  EXPECT_EQ(answered(), (std::vector<std::int32_t>{100002}));
  EXPECT_EQ(manager.channel(internal).inflight, 0);
  EXPECT_EQ(manager.channel(search).inflight, 1);
}

TEST_F(ManagerTest, FailuresRetryThroughTheErrorQueueAndTheThirdIsReportedOnce) {
  transport.script("http://h/1", ScriptedTransport::fail(56, "Recv failure", 10));
  call(1);
  call(2);  // fills the channel
  call(3);  // queued
  loop.advance(10);
  EXPECT_TRUE(calls.empty());
  EXPECT_EQ(manager.error_queue().size(), 1u);
  manager.httpqueue_sendout();  // resent although the channel is full again
  EXPECT_EQ(transport.count("http://h/1"), 2u);
  loop.advance(10);
  manager.httpqueue_sendout();
  loop.advance(10);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].status, kTransportFailure);
  EXPECT_EQ(calls[0].message, "Recv failure");
  EXPECT_EQ(transport.count("http://h/1"), 3u);
  EXPECT_EQ(manager.find_monitor(1), nullptr);  // done: let go
}

TEST_F(ManagerTest, TwoFailuresThenAnAnswerGiveTheRealStatusAndTheCountStartsAgain) {
  transport.script_once("http://h/1", ScriptedTransport::fail(7, "refused"));
  transport.script_once("http://h/1", ScriptedTransport::fail(7, "refused"));
  transport.script_once("http://h/1", ScriptedTransport::complete(404, "nf"));
  call(1);
  for (int i = 0; i < 3; ++i) {
    loop.advance(1);
    manager.httpqueue_sendout();
  }
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].status, 404);
  EXPECT_EQ(calls[0].response, "nf");
  // An answer ends the run of failures: the next failure is retried, not final.
  transport.script_once("http://h/1", ScriptedTransport::fail(7, "refused"));
  transport.script_once("http://h/1", ScriptedTransport::complete(200, "ok"));
  call(1);
  loop.advance(1);
  EXPECT_EQ(calls.size(), 1u);
  manager.httpqueue_sendout();
  loop.advance(1);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].status, 200);
}

TEST_F(ManagerTest, TheInternalChannelKeepsRedirectsOnTheSiteAndARefusalIsFinal) {
  const std::uint8_t internal = manager.getchannelid("internal");
  transport.script("http://h/1", ScriptedTransport::fail(kErrorRedirectRefused, "refused", 10));
  call(1, internal);
  call(2, manager.getchannelid("wlink"));
  loop.advance(100);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].reqno, 1);
  EXPECT_EQ(calls[0].status, kTransportFailure);
  EXPECT_EQ(calls[0].message, "refused");
  EXPECT_TRUE(manager.error_queue().empty());
  EXPECT_EQ(transport.count("http://h/1"), 1u);
  ASSERT_EQ(transport.requests().size(), 2u);
  EXPECT_TRUE(transport.requests()[0].settings.same_origin_redirects);
  EXPECT_FALSE(transport.requests()[1].settings.same_origin_redirects);
}

TEST_F(ManagerTest, RequestThatCannotStartIsReportedLaterAndReleased) {
  transport.refuse_start("http://h/1", "URL rejected");
  call(1);
  EXPECT_TRUE(calls.empty());  // never from inside the call
  EXPECT_EQ(manager.channel(1).inflight, 0);
  loop.run_pending();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].status, kTransportFailure);
  EXPECT_EQ(calls[0].message, "URL rejected");
  EXPECT_EQ(manager.monitor_count(), 0u);
}

TEST_F(ManagerTest, AMonitorLivesWhileItsRequestIsUnderWay) {
  for (int r = 1; r <= 5; ++r) call(r);
  EXPECT_EQ(manager.monitor_count(), 5u);
  loop.advance(100);  // two answered
  EXPECT_EQ(manager.monitor_count(), 3u);
  for (int pass = 0; pass < 2; ++pass) {
    manager.httpqueue_sendout();
    loop.advance(100);
  }
  EXPECT_EQ(answered(), (std::vector<std::int32_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(manager.monitor_count(), 0u);
  // A request number asked again gets a monitor again.
  call(2);
  loop.advance(100);
  EXPECT_EQ(answered().back(), 2);
  EXPECT_EQ(manager.monitor_count(), 0u);
}

TEST_F(ManagerTest, AFailureToStartWithdrawnBeforeItsReportIsNeverReported) {
  transport.refuse_start("http://h/1", "URL rejected");
  call(1);
  manager.abort_processor("HttpResponseProcessor");
  loop.run_pending();  // the report is dropped; the monitor is let go
  call(2);             // a new monitor takes its id
  loop.advance(100);
  EXPECT_EQ(answered(), (std::vector<std::int32_t>{2}));
  EXPECT_EQ(manager.channel(1).inflight, 0);
}

TEST_F(ManagerTest, CloseMonitorsWithdrawsEverythingSilently) {
  transport.script("http://h/1", ScriptedTransport::fail(7, "refused"));
  for (int r = 1; r <= 4; ++r) call(r);
  loop.advance(0);
  manager.close_monitors();
  EXPECT_EQ(transport.in_flight(), 0u);
  EXPECT_EQ(manager.channel(1).inflight, 0);
  EXPECT_TRUE(manager.channel(1).queue.empty());
  EXPECT_TRUE(manager.error_queue().empty());
  loop.advance(1000);
  manager.httpqueue_sendout();
  EXPECT_TRUE(calls.empty());
}

TEST_F(ManagerTest, AbortProcessorWithdrawsOnlyThatProcessorsRequests) {
  transport.script("http://h/1", ScriptedTransport::fail(7, "refused"));
  for (int r = 1; r <= 3; ++r) call(r);  // 1 fails, 2 in flight, 3 queued
  ASSERT_TRUE(manager.XMLHttpCall("GET", "http://h/search", "search", 100002, 1));
  loop.advance(0);
  ASSERT_EQ(manager.error_queue().size(), 1u);
  manager.abort_processor("HttpResponseProcessor");
  EXPECT_TRUE(manager.error_queue().empty());
  ASSERT_EQ(manager.channel(1).queue.size(), 1u);
  EXPECT_EQ(manager.channel(1).queue.front(), 4);  // the search waits its turn
  EXPECT_EQ(manager.monitor(2).state(), MonitorState::Idle);
  EXPECT_EQ(manager.monitor(4).state(), MonitorState::Waiting);
  loop.advance(1000);
  manager.httpqueue_sendout();
  loop.advance(1000);
  EXPECT_TRUE(calls.empty());
  // A withdrawn request number takes a new request at once.
  call(1);
  EXPECT_EQ(manager.channel(1).inflight, 1);
  EXPECT_EQ(transport.in_flight(), 1u);
}

TEST_F(ManagerTest, UnknownProcessorDiscardsTheAnswer) {
  ASSERT_TRUE(manager.XMLHttpCall("GET", "http://h/9", "nobody", 9, 1));
  loop.advance(100);
  EXPECT_TRUE(calls.empty());
  EXPECT_EQ(manager.monitor_count(), 0u);
  EXPECT_EQ(manager.channel(1).inflight, 0);
}

}  // namespace
}  // namespace quillo::http
