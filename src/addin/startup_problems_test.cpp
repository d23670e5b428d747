// What the add-in tells a user about files it could not use at start-up:
// each problem names the file and the reason, and nothing is said when the
// files are fine or simply not there yet.
#include "addin/startup_problems.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/registry_store_folder.h"

namespace quillo::addin {
namespace {

using StartupProblemsTest = testing_support::StoreDirTest;

TEST_F(StartupProblemsTest, NothingIsSaidWhenTheFilesAreFineOrMissing) {
  modRegistry missing(location(), sink());
  EXPECT_TRUE(startup_problems(missing, location().user_dir, "").empty());

  write_file(user_file(),
             "Windows Registry Editor Version 5.00\r\n\r\n"
             "[HKEY_CURRENT_USER\\SOFTWARE\\Brenmoor\\Tarnvale]\r\n\"installpath\"=\"/x/\"\r\n");
  modRegistry fine(location(), sink());
  EXPECT_TRUE(startup_problems(fine, location().user_dir, "").empty());
  EXPECT_TRUE(warnings.empty());
}

TEST_F(StartupProblemsTest, ASettingsFileThatCannotBeReadIsNamedWithItsReason) {
  // A folder in the settings file's place cannot be read, whoever runs it.
  std::filesystem::create_directories(user_file());
  modRegistry reg(location(), sink());
  const auto problems = startup_problems(reg, location().user_dir, "");
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_NE(problems[0].find("the settings file in " + location().user_dir.string()),
            std::string::npos)
      << problems[0];
  EXPECT_NE(problems[0].find("cannot be read: "), std::string::npos) << problems[0];
  EXPECT_GT(problems[0].size(), problems[0].find("cannot be read: ") + 16) << "a reason follows";
}

TEST_F(StartupProblemsTest, DefinitionsThatDidNotLoadAreNamedAfterTheSettings) {
  std::filesystem::create_directories(user_file());
  modRegistry reg(location(), sink());
  const auto problems =
      startup_problems(reg, location().user_dir, "/opt/q/ds.xml: Error parsing element attribute");
  ASSERT_EQ(problems.size(), 2u);
  EXPECT_EQ(problems[1],
            "the definitions did not load: /opt/q/ds.xml: Error parsing element attribute");
}

// A damaged file reads as empty, and the store says which file once, on
// its warning sink (the Calc extension shows that as a message).
TEST_F(StartupProblemsTest, ADamagedSettingsFileIsSaidOnceOnTheWarningSink) {
  write_file(user_file(), "hello\nthis is no settings file\n");
  modRegistry reg(location(), sink());
  EXPECT_TRUE(startup_problems(reg, location().user_dir, "").empty());
  (void)reg.reg_valuetype(HKEY_CURRENT_USER, "SOFTWARE\\Brenmoor\\Tarnvale", "installpath");
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find(user_file().string()), std::string::npos) << warnings[0];
  EXPECT_NE(warnings[0].find("damaged"), std::string::npos) << warnings[0];
}

}  // namespace
}  // namespace quillo::addin
