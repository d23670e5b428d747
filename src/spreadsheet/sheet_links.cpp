// Model: formulas and names that name a sheet their book does not have
// (=Data!A1 typed before Data exists, or read from a file that lacks it).
// They show #REF! until a sheet of that name comes, added or renamed to it;
// then they are read anew from their text, as the book opened again reads
// them, indexed for what they now read, and recalculated.
//
// Such formulas are few, so the model keeps a record of their cells
// (m_unfound) as formulas are stored and removed: a sheet added to a book
// of any size costs a look at that record and at the book's names, and no
// parse of anything else. A reference to a sheet that was deleted is not
// one of them: it holds the gone sheet's id, and stays #REF!.
#include <algorithm>

#include "spreadsheet/model.h"

namespace quillo::spreadsheet {

namespace {

// Whether the sheet of a reference as written was not found, yet the book
// has one of that name now.
bool found_now(const Model& m, BookId book, SheetId id, const std::string& name) {
  return id == 0 && !name.empty() && m.find_sheet(book, name) != 0;
}

bool ref_found_now(const Model& m, BookId book, const RefAst& r) {
  return r.has_sheet && (found_now(m, book, r.sheet, r.sheet_name()) ||
                         (r.three_d() && found_now(m, book, r.sheet2, r.sheet2_name())));
}

// Whether a name under n is qualified with such a sheet (Data!Rate).
bool name_sheet_found_now(const Model& m, BookId book, const Node& n) {
  if (n.kind == Node::Kind::Name && ref_found_now(m, book, n.ref())) return true;
  return std::any_of(n.args.begin(), n.args.end(),
                     [&](const auto& a) { return a && name_sheet_found_now(m, book, *a); });
}

}  // namespace

bool Model::finds_sheet_now(BookId book_id, const Formula& f) const {
  if (!f.unfound_sheet) return false;
  // Every reference is among refs; a sheet qualifying a name is only in the tree.
  if (std::any_of(f.refs.begin(), f.refs.end(),
                  [&](const RefAst& r) { return ref_found_now(*this, book_id, r); })) {
    return true;
  }
  return f.uses_names && f.root && name_sheet_found_now(*this, book_id, *f.root);
}

void Model::note_unfound(BookId book_id, const CellAddr& a, const Formula* f) {
  if (f && f->unfound_sheet) {
    m_unfound[book_id].insert(a);
    return;
  }
  if (m_unfound.empty()) return;  // most books: nothing to look up
  const auto it = m_unfound.find(book_id);
  if (it == m_unfound.end()) return;
  it->second.erase(a);
  if (it->second.empty()) m_unfound.erase(it);
}

FormulaPtr Model::read_anew(BookId book_id, const Formula& f, std::int32_t row,
                            std::int32_t col) const {
  const std::string text =
      write_formula(f, Notation::A1, row, col, [this](SheetId id) { return sheet_name(id); });
  auto parsed = parse_formula(
      text, Notation::A1, row, col,
      [this, book_id](std::string_view n) { return find_sheet(book_id, n); },
      [this, book_id](std::string_view n) { return find_table(book_id, n); });
  return parsed.ok() ? std::move(parsed).value() : nullptr;
}

void Model::link_found_sheets(BookId book_id) {
  // Names first: the formulas that use them read them as they read now.
  if (const Book* b = book(book_id)) {
    std::vector<std::pair<std::size_t, FormulaPtr>> names;
    for (std::size_t i = 0; i < b->names.size(); ++i) {
      const DefinedName& d = b->names[i];
      if (!d.formula || !finds_sheet_now(book_id, *d.formula)) continue;
      if (FormulaPtr f = read_anew(book_id, *d.formula, 1, 1)) names.emplace_back(i, std::move(f));
    }
    if (!names.empty()) {
      relink_after(name_users(book_id), [&] {
        auto& defined = m_books.at(book_id).names;
        for (auto& [i, f] : names) defined[i].formula = std::move(f);
      });
    }
  }

  const auto record = m_unfound.find(book_id);
  if (record == m_unfound.end()) return;
  // The cells to read anew, in order; cells whose formulas went (or whose
  // sheet did) leave the record.
  std::vector<CellAddr> cells, gone;
  for (const CellAddr& a : record->second) {
    const FormulaState* fs = formula_state(a);
    if (!fs || !fs->formula || !fs->formula->unfound_sheet ||
        (fs->in_array && (fs->array->r1 != a.row || fs->array->c1 != a.col))) {
      gone.push_back(a);
    } else if (finds_sheet_now(book_id, *fs->formula)) {
      cells.push_back(a);
    }
  }
  for (const CellAddr& a : gone) record->second.erase(a);
  if (record->second.empty()) m_unfound.erase(record);
  std::sort(cells.begin(), cells.end());

  // Cells that shared one parsed formula share the one read anew: it is
  // read once, at the first of them. Nothing below evaluates until the end.
  std::unordered_map<const Formula*, std::pair<FormulaPtr, FormulaPtr>> anew;
  std::vector<CellAddr> entered;
  for (const CellAddr& a : cells) {
    FormulaState* fs = formula_state(a);
    const FormulaPtr old = fs->formula;
    // One that keeps the file's value and uses names or add-in functions
    // may not be computable even now: the book opened again decides that,
    // and the value stays.
    if (fs->frozen && (old->uses_names || old->calls_external)) continue;
    auto& [held, f] = anew[old.get()];
    if (!held) {
      held = old;
      f = read_anew(book_id, *old, a.row, a.col);
    }
    if (!f) continue;
    // One that kept the file's value as it named a missing sheet is now
    // computed, unless it still names one.
    const bool keep = fs->frozen && f->unfound_sheet;
    if (fs->in_array) {
      const Box box = *fs->array;
      (void)restore_array(a.sheet, box, f, !keep);
      if (!keep) {
        for (std::int32_t r = box.r1; r <= box.r2; ++r) {
          for (std::int32_t c = box.c1; c <= box.c2; ++c) {
            m_recalc.mark_dependents(CellAddr{a.sheet, r, c});
          }
        }
      }
    } else if (keep) {
      m_recalc.unindex(a, *fs);
      fs->formula = f;
      m_recalc.reindex(a, *fs);
    } else {
      install_formula(a, f, true);
    }
    if (!keep) entered.push_back(a);
  }
  if (!entered.empty()) m_recalc.after_entry(entered);
}

}  // namespace quillo::spreadsheet
