// Writing one sheet part again from the model: the <sheetData> element is
// replaced, everything around it (columns, merged cells, drawings,
// conditional formats, page setup, ...) stays as the file had it. Rows keep
// their attributes (heights, hidden, styles) and cells their styles.
//
// The new rows are produced as text and spliced into the serialized part:
// building them as DOM nodes would cost several times the time and memory
// on large sheets.
#include <algorithm>
#include <cmath>
#include <random>

#include "common/text.h"
#include "spreadsheet/address.h"
#include "spreadsheet/xlsx_package.h"

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
  std::optional<Cell> model;              // the model's cell
  std::optional<std::uint32_t> style;     // the file's style index (s)
  const XlsxKeptFormula* kept = nullptr;  // a formula kept as written
};

struct RowSource {
  pugi::xml_node row;  // the file's row element, for its attributes
  std::map<std::int32_t, CellSource> cells;
};

class SheetWriter {
 public:
  SheetWriter(const SheetWriteContext& ctx, SheetId sheet) : m_ctx(ctx), m_sheet(sheet) {}

  void collect_file_rows(const pugi::xml_node& data);
  void collect_model_cells();
  // The rows as text, with the element prefix of the part.
  std::string rows_text(const std::string& prefix);
  std::optional<Box> used() const { return m_used; }

 private:
  void write_cell(std::string& out, const std::string& prefix, std::int32_t row, std::int32_t col,
                  const CellSource& src);
  void write_value(std::string& out, const std::string& prefix, const Value& v,
                   const std::string& format, bool formula, std::string& type);
  void warn(std::int32_t row, std::int32_t col, const std::string& message);
  void extend_used(std::int32_t row, std::int32_t col);
  std::string sheet_name(SheetId id) const { return m_ctx.model.sheet_name(id); }
  // Writes the <f> element as the file had it when the cell's formula still
  // means what the file's did; false when it must be written anew.
  bool write_source(std::string& out, const std::string& prefix, std::int32_t row, std::int32_t col,
                    const FormulaState& fs);
  bool names_renamed_sheet(const Formula& f);

  const SheetWriteContext& m_ctx;
  SheetId m_sheet;
  std::map<std::int32_t, RowSource> m_rows;
  std::set<std::string> m_kept_masters;  // shared formulas whose master was written as kept
  std::set<std::uint32_t>
      m_source_masters;  // shared formulas whose master was written as the file had it
  std::optional<std::set<SheetId>> m_renamed;  // sheets named otherwise than in the file's texts
  std::optional<Box> m_used;
};

void SheetWriter::collect_file_rows(const pugi::xml_node& data) {
  std::int32_t row = 0;
  for (pugi::xml_node r = data.first_child(); r; r = r.next_sibling()) {
    if (r.type() != pugi::node_element || local_name(r) != "row") continue;
    const pugi::xml_attribute rr = r.attribute("r");
    row = rr ? rr.as_int(0) : row + 1;
    if (row < 1 || row > kMaxRows) continue;
    RowSource& rs = m_rows[row];
    rs.row = r;
    std::int32_t col = 0;
    for (pugi::xml_node c = r.first_child(); c; c = c.next_sibling()) {
      if (c.type() != pugi::node_element || local_name(c) != "c") continue;
      std::int32_t cell_row = row;
      if (const pugi::xml_attribute cr = c.attribute("r")) {
        const auto at = parse_cell_ref(cr.value());
        if (!at) continue;
        cell_row = at->first;
        col = at->second;
      } else {
        ++col;
      }
      if (!valid_cell(cell_row, col)) continue;
      if (const pugi::xml_attribute s = c.attribute("s")) {
        m_rows[cell_row].cells[col].style = s.as_uint(0);
      }
    }
  }
}

void SheetWriter::collect_model_cells() {
  m_ctx.model.for_each_cell(m_sheet, Box{1, 1, kMaxRows, kMaxCols},
                            [this](std::int32_t r, std::int32_t c, const Cell& cell) {
                              m_rows[r].cells[c].model.emplace(cell);
                            });
  const auto& kept = *m_ctx.kept;
  for (auto it = kept.lower_bound({m_sheet, 0, 0});
       it != kept.end() && std::get<0>(it->first) == m_sheet; ++it) {
    m_rows[std::get<1>(it->first)].cells[std::get<2>(it->first)].kept = &it->second;
  }
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

std::string SheetWriter::rows_text(const std::string& prefix) {
  std::string out;
  std::string cells;
  for (const auto& [row, rs] : m_rows) {
    cells.clear();
    for (const auto& [col, src] : rs.cells) write_cell(cells, prefix, row, col, src);
    // A row with no cells is written only to keep the file's attributes.
    if (cells.empty() && !rs.row) continue;
    out += '<';
    out += prefix;
    out += "row r=\"";
    out += std::to_string(row);
    out += '"';
    // spans is a hint that the new cells may contradict: leave it out.
    for (pugi::xml_attribute a = rs.row.first_attribute(); a; a = a.next_attribute()) {
      const std::string_view name = a.name();
      if (name == "r" || name == "spans") continue;
      out += ' ';
      out += name;
      out += "=\"";
      append_xml_text(out, a.value(), true);
      out += '"';
    }
    if (cells.empty()) {
      out += "/>";
      continue;
    }
    out += '>';
    out += cells;
    out += "</";
    out += prefix;
    out += "row>";
  }
  return out;
}

void SheetWriter::write_cell(std::string& out, const std::string& prefix, std::int32_t row,
                             std::int32_t col, const CellSource& src) {
  const Cell* cell = src.model ? &*src.model : nullptr;
  const XlsxKeptFormula* kept = src.kept;
  // A kept formula is written as the file had it while the model still
  // shows its cached value; a shared one only with its master.
  if (kept && (cell ? (!cell->formula && cell->value == kept->cached) : kept->cached.is_empty()) &&
      (kept->shared_index.empty() || kept->shared_master ||
       m_kept_masters.count(kept->shared_index))) {
    if (kept->shared_master) m_kept_masters.insert(kept->shared_index);
    m_ctx.kept_written->insert({m_sheet, row, col});
  } else {
    kept = nullptr;
  }
  if (!cell && !kept && (!src.style || *src.style == 0)) return;

  const std::uint32_t base = src.style.value_or(0);
  const std::string empty;
  const std::string& format = cell ? cell->format : empty;
  const std::uint32_t style = m_ctx.styles.with_format(base, format);

  std::string body;
  std::string type;
  if (kept) {
    append_element(body, prefix, "f", kept->attributes, kept->text);
    write_value(body, prefix, kept->cached, format, true, type);
  } else if (cell) {
    // An array formula is written in its top-left cell, with the box it
    // fills; its other cells hold only their values. Other formulas go back
    // as the file wrote them while unchanged.
    const FormulaState* fs = cell->formula;
    const bool master = fs && (!fs->in_array || (row == fs->array.r1 && col == fs->array.c1));
    if (master && (fs->in_array || !write_source(body, prefix, row, col, *fs))) {
      const std::string text = write_formula(
          *fs->formula, Notation::A1, row, col, [this](SheetId id) { return sheet_name(id); },
          FormulaText::File);
      std::vector<std::pair<std::string, std::string>> f_attributes;
      if (fs->in_array) {
        f_attributes = {
            {"t", "array"},
            {"ref", cell_a1(fs->array.r1, fs->array.c1) +
                        (fs->array.single() ? "" : ":" + cell_a1(fs->array.r2, fs->array.c2))}};
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
  extend_used(row, col);
  // <c r="B2" s="3" t="str">body</c>
  std::vector<std::pair<std::string, std::string>> attributes{
      {"r", column_letters(col) + std::to_string(row)}};
  if (style != 0) attributes.emplace_back("s", std::to_string(style));
  if (!type.empty()) attributes.emplace_back("t", type);
  append_element(out, prefix, "c", attributes, {});
  // The body is markup already: put it between the tags, unescaped.
  out.insert(out.size() - prefix.size() - 4, body);
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

// Inserts a missing <sheetData> where the schema wants it: after the
// elements that precede it.
pugi::xml_node ensure_sheet_data(pugi::xml_node root) {
  if (pugi::xml_node d = child(root, "sheetData")) return d;
  pugi::xml_node after;
  for (const char* name : {"sheetPr", "dimension", "sheetViews", "sheetFormatPr", "cols"}) {
    if (pugi::xml_node n = child(root, name)) after = n;
  }
  const std::string name = prefix_of(root) + "sheetData";
  return after ? root.insert_child_after(name.c_str(), after) : root.prepend_child(name.c_str());
}

std::string marker() {
  static std::mt19937_64 rng{std::random_device{}()};
  return "quillo-sheet-data-" + std::to_string(rng());
}

}  // namespace

Result<std::string> rewrite_sheet(const SheetWriteContext& ctx, SheetId sheet,
                                  const std::string& part, std::string_view xml) {
  pugi::xml_document doc;
  if (auto st = parse_part(doc, part, xml, "worksheet"); !st.ok()) return st;
  pugi::xml_node root = doc.document_element();
  pugi::xml_node data = ensure_sheet_data(root);
  SheetWriter writer(ctx, sheet);
  writer.collect_file_rows(data);
  writer.collect_model_cells();
  const std::string rows = writer.rows_text(prefix_of(data));
  if (pugi::xml_node dim = child(root, "dimension")) {
    const auto used = writer.used();
    // Always as two cells: box_a1 would write a box of full width as rows ("1:5").
    std::string ref = "A1";
    if (used) {
      ref = cell_a1(used->r1, used->c1);
      if (!used->single()) ref += ":" + cell_a1(used->r2, used->c2);
    }
    dim.attribute("ref").set_value(ref.c_str());
  }
  // The rows replace a unique comment in the serialized part.
  while (data.first_child()) data.remove_child(data.first_child());
  const std::string mark = marker();
  data.append_child(pugi::node_comment).set_value(mark.c_str());
  std::string out = serialize(doc);
  const std::string needle = "<!--" + mark + "-->";
  const std::size_t at = out.find(needle);
  if (at == std::string::npos) return Status::failed("cannot write " + part);
  out.replace(at, needle.size(), rows);
  return out;
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
