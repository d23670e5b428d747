#include "cli/disk_changes.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "addin/dataload.h"
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
  s.version = spreadsheet::version_of(path).value_or(spreadsheet::WrittenVersion{});
  return s;
}

SaveLock::SaveLock(const std::string& path) {
  m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (m_fd < 0) return;
  for (int waited_ms = 0; ::flock(m_fd, LOCK_EX | LOCK_NB) != 0; waited_ms += 20) {
    if ((errno != EWOULDBLOCK && errno != EINTR) || waited_ms >= 10000) {
      ::close(m_fd);
      m_fd = -1;
      return;
    }
    ::usleep(20000);
  }
}

SaveLock::~SaveLock() {
  if (m_fd >= 0) ::close(m_fd);
}

FileStamp saved_stamp(const Model& model, spreadsheet::BookId book, const std::string& path) {
  const spreadsheet::Book* b = model.book(book);
  const auto written = b && b->file ? b->file->written_version() : std::nullopt;
  if (!written) return file_stamp(path);
  return FileStamp{fs::file_type::regular, *written};
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

// Whether the cell's formula names a sheet it did not find when it was
// read that the book has now (Model::finds_sheet_now): one the model left
// unread as it keeps the file's value, which the file taken in decides.
bool finds_sheet_now(const Model& m, SheetId sheet, std::int32_t row, std::int32_t col) {
  const spreadsheet::FormulaPtr f = m.formula_at(spreadsheet::CellAddr{sheet, row, col});
  return f && m.finds_sheet_now(m.sheet(sheet)->book, *f);
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
                  std::int32_t c, const FileValueHook& hook) {
  const Entry theirs = entry(disk, from, r, c);
  const Entry mine = entry(live, to, r, c);
  // A formula the load stored clean is one quillo cannot compute.
  const bool frozen = theirs.formula && !disk.is_dirty(from, r, c);
  const Value& file_value = disk.value(from, r, c);
  if (mine == theirs && !finds_sheet_now(live, to, r, c) &&
      (!frozen || live.value(to, r, c) == file_value)) {
    return false;
  }
  if (!frozen) {
    if (theirs.formula && hook) hook(spreadsheet::CellAddr{to, r, c}, file_value);
    return write(live, to, r, c, theirs).ok();
  }
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

// The boxes of the array formulas on a sheet, each once.
std::vector<spreadsheet::Box> arrays_of(const Model& m, SheetId sheet) {
  std::vector<spreadsheet::Box> boxes;
  for (const std::uint64_t key : keys_of(m, sheet)) {
    const std::int32_t r = spreadsheet::key_row(key), c = spreadsheet::key_col(key);
    const auto box = m.array_box(sheet, r, c);
    if (box && box->r1 == r && box->c1 == c) boxes.push_back(*box);
  }
  return boxes;
}

// Whether the book holds the file's array formula over box as the file has
// it: the same box and formula, reading the same sheets, and, for one
// quillo cannot compute, the file's values.
bool same_array(const Model& live, SheetId to, const Model& disk, SheetId from,
                const spreadsheet::Box& box) {
  if (live.array_box(to, box.r1, box.c1) != box) return false;
  if (finds_sheet_now(live, to, box.r1, box.c1)) return false;
  if (entry(live, to, box.r1, box.c1) != entry(disk, from, box.r1, box.c1)) return false;
  if (disk.is_dirty(from, box.r1, box.c1)) return true;
  for (std::int32_t r = box.r1; r <= box.r2; ++r) {
    for (std::int32_t c = box.c1; c <= box.c2; ++c) {
      if (live.value(to, r, c) != disk.value(from, r, c)) return false;
    }
  }
  return true;
}

// The file's array formula over box written into the book as one array
// formula (the book's arrays the file does not hold went before): computed,
// or, for one quillo cannot compute, stored over the file's values
// unevaluated, as loading the file would leave it.
bool take_in_array(Model& live, SheetId to, const Model& disk, SheetId from,
                   const spreadsheet::Box& box, const FileValueHook& hook) {
  const std::string text = entry(disk, from, box.r1, box.c1).text;
  if (disk.is_dirty(from, box.r1, box.c1)) {
    if (hook) {
      for (std::int32_t r = box.r1; r <= box.r2; ++r) {
        for (std::int32_t c = box.c1; c <= box.c2; ++c) {
          hook(spreadsheet::CellAddr{to, r, c}, disk.value(from, r, c));
        }
      }
    }
    return live.set_array_formula(to, box, text).ok();
  }
  const spreadsheet::BookId book = live.sheet(to)->book;
  auto parsed = spreadsheet::parse_formula(
      text, spreadsheet::Notation::A1, box.r1, box.c1,
      [&live, book](std::string_view name) { return live.find_sheet(book, name); },
      [&live, book](std::string_view name) { return live.find_table(book, name); });
  if (!parsed.ok()) return live.set_array_formula(to, box, text).ok();
  for (std::int32_t r = box.r1; r <= box.r2; ++r) {
    for (std::int32_t c = box.c1; c <= box.c2; ++c) {
      Entry shown;
      shown.value = disk.value(from, r, c);
      if (!write(live, to, r, c, shown).ok()) return false;
    }
  }
  return live.restore_array(to, box, *parsed, false).ok();
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
                                  const std::string& path, std::vector<host::CellPlace>* replaced,
                                  const FileValueHook& file_value,
                                  std::vector<spreadsheet::CellAddr>* behind) {
  const auto disk = std::make_shared<Model>();
  spreadsheet::XlsxLoadOptions options;
  // As the workbook was opened: the add-in's functions are computed, so
  // the formulas calling them ask the engine, through a copy of the library
  // elsewhere too (the link repair follows a take-in).
  options.external_function = spreadsheet::computed_calls(
      app, [](std::string_view book) { return addin::link_repaired(book); });
  auto loaded = spreadsheet::load_xlsx(*disk, path, options);
  if (!loaded.ok()) return loaded.status();
  Model& live = app.model();
  if (!live.book(book)) return Status::object_required("the workbook is no longer open");
  std::int32_t changed = 0;
  auto is_record = [](std::string_view name) { return text::iequals(name, kProvenanceSheet); };
  // The cells whose formulas are replaced or removed, named once the
  // sheets have the file's names.
  std::vector<spreadsheet::CellAddr> formulas_gone;
  auto replacing = [&](SheetId sheet, const spreadsheet::Box& box) {
    if (!replaced) return;
    live.for_each_cell(sheet, box,
                       [&](std::int32_t r, std::int32_t c, const spreadsheet::Cell& cell) {
                         if (cell.formula) formulas_gone.push_back({sheet, r, c});
                       });
  };

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
    // An array formula is taken whole: the book's arrays the file does not
    // hold as they are (changed, resized, removed, or a cell of them
    // overwritten) go first, whole, so no fragment of one is left and the
    // file's arrays find their cells free.
    for (const spreadsheet::Box& box : arrays_of(live, to)) {
      if (same_array(live, to, *disk, from, box)) continue;
      replacing(to, box);
      if (!live.clear_contents(to, box).ok()) continue;
      for (std::int32_t r = box.r1; r <= box.r2; ++r) {
        for (std::int32_t c = box.c1; c <= box.c2; ++c) {
          const Entry theirs = entry(*disk, from, r, c);
          if (!theirs.formula && theirs.value.is_empty()) ++changed;
        }
      }
    }
    // Keys are collected first: writing evaluates formulas, which may
    // change the sheet.
    for (const std::uint64_t key : keys_of(*disk, from)) {
      const std::int32_t r = spreadsheet::key_row(key), c = spreadsheet::key_col(key);
      const bool kept = !spreadsheet::xlsx_kept_formula(*loaded->file, from, r, c).empty();
      if (const auto box = disk->array_box(from, r, c)) {
        // The file's array formula, at its top-left cell, over its box.
        if (box->r1 == r && box->c1 == c && !same_array(live, to, *disk, from, *box)) {
          replacing(to, *box);
          if (take_in_array(live, to, *disk, from, *box, file_value)) {
            changed += static_cast<std::int32_t>(box->area());
          }
        }
      } else {
        const bool had_formula = live.has_formula(to, r, c);
        if (take_in_cell(live, to, *disk, from, r, c, file_value)) {
          if (!kept) ++changed;
          if (had_formula && replaced) formulas_gone.push_back({to, r, c});
        }
      }
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
      replacing(to, spreadsheet::Box{r, c, r, c});
      if (live.clear_contents(to, spreadsheet::Box{r, c, r, c}).ok()) ++changed;
    }
    // Formulas quillo cannot read reach the model as their values; the
    // book's file writes them back as the file had them.
    changed += spreadsheet::take_kept_formulas(live, book, to, *loaded->file, from).value_or(0);
  }
  // Compared once every cell is in: a formula may read cells taken in after it.
  if (behind) {
    for (const auto& [from, to] : to_live) {
      const spreadsheet::Sheet* s = disk->sheet(from);
      if (!s) continue;
      for (const std::uint64_t key : s->formulas) {
        const std::int32_t r = spreadsheet::key_row(key), c = spreadsheet::key_col(key);
        // Only a value the file left out: one it holds, older or another
        // quillo's, is not news enough to save over the file for (two
        // watches of one file would save each other's in turn for ever).
        if (disk->value(from, r, c).is_empty() && live.has_formula(to, r, c) &&
            !live.value(to, r, c).is_empty()) {
          behind->push_back({to, r, c});
        }
      }
    }
  }
  if (replaced) {
    for (const spreadsheet::CellAddr& a : formulas_gone) {
      const spreadsheet::Sheet* s = live.sheet(a.sheet);
      if (s) replaced->push_back(host::CellPlace{live.book(book)->name, s->name, a.row, a.col});
    }
  }
  return changed;
}

}  // namespace quillo::cli
