#include "demo/market_site.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "demo/market_api.h"
#include "demo/market_data.h"
#include "demo/weblink_pages.h"

namespace quillo::service {

namespace {

std::string grouped(std::int64_t v) {
  std::string digits = std::to_string(v < 0 ? -v : v);
  std::string out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return v < 0 ? "-" + out : out;
}

std::string html_escape(std::string_view s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '&':
        out += "&amp;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string iso_date(std::int64_t day) {
  int y = 0, m = 0, d = 0;
  civil_from_days(day, y, m, d);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", y, m, d);
  return buf;
}

std::string period_label(int year, int month) {
  static const char* const kMonths[] = {"Mar 31", "Jun 30", "Sep 30", "Dec 31"};
  return std::string(kMonths[month / 3 - 1]) + ", " + std::to_string(year);
}

int current_year(std::int64_t unix_ms) {
  int y = 0, m = 0, d = 0;
  civil_from_days(unix_ms / 86400000, y, m, d);
  return y;
}

Reply html(std::string body) {
  return Reply{200, "text/html; charset=utf-8", std::move(body)};
}

Reply error_page(int status, std::string_view text) {
  return Reply{status, "text/html; charset=utf-8",
               "<html><body><h1>" + std::to_string(status) + " " + std::string(text) +
                   "</h1></body></html>\n"};
}

std::string page(std::string_view title, std::string_view content) {
  return "<!DOCTYPE html>\n<html><head><title>" + std::string(title) + "</title></head>\n<body>\n" +
         std::string(content) + "</body></html>\n";
}

Reply unknown_quote(std::string_view symbol) {
  return html(page("Symbol lookup", "<h1>Symbol lookup</h1>\n<p>No quote found for symbol " +
                                        html_escape(symbol) + ".</p>\n"));
}

Reply quote_page(const Instrument& inst, std::int64_t now) {
  const Quote q = quote_at(inst, now);
  const std::int64_t second = (now % 86400000 + 86400000) % 86400000 / 1000;
  char clock[16];
  std::snprintf(clock, sizeof clock, "%02d:%02d:%02d", static_cast<int>(second / 3600),
                static_cast<int>(second / 60 % 60), static_cast<int>(second % 60));
  std::string s = "<h1>" + inst.name + " (" + inst.symbol + ")</h1>\n<div class=\"quote\">\n";
  s += "  Last: <b>" + fixed(q.last) + "</b>\n";
  s += "  Change: <span class=\"chg\">" + fixed(q.change) + "</span> <span class=\"pct\">(" +
       fixed(q.change_pct) + "%)</span>\n";
  s += "  Currency: " + inst.currency + " | Exchange: " + inst.exchange + "</div>\n";
  s += "<p class=\"time\">As of " + iso_date(now / 86400000) + " " + clock + " UTC</p>\n";
  s += "<table class=\"summary\">\n<tr><th>Item</th><th>Value</th></tr>\n";
  s += "<tr><td>Prev Close</td><td>" + fixed(q.prev_close) + "</td></tr>\n";
  s += "<tr><td>Open</td><td>" + fixed(q.open) + "</td></tr>\n";
  s += "<tr><td>Day's Range</td><td>" + fixed(q.day_low) + " - " + fixed(q.day_high) +
       "</td></tr>\n";
  s += "<tr><td>Volume</td><td>" + grouped(q.volume) + "</td></tr>\n";
  s += "<tr><td>Market Cap</td><td>" + fixed(q.market_cap_billions, 1) + "B</td></tr>\n";
  s += "<tr><td>Div &amp; Yield</td><td>" + fixed(q.dividend) + " (" + fixed(q.yield_pct) +
       "%)</td></tr>\n</table>\n";
  s += "<table class=\"peers\">\n<tr><th>Peer</th><th>Last</th></tr>\n";
  for (int k = 1; k <= 3; ++k) {
    const Instrument& peer =
        instruments()[static_cast<std::size_t>(inst.index + k * 37) % instruments().size()];
    s += "<tr><td>" + peer.symbol + "</td><td>" + fixed(quote_at(peer, now).last) + "</td></tr>\n";
  }
  s += "</table>\n";
  return html(page(inst.symbol + ": quote for " + inst.name, s));
}

// One row of a figures table: a label and one cell per period.
template <typename Cell>
std::string figures_row(std::string_view label, const std::vector<Figures>& periods, Cell cell) {
  std::string s = "<tr><td>" + std::string(label) + "</td>";
  for (const Figures& f : periods) s += "<td>" + cell(f) + "</td>";
  return s + "</tr>\n";
}

Reply keyfigures_page(const Instrument& inst, std::int64_t now) {
  const int latest = current_year(now) - 1;
  std::vector<Figures> years;
  std::string head = "<tr><th>Fiscal year</th>";
  for (int y = latest; y > latest - 4; --y) {
    years.push_back(figures(inst, y, 0));
    head += "<th>" + std::to_string(y) + "</th>";
  }
  std::string s = "<h1>Key figures: " + inst.name + " (" + inst.symbol + ")</h1>\n";
  s += "<table class=\"nav\"><tr><td><a href=\"/quote?s=" + inst.symbol +
       "\">Quote</a></td><td><a href=\"/statements?s=" + inst.symbol +
       "\">Statements</a></td></tr></table>\n";
  s += "<p>Fiscal years ending December 31. Figures in " + inst.currency + ".</p>\n";
  s += "<table class=\"keyfigures\">\n" + head + "</tr>\n";
  s += figures_row("Revenue", years, [](const Figures& f) { return grouped(f.revenue); });
  s += figures_row("Net income", years, [](const Figures& f) { return grouped(f.net_income); });
  s += figures_row("Earnings per share", years, [](const Figures& f) { return fixed(f.eps); });
  s += figures_row("Dividend per share", years, [](const Figures& f) { return fixed(f.dividend); });
  s += figures_row("Operating margin", years, [](const Figures& f) {
    return f.margin_meaningful
               ? fixed(100.0 * static_cast<double>(f.net_income) / static_cast<double>(f.revenue),
                       1) +
                     "%"
               : std::string("NM");
  });
  s += figures_row("Employees", years, [](const Figures& f) { return grouped(f.employees); });
  s += "</table>\n";
  return html(page(inst.symbol + ": key figures", s));
}

Reply statements_page(const Instrument& inst, std::int64_t now, bool quarterly) {
  const int latest = current_year(now) - 1;
  std::vector<Figures> periods;
  std::string head = "<tr><th>Period ending</th>";
  for (int k = 0; k < 4; ++k) {
    const int year = quarterly ? latest : latest - k;
    const int quarter = quarterly ? 4 - k : 0;
    periods.push_back(figures(inst, year, quarter));
    head += "<th>" + period_label(year, quarterly ? quarter * 3 : 12) + "</th>";
  }
  const auto thousands = [](std::int64_t v) { return grouped(v / 1000); };
  std::string s = "<h1>Financial statements: " + inst.name + " (" + inst.symbol + ")</h1>\n";
  s += "<p>All figures in thousands of " + inst.currency + ".</p>\n";
  s += "<h2>Income statement</h2>\n<table class=\"income\">\n" + head + "</tr>\n";
  s +=
      figures_row("Total Revenue", periods, [&](const Figures& f) { return thousands(f.revenue); });
  s += figures_row("Cost of Revenue", periods,
                   [&](const Figures& f) { return thousands(f.cost_of_revenue); });
  s += figures_row("Gross Profit", periods,
                   [&](const Figures& f) { return thousands(f.revenue - f.cost_of_revenue); });
  s +=
      figures_row("Net Income", periods, [&](const Figures& f) { return thousands(f.net_income); });
  s += "</table>\n<h2>Balance sheet</h2>\n<table class=\"balance\">\n" + head + "</tr>\n";
  s += figures_row("Total Assets", periods,
                   [&](const Figures& f) { return thousands(f.total_assets); });
  s += figures_row("Total Liabilities", periods,
                   [&](const Figures& f) { return thousands(f.total_liabilities); });
  s += figures_row("Stockholders' Equity", periods, [&](const Figures& f) {
    return thousands(f.total_assets - f.total_liabilities);
  });
  s += "</table>\n";
  return html(page(inst.symbol + ": statements", s));
}

Reply mobile_unknown(std::string_view symbol) {
  return html(page("Quotes", "<p>Unknown symbol: " + html_escape(symbol) + "</p>\n"));
}

Reply mobile_quote(const Instrument& inst, std::int64_t now) {
  const Quote q = quote_at(inst, now);
  const std::int64_t minute = (now % 86400000 + 86400000) % 86400000 / 60000;
  char hhmm[8];
  std::snprintf(hhmm, sizeof hhmm, "%02d:%02d", static_cast<int>(minute / 60),
                static_cast<int>(minute % 60));
  std::string s = "<div id=\"hdr\">" + inst.symbol + " &middot; " + inst.name + "</div>\n";
  s += "<table id=\"q\">\n";
  s += "<tr><td>Symbol</td><td>" + inst.symbol + "</td></tr>\n";
  s += "<tr><td>Last</td><td>" + fixed(q.last) + " " + inst.currency + "</td></tr>\n";
  s += "<tr><td>Change</td><td>" + fixed(q.change) + " (" + fixed(q.change_pct) + "%)</td></tr>\n";
  s += "<tr><td>Bid/Ask</td><td>" + fixed(q.bid) + "/" + fixed(q.ask) + "</td></tr>\n";
  s += "<tr><td>Volume</td><td>" + fixed(static_cast<double>(q.volume) / 1e6) + "M</td></tr>\n";
  s += "<tr><td>52w Range</td><td>" + fixed(q.low_52w) + " - " + fixed(q.high_52w) + "</td></tr>\n";
  s += "<tr><td>Updated</td><td>" + iso_date(now / 86400000) + " " + hhmm + "</td></tr>\n";
  s += "</table>\n<p>Quotes delayed 15 minutes. Updated: <i>" + std::string(hhmm) + "</i></p>\n";
  return html(page(inst.symbol, s));
}

Reply mobile_profile(const Instrument& inst, std::int64_t now) {
  const Figures f = figures(inst, current_year(now) - 1, 0);
  std::string s = "<div class=\"profile\"><h2>" + inst.name + "</h2>\n";
  s += "<p>Sector: <b>" + inst.sector + "</b></p>\n";
  s += "<p>Employees: <b>" + grouped(f.employees) + "</b></p>\n";
  s += "<p>Identifier: <code>QX-" + inst.identifier + "</code></p>\n";
  s += "<p>Listed on: <b>" + inst.exchange + "</b></p>\n";
  s += "<p>Payout ratio: <b>" + fixed(f.payout) + "</b></p>\n</div>\n";
  return html(page(inst.symbol + " profile", s));
}

Reply mobile_dividends(const Instrument& inst, std::int64_t now) {
  const int latest = current_year(now) - 1;
  std::string years = "<tr><td>Year</td>", dividend = "<tr><td>Dividend</td>",
              yield = "<tr><td>Yield</td>", exdate = "<tr><td>Ex-date</td>";
  for (int y = latest; y > latest - 3; --y) {
    const Figures f = figures(inst, y, 0);
    const double close = daily_bar(inst, days_from_civil(y, 12, 31)).close;
    years += "<td>" + std::to_string(y) + "</td>";
    dividend += "<td>" + fixed(f.dividend) + "</td>";
    yield += "<td>" + fixed(close > 0 ? 100 * f.dividend / close : 0) + "</td>";
    exdate += "<td>" + iso_date(days_from_civil(y, 5, 10 + inst.index % 15)) + "</td>";
  }
  const std::string s = "<h3>" + inst.name + " dividends</h3>\n<table class=\"div\">\n" + years +
                        "</tr>\n" + dividend + "</tr>\n" + yield + "</tr>\n" + exdate +
                        "</tr>\n</table>\n";
  return html(page(inst.symbol + " dividends", s));
}

bool contains_nocase(std::string_view text, std::string_view needle) {
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  if (needle.size() > text.size()) return false;
  for (std::size_t i = 0; i + needle.size() <= text.size(); ++i) {
    std::size_t k = 0;
    while (k < needle.size() && lower(text[i + k]) == lower(needle[k])) ++k;
    if (k == needle.size()) return true;
  }
  return false;
}

Reply search_page(std::string_view query, bool mobile) {
  constexpr int kMaxHits = 50;
  std::string rows;
  int hits = 0;
  for (const Instrument& inst : instruments()) {
    if (query.empty() || hits == kMaxHits) break;
    if (!contains_nocase(inst.name, query) && !contains_nocase(inst.symbol, query)) continue;
    ++hits;
    rows += mobile ? "<tr><td>" + inst.symbol + "</td><td>" + inst.name + "</td><td>" +
                         inst.exchange + "</td></tr>\n"
                   : "<tr><td>" + inst.name + "</td><td>" + inst.symbol + "</td><td>" +
                         inst.exchange + "</td></tr>\n";
  }
  std::string s = "<h1>Symbol search</h1>\n<p>Results for \"" + html_escape(query) + "\"</p>\n";
  if (hits == 0) {
    s += "<p>No instruments match your search.</p>\n";
  } else {
    s += mobile
             ? "<table><tr><th>Symbol</th><th>Name</th><th>Market</th></tr>\n"
             : "<table class=\"results\"><tr><th>Name</th><th>Symbol</th><th>Exchange</th></tr>\n";
    s += rows + "</table>\n";
  }
  return html(page("Symbol search", s));
}

// A whole number from a query value, or false when it is not one.
bool read_int(std::string_view text, int lo, int hi, int& out) {
  if (text.empty() || text.size() > 6) return false;
  int v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (v < lo || v > hi) return false;
  out = v;
  return true;
}

// ---- price history -----------------------------------------------------------

Reply history_csv(std::string_view target, std::int64_t now) {
  const std::string symbol = query_value(target, "s");
  int a = 0, b = 0, c = 0, d = 0, e = 0, f = 0;
  if (!read_int(query_value(target, "a"), 0, 11, a) ||
      !read_int(query_value(target, "b"), 1, 31, b) ||
      !read_int(query_value(target, "c"), 1900, 2200, c) ||
      !read_int(query_value(target, "d"), 0, 11, d) ||
      !read_int(query_value(target, "e"), 1, 31, e) ||
      !read_int(query_value(target, "f"), 1900, 2200, f) || symbol.empty()) {
    return error_page(400, "Bad Request");
  }
  const Instrument* inst = instrument_find(symbol);
  if (inst == nullptr) {
    return html(
        "<html><head><title>Symbol Lookup from the price history service</title></head>"
        "<body><p>There are no results for " +
        html_escape(symbol) + ".</p></body></html>\n");
  }
  std::string sampling = query_value(target, "g");
  if (sampling != "w" && sampling != "m") sampling = "d";
  const std::int64_t today = now / 86400000;
  const std::int64_t first = days_from_civil(c, a + 1, b);
  const std::int64_t last = std::min(days_from_civil(f, d + 1, e), today);
  Reply reply{200, "text/csv", "Date,Open,High,Low,Close,Volume,Adj Close\n"};
  // Walks back from the newest day, closing a bar at each period start.
  Bar acc;
  bool open = false;
  const auto flush = [&] {
    if (!open) return;
    char line[160];
    std::snprintf(line, sizeof line, "%s,%.2f,%.2f,%.2f,%.2f,%" PRId64 ",%.2f\n",
                  iso_date(acc.day).c_str(), acc.open, acc.high, acc.low, acc.close, acc.volume,
                  acc.adj_close);
    reply.body += line;
    open = false;
  };
  const auto period = [&](std::int64_t day) -> std::int64_t {
    if (sampling == "w") return (day + 3) / 7;  // weeks start on Monday
    if (sampling == "m") {
      int y = 0, m = 0, dd = 0;
      civil_from_days(day, y, m, dd);
      return static_cast<std::int64_t>(y) * 12 + m;
    }
    return day;
  };
  for (std::int64_t day = last; day >= first; --day) {
    if (is_trading_day(day)) {
      const Bar bar = daily_bar(*inst, day);
      if (!open) {
        acc = bar;  // the newest day of the period gives its close
        open = true;
      } else {
        acc.day = day;
        acc.open = bar.open;
        acc.high = std::max(acc.high, bar.high);
        acc.low = std::min(acc.low, bar.low);
        acc.volume += bar.volume;
      }
    }
    if (period(day - 1) != period(day)) flush();
  }
  flush();
  return reply;
}

// A page of a site that writes Latin-1 (announced in the HTTP header, as
// many older sites do), decimal commas and the typographic minus sign as a
// character reference. It echoes the id it was asked for, so a test sees
// whether an id with "&", "#" or a blank arrived whole.
Reply latin1_quote(std::string_view symbol) {
  std::string echoed;
  for (char c : symbol) {
    if (c == '&' || c == '<' || c == '>' || c == '"') {
      echoed += "&#" + std::to_string(static_cast<unsigned char>(c)) + ";";
    } else {
      echoed += c;
    }
  }
  std::string s =
      "<h1>Cr\xE8me Br\xFBl\xE9"
      "e Holdings</h1>\n";
  s += "<p>Symbol: <b>" + echoed + "</b></p>\n";
  s += "<p>Last: <b>1.234,50</b> Change: <i>&#8722;2,50</i> (<i>&#8722;0,20%</i>)</p>\n";
  return Reply{200, "text/html; charset=ISO-8859-1", page("Cours", s)};
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string query_value(std::string_view target, std::string_view key) {
  const std::size_t q = target.find('?');
  if (q == std::string_view::npos) return {};
  std::string_view rest = target.substr(q + 1);
  while (!rest.empty()) {
    const std::size_t amp = rest.find('&');
    const std::string_view pair = rest.substr(0, amp);
    const std::size_t eq = pair.find('=');
    if (pair.substr(0, eq) == key) {
      const std::string_view raw = eq == std::string_view::npos ? "" : pair.substr(eq + 1);
      std::string out;
      for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '+') {
          out += ' ';
        } else if (raw[i] == '%' && i + 2 < raw.size() && hex_digit(raw[i + 1]) >= 0 &&
                   hex_digit(raw[i + 2]) >= 0) {
          out += static_cast<char>(hex_digit(raw[i + 1]) * 16 + hex_digit(raw[i + 2]));
          i += 2;
        } else {
          out += raw[i];
        }
      }
      return out;
    }
    if (amp == std::string_view::npos) break;
    rest.remove_prefix(amp + 1);
  }
  return {};
}

Reply MarketSite::answer(std::string_view target) const {
  const std::string_view path = target.substr(0, target.find('?'));
  const std::int64_t now = m_clock();
  if (auto page = weblink_page(target, now)) return *page;
  if (auto data = api_answer(target, now)) return *data;
  if (path == "/table.csv") return history_csv(target, now);
  if (path == "/search") return search_page(query_value(target, "q"), false);
  if (path == "/m/search") return search_page(query_value(target, "q"), true);
  if (path == "/intl/quote") {
    const std::string symbol = query_value(target, "s");
    return symbol.empty() ? error_page(400, "Bad Request") : latin1_quote(symbol);
  }
  const bool mobile = path.starts_with("/m/");
  const std::string symbol = query_value(target, mobile ? "sym" : "s");
  if (path != "/quote" && path != "/keyfigures" && path != "/statements" && path != "/m/quote" &&
      path != "/m/profile" && path != "/m/dividends") {
    return error_page(404, "Not Found");
  }
  if (symbol.empty()) return error_page(400, "Bad Request");
  const Instrument* inst = instrument_find(symbol);
  if (inst == nullptr) return mobile ? mobile_unknown(symbol) : unknown_quote(symbol);
  if (path == "/quote") return quote_page(*inst, now);
  if (path == "/keyfigures") return keyfigures_page(*inst, now);
  if (path == "/statements") return statements_page(*inst, now, query_value(target, "freq") == "q");
  if (path == "/m/quote") return mobile_quote(*inst, now);
  if (path == "/m/profile") return mobile_profile(*inst, now);
  return mobile_dividends(*inst, now);
}

}  // namespace quillo::service
