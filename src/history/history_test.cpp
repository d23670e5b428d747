// The history answer written into a real sheet. The layouts come from
// testdata/history/<case>/: answer.csv (the service's answer), case.txt
// (fields, options, the recorded block size) and expected.csv (what the
// sheet shows from the formula cell, marked F, to the right and down).
#include "history/cls_history_yahoo.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "history/history_csv.h"
#include "host/output_blocks.h"
#include "spreadsheet/application.h"

namespace quillo::history {
namespace {

std::string slurp(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

class HistoryTest : public ::testing::Test {
 protected:
  HistoryTest()
      : yahoo(app, areas, [this](const std::function<void()>& fn) {
          calculating = true;
          fn();
          calculating = false;
        }) {
    book = *app.workbooks().add();
    sheet = *book->active_sheet();
  }

  // An area for the formula cell at (row, col) waiting on request reqno.
  Area& area(std::int32_t row, std::int32_t col, const std::string& fields,
             std::vector<Value> options = {}, std::int32_t reqno = 1) {
    const std::string key = "k" + std::to_string(row) + "_" + std::to_string(col);
    Area& a = areas.at(areas.area_find_or_add(key));
    a.workbook = *book->name();
    a.sheet = *sheet->name();
    a.row = row;
    a.col = col;
    a.reqno = reqno;
    a.pending = true;
    a.fields = fields;
    a.options = {Value()};
    a.options.insert(a.options.end(), options.begin(), options.end());
    (void)(*sheet->cell(row, col))->set_value(Value("F"));
    return a;
  }
  std::string shown(std::int32_t row, std::int32_t col) {
    return (*(*sheet->cell(row, col))->value()).to_text();
  }
  std::string answer(int lines, double first_close = 10) {
    std::string csv = "Date,Open,High,Low,Close,Volume,Adj Close\n";
    for (int i = 0; i < lines; ++i) {
      csv += "2010-01-" + std::string(i < 9 ? "0" : "") + std::to_string(i + 1) + ",1,2,0.5," +
             std::to_string(first_close + i) + ",100,1\n";
    }
    return csv;
  }

  bool calculating = false;
  spreadsheet::Application app;
  AreaTable areas;
  cls_history_yahoo yahoo;
  host::WorkbookPtr book;
  host::WorksheetPtr sheet;
};

TEST_F(HistoryTest, GoldenLayouts) {
  const std::filesystem::path dir = std::string(QUILLO_TESTDATA_DIR) + "/history";
  int cases = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    ++cases;
    const std::string name = entry.path().filename().string();
    std::string fields;
    std::vector<Value> options;
    std::int32_t out_rows = -1, out_cols = -1;
    std::istringstream settings(slurp(entry.path() / "case.txt"));
    for (std::string line; std::getline(settings, line);) {
      if (line.rfind("fields ", 0) == 0) fields = line.substr(7);
      std::istringstream words(line);
      std::string word;
      words >> word;
      if (word == "options") {
        while (words >> word) options.emplace_back(word);
      }
      if (word == "out") words >> out_rows >> out_cols;
    }
    (void)(*sheet->range("A1:Z30"))->clear_contents();
    areas.reset();
    Area& a = area(2, 2, fields, options);
    std::string csv = slurp(entry.path() / "answer.csv");
    yahoo.fieldparse(csv, 1);
    EXPECT_FALSE(areas.at(1).pending) << name;
    EXPECT_EQ(a.out_rows, out_rows) << name;
    EXPECT_EQ(a.out_cols, out_cols) << name;
    std::istringstream expected(slurp(entry.path() / "expected.csv"));
    std::int32_t row = 2;
    for (std::string line; std::getline(expected, line); ++row) {
      std::istringstream cells(line + ",");
      std::int32_t col = 2;
      for (std::string cell; std::getline(cells, cell, ','); ++col) {
        EXPECT_EQ(shown(row, col), cell) << name << " row " << row << " col " << col;
      }
    }
    EXPECT_EQ(shown(1, 2), "") << name;  // nothing above the formula
    EXPECT_EQ(shown(2, 1), "") << name;  // nor left of it
  }
  EXPECT_EQ(cases, 10);
}

TEST_F(HistoryTest, DatesAndNumbersAreWrittenAsTyped) {
  area(1, 1, "DATE,CLOSE,VOLUME");
  std::string csv = answer(1);
  yahoo.fieldparse(csv, 1);
  EXPECT_EQ((*(*sheet->cell(3, 1))->value()).type(), ValueType::Date);
  EXPECT_TRUE((*(*sheet->cell(3, 2))->value()).is_number());
  EXPECT_EQ((*(*sheet->cell(2, 2))->value()).type(), ValueType::Text);
}

TEST_F(HistoryTest, AShrinkingTableLeavesNoStaleRows) {
  Area& a = area(1, 1, "ALL", {Value("SORT"), Value("ASC"), Value("HEADER"), Value("NO")});
  std::string csv = answer(250);
  yahoo.fieldparse(csv, 1);
  EXPECT_EQ(a.out_rows, 250);
  EXPECT_EQ(shown(2, 5), "259");  // oldest first: the last line comes first
  EXPECT_EQ(shown(251, 5), "10");
  // Another program saved the book and wrote a number back with its last
  // digits rounded: the table is still the one written.
  ASSERT_TRUE((*sheet->cell(2, 5))->set_value(Value(259.000000000001)).ok());
  csv = answer(200, 20);
  yahoo.fieldparse(csv, 1);
  EXPECT_EQ(a.out_rows, 200);
  EXPECT_EQ(shown(201, 5), "20");
  EXPECT_EQ(shown(2, 5), "219");
  EXPECT_EQ(shown(202, 5), "");
  EXPECT_EQ(shown(251, 7), "");
  EXPECT_EQ(shown(1, 1), "F");
}

TEST_F(HistoryTest, TwoAreasOfOneRequestEachGetTheirTable) {
  area(1, 1, "DATE,CLOSE");
  area(1, 10, "CLOSE", {Value("TRANSPOSE"), Value("YES")});
  area(20, 1, "ALL", {}, 2);
  std::string csv = answer(3);
  yahoo.fieldparse(csv, 1);
  EXPECT_EQ(shown(3, 2), "10");
  EXPECT_EQ(shown(1, 12), "10");
  EXPECT_EQ(areas.at(1).out_cols, 2);
  EXPECT_EQ(areas.at(2).out_cols, 4);
  EXPECT_TRUE(areas.at(3).pending);  // another request's area is not touched
  EXPECT_EQ(shown(21, 1), "");
  yahoo.clear_areas(2);
  EXPECT_FALSE(areas.at(3).pending);
}

TEST_F(HistoryTest, WritingRestoresCalculationAndFlags) {
  area(1, 1, "ALL");
  ASSERT_TRUE(app.set_calculation(host::Calculation::Automatic).ok());
  std::string csv = answer(2) + "partial";
  yahoo.fieldparse(csv, 1);
  EXPECT_EQ(app.calculation(), host::Calculation::Automatic);
  EXPECT_FALSE(calculating);
  EXPECT_FALSE(yahoo.get_progress());
  EXPECT_EQ(csv, "partial");  // the response is consumed up to its last line feed
  // An area whose sheet is gone is skipped; the others are served.
  area(1, 3, "ALL").sheet = "Nowhere";
  csv = answer(2);
  yahoo.fieldparse(csv, 1);
  EXPECT_FALSE(areas.at(2).pending);
}

TEST_F(HistoryTest, BlocksBelowTheLastRowsAreClipped) {
  // A table far down the sheet (rows are not 16-bit numbers) is written up
  // to the sheet's last row, without failing.
  Area& a = area(1048570, 1, "DATE,CLOSE");
  std::string csv = answer(20);
  yahoo.fieldparse(csv, 1);
  EXPECT_EQ(shown(1048576, 2), "14");
  EXPECT_EQ(a.out_rows, 21);
  EXPECT_EQ(a.problem, "Cut at the sheet's edge: 15 rows left out");
  csv = answer(2);
  yahoo.fieldparse(csv, 1);  // clearing the old block is clipped as well
  EXPECT_EQ(shown(1048576, 2), "");
  EXPECT_EQ(shown(1048572, 2), "10");
  EXPECT_EQ(a.problem, "");
  // A transposed table near the last column: the columns left out are named.
  Area& right = area(1, 16380, "DATE,CLOSE", {Value("TRANSPOSE"), Value("YES")}, 2);
  csv = answer(20);
  yahoo.fieldparse(csv, 2);
  EXPECT_EQ(shown(2, 16384), "12");
  EXPECT_EQ(right.problem, "Cut at the sheet's edge: 17 columns left out");
}

TEST_F(HistoryTest, ATableNeverOverwritesAFormula) {
  Area& a = area(1, 1, "ALL");
  ASSERT_TRUE((*sheet->range("C4"))->set_formula("=1+1").ok());
  ASSERT_TRUE((*sheet->range("E3"))->set_formula("=fhistory(\"X\",\"Y\",\"ALL\",1,2)").ok());
  std::string csv = answer(5);
  yahoo.fieldparse(csv, 1);
  // Nothing is written; the first formula in the way, row by row, is named.
  EXPECT_EQ(a.problem, "Blocked: the formula in E3 is in the way");
  EXPECT_FALSE(a.pending);
  EXPECT_EQ(shown(2, 1), "");
  EXPECT_EQ(*(*sheet->range("C4"))->formula(), "=1+1");
  // A text that merely holds "=" is no formula: it is written over.
  ASSERT_TRUE((*sheet->range("E3"))->set_value(Value("'=x")).ok());
  ASSERT_TRUE((*sheet->range("C4"))->clear_contents().ok());
  csv = answer(5);
  yahoo.fieldparse(csv, 1);
  EXPECT_EQ(a.problem, "");
  EXPECT_EQ(shown(3, 5), "10");
  // A formula typed later into the block makes the block the user's: a
  // shorter table clears none of it.
  ASSERT_TRUE((*sheet->range("B7"))->set_formula("=2+2").ok());
  csv = answer(1);
  yahoo.fieldparse(csv, 1);
  EXPECT_EQ(*(*sheet->range("B7"))->formula(), "=2+2");
  EXPECT_EQ(shown(7, 1), "40183");
  EXPECT_EQ(shown(7, 3), "2");
  EXPECT_EQ(shown(3, 5), "10");
}

// A table that would cover what its formula reads (here its options range
// below it) is not written; the options stay as the user typed them.
TEST_F(HistoryTest, ATableNeverCoversWhatItsFormulaReads) {
  Area& a = area(1, 1, "ALL");
  ASSERT_TRUE((*sheet->range("B4"))->set_value(Value("SORT")).ok());
  a.inputs = {host::Block{4, 2, 1, 2}};
  std::string csv = answer(5);
  yahoo.fieldparse(csv, 1);
  EXPECT_EQ(a.problem, "Blocked: the block would cover B4:C4, which the formula reads");
  EXPECT_EQ(shown(4, 2), "SORT");
  EXPECT_EQ(shown(2, 1), "");
}

// A table an earlier session wrote, as the workbook records it: a session
// that never wrote it (a new area) clears exactly that block.
TEST_F(HistoryTest, AnEarlierSessionsTableIsClearedFromTheWorkbooksRecord) {
  for (std::int32_t r = 2; r <= 12; ++r) {
    ASSERT_TRUE((*sheet->cell(r, 1))->set_value(Value("old")).ok());
    ASSERT_TRUE((*sheet->cell(r, 2))->set_value(Value(100.0 + r)).ok());
  }
  ASSERT_TRUE((*sheet->cell(13, 2))->set_value(Value("user data")).ok());
  ASSERT_TRUE(host::record_block(*book, *sheet->name(), 1, 1, host::Block{2, 1, 11, 2}));
  Area& a = area(1, 1, "DATE,CLOSE");
  std::string csv = answer(2);
  yahoo.fieldparse(csv, 1);
  EXPECT_EQ(shown(4, 2), "11");
  EXPECT_EQ(shown(5, 1), "");
  EXPECT_EQ(shown(12, 2), "");
  EXPECT_EQ(shown(13, 2), "user data");
  // The record holds the new block, on a sheet the user does not see.
  const auto recorded = host::recorded_block(*book, *sheet->name(), 1, 1, host::BlockShape::Table);
  ASSERT_TRUE(recorded.has_value());
  EXPECT_EQ(recorded->rows, 3);
  EXPECT_EQ(recorded->cols, 2);
  EXPECT_EQ(a.out_rows, 3);
  const auto store = *book->worksheet(host::kBlockStoreSheet);
  EXPECT_EQ(*store->visible(), host::Visibility::VeryHidden);
  // Its signature, then one row.
  EXPECT_EQ((*(*store->range("A1"))->value()).to_text(), host::kBlockStoreSignature);
  EXPECT_EQ((*(*store->range("A2"))->value()).to_text(), *sheet->name());
  EXPECT_TRUE((*(*store->range("A3"))->value()).is_empty());
  EXPECT_EQ(*(*book->active_sheet())->name(), *sheet->name());
}

// A record is trusted only as far as it can be: the old block is cleared
// only while it holds what was written, and only where a table of that
// formula can lie.
TEST_F(HistoryTest, ARecordNeverClearsCellsTheUserOwnsNow) {
  Area& a = area(1, 1, "DATE,CLOSE");
  std::string csv = answer(5);
  yahoo.fieldparse(csv, 1);
  ASSERT_EQ(shown(7, 2), "14");
  // The formula was deleted and the user typed over part of its table;
  // typed again later, its first answer leaves the user's block alone.
  ASSERT_TRUE((*sheet->cell(6, 2))->set_value(Value("mine")).ok());
  a.out_rows = a.out_cols = 0;  // a later session
  a.pending = true;
  csv = answer(2);
  yahoo.fieldparse(csv, 1);
  EXPECT_EQ(shown(4, 2), "11");
  EXPECT_EQ(shown(6, 2), "mine");
  EXPECT_EQ(shown(7, 2), "14");
  // Tampered records (no fingerprint, as older records): one that does not
  // start beside the formula, or does not fit the sheet, clears nothing.
  auto store = *book->worksheet(host::kBlockStoreSheet);
  for (const auto& [top, left, rows, cols] : std::vector<std::array<double, 4>>{
           {4, 2, 5, 1}, {2, 1, 1048576, 16384}, {2, 1, 1048575, 16384}}) {
    ASSERT_TRUE((*store->range("A2:H9"))->clear_contents().ok());
    Array line;
    line.rows = 1;
    line.cols = 7;
    line.items = {Value(*sheet->name()), Value(1.0),  Value(1.0), Value(top),
                  Value(left),           Value(rows), Value(cols)};
    ASSERT_TRUE((*store->range("A2"))->set_value(Value(line)).ok());
    a.out_rows = a.out_cols = 0;
    a.pending = true;
    csv = answer(1);
    yahoo.fieldparse(csv, 1);
    EXPECT_EQ(shown(6, 2), "mine");
    EXPECT_EQ(shown(7, 2), "14");
    EXPECT_EQ(shown(3, 2), "10");
  }
  // Before a save, records of cells that hold no formula are dropped.
  EXPECT_EQ(host::drop_stale_records(*book), 1u);
  EXPECT_FALSE(host::recorded_block(*book, *sheet->name(), 1, 1, host::BlockShape::Table));
}

// A host whose record follows the cells (Calc) moves a formula cell
// alone: the table it left behind is cleared while it still holds what
// was written, and stays the user's once changed; either way the record
// lets go of it. A block where the formula's can lie is not touched.
TEST_F(HistoryTest, ATableLeftBehindByAMovedFormulaGoesOnlyWhileUnchanged) {
  area(1, 1, "DATE,CLOSE", {}, 1);
  area(1, 4, "DATE,CLOSE", {}, 2);
  std::string csv = answer(5);
  yahoo.fieldparse(csv, 1);
  csv = answer(5);
  yahoo.fieldparse(csv, 2);
  ASSERT_EQ(shown(7, 2), "14");
  ASSERT_EQ(shown(7, 5), "14");
  const std::string name = *sheet->name();
  host::clear_left_behind(*book, *sheet, name, 1, 1, host::BlockShape::Table);
  EXPECT_EQ(shown(7, 2), "14");
  EXPECT_TRUE(host::recorded_block(*book, name, 1, 1, host::BlockShape::Table).has_value());
  // The records of A1 and D1 (rows 2 and 3 of the record sheet) follow
  // their formulas to J1 and L1; the user changed a cell of D1's table.
  auto store = *book->worksheet(host::kBlockStoreSheet);
  ASSERT_TRUE((*store->range("C2"))->set_value(Value(10.0)).ok());
  ASSERT_TRUE((*store->range("C3"))->set_value(Value(12.0)).ok());
  ASSERT_TRUE((*sheet->cell(4, 5))->set_value(Value("mine")).ok());
  (void)(*sheet->cell(1, 10))->set_value(Value("F"));
  (void)(*sheet->cell(1, 12))->set_value(Value("F"));
  host::clear_left_behind(*book, *sheet, name, 1, 10, host::BlockShape::Table);
  host::clear_left_behind(*book, *sheet, name, 1, 12, host::BlockShape::Table);
  for (std::int32_t r = 2; r <= 7; ++r) {
    EXPECT_EQ(shown(r, 1), "") << r;
    EXPECT_EQ(shown(r, 2), "") << r;
  }
  EXPECT_EQ(shown(4, 5), "mine");
  EXPECT_EQ(shown(7, 5), "14");
  EXPECT_TRUE((*(*store->range("A2"))->value()).is_empty());
  EXPECT_TRUE((*(*store->range("A3"))->value()).is_empty());
}

// Blocks of one run meet: a table never writes into another formula's
// recorded block, and clearing an old block spares them.
TEST_F(HistoryTest, ATableSparesOtherFormulasBlocks) {
  for (std::int32_t r = 2; r <= 12; ++r) {
    for (std::int32_t c = 1; c <= 7; ++c) {
      ASSERT_TRUE((*sheet->cell(r, c))->set_value(Value("old")).ok());
    }
  }
  // An older record (no fingerprint) of A1's block A2:G12.
  ASSERT_TRUE(host::record_block(*book, *sheet->name(), 1, 1, host::Block{2, 1, 11, 7}));
  ASSERT_TRUE((*(*book->worksheet(host::kBlockStoreSheet))->range("H2"))->clear_contents().ok());
  area(1, 1, "DATE", {}, 2);
  area(6, 3, "ALL", {Value("HEADER"), Value("NO")}, 1);
  area(5, 5, "ALL", {}, 3);
  const Area& first = areas.at(1);
  const Area& c6 = areas.at(2);
  const Area& b5 = areas.at(3);
  ASSERT_TRUE((*sheet->range("C6"))->set_formula("=1+1").ok());
  std::string csv = answer(3);
  yahoo.fieldparse(csv, 1);
  ASSERT_EQ(c6.problem, "");
  csv = answer(3);
  yahoo.fieldparse(csv, 2);
  EXPECT_EQ(first.problem, "");
  EXPECT_EQ(shown(7, 4), "1");  // C7:I9 stays
  EXPECT_EQ(shown(9, 7), "12");
  EXPECT_EQ(shown(9, 9), "1");
  EXPECT_EQ(shown(10, 1), "");  // the rest of the old block is cleared
  EXPECT_EQ(shown(6, 2), "");
  EXPECT_EQ(shown(12, 7), "");
  // A table that would run into C6's block is blocked and names the cell.
  csv = answer(3);
  yahoo.fieldparse(csv, 3);
  EXPECT_EQ(b5.problem, "Blocked: E7 is in the block of the formula in C6");
  EXPECT_EQ(shown(6, 5), "");
}

// A user's own sheet of the record sheet's name is not adopted; the
// record sheet made merely hidden elsewhere is made very hidden again.
TEST_F(HistoryTest, TheRecordSheetIsQuillosOnly) {
  auto mine = *book->add_worksheet(host::kBlockStoreSheet);
  ASSERT_TRUE((*mine->range("A1"))->set_value(Value("Sheet1")).ok());
  for (const char* c : {"B1", "C1", "D1", "E1", "F1", "G1"}) {
    ASSERT_TRUE((*mine->range(c))->set_value(Value(1.0)).ok());
  }
  EXPECT_FALSE(host::recorded_block(*book, "Sheet1", 1, 1, host::BlockShape::Table));
  EXPECT_FALSE(host::record_block(*book, *sheet->name(), 1, 1, host::Block{2, 1, 1, 1}));
  EXPECT_TRUE((*(*mine->range("A2"))->value()).is_empty());
  // The session still clears the table it wrote itself.
  Area& a = area(1, 1, "DATE,CLOSE");
  std::string csv = answer(5);
  yahoo.fieldparse(csv, 1);
  csv = answer(2);
  a.pending = true;
  yahoo.fieldparse(csv, 1);
  EXPECT_EQ(shown(4, 2), "11");
  EXPECT_EQ(shown(5, 2), "");
  ASSERT_TRUE(mine->remove().ok());
  ASSERT_TRUE(host::record_block(*book, *sheet->name(), 1, 1, host::Block{2, 1, 2, 2}));
  auto store = *book->worksheet(host::kBlockStoreSheet);
  ASSERT_TRUE(store->set_visible(host::Visibility::Hidden).ok());
  ASSERT_TRUE(host::record_block(*book, *sheet->name(), 1, 1, host::Block{2, 1, 2, 2}));
  EXPECT_EQ(*store->visible(), host::Visibility::VeryHidden);
}

// Dates before 1900 have no serial: they are written as the text sent.
TEST_F(HistoryTest, DatesBefore1900StayText) {
  area(1, 1, "DATE,CLOSE", {Value("HEADER"), Value("NO")});
  std::string csv = "Date,Open,High,Low,Close,Volume,Adj Close\n1899-12-29,1,2,0.5,7,100,1\n";
  yahoo.fieldparse(csv, 1);
  const Value date = *(*sheet->cell(2, 1))->value();
  EXPECT_TRUE(date.is_text());
  EXPECT_EQ(date.to_text(), "1899-12-29");
  EXPECT_EQ(shown(2, 2), "7");
}

// The answers of testdata/blocks: error pages, empty bodies and tables of
// something else are no price table; the service's header in any letter
// case, with blanks or carriage returns, with five to seven columns is one.
TEST(HistoryCsvTest, AnswersThatAreNoPriceTable) {
  const std::filesystem::path dir = std::string(QUILLO_TESTDATA_DIR) + "/blocks";
  int cases = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir / "not_a_table")) {
    ++cases;
    const std::string problem = cls_history_yahoo::tablecheck(slurp(entry.path()));
    EXPECT_EQ(problem.rfind("Not a price table: ", 0), 0u) << entry.path() << ": " << problem;
  }
  EXPECT_EQ(cases, 7);
  EXPECT_NE(
      cls_history_yahoo::tablecheck(slurp(dir / "not_a_table" / "html_error.csv")).find("web page"),
      std::string::npos);
  for (const auto& entry : std::filesystem::directory_iterator(dir / "price_tables")) {
    EXPECT_EQ(cls_history_yahoo::tablecheck(slurp(entry.path())), "") << entry.path();
  }
}

TEST(HistoryCsvTest, LookupPageAndColumnSelection) {
  EXPECT_FALSE(cls_history_yahoo::datavalidate("<html><TITLE>symbol lookup from x</title>"));
  EXPECT_TRUE(cls_history_yahoo::datavalidate("Date,Open\n"));
  EXPECT_EQ(select_columns("all"), (std::vector<int>{1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(select_columns("adj close,VOLUME,,x"), (std::vector<int>{7, 6}));
  EXPECT_TRUE(select_columns("").empty());
}

}  // namespace
}  // namespace quillo::history
