// quillo.core: the function library's methods, called late-bound by name
// with the library's arguments (the calling cell last).
#include "windows/com_objects.h"
#include "windows/core_methods.h"
#include "windows/session.h"

namespace quillo::windows {

HRESULT check_call(WORD flags, const DISPPARAMS* params) {
  if (!params) return E_INVALIDARG;
  if ((flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET)) == 0) return DISP_E_MEMBERNOTFOUND;
  if (params->cNamedArgs != 0) return DISP_E_NONAMEDARGS;
  if (params->cArgs != 0 && !params->rgvarg) return E_INVALIDARG;
  return S_OK;
}

namespace {

class CoreObject final : public DispatchObject<IDispatch> {
 public:
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) override {
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    if (!names || !ids || count == 0) return E_INVALIDARG;
    // Only the method's name: its arguments are positional.
    HRESULT hr = S_OK;
    const CoreMethod* m = names[0] ? find_core_method(std::wstring_view(names[0])) : nullptr;
    ids[0] = m ? m->id : DISPID_UNKNOWN;
    if (!m) hr = DISP_E_UNKNOWNNAME;
    for (UINT i = 1; i < count; ++i) {
      ids[i] = DISPID_UNKNOWN;
      hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
  }

  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO*, UINT*) override {
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    const CoreMethod* m = find_core_method(id);
    if (!m) return DISP_E_MEMBERNOTFOUND;
    if (HRESULT hr = check_call(flags, params); FAILED(hr)) return hr;
    if (params->cArgs != m->arguments) return DISP_E_BADPARAMCOUNT;
    return session_call(*m, *params, result);
  }
};

class EventsObject final : public DispatchObject<IDispatch> {
 public:
  // No members of its own: the host's events reach the engine through the
  // connection's sinks.
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR*, UINT count, LCID,
                                          DISPID* ids) override {
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    if (!ids) return E_INVALIDARG;
    for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
    return DISP_E_UNKNOWNNAME;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID riid, LCID, WORD, DISPPARAMS*, VARIANT*,
                                   EXCEPINFO*, UINT*) override {
    return riid != IID_NULL ? DISP_E_UNKNOWNINTERFACE : DISP_E_MEMBERNOTFOUND;
  }
};

}  // namespace

HRESULT make_core(REFIID riid, void** out) {
  return make_object<CoreObject>(riid, out);
}
HRESULT make_events(REFIID riid, void** out) {
  return make_object<EventsObject>(riid, out);
}

}  // namespace quillo::windows
