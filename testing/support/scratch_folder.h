// ScratchFolderTest: a test fixture that gives each test a fresh, empty
// folder of its own under the system's temporary folder (dir), removed with
// everything in it when the test ends, even when the test took away its
// permissions. The name holds the process id and the test's suite and name,
// so tests running at once in several processes never share a folder.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <string>
#include <system_error>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

namespace quillo::testing_support {

class ScratchFolderTest : public ::testing::Test {
 protected:
  ScratchFolderTest() {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    // Parameterized tests have "/" in their names: one folder, not two.
    std::string name = std::string(info->test_suite_name()) + "-" + info->name();
    for (char& c : name) {
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-') c = '_';
    }
#ifdef _WIN32
    const int pid = ::_getpid();
#else
    const int pid = static_cast<int>(::getpid());
#endif
    dir = std::filesystem::temp_directory_path() / ("quillo-" + std::to_string(pid) + "-" + name);
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
  }
  ~ScratchFolderTest() override {
    std::error_code ec;
    std::filesystem::permissions(dir, std::filesystem::perms::owner_all, ec);
    std::filesystem::remove_all(dir, ec);
  }

  // The path of name in the folder.
  std::string path(const std::string& name) const {
    return (dir / name).string();
  }

  std::filesystem::path dir;
};

}  // namespace quillo::testing_support
