#include "spreadsheet/typed_entry.h"

#include <charconv>

#include "common/dates.h"
#include "common/text.h"

namespace quillo::spreadsheet {

namespace {

// "HH:MM" or "HH:MM:SS" as a fraction of a day.
std::optional<double> parse_time(std::string_view t) {
  int parts[3] = {0, 0, 0};
  int n = 0;
  while (!t.empty() && n < 3) {
    const std::size_t colon = t.find(':');
    const std::string_view p = t.substr(0, colon);
    if (p.empty() || p.size() > 2) return std::nullopt;
    const auto r = std::from_chars(p.data(), p.data() + p.size(), parts[n]);
    if (r.ec != std::errc() || r.ptr != p.data() + p.size()) return std::nullopt;
    ++n;
    if (colon == std::string_view::npos) {
      t = {};
    } else {
      t.remove_prefix(colon + 1);
      if (t.empty()) return std::nullopt;
    }
  }
  if (!t.empty() || n < 2 || parts[0] > 23 || parts[1] > 59 || parts[2] > 59) return std::nullopt;
  return (parts[0] * 3600.0 + parts[1] * 60.0 + parts[2]) / 86400.0;
}

}  // namespace

TypedEntry typed_entry(std::string_view raw) {
  if (raw.empty()) return {};
  if (raw[0] == '\'') return {Value(raw.substr(1)), {}};
  const std::string_view t = text::trim(raw);
  if (text::iequals(t, "TRUE")) return {Value(true), {}};
  if (text::iequals(t, "FALSE")) return {Value(false), {}};
  if (auto e = error_from_text(t)) return {Value(*e), {}};
  if (auto d = text::locale_number(t)) return {Value(*d), {}};
  if (t.size() > 1 && t.back() == '%') {
    if (auto d = text::locale_number(t.substr(0, t.size() - 1))) return {Value(*d / 100.0), "0%"};
  }
  if (auto d = parse_iso_date(t.substr(0, 10))) {
    if (t.size() == 10) return {Value(Date{*d}), "yyyy-mm-dd"};
    if (t.size() > 11 && t[10] == ' ') {
      if (auto f = parse_time(t.substr(11))) return {Value(Date{*d + *f}), "yyyy-mm-dd hh:mm:ss"};
    }
  }
  return {Value(raw), {}};
}

}  // namespace quillo::spreadsheet
