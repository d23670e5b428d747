#include "addin/cls_gui.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace quillo::addin {
namespace {

using host::CommandBarControls;
using host::ControlPtr;

CommandBarControls& top(host::CommandBars& bars) {
  return bars.item(host::kWorksheetMenuBar).value()->controls();
}

std::vector<std::string> captions(CommandBarControls& controls, bool with_groups = false) {
  std::vector<std::string> out;
  for (std::int32_t i = 1; i <= controls.count(); ++i) {
    ControlPtr c = controls.item(i).value();
    out.push_back((with_groups && c->begin_group().value() ? "|" : "") + c->caption().value());
  }
  return out;
}

std::vector<std::string> captions(const std::vector<ControlPtr>& controls) {
  std::vector<std::string> out;
  for (const ControlPtr& c : controls) out.push_back(c->caption().value_or("<gone>"));
  return out;
}

long count_menus(host::CommandBars& bars) {
  const auto all = captions(top(bars));
  return std::count(all.begin(), all.end(), std::string(kMenuCaption));
}

class ClsGuiTest : public testing::Test {
 protected:
  ClsGuiTest() {
    const auto record = [this](const char* name) {
      return [this, name] { calls.push_back(name); };
    };
    GuiActions actions{record("search"),         record("single"), record("history"),
                       record("weblink"),        record("update"), record("settings"),
                       [this] { return status; }};
    gui = std::make_unique<cls_gui>(bars, messages, browser, actions);
  }

  host::CommandBars bars;
  host::RecordingMessages messages;
  host::RecordingBrowser browser;
  std::vector<std::string> calls;
  std::string status = "Idle";
  std::unique_ptr<cls_gui> gui;
};

TEST_F(ClsGuiTest, MenuTreeSitsJustBeforeHelp) {
  std::vector<std::string> expected = captions(top(bars));
  ASSERT_TRUE(gui->build_menus().ok());
  expected.insert(expected.end() - 1, std::string(kMenuCaption));
  EXPECT_EQ(captions(top(bars)), expected);
  ControlPtr menu = top(bars).item(kMenuCaption).value();
  EXPECT_FALSE(menu->temporary().value());

  CommandBarControls& entries = *menu->controls().value();
  EXPECT_EQ(
      captions(entries, true),
      (std::vector<std::string>{"Search...", "|Update data", "|Single Dataitem Assistant",
                                "History Assistant", "Create Weblink", "Settings...", "|Help"}));
  EXPECT_EQ(captions(*entries.item("Help").value()->controls().value(), true),
            (std::vector<std::string>{"Online help", "Ask a question", "Report a bug", "About"}));
  const cls_gui& g = *gui;
  EXPECT_EQ(captions({g.m1, g.m17, g.m2, g.m6, g.m8, g.m16, g.m12, g.m13, g.m14, g.m11}),
            (std::vector<std::string>{"Search...", "Update data", "Single Dataitem Assistant",
                                      "History Assistant", "Create Weblink", "Settings...",
                                      "Online help", "Ask a question", "Report a bug", "About"}));
}

TEST_F(ClsGuiTest, LeftoverMenusAreReplacedByExactlyOne) {
  for (int leftovers : {1, 2}) {
    host::CommandBars fresh;
    for (int i = 0; i < leftovers; ++i) {
      EXPECT_TRUE(
          top(fresh).add(host::ControlType::Popup, 1).value()->set_caption("&Tarnvale").ok());
    }
    cls_gui g(fresh, messages, browser, GuiActions{});
    ASSERT_TRUE(g.build_menus().ok());
    ASSERT_TRUE(g.build_menus().ok());
    EXPECT_EQ(count_menus(fresh), 1) << leftovers;
  }
  // Without the Help menu there is nowhere to put it.
  EXPECT_TRUE(bars.find_control(host::kHelpMenuId)->remove().ok());
  EXPECT_FALSE(gui->build_menus().ok());
  EXPECT_EQ(count_menus(bars), 0);
}

TEST_F(ClsGuiTest, RemoveRestoresTheBuiltInBar) {
  const std::vector<std::string> built_in = captions(top(bars));
  ASSERT_TRUE(gui->build_menus().ok());
  gui->remove_menus();
  gui->remove_menus();  // nothing left: harmless
  EXPECT_EQ(captions(top(bars)), built_in);
  EXPECT_TRUE(gui->m1->caption().status().is_object_required());
  EXPECT_TRUE(gui->m11->click().is_object_required());
}

TEST_F(ClsGuiTest, EntriesRunTheirActions) {
  ASSERT_TRUE(gui->build_menus().ok());
  for (const ControlPtr& c : {gui->m1, gui->m17, gui->m2, gui->m6, gui->m8, gui->m16})
    EXPECT_TRUE(c->click().ok());
  EXPECT_EQ(calls, (std::vector<std::string>{"search", "update", "single", "history", "weblink",
                                             "settings"}));
  EXPECT_TRUE(browser.urls.empty());

  cls_gui unset(bars, messages, browser, GuiActions{});
  ASSERT_TRUE(unset.build_menus().ok());
  for (const ControlPtr& c : {unset.m1, unset.m17, unset.m16, unset.m11})
    EXPECT_TRUE(c->click().ok());
  EXPECT_EQ(unset.about()->status, "");
  EXPECT_EQ(calls.size(), 6u);
}

TEST_F(ClsGuiTest, HelpPagesAndWhatAFailingBrowserSays) {
  ASSERT_TRUE(gui->build_menus().ok());
  for (bool fail : {false, true}) {
    browser.fail = fail;
    for (const ControlPtr& c : {gui->m12, gui->m13, gui->m14}) EXPECT_TRUE(c->click().ok());
  }
  const std::string site = "https://quillo.example.org";
  const std::vector<std::string> pages = {site + "/Tarnvale/help_1_1_11.html",
                                          site + "/modules.php?name=Recommend_Us",
                                          site + "/modules.php?name=Recommend_Us&qtype=2"};
  EXPECT_EQ(browser.urls,
            (std::vector<std::string>{pages[0], pages[1], pages[2], pages[0], pages[1], pages[2]}));
  std::vector<std::string> texts;
  for (const auto& m : messages.messages) {
    texts.push_back(m.text);
    EXPECT_EQ(m.title, "Error");
    EXPECT_EQ(m.icon, host::MessageIcon::None);
  }
  EXPECT_EQ(texts,
            (std::vector<std::string>{
                "Unable to open Internet Explorer. Visit help at " + site + "/Tarnvale/help.html",
                "Unable to open Internet Explorer. Visit Brenmoor for support.",
                "Unable to open Internet Explorer. Visit Brenmoor for reporting a bug."}));
}

TEST_F(ClsGuiTest, AboutShowsTheCurrentStatus) {
  ASSERT_TRUE(gui->build_menus().ok());
  EXPECT_EQ(gui->about(), nullptr);
  EXPECT_TRUE(gui->m11->click().ok());
  const form_about* about = gui->about();
  ASSERT_NE(about, nullptr);
  EXPECT_TRUE(about->visible);
  EXPECT_EQ(about->product + " " + about->version + " " + about->status, "Tarnvale v 1.5a Idle");
  status = "Refreshing";
  EXPECT_TRUE(gui->m11->click().ok());
  EXPECT_EQ(gui->about(), about);  // the same box, shown again
  EXPECT_EQ(about->status, "Refreshing");
}

TEST_F(ClsGuiTest, UpdateDataEntryIsEnabledAndDisabled) {
  disable_updatedatamenu(bars);  // no menu yet: nothing happens
  ASSERT_TRUE(gui->build_menus().ok());
  disable_updatedatamenu(bars);
  EXPECT_FALSE(gui->m17->click().ok());
  EXPECT_TRUE(gui->m1->enabled().value());
  enable_updatedatamenu(bars);
  EXPECT_TRUE(gui->m17->click().ok());
  EXPECT_EQ(calls, (std::vector<std::string>{"update"}));
}

TEST_F(ClsGuiTest, MenuOutlivingTheGuiIgnoresClicks) {
  ASSERT_TRUE(gui->build_menus().ok());
  ControlPtr update = gui->m17;
  gui.reset();
  EXPECT_TRUE(update->click().ok());
  EXPECT_TRUE(calls.empty());
}

}  // namespace
}  // namespace quillo::addin
