// The dependency index against a plain list of the same references: many
// formulas reading many cells, added and removed in a shuffled order, so the
// per-cell table grows, collides, wraps round and closes the gaps erasing
// leaves, and the runs of formulas filled down grow, merge and split.
#include "spreadsheet/dependencies.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <tuple>

namespace quillo::spreadsheet {
namespace {

std::vector<CellAddr> sorted_unique(std::vector<CellAddr> v) {
  std::sort(v.begin(), v.end());
  v.erase(std::unique(v.begin(), v.end()), v.end());
  return v;
}

TEST(DependencyIndexTest, CellReadersMatchTheReferencesHeldThroughAddsAndRemoves) {
  constexpr SheetId kSheet = 1;
  std::mt19937 random(7);
  // (formula, cell read) pairs, each added once and some twice (a formula
  // naming a cell twice counts it twice).
  std::vector<std::pair<CellAddr, CellAddr>> refs;
  for (std::int32_t f = 1; f <= 3000; ++f) {
    const CellAddr formula{kSheet, f, 20};
    for (int k = 0; k < 3; ++k) {
      const CellAddr cell{kSheet, 1 + static_cast<std::int32_t>(random() % 2000),
                          1 + static_cast<std::int32_t>(random() % 3)};
      refs.emplace_back(formula, cell);
    }
  }
  DependencyIndex index;
  std::map<CellAddr, std::vector<CellAddr>> held;  // cell -> formulas, with repeats
  auto check = [&] {
    for (std::int32_t row = 1; row <= 2000; ++row) {
      for (std::int32_t col = 1; col <= 3; ++col) {
        const CellAddr cell{kSheet, row, col};
        std::vector<CellAddr> found;
        index.dependents(cell, found);
        const auto it = held.find(cell);
        EXPECT_EQ(sorted_unique(found),
                  sorted_unique(it == held.end() ? std::vector<CellAddr>{} : it->second))
            << "row " << row << " col " << col;
      }
    }
  };
  for (const auto& [formula, cell] : refs) {
    index.add(formula, kSheet, Box{cell.row, cell.col, cell.row, cell.col});
    held[cell].push_back(formula);
  }
  check();
  std::shuffle(refs.begin(), refs.end(), random);
  refs.resize(refs.size() * 2 / 3);
  for (const auto& [formula, cell] : refs) {
    index.remove(formula, kSheet, Box{cell.row, cell.col, cell.row, cell.col});
    auto& formulas = held[cell];
    formulas.erase(std::find(formulas.begin(), formulas.end(), formula));
  }
  check();

  std::vector<CellAddr> dropped;
  index.drop_sheet(kSheet, dropped);
  std::vector<CellAddr> expected;
  for (const auto& [cell, formulas] : held)
    expected.insert(expected.end(), formulas.begin(), formulas.end());
  EXPECT_EQ(sorted_unique(dropped), sorted_unique(expected));
  std::vector<CellAddr> none;
  index.dependents(CellAddr{kSheet, 5, 1}, none);
  EXPECT_TRUE(none.empty());
}

// References that follow their formula's row, as a column filled down
// makes them: runs of formulas grow, merge, split as formulas in their
// middle go, and hold a formula reading one cell twice; a column read at
// more offsets than runs are kept for takes the rest per cell.
TEST(DependencyIndexTest, FilledDownReadersMatchTheReferencesHeldAsRunsSplitAndMerge) {
  constexpr SheetId kSheet = 1, kOther = 2;
  std::mt19937 random(11);
  std::vector<std::tuple<CellAddr, CellAddr, bool>> refs;  // formula, cell, follows its row
  for (std::int32_t row = 30; row <= 1500; ++row) {
    for (const std::int32_t col : {20, 21}) {
      const CellAddr formula{row % 7 == 0 ? kOther : kSheet, row, col};
      refs.emplace_back(formula, CellAddr{kSheet, row - 1, 1}, true);
      refs.emplace_back(formula, CellAddr{kSheet, row, 1}, true);
      if (row % 5 == 0) refs.emplace_back(formula, CellAddr{kSheet, row, 1}, true);  // twice
      // Column 2 read at 24 offsets: more than one column keeps runs for.
      refs.emplace_back(formula, CellAddr{kSheet, row - (row % 24), 2}, true);
      refs.emplace_back(formula, CellAddr{kSheet, 1, 3}, false);  // an absolute reference
    }
  }
  std::shuffle(refs.begin(), refs.end(), random);  // rows arrive in any order
  DependencyIndex index;
  std::map<CellAddr, std::vector<CellAddr>> held;
  auto check = [&] {
    for (std::int32_t row = 1; row <= 1510; ++row) {
      for (std::int32_t col = 1; col <= 3; ++col) {
        const CellAddr cell{kSheet, row, col};
        std::vector<CellAddr> found;
        index.dependents(cell, found);
        const auto it = held.find(cell);
        ASSERT_EQ(sorted_unique(found),
                  sorted_unique(it == held.end() ? std::vector<CellAddr>{} : it->second))
            << "row " << row << " col " << col;
      }
    }
  };
  for (const auto& [formula, cell, follows] : refs) {
    index.add(formula, kSheet, Box{cell.row, cell.col, cell.row, cell.col}, follows);
    held[cell].push_back(formula);
  }
  check();
  std::shuffle(refs.begin(), refs.end(), random);
  refs.resize(refs.size() / 2);
  for (const auto& [formula, cell, follows] : refs) {
    index.remove(formula, kSheet, Box{cell.row, cell.col, cell.row, cell.col});
    auto& formulas = held[cell];
    formulas.erase(std::find(formulas.begin(), formulas.end(), formula));
  }
  check();
  // Every reading of the two columns taken off: no formula is left behind.
  for (auto& [cell, formulas] : held) {
    for (const CellAddr& formula : formulas) {
      index.remove(formula, kSheet, Box{cell.row, cell.col, cell.row, cell.col});
    }
    formulas.clear();
  }
  check();
  std::vector<CellAddr> dropped;
  index.drop_sheet(kSheet, dropped);
  EXPECT_TRUE(dropped.empty());
}

TEST(DependencyIndexTest, ReadersOfAColumnStayFoundAsReferencesComeAndGo) {
  DependencyIndex index;
  const CellAddr f1{1, 1, 5}, f2{1, 2, 5}, f3{1, 3, 5};
  auto readers = [&](std::int32_t row, std::int32_t col) {
    std::vector<CellAddr> found;
    index.dependents(CellAddr{1, row, col}, found);
    return sorted_unique(found);
  };
  index.add(f1, 1, Box{1, 1, 1, 1});    // A1
  index.add(f2, 1, Box{1, 1, 300, 2});  // A1:B300, in blocks
  // Removing references that were never added changes nothing.
  index.remove(f3, 1, Box{1, 1, 1, 1});
  index.remove(f3, 1, Box{1, 1, 300, 2});
  EXPECT_EQ(readers(1, 1), (std::vector<CellAddr>{f1, f2}));
  index.remove(f1, 1, Box{1, 1, 1, 1});
  EXPECT_EQ(readers(1, 1), std::vector<CellAddr>{f2});
  EXPECT_EQ(readers(299, 2), std::vector<CellAddr>{f2});
  index.remove(f2, 1, Box{1, 1, 300, 2});
  EXPECT_TRUE(readers(1, 1).empty());
  EXPECT_TRUE(readers(299, 2).empty());
  index.add(f3, 1, Box{250, 2, 260, 2});
  EXPECT_EQ(readers(255, 2), std::vector<CellAddr>{f3});
  EXPECT_TRUE(readers(255, 3).empty());     // a column nothing reads
  index.add(f1, 1, Box{1, 1, 1048576, 3});  // whole columns: the wide list
  EXPECT_EQ(readers(255, 3), std::vector<CellAddr>{f1});
  EXPECT_EQ(readers(255, 2), (std::vector<CellAddr>{f1, f3}));
}

}  // namespace
}  // namespace quillo::spreadsheet
