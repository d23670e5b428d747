// Number formats beyond what TEXT's formula cases show: codes of any shape
// are safe, and the General format's width rule.
#include "spreadsheet/number_format.h"

#include <gtest/gtest.h>

#include <string>

namespace quillo::spreadsheet {
namespace {

TEST(NumberFormat, CodesOfAnyShapeGiveATextOrNothing) {
  const std::string long_code(10000, '0');
  EXPECT_EQ(format_value(Value(1.5), long_code).value_or("none").size(), 10000u);
  std::string sections;
  for (int i = 0; i < 300; ++i) sections += "0;";
  EXPECT_FALSE(format_value(Value(1.0), sections));
  EXPECT_FALSE(format_value(Value(1.0), "0\"unclosed"));
  EXPECT_FALSE(format_value(Value(1.0), "[Red"));
  EXPECT_FALSE(format_value(Value(1.0), "[>x]0"));
  for (const char* odd : {"\\", "_", "*", "E+", "/", "?/", "0/", ".", ",", "[h", "[]", "@@@",
                          "yyyymmmmmmmm", "0.0E+", "#,,,,,,,", "0/0/0", "[s].000000"}) {
    for (double v : {0.0, -1.5, 1e300, -1e-300, 45000.75}) {
      (void)format_value(Value(v), odd);  // any answer, never a crash
    }
  }
}

TEST(NumberFormat, GeneralFitsElevenCharacters) {
  EXPECT_EQ(format_general(1.0 / 3), "0.333333333");
  EXPECT_EQ(format_general(1234567.891), "1234567.891");
  EXPECT_EQ(format_general(123456789012.0), "1.23457E+11");
  EXPECT_EQ(format_general(-0.5), "-0.5");
  EXPECT_EQ(format_general(1e-12), "1E-12");
  EXPECT_EQ(format_general(0.1 + 0.2), "0.3");
}

TEST(NumberFormat, DatesOutsideTheCalendarDoNotFormat) {
  EXPECT_FALSE(format_value(Value(-1.0), "yyyy-mm-dd"));
  EXPECT_FALSE(format_value(Value(3e6), "d"));
  EXPECT_EQ(format_value(Value(60.0), "yyyy-mm-dd").value_or(""), "1900-02-29");
  EXPECT_EQ(format_value(Value(0.0), "yyyy-mm-dd").value_or(""), "1900-01-00");
}

}  // namespace
}  // namespace quillo::spreadsheet
