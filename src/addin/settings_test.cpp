#include "addin/settings.h"

#include <gtest/gtest.h>

#include <optional>

#include "addin/modRegistry.h"
#include "support/registry_store_folder.h"

namespace quillo::addin {
namespace {

class SettingsDialogTest : public testing_support::StoreDirTest {
 protected:
  void SetUp() override {
    StoreDirTest::SetUp();
    reg = std::make_unique<modRegistry>(location(), sink());
    store = std::make_unique<cls_accmanager>(*reg);
    dialog = std::make_unique<settings>(config, *store, [this](bool on) { menu_enabled = on; });
  }
  Configuration stored() {
    Configuration c;
    config_load(*store, c);
    return c;
  }
  Configuration config;
  std::optional<bool> menu_enabled;
  std::unique_ptr<modRegistry> reg;
  std::unique_ptr<cls_accmanager> store;
  std::unique_ptr<settings> dialog;
};

TEST_F(SettingsDialogTest, CaptionsAndListEntries) {
  const settings& d = *dialog;
  EXPECT_EQ(d.caption, "Settings");
  EXPECT_EQ(d.Frame1.caption, "Trading data update");
  EXPECT_EQ(d.Frame2.caption, "Error handling");
  EXPECT_EQ(d.Frame3.caption, "Internet connection");
  EXPECT_EQ(d.select_updatemode.column(), (std::vector<std::string>{"Automatic", "Manual"}));
  EXPECT_EQ(d.select_updatefrq.column(),
            (std::vector<std::string>{"1", "2", "3", "4", "5", "10", "15", "30", "60"}));
  const std::vector<std::string> handling = {"display error message", "preserve last figure"};
  EXPECT_EQ(d.select_connectionerror.column(), handling);
  EXPECT_EQ(d.select_parseerror.column(), handling);
  EXPECT_EQ(d.Label4.caption, "internet connection errors:");
  EXPECT_EQ(d.Label5.caption, "dataparse errors:");
  EXPECT_EQ(d.useproxy.caption, "Use proxy server");
  EXPECT_EQ(d.Label10.caption, "Connection timeout:");
  EXPECT_EQ(d.label12.caption, "seconds");
  EXPECT_EQ(d.button_ok.caption, "Ok");
  EXPECT_EQ(d.button_cancel.caption, "Cancel");
}

// A front end renders the dialog from its control list alone.
TEST_F(SettingsDialogTest, ControlsAreListedWithKindAndName) {
  std::vector<std::string> seen;
  for (const host::Control& c : dialog->controls()) {
    seen.push_back(std::string(host::control_kind_name(c.kind)) + " " + c.name);
  }
  ASSERT_EQ(seen.size(), 27u);
  EXPECT_EQ(seen.front(), "frame Frame1");
  EXPECT_EQ(seen[2], "dropdown select_updatemode");
  EXPECT_EQ(seen[12], "checkbox useproxy");
  EXPECT_EQ(seen.back(), "button button_cancel");
  EXPECT_EQ(dialog->control("proxy_url"), &dialog->proxy_url);
}

TEST_F(SettingsDialogTest, ListsShowTheSettings) {
  dialog->show();
  EXPECT_TRUE(dialog->visible);
  EXPECT_EQ(dialog->select_updatemode.list_index, 0);
  EXPECT_EQ(dialog->select_updatefrq.list_index, 0);
  EXPECT_EQ(dialog->useproxy.value, 0);
  EXPECT_FALSE(dialog->proxy_url.enabled);
  EXPECT_FALSE(dialog->Label9.enabled);
  EXPECT_EQ(dialog->connection_timeout.text, "60");

  config.trading_updatemode = 3;
  config.trading_updatefrq = 60;
  config.parseerrorhandling = 2;
  config.connectionerrorhandling = 0;
  dialog->loadconfig();
  EXPECT_EQ(dialog->select_updatemode.list_index, -1);
  EXPECT_EQ(dialog->select_updatefrq.list_index, 8);
  EXPECT_EQ(dialog->select_parseerror.list_index, 1);
  EXPECT_EQ(dialog->select_connectionerror.list_index, -1);
  // Nothing selected leaves those settings as they were.
  dialog->button_ok_Click();
  EXPECT_EQ(config.trading_updatemode, 3);
  EXPECT_EQ(config.connectionerrorhandling, 0);
  // Read back, values the dialog does not offer take their defaults, each
  // with a warning.
  EXPECT_EQ(stored().trading_updatemode, 1);
  EXPECT_EQ(warnings.size(), 2u);
}

TEST_F(SettingsDialogTest, AnUnofferedFrequencyShowsAsTwoAndIsStoredAsTwo) {
  config.trading_updatefrq = 7;
  dialog->show();
  EXPECT_EQ(dialog->select_updatefrq.chosen(), "2");
  dialog->button_ok_Click();
  EXPECT_EQ(stored().trading_updatefrq, 2);
  EXPECT_FALSE(dialog->visible);
}

TEST_F(SettingsDialogTest, ProxyBoxFollowsTheCheckBoxAndKeepsItsTexts) {
  config.useproxy = 1;
  config.proxy_server = " proxy:3128 ";
  config.proxy_user = "u";
  config.proxy_password = "pw";
  dialog->show();
  EXPECT_TRUE(dialog->proxy_password.enabled);
  EXPECT_TRUE(dialog->Label7.enabled);
  dialog->click("useproxy");  // the user unticks the box
  EXPECT_EQ(dialog->useproxy.value, 0);
  for (bool on :
       {dialog->proxy_url.enabled, dialog->proxy_user.enabled, dialog->proxy_password.enabled,
        dialog->Label7.enabled, dialog->Label8.enabled, dialog->Label9.enabled}) {
    EXPECT_FALSE(on);
  }
  EXPECT_TRUE(dialog->connection_timeout.enabled);
  dialog->button_ok_Click();
  Configuration s = stored();
  EXPECT_EQ(s.useproxy, 0);
  EXPECT_EQ(s.proxy_server, " proxy:3128 ");  // stored as typed
  EXPECT_EQ(s.proxy_password, "pw");
}

TEST_F(SettingsDialogTest, TimeoutsAreRoundedAndNonNumbersIgnored) {
  dialog->show();
  dialog->connection_timeout.text = "12.7";
  dialog->receive_timeout.text = "soon";
  dialog->button_ok_Click();
  EXPECT_EQ(stored().connection_timeout, 13);
  EXPECT_EQ(stored().receive_timeout, 30);
  dialog->show();
  dialog->connection_timeout.text = "12.5";  // halves go to the even neighbour
  dialog->receive_timeout.text = "99999999999";
  dialog->button_ok_Click();
  EXPECT_EQ(stored().connection_timeout, 12);
  EXPECT_EQ(stored().receive_timeout, 30);
}

TEST_F(SettingsDialogTest, UpdateModeDecidesTheUpdateMenuItem) {
  dialog->show();
  dialog->choose("select_updatemode", 1);
  dialog->click("button_ok");
  EXPECT_EQ(menu_enabled, true);
  EXPECT_EQ(stored().trading_updatemode, 2);
  dialog->show();
  dialog->select_updatemode.list_index = 0;
  dialog->button_ok_Click();
  EXPECT_EQ(menu_enabled, false);
}

TEST_F(SettingsDialogTest, CancelStoresNothing) {
  dialog->show();
  dialog->choose("select_updatemode", 1);
  dialog->type("proxy_url", "changed");
  dialog->click("button_cancel");
  EXPECT_FALSE(dialog->visible);
  EXPECT_FALSE(menu_enabled.has_value());
  EXPECT_EQ(config, Configuration{});
  EXPECT_FALSE(std::filesystem::exists(user_file()));
}

}  // namespace
}  // namespace quillo::addin
