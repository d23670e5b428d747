#include "http/http_transport.h"

#include <algorithm>
#include <cmath>
#include <optional>

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

struct Origin {
  std::string scheme, host, port;
  bool operator==(const Origin&) const = default;
};

std::string lower_ascii(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// The origin of an absolute http or https address; nullopt for anything else.
std::optional<Origin> origin_of(std::string_view url) {
  const std::size_t colon = url.find("://");
  if (colon == std::string_view::npos) return std::nullopt;
  Origin o;
  o.scheme = lower_ascii(url.substr(0, colon));
  if (o.scheme != "http" && o.scheme != "https") return std::nullopt;
  std::string_view authority = url.substr(colon + 3);
  authority = authority.substr(0, authority.find_first_of("/?#\\"));
  if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos) {
    authority.remove_prefix(at + 1);
  }
  std::string_view host = authority, port;
  if (authority.starts_with('[')) {
    const std::size_t close = authority.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    host = authority.substr(0, close + 1);
    port = authority.substr(close + 1);
    if (!port.empty() && port.front() != ':') return std::nullopt;
  } else if (const std::size_t c = authority.rfind(':'); c != std::string_view::npos) {
    host = authority.substr(0, c);
    port = authority.substr(c);
  }
  if (!port.empty()) port.remove_prefix(1);  // the ':'
  if (!std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return std::nullopt;
  while (port.size() > 1 && port.front() == '0') port.remove_prefix(1);
  if (host.empty()) return std::nullopt;
  o.host = lower_ascii(host);
  o.port = port.empty() ? (o.scheme == "https" ? "443" : "80") : std::string(port);
  return o;
}

}  // namespace

bool same_origin(std::string_view a, std::string_view b) {
  const auto oa = origin_of(a);
  const auto ob = origin_of(b);
  return oa && ob && *oa == *ob;
}

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
