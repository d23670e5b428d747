#include "common/dates.h"

#include <gtest/gtest.h>

namespace quillo {
namespace {

TEST(DatesTest, SerialsMatchTheSpreadsheetCalendar) {
  EXPECT_EQ(date_serial(1899, 12, 30), 0);
  EXPECT_EQ(date_serial(1900, 3, 1), 61);
  EXPECT_EQ(date_serial(2010, 1, 4), 40182);
  // Month and day roll over like DATE().
  EXPECT_EQ(date_serial(2009, 13, 4), 40182);
  EXPECT_EQ(date_serial(2010, 1, 0), date_serial(2009, 12, 31));
  EXPECT_EQ(date_serial(2010, 0, 1), date_serial(2009, 12, 1));
}

TEST(DatesTest, RoundTripAndIsoParsing) {
  for (double s : {0.0, 1.0, 40182.0, 60000.0, -700.0}) {
    const CivilDate c = civil_from_serial(s);
    EXPECT_EQ(date_serial(c.year, c.month, c.day), s);
  }
  EXPECT_EQ(civil_from_serial(40182.75), (CivilDate{2010, 1, 4}));
  EXPECT_EQ(parse_iso_date("2010-01-04"), 40182);
  EXPECT_FALSE(parse_iso_date("2010-02-30"));
  EXPECT_FALSE(parse_iso_date("2010-1-4"));
  EXPECT_EQ(parse_iso_date("2012-02-29"), date_serial(2012, 2, 29));
}

}  // namespace
}  // namespace quillo
