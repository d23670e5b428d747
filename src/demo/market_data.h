// The synthetic market behind the local market-data service: a fixed set of
// instruments, their prices at any moment, their daily price history and
// their yearly key figures. Everything is derived from the instrument's
// index and the time asked for, so two runs (or a test and the service it
// talks to) agree on every figure when they agree on the clock.
//
// Pure functions over constant data; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quillo::service {

inline constexpr int kInstrumentCount = 1200;  // enough for the thousand-instrument benchmark

struct Instrument {
  int index = 0;
  std::string symbol;  // three capital letters, unique
  std::string name;
  std::string exchange;
  std::string currency;
  std::string sector;
  std::string identifier;  // two-letter country and ten digits, "US0001234567"
  double base_price = 0;
};

// Every instrument, by index.
const std::vector<Instrument>& instruments();
// The instrument with this symbol (letter case ignored), or nullptr.
const Instrument* instrument_find(std::string_view symbol);

// The state of the market for one instrument at a moment (Unix
// milliseconds). Prices are rounded to cents.
struct Quote {
  double last = 0, prev_close = 0, open = 0, day_low = 0, day_high = 0;
  double change = 0, change_pct = 0;  // change_pct in percent, rounded to 0.01
  double bid = 0, ask = 0;
  double low_52w = 0, high_52w = 0;
  std::int64_t volume = 0;
  double market_cap_billions = 0;  // rounded to 0.1
  double dividend = 0;             // per share, yearly
  double yield_pct = 0;            // dividend / last, percent, rounded to 0.01
};
Quote quote_at(const Instrument& inst, std::int64_t unix_ms);

// One trading day (days since 1970-01-01; weekends have none).
struct Bar {
  std::int64_t day = 0;
  double open = 0, high = 0, low = 0, close = 0, adj_close = 0;
  std::int64_t volume = 0;
};
Bar daily_bar(const Instrument& inst, std::int64_t day);
bool is_trading_day(std::int64_t day);

// Figures of one fiscal year (in units of the currency) or quarter.
struct Figures {
  std::int64_t revenue = 0, cost_of_revenue = 0, net_income = 0;
  std::int64_t total_assets = 0, total_liabilities = 0;
  double eps = 0, dividend = 0, payout = 0;
  std::int64_t employees = 0;
  bool margin_meaningful = true;  // false: the page shows "NM"
};
// quarter 0: the whole fiscal year; 1 to 4: that quarter.
Figures figures(const Instrument& inst, int year, int quarter);

// A figure with that many decimals, as the service's pages and answers write it.
std::string fixed(double v, int decimals = 2);

// Calendar helpers on days since 1970-01-01 (proleptic Gregorian).
std::int64_t days_from_civil(int year, int month, int day);
void civil_from_days(std::int64_t days, int& year, int& month, int& day);

}  // namespace quillo::service
