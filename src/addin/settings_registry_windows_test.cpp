// The settings dialog over the Windows registry: what the user confirms in
// the dialog lands in the add-in's key below HKEY_CURRENT_USER, with the
// registry types other programs see (numbers as REG_DWORD, texts as
// REG_SZ), and a new start of the add-in (connected to a spreadsheet, so
// its start-up reads the settings) follows it. The add-in's key is
// fixed, so the test removes it before and after (in the test's own Wine
// prefix, or a test account).
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "addin/Connectexcel.h"
#include "addin/cls_accmanager.h"
#include "addin/dataload.h"
#include "addin/modRegistry.h"
#include "addin/settings.h"
#include "host/event_loop.h"
#include "host/object_factory.h"
#include "host/process.h"
#include "http/scripted_transport.h"
#include "spreadsheet/application.h"

// Last: its HKEY_ macros would replace the add-in's own root constants.
#include <windows.h>

namespace quillo::addin {
namespace {

class SettingsInWindowsRegistryTest : public testing::Test {
 protected:
  void SetUp() override {
    remove_keys();
    install = host::make_private_temp_folder("quillo-settings-");
    ASSERT_FALSE(install.empty());
    const std::filesystem::path data(QUILLO_DATA_DIR);
    std::filesystem::copy_file(data / "sample" / "ds.xml", install / "ds.xml");
    std::filesystem::copy_file(data / "tarnvale.xla", install / "tarnvale.xla");
  }
  void TearDown() override {
    if (connection) connection->IDTExtensibility2_OnDisconnection(DisconnectMode::HostShutdown);
    connection.reset();
    state.reset();
    reg.reset();
    remove_keys();
    std::error_code ec;
    std::filesystem::remove_all(install, ec);
  }
  static void remove_keys() {
    const std::string key(kConfigKeyPath);
    RegDeleteTreeA(HKEY_CURRENT_USER, key.c_str());
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, key.c_str());
  }
  // The add-in as a new start of the host makes it, on the real registry,
  // connected to a spreadsheet: start-up reads the stored settings.
  void start() {
    if (connection) connection->IDTExtensibility2_OnDisconnection(DisconnectMode::HostShutdown);
    connection.reset();
    // The previous add-in stays registered, on its registry, until the new
    // one takes its place.
    const std::unique_ptr<modRegistry> previous = std::move(reg);
    reg = std::make_unique<modRegistry>(host::make_registry_store({}, {}), host::WarningSink{});
    state = std::make_shared<AddinState>(Platform{
        loop, transport, *reg, messages, browser, objects, {}, 60000, 1000, nullptr, false, {}});
    register_classes(objects, (install / "quillo-addin.dll").string(), state);
    auto made = objects.create(kConnectProgId);
    ASSERT_TRUE(made.ok());
    connection = std::dynamic_pointer_cast<Connectexcel>(*made);
    connection->IDTExtensibility2_OnConnection(app, ConnectMode::Startup, nullptr);
  }
  bool update_menu_enabled() {
    auto bar = app.command_bars().item(host::kWorksheetMenuBar);
    auto item = (*bar)->find_control_by_caption("Update data");
    return item && item->enabled().value_or(false);
  }
  static DWORD stored_dword(const char* name) {
    DWORD value = 0, size = sizeof value;
    const std::string key(kConfigKeyPath);
    const LONG rc = RegGetValueA(HKEY_CURRENT_USER, key.c_str(), name, RRF_RT_REG_DWORD, nullptr,
                                 &value, &size);
    return rc == ERROR_SUCCESS ? value : 0xFFFFFFFF;
  }
  static std::string stored_text(const char* name) {
    char buf[512] = {};
    DWORD size = sizeof buf;
    const std::string key(kConfigKeyPath);
    const LONG rc =
        RegGetValueA(HKEY_CURRENT_USER, key.c_str(), name, RRF_RT_REG_SZ, nullptr, buf, &size);
    return rc == ERROR_SUCCESS ? std::string(buf) : "<missing>";
  }

  std::filesystem::path install;
  host::VirtualLoop loop;
  http::ScriptedTransport transport{loop};
  host::RecordingMessages messages;
  host::RecordingBrowser browser;
  host::ObjectRegistry objects;
  spreadsheet::Application app;  // the host; each start connects a new add-in to it
  std::unique_ptr<modRegistry> reg;
  std::shared_ptr<AddinState> state;
  std::shared_ptr<Connectexcel> connection;
};

TEST_F(SettingsInWindowsRegistryTest, ConfirmedSettingsLandInTheRegistryAndSurviveARestart) {
  start();
  ASSERT_EQ(state->config(), Configuration{});  // nothing stored yet
  EXPECT_FALSE(update_menu_enabled());
  state->show_settings();
  settings* dialog = state->settings_dialog();
  ASSERT_TRUE(dialog && dialog->visible);
  dialog->choose("select_updatemode", 1);  // Manual
  dialog->choose("select_updatefrq", 4);   // 5 minutes
  dialog->choose("select_connectionerror", 1);
  dialog->click("useproxy");
  dialog->type("proxy_url", "proxy.example:3128");
  dialog->type("proxy_user", "trader");
  dialog->type("connection_timeout", "45");
  dialog->click("button_ok");
  EXPECT_FALSE(dialog->visible);
  EXPECT_TRUE(update_menu_enabled());

  EXPECT_EQ(stored_dword("trading_updatemode"), 2u);
  EXPECT_EQ(stored_dword("trading_updatefrq"), 5u);
  EXPECT_EQ(stored_dword("connectionerrorhandling"), 2u);
  EXPECT_EQ(stored_dword("useproxy"), 1u);
  EXPECT_EQ(stored_dword("connection_timeout"), 45u);
  EXPECT_EQ(stored_text("proxy_server"), "proxy.example:3128");
  EXPECT_EQ(stored_text("proxy_user"), "trader");

  const Configuration confirmed = state->config();
  start();
  EXPECT_EQ(state->config(), confirmed);
  EXPECT_EQ(state->config().proxy_server, "proxy.example:3128");
  EXPECT_TRUE(update_menu_enabled());  // manual updates, as confirmed

  // A cancelled dialog changes nothing, in the registry or after a restart.
  state->show_settings();
  state->settings_dialog()->type("proxy_url", "elsewhere:80");
  state->settings_dialog()->click("button_cancel");
  EXPECT_EQ(stored_text("proxy_server"), "proxy.example:3128");
  start();
  EXPECT_EQ(state->config(), confirmed);
}

}  // namespace
}  // namespace quillo::addin
