// xlsx files with defined names, tables, array formulas, 3-D references
// and links to other workbooks: a workbook openpyxl wrote (testdata/xlsx/
// make.py), round trips, and hand-made packages for the forms Excel writes.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include <unistd.h>

#include "support/scratch_folder.h"
#include "xlsx/package.h"
#include "xlsx/xlsx.h"

namespace quillo::spreadsheet {
namespace {

namespace fs = std::filesystem;

const std::string kXlsxDir = std::string(QUILLO_TESTDATA_DIR) + "/xlsx/";

std::string read_part(const std::string& file, const std::string& name) {
  auto bytes = host::make_platform_file_system()->read_file(file, 1 << 30);
  auto zip = xlsx::ZipReader::open(std::make_shared<std::string>(std::move(bytes).value()), {});
  auto r = zip.value()->read(name);
  return r.ok() ? r.value() : "<missing>";
}

class XlsxNamesTest : public testing_support::ScratchFolderTest {
 protected:
  XlsxLoad load(const std::string& file) {
    auto r = load_xlsx(model, file);
    EXPECT_TRUE(r.ok()) << r.status().message();
    return r.ok() ? std::move(r).value() : XlsxLoad{};
  }
  Value at(BookId book, const std::string& sheet, const std::string& a1) {
    const auto box = parse_box_a1(a1).value();
    return model.value(model.find_sheet(book, sheet), box.r1, box.c1);
  }
  std::string formula(BookId book, const std::string& sheet, const std::string& a1) {
    const auto box = parse_box_a1(a1).value();
    return model.formula_text(model.find_sheet(book, sheet), box.r1, box.c1, Notation::A1);
  }

  // A package of one sheet "S" holding data, with extra workbook markup
  // (after </sheets>) and extra parts.
  std::string package(const std::string& name, const std::string& data,
                      const std::string& workbook_extra = {},
                      const std::map<std::string, std::string>& extra = {}) {
    std::string wb = xlsx::new_workbook();
    wb.replace(wb.find("<sheets/>"), 9,
               "<sheets><sheet name=\"S\" sheetId=\"1\" r:id=\"rId9\"/></sheets>" + workbook_extra);
    std::string rels = xlsx::new_workbook_rels();
    rels.insert(rels.find("</Relationships>"),
                "<Relationship Id=\"rId9\" Type=\"" + std::string(xlsx::kRelWorksheet) +
                    "\" Target=\"worksheets/sheet1.xml\"/>"
                    "<Relationship Id=\"rId8\" Type=\"http://schemas.openxmlformats.org/"
                    "officeDocument/2006/relationships/externalLink\" "
                    "Target=\"externalLinks/externalLink1.xml\"/>");
    xlsx::ZipEdit edit;
    edit.put = {
        {"[Content_Types].xml", xlsx::new_content_types()},
        {"_rels/.rels", xlsx::new_root_rels()},
        {"xl/workbook.xml", wb},
        {"xl/_rels/workbook.xml.rels", rels},
        {"xl/styles.xml", xlsx::new_styles()},
        {"xl/worksheets/sheet1.xml", "<worksheet xmlns=\"" + std::string(xlsx::kMainNs) +
                                         "\"><sheetData>" + data + "</sheetData></worksheet>"}};
    for (const auto& [k, v] : extra) edit.put[k] = v;
    const std::string at = (dir / name).string();
    EXPECT_TRUE(xlsx::write_zip_atomic(*host::make_platform_file_system(), nullptr, edit, at).ok());
    return at;
  }

  std::shared_ptr<Model> owner = std::make_shared<Model>();
  Model& model = *owner;
};

TEST_F(XlsxNamesTest, OpenpyxlWorkbookWithTableNamesAndArraysComputes) {
  XlsxLoad in = load(kXlsxDir + "tables.xlsx");
  model.calculate_all();
  const BookId b = in.book;
  EXPECT_EQ(at(b, "Holdings", "F1"), Value(30.0));  // SUM(Holdings[Qty])
  EXPECT_EQ(at(b, "Holdings", "D3"), Value(60.0));  // [#This Row], escaped column name
  EXPECT_EQ(at(b, "Holdings", "F2"), Value(6.0));   // LastPx*2
  EXPECT_EQ(at(b, "Holdings", "F3"), Value(5.0));   // the sheet's Fee, not the workbook's
  EXPECT_EQ(at(b, "Holdings", "F4"), Value(85.0));  // single-cell array formula
  EXPECT_EQ(at(b, "Holdings", "G2"), Value(40.0));  // G1:G2 array formula
  EXPECT_EQ(at(b, "Holdings", "F5"), Value(12.0));  // SUM(Jan:Feb!A1)
  EXPECT_EQ(formula(b, "Holdings", "G2"), "=B2:B3*2");
  EXPECT_EQ(formula(b, "Holdings", "D2"),
            "=Holdings[[#This Row],[Qty]]*Holdings[[#This Row],[Unit '[Price']]]");

  // Names' cells and tables' cells reach the formulas reading them.
  const SheetId h = model.find_sheet(b, "Holdings");
  ASSERT_TRUE(model.set_value(h, 3, 3, Value(4.0)).ok());
  EXPECT_EQ(at(b, "Holdings", "F2"), Value(8.0));
  EXPECT_EQ(at(b, "Holdings", "D3"), Value(80.0));
  EXPECT_EQ(at(b, "Holdings", "F4"), Value(105.0));
  EXPECT_FALSE(model.set_value(h, 2, 7, Value(1.0)).ok());  // G2: part of an array

  // A save writes a new name and a changed one, and keeps the rest as written.
  ASSERT_TRUE(model.define_name(b, 0, "Extra", "=Holdings!$B$2:$B$3").ok());
  ASSERT_TRUE(model.define_name(b, 0, "lastpx", "Holdings!$C$2").ok());
  ASSERT_TRUE(model.rename_sheet(model.find_sheet(b, "Jan"), "January").ok());
  const std::string out = (dir / "out.xlsx").string();
  ASSERT_TRUE(save_xlsx(model, b, in.file.get(), out).ok());
  const std::string wb = read_part(out, "xl/workbook.xml");
  EXPECT_NE(wb.find("<definedName name=\"LastPx\">Holdings!$C$2</definedName>"), std::string::npos)
      << wb;
  EXPECT_NE(wb.find("<definedName name=\"Fee\" hidden=\"1\">0.25</definedName>"),
            std::string::npos);
  EXPECT_NE(wb.find("<definedName name=\"Fee\" localSheetId=\"0\">January!$A$1</definedName>"),
            std::string::npos);
  EXPECT_NE(wb.find("<definedName name=\"_xlnm.Print_Area\" localSheetId=\"0\">"
                    "Holdings!$A$1:$D$4</definedName>"),
            std::string::npos);
  EXPECT_NE(wb.find("<definedName name=\"Extra\">Holdings!$B$2:$B$3</definedName>"),
            std::string::npos);
  EXPECT_EQ(read_part(out, "xl/tables/table1.xml"),
            read_part(kXlsxDir + "tables.xlsx", "xl/tables/table1.xml"));
  const std::string sheet = read_part(out, "xl/worksheets/sheet1.xml");
  EXPECT_NE(sheet.find("<f t=\"array\" ref=\"G1:G2\">B2:B3*2</f><v>20</v>"), std::string::npos)
      << sheet;
  EXPECT_NE(sheet.find("<c r=\"G2\"><v>40</v></c>"), std::string::npos) << sheet;

  // The saved file reads back with the same names, tables and arrays.
  auto again = load_xlsx(model, out);
  ASSERT_TRUE(again.ok()) << again.status().message();
  model.calculate_all();
  EXPECT_EQ(at(again->book, "Holdings", "F2"), Value(5.0));  // LastPx now C2
  EXPECT_EQ(at(again->book, "Holdings", "F3"), Value(5.0));
  EXPECT_EQ(at(again->book, "Holdings", "G1"), Value(20.0));
  EXPECT_EQ(at(again->book, "Holdings", "F1"), Value(30.0));
}

TEST_F(XlsxNamesTest, SheetsAreSavedInTheBooksOrderWithTheirOwnNames) {
  const BookId made = model.add_book("made.xlsx");
  for (const char* name : {"A", "B", "C"}) {
    const SheetId id = model.add_sheet(made, name).value();
    ASSERT_TRUE(model.set_value(id, 1, 1, Value(name)).ok());
  }
  const SheetId b = model.find_sheet(made, "B");
  ASSERT_TRUE(model.define_name(made, b, "own", "B!$A$1").ok());
  ASSERT_TRUE(model.define_name(made, 0, "all", "C!$A$1").ok());
  const std::string first = path("first.xlsx"), second = path("second.xlsx");
  ASSERT_TRUE(save_xlsx(model, made, nullptr, first).ok());
  // The file's book, reordered and saved over its own file: the sheet
  // B's name, which the file keeps as written, still names B.
  XlsxLoad in = load(first);
  const std::vector<SheetId> was = model.book(in.book)->sheets;
  ASSERT_EQ(was.size(), 3u);
  ASSERT_TRUE(model.set_sheet_order(in.book, {was[2], was[0], was[1]}).ok());
  ASSERT_TRUE(save_xlsx(model, in.book, in.file.get(), second).ok());
  XlsxLoad out = load(second);
  std::vector<std::string> names;
  for (const SheetId id : model.book(out.book)->sheets) names.push_back(model.sheet_name(id));
  EXPECT_EQ(names, (std::vector<std::string>{"C", "A", "B"}));
  const SheetId saved_b = model.find_sheet(out.book, "B");
  const DefinedName* own = model.find_name(saved_b, 0, "own");
  ASSERT_NE(own, nullptr);
  EXPECT_EQ(own->scope, saved_b);
  EXPECT_EQ(model.find_name(model.find_sheet(out.book, "A"), 0, "own"), nullptr);
  EXPECT_EQ(at(out.book, "A", "A1"), Value("A"));
  EXPECT_EQ(model.name_text(*model.find_name(saved_b, 0, "all")), "'C'!$A$1");
  // The active tab is the first; with C, now first, hidden, it is the
  // first sheet shown (A), never a hidden sheet.
  ASSERT_TRUE(model.set_visibility(model.find_sheet(out.book, "C"), host::Visibility::Hidden).ok());
  const std::string third = path("third.xlsx");
  ASSERT_TRUE(save_xlsx(model, out.book, out.file.get(), third).ok());
  EXPECT_NE(read_part(third, "xl/workbook.xml").find("activeTab=\"1\""), std::string::npos);
}

TEST_F(XlsxNamesTest, BadNamesTablesAndArraysLoadWithWarnings) {
  const std::string names =
      "<definedNames><definedName name=\"Loop\">Loop+1</definedName>"
      "<definedName name=\"A1\">1</definedName>"
      "<definedName name=\"Odd\">SUM(</definedName>"
      "<definedName name=\"Far\" localSheetId=\"7\">1</definedName></definedNames>";
  const std::string table =
      "<table xmlns=\"" + std::string(xlsx::kMainNs) +
      "\" id=\"1\" name=\"T\" displayName=\"T\" ref=\"A1:B9\"><tableColumns count=\"1\">"
      "<tableColumn id=\"1\" name=\"Only\"/></tableColumns></table>";
  const std::string file =
      package("bad.xlsx",
              "<row r=\"1\"><c r=\"A1\"><f>Loop</f><v>1</v></c><c r=\"B1\"><f>Odd</f><v>2</v></c>"
              "<c r=\"C1\"><f>SUM(T[Only])</f><v>3</v></c>"
              "<c r=\"D1\"><f t=\"array\" ref=\"C1:D2\">1</f><v>4</v></c>"
              "<c r=\"E1\"><f t=\"array\" ref=\"E1:E2\">{1;2}</f><v>1</v></c>"
              "<c r=\"F1\"><f>ISERROR(Nowhere)</f><v>0</v></c>"
              "<c r=\"G1\"><f>Nowhere+1</f><v>5</v></c></row>"
              "<row r=\"2\"><c r=\"E2\"><v>2</v></c></row>",
              names,
              {{"xl/tables/table1.xml", table},
               {"xl/worksheets/_rels/sheet1.xml.rels",
                "<Relationships xmlns=\"" + std::string(xlsx::kPackageRelNs) +
                    "\"><Relationship Id=\"rId1\" Type=\"http://schemas.openxmlformats.org/"
                    "officeDocument/2006/relationships/table\" Target=\"../tables/table1.xml\"/>"
                    "</Relationships>"}});
  XlsxLoad in = load(file);
  model.calculate_all();
  EXPECT_GE(in.warnings.size(), 4u);
  EXPECT_EQ(at(in.book, "S", "A1"), Value(ErrorCode::Ref));  // a name that refers to itself
  EXPECT_EQ(at(in.book, "S", "B1"), Value(2.0));             // an unreadable name: the file's value
  EXPECT_EQ(at(in.book, "S", "C1"), Value(3.0));             // a table that does not fit its cells
  EXPECT_EQ(at(in.book, "S", "D1"), Value(4.0));             // an array not starting at its cell
  EXPECT_EQ(at(in.book, "S", "E2"), Value(2.0));
  // A name the file does not define is #NAME? where it stands.
  EXPECT_EQ(at(in.book, "S", "F1"), Value(true));
  EXPECT_EQ(at(in.book, "S", "G1"), Value(ErrorCode::Name));
  const std::string out = (dir / "bad-out.xlsx").string();
  ASSERT_TRUE(save_xlsx(model, in.book, in.file.get(), out).ok());
  const std::string wb = read_part(out, "xl/workbook.xml");
  EXPECT_NE(wb.find(names), std::string::npos) << wb;
  const std::string sheet = read_part(out, "xl/worksheets/sheet1.xml");
  EXPECT_NE(sheet.find("<f t=\"array\" ref=\"C1:D2\">1</f>"), std::string::npos) << sheet;
  EXPECT_NE(sheet.find("<f t=\"array\" ref=\"E1:E2\">{1;2}</f>"), std::string::npos) << sheet;
}

TEST_F(XlsxNamesTest, ExternalLinkFormsParse) {
  // An add-in in the application's library folder: Excel gives its link a
  // relationship type of its own, and the formulas used to fail with
  // "unexpected character [".
  const std::string file =
      package("links.xlsx",
              "<row r=\"1\"><c r=\"A1\" t=\"str\"><f>[1]!fsingle(\"IBM\",\"X\")</f><v>a</v></c>"
              "<c r=\"B1\"><f>[1]Sheet1!A1+'[1]Sheet 2'!B2</f><v>3</v></c>"
              "<c r=\"C1\"><f>SUM('C:\\dir\\[book.xlsx]Sheet1'!A1:A3)</f><v>4</v></c>"
              "<c r=\"D1\"><f>[1]!LinkedName*2</f><v>5</v></c></row>",
              "<externalReferences><externalReference r:id=\"rId8\"/></externalReferences>",
              {{"xl/externalLinks/externalLink1.xml",
                "<externalLink xmlns=\"" + std::string(xlsx::kMainNs) + "\"/>"},
               {"xl/externalLinks/_rels/externalLink1.xml.rels",
                "<Relationships xmlns=\"" + std::string(xlsx::kPackageRelNs) +
                    "\"><Relationship Id=\"rId1\" Type=\"http://schemas.microsoft.com/office/2006/"
                    "relationships/xlExternalLinkPath/xlLibrary\" Target=\"tarnvale.xla\" "
                    "TargetMode=\"External\"/></Relationships>"}});
  XlsxLoad in = load(file);
  const SheetId s = model.find_sheet(in.book, "S");
  EXPECT_EQ(formula(in.book, "S", "A1"), "=tarnvale.xla!fsingle(\"IBM\",\"X\")");
  EXPECT_EQ(xlsx_kept_formula(*in.file, s, 1, 1), "");
  // References into other workbooks keep their values and their text.
  EXPECT_EQ(xlsx_kept_formula(*in.file, s, 1, 2), "=[1]Sheet1!A1+'[1]Sheet 2'!B2");
  EXPECT_EQ(xlsx_kept_formula(*in.file, s, 1, 3), "=SUM('C:\\dir\\[book.xlsx]Sheet1'!A1:A3)");
  EXPECT_EQ(xlsx_kept_formula(*in.file, s, 1, 4), "=[1]!LinkedName*2");
  model.calculate_all();
  EXPECT_EQ(at(in.book, "S", "D1"), Value(5.0));
  for (const std::string& w : in.warnings) EXPECT_EQ(w.find("unexpected"), std::string::npos) << w;
}

TEST_F(XlsxNamesTest, NamesIntoAnotherWorkbookKeepTheFileValues) {
  const std::string names =
      "<definedNames><definedName name=\"ExtName\">[1]Sheet1!$B$2</definedName>"
      "<definedName name=\"ExtRange\">[1]Sheet1!$B$2:$B$3</definedName>"
      "<definedName name=\"Twice\">ExtName*2</definedName></definedNames>";
  const std::string file =
      package("extnames.xlsx",
              "<row r=\"1\"><c r=\"A1\"><f>ExtName</f><v>11</v></c>"
              "<c r=\"B1\"><f>ExtName*2</f><v>22</v></c>"
              "<c r=\"C1\"><f>SUM(ExtRange)</f><v>30</v></c>"
              "<c r=\"D1\"><f>Twice+1</f><v>23</v></c>"
              "<c r=\"E1\"><f>Unknown</f><v>1</v></c></row>",
              "<externalReferences><externalReference r:id=\"rId8\"/></externalReferences>" + names,
              {{"xl/externalLinks/externalLink1.xml",
                "<externalLink xmlns=\"" + std::string(xlsx::kMainNs) + "\"/>"}});
  XlsxLoad in = load(file);
  model.calculate_all();
  EXPECT_EQ(at(in.book, "S", "A1"), Value(11.0));
  EXPECT_EQ(at(in.book, "S", "B1"), Value(22.0));
  EXPECT_EQ(at(in.book, "S", "C1"), Value(30.0));
  EXPECT_EQ(at(in.book, "S", "D1"), Value(23.0));
  EXPECT_EQ(at(in.book, "S", "E1"), Value(ErrorCode::Name));  // defined nowhere
  const auto warned = std::count_if(in.warnings.begin(), in.warnings.end(), [](const auto& w) {
    return w.find("reads another workbook") != std::string::npos;
  });
  EXPECT_EQ(warned, 4);
}

}  // namespace
}  // namespace quillo::spreadsheet
