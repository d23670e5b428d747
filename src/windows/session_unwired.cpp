// The session of a build without the Windows platform pieces: no host can
// be connected, and core answers #NAME? as the engine does for a function
// whose method is not registered.
#include "windows/session.h"

namespace quillo::windows {

HRESULT session_connect(const void*, IDispatch* application, ext_ConnectMode, IDispatch*) {
  return application ? E_NOTIMPL : E_INVALIDARG;
}

void session_disconnect(const void*, ext_DisconnectMode) {}

bool session_connected() {
  return false;
}

HRESULT session_call(const CoreMethod&, const DISPPARAMS&, VARIANT* result) {
  if (result) {
    VariantClear(result);
    result->vt = VT_ERROR;
    result->scode = MAKE_SCODE(SEVERITY_ERROR, FACILITY_CONTROL, 2029);  // #NAME?
  }
  return S_OK;
}

}  // namespace quillo::windows
