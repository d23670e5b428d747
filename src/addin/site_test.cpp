// The definitions update and the model library on a real spreadsheet, a
// scripted transport and a virtual clock: what start-up asks the product
// site, when ds.xml is replaced and when it is kept, and the "Financial
// Templates" menu.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "addin/addin_test_support.h"
#include "common/text.h"
#include "requests/engine.h"

namespace quillo::addin {
namespace {

namespace fs = std::filesystem;
using http::ScriptedTransport;

constexpr const char* kSite = "http://site.test/q";

std::string site_xml(std::string_view version, std::string_view library) {
  return "<site><definitions version=\"" + std::string(version) +
         "\" path=\"defs/new.xml\"/><library>" + std::string(library) + "</library></site>";
}

constexpr std::string_view kLibrary =
    "<folder caption=\"Valuation\"><model name=\"dcf.xlsx\">DCF</model></folder>"
    "<folder caption=\"Empty\"/>"
    "<model name=\"p.xlsx\">Portfolio</model>"
    "<model name=\"p2.xlsx\">Portfolio</model>";

constexpr const char* kNewDefinitions =
    "<definitions><version>2027.1.1</version><datasource code=\"NEW\" name=\"New\">"
    "<max_requests_allowed>1</max_requests_allowed></datasource></definitions>";

class SiteTest : public testing::AddinHostTest {
 protected:
  void SetUp() override {
    AddinHostTest::SetUp();
    old_definitions = read_file(install / "ds.xml");
    cls_accmanager(*reg).config_writekey("product_site", Value(std::string(kSite)));
    make_state(true);
  }
  // Start-up with the site answering doc, then the download answering answer.
  void start(const std::string& doc, ScriptedTransport::Answer download) {
    transport.script_next(ScriptedTransport::complete(200, doc));
    transport.script_next(std::move(download));
    connect();
  }
  host::CommandBarControls& product_menu() {
    auto bar = app.command_bars().item(host::kWorksheetMenuBar);
    return **(*(*bar)->controls().item(kMenuCaption))->controls();
  }
  std::vector<std::string> captions(host::CommandBarControls& c) {
    std::vector<std::string> out;
    for (std::int32_t i = 1; i <= c.count(); ++i) out.push_back(*(*c.item(i))->caption());
    return out;
  }

  std::string old_definitions;
};

TEST_F(SiteTest, NewerVersionIsDownloadedOnTheInternalChannelAndReplacesDsXmlForTheNextStart) {
  start(site_xml("2027.1.1", kLibrary), ScriptedTransport::complete(200, kNewDefinitions, 500));
  ASSERT_EQ(transport.requests().size(), 1u);
  EXPECT_TRUE(transport.requests()[0].url.starts_with("http://site.test/q/site.xml?rand=0"));
  seconds(1);
  ASSERT_EQ(transport.requests().size(), 2u);
  EXPECT_TRUE(transport.requests()[1].url.starts_with("http://site.test/q/defs/new.xml?rand=0"));
  // While it downloads, the status says so; the About box holds it unshown.
  EXPECT_EQ(state->status_text(), kDownloadingStatus);
  ASSERT_NE(state->gui()->about(), nullptr);
  EXPECT_EQ(state->gui()->about()->status, kDownloadingStatus);
  EXPECT_FALSE(state->gui()->about()->visible);
  http::clsXMLHttpManager& manager = state->engine()->parts().manager();
  EXPECT_EQ(manager.channel(manager.getchannelid("internal")).inflight, 1);

  seconds(1);
  EXPECT_EQ(read_file(install / "ds.xml"), std::string(kNewDefinitions) + "\r\n");
  EXPECT_EQ(state->engine()->definitions().version(), "2026.12.1");  // until the next start
  EXPECT_EQ(state->status_text(), kIdleStatus);
  EXPECT_EQ(state->accmanager().definitions_update().state, UpdateState::Updated);
  EXPECT_TRUE(messages.messages.empty());
  // No temporary file is left beside it.
  EXPECT_EQ(std::distance(fs::directory_iterator(install), fs::directory_iterator()), 2);
}

TEST_F(SiteTest, TheAnnouncedVersionBeingTheLoadedOneSendsNothing) {
  start(site_xml("2026.12.1", ""), ScriptedTransport::complete(200, kNewDefinitions));
  seconds(3);
  EXPECT_EQ(transport.requests().size(), 1u);
  EXPECT_EQ(state->accmanager().definitions_update().state, UpdateState::UpToDate);
  EXPECT_EQ(state->status_text(), "");
}

TEST_F(SiteTest, AnswersThatAreNoDefinitionsLeaveDsXmlAsItWas) {
  struct Case {
    ScriptedTransport::Answer answer;
    std::string message;
  };
  const std::string whole = kNewDefinitions;
  const Case cases[] = {
      {ScriptedTransport::complete(200, whole.substr(0, whole.size() / 2)), "not installed"},
      {ScriptedTransport::complete(200, "<html><body>Service unavailable</body></html>"),
       "not installed"},
      {ScriptedTransport::complete(200, std::string(kMaxDefinitionsBytes + 1, ' ')),
       "larger than 16 MB"},
      {ScriptedTransport::complete(404, "<html>Not found</html>"),
       "Unable to download new web-parse definitions!"},
  };
  for (const Case& c : cases) {
    messages.messages.clear();
    make_state(true);
    start(site_xml("2027.1.1", ""), c.answer);
    seconds(3);
    EXPECT_EQ(read_file(install / "ds.xml"), old_definitions);
    ASSERT_EQ(messages.messages.size(), 1u);
    EXPECT_NE(messages.messages[0].text.find(c.message), std::string::npos)
        << messages.messages[0].text;
    EXPECT_EQ(messages.messages[0].title, "");
    EXPECT_EQ(state->accmanager().definitions_update().state, UpdateState::Failed);
    EXPECT_EQ(state->status_text(), kIdleStatus);
    connection->IDTExtensibility2_OnDisconnection(DisconnectMode::HostShutdown);
  }
}

TEST_F(SiteTest, OnlyTheAnnouncedVersionIsInstalledAndNeverAnOlderOne) {
  // The file is not the version the site announced.
  start(site_xml("2027.2.1", ""), ScriptedTransport::complete(200, kNewDefinitions));
  seconds(3);
  EXPECT_EQ(read_file(install / "ds.xml"), old_definitions);
  EXPECT_EQ(state->accmanager().definitions_update().state, UpdateState::Failed);
  EXPECT_NE(state->accmanager().definitions_update().message.find(
                "version 2027.1.1, not the announced 2027.2.1"),
            std::string::npos);
  ASSERT_EQ(messages.messages.size(), 1u);
  EXPECT_NE(messages.messages[0].text.find("not installed"), std::string::npos);
  connection->IDTExtensibility2_OnDisconnection(DisconnectMode::HostShutdown);

  // An announced version older than the loaded 2026.12.1 is not even fetched.
  make_state(true);
  const std::size_t sent = transport.requests().size();
  transport.script_next(ScriptedTransport::complete(200, site_xml("2026.9.1", "")));
  connect();
  seconds(3);
  EXPECT_EQ(transport.requests().size(), sent + 1);
  EXPECT_EQ(state->accmanager().definitions_update().state, UpdateState::Failed);
  EXPECT_NE(state->accmanager().definitions_update().message.find("older than the installed"),
            std::string::npos);
  EXPECT_EQ(read_file(install / "ds.xml"), old_definitions);
  connection->IDTExtensibility2_OnDisconnection(DisconnectMode::HostShutdown);

  // A newer ds.xml installed since the start is not replaced by an older one.
  make_state(true);
  start(site_xml("2027.1.1", ""), ScriptedTransport::complete(200, kNewDefinitions, 1500));
  std::string newer = kNewDefinitions;
  text::replace_all(newer, "2027.1.1", "2027.10.1");
  std::ofstream(install / "ds.xml", std::ios::binary | std::ios::trunc) << newer;
  seconds(4);
  EXPECT_EQ(read_file(install / "ds.xml"), newer);
  EXPECT_NE(state->accmanager().definitions_update().message.find(
                "version 2027.1.1, older than the installed 2027.10.1"),
            std::string::npos)
      << state->accmanager().definitions_update().message;

  connection->IDTExtensibility2_OnDisconnection(DisconnectMode::HostShutdown);

  // The installed file writes its version between line breaks: compared
  // without them, an older announced version is still older, an equal one
  // written otherwise is up to date, and one that is no dotted numbers is
  // refused; none of them is fetched.
  std::string padded = old_definitions;
  text::replace_all(padded, "<version>2026.12.1</version>",
                    "<version>\n    2026.12.1\n  </version>");
  ASSERT_NE(padded, old_definitions);
  std::ofstream(install / "ds.xml", std::ios::binary | std::ios::trunc) << padded;
  struct Announced {
    const char* version;
    UpdateState state;
    const char* message;
  };
  for (const Announced& a : {Announced{"2026.12.0", UpdateState::Failed,
                                       "version 2026.12.0, older than the installed 2026.12.1"},
                             Announced{" 2026.012.1 ", UpdateState::UpToDate, ""},
                             Announced{"abc", UpdateState::Failed, "\"abc\", which is not dotted"},
                             Announced{"2027..1", UpdateState::Failed, "not dotted numbers"}}) {
    make_state(true);
    const std::size_t before = transport.requests().size();
    transport.script_next(ScriptedTransport::complete(200, site_xml(a.version, "")));
    connect();
    seconds(3);
    EXPECT_EQ(transport.requests().size(), before + 1) << a.version;
    EXPECT_EQ(state->accmanager().definitions_update().state, a.state) << a.version;
    EXPECT_NE(state->accmanager().definitions_update().message.find(a.message), std::string::npos)
        << state->accmanager().definitions_update().message;
    EXPECT_EQ(read_file(install / "ds.xml"), padded) << a.version;
    connection->IDTExtensibility2_OnDisconnection(DisconnectMode::HostShutdown);
  }

  EXPECT_LT(definitions_version_compare("2026.9.1", "2026.10.1"), 0);
  EXPECT_EQ(definitions_version_compare("2026.09", "2026.9"), 0);
  EXPECT_EQ(definitions_version_compare("\t2026.9.9\r\n", "2026.9.9 "), 0);
  EXPECT_GT(definitions_version_compare("2026.1.1", "2026.1"), 0);
  EXPECT_GT(definitions_version_compare("2026.b", "2026.a"), 0);
  EXPECT_GT(definitions_version_compare("2026.1", "abc"), 0);
}

TEST_F(SiteTest, ThirdTransportFailureIsReportedOnceAndAWriteFailureQuietly) {
  transport.script_next(ScriptedTransport::complete(200, site_xml("2027.1.1", "")));
  for (int i = 0; i < 3; ++i) transport.script_next(ScriptedTransport::fail(28, "timed out"));
  connect();
  seconds(6);
  EXPECT_EQ(transport.requests().size(), 4u);
  ASSERT_EQ(messages.messages.size(), 1u);
  EXPECT_EQ(messages.messages[0].text, "Unable to download new web-parse definitions!");
  EXPECT_EQ(read_file(install / "ds.xml"), old_definitions);

  // An install folder that cannot be written: no box (as for any write
  // failure), the outcome says why.
  messages.messages.clear();
  cls_accmanager& acc = state->accmanager();
  acc.config_writekey(kInstallPathName, Value((install / "gone" / "").string()));
  acc.ws_response(kNewDefinitions);
  EXPECT_TRUE(messages.messages.empty());
  EXPECT_EQ(acc.definitions_update().state, UpdateState::Failed);
  EXPECT_NE(acc.definitions_update().message.find("could not be written"), std::string::npos);
  // No install folder at all.
  acc.config_writekey(kInstallPathName, Value(std::string()));
  acc.ws_response(kNewDefinitions);
  ASSERT_EQ(messages.messages.size(), 1u);
  EXPECT_EQ(messages.messages[0].text, "Update of webschema.xml failed.");
  EXPECT_EQ(read_file(install / "ds.xml"), old_definitions);
}

TEST_F(SiteTest, StatusAfterTheDownloadHidesAVisibleAboutBox) {
  start(site_xml("2027.1.1", ""), ScriptedTransport::complete(200, kNewDefinitions, 2000));
  seconds(1);
  ASSERT_TRUE(state->gui()->m11->click().ok());  // About, while it downloads
  EXPECT_EQ(state->gui()->about()->status, kDownloadingStatus);
  EXPECT_TRUE(state->gui()->about()->visible);
  seconds(3);
  EXPECT_FALSE(state->gui()->about()->visible);
  EXPECT_EQ(state->gui()->about()->status, kIdleStatus);
}

TEST_F(SiteTest, SearchAndDownloadShareTheRequestNumberWithoutDroppingEachOther) {
  start(site_xml("2027.1.1", ""), ScriptedTransport::never());
  seconds(1);
  ASSERT_EQ(transport.requests().size(), 2u);  // the download waits for ever
  std::vector<std::int16_t> searched;
  state->engine()->set_processor(
      "search_responseprocessor",
      [&](const std::string&, std::int32_t n, std::int16_t st, const std::string&) {
        EXPECT_EQ(n, 100002);
        searched.push_back(st);
      });
  transport.script_next(ScriptedTransport::complete(200, "hits"));
  ASSERT_TRUE(
      state->engine()->send("http://s/search", "search_responseprocessor", 100002, "search"));
  seconds(1);
  EXPECT_EQ(searched, (std::vector<std::int16_t>{200}));
  EXPECT_EQ(state->accmanager().definitions_update().state, UpdateState::Downloading);
  // The site's document and definitions may be redirected only on the site
  // itself; a search page may send the user anywhere.
  ASSERT_EQ(transport.requests().size(), 3u);
  EXPECT_TRUE(transport.requests()[0].settings.same_origin_redirects);
  EXPECT_TRUE(transport.requests()[1].settings.same_origin_redirects);
  EXPECT_FALSE(transport.requests()[2].settings.same_origin_redirects);
}

TEST_F(SiteTest, TemplatesMenuSitsBeforeSettingsWithFoldersThenModels) {
  transport.script_next(ScriptedTransport::complete(200, site_xml("2026.12.1", kLibrary)));
  connect();
  seconds(1);
  host::CommandBarControls& menu = product_menu();
  const auto entries = captions(menu);
  const auto at = std::find(entries.begin(), entries.end(), "Financial Templates");
  ASSERT_NE(at, entries.end());
  EXPECT_EQ(*(at + 1), "Settings...");
  host::CommandBarControls& templates = **(*menu.item(kTemplatesCaption))->controls();
  EXPECT_EQ(captions(templates),
            (std::vector<std::string>{"Valuation", "Empty", "Portfolio", "Portfolio"}));
  EXPECT_EQ(captions(**(*templates.item("Valuation"))->controls()),
            (std::vector<std::string>{"DCF"}));
  EXPECT_EQ((**(*templates.item("Empty"))->controls()).count(), 0);

  // A second build replaces the submenu. Either "Portfolio" opens the first.
  state->accmanager().library_menu();
  const auto again = captions(menu);
  EXPECT_EQ(std::count(again.begin(), again.end(), "Financial Templates"), 1);
  host::CommandBarControls& rebuilt = **(*menu.item(kTemplatesCaption))->controls();
  app.set_display_alerts(true);
  transport.script_next(ScriptedTransport::complete(404, "no"));
  ASSERT_TRUE((*rebuilt.item(4))->click().ok());
  EXPECT_FALSE(app.display_alerts());
  EXPECT_EQ(transport.requests().back().url, "http://site.test/q/library/p.xlsx");
  seconds(1);
  ASSERT_EQ(messages.messages.size(), 1u);
  EXPECT_EQ(messages.messages[0].text,
            "Tarnvale is unable to download the following model: p.xlsx.\rPlease visit Brenmoor "
            "download section to download this file.");
}

TEST_F(SiteTest, LibraryKeepsFortyModelsTwentyFoldersAndOnlyPlainFileNames) {
  std::string lib =
      "<model name=\"../up.xlsx\">Up</model><model name=\"a/b.xlsx\">Down</model>"
      "<model name=\"a\\b.xlsx\">Back</model><model name=\"\">Nameless</model>"
      "<model name=\"ok name#1.xlsx\">Odd</model>";
  for (int f = 1; f <= 25; ++f) {
    lib += "<folder caption=\"F" + std::to_string(f) + "\">";
    for (int m = 1; m <= 4; ++m) lib += "<model name=\"m.xlsx\">M" + std::to_string(m) + "</model>";
    lib += "<folder caption=\"nested\"><model name=\"n.xlsx\">N</model></folder></folder>";
  }
  std::vector<std::string> notes;
  make_state(true, [&](std::string_view t) { notes.emplace_back(t); });
  transport.script_next(ScriptedTransport::complete(200, site_xml("2026.12.1", lib)));
  connect();
  seconds(1);
  cls_accmanager& acc = state->accmanager();
  EXPECT_EQ(acc.models()[0].name, "ok name#1.xlsx");
  EXPECT_EQ(acc.models()[39].caption, "M3");  // 1 + 39 folder models: F10's third
  EXPECT_EQ(acc.models()[39].folder, "F10");
  EXPECT_EQ(acc.folders()[19], "F20");
  EXPECT_EQ(std::count_if(notes.begin(), notes.end(),
                          [](const std::string& n) { return n.find("left out") != n.npos; }),
            4 + 20 + 5 + 1);  // bad entries, nested folders, folders 21-25, the rest
  // The odd name is encoded as one segment of the address.
  acc.model_launch("Odd");
  EXPECT_EQ(transport.requests().back().url, "http://site.test/q/library/ok%20name%231.xlsx");
  EXPECT_TRUE(transport.requests().back().settings.same_origin_redirects);
}

}  // namespace
}  // namespace quillo::addin
