#include "cli/parse_command.h"

#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "common/text.h"
#include "common/text_encoding.h"
#include "parse/definitions.h"
#include "parse/definitions_check.h"
#include "parse/table_extraction.h"

namespace quillo::cli {

namespace {

// What a cell would show for the value: numbers in their shortest exact
// form, texts as they are, nothing for an empty value.
std::string shown(const Value& v) {
  return v.to_text();
}

bool read_page(const std::string& path, std::istream& in, std::string& page) {
  if (path == "-") {
    std::ostringstream buf;
    buf << in.rdbuf();
    page = buf.str();
    return true;
  }
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  // A file of known size is read straight into the page: one buffer, no
  // copies (a page can be tens of megabytes). What follows (all of a pipe,
  // anything the file gained meanwhile) is appended.
  page.clear();
  std::error_code ec;
  const std::uintmax_t size = std::filesystem::file_size(path, ec);
  if (!ec && size > 0) {
    page.resize(static_cast<std::size_t>(size));
    file.read(page.data(), static_cast<std::streamsize>(size));
    page.resize(static_cast<std::size_t>(file.gcount()));
    if (file.bad()) return false;
    file.clear();
  }
  std::ostringstream rest;
  rest << file.rdbuf();
  if (file.bad()) return false;
  page += rest.str();
  return true;
}

int run_check(const ParseOptions& opt, std::ostream& out, std::ostream& err) {
  std::string xml;
  std::istringstream none;
  if (opt.definitions == "-" || !read_page(opt.definitions, none, xml)) {
    err << "quillo parse: cannot read the definitions file " << opt.definitions << "\n";
    return 2;
  }
  const DefinitionsCheck check = check_definitions(xml, opt.definitions);
  if (!check.loaded) {
    err << check.load_error << "\n";
    return 2;
  }
  for (const DefinitionsFinding& f : check.findings) {
    out << opt.definitions << ':' << f.line << ':' << f.column << ": " << f.message << '\n';
  }
  if (check.findings.empty()) out << opt.definitions << ": no problems found\n";
  return check.findings.empty() ? 0 : 1;
}

}  // namespace

int run_parse(const ParseOptions& opt, std::istream& in, std::ostream& out, std::ostream& err) {
  if (opt.check) return run_check(opt, out, err);
  if (opt.category.empty() || opt.page.empty()) {
    err << "quillo parse: SOURCE.CATEGORY and PAGE are needed (or --check)\n";
    return 2;
  }
  Definitions definitions;
  if (!definitions.definitions_loadfile(opt.definitions)) {
    err << definitions.error() << "\n";
    return 2;
  }
  const std::size_t dot = opt.category.find('.');
  const std::string source_code = opt.category.substr(0, dot);
  const std::string category_code = dot == std::string::npos ? "" : opt.category.substr(dot + 1);
  const DataSource* source = definitions.datasource_find(source_code);
  if (!source) {
    err << "quillo parse: no data source \"" << source_code << "\" in " << opt.definitions << "\n";
    return 2;
  }
  const Category* category = category_find(*source, category_code);
  if (!category) {
    err << "quillo parse: data source \"" << source->code << "\" has no category \""
        << category_code << "\"\n";
    return 2;
  }
  std::string raw;
  if (!read_page(opt.page, in, raw)) {
    err << "quillo parse: cannot read the page " << opt.page << "\n";
    return 2;
  }
  // A saved page carries no HTTP header: its byte order mark, its <meta>
  // charset or its bytes tell its encoding.
  std::string page = std::move(raw);
  text::decode_page_in_place(page);

  // The option list a worksheet's options argument would give: name, value, ...
  std::vector<Value> option_list{Value()};
  for (const auto& [name, value] : opt.options) {
    option_list.emplace_back(name);
    option_list.emplace_back(value);
  }
  if (opt.options.empty()) option_list.emplace_back("n/a");
  std::string reason;
  const auto params = parameters_choose(*category, opt.instrument, option_list, &reason);
  if (!params) {
    err << "quillo parse: " << reason << "\n";
    return 2;
  }

  RequestTable requests;
  datarequest request;
  request.url = category->url.value_or("");
  request.reqtype = RequestType::SingleItem;
  request.source = source->code;
  request.category = category->code;
  const std::int32_t r = requests.add(std::move(request));
  if (!definitions.response_isvalid(requests.at(r), page)) {
    out << "Invalid instrument id\n";
    return 3;
  }
  // The keys of a JSON or CSV answer come from the options, as the address
  // the engine would send carries them.
  const std::string problem = definition_parse(page, requests, r, definitions, &*params);
  for (const FieldDef& field : category->fields) {
    const std::optional<Value> value = request_value(requests.at(r), field, *params);
    // A field whose value cannot be read makes the worksheet function fail.
    out << field.name << '\t' << (value ? shown(*value) : "#VALUE!") << '\n';
  }
  if (!problem.empty()) {
    err << "quillo parse: " << problem << "\n";
    return 4;
  }
  return 0;
}

}  // namespace quillo::cli
