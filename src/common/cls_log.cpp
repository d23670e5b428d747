#include "common/cls_log.h"

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <string>

namespace quillo {

namespace {

std::string timestamp() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t t = system_clock::to_time_t(now);
  const auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[40];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
  char out[48];
  std::snprintf(out, sizeof out, "%s.%03dZ", buf, static_cast<int>(ms));
  return out;
}

}  // namespace

cls_log::cls_log() {
  const char* v = std::getenv("QUILLO_LOG");
  if (v && *v && std::string_view(v) != "0") m_out = &std::cerr;
}

void cls_log::logevent(std::int32_t level, const Value& event, const Value& detail,
                       std::string_view text) {
  if (!m_out) return;
  *m_out << timestamp() << " [" << level << "] " << event.to_text() << detail.to_text();
  if (!text.empty()) *m_out << ' ' << text;
  *m_out << '\n';
}

void cls_log::datadump(const Value& a, const Value& b) {
  if (!m_out) return;
  *m_out << timestamp() << " [dump] " << a.to_text() << ' ' << b.to_text() << '\n';
}

}  // namespace quillo
