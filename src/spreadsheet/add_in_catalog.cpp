#include "spreadsheet/add_in_catalog.h"

#include <algorithm>

#include "common/text.h"
#include "spreadsheet/coerce.h"
#include "spreadsheet/handles.h"

namespace quillo::spreadsheet {

void AddInCatalog::install(std::string name, std::string path, FunctionLibrary library) {
  uninstall(path);
  m_installed.push_back(Installed{std::move(name), std::move(path), std::move(library)});
  ++m_installed_generation;
}

void AddInCatalog::uninstall(std::string_view path) {
  ++m_installed_generation;
  m_installed.erase(std::remove_if(m_installed.begin(), m_installed.end(),
                                   [&](const Installed& i) { return i.path == path; }),
                    m_installed.end());
}

namespace {

// LibreOffice Calc writes a call of quillo's extension with the add-in's
// service name in front (ORG.QUILLO.CALC.FSINGLE(...)), in .ods and .xlsx
// alike: the same function of the library.
constexpr std::string_view kCalcPrefix = "org.quillo.calc.";

std::string_view without_calc_prefix(std::string_view name) {
  if (name.size() > kCalcPrefix.size() &&
      text::iequals(name.substr(0, kCalcPrefix.size()), kCalcPrefix)) {
    name.remove_prefix(kCalcPrefix.size());
  }
  return name;
}

// The most arguments whose room is kept from one call to the next, and
// the most such lists kept.
constexpr std::size_t kSpareArgs = 16;
constexpr std::size_t kSpareLists = 4;

}  // namespace

std::vector<Value> AddInCatalog::argument_room() {
  if (m_spare_lists.empty()) return {};
  std::vector<Value> list = std::move(m_spare_lists.back());
  m_spare_lists.pop_back();
  return list;
}

void AddInCatalog::keep_room(std::vector<Value>& list) {
  list.clear();
  if (list.capacity() == 0 || list.capacity() > kSpareArgs || m_spare_lists.size() >= kSpareLists) {
    return;
  }
  m_spare_lists.push_back(std::move(list));
  list = {};
}

const LibraryFunction* AddInCatalog::reached(std::string_view name, const std::string* book) const {
  if (!book) name = without_calc_prefix(name);
  for (const Installed& lib : m_installed) {
    // A path-qualified call reaches only the library at that path (or, by
    // file name alone, the library of that name).
    if (book && *book != lib.path && !text::iequals(*book, lib.name)) continue;
    if (const LibraryFunction* f = lib.library.find(name)) return f;
  }
  return nullptr;
}

std::vector<std::string> AddInCatalog::declared_functions() const {
  std::vector<std::string> names;
  for (const Installed& lib : m_installed) {
    for (const LibraryFunction& f : lib.library.functions) {
      names.push_back(f.name);
      names.push_back(std::string(kCalcPrefix) + f.name);
    }
  }
  return names;
}

bool AddInCatalog::computes(std::string_view name, const std::string* book) const {
  const LibraryFunction* f = reached(name, book);
  return f && m_methods.find(f->method) != nullptr;
}

std::optional<Value> AddInCatalog::call(std::string_view name, const std::string* book,
                                        std::vector<Value>& args, const CellAddr& caller) {
  // The declaration is read only while the arguments are put in order,
  // before the method runs (it may install or remove libraries), so it is
  // not copied: a call is made at every evaluation of a formula cell.
  const LibraryFunction* fn = nullptr;
  std::shared_ptr<const host::AddInMethod> method;
  if (!book && m_last.function && m_last.installed == m_installed_generation &&
      m_last.methods == m_methods.generation() && m_last.name == name) {
    fn = m_last.function;
    method = m_last.method;
  } else {
    fn = reached(name, book);
    if (!fn) return std::nullopt;
    method = m_methods.find(fn->method);
    if (!method) return std::nullopt;
    if (!book) {
      m_last.name.assign(name);
      m_last.function = fn;
      m_last.method = method;
      m_last.installed = m_installed_generation;
      m_last.methods = m_methods.generation();
    }
  }

  const auto written = static_cast<std::size_t>(
      std::count_if(fn->params.begin(), fn->params.end(), [](const auto& p) { return !p.caller; }));
  if (args.size() > written) return Value(ErrorCode::Value);
  std::vector<Value> margs = argument_room();
  margs.reserve(fn->params.size());
  std::size_t next = 0;
  for (const LibraryParam& p : fn->params) {
    if (p.caller) {
      auto model = m_model.lock();
      if (!model) return Value(ErrorCode::Value);
      margs.push_back(make_range_value(*model, caller.sheet,
                                       Box{caller.row, caller.col, caller.row, caller.col}));
      continue;
    }
    const bool given = next < args.size();
    if (!given && !p.optional) return Value(ErrorCode::Value);
    if (!given) {
      margs.emplace_back(Missing{});
    } else if (!p.optional && args[next].type() == ValueType::Missing) {
      margs.emplace_back();
    } else {
      margs.push_back(std::move(args[next]));
    }
    ++next;
  }
  try {
    keep_room(args);
    Value result = (*method)(margs);
    keep_room(margs);
    // A text longer than a cell holds is #VALUE!, as from any function.
    if (result.is_text() && result.text().size() > kMaxTextChars) return text_result(result.text());
    return result;
  } catch (...) {
    return Value(ErrorCode::Value);  // an engine failure must not escape into the spreadsheet
  }
}

}  // namespace quillo::spreadsheet
