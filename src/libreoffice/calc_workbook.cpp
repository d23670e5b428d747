#include "libreoffice/calc_workbook.h"

#include <algorithm>
#include <iostream>
#include <map>
#include <optional>
#include <tuple>
#include <vector>

#include <com/sun/star/beans/XPropertySet.hpp>
#include <com/sun/star/container/XIndexAccess.hpp>
#include <com/sun/star/container/XNameAccess.hpp>
#include <com/sun/star/container/XNamed.hpp>
#include <com/sun/star/sheet/CellFlags.hpp>
#include <com/sun/star/sheet/ComplexReference.hpp>
#include <com/sun/star/sheet/FormulaToken.hpp>
#include <com/sun/star/sheet/ReferenceFlags.hpp>
#include <com/sun/star/sheet/SingleReference.hpp>
#include <com/sun/star/sheet/XCellRangeAddressable.hpp>
#include <com/sun/star/sheet/XCellRangeData.hpp>
#include <com/sun/star/sheet/XCellRangesQuery.hpp>
#include <com/sun/star/sheet/XFormulaTokens.hpp>
#include <com/sun/star/sheet/XSheetCellRanges.hpp>
#include <com/sun/star/sheet/XSheetOperation.hpp>
#include <com/sun/star/sheet/XSpreadsheets.hpp>
#include <com/sun/star/sheet/XUsedAreaCursor.hpp>
#include <com/sun/star/table/CellContentType.hpp>
#include <com/sun/star/table/XCell.hpp>
#include <com/sun/star/table/XCellRange.hpp>
#include <com/sun/star/text/XTextRange.hpp>
#include <com/sun/star/uno/Sequence.hxx>
#include <rtl/ustring.hxx>

#include "common/text.h"
#include "host/output_blocks.h"
#include "libreoffice/calc_undo.h"
#include "libreoffice/uno_values.h"

namespace css = com::sun::star;
using css::uno::Any;
using css::uno::Reference;
using css::uno::Sequence;
using css::uno::UNO_QUERY;
using rtl::OString;
using rtl::OUString;

namespace quillo::lo {

namespace {

using Doc = Reference<css::sheet::XSpreadsheetDocument>;
using Sheet = Reference<css::sheet::XSpreadsheet>;

Status failed(const css::uno::Exception& e) {
  return Status::object_required("Calc: " + u8(e.Message));
}

Status unsupported() {
  return Status::failed("not available on Calc's documents");
}

class CalcSheet;

class CalcRange final : public host::Range {
 public:
  // 0-based, inclusive corners.
  CalcRange(Doc doc, Sheet sheet, sal_Int32 top, sal_Int32 left, sal_Int32 bottom, sal_Int32 right)
      : m_doc(std::move(doc)),
        m_sheet(std::move(sheet)),
        m_top(top),
        m_left(left),
        m_bottom(bottom),
        m_right(right) {}

  Array values() const override {
    const auto v = value();
    if (v.ok() && v->is_array()) return v->array();
    Array a;
    a.rows = a.cols = 1;
    a.items.push_back(v.ok() ? *v : Value(ErrorCode::Ref));
    return a;
  }
  Result<std::shared_ptr<host::Worksheet>> worksheet() const override {
    return calc_worksheet(m_doc, m_sheet);
  }
  Result<std::int32_t> row() const override { return m_top + 1; }
  Result<std::int32_t> column() const override { return m_left + 1; }
  Result<std::int32_t> row_count() const override { return m_bottom - m_top + 1; }
  Result<std::int32_t> column_count() const override { return m_right - m_left + 1; }
  Result<std::string> address(bool) const override {
    std::string a = host::a1_address(m_top + 1, m_left + 1);
    if (m_bottom > m_top || m_right > m_left)
      a += ":" + host::a1_address(m_bottom + 1, m_right + 1);
    return a;
  }
  Result<host::RangePtr> cell(std::int32_t row, std::int32_t col) const override {
    const sal_Int32 r = m_top + row - 1, c = m_left + col - 1;
    if (r < 0 || c < 0 || r >= host::kSheetRows || c >= host::kSheetCols) {
      return Status::failed("outside the sheet");
    }
    return host::RangePtr(std::make_shared<CalcRange>(m_doc, m_sheet, r, c, r, c));
  }
  Result<Value> value() const override {
    try {
      Reference<css::sheet::XCellRangeData> data(range(), UNO_QUERY);
      if (!data.is()) return unsupported();
      return argument(Any(data->getDataArray()));
    } catch (const css::uno::Exception& e) {
      return failed(e);
    }
  }
  // An Array from the top-left cell, or one value into every cell; texts
  // are written as text (a leading apostrophe is dropped), never parsed.
  Status set_value(const Value& v) const override {
    try {
      Array a;
      if (v.is_array()) {
        a = v.array();
      } else {
        a.rows = m_bottom - m_top + 1;
        a.cols = m_right - m_left + 1;
        a.items.assign(static_cast<std::size_t>(a.rows) * static_cast<std::size_t>(a.cols), v);
      }
      if (a.rows < 1 || a.cols < 1) return Status();
      Reference<css::sheet::XCellRangeData> data(
          m_sheet->getCellRangeByPosition(m_left, m_top, m_left + a.cols - 1, m_top + a.rows - 1),
          UNO_QUERY);
      if (!data.is()) return unsupported();
      Sequence<Sequence<Any>> rows(a.rows);
      for (std::int32_t r = 0; r < a.rows; ++r) {
        Sequence<Any> line(a.cols);
        for (std::int32_t c = 0; c < a.cols; ++c) {
          const Value& item = a.at(r, c);
          if (item.is_text() && !item.text().empty() && item.text().front() == '\'') {
            line[c] = Any(ou(item.text().substr(1)));
          } else if (item.is_empty() || item.type() == ValueType::Missing) {
            line[c] = Any(OUString());
          } else {
            line[c] = to_any(item);
          }
        }
        rows[r] = line;
      }
      const UndoOff off(m_doc);
      data->setDataArray(rows);
      return Status();
    } catch (const css::uno::Exception& e) {
      return failed(e);
    }
  }
  Result<std::string> formula() const override {
    try {
      return u8(m_sheet->getCellByPosition(m_left, m_top)->getFormula());
    } catch (const css::uno::Exception& e) {
      return failed(e);
    }
  }
  Result<std::string> formula_r1c1() const override { return formula(); }
  Status set_formula(std::string_view) const override { return unsupported(); }
  Status set_formula_r1c1(std::string_view) const override { return unsupported(); }
  Result<bool> has_formula() const override {
    try {
      return m_sheet->getCellByPosition(m_left, m_top)->getType() ==
             css::table::CellContentType_FORMULA;
    } catch (const css::uno::Exception& e) {
      return failed(e);
    }
  }
  Result<std::string> number_format() const override { return unsupported(); }
  Status set_number_format(std::string_view) const override { return unsupported(); }
  // Values, dates and texts go; formulas and formats stay.
  Status clear_contents() const override {
    try {
      Reference<css::sheet::XSheetOperation> op(range(), UNO_QUERY);
      if (!op.is()) return unsupported();
      const UndoOff off(m_doc);
      op->clearContents(css::sheet::CellFlags::VALUE | css::sheet::CellFlags::DATETIME |
                        css::sheet::CellFlags::STRING);
      return Status();
    } catch (const css::uno::Exception& e) {
      return failed(e);
    }
  }
  // Only what the blocks look for: the first formula of the range, row by
  // row (every formula holds "="), found by Calc's own query.
  Result<host::RangePtr> find(std::string_view what,
                              const host::FindOptions& options) const override {
    if (what != "=" || options.look_in != host::LookIn::Formulas) return unsupported();
    try {
      Reference<css::sheet::XCellRangesQuery> query(range(), UNO_QUERY);
      if (!query.is()) return unsupported();
      const auto ranges = query->queryContentCells(css::sheet::CellFlags::FORMULA);
      if (!ranges.is() || ranges->getCount() == 0) return host::RangePtr();
      // Every cell of each range holds a formula. Calc may answer ranges
      // reaching past the one asked (a formula cell beside it, as the
      // calling cell of a table written to its right): only the part
      // inside counts.
      sal_Int32 row = -1, col = -1;
      for (const auto& r : ranges->getRangeAddresses()) {
        const sal_Int32 top = std::max(r.StartRow, m_top), left = std::max(r.StartColumn, m_left);
        if (top > std::min(r.EndRow, m_bottom) || left > std::min(r.EndColumn, m_right)) continue;
        if (row < 0 || top < row || (top == row && left < col)) {
          row = top;
          col = left;
        }
      }
      if (row < 0) return host::RangePtr();
      return host::RangePtr(std::make_shared<CalcRange>(m_doc, m_sheet, row, col, row, col));
    } catch (const css::uno::Exception& e) {
      return failed(e);
    }
  }
  Result<bool> replace(std::string_view, std::string_view,
                       const host::ReplaceOptions&) const override {
    return unsupported();
  }

 private:
  Reference<css::table::XCellRange> range() const {
    return m_sheet->getCellRangeByPosition(m_left, m_top, m_right, m_bottom);
  }

  Doc m_doc;
  Sheet m_sheet;
  sal_Int32 m_top, m_left, m_bottom, m_right;
};

class CalcSheet final : public host::Worksheet {
 public:
  CalcSheet(Doc doc, Sheet sheet) : m_doc(std::move(doc)), m_sheet(std::move(sheet)) {}

  Result<std::string> name() const override {
    Reference<css::container::XNamed> named(m_sheet, UNO_QUERY);
    if (!named.is()) return unsupported();
    try {
      return u8(named->getName());
    } catch (const css::uno::Exception& e) {
      return failed(e);
    }
  }
  Status set_name(std::string_view) override { return unsupported(); }
  Result<std::int32_t> index() const override { return unsupported(); }
  Result<host::WorkbookPtr> workbook() const override { return calc_workbook(m_doc); }
  Result<host::Visibility> visible() const override {
    try {
      Reference<css::beans::XPropertySet> props(m_sheet, UNO_QUERY);
      bool on = true;
      if (props.is()) props->getPropertyValue("IsVisible") >>= on;
      return on ? host::Visibility::Visible : host::Visibility::Hidden;
    } catch (const css::uno::Exception& e) {
      return failed(e);
    }
  }
  // Calc has no very hidden sheets: hidden is the nearest.
  Status set_visible(host::Visibility v) override {
    try {
      Reference<css::beans::XPropertySet> props(m_sheet, UNO_QUERY);
      if (!props.is()) return unsupported();
      const UndoOff off(m_doc);
      props->setPropertyValue("IsVisible", Any(v == host::Visibility::Visible));
      return Status();
    } catch (const css::uno::Exception& e) {
      return failed(e);
    }
  }
  Result<host::RangePtr> cells() const override {
    return host::RangePtr(std::make_shared<CalcRange>(
        m_doc, m_sheet, 0, 0, static_cast<sal_Int32>(host::kSheetRows - 1),
        static_cast<sal_Int32>(host::kSheetCols - 1)));
  }
  Result<host::RangePtr> cell(std::int32_t row, std::int32_t col) const override {
    if (row < 1 || col < 1 || row > host::kSheetRows || col > host::kSheetCols) {
      return Status::failed("outside the sheet");
    }
    return host::RangePtr(
        std::make_shared<CalcRange>(m_doc, m_sheet, row - 1, col - 1, row - 1, col - 1));
  }
  Result<host::RangePtr> range(std::string_view address) const override {
    try {
      Reference<css::sheet::XCellRangeAddressable> at(m_sheet->getCellRangeByName(ou(address)),
                                                      UNO_QUERY);
      if (!at.is()) return Status::failed("not an address");
      const auto a = at->getRangeAddress();
      return host::RangePtr(std::make_shared<CalcRange>(m_doc, m_sheet, a.StartRow, a.StartColumn,
                                                        a.EndRow, a.EndColumn));
    } catch (const css::uno::Exception& e) {
      return failed(e);
    }
  }
  Result<host::RangePtr> used_range() const override {
    try {
      const auto cursor = m_sheet->createCursor();
      Reference<css::sheet::XUsedAreaCursor> used(cursor, UNO_QUERY);
      Reference<css::sheet::XCellRangeAddressable> at(cursor, UNO_QUERY);
      if (!used.is() || !at.is()) return unsupported();
      used->gotoStartOfUsedArea(false);
      used->gotoEndOfUsedArea(true);
      const auto a = at->getRangeAddress();
      return host::RangePtr(std::make_shared<CalcRange>(m_doc, m_sheet, a.StartRow, a.StartColumn,
                                                        a.EndRow, a.EndColumn));
    } catch (const css::uno::Exception& e) {
      return failed(e);
    }
  }
  Status for_each_cell(const std::function<void(const host::RangePtr&)>&) const override {
    return unsupported();
  }
  Result<bool> enable_calculation() const override { return true; }
  Status set_enable_calculation(bool) override { return unsupported(); }
  Status calculate() override { return unsupported(); }
  // Only the record sheet is added, and adding activates nothing in Calc.
  Status activate() override { return Status(); }
  Status remove() override { return unsupported(); }

 private:
  Doc m_doc;
  Sheet m_sheet;
};

class CalcBook final : public host::Workbook {
 public:
  explicit CalcBook(Doc doc) : m_doc(std::move(doc)) {}

  Result<std::string> name() const override { return unsupported(); }
  Result<std::string> full_name() const override { return unsupported(); }
  Result<std::int32_t> worksheet_count() const override {
    try {
      Reference<css::container::XIndexAccess> sheets(m_doc->getSheets(), UNO_QUERY);
      return sheets.is() ? sheets->getCount() : 0;
    } catch (const css::uno::Exception& e) {
      return failed(e);
    }
  }
  Result<host::WorksheetPtr> worksheet(std::int32_t index) const override {
    try {
      Reference<css::container::XIndexAccess> sheets(m_doc->getSheets(), UNO_QUERY);
      if (!sheets.is() || index < 1 || index > sheets->getCount()) {
        return Status::failed("no such sheet");
      }
      Sheet s(sheets->getByIndex(index - 1), UNO_QUERY);
      return calc_worksheet(m_doc, s);
    } catch (const css::uno::Exception& e) {
      return failed(e);
    }
  }
  Result<host::WorksheetPtr> worksheet(std::string_view name) const override {
    try {
      Reference<css::container::XIndexAccess> sheets(m_doc->getSheets(), UNO_QUERY);
      if (!sheets.is()) return Status::failed("no such sheet");
      for (sal_Int32 i = 0; i < sheets->getCount(); ++i) {
        Sheet s(sheets->getByIndex(i), UNO_QUERY);
        Reference<css::container::XNamed> named(s, UNO_QUERY);
        if (named.is() && text::iequals(u8(named->getName()), name)) {
          return calc_worksheet(m_doc, s);
        }
      }
      return Status::failed("no such sheet");
    } catch (const css::uno::Exception& e) {
      return failed(e);
    }
  }
  Result<host::WorksheetPtr> add_worksheet(std::string_view name) override {
    if (name.empty()) return unsupported();
    try {
      const auto sheets = m_doc->getSheets();
      Reference<css::container::XIndexAccess> count(sheets, UNO_QUERY);
      const UndoOff off(m_doc);
      sheets->insertNewByName(ou(name), static_cast<sal_Int16>(count.is() ? count->getCount() : 0));
      Sheet s(sheets->getByName(ou(name)), UNO_QUERY);
      return calc_worksheet(m_doc, s);
    } catch (const css::uno::Exception& e) {
      return failed(e);
    }
  }
  Result<host::WorksheetPtr> active_sheet() const override { return unsupported(); }
  Status activate() override { return unsupported(); }
  Result<std::vector<std::string>> link_sources() const override {
    return std::vector<std::string>();
  }
  Status save() override { return unsupported(); }
  Status save_as(std::string_view) override { return unsupported(); }
  Status close(bool) override { return unsupported(); }

 private:
  Doc m_doc;
};

}  // namespace

host::WorkbookPtr calc_workbook(const Doc& doc) {
  return std::make_shared<CalcBook>(doc);
}

host::WorksheetPtr calc_worksheet(const Doc& doc, const Sheet& sheet) {
  return std::make_shared<CalcSheet>(doc, sheet);
}

// ---------------------------------------------------------------------------
// The references that make the record follow the sheets.

namespace {

// The record sheet's columns (0-based): the shared eight, then Calc's.
constexpr sal_Int32 kName = 0, kRow = 1, kCol = 2, kTop = 3, kLeft = 4, kRows = 5, kCols = 6,
                    kPrint = 7, kCellRef = 8, kBlockRef = 9, kStamp = 10, kCut = 11, kWidth = 12;
constexpr char kCutMark[] = "cut";

// A place as a reference names it: 1-based, the sheet by its name.
struct Place {
  std::string sheet;
  std::int64_t row = 0, col = 0;
};
struct Area {
  std::string sheet;
  host::Block block;
};

std::string quoted_sheet(std::string_view name) {
  std::string q = "$'";
  for (const char ch : name) {
    q += ch;
    if (ch == '\'') q += '\'';
  }
  return q + "'.";
}

std::string absolute(std::int64_t row, std::int64_t col) {
  const std::string a1 = host::a1_address(row, col);
  const auto digits = a1.find_first_of("0123456789");
  return "$" + a1.substr(0, digits) + "$" + a1.substr(digits);
}

std::string text_of(const Any& v) {
  OUString s;
  return (v >>= s) ? u8(s) : std::string();
}

std::optional<std::int64_t> number_of(const Any& v) {
  double d = 0;
  if (!(v >>= d) || d != static_cast<double>(static_cast<std::int64_t>(d))) return std::nullopt;
  return static_cast<std::int64_t>(d);
}

constexpr sal_Int32 kDeleted = css::sheet::ReferenceFlags::COLUMN_DELETED |
                               css::sheet::ReferenceFlags::ROW_DELETED |
                               css::sheet::ReferenceFlags::SHEET_DELETED;
constexpr sal_Int32 kRelative = css::sheet::ReferenceFlags::COLUMN_RELATIVE |
                                css::sheet::ReferenceFlags::ROW_RELATIVE |
                                css::sheet::ReferenceFlags::SHEET_RELATIVE;

// The sheet a reference names, by its index; empty when there is none.
std::string sheet_name_at(const Doc& doc, sal_Int32 index) {
  Reference<css::container::XIndexAccess> sheets(doc->getSheets(), UNO_QUERY);
  if (!sheets.is() || index < 0 || index >= sheets->getCount()) return {};
  Reference<css::container::XNamed> named(sheets->getByIndex(index), UNO_QUERY);
  return named.is() ? u8(named->getName()) : std::string();
}

// What one of our reference cells names now. `gone` when Calc deleted
// what it named; nullopt when the cell holds no reference of ours (none
// written, or one a user or another program changed).
struct Followed {
  bool gone = false;
  Area area;
};
std::optional<Followed> followed(const Doc& doc, const Reference<css::table::XCell>& cell) {
  Reference<css::sheet::XFormulaTokens> tokens(cell, UNO_QUERY);
  if (!tokens.is() || cell->getType() != css::table::CellContentType_FORMULA) return std::nullopt;
  const auto list = tokens->getTokens();
  if (list.getLength() == 0) return Followed{true, {}};  // "=ROW(#REF!)" as a file keeps it
  for (const auto& token : list) {
    css::sheet::SingleReference one;
    css::sheet::ComplexReference two;
    if (token.Data >>= one) {
      two.Reference1 = one;
      two.Reference2 = one;
    } else if (!(token.Data >>= two)) {
      continue;
    }
    const auto& a = two.Reference1;
    const auto& b = two.Reference2;
    if (((a.Flags | b.Flags) & kDeleted) != 0 || a.Row < 0 || a.Column < 0 || b.Row < a.Row ||
        b.Column < a.Column) {
      return Followed{true, {}};
    }
    if (((a.Flags | b.Flags) & kRelative) != 0) return std::nullopt;  // not as written
    Followed f;
    f.area.sheet = sheet_name_at(doc, a.Sheet);
    if (f.area.sheet.empty()) return Followed{true, {}};
    f.area.block =
        host::Block{std::int64_t{a.Row} + 1, std::int64_t{a.Column} + 1,
                    std::int64_t{b.Row} - a.Row + 1, std::int64_t{b.Column} - a.Column + 1};
    return f;
  }
  return std::nullopt;
}

// quillo's record sheet of the document (signed in A1); null when none.
Sheet record_sheet(const Doc& doc) {
  Reference<css::container::XNameAccess> sheets(doc->getSheets(), UNO_QUERY);
  const OUString name = ou(host::kBlockStoreSheet);
  if (!sheets.is() || !sheets->hasByName(name)) return {};
  Sheet sheet(sheets->getByName(name), UNO_QUERY);
  if (!sheet.is()) return {};
  const Reference<css::table::XCell> a1 = sheet->getCellByPosition(0, 0);
  if (u8(a1->getFormula()) != host::kBlockStoreSignature) return {};
  return sheet;
}

// The record sheet's rows below the signature, columns A:L.
struct Line {
  sal_Int32 at = 0;  // 0-based row of the record sheet
  Sequence<Any> cells;
  std::string name() const { return text_of(cells[kName]); }
  std::optional<Place> place() const {
    const auto row = number_of(cells[kRow]), col = number_of(cells[kCol]);
    if (name().empty() || !row || !col) return std::nullopt;
    return Place{name(), *row, *col};
  }
  host::Block block() const {
    const auto top = number_of(cells[kTop]), left = number_of(cells[kLeft]);
    const auto rows = number_of(cells[kRows]), cols = number_of(cells[kCols]);
    if (!top || !left || !rows || !cols) return {};
    return host::Block{*top, *left, *rows, *cols};
  }
};
std::vector<Line> record_lines(const Sheet& sheet) {
  std::vector<Line> out;
  const auto cursor = sheet->createCursor();
  Reference<css::sheet::XUsedAreaCursor> used(cursor, UNO_QUERY);
  Reference<css::sheet::XCellRangeAddressable> at(cursor, UNO_QUERY);
  if (!used.is() || !at.is()) return out;
  used->gotoEndOfUsedArea(false);
  const sal_Int32 last = at->getRangeAddress().EndRow;
  if (last < 1) return out;
  Reference<css::sheet::XCellRangeData> data(sheet->getCellRangeByPosition(0, 1, kWidth - 1, last),
                                             UNO_QUERY);
  if (!data.is()) return out;
  const auto rows = data->getDataArray();
  for (sal_Int32 r = 0; r < rows.getLength(); ++r) {
    if (rows[r].getLength() < kWidth) continue;
    out.push_back(Line{r + 1, rows[r]});
  }
  return out;
}

void clear_cells(const Doc& doc, const Sheet& sheet, sal_Int32 row, sal_Int32 first,
                 sal_Int32 last) {
  Reference<css::sheet::XSheetOperation> op(sheet->getCellRangeByPosition(first, row, last, row),
                                            UNO_QUERY);
  if (op.is()) {
    const UndoOff off(doc);
    op->clearContents(css::sheet::CellFlags::VALUE | css::sheet::CellFlags::DATETIME |
                      css::sheet::CellFlags::STRING | css::sheet::CellFlags::FORMULA);
  }
}

// Writes the references of the record line as its literal says, stamped
// with its fingerprint.
void anchor(const Doc& doc, const Sheet& records, const Line& line) {
  const auto place = line.place();
  clear_cells(doc, records, line.at, kCellRef, kCut);
  if (!place) return;
  const std::string sheet = quoted_sheet(place->sheet);
  {
    const UndoOff off(doc);
    records->getCellByPosition(kCellRef, line.at)
        ->setFormula(ou("=ROW(" + sheet + absolute(place->row, place->col) + ")"));
  }
  const host::Block b = line.block();
  if (!b.empty()) {
    const UndoOff off(doc);
    records->getCellByPosition(kBlockRef, line.at)
        ->setFormula(ou("=ROWS(" + sheet + absolute(b.top, b.left) + ":" +
                        absolute(b.bottom(), b.right()) + ")"));
  }
  const UndoOff off(doc);
  Reference<css::text::XTextRange>(records->getCellByPosition(kStamp, line.at), UNO_QUERY)
      ->setString(ou(text_of(line.cells[kPrint])));
}

// Writes the literal's place and block (columns A:G).
void write_literal(const Doc& doc, const Sheet& records, sal_Int32 at, const Place& p,
                   const host::Block& b) {
  Reference<css::sheet::XCellRangeData> data(records->getCellRangeByPosition(kName, at, kCols, at),
                                             UNO_QUERY);
  Sequence<Sequence<Any>> rows(1);
  Sequence<Any> line(kCols + 1);
  line[kName] <<= ou(p.sheet);
  line[kRow] <<= static_cast<double>(p.row);
  line[kCol] <<= static_cast<double>(p.col);
  line[kTop] <<= static_cast<double>(b.empty() ? 0 : b.top);
  line[kLeft] <<= static_cast<double>(b.empty() ? 0 : b.left);
  line[kRows] <<= static_cast<double>(b.empty() ? 0 : b.rows);
  line[kCols] <<= static_cast<double>(b.empty() ? 0 : b.cols);
  rows[0] = line;
  const UndoOff off(doc);
  data->setDataArray(rows);
}

bool same(const host::Block& a, const host::Block& b) {
  if (a.empty() || b.empty()) return a.empty() == b.empty();
  return a.top == b.top && a.left == b.left && a.rows == b.rows && a.cols == b.cols;
}

bool shows_something(const Doc& doc, const std::string& sheet_name, const host::Block& b) {
  Reference<css::container::XNameAccess> sheets(doc->getSheets(), UNO_QUERY);
  if (b.empty() || !sheets.is() || !sheets->hasByName(ou(sheet_name))) return false;
  Sheet sheet(sheets->getByName(ou(sheet_name)), UNO_QUERY);
  const host::Block on = host::on_sheet(b);
  if (!sheet.is() || on.empty()) return false;
  Reference<css::sheet::XCellRangesQuery> query(
      sheet->getCellRangeByPosition(
          static_cast<sal_Int32>(on.left - 1), static_cast<sal_Int32>(on.top - 1),
          static_cast<sal_Int32>(on.right() - 1), static_cast<sal_Int32>(on.bottom() - 1)),
      UNO_QUERY);
  if (!query.is()) return true;
  const auto cells =
      query->queryContentCells(css::sheet::CellFlags::VALUE | css::sheet::CellFlags::DATETIME |
                               css::sheet::CellFlags::STRING | css::sheet::CellFlags::FORMULA);
  return cells.is() && cells->getCount() > 0;
}

}  // namespace

void follow_block_records(const Doc& doc) {
  try {
    const Sheet records = record_sheet(doc);
    if (!records.is()) return;
    struct Now {
      sal_Int32 at;
      Place place;
      bool moved;
    };
    std::vector<Now> now;
    for (Line& line : record_lines(records)) {
      const auto place = line.place();
      const bool has_refs = [&] {
        for (sal_Int32 c = kCellRef; c <= kCut; ++c) {
          if (line.cells[c].hasValue() && !text_of(line.cells[c]).empty()) return true;
          double d = 0;
          if (line.cells[c] >>= d) return true;
        }
        return records->getCellByPosition(kCellRef, line.at)->getType() ==
               css::table::CellContentType_FORMULA;
      }();
      if (!place) {
        // A record dropped by the shared code: its references go too.
        if (has_refs) clear_cells(doc, records, line.at, kCellRef, kCut);
        continue;
      }
      const auto cell = followed(doc, records->getCellByPosition(kCellRef, line.at));
      const std::string stamp = text_of(line.cells[kStamp]);
      if (!cell || stamp != text_of(line.cells[kPrint])) {
        // Written by another host or an older quillo: the literal is all
        // that is known; from here on it is followed.
        anchor(doc, records, line);
        now.push_back({line.at, *place, false});
        continue;
      }
      if (cell->gone) {
        // The formula cell was deleted: the record names nothing.
        clear_cells(doc, records, line.at, kName, kCut);
        continue;
      }
      const host::Block was = line.block();
      host::Block block;
      bool cut = text_of(line.cells[kCut]) == kCutMark;
      if (!was.empty()) {
        const auto area = followed(doc, records->getCellByPosition(kBlockRef, line.at));
        if (!area) {
          anchor(doc, records, line);
          now.push_back({line.at, *place, false});
          continue;
        }
        if (!area->gone && area->area.sheet == cell->area.sheet) {
          block = area->area.block;
          if (block.rows != was.rows || block.cols != was.cols) cut = true;
        }
        if (block.empty()) clear_cells(doc, records, line.at, kBlockRef, kBlockRef);
      }
      const Place at{cell->area.sheet, cell->area.block.top, cell->area.block.left};
      const bool moved = at.sheet != place->sheet || at.row != place->row || at.col != place->col;
      if (moved || !same(block, was)) write_literal(doc, records, line.at, at, block);
      if (cut && text_of(line.cells[kCut]) != kCutMark) {
        const UndoOff off(doc);
        Reference<css::text::XTextRange>(records->getCellByPosition(kCut, line.at), UNO_QUERY)
            ->setString(ou(kCutMark));
      }
      now.push_back({line.at, at, moved});
    }
    // A cell named twice: a formula moved onto a recorded one replaced
    // it. The moved record stays, else the last (as the shared code
    // reads it).
    std::map<std::tuple<std::string, std::int64_t, std::int64_t>, std::size_t> keep;
    for (std::size_t i = 0; i < now.size(); ++i) {
      const auto key =
          std::make_tuple(text::upper(now[i].place.sheet), now[i].place.row, now[i].place.col);
      const auto [it, fresh] = keep.emplace(key, i);
      if (fresh) continue;
      std::size_t& kept = it->second;
      const bool replace = now[i].moved || !now[kept].moved;
      const std::size_t dropped = replace ? kept : i;
      clear_cells(doc, records, now[dropped].at, kName, kCut);
      if (replace) kept = i;
    }
  } catch (const css::uno::Exception& e) {
    std::cerr << "quillo: the block record could not follow the sheets: " << u8(e.Message) << "\n";
  }
}

void anchor_block_record(const Doc& doc, std::string_view sheet, std::int64_t row,
                         std::int64_t col) {
  try {
    const Sheet records = record_sheet(doc);
    if (!records.is()) return;
    const Line* found = nullptr;
    const auto lines = record_lines(records);
    for (const Line& line : lines) {
      const auto p = line.place();
      if (p && text::iequals(p->sheet, sheet) && p->row == row && p->col == col) found = &line;
    }
    if (found) anchor(doc, records, *found);
  } catch (const css::uno::Exception& e) {
    std::cerr << "quillo: the block record could not be anchored: " << u8(e.Message) << "\n";
  }
}

std::string cut_block_of(const Doc& doc, std::string_view sheet, std::int64_t row,
                         std::int64_t col) {
  try {
    const Sheet records = record_sheet(doc);
    if (!records.is()) return {};
    const auto lines = record_lines(records);
    const Line* found = nullptr;
    for (const Line& line : lines) {
      const auto p = line.place();
      if (p && text::iequals(p->sheet, sheet) && p->row == row && p->col == col) found = &line;
    }
    if (!found || text_of(found->cells[kCut]) != kCutMark) return {};
    const host::Block b = found->block();
    if (!shows_something(doc, found->name(), b)) return {};
    return host::a1_address(b.top, b.left) + ":" + host::a1_address(b.bottom(), b.right());
  } catch (const css::uno::Exception&) {
    return {};
  }
}

}  // namespace quillo::lo
