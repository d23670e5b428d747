// What the component does to Calc's documents and windows, on Calc's main
// thread: writing the tables the engine wrote beside a call (price
// histories, indicator series) into every cell making that call, finding
// and recalculating quillo's cells of a document just loaded, the menu's
// commands, and message boxes.
#pragma once

#include <string>
#include <vector>

#include <com/sun/star/table/XCellRange.hpp>
#include <com/sun/star/uno/Reference.hxx>
#include <com/sun/star/uno/XComponentContext.hpp>

#include "host/libreoffice/calc_text.h"
#include "host/libreoffice/live_book.h"
#include "host/output_blocks.h"

namespace quillo::lo {

// A call's table: the function's programmatic name, the call's arguments,
// the change holding the table (offsets from the calling cell) and the
// text the call's cells show now.
struct BlockWrite {
  std::string function;
  std::vector<Value> args;
  host::lo::LiveChange change;
  std::string shown;
  // A history call that failed: nothing is written nor cleared (the
  // tables its cells wrote before stay, as in the other hosts); the call
  // shows its failure followed by kKeptNote when a cell making it keeps
  // one.
  bool keeps = false;
};
inline constexpr std::string_view kKeptNote = " (the table it wrote before is kept)";

// Writes each table beside every formula cell, in every open spreadsheet
// document, that makes its call (its function with its arguments, as
// far as they can be known: literals, references, and expressions Calc
// computes without other cells), after clearing the table that cell wrote
// last. A table is written whole or not at all: never over a formula, over
// another formula cell's table or over what its own formula reads, nor
// where Calc would refuse it (calc_write_checks.h). A cell with an
// argument that cannot be known (computed from other cells) that shows
// what the call shows may make the call: when no cell is known to make
// it, the call's table is written nowhere and such cells lose the table
// they wrote before. Answers, per table, what its calls show then ("Not
// written: ...") or when a cell's table was blocked ("Blocked: ..."; with
// several cells making the call, the text names the cell and says how
// many tables were written: host/libreoffice/shared_outcome.h), or a
// failed history call's text with kKeptNote; empty when every one was
// written.
std::vector<std::string> write_blocks(
    const com::sun::star::uno::Reference<com::sun::star::uno::XComponentContext>& ctx,
    const std::vector<BlockWrite>& blocks);

// What a call shows when its table was written nowhere because which
// cells make it cannot be known for sure; the cell named is one that may.
inline constexpr std::string_view kNotWrittenPrefix = "Not written: ";
std::string not_written_text(const host::CellPos& cell);
// What a cell shows when rows or columns were inserted into or deleted
// from the cells it wrote before (now at `area`): nothing is written.
std::string not_written_cut_text(const std::string& area);

// The values of a range argument, read only as far as its sheet's used
// area: a whole-column range (a million rows) reads as its rows holding
// data, so Calc neither copies nor the engine answers a million rows;
// empty rows at its end are left out as well.
Value range_values(const com::sun::star::uno::Reference<com::sun::star::table::XCellRange>& range);

// The used area of the document's web-link store (its "weblinks_data"
// sheet) as an array; Empty when the document has none. `document` is the
// caller Calc passes to an add-in function (the document's properties).
Value link_store_of(
    const com::sun::star::uno::Reference<com::sun::star::uno::XInterface>& document);

// Recalculates the document when one of its formulas calls quillo.
void recalculate_quillo_cells(
    const com::sun::star::uno::Reference<com::sun::star::uno::XInterface>& model);

// Drops the document's block records of formula cells that hold no
// formula any more, before it is saved (as the other hosts do).
void drop_stale_block_records(
    const com::sun::star::uno::Reference<com::sun::star::uno::XInterface>& model);

// A message box over the active window; on standard error as well (a
// headless Calc shows no box).
void show_message(const com::sun::star::uno::Reference<com::sun::star::uno::XComponentContext>& ctx,
                  const std::string& title, const std::string& text);

}  // namespace quillo::lo
