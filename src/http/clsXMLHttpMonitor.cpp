#include "http/clsXMLHttpMonitor.h"

#include <memory>

#include "common/text_encoding.h"
#include "http/clsXMLHttpManager.h"

namespace quillo::http {

namespace {
constexpr std::int32_t kLogLevel = 999;
constexpr std::uint8_t kMaxAttempts = 3;

bool allowed(MonitorState from, MonitorState to) {
  using S = MonitorState;
  if (to == S::Idle) return from != S::Idle;  // delivered, final, or aborted
  switch (from) {
    case S::Idle:
      return to == S::Waiting;
    case S::Waiting:
    case S::Retrying:
      return to == S::InFlight;
    case S::InFlight:
      return to == S::Retrying || to == S::Reporting;
    case S::Reporting:
      return false;
  }
  return false;
}
}  // namespace

bool clsXMLHttpMonitor::transition(MonitorState to) {
  const MonitorState from = m_state;
  if (!allowed(from, to)) return false;
  if (from == MonitorState::InFlight) --m_manager.channel(m_channel).inflight;
  if (to == MonitorState::InFlight) ++m_manager.channel(m_channel).inflight;
  m_state = to;
  if (to == MonitorState::Idle) {
    std::string().swap(m_url);
    m_method = m_processor = nullptr;
    m_manager.monitor_idle(m_id);
  }
  return true;
}

const std::string& clsXMLHttpMonitor::processor() const {
  static const std::string none;
  return m_processor ? *m_processor : none;
}

void clsXMLHttpMonitor::monitor_setup(std::int32_t reqno, std::uint8_t channel, std::int32_t id) {
  m_reqno = reqno;
  m_channel = channel;
  m_id = id;
  m_state = MonitorState::Idle;
  m_errors = 0;
}

void clsXMLHttpMonitor::XMLHttpCall_setup(const std::string& method, std::string url,
                                          const std::string& processor) {
  if (!transition(MonitorState::Waiting)) return;
  m_url = std::move(url);
  m_method = &method;
  m_processor = &processor;
  m_tries = 0;
}

void clsXMLHttpMonitor::xmlhttpcall_send() {
  // Only a waiting or retrying request goes out; a stale queue entry (an
  // aborted or finished request) does not.
  if (!transition(MonitorState::InFlight)) return;
  ++m_tries;
  if (m_manager.log().enabled()) {
    m_manager.log().logevent(kLogLevel, "xmlhttpcal_send: ", m_url + " reqmethod=" + *m_method, "");
  }
  std::string error;
  HttpSettings settings = m_manager.settings();
  settings.same_origin_redirects = m_channel >= 1 && m_channel <= m_manager.channel_count() &&
                                   m_manager.channel(m_channel).same_origin_redirects;
  m_request = m_manager.transport().get(
      m_url, settings, [this](HttpResult r) { on_result(std::move(r)); }, &error);
  if (m_request != 0) return;

  // The request could not even start (a malformed address): release the
  // slot now and report a final failure after the current handler, so that
  // the caller is not re-entered from inside its own call.
  m_manager.log().logevent(kLogLevel, "error in http send in monitor", "", error);
  transition(MonitorState::Reporting);
  const std::uint64_t attempt = m_attempt = m_manager.next_attempt();
  std::weak_ptr<int> alive = m_manager.alive_token();
  clsXMLHttpManager* manager = &m_manager;
  const std::int32_t id = m_id;
  manager->loop().post([manager, alive, id, attempt, error] {
    if (alive.expired()) return;  // shut down meanwhile
    // Aborted meanwhile (and perhaps let go): the monitor under the id, if
    // any, is another attempt.
    clsXMLHttpMonitor* self = manager->find_monitor(id);
    if (!self || self->m_attempt != attempt) return;
    self->m_errors = 0;
    self->deliver("", kTransportFailure, error);
    self->transition(MonitorState::Idle);
    manager->slot_freed(self->m_channel);
  });
}

void clsXMLHttpMonitor::on_result(HttpResult result) {
  m_request = 0;
  if (!result.completed) {
    on_failure(result.error_number, result.error_text);
    return;
  }
  if (m_manager.log().enabled()) {
    m_manager.log().logevent(kLogLevel, "httpreq_onresponsefinished event in monitor",
                             " ,reqno=" + std::to_string(m_reqno), "");
  }
  // An answer ends the run of failures: the next failure is a first one.
  m_errors = 0;
  // The body is this answer's own: decoded where it lies, without a copy
  // when it is clean UTF-8 (a page can be tens of megabytes).
  text::decode_page_in_place(result.body, result.content_type);
  deliver(result.body, static_cast<std::int16_t>(result.status), "");
  if (transition(MonitorState::Idle)) m_manager.slot_freed(m_channel);
}

void clsXMLHttpMonitor::on_failure(int number, const std::string& description) {
  m_manager.log().logevent(kLogLevel, "httpreq_onerror event in monitor",
                           " ,reqno=" + std::to_string(m_reqno),
                           std::to_string(number) + " " + description);
  ++m_errors;
  // A refused redirect would only be refused again: it is final at once.
  if (m_errors >= kMaxAttempts || number == kErrorRedirectRefused) {
    m_manager.log().logevent(kLogLevel, "final http error occured in monitor", "", description);
    m_errors = 0;
    // As with an answer, the monitor stays busy while the processor runs.
    deliver("", kTransportFailure, description);
    transition(MonitorState::Idle);
  } else {
    // Stays busy; the next pass sends it again, whatever the channel's limit.
    transition(MonitorState::Retrying);
    m_manager.httperrorqueue_addmonitor(m_id);
  }
  m_manager.slot_freed(m_channel);
}

void clsXMLHttpMonitor::deliver(const std::string& response, std::int16_t status,
                                const std::string& message) {
  const ResponseProcessor* processor = m_manager.processors().find(this->processor());
  if (!processor) return;
  // The processor may start other requests, even through this monitor's
  // manager; it works on its own copy of the callable.
  const ResponseProcessor fn = *processor;
  fn(response, m_reqno, status, message);
}

void clsXMLHttpMonitor::abort() {
  m_attempt = m_manager.next_attempt();
  if (m_request != 0) {
    m_manager.transport().cancel(m_request);
    m_request = 0;
  }
  // Only a request that was sent counts in the channel; a queued one does not.
  transition(MonitorState::Idle);
  m_errors = 0;
}

}  // namespace quillo::http
