// Late-bound calls for tests: a member by name, positional arguments, the
// answer and the exception's scode.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <oleauto.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "dispatch.h"

namespace quillo::standin::client {

// An owned VARIANT.
struct Var {
  VARIANT v;
  Var() { VariantInit(&v); }
  Var(int i) : Var() {
    V_VT(&v) = VT_I4;
    V_I4(&v) = i;
  }
  Var(double d) : Var() {
    V_VT(&v) = VT_R8;
    V_R8(&v) = d;
  }
  Var(bool b) : Var() { put_bool(&v, b); }
  Var(const wchar_t* s) : Var() {
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = SysAllocString(s);
  }
  Var(IDispatch* d) : Var() {
    V_VT(&v) = VT_DISPATCH;
    V_DISPATCH(&v) = d;
    if (d) d->AddRef();
  }
  Var(const Var& o) : Var() { VariantCopy(&v, const_cast<VARIANT*>(&o.v)); }
  Var& operator=(const Var& o) {
    if (this != &o) VariantCopy(&v, const_cast<VARIANT*>(&o.v));
    return *this;
  }
  ~Var() { VariantClear(&v); }
  static Var missing() {
    Var m;
    V_VT(&m.v) = VT_ERROR;
    V_ERROR(&m.v) = DISP_E_PARAMNOTFOUND;
    return m;
  }
  std::string text() const {
    return V_VT(&v) == VT_BSTR ? utf8(V_BSTR(&v), static_cast<int>(SysStringLen(V_BSTR(&v)))) : "";
  }
  double number() const {
    VARIANT c;
    VariantInit(&c);
    return SUCCEEDED(VariantChangeType(&c, const_cast<VARIANT*>(&v), 0, VT_R8)) ? V_R8(&c) : -1e300;
  }
  IDispatch* object() const { return V_VT(&v) == VT_DISPATCH ? V_DISPATCH(&v) : nullptr; }
  VARTYPE type() const { return V_VT(&v); }
  bool truth() const { return V_VT(&v) == VT_BOOL && V_BOOL(&v) != VARIANT_FALSE; }
};

struct Reply {
  HRESULT hr = E_FAIL;
  Var value;
  HRESULT scode = S_OK;  // EXCEPINFO's, for DISP_E_EXCEPTION
};

inline Reply invoke(IDispatch* obj, const wchar_t* name, WORD flags, std::vector<Var> args,
                    const Var* put_value = nullptr) {
  Reply r;
  if (!obj) return r;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  DISPID id = DISPID_UNKNOWN;
  r.hr = obj->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(r.hr)) return r;
  std::vector<VARIANT> raw;
  if (put_value) raw.push_back(put_value->v);
  for (auto it = args.rbegin(); it != args.rend(); ++it) raw.push_back(it->v);
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS params{raw.data(), put_value ? &named : nullptr, static_cast<UINT>(raw.size()),
                    put_value ? 1u : 0u};
  EXCEPINFO info{};
  UINT arg_err = 0;
  r.hr =
      obj->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, &r.value.v, &info, &arg_err);
  r.scode = info.scode;
  SysFreeString(info.bstrSource);
  SysFreeString(info.bstrDescription);
  SysFreeString(info.bstrHelpFile);
  return r;
}

inline Reply get(IDispatch* obj, const wchar_t* name, std::vector<Var> args = {}) {
  return invoke(obj, name, DISPATCH_METHOD | DISPATCH_PROPERTYGET, std::move(args));
}
inline HRESULT put(IDispatch* obj, const wchar_t* name, const Var& value,
                   std::vector<Var> args = {}) {
  return invoke(obj, name, DISPATCH_PROPERTYPUT, std::move(args), &value).hr;
}
// A member that answers an object; null (and a test failure) when it does not.
inline Ref<IDispatch> object(IDispatch* obj, const wchar_t* name, std::vector<Var> args = {}) {
  Reply r = get(obj, name, std::move(args));
  EXPECT_EQ(r.hr, S_OK) << "member " << utf8(name) << " scode " << std::hex << r.scode;
  return Ref<IDispatch>(r.value.object());
}

// An event sink that records each call it gets: the DISPID and its arguments.
class RecordingSink : public IDispatch {
 public:
  explicit RecordingSink(IID iid) : m_iid(iid) {}
  struct Call {
    DISPID id;
    std::vector<Var> args;  // written order
  };
  std::vector<Call> calls;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == m_iid) {
      *out = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }  // lives on the test's stack
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override {
    *n = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return DISP_E_UNKNOWNNAME;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* p, VARIANT*,
                                   EXCEPINFO*, UINT*) override {
    Call c{id, {}};
    for (UINT i = p->cArgs; i-- > 0;) {
      Var a;
      if (V_VT(&p->rgvarg[i]) & VT_BYREF) {
        V_VT(&a.v) = V_VT(&p->rgvarg[i]);  // by-reference arguments: the type alone
      } else {
        VariantCopy(&a.v, &p->rgvarg[i]);
      }
      c.args.push_back(a);
    }
    calls.push_back(std::move(c));
    return S_OK;
  }
  ULONG refs = 0;

 private:
  IID m_iid;
};

// Advises sink on obj's connection point for iid; answers the cookie (0 on failure).
inline DWORD advise(IDispatch* obj, const IID& iid, IUnknown* sink, Ref<IConnectionPoint>& cp) {
  IConnectionPointContainer* cpc = nullptr;
  if (FAILED(obj->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&cpc)))) {
    return 0;
  }
  IConnectionPoint* point = nullptr;
  const HRESULT hr = cpc->FindConnectionPoint(iid, &point);
  cpc->Release();
  if (FAILED(hr)) return 0;
  cp = Ref<IConnectionPoint>(point, false);
  DWORD cookie = 0;
  return SUCCEEDED(point->Advise(sink, &cookie)) ? cookie : 0;
}

}  // namespace quillo::standin::client
