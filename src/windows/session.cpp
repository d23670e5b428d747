// The connection of quillo.dll to its host: the platform pieces, the
// host adapter and the engine's add-in state, made on OnConnection on the
// host's user-interface thread and destroyed on OnDisconnection.
#include "windows/session.h"

#include <memory>
#include <new>
#include <string>
#include <vector>

#include "host/range.h"
#include "host/windows/excel_application.h"
#include "host/windows/message_box_messages.h"
#include "host/windows/shell_browser.h"
#include "host/windows/variant_value.h"
#include "host/windows/windows_loop.h"
#include "http/winhttp_transport.h"
#include "windows/engine_session.h"

namespace quillo::windows {

namespace {

// Warnings of the registry store go to the debugger's output: a loaded
// add-in has no console.
void debug_warning(std::string_view text) {
  const std::string line = "quillo: " + std::string(text) + "\n";
  OutputDebugStringA(line.c_str());
}

class Session {
 public:
  Session(const void* owner, IDispatch* application, IDispatch* addin_instance)
      : m_owner(owner),
        m_transport(
            m_loop,
            [this](std::function<void()> fn) { m_loop.post_from_any_thread(std::move(fn)); }),
        m_app(std::make_unique<host::win::ExcelApplication>(application)),
        m_engine(std::make_unique<EngineSession>(m_loop, m_transport, m_messages, m_browser,
                                                 &debug_warning)) {
    // Held, not otherwise used, until disconnection.
    m_addin_instance = addin_instance;
    if (m_addin_instance) m_addin_instance->AddRef();
  }

  ~Session() {
    m_engine.reset();
    m_app.reset();  // releases every host object it holds
    if (m_addin_instance) m_addin_instance->Release();
  }

  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  const void* owner() const { return m_owner; }

  // Runs the engine's connection and mirrors its menu into the host's.
  HRESULT connect(ext_ConnectMode mode) {
    if (!m_engine->connect(*m_app, static_cast<int>(mode))) return E_FAIL;
    sync_menu();
    return S_OK;
  }

  void disconnect(ext_DisconnectMode mode) {
    m_engine->disconnect(static_cast<int>(mode));
    sync_menu();  // the menu is gone from the local model: remove it from the host's
  }

  HRESULT call(const CoreMethod& m, const DISPPARAMS& params, VARIANT* result) {
    auto* app = m_app.get();
    const auto method = m_engine->engine_ready() ? app->add_in_methods().find(m.name) : nullptr;
    if (!method) return answer(Value(ErrorCode::Name), result);
    const auto wrap = [app](IDispatch* range) -> Value {
      host::RangePtr wrapped = app->wrap_range(range);
      if (!wrapped) return Value(ErrorCode::Value);
      return Value(std::shared_ptr<const RangeRef>(std::move(wrapped)));
    };
    std::vector<Value> args;
    args.reserve(params.cArgs);
    for (UINT i = params.cArgs; i-- > 0;) {
      args.push_back(host::win::value_from_variant(params.rgvarg[i], wrap));
    }
    Value answer_value;
    try {
      answer_value = host::call_method(*method, args);
    } catch (...) {
      answer_value = Value(ErrorCode::Value);  // as formulas see a failing method
    }
    return answer(answer_value, result);
  }

 private:
  void sync_menu() {
    const Status st = m_app->sync_menu();
    if (!st.ok()) debug_warning("the host's menu could not be updated: " + st.message());
  }

  static HRESULT answer(const Value& v, VARIANT* result) {
    if (!result) return S_OK;
    VariantClear(result);
    return host::win::variant_from_value(v, result, [](const host::Range& range) {
      return host::win::ExcelApplication::dispatch_of(range);
    });
  }

  const void* m_owner;
  host::WindowsLoop m_loop;
  http::WinHttpTransport m_transport;
  host::MessageBoxMessages m_messages;
  host::ShellBrowser m_browser;
  std::unique_ptr<host::win::ExcelApplication> m_app;
  std::unique_ptr<EngineSession> m_engine;
  IDispatch* m_addin_instance = nullptr;
};

// The one connection of this process (COM calls it on the host's thread).
std::unique_ptr<Session> g_session;

}  // namespace

HRESULT session_connect(const void* owner, IDispatch* application, ext_ConnectMode mode,
                        IDispatch* addin_instance) {
  if (!application) return E_INVALIDARG;
  if (g_session) return g_session->owner() == owner ? S_OK : E_UNEXPECTED;
  try {
    g_session = std::make_unique<Session>(owner, application, addin_instance);
    const HRESULT hr = g_session->connect(mode);
    if (FAILED(hr)) g_session.reset();
    return hr;
  } catch (const std::bad_alloc&) {
    g_session.reset();
    return E_OUTOFMEMORY;
  } catch (...) {
    g_session.reset();
    return E_FAIL;
  }
}

void session_disconnect(const void* owner, ext_DisconnectMode mode) {
  if (!g_session || g_session->owner() != owner) return;
  try {
    g_session->disconnect(mode);
  } catch (...) {
    // The pieces still go below; a host shutting down cannot be answered.
  }
  g_session.reset();
}

bool session_connected() {
  return g_session != nullptr;
}

HRESULT session_call(const CoreMethod& method, const DISPPARAMS& params, VARIANT* result) {
  if (!g_session) {
    if (!result) return S_OK;
    VariantClear(result);
    return host::win::variant_from_value(Value(ErrorCode::Name), result);
  }
  try {
    return g_session->call(method, params, result);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_FAIL;
  }
}

}  // namespace quillo::windows
