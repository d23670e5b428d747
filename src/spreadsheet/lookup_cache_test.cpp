// Exact lookups through the column indexes of lookup_cache.h: many formulas
// searching one table answer what a scan of the cells answers (first match,
// numbers equal within rounding, texts in any letter case, truth values,
// wildcards), and follow every change of the table.
#include "spreadsheet/lookup_cache.h"

#include <gtest/gtest.h>

#include <string>

#include "spreadsheet/model.h"

namespace quillo::spreadsheet {
namespace {

class LookupCacheTest : public testing::Test {
 protected:
  LookupCacheTest() { sheet = model->add_sheet(model->add_book(), "S").value(); }
  void set(std::int32_t r, std::int32_t c, const Value& v) {
    ASSERT_TRUE(model->set_value(sheet, r, c, v).ok());
  }
  // Writes the same lookup formula into rows 1..kCopies of column col, so
  // the table is searched again and again at one version; answers row 1's.
  Value lookup_all(std::int32_t col, const std::string& formula) {
    for (std::int32_t r = 1; r <= kCopies; ++r) set(r, col, Value(formula));
    for (std::int32_t r = 2; r <= kCopies; ++r) {
      EXPECT_EQ(model->value(sheet, r, col), model->value(sheet, 1, col)) << formula;
    }
    return model->value(sheet, 1, col);
  }
  static constexpr std::int32_t kCopies = 4;
  std::shared_ptr<Model> model = std::make_shared<Model>();
  SheetId sheet = 0;
};

TEST_F(LookupCacheTest, ExactMatchesAnswerAsAScanWould) {
  // The table A1:B8: keys in A, what they answer in B.
  const Value keys[] = {Value(5.0), Value("Apple"), Value(0.3),   Value(true),
                        Value(5.0), Value("apple"), Value(false), Value("a*e")};
  for (std::int32_t r = 0; r < 8; ++r) {
    set(r + 1, 1, keys[r]);
    set(r + 1, 2, Value(static_cast<double>((r + 1) * 10)));
  }
  // A repeated key answers its first row; texts ignore letter case.
  EXPECT_EQ(lookup_all(4, "=MATCH(5,$A$1:$A$8,0)"), Value(1.0));
  EXPECT_EQ(lookup_all(5, "=VLOOKUP(\"APPLE\",$A$1:$B$8,2,FALSE)"), Value(20.0));
  // 0.1+0.2 is 0.30000000000000004: equal within rounding.
  EXPECT_EQ(lookup_all(6, "=MATCH(0.1+0.2,$A$1:$A$8,0)"), Value(3.0));
  EXPECT_EQ(lookup_all(7, "=MATCH(FALSE,$A$1:$A$8,0)"), Value(7.0));
  EXPECT_EQ(lookup_all(8, "=MATCH(TRUE,$A$1:$A$8,0)"), Value(4.0));
  // Kinds never match each other: 1 is not TRUE, "5" is not 5.
  EXPECT_EQ(lookup_all(9, "=MATCH(1,$A$1:$A$8,0)"), Value(ErrorCode::NA));
  EXPECT_EQ(lookup_all(10, "=MATCH(\"5\",$A$1:$A$8,0)"), Value(ErrorCode::NA));
  // MATCH and VLOOKUP read wildcards; XMATCH in its exact mode does not.
  EXPECT_EQ(lookup_all(11, "=MATCH(\"a*e\",$A$1:$A$8,0)"), Value(2.0));
  EXPECT_EQ(lookup_all(12, "=XMATCH(\"A*E\",$A$1:$A$8)"), Value(8.0));
  EXPECT_EQ(lookup_all(13, "=XLOOKUP(0.3,$A$1:$A$8,$B$1:$B$8)"), Value(30.0));
}

TEST_F(LookupCacheTest, LookupsFollowEveryChangeOfTheTable) {
  for (std::int32_t r = 1; r <= 100; ++r) {
    set(r, 1, Value(static_cast<double>(r)));
    set(r, 2, Value(static_cast<double>(r) * 1.5));
  }
  EXPECT_EQ(lookup_all(4, "=VLOOKUP(50,$A$1:$B$100,2,FALSE)"), Value(75.0));
  EXPECT_EQ(lookup_all(5, "=MATCH(50,$A$1:$A$100,0)"), Value(50.0));
  // A new value, an earlier duplicate, a cleared cell and a formula result
  // in the searched column: each lookup recalculates and sees it.
  set(60, 1, Value(1000.0));
  EXPECT_EQ(lookup_all(6, "=MATCH(1000,$A$1:$A$100,0)"), Value(60.0));
  set(10, 1, Value(50.0));
  EXPECT_EQ(model->value(sheet, 1, 4), Value(15.0));
  EXPECT_EQ(model->value(sheet, 3, 5), Value(10.0));
  ASSERT_TRUE(model->clear_contents(sheet, Box{10, 1, 10, 1}).ok());
  ASSERT_TRUE(model->clear_contents(sheet, Box{50, 1, 50, 1}).ok());
  EXPECT_EQ(model->value(sheet, 1, 4), Value(ErrorCode::NA));
  EXPECT_EQ(model->value(sheet, 2, 5), Value(ErrorCode::NA));
  set(70, 1, Value("=25*2"));
  EXPECT_EQ(model->value(sheet, 1, 4), Value(105.0));
  EXPECT_EQ(model->value(sheet, 4, 5), Value(70.0));
  set(60, 1, Value(7.0));
  EXPECT_EQ(model->value(sheet, 1, 6), Value(ErrorCode::NA));
  // A running lookup down the column it writes: each one sees the rows
  // above it as they are when it runs.
  set(1, 8, Value(1.0));
  for (std::int32_t r = 2; r <= 20; ++r) {
    set(r, 8,
        Value("=IF(ISNA(MATCH(" + std::to_string(r % 3) + ",H$1:H" + std::to_string(r - 1) +
              ",0)),MOD(ROW(),3),-1)"));
  }
  EXPECT_EQ(model->value(sheet, 2, 8), Value(2.0));
  EXPECT_EQ(model->value(sheet, 3, 8), Value(0.0));
  EXPECT_EQ(model->value(sheet, 4, 8), Value(-1.0));
}

}  // namespace
}  // namespace quillo::spreadsheet
