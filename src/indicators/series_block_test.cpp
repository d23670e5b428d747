// Where an indicator series goes: it clears the block it wrote before and
// nothing beyond it, finds that block in the workbook's record when an
// earlier session wrote it, and says so when the sheet's edge cuts it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "indicators/indicator_frame.h"
#include "spreadsheet/application.h"

namespace quillo::indicators {
namespace {

class SeriesBlockTest : public ::testing::Test {
 public:
  SeriesBlockTest()
      : calcs(app, CalcFlag{[this] { return calculating; },
                            [this](const std::function<void()>& fn) {
                              calculating = true;
                              fn();
                              calculating = false;
                            }}),
        frame(calcs) {
    app.add_in_methods().add(
        "i_sma", [this](host::AddInArgs a) { return frame.call(Kind::Sma, a.copied()); });
    app.add_in_methods().add("i_bollinger", [this](host::AddInArgs a) {
      return frame.call(Kind::Bollinger, a.copied());
    });
    auto lib = app.add_ins().add(std::string(QUILLO_TESTDATA_DIR) + "/../data/tarnvale.xla");
    EXPECT_TRUE(lib.ok() && (*lib)->set_installed(true).ok());
  }

  void use(const host::WorkbookPtr& b) {
    book = b;
    sheet = *book->active_sheet();
  }
  void put_table() {
    std::ifstream in(std::string(QUILLO_TESTDATA_DIR) + "/indicators/table.csv");
    std::string line;
    for (std::int32_t r = 1; std::getline(in, line); ++r) {
      std::stringstream fields(line);
      std::string f;
      for (std::int32_t c = 1; std::getline(fields, f, ','); ++c) {
        ASSERT_TRUE((*sheet->cell(r, c))->set_value(Value(f)).ok());
      }
    }
  }
  void set(const char* address, const std::string& formula) {
    ASSERT_TRUE((*sheet->range(address))->set_formula(formula).ok()) << formula;
  }
  std::string shown(const char* address) { return (*(*sheet->range(address))->value()).to_text(); }

  bool calculating = false;
  spreadsheet::Application app;
  CalcTable calcs;
  IndicatorFrame frame;
  host::WorkbookPtr book;
  host::WorksheetPtr sheet;
};

TEST_F(SeriesBlockTest, ASeriesClearsOnlyTheBlockItWroteBefore) {
  use(*app.workbooks().add());
  put_table();
  ASSERT_TRUE((*sheet->range("H30"))->set_value(Value(5.0)).ok());
  ASSERT_TRUE((*sheet->range("H40"))->set_value(Value("mine")).ok());
  set("H1", "=sma(A1:F21,5)");
  calcs.calc_pass();
  ASSERT_EQ(shown("H1"), "SMA,5");
  EXPECT_FALSE(shown("H21").empty());
  // A shorter table: the rows of the longer series below it are cleared.
  set("H1", "=sma(A1:F11,5)");
  calcs.calc_pass();
  EXPECT_FALSE(shown("H11").empty());
  EXPECT_EQ(shown("H12"), "");
  EXPECT_EQ(shown("H21"), "");
  // A whole-column range reaches to the sheet's last row; whatever it
  // answers, the user's cells below the series are left alone.
  set("H1", "=sma(A:F,5)");
  calcs.calc_pass();
  EXPECT_EQ(shown("H30"), "5");
  EXPECT_EQ(shown("H40"), "mine");
}

TEST_F(SeriesBlockTest, ASeriesAtTheSheetsEdgeSaysWhatIsLeftOut) {
  use(*app.workbooks().add());
  put_table();
  set("H1048570", "=sma(A1:F21,5)");
  calcs.calc_pass();
  // 20 data rows below row 1,048,570: six fit.
  EXPECT_EQ(shown("H1048570"), "Cut at the sheet's edge: 14 rows left out");
  EXPECT_FALSE(shown("H1048576").empty());
  // In the last column a two-line indicator's second line has no room.
  set("XFD1", "=bollinger(A1:F21,5,2)");
  calcs.calc_pass();
  EXPECT_EQ(shown("XFD1"), "Cut at the sheet's edge: 1 column left out");
  EXPECT_FALSE(shown("XFD21").empty());
}

// A series an earlier session wrote, as the workbook records it: a new
// record for the cell clears exactly that block.
TEST_F(SeriesBlockTest, AnEarlierSessionsSeriesIsClearedFromTheWorkbooksRecord) {
  use(*app.workbooks().add());
  put_table();
  for (std::int32_t r = 2; r <= 40; ++r) {
    ASSERT_TRUE((*sheet->cell(r, 8))->set_value(Value(1000.0 + r)).ok());
  }
  ASSERT_TRUE((*sheet->range("H41"))->set_value(Value("keep me")).ok());
  ASSERT_TRUE(host::record_block(*book, *sheet->name(), 1, 8, host::Block{2, 8, 39, 1}));
  set("H1", "=sma(A1:F11,5)");
  calcs.calc_pass();
  EXPECT_EQ(shown("H1"), "SMA,5");
  EXPECT_FALSE(shown("H11").empty());
  EXPECT_EQ(shown("H12"), "");
  EXPECT_EQ(shown("H40"), "");
  EXPECT_EQ(shown("H41"), "keep me");
}

// A host that records only the cells showing something starts a series'
// block below its first periods, which have no value: such a record is
// still the formula's, and the next session clears exactly that block.
TEST_F(SeriesBlockTest, ARecordStartingBelowTheFirstPeriodsIsClearedToo) {
  use(*app.workbooks().add());
  put_table();
  for (std::int32_t r = 6; r <= 21; ++r) {
    ASSERT_TRUE((*sheet->cell(r, 8))->set_value(Value(2000.0 + r)).ok());
  }
  ASSERT_TRUE((*sheet->range("H22"))->set_value(Value("keep me")).ok());
  ASSERT_TRUE(host::record_block(*book, *sheet->name(), 1, 8, host::Block{6, 8, 16, 1}));
  set("H1", "=sma(A1:F11,5)");
  calcs.calc_pass();
  EXPECT_EQ(shown("H1"), "SMA,5");
  EXPECT_FALSE(shown("H11").empty());
  EXPECT_EQ(shown("H12"), "");
  EXPECT_EQ(shown("H21"), "");
  EXPECT_EQ(shown("H22"), "keep me");
}

// A range drawn past its table's end is read up to its last filled row,
// so the indicator follows the table as it gets shorter, and clears the
// rows of its longer series.
TEST_F(SeriesBlockTest, EmptyRowsAtTheRangesEndAreLeftOut) {
  use(*app.workbooks().add());
  put_table();
  set("H1", "=sma(A1:F40,5)");
  calcs.calc_pass();
  ASSERT_EQ(shown("H1"), "SMA,5");
  EXPECT_FALSE(shown("H21").empty());
  EXPECT_EQ(shown("H22"), "");
  // The table loses its last ten rows (cleared, as a shorter history
  // answer leaves them).
  ASSERT_TRUE((*sheet->range("A12:F21"))->clear_contents().ok());
  calcs.calc_pass();
  EXPECT_EQ(shown("H1"), "SMA,5");
  EXPECT_FALSE(shown("H11").empty());
  EXPECT_EQ(shown("H12"), "");
  EXPECT_EQ(shown("H21"), "");
  // A gap inside the table is still no table.
  ASSERT_TRUE((*sheet->range("B8"))->clear_contents().ok());
  calcs.calc_pass();
  EXPECT_EQ(shown("H1"), "Calculation error");
  EXPECT_EQ(shown("H11"), "");
}

// Another formula's recorded block (a price table's column) blocks a
// series as a formula does; the series is not written.
TEST_F(SeriesBlockTest, AnotherFormulasBlockIsInTheWay) {
  use(*app.workbooks().add());
  put_table();
  set("H1", "=1+1");
  for (std::int32_t r = 2; r <= 21; ++r) {
    ASSERT_TRUE((*sheet->cell(r, 8))->set_value(Value(500.0 + r)).ok());
  }
  ASSERT_TRUE(host::record_block(*book, *sheet->name(), 1, 8, host::Block{2, 8, 20, 1}));
  set("H2", "=sma(A1:F21,5)");
  calcs.calc_pass();
  EXPECT_EQ(shown("H2"), "Blocked: H3 is in the block of the formula in H1");
  EXPECT_EQ(shown("H3"), "503");
  EXPECT_EQ(shown("H21"), "521");
}

// An indicator that fails or is blocked takes its old series away, so no
// stale values stay beside the table for others to read.
TEST_F(SeriesBlockTest, AFailedOrBlockedIndicatorClearsItsOldSeries) {
  use(*app.workbooks().add());
  put_table();
  set("H1", "=sma(A1:F21,5)");
  calcs.calc_pass();
  ASSERT_FALSE(shown("H21").empty());
  ASSERT_TRUE((*sheet->range("B9"))->set_value(Value("n/a")).ok());
  calcs.calc_pass();
  EXPECT_EQ(shown("H1"), "Calculation error");
  EXPECT_EQ(shown("H21"), "");
  EXPECT_EQ(shown("H9"), "");
  // Evaluated again while the add-in writes another series (a host that
  // recalculates every call then), it still says why it failed.
  calculating = true;
  set("H1", "=sma(A1:F21,5)");
  calculating = false;
  EXPECT_EQ(shown("H1"), "Calculation error");

  ASSERT_TRUE((*sheet->range("B9"))->set_value(Value(20.0)).ok());
  set("J1", "=sma(A1:F11,5)");
  calcs.calc_pass();
  ASSERT_FALSE(shown("J11").empty());
  set("J15", "=1+1");
  set("J1", "=sma(A1:F21,4)");
  calcs.calc_pass();
  EXPECT_EQ(shown("J1"), "Blocked: the formula in J15 is in the way");
  EXPECT_EQ(shown("J10"), "");
  EXPECT_EQ(shown("J11"), "");
  EXPECT_EQ(shown("J15"), "2");
}

// A series that would lie over the table its formula reads is never
// written: the table's prices stay as they are and the cell says why.
TEST_F(SeriesBlockTest, ASeriesOverItsOwnTableIsBlocked) {
  use(*app.workbooks().add());
  put_table();
  const std::string close = shown("B5");
  set("B1", "=sma(A2:F21,3)");
  for (int i = 0; i < 3; ++i) calcs.calc_pass();
  EXPECT_EQ(shown("B1"), "Blocked: the block would cover A2:F21, which the formula reads");
  EXPECT_EQ(shown("B5"), close);
  // Beside the table it is written as ever.
  set("H1", "=sma(A2:F21,3)");
  calcs.calc_pass();
  EXPECT_EQ(shown("H1"), "SMA,3");
  EXPECT_FALSE(shown("H10").empty());
}

}  // namespace
}  // namespace quillo::indicators
