// Test support: the add-in loaded into a real spreadsheet over a scripted
// transport and a virtual clock, with its data files in a private install
// folder and its settings in a private store.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "addin/Connectexcel.h"
#include "addin/dataload.h"
#include "addin/modRegistry.h"
#include "http/scripted_transport.h"
#include "spreadsheet/application.h"
#include "support/registry_store_folder.h"

namespace quillo::addin::testing {

class AddinHostTest : public testing_support::StoreDirTest {
 protected:
  void SetUp() override {
    StoreDirTest::SetUp();
    install = m_root / "install";
    std::filesystem::create_directories(install);
    const std::filesystem::path data(QUILLO_DATA_DIR);
    std::filesystem::copy_file(data / "sample" / "ds.xml", install / "ds.xml");
    std::filesystem::copy_file(data / "tarnvale.xla", install / "tarnvale.xla");
    reg = std::make_unique<modRegistry>(location(), sink());
  }
  void TearDown() override {
    connection.reset();
    state.reset();
    StoreDirTest::TearDown();
  }

  // A fresh add-in, as a new start of the host makes it; site_at_startup:
  // whether start-up asks the product site; remember_install_path: whether
  // the install folder found is stored.
  void make_state(bool site_at_startup, std::function<void(std::string_view)> notes = {},
                  bool remember_install_path = true) {
    connection.reset();
    state = std::make_shared<AddinState>(Platform{loop,
                                                  transport,
                                                  *reg,
                                                  messages,
                                                  browser,
                                                  objects,
                                                  {},
                                                  60000,
                                                  1000,
                                                  nullptr,
                                                  site_at_startup,
                                                  std::move(notes),
                                                  remember_install_path});
    register_classes(objects, (install / "quillo-addin.so").string(), state);
  }
  void connect() {
    auto made = objects.create(kConnectProgId);
    ASSERT_TRUE(made.ok());
    connection = std::dynamic_pointer_cast<Connectexcel>(*made);
    connection->IDTExtensibility2_OnConnection(app, ConnectMode::Startup, nullptr);
  }
  host::ControlPtr menu_item(std::string_view caption) {
    auto bar = app.command_bars().item(host::kWorksheetMenuBar);
    return (*bar)->find_control_by_caption(caption);
  }
  // Seconds pass on the virtual clock; the second timer sends what waits.
  void seconds(int n) {
    for (int i = 0; i < n; ++i) loop.advance(1000);
  }

  std::filesystem::path install;
  host::VirtualLoop loop;
  http::ScriptedTransport transport{loop};
  host::RecordingMessages messages;
  host::RecordingBrowser browser;
  host::ObjectRegistry objects;
  spreadsheet::Application app;
  std::unique_ptr<modRegistry> reg;
  std::shared_ptr<AddinState> state;
  std::shared_ptr<Connectexcel> connection;
};

}  // namespace quillo::addin::testing
