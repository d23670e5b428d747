// The host interfaces (host/worksheet.h, host/range.h) over one of Calc's
// spreadsheet documents, on Calc's main thread: what the shared output
// blocks (host/output_blocks.h) need to find formulas, read and clear
// cells, and keep their record sheet "quillo_blocks" in the document, so
// the record of which cells a formula wrote is saved with the file (.ods
// and .xlsx) and read again when it is reopened, as in the other hosts.
//
// Calc has no "very hidden" sheet: a sheet asked to be very hidden is
// hidden (the user can show it again from the sheet list).
//
// Reading and writing values, the used area, sheets by name, visibility
// and finding formulas are implemented; what the blocks never ask (saving,
// closing, number formats, replacing) fails. Its changes stay off the
// user's undo list (calc_undo.h). Main thread only, as all of
// Calc's API; a handle of a closed document fails as UNO does.
#pragma once

#include <com/sun/star/sheet/XSpreadsheet.hpp>
#include <com/sun/star/sheet/XSpreadsheetDocument.hpp>
#include <com/sun/star/uno/Reference.hxx>

#include "host/worksheet.h"

namespace quillo::lo {

// The document as a host workbook.
host::WorkbookPtr calc_workbook(
    const com::sun::star::uno::Reference<com::sun::star::sheet::XSpreadsheetDocument>& doc);

// One of its sheets as a host worksheet.
host::WorksheetPtr calc_worksheet(
    const com::sun::star::uno::Reference<com::sun::star::sheet::XSpreadsheetDocument>& doc,
    const com::sun::star::uno::Reference<com::sun::star::sheet::XSpreadsheet>& sheet);

}  // namespace quillo::lo
