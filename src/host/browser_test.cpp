#include "host/posix/xdg_open_browser.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace quillo::host
