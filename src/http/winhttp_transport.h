// WinHttpTransport: the HttpTransport over asynchronous WinHTTP (Windows
// builds), with the curl transport's contract: one report per request, on
// the loop thread, never from inside get(); cancel() and abort_all()
// report nothing for what they withdraw.
//
// WinHTTP calls back on its own worker threads. A worker only touches the
// state of its own request (under that request's lock) and hands the
// finished result to the loop thread through the ThreadPoster; everything
// else (the table of requests, handlers, timers) belongs to the loop
// thread. A request's context is freed when WinHTTP says its handle is
// closing, its last callback.
//
// The receive and transfer time-outs are ours: a loop timer fails a request
// that has received nothing for receive_timeout once its request was sent,
// or that has run past transfer_timeout, whether or not WinHTTP ever
// reports (some WinHTTP implementations never time out a peer that accepts
// the connection but does not answer).
//
// Failures carry the number libcurl gives the same failure class (so the
// engine reads them alike on every platform: 7 cannot connect, 6 name not
// resolved, 28 connect time-out, ...), our own numbers for the time-outs
// and the body cap, and WinHTTP's own code for anything else; the text
// names the WinHTTP code.
//
// The header does not include <windows.h>: handles are kept as void*.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "host/event_loop.h"
#include "http/http_transport.h"

namespace quillo::http {

// Runs a task on the loop thread; called from WinHTTP's worker threads.
using ThreadPoster = std::function<void(std::function<void()>)>;

class WinHttpTransport final : public HttpTransport {
 public:
  WinHttpTransport(host::EventLoop& loop, ThreadPoster post);
  ~WinHttpTransport() override;  // aborts every request; no handler runs afterwards
  WinHttpTransport(const WinHttpTransport&) = delete;
  WinHttpTransport& operator=(const WinHttpTransport&) = delete;

  RequestId get(std::string_view url, const HttpSettings& settings, HttpHandler handler,
                std::string* error = nullptr) override;
  void cancel(RequestId id) override;
  void abort_all() override;
  std::size_t in_flight() const override { return m_requests.size(); }

  // The class of a WinHTTP failure as the engine reports it: the number
  // (libcurl's for the same class where there is one) and its text.
  // connected: whether the request had been sent when it failed (a
  // time-out then is a receive time-out). receive_ms goes into that text.
  static std::pair<int, std::string> classify(unsigned long code, bool connected,
                                              std::int64_t receive_ms);

  // Requests of any transport whose WinHTTP handles have not closed yet
  // (withdrawn or reported ones included): WinHTTP may still call into this
  // module for them, so a DLL must not be unloaded while this is not 0.
  // Thread-safe.
  static std::size_t unwinding_requests();

 private:
  struct Context;  // one request, shared with WinHTTP's workers
  struct Shared;   // what workers need of the transport, outliving it
  struct Request {
    Context* context = nullptr;
    HttpHandler handler;
    std::int64_t started = 0;
    std::int64_t receive_ms = 0;
    std::int64_t transfer_ms = 0;
    std::int64_t last_activity = -1;  // loop time progress was last seen; -1 before sending
    std::uint64_t progress_seen = 0;
  };
  friend struct WinHttpCallbacks;

  // Runs on the loop thread with a result a worker posted.
  void deliver(RequestId id, HttpResult result);
  // Takes a request out of the table and closes its handle; the caller reports it.
  std::unique_ptr<Request> detach(RequestId id);
  void check_timeouts();
  // The session for a proxy ("" for none), opened on first use; null with
  // *error set when WinHTTP refuses it.
  void* session(const std::string& proxy, const std::string& bypass, std::string* error);
  void arm_watchdog();

  host::EventLoop& m_loop;
  std::shared_ptr<Shared> m_shared;
  // One WinHTTP session (HINTERNET) per proxy and bypass list; "" is direct.
  std::map<std::string, void*> m_sessions;
  std::map<RequestId, std::unique_ptr<Request>> m_requests;
  host::TimerId m_watchdog = 0;
  RequestId m_next_id = 1;
};

}  // namespace quillo::http
