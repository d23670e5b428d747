// The pages of the local market-data service, as a pure function from a
// request target ("/quote?s=ABC") to a reply. Both servers of the service
// (the cpp-httplib one and the raw-socket one) answer through it, so a page
// is the same whichever port serves it.
//
// Pages (query keys in brackets; s and sym take an instrument symbol):
//   /quote [s]                 quote page: text markers and two tables
//   /keyfigures [s]            four fiscal years of key figures, the second table
//   /statements [s, freq=a|q]  income statement and balance sheet, in thousands
//   /search [q]                instruments whose name or symbol contains q
//   /m/quote, /m/profile, /m/dividends [sym]   a second site with its own layout
//   /m/search [q]
//   /intl/quote [s]            a Latin-1 page (ISO-8859-1 in the header) with
//       decimal commas and "&#8722;" minus signs; echoes any id it is given
//   /table.csv [s, a, b, c, d, e, f, g, ignore]   daily, weekly or monthly
//       price history, newest first; a, b, c: start month (0-11), day, year;
//       d, e, f: end month, day, year; g: d, w or m
//   /api/quotes.json, /api/quotes.csv, /api/keyfigures.json,
//   /api/keyfigures.csv [s]   the same figures as data (market_api.h)
// An unknown symbol gets a 200 page with the invalid-request text of its
// site ("No quote found for symbol", "Unknown symbol", and for the history
// the "Symbol Lookup" page); a missing or malformed key gets 400, an
// unknown path 404.
//
// Pure: the time comes from the clock given at construction. Any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace quillo::service {

struct Reply {
  int status = 200;
  std::string content_type = "text/html; charset=utf-8";
  std::string body;
};

class MarketSite {
 public:
  // clock answers the time in Unix milliseconds.
  explicit MarketSite(std::function<std::int64_t()> clock) : m_clock(std::move(clock)) {}

  Reply answer(std::string_view target) const;

 private:
  std::function<std::int64_t()> m_clock;
};

// The value of a query key of a request target, percent-decoded ('+' is a
// blank); empty when absent.
std::string query_value(std::string_view target, std::string_view key);

}  // namespace quillo::service
