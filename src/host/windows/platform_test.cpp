// The Windows file system under the file system contract
// (file_system_contract.h) and its system error codes; the process
// functions (the module's own path, private temporary folders) and the
// browser's refusal of anything but web addresses.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "host/file_system.h"
#include "host/file_system_contract.h"
#include "host/process.h"
#include "host/windows/shell_browser.h"

namespace quillo::host {
namespace {

namespace fs = std::filesystem;

struct WindowsFilesHarness {
  std::unique_ptr<FileSystem> make() { return make_platform_file_system(); }
};

INSTANTIATE_TYPED_TEST_SUITE_P(Windows, FileSystemContract, WindowsFilesHarness);

// A missing file reads as the system's own code.
TEST(WindowsFilesTest, AMissingFileCarriesTheSystemsCode) {
  const std::string dir = make_private_temp_folder("quillo-files-");
  ASSERT_FALSE(dir.empty());
  const Status missing =
      make_platform_file_system()->read_file(dir + "\\missing.txt", 100).status();
  EXPECT_FALSE(missing.ok());
  EXPECT_EQ(missing.system_error(), ERROR_FILE_NOT_FOUND);
  fs::remove(dir);
}

TEST(WindowsProcessTest, KnowsItsModuleAndMakesPrivateFolders) {
  const std::string self = own_module_path();
  ASSERT_FALSE(self.empty());
  EXPECT_TRUE(fs::is_regular_file(self));
  EXPECT_EQ(fs::path(self).extension().string(), ".exe");
  const std::string a = make_private_temp_folder("quillo-p-");
  const std::string b = make_private_temp_folder("quillo-p-");
  ASSERT_FALSE(a.empty());
  EXPECT_NE(a, b);
  EXPECT_EQ(fs::path(a).filename().string().rfind("quillo-p-", 0), 0u);
  EXPECT_TRUE(fs::is_directory(a));
  fs::remove(a);
  fs::remove(b);
}

TEST(ShellBrowserTest, RefusesWhatIsNotAWebAddress) {
  ShellBrowser browser;
  for (const char* bad : {"", "https://", "file:///C:/Windows/win.ini", "C:\\Windows\\notepad.exe",
                          "calc", "javascript:alert(1)", "https://a b"}) {
    EXPECT_EQ(browser.open(bad).code(), StatusCode::InvalidArgument) << bad;
  }
}

}  // namespace
}  // namespace quillo::host
