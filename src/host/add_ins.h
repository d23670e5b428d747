// Add-ins: function libraries installed into the spreadsheet, and the table
// through which the engine answers their worksheet functions.
//
// A function library declares worksheet functions and, for each, the engine
// method it forwards to (see spreadsheet/function_library.h for the file).
// The engine registers a callable per method name in AddInMethods; a
// formula calling an installed library function then reaches that callable
// with the arguments in the method's order, the calling cell included.
// Event-loop thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/status.h"
#include "common/value.h"

namespace quillo::host {

class AddIn;
using AddInPtr = std::shared_ptr<AddIn>;

class AddIn {
 public:
  virtual ~AddIn() = default;
  virtual Result<std::string> name() const = 0;       // file name, "tarnvale.xla"
  virtual Result<std::string> full_name() const = 0;  // the path it was added from
  virtual Result<bool> installed() const = 0;
  // Installing reads the library and makes its functions callable in
  // formulas; uninstalling removes them. Fails when the file cannot be read
  // or does not parse.
  virtual Status set_installed(bool on) = 0;
};

class AddIns {
 public:
  virtual ~AddIns() = default;
  virtual std::int32_t count() const = 0;
  virtual Result<AddInPtr> item(std::int32_t index) const = 0;  // 1-based
  virtual Result<AddInPtr> item(std::string_view name) const = 0;
  // Lists a library file (not yet installed); the same path twice gives the
  // entry already listed. Fails when the file does not exist.
  virtual Result<AddInPtr> add(std::string_view path) = 0;
};

// The arguments of one call of an engine method, seen where they lie (a
// formula's constants, the values evaluated for the call, the calling
// cell): nothing is copied to make a call, which is made at every
// evaluation of a formula cell. Valid only while the call runs; a method
// keeping an argument copies it.
class AddInArgs {
 public:
  class iterator {
   public:
    explicit iterator(const Value* const* at) : m_at(at) {}
    const Value& operator*() const { return **m_at; }
    iterator& operator++() {
      ++m_at;
      return *this;
    }
    bool operator==(const iterator&) const = default;

   private:
    const Value* const* m_at;
  };

  AddInArgs() = default;
  explicit AddInArgs(std::span<const Value* const> items) : m_items(items) {}

  std::size_t size() const { return m_items.size(); }
  bool empty() const { return m_items.empty(); }
  const Value& operator[](std::size_t i) const { return *m_items[i]; }
  const Value& back() const { return *m_items.back(); }
  iterator begin() const { return iterator(m_items.data()); }
  iterator end() const { return iterator(m_items.data() + m_items.size()); }
  std::span<const Value* const> items() const { return m_items; }
  // The arguments as one list of values of their own.
  std::vector<Value> copied() const;

 private:
  std::span<const Value* const> m_items;
};

// An engine method behind library functions. args holds the method's
// arguments in its declared order: values as evaluated (references stay
// ranges, see host/range.h as_range), Missing for an omitted optional
// argument, and the calling cell as a range where the method takes it. The
// answer is what the cell shows; an exception becomes #VALUE!.
using AddInMethod = std::function<Value(AddInArgs args)>;

// What a method is handed for an optional argument the call left out.
inline const Value kMissingArgument{Missing{}};

// Calls method with arguments held in a list (a host's own call from
// outside formulas, a test).
Value call_method(const AddInMethod& method, const std::vector<Value>& args);

// The methods the engine answers, by name (letter case ignored).
class AddInMethods {
 public:
  void add(std::string_view name, AddInMethod method);
  bool remove(std::string_view name);
  // A shared copy, so a method may register or remove methods while it runs.
  std::shared_ptr<const AddInMethod> find(std::string_view name) const;
  std::size_t size() const { return m_methods.size(); }
  // Changes with every add and remove, so a caller may keep what find gave
  // for as long as it stays the same.
  std::uint64_t generation() const { return m_generation; }

 private:
  std::map<std::string, std::shared_ptr<const AddInMethod>, std::less<>> m_methods;
  std::uint64_t m_generation = 0;
};

}  // namespace quillo::host
