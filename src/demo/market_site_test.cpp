#include "demo/market_site.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <vector>

#include "demo/market_data.h"

namespace quillo::service {
namespace {

constexpr std::int64_t kNewYear2026 = 1767225600000;  // 2026-01-01 00:00 UTC, a Thursday

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

std::vector<std::string> fields(const std::string& line) {
  std::vector<std::string> out;
  std::istringstream in(line);
  for (std::string field; std::getline(in, field, ',');) out.push_back(field);
  return out;
}

TEST(MarketDataTest, InstrumentsAreDistinctAndFoundInAnyCase) {
  std::set<std::string> symbols;
  for (const Instrument& inst : instruments()) {
    symbols.insert(inst.symbol);
    EXPECT_GT(inst.base_price, 0);
  }
  EXPECT_EQ(symbols.size(), static_cast<std::size_t>(kInstrumentCount));
  const Instrument& third = instruments()[3];
  std::string lower = third.symbol;
  for (char& c : lower) c = static_cast<char>(c - 'A' + 'a');
  EXPECT_EQ(instrument_find(lower), &third);
  EXPECT_EQ(instrument_find("ZZZZ"), nullptr);
  EXPECT_EQ(instrument_find(""), nullptr);
}

TEST(MarketDataTest, QuotesAreConsistentAndMoveWithTime) {
  const Instrument& inst = instruments()[42];
  const Quote a = quote_at(inst, kNewYear2026 + 3600000);
  const Quote b = quote_at(inst, kNewYear2026 + 3 * 3600000);
  EXPECT_NE(a.last, b.last);
  EXPECT_EQ(quote_at(inst, kNewYear2026 + 3600000).last, a.last);  // deterministic
  EXPECT_LE(a.day_low, a.last);
  EXPECT_GE(a.day_high, a.last);
  EXPECT_NEAR(a.change, a.last - a.prev_close, 0.006);
  EXPECT_LT(a.bid, a.ask);
  EXPECT_EQ(a.prev_close, daily_bar(inst, kNewYear2026 / 86400000 - 1).close);
}

TEST(MarketDataTest, CalendarRoundTrips) {
  for (std::int64_t day : {-719468LL, -1LL, 0LL, 11016LL, 20454LL, 50000LL}) {
    int y = 0, m = 0, d = 0;
    civil_from_days(day, y, m, d);
    EXPECT_EQ(days_from_civil(y, m, d), day);
  }
  EXPECT_EQ(days_from_civil(2010, 1, 2), 14611);
  EXPECT_FALSE(is_trading_day(days_from_civil(2010, 1, 2)));  // a Saturday
  EXPECT_TRUE(is_trading_day(days_from_civil(2010, 1, 4)));   // a Monday
}

TEST(MarketSiteTest, QuotePagesShowTheQuoteAndUnknownIdsTheMarker) {
  const MarketSite site([] { return kNewYear2026 + 15 * 3600000; });
  const Instrument& inst = instruments()[7];
  const Quote q = quote_at(inst, kNewYear2026 + 15 * 3600000);
  Reply r = site.answer("/quote?s=" + inst.symbol);
  EXPECT_EQ(r.status, 200);
  char last[32];
  std::snprintf(last, sizeof last, "Last: <b>%.2f</b>", q.last);
  EXPECT_NE(r.body.find(last), std::string::npos);
  EXPECT_NE(r.body.find("As of 2026-01-01 15:00:00 UTC"), std::string::npos);

  r = site.answer("/quote?s=%3Cscript%3E");
  EXPECT_EQ(r.status, 200);
  EXPECT_NE(r.body.find("No quote found for symbol &lt;script&gt;."), std::string::npos);
  EXPECT_NE(site.answer("/m/quote?sym=QQQQ").body.find("Unknown symbol"), std::string::npos);
  EXPECT_EQ(site.answer("/quote").status, 400);
  EXPECT_EQ(site.answer("/elsewhere?s=" + inst.symbol).status, 404);
}

TEST(MarketSiteTest, SearchListsMatchesOrSaysThereAreNone) {
  const MarketSite site([] { return kNewYear2026; });
  const Instrument& inst = instruments()[11];
  Reply r = site.answer("/search?q=" + inst.symbol);
  EXPECT_NE(r.body.find("<td>" + inst.name + "</td><td>" + inst.symbol + "</td>"),
            std::string::npos);
  r = site.answer("/m/search?q=" + inst.symbol);
  EXPECT_NE(r.body.find("<td>" + inst.symbol + "</td><td>" + inst.name + "</td>"),
            std::string::npos);
  r = site.answer("/search?q=no+such+company");
  EXPECT_NE(r.body.find("No instruments match"), std::string::npos);
  EXPECT_EQ(r.body.find("<table"), std::string::npos);
}

TEST(MarketSiteTest, HistoryIsDailyWeeklyOrMonthlyNewestFirst) {
  const MarketSite site([] { return kNewYear2026; });
  const Instrument& inst = instruments()[5];
  // 4 to 15 January 2010: ten trading days.
  const std::string span = "/table.csv?s=" + inst.symbol + "&a=0&b=4&c=2010&d=0&e=15&f=2010";
  Reply r = site.answer(span + "&g=d&ignore=.csv");
  EXPECT_EQ(r.content_type, "text/csv");
  std::vector<std::string> daily = lines(r.body);
  ASSERT_EQ(daily.size(), 11u);
  EXPECT_EQ(daily[0], "Date,Open,High,Low,Close,Volume,Adj Close");
  EXPECT_EQ(daily[1].substr(0, 11), "2010-01-15,");
  EXPECT_EQ(daily[10].substr(0, 11), "2010-01-04,");
  const Bar bar = daily_bar(inst, days_from_civil(2010, 1, 15));
  char expected[160];
  std::snprintf(expected, sizeof expected, "2010-01-15,%.2f,%.2f,%.2f,%.2f,%lld,%.2f", bar.open,
                bar.high, bar.low, bar.close, static_cast<long long>(bar.volume), bar.adj_close);
  EXPECT_EQ(daily[1], expected);
  EXPECT_EQ(r.body.back(), '\n');

  std::vector<std::string> weekly = lines(site.answer(span + "&g=w&ignore=.csv").body);
  ASSERT_EQ(weekly.size(), 3u);
  // A week: dated by its first trading day, its open from that day, its
  // close from the last, its volume the sum.
  const std::vector<std::string> week = fields(weekly[1]);
  ASSERT_EQ(week.size(), 7u);
  EXPECT_EQ(week[0], "2010-01-11");
  EXPECT_EQ(week[1], fields(daily[5])[1]);
  EXPECT_EQ(week[4], fields(daily[1])[4]);
  long long volume = 0;
  for (int k = 1; k <= 5; ++k) volume += std::stoll(fields(daily[static_cast<std::size_t>(k)])[5]);
  EXPECT_EQ(std::stoll(week[5]), volume);

  // Monthly lines up to the service's today (2026-01-01) and no further.
  std::vector<std::string> monthly = lines(
      site.answer("/table.csv?s=" + inst.symbol + "&a=0&b=1&c=2025&d=11&e=31&f=2030&g=m").body);
  ASSERT_EQ(monthly.size(), 14u);
  EXPECT_EQ(monthly[1].substr(0, 11), "2026-01-01,");
  EXPECT_EQ(monthly[2].substr(0, 11), "2025-12-01,");
  EXPECT_EQ(monthly[13].substr(0, 11), "2025-01-01,");
}

TEST(MarketSiteTest, HistoryRejectsBadKeysAndUnknownSymbols) {
  const MarketSite site([] { return kNewYear2026; });
  const std::string symbol = instruments()[0].symbol;
  EXPECT_EQ(site.answer("/table.csv?s=" + symbol + "&a=12&b=1&c=2010&d=0&e=1&f=2011").status, 400);
  EXPECT_EQ(site.answer("/table.csv?s=" + symbol + "&a=0&b=1&c=20x0&d=0&e=1&f=2011").status, 400);
  EXPECT_EQ(site.answer("/table.csv?a=0&b=1&c=2010&d=0&e=1&f=2011").status, 400);
  const Reply r = site.answer("/table.csv?s=QQQQ&a=0&b=1&c=2010&d=0&e=1&f=2011&g=d");
  EXPECT_EQ(r.status, 200);
  EXPECT_NE(r.body.find("<title>Symbol Lookup"), std::string::npos);
  // Start after end: only the header.
  EXPECT_EQ(
      lines(site.answer("/table.csv?s=" + symbol + "&a=5&b=1&c=2011&d=0&e=1&f=2011").body).size(),
      1u);
}

TEST(MarketSiteTest, OddTargetsGetAnAnswer) {
  const MarketSite site([] { return kNewYear2026; });
  const std::string long_key(100000, 'a');
  for (const std::string& target :
       {std::string(), std::string("?"), std::string("/table.csv?"), std::string("/quote?s=%"),
        std::string("/m/quote?sym=&sym=ABC"), std::string("/search?q=") + long_key,
        "/table.csv?s=" + instruments()[0].symbol + "&a=0&b=31&c=1900&d=11&e=31&f=2200&g=x",
        std::string("/statements?s=") + instruments()[0].symbol + "&freq=" + long_key}) {
    const Reply r = site.answer(target);
    EXPECT_GE(r.status, 200) << target.substr(0, 60);
    EXPECT_FALSE(r.body.empty()) << target.substr(0, 60);
  }
}

TEST(QueryValueTest, KeysAreMatchedWholeAndValuesDecoded) {
  EXPECT_EQ(query_value("/p?s=AB&ss=CD", "s"), "AB");
  EXPECT_EQ(query_value("/p?ss=CD&s=A%2fB+C", "s"), "A/B C");
  EXPECT_EQ(query_value("/p?s=%zz%4", "s"), "%zz%4");
  EXPECT_EQ(query_value("/p", "s"), "");
  EXPECT_EQ(query_value("/p?s", "s"), "");
}

}  // namespace
}  // namespace quillo::service
