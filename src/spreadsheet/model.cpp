// Model: workbooks, sheets and cells. Calculation lives in recalculation.cpp.
#include "spreadsheet/model.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>

#include "common/dates.h"
#include "common/text.h"
#include "spreadsheet/formula_shape.h"
#include "spreadsheet/typed_entry.h"

namespace quillo::spreadsheet {

namespace {

Status gone_sheet() {
  return Status::object_required("the worksheet no longer exists");
}

Status bad_cell() {
  return Status(StatusCode::InvalidArgument, "cell outside the sheet");
}

}  // namespace

Model::Model() = default;

double Model::now() const {
  if (m_now) return m_now();
  // Local wall-clock time as a serial: days since 1899-12-30 plus the time of day.
  const std::time_t t = std::time(nullptr);
  std::tm local{};
  localtime_r(&t, &local);
  const double seconds = local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec;
  return date_serial(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday) + seconds / 86400.0;
}

// ---- workbooks ----

BookId Model::add_book(std::string name, std::string path) {
  const BookId id = m_next_book++;
  if (name.empty()) name = "Book" + std::to_string(++m_book_counter);
  Book& b = m_books[id];
  b.id = id;
  b.name = std::move(name);
  b.path = std::move(path);
  m_book_order.push_back(id);
  m_active_book = id;
  return id;
}

const Book* Model::book(BookId id) const {
  const auto it = m_books.find(id);
  return it == m_books.end() ? nullptr : &it->second;
}

void Model::activate_book(BookId id) {
  if (m_books.count(id)) m_active_book = id;
}

Status Model::set_book_file(BookId id, std::string path, std::shared_ptr<BookFile> file) {
  const auto it = m_books.find(id);
  if (it == m_books.end()) return Status::object_required("the workbook is closed");
  it->second.name = std::filesystem::path(path).filename().string();
  it->second.path = std::move(path);
  it->second.file = std::move(file);
  return {};
}

Status Model::close_book(BookId id) {
  const auto it = m_books.find(id);
  if (it == m_books.end()) return Status::object_required("the workbook is closed");
  // Copy the ids: removing sheets recalculates, which may re-enter.
  const std::vector<SheetId> sheets = it->second.sheets;
  for (SheetId s : sheets) destroy_sheet(s);
  m_books.erase(id);
  m_unfound.erase(id);
  m_book_order.erase(std::remove(m_book_order.begin(), m_book_order.end(), id), m_book_order.end());
  if (m_active_book == id) m_active_book = m_book_order.empty() ? 0 : m_book_order.back();
  return {};
}

// ---- sheets ----

Sheet* Model::lookup_sheet(SheetId id) const {
  const auto it = m_sheets.find(id);
  if (it == m_sheets.end()) return nullptr;
  m_last_sheet_id = id;
  m_last_sheet = it->second.get();
  return m_last_sheet;
}

std::string Model::sheet_name(SheetId id) const {
  const Sheet* s = sheet(id);
  return s ? s->name : std::string();
}

SheetId Model::find_sheet(BookId book_id, std::string_view name) const {
  const Book* b = book(book_id);
  if (!b) return 0;
  for (SheetId id : b->sheets) {
    if (text::iequals(sheet(id)->name, name)) return id;
  }
  return 0;
}

Status Model::check_sheet_name(BookId book_id, std::string_view name, SheetId self) const {
  if (name.empty() || text::char_count(name) > 31) {
    return Status::failed("a sheet name must have 1 to 31 characters");
  }
  if (std::any_of(name.begin(), name.end(),
                  [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; })) {
    return Status::failed("a sheet name cannot contain control characters");
  }
  if (name.find_first_of(":\\/?*[]") != std::string_view::npos || name.front() == '\'' ||
      name.back() == '\'') {
    return Status::failed("a sheet name cannot contain : \\ / ? * [ ] or begin or end with '");
  }
  const SheetId other = find_sheet(book_id, name);
  if (other != 0 && other != self) return Status::failed("that sheet name is already taken");
  return {};
}

Result<SheetId> Model::add_sheet(BookId book_id, std::string_view name) {
  const auto it = m_books.find(book_id);
  if (it == m_books.end()) return Status::object_required("the workbook is closed");
  std::string chosen(name);
  if (chosen.empty()) {
    for (int n = 1;; ++n) {
      chosen = "Sheet" + std::to_string(n);
      if (find_sheet(book_id, chosen) == 0) break;
    }
  }
  if (auto st = check_sheet_name(book_id, chosen, 0); !st.ok()) return st;
  auto s = std::make_unique<Sheet>();
  s->id = m_next_sheet++;
  s->book = book_id;
  s->name = std::move(chosen);
  const SheetId id = s->id;
  m_sheets.emplace(id, std::move(s));
  it->second.sheets.push_back(id);
  it->second.active = id;
  link_found_sheets(book_id);
  return id;
}

Status Model::rename_sheet(SheetId id, std::string_view name) {
  Sheet* s = sheet_mut(id);
  if (!s) return gone_sheet();
  if (auto st = check_sheet_name(s->book, name, id); !st.ok()) return st;
  s->name = std::string(name);
  link_found_sheets(s->book);
  return {};
}

Status Model::set_visibility(SheetId id, host::Visibility v) {
  Sheet* s = sheet_mut(id);
  if (!s) return gone_sheet();
  if (v != host::Visibility::Visible && s->visibility == host::Visibility::Visible) {
    const Book& b = m_books.at(s->book);
    const auto visible = std::count_if(b.sheets.begin(), b.sheets.end(), [this](SheetId x) {
      return sheet(x)->visibility == host::Visibility::Visible;
    });
    if (visible <= 1) return Status::failed("a workbook must keep one visible sheet");
  }
  s->visibility = v;
  return {};
}

Status Model::set_sheet_order(BookId book_id, const std::vector<SheetId>& order) {
  const auto it = m_books.find(book_id);
  if (it == m_books.end()) return Status::object_required("the workbook is closed");
  std::vector<SheetId> have = it->second.sheets, want = order;
  std::sort(have.begin(), have.end());
  std::sort(want.begin(), want.end());
  if (have != want) return Status::failed("the order must list each of the workbook's sheets once");
  if (it->second.sheets == order) return {};
  // A 3-D reference reads the sheets that lie between its two (a name may
  // hold one): the formulas that may read one read the sheets between as
  // they lie now, as the book opened anew in this order does.
  relink_after(name_users(book_id, true), [&] { it->second.sheets = order; });
  return {};
}

Status Model::remove_sheet(SheetId id) {
  Sheet* s = sheet_mut(id);
  if (!s) return gone_sheet();
  const Book& b = m_books.at(s->book);
  if (s->visibility == host::Visibility::Visible) {
    const auto visible = std::count_if(b.sheets.begin(), b.sheets.end(), [this](SheetId x) {
      return sheet(x)->visibility == host::Visibility::Visible;
    });
    if (visible <= 1) return Status::failed("a workbook must keep one visible sheet");
  }
  destroy_sheet(id);
  return {};
}

void Model::destroy_sheet(SheetId id) {
  Sheet* s = sheet_mut(id);
  if (!s) return;
  Book& b = m_books.at(s->book);
  // Forget the sheet's own formulas, then find the formulas elsewhere that
  // read it: they are recalculated and now answer #REF!.
  for (std::uint64_t key : s->formulas) {
    const CellAddr a{id, key_row(key), key_col(key)};
    m_recalc.formula_removed(a, *s->cells.formula(key));
  }
  const std::vector<CellAddr> readers = m_recalc.sheet_removed(id);
  std::erase_if(b.names, [id](const DefinedName& d) { return d.scope == id; });
  b.sheets.erase(std::remove(b.sheets.begin(), b.sheets.end(), id), b.sheets.end());
  if (b.active == id) b.active = b.sheets.empty() ? 0 : b.sheets.front();
  m_last_sheet_id = 0;
  m_last_sheet = nullptr;
  ++m_states_released;
  m_sheets.erase(id);
  for (const CellAddr& a : readers) m_recalc.mark_dirty(a);
  m_recalc.after_change();
}

void Model::activate_sheet(SheetId id) {
  if (const Sheet* s = sheet(id)) {
    m_books.at(s->book).active = id;
    m_active_book = s->book;
  }
}

// ---- cells ----

FormulaState* Model::formula_state(const CellAddr& a) {
  Sheet* s = sheet_mut(a.sheet);
  return s ? s->cells.formula(cell_key(a.row, a.col)) : nullptr;
}

const FormulaState* Model::formula_state(const CellAddr& a) const {
  return const_cast<Model*>(this)->formula_state(a);
}

Value Model::value(SheetId sheet_id, std::int32_t row, std::int32_t col) const {
  const Sheet* s = sheet(sheet_id);
  if (!s) return Value(ErrorCode::Ref);
  return s->cells.value(cell_key(row, col));
}

bool Model::has_formula(SheetId sheet_id, std::int32_t row, std::int32_t col) const {
  return formula_state(CellAddr{sheet_id, row, col}) != nullptr;
}

std::string Model::number_format(SheetId sheet_id, std::int32_t row, std::int32_t col) const {
  const Sheet* s = sheet(sheet_id);
  if (!s) return {};
  const std::string& f = s->cells.format(cell_key(row, col));
  return f.empty() ? "General" : f;
}

std::pair<std::int32_t, std::int32_t> Model::extent(SheetId sheet_id) const {
  const Sheet* s = sheet(sheet_id);
  return s ? std::make_pair(s->max_row, s->max_col) : std::make_pair(0, 0);
}

std::shared_ptr<const ColumnIndex> Model::column_index(SheetId sheet_id, std::int32_t col,
                                                       std::int32_t r1, std::int32_t r2) const {
  const Sheet* s = sheet(sheet_id);
  return s ? m_lookups.find(sheet_id, s->cells, col, r1, r2) : nullptr;
}

std::string Model::formula_text(SheetId sheet_id, std::int32_t row, std::int32_t col,
                                Notation notation) const {
  const Sheet* s = sheet(sheet_id);
  if (!s) return {};
  const auto found = s->cells.find(cell_key(row, col));
  if (!found) return {};
  const Cell& c = *found;
  if (c.formula) {
    if (c.formula->in_array) {  // written for the array's top-left cell
      row = c.formula->array->r1;
      col = c.formula->array->c1;
    }
    return write_formula(*c.formula->formula, notation, row, col,
                         [this](SheetId id) { return sheet_name(id); });
  }
  if (c.value.type() == ValueType::Date) {
    // Dates read back in the form typed entry turns into a date again.
    const double serial = c.value.number();
    const CivilDate d = civil_from_serial(serial);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", d.year, d.month, d.day);
    return serial == std::floor(serial) ? std::string(buf) : text::format_number(serial);
  }
  return c.value.to_text();
}

void Model::erase_if_blank(const CellAddr& a) {
  Sheet* s = sheet_mut(a.sheet);
  if (!s) return;
  s->cells.erase_if_blank(cell_key(a.row, a.col));
}

void Model::drop_formula(const CellAddr& a) {
  Sheet* s = sheet_mut(a.sheet);
  const std::uint64_t key = cell_key(a.row, a.col);
  FormulaState* fs = s ? s->cells.formula(key) : nullptr;
  if (!fs) return;
  m_recalc.formula_removed(a, *fs);
  ++m_states_released;
  s->cells.remove_formula(key);
  s->formulas.erase(key);
  note_unfound(s->book, a, nullptr);
}

std::optional<std::pair<SheetId, Box>> Model::resolve(const RefAst& ref,
                                                      const CellAddr& host) const {
  const SheetId sid = ref.has_sheet ? ref.sheet : host.sheet;
  if (sid == 0 || !sheet(sid)) return std::nullopt;
  auto part = [](const RefPart& p, std::int32_t base) {
    return p.abs ? std::int64_t{p.n} : std::int64_t{base} + p.n;
  };
  std::int64_t r1 = 1, r2 = kMaxRows, c1 = 1, c2 = kMaxCols;
  if (ref.kind != RefAst::Kind::Columns) {
    r1 = part(ref.r1, host.row);
    r2 = part(ref.r2, host.row);
  }
  if (ref.kind != RefAst::Kind::Rows) {
    c1 = part(ref.c1, host.col);
    c2 = part(ref.c2, host.col);
  }
  if (r1 > r2) std::swap(r1, r2);
  if (c1 > c2) std::swap(c1, c2);
  if (r1 < 1 || r2 > kMaxRows || c1 < 1 || c2 > kMaxCols) return std::nullopt;
  return std::make_pair(sid, Box{static_cast<std::int32_t>(r1), static_cast<std::int32_t>(c1),
                                 static_cast<std::int32_t>(r2), static_cast<std::int32_t>(c2)});
}

Status Model::store_value(const CellAddr& a, const Value& in) {
  Sheet* s = sheet_mut(a.sheet);
  if (!s) return gone_sheet();
  if (!valid_cell(a.row, a.col)) return bad_cell();
  // A formula's text goes to the parse as it is, without a copy first
  // (store_formula makes the checks that follow).
  if (in.is_text() && !in.text().empty() && in.text()[0] == '=') {
    return store_formula(a, in.text(), Notation::A1);
  }
  if (auto st = check_array_edit(a); !st.ok()) return st;
  Value v = in;
  std::string_view format;
  switch (in.type()) {
    case ValueType::Text: {
      TypedEntry entry = typed_entry(in.text());
      v = std::move(entry.value);
      format = entry.format;
      break;
    }
    case ValueType::Integer:
      v = Value(in.number());
      break;
    case ValueType::Null:
    case ValueType::Missing:
      v = Value();
      break;
    case ValueType::Array:
    case ValueType::Range:
      return Status(StatusCode::InvalidArgument, "a cell holds one value");
    default:
      break;
  }
  const std::uint64_t key = cell_key(a.row, a.col);
  drop_formula(a);
  if (m_tracking) note_change(a, s->cells.value(key), v);
  s->cells.set_value(key, v);
  if (!format.empty() && s->cells.format(key).empty()) s->cells.set_format(key, format);
  s->max_row = std::max(s->max_row, a.row);
  s->max_col = std::max(s->max_col, a.col);
  erase_if_blank(a);
  m_recalc.mark_dependents(a);
  return {};
}

Status Model::store_formula(const CellAddr& a, std::string_view text, Notation notation) {
  Sheet* s = sheet_mut(a.sheet);
  if (!s) return gone_sheet();
  if (!valid_cell(a.row, a.col)) return bad_cell();
  if (text.empty() || text[0] != '=') return store_value(a, Value(text));
  // The cell's formula state, asked after once for the checks, the sharing
  // and the install: nothing in between evaluates, writes or removes it.
  // So are the cells above and below it (one search of the column): the
  // formula above is tried first, and the sharing compares with both when
  // that fails.
  const CellStore::FormulasAround near = s->cells.formulas_around(cell_key(a.row, a.col));
  FormulaState* own = near.own;
  if (own && own->in_array) {
    if (auto st = check_array_edit(a); !st.ok()) return st;
  }
  FormulaState* above = near.above;
  if (FormulaPtr same = written_above(a, text, notation, FormulaText::Display, own, above)) {
    install_formula(a, std::move(same), true, own);
    return {};
  }
  const BookId book_id = s->book;
  auto parsed = parse_formula(
      text, notation, a.row, a.col,
      [this, book_id](std::string_view n) { return find_sheet(book_id, n); },
      [this, book_id](std::string_view n) { return find_table(book_id, n); });
  if (!parsed.ok()) return parsed.status();
  install_formula(a, std::move(parsed).value(), false, own, above, near.below);
  return {};
}

void Model::install_formula(const CellAddr& a, FormulaPtr f, bool shared, KnownState own,
                            KnownState above, KnownState below) {
  Sheet* s = sheet_mut(a.sheet);
  const std::uint64_t key = cell_key(a.row, a.col);
  FormulaState* fs = own ? *own : s->cells.formula(key);
  if (!shared) f = share_shape(a, std::move(f), fs, above, below);
  if (fs) {
    m_recalc.unindex(a, *fs);
  } else {
    fs = &s->cells.add_formula(key);
    s->formulas.insert(key);
  }
  fs->formula = std::move(f);
  fs->frozen = false;  // a formula written anew is computed
  fs->in_array = false;
  fs->array.reset();
  s->max_row = std::max(s->max_row, a.row);
  s->max_col = std::max(s->max_col, a.col);
  note_unfound(s->book, a, fs->formula.get());
  m_recalc.formula_entered(a, *fs);
}

FormulaPtr Model::share_shape(const CellAddr& a, FormulaPtr f, KnownState known, KnownState above,
                              KnownState below) const {
  const Sheet* s = sheet(a.sheet);
  if (!s || !f) return f;
  // Evaluation tells a replaced formula from the one it runs by identity,
  // so the cell's formula before (and any it is running) is never reused.
  const FormulaState* own = known ? *known : s->cells.formula(cell_key(a.row, a.col));
  auto in_use = [&](const Formula* g) {
    return (own && own->formula.get() == g) || m_recalc.is_evaluating(a, g);
  };
  // References are relative to the cell, so a formula copied down a column
  // or along a row parses to the same tree in every cell.
  for (const auto& [dr, dc] : {std::pair{-1, 0}, std::pair{1, 0}, std::pair{0, -1}}) {
    if (!valid_cell(a.row + dr, a.col + dc)) continue;
    const KnownState known_near = dr == -1 ? above : dr == 1 ? below : KnownState{};
    const FormulaState* near =
        known_near ? *known_near : s->cells.formula(cell_key(a.row + dr, a.col + dc));
    if (!near || near->in_array || !near->formula) continue;
    // The shapes first: most neighbours differ (their digests tell at once),
    // and only a match is asked whether it is in use.
    if (near->formula != f && !same_shape(*near->formula, *f)) continue;
    if (!in_use(near->formula.get())) return near->formula;
  }
  return f;
}

FormulaPtr Model::written_above(const CellAddr& a, std::string_view text, Notation notation,
                                FormulaText form, KnownState known, KnownState known_above) const {
  if (a.row <= 1 || text.size() > kMaxFormulaLength) return nullptr;
  const Sheet* s = sheet(a.sheet);
  // What a parse looks up besides the text may have changed since the cell
  // above was parsed: tables (a table's name, or a word that has become
  // one, reads as its cells), names, and sheets not found then or gone
  // since. Those parse.
  if (!m_books.at(s->book).tables.empty()) return nullptr;
  const FormulaState* above =
      known_above ? *known_above : s->cells.formula(cell_key(a.row - 1, a.col));
  if (!above || above->in_array || !above->formula || !above->formula->root) return nullptr;
  const Formula& f = *above->formula;
  if (f.uses_names || std::any_of(f.refs.begin(), f.refs.end(), [this](const RefAst& r) {
        return (r.has_sheet && !m_sheets.count(r.sheet)) ||
               (r.three_d() && !m_sheets.count(r.sheet2));
      })) {
    return nullptr;
  }
  // Most texts differ from the formula above in a text constant: that is
  // told first, before the formulas share_shape would not reuse.
  if (!may_be_written_as(f, text)) return nullptr;
  const FormulaState* own = known ? *known : s->cells.formula(cell_key(a.row, a.col));
  if ((own && own->formula == above->formula) || m_recalc.is_evaluating(a, above->formula.get())) {
    return nullptr;
  }
  const std::string written = write_formula(
      f, notation, a.row, a.col, [this](SheetId id) { return sheet_name(id); }, form);
  return written == text ? above->formula : nullptr;
}

Status Model::set_value(SheetId sheet_id, std::int32_t row, std::int32_t col, const Value& v) {
  const CellAddr a{sheet_id, row, col};
  const bool formula = v.is_text() && !v.text().empty() && v.text()[0] == '=';
  if (formula) return set_formula(sheet_id, row, col, v.text(), Notation::A1);
  if (auto st = store_value(a, v); !st.ok()) return st;
  m_recalc.after_change();
  return {};
}

Status Model::set_values(SheetId sheet_id, std::int32_t row, std::int32_t col, const Array& block) {
  if (!sheet(sheet_id)) return gone_sheet();
  if (!valid_cell(row + block.rows - 1, col + block.cols - 1)) return bad_cell();
  Status first_error;
  std::vector<CellAddr> formulas;
  for (std::int32_t r = 0; r < block.rows; ++r) {
    for (std::int32_t c = 0; c < block.cols; ++c) {
      const CellAddr a{sheet_id, row + r, col + c};
      const Value& v = block.at(r, c);
      const Status st = store_value(a, v);
      if (!st.ok() && first_error.ok()) first_error = st;
      // Stored, the cell holds a formula exactly when it was given one's
      // text; one that failed may keep the formula it had.
      const bool formula = v.is_text() && !v.text().empty() && v.text()[0] == '=';
      if (st.ok() ? formula : has_formula(a.sheet, a.row, a.col)) formulas.push_back(a);
    }
  }
  m_recalc.after_entry(formulas);
  return first_error;
}

Status Model::set_formula(SheetId sheet_id, std::int32_t row, std::int32_t col,
                          std::string_view text, Notation notation) {
  const CellAddr a{sheet_id, row, col};
  if (auto st = store_formula(a, text, notation); !st.ok()) return st;
  m_recalc.after_entry(std::span(&a, 1));
  return {};
}

bool Model::reenter_formula(SheetId sheet_id, std::int32_t row, std::int32_t col) {
  Sheet* s = sheet_mut(sheet_id);
  if (!s || !valid_cell(row, col)) return false;
  const CellAddr a{sheet_id, row, col};
  FormulaState* fs = s->cells.formula(cell_key(row, col));
  if (fs && fs->in_array && fs->array) {
    // A cell of an array formula: the whole array is computed again from
    // its top-left cell, where its formula is written.
    const CellAddr top{sheet_id, fs->array->r1, fs->array->c1};
    FormulaState* anchor = s->cells.formula(cell_key(top.row, top.col));
    if (!anchor || !anchor->formula || anchor->frozen ||
        m_recalc.is_evaluating(top, anchor->formula.get())) {
      return false;
    }
    // Each cell of the box takes its item only when it waits for one.
    const Box box = *fs->array;
    for (std::int32_t r = box.r1; r <= box.r2; ++r) {
      for (std::int32_t c = box.c1; c <= box.c2; ++c) m_recalc.mark_dirty({sheet_id, r, c});
    }
    m_recalc.after_entry(std::span(&top, 1));
    return true;
  }
  if (!fs || !fs->formula || fs->in_array || m_recalc.is_evaluating(a, fs->formula.get())) {
    return false;
  }
  // What install_formula does for the same formula, without the parse.
  fs->frozen = false;
  m_recalc.formula_reentered(a, *fs);
  m_recalc.after_entry(std::span(&a, 1));
  return true;
}

Status Model::clear_contents(SheetId sheet_id, const Box& box) {
  if (!sheet(sheet_id)) return gone_sheet();
  std::vector<std::uint64_t> keys;
  Status partial;
  for_each_cell(sheet_id, box, [&](std::int32_t r, std::int32_t c, const Cell& cell) {
    keys.push_back(cell_key(r, c));
    const FormulaState* fs = cell.formula;
    if (fs && fs->in_array && partial.ok() &&
        !(box.contains(fs->array->r1, fs->array->c1) &&
          box.contains(fs->array->r2, fs->array->c2))) {
      partial = check_array_edit(CellAddr{sheet_id, r, c});
    }
  });
  if (!partial.ok()) return partial;
  for (std::uint64_t key : keys) {
    const CellAddr a{sheet_id, key_row(key), key_col(key)};
    Sheet* s = sheet_mut(sheet_id);
    if (!s) break;  // a recalculation removed the sheet
    const auto cell = s->cells.find(key);
    if (!cell || (cell->value.is_empty() && !cell->formula)) continue;
    drop_formula(a);
    if (m_tracking) note_change(a, cell->value, Value());
    s->cells.set_value(key, Value());
    erase_if_blank(a);
    m_recalc.mark_dependents(a);
  }
  m_recalc.after_change();
  return {};
}

Status Model::set_number_format(SheetId sheet_id, const Box& box, std::string_view format) {
  Sheet* s = sheet_mut(sheet_id);
  if (!s) return gone_sheet();
  if (box.area() > 1'000'000) return Status::failed("range too large to format");
  const std::string f = text::iequals(format, "General") ? std::string() : std::string(format);
  for (std::int32_t c = box.c1; c <= box.c2; ++c) {
    for (std::int32_t r = box.r1; r <= box.r2; ++r) {
      const std::uint64_t key = cell_key(r, c);
      if (f.empty()) {
        if (s->cells.contains(key)) s->cells.set_format(key, f);
        s->cells.erase_if_blank(key);
      } else {
        s->cells.set_format(key, f);
      }
    }
  }
  return {};
}

void Model::set_result(const CellAddr& a, Value v) {
  CellStore& cells = sheet_mut(a.sheet)->cells;
  const std::uint64_t key = cell_key(a.row, a.col);
  if (m_tracking) note_change(a, cells.value(key), v);
  cells.set_value(key, std::move(v));
}

Status Model::set_enable_calculation(SheetId id, bool on) {
  Sheet* s = sheet_mut(id);
  if (!s) return gone_sheet();
  const bool was = s->enable_calculation;
  s->enable_calculation = on;
  if (on && !was) m_recalc.sheet_enabled(id);
  return {};
}

// ---- loading from files ----

Status Model::restore_cell(SheetId sheet_id, std::int32_t row, std::int32_t col, Value value,
                           FormulaPtr formula, std::string_view format, bool dirty,
                           std::uint32_t source) {
  Sheet* s = sheet_mut(sheet_id);
  if (!s) return gone_sheet();
  if (!valid_cell(row, col)) return bad_cell();
  const CellAddr a{sheet_id, row, col};
  const std::uint64_t key = cell_key(row, col);
  drop_formula(a);
  if (!formula && value.is_empty() && format.empty()) {
    // A cell that holds nothing but a style is not kept: the file keeps its
    // style and writes it back, and a sheet of styled empty cells costs
    // nothing here. One with a number format is: a value written into it
    // later shows in that format, as it would in the file.
    s->cells.erase(key);
    return {};
  }
  s->cells.set_value(key, value);
  s->cells.set_format(key, format);
  s->max_row = std::max(s->max_row, row);
  s->max_col = std::max(s->max_col, col);
  if (formula) {
    // What install_formula does, less the dependents: a loader stores every
    // cell itself, and marking would dirty the formulas stored clean.
    FormulaState& fs = s->cells.add_formula(key);
    fs.formula = share_shape(a, std::move(formula), &fs);
    fs.source = source;
    s->formulas.insert(key);
    note_unfound(s->book, a, fs.formula.get());
    m_recalc.formula_restored(a, fs, dirty);
    if (!dirty) {
      fs.frozen = true;
      m_any_frozen = true;
    }
  }
  erase_if_blank(a);
  return {};
}

}  // namespace quillo::spreadsheet
