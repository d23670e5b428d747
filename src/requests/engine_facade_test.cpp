// What front ends read from the engine facade: each cell's state (waiting,
// answered, failed and why, the file's value kept), progress and the
// summary, over a real spreadsheet, a scripted transport and a virtual
// clock.
#include "requests/engine_facade.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

#include <fstream>
#include <sstream>

#include "host/cell_key.h"
#include "host/event_loop.h"
#include "http/scripted_transport.h"
#include "spreadsheet/application.h"

namespace quillo {
namespace {

using Kind = CellState::Kind;
using http::ScriptedTransport;

constexpr const char* kFacadePage = "<h1>Big Corp (BIG)</h1> Last Trade: <b>12.5</b>";

class FacadeTest : public ::testing::Test {
 protected:
  FacadeTest() : transport(loop), engine(app, loop, transport) {
    std::ifstream in(std::string(QUILLO_DATA_DIR) + "/sample/ds.xml");
    std::ostringstream xml;
    xml << in.rdbuf();
    EXPECT_TRUE(engine.load_definitions(xml.str()));
    EXPECT_TRUE(engine.install_library(std::string(QUILLO_DATA_DIR) + "/tarnvale.xla").ok());
    book = *app.workbooks().add();
    sheet = *book->active_sheet();
    transport.set_default(ScriptedTransport::complete(200, kFacadePage, 20));
  }

  host::RangePtr cell(const char* address) { return *sheet->range(address); }
  void set(const char* address, const std::string& formula) {
    ASSERT_TRUE(cell(address)->set_formula(formula).ok()) << formula;
  }
  Value shown(const char* address) { return *cell(address)->value(); }
  CellState state(const char* address) { return engine.cell_state(*cell(address), shown(address)); }
  // A quote for id: the price formula of the sample definitions.
  static std::string quote(const std::string& id) {
    return "=fsingle(\"" + id + "\",\"SMP.QUO.LAST\")";
  }
  // Lets answers arrive and the queues be sent a few times.
  void run(int seconds = 3) {
    for (int i = 0; i < seconds; ++i) {
      loop.advance(1000);
      engine.send_queued();
    }
  }
  // Keeps the connection errors of the sample source (error handling 2).
  void keep_last_figure_on_connection_errors() {
    EngineSettings s = engine.settings();
    s.connectionerrorhandling = 2;
    engine.configure(s);
  }

  host::VirtualLoop loop;
  ScriptedTransport transport;
  spreadsheet::Application app;
  EngineFacade engine;
  host::WorkbookPtr book;
  host::WorksheetPtr sheet;
};

// Requests made after earlier ones were answered, and those made afresh
// after a reset (which numbers them from 1 again), are waited for.
TEST_F(FacadeTest, AnsweredWaitsForRequestsMadeLaterAndAfterAReset) {
  set("A1", quote("BIG"));
  set("A2", quote("SML"));
  run();
  ASSERT_TRUE(engine.answered());
  set("A3", quote("NEW"));
  EXPECT_FALSE(engine.answered());
  run();
  ASSERT_TRUE(engine.answered());
  transport.set_default(ScriptedTransport::complete(200, kFacadePage, 5000));
  engine.reset_requests();
  EXPECT_FALSE(engine.answered());
  run(8);
  EXPECT_TRUE(engine.answered());
  EXPECT_EQ(engine.progress().total, 3);
}

TEST_F(FacadeTest, CellsAreWaitingUntilAnsweredAndFailuresSayWhy) {
  transport.script_next(ScriptedTransport::complete(200, kFacadePage, 20));
  set("A1", quote("BIG"));
  transport.script_next(ScriptedTransport::complete(200, "There is no quote for this symbol"));
  set("A2", quote("XXX"));
  transport.script_next(ScriptedTransport::complete(500, "oops"));
  set("A3", quote("E5"));
  set("A4", "=fsingle(\"BIG\",\"SMP.QUO.NOPE\")");
  EXPECT_EQ(state("A1").kind, Kind::Waiting);
  EXPECT_EQ(state("A1").reason, "not answered");
  EXPECT_FALSE(state("A1").file_value_kept);
  EXPECT_FALSE(engine.answered());

  run();
  EXPECT_TRUE(engine.answered());
  EXPECT_EQ(state("A1").kind, Kind::Answered);
  EXPECT_EQ(state("A1").reason, "");
  EXPECT_EQ(state("A2").kind, Kind::Failed);
  EXPECT_EQ(state("A2").reason, "invalid instrument");
  EXPECT_EQ(state("A3").kind, Kind::Failed);
  EXPECT_EQ(state("A3").reason, "connection error");
  // No request at all: what the cell shows says it.
  EXPECT_EQ(state("A4").kind, Kind::Failed);
  EXPECT_EQ(state("A4").reason, "invalid field");
  EXPECT_EQ(state("B9").kind, Kind::Failed);
  EXPECT_EQ(state("B9").reason, "empty");

  const Progress p = engine.progress();
  EXPECT_EQ(p.total, 3);
  EXPECT_EQ(p.answered, 3);
  EXPECT_EQ(p.errors, 1);  // the connection error; an invalid instrument is an answer
}

TEST_F(FacadeTest, AFileValueIsKeptWhileWaitingAndOnFailuresTheSettingsKeep) {
  // As the workbook's file held them, before the formulas first ran.
  engine.remember_file_value(*cell("A1"), Value(11.0));
  engine.remember_file_value(*cell("A2"), Value(22.0));
  engine.remember_file_value(*cell("A3"), Value());
  engine.remember_file_value(*cell("A4"), Value(44.0));
  keep_last_figure_on_connection_errors();
  transport.script_next(ScriptedTransport::complete(500, "oops"));
  set("A1", quote("E5"));
  transport.script_next(ScriptedTransport::complete(200, "There is no quote for this symbol"));
  set("A2", quote("XXX"));
  transport.script_next(ScriptedTransport::complete(500, "oops"));
  set("A3", quote("E6"));
  transport.script_next(ScriptedTransport::complete(200, kFacadePage, 20));
  set("A4", quote("BIG"));
  // Waiting, each shows what its file held; an empty cell stays empty.
  EXPECT_EQ(shown("A1"), Value(11.0));
  EXPECT_EQ(shown("A3"), Value(std::string()));
  for (const char* a : {"A1", "A2", "A3", "A4"}) {
    EXPECT_EQ(state(a).kind, Kind::Waiting) << a;
    EXPECT_TRUE(state(a).file_value_kept) << a;
  }

  run();
  // A connection error the settings keep the last figure for.
  EXPECT_EQ(shown("A1"), Value(11.0));
  EXPECT_EQ(state("A1").kind, Kind::Failed);
  EXPECT_EQ(state("A1").reason, "connection error");
  EXPECT_TRUE(state("A1").file_value_kept);
  // A cell that shows something else than the file's value (a history
  // cell writes its own status) did not keep it, whatever the settings say.
  const Value status("Failed to connect to 127.0.0.1 port 9");
  EXPECT_FALSE(engine.cell_state(*cell("A1"), status).file_value_kept);
  // A final answer shows itself.
  EXPECT_EQ(shown("A2").to_text(), "Invalid instrument id");
  EXPECT_EQ(state("A2").reason, "invalid instrument");
  EXPECT_FALSE(state("A2").file_value_kept);
  // An empty "last figure" is no figure: the failure shows.
  EXPECT_EQ(state("A3").reason, "connection error");
  EXPECT_FALSE(state("A3").file_value_kept);
  EXPECT_EQ(state("A4").kind, Kind::Answered);
  EXPECT_EQ(shown("A4"), Value(12.5));

  std::vector<ShownCell> cells;
  for (const char* a : {"A1", "A2", "A3", "A4"}) {
    cells.push_back(ShownCell{*cell(a)->place(), shown(a), *cell(a)->formula()});
  }
  const Summary summary = engine.summarize(cells);
  EXPECT_EQ(summary_line(summary),
            "4 cells with quillo formulas, 1 filled, 2 connection error, 1 invalid instrument; "
            "the file's value kept in 1 of them");
}

TEST_F(FacadeTest, WithoutKeepingAConnectionErrorShowsAndNothingIsKept) {
  engine.remember_file_value(*cell("A1"), Value(11.0));
  transport.script_next(ScriptedTransport::complete(500, "oops"));
  set("A1", quote("E5"));
  run();
  EXPECT_EQ(shown("A1").to_text(), "Connection error. Code: 500 - Internal server error.");
  EXPECT_EQ(state("A1").reason, "connection error");
  EXPECT_FALSE(state("A1").file_value_kept);
}

TEST_F(FacadeTest, AValueWrittenAsAnErrorIsAFailureNotFilled) {
  // The file cannot hold an infinite number: it is written as #NUM!, and
  // counted as that failure, as an error value shown is.
  const Summary summary = engine.summarize(
      {ShownCell{host::CellPlace{"Book1", "Sheet1", 1, 1},
                 Value(std::numeric_limits<double>::infinity()), "=QM(1)"},
       ShownCell{host::CellPlace{"Book1", "Sheet1", 2, 1}, Value(ErrorCode::Value), "=QM(2)"},
       ShownCell{host::CellPlace{"Book1", "Sheet1", 3, 1}, Value(2.5), "=QM(3)"}});
  EXPECT_EQ(summary.filled, 1);
  EXPECT_EQ(summary.failures.count("#NUM!"), 1u);
  EXPECT_EQ(summary.failures.count("#VALUE!"), 1u);
}

// A round's new values are shown once its last answer is in, though that
// answer is a failure, which re-evaluates only its own cells.
TEST_F(FacadeTest, ARoundEndingInAFailureStillShowsTheValuesBeforeIt) {
  set("A1", quote("BIG"));
  set("A2", quote("BAD"));
  set("B1", "=A1+1");
  run();
  ASSERT_EQ(shown("B1"), Value(13.5));
  transport.script_next(ScriptedTransport::complete(200, "Last Trade: <b>20</b>", 20));
  transport.script_next(ScriptedTransport::complete(404, "gone", 40));
  engine.send_due_updates(UpdateRound{true});
  run();
  EXPECT_EQ(shown("A1"), Value(20.0));
  EXPECT_EQ(shown("B1"), Value(21.0));
  EXPECT_EQ(state("A2").kind, Kind::Failed);
}

// The update timer's rounds stop fetching an instrument no cell asks for
// any more: its cell's input changed to another.
TEST_F(FacadeTest, UpdateRoundsStopFetchingWhatACellNoLongerAsksFor) {
  ASSERT_TRUE(cell("A2")->set_value(Value("BIG")).ok());
  set("A1", "=fsingle(A2,\"SMP.QUO.LAST\")");
  run();
  ASSERT_TRUE(cell("A2")->set_value(Value("SML")).ok());
  run();
  auto sent = [&](const std::string& key) {
    return std::count_if(transport.requests().begin(), transport.requests().end(),
                         [&](const auto& r) { return r.url.find(key) != std::string::npos; });
  };
  for (int round = 0; round < 3; ++round) {
    engine.send_due_updates(UpdateRound{true});
    run();
  }
  EXPECT_EQ(sent("s=BIG&"), 2);  // at first, and in the round that showed it unasked
  EXPECT_EQ(sent("s=SML&"), 4);
  EXPECT_EQ(shown("A1"), Value(12.5));
}

// A source slower than the update interval: five times its limit of 8 in
// requests, each answer taking most of an interval, and every round sending
// the answered ones again. Those never sent still go, before those sent
// again, so every cell is filled within a few rounds; never more than the
// limit are in flight, nor one request twice at once.
TEST_F(FacadeTest, ASourceSlowerThanTheIntervalStillSendsEveryRequest) {
  constexpr int kCells = 40;
  constexpr int kLimit = 8;     // the sample source's
  constexpr int kInterval = 3;  // seconds between rounds
  constexpr int kRounds = 8;    // five would do; three to spare
  transport.set_default(ScriptedTransport::complete(200, kFacadePage, 2500));
  auto id = [](int i) { return std::string(i < 10 ? "I0" : "I") + std::to_string(i); };
  for (int i = 1; i <= kCells; ++i) {
    set(("A" + std::to_string(i)).c_str(), quote(id(i)));
  }
  auto pending = [&](const std::string& key) {
    return std::count_if(
        transport.requests().begin(), transport.requests().end(), [&](const auto& r) {
          return r.id != 0 && !r.answered && !r.cancelled && r.url.find(key) != std::string::npos;
        });
  };
  for (int second = 1; second <= kRounds * kInterval; ++second) {
    loop.advance(1000);
    // When both timers are due the round comes first, as the add-in's do.
    if (second % kInterval == 0) engine.send_due_updates(UpdateRound{true});
    engine.send_queued();
    ASSERT_LE(transport.in_flight(), static_cast<std::size_t>(kLimit)) << second;
    for (int i = 1; i <= kCells; ++i) ASSERT_LE(pending("s=" + id(i) + "&"), 1) << id(i);
  }
  for (int i = 1; i <= kCells; ++i) {
    EXPECT_EQ(shown(("A" + std::to_string(i)).c_str()), Value(12.5)) << id(i);
  }
}

TEST(ShownTexts, StatusTextsAreProgressOrFailuresAndValuesAreOther) {
  EXPECT_EQ(shown_kind("Loading data..."), ShownKind::Progress);
  EXPECT_EQ(shown_kind("Invalid fieldname!"), ShownKind::Failure);
  EXPECT_EQ(shown_kind("Invalid instrument id"), ShownKind::Failure);
  EXPECT_EQ(shown_kind("12.5"), ShownKind::Other);
}

}  // namespace
}  // namespace quillo
