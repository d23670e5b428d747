// The price-history function through the whole spine: formulas ask, the
// scripted service answers, tables appear below the formulas, indicators
// over them follow.
#include "requests/fhistory.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "host/event_loop.h"
#include "http/scripted_transport.h"
#include "requests/engine.h"
#include "spreadsheet/application.h"

namespace quillo {
namespace {

std::string csv(int lines) {
  std::string s = "Date,Open,High,Low,Close,Volume,Adj Close\n";
  for (int i = lines; i >= 1; --i) {  // newest first
    s += "2010-02-" + std::string(i < 10 ? "0" : "") + std::to_string(i) + ",1,2,0.5," +
         std::to_string(10 + i) + ",100,1\n";
  }
  return s;
}

class HistoryFunctionTest : public ::testing::Test {
 protected:
  HistoryFunctionTest() : transport(loop), engine(app, loop, transport) {
    EXPECT_TRUE(engine.install_library(std::string(QUILLO_DATA_DIR) + "/tarnvale.xla").ok());
    engine.set_history_service("http://127.0.0.1:9");
    engine.start_pass(1000);
    book = *app.workbooks().add();
    sheet = *book->active_sheet();
    transport.set_default(http::ScriptedTransport::complete(200, csv(5), 20));
  }
  void set(const char* address, const std::string& formula) {
    ASSERT_TRUE((*sheet->range(address))->set_formula(formula).ok()) << formula;
  }
  std::string shown(const char* address) { return (*(*sheet->range(address))->value()).to_text(); }
  void run(int seconds = 3) { loop.advance(1000 * seconds); }
  std::string sent(std::size_t i) {
    const std::string url = transport.requests().at(i).url;
    return url.substr(0, url.find("&rand="));
  }

  host::VirtualLoop loop;
  http::ScriptedTransport transport;
  spreadsheet::Application app;
  Engine engine;
  host::WorkbookPtr book;
  host::WorksheetPtr sheet;
};

TEST(HistoryUrlTest, KeysFromTheOrderedDates) {
  // 2 January 2010 is serial 40180.
  EXPECT_EQ(history_url("http://h", "IBM", 40180, 40210, "W"),
            "http://h/table.csv?s=IBM&a=0&b=2&c=2010&d=1&e=1&f=2010&g=w&ignore=.csv");
  EXPECT_EQ(history_url("http://h", "A&B C", 40180, 40180, "d").substr(0, 30),
            "http://h/table.csv?s=A%26B%20C");
}

TEST_F(HistoryFunctionTest, ATableBelowTheFormulaAndNothingSentAgainWhenUnchanged) {
  set("B2", "=fhistory(\"big\",\"Yahoo\",\"DATE,CLOSE\",DATE(2010,2,5),DATE(2010,2,1),\"\")");
  EXPECT_EQ(shown("B2"), "Updating...");
  ASSERT_EQ(transport.requests().size(), 1u);
  // Swapped dates ask for the ordered period; an empty sampling is daily.
  EXPECT_EQ(sent(0),
            "http://127.0.0.1:9/table.csv?s=BIG&a=1&b=1&c=2010&d=1&e=5&f=2010&g=d&ignore=.csv");
  run();
  EXPECT_EQ(shown("B2"), "Data loaded.");
  EXPECT_EQ(shown("B3"), "Date");
  EXPECT_EQ(shown("C4"), "15");
  EXPECT_EQ(shown("C8"), "11");
  ASSERT_TRUE(app.calculate().ok());
  set("B2", *(*sheet->range("B2"))->formula());
  EXPECT_EQ(shown("B2"), "Data loaded.");
  EXPECT_EQ(transport.requests().size(), 1u);

  // Changing the fields sends the same address again and redraws.
  transport.set_default(http::ScriptedTransport::complete(200, csv(2), 20));
  set("B2", "=fhistory(\"big\",\"Yahoo\",\"CLOSE\",DATE(2010,2,5),DATE(2010,2,1),\"\")");
  EXPECT_EQ(shown("B2"), "Updating...");
  ASSERT_EQ(transport.requests().size(), 2u);
  EXPECT_EQ(sent(1), sent(0));
  run();
  EXPECT_EQ(shown("B2"), "Data loaded.");
  EXPECT_EQ(shown("B4"), "12");
  EXPECT_EQ(shown("B6"), "");  // the longer table before left nothing behind
  EXPECT_EQ(shown("C4"), "");
}

TEST_F(HistoryFunctionTest, TwoCellsShareARequestAndAnIndicatorFollowsTheTable) {
  set("A1",
      "=fhistory(\"BIG\",\"y\",\"DATE,CLOSE,VOLUME\",\"2010-02-01\",\"2010-02-05\",\"d\","
      "{\"SORT\",\"ASC\"})");
  set("H1",
      "=fhistory(\"BIG\",\"Y\",\"CLOSE\",\"2010-02-01\",\"2010-02-05\",\"D\","
      "{\"TRANSPOSE\",\"YES\"})");
  set("E1", "=sma(A2:C7,2)");
  EXPECT_EQ(transport.requests().size(), 1u);
  run(4);
  EXPECT_EQ(shown("A1"), "Data loaded.");
  EXPECT_EQ(shown("H1"), "Data loaded.");
  EXPECT_EQ(shown("I1"), "Close");
  EXPECT_EQ(shown("J1"), "15");
  EXPECT_EQ(shown("B3"), "11");  // oldest first
  EXPECT_EQ(shown("E1"), "SMA,2");
  EXPECT_EQ(shown("E3"), "11.5");  // element 2 sits beside the second period
}

TEST_F(HistoryFunctionTest, FailuresShowInTheFormulaCell) {
  transport.set_default(http::ScriptedTransport::complete(
      200, "<html><title>Symbol Lookup from the service</title></html>", 20));
  set("A1", "=fhistory(\"NOPE\",\"Yahoo\",\"ALL\",40180,40200)");
  run();
  EXPECT_EQ(shown("A1"), "Invalid instrument id");
  EXPECT_EQ(shown("A2"), "");
  // A second cell for the same unknown instrument does not wait for ever.
  set("C1", "=fhistory(\"NOPE\",\"Yahoo\",\"ALL\",40180,40200)");
  EXPECT_EQ(shown("C1"), "Invalid instrument id");

  transport.set_default(http::ScriptedTransport::complete(503, "busy", 20));
  set("E1", "=fhistory(\"BIG\",\"Yahoo\",\"ALL\",40180,40200)");
  run();
  EXPECT_EQ(shown("E1"), "Connection error. Code: 503 - General error.");
  EXPECT_EQ(shown("E2"), "");

  set("G1", "=fhistory(\"BIG\",\"Google\",\"ALL\",40180,40200)");
  EXPECT_EQ(shown("G1"), "Error 1 - Invalid source.");
  set("G1", "=fhistory(\"\",\"Yahoo\",\"ALL\",40180,40200)");
  EXPECT_EQ(shown("G1"), "");
  set("G1", "=fhistory(\"BIG\",\"Yahoo\",\"ALL\",-5,40200)");
  EXPECT_TRUE((*(*sheet->range("G1"))->value()).to_number() == 0.0);  // Empty, before 1900
  set("G1", "=fhistory(\"BIG\",\"Yahoo\",\"ALL\",\"soon\",40200)");
  EXPECT_EQ(shown("G1"), "start_date and end_date must be dates");
  engine.set_history_service("");
  set("G1", "=fhistory(\"BIG\",\"Yahoo\",\"ALL\",40180,40300)");
  EXPECT_EQ(shown("G1"), std::string(kNoHistoryService));
  EXPECT_EQ(engine.areas().size(), 3u);  // none of the refused formulas registered
}

// The answers of testdata/blocks/not_a_table, each after a good table: the
// request fails with a text saying what came, the table stays as it was.
TEST_F(HistoryFunctionTest, AnAnswerThatIsNoPriceTableFailsAndKeepsTheTable) {
  set("A1", "=fhistory(\"BIG\",\"Yahoo\",\"DATE,CLOSE\",40180,40200)");
  run();
  ASSERT_EQ(shown("A1"), "Data loaded.");
  const std::filesystem::path dir = std::string(QUILLO_TESTDATA_DIR) + "/blocks/not_a_table";
  int round = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    transport.set_default(http::ScriptedTransport::complete(200, body, 20));
    // Other options send the same address again.
    set("A1", "=fhistory(\"BIG\",\"Yahoo\",\"DATE,CLOSE\",40180,40200,\"d\",{\"X\"," +
                  std::to_string(++round) + "})");
    run();
    EXPECT_EQ(shown("A1").rfind("Not a price table: ", 0), 0u) << entry.path() << shown("A1");
    EXPECT_EQ(shown("A2"), "Date") << entry.path();
    EXPECT_EQ(shown("B3"), "15") << entry.path();
    EXPECT_EQ(shown("B7"), "11") << entry.path();
  }
  EXPECT_EQ(round, 7);
  transport.set_default(http::ScriptedTransport::complete(200, csv(2), 20));
  set("A1", "=fhistory(\"BIG\",\"Yahoo\",\"DATE,CLOSE\",40180,40200,\"d\")");
  run();
  EXPECT_EQ(shown("A1"), "Data loaded.");
  EXPECT_EQ(shown("B7"), "");
}

TEST_F(HistoryFunctionTest, ATableOrSeriesInTheWayOfAFormulaIsNotWritten) {
  // Another history formula below this one's table: neither table is
  // written over the other's formula, and each formula names the cell.
  set("A1", "=fhistory(\"BIG\",\"Yahoo\",\"DATE,CLOSE\",40180,40200)");
  set("A5", "=fhistory(\"BIG\",\"Yahoo\",\"DATE,CLOSE\",40180,40201)");
  set("E5", "=sma(A6:B11,2)");
  set("E8", "=1+1");
  run(4);
  EXPECT_EQ(shown("A1"), "Blocked: the formula in A5 is in the way");
  EXPECT_EQ(shown("A2"), "");
  EXPECT_EQ(shown("A5"), "Data loaded.");
  EXPECT_EQ(shown("B6"), "Close");
  EXPECT_EQ(shown("E5"), "Blocked: the formula in E8 is in the way");
  EXPECT_EQ(shown("E7"), "");
  EXPECT_EQ(shown("E8"), "2");
}

}  // namespace
}  // namespace quillo
