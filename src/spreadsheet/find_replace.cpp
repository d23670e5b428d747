#include "spreadsheet/find_replace.h"

#include <algorithm>

#include "common/text.h"

namespace quillo::spreadsheet {

namespace {

bool matches(std::string_view hay, std::string_view what, host::LookAt look_at, bool match_case) {
  if (look_at == host::LookAt::Whole) {
    return match_case ? hay == what : text::iequals(hay, what);
  }
  return (match_case ? text::find(hay, what) : text::find_ci(hay, what)) != 0;
}

// Replaces every occurrence, left to right; false when there was none.
bool replace_text(std::string& s, std::string_view what, std::string_view with,
                  host::LookAt look_at, bool match_case) {
  if (what.empty()) return false;
  if (look_at == host::LookAt::Whole) {
    if (!matches(s, what, look_at, match_case)) return false;
    s = std::string(with);
    return true;
  }
  std::string out;
  std::size_t from = 1;
  bool any = false;
  while (true) {
    const std::size_t p = match_case ? text::find(s, what, from) : text::find_ci(s, what, from);
    if (p == 0) break;
    out.append(s, from - 1, p - from);
    out.append(with);
    from = p + what.size();
    any = true;
  }
  if (!any) return false;
  out.append(s, from - 1, std::string::npos);
  s = std::move(out);
  return true;
}

void collect_books(const Node& n, std::vector<std::string>& out) {
  if (n.kind == Node::Kind::Call && n.has_book) {
    const bool known = std::any_of(
        out.begin(), out.end(), [&](const std::string& s) { return text::iequals(s, n.book()); });
    if (!known) out.push_back(n.book());
  }
  for (const auto& a : n.args) collect_books(*a, out);
}

}  // namespace

std::optional<CellAddr> find_cell(const Model& model, SheetId sheet_id, const Box& box,
                                  std::string_view what, const host::FindOptions& options) {
  std::optional<CellAddr> best;
  bool best_wrapped = false;
  auto order = [&](const CellAddr& a) {
    return options.order == host::SearchOrder::ByRows ? std::make_pair(a.row, a.col)
                                                      : std::make_pair(a.col, a.row);
  };
  model.for_each_cell(sheet_id, box, [&](std::int32_t r, std::int32_t c, const Cell& cell) {
    const std::string shown = options.look_in == host::LookIn::Formulas
                                  ? model.formula_text(sheet_id, r, c, Notation::A1)
                                  : cell.value.to_text();
    if (!matches(shown, what, options.look_at, options.match_case)) return;
    const CellAddr a{sheet_id, r, c};
    const bool wrapped = r == box.r1 && c == box.c1;  // the start cell is searched last
    if (!best || (best_wrapped && !wrapped) ||
        (best_wrapped == wrapped && order(a) < order(*best))) {
      best = a;
      best_wrapped = wrapped;
    }
  });
  return best;
}

Result<bool> replace_in_cells(Model& model, SheetId sheet_id, const Box& box, std::string_view what,
                              std::string_view replacement, const host::ReplaceOptions& options) {
  if (!model.sheet(sheet_id)) return Status::object_required("the worksheet no longer exists");
  // Collect first: each replacement recalculates, which may change the sheet.
  std::vector<CellAddr> cells;
  model.for_each_cell(sheet_id, box, [&](std::int32_t r, std::int32_t c, const Cell& cell) {
    if (options.formulas_only && !cell.formula) return;
    if (!cell.value.is_empty() || cell.formula) cells.push_back(CellAddr{sheet_id, r, c});
  });
  if (options.order == host::SearchOrder::ByRows) {
    std::sort(cells.begin(), cells.end(), [](const CellAddr& a, const CellAddr& b) {
      return std::make_pair(a.row, a.col) < std::make_pair(b.row, b.col);
    });
  }
  bool changed = false;
  for (const CellAddr& a : cells) {
    std::string t = model.formula_text(a.sheet, a.row, a.col, Notation::A1);
    if (!replace_text(t, what, replacement, options.look_at, options.match_case)) continue;
    // A formula that would no longer parse is left as it was.
    if (model.set_formula(a.sheet, a.row, a.col, t, Notation::A1).ok()) changed = true;
  }
  return changed;
}

std::vector<std::string> link_sources(const Model& model, BookId book_id) {
  std::vector<std::string> out;
  const Book* b = model.book(book_id);
  if (!b) return out;
  for (SheetId id : b->sheets) {
    const Sheet* s = model.sheet(id);
    for (std::uint64_t key : s->formulas) {
      collect_books(*s->cells.formula(key)->formula->root, out);
    }
  }
  return out;
}

}  // namespace quillo::spreadsheet
