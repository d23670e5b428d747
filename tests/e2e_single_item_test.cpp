// End to end: the spreadsheet, the request spine, the real libcurl
// transport and the local market-data service on 127.0.0.1.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "common/text.h"
#include "host/event_loop.h"
#include "host/posix/poll_loop.h"
#include "http/curl_transport.h"
#include "market_data.h"
#include "market_service.h"
#include "requests/engine.h"
#include "spreadsheet/application.h"

namespace quillo {
namespace {

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream buf;
  buf << in.rdbuf();
  return buf.str();
}

class EndToEnd : public ::testing::Test {
 protected:
  EndToEnd() : transport(loop), engine(app, loop, transport) {
    service.set_time(1764979200000);  // a fixed clock: the same prices every run
    EXPECT_TRUE(engine.install_library(std::string(QUILLO_DATA_DIR) + "/tarnvale.xla").ok());
    sheet = *(*app.workbooks().add())->active_sheet();
    engine.start_pass(50);
  }

  // Loads data/ds.xml for the service; quote_url replaces the quote page's
  // address (to point it at a fault).
  void load_definitions(const std::string& quote_url = "") {
    std::string xml = slurp(std::string(QUILLO_DATA_DIR) + "/ds.xml");
    if (!quote_url.empty())
      text::replace_all(xml, "http://127.0.0.1:{port}/quote<", quote_url + "<");
    text::replace_all(xml, "{port}", std::to_string(service.port()));
    ASSERT_TRUE(engine.load_definitions(xml)) << engine.definitions().error();
  }
  void set(const char* address, const std::string& formula) {
    ASSERT_TRUE((*sheet->range(address))->set_formula(formula).ok()) << formula;
  }
  std::string shown(const char* address) { return (*(*sheet->range(address))->value()).to_text(); }
  // Runs the loop until every answer is in (or 20 s, so a fault cannot hang the test).
  bool settle() {
    return loop.run_until([this] { return engine.idle(); }, 20000);
  }

  service::MarketService service;
  host::PollLoop loop;
  http::CurlTransport transport;
  spreadsheet::Application app;
  Engine engine;
  host::WorksheetPtr sheet;
};

TEST_F(EndToEnd, FormulasFillFromOneExchangePerPage) {
  load_definitions();
  set("A1", "=fsingle(\"BVM\",\"LMS.QUO.LAST\")");
  set("A2", "=fsingle(\"BVM\",\"LMS.QUO.NAME\")");
  set("A3", "=fsingle(\"NOSUCH\",\"LMS.QUO.LAST\")");
  EXPECT_EQ(shown("A1"), "Loading data...");
  ASSERT_TRUE(settle());
  const service::Instrument* bvm = service::instrument_find("BVM");
  ASSERT_NE(bvm, nullptr);
  EXPECT_EQ(shown("A1"), text::format_number(service::quote_at(*bvm, service.now_ms()).last));
  EXPECT_EQ(shown("A2"), bvm->name);
  EXPECT_EQ(shown("A3"), "Invalid instrument id");
  EXPECT_EQ(service.requests(), 2);  // one per page, not one per cell
}

TEST_F(EndToEnd, ServerErrorsShowTheirConnectionErrorText) {
  load_definitions("http://127.0.0.1:{port}/quote?_status=500");
  set("A1", "=fsingle(\"BVM\",\"LMS.QUO.LAST\")");
  ASSERT_TRUE(settle());
  EXPECT_EQ(shown("A1"), "Connection error. Code: 500 - Internal server error.");
}

TEST_F(EndToEnd, ResetConnectionsAreRetriedThenShowTheTransportError) {
  load_definitions(service.fault_url() + "/quote?_fault=reset");
  set("A1", "=fsingle(\"BVM\",\"LMS.QUO.LAST\")");
  ASSERT_TRUE(settle());
  EXPECT_EQ(shown("A1"), "Recv failure: Connection reset by peer");
}

TEST_F(EndToEnd, AStalledAnswerTimesOutWithoutHangingTheLoop) {
  http::HttpSettings settings;
  settings.receive_timeout = 0.2;
  engine.manager().set_settings(settings);
  load_definitions(service.fault_url() + "/quote?_fault=stall");
  set("A1", "=fsingle(\"BVM\",\"LMS.QUO.LAST\")");
  ASSERT_TRUE(settle());
  EXPECT_NE(shown("A1").find("time"), std::string::npos) << shown("A1");
}

}  // namespace
}  // namespace quillo
