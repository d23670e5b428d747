// MarketService: the local market-data service for end-to-end tests,
// benchmarks and the demo. It serves the pages of MarketSite over HTTP on
// 127.0.0.1 (cpp-httplib, an ephemeral port, keep-alive) and runs a
// FaultServer beside it for the faults a server library cannot make.
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

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "fault_server.h"
#include "market_site.h"

namespace httplib {
class Server;
}

namespace quillo::service {

class MarketService {
 public:
  MarketService();
  ~MarketService();
  MarketService(const MarketService&) = delete;
  MarketService& operator=(const MarketService&) = delete;

  // False when the server could not be started (no port).
  bool running() const { return m_port > 0; }
  int port() const { return m_port; }
  int fault_port() const { return m_faults->port(); }
  int blackhole_port() const { return m_faults->blackhole_port(); }
  // "http://127.0.0.1:PORT" of the main and the fault port.
  std::string base_url() const;
  std::string fault_url() const;

  // Fixes the clock at unix_ms; a negative value returns to the real time.
  void set_time(std::int64_t unix_ms) { m_fixed_time = unix_ms; }
  std::int64_t now_ms() const;

  const MarketSite& site() const { return m_site; }
  FaultServer& faults() { return *m_faults; }

  // Requests answered on the main port, and the distinct client
  // connections they came on (to see connection reuse).
  std::int64_t requests() const { return m_requests.load(); }
  std::size_t connections() const;

 private:
  std::atomic<std::int64_t> m_fixed_time{-1};
  MarketSite m_site;
  std::unique_ptr<FaultServer> m_faults;
  std::unique_ptr<httplib::Server> m_server;
  std::thread m_thread;
  int m_port = 0;
  std::atomic<std::int64_t> m_requests{0};
  mutable std::mutex m_mutex;
  std::set<int> m_client_ports;
};

}  // namespace quillo::service
