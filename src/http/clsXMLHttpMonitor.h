// clsXMLHttpMonitor: carries one asynchronous HTTP request at a time for
// one request number. It sends through the transport with the current
// settings (redirects kept on the requested origin where its channel says
// so), keeps its channel's in-flight count, retries a failed attempt
// through the manager's error queue, and hands the answer (its text decoded
// to UTF-8), or the third failure in a row (a refused redirect at once), to
// the response processor named by the caller. A success starts the failure
// count again.
//
// Owned by clsXMLHttpManager, which makes a monitor when its request is
// handed over and lets it go once it is idle again, from a task of its own
// (never while one of the monitor's functions runs). Loop thread only. The
// processor may re-enter the manager (start other requests); the monitor
// touches nothing of its own after the processor returns but its own
// fields.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "http/http_transport.h"

namespace quillo::http {

class clsXMLHttpManager;

// Where a monitor's request stands. A monitor moves only through
// clsXMLHttpMonitor::transition, which keeps the channel's in-flight count:
//   kIdle -> kWaiting            XMLHttpCall_setup (waits for room in its channel)
//   kWaiting, kRetrying -> kInFlight   xmlhttpcall_send
//   kInFlight -> kIdle           an answer, or the final failure, was delivered
//   kInFlight -> kRetrying       a failed attempt waits in the error queue
//   kInFlight -> kReporting      the request could not start; its failure is
//                                reported after the current handler
//   kReporting -> kIdle          that failure was delivered
//   any -> kIdle                 abort
enum class MonitorState : std::uint8_t {
  Idle,
  Waiting,
  InFlight,
  Retrying,
  Reporting,
};

class clsXMLHttpMonitor {
 public:
  explicit clsXMLHttpMonitor(clsXMLHttpManager& manager) : m_manager(manager) {}

  void monitor_setup(std::int32_t reqno, std::uint8_t channel, std::int32_t id);
  std::int32_t get_reqno() const { return m_reqno; }
  bool IAmAvailable() const { return m_state == MonitorState::Idle; }
  MonitorState state() const { return m_state; }
  // The processor of the request taken; empty while idle.
  const std::string& processor() const;
  // Takes a request and makes the monitor busy. The names are the
  // manager's (clsXMLHttpManager::name) and outlive the monitor.
  void XMLHttpCall_setup(const std::string& method, std::string url, const std::string& processor);
  // Sends the request taken by XMLHttpCall_setup. A request the transport
  // cannot start is reported like a final failure (kTransportFailure), after the
  // current handler, so no caller waits for an answer that never comes.
  void xmlhttpcall_send();
  // Withdraws the request under way, if any, makes the monitor available
  // and starts its failure count again.
  void abort();
  void id_set(std::int32_t id) { m_id = id; }
  std::int32_t id_get() const { return m_id; }
  std::uint8_t channel() const { return m_channel; }
  std::uint8_t errors() const { return m_errors; }
  // How many times the request taken last was sent (retries included); read
  // by the response processor while it runs.
  std::int32_t tries() const { return m_tries; }

 private:
  void on_result(HttpResult result);
  void on_failure(int number, const std::string& description);
  // Calls the named processor, when there is one.
  void deliver(const std::string& response, std::int16_t status, const std::string& message);
  // The one place the state changes: moves to `to` when the move is one of
  // those listed at MonitorState (false, and nothing changes, otherwise),
  // raising or lowering the channel's in-flight count on the way into or
  // out of kInFlight.
  bool transition(MonitorState to);

  clsXMLHttpManager& m_manager;
  // Changes on every abort, so late reports are dropped; drawn from the
  // manager, so a monitor made later under the same id never takes one.
  std::uint64_t m_attempt = 0;
  RequestId m_request = 0;  // the transport's id of the request under way; 0 while idle
  MonitorState m_state = MonitorState::Idle;
  // The request taken, while the monitor is busy: its address, and its
  // method and processor as the manager's one copy of each name (a few
  // names serve every request).
  std::string m_url;
  const std::string* m_method = nullptr;
  const std::string* m_processor = nullptr;
  std::int32_t m_id = 0;
  std::int32_t m_reqno = 0;
  std::uint8_t m_errors = 0;
  std::uint8_t m_channel = 0;
  std::int32_t m_tries = 0;
};

}  // namespace quillo::http
