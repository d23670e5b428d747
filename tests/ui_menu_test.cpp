// The add-in's menu as the browser page sees it: entries with their paths,
// and clicks by path, including paths a page should never send.
#include <gtest/gtest.h>

#include "cli/ui_dialogs.h"
#include "host/command_bars.h"

namespace quillo::cli {
namespace {

class UiMenuTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto bar = bars.item(host::kWorksheetMenuBar);
    ASSERT_TRUE(bar.ok());
    auto menu = (*bar)->controls().add(host::ControlType::Popup);
    ASSERT_TRUE(menu.ok());
    ASSERT_TRUE((*menu)->set_caption("&Tarnvale").ok());
    auto items = (*menu)->controls();
    ASSERT_TRUE(items.ok());
    auto search = (*items)->add(host::ControlType::Button);
    ASSERT_TRUE(search.ok() && (*search)->set_caption("Search...\"<b>").ok());
    ASSERT_TRUE(
        (*search)->on_click([this](host::CommandBarControl&) { clicks += "search;"; }).ok());
    auto help = (*items)->add(host::ControlType::Popup);
    ASSERT_TRUE(help.ok() && (*help)->set_caption("Help").ok() &&
                (*help)->set_begin_group(true).ok());
    auto about = (*(*help)->controls())->add(host::ControlType::Button);
    ASSERT_TRUE(about.ok() && (*about)->set_caption("About").ok());
    ASSERT_TRUE((*about)->on_click([this](host::CommandBarControl&) { clicks += "about;"; }).ok());
    auto off = (*items)->add(host::ControlType::Button);
    ASSERT_TRUE(off.ok() && (*off)->set_caption("Update data").ok() &&
                (*off)->set_enabled(false).ok());
  }
  host::CommandBars bars;
  std::string clicks;
};

TEST_F(UiMenuTest, ListsEntriesWithPathsAndQuotedCaptions) {
  EXPECT_EQ(menu_json(bars),
            R"([{"path":"1","caption":"Search...\"<b>","enabled":true,"group":false},)"
            R"({"path":"2","caption":"Help","enabled":true,"group":true,"items":[)"
            R"({"path":"2.1","caption":"About","enabled":true,"group":false}]},)"
            R"({"path":"3","caption":"Update data","enabled":false,"group":false}])");
  host::CommandBars empty;
  EXPECT_EQ(menu_json(empty), "[]");
}

TEST_F(UiMenuTest, ClicksByPathAndRefusesPathsThatNameNoEntry) {
  EXPECT_TRUE(click_menu(bars, "1").ok());
  EXPECT_TRUE(click_menu(bars, "2.1").ok());
  EXPECT_EQ(clicks, "search;about;");
  for (const char* bad :
       {"", "0", "9", "-1", "1.1", "2.9", "2.", ".1", "x", "2.1.1", "99999999999"}) {
    EXPECT_FALSE(click_menu(bars, bad).ok()) << bad;
  }
  EXPECT_FALSE(click_menu(bars, "3").ok());  // disabled
  EXPECT_EQ(clicks, "search;about;");
}

}  // namespace
}  // namespace quillo::cli
