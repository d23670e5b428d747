// What a sheet shows, read from its file (widths, heights, merges, frozen
// panes, the looks of styled cells), and column widths set by the user
// written into the saved file and read back.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "support/scratch_folder.h"
#include "xlsx/package.h"
#include "xlsx/xlsx.h"

namespace quillo::spreadsheet {
namespace {

namespace fs = std::filesystem;

const std::string kNs = std::string(xlsx::kMainNs);

// Fonts: 0 plain, 1 bold 14pt red, 2 italic. Fills: 2 solid yellow.
// Styles: 0 plain, 1 bold, 2 italic right-aligned, 3 yellow fill with
// wrap, 4 a date format only (shows nothing of its own).
const std::string kStyles =
    "<styleSheet xmlns=\"" + kNs +
    "\"><fonts count=\"3\"><font><sz val=\"11\"/></font>"
    "<font><b/><sz val=\"14\"/><color rgb=\"FFFF0000\"/></font><font><i/><sz val=\"11\"/></font>"
    "</fonts><fills count=\"3\"><fill><patternFill patternType=\"none\"/></fill>"
    "<fill><patternFill patternType=\"gray125\"/></fill><fill><patternFill patternType=\"solid\">"
    "<fgColor rgb=\"FFFFFF00\"/></patternFill></fill></fills><cellXfs count=\"5\">"
    "<xf fontId=\"0\" fillId=\"0\"/><xf fontId=\"1\" fillId=\"0\"/>"
    "<xf fontId=\"2\" fillId=\"0\"><alignment horizontal=\"right\"/></xf>"
    "<xf fontId=\"0\" fillId=\"2\"><alignment wrapText=\"1\"/></xf>"
    "<xf numFmtId=\"14\" fontId=\"0\" fillId=\"0\"/></cellXfs></styleSheet>";

std::map<std::string, std::string> package(const std::string& sheet) {
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
          {"xl/styles.xml", kStyles},
          {"xl/worksheets/sheet1.xml", sheet}};
}

const std::string kSheet =
    "<worksheet xmlns=\"" + kNs +
    "\"><sheetViews><sheetView workbookViewId=\"0\"><pane xSplit=\"1\" ySplit=\"2\" "
    "topLeftCell=\"B3\" state=\"frozen\"/></sheetView></sheetViews>"
    "<sheetFormatPr baseColWidth=\"8\" defaultRowHeight=\"15\"/>"
    "<cols><col min=\"1\" max=\"1\" width=\"20\" customWidth=\"1\"/>"
    "<col min=\"2\" max=\"4\" width=\"12\" style=\"2\" customWidth=\"1\"/>"
    "<col min=\"5\" max=\"5\" width=\"9\" hidden=\"1\"/></cols><sheetData>"
    "<row r=\"1\" ht=\"30\" customHeight=\"1\"><c r=\"A1\" s=\"1\" t=\"inlineStr\"><is><t>Head</t>"
    "</is></c><c r=\"B1\" s=\"1\"/><c r=\"C1\" s=\"2\"><v>3</v></c></row>"
    "<row r=\"2\" ht=\"30\" customHeight=\"1\"><c r=\"A2\" s=\"3\"/><c r=\"B2\" s=\"4\"><v>1</v>"
    "</c></row><row r=\"3\" hidden=\"1\"><c r=\"A3\"><v>2</v></c></row></sheetData>"
    "<mergeCells count=\"1\"><mergeCell ref=\"A5:C6\"/></mergeCells></worksheet>";

class XlsxLookTest : public testing_support::ScratchFolderTest {
 protected:
  std::string write(const std::string& name, const std::map<std::string, std::string>& parts) {
    xlsx::ZipEdit edit;
    edit.put = parts;
    EXPECT_TRUE(
        xlsx::write_zip_atomic(*host::make_platform_file_system(), nullptr, edit, path(name)).ok());
    return path(name);
  }
  std::string part(const std::string& file, const std::string& name) {
    auto bytes = host::make_platform_file_system()->read_file(file, 1 << 30);
    auto zip = xlsx::ZipReader::open(std::make_shared<std::string>(std::move(bytes).value()), {});
    auto r = zip.value()->read(name);
    return r.ok() ? r.value() : "<missing>";
  }
  // The width of col on the sheet of a file loaded anew; 0 when none.
  double width_in(const std::string& file, std::int32_t col) {
    Model m;
    auto in = load_xlsx(m, file);
    EXPECT_TRUE(in.ok());
    if (!in.ok()) return -1;
    double w = 0;
    for (const auto& c : m.sheet(m.book(in->book)->sheets.front())->look.columns) {
      if (c.c1 <= col && col <= c.c2) w = c.hidden ? 0 : c.width;
    }
    return w;
  }
};

TEST_F(XlsxLookTest, LoadReadsSizesMergesPanesAndTheLooksOfStyledCells) {
  Model m;
  auto in = load_xlsx(m, write("look.xlsx", package(kSheet)));
  ASSERT_TRUE(in.ok()) << in.status().message();
  const SheetLook& look = m.sheet(m.book(in->book)->sheets.front())->look;
  EXPECT_NEAR(look.default_width, 64.0 / 7, 1e-9);  // 8 characters and padding: 64 pixels
  EXPECT_EQ(look.default_height, 15);
  ASSERT_EQ(look.columns.size(), 3u);
  EXPECT_EQ(look.columns[1].c1, 2);
  EXPECT_EQ(look.columns[1].c2, 4);
  EXPECT_EQ(look.columns[1].width, 12);
  EXPECT_TRUE(look.columns[2].hidden);
  ASSERT_EQ(look.rows.size(), 2u);  // rows 1-2 at 30 points, row 3 hidden
  EXPECT_EQ(look.rows[0].r2, 2);
  EXPECT_EQ(look.rows[1].height, 0);
  EXPECT_EQ(look.frozen_rows, 2);
  EXPECT_EQ(look.frozen_cols, 1);
  ASSERT_EQ(look.merges.size(), 1u);
  EXPECT_EQ(look.merges[0], (Box{5, 1, 6, 3}));

  // A1:B1 bold (one run), C1 italic and right-aligned, A2 filled; B2's
  // style is a number format alone, which shows nothing here.
  ASSERT_EQ(look.styled.size(), 3u);
  EXPECT_EQ(look.styled[0].c2, 2);
  const CellLook& bold = look.looks->at(look.styled[0].look);
  EXPECT_TRUE(bold.bold);
  EXPECT_EQ(bold.font_size, 14);
  EXPECT_EQ(bold.color, 0xFF0000);
  const CellLook& italic = look.looks->at(look.styled[1].look);
  EXPECT_TRUE(italic.italic);
  EXPECT_EQ(italic.align, CellLook::Align::Right);
  EXPECT_EQ(italic.font_size, 0);  // the default font's size is no size of its own
  const CellLook& filled = look.looks->at(look.styled[2].look);
  EXPECT_EQ(filled.fill, 0xFFFF00);
  EXPECT_TRUE(filled.wrap);
}

TEST_F(XlsxLookTest, WidthsSetAreSavedIntoTheColumnsAndReadBack) {
  Model m;
  auto in = load_xlsx(m, write("look.xlsx", package(kSheet)));
  ASSERT_TRUE(in.ok());
  const SheetId s = m.book(in->book)->sheets.front();

  // Unchanged widths leave the part's columns as they were.
  ASSERT_TRUE(save_xlsx(m, in->book, in->file.get(), path("same.xlsx")).ok());
  EXPECT_NE(part(path("same.xlsx"), "xl/worksheets/sheet1.xml")
                .find("<cols><col min=\"1\" max=\"1\" width=\"20\" customWidth=\"1\"/>"
                      "<col min=\"2\" max=\"4\" width=\"12\" style=\"2\" customWidth=\"1\"/>"),
            std::string::npos);

  // One column inside a span of three, a hidden one, one the file did not list.
  ASSERT_TRUE(m.set_column_width(s, 3, 30.5).ok());
  ASSERT_TRUE(m.set_column_width(s, 5, 6).ok());
  ASSERT_TRUE(m.set_column_width(s, 8, 15).ok());
  EXPECT_FALSE(m.set_column_width(s, 2, 0).ok());
  EXPECT_FALSE(m.set_column_width(s, 0, 10).ok());
  for (const char* name : {"first.xlsx", "second.xlsx"}) {  // from the load's layout, then anew
    ASSERT_TRUE(save_xlsx(m, in->book, in->file.get(), path(name)).ok());
    // tests/xlsx_libreoffice_check.sh has LibreOffice read the widths back.
    if (const char* keep = std::getenv("QUILLO_XLSX_KEEP"); keep && name[0] == 's') {
      fs::copy_file(path(name), fs::path(keep) / "look-widths.xlsx",
                    fs::copy_options::overwrite_existing);
    }
    const std::string xml = part(path(name), "xl/worksheets/sheet1.xml");
    EXPECT_NE(xml.find("<col min=\"2\" max=\"2\" width=\"12\" style=\"2\" customWidth=\"1\"/>"
                       "<col min=\"3\" max=\"3\" width=\"30.5\" style=\"2\" customWidth=\"1\"/>"
                       "<col min=\"4\" max=\"4\" width=\"12\" style=\"2\" customWidth=\"1\"/>"),
              std::string::npos)
        << xml;
    EXPECT_EQ(xml.find("<cols>"), xml.rfind("<cols>"));
    EXPECT_LT(xml.find("</cols>"), xml.find("<sheetData>"));
    EXPECT_EQ(width_in(path(name), 1), 20);
    EXPECT_EQ(width_in(path(name), 3), 30.5);
    EXPECT_EQ(width_in(path(name), 4), 12);
    EXPECT_EQ(width_in(path(name), 5), 6);  // shown again
    EXPECT_EQ(width_in(path(name), 8), 15);
  }

  // A sheet without columns gets them before its rows; so does a new book.
  Model bare;
  auto plain = load_xlsx(bare, write("plain.xlsx", package("<worksheet xmlns=\"" + kNs +
                                                           "\"><sheetData/></worksheet>")));
  ASSERT_TRUE(plain.ok());
  ASSERT_TRUE(bare.set_column_width(bare.book(plain->book)->sheets.front(), 2, 25).ok());
  ASSERT_TRUE(save_xlsx(bare, plain->book, plain->file.get(), path("plain2.xlsx")).ok());
  EXPECT_EQ(width_in(path("plain2.xlsx"), 2), 25);
  const BookId fresh = bare.add_book("new.xlsx");
  auto sheet = bare.add_sheet(fresh, "One");
  ASSERT_TRUE(sheet.ok());
  ASSERT_TRUE(bare.set_column_width(*sheet, 1, 40).ok());
  ASSERT_TRUE(save_xlsx(bare, fresh, nullptr, path("new.xlsx")).ok());
  EXPECT_EQ(width_in(path("new.xlsx"), 1), 40);
}

}  // namespace
}  // namespace quillo::spreadsheet
