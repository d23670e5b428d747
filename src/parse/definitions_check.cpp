#include "parse/definitions_check.h"

#include <map>
#include <set>

#include <pugixml.hpp>

#include "common/text.h"
#include "parse/definitions.h"
#include "parse/structured_answer.h"

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
      {"category", {"code", "name", "answer", "separator"}},
      {"url", {}},
      {"updatefrq", {}},
      {"invalidrequest", {}},
      {"parameter", {"name", "urlkey", "defaultvalue", "secret"}},
      {"enumvalue", {"displayname", "value"}},
      {"field", {"id",           "name",          "type",      "tablenumber", "tablestarttag",
                 "tableendtag",  "coltype",       "colvalue",  "coloffset",   "rowoffset",
                 "headercolumn", "rowtype",       "rowvalue",  "scaleable",   "parseasvalue",
                 "function",     "fparam11",      "fparam12",  "function1",   "fparam21",
                 "fparam22",     "figureconvert", "decimal",   "group",       "pointer",
                 "member",       "column",        "keycolumn", "key"}},
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
    m_sent.clear();
    for (const pugi::xml_node p : n.children("parameter")) {
      parameters.insert(p.attribute("name").value());
      if (*p.attribute("urlkey").value()) m_sent.insert(text::upper(p.attribute("name").value()));
    }
    m_answer = text::lower(n.attribute("answer").value());
    if (m_answer == "page") m_answer.clear();
    if (!m_answer.empty() && m_answer != "json" && m_answer != "csv") {
      report(n, "answer \"" + std::string(n.attribute("answer").value()) +
                    "\" is neither \"json\" nor \"csv\": the answer is read as a page");
      m_answer.clear();
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
    if (type == "json" || type == "csv" || !m_answer.empty()) {
      check_structured_field(f, name, type, parameters);
      return;
    }
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

  // A field of a JSON or CSV answer: its type matches the category's
  // answer, its pointer or column reads something, and its keys name
  // values the address sends.
  void check_structured_field(const pugi::xml_node& f, const std::string& name,
                              const std::string& type, const std::set<std::string>& parameters) {
    if (type != m_answer) {
      report(f, "field " + name + ": type \"" + type + "\" in a category whose answer is " +
                    (m_answer.empty() ? std::string("a page") : m_answer) + ": it stores no value");
      return;
    }
    const std::string colvalue = f.attribute("colvalue").value();
    if (!colvalue.empty() && !parameters.contains(colvalue)) {
      report(f, "field " + name + ": colvalue \"" + colvalue +
                    "\" names no parameter of the category: the field fails");
    }
    std::vector<std::string> keys;
    if (type == "json") {
      for (const char* attribute : {"pointer", "member"}) {
        const std::string pointer = f.attribute(attribute).value();
        const auto found = json_pointer_keys(pointer);
        if (!found) {
          report(f, "field " + name + ": " + attribute + " \"" + pointer +
                        "\" is no JSON Pointer (it starts with \"/\"; \"~\" is written "
                        "\"~0\", \"/\" \"~1\")");
          continue;
        }
        keys.insert(keys.end(), found->begin(), found->end());
        // A step that opens like a selector but is none reads a member of
        // that odd name, which the author hardly meant.
        for (std::size_t at = pointer.find("/["); at != std::string::npos;
             at = pointer.find("/[", at + 1)) {
          const std::size_t end = pointer.find('/', at + 1);
          const std::string step =
              pointer.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
          const std::size_t eq = step.find('=');
          if (step.back() != ']' || eq == std::string::npos) {
            report(f,
                   "field " + name + ": " + attribute + " step \"" + step +
                       "\" is no selector (written [KEY=VALUE]): it reads a member of that name");
          } else if (eq == 1) {
            report(f, "field " + name + ": " + attribute + " selector \"" + step +
                          "\" names no key: it matches nothing");
          }
        }
      }
      if (!f.attribute("pointer"))
        report(f, "field " + name + ": no pointer: the field reads the whole answer");
    } else {
      const bool key = f.attribute("key");
      const bool keycolumn = f.attribute("keycolumn");
      if (!f.attribute("column") && colvalue.empty()) {
        report(f, "field " + name + ": no column: the field reads nothing");
      }
      if (keycolumn && !key) report(f, "field " + name + ": keycolumn without key: no row matches");
      if (key && !keycolumn) {
        report(f, "field " + name + ": key without keycolumn: the first row is read");
      }
      if (key) keys.push_back(f.attribute("key").value());
    }
    for (const std::string& k : keys) {
      std::string parameter;
      if (k == "$instrument") parameter = "INSTRUMENT ID";
      if (k.size() >= 3 && k.starts_with("${") && k.ends_with("}"))
        parameter = text::upper(k.substr(2, k.size() - 3));
      if (!parameter.empty() && !m_sent.contains(parameter)) {
        report(f, "field " + name + ": key \"" + k +
                      "\" names a parameter the address does not send: it matches nothing");
      }
    }
  }

  std::string_view m_xml;
  std::vector<DefinitionsFinding>* m_out = nullptr;
  std::set<std::string> m_sent;  // upper-cased names of the parameters the address sends
  std::string m_answer;          // "json", "csv", or empty for a page
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
