// What a table write into a Calc document checks first, on Calc's main
// thread: where a formula's reference arguments lie (so a table never
// covers what its own formula reads), and whether Calc would take the
// write at all (a protected sheet refuses it; a document whose structure
// is protected cannot get quillo's record sheet, and a table written
// without its record could never be cleared again).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <com/sun/star/sheet/XSpreadsheet.hpp>
#include <com/sun/star/sheet/XSpreadsheetDocument.hpp>
#include <com/sun/star/uno/Reference.hxx>

#include "host/output_blocks.h"

namespace quillo::lo {

// A reference argument of a formula as Calc's API writes it ("A1",
// "$B$2:C9", "Sheet2.A1", "$'My sheet'.A1:B3", whole columns "A:F" and
// rows "3:5"), resolved: its sheet and its address as cells
// ("A1:F1048576"). nullopt for anything else (a literal, an expression, a
// sheet that does not exist).
struct CalcReference {
  com::sun::star::uno::Reference<com::sun::star::sheet::XSpreadsheet> sheet;
  std::string address;
};
std::optional<CalcReference> resolve_reference(
    const std::string& arg,
    const com::sun::star::uno::Reference<com::sun::star::sheet::XSpreadsheetDocument>& doc,
    const com::sun::star::uno::Reference<com::sun::star::sheet::XSpreadsheet>& sheet);

// The cells (1-based) of the formula's reference arguments that lie on the
// formula's own sheet.
std::vector<host::Block> own_sheet_inputs(
    const std::vector<std::string>& args,
    const com::sun::star::uno::Reference<com::sun::star::sheet::XSpreadsheetDocument>& doc,
    const com::sun::star::uno::Reference<com::sun::star::sheet::XSpreadsheet>& sheet);

// What the calling cell shows when Calc would not take a table written
// into the sheet ("Blocked: the sheet Sheet1 is protected ..."); nullopt
// when it would.
std::optional<std::string> write_refused(
    const com::sun::star::uno::Reference<com::sun::star::sheet::XSpreadsheetDocument>& doc,
    const com::sun::star::uno::Reference<com::sun::star::sheet::XSpreadsheet>& sheet,
    const std::string& sheet_name);

}  // namespace quillo::lo
