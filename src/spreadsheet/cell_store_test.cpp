#include "spreadsheet/cell_store.h"

#include <gtest/gtest.h>

#include <vector>

namespace quillo::spreadsheet {
namespace {

std::vector<std::pair<std::int32_t, std::int32_t>> walk(const CellStore& store, const Box& box) {
  std::vector<std::pair<std::int32_t, std::int32_t>> out;
  store.for_each(box, [&](std::int32_t r, std::int32_t c, const Cell&) { out.emplace_back(r, c); });
  return out;
}

TEST(CellStore, KeepsEveryKindOfValueAndReplacesThem) {
  CellStore store;
  const std::vector<Value> values{Value(1.5),           Value(-0.0),
                                  Value(Date{45000.5}), Value(true),
                                  Value(false),         Value(ErrorCode::NA),
                                  Value("text"),        Value(std::string()),
                                  Value(Null{}),        Value(Array{1, 1, {Value(2.0)}})};
  for (std::size_t i = 0; i < values.size(); ++i) {
    store.set_value(cell_key(static_cast<std::int32_t>(i) + 1, 1), values[i]);
  }
  for (std::size_t i = 0; i < values.size(); ++i) {
    EXPECT_EQ(store.value(cell_key(static_cast<std::int32_t>(i) + 1, 1)), values[i]) << i;
  }
  // Integers come back as the numbers they are.
  store.set_value(cell_key(1, 2), Value(std::int32_t{7}));
  EXPECT_EQ(store.value(cell_key(1, 2)), Value(7.0));
  // Overwriting in any direction leaves only the new value.
  store.set_value(cell_key(7, 1), Value(3.0));
  store.set_value(cell_key(1, 1), Value("now a text"));
  EXPECT_EQ(store.value(cell_key(7, 1)), Value(3.0));
  EXPECT_EQ(store.value(cell_key(1, 1)), Value("now a text"));
  EXPECT_EQ(store.value(cell_key(99, 99)), Value());
  EXPECT_FALSE(store.find(cell_key(99, 99)).has_value());
}

TEST(CellStore, SharedTextsSurviveTheirNeighboursBeingRewritten) {
  CellStore store;
  for (std::int32_t r = 1; r <= 200; ++r) store.set_value(cell_key(r, 1), Value("SYM"));
  for (std::int32_t r = 1; r <= 199; ++r) store.set_value(cell_key(r, 1), Value(1.0));
  EXPECT_EQ(store.value(cell_key(200, 1)), Value("SYM"));
  // A text freed and then written again (as a new text reuses its slot).
  store.set_value(cell_key(200, 1), Value("other"));
  store.set_value(cell_key(1, 1), Value("SYM"));
  store.set_value(cell_key(2, 1), Value("third"));
  EXPECT_EQ(store.value(cell_key(1, 1)), Value("SYM"));
  EXPECT_EQ(store.value(cell_key(2, 1)), Value("third"));
  EXPECT_EQ(store.value(cell_key(200, 1)), Value("other"));
}

TEST(CellStore, ATextWrittenOverAndOverIsHeldByEachCellAndNeverMistakenForAnother) {
  // Every waiting cell shows the same status text, written one after another.
  CellStore store;
  const Value loading("Loading data...");
  for (std::int32_t r = 1; r <= 10; ++r) store.set_value(cell_key(r, 1), loading);
  // Each cell holds it: rewriting nine leaves the tenth's.
  for (std::int32_t r = 1; r <= 9; ++r) store.set_value(cell_key(r, 1), Value(2.0));
  EXPECT_EQ(store.value(cell_key(10, 1)), loading);
  // Let go altogether, its room taken by a text of the same length: the
  // text written next is itself again, not the one in its old place.
  store.set_value(cell_key(10, 1), Value(3.0));
  store.set_value(cell_key(1, 2), Value("Loading data!!!"));
  store.set_value(cell_key(2, 2), loading);
  store.set_value(cell_key(3, 2), loading);
  EXPECT_EQ(store.value(cell_key(1, 2)), Value("Loading data!!!"));
  EXPECT_EQ(store.value(cell_key(2, 2)), loading);
  // The same text as the result of formula cells, a longer and an empty one
  // between its writes.
  for (std::int32_t r = 1; r <= 3; ++r) store.add_formula(cell_key(r, 3));
  store.set_value(cell_key(1, 3), loading);
  store.set_value(cell_key(2, 3), Value("Loading data... and more"));
  store.set_value(cell_key(3, 3), Value(std::string()));
  store.set_value(cell_key(3, 3), loading);
  store.set_value(cell_key(2, 2), Value(4.0));
  store.set_value(cell_key(3, 2), Value(5.0));
  EXPECT_EQ(store.value(cell_key(1, 3)), loading);
  EXPECT_EQ(store.value(cell_key(2, 3)), Value("Loading data... and more"));
  EXPECT_EQ(store.value(cell_key(3, 3)), loading);
  store.set_value(cell_key(1, 3), Value(6.0));
  EXPECT_EQ(store.value(cell_key(3, 3)), loading);
}

TEST(CellStore, TextsKeepTheirBytesThroughRewritesThatMoveAndFreeThem) {
  // A record sheet rewritten as its lines change: each pass lets go of the
  // last pass's texts, so the pool's blocks empty, are moved together and
  // are given back while other texts stay held.
  CellStore store;
  auto line = [](int pass, std::int32_t r) {
    return "F\t" + std::to_string(r) +
           "\thttp://127.0.0.1/quote?s=ABC&n=" + std::to_string(r * 7 + pass) +
           std::string(static_cast<std::size_t>(r % 50), 'x');
  };
  const std::string long_text(40000, 'L');
  constexpr std::int32_t kRows = 20000;
  store.set_value(cell_key(1, 2), Value(long_text));
  store.set_value(cell_key(2, 2), Value(std::string()));
  store.set_value(cell_key(3, 2), Value("kept"));
  // Every tenth row keeps its first text, which column 4 holds too: no
  // block empties, the dead bytes pile up until the held texts are moved
  // together.
  auto expected = [&](int pass, std::int32_t r) { return line(r % 10 == 0 ? 0 : pass, r); };
  for (int pass = 0; pass < 4; ++pass) {
    for (std::int32_t r = 1; r <= kRows; ++r) {
      store.set_value(cell_key(r, 1), Value(expected(pass, r)));
      if (pass == 0 && r % 10 == 0) store.set_value(cell_key(r, 4), Value(line(0, r)));
    }
    // Every other row shares one text with its neighbour.
    for (std::int32_t r = 2; r <= kRows; r += 2) {
      store.set_value(cell_key(r, 3), Value(line(pass, r - 1)));
    }
  }
  for (std::int32_t r = 1; r <= kRows; ++r) {
    ASSERT_EQ(store.value(cell_key(r, 1)), Value(expected(3, r))) << r;
    if (r % 2 == 0) {
      ASSERT_EQ(store.value(cell_key(r, 3)), Value(line(3, r - 1))) << r;
    }
  }
  // Almost all let go: the index shrinks; what is left is still found.
  for (std::int32_t r = 1; r <= kRows; ++r) {
    if (r % 1000 != 0) store.erase(cell_key(r, 1));
    store.erase(cell_key(r, 3));
  }
  store.set_value(cell_key(4, 2), Value(line(3, 5000)));
  store.set_value(cell_key(5, 2), Value(line(3, 4999)));  // also held in column 3
  store.set_value(cell_key(6, 2), Value(long_text));
  for (std::int32_t r = 1000; r <= kRows; r += 1000) {
    EXPECT_EQ(store.value(cell_key(r, 1)), Value(expected(3, r))) << r;
  }
  EXPECT_EQ(store.value(cell_key(1, 2)), Value(long_text));
  EXPECT_EQ(store.value(cell_key(2, 2)), Value(std::string()));
  EXPECT_EQ(store.value(cell_key(3, 2)), Value("kept"));
  EXPECT_EQ(store.value(cell_key(4, 2)), Value(line(3, 5000)));
  EXPECT_EQ(store.value(cell_key(5, 2)), Value(line(3, 4999)));
  EXPECT_EQ(store.value(cell_key(6, 2)), Value(long_text));
  EXPECT_EQ(store.value(cell_key(kRows, 4)), Value(line(0, kRows)));
}

TEST(CellStore, WalksColumnByColumnWithinTheBoxAndSkipsBlankCells) {
  CellStore store;
  // Written out of order, across chunk boundaries, at the sheet's far corner.
  const std::vector<std::pair<std::int32_t, std::int32_t>> cells{
      {kMaxRows, kMaxCols}, {130, 2}, {1, 2}, {64, 2}, {63, 2}, {65, 2}, {5, 1}, {1048, 1}};
  for (const auto& [r, c] : cells) store.set_value(cell_key(r, c), Value(double(r)));
  store.set_format(cell_key(70, 2), "0.00");  // empty but formatted: a cell
  EXPECT_EQ(store.size(), cells.size() + 1);
  EXPECT_EQ(walk(store, Box{1, 1, kMaxRows, kMaxCols}),
            (std::vector<std::pair<std::int32_t, std::int32_t>>{{5, 1},
                                                                {1048, 1},
                                                                {1, 2},
                                                                {63, 2},
                                                                {64, 2},
                                                                {65, 2},
                                                                {70, 2},
                                                                {130, 2},
                                                                {kMaxRows, kMaxCols}}));
  EXPECT_EQ(walk(store, Box{63, 2, 65, 3}),
            (std::vector<std::pair<std::int32_t, std::int32_t>>{{63, 2}, {64, 2}, {65, 2}}));
  EXPECT_EQ(store.format(cell_key(70, 2)), "0.00");
  EXPECT_EQ(store.keys().size(), store.size());

  // Erasing takes cells out of the walk; a formatted cell goes only with
  // its format.
  store.erase(cell_key(64, 2));
  store.set_value(cell_key(65, 2), Value());
  store.erase_if_blank(cell_key(65, 2));
  store.erase_if_blank(cell_key(70, 2));
  EXPECT_EQ(walk(store, Box{60, 2, 80, 2}),
            (std::vector<std::pair<std::int32_t, std::int32_t>>{{63, 2}, {70, 2}}));
  store.set_format(cell_key(70, 2), "");
  store.erase_if_blank(cell_key(70, 2));
  store.erase(cell_key(kMaxRows, kMaxCols));
  EXPECT_EQ(store.size(), cells.size() - 3);
}

TEST(CellStore, FormulaStateStaysPutWhileOtherCellsAreWritten) {
  CellStore store;
  store.set_value(cell_key(10, 1), Value("before"));
  FormulaState& fs = store.add_formula(cell_key(10, 1));
  EXPECT_EQ(store.value(cell_key(10, 1)), Value("before"));  // the last result until computed
  fs.dirty = true;
  for (std::int32_t r = 1; r <= 300; ++r) {
    if (r != 10) store.set_value(cell_key(r, 1), Value(double(r)));
  }
  EXPECT_EQ(store.formula(cell_key(10, 1)), &fs);
  EXPECT_TRUE(store.formula(cell_key(10, 1))->dirty);
  store.set_value(cell_key(10, 1), Value(42.0));  // the formula's result
  EXPECT_EQ(store.formula(cell_key(10, 1)), &fs);
  EXPECT_EQ(store.find(cell_key(10, 1))->formula, &fs);
  store.remove_formula(cell_key(10, 1));
  EXPECT_EQ(store.formula(cell_key(10, 1)), nullptr);
  EXPECT_EQ(store.value(cell_key(10, 1)), Value(42.0));
}

TEST(CellStore, LookupsFindTheirColumnWhileColumnsComeAndGo) {
  // Columns made before and after the one read last, and the last one
  // erased: each lookup still finds its own column's cell or none.
  CellStore store;
  store.set_value(cell_key(1, 5), Value(5.0));
  EXPECT_EQ(store.value(cell_key(1, 5)), Value(5.0));
  store.set_value(cell_key(1, 2), Value(2.0));  // before column 5: it moves
  EXPECT_EQ(store.value(cell_key(1, 2)), Value(2.0));
  EXPECT_EQ(store.value(cell_key(1, 5)), Value(5.0));
  store.set_value(cell_key(1, 9), Value(9.0));
  store.set_value(cell_key(1, 1), Value(1.0));
  for (const std::int32_t col : {9, 1, 5, 2, 3}) {
    EXPECT_EQ(store.value(cell_key(1, col)), col == 3 ? Value() : Value(double(col))) << col;
  }
  store.erase(cell_key(1, 2));  // the column goes with its one cell
  EXPECT_EQ(store.value(cell_key(1, 2)), Value());
  EXPECT_EQ(store.value(cell_key(1, 5)), Value(5.0));
  EXPECT_EQ(store.value(cell_key(1, 9)), Value(9.0));
  EXPECT_EQ(store.value(cell_key(1, 1)), Value(1.0));
}

TEST(CellStore, AWriteToTheCellReadLastLandsInItAndMarksItsColumn) {
  // A write right after a read of the same cell takes the place the read
  // found; it still changes that column's version, and no other.
  CellStore store;
  store.set_value(cell_key(3, 2), Value(1.0));
  store.set_value(cell_key(3, 4), Value(2.0));
  EXPECT_EQ(store.value(cell_key(3, 4)), Value(2.0));
  const std::uint64_t col4 = store.column_version(4), col2 = store.column_version(2);
  store.set_value(cell_key(3, 4), Value("x"));
  EXPECT_EQ(store.value(cell_key(3, 4)), Value("x"));
  EXPECT_NE(store.column_version(4), col4);
  EXPECT_EQ(store.column_version(2), col2);
  // A column made before it moves its column; a read, then a write, still
  // find the cell's own.
  store.set_value(cell_key(3, 1), Value(0.0));
  EXPECT_EQ(store.value(cell_key(3, 4)), Value("x"));
  FormulaState& fs = store.add_formula(cell_key(3, 4));
  EXPECT_EQ(store.formula(cell_key(3, 4)), &fs);
  store.set_value(cell_key(3, 4), Value(7.0));  // the formula's result
  EXPECT_EQ(store.value(cell_key(3, 4)), Value(7.0));
  EXPECT_EQ(store.formula(cell_key(3, 4)), &fs);
  EXPECT_EQ(store.value(cell_key(3, 1)), Value(0.0));
  EXPECT_EQ(store.value(cell_key(3, 2)), Value(1.0));
}

TEST(CellStore, ACellReadAgainAfterWritesAroundItKeepsItsOwnValue) {
  // Read a cell, then write rows above it in its chunk, a chunk and a column
  // before it, and erase a neighbour: each read after still finds its own
  // row, and an erased cell reads as none even right after being read.
  CellStore store;
  store.set_value(cell_key(10, 3), Value(10.0));
  FormulaState& fs = store.add_formula(cell_key(12, 3));
  EXPECT_EQ(store.value(cell_key(10, 3)), Value(10.0));
  store.set_value(cell_key(5, 3), Value(5.0));  // a row before it in its chunk
  EXPECT_EQ(store.value(cell_key(10, 3)), Value(10.0));
  EXPECT_EQ(store.formula(cell_key(12, 3)), &fs);
  store.set_value(cell_key(1, 1), Value(1.0));  // a column before it
  store.set_value(cell_key(200, 3), Value(200.0));
  EXPECT_EQ(store.value(cell_key(10, 3)), Value(10.0));
  EXPECT_EQ(store.formula(cell_key(12, 3)), &fs);
  store.erase(cell_key(5, 3));  // the row before it goes
  EXPECT_EQ(store.value(cell_key(10, 3)), Value(10.0));
  EXPECT_EQ(store.formula(cell_key(10, 3)), nullptr);
  EXPECT_EQ(store.formula(cell_key(12, 3)), &fs);
  store.erase(cell_key(12, 3));
  EXPECT_EQ(store.formula(cell_key(12, 3)), nullptr);
  EXPECT_FALSE(store.find(cell_key(12, 3)).has_value());
  store.erase(cell_key(10, 3));
  store.erase(cell_key(200, 3));  // the column goes
  EXPECT_EQ(store.value(cell_key(10, 3)), Value());
  EXPECT_EQ(store.value(cell_key(1, 1)), Value(1.0));
}

}  // namespace
}  // namespace quillo::spreadsheet

namespace quillo::spreadsheet {
namespace {

// A chunk of plain numbers holds no kinds or formats; one cell of another
// kind, a format, a formula or an erase in its middle must neither change
// its neighbours nor be lost as the chunk moves between the two forms.
TEST(CellStore, NumbersBesideOtherKindsKeepTheirValuesAsTheChunkChangesForm) {
  CellStore store;
  for (std::int32_t r = 1; r <= 64; ++r) store.set_value(cell_key(r, 1), Value(r + 0.5));
  auto numbers_hold = [&](std::int32_t skip) {
    for (std::int32_t r = 1; r <= 64; ++r) {
      if (r != skip) {
        EXPECT_EQ(store.value(cell_key(r, 1)), Value(r + 0.5)) << r;
      }
    }
  };
  store.set_value(cell_key(10, 1), Value("ten"));
  numbers_hold(10);
  EXPECT_EQ(store.value(cell_key(10, 1)), Value("ten"));
  store.set_value(cell_key(10, 1), Value(10.5));  // plain numbers again
  numbers_hold(0);
  EXPECT_EQ(store.format(cell_key(10, 1)), "");

  store.set_format(cell_key(20, 1), "0.00");
  store.set_format(cell_key(70, 1), "0%");  // a new cell with a format only
  EXPECT_EQ(store.format(cell_key(20, 1)), "0.00");
  EXPECT_EQ(store.value(cell_key(70, 1)), Value());
  EXPECT_FALSE(store.find(cell_key(70, 1))->blank());
  store.set_format(cell_key(20, 1), "");
  numbers_hold(0);

  // A formula takes the cell's value as its result and gives it back.
  FormulaState& fs = store.add_formula(cell_key(30, 1));
  EXPECT_EQ(store.formula(cell_key(30, 1)), &fs);
  EXPECT_EQ(store.value(cell_key(30, 1)), Value(30.5));
  store.set_value(cell_key(30, 1), Value(std::int32_t{4}));  // a result keeps its type
  EXPECT_EQ(store.value(cell_key(30, 1)).type(), ValueType::Integer);
  store.set_value(cell_key(30, 1), Value("result"));
  EXPECT_EQ(store.formula(cell_key(31, 1)), nullptr);
  store.remove_formula(cell_key(30, 1));
  EXPECT_EQ(store.formula(cell_key(30, 1)), nullptr);
  EXPECT_EQ(store.value(cell_key(30, 1)), Value("result"));
  store.set_value(cell_key(30, 1), Value(30.5));

  store.set_value(cell_key(40, 1), Value(true));
  store.erase(cell_key(40, 1));  // the only other kind goes with its cell
  store.erase(cell_key(41, 1));
  EXPECT_FALSE(store.contains(cell_key(40, 1)));
  for (std::int32_t r = 1; r <= 64; ++r) {
    if (r != 40 && r != 41) {
      EXPECT_EQ(store.value(cell_key(r, 1)), Value(r + 0.5)) << r;
    }
  }
  store.set_value(cell_key(41, 1), Value(ErrorCode::Div0));
  store.set_value(cell_key(40, 1), Value(Date{40.5}));
  EXPECT_EQ(store.value(cell_key(41, 1)), Value(ErrorCode::Div0));
  EXPECT_EQ(store.value(cell_key(40, 1)), Value(Date{40.5}));
  EXPECT_EQ(store.value(cell_key(42, 1)), Value(42.5));
  EXPECT_EQ(store.size(), 65u);
}

}  // namespace
}  // namespace quillo::spreadsheet
