// Test support: a private store folder per test, with the store's
// environment variables pointing into it, removed afterwards.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "addin/modRegistry.h"
#include "host/registry_store.h"

namespace quillo::addin::testing {

class StoreDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "quillo-reg-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    m_root = pattern;
    ::setenv("QUILLO_HKCU_DIR", (m_root / "user").c_str(), 1);
    ::setenv("QUILLO_HKLM_DIR", (m_root / "machine").c_str(), 1);
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::permissions(m_root, std::filesystem::perms::owner_all, ec);
    std::filesystem::remove_all(m_root, ec);
  }
  RegistryLocation location() const { return RegistryLocation::from_environment(); }
  WarningSink sink() {
    return [this](std::string_view w) { warnings.emplace_back(w); };
  }
  std::filesystem::path user_file() const { return m_root / "user" / "HKEY_CURRENT_USER.reg"; }
  std::filesystem::path machine_file() const {
    return m_root / "machine" / "HKEY_LOCAL_MACHINE.reg";
  }
  static void write_file(const std::filesystem::path& path, std::string_view text) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
  }
  static std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  std::filesystem::path m_root;
  std::vector<std::string> warnings;
};

}  // namespace quillo::addin::testing
