// Formula texts survive a load and a save as the file wrote them: formulas
// quillo did not change keep their <f> element (attributes and text), shared
// formulas keep their master and dependents, and only edited formulas are
// written anew. Files from openpyxl and from LibreOffice (testdata/xlsx/make.py).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>

#include <unistd.h>
#include <pugixml.hpp>

#include "support/scratch_folder.h"
#include "xlsx/package.h"
#include "xlsx/xlsx.h"

namespace quillo::spreadsheet {
namespace {

namespace fs = std::filesystem;

const std::string kXlsxFiles = std::string(QUILLO_TESTDATA_DIR) + "/xlsx/";

class XlsxFormulaTextTest : public testing_support::ScratchFolderTest {
 protected:
  XlsxLoad load(const std::string& file) {
    auto r = load_xlsx(model, file);
    EXPECT_TRUE(r.ok()) << r.status().message();
    return r.ok() ? std::move(r).value() : XlsxLoad{};
  }

  void save(const XlsxLoad& in, const std::string& to) {
    const Status st = save_xlsx(model, in.book, in.file.get(), to);
    ASSERT_TRUE(st.ok()) << st.message();
    // Kept for the checks by other readers (tests/xlsx_libreoffice_check.sh).
    if (const char* keep = std::getenv("QUILLO_XLSX_KEEP")) {
      fs::copy_file(to, fs::path(keep) / ("unit-ftext-" + fs::path(to).filename().string()),
                    fs::copy_options::overwrite_existing);
    }
  }

  // The <f> elements of a sheet part by cell: attributes then text.
  static std::map<std::string, std::string> formulas(const std::string& file,
                                                     const std::string& part) {
    auto bytes = host::make_platform_file_system()->read_file(file, 1 << 30);
    auto zip = xlsx::ZipReader::open(std::make_shared<std::string>(std::move(bytes).value()), {});
    const std::string xml = zip.value()->read(part).value();
    pugi::xml_document doc;
    EXPECT_TRUE(
        doc.load_buffer(xml.data(), xml.size(), pugi::parse_default | pugi::parse_ws_pcdata));
    std::map<std::string, std::string> out;
    for (pugi::xpath_node c : doc.select_nodes("//*[local-name()='c'][*[local-name()='f']]")) {
      const pugi::xml_node f = c.node().find_child(
          [](const pugi::xml_node& n) { return std::string_view(n.name()).ends_with("f"); });
      std::string s;
      for (pugi::xml_attribute a = f.first_attribute(); a; a = a.next_attribute()) {
        s += std::string(a.name()) + "=" + a.value() + " ";
      }
      out[c.node().attribute("r").value()] = s + "|" + f.text().get();
    }
    return out;
  }

  std::shared_ptr<Model> owner = std::make_shared<Model>();
  Model& model = *owner;
};

TEST_F(XlsxFormulaTextTest, FormulasQuilloDidNotChangeKeepTheFilesText) {
  for (const char* name : {"odd_spellings.xlsx", "odd_spellings_lo.xlsx"}) {
    SCOPED_TRACE(name);
    const std::string source = kXlsxFiles + name;
    XlsxLoad in = load(source);
    const SheetId odd = model.find_sheet(in.book, "Odd");
    model.calculate_all();
    ASSERT_TRUE(model.set_value(odd, 1, 1, Value(10.0)).ok());
    // The engine evaluates a cell again by writing its formula anew, with
    // another formula in between: not an edit.
    const std::string b2 = model.formula_text(odd, 2, 2, Notation::A1);
    ASSERT_TRUE(model.set_formula(odd, 2, 2, "=\"\"", Notation::A1).ok());
    ASSERT_TRUE(model.set_formula(odd, 2, 2, b2, Notation::A1).ok());
    ASSERT_TRUE(model.set_formula(odd, 5, 2, "=A1*3", Notation::A1).ok());  // an edit
    const std::string out = path(std::string("out-") + name);
    save(in, out);

    auto before = formulas(source, "xl/worksheets/sheet1.xml");
    auto after = formulas(out, "xl/worksheets/sheet1.xml");
    EXPECT_EQ(after.at("B5"), "|A1*3");
    before.erase("B5");
    after.erase("B5");
    EXPECT_EQ(after, before);

    // What was saved computes as the model did.
    auto again = std::make_shared<Model>();
    auto back = load_xlsx(*again, out);
    ASSERT_TRUE(back.ok());
    const SheetId s = again->find_sheet(back->book, "Odd");
    EXPECT_EQ(again->value(s, 1, 2), Value(1010.0));
    EXPECT_EQ(again->value(s, 2, 2), Value(16.5));
    EXPECT_EQ(again->value(s, 5, 2), Value(30.0));
    (void)model.close_book(in.book);
  }
}

TEST_F(XlsxFormulaTextTest, FormulasNamingARenamedSheetAreWrittenAnew) {
  XlsxLoad in = load(kXlsxFiles + "odd_spellings.xlsx");
  ASSERT_TRUE(model.rename_sheet(model.find_sheet(in.book, "Other"), "Prices").ok());
  save(in, path("renamed.xlsx"));
  const auto after = formulas(path("renamed.xlsx"), "xl/worksheets/sheet1.xml");
  EXPECT_EQ(after.at("B8"), "|Prices!A1*1000");
  EXPECT_EQ(after.at("B1"), "|1E+3+A1");
}

TEST_F(XlsxFormulaTextTest, SharedFormulasStaySharedWhileTheirMasterIsUnchanged) {
  XlsxLoad in = load(kXlsxFiles + "shared.xlsx");
  const SheetId s = model.find_sheet(in.book, "Column");
  ASSERT_TRUE(model.set_formula(s, 5, 2, "=A5*3", Notation::A1).ok());
  save(in, path("one-edited.xlsx"));
  auto f = formulas(path("one-edited.xlsx"), "xl/worksheets/sheet1.xml");
  EXPECT_EQ(f.at("B1"), "t=shared ref=B1:B20 si=0 |A1*2+$A$1");
  EXPECT_EQ(f.at("B2"), "t=shared si=0 |");
  EXPECT_EQ(f.at("B20"), "t=shared si=0 |");
  EXPECT_EQ(f.at("B5"), "|A5*3");
  EXPECT_EQ(f.at("C1"), "aca=false |SUM($A$1:A1)");

  // With its master edited, the group's other cells are written each on its own.
  ASSERT_TRUE(model.set_formula(s, 1, 2, "=A1*4", Notation::A1).ok());
  save(in, path("master-edited.xlsx"));
  f = formulas(path("master-edited.xlsx"), "xl/worksheets/sheet1.xml");
  EXPECT_EQ(f.at("B1"), "|A1*4");
  EXPECT_EQ(f.at("B20"), "|A20*2+$A$1");
  auto again = std::make_shared<Model>();
  auto back = load_xlsx(*again, path("master-edited.xlsx"));
  ASSERT_TRUE(back.ok());
  const SheetId s2 = again->find_sheet(back->book, "Column");
  again->calculate_all();
  EXPECT_EQ(again->value(s2, 20, 2), Value(61.5));
}

}  // namespace
}  // namespace quillo::spreadsheet
