#include "market_service.h"

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace quillo::service {

MarketService::MarketService()
    : m_server([this](const httplib::Request& req, httplib::Response& res) {
        return intercept(req, res);
      }),
      m_faults(std::make_unique<FaultServer>(m_server.site())) {}

MarketService::~MarketService() = default;

bool MarketService::intercept(const httplib::Request& req, httplib::Response& res) {
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
    return true;
  }
  if (const std::string to = query_value(req.target, "_redirect"); !to.empty()) {
    res.set_redirect(to);
    return true;
  }
  return false;
}

std::string MarketService::base_url() const {
  return m_server.base_url();
}

std::string MarketService::fault_url() const {
  return "http://127.0.0.1:" + std::to_string(fault_port());
}

std::size_t MarketService::connections() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_client_ports.size();
}

}  // namespace quillo::service
