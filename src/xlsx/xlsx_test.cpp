// xlsx load and save: files written by other spreadsheet writers (see
// testdata/xlsx/make.py), round trips, new workbooks, atomic saves, hostile
// packages, and xlsx files as an Application's workbooks (open, save, save
// as, close with saving).
//
// Setting QUILLO_XLSX_KEEP to a folder keeps a copy of every file these
// tests save, so tests/xlsx_libreoffice_check.sh can have other readers
// check them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <unistd.h>

#include "common/dates.h"
#include "common/text.h"
#include "support/scratch_folder.h"
#include "xlsx/package.h"
#include "xlsx/workbook_files.h"
#include "xlsx/xlsx.h"

namespace quillo::spreadsheet {
namespace {

namespace fs = std::filesystem;

const std::string kData = std::string(QUILLO_TESTDATA_DIR) + "/xlsx/";

class XlsxTest : public testing_support::ScratchFolderTest {
 protected:
  // Saves the book and keeps a copy for the checks by other readers.
  void save(BookId book, XlsxFile* file, const std::string& to) {
    const Status st = save_xlsx(model, book, file, to);
    ASSERT_TRUE(st.ok()) << st.message();
    if (const char* keep = std::getenv("QUILLO_XLSX_KEEP")) {
      fs::copy_file(to, fs::path(keep) / ("unit-" + fs::path(to).filename().string()),
                    fs::copy_options::overwrite_existing);
    }
  }

  XlsxLoad load(const std::string& file, Model& into) {
    auto r = load_xlsx(into, file);
    EXPECT_TRUE(r.ok()) << r.status().message();
    return r.ok() ? std::move(r).value() : XlsxLoad{};
  }

  // The parts of a saved package, read back.
  std::string part(const std::string& file, const std::string& name) {
    auto bytes = host::make_platform_file_system()->read_file(file, 1 << 30);
    auto zip = xlsx::ZipReader::open(std::make_shared<std::string>(std::move(bytes).value()), {});
    auto r = zip.value()->read(name);
    return r.ok() ? r.value() : "<missing>";
  }

  // Formulas reach ranges through the model's shared ownership.
  std::shared_ptr<Model> owner = std::make_shared<Model>();
  Model& model = *owner;
};

TEST_F(XlsxTest, LoadsCellsFormatsAndSheetsWithoutEvaluating) {
  XlsxLoad in = load(kData + "calc_book.xlsx", model);
  const SheetId data = model.find_sheet(in.book, "Data");
  const SheetId hidden = model.find_sheet(in.book, "Hidden");
  ASSERT_NE(data, 0u);
  EXPECT_EQ(model.book(in.book)->sheets.size(), 3u);
  EXPECT_EQ(model.sheet(hidden)->visibility, host::Visibility::Hidden);

  EXPECT_EQ(model.value(data, 2, 1), Value("apple"));
  EXPECT_EQ(model.value(data, 2, 2), Value(1.25));
  EXPECT_EQ(model.number_format(data, 2, 2), "0.000");
  EXPECT_EQ(model.value(data, 2, 5), Value(Date{date_serial(2020, 1, 2)}));
  EXPECT_EQ(model.number_format(data, 2, 8), "0.00%");
  EXPECT_EQ(model.value(data, 10, 1), Value("  padded  "));
  EXPECT_EQ(model.value(data, 12, 1), Value("line one\nline two"));
  EXPECT_EQ(model.value(data, 7, 8), Value(ErrorCode::Div0));

  // Formulas arrive with the file's results, dirty, not yet evaluated.
  EXPECT_EQ(model.formula_text(data, 7, 4, Notation::A1), "=SUM(D2:D6)");
  EXPECT_EQ(model.value(data, 7, 4), Value(570.5));
  EXPECT_TRUE(model.is_dirty(data, 7, 4));
  const SheetId s2 = model.find_sheet(in.book, "Sheet 2");
  EXPECT_EQ(model.formula_text(s2, 1, 1, Notation::A1), "=Data!D7*2");

  // Every function of this book is built in (NPV, MEDIAN): nothing to report,
  // and those cells wait to be computed like the rest. (XlsxHostTest covers
  // the functions quillo lacks.)
  std::string all;
  for (const auto& w : in.warnings) all += w + "\n";
  EXPECT_EQ(all, "");
  EXPECT_TRUE(model.is_dirty(data, 2, 9));
}

TEST_F(XlsxTest, SharedFormulasBecomeEachCellsOwn) {
  XlsxLoad in = load(kData + "shared.xlsx", model);
  const SheetId s = model.find_sheet(in.book, "Column");
  EXPECT_EQ(model.formula_text(s, 2, 2, Notation::A1), "=A2*2+$A$1");
  EXPECT_EQ(model.formula_text(s, 20, 2, Notation::A1), "=A20*2+$A$1");
  EXPECT_TRUE(model.set_value(s, 20, 1, Value(100.0)).ok());
  model.calculate_all();
  EXPECT_EQ(model.value(s, 20, 2), Value(201.5));
  save(in.book, in.file.get(), path("shared-out.xlsx"));
  auto again_owner = std::make_shared<Model>();
  XlsxLoad back = load(path("shared-out.xlsx"), *again_owner);
  const SheetId s2 = again_owner->find_sheet(back.book, "Column");
  EXPECT_EQ(again_owner->formula_text(s2, 20, 2, Notation::A1), "=A20*2+$A$1");
  EXPECT_EQ(again_owner->value(s2, 20, 2), Value(201.5));
}

TEST_F(XlsxTest, RefreshRoundTripKeepsWhatQuilloDoesNotUnderstand) {
  XlsxLoad in = load(kData + "calc_book.xlsx", model);
  const SheetId data = model.find_sheet(in.book, "Data");
  ASSERT_TRUE(model.set_value(data, 2, 3, Value(20.0)).ok());  // apple: 10 -> 20
  model.calculate_all();
  auto added = model.add_sheet(in.book, "weblinks_data");
  ASSERT_TRUE(added.ok());
  EXPECT_TRUE(model.set_value(*added, 1, 1, Value("https://example.com/q?a=1&b=2")).ok());
  ASSERT_TRUE(model.set_visibility(*added, host::Visibility::Hidden).ok());
  const std::string out = path("calc_book-refreshed.xlsx");
  save(in.book, in.file.get(), out);

  // Parts quillo never touches are copied byte for byte.
  for (const char* name : {"xl/charts/chart1.xml", "xl/drawings/drawing1.xml", "xl/styles.xml",
                           "xl/worksheets/_rels/sheet1.xml.rels", "docProps/core.xml"}) {
    EXPECT_EQ(part(out, name), part(kData + "calc_book.xlsx", name)) << name;
  }
  const std::string workbook = part(out, "xl/workbook.xml");
  EXPECT_NE(workbook.find("fullCalcOnLoad=\"1\""), std::string::npos);
  EXPECT_NE(workbook.find("<definedName"), std::string::npos);
  EXPECT_NE(workbook.find("name=\"weblinks_data\""), std::string::npos);
  EXPECT_EQ(part(out, "xl/calcChain.xml"), "<missing>");
  const std::string sheet = part(out, "xl/worksheets/sheet1.xml");
  EXPECT_NE(sheet.find("<drawing r:id="), std::string::npos);  // the chart stays anchored
  EXPECT_NE(sheet.find("<mergeCell ref=\"A13:C13\""), std::string::npos);

  auto again_owner = std::make_shared<Model>();
  Model& again = *again_owner;
  XlsxLoad back = load(out, again);
  const SheetId d2 = again.find_sheet(back.book, "Data");
  EXPECT_EQ(again.value(d2, 2, 4), Value(25.0));  // recomputed result saved
  EXPECT_EQ(again.value(d2, 7, 4), Value(583.0));
  // NPV computed again, as LibreOffice computed it for the file.
  EXPECT_NEAR(again.value(d2, 2, 9).number(), 13.9025060384599, 1e-12);
  EXPECT_EQ(again.number_format(d2, 2, 2), "0.000");
  const SheetId links = again.find_sheet(back.book, "weblinks_data");
  EXPECT_EQ(again.sheet(links)->visibility, host::Visibility::Hidden);
  EXPECT_EQ(again.value(links, 1, 1), Value("https://example.com/q?a=1&b=2"));
  EXPECT_EQ(again.sheet(again.find_sheet(back.book, "Hidden"))->visibility,
            host::Visibility::Hidden);

  // The file object follows the saved package: saving again in place works.
  EXPECT_TRUE(model.set_value(*added, 2, 1, Value(7.0)).ok());
  save(in.book, in.file.get(), out);
  auto third_owner = std::make_shared<Model>();
  Model& third = *third_owner;
  XlsxLoad last = load(out, third);
  EXPECT_EQ(third.value(third.find_sheet(last.book, "weblinks_data"), 2, 1), Value(7.0));
  EXPECT_EQ(third.book(last.book)->sheets.size(), 4u);
}

TEST_F(XlsxTest, FormatsAndRemovedSheetsAreSaved) {
  XlsxLoad in = load(kData + "openpyxl_book.xlsx", model);
  const SheetId data = model.find_sheet(in.book, "Data");
  ASSERT_TRUE(model.set_number_format(data, Box{3, 3, 3, 3}, "0.0000").ok());
  ASSERT_TRUE(model.set_value(data, 20, 1, Value("2021-05-06")).ok());  // typed entry: a date
  ASSERT_TRUE(model.remove_sheet(model.find_sheet(in.book, "Sheet 2")).ok());
  const std::string out = path("openpyxl_book-edited.xlsx");
  save(in.book, in.file.get(), out);

  auto again_owner = std::make_shared<Model>();
  Model& again = *again_owner;
  XlsxLoad back = load(out, again);
  const SheetId d2 = again.find_sheet(back.book, "Data");
  EXPECT_EQ(again.number_format(d2, 3, 3), "0.0000");
  EXPECT_EQ(again.number_format(d2, 4, 3), "General");
  EXPECT_EQ(again.value(d2, 20, 1), Value(Date{date_serial(2021, 5, 6)}));
  EXPECT_EQ(again.find_sheet(back.book, "Sheet 2"), 0u);
  EXPECT_EQ(part(out, "xl/worksheets/sheet2.xml"), "<missing>");
}

TEST_F(XlsxTest, Date1904SerialsConvertBothWays) {
  XlsxLoad in = load(kData + "date1904.xlsx", model);
  const SheetId s = model.book(in.book)->sheets.front();
  EXPECT_EQ(model.value(s, 1, 1), Value(Date{date_serial(2021, 3, 4)}));
  EXPECT_EQ(model.value(s, 2, 1), Value(3.5));  // not a date: unchanged
  const std::string out = path("date1904-out.xlsx");
  save(in.book, in.file.get(), out);
  const std::string raw = text::format_number(date_serial(2021, 3, 4) - 1462);
  EXPECT_NE(part(out, "xl/worksheets/sheet1.xml").find("<v>" + raw + "</v>"), std::string::npos);
  auto again_owner = std::make_shared<Model>();
  Model& again = *again_owner;
  XlsxLoad back = load(out, again);
  EXPECT_EQ(again.value(again.book(back.book)->sheets.front(), 1, 1),
            Value(Date{date_serial(2021, 3, 4)}));
}

TEST_F(XlsxTest, NewWorkbookFromNothing) {
  const BookId book = model.add_book();
  const SheetId s = model.add_sheet(book, "Prices").value();
  const SheetId other = model.add_sheet(book, "Other Sheet").value();
  EXPECT_TRUE(model.set_value(s, 1, 1, Value("IBM")).ok());
  EXPECT_TRUE(model.set_value(s, 1, 2, Value(142.5)).ok());
  EXPECT_TRUE(model.set_value(s, 2, 2, Value(1.0)).ok());
  EXPECT_TRUE(model.set_value(s, 2, 4, Value(true)).ok());
  EXPECT_TRUE(model.set_value(s, 3, 2, Value(ErrorCode::NA)).ok());
  EXPECT_TRUE(model.set_value(s, 4, 2, Value("2010-01-04")).ok());
  EXPECT_TRUE(model.set_value(s, 5, 2, Value("tab\there _x0041_ \x01")).ok());
  EXPECT_TRUE(model.set_formula(s, 1, 3, "=B1*2&\" USD\"", Notation::A1).ok());
  EXPECT_TRUE(model.set_formula(other, 1, 1, "=SUM(Prices!B1:B2)", Notation::A1).ok());
  const std::string out = path("new.xlsx");
  save(book, nullptr, out);

  auto again_owner = std::make_shared<Model>();
  Model& again = *again_owner;
  XlsxLoad back = load(out, again);
  const SheetId p = again.find_sheet(back.book, "Prices");
  EXPECT_EQ(again.value(p, 1, 1), Value("IBM"));
  EXPECT_EQ(again.value(p, 1, 2), Value(142.5));
  EXPECT_EQ(again.value(p, 2, 4), Value(true));
  EXPECT_EQ(again.value(p, 3, 2), Value(ErrorCode::NA));
  EXPECT_EQ(again.value(p, 4, 2), Value(Date{date_serial(2010, 1, 4)}));
  EXPECT_EQ(again.value(p, 5, 2), Value("tab\there _x0041_ \x01"));
  EXPECT_EQ(again.value(p, 1, 3), Value("285 USD"));
  const SheetId o = again.find_sheet(back.book, "Other Sheet");
  EXPECT_EQ(again.formula_text(o, 1, 1, Notation::A1), "=SUM(Prices!B1:B2)");
  EXPECT_EQ(again.value(o, 1, 1), Value(143.5));
  EXPECT_TRUE(back.warnings.empty());
}

TEST_F(XlsxTest, FailedSaveLeavesThePreviousFileAndNoLeftovers) {
  XlsxLoad in = load(kData + "calc_book.xlsx", model);
  const std::string target = path("book.xlsx");
  fs::copy_file(kData + "calc_book.xlsx", target);
  // A folder where the file should be: the final rename fails.
  const std::string blocked = path("blocked.xlsx");
  fs::create_directory(blocked);
  fs::create_directory(blocked + "/inside");
  EXPECT_FALSE(save_xlsx(model, in.book, in.file.get(), blocked).ok());
  EXPECT_FALSE(save_xlsx(model, in.book, in.file.get(), path("no/such/dir/x.xlsx")).ok());
  std::size_t entries = 0;
  for (const auto& e : fs::directory_iterator(dir)) {
    (void)e;
    ++entries;
  }
  EXPECT_EQ(entries, 2u);  // book.xlsx and the folder: no temporary files
  EXPECT_TRUE(fs::is_directory(blocked + "/inside"));
  EXPECT_EQ(
      host::make_platform_file_system()->read_file(target, 1 << 30).value(),
      host::make_platform_file_system()->read_file(kData + "calc_book.xlsx", 1 << 30).value());
}

// ---- formulas kept as written and hostile packages ----

// A package of one sheet whose <sheetData> is data.
std::map<std::string, std::string> one_sheet(const std::string& data) {
  const std::string ns = std::string(xlsx::kMainNs);
  std::string wb = xlsx::new_workbook();
  wb.replace(wb.find("<sheets/>"), 9,
             "<sheets><sheet name=\"S\" sheetId=\"1\" r:id=\"rId9\"/></sheets>");
  std::string rels = xlsx::new_workbook_rels();
  rels.insert(rels.find("</Relationships>"), "<Relationship Id=\"rId9\" Type=\"" +
                                                 std::string(xlsx::kRelWorksheet) +
                                                 "\" Target=\"worksheets/sheet1.xml\"/>");
  return {{"[Content_Types].xml", xlsx::new_content_types()},
          {"_rels/.rels", xlsx::new_root_rels()},
          {"xl/workbook.xml", wb},
          {"xl/_rels/workbook.xml.rels", rels},
          {"xl/styles.xml", xlsx::new_styles()},
          {"xl/worksheets/sheet1.xml",
           "<worksheet xmlns=\"" + ns + "\"><sheetData>" + data + "</sheetData></worksheet>"}};
}

std::string write_package(const fs::path& at, const std::map<std::string, std::string>& parts) {
  xlsx::ZipEdit edit;
  edit.put = parts;
  EXPECT_TRUE(
      xlsx::write_zip_atomic(*host::make_platform_file_system(), nullptr, edit, at.string()).ok());
  return at.string();
}

// A sheet part many times the size of the pieces a save writes (and
// deflates on a second thread) at a time: the <dimension> before the rows
// names every cell, every row comes through whole, and the pieces' files
// are gone after a save that works and after one that fails.
TEST_F(XlsxTest, LargeSheetPartsAreWrittenInPiecesAndReadBackWhole) {
  constexpr int kRows = 4000;
  std::string rows;
  for (int r = 1; r <= kRows; ++r) {
    const std::string n = std::to_string(r);
    rows += "<row r=\"" + n + "\"><c r=\"A" + n + "\"><v>" + n + "</v></c><c r=\"B" + n +
            "\" t=\"inlineStr\"><is><t>row " + n + " &amp; more</t></is></c><c r=\"C" + n +
            "\"><f>A" + n + "*2</f><v>0</v></c></row>";
  }
  auto parts = one_sheet(rows);
  std::string& sheet_xml = parts["xl/worksheets/sheet1.xml"];
  sheet_xml.insert(sheet_xml.find("<sheetData>"), "<dimension ref=\"A1\"/>");
  ASSERT_GT(sheet_xml.size(), std::size_t{4} << 16);
  fs::create_directory(dir / "in");
  XlsxLoad in = load(write_package(dir / "in" / "big.xlsx", parts), model);
  const SheetId s = model.book(in.book)->sheets.front();
  ASSERT_TRUE(model.set_value(s, kRows + 1, 4, Value(7.0)).ok());
  model.calculate_all();

  fs::create_directory(dir / "out");
  const std::string out = (dir / "out" / "big.xlsx").string();
  save(in.book, in.file.get(), out);
  const std::string saved = part(out, "xl/worksheets/sheet1.xml");
  const std::size_t dimension = saved.find("<dimension ref=\"A1:D" + std::to_string(kRows + 1));
  EXPECT_NE(dimension, std::string::npos);
  EXPECT_LT(dimension, saved.find("<sheetData>"));
  EXPECT_EQ(saved.find("</worksheet>"), saved.size() - std::string_view("</worksheet>").size());

  Model again;
  XlsxLoad back = load(out, again);
  const SheetId t = again.book(back.book)->sheets.front();
  for (const int r : {1, 1234, kRows}) {
    EXPECT_EQ(again.value(t, r, 1), Value(double(r)));
    EXPECT_EQ(again.value(t, r, 2), Value("row " + std::to_string(r) + " & more"));
    EXPECT_EQ(again.value(t, r, 3), Value(2.0 * r));
  }
  EXPECT_EQ(again.value(t, kRows + 1, 4), Value(7.0));

  // The rename onto a folder fails after every part is written.
  const std::string blocked = (dir / "out" / "blocked.xlsx").string();
  fs::create_directories(blocked + "/inside");
  EXPECT_FALSE(save_xlsx(model, in.book, in.file.get(), blocked).ok());
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(dir / "out")) left.push_back(e.path().string());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{out, blocked}));
}

// Cells are read by their own attributes only: names that begin like r, s
// or t are someone else's, references up to the sheet's last cell read and
// longer ones fail; and the saved rows list each row's cells in column
// order, however the model holds them.
TEST_F(XlsxTest, CellAttributesAndReferencesAreReadExactly) {
  const std::string rows =
      "<row r=\"2\"><c r=\"C2\" rr=\"A9\" ss=\"7\" tt=\"s\" t=\"n\"><v>3</v></c>"
      "<c r=\"A2\" rx=\"Z1\"><v>1</v></c><c r=\"b2\" t=\"str\" ts=\"b\"><v>x</v></c></row>"
      "<row r=\"1048576\"><c r=\"XFD1048576\"><v>9</v></c></row>";
  fs::create_directory(dir / "in");
  XlsxLoad in = load(write_package(dir / "in" / "edges.xlsx", one_sheet(rows)), model);
  const SheetId s = model.book(in.book)->sheets.front();
  EXPECT_EQ(model.value(s, 2, 1), Value(1.0));
  EXPECT_EQ(model.value(s, 2, 2), Value("x"));
  EXPECT_EQ(model.value(s, 2, 3), Value(3.0));
  EXPECT_EQ(model.value(s, 9, 1), Value());
  EXPECT_EQ(model.value(s, 1048576, 16384), Value(9.0));

  fs::create_directory(dir / "out");
  const std::string out = (dir / "out" / "edges.xlsx").string();
  // Not kept for the other readers: a cell in the sheet's last row and
  // column makes their CSV export a million rows wide.
  ASSERT_TRUE(save_xlsx(model, in.book, in.file.get(), out).ok());
  const std::string saved = part(out, "xl/worksheets/sheet1.xml");
  const std::size_t a2 = saved.find("r=\"A2\""), b2 = saved.find("r=\"B2\""),
                    c2 = saved.find("r=\"C2\""), last = saved.find("r=\"XFD1048576\"");
  ASSERT_NE(a2, std::string::npos);
  EXPECT_LT(a2, b2);
  EXPECT_LT(b2, c2);
  EXPECT_LT(c2, last);
  EXPECT_NE(last, std::string::npos);

  for (const char* ref : {"A10485760", "XFD10485761", "AAAA1", "A"}) {
    Model other;
    const std::string name = std::string("ref-") + ref + ".xlsx";
    const std::string row = std::string("<row><c r=\"") + ref + "\"><v>1</v></c></row>";
    auto r = load_xlsx(other, write_package(dir / name, one_sheet(row)));
    ASSERT_FALSE(r.ok()) << ref;
    EXPECT_NE(r.status().message().find("cell reference"), std::string::npos) << ref;
  }
}

// A column filled down shares one parsed formula, yet each cell is saved as
// the file spelled it: spaces, letter case and attributes of one cell are
// not taken for its neighbours', nor theirs for its.
TEST_F(XlsxTest, FilledDownFormulasAreSavedAsTheFileSpelledEachCell) {
  const char* const spelled[] = {"A1*2", "A2*2", "A3 * 2", "a4*2", "A5*2", "A6*2", "A7*2"};
  std::string rows;
  for (int r = 1; r <= 7; ++r) {
    const std::string n = std::to_string(r);
    rows += "<row r=\"" + n + "\"><c r=\"A" + n + "\"><v>" + n + "</v></c><c r=\"B" + n + "\"><f" +
            (r == 6 ? " aca=\"false\"" : "") + ">" + spelled[r - 1] + "</f><v>0</v></c></row>";
  }
  XlsxLoad in = load(write_package(dir / "down.xlsx", one_sheet(rows)), model);
  const SheetId s = model.book(in.book)->sheets.front();
  ASSERT_TRUE(model.set_value(s, 7, 1, Value(10.0)).ok());
  model.calculate_all();
  for (int r = 1; r <= 7; ++r) EXPECT_EQ(model.value(s, r, 2), Value(r == 7 ? 20.0 : 2.0 * r));
  const std::string out = path("down-out.xlsx");
  save(in.book, in.file.get(), out);
  const std::string sheet = part(out, "xl/worksheets/sheet1.xml");
  for (int r = 1; r <= 7; ++r) {
    const std::string f =
        std::string(r == 6 ? "<f aca=\"false\">" : "<f>") + spelled[r - 1] + "</f>";
    EXPECT_NE(sheet.find("<c r=\"B" + std::to_string(r) + "\"><f"), std::string::npos);
    EXPECT_NE(sheet.find(f), std::string::npos) << f << " in " << sheet;
  }
}

TEST_F(XlsxTest, FormulasQuilloCannotReadAreKeptAsWritten) {
  const std::string file =
      write_package(dir / "kept.xlsx",
                    one_sheet("<row r=\"1\"><c r=\"A1\"><v>2</v></c><c r=\"B1\"><v>3</v></c>"
                              "<c r=\"C1\"><f t=\"dataTable\" ref=\"C1\" r1=\"A1\"/><v>10</v></c>"
                              "<c r=\"D1\"><f>[1]Other!A1</f><v>4</v></c>"
                              "<c r=\"E1\"><f>C1+D1</f><v>14</v></c></row>"));
  XlsxLoad in = load(file, model);
  const SheetId s = model.book(in.book)->sheets.front();
  EXPECT_EQ(in.warnings.size(), 2u);
  EXPECT_EQ(xlsx_kept_formula(*in.file, s, 1, 4), "=[1]Other!A1");
  EXPECT_TRUE(model.set_value(s, 1, 1, Value(5.0)).ok());
  model.calculate_all();
  EXPECT_EQ(model.value(s, 1, 5), Value(14.0));  // kept values feed the others
  // Not kept for the other readers: the kept values are stale on purpose
  // (A1 changed), so a reader that computes them disagrees.
  const std::string out = path("kept-out.xlsx");
  ASSERT_TRUE(save_xlsx(model, in.book, in.file.get(), out).ok());
  const std::string sheet = part(out, "xl/worksheets/sheet1.xml");
  EXPECT_NE(sheet.find("<f t=\"dataTable\" ref=\"C1\" r1=\"A1\"></f><v>10</v>"), std::string::npos)
      << sheet;
  EXPECT_NE(sheet.find("<f>[1]Other!A1</f><v>4</v>"), std::string::npos) << sheet;
}

// A formula reading a span of sheets of which either end is missing keeps
// the file's value, as one naming a missing sheet does: it is not computed
// as #REF!.
TEST_F(XlsxTest, SpansOfSheetsWithAMissingEndKeepTheFilesValue) {
  const std::string file = write_package(
      dir / "span.xlsx", one_sheet("<row r=\"1\"><c r=\"A1\"><f>SUM(S:Foo!C1)</f><v>42</v></c>"
                                   "<c r=\"B1\"><f>SUM(Foo:S!C1)</f><v>43</v></c>"
                                   "<c r=\"C1\"><v>5</v></c><c r=\"D1\"><f>A1+1</f><v>43</v></c>"
                                   "</row>"));
  XlsxLoad in = load(file, model);
  const SheetId s = model.book(in.book)->sheets.front();
  model.calculate_all();
  EXPECT_EQ(model.value(s, 1, 1), Value(42.0));
  EXPECT_EQ(model.value(s, 1, 2), Value(43.0));
  EXPECT_EQ(model.value(s, 1, 4), Value(43.0));
  EXPECT_EQ(in.warnings.size(), 2u);
}

TEST_F(XlsxTest, DynamicArrayMarkersStayOnTheirFormulas) {
  const std::string file = write_package(
      dir / "cm.xlsx",
      one_sheet("<row r=\"1\"><c r=\"A1\" cm=\"1\"><f t=\"array\" ref=\"A1:A2\">B1:B2*2</f>"
                "<v>2</v></c><c r=\"B1\"><v>1</v></c>"
                "<c r=\"C1\" cm=\"1\"><f t=\"array\" ref=\"C1\">B1</f><v>1</v></c></row>"
                "<row r=\"2\"><c r=\"A2\"><v>4</v></c><c r=\"B2\"><v>2</v></c></row>"));
  XlsxLoad in = load(file, model);
  const SheetId s = model.book(in.book)->sheets.front();
  // C1 becomes a plain value: its marker goes.
  ASSERT_TRUE(model.set_value(s, 1, 3, Value(7.0)).ok());
  model.calculate_all();
  const std::string out = path("cm-out.xlsx");
  ASSERT_TRUE(save_xlsx(model, in.book, in.file.get(), out).ok());
  const std::string sheet = part(out, "xl/worksheets/sheet1.xml");
  EXPECT_NE(sheet.find("<c r=\"A1\" cm=\"1\"><f t=\"array\" ref=\"A1:A2\">"), std::string::npos)
      << sheet;
  EXPECT_EQ(sheet.find("<c r=\"C1\" cm="), std::string::npos) << sheet;
}

// An array formula goes back as the file wrote it (blanks, 1E+3, what
// follows a lost sheet's #REF!) while unchanged; one entered anew over other
// cells is written from the model, with its new box.
TEST_F(XlsxTest, ArrayFormulasKeepTheFilesTextWhileUnchanged) {
  const std::string file = write_package(
      dir / "arr.xlsx",
      one_sheet("<row r=\"1\"><c r=\"A1\"><f t=\"array\" ref=\"A1:A2\">B1:B2 *1E+3</f>"
                "<v>1000</v></c><c r=\"B1\"><v>1</v></c>"
                "<c r=\"C1\"><f t=\"array\" ref=\"C1\">SUM( #REF!A1:B2 )</f><v>0</v></c></row>"
                "<row r=\"2\"><c r=\"A2\"><v>2000</v></c><c r=\"B2\"><v>2</v></c></row>"));
  XlsxLoad in = load(file, model);
  const SheetId s = model.book(in.book)->sheets.front();
  model.calculate_all();
  EXPECT_EQ(model.value(s, 1, 3), Value(ErrorCode::Ref));
  const std::string out = path("arr-out.xlsx");
  ASSERT_TRUE(save_xlsx(model, in.book, in.file.get(), out).ok());
  std::string sheet = part(out, "xl/worksheets/sheet1.xml");
  EXPECT_NE(sheet.find("<f t=\"array\" ref=\"A1:A2\">B1:B2 *1E+3</f>"), std::string::npos) << sheet;
  EXPECT_NE(sheet.find("<f t=\"array\" ref=\"C1\">SUM( #REF!A1:B2 )</f>"), std::string::npos)
      << sheet;
  ASSERT_TRUE(model.clear_contents(s, Box{1, 1, 2, 1}).ok());
  ASSERT_TRUE(model.set_array_formula(s, Box{1, 1, 3, 1}, "=B1:B3 *1E+3").ok());
  ASSERT_TRUE(save_xlsx(model, in.book, in.file.get(), out).ok());
  sheet = part(out, "xl/worksheets/sheet1.xml");
  EXPECT_NE(sheet.find("<f t=\"array\" ref=\"A1:A3\">B1:B3*1000</f>"), std::string::npos) << sheet;
}

// What surrounds the rows is copied byte for byte however large it is and
// wherever the pieces it is read in break: from what the load kept, or,
// past what a load keeps and at a second save, from the file again.
TEST_F(XlsxTest, TheBytesAroundTheRowsComeThroughWhole) {
  const std::string ns = std::string(xlsx::kMainNs);
  const std::string rows =
      "<row r=\"1\"><c r=\"A1\"><v>1</v></c></row><row r=\"2\"><c r=\"B2\"><v>2</v></c></row>";
  struct Case {
    std::size_t data_at;       // where <sheetData> starts; 0: early
    std::size_t data_end_at;   // where </sheetData> starts; 0: right after the rows
    std::size_t tail_padding;  // of a comment after the rows
  };
  constexpr std::size_t k64 = std::size_t{1} << 16;
  for (const Case c : {Case{0, 0, 10}, Case{k64 - 4, 2 * k64 - 5, 70000},
                       Case{k64 + 3, 0, xlsx::SheetScanner::kMaxAround + 10}}) {
    SCOPED_TRACE(c.data_at);
    const std::string open = "<worksheet xmlns=\"" + ns + "\">";
    const std::string dimension = "<dimension ref=\"A1\"/>";
    const std::size_t fixed = open.size() + 7 + dimension.size();
    const std::string head =
        open + "<!--" + std::string(c.data_at > fixed ? c.data_at - fixed : 1, 'h') + "-->";
    std::string data = "<sheetData>" + rows;
    const std::size_t data_end = head.size() + dimension.size() + data.size() + 7;
    if (c.data_end_at > data_end)
      data += "<!--" + std::string(c.data_end_at - data_end, 'm') + "-->";
    data += "</sheetData>";
    const std::string tail = "<!--" + std::string(c.tail_padding, 't') + "--></worksheet>";
    auto parts = one_sheet("");
    parts["xl/worksheets/sheet1.xml"] = head + dimension + data + tail;
    if (c.data_at > 0) {
      ASSERT_EQ((head + dimension).size(), c.data_at);
    }

    Model m;
    XlsxLoad in = load(write_package(dir / "around.xlsx", parts), m);
    const SheetId s = m.book(in.book)->sheets.front();
    ASSERT_TRUE(m.set_value(s, 3, 3, Value(3.0)).ok());
    // Kept by the load unless too large.
    ASSERT_TRUE(in.file->sheets.front().layout);
    EXPECT_EQ(in.file->sheets.front().layout->around,
              c.tail_padding < xlsx::SheetScanner::kMaxAround);
    const std::string written = head + "<dimension ref=\"A1:C3\"/><sheetData>" + rows +
                                "<row r=\"3\"><c r=\"C3\"><v>3</v></c></row></sheetData>" + tail;
    for (const char* name : {"first.xlsx", "second.xlsx"}) {
      const Status st = save_xlsx(m, in.book, in.file.get(), path(name));
      ASSERT_TRUE(st.ok()) << st.message();
      const std::string saved = part(path(name), "xl/worksheets/sheet1.xml");
      EXPECT_EQ(saved.size(), written.size());
      EXPECT_TRUE(saved == written) << name;
    }
  }
}

// A part that cannot be written fails its save and never hangs the writer,
// however much it is handed; one given up leaves no file behind.
TEST_F(XlsxTest, DeflatedPartsFailAndGiveUpCleanly) {
  {
    xlsx::DeflatedPart part(path("no/such/dir/part"));
    Status st;
    for (int i = 0; i < 64 && st.ok(); ++i) st = part.append(std::string(1 << 16, 'x'));
    if (st.ok()) st = part.finish();
    EXPECT_FALSE(st.ok());
    EXPECT_NE(st.message().find("cannot write"), std::string::npos) << st.message();
  }
  {
    xlsx::DeflatedPart part(path("given-up"));
    ASSERT_TRUE(part.append(std::string(1 << 16, 'x')).ok());
  }
  EXPECT_TRUE(fs::is_empty(dir));
}

TEST_F(XlsxTest, HostileFilesFailCleanly) {
  auto fails = [&](const std::string& file, const std::string& expected,
                   const XlsxLoadOptions& options = {}) {
    auto r = load_xlsx(model, file, options);
    EXPECT_FALSE(r.ok()) << file;
    if (!r.ok()) {
      EXPECT_NE(r.status().message().find(expected), std::string::npos) << r.status().message();
    }
    EXPECT_TRUE(model.books().empty()) << "a failed load leaves no workbook";
  };
  fails(path("absent.xlsx"), "cannot open");
  std::ofstream(path("text.xlsx")) << "just some text, not a zip";
  fails(path("text.xlsx"), "not an xlsx file");
  std::ofstream(path("empty.xlsx")).flush();
  fails(path("empty.xlsx"), "not an xlsx file");

  auto without = [&](const std::string& name, const char* gone) {
    auto parts = one_sheet("");
    parts.erase(gone);
    return write_package(dir / name, parts);
  };
  fails(without("no-types.xlsx", "[Content_Types].xml"), "[Content_Types].xml");
  fails(without("no-workbook.xlsx", "xl/workbook.xml"), "no part xl/workbook.xml");
  fails(without("no-sheet.xlsx", "xl/worksheets/sheet1.xml"), "no part xl/worksheets/sheet1.xml");

  auto with_sheet = [&](const std::string& name, const std::string& data) {
    return write_package(dir / name, one_sheet(data));
  };
  fails(with_sheet("malformed.xlsx", "<row><c r=\"A1\"><v>1</v></row>"), "malformed XML");
  fails(with_sheet("bad-ref.xlsx", "<row><c r=\"XFE1\"><v>1</v></c></row>"), "cell reference");
  fails(with_sheet("bad-row.xlsx", "<row r=\"1048577\"><c><v>1</v></c></row>"), "row number");
  fails(with_sheet("bad-string.xlsx", "<row><c r=\"A1\" t=\"s\"><v>99</v></c></row>"),
        "shared string");
  fails(with_sheet("bad-number.xlsx", "<row><c r=\"A1\"><v>1e999</v></c></row>"), "bad number");
  // Deep in a large sheet, which is parsed while earlier cells are stored:
  // the first fault answers, wherever it is.
  std::string many;
  for (int r = 1; r <= 30000; ++r) {
    many += "<row r=\"" + std::to_string(r) + "\"><c r=\"A" + std::to_string(r) + "\"" +
            (r == 20000 ? " t=\"s\"" : "") + "><v>99</v></c></row>";
  }
  fails(with_sheet("bad-deep.xlsx", many + "<row>"), "cell A20000: shared string");
  many.replace(many.find(" t=\"s\""), 6, "");
  fails(with_sheet("malformed-deep.xlsx", many + "<row>"), "malformed XML");
  std::string deep;
  for (int i = 0; i < 200000; ++i) deep += "<x>";
  fails(with_sheet("deep.xlsx", deep), "malformed XML");
  for (int i = 0; i < 200000; ++i) deep += "</x>";
  EXPECT_TRUE(load_xlsx(model, with_sheet("deep-closed.xlsx", deep)).ok());
  for (BookId b : std::vector<BookId>(model.books())) EXPECT_TRUE(model.close_book(b).ok());

  auto parts = one_sheet("");
  parts["xl/worksheets/sheet1.xml"] += std::string(3 << 20, ' ');  // inflates 1000 to 1
  XlsxLoadOptions small;
  small.limits.max_sheet_part_bytes = 1 << 20;  // sheet parts stream: their own bound
  fails(write_package(dir / "bomb.xlsx", parts), "size limit", small);
  small = {};
  small.limits.max_total_bytes = 2 << 20;
  fails(write_package(dir / "bomb.xlsx", parts), "size limit", small);
}

// ---- xlsx files as the workbooks of an Application ----

class XlsxHostTest : public XlsxTest {
 protected:
  XlsxHostTest() {
    library = path("tarnvale.xla");
    std::ofstream(library) << "fsingle = i_fsingle(inst, field, [options], caller)\n";
    app.add_in_methods().add("i_fsingle", [](host::AddInArgs args) -> Value {
      return Value(args[0].to_text() + ":" + args[1].to_text());
    });
    XlsxHostOptions options;
    options.on_warning = [this](const std::string& line) { warnings.push_back(line); };
    use_xlsx_files(app, options);
    app.on_workbook_open(
        [this](const host::WorkbookPtr& b) { opened.push_back(b->name().value_or("?")); });
  }

  void install() {
    auto addin = app.add_ins().add(library);
    ASSERT_TRUE(addin.ok()) << addin.status().message();
    ASSERT_TRUE(addin.value()->set_installed(true).ok());
  }

  // A workbook calling the library directly, through its path, and calling
  // a function quillo lacks; every formula caches a value of its own.
  std::string calls_book(const std::string& name) {
    return write_package(
        dir / name, one_sheet("<row r=\"1\"><c r=\"A1\"><v>2</v></c>"
                              "<c r=\"B1\" t=\"str\"><f>fsingle(\"IBM\",\"X\")</f><v>old</v></c>"
                              "<c r=\"C1\" t=\"str\"><f>'" +
                              library +
                              "'!fsingle(\"SAP\",\"Y\")</f><v>older</v></c>"
                              "<c r=\"D1\"><f>CUBEVALUE(\"cube\",A1)</f><v>7</v></c></row>"));
  }

  host::RangePtr cell(const host::WorkbookPtr& book, const char* address) {
    return book->worksheet(1).value()->range(address).value();
  }

  std::string library;
  Application app;
  std::vector<std::string> opened;
  std::vector<std::string> warnings;
};

TEST_F(XlsxHostTest, OpenComputesInstalledFunctionsAndKeepsValuesOfOthers) {
  install();
  const std::string file = calls_book("calls.xlsx");
  auto book = app.workbooks().open(file);
  ASSERT_TRUE(book.ok()) << book.status().message();
  EXPECT_EQ(opened, std::vector<std::string>{"calls.xlsx"});
  EXPECT_EQ(app.active_workbook().value()->name().value(), "calls.xlsx");
  EXPECT_EQ(book.value()->full_name().value(), fs::absolute(file).lexically_normal().string());
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("CUBEVALUE"), std::string::npos) << warnings[0];

  ASSERT_TRUE(app.calculate().ok());
  EXPECT_EQ(cell(*book, "B1")->value().value(), Value("IBM:X"));
  EXPECT_EQ(cell(*book, "C1")->value().value(), Value("SAP:Y"));
  EXPECT_EQ(cell(*book, "D1")->value().value(), Value(7.0));

  // The same name again is refused; no second book, no second event.
  auto again = app.workbooks().open(file);
  ASSERT_FALSE(again.ok());
  EXPECT_NE(again.status().message().find("already open"), std::string::npos);
  EXPECT_EQ(app.workbooks().count(), 1);
  EXPECT_EQ(opened.size(), 1u);
}

TEST_F(XlsxHostTest, CallsQuilloCannotComputeKeepTheirFileValues) {
  // The library declares sma, whose method does not exist (yet); a copy of
  // the library elsewhere is another workbook; CUBEVALUE is not built in and
  // reads a cell that is computed again. None may be overwritten.
  std::ofstream(library, std::ios::app) << "sma = i_sma(table, periods, caller)\n";
  install();
  const std::string file = write_package(
      dir / "kept.xlsx",
      one_sheet("<row r=\"1\"><c r=\"A1\" t=\"str\"><f>fsingle(\"IBM\",\"X\")</f><v>old</v></c>"
                "<c r=\"B1\"><f>sma(A1,3)</f><v>5</v></c>"
                "<c r=\"C1\" t=\"str\"><f>'/elsewhere/tarnvale.xla'!fsingle(\"Q\",\"Z\")</f>"
                "<v>far</v></c><c r=\"D1\"><f>CUBEVALUE(\"cube\",A1)</f><v>9</v></c></row>"));
  auto book = app.workbooks().open(file);
  ASSERT_TRUE(book.ok()) << book.status().message();
  app.model().calculate_all();
  EXPECT_EQ(cell(*book, "A1")->value().value(), Value("IBM:X"));
  EXPECT_EQ(cell(*book, "B1")->value().value(), Value(5.0));
  EXPECT_EQ(cell(*book, "C1")->value().value(), Value("far"));
  EXPECT_EQ(cell(*book, "D1")->value().value(), Value(9.0));
  EXPECT_EQ(warnings.size(), 3u);
  // A formula written anew is computed.
  ASSERT_TRUE(cell(*book, "C1")->set_formula("=fsingle(\"Q\",\"Z\")").ok());
  EXPECT_EQ(cell(*book, "C1")->value().value(), Value("Q:Z"));
}

TEST_F(XlsxHostTest, LibrariesNotInstalledAtOpenLeaveTheFileValues) {
  auto book = app.workbooks().open(calls_book("calls.xlsx"));
  ASSERT_TRUE(book.ok()) << book.status().message();
  ASSERT_TRUE(app.calculate().ok());
  EXPECT_EQ(cell(*book, "B1")->value().value(), Value("old"));
  EXPECT_EQ(warnings.size(), 3u);
}

TEST_F(XlsxHostTest, SaveAndSaveAsWriteFilesThatReopen) {
  const std::string file = path("prices.xlsx");
  fs::copy_file(kData + "calc_book.xlsx", file);
  auto book = app.workbooks().open(file).value();
  auto data = book->worksheet("Data").value();
  ASSERT_TRUE(data->range("A2").value()->set_value(Value("pear")).ok());
  ASSERT_TRUE(book->save().ok());

  const std::string copy = path("copy.xlsx");
  ASSERT_TRUE(data->range("A3").value()->set_value(Value("plum")).ok());
  ASSERT_TRUE(book->save_as(copy).ok());
  EXPECT_EQ(book->name().value(), "copy.xlsx");
  EXPECT_EQ(book->full_name().value(), copy);
  ASSERT_TRUE(data->range("A4").value()->set_value(Value("fig")).ok());
  ASSERT_TRUE(book->save().ok());  // goes to the new file

  Application fresh;
  use_xlsx_files(fresh);
  auto first = fresh.workbooks().open(file).value();
  auto first_data = first->worksheet("Data").value();
  EXPECT_EQ(first_data->range("A2").value()->value().value(), Value("pear"));
  EXPECT_NE(first_data->range("A3").value()->value().value(), Value("plum"));
  auto second = fresh.workbooks().open(copy).value();
  auto second_data = second->worksheet("Data").value();
  EXPECT_EQ(second_data->range("A3").value()->value().value(), Value("plum"));
  EXPECT_EQ(second_data->range("A4").value()->value().value(), Value("fig"));
  // A name another open book has is refused, and the book keeps its file.
  EXPECT_FALSE(second->save_as(path("sub/prices.xlsx")).ok());
  EXPECT_EQ(second->full_name().value(), copy);
}

TEST_F(XlsxHostTest, CloseWithSavingKeepsTheBookWhenTheSaveFails) {
  fs::create_directories(dir / "gone");
  const std::string file = path("gone/book.xlsx");
  fs::copy_file(kData + "calc_book.xlsx", file);
  auto book = app.workbooks().open(file).value();
  auto a2 = book->worksheet("Data").value()->range("A2").value();
  ASSERT_TRUE(a2->set_value(Value("kept")).ok());
  fs::remove_all(dir / "gone");
  EXPECT_FALSE(book->close(true).ok());
  EXPECT_EQ(app.workbooks().count(), 1);
  EXPECT_EQ(a2->value().value(), Value("kept"));
  // Saved elsewhere, it closes with saving.
  ASSERT_TRUE(book->save_as(path("book.xlsx")).ok());
  ASSERT_TRUE(a2->set_value(Value("last")).ok());
  ASSERT_TRUE(book->close(true).ok());
  EXPECT_EQ(app.workbooks().count(), 0);
  auto back = app.workbooks().open(path("book.xlsx")).value();
  EXPECT_EQ(back->worksheet("Data").value()->range("A2").value()->value().value(), Value("last"));
}

TEST_F(XlsxHostTest, BooksMadeInMemoryNeedSaveAs) {
  auto book = app.workbooks().add().value();
  ASSERT_TRUE(cell(book, "A1")->set_value(Value(42.0)).ok());
  const Status st = book->close(true);
  EXPECT_EQ(st.code(), StatusCode::OperationFailed);
  EXPECT_NE(st.message().find("use save as"), std::string::npos);
  EXPECT_FALSE(book->save().ok());
  ASSERT_TRUE(book->save_as(path("new.xlsx")).ok());
  ASSERT_TRUE(cell(book, "A2")->set_value(Value(43.0)).ok());
  ASSERT_TRUE(book->close(true).ok());
  auto back = app.workbooks().open(path("new.xlsx")).value();
  EXPECT_EQ(cell(back, "A1")->value().value(), Value(42.0));
  EXPECT_EQ(cell(back, "A2")->value().value(), Value(43.0));
}

TEST_F(XlsxHostTest, OpenFailuresLeaveNoBook) {
  std::ofstream(path("text.xlsx")) << "just some text, not a zip";
  for (const std::string& file : {path("absent.xlsx"), path("text.xlsx"), std::string()}) {
    auto r = app.workbooks().open(file);
    EXPECT_FALSE(r.ok()) << file;
    EXPECT_FALSE(r.status().message().empty());
  }
  EXPECT_EQ(app.workbooks().count(), 0);
  EXPECT_TRUE(opened.empty());
}

TEST_F(XlsxHostTest, CallsThroughExternalLinksReadAsLibraryPaths) {
  // As Excel writes a call into another workbook: "[1]!" and a link part
  // whose relationship names the book.
  auto parts = one_sheet(
      "<row r=\"1\"><c r=\"A1\" t=\"str\"><f>[1]!fsingle(\"IBM\",\"X\")</f><v>a</v></c>"
      "<c r=\"B1\" t=\"str\"><f>[1]!fsingle(\"[1]!x(\",\"Y\")</f><v>b</v></c>"
      "<c r=\"C1\"><f>[2]!fsingle(1)</f><v>3</v></c></row>");
  std::string& wb = parts["xl/workbook.xml"];
  wb.insert(wb.find("</sheets>") + 9,
            "<externalReferences><externalReference r:id=\"rId8\"/></externalReferences>");
  std::string& rels = parts["xl/_rels/workbook.xml.rels"];
  rels.insert(rels.find("</Relationships>"),
              "<Relationship Id=\"rId8\" Type=\"http://schemas.openxmlformats.org/"
              "officeDocument/2006/relationships/externalLink\" "
              "Target=\"externalLinks/externalLink1.xml\"/>");
  parts["xl/externalLinks/externalLink1.xml"] =
      "<externalLink xmlns=\"" + std::string(xlsx::kMainNs) + "\"/>";
  parts["xl/externalLinks/_rels/externalLink1.xml.rels"] =
      "<Relationships xmlns=\"" + std::string(xlsx::kPackageRelNs) +
      "\"><Relationship Id=\"rId1\" Type=\"http://schemas.openxmlformats.org/"
      "officeDocument/2006/relationships/externalLinkPath\" "
      "Target=\"file:///old/dir/tarnvale.xla\" TargetMode=\"External\"/></Relationships>";
  const std::string file = write_package(dir / "linked.xlsx", parts);

  auto book = app.workbooks().open(file).value();
  const std::string old_path = "'/old/dir/tarnvale.xla'!";
  EXPECT_EQ(cell(book, "A1")->formula().value(), "=" + old_path + "fsingle(\"IBM\",\"X\")");
  EXPECT_EQ(cell(book, "B1")->formula().value(), "=" + old_path + "fsingle(\"[1]!x(\",\"Y\")");
  EXPECT_EQ(book->link_sources().value(), std::vector<std::string>{"/old/dir/tarnvale.xla"});
  // Link repair makes A1 a plain call; B1, unchanged, is saved as the file had it.
  host::ReplaceOptions options;
  options.look_at = host::LookAt::Part;
  ASSERT_TRUE(cell(book, "A1")->replace(old_path, "", options).ok());
  ASSERT_TRUE(book->save().ok());
  const std::string sheet = part(file, "xl/worksheets/sheet1.xml");
  EXPECT_NE(sheet.find("<f>fsingle(\"IBM\",\"X\")</f>"), std::string::npos) << sheet;
  EXPECT_NE(sheet.find("<f>[1]!fsingle(\"[1]!x(\",\"Y\")</f>"), std::string::npos) << sheet;
  EXPECT_NE(sheet.find("<f>[2]!fsingle(1)</f>"), std::string::npos) << sheet;  // no such link
  EXPECT_EQ(sheet.find("/old/dir"), std::string::npos) << sheet;
}

}  // namespace
}  // namespace quillo::spreadsheet

namespace quillo::spreadsheet {
namespace {

// A very hidden sheet's texts (quillo's record lines, each its own) are
// written inline, not as shared strings, and read back as they were: tabs,
// blanks at the ends, markup characters and escape-like text. A visible
// sheet keeps its shared strings.
TEST_F(XlsxTest, VeryHiddenSheetTextsAreWrittenInlineAndReadBackWhole) {
  const BookId book = model.add_book();
  const SheetId shown = model.add_sheet(book, "Prices").value();
  const SheetId hidden = model.add_sheet(book, "records").value();
  ASSERT_TRUE(model.set_visibility(hidden, host::Visibility::VeryHidden).ok());
  const std::vector<std::string> lines = {"C\tPrices\tB2\t\tS\t1\tIBM\tSMP.QUO.LAST", " both ends ",
                                          "a < b & c > \"d\" _x0041_", "multi\nline"};
  for (std::size_t i = 0; i < lines.size(); ++i) {
    ASSERT_TRUE(model.set_value(hidden, static_cast<std::int32_t>(i + 1), 1, Value(lines[i])).ok());
  }
  ASSERT_TRUE(model.set_value(shown, 1, 1, Value("IBM")).ok());
  const std::string out = path("hidden.xlsx");
  save(book, nullptr, out);
  const std::string strings = part(out, "xl/sharedStrings.xml");
  EXPECT_NE(strings.find(">IBM<"), std::string::npos);
  EXPECT_EQ(strings.find("SMP.QUO.LAST"), std::string::npos);

  auto again_owner = std::make_shared<Model>();
  Model& again = *again_owner;
  XlsxLoad back = load(out, again);
  const SheetId h = again.find_sheet(back.book, "records");
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(again.value(h, static_cast<std::int32_t>(i + 1), 1), Value(lines[i])) << i;
  }
  EXPECT_EQ(again.sheet(h)->visibility, host::Visibility::VeryHidden);
  EXPECT_EQ(again.value(again.find_sheet(back.book, "Prices"), 1, 1), Value("IBM"));
}

}  // namespace
}  // namespace quillo::spreadsheet
