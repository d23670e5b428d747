// The add-in's run-time pieces while a host is connected: one connection
// per process (the engine binds to one host), made by the Connectexcel
// object that connected it and ended by it.
#pragma once

#include <windows.h>

#include "quillo_h.h"
#include "windows/core_methods.h"

namespace quillo::windows {

// Connects the host's Application for owner (the Connectexcel object).
// E_INVALIDARG without an application; E_UNEXPECTED while another owner is
// connected; the failure of a piece that could not be made otherwise.
HRESULT session_connect(const void* owner, IDispatch* application, ext_ConnectMode mode,
                        IDispatch* addin_instance);
// Ends owner's connection (nothing when owner has none): the engine's
// disconnection, the menu removed, every host object released.
void session_disconnect(const void* owner, ext_DisconnectMode mode);
bool session_connected();

// Calls a core method with the arguments of a late-bound call (in
// IDispatch's reversed order, count already checked) and writes the
// answer into result (may be null). Without a connection the answer is
// the engine's for an unknown function (#NAME?).
HRESULT session_call(const CoreMethod& method, const DISPPARAMS& params, VARIANT* result);

}  // namespace quillo::windows
