// Recalculation: the dependency index's upkeep, dirty marking, ordering and
// evaluation of formula cells.
//
// Ordering is Tarjan's strongly-connected-components walk over precedents,
// done with an explicit stack: a component completes only after every
// component it reads, so a single cell is evaluated once its precedents are
// current, and a component of several cells (or a cell reading itself) is a
// circular reference whose cells keep their values (#REF! when they have
// none). Each reference is
// scanned once per walk, resuming from a saved key rather than an iterator,
// because evaluation may change the tables under the walk.
#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "spreadsheet/evaluator.h"
#include "spreadsheet/functions.h"
#include "spreadsheet/model.h"
#include "spreadsheet/recalculation.h"

namespace quillo::spreadsheet {

namespace {

// The first formula cell of the sheet within box at or after key (column by
// column); nullopt when there is none.
std::optional<std::uint64_t> next_formula_in(const Sheet& s, const Box& box, std::uint64_t key) {
  if (box.single()) {  // most references: the cell itself says
    const std::uint64_t cell = cell_key(box.r1, box.c1);
    if (key > cell || !s.cells.formula(cell)) return std::nullopt;
    return cell;
  }
  key = std::max(key, cell_key(box.r1, box.c1));
  while (true) {
    const auto it = s.formulas.lower_bound(key);
    if (it == s.formulas.end()) return std::nullopt;
    const std::int32_t col = key_col(*it), row = key_row(*it);
    if (col > box.c2) return std::nullopt;
    if (row < box.r1) {
      key = cell_key(box.r1, col);
    } else if (row > box.r2) {
      key = cell_key(box.r1, col + 1);
    } else {
      return *it;
    }
  }
}

// The walk's visits by cell: an open-addressing table of 16-byte entries
// (linear probing, at most half full), so a walk over many formulas
// neither allocates a node per cell nor follows a pointer to find one.
class VisitTable {
 public:
  struct Visit {
    std::uint32_t index = 0;
    bool on_stack = false;
  };

  std::optional<Visit> find(const CellAddr& a) const {
    if (m_size == 0) return std::nullopt;  // a walk's first look, at its first cell
    if (const Entry* e = entry(a)) return Visit{(e->visit >> 1) - 1, (e->visit & 1) != 0};
    return std::nullopt;
  }

  // a must not be in the table yet; index below 2^31.
  void add(const CellAddr& a, Visit v) {
    if (2 * (m_size + 1) > m_entries.size()) grow();
    const std::size_t at = place(Entry{a, (v.index + 1) << 1 | (v.on_stack ? 1u : 0u)});
    if (m_size < m_placed.size()) m_placed[m_size] = static_cast<std::uint32_t>(at);
    ++m_size;
  }

  // a must be in the table.
  void leave_stack(const CellAddr& a) { const_cast<Entry*>(entry(a))->visit &= ~1u; }

  // Room for n visits without growing: a walk over many formulas sizes its
  // table once rather than doubling it a dozen times.
  void reserve(std::size_t n) {
    if (n <= 32) return;  // the first add makes room for that many
    std::size_t size = 64;
    while (size < 2 * n) size *= 2;
    if (size > m_entries.size()) rehash(size);
  }

 private:
  struct Entry {
    CellAddr addr;
    std::uint32_t visit = 0;  // (index + 1) << 1 | on stack; 0: a free entry
  };

  // Runs of eight rows of a column share a group of eight entries, so a
  // walk down a column stays within a few cache lines.
  std::size_t slot_of(const CellAddr& a) const {
    const std::size_t group = CellAddrHash{}(CellAddr{a.sheet, a.row >> 3, a.col});
    return (group << 3 | static_cast<std::size_t>(a.row & 7)) & (m_entries.size() - 1);
  }
  const Entry* entry(const CellAddr& a) const {
    if (m_entries.empty()) return nullptr;
    for (std::size_t i = slot_of(a);; i = (i + 1) & (m_entries.size() - 1)) {
      const Entry& e = m_entries[i];
      if (e.visit == 0) return nullptr;
      if (e.addr == a) return &e;
    }
  }
  std::size_t place(const Entry& e) {
    std::size_t i = slot_of(e.addr);
    while (m_entries[i].visit != 0) i = (i + 1) & (m_entries.size() - 1);
    m_entries[i] = e;
    return i;
  }
  void grow() { rehash(std::max<std::size_t>(64, 2 * m_entries.size())); }

 public:
  // Empties the table, keeping its room; false (and nothing done) when the
  // room is too large to be worth clearing for another walk.
  bool clear_small() {
    if (m_entries.size() > 256) return false;
    if (m_placed_hold && m_size <= m_placed.size()) {
      // A walk of a cell or two (a formula entered, an answer come): free
      // just the entries it took.
      for (std::size_t i = 0; i < m_size; ++i) m_entries[m_placed[i]] = Entry{};
    } else if (!m_entries.empty()) {
      // All bytes zero is a free entry.
      std::memset(static_cast<void*>(m_entries.data()), 0, m_entries.size() * sizeof(Entry));
    }
    m_size = 0;
    m_placed_hold = true;
    return true;
  }

 private:
  void rehash(std::size_t size) {
    if (m_size != 0) m_placed_hold = false;  // the entries move
    std::vector<Entry> old(size);
    old.swap(m_entries);
    for (const Entry& e : old) {
      if (e.visit != 0) place(e);
    }
  }

  std::vector<Entry> m_entries;  // a power of two of them
  std::size_t m_size = 0;
  // Where the first visits went, while no rehash has moved them since.
  std::array<std::uint32_t, 8> m_placed;
  bool m_placed_hold = true;
};

// A frame of the walk's stack: a formula cell whose precedents are being
// scanned.
struct WalkFrame {
  CellAddr addr;
  CellAddr host;  // where the formula is written (an array's top-left cell)
  FormulaPtr formula;
  std::size_t ref = 0;         // reference being scanned; then the extra targets
  std::uint64_t next_key = 0;  // where the scan of that reference resumes
  std::uint32_t index = 0;
  std::uint32_t low = 0;
  bool self_loop = false;
  bool has_extra = false;  // the formula reads names or 3-D references
};

}  // namespace

// What a walk keeps while it runs: its visits, its stack and the cells of
// the components not finished yet.
struct Recalculation::WalkLists {
  VisitTable visits;
  std::vector<WalkFrame> stack;
  std::vector<CellAddr> components;
};

// One walk over the dirty formulas it is started from, evaluating each once
// its precedents are current; scope limits it to one sheet.
class Recalculation::Walk {
 public:
  // Takes the lists the last walk left, if no other walk holds them.
  Walk(Recalculation& recalc, std::optional<SheetId> scope)
      : m_recalc(recalc), m_scope(scope), m_lists(take_lists(recalc)) {}
  // Gives small lists back for the next walk (a walk left early by an
  // exception leaves frames behind: those lists go).
  ~Walk() {
    if (!m_recalc.m_spare_walk && m_stack.empty() && m_visits.clear_small()) {
      m_components.clear();
      m_recalc.m_spare_walk = std::move(m_lists);
    }
  }
  Walk(const Walk&) = delete;
  Walk& operator=(const Walk&) = delete;

  // Room for n cells to visit (see VisitTable::reserve).
  void reserve(std::size_t n) { m_visits.reserve(n); }

  void run(const CellAddr& root) {
    if (m_visits.find(root)) return;
    if (FormulaState* fs = wanted(root)) visit(root, *fs);
    while (!m_stack.empty()) {
      const std::size_t top = m_stack.size() - 1;
      if (const auto next = next_precedent(m_stack[top])) {
        const std::optional<VisitTable::Visit> seen = m_visits.find(*next);
        if (!seen) {
          if (FormulaState* fs = wanted(*next)) visit(*next, *fs);
        } else if (seen->on_stack) {
          Frame& f = m_stack[top];
          f.low = std::min(f.low, seen->index);
          if (*next == f.addr) f.self_loop = true;
        }
        continue;
      }
      finish();
    }
  }

 private:
  using Frame = WalkFrame;

  static std::unique_ptr<WalkLists> take_lists(Recalculation& recalc) {
    if (recalc.m_spare_walk) return std::move(recalc.m_spare_walk);
    return std::make_unique<WalkLists>();
  }
  bool in_scope(SheetId sheet) const { return !m_scope || *m_scope == sheet; }

  // The state of a formula cell this walk should evaluate; null for others.
  FormulaState* wanted(const CellAddr& a) const {
    FormulaState* fs = m_recalc.state(a);
    const bool wanted = fs && fs->dirty && in_scope(a.sheet) && m_recalc.can_calculate(a.sheet) &&
                        !m_recalc.is_evaluating(a, fs->formula.get());
    return wanted ? fs : nullptr;
  }

  // A formula that reads no cell (no references, no names; an add-in
  // call of constants) is a component of its own with nothing to wait
  // for: it is evaluated at once, as pushing and finishing it would do,
  // without a frame.
  void visit(const CellAddr& a, FormulaState& fs) {
    if (!fs.formula->refs.empty() || fs.extra) {
      push(a, fs);
      return;
    }
    const FormulaPtr f = fs.formula;  // held: the evaluation may replace it
    m_visits.add(a, VisitTable::Visit{m_counter++, false});
    m_recalc.evaluate(a, f, false, false, &fs);
  }

  void push(const CellAddr& a, const FormulaState& fs) {
    Frame f;
    f.addr = a;
    f.formula = fs.formula;
    f.host = fs.in_array ? CellAddr{a.sheet, fs.array->r1, fs.array->c1} : a;
    f.has_extra = fs.extra != nullptr;
    f.index = f.low = m_counter++;
    m_visits.add(a, VisitTable::Visit{f.index, true});
    m_components.push_back(a);
    m_stack.push_back(std::move(f));
  }

  // The targets beyond the formula's own references (names, 3-D
  // references) stay with the cell's formula state rather than being copied
  // into every frame: most formulas have none. They are looked up again at
  // each step since evaluation may have replaced the cell's formula, and
  // then the walk is done with this frame.
  const std::vector<std::pair<SheetId, Box>>* extra_of(const Frame& f) const {
    if (!f.has_extra) return nullptr;
    const FormulaState* fs = m_recalc.state(f.addr);
    return fs && fs->formula == f.formula ? fs->extra.get() : nullptr;
  }

  std::optional<CellAddr> next_precedent(Frame& f) const {
    const auto& refs = f.formula->refs;
    while (true) {
      std::optional<std::pair<SheetId, Box>> target;
      if (f.ref >= refs.size()) {
        const auto* extra = extra_of(f);
        if (!extra || f.ref - refs.size() >= extra->size()) break;
        target = (*extra)[f.ref - refs.size()];
      } else if (!refs[f.ref].three_d() && !refs[f.ref].position_only) {
        target = m_recalc.m_model.resolve(refs[f.ref], f.host);
      }
      const Sheet* s = target ? m_recalc.m_model.sheet(target->first) : nullptr;
      if (s && in_scope(s->id) && m_recalc.can_calculate(s->id)) {
        if (const auto key = next_formula_in(*s, target->second, f.next_key)) {
          f.next_key = *key + 1;
          return CellAddr{s->id, key_row(*key), key_col(*key)};
        }
      }
      ++f.ref;
      f.next_key = 0;
    }
    return std::nullopt;
  }

  void finish() {
    Frame f = std::move(m_stack.back());
    m_stack.pop_back();
    if (!m_stack.empty()) m_stack.back().low = std::min(m_stack.back().low, f.low);
    if (f.low != f.index) return;  // part of a component rooted further down
    if (!f.self_loop && m_components.back() == f.addr) {
      // A component of one cell, the usual case: no list to make.
      m_components.pop_back();
      m_visits.leave_stack(f.addr);
      m_recalc.evaluate(f.addr, f.formula, false);
      return;
    }
    std::vector<CellAddr> component;
    while (true) {
      const CellAddr a = m_components.back();
      m_components.pop_back();
      m_visits.leave_stack(a);
      component.push_back(a);
      if (a == f.addr) break;
    }
    if (component.size() == 1 && !f.self_loop) {
      m_recalc.evaluate(f.addr, f.formula, false);
      return;
    }
    for (const CellAddr& a : component) {
      if (const FormulaState* fs = m_recalc.state(a)) {
        m_recalc.evaluate(a, fs->formula, true);
      }
    }
  }

  Recalculation& m_recalc;
  std::optional<SheetId> m_scope;
  std::unique_ptr<WalkLists> m_lists;
  VisitTable& m_visits = m_lists->visits;
  std::vector<Frame>& m_stack = m_lists->stack;
  std::vector<CellAddr>& m_components = m_lists->components;
  std::uint32_t m_counter = 0;
};

Recalculation::Recalculation(Model& model) : m_model(model) {}
Recalculation::~Recalculation() = default;

// ---- the model's edits ----

FormulaState* Recalculation::state(const CellAddr& a) const {
  // The state kept stands while no state has been let go: a cell's state
  // stays where it is, and is its own, until its formula is removed.
  if (m_known.state && m_known.addr == a && m_known.released == m_model.states_released()) {
    return m_known.state;
  }
  FormulaState* fs = m_model.formula_state(a);
  if (fs) m_known = KnownState{a, fs, m_model.states_released()};
  return fs;
}

void Recalculation::index_refs(const CellAddr& a, FormulaState& fs, bool add) {
  // The cells of an array formula read what its top-left cell's formula reads.
  const CellAddr host = fs.in_array ? CellAddr{a.sheet, fs.array->r1, fs.array->c1} : a;
  const Formula& f = *fs.formula;
  for (const RefAst& ref : f.refs) {
    // 3-D references are among the extra targets; a position is no value read.
    if (ref.three_d() || ref.position_only) continue;
    const auto r = m_model.resolve(ref, host);
    if (!r) continue;
    const bool follows_row = ref.kind == RefAst::Kind::Cell && !ref.r1.abs;
    add ? m_deps.add(a, r->first, r->second, follows_row) : m_deps.remove(a, r->first, r->second);
  }
  if (add) {
    auto targets = m_model.extra_targets(host, f);
    fs.extra = targets.empty()
                   ? nullptr
                   : std::make_unique<std::vector<std::pair<SheetId, Box>>>(std::move(targets));
  }
  if (fs.extra) {
    for (const auto& [sheet, box] : *fs.extra) {
      add ? m_deps.add(a, sheet, box) : m_deps.remove(a, sheet, box);
    }
  }
  if (!add) fs.extra.reset();
}

void Recalculation::formula_entered(const CellAddr& a, FormulaState& fs) {
  index_refs(a, fs, true);
  // Most books have neither volatile nor circular formulas: nothing to
  // look up then.
  if (fs.formula->is_volatile) {
    m_volatile.insert(a);
  } else if (!m_volatile.empty()) {
    m_volatile.erase(a);
  }
  entered(a, fs);
}

namespace {

// Whether what the formula's references resolve to depends on its text and
// its cell alone: no defined name (which may be redefined) and no 3-D
// reference (whose sheets are those between two in the workbook's order).
bool index_follows_text(const Formula& f) {
  return !f.uses_names &&
         std::none_of(f.refs.begin(), f.refs.end(), [](const RefAst& r) { return r.three_d(); });
}

}  // namespace

void Recalculation::formula_reentered(const CellAddr& a, FormulaState& fs) {
  // The same formula in the same cell reads what it read when it was
  // indexed: its entries, and its place among the volatile formulas, stand.
  if (index_follows_text(*fs.formula)) {
    entered(a, fs);
    return;
  }
  index_refs(a, fs, false);
  formula_entered(a, fs);
}

void Recalculation::entered(const CellAddr& a, FormulaState& fs) {
  m_known = KnownState{a, &fs, m_model.states_released()};
  if (!m_circular.empty()) m_circular.erase(a);
  const bool was_dirty = fs.dirty;
  if (!was_dirty) {  // what mark_from(a, true) does, with the state at hand
    set_dirty(a, fs);
    mark_readers(a);
  }
  // A cell that was dirty already (for example one whose formula is being
  // evaluated right now) must still be listed, so the new formula runs;
  // marking a clean one listed it. Look the state up again: marking does
  // not evaluate, but stay safe.
  if (!was_dirty) return;
  if (const FormulaState* now = state(a); now && now->dirty) m_dirty.push_back(a);
}

void Recalculation::formula_restored(const CellAddr& a, FormulaState& fs, bool dirty) {
  index_refs(a, fs, true);
  if (fs.formula->is_volatile) m_volatile.insert(a);
  if (dirty) set_dirty(a, fs);
}

void Recalculation::formula_removed(const CellAddr& a, FormulaState& fs) {
  index_refs(a, fs, false);
  clear_dirty(fs);
  m_volatile.erase(a);
  m_circular.erase(a);
}

std::vector<CellAddr> Recalculation::sheet_removed(SheetId sheet) {
  std::vector<CellAddr> readers;
  m_deps.drop_sheet(sheet, readers);
  readers.erase(std::remove_if(readers.begin(), readers.end(),
                               [sheet](const CellAddr& a) { return a.sheet == sheet; }),
                readers.end());
  return readers;
}

void Recalculation::mark_dependents(const CellAddr& changed) {
  mark_from(changed, false);
}

void Recalculation::mark_dirty(const CellAddr& formula) {
  mark_from(formula, true);
}

// ---- dirty marking ----

void Recalculation::set_dirty(const CellAddr& a, FormulaState& fs) {
  if (fs.dirty) return;
  fs.dirty = true;
  ++m_dirty_count;
  m_dirty.push_back(a);
  if (m_dirty.size() > 2 * m_dirty_count + 1024) compact_dirty();
}

void Recalculation::clear_dirty(FormulaState& fs) {
  if (!fs.dirty) return;
  fs.dirty = false;
  --m_dirty_count;
}

void Recalculation::compact_dirty() {
  std::unordered_set<CellAddr, CellAddrHash> kept;
  std::vector<CellAddr> out;
  for (const CellAddr& a : m_dirty) {
    const FormulaState* fs = state(a);
    if (fs && fs->dirty && kept.insert(a).second) out.push_back(a);
  }
  m_dirty.swap(out);
}

void Recalculation::mark_from(const CellAddr& changed, bool include_self) {
  if (include_self) {
    FormulaState* fs = state(changed);
    if (!fs || fs->dirty) return;  // a dirty cell's dependents are dirty already
    set_dirty(changed, *fs);
  }
  mark_readers(changed);
}

void Recalculation::mark_readers(const CellAddr& changed) {
  // Marking evaluates nothing, so it never re-enters: the lists are kept
  // from one call to the next rather than allocated at every edit.
  std::vector<CellAddr>& queue = m_mark_queue;
  std::vector<CellAddr>& found = m_mark_found;
  queue.clear();
  queue.push_back(changed);
  while (!queue.empty()) {
    const CellAddr a = queue.back();
    queue.pop_back();
    found.clear();
    m_deps.dependents(a, found);
    for (const CellAddr& d : found) {
      FormulaState* fs = state(d);
      if (fs && !fs->dirty) {
        set_dirty(d, *fs);
        queue.push_back(d);
      }
    }
  }
}

void Recalculation::mark_all(std::vector<CellAddr> cells) {
  for (const CellAddr& a : cells) mark_from(a, true);
}

bool Recalculation::is_dirty(const CellAddr& a) const {
  const FormulaState* fs = state(a);
  return fs && fs->dirty;
}

std::vector<CellAddr> Recalculation::circular_references() const {
  return std::vector<CellAddr>(m_circular.begin(), m_circular.end());
}

bool Recalculation::can_calculate(SheetId sheet_id) const {
  const Sheet* s = m_model.sheet(sheet_id);
  return s && s->enable_calculation;
}

bool Recalculation::is_evaluating(const CellAddr& a, const Formula* f) const {
  return std::any_of(m_active.begin(), m_active.end(),
                     [&](const auto& e) { return e.first == a && e.second == f; });
}

bool Recalculation::reads_dirty(const CellAddr& a, const Formula& f) const {
  const FormulaState* fs = state(a);
  const CellAddr host = fs && fs->in_array ? CellAddr{a.sheet, fs->array->r1, fs->array->c1} : a;
  const std::size_t extra = fs && fs->extra ? fs->extra->size() : 0;
  for (std::size_t i = 0; i < f.refs.size() + extra; ++i) {
    if (i < f.refs.size() && f.refs[i].position_only) continue;
    const auto target = i < f.refs.size() ? m_model.resolve(f.refs[i], host)
                                          : std::optional((*fs->extra)[i - f.refs.size()]);
    const Sheet* s = target ? m_model.sheet(target->first) : nullptr;
    if (!s) continue;
    for (auto key = next_formula_in(*s, target->second, 0); key;
         key = next_formula_in(*s, target->second, *key + 1)) {
      const CellAddr p{s->id, key_row(*key), key_col(*key)};
      if (p != a && is_dirty(p)) return true;
    }
  }
  return false;
}

// ---- evaluation ----

void Recalculation::evaluate(const CellAddr& a, const FormulaPtr& f, bool cyclic, bool keep_dirty,
                             FormulaState* known) {
  FormulaState* fs = known ? known : state(a);
  if (!fs || fs->formula != f || !fs->dirty) return;
  if (fs->frozen) {
    clear_dirty(*fs);  // what the file held stays
    return;
  }
  if (cyclic) {
    clear_dirty(*fs);
    m_circular.insert(a);
    // A cell with no value to keep (never computed) shows an error rather
    // than looking like an empty cell whose formula answered nothing.
    if (m_model.value(a.sheet, a.row, a.col).is_empty())
      m_model.set_result(a, Value(ErrorCode::Ref));
    return;
  }
  if (m_active.size() >= Model::kMaxNesting) return;  // stays dirty
  if (fs->in_array) {
    evaluate_array(a, f, keep_dirty);
    return;
  }
  m_active.emplace_back(a, f.get());
  Value result = Evaluator(m_model, a).run(*f);
  m_active.pop_back();
  // Look the cell up again: the evaluation may have replaced its formula or
  // removed its sheet, and then this result belongs to nobody.
  fs = state(a);
  if (!fs || fs->formula != f) return;
  m_model.set_result(a, std::move(result));
  if (!keep_dirty) clear_dirty(*fs);
  if (!m_circular.empty()) m_circular.erase(a);
}

// The cells of an array formula share their precedents, so the first of
// them the walk reaches computes the whole array and every cell of it still
// waiting takes its item.
void Recalculation::evaluate_array(const CellAddr& a, const FormulaPtr& f, bool keep_dirty) {
  const Box box = *state(a)->array;
  Evaluator evaluator(m_model, CellAddr{a.sheet, box.r1, box.c1});
  m_active.emplace_back(a, f.get());
  const Value whole = evaluator.run_array(*f, box.r2 - box.r1 + 1, box.c2 - box.c1 + 1);
  m_active.pop_back();
  for (std::int32_t r = box.r1; r <= box.r2; ++r) {
    for (std::int32_t c = box.c1; c <= box.c2; ++c) {
      const CellAddr m{a.sheet, r, c};
      FormulaState* fs = state(m);
      // Cells whose formula changed meanwhile, or that did not wait, stay.
      if (!fs || fs->formula != f || !fs->dirty) continue;
      m_model.sheet_mut(m.sheet)->cells.set_value(
          cell_key(r, c), evaluator.array_item(whole, r - box.r1, c - box.c1));
      if (!keep_dirty) clear_dirty(*fs);
      m_circular.erase(m);
    }
  }
}

void Recalculation::evaluate_now(const CellAddr& a) {
  FormulaState* fs = state(a);
  if (!fs || !fs->dirty || !can_calculate(a.sheet)) return;
  const FormulaPtr f = fs->formula;
  // With dirty precedents the cell is computed from their current values
  // but stays dirty, so the next calculation computes it after them.
  evaluate(a, f, false, reads_dirty(a, *f));
}

namespace {

// True when the formula finds cells while it runs (INDIRECT, OFFSET), so
// what it reads is not among its references.
bool finds_cells_when_run(const Node& n) {
  if (n.builtin && (n.builtin->name == "INDIRECT" || n.builtin->name == "OFFSET")) return true;
  for (const auto& a : n.args) {
    if (a && finds_cells_when_run(*a)) return true;
  }
  return false;
}

}  // namespace

void Recalculation::after_change() {
  if (m_calculation != host::Calculation::Automatic) return;
  recalc_dirty();
  // Formulas that find their cells while they run have no recorded
  // precedents: after every change they run again, after everything else.
  if (m_rerunning_found_cells || m_volatile.empty()) return;
  std::vector<CellAddr> cells;
  for (const CellAddr& a : m_volatile) {
    const FormulaState* fs = state(a);
    if (fs && fs->formula->root && finds_cells_when_run(*fs->formula->root)) cells.push_back(a);
  }
  if (cells.empty()) return;
  m_rerunning_found_cells = true;
  mark_all(std::move(cells));
  recalc_dirty();
  m_rerunning_found_cells = false;
}

void Recalculation::recalc_dirty() {
  if (m_active.size() >= Model::kMaxNesting) return;
  std::vector<CellAddr> list;
  list.swap(m_dirty);
  FormulaState* one = list.size() == 1 ? state(list[0]) : nullptr;
  if (one && one->formula && one->formula->refs.empty() && !one->extra) {
    // One dirty formula that reads no cell (a formula entered, or one
    // entered again for its answer): evaluated as a walk from it would
    // (Walk::wanted, Walk::visit), without setting the walk up.
    const CellAddr a = list[0];
    if (one->dirty && can_calculate(a.sheet) && !is_evaluating(a, one->formula.get())) {
      const FormulaPtr f = one->formula;  // held: the evaluation may replace it
      evaluate(a, f, false, false, one);
    }
  } else {
    Walk walk(*this, std::nullopt);
    walk.reserve(m_dirty_count);
    for (std::size_t i = 0; i < list.size(); ++i) walk.run(list[i]);
  }
  // Cells skipped (calculation off, or being evaluated further out) stay listed.
  if (m_dirty_count != 0) {
    for (const CellAddr& a : list) {
      if (is_dirty(a)) m_dirty.push_back(a);
    }
  }
  // The list's room serves the next cells marked dirty.
  if (m_dirty.empty()) {
    list.clear();
    m_dirty.swap(list);
  }
}

void Recalculation::after_entry(std::span<const CellAddr> formulas) {
  if (m_calculation == host::Calculation::Automatic) {
    after_change();
  } else {
    for (const CellAddr& a : formulas) evaluate_now(a);
  }
}

void Recalculation::set_calculation(host::Calculation mode) {
  m_calculation = mode;
  after_change();
}

void Recalculation::calculate_all() {
  const std::vector<CellAddr> volatile_cells(m_volatile.begin(), m_volatile.end());
  mark_all(volatile_cells);
  recalc_dirty();
}

void Recalculation::recalc_external_calls() {
  std::vector<CellAddr> cells;
  for (const auto& [id, s] : m_model.m_sheets) {
    for (std::uint64_t key : s->formulas) {
      if (s->cells.formula(key)->formula->calls_external) {
        cells.push_back(CellAddr{id, key_row(key), key_col(key)});
      }
    }
  }
  mark_all(std::move(cells));
  after_change();
}

Status Recalculation::calculate_sheet(SheetId id) {
  const Sheet* s = m_model.sheet(id);
  if (!s) return Status::object_required("the worksheet no longer exists");
  if (!s->enable_calculation) return {};
  std::vector<CellAddr> cells;
  for (std::uint64_t key : s->formulas) cells.push_back(CellAddr{id, key_row(key), key_col(key)});
  for (const CellAddr& a : cells) {
    if (m_volatile.count(a)) mark_from(a, true);
  }
  Walk walk(*this, id);
  for (const CellAddr& a : cells) walk.run(a);
  return {};
}

void Recalculation::sheet_enabled(SheetId id) {
  const Sheet* s = m_model.sheet(id);
  if (!s) return;
  std::vector<CellAddr> cells;
  for (std::uint64_t key : s->formulas) cells.push_back(CellAddr{id, key_row(key), key_col(key)});
  // Every formula of the sheet becomes dirty, even the ones already dirty
  // whose listing a skipped walk may have dropped.
  for (const CellAddr& a : cells) {
    if (FormulaState* fs = state(a); fs && fs->dirty) m_dirty.push_back(a);
  }
  mark_all(std::move(cells));
  after_change();
}

}  // namespace quillo::spreadsheet
