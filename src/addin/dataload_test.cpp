// The add-in's life on a real spreadsheet, a scripted transport and a
// virtual clock: start-up and shutdown, installing the function library,
// the minute timer's update rules, the menu's commands and link repair.
#include "addin/dataload.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "addin/addin_test_support.h"
#include "requests/engine.h"

namespace quillo::addin {
namespace {

namespace fs = std::filesystem;

constexpr const char* kPage = "<h1>Big Corp (BIG)</h1> Last Trade: <b>12.5</b>";

class AddinTest : public testing::AddinHostTest {
 protected:
  void SetUp() override {
    AddinHostTest::SetUp();
    make_state(false);
    transport.set_default(http::ScriptedTransport::complete(200, kPage, 20));
  }
  host::WorksheetPtr new_sheet() {
    auto book = *app.workbooks().add();
    return *book->active_sheet();
  }
  void set(const host::WorksheetPtr& sheet, const char* address, const std::string& formula) {
    ASSERT_TRUE((*sheet->range(address))->set_formula(formula).ok()) << formula;
  }
  std::string shown(const host::WorksheetPtr& sheet, const char* address) {
    return (*(*sheet->range(address))->value()).to_text();
  }
  void minutes(int n) { seconds(n * 60); }
};

TEST_F(AddinTest, StartsInAnEmptyHostAndStopsWithoutTraces) {
  connect();
  EXPECT_FALSE(app.ask_to_update_links());
  EXPECT_FALSE(app.display_alerts());
  // The library was found through the module's folder, which is remembered.
  EXPECT_EQ(state->accmanager().config_getkey("installpath", false, Value()).to_text(),
            install.string() + "/");
  ASSERT_EQ(app.add_ins().count(), 1);
  EXPECT_TRUE((*app.add_ins().item(1))->installed().value_or(false));
  EXPECT_EQ(app.workbooks().count(), 0);  // the blank workbook it needed is gone
  EXPECT_TRUE(messages.messages.empty());
  EXPECT_EQ(loop.timer_count(), 2u);
  // Automatic update: "Update data" is greyed out.
  ASSERT_TRUE(menu_item("Update data"));
  EXPECT_FALSE(menu_item("Update data")->enabled().value_or(true));

  auto sheet = new_sheet();
  set(sheet, "A1", "=fsingle(\"BIG\",\"SMP.QUO.LAST\")");
  EXPECT_EQ(shown(sheet, "A1"), "Loading data...");
  loop.advance(1000);  // the second timer sends it
  EXPECT_EQ(transport.requests().size(), 1u);
  connection->IDTExtensibility2_OnDisconnection(DisconnectMode::UserClosed);
  EXPECT_EQ(loop.timer_count(), 0u);
  EXPECT_EQ(transport.in_flight(), 0u);
  EXPECT_FALSE(menu_item("&Tarnvale"));
  EXPECT_FALSE(state->engine());
  // Formulas evaluated after the add-in is gone do not reach it.
  set(sheet, "A2", "=fsingle(\"BIG\",\"SMP.QUO.LAST\")");
  EXPECT_EQ(shown(sheet, "A2"), "#NAME?");
}

TEST_F(AddinTest, AHostThatFindsItsFolderEachTimeStoresNoInstallPath) {
  // LibreOffice's extension lies in a cache folder of its own: the add-in
  // finds its files there and works, but the shared settings the command
  // line reads get no installpath pointing into it.
  make_state(false, {}, false);
  connect();
  ASSERT_TRUE(connection->connected());
  EXPECT_TRUE(state->definitions_error().empty()) << state->definitions_error();
  ASSERT_EQ(app.add_ins().count(), 1);
  EXPECT_EQ(*(*app.add_ins().item(1))->full_name(), (install / "tarnvale.xla").string());
  EXPECT_FALSE(reg->reg_valueexists(HKEY_CURRENT_USER, kConfigKeyPath, "installpath", false, 1));
  EXPECT_FALSE(reg->reg_valueexists(HKEY_LOCAL_MACHINE, kConfigKeyPath, "installpath", false, 1));
  auto sheet = new_sheet();
  set(sheet, "A1", "=fsingle(\"BIG\",\"SMP.QUO.LAST\")");
  seconds(1);
  EXPECT_EQ((*(*sheet->range("A1"))->value()).to_text(), "12.5");

  // A folder the user set still wins.
  connection->IDTExtensibility2_OnDisconnection(DisconnectMode::UserClosed);
  const fs::path elsewhere = install.parent_path() / "elsewhere";
  fs::create_directories(elsewhere);
  fs::copy_file(install / "ds.xml", elsewhere / "ds.xml");
  fs::copy_file(install / "tarnvale.xla", elsewhere / "tarnvale.xla");
  ASSERT_TRUE(reg->reg_writevalue(HKEY_CURRENT_USER, kConfigKeyPath, "installpath",
                                  Value(elsewhere.string() + "/"), true));
  make_state(false, {}, false);
  connect();
  EXPECT_EQ(state->accmanager().install_path(), elsewhere.string() + "/");
}

TEST_F(AddinTest, InstallsTheLibraryOnlyWhenNotListedUnderItsExactName) {
  ASSERT_TRUE(reg->reg_writevalue(HKEY_LOCAL_MACHINE, kConfigKeyPath, "installpath",
                                  Value(install.string() + "/"), true));
  // Listed under its exact name already: nothing is added.
  auto listed = app.add_ins().add((install / "tarnvale.xla").string());
  ASSERT_TRUE(listed.ok());
  connect();
  EXPECT_EQ(app.add_ins().count(), 1);
  EXPECT_FALSE((*listed)->installed().value_or(true));  // left as the user set it
  // The machine-wide folder was used: nothing written for the user.
  EXPECT_FALSE(reg->reg_valueexists(HKEY_CURRENT_USER, kConfigKeyPath, "installpath", false, 1));

  // One host per process: a second connection elsewhere is refused.
  spreadsheet::Application elsewhere;
  auto other = std::dynamic_pointer_cast<Connectexcel>(*objects.create(kConnectProgId));
  other->IDTExtensibility2_OnConnection(elsewhere, ConnectMode::Startup, nullptr);
  EXPECT_FALSE(other->connected());
  other->IDTExtensibility2_OnDisconnection(DisconnectMode::UserClosed);
  EXPECT_EQ(state->app(), &app);
  EXPECT_EQ(loop.timer_count(), 2u);
  other.reset();
  connection.reset();

  // Another letter case is another name: the add step runs.
  fs::create_directories(m_root / "other");
  fs::copy_file(install / "tarnvale.xla", m_root / "other" / "TARNVALE.XLA");
  spreadsheet::Application app2;
  ASSERT_TRUE(app2.add_ins().add((m_root / "other" / "TARNVALE.XLA").string()).ok());
  auto made = objects.create(kConnectProgId);
  auto second = std::dynamic_pointer_cast<Connectexcel>(*made);
  second->IDTExtensibility2_OnConnection(app2, ConnectMode::Startup, nullptr);
  EXPECT_EQ(app2.add_ins().count(), 2);
  EXPECT_TRUE((*app2.add_ins().item(2))->installed().value_or(false));
}

// The desktop host tells the user once at start-up that the definitions did
// not load; hosts that report start-up problems themselves are not given a
// second box.
TEST_F(AddinTest, DefinitionsThatDoNotLoadAreReportedWhereTheHostAsks) {
  std::ofstream(install / "ds.xml", std::ios::trunc) << "<definitions><datasource>";
  for (const bool report : {false, true}) {
    messages.messages.clear();
    make_state(false);
    state->platform().report_definitions_failure = report;
    connect();
    EXPECT_FALSE(state->definitions_error().empty());
    ASSERT_EQ(messages.messages.size(), report ? 1u : 0u);
    if (report) {
      EXPECT_TRUE(messages.messages[0].text.starts_with("Error during load of xml: "))
          << messages.messages[0].text;
      EXPECT_NE(messages.messages[0].text.find("ds.xml"), std::string::npos);
    }
    connection->IDTExtensibility2_OnDisconnection(DisconnectMode::HostShutdown);
  }
}

TEST_F(AddinTest, AMissingLibraryIsReportedAndTheAddinRunsOn) {
  fs::remove(install / "tarnvale.xla");
  fs::remove(install / "ds.xml");
  connect();
  ASSERT_EQ(messages.messages.size(), 1u);
  EXPECT_EQ(messages.messages[0].text,
            "Unable to add tarnvale.xla to the add-ins! Please locate tarnvale.xla and add it via "
            "Tools/Addins.");
  EXPECT_EQ(messages.messages[0].title, "Installation Error");
  EXPECT_EQ(messages.messages[0].icon, host::MessageIcon::Critical);
  EXPECT_EQ(app.workbooks().count(), 0);
  EXPECT_EQ(loop.timer_count(), 2u);
  EXPECT_TRUE(menu_item("Settings..."));
}

TEST_F(AddinTest, ObjectsMadeByProgIdOutsideTheHostStartNothing) {
  EXPECT_EQ(get_dllpath(objects, kConnectProgId), (install / "quillo-addin.so").string());
  EXPECT_EQ(get_dllpath(objects, "quillo.nothing"), "");
  auto made = objects.create(kConnectProgId);
  ASSERT_TRUE(made.ok());
  EXPECT_TRUE(std::dynamic_pointer_cast<Connectexcel>(*made)->core());
  EXPECT_TRUE(objects.create(kEventsProgId).ok());
  EXPECT_EQ(loop.timer_count(), 0u);
  EXPECT_EQ(app.add_ins().count(), 0);
  // Connected, every core object reaches the same engine.
  connect();
  auto core = std::dynamic_pointer_cast<CoreObject>(*objects.create(kCoreProgId));
  EXPECT_EQ(core->methods(), connection->core()->methods());
  EXPECT_NE(core->methods(), nullptr);
  EXPECT_EQ(loop.timer_count(), 2u);  // an events object made later starts nothing more
}

TEST_F(AddinTest, TheMinuteTimerSendsDueRequestsAndAdvancesItsCounters) {
  connect();
  auto sheet = new_sheet();
  set(sheet, "A1", "=fsingle(\"BIG\",\"SMP.QUO.LAST\")");
  set(sheet, "A2", "=fsingle(\"SLOW\",\"SMP.QUO.LAST\")");
  loop.advance(1000);
  loop.advance(1000);
  EXPECT_EQ(shown(sheet, "A1"), "12.5");
  RequestTable& requests = state->engine()->parts().registry().requests();
  requests.at(2).updatefrq = 15;  // a quarter-hourly category
  auto sent_for = [&](std::string_view id) {
    std::size_t n = 0;
    for (const auto& r : transport.requests()) n += r.url.find(id) != std::string::npos;
    return n;
  };
  minutes(1);  // every minute by default
  EXPECT_EQ(sent_for("s=BIG"), 2u);
  EXPECT_EQ(sent_for("s=SLOW"), 1u);
  state->config().trading_updatefrq = 3;
  minutes(2);
  EXPECT_EQ(sent_for("s=BIG"), 2u);
  minutes(1);  // three minutes since the last update
  EXPECT_EQ(sent_for("s=BIG"), 3u);
  EXPECT_EQ(state->update_counter(), 0);
  minutes(11);  // the 15th minute
  EXPECT_EQ(sent_for("s=SLOW"), 2u);
  EXPECT_EQ(state->counter15(), 0);

  // A request that failed is tried again at every minute.
  state->config().trading_updatefrq = 60;
  requests.at(1).status = RequestStatus::ConnectionError;
  const std::size_t big = sent_for("s=BIG");
  minutes(1);
  EXPECT_EQ(sent_for("s=BIG"), big + 1);

  // Manual mode: nothing is sent, the counters still run and wrap.
  state->config().trading_updatemode = 2;
  requests.at(1).status = RequestStatus::ConnectionError;
  const std::size_t before = transport.requests().size();
  minutes(16);
  EXPECT_EQ(transport.requests().size(), before);
  EXPECT_EQ(state->counter15(), 2);  // 32 minutes: wrapped at 15 and 30
}

TEST_F(AddinTest, SettingsAndUpdateDataThroughTheMenu) {
  connect();
  auto sheet = new_sheet();
  set(sheet, "A1", "=fsingle(\"BIG\",\"SMP.QUO.LAST\")");
  loop.advance(1000);
  loop.advance(1000);
  ASSERT_EQ(shown(sheet, "A1"), "12.5");

  ASSERT_TRUE(menu_item("Settings...")->click().ok());
  ASSERT_TRUE(state->settings_dialog() && state->settings_dialog()->visible);
  state->settings_dialog()->choose("select_updatemode", 1);  // Manual
  state->settings_dialog()->choose("select_parseerror", 1);
  state->settings_dialog()->click("button_ok");
  EXPECT_EQ(state->config().trading_updatemode, 2);
  EXPECT_EQ(state->engine()->settings().parseerrorhandling, 2);
  EXPECT_EQ(state->engine()->http_settings().receive_timeout, 30);
  EXPECT_TRUE(menu_item("Update data")->enabled().value_or(false));

  // A full refresh asks every formula again.
  const std::size_t before = transport.requests().size();
  ASSERT_TRUE(menu_item("Update data")->click().ok());
  EXPECT_EQ(transport.requests().size(), before + 1);
  EXPECT_EQ(shown(sheet, "A1"), "Loading data...");
  loop.advance(1000);
  EXPECT_EQ(shown(sheet, "A1"), "12.5");

  // The settings persist: a new start reads them.
  connection.reset();
  connect();
  EXPECT_EQ(state->config().trading_updatemode, 2);
  EXPECT_TRUE(menu_item("Update data")->enabled().value_or(false));
}

TEST_F(AddinTest, TheAssistantEntriesOpenTheirDialogs) {
  connect();
  ASSERT_TRUE(menu_item("Search...")->click().ok());
  ASSERT_NE(state->assistants(), nullptr);
  ASSERT_TRUE(state->assistants()->search()->visible);
  EXPECT_EQ(state->assistants()->search()->source_list.list_count(),
            static_cast<std::int32_t>(state->engine()->definitions().datasources().size()));
  ASSERT_TRUE(menu_item("Single Dataitem Assistant")->click().ok());
  EXPECT_TRUE(state->assistants()->single_step1()->visible);
  ASSERT_TRUE(menu_item("History Assistant")->click().ok());
  EXPECT_EQ(state->assistants()->history_step1()->source_get(), "Yahoo");
  EXPECT_TRUE(state->assistants()->history_step1()->visible);
  const std::size_t shown_before = messages.messages.size();
  ASSERT_TRUE(menu_item("Create Weblink")->click().ok());
  ASSERT_EQ(messages.messages.size(), shown_before + 1);
  EXPECT_EQ(messages.messages.back().title, "Create Weblink");
}

TEST_F(AddinTest, OpeningAWorkbookRepairsCallsThroughAnotherCopyOfTheLibrary) {
  connect();
  app.set_workbook_loader([](spreadsheet::Application& a,
                             std::string_view) -> Result<host::WorkbookPtr> {
    auto book = *a.workbooks().add();
    auto s1 = *book->active_sheet();
    auto s2 = *book->add_worksheet("Other");
    (void)(*s1->range("A1"))
        ->set_formula("='/old/dir/tarnvale.xla'!fsingle(\"BIG\",\"SMP.QUO.LAST\")");
    (void)(*s1->range("A2"))->set_formula("='/x/y/other.xla'!fsingle(\"BIG\",\"SMP.QUO.LAST\")");
    (void)(*s2->range("B2"))
        ->set_formula("=1+'/old/dir/TARNVALE.XLA'!fsingle(\"BIG\",\"SMP.QUO.LAST\")");
    (void)(*s2->range("B3"))
        ->set_formula("='/home/o''brien/tarnvale.xla'!fsingle(\"BIG\",\"SMP.QUO.LAST\")");
    // A note that mentions the old path is text, not a call.
    (void)(*s2->range("B4"))->set_value(Value("moved from '/old/dir/tarnvale.xla'!fsingle"));
    return book;
  });
  app.set_display_alerts(true);
  auto book = app.workbooks().open("prices.xlsx");
  ASSERT_TRUE(book.ok());
  EXPECT_TRUE(app.display_alerts());  // put back as it was
  auto s1 = *(*book)->worksheet(1);
  auto s2 = *(*book)->worksheet(2);
  EXPECT_EQ(*(*s1->range("A1"))->formula(), "=fsingle(\"BIG\",\"SMP.QUO.LAST\")");
  EXPECT_EQ(*(*s1->range("A2"))->formula(), "='/x/y/other.xla'!fsingle(\"BIG\",\"SMP.QUO.LAST\")");
  EXPECT_EQ(*(*s2->range("B2"))->formula(), "=1+fsingle(\"BIG\",\"SMP.QUO.LAST\")");
  EXPECT_EQ(*(*s2->range("B3"))->formula(), "=fsingle(\"BIG\",\"SMP.QUO.LAST\")");
  EXPECT_EQ(shown(s2, "B4"), "moved from '/old/dir/tarnvale.xla'!fsingle");
  EXPECT_EQ(shown(s1, "A1"), "Loading data...");
}

}  // namespace
}  // namespace quillo::addin
