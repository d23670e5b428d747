// The connection of quillo.dll to its host: the platform pieces, the
// host adapter and the engine's add-in state, made on OnConnection on the
// host's user-interface thread and destroyed on OnDisconnection.
#include "windows/session.h"

#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "addin/Connectexcel.h"
#include "addin/dataload.h"
#include "addin/modRegistry.h"
#include "host/object_factory.h"
#include "host/process.h"
#include "host/range.h"
#include "host/windows/excel_application.h"
#include "host/windows/message_box_messages.h"
#include "host/windows/shell_browser.h"
#include "host/windows/variant_value.h"
#include "host/windows/windows_loop.h"
#include "http/winhttp_transport.h"

namespace quillo::windows {

namespace {

// Warnings of the registry store go to the debugger's output: a loaded
// add-in has no console.
void debug_warning(std::string_view text) {
  const std::string line = "quillo: " + std::string(text) + "\n";
  OutputDebugStringA(line.c_str());
}

// The data files ship in data\ beside the DLL; a folder holding them
// directly beside the DLL works too.
std::string data_folder(const std::string& module_folder) {
  std::error_code ec;
  const std::string data = module_folder + "data\\";
  if (std::filesystem::exists(std::filesystem::u8path(data + std::string(addin::kLibraryName)),
                              ec)) {
    return data;
  }
  return module_folder;
}

class Session {
 public:
  Session(const void* owner, IDispatch* application, IDispatch* addin_instance)
      : m_owner(owner),
        m_transport(
            m_loop,
            [this](std::function<void()> fn) { m_loop.post_from_any_thread(std::move(fn)); }),
        m_registry(host::make_registry_store(host::RegistryLocation{}, &debug_warning),
                   &debug_warning),
        m_app(std::make_unique<host::win::ExcelApplication>(application)),
        m_addin_instance(nullptr) {
    addin::Platform platform{m_loop,    m_transport, m_registry,  m_messages,
                             m_browser, m_objects,   &data_folder};
    m_state = std::make_shared<addin::AddinState>(platform);
    addin::register_classes(m_objects, host::own_module_path(), m_state);
    // Held, not otherwise used, until disconnection.
    m_addin_instance = addin_instance;
    if (m_addin_instance) m_addin_instance->AddRef();
  }

  ~Session() {
    addin::unregister_classes(m_objects);
    m_state.reset();
    m_app.reset();  // releases every host object it holds
    if (m_addin_instance) m_addin_instance->Release();
  }

  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  const void* owner() const { return m_owner; }

  // Runs the engine's connection and mirrors its menu into the host's.
  HRESULT connect(ext_ConnectMode mode) {
    auto made = m_objects.create(addin::kConnectProgId);
    if (made.ok()) m_connection = std::dynamic_pointer_cast<addin::Connectexcel>(*made);
    if (!m_connection) return E_FAIL;
    m_connection->IDTExtensibility2_OnConnection(*m_app, static_cast<addin::ConnectMode>(mode),
                                                 nullptr);
    if (!m_connection->connected()) return E_FAIL;
    m_app->sync_menu();
    return S_OK;
  }

  void disconnect(ext_DisconnectMode mode) {
    if (!m_connection) return;
    m_connection->IDTExtensibility2_OnDisconnection(static_cast<addin::DisconnectMode>(mode));
    m_app->sync_menu();  // the menu is gone from the local model: remove it from the host's
    m_connection.reset();
  }

  HRESULT call(const CoreMethod& m, const DISPPARAMS& params, VARIANT* result) {
    auto* app = m_app.get();
    const auto method = m_state->engine() ? app->add_in_methods().find(m.name) : nullptr;
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
      answer_value = (*method)(args);
    } catch (...) {
      answer_value = Value(ErrorCode::Value);  // as formulas see a failing method
    }
    return answer(answer_value, result);
  }

 private:
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
  addin::modRegistry m_registry;
  host::MessageBoxMessages m_messages;
  host::ShellBrowser m_browser;
  host::ObjectRegistry m_objects;
  std::unique_ptr<host::win::ExcelApplication> m_app;
  IDispatch* m_addin_instance;
  std::shared_ptr<addin::AddinState> m_state;
  std::shared_ptr<addin::Connectexcel> m_connection;
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
