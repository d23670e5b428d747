// cellkey: the text that names one formula cell across the engine's tables
// (the request registry's waiting cells, price-history areas, indicator
// records): the workbook name led by its length and ":", then the sheet
// name, row and column joined by "_".
// Loop thread only (it asks the host for names).
#pragma once

#include <string>

#include "host/range.h"

namespace quillo::host {

// The key of cell; empty when its sheet or workbook is gone.
std::string cellkey(const Range& cell);
// The key of the cell at place.
std::string cellkey(const CellPlace& place);

}  // namespace quillo::host
