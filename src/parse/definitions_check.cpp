#include "parse/definitions_check.h"

#include <map>
#include <set>

#include <pugixml.hpp>

#include "common/text.h"
#include "parse/definitions.h"

namespace quillo {

namespace {

// Every element the engine reads, with the attributes it reads on each.
const std::map<std::string_view, std::set<std::string_view>>& schema() {
  static const std::map<std::string_view, std::set<std::string_view>> kSchema = {
      {"version", {}},
      {"datasource", {"code", "name", "decimal", "group"}},
      {"max_requests_allowed", {}},
      {"search",
       {"url", "noresults", "tablenumber", "namecolumn", "symbolcolumn", "exchangecolumn"}},
      {"category", {"code", "name"}},
      {"url", {}},
      {"updatefrq", {}},
      {"invalidrequest", {}},
      {"parameter", {"name", "urlkey", "defaultvalue", "secret"}},
      {"enumvalue", {"displayname", "value"}},
      {"field",
       {"id",        "name",      "type",         "tablenumber",   "tablestarttag", "tableendtag",
        "coltype",   "colvalue",  "coloffset",    "rowoffset",     "headercolumn",  "rowtype",
        "rowvalue",  "scaleable", "parseasvalue", "function",      "fparam11",      "fparam12",
        "function1", "fparam21",  "fparam22",     "figureconvert", "decimal",       "group"}},
      {"ref1", {}},
      {"ref2", {}},
      {"ref3", {}},
  };
  return kSchema;
}

constexpr std::string_view kFunctions[] = {
    "convert2", "convert4", "mid",          "left",       "right",
    "concat",   "multiply", "reu_pct_chng", "reu_pcheck", "figure_convert"};

class Checker {
 public:
  explicit Checker(std::string_view xml) : m_xml(xml) {}

  void run(const pugi::xml_node& root, std::vector<DefinitionsFinding>& out) {
    m_out = &out;
    walk(root, true);
  }

 private:
  void report(const pugi::xml_node& n, std::string message) {
    const std::ptrdiff_t at = n.offset_debug();
    // offset_debug points at the name; the tag starts one character before.
    const TextPosition pos =
        text_position(m_xml, at > 0 ? static_cast<std::size_t>(at - 1) : std::size_t{0});
    m_out->push_back({pos.line, pos.column, std::move(message)});
  }

  void walk(const pugi::xml_node& n, bool is_root) {
    const std::string_view name = n.name();
    const auto known = schema().find(name);
    if (!is_root && known == schema().end()) {
      report(n, "unknown element <" + std::string(name) + "> (ignored)");
    } else if (known != schema().end()) {
      for (const pugi::xml_attribute a : n.attributes()) {
        if (!known->second.contains(a.name())) {
          report(n, "unknown attribute \"" + std::string(a.name()) + "\" on <" + std::string(name) +
                        "> (ignored)");
        }
      }
    }
    if (name == "datasource") check_source(n);
    if (name == "category") check_category(n);
    for (const pugi::xml_node c : n.children()) {
      if (c.type() == pugi::node_element) walk(c, false);
    }
  }

  void check_code(const pugi::xml_node& n, const char* what) {
    const std::string_view code = n.attribute("code").value();
    if (text::char_count(code) != 3) {
      report(n, std::string(what) + " code \"" + std::string(code) +
                    "\" is not three characters long: field codes are cut by position "
                    "(SRC.CAT.FIELD)");
    }
  }

  void check_source(const pugi::xml_node& n) {
    check_code(n, "data source");
    if (!m_sources.insert(text::upper(n.attribute("code").value())).second) {
      report(n, "data source code \"" + std::string(n.attribute("code").value()) +
                    "\" is used before: only the first source with it is found");
    }
    const pugi::xml_node limit = n.child("max_requests_allowed");
    const auto value = limit ? text::to_int32(text::trim(limit.text().get())) : std::nullopt;
    if (!value || *value < 1) {
      report(limit ? limit : n,
             "no usable <max_requests_allowed> (a whole number of 1 or more): 1 is used");
    }
    m_categories.clear();
  }

  void check_category(const pugi::xml_node& n) {
    check_code(n, "category");
    if (!m_categories.insert(text::upper(n.attribute("code").value())).second) {
      report(n, "category code \"" + std::string(n.attribute("code").value()) +
                    "\" is used before in this data source: only the first is found");
    }
    for (const char* required : {"url", "updatefrq", "invalidrequest"}) {
      if (!n.child(required)) report(n, std::string("category has no <") + required + ">");
    }
    if (const pugi::xml_node f = n.child("updatefrq"); f && !text::to_int32(f.text().get())) {
      report(f, "updatefrq \"" + std::string(f.text().get()) + "\" is not a whole number");
    }
    std::set<std::string> parameters;
    for (const pugi::xml_node p : n.children("parameter")) {
      parameters.insert(p.attribute("name").value());
    }
    std::set<std::string> ids;
    for (const pugi::xml_node f : n.children("field")) {
      const std::string id = f.attribute("id").value();
      if (!text::to_int32(id)) {
        report(f, "field id \"" + id + "\" is not a whole number: the field is never stored");
      } else if (!ids.insert(id).second) {
        report(f, "field id " + id +
                      " is used before in this category: the field reads the "
                      "other field's value");
      }
      check_field(f, parameters);
    }
  }

  void check_number(const pugi::xml_node& f, const char* attribute) {
    const std::string_view v = f.attribute(attribute).value();
    if (!v.empty() && !text::to_int32(v)) {
      report(f, std::string(attribute) + " \"" + std::string(v) + "\" is not a whole number");
    }
  }

  void check_field(const pugi::xml_node& f, const std::set<std::string>& parameters) {
    const std::string name = f.attribute("name").value();
    const std::string type = f.attribute("type").value();
    if (type != "single" && type != "tablecell") {
      report(f, "field " + name + ": type \"" + type +
                    "\" is neither \"single\" nor \"tablecell\": it stores no value of its own");
    }
    if (type == "single") {
      for (const char* ref : {"ref1", "ref2", "ref3"}) {
        if (!f.child(ref)) report(f, "single field " + name + " has no <" + ref + ">");
      }
    }
    for (const char* a : {"tablenumber", "coloffset", "rowoffset", "headercolumn"}) {
      check_number(f, a);
    }
    const std::string rowtype = f.attribute("rowtype").value();
    const std::string coltype = f.attribute("coltype").value();
    if (type == "tablecell") {
      if (rowtype != "Fixednumeric" && rowtype != "Fixedstring") {
        report(f, "field " + name + ": rowtype \"" + rowtype +
                      "\" is neither \"Fixednumeric\" nor \"Fixedstring\": no row is found");
      }
      if (coltype != "Fixednumeric" && !parameters.contains(f.attribute("colvalue").value())) {
        report(f, "field " + name + ": coltype \"" + coltype +
                      "\" is not \"Fixednumeric\" and colvalue names no parameter of the "
                      "category");
      }
    }
    if (rowtype == "Fixednumeric") check_number(f, "rowvalue");
    if (coltype == "Fixednumeric") check_number(f, "colvalue");
    for (const char* step : {"function", "function1"}) {
      const std::string_view fn = f.attribute(step).value();
      if (fn.empty()) continue;
      bool known = false;
      for (std::string_view k : kFunctions) known = known || k == fn;
      if (!known) {
        report(f, "field " + name + ": " + step + " \"" + std::string(fn) +
                      "\" is no conversion function: the step does nothing");
      }
    }
  }

  std::string_view m_xml;
  std::vector<DefinitionsFinding>* m_out = nullptr;
  std::set<std::string> m_sources;
  std::set<std::string> m_categories;
};

}  // namespace

DefinitionsCheck check_definitions(std::string_view xml, std::string_view name) {
  DefinitionsCheck result;
  Definitions definitions;
  if (!definitions.load_text(xml, name)) {
    result.load_error = definitions.error();
    return result;
  }
  result.loaded = true;
  // The loader took the file; a second, plain parse gives the positions.
  pugi::xml_document doc;
  if (!doc.load_buffer(xml.data(), xml.size(), pugi::parse_default)) return result;
  Checker(xml).run(doc.document_element(), result.findings);
  return result;
}

}  // namespace quillo
