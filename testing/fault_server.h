// FaultServer: a small HTTP server on raw sockets, beside the cpp-httplib
// service, for the misbehaviour a well-made server library will not
// produce. One thread per connection; every connection carries one request
// and is closed after it.
//
// The query key "_fault" of a request chooses what happens:
//   reset     read the request, then reset the connection (no reply)
//   close     read the request, then close without a reply
//   stall     send the status line and headers, then nothing until the
//             client goes away
//   truncate  announce a longer body than is sent, then close
//   slow      send a body without end, one byte every "_ms" milliseconds
//             (default 5), until the client goes away
// Any other request is answered from the site, normally. A request in
// proxy form ("GET http://host:port/path") is answered as if by a proxy:
// recorded, checked for Basic proxy credentials when they are set (else
// 407), then answered from the site by its path.
//
// blackhole_port() is a listening port whose queue is full, so a connect
// to it neither succeeds nor fails: it exercises connect time-outs.
//
// Starts in the constructor; the destructor stops every connection and
// joins the threads. The accessors are safe from any thread.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "demo/market_site.h"

namespace quillo::service {

class FaultServer {
 public:
  explicit FaultServer(const MarketSite& site);
  ~FaultServer();
  FaultServer(const FaultServer&) = delete;
  FaultServer& operator=(const FaultServer&) = delete;

  int port() const { return m_port; }
  int blackhole_port() const { return m_blackhole_port; }

  // Proxy requests must then carry these as Basic credentials.
  void set_proxy_credentials(const std::string& user, const std::string& password);
  // The targets of the proxy-form requests answered (not those refused).
  std::vector<std::string> proxied() const;
  // The head (request line and headers) of every request received.
  std::vector<std::string> heads() const;
  // Connections accepted so far.
  int connections() const { return m_connections.load(); }

 private:
  void accept_loop();
  void serve(int fd);
  void answer_proxy(int fd, const std::string& head, const std::string& target);
  // True while the server runs and the client has not closed its end.
  bool client_alive(int fd) const;

  const MarketSite& m_site;
  int m_listen = -1;
  int m_port = 0;
  int m_blackhole = -1;
  int m_blackhole_port = 0;
  std::vector<int> m_fillers;  // connections that fill the blackhole's queue
  std::atomic<bool> m_stop{false};
  std::atomic<int> m_connections{0};
  std::thread m_acceptor;
  // A connection's thread; finished ones are joined as new ones start, so
  // a long benchmark does not pile up thread stacks.
  struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  mutable std::mutex m_mutex;  // guards the members below
  std::vector<Worker> m_workers;
  std::string m_proxy_auth;  // expected Proxy-Authorization value, empty: none
  std::vector<std::string> m_proxied;
  std::vector<std::string> m_heads;
};

}  // namespace quillo::service
