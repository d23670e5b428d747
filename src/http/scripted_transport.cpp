#include "http/scripted_transport.h"

#include <algorithm>

namespace quillo::http {

ScriptedTransport::Answer ScriptedTransport::complete(int status, std::string body,
                                                      std::int64_t delay_ms) {
  Answer a;
  a.kind = Answer::Kind::Complete;
  a.status = status;
  a.body = std::move(body);
  a.delay_ms = delay_ms;
  return a;
}

ScriptedTransport::Answer ScriptedTransport::fail(int number, std::string text,
                                                  std::int64_t delay_ms) {
  Answer a;
  a.kind = Answer::Kind::Fail;
  a.error_number = number;
  a.error_text = std::move(text);
  a.delay_ms = delay_ms;
  return a;
}

ScriptedTransport::Answer ScriptedTransport::never() {
  Answer a;
  a.kind = Answer::Kind::Never;
  return a;
}

ScriptedTransport::Answer ScriptedTransport::choose(const std::string& url) {
  const auto once = m_once.find(url);
  if (once != m_once.end() && !once->second.empty()) {
    Answer a = std::move(once->second.front());
    once->second.pop_front();
    return a;
  }
  if (!m_next.empty()) {
    Answer a = std::move(m_next.front());
    m_next.pop_front();
    return a;
  }
  const auto standing = m_standing.find(url);
  return standing != m_standing.end() ? standing->second : m_default;
}

RequestId ScriptedTransport::get(std::string_view url, const HttpSettings& settings,
                                 HttpHandler handler, std::string* error) {
  Record record;
  record.url = std::string(url);
  record.settings = settings;
  const auto refused = m_refused.find(record.url);
  if (refused != m_refused.end()) {
    if (error != nullptr) *error = refused->second;
    m_records.push_back(std::move(record));
    return 0;
  }
  const RequestId id = m_next_id++;
  record.id = id;
  Answer answer = choose(record.url);
  const std::int64_t limit = timeout_ms(settings.transfer_timeout, kDefaultTransferTimeout);
  if (answer.kind != Answer::Kind::Never && answer.delay_ms > limit) {
    answer = fail(kErrorTransferTimeout,
                  "Operation timed out: the transfer took longer than " + std::to_string(limit) +
                      " milliseconds",
                  limit);
  }
  m_records.push_back(std::move(record));
  Pending pending{std::move(handler), 0, m_records.size() - 1};
  if (answer.kind != Answer::Kind::Never) {
    pending.timer = m_loop.set_timeout(std::max<std::int64_t>(answer.delay_ms, 0),
                                       [this, id, answer] { deliver(id, answer); });
  }
  m_pending.emplace(id, std::move(pending));
  return id;
}

void ScriptedTransport::deliver(RequestId id, const Answer& answer) {
  const auto it = m_pending.find(id);
  if (it == m_pending.end()) return;
  HttpHandler handler = std::move(it->second.handler);
  m_records[it->second.record].answered = true;
  m_pending.erase(it);
  HttpResult result;
  result.completed = answer.kind == Answer::Kind::Complete;
  if (result.completed) {
    result.status = answer.status;
    result.body = answer.body;
    result.content_type = answer.content_type;
  } else {
    result.error_number = answer.error_number;
    result.error_text = answer.error_text;
  }
  handler(std::move(result));
}

void ScriptedTransport::cancel(RequestId id) {
  const auto it = m_pending.find(id);
  if (it == m_pending.end()) return;
  m_loop.kill_timer(it->second.timer);
  m_records[it->second.record].cancelled = true;
  m_pending.erase(it);
}

void ScriptedTransport::abort_all() {
  while (!m_pending.empty()) cancel(m_pending.begin()->first);
}

std::size_t ScriptedTransport::count(std::string_view url) const {
  return static_cast<std::size_t>(std::count_if(m_records.begin(), m_records.end(),
                                                [&](const Record& r) { return r.url == url; }));
}

}  // namespace quillo::http
