#include "libreoffice/calc_documents.h"

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <map>
#include <optional>
#include <set>

#include <com/sun/star/awt/MessageBoxType.hpp>
#include <com/sun/star/awt/Toolkit.hpp>
#include <com/sun/star/awt/XMessageBox.hpp>
#include <com/sun/star/awt/XMessageBoxFactory.hpp>
#include <com/sun/star/awt/XWindowPeer.hpp>
#include <com/sun/star/beans/PropertyValue.hpp>
#include <com/sun/star/beans/XPropertySet.hpp>
#include <com/sun/star/container/XEnumeration.hpp>
#include <com/sun/star/container/XEnumerationAccess.hpp>
#include <com/sun/star/container/XIndexAccess.hpp>
#include <com/sun/star/container/XNameAccess.hpp>
#include <com/sun/star/container/XNamed.hpp>
#include <com/sun/star/frame/Desktop.hpp>
#include <com/sun/star/frame/XFrame.hpp>
#include <com/sun/star/frame/XTitle.hpp>
#include <com/sun/star/lang/Locale.hpp>
#include <com/sun/star/sheet/CellFlags.hpp>
#include <com/sun/star/sheet/FormulaResult.hpp>
#include <com/sun/star/sheet/XCalculatable.hpp>
#include <com/sun/star/sheet/XCellAddressable.hpp>
#include <com/sun/star/sheet/XCellRangeAddressable.hpp>
#include <com/sun/star/sheet/XCellRangeData.hpp>
#include <com/sun/star/sheet/XCellRangesQuery.hpp>
#include <com/sun/star/sheet/XFormulaQuery.hpp>
#include <com/sun/star/sheet/XSheetCellRange.hpp>
#include <com/sun/star/sheet/XSheetCellRanges.hpp>
#include <com/sun/star/sheet/XSheetOperation.hpp>
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
#include "host/libreoffice/shared_outcome.h"
#include "host/output_blocks.h"
#include "libreoffice/calc_scratch.h"
#include "libreoffice/calc_undo.h"
#include "libreoffice/calc_workbook.h"
#include "libreoffice/calc_write_checks.h"
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

// An inline array of texts and numbers as Calc's API writes it
// ({"SORT";"ASC"}: ";" between columns, "|" between rows); nullopt for
// anything else.
std::optional<Value> array_literal(const std::string& arg) {
  if (arg.size() < 2 || arg.front() != '{' || arg.back() != '}') return std::nullopt;
  Array a;
  std::vector<std::vector<std::string>> rows(1);
  std::string item;
  bool quoted = false;
  for (std::size_t i = 1; i + 1 < arg.size(); ++i) {
    const char c = arg[i];
    if (c == '"') quoted = !quoted;
    if (!quoted && (c == ';' || c == '|')) {
      rows.back().push_back(std::string(text::trim(item)));
      item.clear();
      if (c == '|') rows.emplace_back();
      continue;
    }
    item += c;
  }
  if (quoted) return std::nullopt;
  rows.back().push_back(std::string(text::trim(item)));
  a.rows = static_cast<std::int32_t>(rows.size());
  a.cols = static_cast<std::int32_t>(rows.front().size());
  for (const auto& row : rows) {
    if (static_cast<std::int32_t>(row.size()) != a.cols) return std::nullopt;
    for (const std::string& text : row) {
      std::string literal;
      if (host::lo::text_literal(text, literal)) {
        a.items.emplace_back(literal);
        continue;
      }
      char* end = nullptr;
      const double n = std::strtod(text.c_str(), &end);
      if (text.empty() || end != text.c_str() + text.size()) return std::nullopt;
      a.items.emplace_back(n);
    }
  }
  // A one-item array arrives as its item, as a one-cell range does.
  if (a.items.size() == 1) return a.items.front();
  return Value(std::move(a));
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
  if (arg.front() == '{') return array_literal(arg);
  const auto ref = resolve_reference(arg, doc, sheet);
  if (!ref) return std::nullopt;
  try {
    return range_values(ref->sheet->getCellRangeByName(ou(ref->address)));
  } catch (const css::uno::Exception&) {
    return std::nullopt;
  }
}

// The value Calc computes for an argument's expression, when that can be
// known for sure: not when it reads other cells or names (it is computed
// away from them), fails, or is volatile (NOW(), RAND(): computed again it
// would differ).
std::optional<Value> computed_value(const Reference<XComponentContext>& ctx,
                                    const std::string& expression) {
  const std::string upper = text::upper(expression);
  for (const char* volatile_call : {"NOW(", "RAND", "OFFSET(", "INDIRECT(", "INFO(", "CELL("}) {
    if (upper.find(volatile_call) != std::string::npos) return std::nullopt;
  }
  try {
    // In the component's own scratch document (calc_scratch.h), made again
    // when it was closed.
    const Reference<css::table::XCell> cell = scratch_cell(ctx);
    if (!cell.is()) return std::nullopt;
    struct Unmodified {
      ~Unmodified() { scratch_written(); }
    } unmodified;
    cell->setFormula(ou("=" + expression));
    if (cell->getError() != 0) return std::nullopt;
    Reference<css::sheet::XFormulaQuery> query(cell, UNO_QUERY);
    if (!query.is()) return std::nullopt;
    // Calc lists the formula's own cell among its precedents; any other
    // cell is one the expression reads.
    const auto precedents = query->queryPrecedents(false);
    if (precedents.is()) {
      for (const auto& r : precedents->getRangeAddresses()) {
        if (r.StartRow != 0 || r.EndRow != 0 || r.StartColumn != 0 || r.EndColumn != 0) {
          return std::nullopt;
        }
      }
    }
    Reference<css::beans::XPropertySet> props(cell, UNO_QUERY);
    sal_Int32 type = 0;
    if (props.is()) props->getPropertyValue("FormulaResultType2") >>= type;
    if (type == css::sheet::FormulaResult::VALUE) return Value(cell->getValue());
    if (type == css::sheet::FormulaResult::STRING) {
      const Reference<css::text::XTextRange> shown(cell, UNO_QUERY);
      return shown.is() ? std::optional<Value>(Value(u8(shown->getString()))) : std::nullopt;
    }
    return std::nullopt;
  } catch (const css::uno::Exception&) {
    return std::nullopt;
  }
}

// Whether the formula cell makes this call: its arguments' values, as far
// as they can be known (literals, references read from the document,
// expressions computed in the scratch document), against the call's.
using Computed = std::map<std::string, std::optional<Value>>;
host::lo::CallMatch makes_call(const Reference<XComponentContext>& ctx, Computed& computed_values,
                               const FormulaCell& fc, const BlockWrite& b,
                               const Reference<css::sheet::XSpreadsheetDocument>& doc,
                               const Reference<css::sheet::XSpreadsheet>& sheet) {
  std::vector<std::string> args;
  if (!host::lo::formula_arguments(fc.formula, b.function, args)) return host::lo::CallMatch::Not;
  // A cell owns one table: its outermost writing call's. A call nested in
  // another's arguments only feeds it a value.
  if (host::lo::nested_in_writing_call(fc.formula, b.function)) return host::lo::CallMatch::Not;
  std::vector<std::optional<Value>> values;
  host::lo::LiveCall wanted;
  wanted.function = b.function;
  wanted.args = b.args;
  // The known arguments first, so a cell that differs in one of them is
  // told apart without computing anything.
  std::vector<std::size_t> computed;
  for (std::size_t i = 0; i < args.size(); ++i) {
    values.push_back(argument_value(args[i], doc, sheet));
    if (!values.back()) computed.push_back(i);
  }
  if (host::lo::match_call(values, wanted) == host::lo::CallMatch::Not) {
    return host::lo::CallMatch::Not;
  }
  for (const std::size_t i : computed) {
    const auto known = computed_values.find(args[i]);
    values[i] = known != computed_values.end()
                    ? known->second
                    : computed_values.emplace(args[i], computed_value(ctx, args[i])).first->second;
  }
  const auto match = host::lo::match_call(values, wanted);
  if (match != host::lo::CallMatch::Unknown) return match;
  // A cell that shows something else listens to another call.
  const Reference<css::text::XTextRange> shown(fc.cell, UNO_QUERY);
  return shown.is() && u8(shown->getString()) == b.shown ? host::lo::CallMatch::Unknown
                                                         : host::lo::CallMatch::Not;
}

// The block each formula cell wrote last in this session, by document,
// sheet name and cell: what is cleared when the document's own record
// (the record sheet of host/output_blocks.h) cannot be used, as when a
// user's sheet has its name. Main thread only.
struct Owner {
  const void* doc;
  std::string sheet;
  sal_Int32 row, col;  // 0-based
  auto operator<=>(const Owner&) const = default;
};
std::map<Owner, host::Block>& remembered_blocks() {
  static std::map<Owner, host::Block> blocks;
  return blocks;
}

// Where the change's values lie on the sheet (1-based): the smallest
// rectangle holding every value written around the calling cell; empty
// when none is.
host::Block block_of(const host::lo::LiveChange& change, sal_Int32 row, sal_Int32 col) {
  std::int32_t top = -1, left = -1, bottom = -1, right = -1;
  for (std::int32_t r = 0; r < change.block_rows; ++r) {
    for (std::int32_t c = 0; c < change.block_cols; ++c) {
      if (r == 0 && c == 0) continue;
      const Value& v =
          change.block[static_cast<std::size_t>(r) * static_cast<std::size_t>(change.block_cols) +
                       static_cast<std::size_t>(c)];
      if (v.is_empty() || (v.is_text() && v.text().empty())) continue;
      top = top < 0 ? r : std::min(top, r);
      left = left < 0 ? c : std::min(left, c);
      bottom = std::max(bottom, r);
      right = std::max(right, c);
    }
  }
  if (top < 0) return host::Block{};
  return host::Block{std::int64_t{row} + 1 + top, std::int64_t{col} + 1 + left, bottom - top + 1,
                     right - left + 1};
}

// Whether the cells of the parts (0-based, inclusive corners) hold what
// value_at gives for them, and `last` (the block written last) is `whole`.
template <typename Parts, typename ValueAt>
bool already_written(const Reference<css::sheet::XSpreadsheet>& sheet, const host::Block& last,
                     const host::Block& whole, const Parts& parts, const ValueAt& value_at) {
  if (whole.empty() || last.top != whole.top || last.left != whole.left ||
      last.rows != whole.rows || last.cols != whole.cols) {
    return false;
  }
  for (const auto& p : parts) {
    Reference<css::sheet::XCellRangeData> data(
        sheet->getCellRangeByPosition(p.left, p.top, p.right, p.bottom), UNO_QUERY);
    if (!data.is()) return false;
    const auto rows = data->getDataArray();
    for (sal_Int32 r = p.top; r <= p.bottom; ++r) {
      const auto& line = rows[r - p.top];
      for (sal_Int32 c = p.left; c <= p.right; ++c) {
        if (line[c - p.left] != value_at(r, c)) return false;
      }
    }
  }
  return true;
}

// Writes the table around the cell at (row, col) of the sheet, through the
// shared output blocks: every cell of the block but the calling cell
// itself, after clearing the block the cell wrote last (as the document's
// record says, so also one written before the file was saved and
// reopened), and records it in the document. Writes nothing when a
// formula or another formula cell's recorded block is in the way, and
// answers what the calling cell shows then ("Blocked: ..."); empty when
// written. Dates are written as their serials and shown in the document's
// "YYYY-MM-DD" number format (date_format; -1 when there is none).
std::string write_block(const Reference<css::sheet::XSpreadsheetDocument>& doc,
                        const Reference<css::sheet::XSpreadsheet>& sheet, const Owner& owner,
                        const host::lo::LiveChange& change, host::BlockShape shape,
                        sal_Int32 date_format, const std::vector<host::Block>& inputs) {
  const sal_Int32 row = owner.row;
  const sal_Int32 col = owner.col;
  const sal_Int32 cols = change.block_cols;
  const host::WorkbookPtr book = calc_workbook(doc);
  const host::WorksheetPtr ws = calc_worksheet(doc, sheet);
  const host::Block laid = block_of(change, row, col);
  const host::Block whole = host::on_sheet(laid);
  // A block rows were inserted into or deleted from (the record followed
  // the user's edits before the batch) is not known to be quillo's any
  // more.
  if (const std::string cut = cut_block_of(doc, owner.sheet, row + 1, col + 1); !cut.empty()) {
    return not_written_cut_text(cut);
  }
  auto value_at = [&](sal_Int32 r, sal_Int32 c) -> Any {
    const Value& v = change.block[static_cast<std::size_t>(r) * static_cast<std::size_t>(cols) +
                                  static_cast<std::size_t>(c)];
    return v.is_empty() ? Any(OUString()) : to_any(v);
  };
  // The block's parts (0-based, inclusive) without the calling cell: its
  // row to the right of it, the rows below.
  struct Part {
    sal_Int32 top, left, bottom, right;
  };
  std::vector<Part> parts;
  if (!whole.empty()) {
    const Part all{static_cast<sal_Int32>(whole.top - 1), static_cast<sal_Int32>(whole.left - 1),
                   static_cast<sal_Int32>(whole.bottom() - 1),
                   static_cast<sal_Int32>(whole.right() - 1)};
    const bool holds_caller =
        all.top <= row && row <= all.bottom && all.left <= col && col <= all.right;
    if (!holds_caller) {
      parts.push_back(all);
    } else {
      if (all.right > col) parts.push_back({row, col + 1, row, all.right});
      if (all.bottom > row) parts.push_back({row + 1, all.left, all.bottom, all.right});
    }
  }
  // Calc would refuse the write (a protected sheet), or it could not be
  // recorded: nothing is written, and the cell says why.
  // (With nothing to write, the call's own answer says more.)
  if (auto refused = write_refused(doc, sheet, owner.sheet)) {
    return whole.empty() ? std::string() : std::move(*refused);
  }
  // Never over what the formula itself reads: the write would change its
  // input and compute it again, without end.
  if (const auto input = host::covered_input(whole, inputs)) {
    return host::blocked_input_text(*input);
  }
  for (const Part& p : parts) {
    const host::Block b{p.top + 1, p.left + 1, p.bottom - p.top + 1, p.right - p.left + 1};
    if (const auto f = host::first_formula(*ws, b)) return host::blocked_text(*f);
  }
  if (!whole.empty()) {
    host::CellPos other;
    if (const auto hit =
            host::first_in_other_block(*book, *ws, owner.sheet, row + 1, col + 1, whole, other)) {
      return host::blocked_text(*hit, other);
    }
  }
  // The cell's last table goes first, so a shorter one leaves none of its
  // rows behind: only cells still holding what was written, never a
  // formula nor another formula's block.
  auto& remembered = remembered_blocks();
  // A formula cell moved away from its table (cut and pasted alone) has
  // the table it left behind cleared, as far as it is still what was
  // written.
  host::clear_left_behind(*book, *ws, owner.sheet, row + 1, col + 1, shape);
  // A table already in place as it would be written is not written again:
  // every write makes Calc recompute its volatile cells (INDIRECT, TODAY),
  // whose calls would have their tables written again, without end.
  const std::string cut = laid.rows > whole.rows || laid.cols > whole.cols
                              ? host::cut_text(laid.rows - whole.rows, laid.cols - whole.cols)
                              : std::string();
  if (already_written(sheet, remembered[owner], whole, parts,
                      [&](sal_Int32 r, sal_Int32 c) { return value_at(r - row, c - col); })) {
    return cut;
  }
  if (whole.empty() && remembered[owner].empty() &&
      !host::recorded_block(*book, owner.sheet, row + 1, col + 1, shape).has_value()) {
    return cut;  // nothing written before, nothing to write
  }
  host::clear_previous(*book, *ws, owner.sheet, row + 1, col + 1, shape, remembered[owner]);
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
        const UndoOff off(doc);
        if (props.is()) props->setPropertyValue("NumberFormat", Any(date_format));
        r = end + 1;
      }
    }
  };
  for (const Part& p : parts) {
    format_dates(p);
    Reference<css::sheet::XCellRangeData> data(
        sheet->getCellRangeByPosition(p.left, p.top, p.right, p.bottom), UNO_QUERY);
    Sequence<Sequence<Any>> values(p.bottom - p.top + 1);
    for (sal_Int32 r = p.top; r <= p.bottom; ++r) {
      Sequence<Any> line(p.right - p.left + 1);
      for (sal_Int32 c = p.left; c <= p.right; ++c) line[c - p.left] = value_at(r - row, c - col);
      values[r - p.top] = line;
    }
    const UndoOff off(doc);
    data->setDataArray(values);
  }
  remembered[owner] = whole;
  // An empty table (an indicator without a series) records nothing where
  // nothing was recorded: a document quillo never wrote into gets no
  // record sheet.
  if (!whole.empty() ||
      host::recorded_block(*book, owner.sheet, row + 1, col + 1, shape).has_value()) {
    if (host::record_block(*book, owner.sheet, row + 1, col + 1, whole)) {
      anchor_block_record(doc, owner.sheet, row + 1, col + 1);
    }
  }
  // A table that runs past the sheet's last row or column is written as
  // far as it fits, and the cell says what was left out.
  return cut;
}

// The document's title as its window shows it ("Untitled 2", "prices.ods").
std::string document_title(const Reference<css::sheet::XSpreadsheetDocument>& doc) {
  Reference<css::frame::XTitle> title(doc, UNO_QUERY);
  return title.is() ? u8(title->getTitle()) : std::string("another document");
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

std::vector<std::string> write_blocks(const Reference<XComponentContext>& ctx,
                                      const std::vector<BlockWrite>& blocks) {
  std::vector<std::string> shown(blocks.size());
  try {
    // First every cell making each call, in every document; then the
    // writes, only for calls whose cells are all known for sure.
    struct Target {
      Reference<css::sheet::XSpreadsheetDocument> doc;
      Reference<css::sheet::XSpreadsheet> sheet;
      std::string sheet_name;
      css::table::CellAddress at;
      std::vector<host::Block> inputs;  // what its formula reads on its sheet
    };
    std::vector<std::vector<Target>> targets(blocks.size());
    std::vector<std::optional<host::CellPos>> unsure(blocks.size());
    std::vector<std::vector<Target>> unsure_cells(blocks.size());
    Computed computed;  // each expression once per batch
    for (const auto& doc : open_documents(ctx)) {
      if (is_scratch(doc)) continue;
      for (const auto& sheet : sheets_of(doc)) {
        Reference<css::container::XNamed> named(sheet, UNO_QUERY);
        const std::string sheet_name = named.is() ? u8(named->getName()) : std::string();
        for (const FormulaCell& fc : quillo_cells(sheet)) {
          Reference<css::sheet::XCellAddressable> at(fc.cell, UNO_QUERY);
          if (!at.is()) continue;
          for (std::size_t i = 0; i < blocks.size(); ++i) {
            const auto match = makes_call(ctx, computed, fc, blocks[i], doc, sheet);
            if (match == host::lo::CallMatch::Makes) {
              std::vector<std::string> args;
              (void)host::lo::formula_arguments(fc.formula, blocks[i].function, args);
              targets[i].push_back({doc, sheet, sheet_name, at->getCellAddress(),
                                    own_sheet_inputs(args, doc, sheet)});
            } else if (match == host::lo::CallMatch::Unknown) {
              const auto a = at->getCellAddress();
              if (!unsure[i]) unsure[i] = host::CellPos{a.Row + 1, a.Column + 1};
              unsure_cells[i].push_back({doc, sheet, sheet_name, a, {}});
            }
          }
        }
      }
    }
    // The records first follow what the user did to the sheets since
    // (rows inserted, a sheet renamed, cells moved), once per document.
    std::set<const void*> followed;
    for (const auto& list : targets) {
      for (const Target& t : list) {
        const Reference<XInterface> doc_id(t.doc, UNO_QUERY);
        if (followed.insert(doc_id.get()).second) follow_block_records(t.doc);
      }
    }
    for (std::size_t i = 0; i < blocks.size(); ++i) {
      const BlockWrite& b = blocks[i];
      if (b.keeps) {
        for (const Target& t : targets[i]) {
          const auto kept = host::recorded_block(*calc_workbook(t.doc), t.sheet_name, t.at.Row + 1,
                                                 t.at.Column + 1, host::BlockShape::Table);
          if (kept && !kept->empty()) {
            shown[i] = b.shown + std::string(kKeptNote);
            break;
          }
        }
        continue;
      }
      // An empty table only clears what each cell wrote itself: the cells
      // known to make the call are cleared, the others keep theirs, and
      // the call shows its own answer.
      const bool clears_only = block_of(b.change, 0, 0).empty();
      const auto shape = text::iequals(b.function, "FHISTORY") ? host::BlockShape::Table
                                                               : host::BlockShape::Series;
      // A cell whose arguments cannot all be known may make the call; when
      // no cell is known to make it, the call is that cell's: its table is
      // written nowhere, and what such a cell wrote before is taken away
      // (only cells still holding what was written), so no stale table
      // stays under "Not written". Cells known to make the call get their
      // tables whatever other cells hold.
      if (unsure[i] && targets[i].empty() && !clears_only) {
        shown[i] = not_written_text(*unsure[i]);
        const host::lo::LiveChange none;
        for (const Target& t : unsure_cells[i]) {
          const Reference<XInterface> doc_id(t.doc, UNO_QUERY);
          (void)write_block(t.doc, t.sheet,
                            Owner{doc_id.get(), t.sheet_name, t.at.Row, t.at.Column}, none, shape,
                            -1, {});
        }
        continue;
      }
      // Every cell making the call shows one text: it must be true for
      // each of them, so with several cells it names the one it is about.
      std::vector<host::lo::CellOutcome> outcomes;
      const bool documents =
          !targets[i].empty() &&
          std::any_of(targets[i].begin(), targets[i].end(),
                      [&](const Target& t) { return t.doc != targets[i].front().doc; });
      for (const Target& t : targets[i]) {
        const Reference<XInterface> doc_id(t.doc, UNO_QUERY);
        std::string text;
        try {
          text =
              write_block(t.doc, t.sheet, Owner{doc_id.get(), t.sheet_name, t.at.Row, t.at.Column},
                          b.change, shape, date_format_key(t.doc), t.inputs);
        } catch (const css::uno::Exception& e) {
          // Calc refused the write: the cell never says its table is there.
          text =
              std::string(host::kBlockedPrefix) + "Calc refused the write (" + u8(e.Message) + ")";
        }
        std::string where = host::lo::calc_cell_name(t.sheet_name, t.at.Row + 1, t.at.Column + 1);
        if (documents) where += " in " + document_title(t.doc);
        outcomes.push_back({std::move(where), std::move(text)});
      }
      shown[i] = host::lo::shared_outcome_text(outcomes);
    }
  } catch (const css::uno::Exception& e) {
    std::cerr << "quillo: a table could not be written: " << u8(e.Message) << "\n";
  }
  return shown;
}

std::string not_written_cut_text(const std::string& area) {
  return std::string(kNotWrittenPrefix) + "rows or columns were inserted into or deleted from " +
         "the cells this formula wrote before (" + area +
         " now): they are left as they are; clear them to have it written again";
}

std::string not_written_text(const host::CellPos& cell) {
  return std::string(kNotWrittenPrefix) + "it cannot be told whether the formula in " +
         host::a1_address(cell.row, cell.col) +
         " makes this call (an argument computed from other cells: compute it in a cell of its "
         "own and refer to that cell)";
}

Value range_values(const Reference<css::table::XCellRange>& range) {
  if (!range.is()) return Value(Missing{});
  Reference<css::sheet::XCellRangeData> data(range, UNO_QUERY);
  Reference<css::sheet::XCellRangeAddressable> at(range, UNO_QUERY);
  Reference<css::sheet::XSheetCellRange> in(range, UNO_QUERY);
  const auto sheet = in.is() ? in->getSpreadsheet() : Reference<css::sheet::XSpreadsheet>();
  if (at.is() && sheet.is()) {
    const auto cursor = sheet->createCursor();
    Reference<css::sheet::XUsedAreaCursor> used(cursor, UNO_QUERY);
    Reference<css::sheet::XCellRangeAddressable> end_at(cursor, UNO_QUERY);
    if (used.is() && end_at.is()) {
      used->gotoEndOfUsedArea(false);
      const auto end = end_at->getRangeAddress();
      auto a = at->getRangeAddress();
      // At least the range's first row, so a range below the data reads as
      // empty cells, as it would unclipped.
      a.EndRow = std::max(a.StartRow, std::min(a.EndRow, end.EndRow));
      a.EndColumn = std::max(a.StartColumn, std::min(a.EndColumn, end.EndColumn));
      data.set(sheet->getCellRangeByPosition(a.StartColumn, a.StartRow, a.EndColumn, a.EndRow),
               UNO_QUERY);
    }
  }
  if (!data.is()) return Value(ErrorCode::Value);
  // Empty rows at the end are left out too: a table that got shorter
  // leaves rows its dates' format still marks as used, and an indicator
  // over it must see the table as it is now.
  auto rows = data->getDataArray();
  auto blank = [](const Sequence<Any>& row) {
    for (const Any& v : row) {
      OUString text;
      if (v.hasValue() && !((v >>= text) && text.isEmpty())) return false;
    }
    return true;
  };
  sal_Int32 keep = rows.getLength();
  while (keep > 1 && blank(rows[keep - 1])) --keep;
  if (keep < rows.getLength()) rows.realloc(keep);
  return argument(Any(rows));
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

void drop_stale_block_records(const Reference<XInterface>& model) {
  try {
    Reference<css::sheet::XSpreadsheetDocument> doc(model, UNO_QUERY);
    if (!doc.is() || is_scratch(doc)) return;
    Reference<css::container::XNameAccess> sheets(doc->getSheets(), UNO_QUERY);
    if (!sheets.is() || !sheets->hasByName(ou(host::kBlockStoreSheet))) return;
    // Where the user's edits moved them first: a renamed sheet's records
    // are not stale.
    follow_block_records(doc);
    const host::WorkbookPtr book = calc_workbook(doc);
    (void)host::drop_stale_records(*book);
  } catch (const css::uno::Exception& e) {
    std::cerr << "quillo: the block records could not be tidied: " << u8(e.Message) << "\n";
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
