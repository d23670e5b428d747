// MarketService: the local market-data service for end-to-end tests and
// benchmarks. It serves the demo's market (demo/market_server.h: the pages
// of MarketSite over HTTP on 127.0.0.1, an ephemeral port, keep-alive) with
// faults in front of it, and runs a FaultServer beside it for the faults a
// server library cannot make.
//
// Per-request faults on the main port, by query key (combinable; the pages
// ignore keys they do not know):
//   _delay=MS    answer after MS milliseconds (at most 10 000)
//   _status=NNN  answer with this status (100 to 599) and a short error page
//   _redirect=URL  answer with a redirect (302) to URL
// Connection-level faults ("_fault=reset|close|stall|truncate|slow") are
// served on fault_port(); see fault_server.h.
//
// Prices follow the clock: the real time unless set_time() fixes it, so a
// test can compute the figures a page shows (market_data.h).
//
// Starts in the constructor and stops in the destructor, which waits for
// requests being answered (keep delays short). Thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "demo/market_server.h"
#include "demo/market_site.h"
#include "fault_server.h"

namespace quillo::service {

class MarketService {
 public:
  MarketService();
  ~MarketService();
  MarketService(const MarketService&) = delete;
  MarketService& operator=(const MarketService&) = delete;

  // False when the server could not be started (no port).
  bool running() const { return m_server.running(); }
  int port() const { return m_server.port(); }
  int fault_port() const { return m_faults->port(); }
  int blackhole_port() const { return m_faults->blackhole_port(); }
  // "http://127.0.0.1:PORT" of the main and the fault port.
  std::string base_url() const;
  std::string fault_url() const;

  // Fixes the clock at unix_ms; a negative value returns to the real time.
  void set_time(std::int64_t unix_ms) { m_server.set_time(unix_ms); }
  std::int64_t now_ms() const { return m_server.now_ms(); }

  const MarketSite& site() const { return m_server.site(); }
  FaultServer& faults() { return *m_faults; }

  // Requests answered on the main port, and the distinct client
  // connections they came on (to see connection reuse).
  std::int64_t requests() const { return m_server.requests(); }
  std::size_t connections() const;

 private:
  // Answers the per-request faults; false to let the pages answer.
  bool intercept(const httplib::Request& req, httplib::Response& res);

  // Declared before the server, whose threads use them until it stops.
  mutable std::mutex m_mutex;
  std::set<int> m_client_ports;
  MarketServer m_server;
  std::unique_ptr<FaultServer> m_faults;  // answers from m_server's site
};

}  // namespace quillo::service
