// The COM classes of quillo.dll and what they share: a reference-counted
// IDispatch base, and the functions the class factories make them with.
//
// Connectexcel is the connection the host loads (IDTExtensibility2); core
// answers the function library's worksheet functions late-bound by name;
// CExcelEvents is creatable for the host's event wiring. Apartment
// threaded: every call arrives on the thread that created the object.
#pragma once

#include <windows.h>

#include <atomic>
#include <new>

#include "quillo_h.h"
#include "windows/module.h"

namespace quillo::windows {

// IUnknown for an object that answers through one IDispatch-derived
// interface I (and IDispatch, and IUnknown); counted in the module.
template <class I>
class DispatchObject : public I, private ModuleObject {
 public:
  virtual ~DispatchObject() = default;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == __uuidof(I)) {
      *out = static_cast<I*>(this);
      this->AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --m_refs;
    if (left == 0) delete this;
    return left;
  }
  // No type information: callers bind by name through GetIDsOfNames.
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
    if (info) *info = nullptr;
    return DISP_E_BADINDEX;
  }

 private:
  std::atomic<ULONG> m_refs{0};
};

// Makes an object of class T and hands out the interface riid (the object
// goes away again when it has no such interface).
template <class T>
HRESULT make_object(REFIID riid, void** out) {
  T* object = new (std::nothrow) T();
  if (!object) return E_OUTOFMEMORY;
  object->AddRef();
  const HRESULT hr = object->QueryInterface(riid, out);
  object->Release();
  return hr;
}

HRESULT make_connectexcel(REFIID riid, void** out);
HRESULT make_core(REFIID riid, void** out);
HRESULT make_events(REFIID riid, void** out);

// The parts of a COM call both IDispatch implementations check the same
// way: positional arguments only, a method or property-get call.
HRESULT check_call(WORD flags, const DISPPARAMS* params);

}  // namespace quillo::windows
