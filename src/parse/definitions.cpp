#include "parse/definitions.h"

#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <unordered_set>

#include <pugixml.hpp>

#include "common/text.h"
#include "parse/cls_parsetable.h"
#include "parse/value_convert.h"

namespace quillo {

namespace {

using text::iequals;

// ---- well-formedness checks pugixml leaves out ------------------------------

struct LoadFault {
  std::size_t offset = 0;  // byte offset in the text
  std::string reason;
};

// pugixml accepts some documents a conforming parser refuses: text after
// the root element, two root elements, a "<" inside an attribute value, an
// undefined entity or a character reference to no character (both kept as
// literal text). Definitions with such faults would be read with silently
// wrong texts, so the loader refuses them. The scan walks the raw text once,
// skipping comments, CDATA sections, processing instructions and the
// document type declaration.
class WellFormedScan {
 public:
  explicit WellFormedScan(std::string_view xml) : m_xml(xml) {}

  // Where the text is not well-formed, and why; nullopt when it is.
  std::optional<LoadFault> run() {
    std::size_t i = m_xml.starts_with("\xEF\xBB\xBF") ? 3 : 0;  // byte order mark
    int depth = 0;
    int roots = 0;
    while (i < m_xml.size()) {
      const char c = m_xml[i];
      if (c == '<') {
        if (starts(i, "<!--")) {
          i = skip_past(i, "-->");
        } else if (starts(i, "<![CDATA[")) {
          i = skip_past(i, "]]>");
        } else if (starts(i, "<?")) {
          i = skip_past(i, "?>");
        } else if (starts(i, "<!")) {
          i = skip_doctype(i);
        } else if (starts(i, "</")) {
          --depth;
          i = skip_past(i, ">");
        } else {
          if (depth == 0 && ++roots > 1) return at(i, "Only one top level element is allowed");
          bool self_closing = false;
          auto err = scan_tag(i, self_closing);
          if (err) return err;
          if (!self_closing) ++depth;
        }
        continue;
      }
      if (c == '&') {
        auto err = check_reference(i);
        if (err) return err;
      } else if (depth == 0 && c != ' ' && c != '\t' && c != '\r' && c != '\n') {
        return at(i, "Text is not allowed outside the top level element");
      }
      ++i;
    }
    return std::nullopt;
  }

 private:
  bool starts(std::size_t i, std::string_view s) const { return m_xml.substr(i, s.size()) == s; }

  std::size_t skip_past(std::size_t i, std::string_view end) const {
    const std::size_t p = m_xml.find(end, i);
    return p == std::string_view::npos ? m_xml.size() : p + end.size();
  }

  std::size_t skip_doctype(std::size_t i) const {
    int brackets = 0;
    for (; i < m_xml.size(); ++i) {
      if (m_xml[i] == '[') ++brackets;
      if (m_xml[i] == ']') --brackets;
      if (m_xml[i] == '>' && brackets <= 0) return i + 1;
    }
    return i;
  }

  // Scans an opening tag from its "<" to its ">", checking quoted values.
  std::optional<LoadFault> scan_tag(std::size_t& i, bool& self_closing) {
    char quote = 0;
    for (++i; i < m_xml.size(); ++i) {
      const char c = m_xml[i];
      if (quote) {
        if (c == quote)
          quote = 0;
        else if (c == '<')
          return at(i, "A '<' character is not allowed in an attribute value");
        else if (c == '&') {
          auto err = check_reference(i);
          if (err) return err;
        }
      } else if (c == '"' || c == '\'') {
        quote = c;
      } else if (c == '>') {
        self_closing = m_xml[i - 1] == '/';
        ++i;
        return std::nullopt;
      }
    }
    return std::nullopt;  // an unclosed tag is pugixml's to report
  }

  std::optional<LoadFault> check_reference(std::size_t i) const {
    const std::size_t semi = m_xml.find(';', i);
    if (semi == std::string_view::npos || semi - i > 16) {
      return at(i, "A '&' must start an entity or character reference");
    }
    const std::string_view name = m_xml.substr(i + 1, semi - i - 1);
    static constexpr std::string_view kNamed[] = {"lt", "gt", "amp", "apos", "quot"};
    for (std::string_view n : kNamed) {
      if (name == n) return std::nullopt;
    }
    if (name.size() >= 2 && name[0] == '#') {
      const bool hex = name[1] == 'x';
      const std::string_view digits = name.substr(hex ? 2 : 1);
      unsigned long code = 0;
      bool ok = !digits.empty() && digits.size() <= 8;
      for (char d : digits) {
        const int v = (d >= '0' && d <= '9')          ? d - '0'
                      : hex && (d >= 'a' && d <= 'f') ? d - 'a' + 10
                      : hex && (d >= 'A' && d <= 'F') ? d - 'A' + 10
                                                      : -1;
        if (v < 0) ok = false;
        code = code * (hex ? 16 : 10) + static_cast<unsigned long>(v < 0 ? 0 : v);
      }
      const bool is_char = code == 0x9 || code == 0xA || code == 0xD ||
                           (code >= 0x20 && code <= 0xD7FF) || (code >= 0xE000 && code <= 0xFFFD) ||
                           (code >= 0x10000 && code <= 0x10FFFF);
      if (ok && is_char) return std::nullopt;
      return at(i, "Invalid character reference '&" + std::string(name) + ";'");
    }
    return at(i, "Reference to undefined entity '" + std::string(name) + "'");
  }

  LoadFault at(std::size_t offset, std::string reason) const { return {offset, std::move(reason)}; }

  std::string_view m_xml;
};

// windows-1252 is a common declaration in hand-written files that pugixml
// does not know; such a file is turned into UTF-8 before parsing.
std::optional<std::string> from_windows1252_if_declared(std::string_view xml) {
  const std::string_view head = xml.substr(0, std::min<std::size_t>(xml.size(), 200));
  if (!(head.starts_with("<?xml") &&
        (text::find_ci(head, "windows-1252") || text::find_ci(head, "cp1252")))) {
    return std::nullopt;
  }
  static constexpr char16_t k80[32] = {
      0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};
  std::string out;
  out.reserve(xml.size() + xml.size() / 8);
  for (char ch : xml) {
    const auto b = static_cast<unsigned char>(ch);
    const unsigned cp = b < 0x80 ? b : b < 0xA0 ? k80[b - 0x80] : b;
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

// ---- reading the DOM into records -----------------------------------------

// The element's text: every text and CDATA piece below it, in order.
std::string element_text(const pugi::xml_node& node) {
  std::string out;
  for (pugi::xml_node n = node.first_child(); n;) {
    if (n.type() == pugi::node_pcdata || n.type() == pugi::node_cdata) out += n.value();
    if (n.first_child()) {
      n = n.first_child();
      continue;
    }
    while (n && n != node && !n.next_sibling()) n = n.parent();
    if (!n || n == node) break;
    n = n.next_sibling();
  }
  return out;
}

// Elements named `name` among the descendants of `parent`, in document order.
std::vector<pugi::xml_node> descendants(const pugi::xml_node& parent, const char* name,
                                        bool first_only = false) {
  std::vector<pugi::xml_node> out;
  for (pugi::xml_node n = parent.first_child(); n;) {
    if (n.type() == pugi::node_element && (name[0] == '*' || std::strcmp(n.name(), name) == 0)) {
      out.push_back(n);
      if (first_only) break;
    }
    if (n.first_child()) {
      n = n.first_child();
      continue;
    }
    while (n && n != parent && !n.next_sibling()) n = n.parent();
    if (!n || n == parent) break;
    n = n.next_sibling();
  }
  return out;
}

pugi::xml_node first_descendant(const pugi::xml_node& parent, const char* name) {
  const std::vector<pugi::xml_node> found = descendants(parent, name, true);
  return found.empty() ? pugi::xml_node() : found.front();
}

std::optional<std::string> first_text(const pugi::xml_node& parent, const char* name) {
  const pugi::xml_node n = first_descendant(parent, name);
  if (!n) return std::nullopt;
  return element_text(n);
}

std::string attr(const pugi::xml_node& n, const char* name) {
  return n.attribute(name).value();
}

// The separators of a source or field: its own attributes where it has
// them, else what it inherits. A decimal comma without a group separator
// named implies "." as the group separator, and the other way round.
FigureFormat figure_format(const pugi::xml_node& n, const FigureFormat& inherited) {
  const pugi::xml_attribute decimal = n.attribute("decimal");
  const pugi::xml_attribute group = n.attribute("group");
  if (!decimal && !group) return inherited;
  FigureFormat f = inherited;
  if (decimal) {
    f.decimal = decimal.value();
    if (!group) f.group = f.decimal == "," ? "." : ",";
  }
  if (group) {
    f.group = group.value();
    if (!decimal) f.decimal = f.group == "." ? "," : ".";
  }
  return f;
}

FieldDef read_field(const pugi::xml_node& n, const FigureFormat& source_format) {
  FieldDef f;
  f.figures = figure_format(n, source_format);
  struct Binding {
    const char* name;
    std::string FieldDef::*member;
  };
  static constexpr Binding kAttributes[] = {
      {"id", &FieldDef::id},
      {"name", &FieldDef::name},
      {"type", &FieldDef::type},
      {"tablenumber", &FieldDef::tablenumber},
      {"tablestarttag", &FieldDef::tablestarttag},
      {"tableendtag", &FieldDef::tableendtag},
      {"coltype", &FieldDef::coltype},
      {"colvalue", &FieldDef::colvalue},
      {"coloffset", &FieldDef::coloffset},
      {"rowoffset", &FieldDef::rowoffset},
      {"headercolumn", &FieldDef::headercolumn},
      {"rowtype", &FieldDef::rowtype},
      {"rowvalue", &FieldDef::rowvalue},
      {"scaleable", &FieldDef::scaleable},
      {"parseasvalue", &FieldDef::parseasvalue},
      {"function", &FieldDef::function},
      {"fparam11", &FieldDef::fparam11},
      {"fparam12", &FieldDef::fparam12},
      {"function1", &FieldDef::function1},
      {"fparam21", &FieldDef::fparam21},
      {"fparam22", &FieldDef::fparam22},
      {"figureconvert", &FieldDef::figureconvert},
      {"pointer", &FieldDef::pointer},
      {"member", &FieldDef::member},
      {"column", &FieldDef::column},
      {"keycolumn", &FieldDef::keycolumn},
      {"key", &FieldDef::key},
  };
  for (const Binding& b : kAttributes) f.*(b.member) = attr(n, b.name);
  f.ref1 = first_text(n, "ref1");
  f.ref2 = first_text(n, "ref2");
  f.ref3 = first_text(n, "ref3");
  f.plan = plan_field(f);
  return f;
}

Category read_category(const pugi::xml_node& n, const FigureFormat& source_format) {
  Category c;
  c.code = attr(n, "code");
  c.name = attr(n, "name");
  c.url = first_text(n, "url");
  c.updatefrq = first_text(n, "updatefrq");
  c.invalidrequest = first_text(n, "invalidrequest");
  c.answer = attr(n, "answer");
  c.separator = attr(n, "separator");
  for (const pugi::xml_node& p : descendants(n, "parameter")) {
    Parameter param{attr(p, "name"), attr(p, "urlkey"), attr(p, "defaultvalue"), {}};
    for (const pugi::xml_node& e : descendants(p, "enumvalue")) {
      param.enumvalues.push_back({attr(e, "displayname"), attr(e, "value")});
    }
    param.secret = attr(p, "secret") == "1";
    c.parameters.push_back(std::move(param));
  }
  for (const pugi::xml_node& f : descendants(n, "field"))
    c.fields.push_back(read_field(f, source_format));
  c.page_plan = plan_page(c.fields);
  return c;
}

DataSource read_source(const pugi::xml_node& n) {
  DataSource s;
  s.code = attr(n, "code");
  s.name = attr(n, "name");
  s.max_requests_allowed = first_text(n, "max_requests_allowed");
  if (const pugi::xml_node q = first_descendant(n, "search")) {
    s.search = SearchDef{attr(q, "url"),        attr(q, "noresults"),    attr(q, "tablenumber"),
                         attr(q, "namecolumn"), attr(q, "symbolcolumn"), attr(q, "exchangecolumn")};
  }
  s.figures = figure_format(n, FigureFormat{});
  for (const pugi::xml_node& c : descendants(n, "category"))
    s.categories.push_back(read_category(c, s.figures));
  return s;
}

std::optional<LoadFault> duplicate_attribute(const pugi::xml_node& root) {
  std::vector<pugi::xml_node> elements = descendants(root, "*");
  elements.push_back(root);
  for (const pugi::xml_node& n : elements) {
    std::set<std::string_view> seen;
    for (pugi::xml_attribute a : n.attributes()) {
      if (!seen.insert(a.name()).second) {
        const std::ptrdiff_t at = n.offset_debug();
        return LoadFault{static_cast<std::size_t>(std::max<std::ptrdiff_t>(at - 1, 0)),
                         "Duplicate attribute '" + std::string(a.name()) + "'"};
      }
    }
  }
  return std::nullopt;
}

// Numbers in element texts may stand on lines of their own.
std::string_view trim_space(std::string_view s) {
  const std::size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string_view::npos) return {};
  return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}
}  // namespace

TextPosition text_position(std::string_view text, std::size_t offset) {
  TextPosition at;
  for (std::size_t k = 0; k < offset && k < text.size(); ++k) {
    if (text[k] == '\n') {
      ++at.line;
      at.column = 1;
    } else if ((static_cast<unsigned char>(text[k]) & 0xC0) != 0x80) {
      ++at.column;  // columns count characters, not the bytes of one
    }
  }
  return at;
}

std::string element_at(std::string_view xml, std::size_t offset) {
  // The innermost element whose start tag begins at or before the offset
  // and has not been closed before it.
  std::vector<std::string_view> open;
  std::size_t i = 0;
  offset = std::min(offset, xml.size());
  while (i < offset) {
    const std::size_t lt = xml.find('<', i);
    if (lt == std::string_view::npos || lt >= offset) break;
    if (xml.substr(lt, 4) == "<!--") {
      i = xml.find("-->", lt);
      i = i == std::string_view::npos ? xml.size() : i + 3;
      continue;
    }
    if (xml.substr(lt, 2) == "<?" || xml.substr(lt, 2) == "<!") {
      i = lt + 2;
      continue;
    }
    const bool closing = xml.substr(lt, 2) == "</";
    std::size_t e = lt + (closing ? 2 : 1);
    while (e < xml.size() && xml[e] != '>' && xml[e] != '/' && xml[e] != ' ' && xml[e] != '\t' &&
           xml[e] != '\n' && xml[e] != '\r') {
      ++e;
    }
    const std::string_view name = xml.substr(lt + (closing ? 2 : 1), e - lt - (closing ? 2 : 1));
    const std::size_t gt = xml.find('>', lt);
    const bool self_closing = gt != std::string_view::npos && gt > 0 && xml[gt - 1] == '/';
    if (closing) {
      // A closing tag that holds the offset (the one in error) closes nothing yet.
      if (!open.empty() && gt != std::string_view::npos && gt < offset) open.pop_back();
    } else if (!self_closing || gt >= offset) {
      open.push_back(name);
    }
    i = gt == std::string_view::npos ? xml.size() : gt + 1;
  }
  return open.empty() ? std::string() : std::string(open.back());
}

std::optional<std::int16_t> Category::updatefrq_value() const {
  if (!updatefrq) return std::nullopt;
  const auto v = text::to_int32(trim_space(*updatefrq));
  if (!v || *v < INT16_MIN || *v > INT16_MAX) return std::nullopt;
  return static_cast<std::int16_t>(*v);
}

std::optional<std::int32_t> DataSource::max_requests_value() const {
  if (!max_requests_allowed) return std::nullopt;
  return text::to_int32(trim_space(*max_requests_allowed));
}

std::int32_t DataSource::max_requests_or_default() const {
  const auto v = max_requests_value();
  return v && *v >= 1 ? *v : 1;
}

bool Definitions::fail(std::string reason) {
  m_loaded = false;
  ++m_generation;
  m_version.clear();
  m_sources.clear();
  m_error = std::string(kLoadErrorText) + reason;
  return false;
}

bool Definitions::fail_at(std::string_view xml, std::size_t offset, std::string_view name,
                          const std::string& reason) {
  const TextPosition at = text_position(xml, offset);
  std::string message = ": " + std::string(name) + ":" + std::to_string(at.line) + ":" +
                        std::to_string(at.column) + ": " + reason;
  const std::string element = element_at(xml, offset);
  if (!element.empty()) message += " (in element <" + element + ">)";
  return fail(std::move(message));
}

bool Definitions::definitions_loadfile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return fail(": File was not found: " + path);
  std::ostringstream buf;
  buf << in.rdbuf();
  if (in.bad()) return fail(": File could not be read: " + path);
  return load_text(buf.str(), path);
}

bool Definitions::load_text(std::string_view xml_in, std::string_view name) {
  const std::optional<std::string> converted = from_windows1252_if_declared(xml_in);
  const std::string_view xml = converted ? std::string_view(*converted) : xml_in;
  pugi::xml_document doc;
  // Every text piece made of blanks is kept: a marker such as " " beside a
  // comment or CDATA section is a text of its own, and must not be lost.
  const unsigned options = pugi::parse_default | pugi::parse_ws_pcdata;
  const pugi::xml_parse_result r = doc.load_buffer(
      xml.data(), xml.size(), options, converted ? pugi::encoding_utf8 : pugi::encoding_auto);
  if (!r) {
    return fail_at(xml, static_cast<std::size_t>(std::max<std::ptrdiff_t>(r.offset, 0)), name,
                   r.description());
  }
  // The scan reads the markup byte by byte, which holds for UTF-8 and the
  // single-byte encodings; a UTF-16 file is left to pugixml's own checks.
  const bool utf8 = xml.find('\0') == std::string_view::npos;
  if (auto fault = utf8 ? WellFormedScan(xml).run() : std::nullopt) {
    return fail_at(xml, fault->offset, name, fault->reason);
  }
  if (auto fault = duplicate_attribute(doc.document_element())) {
    return fail_at(xml, fault->offset, name, fault->reason);
  }

  ++m_generation;
  m_sources.clear();
  const std::optional<std::string> version = first_text(doc, "version");
  m_version = version.value_or("");
  for (const pugi::xml_node& s : descendants(doc, "datasource"))
    m_sources.push_back(read_source(s));
  m_loaded = true;
  m_error.clear();
  if (m_on_loaded) m_on_loaded(*this);
  return true;
}

const DataSource* Definitions::datasource_find(std::string_view code) const {
  for (const DataSource& s : m_sources) {
    if (iequals(s.code, code)) return &s;
  }
  return nullptr;
}

const Category* category_find(const DataSource& source, std::string_view code) {
  for (const Category& c : source.categories) {
    if (iequals(c.code, code)) return &c;
  }
  return nullptr;
}

const FieldDef* field_find(const Category& category, std::string_view name) {
  for (const FieldDef& f : category.fields) {
    if (iequals(text::rtrim(f.name), name)) return &f;
  }
  return nullptr;
}

bool Definitions::response_isvalid(const datarequest& request, std::string_view response) const {
  const DataSource* source = datasource_find(request.source);
  const Category* category = source ? category_find(*source, request.category) : nullptr;
  // An empty marker would be "found" in every page and make every answer
  // invalid; a category without a marker accepts every answer instead.
  if (!category || !category->invalidrequest || category->invalidrequest->empty()) return true;
  return text::find_ci(response, *category->invalidrequest) == 0;
}

std::optional<ParameterChoice> parameters_choose(const Category& category, std::string_view inst,
                                                 std::span<const Value> options,
                                                 std::string* reason) {
  ParameterChoice choice;
  choice.names.reserve(category.parameters.size());
  choice.urlkeys.reserve(category.parameters.size());
  choice.values.reserve(category.parameters.size());
  const std::size_t last = options.empty() ? 0 : options.size() - 1;
  for (const Parameter& p : category.parameters) {
    choice.names.push_back(p.name);
    choice.urlkeys.push_back(p.urlkey);
    std::string value;
    if (p.name == "instrument id") {
      value = std::string(inst);
    } else {
      bool chosen = false;
      for (std::size_t k = 1; k <= last; ++k) {
        if (!iequals(options[k].to_text(), p.name)) continue;
        if (k == last) {
          if (reason) *reason = "option \"" + p.name + "\" has no value";
          return std::nullopt;
        }
        const std::string wanted = options[k + 1].to_text();
        for (const EnumValue& e : p.enumvalues) {
          if (iequals(e.displayname, wanted)) {
            value = e.value;
            chosen = true;
            break;
          }
        }
        // The value is no name: a choice spelled like its parameter
        // ("units", "Units") is not taken for a second, dangling option.
        ++k;
      }
      if (!chosen) value = p.defaultvalue;
      if (p.name == "units") {
        const auto units = text::locale_number(value);
        if (!units) {
          if (reason) *reason = "units value \"" + value + "\" is not a number";
          return std::nullopt;
        }
        choice.units = *units;
      }
    }
    choice.values.push_back(std::move(value));
  }
  return choice;
}

FieldPlan plan_field(const FieldDef& f) {
  const auto number_or = [](std::string_view text, std::int32_t when_empty) {
    return text.empty() ? std::optional<std::int32_t>(when_empty) : text::to_int32(text);
  };
  FieldPlan p;
  p.resolved = true;
  if (f.type == "single") p.kind = FieldPlan::Kind::Single;
  if (f.type == "tablecell") p.kind = FieldPlan::Kind::TableCell;
  p.row_label = f.rowtype == "Fixedstring";
  if (f.parseasvalue == "1") p.parseasvalue = 1;
  if (f.parseasvalue == "2") p.parseasvalue = 2;
  p.figureconvert = f.figureconvert == "1";
  p.structured = f.type == "json" || f.type == "csv";
  p.col_fixed = f.coltype == "Fixednumeric";
  p.scaleable = f.scaleable == "1";
  p.step1 = static_cast<std::int8_t>(conversion_step(f.function));
  p.step2 = static_cast<std::int8_t>(conversion_step(f.function1));
  p.id = text::to_int32(f.id);
  p.table = number_or(f.tablenumber, 0);
  p.col = p.col_fixed ? text::to_int32(f.colvalue) : 0;
  p.row = f.rowtype == "Fixednumeric" ? text::to_int32(f.rowvalue) : 0;
  p.coloffset = number_or(f.coloffset, 0);
  p.rowoffset = number_or(f.rowoffset, 0);
  p.headercolumn = number_or(f.headercolumn, 1);
  if (f.ref1) p.ref1 = text::ci_needle(*f.ref1);
  if (f.ref2) p.ref2 = text::ci_needle(*f.ref2);
  if (f.ref3) p.ref3 = text::ci_needle(*f.ref3);
  p.label = text::ci_needle(f.rowvalue);
  p.label_bits = cls_parsetable::label_bits(f.rowvalue);
  return p;
}

PagePlan plan_page(const std::vector<FieldDef>& fields) {
  PagePlan page;
  page.resolved = true;
  page.field_count = fields.size();
  std::vector<FieldPlan> plans;
  plans.reserve(fields.size());
  for (const FieldDef& f : fields) plans.push_back(f.plan.resolved ? f.plan : plan_field(f));
  // The table number as the parse compares it: an empty attribute is "0".
  const auto number_text = [](const FieldDef& f) {
    return f.tablenumber.empty() ? std::string_view("0") : std::string_view(f.tablenumber);
  };
  std::unordered_set<std::int32_t> stored;
  const FieldDef* last_single = nullptr;
  for (std::size_t k0 = 0; k0 < fields.size(); ++k0) {
    const FieldDef& f = fields[k0];
    const FieldPlan& p = plans[k0];
    if (!p.id || stored.contains(*p.id)) continue;  // stored by an earlier step
    PageStep step;
    step.field = static_cast<std::uint32_t>(k0);
    if (p.kind == FieldPlan::Kind::Single) {
      // Without its three markers a single field stores nothing.
      if (!f.ref1 || !f.ref2 || !f.ref3) continue;
      step.same_lead = last_single && *last_single->ref1 == *f.ref1;
      last_single = &f;
      page.steps.push_back(step);
      stored.insert(*p.id);
      continue;
    }
    if (!p.table) continue;
    // The fields read from this table: those found by the same markers
    // (table number 0; other numbers cut with empty markers) or the same
    // number, from this field on.
    const std::string_view start_marker = *p.table == 0 ? std::string_view(f.tablestarttag) : "";
    const std::string_view end_marker = *p.table == 0 ? std::string_view(f.tableendtag) : "";
    step.table = true;
    step.begin = static_cast<std::uint32_t>(page.members.size());
    for (std::size_t k = k0; k < fields.size(); ++k) {
      const FieldDef& g = fields[k];
      const FieldPlan& q = plans[k];
      if (q.kind != FieldPlan::Kind::TableCell || !q.id) continue;
      const bool by_markers =
          g.tablestarttag == start_marker && g.tableendtag == end_marker && q.table == 0;
      const bool by_number = *p.table > 0 && number_text(g) == number_text(f);
      if (!by_markers && !by_number) continue;
      page.members.push_back(static_cast<std::uint32_t>(k));
      stored.insert(*q.id);
    }
    step.end = static_cast<std::uint32_t>(page.members.size());
    page.steps.push_back(step);
  }
  return page;
}

std::optional<Value> request_value(const datarequest& request, const FieldDef& field,
                                   const ParameterChoice& params) {
  // The field's texts as read at load: a cell's value is read at every
  // evaluation of its formula.
  // A field made by hand is planned now (and only then is room made for it).
  std::optional<FieldPlan> local;
  const FieldPlan& plan = field.plan.resolved ? field.plan : local.emplace(plan_field(field));
  const std::optional<std::int32_t> id = plan.id;
  if (!id) return std::nullopt;
  // The slot the field reads; nullopt for a selector that names none.
  std::optional<std::size_t> slot;
  // A JSON or CSV field reads a row across only when it names a selector.
  if (plan.col_fixed || plan.kind == FieldPlan::Kind::Single ||
      (plan.structured && field.colvalue.empty())) {
    slot = 0;
  } else {
    std::optional<std::int32_t> n;
    for (std::size_t i = 0; i < params.names.size(); ++i) {
      if (params.names[i] == field.colvalue) {
        n = text::to_int32(params.values[i]);
        break;
      }
    }
    if (n && *n >= 1 && *n <= 8) slot = static_cast<std::size_t>(*n - 1);
  }
  // Only the value read is made, not the row's others.
  std::optional<Value> found = request.parsed.find_slot(*id, slot.value_or(0));
  if (!found) return Value(std::string(kNotFound));
  if (!slot) return std::nullopt;
  Value value = std::move(*found);
  // Scaling needs a units divisor: without a units parameter (or with 0)
  // the value stands as it is rather than failing with a division by zero.
  if (plan.scaleable && params.units != 0) {
    if (const auto number = value.is_text()     ? text::locale_number(value.text())
                            : value.is_number() ? std::optional<double>(value.number())
                                                : std::nullopt) {
      value = *number / params.units;
    }
  }
  return value;
}

}  // namespace quillo
