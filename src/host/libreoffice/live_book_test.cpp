#include "host/libreoffice/live_book.h"

#include <gtest/gtest.h>

#include "host/libreoffice/live_outbox.h"

namespace quillo::host::lo {
namespace {

// A method that answers its argument's text and a counter, and keeps the
// calling cell, as the engine's functions do.
struct Recorder {
  int calls = 0;
  RangePtr caller;
  Value answer = Value("Loading data...");
};

LiveCall call_of(std::string function, std::vector<Value> args) {
  std::string method = "i_" + function;
  return LiveCall{std::move(function), std::move(method), std::move(args), true, Value()};
}

class LiveBookTest : public ::testing::Test {
 protected:
  void SetUp() override {
    app.add_in_methods().add("i_fsingle", [this](host::AddInArgs args) {
      ++rec.calls;
      const Range* cell = as_range(args.back());
      rec.caller = cell ? std::const_pointer_cast<Range>(cell->shared_from_this()) : nullptr;
      return rec.answer;
    });
  }
  LiveApplication app;
  Recorder rec;
};

TEST_F(LiveBookTest, ACallIsEvaluatedWithItsOwnCellAndItsValueIsHandedOutOnce) {
  app.add_call(7, call_of("fsingle", {Value("IBM"), Value("SMP.QUO.LAST"), Value(Missing{})}));
  EXPECT_EQ(rec.calls, 1);
  ASSERT_TRUE(rec.caller);
  EXPECT_EQ(*rec.caller->formula(), "=fsingle(\"IBM\",\"SMP.QUO.LAST\",)");
  auto changes = app.take_changes();
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].call, 7);
  EXPECT_EQ(changes[0].value, Value("Loading data..."));
  EXPECT_TRUE(app.take_changes().empty());  // nothing new
}

TEST_F(LiveBookTest, AWebLinkCallLooksUpTheLinkStoreOfItsOwnDocument) {
  // WLINK reads the calling workbook's "weblinks_data" sheet: the live book
  // shows the store the call came with, read-only; calls of the same name
  // from documents with different stores are different calls.
  std::vector<std::string> urls;
  app.add_in_methods().add("i_wlink", [&urls](host::AddInArgs args) {
    const Range* cell = as_range(args.back());
    const auto book = (*cell->worksheet())->workbook();
    const auto store = (*book)->worksheet("weblinks_data");
    if (!store.ok()) return Value("Link references could not be found");
    urls.push_back((*(*store)->cell(1, 2))->value()->to_text());
    EXPECT_FALSE((*(*store)->cell(1, 1))->set_value(Value("x")).ok());
    return Value("Loading data...");
  });
  auto store = [](std::string url) {
    return Value(Array{1, 2, {Value("open"), Value(std::move(url))}});
  };
  LiveCall plain = call_of("wlink", {Value("open")});
  app.add_call(1, plain);
  EXPECT_EQ(app.value_of(1), Value("Link references could not be found"));
  LiveCall a = plain, b = plain;
  a.link_store = store("http://a/");
  b.link_store = store("http://b/");
  app.add_call(2, a);
  app.add_call(3, b);
  EXPECT_EQ(urls, (std::vector<std::string>{"http://a/", "http://b/"}));
  EXPECT_NE(live_call_key(a), live_call_key(b));
  EXPECT_NE(live_call_key(a), live_call_key(plain));
}

TEST_F(LiveBookTest, ACallSeesItsOwnFormulaFromItsFirstEvaluation) {
  // A history table keys its area by the calling cell's formula: a formula
  // missing on the first evaluation made the second one a new request.
  std::vector<std::string> seen;
  app.add_in_methods().add("i_fhistory", [&seen](host::AddInArgs args) {
    const Range* cell = as_range(args.back());
    seen.push_back(cell ? cell->formula().value_or("?") : "?");
    return Value("Updating...");
  });
  app.add_call(1, call_of("fhistory", {Value("IBM")}));
  app.evaluate(1);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], "=fhistory(\"IBM\")");
  EXPECT_EQ(seen[1], seen[0]);
}

TEST_F(LiveBookTest, RewritingTheFormulaAsTheEngineDoesEvaluatesAgainAndReportsTheNewValue) {
  app.add_call(1, call_of("fsingle", {Value("IBM"), Value("X")}));
  (void)app.take_changes();
  rec.answer = Value(101.5);
  const RangePtr cell = rec.caller;
  const std::string formula = *cell->formula();
  ASSERT_TRUE(cell->set_formula("=\"\"").ok());
  ASSERT_TRUE(cell->set_formula(formula).ok());
  EXPECT_EQ(rec.calls, 2);
  auto changes = app.take_changes();
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].value, Value(101.5));
  // The engine's request registry keys cells by book, sheet and address:
  // two calls never share one.
  app.add_call(2, call_of("fsingle", {Value("SAP"), Value("X")}));
  EXPECT_NE(*rec.caller->address(true), *cell->address(true));
}

TEST_F(LiveBookTest, AHistoryTableTypedAsTextBecomesDatesAndNumbersAsAUserTypingItWouldSee) {
  app.add_call(1, call_of("fsingle", {Value("IBM")}));
  (void)app.take_changes();
  auto below = rec.caller->cell(2, 1);
  ASSERT_TRUE(below.ok());
  // The service's fields as text; an apostrophe keeps a field as text.
  Array table{2,
              3,
              {Value("Date"), Value("Close"), Value("'1899-12-29"), Value("2024-01-02"),
               Value("12.5"), Value("'007")}};
  ASSERT_TRUE((*below)->set_value(Value(table)).ok());
  auto changes = app.take_changes();
  ASSERT_EQ(changes.size(), 1u);
  ASSERT_EQ(changes[0].block_cols, 3);
  const auto at = [&](int r, int c) { return changes[0].block[r * 3 + c]; };
  EXPECT_EQ(at(1, 2), Value("1899-12-29"));
  EXPECT_EQ(at(2, 0), Value(Date{45293.0}));  // a date, not its text
  EXPECT_EQ(at(2, 1), Value(12.5));
  EXPECT_EQ(at(2, 2), Value("007"));
}

TEST_F(LiveBookTest, ATableWrittenBelowTheCallIsHandedOutWithClearedCellsAsEmpty) {
  app.add_call(1, call_of("fsingle", {Value("IBM")}));
  (void)app.take_changes();
  const RangePtr cell = rec.caller;
  auto below = cell->cell(2, 1);
  ASSERT_TRUE(below.ok());
  Array table{2, 2, {Value("Date"), Value("Close"), Value(45000.0), Value(12.5)}};
  ASSERT_TRUE((*below)->set_value(Value(table)).ok());
  auto changes = app.take_changes();
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_FALSE(changes[0].value_changed);
  ASSERT_TRUE(changes[0].block_changed);
  EXPECT_EQ(changes[0].block_rows, 3);
  EXPECT_EQ(changes[0].block_cols, 2);
  EXPECT_EQ(changes[0].block[2], Value("Date"));
  EXPECT_EQ(changes[0].block[5], Value(12.5));
  // A shorter table next time: the rows no longer written come back empty.
  ASSERT_TRUE((*(*below)->worksheet())->range("A3:B3").ok());
  ASSERT_TRUE((*(*(*below)->worksheet())->range("A3:B3"))->clear_contents().ok());
  changes = app.take_changes();
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].block_rows, 3);
  EXPECT_TRUE(changes[0].block[4].is_empty());
}

TEST_F(LiveBookTest, ARemovedCallsCellFailsAsADeletedCellAndIsNotEvaluatedAgain) {
  app.add_call(1, call_of("fsingle", {Value("IBM")}));
  const RangePtr cell = rec.caller;
  const std::string formula = *cell->formula();
  app.remove_call(1);
  EXPECT_EQ(cell->set_formula(formula).code(), StatusCode::ObjectRequired);
  EXPECT_EQ(rec.calls, 1);
  EXPECT_TRUE(app.take_changes().empty());
  EXPECT_EQ(app.call_count(), 0u);
}

TEST_F(LiveBookTest, ATableArgumentIsReadThroughARangeOfItsValues) {
  Value seen;
  app.add_in_methods().add("i_sma", [&seen](host::AddInArgs args) {
    seen = args[0];
    return Value("ok");
  });
  Array table{2, 2, {Value("Date"), Value("Close"), Value(45000.0), Value(12.5)}};
  app.add_call(3, call_of("sma", {Value(table), Value(5.0)}));
  const Range* r = as_range(seen);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(*r->row_count(), 2);
  EXPECT_EQ(r->values().at(1, 1), Value(12.5));
  EXPECT_FALSE(r->set_value(Value(1.0)).ok());  // an argument is read-only
}

TEST_F(LiveBookTest, AFullRecalculationEvaluatesEveryCall) {
  app.add_call(1, call_of("fsingle", {Value("A")}));
  app.add_call(2, call_of("fsingle", {Value("B")}));
  ASSERT_TRUE(app.calculate().ok());
  EXPECT_EQ(rec.calls, 4);
}

TEST(LiveCallKey, EqualArgumentListsShareAKeyAndAnyDifferenceSeparatesThem) {
  const auto key = [](std::vector<Value> args) {
    return live_call_key(LiveCall{"fsingle", "i_fsingle", std::move(args), true, Value()});
  };
  EXPECT_EQ(key({Value("IBM"), Value(1.0)}), key({Value("IBM"), Value(1.0)}));
  EXPECT_EQ(live_call_key(LiveCall{"FSINGLE", "", {Value("IBM")}, true, Value()}),
            key({Value("IBM")}));
  EXPECT_NE(key({Value("IBM"), Value(1.0)}), key({Value("IBM"), Value("1")}));
  EXPECT_NE(key({Value("IBM")}), key({Value("IBM"), Value(Missing{})}));
  EXPECT_NE(key({Value("a;s1:b")}), key({Value("a"), Value("b")}));
  EXPECT_NE(key({Value(Array{1, 2, {Value(1.0), Value(2.0)}})}),
            key({Value(Array{2, 1, {Value(1.0), Value(2.0)}})}));
}

TEST(LiveOutboxTest, ChangesOfManyTicksReachTheMainThreadOnceWithTheLatestValues) {
  LiveOutbox box;
  LiveChange a{1, true, Value("Loading data..."), false, 0, 0, {}};
  LiveChange b{2, true, Value(5.0), false, 0, 0, {}};
  EXPECT_TRUE(box.put({a, b}));  // the first put asks for a callback
  LiveChange a2{1, true, Value(7.0), false, 0, 0, {}};
  LiveChange a3{1, false, Value(), true, 2, 1, {Value(), Value(1.0)}};
  EXPECT_FALSE(box.put({a2}));  // already asked
  EXPECT_FALSE(box.put({a3}, {"a message"}));
  auto taken = box.take();
  ASSERT_EQ(taken.changes.size(), 2u);
  EXPECT_EQ(taken.changes[0].value, Value(7.0));  // the value of the later tick
  EXPECT_TRUE(taken.changes[0].block_changed);    // and the block of the last
  EXPECT_EQ(taken.changes[1].value, Value(5.0));
  ASSERT_EQ(taken.messages.size(), 1u);
  EXPECT_FALSE(box.put({}));  // nothing to tell asks nothing
  EXPECT_TRUE(box.put({b}));  // after a take, the next put asks again
}

TEST(MatchCall, ACellMakesACallOnlyWhenEveryArgumentIsKnownToAgree) {
  // The call's arguments as Calc computed them: a history from 2024-01-01
  // to 2024-03-31 (date serials), with the options left out.
  const LiveCall wanted =
      call_of("fhistory", {Value("BVM"), Value("Yahoo"), Value("DATE,CLOSE"), Value(45292.0),
                           Value(45382.0), Value("d"), Value(Missing{})});
  using Args = std::vector<std::optional<Value>>;
  const Args same{Value("BVM"),   Value("Yahoo"), Value("DATE,CLOSE"),
                  Value(45292.0), Value(45382.0), Value("d")};  // the last left out of the formula
  EXPECT_EQ(match_call(same, wanted), CallMatch::Makes);

  // Another end date, computed and told apart: not this call, even though
  // the cell shows the same status text.
  Args other = same;
  other[4] = Value(45473.0);
  EXPECT_EQ(match_call(other, wanted), CallMatch::Not);
  // A number is not the text of that number.
  Args text = same;
  text[3] = Value("45292");
  EXPECT_EQ(match_call(text, wanted), CallMatch::Not);

  // An argument that cannot be told (computed from other cells): the cell
  // may make the call, unless a known argument already differs.
  Args unknown = same;
  unknown[4] = std::nullopt;
  EXPECT_EQ(match_call(unknown, wanted), CallMatch::Unknown);
  unknown[0] = Value("IBM");
  EXPECT_EQ(match_call(unknown, wanted), CallMatch::Not);

  // More arguments than the call has: another call.
  Args longer = same;
  longer.emplace_back(Missing{});
  longer.emplace_back(Value(1.0));
  EXPECT_EQ(match_call(longer, wanted), CallMatch::Not);
}

}  // namespace
}  // namespace quillo::host::lo
