// Model: defined names, tables and the sheets a 3-D reference spans.
//
// A formula that uses a name reads the cells the name's definition reads;
// those are registered with the dependency index beside the formula's own
// references (FormulaState::extra), so a change of such a cell reaches the
// formula. Redefining a name takes every formula of the book that uses
// names off the index, changes the name, and registers them again.
#include <algorithm>

#include "common/text.h"
#include "spreadsheet/formula_refs.h"
#include "spreadsheet/model.h"

namespace quillo::spreadsheet {

namespace {

// Names defined through names deeper than this are not followed (a name
// that refers to itself stops here too).
constexpr int kMaxNameDepth = 16;

bool valid_name(std::string_view name) {
  using namespace formula_chars;
  if (name.empty() || name.size() > 255) return false;
  if (!is_alpha(name[0]) && name[0] != '_' && name[0] != '\\' &&
      static_cast<unsigned char>(name[0]) < 0x80) {
    return false;
  }
  if (!std::all_of(name.begin(), name.end(),
                   [](char c) { return (is_word(c) && c != '$') || c == '\\'; })) {
    return false;
  }
  // Not something a formula would read as a reference or a boolean.
  if (text::iequals(name, "TRUE") || text::iequals(name, "FALSE")) return false;
  for (Notation n : {Notation::A1, Notation::R1C1}) {
    std::size_t p = 0;
    const RefScan scan = scan_reference(name, p, n, 1, 1);
    if ((scan.found && p == name.size()) || !scan.error.empty()) return false;
  }
  return true;
}

}  // namespace

Status Model::define_name(BookId book_id, SheetId scope, std::string_view name,
                          std::string_view text, bool hidden, bool strict) {
  const auto it = m_books.find(book_id);
  if (it == m_books.end()) return Status::object_required("the workbook is closed");
  if (!valid_name(name)) return Status::failed("invalid name \"" + std::string(name) + "\"");
  if (scope != 0 && (!sheet(scope) || sheet(scope)->book != book_id)) {
    return Status::failed("the name's sheet is not in the workbook");
  }
  std::string_view body = text;
  if (!body.empty() && body[0] == '=') body.remove_prefix(1);
  auto parsed = parse_formula(
      body, Notation::A1, 1, 1,
      [this, book_id](std::string_view n) { return find_sheet(book_id, n); },
      [this, book_id](std::string_view n) { return find_table(book_id, n); });
  if (!parsed.ok() && strict) return parsed.status();

  relink_after(name_users(book_id), [&] {
    auto& names = it->second.names;
    auto found = std::find_if(names.begin(), names.end(), [&](const DefinedName& d) {
      return d.scope == scope && text::iequals(d.name, name);
    });
    if (found == names.end()) {
      found = names.insert(names.end(), DefinedName{});
      found->name = std::string(name);  // a redefined name keeps its letter case
    }
    found->scope = scope;
    found->text = std::string(body);
    found->formula = parsed.ok() ? parsed.value() : nullptr;
    found->hidden = hidden;
  });
  return {};
}

Status Model::remove_name(BookId book_id, SheetId scope, std::string_view name) {
  const auto it = m_books.find(book_id);
  if (it == m_books.end()) return Status::object_required("the workbook is closed");
  auto& names = it->second.names;
  const auto found = std::find_if(names.begin(), names.end(), [&](const DefinedName& d) {
    return d.scope == scope && text::iequals(d.name, name);
  });
  if (found == names.end()) return Status::failed("no name \"" + std::string(name) + "\"");
  relink_after(name_users(book_id), [&] { names.erase(found); });
  return {};
}

void Model::relink_after(const std::vector<CellAddr>& users, const std::function<void()>& change) {
  for (const CellAddr& a : users) m_recalc.unindex(a, *formula_state(a));
  change();
  for (const CellAddr& a : users) {
    m_recalc.reindex(a, *formula_state(a));
    m_recalc.mark_dirty(a);
  }
  m_recalc.after_change();
}

const DefinedName* Model::find_name(SheetId host_sheet, SheetId sheet_id,
                                    std::string_view name) const {
  const Sheet* host = sheet(sheet_id != 0 ? sheet_id : host_sheet);
  if (!host) return nullptr;
  const Book& b = m_books.at(host->book);
  const DefinedName* global = nullptr;
  for (const DefinedName& d : b.names) {
    if (!text::iequals(d.name, name)) continue;
    if (d.scope == host->id) return &d;
    if (d.scope == 0) global = &d;
  }
  return global;
}

std::string Model::name_text(const DefinedName& n) const {
  if (!n.formula) return n.text;
  const std::string t = write_formula(
      *n.formula, Notation::A1, 1, 1, [this](SheetId id) { return sheet_name(id); },
      FormulaText::File);
  return t.substr(1);
}

Status Model::add_table(BookId book_id, TableInfo table) {
  const auto it = m_books.find(book_id);
  if (it == m_books.end()) return Status::object_required("the workbook is closed");
  if (!valid_name(table.name)) return Status::failed("invalid table name \"" + table.name + "\"");
  if (find_table(book_id, table.name)) {
    return Status::failed("two tables are named " + table.name);
  }
  const std::int32_t rows = table.r2 - table.r1 + 1, cols = table.c2 - table.c1 + 1;
  if (!valid_cell(table.r1, table.c1) || !valid_cell(table.r2, table.c2) || rows < 1 ||
      cols != static_cast<std::int32_t>(table.columns.size()) || table.header_rows < 0 ||
      table.totals_rows < 0 || table.header_rows + table.totals_rows >= rows + 1) {
    return Status::failed("table " + table.name + " does not fit its cells");
  }
  it->second.tables.push_back(std::move(table));
  return {};
}

const TableInfo* Model::find_table(BookId book_id, std::string_view name) const {
  const auto it = m_books.find(book_id);
  if (it == m_books.end()) return nullptr;
  for (const TableInfo& t : it->second.tables) {
    if (text::iequals(t.name, name)) return &t;
  }
  return nullptr;
}

std::vector<SheetId> Model::sheets_between(SheetId first, SheetId last) const {
  const Sheet* a = sheet(first);
  const Sheet* b = sheet(last);
  if (!a || !b || a->book != b->book) return {};
  const auto& order = m_books.at(a->book).sheets;
  auto i = std::find(order.begin(), order.end(), first);
  auto j = std::find(order.begin(), order.end(), last);
  if (i > j) std::swap(i, j);
  return std::vector<SheetId>(i, j + 1);
}

std::vector<CellAddr> Model::name_users(BookId book_id, bool spans) const {
  std::vector<CellAddr> out;
  const Book* b = book(book_id);
  if (!b) return out;
  for (SheetId id : b->sheets) {
    const Sheet* s = sheet(id);
    for (std::uint64_t key : s->formulas) {
      const Formula& f = *s->cells.formula(key)->formula;
      if (f.uses_names || (spans && std::any_of(f.refs.begin(), f.refs.end(),
                                                [](const RefAst& r) { return r.three_d(); }))) {
        out.push_back(CellAddr{id, key_row(key), key_col(key)});
      }
    }
  }
  return out;
}

void Model::name_targets(const CellAddr& host, const Node& n, int depth,
                         std::vector<std::pair<SheetId, Box>>& out) const {
  if (out.size() > 4096) return;  // names nested without end: enough is known
  if (n.kind == Node::Kind::Name && !n.has_book && depth < kMaxNameDepth) {
    const DefinedName* d = find_name(host.sheet, n.ref().has_sheet ? n.ref().sheet : 0, n.name());
    if (d && d->formula && d->formula->root) {
      for (const RefAst& ref : d->formula->refs) {
        if (ref.three_d()) {
          const auto r = resolve(ref, host);
          if (!r) continue;
          for (SheetId s : sheets_between(ref.sheet, ref.sheet2)) out.emplace_back(s, r->second);
        } else if (const auto r = resolve(ref, host)) {
          out.push_back(*r);
        }
      }
      if (d->formula->uses_names) name_targets(host, *d->formula->root, depth + 1, out);
    }
  }
  for (const auto& a : n.args) name_targets(host, *a, depth, out);
}

std::vector<std::pair<SheetId, Box>> Model::extra_targets(const CellAddr& host,
                                                          const Formula& f) const {
  std::vector<std::pair<SheetId, Box>> out;
  for (const RefAst& ref : f.refs) {
    if (!ref.three_d()) continue;
    const auto r = resolve(ref, host);
    if (!r) continue;
    for (SheetId s : sheets_between(ref.sheet, ref.sheet2)) out.emplace_back(s, r->second);
  }
  if (f.uses_names && f.root) name_targets(host, *f.root, 0, out);
  return out;
}

}  // namespace quillo::spreadsheet
