// The service over HTTP, read the way the engine reads it: pages fetched by
// the libcurl transport and parsed with data/ds.xml.
#include "market_service.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <sstream>

#include "cli/parse_command.h"
#include "demo/market_data.h"
#include "host/event_loop.h"
#include "host/posix/poll_loop.h"
#include "http/curl_transport.h"

namespace quillo::service {
namespace {

constexpr std::int64_t kMoment = 1767268800000;  // 2026-01-01 12:00 UTC

class MarketServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_service.running());
    m_service.set_time(kMoment);
  }

  http::HttpResult fetch(const std::string& path) {
    http::HttpResult result;
    bool done = false;
    m_transport.get(m_service.base_url() + path, {}, [&](http::HttpResult r) {
      result = std::move(r);
      done = true;
    });
    EXPECT_TRUE(m_loop.run_until([&] { return done; }, 10000));
    return result;
  }

  // Field name -> shown value of `quillo parse` over a page of the service.
  std::map<std::string, std::string> parse(
      const std::string& category, const std::string& path, const std::string& instrument,
      std::vector<std::pair<std::string, std::string>> options = {}, int expected_exit = 0) {
    const http::HttpResult page = fetch(path);
    EXPECT_EQ(page.status, 200) << page.error_text;
    cli::ParseOptions opt;
    opt.definitions = std::string(QUILLO_DATA) + "/ds.xml";
    opt.instrument = instrument;
    opt.category = category;
    opt.options = std::move(options);
    opt.page = "-";
    std::istringstream in(page.body);
    std::ostringstream out, err;
    EXPECT_EQ(cli::run_parse(opt, in, out, err), expected_exit) << err.str();
    std::map<std::string, std::string> values;
    std::istringstream lines(out.str());
    for (std::string line; std::getline(lines, line);) {
      const std::size_t tab = line.find('\t');
      values[line.substr(0, tab)] = tab == std::string::npos ? "" : line.substr(tab + 1);
    }
    return values;
  }

  MarketService m_service;
  host::PollLoop m_loop;
  http::CurlTransport m_transport{m_loop};
};

double number(const std::string& shown) {
  return std::stod(shown);
}

TEST_F(MarketServiceTest, QuotePagesParseToTheMarketsFigures) {
  const Instrument& inst = instruments()[17];
  const Quote q = quote_at(inst, kMoment);
  auto v = parse("LMS.QUO", "/quote?s=" + inst.symbol, inst.symbol, {{"units", "Billions"}});
  EXPECT_EQ(v["NAME"], inst.name);
  EXPECT_DOUBLE_EQ(number(v["LAST"]), q.last);
  EXPECT_DOUBLE_EQ(number(v["CHANGE"]), q.change);
  EXPECT_NEAR(number(v["CHANGEPCT"]), q.change_pct / 100, 1e-12);
  EXPECT_EQ(v["CURRENCY"], inst.currency);
  EXPECT_EQ(v["EXCHANGE"], inst.exchange);
  EXPECT_EQ(v["TIME"], "2026-01-01 12:00:00");
  EXPECT_DOUBLE_EQ(number(v["PREVCLOSE"]), q.prev_close);
  EXPECT_DOUBLE_EQ(number(v["DAYLOW"]), q.day_low);
  EXPECT_DOUBLE_EQ(number(v["DAYHIGH"]), q.day_high);
  EXPECT_DOUBLE_EQ(number(v["VOLUME"]), static_cast<double>(q.volume));
  EXPECT_NEAR(number(v["MARKETCAP"]), q.market_cap_billions, 1e-9);  // shown in billions
  EXPECT_NEAR(number(v["YIELD"]), q.yield_pct / 100, 1e-12);
  EXPECT_EQ(v["PEER1"].size(), 3u);

  const Quote later = quote_at(inst, kMoment + 7 * 60000);
  m_service.set_time(kMoment + 7 * 60000);
  v = parse("LMM.QUO", "/m/quote?sym=" + inst.symbol, inst.symbol);
  EXPECT_DOUBLE_EQ(number(v["LAST"]), later.last);
  EXPECT_EQ(v["CURRENCY"], inst.currency);
  EXPECT_DOUBLE_EQ(number(v["BID"]), later.bid);
  EXPECT_DOUBLE_EQ(number(v["ASK"]), later.ask);
  EXPECT_NEAR(number(v["CHANGEPCT"]), later.change_pct / 100, 1e-12);
  EXPECT_EQ(v["DATE"], "2026-01-01");
  EXPECT_EQ(v["TIME"], "12:07");
}

TEST_F(MarketServiceTest, SelectorsAndUnitsPickAndScaleFigures) {
  const Instrument& inst = instruments()[101];
  const Figures previous = figures(inst, 2024, 0);
  auto v = parse("LMS.KEY", "/keyfigures?s=" + inst.symbol, inst.symbol,
                 {{"year", "Previous"}, {"units", "Thousands"}});
  EXPECT_EQ(v["FISCALYEAR"], "2024");
  EXPECT_NEAR(number(v["REVENUE"]), static_cast<double>(previous.revenue) / 1000, 1e-6);
  EXPECT_DOUBLE_EQ(number(v["EPS"]), previous.eps);

  const Figures q3 = figures(inst, 2025, 3);
  v = parse("LMS.FIN", "/statements?s=" + inst.symbol + "&freq=q", inst.symbol,
            {{"frequency", "Quarterly"}, {"period", "Previous"}, {"units", "Millions"}});
  EXPECT_EQ(v["PERIOD"], "Sep 30, 2025");
  EXPECT_NEAR(number(v["NETINCOME"]), static_cast<double>(q3.net_income / 1000) / 1000, 1e-9);

  v = parse("LMM.PRO", "/m/profile?sym=" + inst.symbol, inst.symbol);
  EXPECT_EQ(v["IDENTIFIER"], inst.identifier);
  EXPECT_EQ(v["COUNTRY"], inst.identifier.substr(0, 2));
  EXPECT_NEAR(number(v["PAYOUTPCT"]), figures(inst, 2025, 0).payout * 100, 1e-9);
}

TEST_F(MarketServiceTest, UnknownInstrumentsGetTheInvalidRequestPage) {
  auto v = parse("LMS.QUO", "/quote?s=QQQQ", "QQQQ", {}, 3);
  EXPECT_EQ(v.count("Invalid instrument id"), 1u);
  v = parse("LMM.DIV", "/m/dividends?sym=QQQQ", "QQQQ", {}, 3);
  EXPECT_EQ(v.count("Invalid instrument id"), 1u);
}

}  // namespace
}  // namespace quillo::service
