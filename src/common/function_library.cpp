#include "common/function_library.h"

#include <algorithm>
#include <fstream>
#include <sstream>

#include "common/text.h"

namespace quillo {

namespace {

constexpr std::size_t kMaxLibrarySize = 1 << 20;

bool is_name(std::string_view s) {
  if (s.empty() || s.size() > 64) return false;
  const char f = s[0];
  if (!((f >= 'a' && f <= 'z') || (f >= 'A' && f <= 'Z') || f == '_')) return false;
  return std::all_of(s.begin(), s.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '.';
  });
}

Status line_error(std::size_t line, const std::string& what) {
  return Status::failed("function library line " + std::to_string(line) + ": " + what);
}

// "inst, field, [options], caller" into parameters; an error text or "".
std::string parse_params(std::string_view list, std::vector<LibraryParam>& out) {
  list = text::trim(list);
  if (list.empty()) return {};
  bool seen_optional = false, seen_caller = false;
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t comma = list.find(',', start);
    if (comma == std::string_view::npos) comma = list.size();
    std::string_view p = text::trim(list.substr(start, comma - start));
    LibraryParam param;
    if (p.size() >= 2 && p.front() == '[' && p.back() == ']') {
      param.optional = true;
      p = text::trim(p.substr(1, p.size() - 2));
    }
    if (!is_name(p)) return "invalid argument \"" + std::string(p) + "\"";
    param.name = std::string(p);
    param.caller = text::iequals(p, "caller");
    if (param.caller) {
      if (param.optional || seen_caller) return "the calling cell is passed once, not optional";
      seen_caller = true;
    } else if (param.optional) {
      seen_optional = true;
    } else if (seen_optional) {
      return "a required argument cannot follow an optional one";
    }
    out.push_back(std::move(param));
    start = comma + 1;
  }
  return {};
}

}  // namespace

const LibraryFunction* FunctionLibrary::find(std::string_view name) const {
  for (const LibraryFunction& f : functions) {
    if (text::iequals(f.name, name)) return &f;
  }
  return nullptr;
}

Result<FunctionLibrary> parse_function_library(std::string_view text) {
  if (text.size() > kMaxLibrarySize) return Status::failed("function library too large");
  FunctionLibrary lib;
  std::size_t line_no = 0, pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    ++line_no;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    line = text::trim(line);
    if (line.empty() || line[0] == '#') continue;
    const std::size_t eq = line.find('=');
    const std::size_t open = line.find('(');
    if (eq == std::string_view::npos || open == std::string_view::npos || open < eq ||
        line.back() != ')') {
      return line_error(line_no, "expected name = method(arguments)");
    }
    LibraryFunction f;
    f.name = std::string(text::trim(line.substr(0, eq)));
    f.method = std::string(text::trim(line.substr(eq + 1, open - eq - 1)));
    if (!is_name(f.name)) return line_error(line_no, "invalid function name");
    if (!is_name(f.method)) return line_error(line_no, "invalid method name");
    if (lib.find(f.name)) return line_error(line_no, "function " + f.name + " declared twice");
    const std::string err = parse_params(line.substr(open + 1, line.size() - open - 2), f.params);
    if (!err.empty()) return line_error(line_no, err);
    lib.functions.push_back(std::move(f));
  }
  return lib;
}

Result<FunctionLibrary> load_function_library(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return Status::failed("cannot read function library " + path);
  std::ostringstream buf;
  buf << in.rdbuf();
  if (buf.str().size() > kMaxLibrarySize) return Status::failed("function library too large");
  return parse_function_library(buf.str());
}

}  // namespace quillo
