#include "libreoffice/calc_write_checks.h"

#include <com/sun/star/container/XIndexAccess.hpp>
#include <com/sun/star/container/XNameAccess.hpp>
#include <com/sun/star/sheet/XCellRangeAddressable.hpp>
#include <com/sun/star/table/XColumnRowRange.hpp>
#include <com/sun/star/table/XTableColumns.hpp>
#include <com/sun/star/table/XTableRows.hpp>
#include <com/sun/star/util/XProtectable.hpp>

#include "host/libreoffice/calc_text.h"
#include "host/libreoffice/live_book.h"
#include "libreoffice/uno_values.h"

namespace css = com::sun::star;
using css::uno::Reference;
using css::uno::UNO_QUERY;

namespace quillo::lo {

namespace {

using Doc = Reference<css::sheet::XSpreadsheetDocument>;
using Sheet = Reference<css::sheet::XSpreadsheet>;

// The sheet's index in its document; -1 when it cannot be told.
sal_Int16 sheet_index(const Sheet& sheet) {
  Reference<css::sheet::XCellRangeAddressable> at(sheet, UNO_QUERY);
  return at.is() ? at->getRangeAddress().Sheet : sal_Int16(-1);
}

bool is_protected(const Reference<css::uno::XInterface>& thing) {
  Reference<css::util::XProtectable> p(thing, UNO_QUERY);
  return p.is() && p->isProtected();
}

}  // namespace

std::optional<CalcReference> resolve_reference(const std::string& arg, const Doc& doc,
                                               const Sheet& sheet) {
  if (arg.empty()) return std::nullopt;
  std::string ref = arg;
  Sheet on = sheet;
  // The sheet ends at the last dot of the first part (before a ':'), outside
  // quotes: "$Prices.A1:$Prices.F9" and "'a.b:c'.A1" name the sheets Prices
  // and a.b:c.
  std::size_t dot = std::string::npos;
  bool quoted = false;
  for (std::size_t i = 0; i < ref.size(); ++i) {
    if (ref[i] == '\'') quoted = !quoted;
    if (quoted) continue;
    if (ref[i] == ':') break;
    if (ref[i] == '.') dot = i;
  }
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
  // Whole columns or rows, as the sheet's size makes them.
  Reference<css::table::XColumnRowRange> lines(on, UNO_QUERY);
  if (lines.is()) {
    const long rows = lines->getRows()->getCount();
    const long cols = lines->getColumns()->getCount();
    ref = host::lo::whole_lines_address(ref, rows, cols);
  }
  if (!host::lo::parse_live_address(ref).ok()) return std::nullopt;
  return CalcReference{on, ref};
}

std::vector<host::Block> own_sheet_inputs(const std::vector<std::string>& args, const Doc& doc,
                                          const Sheet& sheet) {
  std::vector<host::Block> out;
  const sal_Int16 own = sheet_index(sheet);
  for (const std::string& arg : args) {
    try {
      const auto ref = resolve_reference(arg, doc, sheet);
      if (!ref || sheet_index(ref->sheet) != own) continue;
      Reference<css::sheet::XCellRangeAddressable> at(
          ref->sheet->getCellRangeByName(ou(ref->address)), UNO_QUERY);
      if (!at.is()) continue;
      const auto a = at->getRangeAddress();
      out.push_back(host::Block{std::int64_t{a.StartRow} + 1, std::int64_t{a.StartColumn} + 1,
                                std::int64_t{a.EndRow} - a.StartRow + 1,
                                std::int64_t{a.EndColumn} - a.StartColumn + 1});
    } catch (const css::uno::Exception&) {
      // Not a reference Calc knows: nothing it reads there.
    }
  }
  return out;
}

std::optional<std::string> write_refused(const Doc& doc, const Sheet& sheet,
                                         const std::string& sheet_name) {
  if (is_protected(sheet)) {
    return std::string(host::kBlockedPrefix) + "the sheet " + sheet_name +
           " is protected (unprotect it, then recalculate)";
  }
  Reference<css::container::XNameAccess> sheets(doc->getSheets(), UNO_QUERY);
  const bool has_record = sheets.is() && sheets->hasByName(ou(host::kBlockStoreSheet));
  if (!has_record && is_protected(doc)) {
    return std::string(host::kBlockedPrefix) +
           "the document's structure is protected, so the record of the cells quillo writes "
           "(its sheet " +
           std::string(host::kBlockStoreSheet) +
           ") cannot be added (unprotect it, then recalculate)";
  }
  return std::nullopt;
}

}  // namespace quillo::lo
