// The assistants driven as a user drives them, on a real spreadsheet with a
// scripted transport whose search pages come from the local market-data
// service; the sheet is checked afterwards.
#include "assistants/assistants.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "common/text.h"
#include "demo/market_data.h"
#include "demo/market_site.h"
#include "host/event_loop.h"
#include "http/scripted_transport.h"
#include "spreadsheet/address.h"
#include "spreadsheet/application.h"
#include "spreadsheet/handles.h"

namespace quillo::assistants {
namespace {

std::string local_definitions() {
  std::ifstream in(std::string(QUILLO_DATA_DIR) + "/ds.xml");
  std::ostringstream xml;
  xml << in.rdbuf();
  std::string s = xml.str();
  text::replace_all(s, "{port}", "1");
  return s;
}

class AssistantsTest : public ::testing::Test {
 protected:
  AssistantsTest() : transport(loop), engine(app, loop, transport) {
    EXPECT_TRUE(engine.load_definitions(local_definitions()));
    EXPECT_TRUE(engine.install_library(std::string(QUILLO_DATA_DIR) + "/tarnvale.xla").ok());
    book = *app.workbooks().add();
    sheet = *book->active_sheet();
    transport.set_default(http::ScriptedTransport::never());
    place.emplace(Workplace{app, engine, messages, [this] { return sheet->range(active); },
                            [] {
                              return CivilDate{2026, 12, 6};
                            }});
    assistants = std::make_unique<Assistants>(*place);
  }
  // Answers the next request with the service's page for target.
  void serve(const std::string& target) {
    transport.script_next(http::ScriptedTransport::complete(200, site.answer(target).body));
  }
  void run() {
    for (int i = 0; i < 3; ++i) {
      loop.advance(1000);
      engine.send_queued();
    }
  }
  std::string shown(const std::string& a) { return (*(*sheet->range(a))->value()).to_text(); }
  std::string r1c1(const std::string& a) { return *(*sheet->range(a))->formula_r1c1(); }
  std::string last_message() {
    return messages.messages.empty() ? std::string() : messages.messages.back().text;
  }

  host::VirtualLoop loop;
  http::ScriptedTransport transport;
  spreadsheet::Application app;
  EngineFacade engine;
  host::RecordingMessages messages;
  host::WorkbookPtr book;
  host::WorksheetPtr sheet;
  std::string active = "B2";
  std::optional<Workplace> place;
  std::unique_ptr<Assistants> assistants;
  service::MarketSite site{[] { return std::int64_t{1767225600000}; }};
};

TEST_F(AssistantsTest, SearchWritesThreeChosenIdsDownFromTheActiveCell) {
  const std::string query = service::instruments()[0].name.substr(0, 4);
  std::vector<const service::Instrument*> hits;
  for (const auto& i : service::instruments()) {
    if (text::find_ci(i.name, query) || text::find_ci(i.symbol, query)) hits.push_back(&i);
  }
  ASSERT_GE(hits.size(), 3u);
  form_search1& f = assistants->open_search();
  f.type("instrument_name", query);
  serve("/search?q=" + query);
  f.key_down("instrument_name", host::kKeyEnter);  // Enter searches like the button
  EXPECT_TRUE(f.searching.visible);
  ASSERT_EQ(transport.requests().size(), 1u);
  EXPECT_EQ(transport.requests()[0].url, "http://127.0.0.1:1/search?q=" + query);
  run();
  EXPECT_FALSE(f.searching.visible);
  ASSERT_EQ(f.resultlist.list_count(),
            static_cast<std::int32_t>(std::min<std::size_t>(hits.size(), 50)));
  EXPECT_EQ(f.resultlist.row(1),
            (std::vector<std::string>{hits[1]->name, hits[1]->symbol, hits[1]->exchange}));
  for (std::int32_t r : {0, 1, 2}) {
    f.choose("resultlist", r);
    r == 1 ? f.double_click("resultlist") : f.click("CommandButton4");
  }
  f.choose("selection", 1);
  f.click("CommandButton5");
  f.choose("resultlist", 1);
  f.click("CommandButton4");
  f.click("CommandButton3");
  EXPECT_EQ(shown("B2"), hits[0]->symbol);
  EXPECT_EQ(shown("B3"), hits[2]->symbol);
  EXPECT_EQ(shown("B4"), hits[1]->symbol);
  EXPECT_EQ(app.calculation(), host::Calculation::Automatic);
  EXPECT_TRUE(f.closed());
  // The next use is a fresh dialog.
  EXPECT_EQ(assistants->open_search().selection.list_count(), 0);
}

TEST_F(AssistantsTest, SearchReadsTheCompactLayoutAndEncodesTheText) {
  const service::Instrument& inst = service::instruments()[5];
  form_search1& f = assistants->open_search();
  f.choose("source_list", 1);
  f.type("instrument_name", inst.symbol + " & co#");
  serve("/m/search?q=" + inst.symbol);
  f.click("CommandButton1");
  EXPECT_EQ(transport.requests()[0].url,
            "http://127.0.0.1:1/m/search?q=" + inst.symbol + "%20%26%20co%23");
  run();
  ASSERT_GE(f.resultlist.list_count(), 1);
  EXPECT_EQ(f.resultlist.item(0, 0), inst.name);
  EXPECT_EQ(f.resultlist.item(0, 1), inst.symbol);
}

TEST_F(AssistantsTest, SearchFailuresShowARowThatCannotBeChosen) {
  form_search1& f = assistants->open_search();
  f.type("instrument_name", "zzzz nothing");
  serve("/search?q=zzzz+nothing");
  f.click("CommandButton1");
  run();
  EXPECT_EQ(f.resultlist.column(), (std::vector<std::string>{"No results found."}));
  f.choose("resultlist", 0);
  f.click("CommandButton4");
  EXPECT_EQ(f.selection.list_count(), 0);

  transport.script_next(http::ScriptedTransport::complete(200, "<p>no table here</p>"));
  f.click("CommandButton1");
  run();
  EXPECT_EQ(f.resultlist.chosen(), "");
  EXPECT_EQ(f.resultlist.column(), (std::vector<std::string>{"No results found."}));

  // Rows of empty cells are no hits; a table of nothing else has none.
  const std::string head = "<table><tr><th>Name</th><th>Symbol</th><th>Exchange</th></tr>";
  const std::string blank = "<tr><td></td><td> </td><td></td></tr><tr></tr>";
  transport.script_next(http::ScriptedTransport::complete(
      200, head + blank + "<tr><td>Alden</td><td>ALD</td><td>X</td></tr>" + blank + "</table>"));
  f.click("CommandButton1");
  run();
  ASSERT_EQ(f.resultlist.list_count(), 1);
  EXPECT_EQ(f.resultlist.row(0), (std::vector<std::string>{"Alden", "ALD", "X"}));
  transport.script_next(http::ScriptedTransport::complete(200, head + blank + "</table>"));
  f.click("CommandButton1");
  run();
  EXPECT_EQ(f.resultlist.column(), (std::vector<std::string>{"No results found."}));
  EXPECT_TRUE(f.status_row());

  // An empty answer is no page at all: an error, not "no results".
  transport.script_next(http::ScriptedTransport::complete(200, " \r\n"));
  f.click("CommandButton1");
  run();
  ASSERT_EQ(f.resultlist.list_count(), 1);
  EXPECT_EQ(f.resultlist.item(0, 0), "Error - the search page answered with an empty page");

  transport.set_default(http::ScriptedTransport::fail(28, "Timeout was reached"));
  f.click("CommandButton1");
  run();
  run();
  ASSERT_EQ(f.resultlist.list_count(), 1);
  EXPECT_EQ(f.resultlist.item(0, 0).rfind("Error - ", 0), 0u);
  f.choose("resultlist", 0);
  f.double_click("resultlist");
  EXPECT_EQ(f.selection.list_count(), 0);

  // Nothing to search for: a message, no request.
  const std::size_t sent = transport.requests().size();
  f.type("instrument_name", "  ");
  f.click("CommandButton1");
  EXPECT_EQ(transport.requests().size(), sent);
  EXPECT_NE(last_message().find("enter the name"), std::string::npos);
  // "Ok" with an empty selection writes nothing.
  f.click("CommandButton3");
  EXPECT_EQ(shown("B2"), "");
}

TEST_F(AssistantsTest, SearchListsAThousandHitsAndRefusesASourceWithoutSearch) {
  std::string page = "<table><tr><th>Name</th><th>Symbol</th><th>Exchange</th></tr>";
  for (int i = 0; i < 1000; ++i) {
    page +=
        "<tr><td>N" + std::to_string(i) + "</td><td>S" + std::to_string(i) + "</td><td>X</td></tr>";
  }
  form_search1& f = assistants->open_search();
  f.type("instrument_name", "N");
  transport.script_next(http::ScriptedTransport::complete(200, page + "</table>"));
  f.click("CommandButton1");
  run();
  ASSERT_EQ(f.resultlist.list_count(), 1000);
  EXPECT_EQ(f.resultlist.row(999), (std::vector<std::string>{"N999", "S999", "X"}));

  ASSERT_TRUE(engine.load_definitions(
      "<definitions><version>1</version><datasource code=\"A\" name=\"No search\">"
      "<max_requests_allowed>1</max_requests_allowed></datasource></definitions>"));
  form_search1& g = assistants->open_search();
  EXPECT_FALSE(g.CommandButton1.enabled);
  const std::size_t sent = transport.requests().size();
  g.do_search();
  EXPECT_EQ(transport.requests().size(), sent);
  EXPECT_NE(last_message().find("offers no symbol search"), std::string::npos);
}

TEST_F(AssistantsTest, SearchRefusesABlockBelowTheLastRow) {
  form_search1& f = assistants->open_search();
  f.selection.add_row({"A", "AAA"});
  f.selection.add_row({"B", "BBB"});
  active = "C" + std::to_string(spreadsheet::kMaxRows);
  f.click("CommandButton3");
  EXPECT_FALSE(f.closed());
  EXPECT_NE(last_message().find("do not fit"), std::string::npos);
  EXPECT_EQ(shown(active), "");
}

TEST_F(AssistantsTest, SingleItemTableWithAParameterBlock) {
  wiz1& w1 = assistants->open_single_item();
  EXPECT_FALSE(w1.button_next.enabled);
  // The search hands its ids to the instrument box.
  w1.click("button_search");
  form_search1& f = *assistants->search();
  EXPECT_EQ(f.mode(), 2);
  f.selection.add_row({"Alpha", "ABC"});
  f.selection.add_row({"Beta", "DEF"});
  f.click("CommandButton3");
  EXPECT_EQ(w1.dlg_ids.text, "ABC,DEF");
  EXPECT_TRUE(w1.button_next.enabled);
  w1.type("dlg_ids", "ABC; DEF,");  // blanks and a trailing separator
  w1.click("button_next");
  wiz2& w2 = *assistants->single_step2();
  ASSERT_TRUE(w2.visible);
  w2.type("dlg_searchfield", "zzz");
  w2.click("button_searchfield");
  EXPECT_NE(w2.label_found.caption, "");
  w2.click("button_clearsearch");
  for (const char* name : {"LAST", "CHANGE", "OPEN"}) {
    for (std::size_t n = 0; n < w2.ftree.nodes.size(); ++n) {
      if (w2.ftree.nodes[n].key == std::string("LMS.QUO.") + name) {
        w2.choose_node("ftree", static_cast<std::int32_t>(n));
        w2.double_click("ftree");
        break;
      }
    }
  }
  ASSERT_EQ(w2.fields(),
            (std::vector<std::string>{"LMS.QUO.LAST", "LMS.QUO.CHANGE", "LMS.QUO.OPEN"}));
  w2.click("button_next");
  wiz3& w3 = *assistants->single_step3();
  ASSERT_EQ(w3.parameter_count(), 1);
  EXPECT_EQ(w3.control("mylabel1")->caption, "units");
  w3.choose("mydropdown1", 1);
  w3.click("button_finish");
  EXPECT_FALSE(w3.visible);
  EXPECT_EQ(shown("C2"), "units");
  EXPECT_EQ(shown("C3"), "Millions");
  EXPECT_EQ(shown("C4"), "");
  EXPECT_EQ(shown("C5"), "LMS.QUO.LAST");
  EXPECT_EQ(shown("E5"), "LMS.QUO.OPEN");
  EXPECT_EQ(shown("B6"), "ABC");
  EXPECT_EQ(shown("B7"), "DEF");
  EXPECT_EQ(shown("B8"), "");
  EXPECT_EQ(r1c1("C6"), "=fsingle(RC2,R5C,R2C3:R3C3)");
  EXPECT_EQ(r1c1("E7"), "=fsingle(RC2,R5C,R2C3:R3C3)");
  EXPECT_EQ(shown("D7"), "Loading data...");
  EXPECT_EQ(r1c1("F6"), "");
}

TEST_F(AssistantsTest, SingleItemWithoutParametersAndIdsAlongTheTop) {
  wiz1& w1 = assistants->open_single_item();
  w1.choose("source_list", 1);
  w1.type("dlg_ids", "0700,DEF");
  w1.click("button_next");
  wiz2& w2 = *assistants->single_step2();
  w2.choose_node("ftree", 1);  // the first field of the first category
  w2.click("button_add");
  w2.choose_node("ftree", 0);  // a category stands for no field
  w2.click("button_add");
  ASSERT_EQ(w2.fields().size(), 1u);
  w2.click("button_next");
  wiz3& w3 = *assistants->single_step3();
  EXPECT_EQ(w3.control("mylabel1")->caption, "There are no parameters to setup.");
  w3.choose("orientation", 1);
  w3.click("button_finish");
  // An id that looks like a number stays the text it was.
  EXPECT_EQ(*(*sheet->range("C2"))->value(), Value("0700"));
  EXPECT_EQ(shown("D2"), "DEF");
  EXPECT_EQ(shown("B3"), w2.fields()[0]);
  EXPECT_EQ(r1c1("D3"), "=fsingle(R2C,RC2,\"\")");
}

TEST_F(AssistantsTest, SingleItemRefusesBadInputAndWritesNothing) {
  wiz1& w1 = assistants->open_single_item();
  w1.type("dlg_ids", " ; , ");
  w1.click("button_next");
  wiz2& w2 = *assistants->single_step2();
  w2.choose_node("ftree", 1);
  w2.click("button_add");
  w2.click("button_next");
  assistants->single_step3()->click("button_finish");
  EXPECT_NE(last_message().find("instrument id"), std::string::npos);
  EXPECT_TRUE(assistants->single_step3()->visible);
  // Ids given, but the table would pass the last column.
  assistants->open_single_item().type("dlg_ids", "ABC,DEF");
  assistants->single_step1()->click("button_next");
  w2.choose_node("ftree", 1);
  w2.click("button_add");
  w2.click("button_next");
  active = spreadsheet::cell_a1(5, spreadsheet::kMaxCols);
  assistants->single_step3()->click("button_finish");
  EXPECT_NE(last_message().find("does not fit"), std::string::npos);
  EXPECT_EQ(*(*sheet->used_range())->address(), "$A$1");
  // A table over cells of an array formula would be written in part: none of
  // it is, and the array stays whole (the history block likewise).
  const auto* handle = dynamic_cast<const spreadsheet::SheetHandle*>(sheet.get());
  ASSERT_NE(handle, nullptr);
  ASSERT_TRUE(app.model().set_array_formula(handle->sheet_id(), {4, 3, 5, 4}, "=ROW()").ok());
  active = "B2";
  assistants->single_step3()->click("button_finish");
  EXPECT_NE(last_message().find("cells of an array formula"), std::string::npos);
  EXPECT_EQ(shown("B2"), "");
  EXPECT_EQ(shown("C5"), "5");
  messages.messages.clear();
  wizard_step_1& s1 = assistants->open_history();
  s1.type("instrument", "ABC");
  s1.click("button_next");
  active = "D1";
  assistants->history_options()->click("button_ok");
  assistants->history_step2()->choose("available", 0);
  assistants->history_step2()->click("button_add");
  assistants->history_step2()->click("button_finish");
  EXPECT_NE(last_message().find("history block would cover cells of an array formula"),
            std::string::npos)
      << last_message();
  EXPECT_EQ(shown("D1"), "");
}

TEST_F(AssistantsTest, HistoryBlockAtB2) {
  wizard_step_1& s1 = assistants->open_history();
  EXPECT_EQ(s1.source_get(), "Yahoo");
  // The search hands its ids back to the instrument box.
  s1.click("button_search");
  assistants->search()->selection.add_row({"Gamma", "GHI"});
  assistants->search()->click("CommandButton3");
  EXPECT_EQ(s1.instrument.text, "GHI");
  s1.type("instrument", "ABC;DEF");
  s1.click("button_next");
  EXPECT_EQ(s1.codenum_get(), 2);
  form_history_options& o = *assistants->history_options();
  ASSERT_TRUE(o.visible);
  o.choose("start_day", 0);
  o.choose("start_month", 2);
  o.choose("start_year", 2026 - 2010);
  o.choose("sampling", 1);
  o.choose("sort", 1);
  o.choose("orientation", 1);
  o.choose("header", 1);
  o.click("button_ok");
  wizard_step_2& s2 = *assistants->history_step2();
  ASSERT_TRUE(s2.visible);
  EXPECT_EQ(s2.source_number(), 2);
  // Back shows the options as they were left.
  s2.click("button_back");
  ASSERT_TRUE(o.visible);
  EXPECT_EQ(o.sampling_get(), "W");
  o.click("button_ok");
  for (std::int32_t i : {4, 5}) {
    s2.choose("available", i);
    s2.click("button_add");
  }
  ASSERT_TRUE(app.set_calculation(host::Calculation::SemiAutomatic).ok());
  s2.click("button_finish");
  EXPECT_EQ(app.calculation(), host::Calculation::SemiAutomatic);
  EXPECT_EQ(shown("B2"), "ABC");
  EXPECT_EQ(*(*sheet->range("B3"))->value(), Value(Date{date_serial(2010, 3, 1)}));
  EXPECT_EQ(*(*sheet->range("B4"))->value(), Value(Date{date_serial(2026, 12, 6)}));
  EXPECT_EQ(*(*sheet->range("B3"))->number_format(), "[$-409]d-mmm-yy;@");
  EXPECT_EQ(shown("B5"), "W");
  EXPECT_EQ(r1c1("B6"),
            "=fhistory(R2C,\"Yahoo\",\"CLOSE,VOLUME\",R3C,R4C,R5C,"
            "{\"SORT\";\"desc\";\"HEADER\";\"no\";\"TRANSPOSE\";\"yes\"})");
}

TEST_F(AssistantsTest, HistoryRefusesAnInvalidDateAndALowCell) {
  wizard_step_1& s1 = assistants->open_history();
  s1.click("button_next");
  form_history_options& o = *assistants->history_options();
  o.choose("start_day", 30);
  o.choose("start_month", 1);
  o.click("button_ok");
  EXPECT_TRUE(o.visible);
  EXPECT_NE(last_message().find("start date"), std::string::npos);
  o.choose("start_day", 0);
  o.click("button_ok");
  active = "A" + std::to_string(spreadsheet::kMaxRows - 3);
  assistants->history_step2()->click("button_finish");
  EXPECT_NE(last_message().find("five cells"), std::string::npos);
  EXPECT_EQ(shown(active), "");
  // With no id and no field the block is still written, as the function checks.
  active = "A1";
  assistants->history_step2()->click("button_finish");
  EXPECT_EQ(r1c1("A5").find("=fhistory(R1C,\"Yahoo\",\"\",R2C"), 0u);
}

}  // namespace
}  // namespace quillo::assistants
