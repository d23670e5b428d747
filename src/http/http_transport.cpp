#include "http/http_transport.h"

#include <algorithm>
#include <cmath>

namespace quillo::http {

namespace {

std::string_view trim_blanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// One bypass pattern in no-proxy form; empty when it has none.
std::string noproxy_entry(std::string_view pattern) {
  pattern = trim_blanks(pattern);
  if (pattern.empty() || pattern == "<local>") return {};
  if (pattern == "*") return "*";
  if (pattern.front() == '*') {
    pattern.remove_prefix(1);
    if (pattern.empty() || pattern.front() != '.') return "." + std::string(pattern);
  }
  // A wildcard anywhere else ("10.1.*") cannot be said to libcurl, and a
  // comma or blank would split the entry: leave such a pattern out rather
  // than send those hosts somewhere the user did not mean.
  if (pattern.find_first_of("*, \t") != std::string_view::npos) return {};
  return std::string(pattern);
}

}  // namespace

std::string noproxy_from_bypass(std::string_view bypass) {
  std::string out;
  while (true) {
    const std::size_t semi = bypass.find(';');
    const std::string entry = noproxy_entry(bypass.substr(0, semi));
    if (!entry.empty()) {
      if (!out.empty()) out += ',';
      out += entry;
    }
    if (semi == std::string_view::npos) break;
    bypass.remove_prefix(semi + 1);
  }
  return out;
}

std::int64_t timeout_ms(double seconds, double default_seconds) {
  constexpr double kMaxSeconds = 30.0 * 24 * 3600;
  if (!(seconds > 0) || !std::isfinite(seconds)) seconds = default_seconds;
  return std::max<std::int64_t>(1, std::llround(std::min(seconds, kMaxSeconds) * 1000));
}

}  // namespace quillo::http
