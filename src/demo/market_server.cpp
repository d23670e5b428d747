#include "demo/market_server.h"

#include <httplib.h>

#include <chrono>

#include "demo/product_site.h"
#include "demo/weblink_pages.h"

namespace quillo::service {

namespace {
constexpr int kListenBacklog = 128;
}  // namespace

MarketServer::MarketServer(Intercept intercept)
    : m_site([this] { return now_ms(); }),
      m_intercept(std::move(intercept)),
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
    if (m_intercept && m_intercept(req, res)) return;
    if (answer_product_site(req.target, m_port, res)) return;
    if (auto to = weblink_redirect(req.target)) return res.set_redirect(*to);
    const Reply reply = m_site.answer(req.target);
    res.status = reply.status;
    res.set_content(reply.body, reply.content_type.c_str());
  });
  // cpp-httplib listens with a backlog of five. A refresh opens a
  // connection per channel at once, more than five: those the kernel could
  // not queue waited for its SYN retry, a second later. The listening socket
  // is noted as it is made, and listens again with room for a burst.
  socket_t listener = INVALID_SOCKET;
  server.set_socket_options([&listener](socket_t sock) {
    httplib::default_socket_options(sock);
    listener = sock;
  });
  m_port = server.bind_to_any_port("127.0.0.1");
  server.set_socket_options(httplib::default_socket_options);
  if (m_port <= 0) {
    m_port = 0;
    return;
  }
  if (listener != INVALID_SOCKET) ::listen(listener, kListenBacklog);
  m_thread = std::thread([&server] { server.listen_after_bind(); });
  for (int waited = 0; !server.is_running() && waited < 5000; ++waited) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

MarketServer::~MarketServer() {
  if (m_thread.joinable()) {
    m_server->stop();
    m_thread.join();
  }
}

std::string MarketServer::base_url() const {
  return "http://127.0.0.1:" + std::to_string(m_port);
}

std::int64_t MarketServer::now_ms() const {
  const std::int64_t fixed = m_fixed_time.load();
  if (fixed >= 0) return fixed;
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace quillo::service
