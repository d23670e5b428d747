#include "host/posix/xdg_open_browser.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "host/process.h"

namespace quillo::host {
namespace {

TEST(Browser, OnlyWebAddressesAreOpened) {
  // "true" starts and ends at once, so only the address decides the outcome.
  XdgOpenBrowser browser("true");
  EXPECT_TRUE(browser.open("https://quillo.example.org/Tarnvale/help.html").ok());
  EXPECT_TRUE(browser.open("HTTP://quillo.example.org").ok());
  for (const char* bad : {"", "https://", "ftp://a.example", "file:///etc/passwd",
                          "javascript:alert(1)", "--help", "https://a b", "https://a\nb"}) {
    EXPECT_EQ(browser.open(bad).code(), StatusCode::InvalidArgument) << bad;
  }
}

TEST(Browser, MissingOpenerProgramIsReported) {
  const Status s = XdgOpenBrowser("quillo-no-such-opener").open("https://quillo.example.org");
  EXPECT_EQ(s.code(), StatusCode::OperationFailed);
  EXPECT_NE(s.message().find("quillo-no-such-opener"), std::string::npos);
}

// A secret address reaches the browser through a page only this user can
// read: the opener's arguments (readable by every user in /proc) hold
// the page's path, never the address.
TEST(Browser, SecretAddressGoesThroughAPrivatePage) {
  namespace fs = std::filesystem;
  const fs::path dir = make_private_temp_folder("quillo-browser-test-");
  ASSERT_FALSE(dir.empty());
  const fs::path args = dir / "args";
  const fs::path opener = dir / "opener";
  std::ofstream(opener) << "#!/bin/sh\nprintf '%s\\n' \"$0\" \"$@\" > " << args.string()
                        << ".part\n"
                        << "mv " << args.string() << ".part " << args.string() << "\n";
  fs::permissions(opener, fs::perms::owner_all);
  const std::string token(64, 'f');
  const std::string address = "http://127.0.0.1:8123/" + token + "/";
  std::string page_path;
  {
    LaunchPage page(address);
    ASSERT_TRUE(page.status().ok()) << page.status().message();
    page_path = page.path();
    struct stat st {};
    ASSERT_EQ(::stat(page.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat(fs::path(page.path()).parent_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    std::stringstream text;
    text << std::ifstream(page.path()).rdbuf();
    EXPECT_NE(text.str().find("url=" + address + "\""), std::string::npos);

    ASSERT_TRUE(XdgOpenBrowser(opener.string()).open_page(page).ok());
    for (int i = 0; i < 500 && !fs::exists(args); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::stringstream argv;
    argv << std::ifstream(args).rdbuf();
    EXPECT_EQ(argv.str(), opener.string() + "\n" + page.path() + "\n");
    EXPECT_EQ(argv.str().find(token), std::string::npos);
  }
  // Gone with the LaunchPage, folder and all.
  EXPECT_FALSE(fs::exists(page_path));
  EXPECT_FALSE(fs::exists(fs::path(page_path).parent_path()));
  EXPECT_FALSE(LaunchPage("javascript:alert(1)").status().ok());
  fs::remove_all(dir);
}

}  // namespace
}  // namespace quillo::host
