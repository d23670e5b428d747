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

}  // namespace
}  // namespace quillo::spreadsheet
