// The scratch cell: a cell of a spreadsheet document of the component's
// own, where an argument's expression (DATE(2024;1;1), TODAY()-30) is
// computed as Calc computes it for the call. The document has no window
// and no frame, so it is not among the desktop's documents: no user sees
// it, closes it or is asked to save it. Made on first use and made again
// when it is gone (closed or disposed by anyone). Main thread only.
#pragma once

#include <com/sun/star/sheet/XSpreadsheetDocument.hpp>
#include <com/sun/star/table/XCell.hpp>
#include <com/sun/star/uno/Reference.hxx>
#include <com/sun/star/uno/XComponentContext.hpp>

namespace quillo::lo {

// The cell, the document made (again) if need be; an empty reference when
// Calc can make none.
com::sun::star::uno::Reference<com::sun::star::table::XCell> scratch_cell(
    const com::sun::star::uno::Reference<com::sun::star::uno::XComponentContext>& ctx);

// Marks the scratch document unmodified, after the cell was written.
void scratch_written();

// Whether the document is the scratch document.
bool is_scratch(
    const com::sun::star::uno::Reference<com::sun::star::sheet::XSpreadsheetDocument>& doc);

}  // namespace quillo::lo
