#include "http/scripted_transport.h"

#include <gtest/gtest.h>

#include <vector>

namespace quillo::http {
namespace {

struct Log {
  std::vector<HttpResult> results;
  HttpHandler handler() {
    return [this](HttpResult r) { results.push_back(std::move(r)); };
  }
};

TEST(ScriptedTransportTest, AnswersArriveOnTheLoopAfterTheirDelay) {
  host::VirtualLoop loop;
  ScriptedTransport transport(loop);
  transport.script("http://a/1", ScriptedTransport::complete(200, "one", 50));
  transport.script("http://a/2", ScriptedTransport::fail(7, "refused", 10));
  Log log;
  HttpSettings settings;
  settings.useproxy = 1;
  ASSERT_NE(transport.get("http://a/1", settings, log.handler()), 0u);
  ASSERT_NE(transport.get("http://a/2", {}, log.handler()), 0u);
  ASSERT_NE(transport.get("http://a/3", {}, log.handler()), 0u);  // unscripted: 404
  EXPECT_TRUE(log.results.empty());                               // never inside get()
  EXPECT_EQ(transport.in_flight(), 3u);
  loop.run_pending();
  ASSERT_EQ(log.results.size(), 1u);
  EXPECT_EQ(log.results[0].status, 404);
  loop.advance(10);
  ASSERT_EQ(log.results.size(), 2u);
  EXPECT_FALSE(log.results[1].completed);
  EXPECT_EQ(log.results[1].error_number, 7);
  EXPECT_EQ(log.results[1].error_text, "refused");
  loop.advance(40);
  ASSERT_EQ(log.results.size(), 3u);
  EXPECT_TRUE(log.results[2].completed);
  EXPECT_EQ(log.results[2].body, "one");
  EXPECT_EQ(transport.in_flight(), 0u);
  ASSERT_EQ(transport.requests().size(), 3u);
  EXPECT_EQ(transport.requests()[0].settings.useproxy, 1);
  EXPECT_TRUE(transport.requests()[0].answered);
}

TEST(ScriptedTransportTest, AnswersSlowerThanTheTransferTimeoutTimeOut) {
  host::VirtualLoop loop;
  ScriptedTransport transport(loop);
  transport.script("http://a/slow", ScriptedTransport::complete(200, "late", 5000));
  Log log;
  HttpSettings settings;
  settings.transfer_timeout = 2;
  ASSERT_NE(transport.get("http://a/slow", settings, log.handler()), 0u);
  loop.advance(1999);
  EXPECT_TRUE(log.results.empty());
  loop.advance(1);
  ASSERT_EQ(log.results.size(), 1u);
  EXPECT_FALSE(log.results[0].completed);
  EXPECT_EQ(log.results[0].error_number, kErrorTransferTimeout);
}

TEST(ScriptedTransportTest, QueuedAnswersComeBeforeTheStandingOne) {
  host::VirtualLoop loop;
  ScriptedTransport transport(loop);
  transport.script("http://a/", ScriptedTransport::complete(200, "standing"));
  transport.script_once("http://a/", ScriptedTransport::fail(56, "reset"));
  transport.script_next(ScriptedTransport::complete(500, "next"));
  Log log;
  for (int i = 0; i < 3; ++i) transport.get("http://a/", {}, log.handler());
  loop.run_pending();
  ASSERT_EQ(log.results.size(), 3u);
  EXPECT_EQ(log.results[0].error_number, 56);
  EXPECT_EQ(log.results[1].status, 500);
  EXPECT_EQ(log.results[2].body, "standing");
  EXPECT_EQ(transport.count("http://a/"), 3u);
}

TEST(ScriptedTransportTest, NeverCancelAbortAndRefusedStartReportNothing) {
  host::VirtualLoop loop;
  ScriptedTransport transport(loop);
  transport.script("http://hang/", ScriptedTransport::never());
  transport.script("http://slow/", ScriptedTransport::complete(200, "late", 100));
  transport.refuse_start("http://bad/", "malformed");
  Log log;
  std::string error;
  EXPECT_EQ(transport.get("http://bad/", {}, log.handler(), &error), 0u);
  EXPECT_EQ(error, "malformed");
  transport.get("http://hang/", {}, log.handler());
  const RequestId slow = transport.get("http://slow/", {}, log.handler());
  transport.get("http://slow/", {}, log.handler());
  transport.cancel(slow);
  transport.cancel(slow);  // twice is harmless
  loop.advance(1000);
  EXPECT_EQ(log.results.size(), 1u);     // only the second slow one
  EXPECT_EQ(transport.in_flight(), 1u);  // the one that never answers
  transport.abort_all();
  EXPECT_EQ(transport.in_flight(), 0u);
  loop.advance(1000);
  EXPECT_EQ(log.results.size(), 1u);
  EXPECT_TRUE(transport.requests()[2].cancelled);
}

TEST(ScriptedTransportTest, HandlersMayStartAndCancelRequests) {
  host::VirtualLoop loop;
  ScriptedTransport transport(loop);
  Log log;
  RequestId victim = 0;
  transport.get("http://a/", {}, [&](HttpResult) {
    transport.cancel(victim);  // due at the same time, must not be reported
    transport.get("http://c/", {}, log.handler());
  });
  victim = transport.get("http://b/", {}, log.handler());
  loop.run_pending();
  ASSERT_EQ(log.results.size(), 1u);
  EXPECT_EQ(transport.requests().back().url, "http://c/");
}

}  // namespace
}  // namespace quillo::http
