// xlsx files: loading a workbook file into the model and saving a workbook
// of the model as one.
//
// Loading reads values, formulas (a shared formula becomes each cell's own
// formula; an array formula fills the cells of its ref), the results the
// file cached for them, number formats, sheet visibility, the 1904 date
// system, the workbook's defined names, the sheets' tables (for
// structured references) and each sheet's look for Sheet::look (column
// widths, row heights, merged cells, frozen panes; the fonts, fills and
// alignment of styled cells). It evaluates nothing: a loaded formula shows its
// cached value until it is recalculated. A formula quillo cannot compute (a
// function it does not implement, a name it cannot read, a sheet the file
// does not have) is stored clean, so recalculation leaves its cached value
// alone, and is reported as a warning. A formula quillo cannot read at all
// (data-table formulas, references into other workbooks, structured
// references to tables it could not read) stays in the file as written and
// reaches the model as its cached value. A function call through one of the file's external links
// ("[1]!fsingle(...)") reaches the model as a call through the linked book's
// path ("'/dir/tarnvale.xla'!fsingle(...)").
//
// A formula quillo did not change is saved as the file wrote it: the <f>
// element's attributes and text, byte for byte (blanks, line breaks,
// "1E+3", "_xlfn." prefixes, calls through external links), and a shared
// formula as its master and dependents while the master is unchanged. A
// formula rewritten with the same meaning (the engine evaluates a cell by
// setting its formula again) is unchanged; an edited one, or one naming a
// sheet renamed since, is written anew.
//
// Saving edits the file the workbook came from: each sheet's cells are
// written again from the model, and every part quillo does not understand
// (styles, drawings, charts, tables, themes, ...) is carried over
// untouched, but for column widths the user set (Model::set_column_width),
// which go into the sheet's <cols>. Defined names are written back: changed and new ones anew,
// the others as the file had them. Formulas are written with their current
// values (see above for their texts), sheets added
// to the model become new sheet parts, calcChain.xml is dropped and the
// file asks the application that opens it to recalculate everything. A
// workbook that came from no file is saved as a new package. The save goes
// through a host::FileSystem (host/file_system.h): atomic, through symbolic
// links to the file they name, keeping hard links, refusing targets that
// are not regular files. Texts XML cannot carry are escaped as "_xHHHH_"
// (and read back), so every saved part is well-formed.
//
// Files that are not xlsx packages, lack required parts, hold malformed XML
// or exceed the limits give an error Status; nothing here throws or aborts
// on bad input. Event-loop thread only (the model is not thread-safe).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/status.h"
#include "host/file_system.h"
#include "spreadsheet/model.h"

namespace quillo::spreadsheet {

// Bounds on what a load reads, so a hostile file (a zip bomb, an archive of
// millions of entries, millions of cells each holding a long text) fails
// with an error naming the limit instead of exhausting memory. Sheet parts
// are read as they inflate, so the cell count is checked as cells arrive;
// it counts the cells the model holds (a styled blank with no number
// format is not one). The string count is checked before that part is
// parsed.
struct XlsxLimits {
  std::uint64_t max_file_bytes = std::uint64_t{1} << 30;    // the package itself
  std::uint64_t max_part_bytes = std::uint64_t{256} << 20;  // one part read whole, uncompressed
  // One sheet part, uncompressed: read as it inflates, never held whole.
  std::uint64_t max_sheet_part_bytes = std::uint64_t{4} << 30;
  std::uint64_t max_total_bytes = std::uint64_t{16} << 30;  // all parts read, uncompressed
  std::uint64_t max_entries = 100000;                       // entries in the archive
  std::uint64_t max_cells = 10'000'000;                     // cells of all sheets
  std::uint64_t max_strings = 2'000'000;                    // items of the shared strings
  std::uint64_t max_text_bytes = std::uint64_t{512} << 20;  // text held by all cells
};

struct XlsxLoadOptions {
  XlsxLimits limits;
  // Reads the file, and writes it when the book is saved; null: the
  // platform's file system.
  std::shared_ptr<host::FileSystem> files;
  // Whether a function that is not built in can be computed (an installed
  // add-in's function), given its name and, for a call through another
  // workbook ('/dir/lib.xla'!name), that workbook as written (else null).
  // Unset: none can, and formulas calling one keep their cached values.
  std::function<bool(std::string_view name, const std::string* book)> external_function;
};

// What a save needs to know about the file a workbook was loaded from: its
// parts, which part holds which sheet, the formulas kept as written. Opaque
// outside the xlsx code; a save updates it to describe the saved file.
struct XlsxFile;

struct XlsxLoad {
  BookId book = 0;
  std::shared_ptr<XlsxFile> file;
  std::vector<std::string> warnings;  // one line each, naming the cell
};

// Reads the workbook at path into a new book of model (named after the
// file). On failure the model is left without the book.
Result<XlsxLoad> load_xlsx(Model& model, const std::string& path,
                           const XlsxLoadOptions& options = {});

// Writes book to path. file is what load_xlsx answered for the book, or
// null for a workbook made in memory; a successful save updates it. Cells
// that cannot be written as they are (a number that is not finite) are
// written as errors and reported in warnings when it is given.
Status save_xlsx(const Model& model, BookId book, XlsxFile* file, const std::string& path,
                 std::vector<std::string>* warnings = nullptr);

// The formula a cell holds in the file when quillo keeps it as written
// (with its leading "="); empty when there is none.
std::string xlsx_kept_formula(const XlsxFile& file, SheetId sheet, std::int32_t row,
                              std::int32_t col);

// The cells (row, column) of a sheet holding a formula kept as written, in
// order; such a cell has no value when the file gave none.
std::vector<std::pair<std::int32_t, std::int32_t>> xlsx_kept_formula_cells(const XlsxFile& file,
                                                                           SheetId sheet);

}  // namespace quillo::spreadsheet
