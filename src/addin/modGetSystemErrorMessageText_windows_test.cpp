// The add-in's error texts on Windows: the system's own wording without its
// line break, and a number for a code the system has no text for, with
// nothing shown to the user about the lookup itself.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "addin/modGetSystemErrorMessageText.h"

namespace quillo::addin {
namespace {

TEST(SystemErrorTextOnWindows, SystemWordingOrTheCodeAndNoBox) {
  std::vector<std::string> shown;
  const auto show = [&](std::string_view s) { shown.emplace_back(s); };
  const std::string denied = GetSystemErrorMessageText(5, show);
  EXPECT_FALSE(denied.empty());
  EXPECT_EQ(denied.find_first_of("\r\n"), std::string::npos);
  EXPECT_NE(denied, GetSystemErrorMessageText(2, show));
  EXPECT_EQ(GetSystemErrorMessageText(0xDEAD, show), "error 57005 (0x0000DEAD)");
  EXPECT_TRUE(shown.empty());
}

}  // namespace
}  // namespace quillo::addin
