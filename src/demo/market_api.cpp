#include "demo/market_api.h"

#include <cstdio>
#include <string>
#include <vector>

#include "demo/market_data.h"

namespace quillo::service {

namespace {

std::string json_text(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
      out += buf;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string csv_text(std::string_view s) {
  if (s.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(s);
  std::string out = "\"";
  for (char c : s) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

std::string iso_time(std::int64_t unix_ms) {
  int y = 0, m = 0, d = 0;
  const std::int64_t day = unix_ms / 86400000;
  civil_from_days(day, y, m, d);
  const std::int64_t s = (unix_ms % 86400000 + 86400000) % 86400000 / 1000;
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02dZ", y, m, d,
                static_cast<int>(s / 3600), static_cast<int>(s / 60 % 60),
                static_cast<int>(s % 60));
  return buf;
}

// The known instruments of a comma list, in its order; the unknown symbol
// named first when none is known.
std::vector<const Instrument*> instruments_of(std::string_view list, std::string& unknown) {
  std::vector<const Instrument*> out;
  while (true) {
    const std::size_t comma = list.find(',');
    const std::string_view symbol = list.substr(0, comma);
    if (const Instrument* inst = instrument_find(symbol)) {
      out.push_back(inst);
    } else if (unknown.empty()) {
      unknown = std::string(symbol);
    }
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  return out;
}

constexpr std::string_view kJson = "application/json";
constexpr std::string_view kCsv = "text/csv; charset=utf-8";

std::string quote_json(const Instrument& inst, std::int64_t now) {
  const Quote q = quote_at(inst, now);
  return "{\"symbol\":" + json_text(inst.symbol) + ",\"name\":" + json_text(inst.name) +
         ",\"exchange\":" + json_text(inst.exchange) + ",\"currency\":" + json_text(inst.currency) +
         ",\"last\":" + fixed(q.last) + ",\"change\":" + fixed(q.change) +
         ",\"changePct\":" + fixed(q.change_pct) + ",\"open\":" + fixed(q.open) +
         ",\"prevClose\":" + fixed(q.prev_close) + ",\"range\":{\"low\":" + fixed(q.day_low) +
         ",\"high\":" + fixed(q.day_high) + "},\"volume\":" + std::to_string(q.volume) +
         ",\"marketCap\":" + fixed(q.market_cap_billions * 1e9, 0) +
         ",\"dividend\":" + fixed(q.dividend) + ",\"yield\":" + fixed(q.yield_pct) + "}";
}

int latest_year(std::int64_t now) {
  int y = 0, m = 0, d = 0;
  civil_from_days(now / 86400000, y, m, d);
  return y - 1;
}

}  // namespace

std::optional<Reply> api_answer(std::string_view target, std::int64_t now) {
  const std::string_view path = target.substr(0, target.find('?'));
  if (!path.starts_with("/api/")) return std::nullopt;
  const bool json = path.ends_with(".json");
  const bool quotes = path == "/api/quotes.json" || path == "/api/quotes.csv";
  const bool keyfigures = path == "/api/keyfigures.json" || path == "/api/keyfigures.csv";
  if (!quotes && !keyfigures) {
    return Reply{404, "text/html; charset=utf-8",
                 "<html><body><h1>404 Not Found</h1></body></html>\n"};
  }
  const std::string list = query_value(target, "s");
  if (list.empty()) {
    return Reply{400, "text/html; charset=utf-8",
                 "<html><body><h1>400 Bad Request</h1></body></html>\n"};
  }
  std::string unknown;
  const std::vector<const Instrument*> found = instruments_of(list, unknown);
  if (found.empty()) {
    const std::string message = "No quote found for symbol " + unknown;
    if (json)
      return Reply{200, std::string(kJson),
                   "{\"error\":" + json_text(message) + ",\"quotes\":[]}\n"};
    return Reply{200, std::string(kCsv), message + "\r\n"};
  }
  if (quotes && json) {
    std::string body = "{\"asOf\":\"" + iso_time(now) + "\",\"quotes\":[";
    for (std::size_t k = 0; k < found.size(); ++k) {
      if (k) body += ',';
      body += quote_json(*found[k], now);
    }
    return Reply{200, std::string(kJson), body + "]}\n"};
  }
  if (quotes) {
    std::string body = "Symbol,Name,Last,Change,Change %,Volume,Market Cap\r\n";
    for (const Instrument* inst : found) {
      const Quote q = quote_at(*inst, now);
      body += inst->symbol + "," + csv_text(inst->name) + "," + fixed(q.last) + "," +
              fixed(q.change) + "," + fixed(q.change_pct) + "%," + std::to_string(q.volume) + "," +
              fixed(q.market_cap_billions, 1) + "B\r\n";
    }
    return Reply{200, std::string(kCsv), body};
  }
  // Key figures of the first symbol, four fiscal years, latest first.
  const Instrument& inst = *found.front();
  const int latest = latest_year(now);
  std::vector<Figures> years;
  for (int y = latest; y > latest - 4; --y) years.push_back(figures(inst, y, 0));
  if (json) {
    std::string body = "{\"symbol\":" + json_text(inst.symbol) +
                       ",\"currency\":" + json_text(inst.currency) + ",\"years\":[";
    for (std::size_t k = 0; k < years.size(); ++k) {
      const Figures& f = years[k];
      if (k) body += ',';
      body += "{\"year\":" + std::to_string(latest - static_cast<int>(k)) +
              ",\"revenue\":" + std::to_string(f.revenue) +
              ",\"netIncome\":" + std::to_string(f.net_income) + ",\"eps\":" + fixed(f.eps) +
              ",\"dividend\":" + fixed(f.dividend) + "}";
    }
    return Reply{200, std::string(kJson), body + "]}\n"};
  }
  std::string body = "Item";
  for (int y = latest; y > latest - 4; --y) body += "," + std::to_string(y);
  body += "\r\nRevenue";
  for (const Figures& f : years) body += "," + std::to_string(f.revenue);
  body += "\r\nNet income";
  for (const Figures& f : years) body += "," + std::to_string(f.net_income);
  body += "\r\nEPS";
  for (const Figures& f : years) body += "," + fixed(f.eps);
  body += "\r\nDividend";
  for (const Figures& f : years) body += "," + fixed(f.dividend);
  return Reply{200, std::string(kCsv), body + "\r\n"};
}

}  // namespace quillo::service
