// ScriptedTransport: an HttpTransport for unit tests. Tests say what each
// request is answered (a completion with status and body, a failure with
// number and text, or nothing ever) and after how long on the loop's clock;
// the transport records every request it was given.
//
// Answers are chosen in this order: the next answer queued for that URL
// (script_once), the next answer queued for any request (script_next), the
// standing answer for the URL (script), the default answer (a 404
// completion unless set_default says otherwise). A URL given to
// refuse_start makes get() fail to start.
//
// Every answer is delivered through a loop timer, even with no delay, so a
// handler never runs inside get(). An answer delayed past the request's
// transfer time-out becomes a time-out failure at that time, as with a
// server that trickles its answer. Loop thread only.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "host/event_loop.h"
#include "http/http_transport.h"

namespace quillo::http {

class ScriptedTransport : public HttpTransport {
 public:
  struct Answer {
    enum class Kind { Complete, Fail, Never };
    Kind kind = Kind::Complete;
    int status = 200;
    std::string body;
    int error_number = 0;
    std::string error_text;
    std::int64_t delay_ms = 0;
    std::string content_type;  // reported with a completion
  };
  static Answer complete(int status, std::string body, std::int64_t delay_ms = 0);
  static Answer fail(int number, std::string text, std::int64_t delay_ms = 0);
  static Answer never();

  // One request as it was given to get().
  struct Record {
    RequestId id = 0;  // 0: it failed to start
    std::string url;
    HttpSettings settings;
    bool answered = false;
    bool cancelled = false;
  };

  explicit ScriptedTransport(host::EventLoop& loop) : m_loop(loop) {}
  ~ScriptedTransport() override { abort_all(); }

  void script(const std::string& url, Answer answer) { m_standing[url] = std::move(answer); }
  void script_once(const std::string& url, Answer answer) {
    m_once[url].push_back(std::move(answer));
  }
  void script_next(Answer answer) { m_next.push_back(std::move(answer)); }
  void set_default(Answer answer) { m_default = std::move(answer); }
  void refuse_start(const std::string& url, std::string reason) {
    m_refused[url] = std::move(reason);
  }

  RequestId get(std::string_view url, const HttpSettings& settings, HttpHandler handler,
                std::string* error = nullptr) override;
  void cancel(RequestId id) override;
  void abort_all() override;
  std::size_t in_flight() const override { return m_pending.size(); }

  const std::vector<Record>& requests() const { return m_records; }
  // How many requests were made for url (including refused ones).
  std::size_t count(std::string_view url) const;

 private:
  struct Pending {
    HttpHandler handler;
    host::TimerId timer = 0;  // 0 for an answer that never comes
    std::size_t record = 0;
  };
  Answer choose(const std::string& url);
  void deliver(RequestId id, const Answer& answer);

  host::EventLoop& m_loop;
  std::map<std::string, Answer> m_standing;
  std::map<std::string, std::deque<Answer>> m_once;
  std::deque<Answer> m_next;
  std::map<std::string, std::string> m_refused;
  Answer m_default = complete(404, "Not Found");
  std::map<RequestId, Pending> m_pending;
  std::vector<Record> m_records;
  RequestId m_next_id = 1;
};

}  // namespace quillo::http
