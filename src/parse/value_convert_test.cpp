#include "parse/value_convert.h"

#include <gtest/gtest.h>

namespace quillo {
namespace {

Value convert(FieldDef f, Value v) {
  EXPECT_TRUE(value_convert(f, v, nullptr));
  return v;
}

TEST(ValueConvertTest, StepsRunInOrderAroundMarkupStripping) {
  FieldDef f;
  f.parseasvalue = "2";
  f.function = "left";
  f.fparam11 = "3";
  EXPECT_EQ(convert(f, "<td><b>12.5</b>%</td>"), Value("12."));
  f = {};
  f.function = "concat";
  f.fparam11 = "%";
  EXPECT_EQ(convert(f, "5"), Value("5%"));
  f.figureconvert = "1";
  EXPECT_EQ(convert(f, "5"), Value(0.05));
  f = {};
  f.function = "convert2";
  f.fparam11 = "1";
  f.function1 = "convert2";  // the second step works on the first one's result
  f.fparam21 = "2";
  EXPECT_EQ(convert(f, "a(b)c (d)"), Value("#N/A"));
  f.function1 = "";
  EXPECT_EQ(convert(f, "10.5 (3.2%)"), Value("10.5"));  // trailing blank trimmed
  f.fparam11 = "2";
  EXPECT_EQ(convert(f, "10.5 (3.2%)"), Value("3.2%"));
  // A number a step produced reads with 15 digits in the next step, as a cell shows it.
  f = {};
  f.function = "multiply";
  f.fparam11 = "100";
  f.function1 = "concat";
  f.fparam21 = "%";
  EXPECT_EQ(convert(f, "0.0725"), Value("7.25%"));
  // The field's separators reach the figure conversion.
  f = {};
  f.figureconvert = "1";
  f.figures = FigureFormat{",", "."};
  EXPECT_EQ(convert(f, "-1.234,5"), Value(-1234.5));
  f = {};
  f.function = "right";
  f.fparam11 = "4";
  EXPECT_EQ(convert(f, "a€1.5"), Value("€1.5"));  // counts characters, not bytes
  f.parseasvalue = "1";                           // markup is stripped after the steps
  EXPECT_EQ(convert(f, "<i>x</i>"), Value("#N/A"));
}

TEST(ValueConvertTest, OwnConversions) {
  FieldDef f;
  f.function = "multiply";
  f.fparam11 = "100";
  EXPECT_EQ(convert(f, "0.25"), Value("25"));
  EXPECT_EQ(convert(f, "0.0725"), Value("7.25"));  // no binary noise in the text
  EXPECT_EQ(convert(f, "n/a"), Value("0"));
  f.figureconvert = "1";
  EXPECT_EQ(convert(f, "0.25"), Value(25.0));
  f = {};
  f.function = "reu_pct_chng";
  EXPECT_EQ(convert(f, "(+1.5%)"), Value("+1.5%"));
  EXPECT_EQ(convert(f, "x"), Value("x"));
  EXPECT_EQ(convert(f, "()"), Value(""));
  f = {};
  f.function = "unknown";
  EXPECT_EQ(convert(f, "  both ends  "), Value("both ends"));
  f.figureconvert = "1";
  EXPECT_EQ(convert(f, "1,234.5M"), Value(1234.5e6));
}

TEST(ValueConvertTest, BadParametersAbandonTheConversion) {
  FieldDef f;
  f.function = "mid";
  f.fparam11 = "0";
  f.fparam12 = "2";
  Value v = "abc";
  EXPECT_FALSE(value_convert(f, v, nullptr));
  EXPECT_EQ(v, Value("abc"));
  f.function = "left";
  f.fparam11 = "x";
  EXPECT_FALSE(value_convert(f, v, nullptr));
  f.function = "convert4";
  f.fparam11 = "-";
  f.fparam12 = "";
  EXPECT_FALSE(value_convert(f, v, nullptr));
}

// A value that is not text (a JSON answer's number) goes through the steps
// as the text a cell shows of it, and a step's result reaches the next
// step, the markup stripping and the figure as text, whatever its length.
TEST(ValueConvertTest, StepsReadTheTextOfTheValueBeforeThem) {
  FieldDef f;
  f.function = "concat";
  f.fparam11 = " units";
  EXPECT_EQ(convert(f, Value(0.1 + 0.2)), Value("0.3 units"));
  EXPECT_EQ(convert(f, Value(true)), Value("TRUE units"));
  f.function = "left";
  f.fparam11 = "2";
  EXPECT_EQ(convert(f, Value(1234.0)), Value("12"));
  f.figureconvert = "1";
  EXPECT_EQ(convert(f, Value(1234.0)), Value(12.0));
  // A figure made by a step is read again by the next one as its text.
  f = {};
  f.function = "figure_convert";
  f.function1 = "concat";
  f.fparam21 = "K";
  EXPECT_EQ(convert(f, "(1,234.5)"), Value("-1234.5K"));
  f.figureconvert = "1";
  EXPECT_EQ(convert(f, "(1,234.5)"), Value(-1234.5e3));
  // Steps on a cell longer than a short string, markup stripped first.
  f = {};
  f.parseasvalue = "2";
  f.function = "convert4";
  f.fparam11 = " - ";
  f.fparam12 = "2";
  f.function1 = "mid";
  f.fparam21 = "2";
  f.fparam22 = "7";
  f.figureconvert = "1";
  EXPECT_EQ(convert(f, "<td class=\"range\"><b>147.84</b> - <b>$149.00</b> </td>"), Value(149.0));
  f.figureconvert = "";
  f.fparam22 = "40";
  const std::string ys(30, 'y');
  EXPECT_EQ(convert(f, "<td>1 - x<i>&amp;</i>" + ys + " </td>"), Value("&amp; " + ys));
  // Markup stripped after the steps: the step's result is what is stripped.
  f = {};
  f.function = "convert2";
  f.fparam11 = "2";
  f.parseasvalue = "1";
  EXPECT_EQ(convert(f, "x (<b>12</b><i>%</i>) y"), Value("12 %"));
  // A second step that fails leaves the first one's result.
  f = {};
  f.function = "reu_pct_chng";
  f.function1 = "left";
  f.fparam21 = "-1";
  Value v = "[5.25%]";
  EXPECT_FALSE(value_convert(f, v, nullptr));
  EXPECT_EQ(v, Value("5.25%"));
}

TEST(ValueConvertTest, RowCheckLooksBackInTheCurrentTable) {
  cls_parsetable t;
  t.set_table("<tr><td>EPS reported</td><td>1.1</td></tr><tr><td>other</td><td>2.2</td></tr>");
  t.do_parse(false);
  FieldDef f;
  f.rowvalue = "2";
  f.colvalue = "2";
  EXPECT_EQ(reu_pcheck("v", f, "other", 0, &t), Value("v"));
  EXPECT_EQ(reu_pcheck("v", f, "eps", 1, &t), Value("1.1"));
  EXPECT_EQ(reu_pcheck("v", f, "eps", 0, &t), Value("#N/A"));
  EXPECT_EQ(reu_pcheck("v", f, "eps", 1, nullptr), Value("#N/A"));
  f.rowvalue = "label";
  EXPECT_FALSE(reu_pcheck("v", f, "eps", 1, &t));
  // As a step: the cell it gives is converted further.
  f.rowvalue = "2";
  f.function = "reu_pcheck";
  f.fparam11 = "eps";
  f.fparam12 = "1";
  f.figureconvert = "1";
  Value v = "9.9";
  EXPECT_TRUE(value_convert(f, v, &t));
  EXPECT_EQ(v, Value(1.1));
  f.fparam11 = "other";
  v = "  9.9 ";
  EXPECT_TRUE(value_convert(f, v, &t));
  EXPECT_EQ(v, Value(9.9));
  f.fparam11 = "none";
  f.figureconvert = "";
  EXPECT_TRUE(value_convert(f, v, &t));
  EXPECT_EQ(v, Value("#N/A"));
}

}  // namespace
}  // namespace quillo
