#include "addin/Connectexcel.h"

namespace quillo::addin {

CExcelEvents::CExcelEvents(std::shared_ptr<AddinState> state) : m_state(std::move(state)) {
  // Only the first events object of a connection starts the add-in (one
  // made later through the factory would otherwise start it twice).
  if (!m_state->app() || m_state->timers_running()) return;
  XLApp = m_state->app();
  m_handler = XLApp->on_workbook_open([this](const host::WorkbookPtr& wb) {
    if (wb) XLApp_WorkbookOpen(*wb);
  });
  addin_startup(*m_state);
}

CExcelEvents::~CExcelEvents() {
  if (XLApp) XLApp->remove_handler(m_handler);
  const bool started = XLApp != nullptr;
  XLApp = nullptr;
  if (started) addin_shutdown(*m_state);
}

void CExcelEvents::XLApp_WorkbookOpen(host::Workbook& wb) {
  if (XLApp) link_repair(*XLApp, wb);
}

Connectexcel::Connectexcel(std::shared_ptr<AddinState> state)
    : m_state(std::move(state)), m_core(std::make_shared<CoreObject>(m_state)) {}

Connectexcel::~Connectexcel() {
  if (connected()) IDTExtensibility2_OnDisconnection(DisconnectMode::HostShutdown);
}

void Connectexcel::IDTExtensibility2_OnConnection(host::Application& Application, ConnectMode,
                                                  std::shared_ptr<host::HostObject> AddInInst) {
  // One host per process: a connection to a second one is refused.
  if (connected() || !m_state->bind(Application)) return;
  m_state->hold_addin_instance(std::move(AddInInst));
  m_events = std::make_unique<CExcelEvents>(m_state);
}

void Connectexcel::IDTExtensibility2_OnDisconnection(DisconnectMode) {
  if (!connected()) return;  // never connected, or refused
  m_state->release_addin_instance();
  m_events.reset();  // runs the shutdown
  m_state->unbind();
}

void register_classes(host::ObjectRegistry& objects, const std::string& module_path,
                      std::shared_ptr<AddinState> state) {
  objects.register_class(kConnectProgId, module_path,
                         [state] { return std::make_shared<Connectexcel>(state); });
  objects.register_class(kCoreProgId, module_path,
                         [state] { return std::make_shared<CoreObject>(state); });
  objects.register_class(kEventsProgId, module_path,
                         [state] { return std::make_shared<CExcelEvents>(state); });
}

void unregister_classes(host::ObjectRegistry& objects) {
  objects.unregister_class(kConnectProgId);
  objects.unregister_class(kCoreProgId);
  objects.unregister_class(kEventsProgId);
}

}  // namespace quillo::addin
