#include "market_service.h"

#include "product_site.h"

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "weblink_pages.h"

namespace quillo::service {

MarketService::MarketService()
    : m_site([this] { return now_ms(); }),
      m_faults(std::make_unique<FaultServer>(m_site)),
      m_server(std::make_unique<httplib::Server>()) {
  httplib::Server& server = *m_server;
  // Without these every answer waits ~40 ms for Nagle, and clients must
  // reconnect every fifth request.
  server.set_tcp_nodelay(true);
  server.set_keep_alive_max_count(100000);
  // One worker per open connection: leave room for benchmarks with many.
  server.new_task_queue = [] { return new httplib::ThreadPool(24); };
  server.Get(".*", [this](const httplib::Request& req, httplib::Response& res) {
    ++m_requests;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_client_ports.insert(req.remote_port);
    }
    const std::string delay = query_value(req.target, "_delay");
    if (!delay.empty()) {
      const long ms = std::clamp(std::atol(delay.c_str()), 0L, 10000L);
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
    const int status = std::atoi(query_value(req.target, "_status").c_str());
    if (status >= 100 && status <= 599) {
      res.status = status;
      res.set_content("<html><body><h1>Error " + std::to_string(status) + "</h1></body></html>\n",
                      "text/html");
      return;
    }
    if (const std::string to = query_value(req.target, "_redirect"); !to.empty()) {
      return res.set_redirect(to);
    }
    if (answer_product_site(req.target, m_port, res)) return;
    if (auto to = weblink_redirect(req.target)) return res.set_redirect(*to);
    const Reply reply = m_site.answer(req.target);
    res.status = reply.status;
    res.set_content(reply.body, reply.content_type.c_str());
  });
  m_port = server.bind_to_any_port("127.0.0.1");
  if (m_port <= 0) {
    m_port = 0;
    return;
  }
  m_thread = std::thread([&server] { server.listen_after_bind(); });
  for (int waited = 0; !server.is_running() && waited < 5000; ++waited) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

MarketService::~MarketService() {
  if (m_thread.joinable()) {
    m_server->stop();
    m_thread.join();
  }
}

std::string MarketService::base_url() const {
  return "http://127.0.0.1:" + std::to_string(m_port);
}

std::string MarketService::fault_url() const {
  return "http://127.0.0.1:" + std::to_string(fault_port());
}

std::int64_t MarketService::now_ms() const {
  const std::int64_t fixed = m_fixed_time.load();
  if (fixed >= 0) return fixed;
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::size_t MarketService::connections() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_client_ports.size();
}

}  // namespace quillo::service
