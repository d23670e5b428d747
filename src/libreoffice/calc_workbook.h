// The host interfaces (host/worksheet.h, host/range.h) over one of Calc's
// spreadsheet documents, on Calc's main thread: what the shared output
// blocks (host/output_blocks.h) need to find formulas, read and clear
// cells, and keep their record sheet "quillo_blocks" in the document, so
// the record of which cells a formula wrote is saved with the file (.ods
// and .xlsx) and read again when it is reopened, as in the other hosts.
//
// The record follows the sheets. Calc adjusts references when the user
// inserts or deletes rows or columns, renames a sheet or moves cells (cut
// and paste, drag), but the shared record (columns A:H of the record
// sheet, read by every host) holds plain numbers and names. So beside each
// record row Calc's extension keeps references of its own: column I the
// formula cell (=ROW($'Sheet'.$A$3)), column J the block
// (=ROWS($'Sheet'.$A$4:$F$133); empty for a block of nothing), column K
// the fingerprint they were written with (a record another host rewrote
// since is anchored afresh, not followed), column L "cut" once rows or
// columns were inserted into or deleted from the block. ROW and ROWS never
// read the cells they name, so the references cost no recalculation of
// quillo's cells. Before the record is used (a table written, a document
// saved), follow_block_records writes into A:H where Calc has moved them.
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

#include <cstdint>
#include <string>
#include <string_view>

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

// Brings the document's block record in line with the references Calc
// adjusted: a formula cell moved, or its sheet renamed, is recorded where
// it is now, with its block where that is now; a record whose formula cell
// was deleted is dropped (its cells stay, as the user's); a block whose
// rows were all deleted is recorded as nothing; a block moved to another
// sheet than its formula's is left to the user; a block that rows or
// columns were inserted into or deleted from is recorded where what is
// left of it lies and marked cut (never cleared: its fingerprint no
// longer matches). Of two records naming the same cell after a move, the
// moved one is kept. Nothing happens when the document has no record
// sheet of quillo's.
void follow_block_records(
    const com::sun::star::uno::Reference<com::sun::star::sheet::XSpreadsheetDocument>& doc);

// Writes the references of the formula cell's record (call it after
// host::record_block wrote the record), clearing its cut mark.
void anchor_block_record(
    const com::sun::star::uno::Reference<com::sun::star::sheet::XSpreadsheetDocument>& doc,
    std::string_view sheet, std::int64_t row, std::int64_t col);

// When the formula cell's recorded block was marked cut and still shows
// something: where it lies now ("A4:F120"); empty otherwise. Such a block
// is no longer known to be what quillo wrote, nor all of it: nothing is
// written for the cell until the user clears it.
std::string cut_block_of(
    const com::sun::star::uno::Reference<com::sun::star::sheet::XSpreadsheetDocument>& doc,
    std::string_view sheet, std::int64_t row, std::int64_t col);

}  // namespace quillo::lo
