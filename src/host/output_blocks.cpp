#include "host/output_blocks.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace quillo::host {

namespace {

std::string column_letters(std::int64_t col) {
  std::string s;
  for (; col > 0; col = (col - 1) / 26)
    s.insert(s.begin(), static_cast<char>('A' + (col - 1) % 26));
  return s;
}

std::string block_address(const Block& b) {
  return a1_address(b.top, b.left) + ":" + a1_address(b.bottom(), b.right());
}

bool holds_formula(const Range& cell) {
  const auto f = cell.has_formula();
  return f.ok() && *f;
}

// The cells of b after (row, col), row by row: the rest of that row, then
// the rows below. Pushed so that the rest of the row comes off the stack
// first.
void push_after(std::vector<Block>& stack, const Block& b, std::int64_t row, std::int64_t col) {
  stack.push_back(Block{row + 1, b.left, b.bottom() - row, b.cols});
  stack.push_back(Block{row, col + 1, 1, b.right() - col});
}

std::optional<std::int64_t> whole(const Value& v) {
  const auto n = v.to_number();
  if (!n || !std::isfinite(*n) || *n != std::floor(*n)) return std::nullopt;
  return static_cast<std::int64_t>(*n);
}

// The store's row (1-based) recording the formula cell, or 0; rows is set
// to the number of rows the store uses.
std::int64_t store_row(const Worksheet& store, std::string_view sheet, std::int64_t row,
                       std::int64_t col, std::int64_t& rows) {
  rows = 0;
  const auto used = store.used_range();
  if (!used.ok()) return 0;
  const auto values = (*used)->value();
  const auto first = (*used)->row();
  if (!values.ok() || !first.ok()) return 0;
  Array cells;
  if (values->is_array()) {
    cells = values->array();
  } else {
    cells.rows = cells.cols = 1;
    cells.items.push_back(*values);
  }
  rows = *first + cells.rows - 1;
  if (rows == 1 && cells.cols == 1 && cells.at(0, 0).is_empty()) rows = 0;  // a new sheet
  if (cells.cols < 3) return 0;
  std::int64_t found = 0;
  for (std::int32_t r = 0; r < cells.rows; ++r) {
    if (cells.at(r, 0).is_empty()) continue;
    // The last row for the cell wins (a row is only ever added for a cell
    // the store does not record yet).
    if (cells.at(r, 0).to_text() == sheet && whole(cells.at(r, 1)) == row &&
        whole(cells.at(r, 2)) == col) {
      found = *first + r;
    }
  }
  return found;
}

}  // namespace

Block on_sheet(const Block& b) {
  if (b.empty()) return Block{};
  Block out = b;
  out.rows = std::min(b.bottom(), kSheetRows) - b.top + 1;
  out.cols = std::min(b.right(), kSheetCols) - b.left + 1;
  if (out.empty()) return Block{};
  return out;
}

std::string a1_address(std::int64_t row, std::int64_t col) {
  return column_letters(col) + std::to_string(row);
}

std::optional<CellPos> first_formula(const Worksheet& sheet, const Block& whole_block) {
  // Find looks for "=" in the formulas (every formula starts with it); a
  // constant text holding "=" is a false find, after which the search goes
  // on behind it.
  std::vector<Block> stack{on_sheet(whole_block)};
  FindOptions find;
  find.look_in = LookIn::Formulas;
  find.look_at = LookAt::Part;
  find.order = SearchOrder::ByRows;
  while (!stack.empty()) {
    const Block b = stack.back();
    stack.pop_back();
    if (b.empty()) continue;
    const auto range = sheet.range(block_address(b));
    if (!range.ok()) continue;
    // Find searches the top-left cell last, so that one is asked first.
    const auto corner = (*range)->cell(1, 1);
    if (corner.ok() && holds_formula(**corner)) return CellPos{b.top, b.left};
    const auto hit = (*range)->find("=", find);
    if (!hit.ok() || !*hit) continue;
    const auto row = (*hit)->row();
    const auto col = (*hit)->column();
    if (!row.ok() || !col.ok()) continue;
    if (holds_formula(**hit)) return CellPos{*row, *col};
    push_after(stack, b, *row, *col);
  }
  return std::nullopt;
}

void clear_values(const Worksheet& sheet, const Block& whole_block) {
  std::vector<Block> stack{on_sheet(whole_block)};
  auto clear = [&](const Block& b) {
    if (b.empty()) return;
    if (const auto range = sheet.range(block_address(b)); range.ok()) {
      (void)(*range)->clear_contents();
    }
  };
  while (!stack.empty()) {
    const Block b = stack.back();
    stack.pop_back();
    if (b.empty()) continue;
    const auto f = first_formula(sheet, b);
    if (!f) {
      clear(b);
      continue;
    }
    // Everything before the formula, then go on behind it.
    clear(Block{b.top, b.left, f->row - b.top, b.cols});
    clear(Block{f->row, b.left, 1, f->col - b.left});
    push_after(stack, b, f->row, f->col);
  }
}

std::string blocked_text(const CellPos& in_the_way) {
  return std::string(kBlockedPrefix) + "the formula in " +
         a1_address(in_the_way.row, in_the_way.col) + " is in the way";
}

std::string cut_text(std::int64_t rows_left_out, std::int64_t cols_left_out) {
  auto count = [](std::int64_t n, std::string_view what) {
    return std::to_string(n) + " " + std::string(what) + (n == 1 ? "" : "s");
  };
  std::string parts;
  if (rows_left_out > 0) parts = count(rows_left_out, "row");
  if (cols_left_out > 0) parts += (parts.empty() ? "" : " and ") + count(cols_left_out, "column");
  return std::string(kCutPrefix) + parts + " left out";
}

std::optional<Block> recorded_block(const Workbook& book, std::string_view sheet, std::int64_t row,
                                    std::int64_t col) {
  const auto store = book.worksheet(kBlockStoreSheet);
  if (!store.ok()) return std::nullopt;
  std::int64_t rows = 0;
  const std::int64_t at = store_row(**store, sheet, row, col, rows);
  if (at == 0) return std::nullopt;
  const auto cells = (*store)->range("D" + std::to_string(at) + ":G" + std::to_string(at));
  if (!cells.ok()) return std::nullopt;
  const auto values = (*cells)->value();
  if (!values.ok() || !values->is_array() || values->array().items.size() != 4) {
    return std::nullopt;
  }
  const auto& v = values->array().items;
  const auto top = whole(v[0]), left = whole(v[1]), height = whole(v[2]), width = whole(v[3]);
  if (!top || !left || !height || !width) return std::nullopt;
  return Block{*top, *left, *height, *width};
}

bool record_block(Workbook& book, std::string_view sheet, std::int64_t row, std::int64_t col,
                  const Block& b) {
  auto store = book.worksheet(kBlockStoreSheet);
  if (!store.ok()) {
    // Adding a sheet makes it the active one; the sheet that was active
    // is activated again.
    const auto active = book.active_sheet();
    store = book.add_worksheet(kBlockStoreSheet);
    if (!store.ok()) return false;
    (void)(*store)->set_visible(Visibility::VeryHidden);
    if (active.ok()) (void)(*active)->activate();
  }
  std::int64_t rows = 0;
  std::int64_t at = store_row(**store, sheet, row, col, rows);
  if (at == 0) at = rows + 1;
  if (at > kSheetRows) return false;
  Array line;
  line.rows = 1;
  line.cols = 7;
  // The sheet's name is entered as text whatever it looks like.
  line.items = {Value("'" + std::string(sheet)),
                Value(static_cast<double>(row)),
                Value(static_cast<double>(col)),
                Value(static_cast<double>(b.empty() ? 0 : b.top)),
                Value(static_cast<double>(b.empty() ? 0 : b.left)),
                Value(static_cast<double>(b.empty() ? 0 : b.rows)),
                Value(static_cast<double>(b.empty() ? 0 : b.cols))};
  const auto start = (*store)->cell(static_cast<std::int32_t>(at), 1);
  return start.ok() && (*start)->set_value(Value(std::move(line))).ok();
}

}  // namespace quillo::host
