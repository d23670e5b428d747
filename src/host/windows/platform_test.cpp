// The Windows file system, process functions and browser opener: atomic
// replacement that leaves no temporary file behind, refusal of targets and
// sources that are not plain files, the module's own path, private
// temporary folders, and the browser's refusal of anything but web
// addresses.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "host/file_system.h"
#include "host/process.h"
#include "host/windows/shell_browser.h"

namespace quillo::host {
namespace {

namespace fs = std::filesystem;

class WindowsFilesTest : public testing::Test {
 protected:
  WindowsFilesTest() {
    dir = make_private_temp_folder("quillo-files-");
    EXPECT_FALSE(dir.empty());
  }
  ~WindowsFilesTest() override {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  std::size_t entries() const {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir), {}));
  }
  std::string dir;
  std::unique_ptr<FileSystem> files = make_platform_file_system();
};

TEST_F(WindowsFilesTest, ReplacesWholeFilesAndLeavesNoTemporaries) {
  const std::string path = dir + "\\book.xml";
  ASSERT_TRUE(files->write_file(path, "first").ok());
  ASSERT_TRUE(files->write_file(path, std::string(300000, 'b')).ok());
  auto read = files->read_file(path, 1 << 20);
  ASSERT_TRUE(read.ok());
  EXPECT_EQ(*read, std::string(300000, 'b'));
  EXPECT_EQ(entries(), 1u);

  // A replacement dropped without commit leaves the target as it was; one
  // committed twice fails the second time.
  {
    auto r = files->begin_replace(path);
    ASSERT_TRUE(r.ok());
    std::ofstream((*r)->temporary_path()) << "never";
  }
  EXPECT_EQ(*files->read_file(path, 1 << 20), std::string(300000, 'b'));
  auto r = files->begin_replace(dir + "\\new.txt");
  ASSERT_TRUE(r.ok());
  std::ofstream((*r)->temporary_path(), std::ios::binary) << "made";
  EXPECT_TRUE((*r)->commit().ok());
  EXPECT_FALSE((*r)->commit().ok());
  EXPECT_EQ(*files->read_file(dir + "\\new.txt", 100), "made");
  EXPECT_EQ(entries(), 2u);
}

TEST_F(WindowsFilesTest, RefusesFoldersMissingAndOversizedFiles) {
  const std::string folder = dir + "\\folder";
  fs::create_directory(folder);
  EXPECT_FALSE(files->write_file(folder, "x").ok());
  EXPECT_FALSE(files->begin_replace(folder).ok());
  EXPECT_TRUE(fs::is_directory(folder));
  EXPECT_FALSE(files->read_file(folder, 100).ok());
  const Status missing = files->read_file(dir + "\\missing.txt", 100).status();
  EXPECT_FALSE(missing.ok());
  EXPECT_EQ(missing.system_error(), ERROR_FILE_NOT_FOUND);
  ASSERT_TRUE(files->write_file(dir + "\\big", std::string(101, 'x')).ok());
  EXPECT_FALSE(files->read_file(dir + "\\big", 100).ok());
  EXPECT_FALSE(files->write_file(dir + "\\no-such-folder\\f", "x").ok());
  EXPECT_EQ(entries(), 2u);
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
