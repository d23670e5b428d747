// StoreDirTest: a test fixture for the registry store's files on POSIX - a
// scratch folder per test holding the user and machine stores, the
// environment variables the store reads pointing into it, helpers that read
// and write its files, and the warnings the store gave.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "host/registry_store.h"
#include "support/scratch_folder.h"

namespace quillo::testing_support {

class StoreDirTest : public ScratchFolderTest {
 protected:
  void SetUp() override {
    ::setenv("QUILLO_HKCU_DIR", (m_root / "user").c_str(), 1);
    ::setenv("QUILLO_HKLM_DIR", (m_root / "machine").c_str(), 1);
  }
  host::RegistryLocation location() const { return {m_root / "user", m_root / "machine"}; }
  host::WarningSink sink() {
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

  const std::filesystem::path& m_root = dir;
  std::vector<std::string> warnings;
};

}  // namespace quillo::testing_support
