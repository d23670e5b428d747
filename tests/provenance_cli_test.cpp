// Where values came from, end to end: quillo refresh keeps the record with
// the workbook, quillo explain and quillo show --stale read it back (also
// after LibreOffice saved the file), and refresh --max-age names old values.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli/explain_command.h"
#include "cli/refresh_command.h"
#include "cli/show_command.h"
#include "cli_workspace.h"
#include "requests/provenance.h"
#include "spreadsheet/application.h"
#include "xlsx/workbook_files.h"

namespace quillo {
namespace {

namespace fs = std::filesystem;

class ProvenanceCliTest : public testing_support::CliWorkspace {
 protected:
  void SetUp() override {
    CliWorkspace::SetUp();
    if (HasFatalFailure()) return;
    book = root / "prices.xlsx";
    fs::copy_file(fs::path(QUILLO_TESTDATA) / "xlsx" / "quillo_formulas.xlsx", book);
  }
  int refresh(std::string* text = nullptr, std::optional<double> max_age = std::nullopt,
              bool strict = false) {
    cli::RefreshOptions o;
    o.book = book.string();
    o.timeout_seconds = 60;
    o.max_age_minutes = max_age;
    o.strict = strict;
    std::ostringstream out, err;
    const int code = cli::run_refresh(o, out, err);
    if (text) *text = out.str() + err.str();
    return code;
  }
  int explain(const fs::path& file, const std::string& cells, std::string& text) {
    cli::ExplainOptions o{file.string(), cells};
    std::ostringstream out, err;
    const int code = cli::run_explain(o, out, err);
    text = out.str() + err.str();
    return code;
  }
  std::string stale(const fs::path& file, double minutes) {
    cli::ShowOptions o;
    o.book = file.string();
    o.stale_minutes = minutes;
    std::ostringstream out, err;
    EXPECT_EQ(cli::run_show(o, out, err), 0) << err.str();
    return out.str();
  }
  // Makes the file's record say cell B2 was answered at the start of 2020.
  void age_b2(const fs::path& file) {
    spreadsheet::Application app;
    spreadsheet::use_xlsx_files(app);
    const auto opened = app.workbooks().open(file.string());
    ASSERT_TRUE(opened.ok()) << opened.status().message();
    std::vector<ProvenanceRecord> records = read_provenance(**opened);
    bool found = false;
    for (ProvenanceRecord& r : records) {
      if (r.sheet == "Prices" && r.row == 2 && r.col == 2 && r.fetch) {
        r.fetch->answered_ms = *parse_iso("2020-01-01T00:00:00Z");
        found = true;
      }
    }
    ASSERT_TRUE(found);
    ASSERT_TRUE(write_provenance(**opened, records));
    ASSERT_TRUE((*opened)->save().ok());
  }

  fs::path book;
};

TEST_F(ProvenanceCliTest, ExplainPrintsTheRecordAndSaysWhatItCannot) {
  ASSERT_EQ(refresh(), 0);
  std::string text;
  ASSERT_EQ(explain(book, "Prices!B2", text), 0) << text;
  EXPECT_NE(text.find("Prices!B2: single data item"), std::string::npos) << text;
  EXPECT_NE(text.find("asked: instrument BVM, field LMS.QUO.LAST"), std::string::npos) << text;
  EXPECT_NE(text.find("source: LMS, category QUO"), std::string::npos) << text;
  EXPECT_NE(text.find("address: http://127.0.0.1:" + std::to_string(market.port()) + "/quote?"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("HTTP status: 200, 1 attempt"), std::string::npos) << text;
  // ISO 8601 in UTC: 2026-12-07T21:38:42Z.
  const std::size_t at = text.find("answered: ");
  ASSERT_NE(at, std::string::npos);
  EXPECT_TRUE(parse_iso(text.substr(at + 10, 20))) << text;
  // The invalid instrument says so.
  ASSERT_EQ(explain(book, "Prices!B7", text), 0);
  EXPECT_NE(text.find("last failure: Invalid instrument id"), std::string::npos) << text;
  // A range prints every record in it.
  ASSERT_EQ(explain(book, "Prices!B2:C3", text), 0);
  EXPECT_NE(text.find("Prices!C3: single data item"), std::string::npos) << text;

  // A cell quillo did not fill; bad cells, sheets and books.
  EXPECT_EQ(explain(book, "Prices!D3", text), 1);
  EXPECT_NE(text.find("not filled by quillo"), std::string::npos) << text;
  EXPECT_EQ(explain(book, "Prices!ZZZZ1", text), 2);
  EXPECT_NE(text.find("is not a cell or range"), std::string::npos) << text;
  EXPECT_EQ(explain(book, "Nowhere!B2", text), 2);
  EXPECT_NE(text.find("no sheet \"Nowhere\""), std::string::npos) << text;
  EXPECT_EQ(explain(root / "missing.xlsx", "B2", text), 2);
  std::ofstream(root / "junk.xlsx") << "not a workbook";
  EXPECT_EQ(explain(root / "junk.xlsx", "B2", text), 2);

  // The record sheet is the file's business: show lists the user's sheets only.
  cli::ShowOptions o;
  o.book = book.string();
  std::ostringstream out, err;
  ASSERT_EQ(cli::run_show(o, out, err), 0) << err.str();
  EXPECT_NE(out.str().find("Prices!B2\t"), std::string::npos) << out.str();
  EXPECT_EQ(out.str().find(kProvenanceSheet), std::string::npos) << out.str();
}

TEST_F(ProvenanceCliTest, OldValuesAreListedAndNamedByMaxAge) {
  ASSERT_EQ(refresh(), 0);
  EXPECT_EQ(stale(book, 60).find("Prices!B2\t"), std::string::npos);
  age_b2(book);
  const std::string listed = stale(book, 60);
  EXPECT_NE(listed.find("Prices!B2\t2020-01-01T00:00:00Z\t"), std::string::npos) << listed;
  EXPECT_EQ(listed.find("Prices!B3\t"), std::string::npos) << listed;

  // The quotes fail now and keep the file's values: B2's is from 2020.
  ASSERT_EQ(settings("connectionerrorhandling", "2"), 0);
  std::string ds = testing_support::read_all(root / "install" / "ds.xml");
  text::replace_all(ds, "/quote</url>", "/gone</url>");
  std::ofstream(root / "install" / "ds.xml", std::ios::binary | std::ios::trunc) << ds;
  std::string text;
  EXPECT_EQ(refresh(&text, 60.0), 0) << text;  // without --strict: named, not failed
  EXPECT_NE(text.find("Prices!B2: value from 2020-01-01T00:00:00Z, older than 60 minutes"),
            std::string::npos)
      << text;
  EXPECT_EQ(refresh(&text, 60.0, true), 1) << text;
  EXPECT_NE(text.find("Prices!B2: value from 2020-01-01T00:00:00Z"), std::string::npos) << text;
  // The record keeps the old answer's time and says what failed since.
  ASSERT_EQ(explain(book, "Prices!B2", text), 0);
  EXPECT_NE(text.find("answered: 2020-01-01T00:00:00Z"), std::string::npos) << text;
  EXPECT_NE(text.find("last failure: "), std::string::npos) << text;
  EXPECT_EQ(text.find("last failure: none"), std::string::npos) << text;
}

TEST_F(ProvenanceCliTest, TheRecordSurvivesALibreOfficeRoundTrip) {
  if (std::system("command -v soffice >/dev/null 2>&1") != 0) GTEST_SKIP() << "no LibreOffice";
  ASSERT_EQ(refresh(), 0);
  std::string before;
  ASSERT_EQ(explain(book, "Prices!B2", before), 0);
  // LibreOffice opens and saves the file as xlsx again, in a profile of its own.
  const fs::path lo = root / "lo";
  fs::create_directories(lo / "out");
  const std::string convert =
      "cd " + lo.string() + " && HOME=" + lo.string() +
      " timeout 180 soffice --headless --norestore -env:UserInstallation=file://" +
      (lo / "profile").string() + " --convert-to xlsx --outdir " + (lo / "out").string() + " " +
      book.string() + " >/dev/null 2>&1";
  ASSERT_EQ(std::system(convert.c_str()), 0);
  const fs::path converted = lo / "out" / "prices.xlsx";
  ASSERT_TRUE(fs::exists(converted));
  std::string after;
  ASSERT_EQ(explain(converted, "Prices!B2", after), 0) << after;
  // The same record, apart from the age its time is shown with.
  EXPECT_EQ(after.substr(0, after.find("answered:")), before.substr(0, before.find("answered:")));
  EXPECT_EQ(after.substr(after.find("answered:"), 30), before.substr(before.find("answered:"), 30));
  // LibreOffice keeps the sheet but only hidden; quillo's next save hides it
  // from the sheet list again.
  book = converted;
  ASSERT_EQ(refresh(), 0);
  spreadsheet::Application app;
  spreadsheet::use_xlsx_files(app);
  const auto opened = app.workbooks().open(converted.string());
  ASSERT_TRUE(opened.ok());
  const auto sheet = (*opened)->worksheet(kProvenanceSheet);
  ASSERT_TRUE(sheet.ok());
  EXPECT_EQ(*(*sheet)->visible(), host::Visibility::VeryHidden);
  EXPECT_FALSE(read_provenance(**opened).empty());
}

}  // namespace
}  // namespace quillo
