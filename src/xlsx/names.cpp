// Defined names and tables of xlsx files (see package.h).
//
// Names come from the workbook part's <definedName> elements, tables from
// the table parts each sheet's relationships name. A save writes the
// workbook's names back: a name unchanged since the load keeps its element
// as the file wrote it, a changed one gets its new text, a new one a new
// element, and one the model no longer has loses its element. Names the
// model never took (they did not parse as names) stay as they were. Table
// parts are never rewritten.
#include <algorithm>

#include "common/text.h"
#include "xlsx/package.h"

namespace quillo::spreadsheet::xlsx {

namespace {

constexpr std::size_t kMaxTableColumns = 16384;

// The scope a name element names: the sheet at localSheetId, 0 for the
// workbook; nullopt when it is a sheet the model does not hold.
std::optional<SheetId> element_scope(const pugi::xml_node& n,
                                     const std::vector<SheetId>& by_index) {
  const pugi::xml_attribute local = n.attribute("localSheetId");
  if (!local) return SheetId{0};
  const std::size_t i = local.as_uint(static_cast<unsigned>(by_index.size()));
  if (i >= by_index.size() || by_index[i] == 0) return std::nullopt;
  return by_index[i];
}

}  // namespace

void read_defined_names(const pugi::xml_node& root, Model& model, BookId book,
                        const std::vector<SheetId>& by_index, XlsxFile& file,
                        std::vector<std::string>& warnings) {
  const pugi::xml_node names = child(root, "definedNames");
  for (pugi::xml_node n = names.first_child(); n; n = n.next_sibling()) {
    if (n.type() != pugi::node_element || local_name(n) != "definedName") continue;
    const std::string name = n.attribute("name").value();
    const auto scope = element_scope(n, by_index);
    if (!scope || !model.book(book)) continue;  // a name of a chart sheet: it stays in the file
    std::string body;
    for (pugi::xml_node c = n.first_child(); c; c = c.next_sibling()) {
      if (c.type() == pugi::node_pcdata || c.type() == pugi::node_cdata) body += c.value();
    }
    const bool hidden = std::string_view(n.attribute("hidden").value()) == "1" ||
                        std::string_view(n.attribute("hidden").value()) == "true";
    const auto& defined = model.book(book)->names;
    auto same = [&](const DefinedName& d) {
      return d.scope == *scope && text::iequals(d.name, name);
    };
    if (std::any_of(defined.begin(), defined.end(), same)) {
      warnings.push_back("the name " + name + " is defined twice; the first is used");
      continue;
    }
    const Status st = model.define_name(book, *scope, name, body, hidden, false);
    if (!st.ok()) {
      warnings.push_back("the name " + name + " is kept as written (" + st.message() + ")");
      continue;
    }
    const auto d = std::find_if(defined.begin(), defined.end(), same);
    if (d == defined.end()) continue;
    if (!d->formula) {
      warnings.push_back("the name " + name + " is kept as written; quillo cannot read " + body);
    }
    file.names.push_back(XlsxName{d->name, *scope, model.name_text(*d)});
  }
}

void read_tables(ZipReader& zip, Model& model, BookId book, SheetId sheet,
                 const std::string& sheet_part, std::vector<std::string>& warnings) {
  const std::string rels_name = rels_part(sheet_part);
  if (!zip.has(rels_name)) return;
  auto rels_xml = zip.read(rels_name);
  pugi::xml_document rels;
  if (!rels_xml.ok() || !parse_part(rels, rels_name, *rels_xml, "Relationships").ok()) return;
  for (const Relationship& r : read_relationships(rels, sheet_part)) {
    if (!rel_type_is(r.type, "table") || r.part.empty() || !zip.has(r.part)) continue;
    auto xml = zip.read(r.part);
    pugi::xml_document doc;
    if (!xml.ok() || !parse_part(doc, r.part, *xml, "table").ok()) {
      warnings.push_back("the table part " + r.part + " cannot be read; it stays in the file");
      continue;
    }
    const pugi::xml_node t = doc.document_element();
    TableInfo info;
    info.name = t.attribute("displayName").value();
    if (info.name.empty()) info.name = t.attribute("name").value();
    info.sheet = sheet;
    const auto box = parse_box_a1(t.attribute("ref").value());
    info.header_rows = t.attribute("headerRowCount").as_int(1);
    info.totals_rows = t.attribute("totalsRowCount").as_int(0);
    if (t.attribute("totalsRowShown") && !t.attribute("totalsRowCount")) info.totals_rows = 0;
    const pugi::xml_node cols = child(t, "tableColumns");
    for (pugi::xml_node c = cols.first_child(); c && info.columns.size() < kMaxTableColumns;
         c = c.next_sibling()) {
      if (c.type() == pugi::node_element && local_name(c) == "tableColumn") {
        info.columns.push_back(decode_escapes(c.attribute("name").value()));
      }
    }
    Status st = box ? Status()
                    : Status::failed("its cells \"" + std::string(t.attribute("ref").value()) +
                                     "\" are no range");
    if (box) {
      info.r1 = box->r1;
      info.c1 = box->c1;
      info.r2 = box->r2;
      info.c2 = box->c2;
      st = model.add_table(book, std::move(info));
    }
    if (!st.ok()) {
      warnings.push_back("the table in " + r.part + " is not used (" + st.message() +
                         "); formulas naming it keep their values");
    }
  }
}

void write_defined_names(pugi::xml_node root, const Model& model, BookId book, XlsxFile* file,
                         const std::vector<SheetId>& by_index) {
  const Book* b = model.book(book);
  if (!b) return;
  static const std::vector<XlsxName> none;
  const std::vector<XlsxName>& loaded = file ? file->names : none;
  auto loaded_name = [&](SheetId scope, std::string_view name) -> const XlsxName* {
    for (const XlsxName& x : loaded) {
      if (x.scope == scope && text::iequals(x.name, name)) return &x;
    }
    return nullptr;
  };
  auto model_name = [&](SheetId scope, std::string_view name) -> const DefinedName* {
    for (const DefinedName& d : b->names) {
      if (d.scope == scope && text::iequals(d.name, name)) return &d;
    }
    return nullptr;
  };
  pugi::xml_node names = child(root, "definedNames");
  std::vector<const DefinedName*> written;
  for (pugi::xml_node n = names.first_child(); n;) {
    const pugi::xml_node next = n.next_sibling();
    const auto scope = element_scope(n, by_index);
    const std::string name = n.attribute("name").value();
    if (n.type() == pugi::node_element && scope && loaded_name(*scope, name)) {
      const DefinedName* d = model_name(*scope, name);
      if (!d) {
        names.remove_child(n);
      } else {
        written.push_back(d);
        const std::string now = model.name_text(*d);
        if (now != loaded_name(*scope, name)->model_text) n.text().set(now.c_str());
      }
    }
    n = next;
  }
  for (const DefinedName& d : b->names) {
    if (std::find(written.begin(), written.end(), &d) != written.end()) continue;
    if (loaded_name(d.scope, d.name)) continue;  // its element was a chart sheet's
    if (!names) {
      pugi::xml_node before;
      for (pugi::xml_node n = root.first_child(); n && !before; n = n.next_sibling()) {
        const std::string_view l = local_name(n);
        if (n.type() == pugi::node_element &&
            (l == "calcPr" || l == "oleSize" || l == "customWorkbookViews" || l == "pivotCaches" ||
             l == "smartTagPr" || l == "smartTagTypes" || l == "webPublishing" ||
             l == "fileRecoveryPr" || l == "webPublishObjects" || l == "extLst")) {
          before = n;
        }
      }
      const std::string el = prefix_of(root) + "definedNames";
      names = before ? root.insert_child_before(el.c_str(), before) : root.append_child(el.c_str());
    }
    pugi::xml_node n = names.append_child((prefix_of(root) + "definedName").c_str());
    n.append_attribute("name").set_value(d.name.c_str());
    if (d.scope != 0) {
      const auto at = std::find(by_index.begin(), by_index.end(), d.scope);
      if (at == by_index.end()) {
        names.remove_child(n);
        continue;
      }
      n.append_attribute("localSheetId").set_value(static_cast<unsigned>(at - by_index.begin()));
    }
    if (d.hidden) n.append_attribute("hidden").set_value("1");
    n.text().set(model.name_text(d).c_str());
  }
  if (names && !names.first_child()) root.remove_child(names);
}

}  // namespace quillo::spreadsheet::xlsx
