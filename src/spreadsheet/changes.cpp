// What a run changed: the values cells held before their first change, and
// the formulas left with the file's value that read a changed cell.
#include <algorithm>

#include "spreadsheet/model.h"

namespace quillo::spreadsheet {

void Model::note_change(const CellAddr& a, const Value& before, const Value& after) {
  if (before == after) return;
  auto& noted = m_before[a.sheet];
  if (!noted) noted = std::make_unique<CellStore>();
  const std::uint64_t key = cell_key(a.row, a.col);
  // An empty first value is kept as an empty cell: the store keeps it until
  // it is erased.
  if (!noted->contains(key)) noted->set_value(key, before);
}

std::vector<CellAddr> Model::changed_cells() const {
  std::vector<CellAddr> out;
  for (const auto& [id, noted] : m_before) {
    if (!sheet(id)) continue;
    for (const std::uint64_t key : noted->keys()) {
      // A cell that went back to its first value (a request that failed and
      // showed the file's figure again) did not change.
      const CellAddr a{id, key_row(key), key_col(key)};
      if (!(value(id, a.row, a.col) == noted->value(key))) out.push_back(a);
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

namespace {

// Whether a formula reads cells through a name: what it reads is not in
// its references.
bool uses_names(const Node& n) {
  if (n.kind == Node::Kind::Name) return true;
  return std::any_of(n.args.begin(), n.args.end(), [](const auto& a) { return uses_names(*a); });
}

}  // namespace

std::vector<CellAddr> Model::stale_formulas() const {
  // From each changed cell forward through the formulas that keep the
  // file's value: a computed formula that read a changed cell was computed
  // again, and is a changed cell itself when its value moved. Without a
  // formula that keeps the file's value there is nothing to look for.
  if (!m_any_frozen) return {};
  std::vector<CellAddr> queue = changed_cells();
  std::unordered_set<CellAddr, CellAddrHash> seen;
  std::vector<CellAddr> out, found;
  // One that reads through a name may read any changed cell of its book.
  std::unordered_set<BookId> changed_books;
  for (const CellAddr& a : queue) changed_books.insert(sheet(a.sheet)->book);
  for (const BookId b : changed_books) {
    for (const SheetId id : book(b)->sheets) {
      const Sheet* s = sheet(id);
      for (const std::uint64_t key : s->formulas) {
        const FormulaState& fs = *s->cells.formula(key);
        const CellAddr a{id, key_row(key), key_col(key)};
        if (fs.frozen && fs.formula->root && uses_names(*fs.formula->root) &&
            seen.insert(a).second) {
          out.push_back(a);
          queue.push_back(a);
        }
      }
    }
  }
  while (!queue.empty()) {
    const CellAddr a = queue.back();
    queue.pop_back();
    found.clear();
    m_recalc.dependents(a, found);
    for (const CellAddr& d : found) {
      const FormulaState* fs = formula_state(d);
      if (fs && fs->frozen && seen.insert(d).second) {
        out.push_back(d);
        queue.push_back(d);
      }
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

FormulaPtr Model::formula_at(const CellAddr& a) const {
  const FormulaState* fs = formula_state(a);
  return fs ? fs->formula : nullptr;
}

namespace {

const Node* find_missing(
    const Node& n, const std::function<bool(std::string_view, const std::string*)>& can_call) {
  if (n.kind == Node::Kind::Call && !n.builtin &&
      !(can_call && can_call(n.name(), n.has_book ? &n.book() : nullptr))) {
    return &n;
  }
  for (const auto& a : n.args) {
    if (const Node* m = find_missing(*a, can_call)) return m;
  }
  return nullptr;
}

}  // namespace

std::string missing_function(
    const Formula& f, const std::function<bool(std::string_view, const std::string*)>& can_call) {
  const Node* n = f.root ? find_missing(*f.root, can_call) : nullptr;
  return n ? n->name() : std::string();
}

}  // namespace quillo::spreadsheet
