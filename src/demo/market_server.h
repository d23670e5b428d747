// MarketServer: the synthetic market's pages (market_site.h, with the
// product site of product_site.h) served over HTTP on 127.0.0.1 by
// cpp-httplib, on an ephemeral port with keep-alive. `quillo demo` fills
// its workbook from it; the test service (testing/market_service.h) adds
// its faults in front of it.
//
// Each request goes first to the intercept given at construction, when
// there is one: it may answer the request itself (returning true) or let
// the pages answer. Then the product site, the web-link redirects and the
// market's pages answer, in that order.
//
// Prices follow the clock: the real time unless set_time() fixes it.
// Starts in the constructor and stops in the destructor, which waits for
// requests being answered. Thread-safe.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "demo/market_site.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace quillo::service {

class MarketServer {
 public:
  // Runs on the server's threads before the pages; true when it answered.
  using Intercept = std::function<bool(const httplib::Request&, httplib::Response&)>;

  explicit MarketServer(Intercept intercept = {});
  ~MarketServer();
  MarketServer(const MarketServer&) = delete;
  MarketServer& operator=(const MarketServer&) = delete;

  // False when the server could not be started (no port).
  bool running() const { return m_port > 0; }
  int port() const { return m_port; }
  // "http://127.0.0.1:PORT".
  std::string base_url() const;

  // Fixes the clock at unix_ms; a negative value returns to the real time.
  void set_time(std::int64_t unix_ms) { m_fixed_time = unix_ms; }
  std::int64_t now_ms() const;

  const MarketSite& site() const { return m_site; }
  // Requests received, whoever answered them.
  std::int64_t requests() const { return m_requests.load(); }

 private:
  std::atomic<std::int64_t> m_fixed_time{-1};
  MarketSite m_site;
  Intercept m_intercept;
  std::unique_ptr<httplib::Server> m_server;
  std::thread m_thread;
  int m_port = 0;
  std::atomic<std::int64_t> m_requests{0};
};

}  // namespace quillo::service
