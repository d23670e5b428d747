#include "libreoffice/calc_workbook.h"

#include <algorithm>

#include <com/sun/star/beans/XPropertySet.hpp>
#include <com/sun/star/container/XIndexAccess.hpp>
#include <com/sun/star/container/XNameAccess.hpp>
#include <com/sun/star/container/XNamed.hpp>
#include <com/sun/star/sheet/CellFlags.hpp>
#include <com/sun/star/sheet/XCellRangeAddressable.hpp>
#include <com/sun/star/sheet/XCellRangeData.hpp>
#include <com/sun/star/sheet/XCellRangesQuery.hpp>
#include <com/sun/star/sheet/XSheetCellRanges.hpp>
#include <com/sun/star/sheet/XSheetOperation.hpp>
#include <com/sun/star/sheet/XSpreadsheets.hpp>
#include <com/sun/star/sheet/XUsedAreaCursor.hpp>
#include <com/sun/star/table/CellContentType.hpp>
#include <com/sun/star/table/XCell.hpp>
#include <com/sun/star/table/XCellRange.hpp>
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

}  // namespace quillo::lo
