#include "demo/market_data.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <numbers>

namespace quillo::service {

namespace {

// A well-mixed 64-bit hash (splitmix64) of an instrument and a salt.
std::uint64_t mix(std::uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

// A number in [0, 1) fixed by the instrument and the salt.
double unit(int index, std::uint64_t salt) {
  return static_cast<double>(mix(static_cast<std::uint64_t>(index) * 1000003ULL + salt) >> 11) /
         9007199254740992.0;
}

double round_to(double v, double step) {
  return std::round(v / step) * step;
}

constexpr std::array<const char*, 16> kFirst = {"Nor", "Val", "Ast", "Bel", "Cor", "Dun",
                                                "Esk", "Fal", "Gra", "Hal", "Ivo", "Jor",
                                                "Kel", "Lum", "Mar", "Ost"};
constexpr std::array<const char*, 12> kSecond = {"vik", "den", "ora", "mont", "ex",   "ford",
                                                 "ica", "ton", "ara", "well", "stad", "ion"};
constexpr std::array<const char*, 8> kSuffix = {"Holdings", "Industries", "Group",   "Systems",
                                                "Energy",   "Foods",      "Capital", "Motors"};
constexpr std::array<const char*, 6> kSectors = {"Technology",       "Industrials", "Energy",
                                                 "Consumer Staples", "Financials",  "Health Care"};
struct Market {
  const char* exchange;
  const char* currency;
  const char* country;
};
constexpr std::array<Market, 5> kMarkets = {{{"NYSE", "USD", "US"},
                                             {"NASDAQ", "USD", "US"},
                                             {"XETRA", "EUR", "DE"},
                                             {"LSE", "GBP", "GB"},
                                             {"Euronext Paris", "EUR", "FR"}}};

std::vector<Instrument> make_instruments() {
  std::vector<Instrument> out;
  out.reserve(kInstrumentCount);
  for (int i = 0; i < kInstrumentCount; ++i) {
    Instrument inst;
    inst.index = i;
    // 7919 is prime to 26^3, so the symbols are all different.
    const int code = (i * 7919 + 1234) % (26 * 26 * 26);
    inst.symbol = {static_cast<char>('A' + code / 676), static_cast<char>('A' + code / 26 % 26),
                   static_cast<char>('A' + code % 26)};
    inst.name = std::string(kFirst[i % kFirst.size()]) + kSecond[(i / 3) % kSecond.size()] + " " +
                kSuffix[(i / 7) % kSuffix.size()];
    const Market& m = kMarkets[static_cast<std::size_t>(i) % kMarkets.size()];
    inst.exchange = m.exchange;
    inst.currency = m.currency;
    inst.sector = kSectors[static_cast<std::size_t>(i * 5 + 3) % kSectors.size()];
    const auto digits = 1000000000ULL + mix(static_cast<std::uint64_t>(i)) % 9000000000ULL;
    inst.identifier = std::string(m.country) + std::to_string(digits);
    inst.base_price = round_to(5 + 495 * unit(i, 1), 0.01);
    out.push_back(std::move(inst));
  }
  return out;
}

// The closing level of a day relative to the base price: a slow swing and
// a faster ripple, with their own phases per instrument.
double close_factor(const Instrument& inst, std::int64_t day) {
  const double d = static_cast<double>(day);
  const double a = 2 * std::numbers::pi * unit(inst.index, 2);
  const double b = 2 * std::numbers::pi * unit(inst.index, 3);
  return 1 + 0.25 * std::sin(d / 97 + a) + 0.06 * std::sin(d / 11 + b);
}

}  // namespace

const std::vector<Instrument>& instruments() {
  static const std::vector<Instrument> all = make_instruments();
  return all;
}

const Instrument* instrument_find(std::string_view symbol) {
  if (symbol.size() != 3) return nullptr;
  std::string upper(symbol);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  for (const Instrument& inst : instruments()) {
    if (inst.symbol == upper) return &inst;
  }
  return nullptr;
}

std::int64_t days_from_civil(int year, int month, int day) {
  const int y = year - (month <= 2 ? 1 : 0);
  const int era = (y >= 0 ? y : y - 399) / 400;
  const int yoe = y - era * 400;
  const int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return static_cast<std::int64_t>(era) * 146097 + doe - 719468;
}

void civil_from_days(std::int64_t days, int& year, int& month, int& day) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto doe = static_cast<int>(days - era * 146097);
  const int yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int mp = (5 * doy + 2) / 153;
  day = doy - (153 * mp + 2) / 5 + 1;
  month = mp < 10 ? mp + 3 : mp - 9;
  year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
}

bool is_trading_day(std::int64_t day) {
  const std::int64_t weekday = ((day % 7) + 7 + 3) % 7;  // 0 = Monday; 1970-01-01 was a Thursday
  return weekday < 5;
}

Bar daily_bar(const Instrument& inst, std::int64_t day) {
  Bar bar;
  bar.day = day;
  bar.close = round_to(inst.base_price * close_factor(inst, day), 0.01);
  const double prev = inst.base_price * close_factor(inst, day - 1);
  bar.open = round_to(prev * (1 + 0.004 * std::sin(static_cast<double>(day) + inst.index)), 0.01);
  const double spread = 0.003 + 0.01 * unit(inst.index, 1000 + static_cast<std::uint64_t>(day));
  bar.high = round_to(std::max(bar.open, bar.close) * (1 + spread), 0.01);
  bar.low = round_to(std::min(bar.open, bar.close) * (1 - spread), 0.01);
  bar.volume = 100000 + static_cast<std::int64_t>(
                            9000000 * unit(inst.index, 5000 + static_cast<std::uint64_t>(day)));
  // Dividends paid in earlier years lower the adjusted close a little.
  const double years_back = std::max(0.0, (20454.0 - static_cast<double>(day)) / 365.25);
  bar.adj_close = round_to(bar.close * std::pow(0.985, years_back), 0.01);
  return bar;
}

Quote quote_at(const Instrument& inst, std::int64_t unix_ms) {
  Quote q;
  const std::int64_t day = unix_ms >= 0 ? unix_ms / 86400000 : (unix_ms + 1) / 86400000 - 1;
  const double seconds = static_cast<double>(unix_ms) / 1000;
  const Bar today = daily_bar(inst, day);
  q.prev_close = daily_bar(inst, day - 1).close;
  q.open = today.open;
  // Within the day the price wanders around the line from open to close.
  const double frac = static_cast<double>(unix_ms - day * 86400000) / 86400000.0;
  const double period = 600 + 60 * (inst.index % 17);
  const double wave = 0.004 * std::sin(2 * std::numbers::pi * seconds / period + inst.index);
  q.last = round_to((today.open + (today.close - today.open) * frac) * (1 + wave), 0.01);
  q.day_low = std::min({today.low, q.last, q.open});
  q.day_high = std::max({today.high, q.last, q.open});
  q.change = round_to(q.last - q.prev_close, 0.01);
  q.change_pct = round_to(100 * q.change / q.prev_close, 0.01);
  q.bid = round_to(q.last - 0.01 - 0.01 * (inst.index % 5), 0.01);
  q.ask = round_to(q.last + 0.01 + 0.01 * (inst.index % 3), 0.01);
  q.low_52w = round_to(inst.base_price * 0.75, 0.01);
  q.high_52w = round_to(inst.base_price * 1.31, 0.01);
  q.volume = static_cast<std::int64_t>(static_cast<double>(today.volume) * frac);
  const double shares_millions = 50 + 2000 * unit(inst.index, 7);
  q.market_cap_billions = round_to(q.last * shares_millions / 1000, 0.1);
  q.dividend = round_to(inst.base_price * 0.03 * unit(inst.index, 8), 0.01);
  q.yield_pct = q.last > 0 ? round_to(100 * q.dividend / q.last, 0.01) : 0;
  return q;
}

Figures figures(const Instrument& inst, int year, int quarter) {
  const auto salt = static_cast<std::uint64_t>(year) * 8 + static_cast<std::uint64_t>(quarter);
  const double size = 1e8 + 9e10 * unit(inst.index, 9);  // yearly revenue level
  const double growth = std::pow(1.04 + 0.05 * unit(inst.index, 10), year - 2000);
  const double share = quarter == 0 ? 1.0 : 0.22 + 0.02 * quarter;
  Figures f;
  f.revenue =
      static_cast<std::int64_t>(size * growth * share * (0.95 + 0.1 * unit(inst.index, salt)));
  f.cost_of_revenue = static_cast<std::int64_t>(static_cast<double>(f.revenue) *
                                                (0.5 + 0.3 * unit(inst.index, 11)));
  const double margin = -0.05 + 0.25 * unit(inst.index, salt + 100000);
  f.net_income = static_cast<std::int64_t>(static_cast<double>(f.revenue) * margin);
  f.margin_meaningful = margin > 0;
  f.total_assets = static_cast<std::int64_t>(static_cast<double>(f.revenue) / share * 1.6);
  f.total_liabilities = static_cast<std::int64_t>(static_cast<double>(f.total_assets) * 0.55);
  const double shares = 5e7 + 2e9 * unit(inst.index, 7);
  f.eps = round_to(static_cast<double>(f.net_income) / shares, 0.01);
  f.dividend = round_to(std::max(0.0, f.eps * 0.4), 0.01);
  f.payout = f.eps > 0 ? round_to(f.dividend / f.eps, 0.01) : 0;
  f.employees = 200 + static_cast<std::int64_t>(size / 250000 * growth) / 10 * 10;
  return f;
}

std::string fixed(double v, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return buf;
}

}  // namespace quillo::service
