// The indicator functions in a real sheet: formulas answer "Calculating...",
// the timer pass writes the series and the caption follows. The series of
// every indicator come from testdata/indicators/<name>.txt, checked by an
// independent computation from the definitions and by hand for the first
// elements.
#include "indicators/indicator_frame.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "spreadsheet/application.h"

namespace quillo::indicators {
namespace {

const std::map<std::string, Kind> kMethods{
    {"i_sma", Kind::Sma},
    {"i_wma", Kind::Wma},
    {"i_ema", Kind::Ema},
    {"i_rsi", Kind::Rsi},
    {"i_macd", Kind::Macd},
    {"i_sto_fast", Kind::StoFast},
    {"i_sto_slow", Kind::StoSlow},
    {"i_bollinger", Kind::Bollinger},
    {"i_pricechannel", Kind::Pricechannel},
    {"i_momentum", Kind::Momentum},
    {"i_roc", Kind::Roc},
    {"i_money_flow", Kind::MoneyFlow},
    {"i_osc", Kind::Osc},
    {"i_w_close", Kind::WClose},
    {"i_vol_ctc", Kind::VolCtc},
    {"i_beta", Kind::Beta},
};

class FrameTest : public ::testing::Test {
 public:
  FrameTest()
      : calcs(app, CalcFlag{[this] { return calculating; },
                            [this](const std::function<void()>& fn) {
                              calculating = true;
                              fn();
                              calculating = false;
                            }}),
        frame(calcs) {
    for (const auto& [name, kind] : kMethods) {
      app.add_in_methods().add(
          name, [this, k = kind](host::AddInArgs a) { return frame.call(k, a.copied()); });
    }
    auto lib = app.add_ins().add(std::string(QUILLO_TESTDATA_DIR) + "/../data/tarnvale.xla");
    EXPECT_TRUE(lib.ok() && (*lib)->set_installed(true).ok());
    book = *app.workbooks().add();
    sheet = *book->active_sheet();
  }

  void put_table(const std::string& csv_path, const char* at = "A1") {
    std::ifstream in(csv_path);
    std::string line;
    const auto origin = *sheet->range(at);
    std::int32_t r = 1;
    while (std::getline(in, line)) {
      std::stringstream fields(line);
      std::string f;
      for (std::int32_t c = 1; std::getline(fields, f, ','); ++c) {
        ASSERT_TRUE((*origin->cell(r, c))->set_value(Value(f)).ok());
      }
      ++r;
    }
  }
  void set(const char* address, const std::string& formula) {
    ASSERT_TRUE((*sheet->range(address))->set_formula(formula).ok()) << formula;
  }
  Value at(std::int32_t row, std::int32_t col) { return *(*sheet->cell(row, col))->value(); }
  std::string shown(const char* address) { return (*(*sheet->range(address))->value()).to_text(); }

  bool calculating = false;
  spreadsheet::Application app;
  CalcTable calcs;
  IndicatorFrame frame;
  host::WorkbookPtr book;
  host::WorksheetPtr sheet;
};

void expect_series(FrameTest& t, const std::vector<std::string>& expected, std::int32_t col,
                   const std::string& name) {
  for (std::size_t k = 0; k < expected.size(); ++k) {
    const Value v = t.at(static_cast<std::int32_t>(k) + 2, col);
    if (expected[k] == "-") {
      EXPECT_EQ(v.to_text(), "") << name << " element " << k + 1;
    } else {
      ASSERT_TRUE(v.is_number()) << name << " element " << k + 1 << ": " << v.to_text();
      const double want = std::stod(expected[k]);
      EXPECT_NEAR(v.number(), want, 1e-8 * std::max(1.0, std::abs(want)))
          << name << " element " << k + 1;
    }
  }
  // The element of the header row lies past the last data row: cleared.
  EXPECT_TRUE(t.at(static_cast<std::int32_t>(expected.size()) + 2, col).is_empty()) << name;
}

TEST_F(FrameTest, EveryIndicatorWritesItsSeriesAndCaption) {
  const std::filesystem::path dir = std::string(QUILLO_TESTDATA_DIR) + "/indicators";
  put_table((dir / "table.csv").string());
  int cases = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().extension() != ".txt") continue;
    ++cases;
    const std::string name = entry.path().stem().string();
    std::map<std::string, std::string> expected_case;
    std::ifstream in(entry.path());
    std::string line;
    while (std::getline(in, line)) {
      if (line.empty() || line[0] == '#') continue;
      const auto blank = line.find(' ');
      expected_case[line.substr(0, blank)] = line.substr(blank + 1);
    }
    auto words = [](const std::string& s) {
      std::vector<std::string> out;
      std::stringstream ss(s);
      for (std::string w; ss >> w;) out.push_back(w);
      return out;
    };
    // A fresh cell per case, so no record carries over.
    (void)(*sheet->range("H1:I40"))->clear_contents();
    set("H1", expected_case["formula"]);
    EXPECT_EQ(shown("H1"), "Calculating...") << name;
    calcs.calc_pass();
    EXPECT_EQ(shown("H1"), expected_case["caption"]) << name;
    expect_series(*this, words(expected_case["values"]), 8, name);
    if (expected_case.count("values2")) {
      EXPECT_EQ(shown("I1"), expected_case["caption2"]) << name;
      expect_series(*this, words(expected_case["values2"]), 9, name);
    }
    set("H1", "=1");  // leaves the record for the next case's formula
  }
  EXPECT_EQ(cases, 16);
}

TEST_F(FrameTest, TablesWithoutHeaderStartAtTheirFirstRow) {
  put_table(std::string(QUILLO_TESTDATA_DIR) + "/indicators/table.csv");
  set("H2", "=sma(A2:F21,5)");
  calcs.calc_pass();
  EXPECT_EQ(shown("H2"), "SMA,5");
  EXPECT_EQ(shown("H6"), "");
  EXPECT_NEAR(at(7, 8).number(), 19.936, 1e-12);  // rows 2-6 averaged
  EXPECT_TRUE(at(23, 8).is_empty());
}

TEST_F(FrameTest, CalcStates) {
  put_table(std::string(QUILLO_TESTDATA_DIR) + "/indicators/table.csv");
  set("H1", "=sma(A1:F21,5)");
  EXPECT_EQ(calcs.at(1).state, CalcState::Computed);
  // The table changes before the pass: the series waiting is computed
  // again, so the pass writes averages of what the table holds now.
  ASSERT_TRUE((*sheet->range("B6"))->set_value(Value(20.27 + 5)).ok());
  EXPECT_EQ(shown("H1"), "Calculating...");
  calcs.calc_pass();
  EXPECT_NEAR(at(6, 8).number(), 19.936 + 1, 1e-12);
  EXPECT_EQ(calcs.at(1).state, CalcState::Idle);  // written, then answered its caption
  // A recalculation while the add-in writes shows the caption, computes nothing.
  calculating = true;
  set("H1", "=sma(A1:F21,5)");
  EXPECT_EQ(shown("H1"), "SMA,5");
  EXPECT_EQ(calcs.at(1).state, CalcState::Idle);
  calculating = false;

  // A cell whose formula is replaced before its series is written is
  // abandoned: nothing is written and it is never written later.
  set("J1", "=ema(A1:F21,3)");
  set("J1", "12");
  calcs.calc_pass();
  EXPECT_EQ(calcs.at(2).state, CalcState::Abandoned);
  EXPECT_TRUE(at(4, 10).is_empty());
  calcs.calc_pass();
  EXPECT_TRUE(at(4, 10).is_empty());
  // A new indicator formula in that cell computes afresh, and so does one
  // whose arguments were edited while its series waited.
  set("J1", "=ema(A1:F21,4)");
  set("J1", "=ema(A1:F21,2)");
  calcs.calc_pass();
  EXPECT_EQ(shown("J1"), "EMA,2");
  EXPECT_TRUE(at(3, 10).is_number());  // p = 2: from the second element on
}

TEST_F(FrameTest, BadArgumentsAnswerInTheCellAndWriteNothing) {
  put_table(std::string(QUILLO_TESTDATA_DIR) + "/indicators/table.csv");
  set("H1", "=sma(A1:A21,5)");
  EXPECT_EQ(shown("H1"), "not enough hst_table columns");
  set("H1", "=sto_fast(A1:E21,5,3)");
  EXPECT_EQ(shown("H1"), "not enough hst_table columns");
  set("H1", "=sma(A1:F21,\"five\")");
  EXPECT_EQ(shown("H1"), "");
  set("H1", "=sma(A1:F21,0)");
  EXPECT_EQ(shown("H1"), "period parameter is invalid");
  set("H1", "=rsi(A1:F21,-3)");
  EXPECT_EQ(shown("H1"), "period parameter is invalid");
  set("H1", "=macd(A1:F21,26,12,9)");
  EXPECT_EQ(shown("H1"), "long_periods must be greater than short_periods");
  set("H1", "=osc(A1:F21,5,5)");
  EXPECT_EQ(shown("H1"), "long_periods must be greater than short_periods");
  set("H1", "=beta(A1:F21,A1:F20,5)");
  EXPECT_EQ(shown("H1"), "hst_table_stock and hst_table_index should have same number of rows");
  EXPECT_EQ(calcs.size(), 0u);   // none of these registered
  set("H1", "=sma(A1:F21,50)");  // longer than the table: every element empty
  calcs.calc_pass();
  EXPECT_EQ(shown("H1"), "SMA,50");
  EXPECT_EQ(at(21, 8).to_text(), "");

  // A series waiting for the pass whose table then breaks is not written.
  set("M1", "=sma(A1:F21,3)");
  EXPECT_EQ(shown("M1"), "Calculating...");
  ASSERT_TRUE((*sheet->range("B9"))->set_value(Value("n/a")).ok());
  EXPECT_EQ(shown("M1"), "Calculation error");
  calcs.calc_pass();
  EXPECT_TRUE(at(4, 13).is_empty());

  ASSERT_TRUE((*sheet->range("B12"))->clear_contents().ok());
  set("K5", "=sma(A1:F21,3)");
  EXPECT_EQ(shown("K5"), "Calculation error");
  calcs.calc_pass();
  EXPECT_EQ(shown("K5"), "Calculation error");
  EXPECT_TRUE(at(6, 11).is_empty());
  for (std::int32_t r = 1; r < 5; ++r) EXPECT_TRUE(at(r, 11).is_empty());  // nothing above
}

TEST_F(FrameTest, ATableTheSheetCannotHandOverIsACalculationErrorAndWritesNothing) {
  // Whole columns are more cells than a range hands over: the reader
  // answers one error value, which is no table. The cells below the formula
  // (the user's) stay as they are.
  put_table(std::string(QUILLO_TESTDATA_DIR) + "/indicators/table.csv");
  ASSERT_TRUE((*sheet->range("H50"))->set_value(Value("mine")).ok());
  ASSERT_TRUE((*sheet->range("I50"))->set_value(Value(7.0)).ok());
  for (const char* formula : {"=sma(A:F,5)", "=sma(A:D,5)", "=bollinger(A:F,5,2)"}) {
    set("H1", formula);
    EXPECT_EQ(shown("H1"), "Calculation error") << formula;
    calcs.calc_pass();
    EXPECT_EQ(shown("H1"), "Calculation error") << formula;
    EXPECT_EQ(shown("H50"), "mine") << formula;
    EXPECT_EQ(at(50, 9).to_text(), "7") << formula;
    EXPECT_TRUE(at(2, 8).is_empty()) << formula;
  }
}

TEST_F(FrameTest, AnIndicatorOverAnotherIndicatorsSeriesIsWrittenInTheSamePass) {
  put_table(std::string(QUILLO_TESTDATA_DIR) + "/indicators/table.csv");
  // The 5-period average fills H6:H21; a 2-period average of it (column 2
  // of G6:H21) goes in K5. Entered first, its record comes before the
  // series it reads.
  set("K5", "=sma(G6:H21,2)");
  set("H1", "=sma(A1:F21,5)");
  auto expect_chain = [&](const std::string& when) {
    EXPECT_EQ(shown("H1"), "SMA,5") << when;
    EXPECT_EQ(shown("K5"), "SMA,2") << when;
    EXPECT_EQ(shown("K6"), "") << when;
    for (std::int32_t row = 7; row <= 21; ++row) {
      ASSERT_TRUE(at(row, 8).is_number() && at(row, 11).is_number()) << when << " row " << row;
      EXPECT_NEAR(at(row, 11).number(), (at(row - 1, 8).number() + at(row, 8).number()) / 2, 1e-12)
          << when << " row " << row;
    }
  };
  calcs.calc_pass();
  expect_chain("first pass");
  EXPECT_EQ(calcs.computed_count(), 0u);

  // A price changes while the chained average waits with a series computed
  // from the old averages: the pass writes it from the new ones.
  set("K5", "=sma(G6:H21,2)");
  ASSERT_TRUE((*sheet->range("B10"))->set_value(Value(35.5)).ok());
  EXPECT_EQ(calcs.computed_count(), 2u);
  calcs.calc_pass();
  expect_chain("after an edit");

  // An average written over its own table, and one reading it, end the
  // pass all the same.
  for (std::int32_t row = 2; row <= 21; ++row) {
    ASSERT_TRUE((*sheet->cell(row, 14))->set_value(Value(double(row))).ok());
  }
  set("M1", "=sma(M2:N21,2)");
  set("N1", "=sma(M2:N21,2)");
  calcs.calc_pass();
  EXPECT_EQ(calcs.computed_count(), 0u);
}

}  // namespace
}  // namespace quillo::indicators
