// Writing one sheet part again from the model: the <sheetData> element is
// replaced, everything around it (columns, merged cells, drawings,
// conditional formats, page setup, ...) stays as the file had it, byte for
// byte, but for the <dimension>, which names the cells written. Rows keep
// their attributes (heights, hidden, styles) and cells their styles, also
// the styled blanks the model does not hold.
//
// No tree of the part is built: a streamed pass over the file's part (the
// load's, or one here when the load kept none) collects the rows'
// attributes and the cells' styles (as runs of columns, so a row of styled
// blanks costs one entry), where <sheetData> and <dimension> lie and the
// bytes around the rows; then the part is written in one pass, the rows
// merged in order from the model's cells, the kept formulas and those
// styles.
#include <algorithm>
#include <charconv>
#include <cmath>

#include "common/text.h"
#include "spreadsheet/address.h"
#include "xlsx/package.h"

namespace quillo::spreadsheet::xlsx {

namespace {

constexpr double kDate1904Offset = 1462;

// <prefix:name attributes>text</prefix:name>
void append_element(std::string& out, const std::string& prefix, std::string_view name,
                    const std::vector<std::pair<std::string, std::string>>& attributes,
                    std::string_view text) {
  out += '<';
  out += prefix;
  out += name;
  for (const auto& [key, value] : attributes) {
    out += ' ';
    out += key;
    out += "=\"";
    append_xml_text(out, value, true);
    out += '"';
  }
  out += '>';
  append_xml_text(out, text, false);
  out += "</";
  out += prefix;
  out += name;
  out += '>';
}

// Where a written cell comes from: the model, the file, or both.
struct CellSource {
  bool in_model = false;                  // the model holds a cell here
  std::optional<std::uint32_t> style;     // the file's style index (s)
  const XlsxKeptFormula* kept = nullptr;  // a formula kept as written
};

}  // namespace

// ---- the layout of the file's part ----

bool starts_utf16(std::string_view chunk) {
  const auto byte = [&chunk](std::size_t i) { return static_cast<unsigned char>(chunk[i]); };
  return chunk.size() >= 2 &&
         ((byte(0) == 0xFF && byte(1) == 0xFE) || (byte(0) == 0xFE && byte(1) == 0xFF) ||
          byte(0) == 0 || byte(1) == 0);
}

// Rows and cells in any order, and rows listed twice, are taken as they
// come; a later style of a cell wins.
void SheetScanner::start(std::string_view local, std::string_view qualified,
                         const char* const* attributes) {
  ++m_depth;
  const std::uint64_t at = m_stream->offset();
  const std::uint64_t size = m_stream->length();
  SheetLayout& l = m_layout;
  if (m_depth == 1) {
    l.root_prefix = std::string(qualified.substr(0, qualified.size() - local.size()));
    l.insert_at = at + size;
  } else if (m_depth == 2) {
    m_top_start = at;
    m_top_start_size = size;
    m_top_qualified = std::string(qualified);
    m_top_local = std::string(local);
    m_in_data = local == "sheetData" && !l.data.found;
    if (m_in_data) {
      l.data_prefix = std::string(qualified.substr(0, qualified.size() - local.size()));
      // The head ends here, also where it has taken bytes beyond.
      m_data_begin = at;
      if (l.head.size() > at) l.head.resize(static_cast<std::size_t>(at));
    }
  }
  if (!m_in_data && m_depth >= 2) {
    start_look(local, attributes);
  } else if (m_in_data && m_depth == 3 && local == "row") {
    start_row(attributes);
  } else if (m_in_data && m_in_row && m_depth == 4 && local == "c") {
    m_row_cells = true;
    start_cell(attributes);
  }
}

void SheetScanner::end(std::string_view local) {
  SheetLayout& l = m_layout;
  if (m_depth == 2) {
    // An element written as <x/> has no end tag of its own.
    const std::uint64_t end = m_stream->length() == 0 ? m_top_start + m_top_start_size
                                                      : m_stream->offset() + m_stream->length();
    if (m_in_data) {
      l.data = SheetLayout::Span{m_top_start, end, true};
      m_in_data = false;
      // The tail starts after the rows, in the piece being parsed.
      if (end < m_taken) m_around = false;
      l.tail.clear();
    } else if (local == "dimension" && !l.dimension.found) {
      l.dimension = SheetLayout::Span{m_top_start, end, true};
      l.dimension_qualified = m_top_qualified;
    } else if (local == "cols" && !l.cols.found) {
      l.cols = SheetLayout::Span{m_top_start, end, true};
      l.cols_qualified = m_top_qualified;
    }
    m_top_local.clear();
    // A new <sheetData> goes after the elements the schema puts before it.
    if (!l.data.found && (local == "sheetPr" || local == "dimension" || local == "sheetViews" ||
                          local == "sheetFormatPr" || local == "cols")) {
      l.insert_at = end;
    }
  }
  if (m_depth == 3 && m_in_row) {
    m_in_row = false;
    // A listing that changes nothing a save would write without it.
    const SheetLayout::Row& r = l.rows.back();
    if (m_row_cells && r.attributes_size == 0 && m_highest < r.row) l.rows.pop_back();
    m_highest = std::max(m_highest, m_row);
  }
  --m_depth;
}

void SheetScanner::took(std::string_view chunk) {
  const std::uint64_t begin = m_taken;
  m_taken += chunk.size();
  if (!m_around) return;
  SheetLayout& l = m_layout;
  if (begin < m_data_begin && l.head.size() == begin) {
    l.head.append(chunk.substr(
        0, static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), m_data_begin - begin))));
  }
  if (l.data.found) {
    const std::uint64_t from = std::max(begin, l.data.end);
    if (from < m_taken) l.tail.append(chunk.substr(static_cast<std::size_t>(from - begin)));
  }
  if (l.head.size() + l.tail.size() > kMaxAround) {
    m_around = false;
    l.head = std::string();
    l.tail = std::string();
  }
}

SheetLayout SheetScanner::finish() {
  SheetLayout& l = m_layout;
  if (m_around && !l.data.found) {
    // No <sheetData>: the rows go in at insert_at.
    m_around = l.head.size() == m_taken && l.insert_at <= m_taken;
    if (m_around) {
      l.tail = l.head.substr(static_cast<std::size_t>(l.insert_at));
      l.head.resize(static_cast<std::size_t>(l.insert_at));
    }
  }
  l.around = m_around && l.head.size() == l.data_begin();
  if (!l.around) {
    l.head = std::string();
    l.tail = std::string();
  }
  std::stable_sort(
      l.rows.begin(), l.rows.end(),
      [](const SheetLayout::Row& a, const SheetLayout::Row& b) { return a.row < b.row; });
  std::stable_sort(
      l.styled.begin(), l.styled.end(),
      [](const SheetLayout::Styled& a, const SheetLayout::Styled& b) { return a.row < b.row; });
  return std::move(m_layout);
}

void SheetScanner::start_row(const char* const* attributes) {
  std::string_view number;
  bool numbered = false;
  std::string& text = m_layout.attributes;
  const std::size_t at = text.size();
  for (const char* const* a = attributes; a[0]; a += 2) {
    if (is_name(a[0], "r")) {
      number = a[1];
      numbered = true;
    } else if (!is_name(a[0], "spans")) {  // a hint the new cells may contradict
      const std::string_view name = a[0];
      text += ' ';
      text += name;
      text += "=\"";
      append_xml_text(text, a[1], true);
      text += '"';
    }
  }
  std::int32_t n = 0;
  if (numbered) std::from_chars(number.data(), number.data() + number.size(), n);
  m_row = numbered ? n : m_row + 1;
  m_col = 0;
  m_row_cells = false;
  m_in_row = m_row >= 1 && m_row <= kMaxRows;
  if (!m_in_row) {
    text.resize(at);
    return;
  }
  m_layout.rows.push_back(SheetLayout::Row{m_row, at, text.size() - at});
  row_look(m_row, attributes);
}

void SheetScanner::start_cell(const char* const* attributes) {
  std::int32_t row = m_row;
  std::uint32_t style = 0;
  bool referenced = false;
  for (const char* const* a = attributes; a[0]; a += 2) {
    if (is_name(a[0], "r")) {
      referenced = true;
      const auto at = parse_cell_ref(a[1]);
      if (!at) return;
      row = at->first;
      m_col = at->second;
    } else if (is_name(a[0], "s")) {
      const std::string_view v = a[1];
      std::from_chars(v.data(), v.data() + v.size(), style);
    }
  }
  if (!referenced) ++m_col;
  if (style == 0 || !valid_cell(row, m_col)) return;
  std::vector<SheetLayout::Styled>& styled = m_layout.styled;
  if (!styled.empty()) {
    SheetLayout::Styled& last = styled.back();
    if (last.row == row && last.style == style && last.c2 + 1 == m_col) {
      last.c2 = m_col;
      return;
    }
  }
  styled.push_back(SheetLayout::Styled{row, m_col, m_col, style});
}

namespace {

class SheetWriter {
 public:
  SheetWriter(const SheetWriteContext& ctx, SheetId sheet, const SheetLayout& scan);

  // Appends the rows, with the element prefix of the part, merging the
  // file's rows and styles (scan, sorted) with the model's cells; after
  // each row, row_written may hand out's text on (and empty it).
  Status write_rows(std::string& out, const std::string& prefix,
                    const std::function<Status()>& row_written);
  // The box of the cells write_rows writes, known before: the <dimension>
  // that names it comes before the rows, and the part goes out as it is
  // made.
  std::optional<Box> used() const { return m_used; }

 private:
  struct Slot {
    std::int32_t col = 0;
    CellSource src;
  };
  void write_cell(std::string& out, const std::string& prefix, std::int32_t row, std::int32_t col,
                  const CellSource& src);
  void write_value(std::string& out, const std::string& prefix, const Value& v,
                   const std::string& format, bool formula, std::string& type);
  void warn(std::int32_t row, std::int32_t col, const std::string& message);
  void extend_used(std::int32_t row, std::int32_t col);
  void plan_kept();
  std::string sheet_name(SheetId id) const { return m_ctx.model.sheet_name(id); }
  // Writes the <f> element as the file had it when the cell's formula still
  // means what the file's did; false when it must be written anew.
  bool write_source(std::string& out, const std::string& prefix, std::int32_t row, std::int32_t col,
                    const FormulaState& fs);
  bool names_renamed_sheet(const Formula& f);

  const SheetWriteContext& m_ctx;
  SheetId m_sheet;
  const SheetLayout& m_scan;
  // The model's cells of one band of rows, row by row (row in the high
  // half): eight bytes a cell of the band, rather than of the sheet, beside
  // the model. A band holds about kBandCells cells (sixteen bytes a cell
  // with read_band's room for sorting them).
  static constexpr std::size_t kBandCells = 1 << 15;
  // Reads the band from row first on; answers the row after it.
  std::int32_t read_band(std::int32_t first);
  std::vector<std::uint64_t> m_cells;
  std::vector<std::uint64_t> m_sorted;          // read_band's room for the sort
  std::vector<std::size_t> m_row_starts;        // read_band's count of cells by row
  std::int32_t m_cells_r1 = 0, m_cells_r2 = 0;  // the rows the model's cells span (0: none)
  std::int32_t m_band_rows = 64;
  std::set<std::uint32_t>
      m_source_masters;  // shared formulas whose master was written as the file had it
  std::optional<std::set<SheetId>> m_renamed;  // sheets named otherwise than in the file's texts
  std::optional<Box> m_used;
  std::string m_body, m_type;  // of the cell being written, reused
  // Texts written inline rather than as shared strings: on a very hidden
  // sheet (quillo's record sheets, one distinct line a cell), where a
  // shared-strings entry per line would only be held until the save ends.
  bool m_inline_texts = false;
};

SheetWriter::SheetWriter(const SheetWriteContext& ctx, SheetId sheet, const SheetLayout& scan)
    : m_ctx(ctx), m_sheet(sheet), m_scan(scan) {
  // The model walks column by column; the part goes row by row, a band of
  // rows at a time. First the box the cells span, which the <dimension>
  // before the rows names.
  if (const Sheet* s = m_ctx.model.sheet(m_sheet)) {
    m_inline_texts = s->visibility == host::Visibility::VeryHidden;
  }
  std::size_t count = 0;
  m_ctx.model.for_each_cell(m_sheet, Box{1, 1, kMaxRows, kMaxCols},
                            [&](std::int32_t r, std::int32_t c, const Cell&) {
                              if (count++ == 0) {
                                m_used = Box{r, c, r, c};
                              } else {
                                extend_used(r, c);
                              }
                            });
  if (m_used) {
    m_cells_r1 = m_used->r1;
    m_cells_r2 = m_used->r2;
    const auto rows = static_cast<std::size_t>(m_cells_r2 - m_cells_r1) + 1;
    m_band_rows = static_cast<std::int32_t>(
        std::clamp<std::size_t>(rows * kBandCells / count, 64, static_cast<std::size_t>(kMaxRows)));
  }
  for (const SheetLayout::Styled& s : m_scan.styled) {
    extend_used(s.row, s.c1);
    extend_used(s.row, s.c2);
  }
  plan_kept();
}

// Which of the sheet's kept formulas are written again, in the order they
// are written (by row, then column): one the model still shows the cached
// value of, and of a shared group only with its master.
void SheetWriter::plan_kept() {
  const Sheet* sheet = m_ctx.model.sheet(m_sheet);
  std::set<std::string> masters;  // shared groups whose master is written as kept
  const auto& kept = *m_ctx.kept;
  for (auto it = kept.lower_bound({m_sheet, 0, 0});
       it != kept.end() && std::get<0>(it->first) == m_sheet; ++it) {
    const auto [id, row, col] = it->first;
    const XlsxKeptFormula& k = it->second;
    const std::optional<Cell> cell =
        sheet ? sheet->cells.find(cell_key(row, col)) : std::optional<Cell>();
    const bool shown = cell ? !cell->formula && cell->value == k.cached : k.cached.is_empty();
    if (!shown ||
        !(k.shared_index.empty() || k.shared_master || masters.count(k.shared_index) > 0)) {
      continue;
    }
    if (k.shared_master) masters.insert(k.shared_index);
    m_ctx.kept_written->insert(it->first);
    extend_used(row, col);
  }
}

std::int32_t SheetWriter::read_band(std::int32_t first) {
  const std::int32_t last = static_cast<std::int32_t>(
      std::min<std::int64_t>(std::int64_t{first} + m_band_rows - 1, m_cells_r2));
  m_cells.clear();
  m_ctx.model.for_each_cell(m_sheet, Box{first, 1, last, kMaxCols},
                            [this](std::int32_t r, std::int32_t c, const Cell&) {
                              m_cells.push_back(std::uint64_t{static_cast<std::uint32_t>(r)} << 32 |
                                                static_cast<std::uint32_t>(c));
                            });
  // The model hands the cells column by column: a counting sort by row
  // (stable, so each row keeps the columns' order) puts them row by row in
  // one pass, where a comparison sort took a tenth of the writing. A band
  // of far more rows than cells (a sparse sheet) is sorted as it is, rather
  // than counted row by row.
  const auto rows = static_cast<std::size_t>(last - first) + 1;
  if (rows <= 4 * m_cells.size()) {
    const auto band_row = [first](std::uint64_t k) {
      return static_cast<std::size_t>((k >> 32) - static_cast<std::uint64_t>(first));
    };
    m_row_starts.assign(rows + 1, 0);
    for (const std::uint64_t k : m_cells) ++m_row_starts[band_row(k) + 1];
    for (std::size_t r = 0; r < rows; ++r) m_row_starts[r + 1] += m_row_starts[r];
    m_sorted.resize(m_cells.size());
    for (const std::uint64_t k : m_cells) m_sorted[m_row_starts[band_row(k)]++] = k;
    m_cells.swap(m_sorted);
  }
  // Columns come in order from the model; should a row not, it is sorted.
  if (!std::is_sorted(m_cells.begin(), m_cells.end())) std::sort(m_cells.begin(), m_cells.end());
  return last + 1;
}

Status SheetWriter::write_rows(std::string& out, const std::string& prefix,
                               const std::function<Status()>& row_written) {
  const SheetLayout& scan = m_scan;
  const std::vector<std::uint64_t>& cells = m_cells;
  std::int32_t next_band = m_cells_r1;  // the first row no band read yet covers (0: none)
  m_cells.clear();
  auto row_of = [](std::uint64_t k) { return static_cast<std::int32_t>(k >> 32); };
  auto col_of = [](std::uint64_t k) { return static_cast<std::int32_t>(k & 0xffffffffu); };
  const auto& kept = *m_ctx.kept;
  auto kept_it = kept.lower_bound({m_sheet, 0, 0});
  auto kept_here = [&] { return kept_it != kept.end() && std::get<0>(kept_it->first) == m_sheet; };
  auto cell_it = cells.begin();
  auto row_it = scan.rows.begin();
  auto styled_it = scan.styled.begin();

  std::vector<Slot> slots;
  std::string row_cells;
  while (true) {
    while (cell_it == cells.end() && next_band != 0 && next_band <= m_cells_r2) {
      next_band = read_band(next_band);
      cell_it = cells.begin();
    }
    std::int32_t row = kMaxRows + 1;
    if (cell_it != cells.end()) row = std::min(row, row_of(*cell_it));
    if (row_it != scan.rows.end()) row = std::min(row, row_it->row);
    if (styled_it != scan.styled.end()) row = std::min(row, styled_it->row);
    if (kept_here()) row = std::min(row, std::get<1>(kept_it->first));
    if (row > kMaxRows) break;

    slots.clear();
    for (; cell_it != cells.end() && row_of(*cell_it) == row; ++cell_it) {
      slots.push_back(Slot{col_of(*cell_it), CellSource{true, std::nullopt, nullptr}});
    }
    for (; kept_here() && std::get<1>(kept_it->first) == row; ++kept_it) {
      slots.push_back(
          Slot{std::get<2>(kept_it->first), CellSource{false, std::nullopt, &kept_it->second}});
    }
    for (; styled_it != scan.styled.end() && styled_it->row == row; ++styled_it) {
      for (std::int32_t c = styled_it->c1; c <= styled_it->c2; ++c) {
        slots.push_back(Slot{c, CellSource{false, styled_it->style, nullptr}});
      }
    }
    // The file's last listing of the row gives its attributes.
    const SheetLayout::Row* file_row = nullptr;
    for (; row_it != scan.rows.end() && row_it->row == row; ++row_it) file_row = &*row_it;

    // One source per column: the model's cell, the kept formula and the
    // file's style (the last one, for a cell listed twice) together.
    // (Mostly in order already: the sort, which takes room, only when not.)
    const auto by_col = [](const Slot& a, const Slot& b) { return a.col < b.col; };
    if (!std::is_sorted(slots.begin(), slots.end(), by_col)) {
      std::stable_sort(slots.begin(), slots.end(), by_col);
    }
    row_cells.clear();
    for (std::size_t i = 0; i < slots.size();) {
      CellSource src = slots[i].src;
      std::size_t j = i + 1;
      for (; j < slots.size() && slots[j].col == slots[i].col; ++j) {
        const CellSource& more = slots[j].src;
        if (more.in_model) src.in_model = true;
        if (more.kept) src.kept = more.kept;
        if (more.style) src.style = more.style;
      }
      write_cell(row_cells, prefix, row, slots[i].col, src);
      i = j;
    }
    // A row with no cells is written only to keep the file's attributes.
    if (row_cells.empty() && !file_row) continue;
    out += '<';
    out += prefix;
    out += "row r=\"";
    out += std::to_string(row);
    out += '"';
    if (file_row) out += scan.row_attributes(*file_row);
    if (row_cells.empty()) {
      out += "/>";
      continue;
    }
    out += '>';
    out += row_cells;
    out += "</";
    out += prefix;
    out += "row>";
    if (auto st = row_written(); !st.ok()) return st;
  }
  return {};
}

void SheetWriter::warn(std::int32_t row, std::int32_t col, const std::string& message) {
  if (m_ctx.warnings) {
    m_ctx.warnings->push_back(quote_sheet_name(m_ctx.model.sheet_name(m_sheet)) + "!" +
                              cell_a1(row, col) + ": " + message);
  }
}

void SheetWriter::extend_used(std::int32_t row, std::int32_t col) {
  if (!m_used) {
    m_used = Box{row, col, row, col};
    return;
  }
  m_used->r1 = std::min(m_used->r1, row);
  m_used->r2 = std::max(m_used->r2, row);
  m_used->c1 = std::min(m_used->c1, col);
  m_used->c2 = std::max(m_used->c2, col);
}

void SheetWriter::write_cell(std::string& out, const std::string& prefix, std::int32_t row,
                             std::int32_t col, const CellSource& src) {
  const Sheet* sheet = src.in_model ? m_ctx.model.sheet(m_sheet) : nullptr;
  const std::optional<Cell> model = sheet ? sheet->cells.find(cell_key(row, col)) : std::nullopt;
  const Cell* cell = model ? &*model : nullptr;
  // A kept formula is written as the file had it where plan_kept says.
  const XlsxKeptFormula* kept =
      src.kept && m_ctx.kept_written->count({m_sheet, row, col}) > 0 ? src.kept : nullptr;
  if (!cell && !kept && (!src.style || *src.style == 0)) return;

  const std::uint32_t base = src.style.value_or(0);
  const std::string empty;
  const std::string& format = cell ? cell->format : empty;
  const std::uint32_t style = m_ctx.styles.with_format(base, format);

  std::string& body = m_body;
  std::string& type = m_type;
  body.clear();
  type.clear();
  bool array_master = false;  // the cell holds an array formula, written here
  if (kept) {
    append_element(body, prefix, "f", kept->attributes, kept->text);
    write_value(body, prefix, kept->cached, format, true, type);
  } else if (cell) {
    // An array formula is written in its top-left cell, with the box it
    // fills; its other cells hold only their values. Formulas go back as
    // the file wrote them while unchanged (an array's box with them: one
    // entered anew over other cells has no text from the file).
    const FormulaState* fs = cell->formula;
    const bool master = fs && (!fs->in_array || (row == fs->array->r1 && col == fs->array->c1));
    array_master = master && fs->in_array;
    if (master && !write_source(body, prefix, row, col, *fs)) {
      const std::string text = write_formula(
          *fs->formula, Notation::A1, row, col, [this](SheetId id) { return sheet_name(id); },
          FormulaText::File);
      std::vector<std::pair<std::string, std::string>> f_attributes;
      if (fs->in_array) {
        f_attributes = {
            {"t", "array"},
            {"ref", cell_a1(fs->array->r1, fs->array->c1) +
                        (fs->array->single() ? "" : ":" + cell_a1(fs->array->r2, fs->array->c2))}};
      }
      // Formulas are not escaped as cell texts are: other readers take the
      // text of <f> literally. What XML cannot carry becomes U+FFFD below.
      append_element(body, prefix, "f", f_attributes, text.substr(text.empty() ? 0 : 1));
    }
    Value v = cell->value;
    if (v.is_number() && !std::isfinite(v.number())) {
      warn(row, col, "the value is not a finite number; written as #NUM!");
      v = Value(ErrorCode::Num);
    }
    write_value(body, prefix, v, format, master, type);
  }
  // <c r="B2" s="3" t="str">body</c>; the body is markup already.
  char digits[16];
  out += '<';
  out += prefix;
  out += "c r=\"";
  char letters[4];  // at most three letters (XFD)
  std::size_t n = sizeof letters;
  for (std::int32_t c = col; c > 0 && n > 0; c = (c - 1) / 26) {
    letters[--n] = static_cast<char>('A' + (c - 1) % 26);
  }
  out.append(letters + n, sizeof letters - n);
  out.append(digits, std::to_chars(digits, digits + sizeof digits, row).ptr);
  if (style != 0) {
    out += "\" s=\"";
    out.append(digits, std::to_chars(digits, digits + sizeof digits, style).ptr);
  }
  if (!type.empty()) {
    out += "\" t=\"";
    out += type;  // a fixed code: nothing to escape
  }
  if ((kept || array_master) && m_ctx.file) {
    // Digits only, as the reader took them.
    const auto cm = m_ctx.file->cell_metadata.find({m_sheet, row, col});
    if (cm != m_ctx.file->cell_metadata.end()) {
      out += "\" cm=\"";
      out += cm->second;
    }
  }
  out += "\">";
  out += body;
  out += "</";
  out += prefix;
  out += "c>";
}

bool SheetWriter::names_renamed_sheet(const Formula& f) {
  if (!m_renamed) {
    m_renamed.emplace();
    for (const auto& [id, name] : m_ctx.file->source_sheet_names) {
      if (sheet_name(id) != name) m_renamed->insert(id);
    }
  }
  if (m_renamed->empty()) return false;
  return std::any_of(f.refs.begin(), f.refs.end(), [this](const RefAst& r) {
    return r.has_sheet && r.sheet != 0 && m_renamed->count(r.sheet) > 0;
  });
}

bool SheetWriter::write_source(std::string& out, const std::string& prefix, std::int32_t row,
                               std::int32_t col, const FormulaState& fs) {
  if (!m_ctx.file || fs.source == 0 || fs.source > m_ctx.file->sources.size()) return false;
  const XlsxFormulaSource& src = m_ctx.file->sources[fs.source - 1];
  // The same formula, or one rewritten with the same meaning (the engine
  // sets a cell's formula again to evaluate it): the two write the same
  // text at this cell. References to a sheet renamed since would not.
  if (fs.formula != src.formula) {
    const auto namer = [this](SheetId id) { return sheet_name(id); };
    if (write_formula(*fs.formula, Notation::A1, row, col, namer) !=
        write_formula(*src.formula, Notation::A1, row, col, namer)) {
      return false;
    }
  }
  if (names_renamed_sheet(*fs.formula)) return false;
  const bool dependent = src.master_row != 0 && (src.master_row != row || src.master_col != col);
  if (dependent) {
    // The master writes the group's formula; without it this cell cannot
    // point to it.
    if (m_source_masters.count(fs.source) == 0) return false;
    out += '<';
    out += prefix;
    out += "f t=\"shared\" si=\"";
    out += std::to_string(src.shared_index);
    out += "\"/>";
    return true;
  }
  if (src.master_row != 0) m_source_masters.insert(fs.source);
  const std::string_view texts = m_ctx.file->texts;
  out += '<';
  out += prefix;
  out += 'f';
  out += texts.substr(src.at, src.attributes);
  out += '>';
  append_xml_text(out, texts.substr(src.at + src.attributes, src.text), false);
  out += "</";
  out += prefix;
  out += "f>";
  return true;
}

void SheetWriter::write_value(std::string& out, const std::string& prefix, const Value& v,
                              const std::string& format, bool formula, std::string& type) {
  std::string text;
  switch (v.type()) {
    case ValueType::Empty:
    case ValueType::Null:
    case ValueType::Missing:
      return;
    case ValueType::Bool:
      type = "b";
      text = v.as_bool() ? "1" : "0";
      break;
    case ValueType::Integer:
    case ValueType::Double:
    case ValueType::Date: {
      double d = v.number();
      if (m_ctx.date1904 && !format.empty() && is_date_format(format)) d -= kDate1904Offset;
      text = text::format_number(d);
      break;
    }
    case ValueType::Text:
      if (formula) {
        type = "str";
        text = encode_escapes(v.text());
      } else if (m_inline_texts) {
        type = "inlineStr";
        const std::string stored = encode_escapes(v.text());
        std::vector<std::pair<std::string, std::string>> attributes;
        if (!stored.empty() && (stored.front() == ' ' || stored.back() == ' ' ||
                                stored.find_first_of("\n\t") != std::string::npos)) {
          attributes.emplace_back("xml:space", "preserve");
        }
        out += '<';
        out += prefix;
        out += "is>";
        append_element(out, prefix, "t", attributes, stored);
        out += "</";
        out += prefix;
        out += "is>";
        return;
      } else {
        type = "s";
        text = std::to_string(m_ctx.strings.index(v.text()));
      }
      break;
    case ValueType::Error:
      type = "e";
      text = error_text(v.error());
      break;
    default:  // a cell never holds an array or a range; be safe if one slips in
      type = "e";
      text = error_text(ErrorCode::Value);
      break;
  }
  append_element(out, prefix, "v", {}, text);
}

std::string dimension_element(const std::string& qualified, const std::optional<Box>& used) {
  // Always as two cells: box_a1 would write a box of full width as rows ("1:5").
  std::string ref = "A1";
  if (used) {
    ref = cell_a1(used->r1, used->c1);
    if (!used->single()) ref += ":" + cell_a1(used->r2, used->c2);
  }
  return "<" + qualified + " ref=\"" + ref + "\"/>";
}

}  // namespace

Status rewrite_sheet(const SheetWriteContext& ctx, SheetId sheet, const std::string& part,
                     const SheetLayout* known, const PartSource& read, const PartSink& sink) {
  SheetLayout scanned;
  if (!known) {
    SheetScanner scanner;
    XmlStream stream(part, scanner);
    scanner.attach(stream);
    bool first = true;
    Status st = read([&](std::string_view chunk) {
      // The part is copied as bytes around UTF-8 rows: one in UTF-16 would
      // come out in two encodings. Refused rather than written damaged.
      if (first && starts_utf16(chunk)) {
        return Status::failed("cannot write " + part + " again: it is UTF-16 text");
      }
      first = false;
      Status fed = stream.feed(chunk, false);
      scanner.took(chunk);
      return fed;
    });
    if (st.ok()) st = stream.feed({}, true);
    if (!st.ok()) return st;
    scanned = scanner.finish();
  }
  const SheetLayout& scan = known ? *known : scanned;

  // The part is copied but for two cuts: the <dimension> and the
  // <sheetData>, or where a missing one goes; from the layout where it
  // holds the bytes around the rows, else as it inflates again.
  enum class Kind { Dimension, Cols, Data };
  struct Cut {
    std::uint64_t begin = 0, end = 0;
    Kind kind = Kind::Data;
  };
  std::vector<Cut> cuts;
  std::string dimension_qualified;
  const bool has_data = scan.data.found;
  const std::uint64_t data_begin = scan.data_begin();
  if (scan.dimension.found && scan.dimension.end <= data_begin) {
    cuts.push_back(Cut{scan.dimension.begin, scan.dimension.end, Kind::Dimension});
    dimension_qualified = scan.dimension_qualified;
  }
  // Widths the user set go into the <cols> (a new one just before the
  // rows); without them the part's own stays byte for byte.
  const Sheet* model_sheet = ctx.model.sheet(sheet);
  const std::map<std::int32_t, double> no_widths;
  const auto& widths = model_sheet ? model_sheet->look.set_widths : no_widths;
  std::string cols_qualified = (has_data ? scan.data_prefix : scan.root_prefix) + "cols";
  if (!widths.empty()) {
    const bool own =
        scan.cols.found && scan.cols.begin >= scan.dimension.end && scan.cols.end <= data_begin;
    // A <cols> out of its place (the schema puts it just before the rows)
    // is left alone, widths and all, rather than written twice.
    if (own) {
      cols_qualified = scan.cols_qualified;
      cuts.push_back(Cut{scan.cols.begin, scan.cols.end, Kind::Cols});
    } else if (!scan.cols.found) {
      cuts.push_back(Cut{data_begin, data_begin, Kind::Cols});
    }
  }
  cuts.push_back(Cut{data_begin, scan.data_end(), Kind::Data});
  const std::string prefix = has_data ? scan.data_prefix : scan.root_prefix;

  SheetWriter writer(ctx, sheet, scan);
  // The part goes to sink in pieces of about kPiece bytes, so a save never
  // holds a whole sheet part; out is the piece being filled.
  constexpr std::size_t kPiece = std::size_t{1} << 16;
  std::string out;
  out.reserve(2 * kPiece);
  auto hand_on = [&](bool all) {
    if (out.empty() || (!all && out.size() < kPiece)) return Status();
    Status written = sink(std::move(out));
    out = std::string();
    out.reserve(2 * kPiece);
    return written;
  };
  auto replace = [&](const Cut& cut) {
    if (cut.kind == Kind::Dimension) {
      out += dimension_element(dimension_qualified, writer.used());
      return Status();
    }
    if (cut.kind == Kind::Cols) {
      out += cols_element(cols_qualified, scan, widths);
      return Status();
    }
    out += '<';
    out += prefix;
    out += "sheetData>";
    if (auto written = writer.write_rows(out, prefix, [&] { return hand_on(false); });
        !written.ok()) {
      return written;
    }
    out += "</";
    out += prefix;
    out += "sheetData>";
    return Status();
  };
  std::uint64_t pos = 0;  // of the next byte of the part
  std::size_t next = 0;   // the next cut
  bool replaced = false;  // whether that cut's replacement is written
  auto copy = [&](std::string_view chunk) {
    const std::uint64_t chunk_begin = pos, chunk_end = pos + chunk.size();
    while (true) {
      if (next < cuts.size() && pos >= cuts[next].begin) {
        if (!replaced) {
          if (auto written = replace(cuts[next]); !written.ok()) return written;
          replaced = true;
        }
        if (cuts[next].end > pos) pos = std::min(cuts[next].end, chunk_end);
        if (pos < cuts[next].end) break;  // the cut goes on in the next piece
        ++next;
        replaced = false;
        continue;
      }
      const std::uint64_t stop =
          next < cuts.size() ? std::min(cuts[next].begin, chunk_end) : chunk_end;
      out.append(chunk.substr(pos - chunk_begin, stop - pos));
      pos = stop;
      if (pos == chunk_end && (next == cuts.size() || cuts[next].begin > pos)) break;
    }
    return hand_on(false);
  };
  if (scan.around) {
    if (auto st = copy(scan.head); !st.ok()) return st;
    pos = scan.data_end();
    if (auto st = copy(scan.tail); !st.ok()) return st;
  } else if (auto st = read(copy); !st.ok()) {
    return st;
  }
  // A cut at the very end (a part that is all <sheetData>) is written here.
  if (next < cuts.size()) {
    if (auto st = copy({}); !st.ok()) return st;
  }
  return hand_on(true);
}

// ---- shared strings ----

void SharedStrings::load(pugi::xml_document* doc) {
  m_doc = doc;
  m_index.clear();
  m_items = 0;
  m_refs = 0;
  for (pugi::xml_node si = doc->document_element().first_child(); si; si = si.next_sibling()) {
    if (si.type() != pugi::node_element || local_name(si) != "si") continue;
    m_index.emplace(string_item_text(si), m_items++);
  }
}

std::uint32_t SharedStrings::index(const std::string& text) {
  ++m_refs;
  const auto [it, added] = m_index.emplace(text, m_items);
  if (!added) return it->second;
  pugi::xml_node root = m_doc->document_element();
  const std::string prefix = prefix_of(root);
  pugi::xml_node t =
      root.append_child((prefix + "si").c_str()).append_child((prefix + "t").c_str());
  const std::string stored = encode_escapes(text);
  if (!stored.empty() && (stored.front() == ' ' || stored.back() == ' ' ||
                          stored.find_first_of("\n\t") != std::string::npos)) {
    t.append_attribute("xml:space").set_value("preserve");
  }
  t.append_child(pugi::node_pcdata).set_value(stored.c_str());
  return m_items++;
}

void SharedStrings::finish() {
  pugi::xml_node root = m_doc->document_element();
  for (const char* name : {"count", "uniqueCount"}) {
    if (!root.attribute(name)) root.append_attribute(name);
  }
  root.attribute("count").set_value(static_cast<unsigned long long>(m_refs));
  root.attribute("uniqueCount").set_value(m_items);
}

}  // namespace quillo::spreadsheet::xlsx
