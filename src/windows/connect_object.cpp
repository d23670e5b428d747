// quillo.Connectexcel: the connection the host loads through
// IDTExtensibility2 (early-bound, or late-bound through its IDispatch).
#include <cwchar>
#include <string_view>

#include "windows/com_objects.h"
#include "windows/session.h"

namespace quillo::windows {

namespace {

constexpr std::wstring_view kMemberNames[] = {L"OnConnection", L"OnDisconnection",
                                              L"OnAddInsUpdate", L"OnStartupComplete",
                                              L"OnBeginShutdown"};

// A late-bound argument as a long (the connect and disconnect modes).
HRESULT long_argument(VARIANT& arg, LONG* out) {
  VARIANT v;
  VariantInit(&v);
  const HRESULT hr = VariantChangeType(&v, &arg, 0, VT_I4);
  if (SUCCEEDED(hr)) *out = v.lVal;
  VariantClear(&v);
  return hr;
}

// A late-bound argument as an object (null for Nothing or Empty).
HRESULT object_argument(VARIANT& arg, IDispatch** out) {
  VARIANT* v = &arg;
  if (v->vt == (VT_BYREF | VT_VARIANT) && v->pvarVal) v = v->pvarVal;
  switch (v->vt) {
    case VT_DISPATCH:
      *out = v->pdispVal;
      return S_OK;
    case VT_DISPATCH | VT_BYREF:
      *out = v->ppdispVal ? *v->ppdispVal : nullptr;
      return S_OK;
    case VT_EMPTY:
    case VT_NULL:
      *out = nullptr;
      return S_OK;
    default:
      return DISP_E_TYPEMISMATCH;
  }
}

class ConnectObject final : public DispatchObject<IDTExtensibility2> {
 public:
  ~ConnectObject() override {
    // A host that lets go without disconnecting still stops the add-in.
    session_disconnect(this, ext_dm_HostShutdown);
  }

  HRESULT STDMETHODCALLTYPE OnConnection(IDispatch* application, ext_ConnectMode mode,
                                         IDispatch* addin_instance, SAFEARRAY**) override {
    return session_connect(this, application, mode, addin_instance);
  }
  HRESULT STDMETHODCALLTYPE OnDisconnection(ext_DisconnectMode mode, SAFEARRAY**) override {
    session_disconnect(this, mode);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnAddInsUpdate(SAFEARRAY**) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnStartupComplete(SAFEARRAY**) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnBeginShutdown(SAFEARRAY**) override { return S_OK; }

  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) override {
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    if (!names || !ids || count == 0) return E_INVALIDARG;
    HRESULT hr = S_OK;
    for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
    for (DISPID id = 1; id <= 5; ++id) {
      if (names[0] && _wcsicmp(names[0], kMemberNames[id - 1].data()) == 0) ids[0] = id;
    }
    if (ids[0] == DISPID_UNKNOWN || count > 1) hr = DISP_E_UNKNOWNNAME;
    return hr;
  }

  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO*, UINT* arg_err) override {
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    if (id < 1 || id > 5) return DISP_E_MEMBERNOTFOUND;
    if (HRESULT hr = check_call(flags, params); FAILED(hr)) return hr;
    // Arguments arrive last first; custom (the last one) is not used.
    const UINT wanted = id == 1 ? 4 : id == 2 ? 2 : 1;
    if (params->cArgs != wanted) return DISP_E_BADPARAMCOUNT;
    VARIANT* args = params->rgvarg;
    auto failed = [arg_err](HRESULT hr, UINT position) {
      if (arg_err) *arg_err = position;
      return hr;
    };
    if (result) VariantInit(result);
    switch (id) {
      case 1: {
        IDispatch* application = nullptr;
        IDispatch* instance = nullptr;
        LONG mode = 0;
        if (HRESULT hr = object_argument(args[3], &application); FAILED(hr)) return failed(hr, 3);
        if (HRESULT hr = long_argument(args[2], &mode); FAILED(hr)) return failed(hr, 2);
        if (HRESULT hr = object_argument(args[1], &instance); FAILED(hr)) return failed(hr, 1);
        return OnConnection(application, static_cast<ext_ConnectMode>(mode), instance, nullptr);
      }
      case 2: {
        LONG mode = 0;
        if (HRESULT hr = long_argument(args[1], &mode); FAILED(hr)) return failed(hr, 1);
        return OnDisconnection(static_cast<ext_DisconnectMode>(mode), nullptr);
      }
      default:
        return S_OK;  // the three notifications need nothing
    }
  }
};

}  // namespace

HRESULT make_connectexcel(REFIID riid, void** out) {
  return make_object<ConnectObject>(riid, out);
}

}  // namespace quillo::windows
