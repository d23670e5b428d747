// Package-level helpers of the xlsx code: parsing and writing parts,
// relationships, number formats and styles, text escapes and the parts of a
// new package.
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <sstream>

#include "spreadsheet/address.h"
#include "xlsx/package.h"

namespace quillo::spreadsheet::xlsx {

namespace {

constexpr std::string_view kDeclaration =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n";

struct StringWriter final : pugi::xml_writer {
  std::string out;
  void write(const void* data, std::size_t size) override {
    out.append(static_cast<const char*>(data), size);
  }
};

std::uint32_t attr_u32(const pugi::xml_node& n, const char* name, std::uint32_t fallback = 0) {
  const pugi::xml_attribute a = n.attribute(name);
  if (!a) return fallback;
  const std::string_view s = a.value();
  std::uint32_t v = 0;
  const auto r = std::from_chars(s.data(), s.data() + s.size(), v);
  return r.ec == std::errc() ? v : fallback;
}

void set_count(pugi::xml_node list) {
  std::size_t n = 0;
  for (pugi::xml_node c = list.first_child(); c; c = c.next_sibling()) {
    if (c.type() == pugi::node_element) ++n;
  }
  pugi::xml_attribute a = list.attribute("count");
  if (!a) a = list.append_attribute("count");
  a.set_value(static_cast<unsigned long long>(n));
}

// The texts of the text children of n, concatenated (pugixml's child_value
// answers only the first piece).
std::string all_text(const pugi::xml_node& n) {
  std::string out;
  for (pugi::xml_node c = n.first_child(); c; c = c.next_sibling()) {
    if (c.type() == pugi::node_pcdata || c.type() == pugi::node_cdata) out += c.value();
  }
  return out;
}

}  // namespace

// ---- XML ----

Status parse_part(pugi::xml_document& doc, std::string_view part, std::string_view xml,
                  std::string_view root_local) {
  const pugi::xml_parse_result r =
      doc.load_buffer(xml.data(), xml.size(), pugi::parse_default | pugi::parse_ws_pcdata);
  if (!r) {
    return Status::failed("malformed XML in " + std::string(part) + ": " + r.description() +
                          " at offset " + std::to_string(r.offset));
  }
  // pugixml accepts several root elements; a well-formed part has one.
  int roots = 0;
  for (pugi::xml_node c = doc.first_child(); c; c = c.next_sibling()) {
    if (c.type() == pugi::node_element) ++roots;
  }
  if (roots != 1 || local_name(doc.document_element()) != root_local) {
    return Status::failed("malformed " + std::string(part) + ": expected one <" +
                          std::string(root_local) + "> element");
  }
  return {};
}

std::string serialize(const pugi::xml_document& doc) {
  StringWriter w;
  w.out = kDeclaration;
  doc.save(w, "", pugi::format_raw | pugi::format_no_declaration, pugi::encoding_utf8);
  return std::move(w.out);
}

std::string_view local_name(const pugi::xml_node& n) {
  const std::string_view name = n.name();
  const std::size_t colon = name.find(':');
  return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

pugi::xml_node child(const pugi::xml_node& parent, std::string_view local) {
  for (pugi::xml_node c = parent.first_child(); c; c = c.next_sibling()) {
    if (c.type() == pugi::node_element && local_name(c) == local) return c;
  }
  return {};
}

std::string prefix_of(const pugi::xml_node& n) {
  const std::string_view name = n.name();
  const std::size_t colon = name.find(':');
  return colon == std::string_view::npos ? std::string() : std::string(name.substr(0, colon + 1));
}

pugi::xml_attribute rel_attribute(const pugi::xml_node& n, std::string_view local) {
  // Find the prefix bound to the relationships namespace, nearest first.
  for (pugi::xml_node p = n; p; p = p.parent()) {
    for (pugi::xml_attribute a = p.first_attribute(); a; a = a.next_attribute()) {
      const std::string_view an = a.name();
      const std::string_view uri = a.value();
      if (an.substr(0, 6) != "xmlns:") continue;
      if (uri != kRelNs && uri != "http://purl.oclc.org/ooxml/officeDocument/relationships") {
        continue;
      }
      const std::string qualified = std::string(an.substr(6)) + ":" + std::string(local);
      if (pugi::xml_attribute found = n.attribute(qualified.c_str())) return found;
    }
  }
  return {};
}

// ---- relationships ----

std::string resolve_target(std::string_view source_part, std::string_view target) {
  std::string path;
  if (!target.empty() && target.front() == '/') {
    path = std::string(target.substr(1));
  } else {
    const std::size_t slash = source_part.rfind('/');
    path = (slash == std::string_view::npos ? std::string()
                                            : std::string(source_part.substr(0, slash + 1))) +
           std::string(target);
  }
  std::vector<std::string> parts;
  std::stringstream ss(path);
  for (std::string seg; std::getline(ss, seg, '/');) {
    if (seg.empty() || seg == ".") continue;
    if (seg == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(seg);
  }
  std::string out;
  for (const std::string& p : parts) out += (out.empty() ? "" : "/") + p;
  return out;
}

std::string rels_part(std::string_view part) {
  const std::size_t slash = part.rfind('/');
  if (slash == std::string_view::npos) return "_rels/" + std::string(part) + ".rels";
  return std::string(part.substr(0, slash + 1)) + "_rels/" + std::string(part.substr(slash + 1)) +
         ".rels";
}

std::vector<Relationship> read_relationships(const pugi::xml_document& rels,
                                             std::string_view source_part) {
  std::vector<Relationship> out;
  for (pugi::xml_node r = rels.document_element().first_child(); r; r = r.next_sibling()) {
    if (r.type() != pugi::node_element || local_name(r) != "Relationship") continue;
    Relationship rel;
    rel.id = r.attribute("Id").value();
    rel.type = r.attribute("Type").value();
    rel.target = r.attribute("Target").value();
    if (std::string_view(r.attribute("TargetMode").value()) != "External") {
      rel.part = resolve_target(source_part, r.attribute("Target").value());
    }
    out.push_back(std::move(rel));
  }
  return out;
}

bool rel_type_is(std::string_view type, std::string_view kind) {
  const std::size_t slash = kind.rfind('/');
  const std::string_view tail = kind.substr(slash + 1);
  return type.size() > tail.size() && type.substr(type.size() - tail.size()) == tail &&
         type[type.size() - tail.size() - 1] == '/';
}

// ---- number formats and styles ----

const char* builtin_format(std::uint32_t id) {
  switch (id) {
    case 0:
      return "";
    case 1:
      return "0";
    case 2:
      return "0.00";
    case 3:
      return "#,##0";
    case 4:
      return "#,##0.00";
    case 9:
      return "0%";
    case 10:
      return "0.00%";
    case 11:
      return "0.00E+00";
    case 12:
      return "# ?/?";
    case 13:
      return "# ?\?/?\?";
    case 14:  // the short date, as a spreadsheet in the fixed locale shows it
      return "m/d/yyyy";
    case 15:
      return "d-mmm-yy";
    case 16:
      return "d-mmm";
    case 17:
      return "mmm-yy";
    case 18:
      return "h:mm AM/PM";
    case 19:
      return "h:mm:ss AM/PM";
    case 20:
      return "h:mm";
    case 21:
      return "h:mm:ss";
    case 22:
      return "m/d/yyyy h:mm";
    case 37:
      return "#,##0 ;(#,##0)";
    case 38:
      return "#,##0 ;[Red](#,##0)";
    case 39:
      return "#,##0.00;(#,##0.00)";
    case 40:
      return "#,##0.00;[Red](#,##0.00)";
    case 45:
      return "mm:ss";
    case 46:
      return "[h]:mm:ss";
    case 47:
      return "mmss.0";
    case 48:
      return "##0.0E+0";
    case 49:
      return "@";
    default:
      return nullptr;
  }
}

bool is_date_format(std::string_view f) {
  for (std::size_t i = 0; i < f.size(); ++i) {
    const char c = f[i];
    if (c == ';') return false;  // only the first section decides
    if (c == '"') {
      const std::size_t end = f.find('"', i + 1);
      if (end == std::string_view::npos) return false;
      i = end;
    } else if (c == '\\' || c == '_' || c == '*') {
      ++i;  // the next character is literal (or a width)
    } else if (c == '[') {
      const std::size_t end = f.find(']', i + 1);
      if (end == std::string_view::npos) return false;
      const std::string_view inner = f.substr(i + 1, end - i - 1);
      // Elapsed time ([h], [mm], [ss]) is a time; colours and conditions are not.
      if (!inner.empty() && inner.find_first_not_of("hHmMsS") == std::string_view::npos) {
        return true;
      }
      i = end;
    } else if (std::string_view("dDmMyYhHsS").find(c) != std::string_view::npos) {
      return true;
    }
  }
  return false;
}

void StyleTable::load(pugi::xml_document* doc) {
  m_doc = doc;
  m_formats.clear();
  m_custom.clear();
  if (!doc) return;
  const pugi::xml_node root = doc->document_element();
  for (pugi::xml_node n = child(child(root, "numFmts"), "numFmt"); n; n = n.next_sibling()) {
    if (local_name(n) != "numFmt") continue;
    m_custom[attr_u32(n, "numFmtId")] = n.attribute("formatCode").value();
  }
  for (pugi::xml_node xf = child(child(root, "cellXfs"), "xf"); xf; xf = xf.next_sibling()) {
    if (xf.type() != pugi::node_element || local_name(xf) != "xf") continue;
    const std::uint32_t id = attr_u32(xf, "numFmtId");
    const auto custom = m_custom.find(id);
    std::string code = custom != m_custom.end() ? custom->second
                       : builtin_format(id)     ? builtin_format(id)
                                                : "";
    if (code == "General") code.clear();
    m_formats.push_back(std::move(code));
  }
}

const std::string& StyleTable::format(std::uint32_t xf) const {
  static const std::string general;
  return xf < m_formats.size() ? m_formats[xf] : general;
}

std::uint32_t StyleTable::with_format(std::uint32_t base, const std::string& fmt) {
  if (format(base) == fmt) return base;
  const auto done = m_added.find({base, fmt});
  if (done != m_added.end()) return done->second;
  if (!m_doc) return 0;
  pugi::xml_node root = m_doc->document_element();
  const std::string prefix = prefix_of(root);

  // The number format's id: a built-in one, a custom one already there, or a new one.
  std::optional<std::uint32_t> id;
  for (std::uint32_t i = 0; i < 50 && !id; ++i) {
    if (builtin_format(i) && fmt == builtin_format(i)) id = i;
  }
  for (const auto& [cid, code] : m_custom) {
    if (!id && code == fmt) id = cid;
  }
  if (!id) {
    id = std::max<std::uint32_t>(163, m_custom.empty() ? 0 : m_custom.rbegin()->first) + 1;
    pugi::xml_node list = child(root, "numFmts");
    if (!list) list = root.prepend_child((prefix + "numFmts").c_str());
    pugi::xml_node n = list.append_child((prefix + "numFmt").c_str());
    n.append_attribute("numFmtId").set_value(*id);
    // A code XML cannot carry is stored escaped, as cell texts are.
    n.append_attribute("formatCode").set_value((xml_safe(fmt) ? fmt : encode_escapes(fmt)).c_str());
    set_count(list);
    m_custom[*id] = fmt;
  }

  pugi::xml_node xfs = child(root, "cellXfs");
  if (!xfs) return 0;
  pugi::xml_node model_xf;
  std::uint32_t i = 0;
  for (pugi::xml_node xf = child(xfs, "xf"); xf; xf = xf.next_sibling()) {
    if (xf.type() != pugi::node_element) continue;
    if (i++ == base) model_xf = xf;
  }
  pugi::xml_node added =
      model_xf ? xfs.append_copy(model_xf) : xfs.append_child((prefix + "xf").c_str());
  for (const char* a : {"numFmtId", "applyNumberFormat"}) {
    if (!added.attribute(a)) added.append_attribute(a);
  }
  added.attribute("numFmtId").set_value(*id);
  added.attribute("applyNumberFormat").set_value("1");
  set_count(xfs);
  const auto index = static_cast<std::uint32_t>(m_formats.size());
  m_formats.push_back(fmt);
  m_added[{base, fmt}] = index;
  m_changed = true;
  return index;
}

// ---- cell texts ----

std::string string_item_text(const pugi::xml_node& item) {
  if (pugi::xml_node t = child(item, "t")) return decode_escapes(all_text(t));
  std::string out;
  for (pugi::xml_node r = item.first_child(); r; r = r.next_sibling()) {
    if (r.type() == pugi::node_element && local_name(r) == "r") out += all_text(child(r, "t"));
  }
  return decode_escapes(out);
}

std::optional<std::pair<std::int32_t, std::int32_t>> parse_cell_ref(std::string_view ref) {
  std::size_t i = 0;
  std::int32_t col = 0;
  while (i < ref.size() && i < 3 &&
         ((ref[i] >= 'A' && ref[i] <= 'Z') || (ref[i] >= 'a' && ref[i] <= 'z'))) {
    col = col * 26 + ((ref[i] | 0x20) - 'a' + 1);
    ++i;
  }
  if (i == 0 || i == ref.size() || ref.size() - i > 7) return std::nullopt;
  std::int32_t row = 0;
  const auto r = std::from_chars(ref.data() + i, ref.data() + ref.size(), row);
  if (r.ec != std::errc() || r.ptr != ref.data() + ref.size() || !valid_cell(row, col)) {
    return std::nullopt;
  }
  return std::make_pair(row, col);
}

// ---- a new package ----

std::string new_content_types() {
  return std::string(kDeclaration) +
         "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
         "<Default Extension=\"rels\" "
         "ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
         "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
         "<Override PartName=\"/xl/workbook.xml\" "
         "ContentType=\"application/"
         "vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml\"/>"
         "<Override PartName=\"/xl/styles.xml\" ContentType=\"" +
         std::string(kCtStyles) + "\"/></Types>";
}

std::string new_root_rels() {
  return std::string(kDeclaration) + "<Relationships xmlns=\"" + std::string(kPackageRelNs) +
         "\"><Relationship Id=\"rId1\" Type=\"" + std::string(kRelOfficeDocument) +
         "\" Target=\"xl/workbook.xml\"/></Relationships>";
}

std::string new_workbook() {
  return std::string(kDeclaration) + "<workbook xmlns=\"" + std::string(kMainNs) + "\" xmlns:r=\"" +
         std::string(kRelNs) +
         "\"><workbookPr/><bookViews><workbookView/></bookViews><sheets/></workbook>";
}

std::string new_workbook_rels() {
  return std::string(kDeclaration) + "<Relationships xmlns=\"" + std::string(kPackageRelNs) +
         "\"><Relationship Id=\"rId1\" Type=\"" + std::string(kRelStyles) +
         "\" Target=\"styles.xml\"/></Relationships>";
}

std::string new_styles() {
  return std::string(kDeclaration) + "<styleSheet xmlns=\"" + std::string(kMainNs) +
         "\"><fonts count=\"1\"><font><sz val=\"11\"/><name val=\"Calibri\"/>"
         "<family val=\"2\"/></font></fonts>"
         "<fills count=\"2\"><fill><patternFill patternType=\"none\"/></fill>"
         "<fill><patternFill patternType=\"gray125\"/></fill></fills>"
         "<borders count=\"1\"><border><left/><right/><top/><bottom/><diagonal/></border>"
         "</borders><cellStyleXfs count=\"1\"><xf numFmtId=\"0\" fontId=\"0\" fillId=\"0\" "
         "borderId=\"0\"/></cellStyleXfs><cellXfs count=\"1\"><xf numFmtId=\"0\" fontId=\"0\" "
         "fillId=\"0\" borderId=\"0\" xfId=\"0\"/></cellXfs><cellStyles count=\"1\">"
         "<cellStyle name=\"Normal\" xfId=\"0\" builtinId=\"0\"/></cellStyles></styleSheet>";
}

std::string new_worksheet() {
  return std::string(kDeclaration) + "<worksheet xmlns=\"" + std::string(kMainNs) +
         "\" xmlns:r=\"" + std::string(kRelNs) + "\"><sheetData/></worksheet>";
}

}  // namespace quillo::spreadsheet::xlsx
