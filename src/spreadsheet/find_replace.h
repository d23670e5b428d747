// Find and Replace over a model's cells, and the list of external workbooks
// formulas call through - what repairing formulas that point at a moved
// function library needs. Built on the model's public calls only; a
// replacement is a formula entry, so it recalculates as one. Event-loop
// thread only.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/status.h"
#include "host/range.h"
#include "spreadsheet/model.h"

namespace quillo::spreadsheet {

// The first cell of box whose formula (or shown value) matches, searching
// from the cell after the top-left one and wrapping round to it last.
std::optional<CellAddr> find_cell(const Model& model, SheetId sheet, const Box& box,
                                  std::string_view what, const host::FindOptions& options);

// Replaces in the formulas and constants of box; true when a cell changed.
Result<bool> replace_in_cells(Model& model, SheetId sheet, const Box& box, std::string_view what,
                              std::string_view replacement, const host::ReplaceOptions& options);

// The external workbooks the book's formulas call functions through.
std::vector<std::string> link_sources(const Model& model, BookId book);

}  // namespace quillo::spreadsheet
