// The add-in's classes as the host creates them by ProgID: Connectexcel,
// the connection the host calls when it loads the add-in; CExcelEvents,
// which receives the host's application events; and the core object behind
// the function library's worksheet functions.
//
// register_classes stands in for component self-registration: it lists the
// three classes in an object factory, all sharing one AddinState. Creating
// a Connectexcel outside the host's add-in mechanism (get_dllpath does)
// only makes a core object; the start-up is tied to OnConnection.
//
// Event-loop thread only.
#pragma once

#include <memory>
#include <string>

#include "addin/dataload.h"
#include "host/object_factory.h"

namespace quillo::addin {

// A core object: the worksheet functions' entry points, working on the
// shared add-in state (null methods until the add-in is connected).
class CoreObject final : public host::HostObject {
 public:
  explicit CoreObject(std::shared_ptr<AddinState> state) : m_state(std::move(state)) {}
  quillo::core* methods() const {
    return m_state->engine() ? &m_state->engine()->core_object() : nullptr;
  }

 private:
  std::shared_ptr<AddinState> m_state;
};

// Receives the host's events while it exists: its creation runs the
// start-up, its release (destruction) the shutdown.
class CExcelEvents final : public host::HostObject {
 public:
  explicit CExcelEvents(std::shared_ptr<AddinState> state);
  ~CExcelEvents() override;
  CExcelEvents(const CExcelEvents&) = delete;
  CExcelEvents& operator=(const CExcelEvents&) = delete;

  void XLApp_WorkbookOpen(host::Workbook& wb);

 private:
  std::shared_ptr<AddinState> m_state;
  host::Application* XLApp = nullptr;
  host::HandlerId m_handler = 0;
};

enum class ConnectMode { AfterStartup = 0, Startup = 1, External = 2, CommandLine = 3 };
enum class DisconnectMode { HostShutdown = 0, UserClosed = 1 };

class Connectexcel final : public host::HostObject {
 public:
  explicit Connectexcel(std::shared_ptr<AddinState> state);
  ~Connectexcel() override;

  // Binds the add-in to the host and starts it.
  void IDTExtensibility2_OnConnection(host::Application& Application, ConnectMode mode,
                                      std::shared_ptr<host::HostObject> AddInInst);
  // Stops it: no request in flight, no timer running, no menu left.
  void IDTExtensibility2_OnDisconnection(DisconnectMode mode);
  void IDTExtensibility2_OnAddInsUpdate() {}
  void IDTExtensibility2_OnStartupComplete() {}
  void IDTExtensibility2_OnBeginShutdown() {}

  const std::shared_ptr<CoreObject>& core() const { return m_core; }
  bool connected() const { return m_events != nullptr; }

 private:
  std::shared_ptr<AddinState> m_state;
  std::shared_ptr<CoreObject> m_core;
  std::unique_ptr<CExcelEvents> m_events;
};

// Lists quillo.Connectexcel, quillo.core and quillo.CExcelEvents in
// objects, implemented by the file module_path, all sharing state.
void register_classes(host::ObjectRegistry& objects, const std::string& module_path,
                      std::shared_ptr<AddinState> state);
void unregister_classes(host::ObjectRegistry& objects);

}  // namespace quillo::addin
