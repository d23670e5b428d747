// Model: array formulas, whose cells share one formula written for the
// top-left cell and change only together.
#include <algorithm>

#include "spreadsheet/model.h"

namespace quillo::spreadsheet {

// A cell of an array formula of several cells changes only with the whole
// array, as the spreadsheets that write such formulas have it.
Status Model::check_array_edit(const CellAddr& a) const {
  const auto box = array_box(a.sheet, a.row, a.col);
  if (!box || box->single()) return {};
  return Status::failed("cannot change part of an array (" + box_a1(*box, false) + ")");
}

Status Model::restore_array(SheetId sheet_id, const Box& box, FormulaPtr formula, bool dirty,
                            std::uint32_t source) {
  Sheet* s = sheet_mut(sheet_id);
  if (!s) return Status::object_required("the worksheet no longer exists");
  if (!valid_cell(box.r1, box.c1) || !valid_cell(box.r2, box.c2) || !formula)
    return Status(StatusCode::InvalidArgument, "cell outside the sheet");
  for (std::int32_t r = box.r1; r <= box.r2; ++r) {
    for (std::int32_t c = box.c1; c <= box.c2; ++c) {
      const CellAddr a{sheet_id, r, c};
      const std::uint64_t key = cell_key(r, c);
      drop_formula(a);
      FormulaState& fs = s->cells.add_formula(key);
      fs.formula = formula;
      fs.in_array = true;
      fs.array = std::make_unique<Box>(box);
      if (r == box.r1 && c == box.c1) fs.source = source;  // its first cell writes it
      s->formulas.insert(key);
      m_recalc.formula_restored(a, fs, dirty);
      if (!dirty) {
        fs.frozen = true;
        m_any_frozen = true;
      }
    }
  }
  s->max_row = std::max(s->max_row, box.r2);
  s->max_col = std::max(s->max_col, box.c2);
  note_unfound(s->book, CellAddr{sheet_id, box.r1, box.c1}, formula.get());
  return {};
}

std::optional<Box> Model::array_box(SheetId sheet_id, std::int32_t row, std::int32_t col) const {
  const FormulaState* fs = formula_state(CellAddr{sheet_id, row, col});
  if (!fs || !fs->in_array) return std::nullopt;
  return *fs->array;
}

Status Model::set_array_formula(SheetId sheet_id, const Box& box, std::string_view text) {
  const Sheet* s = sheet(sheet_id);
  if (!s) return Status::object_required("the worksheet no longer exists");
  if (!valid_cell(box.r1, box.c1) || !valid_cell(box.r2, box.c2))
    return Status(StatusCode::InvalidArgument, "cell outside the sheet");
  if (box.area() > 1'000'000) return Status::failed("array formula too large");
  if (text.empty() || text[0] != '=') return Status::failed("an array formula starts with \"=\"");
  const BookId book_id = s->book;
  auto parsed = parse_formula(
      text, Notation::A1, box.r1, box.c1,
      [this, book_id](std::string_view n) { return find_sheet(book_id, n); },
      [this, book_id](std::string_view n) { return find_table(book_id, n); });
  if (!parsed.ok()) return parsed.status();
  Status cut;
  for_each_cell(sheet_id, box, [&](std::int32_t r, std::int32_t c, const Cell& cell) {
    const FormulaState* fs = cell.formula;
    if (fs && fs->in_array && cut.ok() &&
        !(box.contains(fs->array->r1, fs->array->c1) &&
          box.contains(fs->array->r2, fs->array->c2))) {
      cut = check_array_edit(CellAddr{sheet_id, r, c});
    }
  });
  if (!cut.ok()) return cut;
  if (auto st = restore_array(sheet_id, box, std::move(parsed).value(), true); !st.ok()) return st;
  for (std::int32_t r = box.r1; r <= box.r2; ++r) {
    for (std::int32_t c = box.c1; c <= box.c2; ++c) {
      m_recalc.mark_dependents(CellAddr{sheet_id, r, c});
    }
  }
  m_recalc.after_change();
  return {};
}

}  // namespace quillo::spreadsheet
