// The demo's market over HTTP: the pages answer as MarketSite writes them,
// and an intercept answers first when it wants to.
#include "demo/market_server.h"

#include <gtest/gtest.h>
#include <httplib.h>

namespace quillo::service {
namespace {

constexpr std::int64_t kMoment = 1767268800000;  // 2026-01-01 12:00 UTC

TEST(MarketServerTest, ServesTheSitesPagesAndTheProductSite) {
  MarketServer server;
  ASSERT_TRUE(server.running());
  server.set_time(kMoment);
  httplib::Client client("127.0.0.1", server.port());
  const auto quote = client.Get("/quote?s=ABC");
  ASSERT_TRUE(quote);
  const Reply expected = server.site().answer("/quote?s=ABC");
  EXPECT_EQ(quote->status, expected.status);
  EXPECT_EQ(quote->body, expected.body);
  const auto site = client.Get("/site/site.xml");
  ASSERT_TRUE(site);
  EXPECT_EQ(site->status, 200);
  EXPECT_EQ(client.Get("/nothing-here")->status, 404);
  EXPECT_EQ(server.requests(), 3);
}

TEST(MarketServerTest, InterceptAnswersBeforeThePages) {
  MarketServer server([](const httplib::Request& req, httplib::Response& res) {
    if (req.path != "/quote") return false;
    res.status = 503;
    return true;
  });
  ASSERT_TRUE(server.running());
  httplib::Client client("127.0.0.1", server.port());
  EXPECT_EQ(client.Get("/quote?s=ABC")->status, 503);
  EXPECT_EQ(client.Get("/keyfigures?s=ABC")->status, 200);
  EXPECT_EQ(server.requests(), 2);
}

}  // namespace
}  // namespace quillo::service
