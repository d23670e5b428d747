#include "spreadsheet/add_in_catalog.h"

#include <algorithm>
#include <array>
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

// The argument a call hands in place of a required one left empty.
const Value kEmptyArgument;

// The most parameters whose list is kept on the stack during a call.
constexpr std::size_t kInlineParams = 16;

}  // namespace

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

const Value* AddInCatalog::caller_value(const CellAddr& caller, Value& own) {
  const Box box{caller.row, caller.col, caller.row, caller.col};
  // The handle of the last call is pointed at this cell when nothing kept
  // it (it is then held here alone, as the handle and as the value handed
  // over): a call is made at every evaluation. A call made while another
  // runs leaves the running call's handle on its cell.
  if (m_running == 0 && m_caller && m_caller.use_count() == 2) {
    m_caller->move_to(caller.sheet, box);
    return &m_caller_value;
  }
  auto model = m_model.lock();
  if (!model) {
    own = Value(ErrorCode::Value);
    return &own;
  }
  auto handle = std::make_shared<RangeHandle>(model, caller.sheet, box);
  if (m_running != 0) {
    own = Value(std::shared_ptr<const RangeRef>(std::move(handle)));
    return &own;
  }
  m_caller = std::move(handle);
  m_caller_value = Value(std::shared_ptr<const RangeRef>(m_caller));
  return &m_caller_value;
}

bool AddInCatalog::call(std::string_view name, const std::string* book,
                        std::span<const Value* const> args, const CellAddr& caller, Value& result) {
  // The declaration is read only while the arguments are put in order,
  // before the method runs (it may install or remove libraries), so it is
  // not copied: a call is made at every evaluation of a formula cell.
  const LibraryFunction* fn = nullptr;
  const host::AddInMethod* method = nullptr;
  // The method found for a call the last call's does not stand for, held
  // while it runs (it may remove itself from the table).
  std::shared_ptr<const host::AddInMethod> found;
  std::size_t written = 0;
  if (!book && m_last.function && m_last.installed == m_installed_generation &&
      m_last.methods == m_methods.generation() && m_last.name == name) {
    fn = m_last.function;
    method = m_last.method.get();
    written = m_last.written;
  } else {
    fn = reached(name, book);
    if (!fn) return false;
    found = m_methods.find(fn->method);
    if (!found) return false;
    method = found.get();
    written = static_cast<std::size_t>(std::count_if(fn->params.begin(), fn->params.end(),
                                                     [](const auto& p) { return !p.caller; }));
    // Kept for the next call, except by a call made while another runs:
    // the method that one runs through the kept one stays held there.
    if (!book && m_running == 0) {
      m_last.name.assign(name);
      m_last.function = fn;
      m_last.method = found;
      m_last.installed = m_installed_generation;
      m_last.methods = m_methods.generation();
      m_last.written = written;
    }
  }

  // The answer when the call cannot be made or fails.
  const auto failed = [&result] {
    result = Value(ErrorCode::Value);
    return true;
  };
  if (args.size() > written) return failed();
  // Without a model the calling cell cannot be handed over.
  const std::size_t total = fn->params.size();
  if (written < total && m_model.expired()) return failed();
  // The method's arguments in its declared order, each where it lies: an
  // omitted optional one is Missing, a required one left empty is Empty,
  // and the calling cell stands where the method takes it.
  std::array<const Value*, kInlineParams> inline_items;
  std::vector<const Value*> more_items;
  const Value** items = inline_items.data();
  if (total > kInlineParams) {
    more_items.resize(total);
    items = more_items.data();
  }
  Value own_caller;
  const Value* caller_argument = written < total ? caller_value(caller, own_caller) : nullptr;
  std::size_t next = 0;
  std::size_t at = 0;
  for (const LibraryParam& p : fn->params) {
    if (p.caller) {
      items[at++] = caller_argument;
      continue;
    }
    if (next >= args.size()) {
      if (!p.optional) return failed();
      items[at] = &host::kMissingArgument;
    } else if (!p.optional && args[next]->type() == ValueType::Missing) {
      items[at] = &kEmptyArgument;
    } else {
      items[at] = args[next];
    }
    ++next;
    ++at;
  }
  try {
    // Counts the calls running, however the method ends.
    struct Running {
      std::size_t& count;
      explicit Running(std::size_t& c) : count(c) { ++count; }
      ~Running() { --count; }
      Running(const Running&) = delete;
      Running& operator=(const Running&) = delete;
    } running(m_running);
    result = (*method)(host::AddInArgs(std::span<const Value* const>(items, total)));
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
    return failed();  // an engine failure must not escape into the spreadsheet
  }
}

}  // namespace quillo::spreadsheet
