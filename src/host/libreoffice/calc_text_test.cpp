#include "host/libreoffice/calc_text.h"

#include <gtest/gtest.h>

namespace quillo::host::lo {
namespace {

TEST(CalcText, ArgumentsOfACallAreSplitOutsideQuotesAndNesting) {
  std::vector<std::string> args;
  ASSERT_TRUE(
      formula_arguments("=ORG.QUILLO.CALC.FHISTORY(\"IBM\";\"a;b\"\"c\"; $Sheet2.A1 ;"
                        "DATE(2024;1;1);;{1;2})",
                        "fhistory", args));
  EXPECT_EQ(args, (std::vector<std::string>{"\"IBM\"", "\"a;b\"\"c\"", "$Sheet2.A1",
                                            "DATE(2024;1;1)", "", "{1;2}"}));
  std::string text;
  ASSERT_TRUE(text_literal(args[1], text));
  EXPECT_EQ(text, "a;b\"c");
  EXPECT_FALSE(text_literal("\"a\"&\"b\"", text));
  EXPECT_FALSE(text_literal("A1", text));
}

TEST(CalcText, OnlyARealCallOfThatFunctionCounts) {
  std::vector<std::string> args;
  EXPECT_FALSE(formula_arguments("=\"ORG.QUILLO.CALC.FSINGLE(1)\"", "fsingle", args));
  EXPECT_FALSE(formula_arguments("=ORG.QUILLO.CALC.FSINGLEX(1)", "fsingle", args));
  EXPECT_FALSE(formula_arguments("=ORG.QUILLO.CALC.FSINGLE(1;2", "fsingle", args));
  ASSERT_TRUE(formula_arguments("=1+org.quillo.calc.fsingle(\"X\",A1)*2", "FSINGLE", args));
  EXPECT_EQ(args, (std::vector<std::string>{"\"X\"", "A1"}));
  ASSERT_TRUE(formula_arguments("=ORG.QUILLO.CALC.WLINK()", "wlink", args));
  EXPECT_TRUE(args.empty());
  EXPECT_TRUE(calls_quillo("=SUM(org.quillo.calc.sma(A1:F9;5))"));
  EXPECT_FALSE(calls_quillo("=SUM(A1:A3)"));
}

TEST(CalcText, ACallNestedInAnotherWritingCallWritesNoTable) {
  const std::string nested =
      "=ORG.QUILLO.CALC.SMA($Sheet1.A2:B14;3+0*LEN(ORG.QUILLO.CALC.FHISTORY(\"ODD\";\"Y\";"
      "\"DATE,CLOSE\";DATE(2024;7;1))))";
  EXPECT_TRUE(nested_in_writing_call(nested, "fhistory"));
  EXPECT_FALSE(nested_in_writing_call(nested, "SMA"));
  std::vector<std::string> args;
  ASSERT_TRUE(formula_arguments(nested, "FHISTORY", args));
  EXPECT_EQ(args.size(), 4U);
  // Value-only calls and Calc's own functions around a history leave its
  // table in place; a closed call before it does not enclose it.
  EXPECT_FALSE(nested_in_writing_call(
      "=ORG.QUILLO.CALC.FSINGLE(\"X\";LEN(ORG.QUILLO.CALC.FHISTORY(\"ODD\")))", "FHISTORY"));
  EXPECT_FALSE(nested_in_writing_call("=IF(A1;ORG.QUILLO.CALC.FHISTORY(\"ODD\");0)", "FHISTORY"));
  EXPECT_FALSE(nested_in_writing_call(
      "=ORG.QUILLO.CALC.RSI(A1:B9;3)+ORG.QUILLO.CALC.FHISTORY(\"ODD\")", "FHISTORY"));
  // A name inside a quoted text opens nothing.
  EXPECT_FALSE(nested_in_writing_call(
      "=IF(\"ORG.QUILLO.CALC.SMA(\"=\"\";ORG.QUILLO.CALC.FHISTORY(\"ODD\"))", "FHISTORY"));
  EXPECT_TRUE(nested_in_writing_call(
      "=ORG.QUILLO.CALC.FHISTORY(\"A\";ORG.QUILLO.CALC.FSINGLE(ORG.QUILLO.CALC.EMA(A1:B9;2)))",
      "EMA"));
}

TEST(CalcText, WholeColumnsAndRowsBecomeRangesOfCells) {
  EXPECT_EQ(whole_lines_address("A:F", 1048576, 16384), "A1:F1048576");
  EXPECT_EQ(whole_lines_address("$A:$F", 1048576, 16384), "$A1:$F1048576");
  EXPECT_EQ(whole_lines_address("3:5", 1048576, 16384), "A3:XFD5");
  EXPECT_EQ(whole_lines_address("$3:$5", 1048576, 1024), "A$3:AMJ$5");
  EXPECT_EQ(whole_lines_address("A1:F9", 1048576, 16384), "A1:F9");
  EXPECT_EQ(whole_lines_address("A:5", 1048576, 16384), "A:5");
  EXPECT_EQ(whole_lines_address("B7", 1048576, 16384), "B7");
}

TEST(CalcText, EveryMenuCommandNamesAnEntryOfTheEngineMenu) {
  EXPECT_EQ(menu_caption("UpdateData"), "Update data");
  EXPECT_EQ(menu_caption("updatedata"), "Update data");
  EXPECT_EQ(menu_caption("Format"), "");
  EXPECT_EQ(std::size(kMenuCommands), 10u);
}

}  // namespace
}  // namespace quillo::host::lo
