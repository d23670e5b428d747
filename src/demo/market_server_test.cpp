// The demo's market over HTTP: the pages answer as MarketSite writes them,
// and an intercept answers first when it wants to.
#include "demo/market_server.h"

#include <gtest/gtest.h>
#include <httplib.h>

#ifndef _WIN32
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

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

#ifndef _WIN32
// A refresh opens a connection per channel at once: the server's listening
// socket queues such a burst (a connection the kernel cannot queue is
// dropped and retried a second later). Linux tells a listening socket's
// queue size as tcpi_sacked.
TEST(MarketServerTest, ListensWithRoomForABurstOfConnections) {
  MarketServer server;
  ASSERT_TRUE(server.running());
  int found = 0;
  for (int fd = 0; fd < 4096; ++fd) {
    int accepting = 0;
    socklen_t len = sizeof accepting;
    if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &len) != 0 || !accepting) continue;
    sockaddr_in addr{};
    len = sizeof addr;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
        addr.sin_family != AF_INET || ntohs(addr.sin_port) != server.port()) {
      continue;
    }
    tcp_info info{};
    len = sizeof info;
    ASSERT_EQ(::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len), 0);
    EXPECT_GE(info.tcpi_sacked, 64u);
    ++found;
  }
  EXPECT_EQ(found, 1);
}
#endif

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
