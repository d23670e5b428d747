// Loading an xlsx file into the model (see xlsx.h). The loader is one class
// over the package (cells, shared and array formulas, links), which is why
// the file is long; names and tables are read in names.cpp.
#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <exception>
#include <filesystem>
#include <mutex>
#include <thread>

#include "common/dates.h"
#include "spreadsheet/address.h"
#include "xlsx/package.h"

namespace quillo::spreadsheet {

namespace {

using xlsx::child;
using xlsx::local_name;

constexpr std::size_t kMaxWarnings = 100;
// Days between the 1904 date system's day zero and the 1900 system's.
constexpr double kDate1904Offset = 1462;

std::string cell_name(const Model& model, SheetId sheet, std::int32_t row, std::int32_t col) {
  return quote_sheet_name(model.sheet_name(sheet)) + "!" + cell_a1(row, col);
}

bool reads_other_book(const Node& n);

// Whether a name's definition reads another workbook, itself or through
// the names it uses (a few levels deep: a name that loops is #REF!, which
// quillo computes).
bool name_reads_other_book(const Node& n, const Model& model, SheetId sheet, int depth) {
  if (n.kind == Node::Kind::Name && !n.has_book) {
    const DefinedName* d = model.find_name(sheet, n.ref().has_sheet ? n.ref().sheet : 0, n.name());
    if (d && d->formula &&
        (reads_other_book(*d->formula->root) ||
         (depth < 8 && name_reads_other_book(*d->formula->root, model, sheet, depth + 1)))) {
      return true;
    }
  }
  return std::any_of(n.args.begin(), n.args.end(),
                     [&](const auto& a) { return name_reads_other_book(*a, model, sheet, depth); });
}

// Why a parsed formula cannot be computed here; empty when it can.
std::string blocker(const Node& n,
                    const std::function<bool(std::string_view, const std::string*)>& external,
                    const Model& model, SheetId sheet) {
  switch (n.kind) {
    case Node::Kind::Call:
      if (!n.builtin && !(external && external(n.name(), n.has_book ? &n.book() : nullptr))) {
        return "calls " + n.name() + ", which quillo does not compute";
      }
      break;
    case Node::Kind::Name: {
      const DefinedName* d =
          n.has_book ? nullptr
                     : model.find_name(sheet, n.ref().has_sheet ? n.ref().sheet : 0, n.name());
      // A name the workbook does not define is #NAME? there, as in the
      // file's own application, and the formula goes on with it; one it
      // defines in a way quillo cannot read keeps the file's value.
      if (d && !d->formula) return "uses the name " + n.name() + ", which quillo does not know";
      if (!d && n.has_book) return "uses the name " + n.name() + ", which quillo does not know";
      // One that refers to another workbook ([1]Sheet1!$B$2) cannot be
      // read here: the formula keeps the file's value, like a direct reference.
      if (d && name_reads_other_book(n, model, sheet, 0)) {
        return "uses the name " + n.name() + ", which reads another workbook";
      }
      break;
    }
    case Node::Kind::Ref:
      if (n.ref().has_sheet && n.ref().sheet == 0) {
        return "refers to sheet " + n.ref().sheet_name() + ", which the file does not have";
      }
      // The last sheet of a span (S:Foo!A1) as much as its first.
      if (n.ref().has_sheet && n.ref().three_d() && n.ref().sheet2 == 0) {
        return "refers to sheet " + n.ref().sheet2_name() + ", which the file does not have";
      }
      break;
    default:
      break;
  }
  for (const auto& a : n.args) {
    if (std::string why = blocker(*a, external, model, sheet); !why.empty()) return why;
  }
  return {};
}

// Whether a formula reads another workbook's cells or names ([1]Sheet1!A1,
// [1]!Name): quillo cannot compute those, and keeps them as written.
bool reads_other_book(const Node& n) {
  if (n.kind == Node::Kind::Ref && n.ref().has_sheet && n.ref().sheet == 0 &&
      n.ref().sheet_name().find('[') != std::string::npos) {
    return true;
  }
  if ((n.kind == Node::Kind::Name || n.kind == Node::Kind::Call) && n.has_book &&
      n.book().starts_with('[')) {
    return true;  // [1]!Name, or [2]!fn(...) through a link the file does not describe
  }
  return std::any_of(n.args.begin(), n.args.end(),
                     [](const auto& a) { return reads_other_book(*a); });
}

// How many elements of this local name (any prefix) the XML text has, by
// a scan of its tags: cheap, and never fewer than the parsed part has.
std::uint64_t count_elements(std::string_view xml, std::string_view local) {
  std::uint64_t n = 0;
  for (std::size_t at = xml.find('<'); at != std::string_view::npos; at = xml.find('<', at + 1)) {
    std::size_t end = at + 1;
    while (end < xml.size() && xml[end] != '>' && xml[end] != '/' && xml[end] != ' ' &&
           xml[end] != '\t' && xml[end] != '\n' && xml[end] != '\r') {
      ++end;
    }
    std::string_view name = xml.substr(at + 1, end - at - 1);
    if (const std::size_t colon = name.find(':'); colon != std::string_view::npos) {
      name.remove_prefix(colon + 1);
    }
    if (name == local) ++n;
  }
  return n;
}

std::string_view trim_blanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\n' || s.front() == '\t')) {
    s.remove_prefix(1);
  }
  while (!s.empty() && (s.back() == ' ' || s.back() == '\n' || s.back() == '\t')) {
    s.remove_suffix(1);
  }
  return s;
}

std::optional<double> parse_double(std::string_view s) {
  s = trim_blanks(s);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  double d = 0;
  const auto r = std::from_chars(s.data(), s.data() + s.size(), d);
  if (s.empty() || r.ec != std::errc() || r.ptr != s.data() + s.size() || !std::isfinite(d)) {
    return std::nullopt;
  }
  return d;
}

// An ISO 8601 date-time as a serial ("2020-01-31" or "2020-01-31T12:00:00").
std::optional<double> parse_iso_datetime(std::string_view s) {
  auto day = parse_iso_date(s.substr(0, 10));
  if (!day) return std::nullopt;
  double serial = *day;
  if (s.size() > 11 && s[10] == 'T') {
    int h = 0, m = 0;
    double sec = 0;
    const std::string t(s.substr(11));
    if (std::sscanf(t.c_str(), "%d:%d:%lf", &h, &m, &sec) >= 2) {
      serial += (h * 3600.0 + m * 60.0 + sec) / 86400.0;
    }
  }
  return serial;
}

// The path an external link's target names; a file URL becomes a path.
std::string link_path(std::string target) {
  constexpr std::string_view kFileUrl = "file:///";
  if (target.rfind(kFileUrl, 0) == 0) {
    target.erase(0, kFileUrl.size());
    // "file:///C:/dir/x.xla" names C:/dir/x.xla, "file:///dir/x.xla" /dir/x.xla.
    if (target.size() < 2 || target[1] != ':') target.insert(0, "/");
  }
  return target;
}

// text with each function call through an external link ("[1]!fsingle(")
// made a call through the linked book's path ("'/dir/tarnvale.xla'!fsingle(").
// Strings and quoted names are copied unchanged. Empty when nothing changed.
std::string through_link_paths(std::string_view text,
                               const std::map<std::size_t, std::string>& links) {
  auto name_char = [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.';
  };
  std::string out;
  bool changed = false;
  for (std::size_t i = 0; i < text.size();) {
    const char ch = text[i];
    if (ch == '"' || ch == '\'') {
      std::size_t j = i + 1;  // to the closing quote; a doubled one stays inside
      while (j < text.size() && !(text[j] == ch && (j + 1 == text.size() || text[j + 1] != ch))) {
        j += text[j] == ch ? 2 : 1;
      }
      j = std::min(j + 1, text.size());
      out.append(text.substr(i, j - i));
      i = j;
      continue;
    }
    if (ch == '[') {
      std::size_t j = i + 1, n = 0;
      while (j < text.size() && j < i + 8 && std::isdigit(static_cast<unsigned char>(text[j]))) {
        n = n * 10 + static_cast<std::size_t>(text[j++] - '0');
      }
      std::size_t end = j + 2;  // after "]!", the function name
      while (end < text.size() && name_char(text[end])) ++end;
      const auto link = links.find(n);
      if (j > i + 1 && text.substr(j, 2) == "]!" && end > j + 2 && end < text.size() &&
          text[end] == '(' && link != links.end()) {
        out += '\'';
        for (const char c : link->second) out += c == '\'' ? std::string("''") : std::string(1, c);
        out += "'!";
        i = j + 2;
        changed = true;
        continue;
      }
    }
    out += ch;
    ++i;
  }
  return changed ? out : std::string();
}

// A <c> element as the stream read it: what the loader needs of it.
struct FormulaXml {
  std::vector<std::pair<std::string, std::string>> attributes;  // as written, in order
  std::string text;

  std::string_view attribute(std::string_view name) const {
    for (const auto& [key, value] : attributes) {
      if (key == name) return value;
    }
    return {};
  }
};

struct CellXml {
  std::uint32_t style = 0;
  std::string type;  // t
  std::string cm;    // the cell's metadata index (a dynamic array's marker)
  bool has_value = false;
  std::string value;  // of <v>
  bool has_inline = false;
  bool inline_plain = false;  // <is> has a <t> of its own (else its runs' texts count)
  std::string inline_text;
  bool has_formula = false;
  FormulaXml formula;

  void clear() {
    style = 0;
    type.clear();
    cm.clear();
    has_value = has_inline = inline_plain = has_formula = false;
    value.clear();
    inline_text.clear();
    formula.attributes.clear();
    formula.text.clear();
  }
};

struct SharedGroup {
  FormulaPtr formula;  // null when the master did not parse: kept as written
  std::string reason;
  std::uint32_t source = 0;  // the master's XlsxFormulaSource number
};

// The cells of a sheet part, from its parse on a second thread to the
// model on this one, in batches; a part parses and inflates in about the
// time the model takes to store its cells, so the two overlap. The batches
// go round, so their texts keep their room, and at most a few wait at a
// time, so memory does not follow the part's size.
class CellPipe {
 public:
  struct Cell {
    std::int32_t row = 0, col = 0;
    CellXml xml;
  };
  struct Batch {
    std::vector<Cell> cells;
    std::size_t size = 0;
  };
  static constexpr std::size_t kBatchCells = 2048;
  static constexpr std::size_t kMaxWaiting = 4;

  // The parse's side: the cell to fill next, cleared; valid until push.
  CellXml& open() {
    if (m_filling.cells.size() <= m_filling.size) m_filling.cells.emplace_back();
    CellXml& xml = m_filling.cells[m_filling.size].xml;
    xml.clear();
    return xml;
  }
  // The cell opened last is complete, at row and col; false once the
  // reading side has stopped.
  bool push(std::int32_t row, std::int32_t col) {
    Cell& c = m_filling.cells[m_filling.size++];
    c.row = row;
    c.col = col;
    return m_filling.size < kBatchCells || hand_on();
  }
  // The parse's end, with how it went.
  void finish(Status status) {
    hand_on();
    std::lock_guard lock(m_mutex);
    m_status = std::move(status);
    m_finished = true;
    m_changed.notify_all();
  }

  // The reading side: the next batch, or false when the parse is over.
  bool next(Batch& batch) {
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] { return !m_waiting.empty() || m_finished; });
    if (m_waiting.empty()) return false;
    m_spare.push_back(std::move(batch));
    batch = std::move(m_waiting.front());
    m_waiting.pop_front();
    m_changed.notify_all();
    return true;
  }
  // Stops the parse: the reading side needs no more cells.
  void cancel() {
    std::lock_guard lock(m_mutex);
    m_cancelled = true;
    m_changed.notify_all();
  }
  Status status() {
    std::lock_guard lock(m_mutex);
    return m_status;
  }

 private:
  bool hand_on() {
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] { return m_waiting.size() < kMaxWaiting || m_cancelled; });
    if (m_cancelled) return false;
    if (m_filling.size > 0) {
      m_waiting.push_back(std::move(m_filling));
      m_changed.notify_all();
    }
    m_filling = Batch();
    if (!m_spare.empty()) {
      m_filling = std::move(m_spare.back());
      m_spare.pop_back();
      m_filling.size = 0;
    }
    return true;
  }

  Batch m_filling;  // the parse's, unlocked
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::deque<Batch> m_waiting;
  std::vector<Batch> m_spare;
  bool m_cancelled = false, m_finished = false;
  Status m_status;
};

class Loader {
 public:
  Loader(Model& model, const XlsxLoadOptions& options, XlsxFile& file, XlsxLoad& out)
      : m_model(model), m_options(options), m_file(file), m_out(out) {}

  Status run(const std::string& path);

 private:
  Status open_workbook(const std::string& path, pugi::xml_document& workbook,
                       std::vector<xlsx::Relationship>& rels);
  Status read_sheets(const pugi::xml_document& workbook,
                     const std::vector<xlsx::Relationship>& rels);
  void read_links(const pugi::xml_document& workbook, const std::vector<xlsx::Relationship>& rels);
  Status read_shared_strings(const std::string& part);
  Status read_sheet(XlsxSheetPart& part);
  Status read_cell(SheetId sheet, std::int32_t row, std::int32_t col, const CellXml& c);
  Result<Value> cell_value(const CellXml& c, const std::string& format) const;
  Status store_formula(SheetId sheet, std::int32_t row, std::int32_t col, Value cached,
                       const FormulaXml& f, std::string format);
  // True when the save, given no source, would write formula at (row, col)
  // as text.
  bool writes_as(const Formula& formula, std::string_view text, std::int32_t row,
                 std::int32_t col) const;
  std::uint32_t add_source(const FormulaPtr& formula, const FormulaXml& f, std::string_view text,
                           std::int32_t master_row = 0, std::int32_t master_col = 0);
  Status keep(SheetId sheet, std::int32_t row, std::int32_t col, const FormulaXml& f, Value cached,
              std::string format, const std::string& reason);
  Status store_array(SheetId sheet, std::int32_t row, std::int32_t col, Value cached,
                     const FormulaXml& f, std::string format);
  Status finish_arrays(SheetId sheet);
  void warn(SheetId sheet, std::int32_t row, std::int32_t col, const std::string& message);

  Model& m_model;
  const XlsxLoadOptions& m_options;
  XlsxFile& m_file;
  XlsxLoad& m_out;
  std::unique_ptr<xlsx::ZipReader> m_zip;
  std::vector<std::string> m_strings;
  pugi::xml_document m_styles_doc;
  xlsx::StyleTable m_styles;
  std::shared_ptr<const std::vector<CellLook>> m_looks;  // by style index
  std::map<std::string, SharedGroup> m_shared;           // by si, for the sheet being read
  struct PendingArray {
    Box box;
    FormulaPtr formula;
    bool dirty = false;
    std::uint32_t source = 0;  // the file's text of it, written back while unchanged
  };
  std::vector<PendingArray> m_arrays;          // of the sheet being read, stored once it is read
  std::map<std::size_t, std::string> m_links;  // external link number -> path
  std::size_t m_warnings = 0;
  std::uint64_t m_cells = 0;       // cells of the sheets read so far that the model holds
  std::uint64_t m_text_bytes = 0;  // text held by the cells read so far
};

void Loader::warn(SheetId sheet, std::int32_t row, std::int32_t col, const std::string& message) {
  if (++m_warnings <= kMaxWarnings) {
    m_out.warnings.push_back(cell_name(m_model, sheet, row, col) + ": " + message);
  }
}

Status Loader::run(const std::string& path) {
  m_file.limits = m_options.limits;
  m_file.files = m_options.files ? m_options.files : host::make_platform_file_system();
  auto bytes = m_file.files->read_file(path, m_options.limits.max_file_bytes);
  if (!bytes.ok()) return bytes.status();
  m_file.bytes = std::make_shared<const std::string>(std::move(bytes).value());
  auto zip = xlsx::ZipReader::open(m_file.bytes, m_options.limits);
  if (!zip.ok()) return zip.status();
  m_zip = std::move(zip).value();
  if (!m_zip->has("[Content_Types].xml")) {
    return Status::failed("not an xlsx file: the package has no [Content_Types].xml");
  }
  {
    // A save edits this part: a damaged one fails here, not at the save.
    auto types = m_zip->read("[Content_Types].xml");
    if (!types.ok()) return types.status();
    pugi::xml_document doc;
    if (auto st = xlsx::parse_part(doc, "[Content_Types].xml", *types, "Types"); !st.ok()) {
      return st;
    }
  }
  pugi::xml_document workbook;
  std::vector<xlsx::Relationship> rels;
  if (auto st = open_workbook(path, workbook, rels); !st.ok()) return st;
  for (const xlsx::Relationship& r : rels) {
    if (r.part.empty()) continue;
    if (xlsx::rel_type_is(r.type, xlsx::kRelSharedStrings)) {
      if (auto st = read_shared_strings(r.part); !st.ok()) return st;
    } else if (xlsx::rel_type_is(r.type, xlsx::kRelStyles)) {
      auto xml = m_zip->read(r.part);
      if (!xml.ok()) return xml.status();
      if (auto st = xlsx::parse_part(m_styles_doc, r.part, *xml, "styleSheet"); !st.ok()) {
        return st;
      }
      m_styles.load(&m_styles_doc);
      m_looks = std::make_shared<const std::vector<CellLook>>(xlsx::read_cell_looks(m_styles_doc));
    }
  }
  read_links(workbook, rels);
  if (auto st = read_sheets(workbook, rels); !st.ok()) return st;
  if (m_warnings > kMaxWarnings) {
    m_out.warnings.push_back("... and " + std::to_string(m_warnings - kMaxWarnings) +
                             " more cells like these");
  }
  return {};
}

Status Loader::open_workbook(const std::string& path, pugi::xml_document& workbook,
                             std::vector<xlsx::Relationship>& rels) {
  auto root_xml = m_zip->read("_rels/.rels");
  if (!root_xml.ok()) return Status::failed("not an xlsx file: " + root_xml.status().message());
  pugi::xml_document root_rels;
  if (auto st = xlsx::parse_part(root_rels, "_rels/.rels", *root_xml, "Relationships"); !st.ok()) {
    return st;
  }
  for (const xlsx::Relationship& r : xlsx::read_relationships(root_rels, "")) {
    if (xlsx::rel_type_is(r.type, xlsx::kRelOfficeDocument) && !r.part.empty()) {
      m_file.workbook_part = r.part;
    }
  }
  if (m_file.workbook_part.empty()) return Status::failed("not an xlsx file: no workbook part");
  auto wb_xml = m_zip->read(m_file.workbook_part);
  if (!wb_xml.ok()) return wb_xml.status();
  if (auto st = xlsx::parse_part(workbook, m_file.workbook_part, *wb_xml, "workbook"); !st.ok()) {
    return st;
  }
  const std::string rels_name = xlsx::rels_part(m_file.workbook_part);
  auto rels_xml = m_zip->read(rels_name);
  if (!rels_xml.ok()) return rels_xml.status();
  pugi::xml_document rels_doc;
  if (auto st = xlsx::parse_part(rels_doc, rels_name, *rels_xml, "Relationships"); !st.ok()) {
    return st;
  }
  rels = xlsx::read_relationships(rels_doc, m_file.workbook_part);
  const std::string_view date1904 =
      child(workbook.document_element(), "workbookPr").attribute("date1904").value();
  m_file.date1904 = date1904 == "1" || date1904 == "true";
  m_out.book = m_model.add_book(std::filesystem::path(path).filename().string(),
                                std::filesystem::absolute(path).string());
  return {};
}

void Loader::read_links(const pugi::xml_document& workbook,
                        const std::vector<xlsx::Relationship>& rels) {
  // A link that cannot be read is skipped: formulas using it stay as written.
  const pugi::xml_node refs = child(workbook.document_element(), "externalReferences");
  std::size_t n = 0;
  for (pugi::xml_node r = child(refs, "externalReference"); r; r = r.next_sibling()) {
    if (r.type() != pugi::node_element || local_name(r) != "externalReference") continue;
    ++n;
    const std::string_view rid = xlsx::rel_attribute(r, "id").value();
    const auto rel = std::find_if(rels.begin(), rels.end(),
                                  [&](const xlsx::Relationship& x) { return x.id == rid; });
    if (rel == rels.end() || rel->part.empty()) continue;
    const std::string name = xlsx::rels_part(rel->part);
    if (!m_zip->has(name)) continue;
    auto xml = m_zip->read(name);
    pugi::xml_document doc;
    if (!xml.ok() || !xlsx::parse_part(doc, name, *xml, "Relationships").ok()) continue;
    for (const xlsx::Relationship& t : xlsx::read_relationships(doc, rel->part)) {
      // A link to a book whose file was not found, or to one in the
      // application's library or start-up folder, has a type of its own.
      const bool path =
          xlsx::rel_type_is(t.type, "externalLinkPath") ||
          xlsx::rel_type_is(t.type, "xlPathMissing") || xlsx::rel_type_is(t.type, "xlLibrary") ||
          xlsx::rel_type_is(t.type, "xlStartup") || xlsx::rel_type_is(t.type, "xlAlternateStartup");
      if (path && !t.target.empty()) {
        m_links[n] = link_path(t.target);
      }
    }
  }
}

Status Loader::read_sheets(const pugi::xml_document& workbook,
                           const std::vector<xlsx::Relationship>& rels) {
  // Every sheet exists before any formula is read, so references between
  // sheets bind whatever the order.
  std::vector<std::pair<SheetId, host::Visibility>> hidden;
  std::vector<SheetId> by_index;  // the model's sheet of each <sheet>, as names count them
  const pugi::xml_node sheets = child(workbook.document_element(), "sheets");
  for (pugi::xml_node s = child(sheets, "sheet"); s; s = s.next_sibling()) {
    if (s.type() != pugi::node_element || local_name(s) != "sheet") continue;
    by_index.push_back(0);
    const std::string_view rid = xlsx::rel_attribute(s, "id").value();
    const auto rel = std::find_if(rels.begin(), rels.end(),
                                  [&](const xlsx::Relationship& r) { return r.id == rid; });
    // Chart sheets and dialog sheets stay in the file, unseen by the model.
    if (rel == rels.end() || !xlsx::rel_type_is(rel->type, xlsx::kRelWorksheet)) continue;
    if (rel->part.empty())
      return Status::failed("sheet " + std::string(s.attribute("name").value()) +
                            " points outside the file");
    // Two sheets on one part would be one sheet under two names, and saving
    // both would write the part twice: the first keeps it.
    const auto same = std::find_if(m_file.sheets.begin(), m_file.sheets.end(),
                                   [&](const XlsxSheetPart& p) { return p.part == rel->part; });
    if (same != m_file.sheets.end()) {
      m_out.warnings.push_back("sheet " + quote_sheet_name(s.attribute("name").value()) +
                               " shows the same cells as sheet " +
                               quote_sheet_name(m_model.sheet_name(same->sheet)) +
                               "; it is left out, and a save removes it from the file");
      m_file.duplicate_sheets.emplace_back(s.attribute("name").value(), rel->id);
      continue;
    }
    if (!xlsx::xml_safe(s.attribute("name").value())) {
      return Status::failed("bad sheet name \"" + std::string(s.attribute("name").value()) +
                            "\": not UTF-8 text");
    }
    auto id = m_model.add_sheet(m_out.book, s.attribute("name").value());
    if (!id.ok()) {
      return Status::failed("bad sheet name \"" + std::string(s.attribute("name").value()) +
                            "\": " + id.status().message());
    }
    m_file.sheets.push_back(XlsxSheetPart{*id, rel->part, rel->id, nullptr});
    m_file.source_sheet_names[*id] = s.attribute("name").value();
    by_index.back() = *id;
    const std::string_view state = s.attribute("state").value();
    if (state == "hidden") hidden.emplace_back(*id, host::Visibility::Hidden);
    if (state == "veryHidden") hidden.emplace_back(*id, host::Visibility::VeryHidden);
  }
  if (m_file.sheets.empty()) return Status::failed("the workbook has no worksheets");
  // Tables and names before any formula, which may use them.
  for (const XlsxSheetPart& p : m_file.sheets) {
    xlsx::read_tables(*m_zip, m_model, m_out.book, p.sheet, p.part, m_out.warnings);
  }
  xlsx::read_defined_names(workbook.document_element(), m_model, m_out.book, by_index, m_file,
                           m_out.warnings);
  for (XlsxSheetPart& p : m_file.sheets) {
    if (auto st = read_sheet(p); !st.ok()) return st;
  }
  for (const auto& [id, v] : hidden) {
    if (!m_model.set_visibility(id, v).ok()) {
      m_out.warnings.push_back(quote_sheet_name(m_model.sheet_name(id)) +
                               ": every sheet is hidden in the file; this one is shown");
    }
  }
  // The sheet the file shows first.
  const pugi::xml_node view =
      child(child(workbook.document_element(), "bookViews"), "workbookView");
  const std::size_t active = view.attribute("activeTab").as_uint(0);
  m_model.activate_sheet(m_file.sheets[active < m_file.sheets.size() ? active : 0].sheet);
  return {};
}

Status Loader::read_shared_strings(const std::string& part) {
  auto xml = m_zip->read(part);
  if (!xml.ok()) return xml.status();
  if (count_elements(*xml, "si") > m_options.limits.max_strings) {
    return Status::failed("the file has more than " + std::to_string(m_options.limits.max_strings) +
                          " shared strings, more than quillo loads");
  }
  pugi::xml_document doc;
  if (auto st = xlsx::parse_part(doc, part, *xml, "sst"); !st.ok()) return st;
  for (pugi::xml_node si = doc.document_element().first_child(); si; si = si.next_sibling()) {
    if (si.type() == pugi::node_element && local_name(si) == "si") {
      m_strings.push_back(xlsx::string_item_text(si));
    }
  }
  return {};
}

// The cells of one sheet part, read as the XML goes by: each <c> is handed
// to the loader when its element ends, so memory holds one cell's XML at a
// time whatever the size of the part. Rows and cells may come in any order
// and more than once (a later cell replaces an earlier one); the
// <dimension> the part claims is not trusted for anything.
class SheetReader final : public xlsx::XmlHandler {
 public:
  SheetReader(CellPipe& cells, const std::string& part)
      : m_cells(cells), m_part(part), m_stream(part, *this) {
    m_scanner.attach(m_stream);
  }

  Status feed(std::string_view chunk, bool last) {
    if (m_taken == 0 && xlsx::starts_utf16(chunk)) m_utf16 = true;
    m_taken += chunk.size();
    Status st = m_stream.feed(chunk, last);
    m_scanner.took(chunk);
    if (st.ok() && last && !m_root_seen)
      return Status::failed("malformed " + m_part + ": no root element");
    return st;
  }

  // What a save of the part needs besides the cells, once it is read; null
  // for a part a save must refuse (UTF-16 text), which it reads again.
  std::shared_ptr<const xlsx::SheetLayout> layout() {
    if (m_utf16) return nullptr;
    return std::make_shared<const xlsx::SheetLayout>(m_scanner.finish());
  }

  void start(std::string_view local, std::string_view qualified,
             const char* const* attributes) override {
    m_scanner.start(local, qualified, attributes);
    ++m_depth;
    if (m_depth == 1) {
      m_root_seen = true;
      if (local != "worksheet") fail("malformed " + m_part + ": expected one <worksheet> element");
      return;
    }
    if (m_depth == 2) {
      m_in_data = local == "sheetData";
    } else if (!m_in_data) {
      return;
    } else if (m_depth == 3) {
      m_in_row = local == "row";
      if (m_in_row) start_row(attributes);
    } else if (!m_in_row) {
      return;
    } else if (m_depth == 4) {
      m_in_cell = local == "c";
      if (m_in_cell) start_cell(attributes);
    } else if (m_in_cell) {
      start_in_cell(local, attributes);
    }
  }

  void end(std::string_view local) override {
    m_scanner.end(local);
    if (m_depth == 4 && m_in_cell) {
      m_in_cell = false;
      // Stopped by the reading side, which answers why.
      if (!m_cells.push(m_cell_row, m_col)) m_stream.stop(Status::failed("stopped"));
    }
    if (m_depth == 5) m_in_inline = false;
    if (m_depth == 6) m_in_run = false;
    if (m_depth == m_capture_depth) m_capture = nullptr;
    --m_depth;
  }

  void text(std::string_view piece) override {
    if (m_capture && m_depth == m_capture_depth) m_capture->append(piece);
  }

 private:
  void fail(std::string message) { m_stream.stop(Status::failed(std::move(message))); }

  static std::string_view attribute(const char* const* attributes, std::string_view name,
                                    bool* present = nullptr) {
    for (; attributes[0]; attributes += 2) {
      if (xlsx::is_name(attributes[0], name)) {
        if (present) *present = true;
        return attributes[1];
      }
    }
    return {};
  }

  // Row and cell references are optional: without one, the next row or column.
  void start_row(const char* const* attributes) {
    bool present = false;
    const std::string_view r = attribute(attributes, "r", &present);
    if (present) {
      std::int32_t n = 0;
      const auto res = std::from_chars(r.data(), r.data() + r.size(), n);
      m_row = res.ec == std::errc() && res.ptr == r.data() + r.size() ? n : 0;
    } else {
      ++m_row;
    }
    if (m_row < 1 || m_row > kMaxRows) {
      fail("malformed " + m_part + ": row number " + std::string(r));
    }
    m_col = 0;
  }

  void start_cell(const char* const* attributes) {
    m_cell = &m_cells.open();
    m_cell_row = m_row;
    bool has_ref = false;
    for (const char* const* a = attributes; a[0]; a += 2) {
      const char* name = a[0];
      if (xlsx::is_name(name, "r")) {
        has_ref = true;
        const auto at = xlsx::parse_cell_ref(a[1]);
        if (!at) return fail("malformed " + m_part + ": cell reference " + a[1]);
        m_cell_row = at->first;
        m_col = at->second;
      } else if (xlsx::is_name(name, "s")) {
        // As pugixml's as_uint read it before: digits, anything else 0.
        std::uint32_t s = 0;
        const std::string_view v = a[1];
        std::from_chars(v.data(), v.data() + v.size(), s);
        m_cell->style = s;
      } else if (xlsx::is_name(name, "t")) {
        m_cell->type = a[1];
      } else if (xlsx::is_name(name, "cm")) {
        m_cell->cm = a[1];
      }
    }
    if (!has_ref && ++m_col > kMaxCols) {
      fail("malformed " + m_part + ": too many cells in row " + std::to_string(m_row));
    }
  }

  // <v>, <f> and <is> (with <t>, or runs <r><t>) of a cell; a <v> or <f>
  // counts only its own text, as the first <t> does of each run.
  void start_in_cell(std::string_view local, const char* const* attributes) {
    if (m_depth == 5) {
      if (local == "v" && !m_cell->has_value) {
        m_cell->has_value = true;
        capture(m_cell->value);
      } else if (local == "f" && !m_cell->has_formula) {
        m_cell->has_formula = true;
        for (const char* const* a = attributes; a[0]; a += 2) {
          m_cell->formula.attributes.emplace_back(a[0], a[1]);
        }
        capture(m_cell->formula.text);
      } else if (local == "is" && !m_cell->has_inline) {
        m_cell->has_inline = m_in_inline = true;
      }
    } else if (m_in_inline && m_depth == 6) {
      if (local == "t" && !m_cell->inline_plain) {
        m_cell->inline_plain = true;
        m_cell->inline_text.clear();
        capture(m_cell->inline_text);
      } else if (local == "r") {
        m_in_run = true;
        m_run_text_seen = false;
      }
    } else if (m_in_run && m_depth == 7 && local == "t" && !m_run_text_seen &&
               !m_cell->inline_plain) {
      m_run_text_seen = true;
      capture(m_cell->inline_text);
    }
  }

  void capture(std::string& into) {
    m_capture = &into;
    m_capture_depth = m_depth;
  }

  CellPipe& m_cells;
  const std::string& m_part;
  xlsx::XmlStream m_stream;
  xlsx::SheetScanner m_scanner;
  std::uint64_t m_taken = 0;
  bool m_utf16 = false;
  int m_depth = 0;
  bool m_root_seen = false;
  bool m_in_data = false, m_in_row = false, m_in_cell = false, m_in_inline = false,
       m_in_run = false, m_run_text_seen = false;
  std::int32_t m_row = 0, m_col = 0, m_cell_row = 0;
  CellXml* m_cell = nullptr;  // in the batch being filled
  std::string* m_capture = nullptr;
  int m_capture_depth = 0;
};

Status Loader::read_sheet(XlsxSheetPart& p) {
  m_shared.clear();
  m_arrays.clear();
  CellPipe pipe;
  SheetReader reader(pipe, p.part);
  std::thread parse([&] {
    Status st;
    try {
      st = m_zip->read_chunks(
          p.part, [&reader](std::string_view chunk) { return reader.feed(chunk, false); });
      if (st.ok()) st = reader.feed({}, true);
    } catch (const std::bad_alloc&) {
      st = Status::failed("out of memory reading " + p.part);
    } catch (const std::exception& e) {  // nothing may leave the thread
      st = Status::failed("cannot read " + p.part + ": " + e.what());
    }
    pipe.finish(std::move(st));
  });
  // The parse stops and is waited for however this ends.
  struct Join {
    CellPipe& pipe;
    std::thread& thread;
    ~Join() {
      pipe.cancel();
      thread.join();
    }
  } join{pipe, parse};

  CellPipe::Batch batch;
  while (pipe.next(batch)) {
    for (std::size_t i = 0; i < batch.size; ++i) {
      const CellPipe::Cell& c = batch.cells[i];
      if (Status st = read_cell(p.sheet, c.row, c.col, c.xml); !st.ok()) {
        return Status::failed("in " + p.part + ", cell " + cell_a1(c.row, c.col) + ": " +
                              st.message());
      }
    }
  }
  if (Status st = pipe.status(); !st.ok()) return st;
  p.layout = reader.layout();
  if (p.layout) {
    // The cells' looks that show anything; runs of cells styled alike.
    SheetLook look = p.layout->look;
    look.looks = m_looks;
    for (const xlsx::SheetLayout::Styled& s : p.layout->styled) {
      if (!m_looks || s.style >= m_looks->size() || (*m_looks)[s.style].plain()) continue;
      look.styled.push_back({s.row, s.c1, s.c2, s.style});
    }
    (void)m_model.set_look(p.sheet, std::move(look));
  }
  return finish_arrays(p.sheet);
}

Result<Value> Loader::cell_value(const CellXml& c, const std::string& format) const {
  const std::string_view t = c.type;
  if (t == "inlineStr") return Value(xlsx::decode_escapes(c.inline_text));
  const std::string& text = c.value;
  // Writers that do not compute formulas leave <v> out or empty.
  if (!c.has_value || (text.empty() && t != "s" && t != "str")) return Value();
  if (t == "s") {
    // Strictly a number: "-1" or "abc" must not read as 0, the first string.
    std::size_t i = 0;
    const std::string_view digits = trim_blanks(text);
    const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), i);
    if (digits.empty() || r.ec != std::errc() || r.ptr != digits.data() + digits.size() ||
        i >= m_strings.size()) {
      return Status::failed("shared string index \"" + text +
                            "\" does not name a string of the file");
    }
    return Value(m_strings[i]);
  }
  if (t == "str") return Value(xlsx::decode_escapes(text));
  if (t == "b") return Value(text == "1" || text == "true");
  if (t == "e") {
    const auto e = error_from_text(text);
    return Value(e ? *e : ErrorCode::Value);
  }
  if (t == "d") {
    const auto serial = parse_iso_datetime(text);
    if (!serial) return Status::failed("bad date " + text);
    return Value(Date{*serial});
  }
  if (!t.empty() && t != "n") return Status::failed("unknown cell type " + std::string(t));
  const auto d = parse_double(text);
  if (!d) return Status::failed("bad number " + text);
  if (!format.empty() && xlsx::is_date_format(format)) {
    return Value(Date{*d + (m_file.date1904 ? kDate1904Offset : 0)});
  }
  return Value(*d);
}

Status Loader::read_cell(SheetId sheet, std::int32_t row, std::int32_t col, const CellXml& c) {
  std::string format = m_styles.format(c.style);
  auto value = cell_value(c, format);
  if (!value.ok()) return value.status();
  // A cell with nothing the model keeps (no value, no formula, General
  // format: a styled blank) costs nothing: its style stays in the file,
  // which the writer reads again.
  if (value->is_empty() && !c.has_formula && format.empty()) return {};
  if (++m_cells > m_options.limits.max_cells) {
    return Status::failed("the workbook has more than " +
                          std::to_string(m_options.limits.max_cells) +
                          " cells, more than quillo loads");
  }
  if (value->is_text()) {
    m_text_bytes += value->text().size();
    if (m_text_bytes > m_options.limits.max_text_bytes) {
      return Status::failed("the cells hold more than " +
                            std::to_string(m_options.limits.max_text_bytes >> 20) +
                            " MB of text, more than quillo loads");
    }
  }
  if (c.has_formula) {
    // A dynamic array's marker goes back with its formula on a save.
    if (!c.cm.empty() &&
        std::all_of(c.cm.begin(), c.cm.end(), [](char d) { return d >= '0' && d <= '9'; })) {
      m_file.cell_metadata[{sheet, row, col}] = c.cm;
    }
    return store_formula(sheet, row, col, std::move(value).value(), c.formula, std::move(format));
  }
  return m_model.restore_cell(sheet, row, col, std::move(value).value(), nullptr, std::move(format),
                              false);
}

Status Loader::store_formula(SheetId sheet, std::int32_t row, std::int32_t col, Value cached,
                             const FormulaXml& f, std::string format) {
  const std::string_view type = f.attribute("t");
  // Formula texts carry no "_xHHHH_" escapes: other readers take them
  // literally, and so does quillo.
  const std::string& text = f.text;
  const BookId book = m_out.book;
  auto parse = [&](std::string_view t, std::int32_t r, std::int32_t c) {
    return parse_formula(
        t, Notation::A1, r, c,
        [this, book](std::string_view name) { return m_model.find_sheet(book, name); },
        [this, book](std::string_view name) { return m_model.find_table(book, name); });
  };
  FormulaPtr formula;
  std::uint32_t source = 0;
  if (type == "shared") {
    const std::string si(f.attribute("si"));
    if (!text.empty()) {
      // The master: its formula, read at its own cell, serves every cell of
      // the group, since references are kept relative to the cell.
      auto parsed = parse(text, row, col);
      SharedGroup& g = m_shared[si];
      g.formula = parsed.ok() ? parsed.value() : nullptr;
      g.reason = parsed.ok() ? "" : parsed.status().message();
      g.source = g.formula ? add_source(g.formula, f, text, row, col) : 0;
    }
    const auto group = m_shared.find(si);
    if (group == m_shared.end()) {
      return keep(sheet, row, col, f, std::move(cached), std::move(format),
                  "shared formula " + si + " has no master cell");
    }
    if (!group->second.formula) {
      return keep(sheet, row, col, f, std::move(cached), std::move(format), group->second.reason);
    }
    formula = group->second.formula;
    source = group->second.source;
  } else if (type == "array" && !text.empty()) {
    return store_array(sheet, row, col, std::move(cached), f, std::move(format));
  } else if (type == "array" || type == "dataTable") {
    if (text.empty() && type == "array") {
      return m_model.restore_cell(sheet, row, col, std::move(cached), nullptr, std::move(format),
                                  false);
    }
    return keep(sheet, row, col, f, std::move(cached), std::move(format),
                std::string(type == "array" ? "array" : "data table") + " formula");
  } else {
    if (text.empty()) {
      return m_model.restore_cell(sheet, row, col, std::move(cached), nullptr, std::move(format),
                                  false);
    }
    const std::string linked = m_links.empty() ? std::string() : through_link_paths(text, m_links);
    // A column filled down: the formula above, written at this cell, reads
    // as this one's text; it is this cell's formula without a parse, and
    // the save writes it back as the file did.
    if (FormulaPtr above =
            linked.empty() ? m_model.formula_above(sheet, row, col, "=" + text, FormulaText::File)
                           : nullptr) {
      formula = std::move(above);
      if (!f.attributes.empty()) source = add_source(formula, f, text);
    } else {
      auto parsed = parse(linked.empty() ? text : linked, row, col);
      if (!parsed.ok()) {
        return keep(sheet, row, col, f, std::move(cached), std::move(format),
                    parsed.status().message());
      }
      // A formula of the same shape as a neighbour's (a column of =C2-C1)
      // keeps the neighbour's parsed form, so the column holds one tree.
      formula = m_model.shared_formula(sheet, row, col, parsed.value());
      if (reads_other_book(*formula->root)) {
        return keep(sheet, row, col, f, std::move(cached), std::move(format),
                    "it reads another workbook");
      }
      // A formula the save would write as the file did (no attributes, the
      // same text) needs nothing kept to be written back: most cells of a
      // large sheet are such, and their texts would double what the
      // formulas cost.
      if (!f.attributes.empty() || !linked.empty() || !writes_as(*formula, text, row, col)) {
        source = add_source(formula, f, text);
      }
    }
  }
  const std::string why = blocker(*formula->root, m_options.external_function, m_model, sheet);
  if (!why.empty())
    warn(sheet, row, col, "the formula " + why + "; keeping its value from the file");
  return m_model.restore_cell(sheet, row, col, std::move(cached), std::move(formula),
                              std::move(format), why.empty(), source);
}

bool Loader::writes_as(const Formula& formula, std::string_view text, std::int32_t row,
                       std::int32_t col) const {
  const std::string written = write_formula(
      formula, Notation::A1, row, col, [this](SheetId id) { return m_model.sheet_name(id); },
      FormulaText::File);
  return std::string_view(written).substr(written.empty() ? 0 : 1) == text;
}

std::uint32_t Loader::add_source(const FormulaPtr& formula, const FormulaXml& f,
                                 std::string_view text, std::int32_t master_row,
                                 std::int32_t master_col) {
  XlsxFormulaSource src;
  if (master_row != 0) {
    // Cells of the group are written as references to the master by its
    // number; one that is not a number cannot be, and they are written anew.
    const std::string_view si = f.attribute("si");
    const auto r = std::from_chars(si.data(), si.data() + si.size(), src.shared_index);
    if (si.empty() || r.ec != std::errc() || r.ptr != si.data() + si.size()) return 0;
    src.master_row = master_row;
    src.master_col = master_col;
  }
  src.formula = formula;
  src.at = m_file.texts.size();
  for (const auto& [name, value] : f.attributes) {
    m_file.texts += ' ';
    m_file.texts += name;
    m_file.texts += "=\"";
    xlsx::append_xml_text(m_file.texts, value, true);
    m_file.texts += '"';
  }
  src.attributes = static_cast<std::uint32_t>(m_file.texts.size() - src.at);
  m_file.texts += text;
  src.text = static_cast<std::uint32_t>(text.size());
  m_file.sources.push_back(std::move(src));
  return static_cast<std::uint32_t>(m_file.sources.size());
}

// An array formula: its master cell holds the formula and the box (ref)
// it fills; the other cells hold only their values, read after it, so the
// formula goes over the box once the sheet is read.
Status Loader::store_array(SheetId sheet, std::int32_t row, std::int32_t col, Value cached,
                           const FormulaXml& f, std::string format) {
  const std::string& text = f.text;
  const std::string_view ref = f.attribute("ref");
  const auto box = ref.empty() ? std::optional(Box{row, col, row, col}) : parse_box_a1(ref);
  if (!box || box->r1 != row || box->c1 != col || box->area() > 1'000'000) {
    return keep(
        sheet, row, col, f, std::move(cached), std::move(format),
        "array formula over \"" + std::string(ref) + "\", which does not start at its cell");
  }
  const bool overlaps = std::any_of(m_arrays.begin(), m_arrays.end(), [&](const PendingArray& p) {
    return p.box.r1 <= box->r2 && box->r1 <= p.box.r2 && p.box.c1 <= box->c2 && box->c1 <= p.box.c2;
  });
  const BookId book = m_out.book;
  auto parsed = parse_formula(
      text, Notation::A1, row, col,
      [this, book](std::string_view name) { return m_model.find_sheet(book, name); },
      [this, book](std::string_view name) { return m_model.find_table(book, name); });
  if (overlaps || !parsed.ok() || reads_other_book(*parsed.value()->root)) {
    return keep(sheet, row, col, f, std::move(cached), std::move(format),
                overlaps ? "array formula over the cells of another"
                         : (parsed.ok() ? "it reads another workbook" : parsed.status().message()));
  }
  const std::string why =
      blocker(*parsed.value()->root, m_options.external_function, m_model, sheet);
  if (!why.empty()) {
    warn(sheet, row, col, "the array formula " + why + "; keeping its values from the file");
  }
  const std::uint32_t source = add_source(parsed.value(), f, text);
  m_arrays.push_back(PendingArray{*box, parsed.value(), why.empty(), source});
  return m_model.restore_cell(sheet, row, col, std::move(cached), nullptr, std::move(format),
                              false);
}

Status Loader::finish_arrays(SheetId sheet) {
  for (PendingArray& p : m_arrays) {
    if (auto st = m_model.restore_array(sheet, p.box, std::move(p.formula), p.dirty, p.source);
        !st.ok()) {
      return st;
    }
  }
  m_arrays.clear();
  return {};
}

Status Loader::keep(SheetId sheet, std::int32_t row, std::int32_t col, const FormulaXml& f,
                    Value cached, std::string format, const std::string& reason) {
  XlsxKeptFormula k;
  k.attributes = f.attributes;
  k.text = f.text;
  k.cached = cached;
  k.reason = reason;
  if (f.attribute("t") == "shared") {
    k.shared_index = std::string(f.attribute("si"));
    k.shared_master = !k.text.empty();
  }
  m_file.kept[{sheet, row, col}] = std::move(k);
  warn(sheet, row, col, "formula kept as written (" + reason + "); its value is not recalculated");
  return m_model.restore_cell(sheet, row, col, std::move(cached), nullptr, std::move(format),
                              false);
}

}  // namespace

Result<XlsxLoad> load_xlsx(Model& model, const std::string& path, const XlsxLoadOptions& options) {
  XlsxLoad out;
  out.file = std::make_shared<XlsxFile>();
  Loader loader(model, options, *out.file, out);
  Status st;
  try {
    st = loader.run(path);
  } catch (const std::bad_alloc&) {
    // The limits keep ordinary hostile files out; this is the last guard.
    st = Status::failed("not enough memory to load the file");
  }
  if (!st.ok()) {
    // The half-loaded book goes; the load's own failure is what the caller
    // needs to hear, so a failure to close it adds nothing.
    if (out.book != 0) (void)model.close_book(out.book);
    // Messages of the file system name the file already.
    return Status::failed(st.message().starts_with(path + ":") ? st.message()
                                                               : path + ": " + st.message());
  }
  return out;
}

std::string xlsx_kept_formula(const XlsxFile& file, SheetId sheet, std::int32_t row,
                              std::int32_t col) {
  const auto it = file.kept.find({sheet, row, col});
  if (it == file.kept.end() || it->second.text.empty()) return {};
  return "=" + it->second.text;
}

std::vector<std::pair<std::int32_t, std::int32_t>> xlsx_kept_formula_cells(const XlsxFile& file,
                                                                           SheetId sheet) {
  std::vector<std::pair<std::int32_t, std::int32_t>> cells;
  for (auto it = file.kept.lower_bound({sheet, 0, 0});
       it != file.kept.end() && std::get<0>(it->first) == sheet; ++it) {
    if (!it->second.text.empty())
      cells.emplace_back(std::get<1>(it->first), std::get<2>(it->first));
  }
  return cells;
}

}  // namespace quillo::spreadsheet
