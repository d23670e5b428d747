// Recalculation over small workbooks: which formulas a change makes dirty,
// how the dependency index follows formula edits, names, and sheets removed
// or moved, and how a cycle is reported and left behind once broken.
#include "spreadsheet/recalculation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <utility>

#include "spreadsheet/model.h"

namespace quillo::spreadsheet {
namespace {

using Cells = std::vector<CellAddr>;

class RecalculationTest : public testing::Test {
 protected:
  RecalculationTest() {
    book = model->add_book();
    one = model->add_sheet(book, "One").value();
    two = model->add_sheet(book, "Two").value();
  }
  void set(SheetId s, std::int32_t r, std::int32_t c, std::string_view text) {
    ASSERT_TRUE(model->set_formula(s, r, c, text, Notation::A1).ok()) << text;
  }
  bool dirty(SheetId s, std::int32_t r, std::int32_t c) const {
    return model->recalculation().is_dirty(CellAddr{s, r, c});
  }
  // The formulas reading the cell, each once, sorted.
  std::vector<CellAddr> readers(SheetId s, std::int32_t r, std::int32_t c) const {
    std::vector<CellAddr> out;
    model->recalculation().dependents(CellAddr{s, r, c}, out);
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
  }

  std::shared_ptr<Model> model = std::make_shared<Model>();
  BookId book = 0;
  SheetId one = 0, two = 0;
};

TEST_F(RecalculationTest, ManualChangeDirtiesExactlyItsDependentsUntilCalculated) {
  model->set_calculation(host::Calculation::Manual);
  set(one, 1, 1, "1");
  set(one, 1, 2, "=A1*2");       // B1
  set(one, 1, 3, "=B1+1");       // C1, through B1
  set(one, 1, 4, "=5");          // D1 reads nothing
  set(two, 1, 1, "=One!C1*10");  // on another sheet
  ASSERT_EQ(model->value(two, 1, 1), Value(30.0));

  set(one, 1, 1, "4");
  EXPECT_TRUE(dirty(one, 1, 2));
  EXPECT_TRUE(dirty(one, 1, 3));
  EXPECT_TRUE(dirty(two, 1, 1));
  EXPECT_FALSE(dirty(one, 1, 4));
  EXPECT_EQ(model->value(two, 1, 1), Value(30.0));  // manual: nothing ran yet

  model->calculate_all();
  EXPECT_EQ(model->value(one, 1, 3), Value(9.0));
  EXPECT_EQ(model->value(two, 1, 1), Value(90.0));
  EXPECT_FALSE(dirty(one, 1, 2) || dirty(one, 1, 3) || dirty(two, 1, 1));
}

TEST_F(RecalculationTest, IndexFollowsFormulaEditsNamesAndRemovedSheets) {
  set(one, 1, 2, "=A1+A2");  // B1
  EXPECT_EQ(readers(one, 1, 1), (Cells{{one, 1, 2}}));
  set(one, 1, 2, "=A3");
  EXPECT_TRUE(readers(one, 1, 1).empty());
  EXPECT_EQ(readers(one, 3, 1), (Cells{{one, 1, 2}}));
  ASSERT_TRUE(model->clear_contents(one, Box{1, 2, 1, 2}).ok());
  EXPECT_TRUE(readers(one, 3, 1).empty());

  // A formula reading a name reads what the name stands for now.
  ASSERT_TRUE(model->define_name(book, 0, "Rate", "One!$E$1").ok());
  set(one, 2, 3, "=Rate*2");  // C2
  EXPECT_EQ(readers(one, 1, 5), (Cells{{one, 2, 3}}));
  ASSERT_TRUE(model->define_name(book, 0, "Rate", "One!$E$2").ok());
  EXPECT_TRUE(readers(one, 1, 5).empty());
  EXPECT_EQ(readers(one, 2, 5), (Cells{{one, 2, 3}}));

  // Once a sheet goes, its formulas read nothing and what read it is redone.
  set(two, 1, 1, "=One!A9");
  set(one, 1, 1, "=Two!B1");
  ASSERT_TRUE(model->remove_sheet(two).ok());
  EXPECT_TRUE(readers(one, 9, 1).empty());
  EXPECT_EQ(model->value(one, 1, 1), Value(ErrorCode::Ref));
}

// A formula entered again (an answer came for it) goes on reading what it
// read, once each; one with a 3-D reference reads the sheets between its
// two as they stand now.
TEST_F(RecalculationTest, FormulaEnteredAgainReadsWhatItsReferencesMeanNow) {
  set(one, 1, 2, "=A1+A2");  // B1
  ASSERT_TRUE(model->reenter_formula(one, 1, 2));
  ASSERT_TRUE(model->reenter_formula(one, 1, 2));
  EXPECT_EQ(readers(one, 1, 1), (Cells{{one, 1, 2}}));
  EXPECT_EQ(readers(one, 2, 1), (Cells{{one, 1, 2}}));
  set(one, 2, 1, "4");
  EXPECT_EQ(model->value(one, 1, 2), Value(4.0));

  const SheetId three = model->add_sheet(book, "Three").value();
  set(three, 1, 1, "5");
  set(one, 5, 3, "=SUM(One:Two!A1)");  // C5
  EXPECT_TRUE(readers(three, 1, 1).empty());
  ASSERT_TRUE(model->set_sheet_order(book, {one, three, two}).ok());
  ASSERT_TRUE(model->reenter_formula(one, 5, 3));
  EXPECT_EQ(readers(three, 1, 1), (Cells{{one, 5, 3}}));
  EXPECT_EQ(model->value(one, 5, 3), Value(5.0));
  set(three, 1, 1, "6");
  EXPECT_EQ(model->value(one, 5, 3), Value(6.0));
}

// A sheet moved between the two of a 3-D reference (a file taken in may
// reorder them) is read at once, directly or through a name, and moved out
// again is read no more.
TEST_F(RecalculationTest, ASheetMovedIntoASpanIsReadAtOnce) {
  const SheetId three = model->add_sheet(book, "Three").value();
  set(three, 1, 1, "5");
  ASSERT_TRUE(model->define_name(book, 0, "span", "One:Two!$A$1", false, true).ok());
  set(one, 5, 3, "=SUM(One:Two!A1)");  // C5
  set(one, 5, 4, "=SUM(span)*2");      // D5
  ASSERT_TRUE(model->set_sheet_order(book, {one, three, two}).ok());
  EXPECT_EQ(model->value(one, 5, 3), Value(5.0));
  EXPECT_EQ(model->value(one, 5, 4), Value(10.0));
  set(three, 1, 1, "6");
  EXPECT_EQ(model->value(one, 5, 3), Value(6.0));
  ASSERT_TRUE(model->set_sheet_order(book, {three, one, two}).ok());
  EXPECT_EQ(model->value(one, 5, 4), Value(0.0));
  EXPECT_TRUE(readers(three, 1, 1).empty());
}

// A formula, an array formula, a name and a 3-D reference naming a sheet
// the book does not have show #REF!; once a sheet of that name comes (added,
// or another renamed to it) they read it, as the book opened again would,
// and follow its cells. So does a formula from a file that kept the file's
// value for want of the sheet; one that also calls a function quillo does
// not have keeps it. A reference to a sheet that was deleted stays #REF!.
TEST(SheetsThatCome, FormulasNamingAMissingSheetReadItOnceItComes) {
  for (const bool renamed : {false, true}) {
    SCOPED_TRACE(renamed ? "renamed" : "added");
    const auto m = std::make_shared<Model>();
    const BookId b = m->add_book();
    const SheetId main = m->add_sheet(b, "Main").value();
    const SheetId gone = m->add_sheet(b, "Gone").value();
    const SheetId spare = renamed ? m->add_sheet(b, "Spare").value() : 0;
    auto put = [&](SheetId s, std::int32_t r, std::int32_t c, std::string_view text) {
      ASSERT_TRUE(m->set_formula(s, r, c, text, Notation::A1).ok()) << text;
    };
    auto restore = [&](std::int32_t r, std::string_view text, Value file_value) {
      auto f = parse_formula(text, Notation::A1, r, 1,
                             [&](std::string_view n) { return m->find_sheet(b, n); });
      ASSERT_TRUE(f.ok());
      ASSERT_TRUE(m->restore_cell(main, r, 1, std::move(file_value), *f, {}, false).ok());
    };
    auto column = [&] {
      std::vector<Value> out;
      for (std::int32_t r = 1; r <= 9; ++r) out.push_back(m->value(main, r, 1));
      return out;
    };
    put(main, 1, 1, "=Gone!A1");
    put(main, 2, 1, "=Foo!A1*2");
    ASSERT_TRUE(m->set_array_formula(main, Box{3, 1, 4, 1}, "=Foo!A1:A2*10").ok());
    ASSERT_TRUE(m->define_name(b, 0, "rate", "Foo!$A$2").ok());
    put(main, 5, 1, "=rate+1");
    put(main, 6, 1, "=SUM(Main:Foo!B1)");
    put(main, 7, 1, "=A2+A6");
    restore(8, "=Foo!A1+1", Value(ErrorCode::Ref));
    restore(9, "=NOSUCH(Foo!A1)", Value(7.0));
    ASSERT_TRUE(m->remove_sheet(gone).ok());
    const Value ref(ErrorCode::Ref);
    ASSERT_EQ(column(), (std::vector<Value>{ref, ref, ref, ref, ref, ref, ref, ref, Value(7.0)}));

    SheetId foo = spare;
    auto fill = [&](double a1, double a2, double b1) {
      put(foo, 1, 1, std::to_string(a1));
      put(foo, 2, 1, std::to_string(a2));
      put(foo, 1, 2, std::to_string(b1));
    };
    if (renamed) {
      fill(3, 4, 5);
      ASSERT_TRUE(m->rename_sheet(spare, "Foo").ok());
    } else {
      foo = m->add_sheet(b, "Foo").value();
      fill(3, 4, 5);
    }
    EXPECT_EQ(column(), (std::vector<Value>{ref, Value(6.0), Value(30.0), Value(40.0), Value(5.0),
                                            Value(5.0), Value(11.0), Value(4.0), Value(7.0)}));
    EXPECT_EQ(m->formula_text(main, 4, 1, Notation::A1), "=Foo!A1:A2*10");
    fill(10, 20, 1);
    EXPECT_EQ(column(),
              (std::vector<Value>{ref, Value(20.0), Value(100.0), Value(200.0), Value(21.0),
                                  Value(1.0), Value(21.0), Value(11.0), Value(7.0)}));
    // Formulas follow the sheet they now read when it is renamed, as any do.
    ASSERT_TRUE(m->rename_sheet(foo, "Bar").ok());
    EXPECT_EQ(m->formula_text(main, 6, 1, Notation::A1), "=SUM(Main:Bar!B1)");
    EXPECT_EQ(m->name_text(m->book(b)->names.at(0)), "Bar!$A$2");
    // A sheet of the deleted one's name is not the one the formula read.
    ASSERT_TRUE(m->add_sheet(b, "Gone").ok());
    EXPECT_EQ(m->value(main, 1, 1), ref);
    EXPECT_EQ(m->formula_text(main, 1, 1, Notation::A1), "=#REF!");
  }
}

// A function that reads only where its argument points reads no value:
// pointing at its own cell is no circular reference, and a change to the
// cell pointed at computes nothing again. Any other use of the cell does.
TEST_F(RecalculationTest, PositionsOfACellAreNoReadOfIt) {
  set(one, 1, 2, "=ROW(B1)");
  set(one, 2, 3, "=COLUMN(C2)*10+ROWS(C2:C4)");
  set(one, 4, 5, "=ISREF(E4)");
  set(one, 5, 6, "=ROW(F5)+F5");
  set(one, 6, 7, "=ROW(G6+0)");
  EXPECT_EQ(model->value(one, 1, 2), Value(1.0));
  EXPECT_EQ(model->value(one, 2, 3), Value(33.0));
  EXPECT_EQ(model->value(one, 4, 5), Value(true));
  EXPECT_EQ(model->circular_references(),
            (std::vector<CellAddr>{CellAddr{one, 5, 6}, CellAddr{one, 6, 7}}));
  set(one, 9, 1, "=ROW(A10)");
  set(one, 9, 2, "=A10*2");
  EXPECT_EQ(readers(one, 10, 1), (Cells{{one, 9, 2}}));
}

TEST_F(RecalculationTest, CycleIsReportedAndClearedOnceBroken) {
  set(one, 1, 1, "=B1+1");
  set(one, 1, 2, "=A1+1");
  EXPECT_EQ(model->circular_references(),
            (std::vector<CellAddr>{CellAddr{one, 1, 1}, CellAddr{one, 1, 2}}));
  EXPECT_EQ(model->value(one, 1, 1), Value(1.0));             // keeps its value
  EXPECT_EQ(model->value(one, 1, 2), Value(ErrorCode::Ref));  // never computed

  set(one, 1, 2, "=5");
  EXPECT_TRUE(model->circular_references().empty());
  EXPECT_EQ(model->value(one, 1, 1), Value(6.0));
  EXPECT_FALSE(dirty(one, 1, 1));
}

// An add-in function that counts its calls.
class CountingCalls : public ExternalFunctions {
 public:
  bool call(std::string_view, const std::string*, std::span<const Value* const>, const CellAddr&,
            Value& result) override {
    result = Value(static_cast<double>(++calls));
    return true;
  }
  int calls = 0;
};

// A formula that reads no cell is computed once a walk, before the formulas
// reading it, however often the walk lists it.
TEST_F(RecalculationTest, FormulaReadingNothingRunsOnceBeforeItsReaders) {
  CountingCalls counting;
  model->set_external_functions(&counting);
  Array block{1, 2, {Value("=tick()"), Value("=A1*10")}};
  ASSERT_TRUE(model->set_values(one, 1, 1, block).ok());
  EXPECT_EQ(counting.calls, 1);
  EXPECT_EQ(model->value(one, 1, 2), Value(10.0));
  ASSERT_TRUE(model->reenter_formula(one, 1, 1));
  EXPECT_EQ(counting.calls, 2);
  EXPECT_EQ(model->value(one, 1, 2), Value(20.0));

  // Entered while its sheet's calculation is off, it waits; turning it on
  // lists the waiting cell twice, and it still runs once.
  ASSERT_TRUE(model->set_enable_calculation(one, false).ok());
  set(one, 1, 1, "=tick()+0");
  EXPECT_EQ(counting.calls, 2);
  ASSERT_TRUE(model->set_enable_calculation(one, true).ok());
  EXPECT_EQ(counting.calls, 3);
  EXPECT_EQ(model->value(one, 1, 2), Value(30.0));
  EXPECT_FALSE(dirty(one, 1, 1) || dirty(one, 1, 2));
  model->set_external_functions(nullptr);
}

// An add-in function that, at its next call, does to the workbook what it
// is told while it runs.
class MeddlingCalls : public ExternalFunctions {
 public:
  bool call(std::string_view, const std::string*, std::span<const Value* const>, const CellAddr&,
            Value& result) override {
    if (meddle) std::exchange(meddle, nullptr)();
    result = Value(99.0);
    return true;
  }
  std::function<void()> meddle;
};

// A formula whose cell changes while it runs gives an answer that belongs
// to nobody: the cell shows what the workbook holds now.
TEST_F(RecalculationTest, AnswerOfAFormulaGoneWhileItRanIsDropped) {
  MeddlingCalls calls;
  model->set_external_functions(&calls);
  // Its cell takes a constant, then its neighbour the same call.
  calls.meddle = [&] {
    ASSERT_TRUE(model->set_value(one, 1, 1, Value(7.0)).ok());
    set(one, 2, 1, "=meddle()");
  };
  set(one, 1, 1, "=meddle()");
  EXPECT_EQ(model->value(one, 1, 1), Value(7.0));
  EXPECT_FALSE(model->has_formula(one, 1, 1));
  EXPECT_EQ(model->value(one, 2, 1), Value(99.0));
  // Its formula is replaced.
  calls.meddle = [&] { set(one, 3, 1, "=1+1"); };
  set(one, 3, 1, "=meddle()");
  EXPECT_EQ(model->value(one, 3, 1), Value(2.0));
  EXPECT_FALSE(dirty(one, 3, 1));
  // Its sheet is removed as it is entered again.
  set(two, 1, 1, "=meddle()");
  calls.meddle = [&] { ASSERT_TRUE(model->remove_sheet(two).ok()); };
  ASSERT_TRUE(model->reenter_formula(two, 1, 1));
  EXPECT_EQ(model->sheet(two), nullptr);
  EXPECT_EQ(model->value(one, 2, 1), Value(99.0));
  model->set_external_functions(nullptr);
}

// A formula that reads nothing and that nothing reads, entered alone, runs
// at once only where it may: on a sheet whose calculation is off it waits
// until it is on, and then runs once.
TEST_F(RecalculationTest, LoneFormulaReadingNothingRunsOnlyWhereItMay) {
  CountingCalls counting;
  model->set_external_functions(&counting);
  ASSERT_TRUE(model->set_enable_calculation(one, false).ok());
  set(one, 1, 1, "=tick()");
  EXPECT_EQ(counting.calls, 0);
  EXPECT_TRUE(dirty(one, 1, 1));
  ASSERT_TRUE(model->set_enable_calculation(one, true).ok());
  EXPECT_EQ(counting.calls, 1);
  EXPECT_EQ(model->value(one, 1, 1), Value(1.0));
  // So does one entered again (for an answer) while calculation is off.
  ASSERT_TRUE(model->set_enable_calculation(one, false).ok());
  ASSERT_TRUE(model->reenter_formula(one, 1, 1));
  EXPECT_EQ(counting.calls, 1);
  EXPECT_TRUE(dirty(one, 1, 1));
  ASSERT_TRUE(model->set_enable_calculation(one, true).ok());
  EXPECT_EQ(counting.calls, 2);
  EXPECT_EQ(model->value(one, 1, 1), Value(2.0));
  model->set_external_functions(nullptr);
}

}  // namespace
}  // namespace quillo::spreadsheet
