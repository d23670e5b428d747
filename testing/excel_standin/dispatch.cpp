#include "dispatch.h"

#include <cwctype>

namespace quillo::standin {

namespace {

// Answered by QueryInterface on our own objects only, so a Range IDispatch
// handed back to the stand-in can be recognised as one of ours.
const IID kOurObject = {
    0x6b1f3c52, 0x2d4e, 0x4a8b, {0x9c, 0x11, 0x5e, 0x7a, 0x30, 0x42, 0xd8, 0x19}};

bool same_name(const wchar_t* a, const wchar_t* b) {
  for (; *a && *b; ++a, ++b) {
    if (std::towlower(*a) != std::towlower(*b)) return false;
  }
  return *a == *b;
}

HRESULT scode_of(const Status& s) {
  if (s.is_object_required()) return kObjectRequired;
  return static_cast<HRESULT>(0x800A0000u | static_cast<std::uint32_t>(s.number() & 0xFFFF));
}

class ConnectionPoint final : public IConnectionPoint {
 public:
  ConnectionPoint(IConnectionPointContainer* owner, const IID& iid, std::shared_ptr<SinkList> sinks)
      : m_owner(owner), m_iid(iid), m_sinks(std::move(sinks)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IConnectionPoint) {
      *out = static_cast<IConnectionPoint*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG n = --m_refs;
    if (n == 0) delete this;
    return n;
  }
  HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override {
    if (!iid) return E_POINTER;
    *iid = m_iid;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** out) override {
    if (!out) return E_POINTER;
    *out = m_owner.get();
    m_owner->AddRef();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override {
    if (!sink || !cookie) return E_POINTER;
    IDispatch* d = nullptr;
    if (FAILED(sink->QueryInterface(m_iid, reinterpret_cast<void**>(&d))) &&
        FAILED(sink->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&d)))) {
      return CONNECT_E_CANNOTCONNECT;
    }
    *cookie = m_sinks->add(d);
    d->Release();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override {
    return m_sinks->remove(cookie) ? S_OK : CONNECT_E_NOCONNECTION;
  }
  HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** out) override {
    if (out) *out = nullptr;
    return E_NOTIMPL;
  }

 private:
  ~ConnectionPoint() = default;
  ULONG m_refs = 1;
  Ref<IConnectionPointContainer> m_owner;
  IID m_iid;
  std::shared_ptr<SinkList> m_sinks;
};

}  // namespace

void fail(const Status& status) {
  throw DispError{DISP_E_EXCEPTION, scode_of(status), status.message(), 0};
}
void fail(std::string text) {
  fail(Status::failed(std::move(text)));
}

std::string utf8(const wchar_t* w, int size) {
  if (!w) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, w, size, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return {};
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w, size, out.data(), n, nullptr, nullptr);
  if (size < 0 && !out.empty()) out.pop_back();  // the terminator
  return out;
}

std::wstring wide(std::string_view s) {
  if (s.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n);
  return out;
}

BSTR bstr(std::string_view s) {
  const std::wstring w = wide(s);
  return SysAllocStringLen(w.data(), static_cast<UINT>(w.size()));
}

// ---- Args ----

const VARIANT& Args::at(UINT i) const {
  const VARIANT* v = &m_params.rgvarg[m_params.cArgs - 1 - i];
  while (V_VT(v) == (VT_BYREF | VT_VARIANT) && V_VARIANTREF(v)) v = V_VARIANTREF(v);
  return *v;
}

bool Args::given(UINT i) const {
  if (i >= m_count) return false;
  const VARIANT& v = at(i);
  if (V_VT(&v) == VT_EMPTY) return false;
  return !(V_VT(&v) == VT_ERROR && V_ERROR(&v) == DISP_E_PARAMNOTFOUND);
}

void Args::mismatch(UINT i) const {
  throw DispError{DISP_E_TYPEMISMATCH, DISP_E_TYPEMISMATCH, "type mismatch",
                  m_params.cArgs - 1 - i};
}

std::int32_t Args::i32(UINT i, std::int32_t fallback) const {
  if (!given(i)) return fallback;
  VARIANT c;
  VariantInit(&c);
  if (FAILED(VariantChangeType(&c, const_cast<VARIANT*>(&at(i)), 0, VT_I4))) mismatch(i);
  return V_I4(&c);
}

bool Args::flag(UINT i, bool fallback) const {
  if (!given(i)) return fallback;
  VARIANT c;
  VariantInit(&c);
  if (FAILED(VariantChangeType(&c, const_cast<VARIANT*>(&at(i)), 0, VT_BOOL))) mismatch(i);
  return V_BOOL(&c) != VARIANT_FALSE;
}

std::string Args::text(UINT i) const {
  if (!given(i)) return {};
  VARIANT c;
  VariantInit(&c);
  if (FAILED(VariantChangeType(&c, const_cast<VARIANT*>(&at(i)), 0, VT_BSTR))) mismatch(i);
  std::string out = utf8(V_BSTR(&c), static_cast<int>(SysStringLen(V_BSTR(&c))));
  VariantClear(&c);
  return out;
}

void put_i4(VARIANT* out, std::int32_t v) {
  if (!out) return;
  V_VT(out) = VT_I4;
  V_I4(out) = v;
}
void put_bool(VARIANT* out, bool v) {
  if (!out) return;
  V_VT(out) = VT_BOOL;
  V_BOOL(out) = v ? VARIANT_TRUE : VARIANT_FALSE;
}
void put_text(VARIANT* out, std::string_view v) {
  if (!out) return;
  V_VT(out) = VT_BSTR;
  V_BSTR(out) = bstr(v);
}
void put_object(VARIANT* out, IDispatch* object) {
  if (!out) {
    if (object) object->Release();
    return;
  }
  V_VT(out) = VT_DISPATCH;
  V_DISPATCH(out) = object;
}

// ---- SinkList ----

SinkList::~SinkList() {
  clear();
}

DWORD SinkList::add(IDispatch* sink) {
  sink->AddRef();
  m_sinks.emplace(m_next, sink);
  return m_next++;
}

bool SinkList::remove(DWORD cookie) {
  auto it = m_sinks.find(cookie);
  if (it == m_sinks.end()) return false;
  IDispatch* sink = it->second;
  m_sinks.erase(it);
  sink->Release();
  return true;
}

void SinkList::clear() {
  auto sinks = std::move(m_sinks);
  m_sinks.clear();
  for (auto& [cookie, sink] : sinks) sink->Release();
}

void SinkList::raise(DISPID dispid, std::vector<VARIANT>& args) {
  // A sink may unadvise (or advise others) while it runs: call a copy.
  std::vector<Ref<IDispatch>> sinks;
  for (auto& [cookie, sink] : m_sinks) sinks.emplace_back(sink);
  std::vector<VARIANT> reversed(args.rbegin(), args.rend());
  DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
  for (auto& sink : sinks) {
    VARIANT result;
    VariantInit(&result);
    sink->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result, nullptr,
                 nullptr);
    VariantClear(&result);
  }
}

// ---- Dispatch ----

void Dispatch::members(std::vector<Member> table, const wchar_t* default_member) {
  m_members = std::move(table);
  for (std::size_t i = 0; default_member && i < m_members.size(); ++i) {
    if (same_name(m_members[i].name, default_member)) m_default = static_cast<DISPID>(i + 1);
  }
}

void Dispatch::events(const IID& iid, std::shared_ptr<SinkList> sinks) {
  m_event_iid = iid;
  m_sinks = std::move(sinks);
}

HRESULT Dispatch::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (iid == IID_IUnknown || iid == IID_IDispatch) {
    *out = static_cast<IDispatch*>(this);
  } else if (iid == IID_IConnectionPointContainer && m_sinks) {
    *out = static_cast<IConnectionPointContainer*>(this);
  } else if (iid == kOurObject) {
    *out = this;
  } else {
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

ULONG Dispatch::AddRef() {
  return ++m_refs;
}

ULONG Dispatch::Release() {
  const ULONG n = --m_refs;
  if (n == 0) delete this;
  return n;
}

HRESULT Dispatch::GetTypeInfoCount(UINT* count) {
  if (!count) return E_POINTER;
  *count = 0;
  return S_OK;
}

HRESULT Dispatch::GetTypeInfo(UINT, LCID, ITypeInfo** out) {
  if (out) *out = nullptr;
  return DISP_E_BADINDEX;
}

HRESULT Dispatch::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  if (!names || !ids || count == 0) return E_POINTER;
  for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
  for (std::size_t i = 0; i < m_members.size(); ++i) {
    if (names[0] && same_name(m_members[i].name, names[0])) {
      ids[0] = static_cast<DISPID>(i + 1);
      // Named arguments are not supported: positional only.
      return count == 1 ? S_OK : DISP_E_UNKNOWNNAME;
    }
  }
  return DISP_E_UNKNOWNNAME;
}

HRESULT Dispatch::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                         EXCEPINFO* info, UINT* arg_err) {
  if (id == DISPID_VALUE) id = m_default;
  if (id < 1 || static_cast<std::size_t>(id) > m_members.size()) return DISP_E_MEMBERNOTFOUND;
  const Member& m = m_members[static_cast<std::size_t>(id - 1)];
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  if (!params) params = &none;
  const bool put = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
  UINT named_ok = 0;
  if (put && params->cNamedArgs == 1 && params->rgdispidNamedArgs[0] == DISPID_PROPERTYPUT) {
    named_ok = 1;
  }
  if (params->cNamedArgs != named_ok) return DISP_E_NONAMEDARGS;
  if (put && params->cArgs == 0) return DISP_E_BADPARAMCOUNT;
  const UINT positional = put ? params->cArgs - 1 : params->cArgs;
  if (put ? !m.put : !m.get) return DISP_E_MEMBERNOTFOUND;
  if (positional < m.min_args || positional > m.max_args) return DISP_E_BADPARAMCOUNT;
  if (result) VariantInit(result);

  // Put's value is rgvarg[0]; the positional arguments come after it.
  DISPPARAMS shifted = *params;
  if (put) {
    shifted.rgvarg = params->rgvarg + 1;
    shifted.cArgs = positional;
  }
  Args args(shifted, positional);
  try {
    if (put) {
      const VARIANT* value = &params->rgvarg[0];
      while (V_VT(value) == (VT_BYREF | VT_VARIANT) && V_VARIANTREF(value)) {
        value = V_VARIANTREF(value);
      }
      m.put(args, *value);
    } else {
      VARIANT scratch;
      VariantInit(&scratch);
      m.get(args, result ? result : &scratch);
      VariantClear(&scratch);
    }
    return S_OK;
  } catch (const DispError& e) {
    if (result) VariantClear(result);
    if (e.hr == DISP_E_TYPEMISMATCH) {
      if (arg_err) *arg_err = e.arg + (put ? 1 : 0);
      return e.hr;
    }
    if (e.hr != DISP_E_EXCEPTION) return e.hr;
    if (info) {
      *info = EXCEPINFO{};
      info->bstrSource = SysAllocString(L"Microsoft Excel");
      info->bstrDescription = bstr(e.text);
      info->scode = e.scode;
    }
    return DISP_E_EXCEPTION;
  } catch (const std::exception& e) {
    if (result) VariantClear(result);
    if (info) {
      *info = EXCEPINFO{};
      info->bstrDescription = bstr(e.what());
      info->scode = E_FAIL;
    }
    return DISP_E_EXCEPTION;
  }
}

HRESULT Dispatch::EnumConnectionPoints(IEnumConnectionPoints** out) {
  if (out) *out = nullptr;
  return E_NOTIMPL;
}

HRESULT Dispatch::FindConnectionPoint(REFIID iid, IConnectionPoint** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!m_sinks || iid != m_event_iid) return CONNECT_E_NOCONNECTION;
  *out = new ConnectionPoint(this, m_event_iid, m_sinks);
  return S_OK;
}

Dispatch* ours(IDispatch* d) {
  if (!d) return nullptr;
  void* p = nullptr;
  if (FAILED(d->QueryInterface(kOurObject, &p)) || !p) return nullptr;
  auto* obj = static_cast<Dispatch*>(p);
  obj->Release();  // the caller holds d, which keeps it alive
  return obj;
}

}  // namespace quillo::standin
