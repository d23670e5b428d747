// Range: a rectangle of cells on one worksheet, as the engine sees it. A
// Range is a handle: copying it or holding it keeps no cells alive, and once
// its worksheet or workbook is deleted or closed every operation fails with
// StatusCode::ObjectRequired (424). Operations that write evaluate formulas
// synchronously and may re-enter worksheet functions before they return.
//
// Event-loop thread only. A Range is also a RangeRef, so it can travel inside
// a Value as a worksheet function argument or as the calling cell.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/status.h"
#include "common/value.h"

namespace quillo::host {

class Worksheet;
class Range;
using RangePtr = std::shared_ptr<Range>;

// Where a range's top-left cell is: its workbook's and worksheet's names and
// its row and column (1-based).
struct CellPlace {
  std::string book;
  std::string sheet;
  std::int32_t row = 0;
  std::int32_t col = 0;
};

// A CellPlace whose names are views: into the host's own names where it
// keeps them, else into a CellPlace the caller lends (Range::place_ref).
// Valid until a workbook or sheet is renamed, closed or deleted, or the
// lent place is reused: for a question answered at once.
struct CellPlaceRef {
  std::string_view book;
  std::string_view sheet;
  std::int32_t row = 0;
  std::int32_t col = 0;
};

// Where Find and Replace look and how they match (the numbers are the
// object model's constants).
enum class LookIn : std::int32_t { Formulas = -4123, Values = -4163 };
enum class LookAt : std::int32_t { Whole = 1, Part = 2 };
enum class SearchOrder : std::int32_t { ByRows = 1, ByColumns = 2 };

struct FindOptions {
  LookIn look_in = LookIn::Formulas;
  LookAt look_at = LookAt::Part;
  SearchOrder order = SearchOrder::ByRows;
  bool match_case = false;
};

struct ReplaceOptions {
  LookAt look_at = LookAt::Part;
  SearchOrder order = SearchOrder::ByRows;
  bool match_case = false;
  bool formulas_only = false;  // leave constants (texts a user typed) alone
};

class Range : public RangeRef, public std::enable_shared_from_this<Range> {
 public:
  bool is_host_range() const final { return true; }
  // The worksheet holding the range (the object model's Parent).
  virtual Result<std::shared_ptr<Worksheet>> worksheet() const = 0;
  // Row and column of the top-left cell, 1-based, and the size.
  virtual Result<std::int32_t> row() const = 0;
  virtual Result<std::int32_t> column() const = 0;
  virtual Result<std::int32_t> row_count() const = 0;
  virtual Result<std::int32_t> column_count() const = 0;
  // "$A$1" or "$A$1:$B$2"; with external, qualified by the sheet: "'My Sheet'!$A$1".
  virtual Result<std::string> address(bool external = false) const = 0;
  // The cell at (row, col) counted from the top-left cell, 1-based; it may
  // lie outside the range (as Cells(r, c) may) but not outside the sheet.
  virtual Result<RangePtr> cell(std::int32_t row, std::int32_t col) const = 0;

  // The value of a single cell, or an Array of the values of a larger range.
  virtual Result<Value> value() const = 0;
  // Writes a value into every cell, or an Array block from the top-left
  // cell. Text is taken as typed entry: numeric text becomes a number, an
  // ISO date a date serial, "=..." a formula, anything else stays text.
  virtual Status set_value(const Value& v) const = 0;

  // The formula of the top-left cell ("=A1+1"), or its constant as text
  // ("" for an empty cell), in A1 or R1C1 notation.
  virtual Result<std::string> formula() const = 0;
  virtual Result<std::string> formula_r1c1() const = 0;
  // Sets the formula of every cell of the range; text without a leading "="
  // is typed entry. A formula that does not parse fails with
  // OperationFailed and leaves the cells unchanged. The cell is evaluated at
  // once, in any calculation mode.
  virtual Status set_formula(std::string_view formula) const = 0;
  virtual Status set_formula_r1c1(std::string_view formula) const = 0;
  virtual Result<bool> has_formula() const = 0;
  // Whether the top-left cell is one cell of an array formula, which cannot
  // be written alone. Hosts that cannot tell answer false (a write into it
  // then fails there).
  virtual Result<bool> in_array() const { return false; }
  // Evaluates the top-left cell's formula again as if it were entered anew
  // (its dependents follow), so worksheet functions in it run once more.
  // This default writes an empty-text formula and then the formula again,
  // which every host re-evaluates; a host that can re-evaluate a cell in
  // place overrides it and skips the two writes.
  virtual Status reenter_formula() const {
    const Result<std::string> text = formula();
    if (!text.ok()) return text.status();
    (void)set_formula("=\"\"");
    return set_formula(*text);
  }

  // The workbook, worksheet and top-left cell in one question; nullopt when
  // the range, its sheet or its workbook is gone. The engine asks it at
  // every call of a worksheet function (cell_key.h). This default asks
  // worksheet(), workbook() and their names (cell_key.cpp); a host that
  // knows them directly overrides it.
  virtual std::optional<CellPlace> place() const;
  // place() without copying the names: the engine asks it at every call of
  // a worksheet function to find the cell's number in its own tables. This
  // default moves place() into scratch and views it; a host that keeps the
  // names overrides it and leaves scratch alone.
  virtual std::optional<CellPlaceRef> place_ref(CellPlace& scratch) const;

  // The number format of the top-left cell ("General" when none is set).
  virtual Result<std::string> number_format() const = 0;
  virtual Status set_number_format(std::string_view format) const = 0;

  // Removes values and formulas, keeps number formats.
  virtual Status clear_contents() const = 0;

  // The first cell whose formula (or shown value) contains what; a null
  // pointer when none does.
  virtual Result<RangePtr> find(std::string_view what, const FindOptions& options = {}) const = 0;
  // Replaces what by replacement in the formulas and constants of the cells;
  // true when at least one cell changed. A cell whose new formula would not
  // parse is left unchanged.
  virtual Result<bool> replace(std::string_view what, std::string_view replacement,
                               const ReplaceOptions& options = {}) const = 0;
};

// The Range a Value refers to, or null when the value is no host range.
inline const Range* as_range(const Value& v) {
  return v.is_range() && v.range().is_host_range() ? static_cast<const Range*>(&v.range())
                                                   : nullptr;
}

// The one value an argument that takes one value holds: a text, number or
// other plain value as it is, the value of a one-cell range, the item of a
// one-item array. nullopt when it holds more than one (a range of several
// cells, an array of several items, several areas): a function given those
// where it takes one value answers #VALUE!, as converting them to one text
// fails, rather than picking one of them.
std::optional<Value> single_value(const Value& v);

}  // namespace quillo::host
