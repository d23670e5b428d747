// What a calculation changes: volatile functions and what reads them run
// again at every calculation; the model tells which cells changed and which
// formulas left with the file's value read them.
#include <gtest/gtest.h>

#include "spreadsheet/model.h"

namespace quillo::spreadsheet {
namespace {

class ChangesTest : public testing::Test {
 protected:
  ChangesTest() {
    model->set_clock([this] { return clock; });
    book = model->add_book();
    one = model->add_sheet(book, "One").value();
    two = model->add_sheet(book, "Two").value();
  }
  void set(SheetId s, std::int32_t r, std::int32_t c, std::string_view text) {
    ASSERT_TRUE(model->set_formula(s, r, c, text, Notation::A1).ok()) << text;
  }
  double num(SheetId s, std::int32_t r, std::int32_t c) {
    const Value v = model->value(s, r, c);
    return v.is_number() ? v.number() : -1e300;
  }
  // A formula as a file holds it: its cached value, left clean when quillo
  // cannot compute it.
  void restore(SheetId s, std::int32_t r, std::int32_t c, std::string_view text, double cached,
               bool computed) {
    auto f = parse_formula(text, Notation::A1, r, c,
                           [this](std::string_view n) { return model->find_sheet(book, n); });
    ASSERT_TRUE(f.ok()) << text;
    ASSERT_TRUE(model->restore_cell(s, r, c, Value(cached), f.value(), "", computed).ok());
  }

  double clock = 100.5;
  std::shared_ptr<Model> model = std::make_shared<Model>();
  BookId book;
  SheetId one, two;
};

TEST_F(ChangesTest, VolatileFormulasAndTheirReadersRunAgainAtEveryCalculation) {
  set(one, 1, 1, "=NOW()");
  set(one, 1, 2, "=A1+1");
  set(two, 1, 1, "=One!B1*2");
  set(two, 1, 2, "=TODAY()");
  set(two, 1, 3, "=5");
  EXPECT_EQ(num(two, 1, 1), 203.0);

  clock = 200.25;
  model->calculate_all();
  EXPECT_EQ(num(one, 1, 2), 201.25);
  EXPECT_EQ(num(two, 1, 1), 402.5);
  EXPECT_EQ(num(two, 1, 2), 200.0);

  // A sheet's calculation runs its own volatile cells and what reads them
  // there; readers on other sheets wait for the next calculation.
  clock = 300;
  ASSERT_TRUE(model->calculate_sheet(one).ok());
  EXPECT_EQ(num(one, 1, 2), 301.0);
  EXPECT_EQ(num(two, 1, 1), 402.5);
  EXPECT_TRUE(model->is_dirty(two, 1, 1));
  model->calculate_all();
  EXPECT_EQ(num(two, 1, 1), 602.0);

  // In manual mode an edit runs nothing volatile; the calculation does.
  model->set_calculation(host::Calculation::Manual);
  clock = 400;
  set(two, 1, 3, "=6");
  EXPECT_EQ(num(one, 1, 2), 301.0);
  model->calculate_all();
  EXPECT_EQ(num(one, 1, 2), 401.0);
  EXPECT_EQ(num(two, 1, 1), 802.0);

  // Loaded from a file, and no longer volatile once replaced.
  restore(one, 2, 1, "=NOW()+A1", 7, true);
  model->set_calculation(host::Calculation::Automatic);
  clock = 500;
  model->calculate_all();
  EXPECT_EQ(num(one, 2, 1), 1000.0);
  set(one, 1, 1, "=1");
  clock = 600;
  model->calculate_all();
  EXPECT_EQ(num(one, 1, 2), 2.0);
  EXPECT_EQ(num(one, 2, 1), 601.0);
}

TEST_F(ChangesTest, FormulasKeptFromTheFileAreStaleOnlyWhenWhatTheyReadChanged) {
  ASSERT_TRUE(model->restore_cell(one, 1, 1, Value(10.0), nullptr, "", false).ok());
  ASSERT_TRUE(model->restore_cell(one, 2, 1, Value(20.0), nullptr, "", false).ok());
  restore(one, 1, 2, "=A1*2", 20, true);            // computed
  restore(one, 1, 3, "=NOSUCH(B1)", 1, false);      // reads a computed formula
  restore(one, 1, 4, "=NOSUCH(C1)", 2, false);      // through another kept one
  restore(two, 1, 1, "=NOSUCH(One!A2)", 3, false);  // reads a cell left alone
  restore(two, 1, 2, "=One!A1", 10, true);
  model->track_changes();
  model->calculate_all();
  EXPECT_TRUE(model->changed_cells().empty());  // every result as the file had it
  EXPECT_TRUE(model->stale_formulas().empty());

  // A change that comes back to the first value is no change.
  ASSERT_TRUE(model->set_value(one, 1, 1, Value(11.0)).ok());
  ASSERT_TRUE(model->set_value(one, 1, 1, Value(10.0)).ok());
  EXPECT_TRUE(model->changed_cells().empty());

  ASSERT_TRUE(model->set_value(one, 1, 1, Value(12.0)).ok());
  EXPECT_EQ(model->changed_cells(), (std::vector<CellAddr>{{one, 1, 1}, {one, 1, 2}, {two, 1, 2}}));
  EXPECT_EQ(model->stale_formulas(), (std::vector<CellAddr>{{one, 1, 3}, {one, 1, 4}}));
  EXPECT_EQ(num(one, 1, 3), 1.0);
  EXPECT_EQ(missing_function(*model->formula_at({one, 1, 3}), nullptr), "NOSUCH");
}

// Entering a formula again evaluates it and what reads it from the inputs
// as they are now, in any calculation mode, and leaves its text alone; a
// cell without a formula of its own is left to the caller.
TEST_F(ChangesTest, AFormulaEnteredAgainIsEvaluatedWithItsDependents) {
  set(one, 1, 1, "3");
  set(one, 1, 2, "=A1*2");
  set(one, 1, 3, "=B1+1");
  model->set_calculation(host::Calculation::Manual);
  set(one, 1, 1, "5");
  EXPECT_EQ(num(one, 1, 2), 6);  // manual: not yet recalculated
  ASSERT_TRUE(model->reenter_formula(one, 1, 2));
  EXPECT_EQ(num(one, 1, 2), 10);
  EXPECT_EQ(model->formula_text(one, 1, 2, Notation::A1), "=A1*2");
  model->set_calculation(host::Calculation::Automatic);
  EXPECT_EQ(num(one, 1, 3), 11);
  set(one, 1, 1, "7");
  ASSERT_TRUE(model->reenter_formula(one, 1, 2));
  EXPECT_EQ(num(one, 1, 3), 15);
  EXPECT_FALSE(model->reenter_formula(one, 1, 1));  // a constant
  EXPECT_FALSE(model->reenter_formula(one, 9, 9));  // an empty cell
}

// Entering again any cell of an array formula computes the whole array, so
// an add-in answer reaching one of its cells fills every cell of it.
TEST_F(ChangesTest, ACellOfAnArrayEnteredAgainComputesTheWholeArray) {
  set(one, 1, 1, "2");
  ASSERT_TRUE(model->set_array_formula(one, Box{2, 1, 4, 2}, "=A1*{1;2;3}").ok());
  model->set_calculation(host::Calculation::Manual);
  set(one, 1, 1, "5");
  EXPECT_EQ(num(one, 3, 2), 4);  // manual: not yet recalculated
  ASSERT_TRUE(model->reenter_formula(one, 3, 2));
  for (std::int32_t c = 1; c <= 2; ++c) {
    EXPECT_EQ(num(one, 2, c), 5);
    EXPECT_EQ(num(one, 3, c), 10);
    EXPECT_EQ(num(one, 4, c), 15);
  }
  EXPECT_EQ(model->formula_text(one, 2, 1, Notation::A1), "=A1*{1;2;3}");
}

}  // namespace
}  // namespace quillo::spreadsheet
