// The machinery of the stand-in's hand-written IDispatch objects: a member
// table per object (names compared ignoring letter case, DISPID = position
// in the table + 1), positional arguments, failures reported the way the
// host reports them (DISP_E_EXCEPTION with EXCEPINFO), and connection points
// for events. Its VARIANT <-> Value conversion is its own, independent of the
// add-in's, so tests through the stand-in catch the add-in's mistakes.
#pragma once

#include <windows.h>

#include <ocidl.h>
#include <oleauto.h>
#include <olectl.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/status.h"
#include "common/value.h"
#include "host/range.h"

namespace quillo::standin {

// The host's "object required" error, answered for handles on closed
// workbooks, deleted sheets and deleted controls.
inline constexpr HRESULT kObjectRequired = static_cast<HRESULT>(0x800A01A8);

// A failed member call: either a plain dispatch error (hr, with the index
// of the argument at fault for type mismatches) or an exception with scode.
struct DispError {
  HRESULT hr = DISP_E_EXCEPTION;
  HRESULT scode = E_FAIL;
  std::string text;
  UINT arg = 0;  // for DISP_E_TYPEMISMATCH: position counted as rgvarg counts
};
[[noreturn]] void fail(const Status& status);
[[noreturn]] void fail(std::string text);
// The value of a Result, or the call fails with its status.
template <typename T>
T check(Result<T> r) {
  if (!r.ok()) fail(r.status());
  return std::move(r).value();
}
inline void check(const Status& s) {
  if (!s.ok()) fail(s);
}

std::string utf8(const wchar_t* w, int size = -1);
std::wstring wide(std::string_view s);
BSTR bstr(std::string_view s);

// A reference-counted pointer to a COM object.
template <typename T>
class Ref {
 public:
  Ref() = default;
  explicit Ref(T* p, bool add_ref = true) : m_p(p) {
    if (m_p && add_ref) m_p->AddRef();
  }
  Ref(const Ref& o) : Ref(o.m_p) {}
  Ref(Ref&& o) noexcept : m_p(std::exchange(o.m_p, nullptr)) {}
  Ref& operator=(Ref o) {
    std::swap(m_p, o.m_p);
    return *this;
  }
  ~Ref() {
    if (m_p) m_p->Release();
  }
  T* get() const { return m_p; }
  T* operator->() const { return m_p; }
  T& operator*() const { return *m_p; }
  explicit operator bool() const { return m_p != nullptr; }
  T* detach() { return std::exchange(m_p, nullptr); }

 private:
  T* m_p = nullptr;
};

// The positional arguments of one call, in the order they are written.
class Args {
 public:
  Args(const DISPPARAMS& params, UINT count) : m_params(params), m_count(count) {}
  UINT size() const { return m_count; }
  // The i-th argument (0-based), by-reference variants followed.
  const VARIANT& at(UINT i) const;
  // Whether the i-th argument was written (not omitted, not empty).
  bool given(UINT i) const;
  std::int32_t i32(UINT i, std::int32_t fallback = 0) const;
  bool flag(UINT i, bool fallback = false) const;
  std::string text(UINT i) const;
  [[noreturn]] void mismatch(UINT i) const;

 private:
  const DISPPARAMS& m_params;
  UINT m_count;
};

// Result writers.
void put_i4(VARIANT* out, std::int32_t v);
void put_bool(VARIANT* out, bool v);
void put_text(VARIANT* out, std::string_view v);
void put_object(VARIANT* out, IDispatch* object);  // takes ownership of one reference

// VARIANT <-> Value. Ranges travel as the stand-in's Range objects; a Range
// IDispatch from elsewhere reads as #VALUE!.
class StandinApp;
Value value_from_variant(const VARIANT& v);
void variant_from_value(StandinApp& app, const Value& v, VARIANT* out);

struct Member {
  using Get = std::function<void(Args&, VARIANT*)>;
  using Put = std::function<void(Args&, const VARIANT&)>;
  Member(const wchar_t* member_name, UINT min, UINT max, Get getter, Put setter = nullptr)
      : name(member_name),
        min_args(min),
        max_args(max),
        get(std::move(getter)),
        put(std::move(setter)) {}
  const wchar_t* name;
  UINT min_args;
  UINT max_args;
  Get get;  // property get or method
  Put put;  // null: read-only
};

// The sinks advised on one event interface; shared between every wrapper
// object of the same host object.
class SinkList {
 public:
  ~SinkList();
  DWORD add(IDispatch* sink);  // AddRef's
  bool remove(DWORD cookie);
  void clear();
  // Invokes dispid on every sink with args (written order).
  void raise(DISPID dispid, std::vector<VARIANT>& args);

 private:
  std::map<DWORD, IDispatch*> m_sinks;
  DWORD m_next = 1;
};

class Dispatch : public IDispatch, public IConnectionPointContainer {
 public:
  Dispatch(const Dispatch&) = delete;
  Dispatch& operator=(const Dispatch&) = delete;

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  // IDispatch
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* info, UINT* arg_err) override;
  // IConnectionPointContainer (answered only by objects that raise events)
  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** out) override;
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** out) override;

  // Objects that are Range wrappers answer their range.
  virtual host::RangePtr as_range() { return nullptr; }

 protected:
  Dispatch() = default;
  virtual ~Dispatch() = default;
  void members(std::vector<Member> table, const wchar_t* default_member = nullptr);
  void events(const IID& iid, std::shared_ptr<SinkList> sinks);

 private:
  ULONG m_refs = 1;
  std::vector<Member> m_members;
  DISPID m_default = DISPID_UNKNOWN;
  IID m_event_iid{};
  std::shared_ptr<SinkList> m_sinks;
};

// The stand-in object behind an IDispatch, when it is one of ours.
Dispatch* ours(IDispatch* d);

}  // namespace quillo::standin
