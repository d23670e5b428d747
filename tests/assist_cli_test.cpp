// quillo search and quillo insert end to end: the search page of the local
// market-data service is searched through the search dialog, a table of
// formulas is inserted into an xlsx workbook through the single data item
// assistant, and quillo refresh fills it from the service.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli/assist_commands.h"
#include "cli/refresh_command.h"
#include "cli/settings_command.h"
#include "cli/show_command.h"
#include "common/text.h"
#include "market_data.h"
#include "market_service.h"

namespace quillo {
namespace {

namespace fs = std::filesystem;

std::string read_all(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

class AssistCliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "quillo-assist-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root = pattern;
    ::setenv("QUILLO_HKCU_DIR", (root / "user").c_str(), 1);
    ::setenv("QUILLO_HKLM_DIR", (root / "machine").c_str(), 1);
    ASSERT_TRUE(market.running());
    fs::create_directories(root / "install");
    std::string ds = read_all(fs::path(QUILLO_DATA_DIR) / "ds.xml");
    text::replace_all(ds, "{port}", std::to_string(market.port()));
    std::ofstream(root / "install" / "ds.xml", std::ios::binary) << ds;
    fs::copy_file(fs::path(QUILLO_DATA_DIR) / "tarnvale.xla", root / "install" / "tarnvale.xla");
    cli::SettingsOptions s{"installpath", (root / "install").string()};
    std::ostringstream o, e;
    ASSERT_EQ(cli::run_settings(s, o, e), 0) << e.str();
    book = root / "book.xlsx";
    fs::copy_file(fs::path(QUILLO_TESTDATA) / "xlsx" / "openpyxl_book.xlsx", book);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
  int search(const std::string& source, const std::string& text) {
    out.str({});
    err.str({});
    cli::SearchOptions o{source, text};
    return cli::run_search(o, out, err);
  }
  int insert(const std::vector<std::string>& ids, const std::vector<std::string>& fields,
             const std::string& cell = "Data!N2") {
    cli::InsertSingleOptions o;
    o.book = book.string();
    o.cell = cell;
    o.ids = ids;
    o.fields = fields;
    o.params = {{"units", "Millions"}};
    err.str({});
    return cli::run_insert_single(o, out, err);
  }
  std::string value(const std::string& address) {
    cli::ShowOptions o;
    o.book = book.string();
    o.range = address;
    std::ostringstream s, e;
    EXPECT_EQ(cli::run_show(o, s, e), 0) << e.str();
    const std::string line = s.str();
    const std::size_t tab = line.rfind('\t');
    return tab == std::string::npos ? std::string() : line.substr(tab + 1, line.size() - tab - 2);
  }

  service::MarketService market;
  fs::path root, book;
  std::ostringstream out, err;
};

TEST_F(AssistCliTest, SearchThenInsertThenRefreshFillsTheTable) {
  const service::Instrument& inst = service::instruments()[3];
  ASSERT_EQ(search("LMM", inst.name), 0) << err.str();
  const std::string hit = inst.name + "\t" + inst.symbol + "\t" + inst.exchange + "\n";
  EXPECT_NE(out.str().find(hit), std::string::npos) << out.str();
  EXPECT_EQ(search("", "no such company at all"), 1);
  EXPECT_EQ(search("", ""), 2);
  EXPECT_EQ(search("XYZ", "a"), 2);

  const std::string other = service::instruments()[4].symbol;
  ASSERT_EQ(insert({inst.symbol, other}, {"LMS.QUO.LAST", "lms.quo.change", "LMS.QUO.NAME"}), 0)
      << err.str();
  EXPECT_EQ(value("Data!O3"), "Millions");
  EXPECT_EQ(value("Data!N6"), inst.symbol);
  EXPECT_EQ(value("Data!O6"), "Loading data...");
  cli::RefreshOptions r;
  r.book = book.string();
  r.timeout_seconds = 60;
  std::ostringstream o, e;
  ASSERT_EQ(cli::run_refresh(r, o, e), 0) << e.str();
  EXPECT_EQ(value("Data!Q6"), inst.name);
  EXPECT_TRUE(text::locale_number(value("Data!O7"))) << value("Data!O7");
  EXPECT_TRUE(text::locale_number(value("Data!P6"))) << value("Data!P6");
}

TEST_F(AssistCliTest, BadInsertsLeaveTheFileAsItWas) {
  const std::string before = read_all(book);
  EXPECT_EQ(insert({" ", ";", ""}, {"LMS.QUO.LAST"}), 2);
  EXPECT_NE(err.str().find("instrument id"), std::string::npos) << err.str();
  EXPECT_EQ(insert({"ABC"}, {"LMS.QUO.NOSUCH"}), 2);
  EXPECT_EQ(insert({"ABC", "DEF"}, {"LMS.QUO.LAST"}, "Data!XFD1"), 2);
  EXPECT_NE(err.str().find("does not fit"), std::string::npos) << err.str();
  EXPECT_EQ(insert({"ABC"}, {"LMS.QUO.LAST"}, "Nowhere!A1"), 2);
  EXPECT_EQ(read_all(book), before);
}

}  // namespace
}  // namespace quillo
