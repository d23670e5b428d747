// Worksheet and Workbook: handles on a sheet of cells and on a book of
// sheets. Like Range they keep nothing alive; once the sheet is deleted or
// the workbook closed, every operation fails with ObjectRequired (424).
// Event-loop thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/status.h"
#include "host/range.h"

namespace quillo::host {

class Workbook;
class Worksheet;
using WorkbookPtr = std::shared_ptr<Workbook>;
using WorksheetPtr = std::shared_ptr<Worksheet>;

enum class Visibility : std::int32_t { Visible = -1, Hidden = 0, VeryHidden = 2 };

class Worksheet {
 public:
  virtual ~Worksheet() = default;

  virtual Result<std::string> name() const = 0;
  // Fails with OperationFailed for an invalid or duplicate name.
  virtual Status set_name(std::string_view name) = 0;
  // Position among the workbook's sheets, 1-based.
  virtual Result<std::int32_t> index() const = 0;
  virtual Result<WorkbookPtr> workbook() const = 0;  // the object model's Parent
  virtual Result<Visibility> visible() const = 0;
  // Hiding the last visible sheet fails.
  virtual Status set_visible(Visibility v) = 0;

  // Every cell of the sheet (Cells), one cell, or a range by address such as
  // "A1", "$B$2:C10", "A:A" or "3:5".
  virtual Result<RangePtr> cells() const = 0;
  virtual Result<RangePtr> cell(std::int32_t row, std::int32_t col) const = 0;
  virtual Result<RangePtr> range(std::string_view address) const = 0;
  // Evaluates the formula of one cell again as if it were entered anew
  // (Range::reenter_formula); ObjectRequired when the sheet or the cell
  // cannot be had. This default asks for the cell's range; a host that can
  // reach the cell without one overrides it (the engine re-enters every
  // waiting cell when its answer arrives).
  virtual Status reenter_formula(std::int32_t row, std::int32_t col) const {
    const Result<RangePtr> at = cell(row, col);
    if (!at.ok() || !*at) return Status::object_required("the cell is not there");
    return (*at)->reenter_formula();
  }
  // The smallest range holding every non-empty cell; A1 when there is none.
  virtual Result<RangePtr> used_range() const = 0;
  // Calls fn with each cell that holds a value or a formula, as a one-cell
  // range, column by column. The walk costs what the cells cost, however
  // far apart they lie (unlike walking used_range cell by cell). The cells
  // are listed before the first call, so fn may change the sheet.
  virtual Status for_each_cell(const std::function<void(const RangePtr&)>& fn) const = 0;

  // While off, formulas of this sheet are not evaluated; turning it on
  // marks every formula of the sheet dirty.
  virtual Result<bool> enable_calculation() const = 0;
  virtual Status set_enable_calculation(bool on) = 0;
  // Evaluates the dirty formulas of this sheet.
  virtual Status calculate() = 0;

  virtual Status activate() = 0;
  // Deletes the sheet; deleting the last visible sheet fails.
  virtual Status remove() = 0;
};

class Workbook {
 public:
  virtual ~Workbook() = default;

  virtual Result<std::string> name() const = 0;       // "Book1", "prices.xlsx"
  virtual Result<std::string> full_name() const = 0;  // with its folder when it has a file

  virtual Result<std::int32_t> worksheet_count() const = 0;
  virtual Result<WorksheetPtr> worksheet(std::int32_t index) const = 0;     // 1-based
  virtual Result<WorksheetPtr> worksheet(std::string_view name) const = 0;  // any letter case
  // Adds a sheet at the end; an empty name picks the next free "SheetN".
  virtual Result<WorksheetPtr> add_worksheet(std::string_view name = {}) = 0;
  virtual Result<WorksheetPtr> active_sheet() const = 0;
  virtual Status activate() = 0;

  // The external workbooks the formulas of this workbook refer to, as they
  // are written in the formulas (for example a path to a function library);
  // empty when there are none.
  virtual Result<std::vector<std::string>> link_sources() const = 0;

  // Writes the workbook to the file it came from (or was last saved as). A
  // workbook that has no file yet fails with OperationFailed; use save_as.
  virtual Status save() = 0;
  // Writes the workbook to path; afterwards name, full_name and later saves
  // refer to that file. Fails with InvalidArgument for an empty path and
  // with OperationFailed when another open workbook has the same file name or
  // the file cannot be written; the workbook then keeps its old file.
  virtual Status save_as(std::string_view path) = 0;

  // Closes the workbook; every handle on it or its sheets becomes stale.
  // With save_changes it saves first (as save() does); when that fails the
  // workbook stays open, nothing is lost, and the save's error is answered.
  virtual Status close(bool save_changes = false) = 0;
};

class Workbooks {
 public:
  virtual ~Workbooks() = default;
  virtual std::int32_t count() const = 0;
  virtual Result<WorkbookPtr> item(std::int32_t index) const = 0;  // 1-based
  virtual Result<WorkbookPtr> item(std::string_view name) const = 0;
  // A new workbook with one empty sheet; it becomes the active workbook.
  virtual Result<WorkbookPtr> add() = 0;
  // Opens a workbook file, makes it the active workbook and raises the
  // workbook-open event. A file that is missing or not a workbook fails and
  // leaves no workbook behind.
  virtual Result<WorkbookPtr> open(std::string_view path) = 0;
};

}  // namespace quillo::host
