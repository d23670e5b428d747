#include "spreadsheet/add_in_catalog.h"

#include <algorithm>
#include <cmath>

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

namespace {

// Whether every parameter the calling cell fills comes after those a
// formula writes (as in every library quillo installs): the written
// arguments then already stand in their places, and the call's list is
// completed where it lies.
bool callers_last(const LibraryFunction& fn) {
  bool caller_seen = false;
  for (const LibraryParam& p : fn.params) {
    if (p.caller) {
      caller_seen = true;
    } else if (caller_seen) {
      return false;
    }
  }
  return true;
}

}  // namespace

namespace {

// The array with every figure beyond a double's range as #NUM!; copied only
// when it holds one.
Value finite_items(Value result) {
  const Array& a = result.array();
  const auto bad = [](const Value& v) { return v.is_number() && !std::isfinite(v.number()); };
  if (std::none_of(a.items.begin(), a.items.end(), bad)) return result;
  Array copy = a;
  for (Value& v : copy.items) {
    if (bad(v)) v = Value(ErrorCode::Num);
  }
  return Value(std::move(copy));
}

}  // namespace

Value AddInCatalog::caller_value(const CellAddr& caller) {
  const Box box{caller.row, caller.col, caller.row, caller.col};
  // The handle of the last call is pointed at this cell when nothing kept
  // it (it is then held here alone): a call is made at every evaluation.
  if (m_caller && m_caller.use_count() == 1) {
    m_caller->move_to(caller.sheet, box);
  } else {
    auto model = m_model.lock();
    if (!model) return Value(ErrorCode::Value);
    m_caller = std::make_shared<RangeHandle>(model, caller.sheet, box);
  }
  return Value(std::shared_ptr<const RangeRef>(m_caller));
}

bool AddInCatalog::call(std::string_view name, const std::string* book, std::vector<Value>& args,
                        const CellAddr& caller, Value& result) {
  // The declaration is read only while the arguments are put in order,
  // before the method runs (it may install or remove libraries), so it is
  // not copied: a call is made at every evaluation of a formula cell.
  const LibraryFunction* fn = nullptr;
  std::shared_ptr<const host::AddInMethod> method;
  std::size_t written = 0;
  bool in_place = false;
  if (!book && m_last.function && m_last.installed == m_installed_generation &&
      m_last.methods == m_methods.generation() && m_last.name == name) {
    fn = m_last.function;
    method = m_last.method;
    written = m_last.written;
    in_place = m_last.in_place;
  } else {
    fn = reached(name, book);
    if (!fn) return false;
    method = m_methods.find(fn->method);
    if (!method) return false;
    written = static_cast<std::size_t>(std::count_if(fn->params.begin(), fn->params.end(),
                                                     [](const auto& p) { return !p.caller; }));
    in_place = callers_last(*fn);
    if (!book) {
      m_last.name.assign(name);
      m_last.function = fn;
      m_last.method = method;
      m_last.installed = m_installed_generation;
      m_last.methods = m_methods.generation();
      m_last.written = written;
      m_last.in_place = in_place;
    }
  }

  // The answer when the call cannot be made or fails.
  const auto failed = [&result] {
    result = Value(ErrorCode::Value);
    return true;
  };
  if (args.size() > written) return failed();
  // Without a model the calling cell cannot be handed over.
  if (written < fn->params.size() && m_model.expired()) return failed();
  std::vector<Value> moved;
  std::vector<Value>& margs = in_place ? args : moved;
  if (in_place) {
    // The written arguments are in their places: an omitted one is filled
    // in, a required one left empty is Empty, and the calling cell follows.
    for (std::size_t i = 0; i < written; ++i) {
      const LibraryParam& p = fn->params[i];
      if (i >= args.size()) {
        if (!p.optional) return failed();
        args.emplace_back(Missing{});
      } else if (!p.optional && args[i].type() == ValueType::Missing) {
        args[i] = Value();
      }
    }
    for (std::size_t i = written; i < fn->params.size(); ++i) args.push_back(caller_value(caller));
  } else {
    moved = argument_room();
    moved.reserve(fn->params.size());
    std::size_t next = 0;
    for (const LibraryParam& p : fn->params) {
      if (p.caller) {
        moved.push_back(caller_value(caller));
        continue;
      }
      const bool given = next < args.size();
      if (!given && !p.optional) return failed();
      if (!given) {
        moved.emplace_back(Missing{});
      } else if (!p.optional && args[next].type() == ValueType::Missing) {
        moved.emplace_back();
      } else {
        moved.push_back(std::move(args[next]));
      }
      ++next;
    }
    keep_room(args);
  }
  try {
    result = (*method)(margs);
    keep_room(margs);
    // A text longer than a cell holds is #VALUE!, as from any function; a
    // figure beyond a double's range (a page's 1e400) is #NUM!, so formulas
    // reading the cell see the error it shows, not an infinity.
    if (result.is_text()) {
      if (result.text().size() > kMaxTextChars) result = text_result(result.text());
    } else if (result.is_number()) {
      if (!std::isfinite(result.number())) result = Value(ErrorCode::Num);
    } else if (result.is_array()) {
      result = finite_items(std::move(result));
    }
    return true;
  } catch (...) {
    margs.clear();
    return failed();  // an engine failure must not escape into the spreadsheet
  }
}

}  // namespace quillo::spreadsheet
