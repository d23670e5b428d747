// The request spine on a real spreadsheet, a scripted transport and a
// virtual clock: formulas ask, answers arrive, cells are evaluated again.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <fstream>
#include <sstream>
#include "common/text.h"
#include "host/cell_key.h"
#include "host/event_loop.h"
#include "http/scripted_transport.h"

#include "requests/engine.h"
#include "requests/recent_texts.h"
#include "spreadsheet/application.h"
#include "spreadsheet/handles.h"

namespace quillo {
namespace {

constexpr const char* kPage =
    "<h1>Big Corp (BIG)</h1> Last Trade: <b>12.5</b> <table><tr><td>Open:</td><td>12.1</td></tr>"
    "<tr><td>Volume:</td><td>1,000</td></tr></table>";

class SpineTest : public ::testing::Test {
 protected:
  SpineTest()
      : transport(loop),
        engine(app, loop, transport),
        registry(engine.registry()),
        dispatch(engine.dispatch()),
        manager(engine.manager()),
        policy(engine.policy()) {
    std::ifstream in(std::string(QUILLO_DATA_DIR) + "/sample/ds.xml");
    std::ostringstream xml;
    xml << in.rdbuf();
    EXPECT_TRUE(engine.load_definitions(xml.str()));
    EXPECT_TRUE(engine.install_library(std::string(QUILLO_DATA_DIR) + "/tarnvale.xla").ok());
    book = *app.workbooks().add();
    sheet = *book->active_sheet();
    transport.set_default(http::ScriptedTransport::complete(200, kPage, 20));
  }

  void set(const char* address, const std::string& formula) {
    ASSERT_TRUE((*sheet->range(address))->set_formula(formula).ok()) << formula;
  }
  std::string shown(const char* address) { return (*(*sheet->range(address))->value()).to_text(); }
  // Lets answers arrive and the one-second pass run a few times.
  void run(int seconds = 3) {
    for (int i = 0; i < seconds; ++i) {
      loop.advance(1000);
      manager.httpqueue_sendout();
    }
  }

  host::VirtualLoop loop;
  http::ScriptedTransport transport;
  spreadsheet::Application app;
  Engine engine;
  RequestRegistry& registry;
  RequestDispatch& dispatch;
  http::clsXMLHttpManager& manager;
  ErrorPolicy& policy;
  host::WorkbookPtr book;
  host::WorksheetPtr sheet;
};

TEST_F(SpineTest, FormulasShowLoadingThenTheirValuesFromOneExchange) {
  set("A1", "=fsingle(\"BIG\",\"SMP.QUO.LAST\")");
  set("A2", "=fsingle(\"big\",\" smp.quo.open \")");
  set("A3", "=fsingle(\"BIG\",\"SMP.QUO.LAST\")");  // same request, another cell
  set("A4", "=fsingle(\"BIG\",\"SMP.QUO.NOPE\")");
  EXPECT_EQ(shown("A1"), "Loading data...");
  EXPECT_EQ(shown("A4"), "Invalid fieldname!");
  EXPECT_EQ(transport.requests().size(), 2u);  // "BIG" and "big" are two URLs
  EXPECT_EQ(transport.requests()[0].url.rfind("http://127.0.0.1/quote?s=BIG&rand=0", 0), 0u);
  EXPECT_EQ(registry.cell_count(1), 2u);
  set("A1", "=fsingle(\"BIG\",\"SMP.QUO.LAST\")");  // evaluated again: registered once
  EXPECT_EQ(registry.cell_count(1), 2u);
  run();
  EXPECT_EQ(shown("A1"), "12.5");
  EXPECT_EQ(shown("A2"), "12.1");
  EXPECT_EQ(shown("A3"), "12.5");
  EXPECT_EQ(registry.inflight_count(), 0);
  EXPECT_EQ(transport.requests().size(), 2u);
}

// Cells asking two instruments in turn each wait on their instrument's
// request, and each page is asked once, with a random figure of at most
// seven significant digits below 1 at the end of its address.
TEST_F(SpineTest, CellsAskingInstrumentsInTurnWaitOnTheirOwnRequests) {
  set("A1", "=fsingle(\"BIG\",\"SMP.QUO.LAST\")");
  set("A2", "=fsingle(\"SMALL\",\"SMP.QUO.LAST\")");
  set("A3", "=fsingle(\"BIG\",\"SMP.QUO.OPEN\")");
  set("A4", "=fsingle(\"SMALL\",\"SMP.QUO.OPEN\")");
  set("A5", "=fsingle(\"BIG\",\"SMP.QUO.LAST\",{\"units\",\"1\"})");
  ASSERT_EQ(transport.requests().size(), 2u);
  EXPECT_EQ(registry.cell_count(1), 3u);
  EXPECT_EQ(registry.cell_count(2), 2u);
  for (const auto& sent : transport.requests()) {
    const std::string url = sent.url;
    const std::size_t at = url.find("&rand=");
    ASSERT_NE(at, std::string::npos) << url;
    const std::string figure = url.substr(at + 6);
    const auto value = text::locale_number(figure);
    ASSERT_TRUE(value) << url;
    EXPECT_GE(*value, 0.0);
    EXPECT_LT(*value, 1.0);
    // The significant digits: those of the part before any exponent, from
    // the first that is not 0.
    std::string digits;
    for (const char c : figure.substr(0, figure.find('e'))) {
      if (c >= '0' && c <= '9' && (c != '0' || !digits.empty())) digits += c;
    }
    EXPECT_LE(digits.size(), 7u) << figure;
  }
  EXPECT_NE(transport.requests()[0].url.find("s=BIG&"), std::string::npos);
  EXPECT_NE(transport.requests()[1].url.find("s=SMALL&"), std::string::npos);
  run();
  EXPECT_EQ(shown("A3"), "12.1");
  EXPECT_EQ(shown("A5"), "12.5");
}

// A formula whose instrument is another quillo cell's value asks again when
// that value arrives, and waits for the new answer: it never keeps the
// answer for the instrument it read before.
TEST_F(SpineTest, ACallReadingAnotherCallsValueFollowsItsNewAnswer) {
  auto page = [](const char* last) {
    return http::ScriptedTransport::complete(
        200, std::string("<h1>X (X)</h1> Last Trade: <b>") + last + "</b>", 20);
  };
  transport.script_next(page("12.5"));  // B1's instrument
  transport.script_next(page("1"));     // C1 while B1 still loads
  transport.script_next(page("99"));    // C1 once B1 shows 12.5
  set("B1", "=fsingle(\"BIG\",\"SMP.QUO.LAST\")");
  set("C1", "=fsingle(B1,\"SMP.QUO.LAST\")");
  set("D1", "=C1*2");
  run();
  EXPECT_EQ(shown("B1"), "12.5");
  EXPECT_EQ(shown("C1"), "99");
  EXPECT_EQ(shown("D1"), "198");
  ASSERT_EQ(transport.requests().size(), 3u);
  EXPECT_NE(transport.requests()[2].url.find("s=12.5"), std::string::npos);
  EXPECT_EQ(registry.inflight_count(), 0);
}

TEST_F(SpineTest, StatusTextsForInvalidPagesHttpErrorsAndTransportFailures) {
  transport.script_next(
      http::ScriptedTransport::complete(200, "There is no quote for this symbol"));
  set("A1", "=fsingle(\"XXX\",\"SMP.QUO.LAST\")");
  transport.script_next(http::ScriptedTransport::complete(500, "oops"));
  set("A2", "=fsingle(\"E5\",\"SMP.QUO.LAST\")");
  transport.script_next(http::ScriptedTransport::complete(404, ""));
  set("A3", "=fsingle(\"E4\",\"SMP.QUO.LAST\")");
  for (int i = 0; i < 3; ++i)
    transport.script_next(http::ScriptedTransport::fail(56, "Recv failure"));
  set("A4", "=fsingle(\"RST\",\"SMP.QUO.LAST\")");
  run(1);
  EXPECT_EQ(shown("A1"), "Invalid instrument id");
  EXPECT_EQ(shown("A2"), "Connection error. Code: 500 - Internal server error.");
  EXPECT_EQ(shown("A3"), "Connection error. Code: 404 - General error.");
  EXPECT_EQ(shown("A4"), "Loading data...");  // retried through the error queue
  run(3);
  EXPECT_EQ(shown("A4"), "Recv failure");
  EXPECT_EQ(transport.count(transport.requests().back().url), 3u);  // three attempts
  EXPECT_EQ(registry.inflight_count(), 0);
}

TEST_F(SpineTest, ErrorPolicyTwoKeepsTheLastFigureOfAnUpdate) {
  policy.connectionerrorhandling = 2;
  set("A1", "=fsingle(\"BIG\",\"SMP.QUO.LAST\")");
  run();
  ASSERT_EQ(shown("A1"), "12.5");
  // An update that fails keeps the data; a new request that fails shows it.
  transport.script_next(http::ScriptedTransport::complete(404, ""));
  dispatch.request_send(1);
  transport.script_next(http::ScriptedTransport::complete(404, ""));
  set("A2", "=fsingle(\"NEW\",\"SMP.QUO.LAST\")");
  run();
  EXPECT_EQ(registry.requests().at(1).status, RequestStatus::Loaded);
  EXPECT_EQ(shown("A1"), "12.5");
  EXPECT_EQ(shown("A2"), "Connection error. Code: 404 - General error.");
  policy.connectionerrorhandling = 0;  // never shown: an empty result
  transport.script_next(http::ScriptedTransport::complete(500, ""));
  set("A3", "=fsingle(\"ZZZ\",\"SMP.QUO.LAST\")");
  run();
  EXPECT_EQ(shown("A3"), "#N/A");
}

TEST_F(SpineTest, CellsOfADeletedSheetAreDroppedAndTheOthersRefreshed) {
  auto other = *book->add_worksheet("Gone");
  ASSERT_TRUE((*other->range("B2"))->set_formula("=fsingle(\"BIG\",\"SMP.QUO.LAST\")").ok());
  set("A1", "=fsingle(\"BIG\",\"SMP.QUO.LAST\")");
  EXPECT_EQ(registry.cell_count(1), 2u);
  ASSERT_TRUE(other->remove().ok());
  run();
  EXPECT_EQ(shown("A1"), "12.5");
  EXPECT_EQ(registry.cell_count(1), 1u);
  EXPECT_FALSE(registry.refreshing());
  registry.request_refresh_cells(0);
  // A reset forgets every request; the recalculation that follows runs the
  // formulas again, which ask afresh.
  registry.requests_reset();
  EXPECT_EQ(registry.requests().upper_bound(), 1);
  EXPECT_EQ(shown("A1"), "Loading data...");
  EXPECT_EQ(registry.cell_count(1), 1u);
}

// A request number a formula found before names its page's record only
// until the table is reset or requests are forgotten: after either, a cell
// asking for the page again waits on that page's record, never on the
// record that now has the old number.
TEST_F(SpineTest, ACellAskingAgainAfterAResetOrAForgetWaitsOnItsOwnPage) {
  const std::string b = *book->name(), s = *sheet->name();
  auto waits_on = [&](std::int32_t row, const char* id) {
    const std::int32_t r = registry.cell_requests().find(b, s, row, 1);
    if (r == 0) return false;
    const std::string url = registry.requests().at(r).url.str() + "&";
    return url.find(std::string("s=") + id + "&") != std::string::npos;
  };
  set("A1", "=fsingle(\"BIG\",\"SMP.QUO.LAST\")");    // 1
  set("A2", "=fsingle(\"SMALL\",\"SMP.QUO.LAST\")");  // 2
  run();
  // Each cell, evaluated again for its answer, stays on its list once.
  EXPECT_EQ(registry.cell_count(1), 1u);
  EXPECT_EQ(registry.cell_count(2), 1u);
  // Without A1 the reset's recalculation gives SMALL number 1.
  ASSERT_TRUE((*sheet->range("A1"))->set_value(Value("")).ok());
  registry.requests_reset();
  ASSERT_EQ(registry.requests().upper_bound(), 1);
  set("A1", "=fsingle(\"BIG\",\"SMP.QUO.OPEN\")");
  EXPECT_TRUE(waits_on(1, "BIG"));
  EXPECT_TRUE(waits_on(2, "SMALL"));
  run();
  EXPECT_EQ(shown("A1"), "12.1");
  // BIG forgotten (its cell gone): asked again, it is a new request.
  const std::int32_t big = registry.cell_requests().find(b, s, 1, 1);
  ASSERT_TRUE((*sheet->range("A1"))->set_value(Value("")).ok());
  registry.cells_replaced({host::CellPlace{b, s, 1, 1}});
  EXPECT_EQ(registry.requests_forget_unwaited(), 1u);
  set("A3", "=fsingle(\"BIG\",\"SMP.QUO.LAST\")");
  EXPECT_TRUE(waits_on(3, "BIG"));
  EXPECT_NE(registry.cell_requests().find(b, s, 3, 1), big);
  run();
  EXPECT_EQ(shown("A3"), "12.5");
}

TEST_F(SpineTest, ASheetDeletedAndAnotherAddedUnderItsNameHasItsCellsFilled) {
  const std::string quote = "=fsingle(\"BIG\",\"SMP.QUO.LAST\")";
  auto first = *book->add_worksheet("Prices");
  ASSERT_TRUE((*first->range("B2"))->set_formula(quote).ok());
  ASSERT_TRUE(first->remove().ok());
  // The same cell of a new sheet of that name, and another.
  auto second = *book->add_worksheet("Prices");
  ASSERT_TRUE((*second->range("B2"))->set_formula(quote).ok());
  ASSERT_TRUE((*second->range("B3"))->set_formula(quote).ok());
  run();
  EXPECT_EQ((*(*second->range("B2"))->value()).to_text(), "12.5");
  EXPECT_EQ((*(*second->range("B3"))->value()).to_text(), "12.5");
  EXPECT_EQ(registry.cell_count(1), 2u);
  // Gone with its sheet, the request is forgotten; the name asked again
  // on a third sheet makes a new one that fills it.
  ASSERT_TRUE(second->remove().ok());
  EXPECT_EQ(registry.requests_forget_unwaited(), 1u);
  auto third = *book->add_worksheet("Prices");
  ASSERT_TRUE((*third->range("B2"))->set_formula(quote).ok());
  run();
  EXPECT_EQ((*(*third->range("B2"))->value()).to_text(), "12.5");
}

TEST_F(SpineTest, ForgettingUnwaitedRequestsKeepsTheOthersAnsweredAndUnasked) {
  auto other = *book->add_worksheet("Closed");
  auto put = [&](const char* address, const char* formula) {
    ASSERT_TRUE((*other->range(address))->set_formula(formula).ok());
  };
  put("B2", "=fsingle(\"BIG\",\"SMP.QUO.LAST\")");  // shared with A1 below
  put("B3", "=fsingle(\"ONLY\",\"SMP.QUO.LAST\")");
  set("A1", "=fsingle(\"BIG\",\"SMP.QUO.LAST\")");
  run();
  transport.script_next(http::ScriptedTransport::complete(200, kPage, 5000));
  put("B4", "=fsingle(\"SLOW\",\"SMP.QUO.LAST\")");  // its answer is on its way
  loop.advance(100);
  const std::size_t sent = transport.requests().size();
  ASSERT_EQ(sent, 3u);
  ASSERT_EQ(registry.inflight_count(), 1);
  const std::string only_url = registry.requests().at(2).url.str();

  ASSERT_TRUE(other->remove().ok());
  EXPECT_EQ(registry.requests_forget_unwaited(), 2u);  // ONLY and SLOW, not BIG
  EXPECT_EQ(registry.requests_forget_unwaited(), 0u);
  // The cell still open keeps its value and is not asked again.
  EXPECT_EQ(shown("A1"), "12.5");
  EXPECT_EQ(registry.cell_count(1), 1u);
  EXPECT_EQ(registry.find(only_url), 0);
  EXPECT_TRUE(transport.requests().back().cancelled);  // SLOW withdrawn
  EXPECT_EQ(registry.inflight_count(), 0);
  // Forgotten numbers are never sent again, nor filled by a late answer.
  dispatch.request_send(2);
  dispatch.request_send(3);
  run(6);
  EXPECT_EQ(transport.requests().size(), sent);
  EXPECT_TRUE(registry.requests().at(3).parsed.empty());
  // The same page asked again is a new request with a number of its own.
  set("A2", "=fsingle(\"ONLY\",\"SMP.QUO.LAST\")");
  EXPECT_EQ(shown("A2"), "Loading data...");
  EXPECT_EQ(registry.find(only_url), 4);
  run();
  EXPECT_EQ(shown("A2"), "12.5");
  EXPECT_EQ(shown("A1"), "12.5");
  EXPECT_EQ(transport.requests().size(), sent + 1);
}

TEST_F(SpineTest, ACellWhoseFormulaWasReplacedWaitsOnlyOnWhatItAsksNow) {
  const std::string big = "=fsingle(\"BIG\",\"SMP.QUO.LAST\")";
  const std::string only = "=fsingle(\"ONLY\",\"SMP.QUO.LAST\")";
  set("A1", big);
  set("A2", only);
  set("A3", big + "+" + only.substr(1));  // waits on both
  set("A4", only);
  run();
  // Swapped, and A4 now a constant: registering anew leaves each on the
  // list it left, where the latest request wins for both swapped cells.
  set("A1", only);
  set("A2", big);
  ASSERT_TRUE((*sheet->range("A4"))->set_value(Value("'00123")).ok());
  const std::string b = *book->name(), s = *sheet->name();
  auto at = [&](std::int32_t row) { return host::CellPlace{b, s, row, 1}; };
  EXPECT_EQ(registry.cell_requests().find(at(2)), 2);  // the fault: ONLY, not BIG
  EXPECT_EQ(registry.cells_replaced({at(1), at(2), at(3), at(4), host::CellPlace{b, "No", 1, 1}}),
            3u);
  const CellRequests cells = registry.cell_requests();
  EXPECT_EQ(cells.find(at(1)), 2);
  EXPECT_EQ(cells.find(at(2)), 1);
  EXPECT_EQ(cells.find(at(4)), 0);
  EXPECT_EQ(registry.cell_count(1), 2u);  // A2, A3
  EXPECT_EQ(registry.cell_count(2), 2u);  // A1, A3
  EXPECT_EQ(shown("A1"), "12.5");
  EXPECT_EQ(shown("A4"), "00123");  // a constant is not entered again
  // A request no cell asks for any more is forgotten at the next look.
  set("A2", only);
  set("A3", only);
  EXPECT_EQ(registry.cells_replaced({at(2), at(3)}), 2u);
  EXPECT_EQ(registry.cell_count(1), 0u);
  EXPECT_EQ(registry.requests_forget_unwaited(), 1u);
}

// A request's list of waiting cells holds its one cell in place, moves to
// an array at the second and is indexed past sixteen; cells leave it and
// join it again in any of these shapes, each cell counted once.
TEST_F(SpineTest, AWaitingListGrowsPastItsIndexAndShrinksBackToOneCell) {
  const std::string big = "=fsingle(\"BIG\",\"SMP.QUO.LAST\")";
  const std::string only = "=fsingle(\"ONLY\",\"SMP.QUO.LAST\")";
  const std::string b = *book->name(), s = *sheet->name();
  auto at = [&](std::int32_t row) { return host::CellPlace{b, s, row, 1}; };
  auto cell = [](int row) { return "A" + std::to_string(row); };
  set("A1", big);
  EXPECT_EQ(registry.cell_count(1), 1u);
  set("A1", big);  // evaluated again: still one
  EXPECT_EQ(registry.cell_count(1), 1u);
  for (int row = 2; row <= 20; ++row) set(cell(row).c_str(), big);
  set("A7", big);
  set("A20", big);
  EXPECT_EQ(registry.cell_count(1), 20u);
  // All but A5 move to another page.
  std::vector<host::CellPlace> moved;
  for (int row = 1; row <= 20; ++row) {
    if (row == 5) continue;
    set(cell(row).c_str(), only);
    moved.push_back(at(row));
  }
  EXPECT_EQ(registry.cells_replaced(moved), 19u);
  EXPECT_EQ(registry.cell_count(1), 1u);
  EXPECT_EQ(registry.cell_count(2), 19u);
  set("A5", big);
  EXPECT_EQ(registry.cell_count(1), 1u);
  run();
  EXPECT_EQ(shown("A5"), "12.5");
  EXPECT_EQ(shown("A19"), "12.5");
  const CellRequests cells = registry.cell_requests();
  EXPECT_EQ(cells.find(at(5)), 1);
  EXPECT_EQ(cells.find(at(6)), 2);
  // The one cell leaves, and the list, empty, takes a cell again.
  set("A5", only);
  EXPECT_EQ(registry.cells_replaced({at(5)}), 1u);
  EXPECT_EQ(registry.cell_count(1), 0u);
  set("A6", big);
  EXPECT_EQ(registry.cell_count(1), 1u);
  EXPECT_EQ(registry.cell_count(2), 20u);  // A6 still waits there too
  EXPECT_EQ(registry.requests_forget_unwaited(), 0u);
}

// Hundreds of requests, every other one forgotten: each left is still
// found by its URL (a formula asking it again makes no new request), and
// each forgotten one is asked afresh.
TEST_F(SpineTest, RequestsLeftAfterOthersAreForgottenAreStillFoundByUrl) {
  constexpr int kCells = 300;
  auto formula = [](int i) { return "=fsingle(\"I" + std::to_string(i) + "\",\"SMP.QUO.LAST\")"; };
  auto cell = [](int i) { return "A" + std::to_string(i); };
  for (int i = 1; i <= kCells; ++i) set(cell(i).c_str(), formula(i));
  ASSERT_EQ(registry.requests().upper_bound(), kCells);
  const std::string b = *book->name(), s = *sheet->name();
  std::vector<host::CellPlace> cleared;
  for (int i = 1; i <= kCells; i += 2) {
    ASSERT_TRUE((*sheet->range(cell(i)))->set_value(Value(1.0)).ok());
    cleared.push_back(host::CellPlace{b, s, i, 1});
  }
  registry.cells_replaced(cleared);
  EXPECT_EQ(registry.requests_forget_unwaited(), static_cast<std::size_t>(kCells / 2));
  for (int i = 2; i <= kCells; i += 2) set(cell(i).c_str(), formula(i));
  EXPECT_EQ(registry.requests().upper_bound(), kCells);
  for (int i = 1; i <= kCells; i += 2) set(cell(i).c_str(), formula(i));
  EXPECT_EQ(registry.requests().upper_bound(), kCells + kCells / 2);
  for (int i = 1; i <= kCells; ++i) set(cell(i).c_str(), formula(i));
  EXPECT_EQ(registry.requests().upper_bound(), kCells + kCells / 2);
}

// A cell whose input changes from one instrument to another leaves the old
// request once it is re-entered for that request's answer and asks for
// another; the next update round forgets the request and never fetches it
// again. A cell asking for both, or for nothing at all, stays.
TEST_F(SpineTest, ACellWhoseInputChangedLeavesTheRequestItNoLongerAsksFor) {
  auto value = [&](const char* address, const char* v) {
    ASSERT_TRUE((*sheet->range(address))->set_value(Value(v)).ok());
  };
  auto sent = [&](const char* id) {
    const std::string key = std::string("s=") + id + "&";
    return std::count_if(transport.requests().begin(), transport.requests().end(),
                         [&](const auto& r) { return r.url.find(key) != std::string::npos; });
  };
  // As the update timer does it: forget what no cell asks for, send the rest.
  auto update_round = [&] {
    registry.audit_next_recalc();
    registry.requests_forget_unasked();
    for (std::int32_t r = 1; r <= registry.requests().upper_bound(); ++r) dispatch.request_send(r);
    run();
  };
  set("B1", "=fsingle(\"ONLY\",\"SMP.QUO.LAST\")");  // 1
  value("A2", "BIG");
  value("C2", "BIG");
  set("A1", "=fsingle(A2,\"SMP.QUO.LAST\")");                                    // 2
  set("A3", "=fsingle(A2,\"SMP.QUO.LAST\")+fsingle(\"SML\",\"SMP.QUO.LAST\")");  // 2, 3
  set("C1", "=fsingle(C2,\"SMP.QUO.LAST\")");                                    // 2
  run();
  value("A2", "ONLY");  // a request older than BIG's
  value("C2", "");      // asks for nothing now
  update_round();
  EXPECT_EQ(registry.cell_count(2), 1u);  // C1, which asked for nothing
  EXPECT_EQ(registry.cell_count(1), 3u);  // B1, A1, A3
  EXPECT_EQ(registry.cell_count(3), 1u);  // A3's second call stays
  value("C2", "SML");
  update_round();
  EXPECT_EQ(registry.cell_count(2), 0u);
  const auto before = sent("BIG");
  update_round();
  EXPECT_TRUE(registry.requests().at(2).forgotten);
  EXPECT_EQ(sent("BIG"), before);
  EXPECT_EQ(shown("A1"), "12.5");
  const std::string b = *book->name(), s = *sheet->name();
  EXPECT_EQ(registry.cell_requests().find(b, s, 1, 1), 1);
  EXPECT_EQ(registry.cell_requests().find(b, s, 1, 3), 3);
}

TEST_F(SpineTest, UpdatesRecalculateOnceTheLastAnswerIsIn) {
  set("A1", "=fsingle(\"BIG\",\"SMP.QUO.LAST\")");
  run();
  transport.set_default(http::ScriptedTransport::complete(
      200, "Last Trade: <b>13</b> <table><tr><td>Open:</td><td>1</td></tr></table>", 20));
  dispatch.request_send(1);        // the periodic update
  EXPECT_EQ(shown("A1"), "12.5");  // old data while the update is under way
  run();
  EXPECT_EQ(shown("A1"), "13");
}

TEST_F(SpineTest, AResetWithdrawsAnswersInFlightSoTheyNeverFillANewRequest) {
  transport.script_next(http::ScriptedTransport::complete(200, kPage, 500));
  set("A1", "=fsingle(\"BIG\",\"SMP.QUO.LAST\")");
  loop.advance(100);
  set("A1", "=1");
  registry.requests_reset();  // "Update data" while BIG's answer is on its way
  EXPECT_EQ(registry.inflight_count(), 0);
  transport.script_next(http::ScriptedTransport::complete(
      200, "Last Trade: <b>99</b> <table><tr><td>Open:</td><td>98</td></tr></table>", 20));
  set("A1", "=fsingle(\"OTHER\",\"SMP.QUO.LAST\")");  // takes number 1 again
  ASSERT_EQ(registry.requests().upper_bound(), 1);
  run();
  EXPECT_EQ(shown("A1"), "99");
  EXPECT_TRUE(transport.requests()[0].cancelled);
  EXPECT_EQ(registry.inflight_count(), 0);
}

TEST_F(SpineTest, FieldCodesOfBlanksAreInvalidAndCodesAreCutByCharacters) {
  set("A1", "=fsingle(\"BIG\",\"   \")");
  set("A2", "=fsingle(\"BIG\",\"\")");
  EXPECT_EQ(shown("A1"), "Invalid fieldname!");
  EXPECT_EQ(shown("A2"), "0");  // an empty code: the call answers nothing
  ASSERT_TRUE(engine.load_definitions(
      "<d><datasource code='\xC3\x84SX'><category code='Q\xC3\x9CO'><url>http://127.0.0.1/q</url>"
      "<updatefrq>1</updatefrq><parameter name='instrument id' urlkey='s'/>"
      "<field id='1' name='LAST' type='single'><ref1/><ref2>&lt;b&gt;</ref2><ref3>&lt;/b&gt;</ref3>"
      "</field></category></datasource></d>"));
  // That source names no max_requests_allowed: it may still send one at a time.
  set("A3", "=fsingle(\"BIG\",\"\xC3\x84SX.Q\xC3\x9CO.LAST\")");
  EXPECT_EQ(shown("A3"), "Loading data...");
  run();
  EXPECT_EQ(shown("A3"), "12.5");
}

// What a formula asked before is not taken for what it asks now: after
// definitions are loaded again the same arguments find the new address, and
// after a load that failed (no definitions) they name no field.
TEST_F(SpineTest, AFormulaFollowsDefinitionsLoadedAgainOrLost) {
  set("A1", "=fsingle(\"BIG\",\"SMP.QUO.LAST\")");
  run();
  EXPECT_EQ(shown("A1"), "12.5");
  ASSERT_TRUE(engine.load_definitions(
      "<d><datasource code='SMP'><category code='QUO'><url>http://127.0.0.1/other</url>"
      "<updatefrq>1</updatefrq><parameter name='instrument id' urlkey='s'/>"
      "<field id='1' name='LAST' type='single'><ref1/><ref2>&lt;b&gt;</ref2><ref3>&lt;/b&gt;</ref3>"
      "</field></category></datasource></d>"));
  set("A2", "=fsingle(\"BIG\",\"SMP.QUO.LAST\")");
  ASSERT_EQ(transport.requests().size(), 2u);
  EXPECT_EQ(transport.requests()[1].url.rfind("http://127.0.0.1/other?s=BIG", 0), 0u);
  EXPECT_FALSE(engine.load_definitions("<d><datasource"));
  set("A3", "=fsingle(\"BIG\",\"SMP.QUO.LAST\")");
  EXPECT_EQ(shown("A3"), "Invalid fieldname!");
}

// The key of a calling cell names its workbook and sheet as they are now.
TEST_F(SpineTest, CellKeysFollowARenamedSheetAndAreEmptyOnceItIsGone) {
  const host::RangePtr cell = *sheet->range("C7");
  const std::string book_name = *book->name();
  const std::string lead = std::to_string(book_name.size()) + ":" + book_name;
  EXPECT_EQ(host::cellkey(*cell), lead + "_" + *sheet->name() + "_7_3");
  ASSERT_TRUE(sheet->set_name("Prices").ok());
  EXPECT_EQ(host::cellkey(*cell), lead + "_Prices_7_3");
  // Names holding "_" cannot make two cells one key.
  EXPECT_NE(host::cellkey(host::CellPlace{"a_b", "c", 1, 1}),
            host::cellkey(host::CellPlace{"a", "b_c", 1, 1}));
  // The place as views, from the spreadsheet's names and through the
  // interface's default (which copies into the lent place), says the same.
  host::CellPlace scratch;
  for (const bool by_default : {false, true}) {
    const auto at = by_default ? cell->host::Range::place_ref(scratch) : cell->place_ref(scratch);
    ASSERT_TRUE(at.has_value());
    EXPECT_EQ(at->book, book_name);
    EXPECT_EQ(at->sheet, "Prices");
    EXPECT_EQ(at->row, 7);
    EXPECT_EQ(at->col, 3);
  }
  ASSERT_TRUE((*book->add_worksheet("Other"))->activate().ok());
  ASSERT_TRUE(sheet->remove().ok());
  EXPECT_EQ(host::cellkey(*cell), "");
  EXPECT_FALSE(cell->place_ref(scratch).has_value());
  EXPECT_FALSE(cell->host::Range::place_ref(scratch).has_value());
}

// A formula re-evaluated while its request's waiting cells are walked may
// ask for another request, which grows the tables under the walk. The walk
// must not keep a reference or iterator into them across the re-evaluation.
TEST_F(SpineTest, ReEvaluationThatAddsRequestsDuringTheWalkIsSafe) {
  // More cells than a waiting list scans: it is indexed.
  constexpr int kRows = 20;
  auto input = [&](int row) { return *sheet->range("B" + std::to_string(row)); };
  for (int row = 1; row <= kRows; ++row) {
    ASSERT_TRUE(input(row)->set_value(Value("BIG")).ok());
    const std::string at = "A" + std::to_string(row);
    set(at.c_str(), "=fsingle(B" + std::to_string(row) + ",\"SMP.QUO.LAST\")");
  }
  ASSERT_EQ(registry.cell_count(1), std::size_t{kRows});
  // With manual calculation the new ids reach the formulas only when the
  // registry rewrites them, that is, inside the walk.
  ASSERT_TRUE(app.set_calculation(host::Calculation::Manual).ok());
  for (int row = 1; row <= kRows; ++row) {
    ASSERT_TRUE(input(row)->set_value(Value("N" + std::to_string(row))).ok());
  }
  run(1);
  EXPECT_EQ(registry.requests().upper_bound(), kRows + 1);  // one new request per cell
  // Every cell was walked, asked for its own and left the first.
  EXPECT_EQ(registry.cell_count(1), 0u);
  for (std::int32_t r = 2; r <= kRows + 1; ++r) EXPECT_EQ(registry.cell_count(r), 1u) << r;
  EXPECT_EQ(shown("A20"), "Loading data...");
  EXPECT_EQ(registry.requests_forget_unasked(), 1u);
  EXPECT_TRUE(registry.requests().at(1).forgotten);
}

// Functions taking one instrument, code, name or number read a cell
// reference through its one cell. Given several values there (a range of
// several cells, an array formula's array) they ask for nothing and show
// #VALUE!, never an empty value or the first cell's figure; an error value
// given there is shown and asked for neither. Options
// still come as a range.
TEST_F(SpineTest, SeveralValuesWhereOneIsTakenAskNothingAndShowAnError) {
  ASSERT_TRUE((*sheet->range("A1"))->set_value(Value("BIG")).ok());
  ASSERT_TRUE((*sheet->range("A2"))->set_value(Value("SMALL")).ok());
  ASSERT_TRUE((*sheet->range("D1"))->set_value(Value("units")).ok());
  ASSERT_TRUE((*sheet->range("D2"))->set_value(Value("1")).ok());
  set("B1", "=fsingle(A1,\"SMP.QUO.LAST\",D1:D2)");
  set("B2", "=fsingle(A1:A2,\"SMP.QUO.LAST\")");
  set("B3", "=fsingle(\"BIG\",(A1,A2))");
  set("B4", "=wlink(A1:A2)");
  set("B5", "=fhistory(A1:A2,\"Y\",\"close\",1,2)");
  set("B6", "=sma(A1:A2,A1:A2)");
  auto& model = app.model();
  const auto id = static_cast<spreadsheet::SheetHandle&>(*sheet).sheet_id();
  ASSERT_TRUE(model
                  .set_array_formula(id, spreadsheet::Box{1, 3, 2, 3},
                                     "=fsingle(A1:A2&\"\",\"SMP.QUO.LAST\")")
                  .ok());
  ASSERT_TRUE(model
                  .set_array_formula(id, spreadsheet::Box{3, 3, 3, 3},
                                     "=SUMPRODUCT(fsingle(A1:A2,\"SMP.QUO.LAST\")*1)")
                  .ok());
  // An error value is no instrument, code or name either: it is shown.
  set("E1", "=fsingle(NA(),\"SMP.QUO.LAST\")");
  set("E2", "=fsingle(\"BIG\",1/0)");
  set("E3", "=fhistory(NA(),\"Y\",\"close\",1,2)");
  set("E4", "=wlink(1/0)");
  set("E5", "=fsingle(A1:A2&\"\",\"SMP.QUO.LAST\")");  // a row outside A1:A2
  for (const char* at : {"B2", "B3", "B4", "B5", "B6", "C1", "C2", "C3", "E5"}) {
    EXPECT_EQ(shown(at), "#VALUE!") << at;
  }
  EXPECT_EQ(shown("E1"), "#N/A");
  EXPECT_EQ(shown("E2"), "#DIV/0!");
  EXPECT_EQ(shown("E3"), "#N/A");
  EXPECT_EQ(shown("E4"), "#DIV/0!");
  ASSERT_EQ(transport.requests().size(), 1u);  // B1's
  EXPECT_NE(transport.requests()[0].url.find("s=BIG&"), std::string::npos);
  run();
  EXPECT_EQ(shown("B1"), "12.5");
  EXPECT_EQ(shown("C1"), "#VALUE!");
  EXPECT_EQ(transport.requests().size(), 1u);
}

// A recent entry is found only for its own text: texts of one length and
// ending share two places, the oldest giving way to a third.
TEST(RecentByTextTest, FindsOnlyWhatWasKeptForTheSameText) {
  RecentByText<int> recent;
  std::deque<std::string> texts;
  std::deque<int> values;
  for (int i = 0; i < 500; ++i) {
    texts.push_back("SYM" + std::to_string(i));
    values.push_back(i);
    recent.keep(texts.back(), &values.back());
  }
  for (int i = 0; i < 500; ++i) {
    const int* found = recent.find("SYM" + std::to_string(i));
    if (found) {
      EXPECT_EQ(*found, i);
    }
  }
  EXPECT_EQ(*recent.find("SYM499"), 499);
  EXPECT_EQ(recent.find("SYM5000"), nullptr);
  EXPECT_EQ(recent.find(""), nullptr);

  const std::string a = "AAAA.LAST", b = "BBBB.LAST", c = "CCCC.LAST";
  const int one = 1, two = 2, three = 3;
  recent.keep(a, &one);
  recent.keep(b, &two);
  EXPECT_EQ(recent.find(a), &one);
  EXPECT_EQ(recent.find(b), &two);
  recent.keep(c, &three);
  EXPECT_EQ(recent.find(a), nullptr);
  EXPECT_EQ(recent.find(b), &two);
  EXPECT_EQ(recent.find(c), &three);
  recent.clear();
  EXPECT_EQ(recent.find(c), nullptr);
}

TEST(RegistryTest, RefreshOfAnEmptyTableDoesNothing) {
  spreadsheet::Application app;
  RequestRegistry registry(app);
  registry.request_refresh_cells(0);
  EXPECT_FALSE(registry.refreshing());
  EXPECT_EQ(registry.request_statustext(1), "");
}

TEST(QueryBuildTest, AppendsSetPairsEncodingWhatIsNotSafeInAQuery) {
  EXPECT_EQ(query_build("http://x/q", {"a", "b", "c"}, {"s", "", "f"}, {"ABC", "1", ""}),
            "http://x/q?s=ABC");
  EXPECT_EQ(query_build("http://x/q?", {"a", "b"}, {"s", "t"}, {"A B", "&"}),
            "http://x/q?&s=A%20B&t=%26");
  // An id that would cut the address short or add a parameter stays one
  // value; text already encoded and letters outside ASCII are sent as UTF-8.
  EXPECT_EQ(query_build("http://x/q", {"a", "b", "c"}, {"s", "t", "u"},
                        {"X#Y", "A&s=ZZ+1", "BRK%20B.\xC3\xA9"}),
            "http://x/q?s=X%23Y&t=A%26s%3DZZ%2B1&u=BRK%20B.%C3%A9");
}

}  // namespace
}  // namespace quillo
