// A workspace for end-to-end tests of the quillo command: a private
// temporary folder holding the add-in's settings store and an install folder
// whose definitions point at the local market-data service (started per
// test), plus helpers that read cells of a saved workbook back.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "cli/settings_command.h"
#include "cli/show_command.h"
#include "common/text.h"
#include "market_service.h"

namespace quillo::testing_support {

namespace fs = std::filesystem;

inline std::string read_all(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

class CliWorkspace : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "quillo-cli-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root = pattern;
    ::setenv("QUILLO_HKCU_DIR", (root / "user").c_str(), 1);
    ::setenv("QUILLO_HKLM_DIR", (root / "machine").c_str(), 1);
    ASSERT_TRUE(market.running());
    fs::create_directories(root / "install");
    std::string ds = read_all(fs::path(QUILLO_DATA_DIR) / "ds.xml");
    text::replace_all(ds, "{port}", std::to_string(market.port()));
    std::ofstream(root / "install" / "ds.xml", std::ios::binary) << ds;
    fs::copy_file(fs::path(QUILLO_DATA_DIR) / "tarnvale.xla", root / "install" / "tarnvale.xla");
    ASSERT_EQ(settings("installpath", (root / "install").string()), 0);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root, ec);
  }

  // quillo settings set NAME VALUE; its exit code.
  int settings(const std::string& name, const std::string& value) {
    cli::SettingsOptions o{name, value};
    std::ostringstream out, err;
    return cli::run_settings(o, out, err);
  }
  // The line quillo show prints for one cell of a saved workbook: address,
  // formula and value, tab-separated.
  std::string cell(const fs::path& file, const std::string& address) {
    cli::ShowOptions o;
    o.book = file.string();
    o.range = address;
    std::ostringstream out, err;
    EXPECT_EQ(cli::run_show(o, out, err), 0) << err.str();
    return out.str();
  }
  // The value column of cell().
  std::string value(const fs::path& file, const std::string& address) {
    std::string line = cell(file, address);
    if (!line.empty() && line.back() == '\n') line.pop_back();
    const std::size_t tab = line.rfind('\t');
    return tab == std::string::npos ? std::string() : line.substr(tab + 1);
  }

#ifdef QUILLO_BIN
 public:
  struct Run {
    int code = -1;
    std::string out, err;
  };

 protected:
  // Runs the quillo program with these arguments (already quoted for the
  // shell), killed after two minutes so a test cannot hang: its exit code
  // and what it printed.
  Run quillo(const std::string& args) {
    const fs::path out = root / "run.out", err = root / "run.err";
    const std::string cmd = std::string("timeout 120 ") + QUILLO_BIN + " " + args + " >" +
                            out.string() + " 2>" + err.string() + " </dev/null";
    const int status = std::system(cmd.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_all(out), read_all(err)};
  }
#endif

  service::MarketService market;
  fs::path root;
};

}  // namespace quillo::testing_support
