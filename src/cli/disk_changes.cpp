#include "cli/disk_changes.h"

#include <memory>
#include <vector>

#include "common/text.h"
#include "requests/provenance.h"
#include "spreadsheet/address.h"
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

}  // namespace

Result<std::int32_t> take_in_file(spreadsheet::Application& app, spreadsheet::BookId book,
                                  const std::string& path) {
  const auto disk = std::make_shared<Model>();
  auto loaded = spreadsheet::load_xlsx(*disk, path);
  if (!loaded.ok()) return loaded.status();
  Model& live = app.model();
  if (!live.book(book)) return Status::object_required("the workbook is no longer open");
  std::int32_t changed = 0;
  const std::vector<SheetId> disk_sheets = disk->book(loaded->book)->sheets;
  for (const SheetId from : disk_sheets) {
    const std::string name = disk->sheet_name(from);
    SheetId to = live.find_sheet(book, name);
    if (to == 0) {
      auto added = live.add_sheet(book, name);
      if (!added.ok()) continue;
      to = *added;
    }
    // The file's look comes with its cells (widths set here are dropped).
    if (const spreadsheet::Sheet* s = disk->sheet(from)) (void)live.set_look(to, s->look);
    // Keys are collected first: writing evaluates formulas, which may
    // change the sheet.
    for (const std::uint64_t key : keys_of(*disk, from)) {
      const std::int32_t r = spreadsheet::key_row(key), c = spreadsheet::key_col(key);
      const Entry theirs = entry(*disk, from, r, c);
      if (!(entry(live, to, r, c) == theirs) && write(live, to, r, c, theirs).ok()) ++changed;
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
  }
  // A sheet the file no longer has was deleted or renamed there: it goes,
  // or the next save would put it back. quillo's record sheet stays: quillo
  // writes it anew at every save.
  const std::vector<SheetId> live_sheets = live.book(book)->sheets;
  for (const SheetId id : live_sheets) {
    const std::string name = live.sheet_name(id);
    if (disk->find_sheet(loaded->book, name) != 0 || text::iequals(name, kProvenanceSheet)) {
      continue;
    }
    std::int32_t cells = 0;
    for (const std::uint64_t key : keys_of(live, id)) {
      const Entry mine = entry(live, id, spreadsheet::key_row(key), spreadsheet::key_col(key));
      if (mine.formula || !mine.value.is_empty()) ++cells;
    }
    if (live.remove_sheet(id).ok()) changed += cells;
  }
  return changed;
}

}  // namespace quillo::cli
