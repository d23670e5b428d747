// The market's data answers, for sources whose answer is JSON or CSV rather
// than a page: the same quotes and key figures as /quote and /keyfigures.
// Served under /api/ on both ports of the service.
//
//   /api/quotes.json [s]        {"asOf": ISO time, "quotes": [{"symbol",
//       "name", "exchange", "currency", "last", "change", "changePct" (in
//       percent), "open", "prevClose", "range": {"low", "high"}, "volume",
//       "marketCap", "dividend", "yield" (in percent)}, ...]}; s is one
//       symbol or a comma list
//   /api/keyfigures.json [s]    {"symbol", "currency", "years": [{"year",
//       "revenue", "netIncome", "eps", "dividend"}, ...]}, latest year first
//   /api/quotes.csv [s]         a header line "Symbol,Name,Last,Change,
//       Change %,Volume,Market Cap", a line per symbol (fields with a comma
//       or quote in double quotes), CRLF line ends
//   /api/keyfigures.csv [s]     "Item,<year>,<year-1>,..." and a line per
//       figure: Revenue, Net income, EPS, Dividend
// When no symbol of s is known the answer is a 200 whose text holds "No
// quote found for symbol" (a JSON object with an "error" member, or a
// line of text); a missing s gets 400, another path under /api/ 404.
//
// Pure: the time is given. Any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "demo/market_site.h"

namespace quillo::service {

// The answer for a target under /api/; nullopt for other targets.
std::optional<Reply> api_answer(std::string_view target, std::int64_t now);

}  // namespace quillo::service
