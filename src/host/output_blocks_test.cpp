// Which input ranges a block would cover, and what the formula cell says
// then.
#include "host/output_blocks.h"

#include <gtest/gtest.h>

namespace quillo::host {
namespace {

TEST(OutputBlocksTest, ABlockOverItsFormulasInputIsFound) {
  const Block table{2, 1, 20, 6};    // A2:F21
  const Block options{1, 10, 1, 2};  // J1:K1
  // A series in B from row 2 lies on the table's close prices.
  EXPECT_EQ(covered_input(Block{2, 2, 20, 1}, {options, table})->left, 1);
  // Beside it, or on the row above it, it covers nothing.
  EXPECT_FALSE(covered_input(Block{2, 7, 20, 1}, {options, table}));
  EXPECT_FALSE(covered_input(Block{1, 1, 1, 6}, {table}));
  // A history table below A3 that reaches the options cell in J5.
  EXPECT_TRUE(covered_input(Block{4, 1, 30, 10}, {Block{5, 10, 1, 1}}));
  EXPECT_FALSE(covered_input(Block{}, {table}));
  EXPECT_FALSE(covered_input(Block{2, 2, 5, 1}, {}));
  EXPECT_EQ(blocked_input_text(table),
            "Blocked: the block would cover A2:F21, which the formula reads");
  EXPECT_EQ(blocked_input_text(Block{5, 10, 1, 1}),
            "Blocked: the block would cover J5, which the formula reads");
}

}  // namespace
}  // namespace quillo::host
