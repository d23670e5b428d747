#include "host/output_blocks.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>
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

// One recorded formula cell: the store's row holding it and what it says.
struct Stored {
  std::int64_t at = 0;
  std::string sheet;
  std::int64_t row = 0;
  std::int64_t col = 0;
  Block block;
  std::optional<std::uint64_t> fingerprint;  // none in records older than it
};

struct Store {
  WorksheetPtr sheet;          // null when the workbook has none
  bool ours = false;           // the workbook's sheet of that name is quillo's
  std::int64_t used_rows = 0;  // rows the store uses
  std::vector<Stored> records;
};

bool is_signature(const Value& v) {
  return v.is_text() && v.text() == kBlockStoreSignature;
}

Array cells_of(const Value& v) {
  if (v.is_array()) return v.array();
  Array cells;
  cells.rows = cells.cols = 1;
  cells.items.push_back(v);
  return cells;
}

Store read_store(const Workbook& book) {
  Store s;
  const auto sheet = book.worksheet(kBlockStoreSheet);
  if (!sheet.ok()) return s;
  s.sheet = *sheet;
  const auto used = s.sheet->used_range();
  if (!used.ok()) return s;
  const auto values = (*used)->value();
  const auto first = (*used)->row();
  const auto first_col = (*used)->column();
  if (!values.ok() || !first.ok() || !first_col.ok()) return s;
  const Array cells = cells_of(*values);
  s.used_rows = *first + cells.rows - 1;
  const bool blank = s.used_rows == 1 && cells.cols == 1 && cells.at(0, 0).is_empty();
  if (blank) s.used_rows = 0;
  auto at = [&](std::int32_t r, std::int32_t c) -> Value {
    // Columns of the store, 1-based, as read from the used range.
    const std::int32_t k = c - *first_col;
    if (k < 0 || k >= cells.cols || r < 0 || r >= cells.rows) return Value();
    return cells.at(r, k);
  };
  // quillo's sheet starts with its signature. One written before the
  // signature existed is known by being hidden and by its first used row
  // being a record (the rows above it may have been dropped).
  const bool signed_sheet = *first == 1 && is_signature(at(0, 1));
  const auto visible = s.sheet->visible();
  const bool hidden = visible.ok() && *visible != Visibility::Visible;
  const bool legacy =
      hidden &&
      (blank || (at(0, 1).is_text() && whole(at(0, 2)) && whole(at(0, 3)) && whole(at(0, 7))));
  s.ours = signed_sheet || legacy;
  if (!s.ours) return s;
  for (std::int32_t r = 0; r < cells.rows; ++r) {
    const Value name = at(r, 1);
    if (!name.is_text() || is_signature(name)) continue;
    const auto row = whole(at(r, 2)), col = whole(at(r, 3));
    const auto top = whole(at(r, 4)), left = whole(at(r, 5));
    const auto height = whole(at(r, 6)), width = whole(at(r, 7));
    if (!row || !col || !top || !left || !height || !width) continue;
    Stored rec;
    rec.at = *first + r;
    rec.sheet = name.text();
    rec.row = *row;
    rec.col = *col;
    rec.block = Block{*top, *left, *height, *width};
    const Value fp = at(r, 8);
    if (fp.is_text() && fp.text().size() == 16) {
      std::uint64_t v = 0;
      bool hex = true;
      for (const char ch : fp.text()) {
        const int d = ch >= '0' && ch <= '9'   ? ch - '0'
                      : ch >= 'a' && ch <= 'f' ? ch - 'a' + 10
                                               : -1;
        if (d < 0) hex = false;
        v = v * 16 + static_cast<std::uint64_t>(d < 0 ? 0 : d);
      }
      if (hex) rec.fingerprint = v;
    }
    s.records.push_back(std::move(rec));
  }
  return s;
}

// The record of the formula cell; the last row for it wins (a row is only
// ever added for a cell the store does not record yet).
const Stored* find_record(const Store& s, std::string_view sheet, std::int64_t row,
                          std::int64_t col) {
  const Stored* found = nullptr;
  for (const Stored& r : s.records) {
    if (r.sheet == sheet && r.row == row && r.col == col) found = &r;
  }
  return found;
}

void erase_record(const Store& s, std::int64_t at) {
  if (!s.sheet || at < 1) return;
  if (const auto line = s.sheet->range("A" + std::to_string(at) + ":H" + std::to_string(at));
      line.ok()) {
    (void)(*line)->clear_contents();
  }
}

constexpr std::int64_t kMaxTableFields = 255;

// A block of the shape can lie there for the formula cell, and lies on the
// sheet whole.
bool can_lie(const Block& b, std::int64_t row, std::int64_t col, BlockShape shape) {
  if (b.empty()) return true;  // a record of nothing written
  if (b.bottom() > kSheetRows || b.right() > kSheetCols) return false;
  if (shape == BlockShape::Table) {
    // One column (one line when transposed) per field named: a formula's
    // field list names far fewer than kMaxTableFields.
    return (b.top == row + 1 && b.left == col && b.cols <= kMaxTableFields) ||
           (b.top == row && b.left == col + 1 && b.rows <= kMaxTableFields);
  }
  // A series starts in the formula's row (a second caption beside it) or
  // below it; a host that records only the cells showing something starts
  // it lower, after the periods that have no value yet.
  return b.left == col && b.cols <= 2 && b.top >= row;
}

// The parts of b outside o.
void cut_out(const Block& b, const Block& o, std::vector<Block>& out) {
  if (!overlaps(b, o)) {
    out.push_back(b);
    return;
  }
  const std::int64_t top = std::max(b.top, o.top), bottom = std::min(b.bottom(), o.bottom());
  const std::int64_t left = std::max(b.left, o.left), right = std::min(b.right(), o.right());
  if (top > b.top) out.push_back(Block{b.top, b.left, top - b.top, b.cols});
  if (bottom < b.bottom()) out.push_back(Block{bottom + 1, b.left, b.bottom() - bottom, b.cols});
  if (left > b.left) out.push_back(Block{top, b.left, bottom - top + 1, left - b.left});
  if (right < b.right()) out.push_back(Block{top, right + 1, bottom - top + 1, b.right() - right});
}

// The recorded blocks of the sheet's other formula cells that still hold a
// formula, each with its formula cell.
std::vector<std::pair<Block, CellPos>> other_blocks(const Store& s, const Worksheet& sheet,
                                                    std::string_view sheet_name, std::int64_t row,
                                                    std::int64_t col) {
  std::vector<std::pair<Block, CellPos>> out;
  for (const Stored& r : s.records) {
    if (r.sheet != sheet_name || (r.row == row && r.col == col) || r.block.empty()) continue;
    if (find_record(s, r.sheet, r.row, r.col) != &r) continue;  // an older row for the cell
    if (!can_lie(r.block, r.row, r.col, BlockShape::Table) &&
        !can_lie(r.block, r.row, r.col, BlockShape::Series)) {
      continue;
    }
    if (r.row < 1 || r.row > kSheetRows || r.col < 1 || r.col > kSheetCols) continue;
    const auto cell =
        sheet.cell(static_cast<std::int32_t>(r.row), static_cast<std::int32_t>(r.col));
    if (!cell.ok() || !holds_formula(**cell)) continue;
    out.emplace_back(r.block, CellPos{r.row, r.col});
  }
  return out;
}

// A 64-bit hash (FNV-1a) of the block's cells that show something, with
// where they lie in it; the formula cell itself (a series' block holds it)
// is left out, as its value is not written by the block.
// The digits a number is hashed with. Another program that saves the
// file may write a number with fewer digits than it had (16 where 17 were
// written); hashed with fewer still, the few numbers that then round the
// other way are about one in a million rather than one in ten, and a block
// of a few hundred of them is still known as the one written. Records
// written before hashed with 15 (kOldDigits) and still match.
constexpr int kDigits = 10;
constexpr int kOldDigits = 15;

std::uint64_t fingerprint(const Worksheet& sheet, const Block& whole_block, std::int64_t row,
                          std::int64_t col, int digits = kDigits) {
  std::uint64_t h = 14695981039346656037ull;
  auto mix = [&h](std::string_view bytes) {
    for (const char ch : bytes) {
      h ^= static_cast<unsigned char>(ch);
      h *= 1099511628211ull;
    }
  };
  const Block b = on_sheet(whole_block);
  if (b.empty()) return h;
  // Only the used part of the sheet can show anything.
  const auto used = sheet.used_range();
  if (!used.ok()) return h;
  const auto ur = (*used)->row(), uc = (*used)->column();
  const auto urows = (*used)->row_count(), ucols = (*used)->column_count();
  if (!ur.ok() || !uc.ok() || !urows.ok() || !ucols.ok()) return h;
  Block part{std::max<std::int64_t>(b.top, *ur), std::max<std::int64_t>(b.left, *uc), 0, 0};
  part.rows = std::min<std::int64_t>(b.bottom(), std::int64_t{*ur} + *urows - 1) - part.top + 1;
  part.cols = std::min<std::int64_t>(b.right(), std::int64_t{*uc} + *ucols - 1) - part.left + 1;
  if (part.empty()) return h;
  const auto range = sheet.range(block_address(part));
  if (!range.ok()) return h;
  const auto values = (*range)->value();
  if (!values.ok()) return h;
  const Array cells = cells_of(*values);
  char buf[64];
  for (std::int32_t r = 0; r < cells.rows; ++r) {
    for (std::int32_t c = 0; c < cells.cols; ++c) {
      const std::int64_t at_row = part.top + r, at_col = part.left + c;
      if (at_row == row && at_col == col) continue;
      const Value& v = cells.at(r, c);
      std::string text;
      char kind = 't';
      if (v.is_number()) {
        kind = 'n';
        std::snprintf(buf, sizeof buf, "%.*g", digits, v.number());
        text = buf;
      } else {
        if (v.type() == ValueType::Bool) kind = 'b';
        if (v.is_error()) kind = 'e';
        text = v.to_text();
      }
      if (text.empty()) continue;
      std::snprintf(buf, sizeof buf, "%lld,%lld,%c:", static_cast<long long>(at_row - b.top),
                    static_cast<long long>(at_col - b.left), kind);
      mix(buf);
      mix(text);
      mix(std::string_view("\0", 1));
    }
  }
  return h;
}

// Whether the block still holds what was written when its fingerprint was
// taken, with the digits of either kind of record.
bool unchanged(std::uint64_t recorded, const Worksheet& sheet, const Block& block, std::int64_t row,
               std::int64_t col) {
  return recorded == fingerprint(sheet, block, row, col) ||
         recorded == fingerprint(sheet, block, row, col, kOldDigits);
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

std::string blocked_text(const CellPos& in_the_way, const CellPos& owner) {
  return std::string(kBlockedPrefix) + a1_address(in_the_way.row, in_the_way.col) +
         " is in the block of the formula in " + a1_address(owner.row, owner.col);
}

bool overlaps(const Block& a, const Block& b) {
  return !a.empty() && !b.empty() && a.top <= b.bottom() && b.top <= a.bottom() &&
         a.left <= b.right() && b.left <= a.right();
}

std::optional<Block> covered_input(const Block& b, const std::vector<Block>& inputs) {
  for (const Block& input : inputs) {
    if (overlaps(b, input)) return input;
  }
  return std::nullopt;
}

std::optional<Block> input_block(const Value& arg, const Range& caller) {
  const Range* range = as_range(arg);
  if (!range) return std::nullopt;
  const auto sheet = range->worksheet();
  const auto own = caller.worksheet();
  if (!sheet.ok() || !own.ok()) return std::nullopt;
  // Handles may be made afresh for each question: the sheet is told by its
  // workbook's and its own name.
  auto place = [](const WorksheetPtr& ws) -> std::optional<std::string> {
    const auto name = ws->name();
    const auto book = ws->workbook();
    if (!name.ok() || !book.ok()) return std::nullopt;
    return (*book)->name().value_or(std::string()) + "\n" + *name;
  };
  const auto at = place(*sheet);
  if (!at || at != place(*own)) return std::nullopt;
  const auto row = range->row(), col = range->column();
  const auto rows = range->row_count(), cols = range->column_count();
  if (!row.ok() || !col.ok() || !rows.ok() || !cols.ok()) return std::nullopt;
  return Block{*row, *col, *rows, *cols};
}

std::string blocked_input_text(const Block& input) {
  const std::string where =
      input.rows == 1 && input.cols == 1 ? a1_address(input.top, input.left) : block_address(input);
  return std::string(kBlockedPrefix) + "the block would cover " + where +
         ", which the formula reads";
}

std::optional<Block> recorded_block(const Workbook& book, std::string_view sheet, std::int64_t row,
                                    std::int64_t col, BlockShape shape) {
  const Store s = read_store(book);
  const Stored* r = find_record(s, sheet, row, col);
  if (!r || !can_lie(r->block, row, col, shape)) return std::nullopt;
  return r->block;
}

bool record_block(Workbook& book, std::string_view sheet, std::int64_t row, std::int64_t col,
                  const Block& b) {
  Store s = read_store(book);
  if (s.sheet && !s.ours) return false;  // a user's sheet of that name
  if (!s.sheet) {
    // Adding a sheet makes it the active one; the sheet that was active
    // is activated again.
    const auto active = book.active_sheet();
    const auto added = book.add_worksheet(kBlockStoreSheet);
    if (!added.ok()) return false;
    s.sheet = *added;
    if (active.ok()) (void)(*active)->activate();
  }
  // Other programs may have turned it into a merely hidden sheet.
  if (const auto v = s.sheet->visible(); !v.ok() || *v != Visibility::VeryHidden) {
    (void)s.sheet->set_visible(Visibility::VeryHidden);
  }
  if (s.used_rows == 0) {
    Array header;
    header.rows = 1;
    header.cols = 8;
    header.items = {Value(kBlockStoreSignature),
                    Value("row"),
                    Value("column"),
                    Value("top"),
                    Value("left"),
                    Value("rows"),
                    Value("columns"),
                    Value("fingerprint")};
    const auto a1 = s.sheet->cell(1, 1);
    if (!a1.ok() || !(*a1)->set_value(Value(std::move(header))).ok()) return false;
    s.used_rows = 1;
  }
  const Stored* old = find_record(s, sheet, row, col);
  const std::int64_t at = old ? old->at : s.used_rows + 1;
  if (at > kSheetRows) return false;
  std::uint64_t fp = 0;
  if (const auto target = book.worksheet(sheet); target.ok()) {
    fp = fingerprint(**target, b, row, col);
  }
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(fp));
  Array line;
  line.rows = 1;
  line.cols = 8;
  // Texts are entered as text whatever they look like.
  line.items = {Value("'" + std::string(sheet)),
                Value(static_cast<double>(row)),
                Value(static_cast<double>(col)),
                Value(static_cast<double>(b.empty() ? 0 : b.top)),
                Value(static_cast<double>(b.empty() ? 0 : b.left)),
                Value(static_cast<double>(b.empty() ? 0 : b.rows)),
                Value(static_cast<double>(b.empty() ? 0 : b.cols)),
                Value("'" + std::string(hex))};
  const auto start = s.sheet->cell(static_cast<std::int32_t>(at), 1);
  return start.ok() && (*start)->set_value(Value(std::move(line))).ok();
}

void clear_previous(Workbook& book, const Worksheet& sheet, std::string_view sheet_name,
                    std::int64_t row, std::int64_t col, BlockShape shape, const Block& remembered) {
  const Store s = read_store(book);
  Block target = remembered;
  if (const Stored* r = find_record(s, sheet_name, row, col)) {
    if (!can_lie(r->block, row, col, shape)) {
      erase_record(s, r->at);  // not this formula's block: never cleared
    } else if (r->fingerprint && !unchanged(*r->fingerprint, sheet, r->block, row, col)) {
      return;  // changed since it was written: what is there now is the user's
    } else {
      target = r->block;
    }
  }
  std::vector<Block> parts{on_sheet(target)};
  for (const auto& [other, owner] : other_blocks(s, sheet, sheet_name, row, col)) {
    std::vector<Block> rest;
    for (const Block& p : parts) cut_out(p, other, rest);
    parts = std::move(rest);
  }
  for (const Block& p : parts) clear_values(sheet, p);
}

void clear_left_behind(Workbook& book, const Worksheet& sheet, std::string_view sheet_name,
                       std::int64_t row, std::int64_t col, BlockShape shape) {
  const Store s = read_store(book);
  const Stored* r = find_record(s, sheet_name, row, col);
  if (!r || r->block.empty() || can_lie(r->block, row, col, shape) || !r->fingerprint) return;
  if (r->block.bottom() <= kSheetRows && r->block.right() <= kSheetCols &&
      unchanged(*r->fingerprint, sheet, r->block, row, col)) {
    std::vector<Block> parts{r->block};
    for (const auto& [other, owner] : other_blocks(s, sheet, sheet_name, row, col)) {
      std::vector<Block> rest;
      for (const Block& p : parts) cut_out(p, other, rest);
      parts = std::move(rest);
    }
    for (const Block& p : parts) clear_values(sheet, p);
  }
  erase_record(s, r->at);
}

std::optional<CellPos> first_in_other_block(const Workbook& book, const Worksheet& sheet,
                                            std::string_view sheet_name, std::int64_t row,
                                            std::int64_t col, const Block& whole_block,
                                            CellPos& owner) {
  const Block b = on_sheet(whole_block);
  if (b.empty()) return std::nullopt;
  std::optional<CellPos> first;
  for (const auto& [other, who] : other_blocks(read_store(book), sheet, sheet_name, row, col)) {
    if (!overlaps(b, other)) continue;
    const CellPos at{std::max(b.top, other.top), std::max(b.left, other.left)};
    if (!first || at.row < first->row || (at.row == first->row && at.col < first->col)) {
      first = at;
      owner = who;
    }
  }
  return first;
}

bool foreign_record_sheet(const Workbook& book) {
  const Store s = read_store(book);
  return s.sheet && !s.ours;
}

std::size_t drop_stale_records(Workbook& book) {
  const Store s = read_store(book);
  std::size_t dropped = 0;
  for (const Stored& r : s.records) {
    bool live = false;
    if (const auto sheet = book.worksheet(r.sheet);
        sheet.ok() && r.row >= 1 && r.row <= kSheetRows && r.col >= 1 && r.col <= kSheetCols) {
      const auto cell =
          (*sheet)->cell(static_cast<std::int32_t>(r.row), static_cast<std::int32_t>(r.col));
      live = cell.ok() && holds_formula(**cell);
    }
    if (!live) {
      erase_record(s, r.at);
      ++dropped;
    }
  }
  return dropped;
}

}  // namespace quillo::host
