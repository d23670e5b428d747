#include "windows/engine_session.h"

#include <filesystem>
#include <string>
#include <string_view>

#include "addin/Connectexcel.h"
#include "addin/dataload.h"
#include "addin/modRegistry.h"
#include "host/object_factory.h"
#include "host/process.h"
#include "host/registry_store.h"

namespace quillo::windows {

namespace {

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

}  // namespace

struct EngineSession::Parts {
  Parts(host::EventLoop& loop, http::HttpTransport& transport, host::MessageSink& messages,
        host::BrowserOpener& browser, const host::WarningSink& warn)
      : registry(host::make_registry_store(host::RegistryLocation{}, warn), warn),
        state(std::make_shared<addin::AddinState>(addin::Platform{loop,
                                                                  transport,
                                                                  registry,
                                                                  messages,
                                                                  browser,
                                                                  objects,
                                                                  &data_folder,
                                                                  60000,
                                                                  1000,
                                                                  nullptr,
                                                                  true,
                                                                  {},
                                                                  true,
                                                                  true})) {
    addin::register_classes(objects, host::own_module_path(), state);
  }
  ~Parts() {
    connection.reset();
    addin::unregister_classes(objects);
  }

  addin::modRegistry registry;
  host::ObjectRegistry objects;
  std::shared_ptr<addin::AddinState> state;
  std::shared_ptr<addin::Connectexcel> connection;
};

EngineSession::EngineSession(host::EventLoop& loop, http::HttpTransport& transport,
                             host::MessageSink& messages, host::BrowserOpener& browser,
                             std::function<void(std::string_view)> warn)
    : m_parts(std::make_unique<Parts>(loop, transport, messages, browser, warn)) {}

EngineSession::~EngineSession() = default;

bool EngineSession::connect(host::Application& app, int mode) {
  auto made = m_parts->objects.create(addin::kConnectProgId);
  if (made.ok()) m_parts->connection = std::dynamic_pointer_cast<addin::Connectexcel>(*made);
  if (!m_parts->connection) return false;
  m_parts->connection->IDTExtensibility2_OnConnection(app, static_cast<addin::ConnectMode>(mode),
                                                      nullptr);
  return m_parts->connection->connected();
}

void EngineSession::disconnect(int mode) {
  if (!m_parts->connection) return;
  m_parts->connection->IDTExtensibility2_OnDisconnection(static_cast<addin::DisconnectMode>(mode));
  m_parts->connection.reset();
}

bool EngineSession::engine_ready() const {
  return m_parts->state->engine() != nullptr;
}

}  // namespace quillo::windows
