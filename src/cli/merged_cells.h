// Merged cells of a sheet of an xlsx file. The spreadsheet model keeps a
// sheet's merges only as the file's layout (a save writes them back as
// they were), so the commands that write formulas into cells read them
// from the file here: a formula under a merge is hidden by it, and a block
// written across one loses what the merge covers.
//
// Pure file reading; any thread.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "host/range.h"
#include "spreadsheet/address.h"

namespace quillo::cli {

// The merged areas of the sheet named sheet (letter case ignored) of the
// xlsx file at path, as its part lists them (<mergeCell ref="A13:C13"/>);
// none when the file, the sheet or the list cannot be read.
std::vector<spreadsheet::Box> merged_areas(const std::string& path, const std::string& sheet);

// The first of the areas that holds the cell, or nullptr.
const spreadsheet::Box* merged_area_at(const std::vector<spreadsheet::Box>& areas, std::int32_t row,
                                       std::int32_t col);

// Notices a block written over merged cells: made before the block is
// written, with the file and a cell of the sheet, it keeps what the cells
// under each merge (all but its top-left cell) hold; written() then names
// the first merge one of them changed under.
class MergedCellsWatch {
 public:
  MergedCellsWatch(const std::string& path, const host::Range& cell);
  std::optional<spreadsheet::Box> written() const;

 private:
  struct Covered {
    spreadsheet::Box area;
    host::RangePtr cell;
    std::string formula;
  };
  std::vector<Covered> m_cells;
};

}  // namespace quillo::cli
