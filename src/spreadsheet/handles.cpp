#include "spreadsheet/handles.h"

#include <algorithm>
#include <filesystem>

#include "common/text.h"
#include "spreadsheet/find_replace.h"

namespace quillo::spreadsheet {

namespace {

Status gone_range() {
  return Status::object_required("the range no longer exists");
}
Status sheet_gone() {
  return Status::object_required("the worksheet no longer exists");
}
Status gone_book() {
  return Status::object_required("the workbook is closed");
}

}  // namespace

Value make_range_value(Model& model, SheetId sheet, const Box& box) {
  std::weak_ptr<Model> weak = model.weak_from_this();
  if (weak.expired()) {
    return Value(
        std::shared_ptr<const RangeRef>(std::make_shared<RangeHandle>(&model, sheet, box)));
  }
  return Value(std::shared_ptr<const RangeRef>(
      std::make_shared<RangeHandle>(std::move(weak), &model, sheet, box)));
}

host::RangePtr make_range(const std::shared_ptr<Model>& model, SheetId sheet, const Box& box) {
  return std::make_shared<RangeHandle>(model, sheet, box);
}

host::WorksheetPtr make_sheet(const std::shared_ptr<Model>& model, SheetId sheet) {
  return std::make_shared<SheetHandle>(model, sheet);
}

host::WorkbookPtr make_book(const std::shared_ptr<Model>& model, BookId book) {
  return std::make_shared<BookHandle>(model, book);
}

// ---- RangeHandle ----

std::shared_ptr<Model> RangeHandle::live() const {
  auto m = model();
  return m && m->sheet(m_sheet) ? m : nullptr;
}

Array RangeHandle::values() const {
  auto m = live();
  if (!m) return Array{1, 1, {Value(ErrorCode::Ref)}};
  if (m_box.area() > 4'000'000) return Array{1, 1, {Value(ErrorCode::Num)}};
  Array out{m_box.rows(), m_box.cols(), {}};
  out.items.resize(static_cast<std::size_t>(m_box.area()));
  m->for_each_cell(m_sheet, m_box, [&](std::int32_t r, std::int32_t c, const Cell& cell) {
    out.items[static_cast<std::size_t>(r - m_box.r1) * static_cast<std::size_t>(out.cols) +
              static_cast<std::size_t>(c - m_box.c1)] = cell.value;
  });
  return out;
}

Result<std::shared_ptr<host::Worksheet>> RangeHandle::worksheet() const {
  auto m = live();
  if (!m) return gone_range();
  return make_sheet(m, m_sheet);
}

std::optional<host::CellPlace> RangeHandle::place() const {
  // Read from the model as it is: no sheet or book handle is made.
  const auto m = model();
  const Sheet* sheet = m ? m->sheet(m_sheet) : nullptr;
  const Book* book = sheet ? m->book(sheet->book) : nullptr;
  if (!book) return std::nullopt;
  return host::CellPlace{book->name, sheet->name, m_box.r1, m_box.c1};
}

std::optional<host::CellPlaceRef> RangeHandle::place_ref(host::CellPlace&) const {
  // Views of the model's own names.
  const Model* m = peek();
  const Sheet* sheet = m ? m->sheet(m_sheet) : nullptr;
  const Book* book = sheet ? m->book(sheet->book) : nullptr;
  if (!book) return std::nullopt;
  return host::CellPlaceRef{book->name, sheet->name, m_box.r1, m_box.c1};
}

Result<std::int32_t> RangeHandle::row() const {
  if (!live()) return gone_range();
  return m_box.r1;
}
Result<std::int32_t> RangeHandle::column() const {
  if (!live()) return gone_range();
  return m_box.c1;
}
Result<std::int32_t> RangeHandle::row_count() const {
  if (!live()) return gone_range();
  return m_box.rows();
}
Result<std::int32_t> RangeHandle::column_count() const {
  if (!live()) return gone_range();
  return m_box.cols();
}

Result<std::string> RangeHandle::address(bool external) const {
  auto m = live();
  if (!m) return gone_range();
  std::string out = box_a1(m_box, true);
  if (external) out = quote_sheet_name(m->sheet_name(m_sheet)) + "!" + out;
  return out;
}

Result<host::RangePtr> RangeHandle::cell(std::int32_t row, std::int32_t col) const {
  auto m = live();
  if (!m) return gone_range();
  const std::int64_t r = std::int64_t{m_box.r1} + row - 1, c = std::int64_t{m_box.c1} + col - 1;
  if (r < 1 || r > kMaxRows || c < 1 || c > kMaxCols) {
    return Status(StatusCode::InvalidArgument, "cell outside the sheet");
  }
  const auto ri = static_cast<std::int32_t>(r), ci = static_cast<std::int32_t>(c);
  return make_range(m, m_sheet, Box{ri, ci, ri, ci});
}

Result<Value> RangeHandle::value() const {
  auto m = live();
  if (!m) return gone_range();
  if (m_box.single()) return m->value(m_sheet, m_box.r1, m_box.c1);
  return Value(values());
}

Status RangeHandle::set_value(const Value& v) const {
  auto m = live();
  if (!m) return gone_range();
  if (v.is_array()) return m->set_values(m_sheet, m_box.r1, m_box.c1, v.array());
  if (v.is_range()) return Status(StatusCode::InvalidArgument, "write values, not ranges");
  if (m_box.single()) return m->set_value(m_sheet, m_box.r1, m_box.c1, v);
  if (m_box.area() > 1'000'000) return Status::failed("range too large to fill");
  Array block{m_box.rows(), m_box.cols(), {}};
  block.items.assign(static_cast<std::size_t>(m_box.area()), v);
  return m->set_values(m_sheet, m_box.r1, m_box.c1, block);
}

Result<std::string> RangeHandle::formula_in(Notation notation) const {
  auto m = live();
  if (!m) return gone_range();
  return m->formula_text(m_sheet, m_box.r1, m_box.c1, notation);
}

Result<std::string> RangeHandle::formula() const {
  return formula_in(Notation::A1);
}
Result<std::string> RangeHandle::formula_r1c1() const {
  return formula_in(Notation::R1C1);
}

Status RangeHandle::set_formula_in(std::string_view text, Notation notation) const {
  auto m = live();
  if (!m) return gone_range();
  if (m_box.area() > 1'000'000) return Status::failed("range too large to fill");
  // Several cells read the text after the first is evaluated, which may
  // change what it points at: they read a copy.
  std::string copy;
  if (m_box.area() > 1) {
    copy.assign(text);
    text = copy;
  }
  // Every cell gets the formula as written relative to itself (R1C1 sense).
  for (std::int32_t c = m_box.c1; c <= m_box.c2; ++c) {
    for (std::int32_t r = m_box.r1; r <= m_box.r2; ++r) {
      const bool first = r == m_box.r1 && c == m_box.c1;
      if (!first && notation == Notation::A1 && !text.empty() && text[0] == '=') {
        // Carry the top-left cell's references along, as filling a block does.
        const std::string t = m->formula_text(m_sheet, m_box.r1, m_box.c1, Notation::R1C1);
        if (auto st = m->set_formula(m_sheet, r, c, t, Notation::R1C1); !st.ok()) return st;
        continue;
      }
      if (auto st = m->set_formula(m_sheet, r, c, text, notation); !st.ok()) return st;
      // Evaluating may have removed the sheet; then the remaining cells are
      // gone. After the last cell there are none left to miss.
      if (r == m_box.r2 && c == m_box.c2) return {};
      if (!live()) return gone_range();
    }
  }
  return {};
}

Status RangeHandle::set_formula(std::string_view f) const {
  return set_formula_in(f, Notation::A1);
}
Status RangeHandle::set_formula_r1c1(std::string_view f) const {
  return set_formula_in(f, Notation::R1C1);
}

Status RangeHandle::reenter_formula() const {
  auto m = live();
  if (!m) return gone_range();
  if (m->reenter_formula(m_sheet, m_box.r1, m_box.c1)) return {};
  return host::Range::reenter_formula();
}

Result<bool> RangeHandle::has_formula() const {
  auto m = live();
  if (!m) return gone_range();
  return m->has_formula(m_sheet, m_box.r1, m_box.c1);
}

Result<bool> RangeHandle::in_array() const {
  auto m = live();
  if (!m) return gone_range();
  return m->array_box(m_sheet, m_box.r1, m_box.c1).has_value();
}

Result<std::string> RangeHandle::number_format() const {
  auto m = live();
  if (!m) return gone_range();
  return m->number_format(m_sheet, m_box.r1, m_box.c1);
}

Status RangeHandle::set_number_format(std::string_view format) const {
  auto m = live();
  if (!m) return gone_range();
  return m->set_number_format(m_sheet, m_box, format);
}

Status RangeHandle::clear_contents() const {
  auto m = live();
  if (!m) return gone_range();
  return m->clear_contents(m_sheet, m_box);
}

Result<host::RangePtr> RangeHandle::find(std::string_view what,
                                         const host::FindOptions& options) const {
  auto m = live();
  if (!m) return gone_range();
  const auto found = find_cell(*m, m_sheet, m_box, what, options);
  if (!found) return host::RangePtr();
  return make_range(m, m_sheet, Box{found->row, found->col, found->row, found->col});
}

Result<bool> RangeHandle::replace(std::string_view what, std::string_view replacement,
                                  const host::ReplaceOptions& options) const {
  auto m = live();
  if (!m) return gone_range();
  return replace_in_cells(*m, m_sheet, m_box, what, replacement, options);
}

// ---- SheetHandle ----

std::shared_ptr<Model> SheetHandle::live() const {
  auto m = m_model.lock();
  return m && m->sheet(m_sheet) ? m : nullptr;
}

Result<std::string> SheetHandle::name() const {
  auto m = live();
  if (!m) return sheet_gone();
  return m->sheet_name(m_sheet);
}

Status SheetHandle::set_name(std::string_view name) {
  auto m = live();
  if (!m) return sheet_gone();
  return m->rename_sheet(m_sheet, name);
}

Result<std::int32_t> SheetHandle::index() const {
  auto m = live();
  if (!m) return sheet_gone();
  const auto& sheets = m->book(m->sheet(m_sheet)->book)->sheets;
  return static_cast<std::int32_t>(std::find(sheets.begin(), sheets.end(), m_sheet) -
                                   sheets.begin()) +
         1;
}

Result<host::WorkbookPtr> SheetHandle::workbook() const {
  auto m = live();
  if (!m) return sheet_gone();
  return make_book(m, m->sheet(m_sheet)->book);
}

Result<host::Visibility> SheetHandle::visible() const {
  auto m = live();
  if (!m) return sheet_gone();
  return m->sheet(m_sheet)->visibility;
}

Status SheetHandle::set_visible(host::Visibility v) {
  auto m = live();
  if (!m) return sheet_gone();
  return m->set_visibility(m_sheet, v);
}

Result<host::RangePtr> SheetHandle::cells() const {
  auto m = live();
  if (!m) return sheet_gone();
  return make_range(m, m_sheet, Box{1, 1, kMaxRows, kMaxCols});
}

Status SheetHandle::reenter_formula(std::int32_t row, std::int32_t col) const {
  // The model re-enters the cell in place, without a range handle made for
  // it: the engine does this for every cell an answer fills.
  auto m = live();
  if (!m) return sheet_gone();
  if (!valid_cell(row, col)) return gone_range();
  if (m->reenter_formula(m_sheet, row, col)) return {};
  // A cell the model cannot re-enter in place is written again.
  const host::RangePtr at = make_range(m, m_sheet, Box{row, col, row, col});
  return at->host::Range::reenter_formula();
}

Result<host::RangePtr> SheetHandle::cell(std::int32_t row, std::int32_t col) const {
  auto m = live();
  if (!m) return sheet_gone();
  if (!valid_cell(row, col)) {
    return Status(StatusCode::InvalidArgument, "cell outside the sheet");
  }
  return make_range(m, m_sheet, Box{row, col, row, col});
}

Result<host::RangePtr> SheetHandle::range(std::string_view address) const {
  auto m = live();
  if (!m) return sheet_gone();
  const auto box = parse_box_a1(address);
  if (!box) return Status::failed("not a range address: " + std::string(address));
  return make_range(m, m_sheet, *box);
}

Result<host::RangePtr> SheetHandle::used_range() const {
  auto m = live();
  if (!m) return sheet_gone();
  const Sheet* s = m->sheet(m_sheet);
  Box b{kMaxRows, kMaxCols, 0, 0};
  s->cells.for_each(Box{1, 1, kMaxRows, kMaxCols},
                    [&](std::int32_t r, std::int32_t c, const Cell& cell) {
                      if (cell.value.is_empty() && !cell.formula) return;
                      b.r1 = std::min(b.r1, r);
                      b.r2 = std::max(b.r2, r);
                      b.c1 = std::min(b.c1, c);
                      b.c2 = std::max(b.c2, c);
                    });
  if (b.r2 == 0) b = Box{};
  return make_range(m, m_sheet, b);
}

Status SheetHandle::for_each_cell(const std::function<void(const host::RangePtr&)>& fn) const {
  std::vector<std::pair<std::int32_t, std::int32_t>> cells;
  {
    auto m = live();
    if (!m) return sheet_gone();
    m->for_each_cell(m_sheet, Box{1, 1, kMaxRows, kMaxCols},
                     [&](std::int32_t r, std::int32_t c, const Cell& cell) {
                       if (!cell.value.is_empty() || cell.formula) cells.emplace_back(r, c);
                     });
  }
  for (const auto& [r, c] : cells) {
    auto m = live();
    if (!m) return sheet_gone();  // fn removed the sheet
    fn(make_range(m, m_sheet, Box{r, c, r, c}));
  }
  return {};
}

Result<bool> SheetHandle::enable_calculation() const {
  auto m = live();
  if (!m) return sheet_gone();
  return m->sheet(m_sheet)->enable_calculation;
}

Status SheetHandle::set_enable_calculation(bool on) {
  auto m = live();
  if (!m) return sheet_gone();
  return m->set_enable_calculation(m_sheet, on);
}

Status SheetHandle::calculate() {
  auto m = live();
  if (!m) return sheet_gone();
  return m->calculate_sheet(m_sheet);
}

Status SheetHandle::activate() {
  auto m = live();
  if (!m) return sheet_gone();
  m->activate_sheet(m_sheet);
  return {};
}

Status SheetHandle::remove() {
  auto m = live();
  if (!m) return sheet_gone();
  return m->remove_sheet(m_sheet);
}

// ---- BookHandle ----

std::shared_ptr<Model> BookHandle::live() const {
  auto m = m_model.lock();
  return m && m->book(m_book) ? m : nullptr;
}

Result<std::string> BookHandle::name() const {
  auto m = live();
  if (!m) return gone_book();
  return m->book(m_book)->name;
}

Result<std::string> BookHandle::full_name() const {
  auto m = live();
  if (!m) return gone_book();
  const Book* b = m->book(m_book);
  return b->path.empty() ? b->name : b->path;
}

Result<std::int32_t> BookHandle::worksheet_count() const {
  auto m = live();
  if (!m) return gone_book();
  return static_cast<std::int32_t>(m->book(m_book)->sheets.size());
}

Result<host::WorksheetPtr> BookHandle::worksheet(std::int32_t index) const {
  auto m = live();
  if (!m) return gone_book();
  const auto& sheets = m->book(m_book)->sheets;
  if (index < 1 || static_cast<std::size_t>(index) > sheets.size()) {
    return Status(StatusCode::OutOfRange, "no worksheet " + std::to_string(index));
  }
  return make_sheet(m, sheets[static_cast<std::size_t>(index - 1)]);
}

Result<host::WorksheetPtr> BookHandle::worksheet(std::string_view name) const {
  auto m = live();
  if (!m) return gone_book();
  const SheetId id = m->find_sheet(m_book, name);
  if (id == 0) return Status(StatusCode::OutOfRange, "no worksheet " + std::string(name));
  return make_sheet(m, id);
}

Result<host::WorksheetPtr> BookHandle::add_worksheet(std::string_view name) {
  auto m = live();
  if (!m) return gone_book();
  auto id = m->add_sheet(m_book, name);
  if (!id.ok()) return id.status();
  return make_sheet(m, id.value());
}

Result<host::WorksheetPtr> BookHandle::active_sheet() const {
  auto m = live();
  if (!m) return gone_book();
  const SheetId id = m->book(m_book)->active;
  if (id == 0) return Status(StatusCode::OutOfRange, "the workbook has no sheets");
  return make_sheet(m, id);
}

Status BookHandle::activate() {
  auto m = live();
  if (!m) return gone_book();
  m->activate_book(m_book);
  return {};
}

Result<std::vector<std::string>> BookHandle::link_sources() const {
  auto m = live();
  if (!m) return gone_book();
  return spreadsheet::link_sources(*m, m_book);
}

Status BookHandle::write(Model& model, const std::string& path) {
  std::shared_ptr<BookFile> file = model.book(m_book)->file;
  if (!file) file = model.make_book_file();
  if (!file) {
    return Status(StatusCode::NotSupported, "no workbook file format is available");
  }
  // The hook reports its own warnings; the file is only adopted once written.
  if (auto st = file->save(model, m_book, path, nullptr); !st.ok()) return st;
  return model.set_book_file(m_book, path, std::move(file));
}

Status BookHandle::save() {
  auto m = live();
  if (!m) return gone_book();
  const std::string path = m->book(m_book)->path;
  if (path.empty()) return Status::failed("the workbook has no file; use save as");
  return write(*m, path);
}

Status BookHandle::save_as(std::string_view path) {
  auto m = live();
  if (!m) return gone_book();
  std::error_code ec;
  const std::filesystem::path target = std::filesystem::absolute(std::string(path), ec);
  if (path.empty() || ec || !target.has_filename()) {
    return Status(StatusCode::InvalidArgument, "not a file name: \"" + std::string(path) + "\"");
  }
  // Two open workbooks may not share a name: formulas name books by it.
  const std::string name = target.filename().string();
  for (BookId other : m->books()) {
    if (other != m_book && text::iequals(m->book(other)->name, name)) {
      return Status::failed("a workbook named " + name + " is already open");
    }
  }
  return write(*m, target.lexically_normal().string());
}

Status BookHandle::close(bool save_changes) {
  auto m = live();
  if (!m) return gone_book();
  if (save_changes) {
    if (auto st = save(); !st.ok()) return st;
  }
  return m->close_book(m_book);
}

}  // namespace quillo::spreadsheet
