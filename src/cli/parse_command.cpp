#include "cli/parse_command.h"

#include <fcntl.h>
#include <sys/mman.h>  // madvise
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
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
// form, a figure too large for a double as the error a cell shows for it,
// texts as they are, nothing for an empty value.
std::string shown(const Value& v) {
  if (v.is_number() && !std::isfinite(v.number())) return "#NUM!";
  return v.to_text();
}

// Sizes the page's buffer for n bytes. A page of megabytes is written
// once into memory the process never touched, and on a machine where every
// first touch of a small page costs a fault, that costs more than the
// parse: the kernel is asked to back the buffer with large pages.
void reserve_page(std::string& page, std::size_t n) {
  page.reserve(n);
  constexpr std::size_t kLarge = std::size_t{2} << 20;
  if (n < kLarge) return;
  const auto begin = reinterpret_cast<std::uintptr_t>(page.data());
  const std::uintptr_t from = (begin + kLarge - 1) & ~(kLarge - 1);
  const std::uintptr_t to = (begin + n) & ~(kLarge - 1);
  if (to > from) ::madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
}

// Reads a regular file of known size straight into page, sized once.
// (Not through a mapping: a file another program shortens while it is
// copied would kill the process with SIGBUS.) False on a read error; a
// file that turns out shorter leaves page as long as what was read.
bool read_sized(int fd, std::size_t size, std::string& page) {
  reserve_page(page, size);
  page.resize(size);
  std::size_t got_total = 0;
  while (got_total < size) {
    const ssize_t got = ::read(fd, page.data() + got_total, size - got_total);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) break;
    got_total += static_cast<std::size_t>(got);
  }
  page.resize(got_total);
  return true;
}

bool read_page(const std::string& path, std::istream& in, std::string& page) {
  page.clear();
  if (path == "-") {
    std::ostringstream buf;
    buf << in.rdbuf();
    page = buf.str();
    return true;
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = true;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    ok = read_sized(fd, static_cast<std::size_t>(st.st_size), page);
  }
  // What follows (all of a pipe, anything the file gained meanwhile) is
  // read and appended.
  char buf[1 << 16];
  while (ok) {
    const ssize_t got = ::read(fd, buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) ok = false;
    if (got <= 0) break;
    page.append(buf, static_cast<std::size_t>(got));
  }
  ::close(fd);
  return ok;
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
