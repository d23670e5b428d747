#include "spreadsheet/criteria.h"

#include <gtest/gtest.h>

namespace quillo::spreadsheet {
namespace {

TEST(WildcardMatch, StarQuestionMarkAndTilde) {
  EXPECT_TRUE(wildcard_match("IB*", "ibm"));
  EXPECT_TRUE(wildcard_match("*", ""));
  EXPECT_TRUE(wildcard_match("a*b*c", "aXXbYYbc"));  // the second "*" needs back-tracking
  EXPECT_FALSE(wildcard_match("a*b", "aXXc"));
  EXPECT_TRUE(wildcard_match("?BM", "IBM"));
  EXPECT_FALSE(wildcard_match("?BM", "BM"));
  EXPECT_TRUE(wildcard_match("?ber",
                             "\xC3\xBC"
                             "ber"));  // one character, two bytes
  EXPECT_TRUE(wildcard_match("5~*", "5*"));
  EXPECT_FALSE(wildcard_match("5~*", "50"));
  EXPECT_TRUE(wildcard_match("what~?", "what?"));
  EXPECT_TRUE(wildcard_match("a~~b", "a~b"));
  EXPECT_FALSE(wildcard_match("abc", "abcd"));  // the whole text must match
}

// What a criterion reads after its operator decides which cells it can match.
TEST(Criterion, TheOperandDecidesTheKindOfCellsMatched) {
  struct Case {
    Value criterion, cell;
    bool matches;
  };
  const Case cases[] = {
      {Value(">=2024-01-31"), Value(Date{45322}), true},    // a date typed as text
      {Value(">=2024-01-31"), Value("2024-02-01"), false},  // ordering never reads texts
      {Value("=true"), Value(true), true},
      {Value("=true"), Value("TRUE"), false},
      {Value("<>#N/A"), Value(ErrorCode::NA), false},
      {Value("<>#N/A"), Value(), true},
      {Value(">=5"), Value(), false},
      {Value("5"), Value(" 5 "), true},  // numeric text in a cell equals the number
      {Value(0.3), Value(0.1 + 0.2), true},
      {Value("<0.3"), Value(0.1 + 0.2), false},
      {Value("a?"), Value("AB"), true},
      {Value(">a?"), Value("b"), true},  // wildcards only in "=" and "<>"
      {Value(), Value(0.0), true},       // an empty criterion cell stands for 0
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Criterion(c.criterion).matches(c.cell), c.matches)
        << c.criterion.to_text() << " against " << c.cell.to_text();
  }
}

}  // namespace
}  // namespace quillo::spreadsheet
