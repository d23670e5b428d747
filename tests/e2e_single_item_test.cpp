// End to end: the spreadsheet, the request spine, the real libcurl
// transport and the local market-data service on 127.0.0.1.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "common/text.h"
#include "demo/market_data.h"
#include "host/event_loop.h"
#include "host/posix/poll_loop.h"
#include "http/curl_transport.h"
#include "market_service.h"
#include "requests/engine.h"
#include "spreadsheet/application.h"
#include "xlsx/workbook_files.h"

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
    spreadsheet::use_xlsx_files(app);
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

// The service's JSON and CSV answers, read by the categories of data/ds.xml
// that name values by pointer and by column, give the figures of its pages.
TEST_F(EndToEnd, JsonAndCsvSourcesFillTheFiguresOfTheQuotePage) {
  load_definitions();
  const char* const kFields[] = {"LAST", "CHANGEPCT", "VOLUME", "MARKETCAP", "NAME"};
  const char* const kRows[] = {"QUO", "QJS", "QCS"};
  for (std::size_t r = 0; r < 3; ++r) {
    for (std::size_t c = 0; c < 5; ++c) {
      const std::string address =
          std::string(1, static_cast<char>('A' + c)) + std::to_string(r + 1);
      set(address.c_str(), std::string("=fsingle(\"BVM\",\"LMS.") + kRows[r] + "." + kFields[c] +
                               "\",{\"units\";\"Billions\"})");
    }
  }
  set("A4", "=fsingle(\"BVM\",\"LMS.KJS.REVENUE\",{\"year\";\"Previous\"})");
  set("B4", "=fsingle(\"BVM\",\"LMS.KCS.REVENUE\",{\"year\";\"Previous\"})");
  set("C4", "=fsingle(\"BVM\",\"LMS.KEY.REVENUE\",{\"year\";\"Previous\"})");
  set("A5", "=fsingle(\"NOSUCH\",\"LMS.QJS.LAST\")");
  set("B5", "=fsingle(\"NOSUCH\",\"LMS.QCS.LAST\")");
  ASSERT_TRUE(settle());
  for (const char* column : {"A", "B", "C", "D", "E"}) {
    const std::string page = shown((std::string(column) + "1").c_str());
    EXPECT_NE(page, "#N/A");
    EXPECT_EQ(shown((std::string(column) + "2").c_str()), page) << column << " (JSON)";
    EXPECT_EQ(shown((std::string(column) + "3").c_str()), page) << column << " (CSV)";
  }
  // Key figures read across the years: JSON in units scaled to millions,
  // CSV as written (units of the currency), the page in millions.
  EXPECT_EQ(shown("A4"), shown("C4"));
  EXPECT_EQ(shown("B4"), text::format_number(std::stod(shown("C4")) * 1e6));
  EXPECT_EQ(shown("A5"), "Invalid instrument id");
  EXPECT_EQ(shown("B5"), "Invalid instrument id");
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

// Definitions for the Latin-1 site of the service: decimal commas for the
// whole source, figures with the typographic minus sign.
constexpr const char* kIntlDefinitions = R"(<definitions>
  <datasource code="INT" name="Latin-1 site" decimal=",">
    <max_requests_allowed>2</max_requests_allowed>
    <category code="QUO" name="Quote">
      <url>http://127.0.0.1:{port}/intl/quote</url><updatefrq>1</updatefrq>
      <invalidrequest>No such symbol</invalidrequest>
      <parameter name="instrument id" urlkey="s" defaultvalue=""/>
      <field id="1" name="NAME" type="single"><ref1/><ref2>&lt;h1&gt;</ref2><ref3>&lt;/h1&gt;</ref3></field>
      <field id="2" name="SYMBOL" type="single"><ref1>Symbol:</ref1><ref2>&lt;b&gt;</ref2><ref3>&lt;/b&gt;</ref3></field>
      <field id="3" name="LAST" type="single" figureconvert="1"><ref1>Last:</ref1><ref2>&lt;b&gt;</ref2><ref3>&lt;/b&gt;</ref3></field>
      <field id="4" name="CHANGE" type="single" figureconvert="1"><ref1>Change:</ref1><ref2>&lt;i&gt;</ref2><ref3>&lt;/i&gt;</ref3></field>
      <field id="5" name="CHANGEPCT" type="single" figureconvert="1"><ref1>(</ref1><ref2>&lt;i&gt;</ref2><ref3>&lt;/i&gt;</ref3></field>
    </category>
  </datasource>
</definitions>)";

TEST_F(EndToEnd, ALatin1PageWithDecimalCommasAndMinusSignsGivesTheRightValues) {
  std::string xml = kIntlDefinitions;
  text::replace_all(xml, "{port}", std::to_string(service.port()));
  ASSERT_TRUE(engine.load_definitions(xml)) << engine.definitions().error();
  set("A1", "=fsingle(\"CBH\",\"INT.QUO.NAME\")");
  set("A2", "=fsingle(\"CBH\",\"INT.QUO.LAST\")");
  set("A3", "=fsingle(\"CBH\",\"INT.QUO.CHANGE\")");
  set("A4", "=fsingle(\"CBH\",\"INT.QUO.CHANGEPCT\")");
  // Ids that hold characters with a meaning in addresses arrive whole.
  set("B1", "=fsingle(\"R&D#1\",\"INT.QUO.SYMBOL\")");
  set("B2", "=fsingle(\"BRK B\",\"INT.QUO.SYMBOL\")");
  set("B3", "=fsingle(\"A&s=ZZ\",\"INT.QUO.SYMBOL\")");
  ASSERT_TRUE(settle());
  EXPECT_EQ(shown("A1"),
            "Cr\xC3\xA8me Br\xC3\xBBl\xC3\xA9"
            "e Holdings");
  EXPECT_EQ(shown("A2"), "1234.5");
  EXPECT_EQ(shown("A3"), "-2.5");
  EXPECT_EQ(shown("A4"), "-0.002");
  EXPECT_EQ(shown("B1"), "R&D#1");
  EXPECT_EQ(shown("B2"), "BRK B");
  EXPECT_EQ(shown("B3"), "A&s=ZZ");

  // The values go into a saved workbook and come back as they were. Set
  // QUILLO_KEEP_WORKBOOK to a path to keep it for other readers.
  const char* keep = std::getenv("QUILLO_KEEP_WORKBOOK");
  const std::string path =
      keep != nullptr ? keep : ::testing::TempDir() + "/quillo-e2e-latin1.xlsx";
  const Status saved = sheet->workbook().value()->save_as(path);
  ASSERT_TRUE(saved.ok()) << saved.message();
  spreadsheet::Application reader;
  spreadsheet::use_xlsx_files(reader);
  const auto reopened = reader.workbooks().open(path);
  ASSERT_TRUE(reopened.ok());
  const auto first = (*reopened)->worksheet(1);
  ASSERT_TRUE(first.ok());
  EXPECT_EQ((*(*(*first)->range("A1"))->value()).to_text(), shown("A1"));
  EXPECT_EQ((*(*(*first)->range("B1"))->value()).to_text(), "R&D#1");
  if (keep == nullptr) std::remove(path.c_str());
}

TEST_F(EndToEnd, AResetWhileAnswersAreInFlightNeverShowsAnotherInstrumentsValue) {
  // Every quote takes 300 ms, so the reset comes while the first is on its way.
  load_definitions("http://127.0.0.1:{port}/quote?_delay=300");
  set("A1", "=fsingle(\"BVM\",\"LMS.QUO.LAST\")");
  loop.run_until([] { return false; }, 50);
  set("A1", "=1");
  engine.registry().requests_reset();
  const service::Instrument& other = service::instruments()[5];
  set("A1", "=fsingle(\"" + other.symbol + "\",\"LMS.QUO.NAME\")");  // request number 1 again
  ASSERT_TRUE(settle());
  EXPECT_EQ(shown("A1"), other.name);
}

}  // namespace
}  // namespace quillo
