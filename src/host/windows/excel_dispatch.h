// Late binding: calling a host object's members by name through IDispatch,
// with positional arguments, and turning the host's failures into Status.
// Used by the Excel adapter; the host's user-interface thread only.
#pragma once

// windows.h first: the COM headers rely on what it declares.
#include <windows.h>

#include <oaidl.h>

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "common/status.h"

namespace quillo::host::win {

// An owned reference to a COM object: released on destruction.
template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  // Takes over a reference the caller already holds.
  static ComPtr adopt(T* p) {
    ComPtr c;
    c.m_p = p;
    return c;
  }
  // Adds a reference of its own.
  static ComPtr share(T* p) {
    if (p) p->AddRef();
    return adopt(p);
  }
  ComPtr(const ComPtr& o) : m_p(o.m_p) {
    if (m_p) m_p->AddRef();
  }
  ComPtr(ComPtr&& o) noexcept : m_p(o.m_p) { o.m_p = nullptr; }
  ComPtr& operator=(ComPtr o) noexcept {
    std::swap(m_p, o.m_p);
    return *this;
  }
  ~ComPtr() { reset(); }

  void reset() {
    if (m_p) std::exchange(m_p, nullptr)->Release();
  }
  T* get() const { return m_p; }
  T* operator->() const { return m_p; }
  explicit operator bool() const { return m_p != nullptr; }
  // A new reference for a caller that will release it.
  T* add_ref() const {
    if (m_p) m_p->AddRef();
    return m_p;
  }

 private:
  T* m_p = nullptr;
};

using Dispatch = ComPtr<IDispatch>;

// A VARIANT that owns what it holds.
class Variant {
 public:
  Variant() { VariantInit(&m_v); }
  Variant(std::int32_t i);
  Variant(double d);
  Variant(bool b);
  Variant(std::string_view text);
  Variant(const char* text) : Variant(std::string_view(text)) {}
  Variant(IDispatch* object);  // AddRef's it
  static Variant missing();    // an omitted optional argument
  Variant(const Variant& o);
  Variant(Variant&& o) noexcept;
  Variant& operator=(Variant o) noexcept;
  ~Variant() { VariantClear(&m_v); }

  const VARIANT& get() const { return m_v; }
  VARIANT* put() {  // empties it first, for an [out] parameter
    VariantClear(&m_v);
    return &m_v;
  }
  VARTYPE type() const { return m_v.vt; }
  // The object it holds (following VT_BYREF), AddRef'd; empty when none.
  Dispatch object() const;
  bool is_nothing() const;  // Empty, Null or a null object
  Result<std::int32_t> to_int() const;
  Result<bool> to_bool() const;
  Result<double> to_double() const;
  Result<std::string> to_text() const;

 private:
  VARIANT m_v;
};

// Calls member name of object: a method or property get (DISPATCH_METHOD |
// DISPATCH_PROPERTYGET), with positional arguments in their declared order.
// A failure answers ObjectRequired for the object model's "object required"
// (424) or a null object, NotSupported for an unknown member, OutOfRange for
// a bad index, and OperationFailed with the host's description otherwise.
Result<Variant> call(IDispatch* object, std::string_view name,
                     std::initializer_list<Variant> args = {});
// The same with the arguments in a sequence built at run time.
Result<Variant> call_with(IDispatch* object, std::string_view name, std::span<const Variant> args);
// Sets property name (DISPATCH_PROPERTYPUT), with its index arguments first.
Status put(IDispatch* object, std::string_view name, const Variant& value,
           std::initializer_list<Variant> index = {});
// A member's answer as an object; Nothing fails with ObjectRequired.
Result<Dispatch> call_object(IDispatch* object, std::string_view name,
                             std::initializer_list<Variant> args = {});

}  // namespace quillo::host::win
