#include "parse/link_text.h"

#include <gtest/gtest.h>

namespace quillo {
namespace {

TEST(LinkTextTest, DecimalCommasAreReadWhereTheyCannotGroupDigits) {
  const LinkSeparators automatic;
  struct Case {
    const char* text;
    std::optional<double> number;
  };
  const Case cases[] = {{"-0,75", -0.75},
                        {"0,075", 0.075},
                        {"12,5", 12.5},
                        {"1234,567", 1234.567},
                        {"1,234", 1234.0},
                        {"1,234,567", 1234567},
                        {"1,234.5", 1234.5},
                        {"(0,5)", -0.5},
                        {"$1,234", 1234.0},
                        {"12,50 \xE2\x82\xAC", 12.5},
                        {"1,2,3", std::nullopt},
                        {"1,23,456", std::nullopt},
                        {"1,234,5", std::nullopt},
                        {"1.234,5", std::nullopt},
                        {",5", std::nullopt},
                        {"12.50", 12.5},
                        {"AT&T", std::nullopt}};
  for (const Case& c : cases) EXPECT_EQ(link_number(c.text, automatic), c.number) << c.text;

  // Separators named with the link, as a source names them.
  const LinkSeparators european{",", "."};
  EXPECT_EQ(link_number("1.234,56", european), 1234.56);
  EXPECT_EQ(link_number("-0,075", european), -0.075);
  const LinkSeparators swiss{".", "'"};
  EXPECT_EQ(link_number("1'234.5", swiss), 1234.5);
  EXPECT_EQ(link_number("1,5", swiss), std::nullopt);
}

TEST(LinkTextTest, EntitiesAreDecodedInAnyLetterCase) {
  EXPECT_EQ(decode_link_text("AT&AMP;T"), "AT&T");
  EXPECT_EQ(decode_link_text("$&NBSP;12.50"), "$12.50");
  EXPECT_EQ(decode_link_text("$&nbsp;12.50", true), "$ 12.50");
  EXPECT_EQ(decode_link_text("12,50&EURO;"), "12,50\xE2\x82\xAC");
  EXPECT_EQ(decode_link_text("&#36;5 &#X20AC;\n\t1\xC2\xA0"
                             "000"),
            "$5 \xE2\x82\xAC"
            "1000");
  // Not references: kept as written.
  EXPECT_EQ(decode_link_text("R&D &unknown; & &#xZZ; &;"), "R&D &unknown; & &#xZZ; &;");
}

TEST(LinkTextTest, TheFirstTextRunOfAnElement) {
  std::size_t length = 0;
  EXPECT_EQ(first_text_run("<td>\n\t<b>AT&amp;T</b> x</td>", &length), 9u);
  EXPECT_EQ(length, 8u);
  EXPECT_EQ(first_text_run("<td><br></td>", &length), std::string_view::npos);
}

}  // namespace
}  // namespace quillo
