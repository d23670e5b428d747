#include "spreadsheet/model.h"

#include <gtest/gtest.h>

#include "spreadsheet/find_replace.h"
#include "spreadsheet/handles.h"

namespace quillo::spreadsheet {
namespace {

class ModelTest : public testing::Test {
 protected:
  ModelTest() {
    book = model->add_book();
    sheet = model->add_sheet(book).value();
  }
  void set(std::int32_t r, std::int32_t c, std::string_view text) {
    ASSERT_TRUE(model->set_formula(sheet, r, c, text, Notation::A1).ok()) << text;
  }
  double num(std::int32_t r, std::int32_t c) {
    const Value v = model->value(sheet, r, c);
    return v.is_number() ? v.number() : -1e300;
  }

  std::shared_ptr<Model> model = std::make_shared<Model>();
  BookId book;
  SheetId sheet;
};

TEST(ModelOwnership, AModelOnTheStackEvaluatesRangeArguments) {
  Model model;
  const BookId book = model.add_book();
  const SheetId sheet = model.add_sheet(book).value();
  ASSERT_TRUE(model.set_value(sheet, 1, 1, Value(2.0)).ok());
  ASSERT_TRUE(model.set_value(sheet, 2, 1, Value(3.0)).ok());
  ASSERT_TRUE(model.set_formula(sheet, 1, 2, "=SUM(A1:A2)*INDEX(A1:A2,2)", Notation::A1).ok());
  EXPECT_EQ(model.value(sheet, 1, 2), Value(15.0));
}

// A chain far longer than any call stack could recurse through.
TEST_F(ModelTest, LongChainRecalculatesWithoutRecursion) {
  constexpr std::int32_t kN = 100000;
  set(1, 1, "1");
  for (std::int32_t r = 2; r <= kN; ++r) set(r, 1, "=A" + std::to_string(r - 1) + "+1");
  EXPECT_EQ(num(kN, 1), kN);
  set(1, 1, "5");
  EXPECT_EQ(num(kN, 1), kN + 4);

  // Built bottom-up in manual mode, the whole chain is dirty at once and the
  // walk must order it itself.
  model->set_calculation(host::Calculation::Manual);
  set(1, 1, "0");
  EXPECT_TRUE(model->is_dirty(sheet, kN, 1));
  model->set_calculation(host::Calculation::Automatic);
  EXPECT_EQ(num(kN, 1), kN - 1);
  EXPECT_FALSE(model->is_dirty(sheet, kN, 1));
}

TEST_F(ModelTest, LongCycleIsReportedOnceAndKeepsValues) {
  constexpr std::int32_t kN = 20000;
  for (std::int32_t r = 2; r <= kN; ++r) {
    set(r, 1, "=A" + std::to_string(r - 1) + "+$B$1");
  }
  set(1, 2, "1");
  EXPECT_EQ(num(kN, 1), kN - 1);
  set(1, 1, "=A" + std::to_string(kN) + "+1");  // closes the loop
  EXPECT_EQ(model->circular_references().size(), static_cast<std::size_t>(kN));
  EXPECT_EQ(num(kN, 1), kN - 1);  // kept
  set(1, 2, "2");                 // every cell of the cycle is dirty again: still no hang
  EXPECT_EQ(model->circular_references().size(), static_cast<std::size_t>(kN));
  set(1, 1, "0");  // broken
  EXPECT_TRUE(model->circular_references().empty());
  EXPECT_EQ(num(kN, 1), 2.0 * (kN - 1));
}

TEST_F(ModelTest, WideFanOutFollowsOneCell) {
  constexpr std::int32_t kN = 100000;
  set(1, 1, "2");
  for (std::int32_t r = 1; r <= kN; ++r) set(r, 2, "=$A$1*" + std::to_string(r));
  set(1, 3, "=SUM(B:B)");
  set(1, 1, "3");
  EXPECT_EQ(num(kN, 2), 3.0 * kN);
  EXPECT_EQ(num(1, 3), 3.0 * kN * (kN + 1) / 2);
  // Replacing every formula (one block write, one recalculation) leaves no
  // stale dependents behind.
  Array sevens{kN, 1, std::vector<Value>(kN, Value(7.0))};
  ASSERT_TRUE(model->set_values(sheet, 1, 2, sevens).ok());
  set(1, 1, "4");
  EXPECT_EQ(num(1, 3), 7.0 * kN);
}

TEST_F(ModelTest, RangeDependentsAcrossBlockBoundaries) {
  set(1, 1, "=SUM(B250:B260)");   // spans two blocks of rows
  set(2, 1, "=SUM(B1:D100000)");  // too large for blocks
  set(3, 1, "=B256");
  set(256, 2, "4");
  set(260, 2, "1");
  set(99999, 4, "10");
  EXPECT_EQ(num(1, 1), 5);
  EXPECT_EQ(num(2, 1), 15);
  EXPECT_EQ(num(3, 1), 4);
  set(1, 1, "0");  // the range reference is forgotten with its formula
  set(256, 2, "5");
  EXPECT_EQ(num(1, 1), 0);
  EXPECT_EQ(num(3, 1), 5);
}

// A range written with its sheet on both ends (S!A1:S!A2, as files from
// other programs may hold it) is one reference on that sheet, whole columns
// and rows too: it reads the cells between, follows their changes and
// writes back with the sheet once. A sheet name alone after the colon is
// still no range.
TEST_F(ModelTest, RangeWithTheSheetOnBothEndsReadsTheCellsBetween) {
  ASSERT_TRUE(model->rename_sheet(sheet, "My S").ok());
  set(1, 1, "1");
  set(2, 1, "2");
  set(1, 2, "=SUM('My S'!A1:'my s'!A2)");
  set(2, 2, "=SUM('My S'!A1:'My S'!$A$5)");
  set(3, 2, "=COUNT('My S'!A:'My S'!A)");
  set(4, 2, "=SUM(A1:'My S'!A2)");
  set(10, 3, "=ROWS('My S'!1:'My S'!3)");
  EXPECT_EQ(num(1, 2), 3);
  EXPECT_EQ(num(2, 2), 3);
  EXPECT_EQ(num(3, 2), 2);
  EXPECT_EQ(num(4, 2), 3);
  EXPECT_EQ(num(10, 3), 3);
  set(2, 1, "5");
  set(3, 1, "6");
  EXPECT_EQ(num(1, 2), 6);
  EXPECT_EQ(num(2, 2), 12);
  EXPECT_EQ(num(3, 2), 3);
  EXPECT_EQ(model->formula_text(sheet, 1, 2, Notation::A1), "=SUM('My S'!A1:A2)");
  EXPECT_EQ(model->formula_text(sheet, 3, 2, Notation::A1), "=COUNT('My S'!A:A)");
  EXPECT_FALSE(model->set_formula(sheet, 5, 2, "=SUM(A1:'My S'!)", Notation::A1).ok());
  EXPECT_FALSE(model->set_formula(sheet, 5, 2, "=SUM(A1:'My S)", Notation::A1).ok());
}

TEST_F(ModelTest, FormulasReadingADeletedSheetAreRefErrors) {
  set(1, 1, "5");
  set(1, 2, "=#REF!A1+1");
  set(2, 2, "=IFERROR(SUM(#REF!A1:B2),7)");
  set(3, 2, "=B1&A1");
  EXPECT_EQ(model->value(sheet, 1, 2), Value(ErrorCode::Ref));
  EXPECT_EQ(num(2, 2), 7);
  EXPECT_EQ(model->value(sheet, 3, 2), Value(ErrorCode::Ref));
  set(1, 1, "6");  // the cell the lost reference named is not read
  EXPECT_EQ(model->value(sheet, 1, 2), Value(ErrorCode::Ref));
}

TEST_F(ModelTest, DeepFormulaEvaluatesWithinTheStack) {
  std::string f = "=" + std::string(kMaxFormulaHeight - 2, '(') + "A2" +
                  std::string(kMaxFormulaHeight - 2, ')');
  set(1, 1, f);
  set(2, 1, "3");
  EXPECT_EQ(num(1, 1), 3);
  std::string chain = "=0";
  for (int i = 0; i < 500; ++i) chain += "+A2";
  set(3, 1, chain);
  EXPECT_EQ(num(3, 1), 1500);
}

TEST_F(ModelTest, SheetNamesAndVisibilityRules) {
  EXPECT_FALSE(model->add_sheet(book, "sheet1").ok());  // taken, any letter case
  EXPECT_FALSE(model->add_sheet(book, "a:b").ok());
  EXPECT_FALSE(model->add_sheet(book, std::string(32, 'x')).ok());
  EXPECT_FALSE(model->add_sheet(book, "'quoted").ok());
  EXPECT_EQ(model->sheet_name(model->add_sheet(book).value()), "Sheet2");
  const SheetId data = model->add_sheet(book, "weblinks_data").value();
  EXPECT_TRUE(model->set_visibility(data, host::Visibility::Hidden).ok());
  const SheetId second = model->find_sheet(book, "SHEET2");
  EXPECT_TRUE(model->remove_sheet(second).ok());
  // Sheet1 is now the only visible sheet: it can be neither hidden nor deleted.
  EXPECT_FALSE(model->set_visibility(sheet, host::Visibility::Hidden).ok());
  EXPECT_FALSE(model->remove_sheet(sheet).ok());
  EXPECT_TRUE(model->remove_sheet(data).ok());
  EXPECT_TRUE(model->rename_sheet(sheet, "Prices").ok());
  EXPECT_EQ(model->find_sheet(book, "prices"), sheet);
}

TEST_F(ModelTest, SheetOrderIsSetWholeOrNotAtAll) {
  const SheetId two = model->add_sheet(book, "Two").value();
  const SheetId three = model->add_sheet(book, "Three").value();
  ASSERT_TRUE(model->set_sheet_order(book, {three, sheet, two}).ok());
  EXPECT_EQ(model->book(book)->sheets, (std::vector<SheetId>{three, sheet, two}));
  EXPECT_EQ(model->sheets_between(three, sheet), (std::vector<SheetId>{three, sheet}));
  // A sheet left out, named twice or of no such book: refused, order kept.
  for (const std::vector<SheetId>& bad :
       {std::vector<SheetId>{two, sheet}, std::vector<SheetId>{two, two, sheet, three},
        std::vector<SheetId>{two, sheet, three + 100}}) {
    EXPECT_FALSE(model->set_sheet_order(book, bad).ok());
  }
  EXPECT_EQ(model->book(book)->sheets, (std::vector<SheetId>{three, sheet, two}));
  EXPECT_FALSE(model->set_sheet_order(book + 100, {}).ok());
}

TEST_F(ModelTest, BlocksOfValuesAreWrittenAsTypedEntry) {
  set(1, 5, "=SUM(A1:C2)");
  Array block{2, 3, {Value("1"), Value(2), Value("x"), Value("2010-01-04"), Value(true), Value()}};
  ASSERT_TRUE(model->set_values(sheet, 1, 1, block).ok());
  EXPECT_EQ(model->value(sheet, 1, 1), Value(1.0));
  EXPECT_EQ(model->value(sheet, 1, 2), Value(2.0));
  EXPECT_EQ(model->value(sheet, 2, 1).type(), ValueType::Date);
  EXPECT_EQ(model->number_format(sheet, 2, 1), "yyyy-mm-dd");
  EXPECT_EQ(model->number_format(sheet, 1, 1), "General");
  EXPECT_EQ(num(1, 5), 3 + 40182);
  EXPECT_FALSE(model->set_values(sheet, kMaxRows, 1, block).ok());
}

TEST_F(ModelTest, FindSearchesFromAfterTheFirstCellAndReplaceRewritesFormulas) {
  set(1, 1, "='/old/tarnvale.xla'!fsingle(\"IBM\",\"SMP.QUO.LAST\")");
  set(3, 2, "=tarnvale_note&\"x\"");
  set(2, 1, "plain tarnvale.xla text");
  const Box all{1, 1, kMaxRows, kMaxCols};
  const auto found = find_cell(*model, sheet, all, "TARNVALE.XLA", {});
  ASSERT_TRUE(found);
  EXPECT_EQ(found->row, 2);  // A1 is searched last
  EXPECT_FALSE(find_cell(*model, sheet, all, "nothing", {}));

  EXPECT_EQ(link_sources(*model, book), std::vector<std::string>{"/old/tarnvale.xla"});
  host::ReplaceOptions options;
  options.look_at = host::LookAt::Part;
  auto replaced = replace_in_cells(*model, sheet, all, "'/OLD/tarnvale.xla'!", "", options);
  ASSERT_TRUE(replaced.ok());
  EXPECT_TRUE(replaced.value());
  EXPECT_EQ(model->formula_text(sheet, 1, 1, Notation::A1), "=fsingle(\"IBM\",\"SMP.QUO.LAST\")");
  EXPECT_TRUE(link_sources(*model, book).empty());
  // A replacement that would break a formula leaves it alone.
  EXPECT_FALSE(replace_in_cells(*model, sheet, all, "SMP.QUO.LAST\")", "(", options).value());
}

TEST_F(ModelTest, HandlesFailWithObjectRequiredOnceTheSheetIsGone) {
  const SheetId other = model->add_sheet(book, "Other").value();
  host::RangePtr r = make_range(model, other, Box{1, 1, 2, 2});
  host::WorksheetPtr s = make_sheet(model, other);
  ASSERT_TRUE(r->set_value(Value(1.0)).ok());
  EXPECT_EQ(r->value().value().array().items.size(), 4u);
  ASSERT_TRUE(s->remove().ok());
  EXPECT_TRUE(r->formula().status().is_object_required());
  EXPECT_TRUE(r->set_formula("=1").is_object_required());
  EXPECT_TRUE(r->row().status().is_object_required());
  EXPECT_TRUE(r->worksheet().status().is_object_required());
  EXPECT_TRUE(s->name().status().is_object_required());
  EXPECT_TRUE(s->calculate().is_object_required());
  EXPECT_EQ(r->values().items.front(), Value(ErrorCode::Ref));

  host::WorkbookPtr b = make_book(model, book);
  host::RangePtr a1 = make_range(model, sheet, Box{1, 1, 1, 1});
  ASSERT_TRUE(b->close(false).ok());
  EXPECT_TRUE(a1->value().status().is_object_required());
  EXPECT_TRUE(b->name().status().is_object_required());
  model.reset();  // even the spreadsheet itself
  EXPECT_TRUE(a1->set_value(Value(1.0)).is_object_required());
}

TEST_F(ModelTest, RangeWritesFillBlocksRelativeToEachCell) {
  host::RangePtr r = make_range(model, sheet, Box{1, 2, 3, 2});
  set(1, 1, "1");
  set(2, 1, "2");
  set(3, 1, "3");
  ASSERT_TRUE(r->set_formula("=A1*10").ok());
  EXPECT_EQ(model->formula_text(sheet, 3, 2, Notation::A1), "=A3*10");
  EXPECT_EQ(num(3, 2), 30);
  ASSERT_TRUE(r->set_number_format("0.00").ok());
  EXPECT_EQ(r->number_format().value(), "0.00");
  ASSERT_TRUE(r->clear_contents().ok());
  EXPECT_TRUE(model->value(sheet, 2, 2).is_empty());
  EXPECT_EQ(model->number_format(sheet, 2, 2), "0.00");  // formats stay
  EXPECT_EQ(r->cell(2, 1).value()->address().value(), "$B$2");
  EXPECT_EQ(r->address(true).value(), "Sheet1!$B$1:$B$3");
}

}  // namespace
}  // namespace quillo::spreadsheet

namespace quillo::spreadsheet {
namespace {

// Random edits of a small grid of formulas: after every edit, automatic
// recalculation must agree with a forced recalculation of everything.
TEST(ModelRandomised, IncrementalRecalculationAgreesWithFullRecalculation) {
  std::uint32_t seed = 12345;
  auto next = [&seed](std::uint32_t n) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) % n;
  };
  auto model = std::make_shared<Model>();
  const BookId book = model->add_book();
  const SheetId s1 = model->add_sheet(book).value();
  const SheetId s2 = model->add_sheet(book, "Two").value();
  auto cell_name = [&](std::uint32_t r, std::uint32_t c) {
    return std::string(1, static_cast<char>('A' + c)) + std::to_string(r + 1);
  };
  auto random_formula = [&]() -> std::string {
    switch (next(6)) {
      case 0:
        return std::to_string(next(10));
      case 1:
        return "=" + cell_name(next(6), next(4)) + "+" + std::to_string(next(5));
      case 2:
        return "=SUM(" + cell_name(next(6), next(4)) + ":" + cell_name(next(6), next(4)) + ")";
      case 3:
        return "=Two!" + cell_name(next(6), next(4)) + "*2";
      case 4:
        return "=IF(" + cell_name(next(6), next(4)) + ">3," + cell_name(next(6), next(4)) + ",1)";
      default:
        return "";
    }
  };
  for (int step = 0; step < 600; ++step) {
    const SheetId target = next(3) == 0 ? s2 : s1;
    const auto r = static_cast<std::int32_t>(next(6)) + 1,
               c = static_cast<std::int32_t>(next(4)) + 1;
    ASSERT_TRUE(model->set_formula(target, r, c, random_formula(), Notation::A1).ok());
    if (!model->circular_references().empty()) {
      // Cells on a cycle keep whatever they had: nothing to compare.
      for (int c2 = 1; c2 <= 4; ++c2) {
        for (int r2 = 1; r2 <= 6; ++r2) {
          EXPECT_TRUE(model->set_formula(s1, r2, c2, "", Notation::A1).ok());
          EXPECT_TRUE(model->set_formula(s2, r2, c2, "", Notation::A1).ok());
        }
      }
      continue;
    }
    std::vector<Value> incremental;
    for (SheetId s : {s1, s2}) {
      for (int c2 = 1; c2 <= 4; ++c2) {
        for (int r2 = 1; r2 <= 6; ++r2) incremental.push_back(model->value(s, r2, c2));
      }
    }
    for (SheetId s : {s1, s2}) {
      EXPECT_TRUE(model->set_enable_calculation(s, false).ok());
      EXPECT_TRUE(model->set_enable_calculation(s, true).ok());
      EXPECT_TRUE(model->calculate_sheet(s).ok());
    }
    std::size_t i = 0;
    for (SheetId s : {s1, s2}) {
      for (int c2 = 1; c2 <= 4; ++c2) {
        for (int r2 = 1; r2 <= 6; ++r2) {
          ASSERT_EQ(model->value(s, r2, c2), incremental[i++])
              << "step " << step << " sheet " << s << " " << cell_name(r2 - 1, c2 - 1);
        }
      }
    }
  }
}

// A column (or row) of formulas of one shape holds one parsed formula, and
// each cell still reads, computes and writes as its own.
TEST_F(ModelTest, FormulasOfOneShapeShareOneParsedFormula) {
  for (std::int32_t r = 1; r <= 6; ++r) set(r, 1, std::to_string(r));
  for (std::int32_t r = 2; r <= 6; ++r) {
    set(r, 2, "=A" + std::to_string(r) + "-A" + std::to_string(r - 1));
  }
  set(1, 3, "=A1*2");
  set(1, 4, "=B1*2");  // the same shape one column to the right
  const FormulaPtr first = model->formula_at(CellAddr{sheet, 2, 2});
  for (std::int32_t r = 3; r <= 6; ++r) EXPECT_EQ(model->formula_at(CellAddr{sheet, r, 2}), first);
  EXPECT_EQ(model->formula_at(CellAddr{sheet, 1, 4}), model->formula_at(CellAddr{sheet, 1, 3}));
  // A loader is offered the neighbour's formula for a cell it is about to fill.
  const auto parsed =
      parse_formula("=A7-A6", Notation::A1, 7, 2, [](std::string_view) { return 0; });
  ASSERT_TRUE(parsed.ok());
  EXPECT_EQ(model->shared_formula(sheet, 7, 2, parsed.value()), first);
  EXPECT_EQ(model->formula_text(sheet, 5, 2, Notation::A1), "=A5-A4");
  EXPECT_EQ(model->formula_text(sheet, 5, 2, Notation::R1C1),
            model->formula_text(sheet, 3, 2, Notation::R1C1));

  // Changing one cell of the column changes that cell only.
  set(4, 2, "=A4*10");
  set(4, 1, "100");
  EXPECT_EQ(num(4, 2), 1000);
  EXPECT_EQ(num(5, 2), 5 - 100);
  EXPECT_EQ(num(3, 2), 1);
  EXPECT_EQ(model->formula_text(sheet, 3, 2, Notation::A1), "=A3-A2");
  EXPECT_EQ(model->formula_at(CellAddr{sheet, 5, 2}), first);
  // Absolute references are part of the shape: =$A$1 is not =A1 moved.
  set(7, 2, "=$A$6-$A$5");
  EXPECT_NE(model->formula_at(CellAddr{sheet, 7, 2}), first);
  EXPECT_EQ(num(7, 2), 1);
}

// A formula entered above, below or beside one of its shape shares it, a
// chunk of the column apart too; a value or an array formula there is no
// formula to share.
TEST_F(ModelTest, FormulaSharesTheShapeOfTheCellBelowItAcrossChunks) {
  set(64, 2, "=A64+1");  // rows 1-63 and 64-127 are kept apart
  set(63, 2, "=A63+1");
  const FormulaPtr below = model->formula_at(CellAddr{sheet, 64, 2});
  EXPECT_EQ(model->formula_at(CellAddr{sheet, 63, 2}), below);
  set(62, 2, "=A62+1");
  EXPECT_EQ(model->formula_at(CellAddr{sheet, 62, 2}), below);
  set(2, 2, "=A2+1");
  set(1, 2, "=A1+1");  // nothing above row 1
  EXPECT_EQ(model->formula_at(CellAddr{sheet, 1, 2}), model->formula_at(CellAddr{sheet, 2, 2}));
  // A value below is no formula; nor is one above once it is a value.
  set(11, 3, "5");
  set(10, 3, "=B10*2");
  set(9, 3, "=B9*2");
  EXPECT_EQ(model->formula_at(CellAddr{sheet, 9, 3}), model->formula_at(CellAddr{sheet, 10, 3}));
  set(10, 3, "7");
  set(8, 3, "=B8*2");
  EXPECT_EQ(model->formula_at(CellAddr{sheet, 8, 3}), model->formula_at(CellAddr{sheet, 9, 3}));
  set(10, 3, "=B10*2");
  EXPECT_EQ(model->formula_at(CellAddr{sheet, 10, 3}), model->formula_at(CellAddr{sheet, 9, 3}));
  // The cell's own formula is never reused, from above or below.
  const FormulaPtr own = model->formula_at(CellAddr{sheet, 63, 2});
  set(63, 2, "=A63+1");
  EXPECT_NE(model->formula_at(CellAddr{sheet, 63, 2}), own);
  EXPECT_EQ(num(63, 2), 1);
}

// A column filled down shares the parse of the cell above, but never where
// parsing again would read the workbook differently.
TEST_F(ModelTest, FilledDownFormulasShareTheParseAboveOnlyWhenItReadsTheSame) {
  Array block{4, 1, {}};
  for (std::int32_t r = 1; r <= 4; ++r) block.items.emplace_back("=A" + std::to_string(r) + "+1");
  ASSERT_TRUE(model->set_values(sheet, 1, 2, block).ok());
  EXPECT_EQ(model->formula_at(CellAddr{sheet, 4, 2}), model->formula_at(CellAddr{sheet, 1, 2}));
  EXPECT_EQ(model->formula_text(sheet, 4, 2, Notation::A1), "=A4+1");
  EXPECT_EQ(num(4, 2), 1);
  // A sheet named before it exists reads as #REF!; once it exists, the
  // formula and the same entered below read it.
  set(1, 3, "=Later!A1");
  EXPECT_EQ(model->value(sheet, 1, 3), Value(ErrorCode::Ref));
  ASSERT_TRUE(model->add_sheet(book, "Later").ok());
  const SheetId later = model->find_sheet(book, "Later");
  ASSERT_TRUE(model->set_value(later, 2, 1, Value(7.0)).ok());
  set(2, 3, "=Later!A2");
  EXPECT_EQ(num(1, 3), 0);
  EXPECT_EQ(num(2, 3), 7);
  // Re-entering a cell's own formula gives it a fresh one, as before.
  const FormulaPtr shared = model->formula_at(CellAddr{sheet, 3, 2});
  set(3, 2, "=A3+1");
  EXPECT_NE(model->formula_at(CellAddr{sheet, 3, 2}), shared);
  EXPECT_EQ(num(3, 2), 1);
  // Texts alike share it, a text with quotes in it too; another text reads
  // as itself.
  set(1, 4, "=LEN(\"a\"\"b\")&\"x\"");
  set(2, 4, "=LEN(\"a\"\"b\")&\"x\"");
  set(3, 4, "=LEN(\"a\"\"b\")&\"xy\"");
  EXPECT_EQ(model->formula_at(CellAddr{sheet, 2, 4}), model->formula_at(CellAddr{sheet, 1, 4}));
  EXPECT_NE(model->formula_at(CellAddr{sheet, 3, 4}), model->formula_at(CellAddr{sheet, 2, 4}));
  EXPECT_EQ(model->value(sheet, 2, 4), Value("3x"));
  EXPECT_EQ(model->value(sheet, 3, 4), Value("3xy"));
}

// Loading keeps what cells hold, not what a file claims about them: empty
// cells that only carry a style are left to the file.
TEST_F(ModelTest, LoadedCellsCostWhatTheyHold) {
  ASSERT_TRUE(model->restore_cell(sheet, 3, 2, Value(1.5), nullptr, "0.00", false).ok());
  ASSERT_TRUE(
      model->restore_cell(sheet, kMaxRows, kMaxCols, Value("far"), nullptr, "", false).ok());
  // Empty cells with nothing but a style are the file's business, not cells.
  for (std::int32_t r = 1; r <= 5000; ++r) {
    ASSERT_TRUE(model->restore_cell(sheet, r, 6, Value(), nullptr, "", false).ok());
  }
  EXPECT_EQ(model->sheet(sheet)->cells.size(), 2u);
  // Empty cells with a number format stay: a value written later shows in it.
  for (std::int32_t r = 1; r <= 100; ++r) {
    ASSERT_TRUE(model->restore_cell(sheet, r, 5, Value(), nullptr, "yyyy-mm-dd", false).ok());
  }
  ASSERT_TRUE(model->set_value(sheet, 7, 5, Value(45000.0)).ok());
  EXPECT_EQ(model->number_format(sheet, 7, 5), "yyyy-mm-dd");
  // A styled empty cell written over a value empties it and keeps the format.
  ASSERT_TRUE(model->restore_cell(sheet, 3, 2, Value(), nullptr, "0.00", false).ok());
  EXPECT_EQ(model->value(sheet, 3, 2), Value());
  EXPECT_EQ(model->number_format(sheet, 3, 2), "0.00");
  EXPECT_EQ(model->sheet(sheet)->cells.size(), 102u);
  EXPECT_EQ(model->value(sheet, kMaxRows, kMaxCols), Value("far"));
  EXPECT_EQ(model->extent(sheet), std::make_pair(kMaxRows, kMaxCols));
}

}  // namespace
}  // namespace quillo::spreadsheet
