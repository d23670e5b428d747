// quillo demo end to end: the bundled workbook is filled from the local
// service through the whole engine and saved.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli/demo_command.h"
#include "cli/show_command.h"

namespace {

TEST(DemoTest, FillsEveryCellAndSavesAWorkbookThatReadsBack) {
  const auto out_path = std::filesystem::temp_directory_path() / "quillo-demo-test.xlsx";
  quillo::cli::DemoOptions options;
  options.data_dir = QUILLO_DATA_DIR;
  options.output = out_path.string();
  std::ostringstream out, err;
  ASSERT_EQ(quillo::cli::run_demo(options, out, err), 0) << err.str();
  const std::string table = out.str();
  EXPECT_NE(table.find("Invalid instrument id"), std::string::npos);
  EXPECT_NE(table.find("Invalid fieldname!"), std::string::npos);
  EXPECT_EQ(table.find("Loading data..."), std::string::npos) << table;
  EXPECT_EQ(table.find("#"), std::string::npos) << table;  // no error values

  // The saved file reads back with the values in it.
  quillo::cli::ShowOptions show;
  show.book = out_path.string();
  show.range = "Quotes!C4";
  std::ostringstream shown, show_err;
  ASSERT_EQ(quillo::cli::run_show(show, shown, show_err), 0) << show_err.str();
  EXPECT_NE(shown.str().find("fsingle($A4,\"LMS.QUO.LAST\")"), std::string::npos) << shown.str();
  // The history sheet: the table below its formula, the indicators beside it.
  show.range = "History!A3:K4";
  std::ostringstream history;
  ASSERT_EQ(quillo::cli::run_show(show, history, show_err), 0) << show_err.str();
  for (const char* text : {"Data loaded.", "Close", "SMA,20", "MACD,12,26,9", "MACD Signal,12,26,9",
                           "Bollinger Upper-line,20,2"}) {
    EXPECT_NE(history.str().find(text), std::string::npos) << text << "\n" << history.str();
  }
  std::filesystem::remove(out_path);
}

TEST(DemoTest, MissingOrBrokenDataIsABadInputError) {
  quillo::cli::DemoOptions options;
  options.data_dir = "/nonexistent";
  std::ostringstream out, err;
  EXPECT_EQ(quillo::cli::run_demo(options, out, err), 2);
  EXPECT_NE(err.str().find("cannot read"), std::string::npos);

  // A data folder whose ds.xml does not load: the loader's message, no file.
  const auto dir = std::filesystem::temp_directory_path() / "quillo-demo-broken";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  for (const char* f : {"tarnvale.xla", "demo.xlsx"}) {
    std::filesystem::copy_file(std::filesystem::path(QUILLO_DATA_DIR) / f, dir / f);
  }
  std::ofstream(dir / "ds.xml") << "<definitions><datasource code=\"LMS\"></definitions>";
  options.data_dir = dir.string();
  options.output = (dir / "out.xlsx").string();
  std::ostringstream out2, err2;
  EXPECT_EQ(quillo::cli::run_demo(options, out2, err2), 2);
  EXPECT_NE(err2.str().find("ds.xml: Error during load of xml"), std::string::npos) << err2.str();
  EXPECT_FALSE(std::filesystem::exists(dir / "out.xlsx"));
  std::filesystem::remove_all(dir);
}

}  // namespace
