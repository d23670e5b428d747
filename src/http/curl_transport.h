// CurlTransport: the HttpTransport on libcurl's multi interface, driven by
// our event loop (socket readiness through watch_fd, curl's own time-outs
// through a loop timer), so every transfer runs on the loop thread and no
// thread is started. Connections are kept in the multi handle and reused by
// later requests to the same host; TLS peers are verified.
//
// Each request sends "Cache-Control: no-store, no-cache, must-revalidate",
// "Pragma: no-cache" and quillo's User-Agent, follows redirects (http and https only; with
// same_origin_redirects only to the requested origin, checked here), and
// never asks for compressed answers. The receive and transfer time-outs
// are ours: a loop timer watches the time of the last byte received and
// the time each request started.
//
// The only file of the engine that includes curl. Loop thread only; the
// transport must outlive nothing of its own: destroying it withdraws every
// request without reporting.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "host/event_loop.h"
#include "http/http_transport.h"

namespace quillo::http {

class CurlTransport : public HttpTransport {
 public:
  // Ignores SIGPIPE for the process (a peer that closes while we write
  // must not kill the engine) and initialises libcurl once.
  explicit CurlTransport(host::EventLoop& loop);
  ~CurlTransport() override;
  CurlTransport(const CurlTransport&) = delete;
  CurlTransport& operator=(const CurlTransport&) = delete;

  RequestId get(std::string_view url, const HttpSettings& settings, HttpHandler handler,
                std::string* error = nullptr) override;
  void cancel(RequestId id) override;
  void abort_all() override;
  std::size_t in_flight() const override { return m_transfers.size(); }

  // Connections opened so far (new TCP connections, reused ones not
  // counted): lets tests and benchmarks see that connections are reused.
  std::int64_t connections_opened() const { return m_connections_opened; }

 private:
  struct Transfer;              // one request under way
  friend struct CurlCallbacks;  // libcurl's callbacks, in the .cpp

  void socket_ready(int fd, unsigned ready);
  void curl_timer_fired();
  // Lets curl run the transfers it asked to run at once (m_run_now) while
  // m_take_now was set, and reports those it finishes.
  void run_now();
  // Reports the transfers curl has finished.
  void collect_done();
  // Fails the transfers that have been silent too long or have run past
  // their transfer time-out, and sets the watchdog for the next one that could.
  void check_receive_timeouts();
  void arm_watchdog(std::int64_t deadline);
  // For a transfer whose redirects must stay on its origin, after a
  // complete answer: a redirect to the same origin is sent on (the transfer
  // goes back into curl and the table; true). A redirect elsewhere, or
  // too many, sets result's failure. False for anything else.
  bool follow_same_origin(std::unique_ptr<Transfer>& t, HttpResult& result);
  // Takes a transfer out of curl and our table; the caller reports it.
  std::unique_ptr<Transfer> detach(RequestId id);
  // A transfer set up for settings, its easy handle's options and
  // callbacks set: a spare one when there is one (making and setting up a
  // handle costs more than a small answer's parse), its own state cleared.
  // Null when curl cannot make a handle.
  std::unique_ptr<Transfer> take_transfer(const HttpSettings& settings);
  // Keeps a finished transfer (no longer in curl or the table), with its
  // handle, options and parsed address, for a next one; at most
  // kSpareLimit are kept, the others destroyed.
  void recycle(std::unique_ptr<Transfer> t);
  // Checks that t.url is an absolute http or https address curl can parse
  // and leaves it parsed in t.parsed; false with the reason. An address
  // whose part before a plain query was parsed before is copied from that
  // parse, with its query put on, or when t.parsed holds that part already
  // only has its path set: refreshes ask the same few pages with other
  // instruments, and curl's parse of a whole address costs more than the
  // rest of the request's setup.
  bool parse_url(Transfer& t, std::string* reason);

  host::EventLoop& m_loop;
  void* m_multi = nullptr;    // CURLM*
  void* m_headers = nullptr;  // curl_slist* shared by every transfer
  std::map<RequestId, std::unique_ptr<Transfer>> m_transfers;
  std::set<int> m_watched;
  // Finished transfers kept for the next ones, at most kSpareLimit; each
  // keeps the settings its handle was set up for.
  std::vector<std::unique_ptr<Transfer>> m_spare;
  struct ParsedBase {
    std::string base;  // an address up to its query, without the '?'
    void* parsed;      // CURLU* of base
    std::string path;  // its path as curl holds it
  };
  std::vector<ParsedBase> m_bases;  // most recently used last, at most kBaseLimit
  // collect_done's list of finished transfers (id, CURLcode), kept between calls.
  std::vector<std::pair<RequestId, int>> m_done;
  host::TimerId m_curl_timer = 0;
  // While curl's readiness and its reports are handled (m_take_now), a
  // time-out of zero asked by curl is kept as m_run_now, for run_now after
  // them rather than a timer: the next requests of the handlers go out in
  // the same turn of the loop.
  bool m_take_now = false;
  bool m_run_now = false;
  host::TimerId m_watchdog = 0;
  std::int64_t m_watchdog_deadline = -1;
  RequestId m_next_id = 1;
  std::int64_t m_connections_opened = 0;
  bool m_closing = false;  // set while the destructor hands connections back
  static constexpr std::size_t kSpareLimit = 16;
  static constexpr std::size_t kBaseLimit = 16;
};

}  // namespace quillo::http
