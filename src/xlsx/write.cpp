// Saving a workbook of the model as an xlsx file (see xlsx.h): the package
// edit around the sheets - workbook.xml, its relationships, the content
// types, shared strings, styles, new and removed sheets, calcChain.
#include <algorithm>
#include <filesystem>

#include "spreadsheet/address.h"
#include "xlsx/package.h"
#include "xlsx/workbook_files.h"

namespace quillo::spreadsheet {

namespace {

using xlsx::child;
using xlsx::local_name;

constexpr std::string_view kRelCalcChain =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/calcChain";

// Elements of <workbook> that come after <calcPr>, in schema order.
bool after_calc_pr(std::string_view name) {
  static const std::string_view names[] = {"oleSize",        "customWorkbookViews", "pivotCaches",
                                           "smartTagPr",     "smartTagTypes",       "webPublishing",
                                           "fileRecoveryPr", "webPublishObjects",   "extLst"};
  return std::find(std::begin(names), std::end(names), name) != std::end(names);
}

// Removes the files that held written parts once the archive has them, or
// the save failed.
struct PartFiles {
  std::vector<std::string> paths;
  PartFiles() = default;
  PartFiles(const PartFiles&) = delete;
  PartFiles& operator=(const PartFiles&) = delete;
  ~PartFiles() {
    for (const std::string& p : paths) {
      std::error_code ignored;
      std::filesystem::remove(p, ignored);
    }
  }
};

class Saver {
 public:
  Saver(const Model& model, BookId book, XlsxFile* file, std::vector<std::string>* warnings)
      : m_model(model), m_book(book), m_file(file), m_warnings(warnings) {}

  Status run(const std::string& path);

 private:
  Status open_package();
  Result<std::string> read_part(const std::string& part);
  Status load_part(pugi::xml_document& doc, const std::string& part, std::string_view root,
                   const std::string& fallback);
  const xlsx::Relationship* find_rel(std::string_view kind) const;
  std::string add_rel(std::string_view type, const std::string& part);
  void remove_rel(const std::string& id);
  void add_override(const std::string& part, std::string_view content_type);
  void remove_override(const std::string& part);
  bool part_exists(const std::string& part) const;
  Status prepare_strings_and_styles();
  Status write_sheets();
  Status add_sheet_part(SheetId id, XlsxSheetPart& out);
  void remove_sheet(const XlsxSheetPart& p);
  void remove_sheet_element(pugi::xml_node el);
  void remove_duplicate_sheets();
  void order_sheets();
  pugi::xml_node sheet_element(const std::string& rel_id);
  void finish_workbook();
  void write_names();

  const Model& m_model;
  BookId m_book;
  XlsxFile* m_file;
  std::vector<std::string>* m_warnings;
  std::unique_ptr<xlsx::ZipReader> m_zip;
  std::string m_workbook_part = "xl/workbook.xml";
  xlsx::ZipEdit m_edit;
  pugi::xml_document m_types, m_workbook, m_rels_doc, m_styles_doc, m_strings_doc;
  std::vector<xlsx::Relationship> m_rels;
  xlsx::StyleTable m_styles;
  xlsx::SharedStrings m_strings;
  std::string m_styles_part, m_strings_part;
  bool m_write_styles = false;          // a new styles part, written even when unchanged
  std::vector<XlsxSheetPart> m_sheets;  // the saved file's sheets
  std::set<std::tuple<SheetId, std::int32_t, std::int32_t>> m_kept_written;
  // The temporary file of the save; written sheet parts go beside it.
  std::string m_temporary;
  PartFiles m_part_files;
};

Result<std::string> Saver::read_part(const std::string& part) {
  if (!m_zip) return Status::failed("the file has no part " + part);
  return m_zip->read(part);
}

bool Saver::part_exists(const std::string& part) const {
  if (m_edit.put.count(part) || m_edit.put_deflated.count(part)) return true;
  return m_zip && m_zip->has(part) && !m_edit.remove.count(part);
}

Status Saver::load_part(pugi::xml_document& doc, const std::string& part, std::string_view root,
                        const std::string& fallback) {
  std::string xml = fallback;
  if (m_zip) {
    auto r = read_part(part);
    if (!r.ok()) return r.status();
    xml = std::move(r).value();
  }
  return xlsx::parse_part(doc, part, xml, root);
}

Status Saver::open_package() {
  if (m_file && !m_file->unread_after_save.empty()) {
    return Status::failed("the package saved before could not be read back (" +
                          m_file->unread_after_save + "); open the file again before saving");
  }
  if (m_file && m_file->bytes) {
    auto zip = xlsx::ZipReader::open(m_file->bytes, m_file->limits);
    if (!zip.ok()) return zip.status();
    m_zip = std::move(zip).value();
    m_workbook_part = m_file->workbook_part;
  } else {
    m_edit.put["_rels/.rels"] = xlsx::new_root_rels();
  }
  if (auto st = load_part(m_types, "[Content_Types].xml", "Types", xlsx::new_content_types());
      !st.ok()) {
    return st;
  }
  if (auto st = load_part(m_workbook, m_workbook_part, "workbook", xlsx::new_workbook());
      !st.ok()) {
    return st;
  }
  if (auto st = load_part(m_rels_doc, xlsx::rels_part(m_workbook_part), "Relationships",
                          xlsx::new_workbook_rels());
      !st.ok()) {
    return st;
  }
  m_rels = xlsx::read_relationships(m_rels_doc, m_workbook_part);
  return {};
}

const xlsx::Relationship* Saver::find_rel(std::string_view kind) const {
  for (const xlsx::Relationship& r : m_rels) {
    if (!r.part.empty() && xlsx::rel_type_is(r.type, kind)) return &r;
  }
  return nullptr;
}

std::string Saver::add_rel(std::string_view type, const std::string& part) {
  std::string id;
  for (int n = 1;; ++n) {
    id = "rId" + std::to_string(n);
    if (std::none_of(m_rels.begin(), m_rels.end(),
                     [&](const xlsx::Relationship& r) { return r.id == id; })) {
      break;
    }
  }
  pugi::xml_node root = m_rels_doc.document_element();
  pugi::xml_node r = root.append_child((xlsx::prefix_of(root) + "Relationship").c_str());
  r.append_attribute("Id").set_value(id.c_str());
  r.append_attribute("Type").set_value(std::string(type).c_str());
  // Targets are written relative to the workbook's folder.
  const std::size_t slash = m_workbook_part.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : m_workbook_part.substr(0, slash + 1);
  const std::string target = part.rfind(folder, 0) == 0 ? part.substr(folder.size()) : "/" + part;
  r.append_attribute("Target").set_value(target.c_str());
  m_rels.push_back(xlsx::Relationship{id, std::string(type), part, target});
  return id;
}

void Saver::remove_rel(const std::string& id) {
  pugi::xml_node root = m_rels_doc.document_element();
  for (pugi::xml_node r = root.first_child(); r; r = r.next_sibling()) {
    if (r.type() == pugi::node_element && id == r.attribute("Id").value()) {
      root.remove_child(r);
      break;
    }
  }
  m_rels.erase(std::remove_if(m_rels.begin(), m_rels.end(),
                              [&](const xlsx::Relationship& r) { return r.id == id; }),
               m_rels.end());
}

void Saver::add_override(const std::string& part, std::string_view content_type) {
  remove_override(part);
  pugi::xml_node root = m_types.document_element();
  pugi::xml_node o = root.append_child((xlsx::prefix_of(root) + "Override").c_str());
  o.append_attribute("PartName").set_value(("/" + part).c_str());
  o.append_attribute("ContentType").set_value(std::string(content_type).c_str());
}

void Saver::remove_override(const std::string& part) {
  pugi::xml_node root = m_types.document_element();
  for (pugi::xml_node o = root.first_child(); o;) {
    const pugi::xml_node next = o.next_sibling();
    if (o.type() == pugi::node_element && local_name(o) == "Override" &&
        xlsx::resolve_target("", o.attribute("PartName").value()) == part) {
      root.remove_child(o);
    }
    o = next;
  }
}

Status Saver::prepare_strings_and_styles() {
  if (const xlsx::Relationship* r = find_rel(xlsx::kRelStyles)) {
    m_styles_part = r->part;
    if (auto st = load_part(m_styles_doc, r->part, "styleSheet", xlsx::new_styles()); !st.ok()) {
      return st;
    }
    m_write_styles = !m_zip;
  } else {
    m_styles_part = "xl/styles.xml";
    if (auto st = xlsx::parse_part(m_styles_doc, m_styles_part, xlsx::new_styles(), "styleSheet");
        !st.ok()) {
      return st;
    }
    add_rel(xlsx::kRelStyles, m_styles_part);
    add_override(m_styles_part, xlsx::kCtStyles);
    m_write_styles = true;
  }
  m_styles.load(&m_styles_doc);
  if (const xlsx::Relationship* r = find_rel(xlsx::kRelSharedStrings)) {
    m_strings_part = r->part;
    const std::string empty = "<sst xmlns=\"" + std::string(xlsx::kMainNs) + "\"/>";
    if (auto st = load_part(m_strings_doc, r->part, "sst", empty); !st.ok()) return st;
  } else {
    m_strings_part = "xl/sharedStrings.xml";
    const std::string empty = "<sst xmlns=\"" + std::string(xlsx::kMainNs) + "\"/>";
    if (auto st = xlsx::parse_part(m_strings_doc, m_strings_part, empty, "sst"); !st.ok()) {
      return st;
    }
    add_rel(xlsx::kRelSharedStrings, m_strings_part);
    add_override(m_strings_part, xlsx::kCtSharedStrings);
  }
  m_strings.load(&m_strings_doc);
  return {};
}

pugi::xml_node Saver::sheet_element(const std::string& rel_id) {
  const pugi::xml_node sheets = child(m_workbook.document_element(), "sheets");
  for (pugi::xml_node s = child(sheets, "sheet"); s; s = s.next_sibling()) {
    if (s.type() == pugi::node_element && rel_id == xlsx::rel_attribute(s, "id").value()) return s;
  }
  return {};
}

Status Saver::add_sheet_part(SheetId id, XlsxSheetPart& out) {
  const std::size_t slash = m_workbook_part.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : m_workbook_part.substr(0, slash + 1);
  for (int n = 1;; ++n) {
    out.part = folder + "worksheets/sheet" + std::to_string(n) + ".xml";
    if (!part_exists(out.part)) break;
  }
  out.sheet = id;
  out.rel_id = add_rel(xlsx::kRelWorksheet, out.part);
  add_override(out.part, xlsx::kCtWorksheet);

  pugi::xml_node root = m_workbook.document_element();
  pugi::xml_node sheets = child(root, "sheets");
  if (!sheets) return Status::failed("the workbook part has no <sheets>");
  std::uint32_t max_id = 0;
  for (pugi::xml_node s = child(sheets, "sheet"); s; s = s.next_sibling()) {
    max_id = std::max(max_id, s.attribute("sheetId").as_uint(0));
  }
  // The r: prefix is whatever the part bound to the relationships namespace.
  std::string r_prefix;
  for (pugi::xml_attribute a = root.first_attribute(); a; a = a.next_attribute()) {
    if (std::string_view(a.name()).substr(0, 6) == "xmlns:" && xlsx::kRelNs == a.value()) {
      r_prefix = std::string(a.name()).substr(6);
    }
  }
  if (r_prefix.empty()) {
    r_prefix = "r";
    for (int n = 1; root.attribute(("xmlns:" + r_prefix).c_str()); ++n) {
      r_prefix = "r" + std::to_string(n);
    }
    root.append_attribute(("xmlns:" + r_prefix).c_str())
        .set_value(std::string(xlsx::kRelNs).c_str());
  }
  pugi::xml_node s = sheets.append_child((xlsx::prefix_of(sheets) + "sheet").c_str());
  s.append_attribute("name");
  s.append_attribute("sheetId").set_value(max_id + 1);
  s.append_attribute((r_prefix + ":id").c_str()).set_value(out.rel_id.c_str());
  return {};
}

void Saver::remove_sheet(const XlsxSheetPart& p) {
  remove_sheet_element(sheet_element(p.rel_id));
  remove_rel(p.rel_id);
  remove_override(p.part);
  m_edit.remove.insert(p.part);
  m_edit.remove.insert(xlsx::rels_part(p.part));
}

void Saver::remove_duplicate_sheets() {
  if (!m_file) return;
  const pugi::xml_node sheets = child(m_workbook.document_element(), "sheets");
  // The sheet that keeps a part comes first in the file, so the last
  // element that matches is always a left-out one.
  for (auto d = m_file->duplicate_sheets.rbegin(); d != m_file->duplicate_sheets.rend(); ++d) {
    pugi::xml_node last;
    for (pugi::xml_node s = child(sheets, "sheet"); s; s = s.next_sibling()) {
      if (s.type() == pugi::node_element && d->first == s.attribute("name").value() &&
          d->second == xlsx::rel_attribute(s, "id").value()) {
        last = s;
      }
    }
    remove_sheet_element(last);
    const bool used = std::any_of(m_file->sheets.begin(), m_file->sheets.end(),
                                  [&](const XlsxSheetPart& p) { return p.rel_id == d->second; });
    if (!used) remove_rel(d->second);
  }
}

void Saver::remove_sheet_element(pugi::xml_node el) {
  pugi::xml_node root = m_workbook.document_element();
  if (el) {
    // Names local to sheets count sheets by position: the removed one's
    // names go, the later ones move down.
    std::uint32_t index = 0;
    for (pugi::xml_node s = el.previous_sibling(); s; s = s.previous_sibling()) {
      if (s.type() == pugi::node_element) ++index;
    }
    pugi::xml_node names = child(root, "definedNames");
    for (pugi::xml_node n = names.first_child(); n;) {
      const pugi::xml_node next = n.next_sibling();
      if (pugi::xml_attribute local = n.attribute("localSheetId")) {
        if (local.as_uint() == index) {
          names.remove_child(n);
        } else if (local.as_uint() > index) {
          local.set_value(local.as_uint() - 1);
        }
      }
      n = next;
    }
    el.parent().remove_child(el);
  }
}

Status Saver::write_sheets() {
  const Book* book = m_model.book(m_book);
  std::vector<XlsxSheetPart> known = m_file ? m_file->sheets : std::vector<XlsxSheetPart>{};
  static const std::map<std::tuple<SheetId, std::int32_t, std::int32_t>, XlsxKeptFormula> none;
  const xlsx::SheetWriteContext ctx{m_model,
                                    m_styles,
                                    m_strings,
                                    m_file && m_file->date1904,
                                    m_file ? &m_file->kept : &none,
                                    &m_kept_written,
                                    m_warnings,
                                    m_file};
  for (const SheetId id : book->sheets) {
    const auto at = std::find_if(known.begin(), known.end(),
                                 [id](const XlsxSheetPart& p) { return p.sheet == id; });
    XlsxSheetPart p;
    xlsx::PartSource read;
    if (at != known.end()) {
      p = *at;
      if (!m_zip) return Status::failed("the file has no part " + p.part);
      read = [this, &p](const std::function<Status(std::string_view)>& sink) {
        return m_zip->read_chunks(p.part, sink);
      };
    } else {
      if (auto st = add_sheet_part(id, p); !st.ok()) return st;
      read = [](const std::function<Status(std::string_view)>& sink) {
        return sink(xlsx::new_worksheet());
      };
    }
    // Each sheet part is deflated as it is written, on a second thread,
    // into an archive of its own beside the save's temporary file (named
    // after it, so one left by a crash is cleared with it); the package
    // copies it from there.
    // The file is made private first: libzip writes the archive with the
    // mode of the file it replaces, and would otherwise take the umask's,
    // letting others read the sheet while it is saved (or after a kill).
    const std::string spool = m_temporary + ".part" + std::to_string(m_part_files.paths.size());
    if (auto st = host::create_private_file(spool); !st.ok()) return st;
    m_part_files.paths.push_back(spool);
    xlsx::DeflatedPart deflated(spool);
    if (auto st = xlsx::rewrite_sheet(
            ctx, id, p.part, p.layout.get(), read,
            [&deflated](std::string piece) { return deflated.append(std::move(piece)); });
        !st.ok()) {
      return st;
    }
    if (auto st = deflated.finish(); !st.ok()) return st;
    m_edit.put.erase(p.part);
    m_edit.put_deflated[p.part] = spool;
    p.layout = nullptr;  // the saved part is another

    pugi::xml_node el = sheet_element(p.rel_id);
    if (!el) return Status::failed("the workbook part lost sheet " + m_model.sheet_name(id));
    const std::string name = m_model.sheet_name(id);
    if (!xlsx::xml_safe(name))
      return Status::failed("the sheet name " + name + " is not valid UTF-8");
    el.attribute("name").set_value(name.c_str());
    const host::Visibility v = m_model.sheet(id)->visibility;
    el.remove_attribute("state");
    if (v != host::Visibility::Visible) {
      el.append_attribute("state").set_value(v == host::Visibility::Hidden ? "hidden"
                                                                           : "veryHidden");
    }
    m_sheets.push_back(p);
  }
  for (const XlsxSheetPart& p : known) {
    if (std::find(book->sheets.begin(), book->sheets.end(), p.sheet) == book->sheets.end()) {
      remove_sheet(p);
    }
  }
  return {};
}

// The book's sheets in the book's order, in the places of the workbook
// part that its sheets hold (elements the model does not hold, such as
// chart sheets, stay where they are); names local to a sheet and the
// active tab, which count sheets by position, go with their sheets.
void Saver::order_sheets() {
  const pugi::xml_node root = m_workbook.document_element();
  pugi::xml_node sheets = child(root, "sheets");
  auto elements = [&sheets] {
    std::vector<pugi::xml_node> out;
    for (pugi::xml_node s = child(sheets, "sheet"); s; s = s.next_sibling()) {
      if (s.type() == pugi::node_element) out.push_back(s);
    }
    return out;
  };
  const std::vector<pugi::xml_node> before = elements();
  std::vector<pugi::xml_node> wanted;  // m_sheets is in the book's order
  for (const XlsxSheetPart& p : m_sheets) wanted.push_back(sheet_element(p.rel_id));
  std::vector<pugi::xml_node> slots;
  for (const pugi::xml_node& s : before) {
    if (std::find(wanted.begin(), wanted.end(), s) != wanted.end()) slots.push_back(s);
  }
  if (slots == wanted) return;
  std::vector<pugi::xml_node> marks;
  for (const pugi::xml_node& s : slots) {
    marks.push_back(sheets.insert_child_before(pugi::node_comment, s));
  }
  for (std::size_t i = 0; i < wanted.size() && i < marks.size(); ++i) {
    sheets.insert_move_before(wanted[i], marks[i]);
  }
  for (const pugi::xml_node& m : marks) sheets.remove_child(m);
  const std::vector<pugi::xml_node> after = elements();
  auto moved = [&](pugi::xml_attribute a) {
    const std::size_t was = a.as_uint(static_cast<unsigned>(before.size()));
    if (!a || was >= before.size()) return;
    const auto now = std::find(after.begin(), after.end(), before[was]);
    if (now != after.end()) a.set_value(static_cast<unsigned>(now - after.begin()));
  };
  for (pugi::xml_node n = child(root, "definedNames").first_child(); n; n = n.next_sibling()) {
    moved(n.attribute("localSheetId"));
  }
  moved(child(child(root, "bookViews"), "workbookView").attribute("activeTab"));
}

// The book's names, counting sheets as the saved workbook part lists them.
void Saver::write_names() {
  std::vector<SheetId> by_index;
  for (pugi::xml_node s = child(child(m_workbook.document_element(), "sheets"), "sheet"); s;
       s = s.next_sibling()) {
    if (s.type() != pugi::node_element) continue;
    const std::string_view rid = xlsx::rel_attribute(s, "id").value();
    const auto p = std::find_if(m_sheets.begin(), m_sheets.end(),
                                [&](const XlsxSheetPart& x) { return x.rel_id == rid; });
    by_index.push_back(p == m_sheets.end() ? 0 : p->sheet);
  }
  xlsx::write_defined_names(m_workbook.document_element(), m_model, m_book, m_file, by_index);
  if (m_file) {
    // What the saved file now holds, for the next save.
    m_file->names.clear();
    for (const DefinedName& d : m_model.book(m_book)->names) {
      m_file->names.push_back(XlsxName{d.name, d.scope, m_model.name_text(d)});
    }
  }
}

void Saver::finish_workbook() {
  pugi::xml_node root = m_workbook.document_element();
  // The application opening the file computes every formula again, and the
  // calculation chain, which lists the old formula cells, goes.
  pugi::xml_node calc = child(root, "calcPr");
  if (!calc) {
    pugi::xml_node before;
    for (pugi::xml_node n = root.first_child(); n && !before; n = n.next_sibling()) {
      if (n.type() == pugi::node_element && after_calc_pr(local_name(n))) before = n;
    }
    const std::string name = xlsx::prefix_of(root) + "calcPr";
    calc =
        before ? root.insert_child_before(name.c_str(), before) : root.append_child(name.c_str());
  }
  if (!calc.attribute("fullCalcOnLoad")) calc.append_attribute("fullCalcOnLoad");
  calc.attribute("fullCalcOnLoad").set_value("1");
  while (const xlsx::Relationship* r = find_rel(kRelCalcChain)) {
    const std::string part = r->part;
    m_edit.remove.insert(part);
    remove_override(part);
    remove_rel(r->id);
  }
  // The active tab must name a sheet that is still there, and one that is
  // shown (its sheet may have gone, and another moved to its place, such as
  // quillo's very hidden record sheet): else the first sheet shown.
  pugi::xml_node view = child(child(root, "bookViews"), "workbookView");
  std::vector<bool> shown;
  for (pugi::xml_node s = child(child(root, "sheets"), "sheet"); s; s = s.next_sibling()) {
    if (s.type() != pugi::node_element) continue;
    const std::string_view state = s.attribute("state").value();
    shown.push_back(state.empty() || state == "visible");
  }
  const std::size_t tab = view.attribute("activeTab").as_uint(0);
  if (tab >= shown.size()) view.remove_attribute("activeTab");
  if (tab < shown.size() && !shown[tab]) {
    const auto first = std::find(shown.begin(), shown.end(), true);
    if (first == shown.end() || first == shown.begin()) {
      view.remove_attribute("activeTab");
    } else {
      if (!view.attribute("activeTab")) view.append_attribute("activeTab");
      view.attribute("activeTab").set_value(static_cast<unsigned>(first - shown.begin()));
    }
  }
}

Status Saver::run(const std::string& path) {
  const Book* book = m_model.book(m_book);
  if (!book) return Status::object_required("the workbook is closed");
  if (book->sheets.empty()) return Status::failed("a workbook needs at least one sheet");
  std::shared_ptr<host::FileSystem> files =
      m_file && m_file->files ? m_file->files : host::make_platform_file_system();
  auto replacement = files->begin_replace(path);
  if (!replacement.ok()) return replacement.status();
  m_temporary = (*replacement)->temporary_path();
  if (auto st = open_package(); !st.ok()) return st;
  if (auto st = prepare_strings_and_styles(); !st.ok()) return st;
  remove_duplicate_sheets();
  if (auto st = write_sheets(); !st.ok()) return st;
  order_sheets();
  write_names();
  finish_workbook();
  m_strings.finish();
  m_edit.put[m_strings_part] = xlsx::serialize(m_strings_doc);
  if (m_styles.changed() || m_write_styles) {
    m_edit.put[m_styles_part] = xlsx::serialize(m_styles_doc);
  }
  m_edit.put[m_workbook_part] = xlsx::serialize(m_workbook);
  m_edit.put[xlsx::rels_part(m_workbook_part)] = xlsx::serialize(m_rels_doc);
  m_edit.put["[Content_Types].xml"] = xlsx::serialize(m_types);
  for (const auto& [part, data] : m_edit.put) m_edit.remove.erase(part);
  for (const auto& [part, spool] : m_edit.put_deflated) m_edit.remove.erase(part);

  const std::string* base = m_file && m_file->bytes ? m_file->bytes.get() : nullptr;
  if (auto st = xlsx::write_zip(base, m_edit, m_temporary); !st.ok()) return st;
  // The file describes what this save writes, for the next save: the new
  // package is read back, and its size and time taken, before it is put in
  // place. Another program may replace the file the moment it is there; its
  // package must not become the base of the next save, nor its version pass
  // for this one's. The package this save started from and the parts it
  // built are let go first: held beside the new bytes they would raise the
  // save's peak memory.
  std::shared_ptr<const std::string> written;
  std::optional<WrittenVersion> version;
  if (m_file) {
    m_zip.reset();
    m_edit = {};
    m_file->bytes.reset();
    auto bytes = files->read_file(
        m_temporary,
        std::max<std::uint64_t>(m_file->limits.max_file_bytes, std::uint64_t{1} << 34));
    if (!bytes.ok()) {
      // Nothing is put in place. Without a package a later save would drop
      // every part quillo does not model (charts, pictures, ...): it is
      // refused instead.
      m_file->unread_after_save = bytes.status().message();
      return bytes.status();
    }
    written = std::make_shared<const std::string>(std::move(bytes).value());
    version = version_of(m_temporary);
  }
  // Another program's save that landed while this one was written is not
  // replaced: the host takes it in and saves again.
  const Status committed =
      m_file && m_file->still_in_place && !m_file->still_in_place()
          ? Status::failed(
                "the file changed on disk while it was being saved; nothing was written "
                "over it")
          : replacement.value()->commit();
  if (m_file) {
    if (committed.ok()) {
      const std::optional<WrittenVersion> now = version_of(path);
      if (version && now && now->device == version->device && now->inode == version->inode &&
          now->size == version->size && now->written == version->written) {
        // The file this save renamed into place, as it left it (so it is
        // not read again): putting it there, with the old file's owner and
        // permissions, changed its status change time, which is the save's
        // from now on. Anything that touches the file itself afterwards (a
        // chmod, a new link) passes for another program's change, whose
        // take-in then finds nothing changed.
        version->changed_ns = now->changed_ns;
      } else if (version && now && now->size == written->size()) {
        // A file with other links to it is written over in place, which
        // gives it a time of its own: then it is this save's when it holds
        // its bytes.
        auto there = files->read_file(path, written->size());
        if (there.ok() && *there == *written) version = now;
      }
      m_file->written = version;
    }
    // The next save starts from the package just written, whether or not it
    // could be put in place: it holds every part of the one before.
    m_file->files = std::move(files);
    m_file->duplicate_sheets.clear();
    m_file->bytes = std::move(written);
    m_file->workbook_part = m_workbook_part;
    m_file->sheets = m_sheets;
    for (auto it = m_file->kept.begin(); it != m_file->kept.end();) {
      it = m_kept_written.count(it->first) ? std::next(it) : m_file->kept.erase(it);
    }
  }
  return committed;
}

}  // namespace

Status save_xlsx(const Model& model, BookId book, XlsxFile* file, const std::string& path,
                 std::vector<std::string>* warnings) {
  Saver saver(model, book, file, warnings);
  Status st = saver.run(path);
  // Messages of the file system name the file already.
  if (!st.ok() && !st.message().starts_with(path + ":")) {
    return Status(st.code(), path + ": " + st.message());
  }
  if (!st.ok()) return st;
  return {};
}

}  // namespace quillo::spreadsheet
