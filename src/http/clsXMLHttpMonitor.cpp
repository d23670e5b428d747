#include "http/clsXMLHttpMonitor.h"

#include <memory>

#include "http/clsXMLHttpManager.h"

namespace quillo::http {

namespace {
constexpr std::int32_t kLogLevel = 999;
constexpr std::uint8_t kMaxAttempts = 3;
}  // namespace

void clsXMLHttpMonitor::monitor_setup(std::int32_t reqno, std::uint8_t channel, std::int32_t id) {
  m_reqno = reqno;
  m_channel = channel;
  m_id = id;
  m_available = true;
  m_errors = 0;
}

void clsXMLHttpMonitor::XMLHttpCall_setup(std::string method, std::string url,
                                          std::string processor) {
  m_method = std::move(method);
  m_url = std::move(url);
  m_processor = std::move(processor);
  m_available = false;
}

void clsXMLHttpMonitor::xmlhttpcall_send() {
  if (m_sent) return;  // already in flight (a stale queue entry)
  Channel& channel = m_manager.channel(m_channel);
  ++channel.inflight;
  m_sent = true;
  m_manager.log().logevent(kLogLevel, "xmlhttpcal_send: ", m_url + " reqmethod=" + m_method, "");
  std::string error;
  m_request = m_manager.transport().get(
      m_url, m_manager.settings(), [this](HttpResult r) { on_result(std::move(r)); }, &error);
  if (m_request != 0) return;

  // The request could not even start (a malformed address): release the
  // slot now and report a final failure after the current handler, so that
  // the caller is not re-entered from inside its own call.
  m_manager.log().logevent(kLogLevel, "error in http send in monitor", "", error);
  --channel.inflight;
  m_sent = false;
  const std::uint64_t attempt = ++m_attempt;
  std::weak_ptr<int> alive = m_manager.alive_token();
  m_manager.loop().post([this, alive, attempt, error] {
    if (alive.expired() || attempt != m_attempt) return;  // shut down or aborted meanwhile
    m_errors = 0;
    deliver("", kTransportFailure, error);
    m_available = true;
    m_manager.slot_freed(m_channel);
  });
}

void clsXMLHttpMonitor::on_result(HttpResult result) {
  m_request = 0;
  if (!result.completed) {
    on_failure(result.error_number, result.error_text);
    return;
  }
  m_manager.log().logevent(kLogLevel, "httpreq_onresponsefinished event in monitor",
                           " ,reqno=" + std::to_string(m_reqno), "");
  deliver(result.body, static_cast<std::int16_t>(result.status), "");
  release();
}

void clsXMLHttpMonitor::on_failure(int number, const std::string& description) {
  m_manager.log().logevent(kLogLevel, "httpreq_onerror event in monitor",
                           " ,reqno=" + std::to_string(m_reqno),
                           std::to_string(number) + " " + description);
  if (m_sent) {
    --m_manager.channel(m_channel).inflight;
    m_sent = false;
  }
  ++m_errors;
  if (m_errors >= kMaxAttempts) {
    m_manager.log().logevent(kLogLevel, "final http error occured in monitor", "", description);
    m_errors = 0;
    deliver("", kTransportFailure, description);
    m_available = true;
  } else {
    // Stays busy; the next pass sends it again, whatever the channel's limit.
    m_manager.httperrorqueue_addmonitor(m_id);
  }
  m_manager.slot_freed(m_channel);
}

void clsXMLHttpMonitor::deliver(const std::string& response, std::int16_t status,
                                const std::string& message) {
  const ResponseProcessor* processor = m_manager.processors().find(m_processor);
  if (!processor) return;
  // The processor may start other requests, even through this monitor's
  // manager; it works on its own copy of the callable.
  const ResponseProcessor fn = *processor;
  fn(response, m_reqno, status, message);
}

void clsXMLHttpMonitor::release() {
  m_available = true;
  if (m_sent) {
    --m_manager.channel(m_channel).inflight;
    m_sent = false;
    m_manager.slot_freed(m_channel);
  }
}

void clsXMLHttpMonitor::abort() {
  ++m_attempt;
  if (m_request != 0) {
    m_manager.transport().cancel(m_request);
    m_request = 0;
  }
  // Only a request that was sent counts in the channel; a queued one does not.
  if (m_sent) {
    --m_manager.channel(m_channel).inflight;
    m_sent = false;
  }
  m_available = true;
}

}  // namespace quillo::http
