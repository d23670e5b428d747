// Recalculation: what keeps a model's formula results current - the
// dependency index (which formulas read which cells), the dirty formulas,
// and the walk that evaluates them precedents first. A Model owns one and
// tells it of every edit; it reads and writes the model's formula states and
// stores their results in the model's cells.
//
// Calculation follows the host the engine was written for:
// - setting a formula evaluates that cell at once, in any calculation mode;
// - in automatic mode every change recalculates its dependents, precedents
//   first; in manual mode dependents are only marked dirty;
// - turning a sheet's calculation off and on marks all its formulas dirty,
//   and calculating a sheet evaluates its dirty formulas;
// - cells on a circular reference are reported and keep their values; one
//   that has none (a formula never computed) shows #REF!;
// - while a sheet's calculation is off, its formulas wait dirty, even ones
//   just entered;
// - volatile functions (NOW, TODAY) run again at every explicit calculation
//   (calculate_all, calculate_sheet), not at every edit; formulas that find
//   their cells while they run (INDIRECT, OFFSET) also run again after every
//   change in automatic mode, once the other dirty formulas are done.
// Ordering walks the precedents with an explicit stack (no recursion), so a
// chain of any length is fine.
//
// Evaluation may re-enter the model: a worksheet function may write cells or
// set formulas while it runs. Nothing here holds an iterator or reference
// into the model's tables across an evaluation; it keeps addresses and looks
// cells up again. A cell whose formula was replaced while it was being
// evaluated keeps the new formula's result. Re-entry is bounded
// (Model::kMaxNesting): deeper writes store the formula and leave it dirty.
//
// Event-loop thread only.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <unordered_set>
#include <utility>
#include <vector>

#include "common/status.h"
#include "host/application.h"
#include "spreadsheet/cell_addr.h"
#include "spreadsheet/cell_store.h"
#include "spreadsheet/dependencies.h"
#include "spreadsheet/formula.h"

namespace quillo::spreadsheet {

class Model;

class Recalculation {
 public:
  explicit Recalculation(Model& model);
  ~Recalculation();
  Recalculation(const Recalculation&) = delete;
  Recalculation& operator=(const Recalculation&) = delete;

  // ---- what the model's edits report ----
  // The cell now holds fs, written anew: its references are indexed, and
  // it and its dependents become dirty (calculated by after_change or
  // after_entry).
  void formula_entered(const CellAddr& a, FormulaState& fs);
  // The cell's formula fs is entered again as it stands (an answer came
  // for it): what formula_entered does, its references indexed again only
  // where they may now mean other cells (names, 3-D references).
  void formula_reentered(const CellAddr& a, FormulaState& fs);
  // The cell holds fs as a file held it: indexed, dirty when dirty, and
  // nothing else is marked (a loader stores every cell itself).
  void formula_restored(const CellAddr& a, FormulaState& fs, bool dirty);
  // The cell's formula fs is going: it leaves the index and is no longer
  // dirty, volatile or circular.
  void formula_removed(const CellAddr& a, FormulaState& fs);
  // The references of fs leave the index, or come back (reindex) once what
  // they mean may have changed, such as a name they read.
  void unindex(const CellAddr& a, FormulaState& fs) { index_refs(a, fs, false); }
  void reindex(const CellAddr& a, FormulaState& fs) { index_refs(a, fs, true); }
  // The sheet is going: forgets what reads it and answers the formulas on
  // other sheets that did (call mark_dirty on them once it is gone).
  std::vector<CellAddr> sheet_removed(SheetId sheet);
  // The cell's value changed: the formulas that read it become dirty.
  void mark_dependents(const CellAddr& changed);
  // The formula cell and the formulas that read it become dirty.
  void mark_dirty(const CellAddr& formula);
  // The sheet's calculation was turned back on: all its formulas are dirty.
  void sheet_enabled(SheetId sheet);

  // ---- calculating ----
  // After an edit: recalculates what is dirty when calculation is automatic.
  void after_change();
  // After formulas were entered in the cells: in automatic mode what
  // after_change does; otherwise each of them is evaluated at once.
  void after_entry(std::span<const CellAddr> formulas);
  host::Calculation calculation() const { return m_calculation; }
  void set_calculation(host::Calculation mode);
  void calculate_all();  // every dirty formula, volatile ones too
  // Recalculates the formulas that call add-in functions.
  void recalc_external_calls();
  Status calculate_sheet(SheetId id);  // the dirty formulas of one sheet

  // ---- what it knows ----
  bool is_dirty(const CellAddr& a) const;
  // Appends the formulas that read the cell directly (duplicates possible).
  void dependents(const CellAddr& cell, std::vector<CellAddr>& out) const {
    m_deps.dependents(cell, out);
  }
  // Cells found on circular references, sorted.
  std::vector<CellAddr> circular_references() const;
  // True while the cell's formula f is being evaluated.
  bool is_evaluating(const CellAddr& a, const Formula* f) const;

 private:
  class Walk;
  struct WalkLists;

  FormulaState* state(const CellAddr& a) const;
  // What entering a formula does once it is indexed: the cell is no longer
  // circular, and it and its dependents become dirty.
  void entered(const CellAddr& a, FormulaState& fs);
  void index_refs(const CellAddr& a, FormulaState& fs, bool add);
  void set_dirty(const CellAddr& a, FormulaState& fs);
  void clear_dirty(FormulaState& fs);
  void compact_dirty();
  void mark_from(const CellAddr& changed, bool include_self);
  // The formulas reading changed, and theirs in turn, become dirty.
  void mark_readers(const CellAddr& changed);
  void mark_all(std::vector<CellAddr> cells);
  void recalc_dirty();
  void evaluate_now(const CellAddr& a);
  // known: the cell's state when the caller has it at hand (nothing
  // evaluated since it was looked up); otherwise it is looked up.
  void evaluate(const CellAddr& a, const FormulaPtr& f, bool cyclic, bool keep_dirty = false,
                FormulaState* known = nullptr);
  void evaluate_array(const CellAddr& a, const FormulaPtr& f, bool keep_dirty);
  bool reads_dirty(const CellAddr& a, const Formula& f) const;
  bool can_calculate(SheetId sheet) const;

  Model& m_model;
  DependencyIndex m_deps;
  host::Calculation m_calculation = host::Calculation::Automatic;
  std::vector<CellAddr> m_dirty;  // dirty formula cells, possibly stale or repeated
  std::size_t m_dirty_count = 0;  // cells actually dirty
  std::unordered_set<CellAddr, CellAddrHash> m_volatile;
  bool m_rerunning_found_cells = false;  // after_change's second pass is running
  std::set<CellAddr> m_circular;
  std::vector<CellAddr> m_mark_queue, m_mark_found;  // mark_from's lists
  // The formula state state() found last, or entered() was handed, with
  // Model::states_released() then: a walk asks after a cell as it starts
  // from it, and again once its evaluation is done.
  struct KnownState {
    CellAddr addr;
    FormulaState* state = nullptr;
    std::uint64_t released = 0;
  };
  mutable KnownState m_known;
  // Evaluations in progress, outermost first: the cell and the formula it runs.
  std::vector<std::pair<CellAddr, const Formula*>> m_active;
  // A finished small walk's lists, taken by the next walk: a formula
  // entered, or a cell whose answer came, starts a walk of its own.
  std::unique_ptr<WalkLists> m_spare_walk;
};

}  // namespace quillo::spreadsheet
