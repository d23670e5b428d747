#include "host/libreoffice/shared_outcome.h"

#include <gtest/gtest.h>

namespace quillo::host::lo {
namespace {

TEST(SharedOutcome, OneCellKeepsItsOwnTextAndSeveralNameTheCellItIsAbout) {
  const std::string blocked = "Blocked: the formula in P6 is in the way";
  EXPECT_EQ(shared_outcome_text({{"History.P3", blocked}}), blocked);
  EXPECT_EQ(shared_outcome_text({{"History.P3", ""}}), "");
  EXPECT_EQ(shared_outcome_text({{"History.P3", ""}, {"Sheet1.A3", ""}}), "");
  EXPECT_EQ(shared_outcome_text({{"History.S3", ""}, {"History.P3", blocked}}),
            "Blocked at History.P3: the formula in P6 is in the way; written for 1 of 2 cells");
  EXPECT_EQ(
      shared_outcome_text(
          {{"A.B2", "Cut at the sheet's edge: 3 rows left out"}, {"A.C2", blocked}, {"A.D2", ""}}),
      "Cut at the sheet's edge at A.B2: 3 rows left out; written for 1 of 3 cells");
  EXPECT_EQ(calc_cell_name("Sheet1", 5, 2), "Sheet1.B5");
  EXPECT_EQ(calc_cell_name("My 'sheet'", 1, 28), "'My ''sheet'''.AB1");
}

}  // namespace
}  // namespace quillo::host::lo
