#include "cli/disk_changes.h"

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "common/text.h"
#include "requests/provenance.h"
#include "spreadsheet/address.h"
#include "xlsx/workbook_files.h"
#include "xlsx/xlsx.h"

namespace quillo::cli {

namespace fs = std::filesystem;
using spreadsheet::Model;
using spreadsheet::SheetId;

FileStamp file_stamp(const std::string& path) {
  FileStamp s;
  std::error_code ec;
  s.type = fs::status(path, ec).type();
  if (ec || s.type != fs::file_type::regular) return s;
  s.size = fs::file_size(path, ec);
  s.written = fs::last_write_time(path, ec);
  return s;
}

namespace {

// What a user typed into a cell: its formula, or its constant.
struct Entry {
  bool formula = false;
  std::string text;  // the formula (A1), for a formula
  Value value;       // the constant, for a constant
  bool operator==(const Entry& o) const {
    return formula == o.formula && (formula ? text == o.text : value == o.value);
  }
};

Entry entry(const Model& m, SheetId sheet, std::int32_t row, std::int32_t col) {
  Entry e;
  e.formula = m.has_formula(sheet, row, col);
  if (e.formula) {
    e.text = m.formula_text(sheet, row, col, spreadsheet::Notation::A1);
  } else {
    e.value = m.value(sheet, row, col);
  }
  return e;
}

Status write(Model& m, SheetId sheet, std::int32_t row, std::int32_t col, const Entry& e) {
  if (e.formula) return m.set_formula(sheet, row, col, e.text, spreadsheet::Notation::A1);
  // A text constant is written as typed entry behind an apostrophe, so
  // "00123" or "=x" stay the texts they are.
  if (e.value.is_text()) return m.set_value(sheet, row, col, Value("'" + e.value.text()));
  return m.set_value(sheet, row, col, e.value);
}

std::vector<std::uint64_t> keys_of(const Model& m, SheetId sheet) {
  const spreadsheet::Sheet* s = m.sheet(sheet);
  if (!s) return {};
  return s->cells.keys();
}

// The file's cell at (row, col) of from, written into to: a formula quillo
// cannot compute keeps the file's value and is not evaluated, as loading
// the file would leave it. Whether anything changed.
bool take_in_cell(Model& live, SheetId to, const Model& disk, SheetId from, std::int32_t r,
                  std::int32_t c) {
  const Entry theirs = entry(disk, from, r, c);
  const Entry mine = entry(live, to, r, c);
  // A formula the load stored clean is one quillo cannot compute.
  const bool frozen = theirs.formula && !disk.is_dirty(from, r, c);
  const Value& file_value = disk.value(from, r, c);
  if (mine == theirs && (!frozen || live.value(to, r, c) == file_value)) return false;
  if (!frozen) return write(live, to, r, c, theirs).ok();
  // Its value first, so the cells reading it follow; then the formula,
  // stored clean over it.
  const spreadsheet::BookId book = live.sheet(to)->book;
  auto parsed = spreadsheet::parse_formula(
      theirs.text, spreadsheet::Notation::A1, r, c,
      [&live, book](std::string_view name) { return live.find_sheet(book, name); },
      [&live, book](std::string_view name) { return live.find_table(book, name); });
  if (!parsed.ok()) return write(live, to, r, c, theirs).ok();
  Entry shown;
  shown.value = file_value;
  if (!write(live, to, r, c, shown).ok()) return false;
  const std::string format = disk.number_format(from, r, c);
  return live
      .restore_cell(to, r, c, file_value, *parsed, format == "General" ? std::string() : format,
                    false)
      .ok();
}

// Makes the book's defined names the file's: added, changed and removed,
// for the workbook and for each sheet (sheets maps the file's sheets to the
// book's).
void take_in_names(Model& live, spreadsheet::BookId book, const Model& disk,
                   spreadsheet::BookId disk_book, const std::map<SheetId, SheetId>& sheets) {
  auto scope_of = [&](SheetId disk_scope) -> std::optional<SheetId> {
    if (disk_scope == 0) return SheetId{0};
    const auto it = sheets.find(disk_scope);
    return it == sheets.end() ? std::nullopt : std::optional(it->second);
  };
  auto named = [](const std::vector<spreadsheet::DefinedName>& names, SheetId scope,
                  std::string_view name) -> const spreadsheet::DefinedName* {
    for (const auto& d : names) {
      if (d.scope == scope && text::iequals(d.name, name)) return &d;
    }
    return nullptr;
  };
  const std::vector<spreadsheet::DefinedName> theirs = disk.book(disk_book)->names;
  // Names the file no longer has go first.
  const std::vector<spreadsheet::DefinedName> mine = live.book(book)->names;
  for (const auto& d : mine) {
    bool kept = false;
    for (const auto& t : theirs) {
      const auto scope = scope_of(t.scope);
      kept = kept || (scope && *scope == d.scope && t.name == d.name);
    }
    if (!kept) (void)live.remove_name(book, d.scope, d.name);
  }
  for (const auto& t : theirs) {
    const auto scope = scope_of(t.scope);
    if (!scope) continue;
    const std::string text = disk.name_text(t);
    const spreadsheet::DefinedName* d = named(live.book(book)->names, *scope, t.name);
    if (d && live.name_text(*d) == text && d->hidden == t.hidden) continue;
    (void)live.define_name(book, *scope, t.name, text, t.hidden, false);
  }
}

}  // namespace

Result<std::int32_t> take_in_file(spreadsheet::Application& app, spreadsheet::BookId book,
                                  const std::string& path) {
  const auto disk = std::make_shared<Model>();
  spreadsheet::XlsxLoadOptions options;
  // As the workbook was opened: the add-in's functions are computed, so
  // the formulas calling them ask the engine.
  options.external_function = spreadsheet::computed_calls(app);
  auto loaded = spreadsheet::load_xlsx(*disk, path, options);
  if (!loaded.ok()) return loaded.status();
  Model& live = app.model();
  if (!live.book(book)) return Status::object_required("the workbook is no longer open");
  std::int32_t changed = 0;
  auto is_record = [](std::string_view name) { return text::iequals(name, kProvenanceSheet); };

  // Each sheet of the file is the book's sheet of that name in any letter
  // case, taking the file's spelling (a sheet deleted there and one of the
  // same name in other letters added is the same to what is saved), or a
  // new one.
  const std::vector<SheetId> disk_sheets = disk->book(loaded->book)->sheets;
  std::map<SheetId, SheetId> to_live;
  std::vector<SheetId> order;
  for (const SheetId from : disk_sheets) {
    const std::string name = disk->sheet_name(from);
    SheetId to = live.find_sheet(book, name);
    if (to != 0 && live.sheet_name(to) != name && !live.rename_sheet(to, name).ok()) continue;
    if (to == 0) {
      auto added = live.add_sheet(book, name);
      if (!added.ok()) continue;
      to = *added;
    }
    to_live[from] = to;
    order.push_back(to);
  }
  // The sheets the file shows are shown before any goes or is hidden, so
  // the book always keeps one; quillo's record sheet stays very hidden.
  auto set_visibility = [&](bool visible) {
    for (const auto& [from, to] : to_live) {
      if (is_record(live.sheet_name(to))) continue;
      const host::Visibility v = disk->sheet(from)->visibility;
      if ((v == host::Visibility::Visible) == visible && live.sheet(to)->visibility != v) {
        (void)live.set_visibility(to, v);
      }
    }
  };
  set_visibility(true);
  // A sheet the file no longer has was deleted or renamed there: it goes,
  // or the next save would put it back. quillo's record sheet stays: quillo
  // writes it anew at every save, wherever the file left it (last when the
  // file has none).
  const std::vector<SheetId> live_sheets = live.book(book)->sheets;
  for (const SheetId id : live_sheets) {
    if (std::find(order.begin(), order.end(), id) != order.end()) continue;
    if (is_record(live.sheet_name(id))) {
      order.push_back(id);
      continue;
    }
    std::int32_t cells = 0;
    for (const std::uint64_t key : keys_of(live, id)) {
      const Entry mine = entry(live, id, spreadsheet::key_row(key), spreadsheet::key_col(key));
      if (mine.formula || !mine.value.is_empty()) ++cells;
    }
    if (live.remove_sheet(id).ok()) {
      changed += cells;
    } else {
      order.push_back(id);  // the book's last visible sheet
    }
  }
  (void)live.set_sheet_order(book, order);
  set_visibility(false);
  // Names before cells, so the file's formulas find the names they use.
  take_in_names(live, book, *disk, loaded->book, to_live);

  for (const auto& [from, to] : to_live) {
    // The file's look comes with its cells (widths set here are dropped).
    if (const spreadsheet::Sheet* s = disk->sheet(from)) (void)live.set_look(to, s->look);
    // Keys are collected first: writing evaluates formulas, which may
    // change the sheet.
    for (const std::uint64_t key : keys_of(*disk, from)) {
      const std::int32_t r = spreadsheet::key_row(key), c = spreadsheet::key_col(key);
      const bool kept = !spreadsheet::xlsx_kept_formula(*loaded->file, from, r, c).empty();
      if (take_in_cell(live, to, *disk, from, r, c) && !kept) ++changed;
      const std::string format = disk->number_format(from, r, c);
      if (live.number_format(to, r, c) != format) {
        (void)live.set_number_format(to, spreadsheet::Box{r, c, r, c}, format);
      }
    }
    for (const std::uint64_t key : keys_of(live, to)) {
      const std::int32_t r = spreadsheet::key_row(key), c = spreadsheet::key_col(key);
      const spreadsheet::Sheet* s = disk->sheet(from);
      const auto there = s ? s->cells.find(key) : std::nullopt;
      if (there && !there->blank()) continue;
      const Entry mine = entry(live, to, r, c);
      if (!mine.formula && mine.value.is_empty()) continue;
      if (live.clear_contents(to, spreadsheet::Box{r, c, r, c}).ok()) ++changed;
    }
    // Formulas quillo cannot read reach the model as their values; the
    // book's file writes them back as the file had them.
    changed += spreadsheet::take_kept_formulas(live, book, to, *loaded->file, from).value_or(0);
  }
  return changed;
}

}  // namespace quillo::cli
