#include "libreoffice/calc_documents.h"

#include <iostream>

#include <com/sun/star/awt/MessageBoxType.hpp>
#include <com/sun/star/awt/Toolkit.hpp>
#include <com/sun/star/awt/XMessageBox.hpp>
#include <com/sun/star/awt/XMessageBoxFactory.hpp>
#include <com/sun/star/awt/XWindowPeer.hpp>
#include <com/sun/star/beans/XPropertySet.hpp>
#include <com/sun/star/container/XEnumeration.hpp>
#include <com/sun/star/container/XEnumerationAccess.hpp>
#include <com/sun/star/container/XIndexAccess.hpp>
#include <com/sun/star/container/XNameAccess.hpp>
#include <com/sun/star/frame/Desktop.hpp>
#include <com/sun/star/frame/XFrame.hpp>
#include <com/sun/star/lang/Locale.hpp>
#include <com/sun/star/sheet/CellFlags.hpp>
#include <com/sun/star/sheet/XCalculatable.hpp>
#include <com/sun/star/sheet/XCellAddressable.hpp>
#include <com/sun/star/sheet/XCellRangeAddressable.hpp>
#include <com/sun/star/sheet/XCellRangeData.hpp>
#include <com/sun/star/sheet/XCellRangesQuery.hpp>
#include <com/sun/star/sheet/XSheetCellRanges.hpp>
#include <com/sun/star/sheet/XSpreadsheet.hpp>
#include <com/sun/star/sheet/XSpreadsheetDocument.hpp>
#include <com/sun/star/sheet/XSpreadsheets.hpp>
#include <com/sun/star/sheet/XUsedAreaCursor.hpp>
#include <com/sun/star/table/CellAddress.hpp>
#include <com/sun/star/table/CellContentType.hpp>
#include <com/sun/star/table/XCell.hpp>
#include <com/sun/star/table/XCellRange.hpp>
#include <com/sun/star/text/XTextRange.hpp>
#include <com/sun/star/uno/Sequence.hxx>
#include <com/sun/star/util/XNumberFormats.hpp>
#include <com/sun/star/util/XNumberFormatsSupplier.hpp>
#include <rtl/ustring.hxx>

#include "common/text.h"
#include "libreoffice/uno_values.h"

namespace css = com::sun::star;
using css::uno::Any;
using css::uno::Reference;
using css::uno::Sequence;
using css::uno::UNO_QUERY;
using css::uno::XComponentContext;
using css::uno::XInterface;
using rtl::OString;
using rtl::OUString;

namespace quillo::lo {

namespace {

OUString ou(std::string_view s) {
  return OUString(s.data(), static_cast<sal_Int32>(s.size()), RTL_TEXTENCODING_UTF8);
}

[[maybe_unused]] std::string u8(const OUString& s) {
  const OString o = OUStringToOString(s, RTL_TEXTENCODING_UTF8);
  return std::string(o.getStr(), static_cast<std::size_t>(o.getLength()));
}

// Every formula cell of the sheet whose formula calls quillo, with its text.
struct FormulaCell {
  Reference<css::table::XCell> cell;
  std::string formula;
};
std::vector<FormulaCell> quillo_cells(const Reference<css::sheet::XSpreadsheet>& sheet) {
  std::vector<FormulaCell> out;
  Reference<css::sheet::XCellRangesQuery> query(sheet, UNO_QUERY);
  if (!query.is()) return out;
  const auto ranges = query->queryContentCells(css::sheet::CellFlags::FORMULA);
  if (!ranges.is() || ranges->getCount() == 0) return out;
  const auto cells = ranges->getCells();
  if (!cells.is()) return out;
  const auto e = cells->createEnumeration();
  while (e.is() && e->hasMoreElements()) {
    Reference<css::table::XCell> cell(e->nextElement(), UNO_QUERY);
    if (!cell.is()) continue;
    std::string formula = u8(cell->getFormula());
    if (host::lo::calls_quillo(formula)) out.push_back({cell, std::move(formula)});
  }
  return out;
}

std::vector<Reference<css::sheet::XSpreadsheetDocument>> open_documents(
    const Reference<XComponentContext>& ctx) {
  std::vector<Reference<css::sheet::XSpreadsheetDocument>> out;
  const auto desktop = css::frame::Desktop::create(ctx);
  const auto components = desktop->getComponents();
  if (!components.is()) return out;
  const auto e = components->createEnumeration();
  while (e.is() && e->hasMoreElements()) {
    Reference<css::sheet::XSpreadsheetDocument> doc(e->nextElement(), UNO_QUERY);
    if (doc.is()) out.push_back(doc);
  }
  return out;
}

std::vector<Reference<css::sheet::XSpreadsheet>> sheets_of(
    const Reference<css::sheet::XSpreadsheetDocument>& doc) {
  std::vector<Reference<css::sheet::XSpreadsheet>> out;
  Reference<css::container::XIndexAccess> sheets(doc->getSheets(), UNO_QUERY);
  if (!sheets.is()) return out;
  for (sal_Int32 i = 0; i < sheets->getCount(); ++i) {
    Reference<css::sheet::XSpreadsheet> s(sheets->getByIndex(i), UNO_QUERY);
    if (s.is()) out.push_back(s);
  }
  return out;
}

// The value an argument of a formula stands for: a quoted text, a number,
// or a reference ("A1", "$B$2:C9", "Sheet2.A1", "$'My sheet'.A1:B3") read
// from the document. Anything else (a function, an expression) cannot be
// told without Calc computing it: nullopt.
std::optional<Value> argument_value(const std::string& arg,
                                    const Reference<css::sheet::XSpreadsheetDocument>& doc,
                                    const Reference<css::sheet::XSpreadsheet>& sheet) {
  if (arg.empty()) return Value(Missing{});
  std::string literal;
  if (host::lo::text_literal(arg, literal)) return Value(literal);
  if (const auto n = text::locale_number(arg); n && arg.find(',') == std::string::npos) {
    return Value(*n);
  }
  std::string ref = arg;
  Reference<css::sheet::XSpreadsheet> on = sheet;
  const auto dot = ref.rfind('.');
  if (dot != std::string::npos) {
    std::string name = ref.substr(0, dot);
    ref = ref.substr(dot + 1);
    if (!name.empty() && name.front() == '$') name.erase(0, 1);
    if (name.size() >= 2 && name.front() == '\'' && name.back() == '\'') {
      std::string unq;
      for (std::size_t i = 1; i + 1 < name.size(); ++i) {
        if (name[i] == '\'' && i + 2 < name.size() && name[i + 1] == '\'') ++i;
        unq += name[i];
      }
      name = unq;
    }
    Reference<css::container::XNameAccess> sheets(doc->getSheets(), UNO_QUERY);
    if (!sheets.is() || !sheets->hasByName(ou(name))) return std::nullopt;
    on.set(sheets->getByName(ou(name)), UNO_QUERY);
  }
  if (!on.is()) return std::nullopt;
  // "A1:Sheet.B2" style second parts name the same sheet.
  if (const auto colon = ref.find(':'); colon != std::string::npos) {
    const auto dot2 = ref.find('.', colon);
    if (dot2 != std::string::npos) ref = ref.substr(0, colon + 1) + ref.substr(dot2 + 1);
  }
  if (!host::lo::parse_live_address(ref).ok()) return std::nullopt;
  try {
    Reference<css::sheet::XCellRangeData> data(on->getCellRangeByName(ou(ref)), UNO_QUERY);
    if (!data.is()) return std::nullopt;
    return argument(Any(data->getDataArray()));
  } catch (const css::uno::Exception&) {
    return std::nullopt;
  }
}

// Whether the formula cell makes exactly this call.
bool makes_call(const FormulaCell& fc, const BlockWrite& b,
                const Reference<css::sheet::XSpreadsheetDocument>& doc,
                const Reference<css::sheet::XSpreadsheet>& sheet) {
  std::vector<std::string> args;
  if (!host::lo::formula_arguments(fc.formula, b.function, args)) return false;
  host::lo::LiveCall call;
  call.function = b.function;
  for (std::size_t i = 0; i < b.args.size(); ++i) {
    if (i >= args.size()) {
      call.args.emplace_back(Missing{});
      continue;
    }
    const auto v = argument_value(args[i], doc, sheet);
    if (!v) {
      // An argument Calc computes: the cell is taken to make the call when
      // it shows what the call shows.
      const Reference<css::text::XTextRange> shown(fc.cell, UNO_QUERY);
      return shown.is() && u8(shown->getString()) == b.change.value.to_text();
    }
    call.args.push_back(*v);
  }
  host::lo::LiveCall wanted;
  wanted.function = b.function;
  wanted.args = b.args;
  return host::lo::live_call_key(call) == host::lo::live_call_key(wanted);
}

// Writes the table around the cell at (row, col) of the sheet: every cell
// of the block but the calling cell itself, formulas left alone.
// Dates are written as their serials and shown in the document's
// "YYYY-MM-DD" number format (date_format; -1 when there is none).
void write_block(const Reference<css::sheet::XSpreadsheet>& sheet, sal_Int32 row, sal_Int32 col,
                 const host::lo::LiveChange& change, sal_Int32 date_format) {
  const sal_Int32 rows = change.block_rows;
  const sal_Int32 cols = change.block_cols;
  const sal_Int32 last_row = std::min<sal_Int32>(row + rows - 1, 1048575);
  const sal_Int32 last_col = std::min<sal_Int32>(col + cols - 1, 16383);
  auto value_at = [&](sal_Int32 r, sal_Int32 c) -> Any {
    const Value& v = change.block[static_cast<std::size_t>(r) * static_cast<std::size_t>(cols) +
                                  static_cast<std::size_t>(c)];
    return v.is_empty() ? Any(OUString()) : to_any(v);
  };
  // The block's parts: the calling cell's row to its right, the rows below.
  struct Part {
    sal_Int32 top, left, bottom, right;
  };
  std::vector<Part> parts;
  if (last_col > col) parts.push_back({row, col + 1, row, last_col});
  if (last_row > row) parts.push_back({row + 1, col, last_row, last_col});
  auto is_date = [&](sal_Int32 r, sal_Int32 c) {
    return change
               .block[static_cast<std::size_t>(r) * static_cast<std::size_t>(cols) +
                      static_cast<std::size_t>(c)]
               .type() == ValueType::Date;
  };
  // Each run of dates down a column gets the date format.
  auto format_dates = [&](const Part& p) {
    if (date_format < 0) return;
    for (sal_Int32 c = p.left; c <= p.right; ++c) {
      sal_Int32 r = p.top;
      while (r <= p.bottom) {
        if (!is_date(r - row, c - col)) {
          ++r;
          continue;
        }
        sal_Int32 end = r;
        while (end + 1 <= p.bottom && is_date(end + 1 - row, c - col)) ++end;
        Reference<css::beans::XPropertySet> props(sheet->getCellRangeByPosition(c, r, c, end),
                                                  UNO_QUERY);
        if (props.is()) props->setPropertyValue("NumberFormat", Any(date_format));
        r = end + 1;
      }
    }
  };
  for (const Part& p : parts) {
    format_dates(p);
    const auto range = sheet->getCellRangeByPosition(p.left, p.top, p.right, p.bottom);
    Reference<css::sheet::XCellRangesQuery> query(range, UNO_QUERY);
    const bool has_formula =
        query.is() && query->queryContentCells(css::sheet::CellFlags::FORMULA)->getCount() > 0;
    if (!has_formula) {
      Reference<css::sheet::XCellRangeData> data(range, UNO_QUERY);
      Sequence<Sequence<Any>> values(p.bottom - p.top + 1);
      for (sal_Int32 r = p.top; r <= p.bottom; ++r) {
        Sequence<Any> line(p.right - p.left + 1);
        for (sal_Int32 c = p.left; c <= p.right; ++c) line[c - p.left] = value_at(r - row, c - col);
        values[r - p.top] = line;
      }
      data->setDataArray(values);
      continue;
    }
    // A formula in the way keeps its cell; the others are written one by one.
    for (sal_Int32 r = p.top; r <= p.bottom; ++r) {
      for (sal_Int32 c = p.left; c <= p.right; ++c) {
        const auto cell = sheet->getCellByPosition(c, r);
        if (cell->getType() == css::table::CellContentType_FORMULA) continue;
        Reference<css::sheet::XCellRangeData> one(sheet->getCellRangeByPosition(c, r, c, r),
                                                  UNO_QUERY);
        Sequence<Sequence<Any>> v(1);
        Sequence<Any> line(1);
        line[0] = value_at(r - row, c - col);
        v[0] = line;
        one->setDataArray(v);
      }
    }
  }
}

// The key of the document's "YYYY-MM-DD" number format, added when it
// has none; -1 when the document keeps no formats.
sal_Int32 date_format_key(const Reference<css::sheet::XSpreadsheetDocument>& doc) {
  Reference<css::util::XNumberFormatsSupplier> supplier(doc, UNO_QUERY);
  if (!supplier.is()) return -1;
  const auto formats = supplier->getNumberFormats();
  if (!formats.is()) return -1;
  const css::lang::Locale locale("en", "US", "");
  const OUString code("YYYY-MM-DD");
  const sal_Int32 key = formats->queryKey(code, locale, false);
  return key >= 0 ? key : formats->addNew(code, locale);
}

}  // namespace

void write_blocks(const Reference<XComponentContext>& ctx, const std::vector<BlockWrite>& blocks) {
  try {
    for (const auto& doc : open_documents(ctx)) {
      sal_Int32 date_format = -2;  // looked up on the first table written
      for (const auto& sheet : sheets_of(doc)) {
        for (const FormulaCell& fc : quillo_cells(sheet)) {
          for (const BlockWrite& b : blocks) {
            if (!makes_call(fc, b, doc, sheet)) continue;
            Reference<css::sheet::XCellAddressable> at(fc.cell, UNO_QUERY);
            if (!at.is()) continue;
            const css::table::CellAddress a = at->getCellAddress();
            if (date_format == -2) date_format = date_format_key(doc);
            write_block(sheet, a.Row, a.Column, b.change, date_format);
          }
        }
      }
    }
  } catch (const css::uno::Exception& e) {
    std::cerr << "quillo: a table could not be written: " << u8(e.Message) << "\n";
  }
}

Value link_store_of(const Reference<XInterface>& document) {
  try {
    Reference<css::sheet::XSpreadsheetDocument> doc(document, UNO_QUERY);
    if (!doc.is()) return Value();
    Reference<css::container::XNameAccess> sheets(doc->getSheets(), UNO_QUERY);
    const OUString name("weblinks_data");
    if (!sheets.is() || !sheets->hasByName(name)) return Value();
    Reference<css::sheet::XSpreadsheet> sheet(sheets->getByName(name), UNO_QUERY);
    if (!sheet.is()) return Value();
    const auto cursor = sheet->createCursor();
    Reference<css::sheet::XUsedAreaCursor> used(cursor, UNO_QUERY);
    Reference<css::sheet::XCellRangeAddressable> at(cursor, UNO_QUERY);
    if (!used.is() || !at.is()) return Value();
    used->gotoEndOfUsedArea(false);
    const auto end = at->getRangeAddress();
    Reference<css::sheet::XCellRangeData> data(
        sheet->getCellRangeByPosition(0, 0, end.EndColumn, end.EndRow), UNO_QUERY);
    if (!data.is()) return Value();
    return argument(Any(data->getDataArray()));
  } catch (const css::uno::Exception&) {
    return Value();  // no store: the link is not found
  }
}

void recalculate_quillo_cells(const Reference<XInterface>& model) {
  try {
    Reference<css::sheet::XSpreadsheetDocument> doc(model, UNO_QUERY);
    if (!doc.is()) return;
    for (const auto& sheet : sheets_of(doc)) {
      if (quillo_cells(sheet).empty()) continue;
      Reference<css::sheet::XCalculatable> calc(doc, UNO_QUERY);
      if (calc.is()) calc->calculateAll();
      return;
    }
  } catch (const css::uno::Exception& e) {
    std::cerr << "quillo: the document could not be recalculated: " << u8(e.Message) << "\n";
  }
}

void show_message(const Reference<XComponentContext>& ctx, const std::string& title,
                  const std::string& text) {
  std::cerr << title << ": " << text << "\n";
  try {
    const auto desktop = css::frame::Desktop::create(ctx);
    const auto frame = desktop->getCurrentFrame();
    if (!frame.is()) return;
    Reference<css::awt::XWindowPeer> parent(frame->getContainerWindow(), UNO_QUERY);
    if (!parent.is()) return;
    Reference<css::awt::XMessageBoxFactory> factory(css::awt::Toolkit::create(ctx), UNO_QUERY);
    if (!factory.is()) return;
    const auto box =
        factory->createMessageBox(parent, css::awt::MessageBoxType_INFOBOX, 1, ou(title), ou(text));
    if (box.is()) box->execute();
  } catch (const css::uno::Exception&) {
    // No window to show it in; standard error has it.
  }
}

}  // namespace quillo::lo
