// A workbook as people keep them (tests/real_workbook.py: openpyxl, and the
// same book saved by LibreOffice) refreshed from the local market-data
// service: what reads the fetched price is computed again, formula texts
// come back as the file had them, and formulas quillo cannot compute are
// reported when what they read changed.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "cli/refresh_command.h"
#include "cli/settings_command.h"
#include "cli/show_command.h"
#include "cli_workspace.h"
#include "common/text.h"

namespace quillo {
namespace {

namespace fs = std::filesystem;

const std::string kScript = std::string(QUILLO_TESTS) + "/real_workbook.py";

using testing_support::read_all;

class RefreshFidelityTest : public testing_support::CliWorkspace {
 protected:
  void SetUp() override {
    if (std::system("/usr/bin/python3 -c 'import openpyxl' 2>/dev/null") != 0) {
      GTEST_SKIP() << "needs python3-openpyxl";
    }
    CliWorkspace::SetUp();
  }

  std::string run(const std::string& cmd) {
    const fs::path out = root / "cmd.out";
    EXPECT_EQ(std::system((cmd + " >" + out.string()).c_str()), 0) << cmd;
    return read_all(out);
  }
  int refresh(const fs::path& from, const fs::path& to, bool strict, std::string* text) {
    cli::RefreshOptions o;
    o.book = from.string();
    o.output = to.string();
    o.timeout_seconds = 60;
    o.strict = strict;
    std::ostringstream out, err;
    const int code = cli::run_refresh(o, out, err);
    *text = out.str() + err.str();
    return code;
  }

  // Refreshes book and checks what every version of the book must show.
  void check(const fs::path& book) {
    const fs::path out = root / ("out-" + book.filename().string());
    std::string text;
    EXPECT_EQ(refresh(book, out, false, &text), 0) << text;
    EXPECT_NE(text.find("1 cells with quillo formulas, 1 filled"), std::string::npos) << text;
    const double price = std::stod(value(out, "Prices!B2"));
    EXPECT_GT(price, 0);
    EXPECT_EQ(std::stod(value(out, "Prices!C2")), price * 2);
    EXPECT_EQ(value(out, "Prices!D2"), "up");
    EXPECT_EQ(std::stod(value(out, "Calc!A1")), price * 2 + 1);
    EXPECT_EQ(value(out, "Prices!I2"), "1004");
    // Every formula, recomputed or not, has the text the file had.
    EXPECT_EQ(run(kScript + " formulas " + out.string()),
              run(kScript + " formulas " + book.string()));

    std::set<std::string> stale;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
      const auto at = line.find("warning: ");
      const auto end = line.find(": kept the file's value though");
      if (at != std::string::npos && end != std::string::npos) {
        stale.insert(line.substr(at + 9, end - at - 9));
      }
    }
    // These formulas need SUMIF, TEXT, a defined name and a table, which
    // quillo computes: none of them may keep the file's value.
    const std::map<std::string, std::string> needs{{"Prices!E2", "SUMIF"},
                                                   {"Prices!F2", "TEXT"},
                                                   {"Prices!G2", "defined names"},
                                                   {"Prices!H2", "tables"}};
    for (const std::string& cell : stale) {
      const auto need = needs.find(cell);
      ADD_FAILURE() << cell << " kept the file's value"
                    << (need == needs.end() ? std::string()
                                            : " (" + need->second + " stopped computing)")
                    << "\n"
                    << text;
    }
    EXPECT_EQ(std::stod(value(out, "Prices!E2")), price);
    EXPECT_EQ(std::stod(value(out, "Prices!G2")), price);
    EXPECT_EQ(value(out, "Prices!H2"), "12");
    EXPECT_EQ(text.find("though cells they read changed"), std::string::npos) << text;
    EXPECT_EQ(refresh(book, out, true, &text), 0) << text;
  }
};

TEST_F(RefreshFidelityTest, WhatReadsTheFetchedPriceIsComputedAndFormulaTextsStay) {
  const fs::path book = root / "openpyxl.xlsx";
  run(kScript + " make " + book.string());
  check(book);

  if (std::system("command -v soffice >/dev/null") == 0) {
    // The same book as LibreOffice saves it: every formula has a cached
    // value (#NAME? for the add-in's), and its own spelling.
    const fs::path lo = root / "lo";
    fs::create_directories(lo / "home");
    const std::string convert =
        "cd " + lo.string() + " && HOME=" + (lo / "home").string() +
        " timeout 120 soffice --headless --calc --convert-to xlsx --outdir " + lo.string() + " " +
        book.string() + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(convert.c_str()), 0);
    fs::rename(lo / "openpyxl.xlsx", root / "libreoffice.xlsx");
    check(root / "libreoffice.xlsx");
  }
}

TEST_F(RefreshFidelityTest, FormulasQuilloCannotComputeAreReportedWhenWhatTheyReadChanged) {
  const fs::path book = root / "unknown.xlsx";
  run("/usr/bin/python3 -c \"import openpyxl,sys; wb=openpyxl.Workbook(); ws=wb.active; "
      "ws.title='P'; ws['A1']='BVM'; ws['B1']='=fsingle(A1,\\\"LMS.QUO.LAST\\\")'; "
      "ws['C1']='=NOSUCHFN(B1)'; ws['D1']='=NOSUCHFN(A1)'; ws['E1']='=C1+1'; "
      "wb.save(sys.argv[1])\" " +
      book.string());
  std::string text;
  EXPECT_EQ(refresh(book, root / "out.xlsx", false, &text), 0) << text;
  EXPECT_NE(text.find("P!C1: kept the file's value though cells it reads changed (calls "
                      "NOSUCHFN)"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("; 1 formula quillo cannot compute kept the file's value"), std::string::npos)
      << text;
  EXPECT_EQ(text.find("P!D1: kept"), std::string::npos) << text;  // reads nothing that changed
  EXPECT_EQ(refresh(book, root / "out.xlsx", true, &text), 1) << text;
}

// A formula naming a deleted sheet is #REF!, as the program that deleted it
// shows; one quillo cannot read, with no value in the file, is still listed.
TEST_F(RefreshFidelityTest, LostReferencesAreRefErrorsAndUnreadFormulasAreShown) {
  const fs::path book = root / "lost.xlsx";
  run("/usr/bin/python3 -c \"import openpyxl,sys; wb=openpyxl.Workbook(); ws=wb.active; "
      "ws.title='P'; ws['A1']='=1+(('; ws['B1']='=#REF!A1+1'; ws['C1']='=B1&P!#REF!'; "
      "wb.save(sys.argv[1])\" " +
      book.string());
  EXPECT_EQ(cell(book, "P!A1"), "P!A1\t=1+((\t\n");
  std::string text;
  EXPECT_EQ(refresh(book, root / "out.xlsx", false, &text), 0) << text;
  EXPECT_EQ(value(root / "out.xlsx", "P!B1"), "#REF!");
  EXPECT_EQ(value(root / "out.xlsx", "P!C1"), "#REF!");
  EXPECT_EQ(cell(root / "out.xlsx", "P!A1"), "P!A1\t=1+((\t\n");
}

}  // namespace
}  // namespace quillo
