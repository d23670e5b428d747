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
#include "cli_workspace.h"
#include "common/text.h"
#include "demo/market_data.h"

namespace quillo {
namespace {

namespace fs = std::filesystem;

using testing_support::read_all;

class AssistCliTest : public testing_support::CliWorkspace {
 protected:
  void SetUp() override {
    CliWorkspace::SetUp();
    if (HasFatalFailure()) return;
    book = root / "book.xlsx";
    fs::copy_file(fs::path(QUILLO_TESTDATA) / "xlsx" / "openpyxl_book.xlsx", book);
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
  int insert_history(const std::string& id, const std::string& cell = "Data!N2") {
    cli::InsertHistoryOptions o;
    o.book = book.string();
    o.cell = cell;
    o.id = id;
    o.from = "2025-01-02";
    o.to = "2025-03-31";
    o.fields = {"DATE", "CLOSE"};
    err.str({});
    return cli::run_insert_history(o, out, err);
  }
  std::string value(const std::string& address) { return CliWorkspace::value(book, address); }

  fs::path book;
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
  // Not answered yet: saved empty, never with a status text a refresh that
  // times out would keep.
  EXPECT_EQ(cell(book, "Data!O6"), "Data!O6\t=fsingle($N6,O$5,$O$2:$O$3)\t\n");
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
  // The history block takes one id; none, or a list, writes nothing.
  for (const std::string id : {"", "  ", ";", "ABC;DEF", "ABC,DEF"}) {
    EXPECT_EQ(insert_history(id), 2) << "\"" << id << "\"";
    EXPECT_NE(err.str().find("--id"), std::string::npos) << err.str();
  }
  EXPECT_EQ(read_all(book), before);
  ASSERT_EQ(insert_history(" ABC "), 0) << err.str();
  EXPECT_EQ(value("Data!N2"), "ABC");
}

TEST_F(AssistCliTest, ASearchPageThatFailsIsAFailureNotNoResults) {
  std::string ds = read_all(root / "install" / "ds.xml");
  text::replace_all(ds, "/search?q=", "/search?_status=500&amp;q=");
  std::ofstream(root / "install" / "ds.xml", std::ios::binary | std::ios::trunc) << ds;
  EXPECT_EQ(search("LMS", service::instruments()[3].name), 2);
  EXPECT_NE(err.str().find("HTTP status 500"), std::string::npos) << err.str();
  EXPECT_EQ(err.str().find("No results found."), std::string::npos) << err.str();
  EXPECT_EQ(out.str(), "");
}

TEST_F(AssistCliTest, ABlockOverMergedCellsIsRefusedAndNothingSaved) {
  // The book merges A13:C13; a block at A12 puts its parameter value in B13.
  const std::string before = read_all(book);
  EXPECT_EQ(insert({"ABC", "DEF"}, {"LMS.QUO.LAST"}, "Data!A12"), 2);
  EXPECT_NE(err.str().find("merged cells A13:C13; nothing was saved"), std::string::npos)
      << err.str();
  EXPECT_EQ(read_all(book), before);
  // A history block at B10 puts its sampling letter in B13.
  EXPECT_EQ(insert_history("ABC", "Data!B10"), 2);
  EXPECT_NE(err.str().find("merged cells A13:C13; nothing was saved"), std::string::npos)
      << err.str();
  EXPECT_EQ(read_all(book), before);
}

}  // namespace
}  // namespace quillo
