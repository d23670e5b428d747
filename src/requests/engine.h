// Engine: the request spine wired together for one spreadsheet host - the
// definitions, the HTTP transport and request manager with their response
// processors, the request registry, dispatch, and the core object whose
// methods answer the function library's worksheet functions.
//
// It owns the engine's lasting state; the host application, the event loop
// and the transport are given to it and must outlive it. Loop thread only.
// Front ends and the add-in reach it through EngineFacade
// (requests/engine_facade.h), which owns one and reaches the parts it alone
// uses (response processors, indicator series, the core object) directly;
// the accessors below are for the facade and the engine's own tests.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "common/cls_log.h"
#include "history/areas.h"
#include "history/cls_history_yahoo.h"
#include "host/application.h"
#include "host/event_loop.h"
#include "http/clsXMLHttpManager.h"
#include "indicators/calc_table.h"
#include "indicators/indicator_frame.h"
#include "requests/core.h"
#include "requests/provenance.h"

namespace quillo {

class Engine {
 public:
  Engine(host::Application& app, host::EventLoop& loop, http::HttpTransport& transport);
  ~Engine();

  // Loads definitions (the text of a ds.xml) and sets up the manager's
  // channels from them. False, with definitions().error() set, when the
  // text does not load.
  bool load_definitions(std::string_view xml);
  // Makes the core methods callable from the function library's functions.
  void register_methods();
  // Registers the core methods and installs the function library at path.
  Status install_library(const std::string& path);
  // Starts the one-second pass that sends queued and failed requests.
  void start_pass(std::int64_t interval_ms = 1000);
  // True when no answer is outstanding and nothing waits to be sent.
  bool idle() const;

  Definitions& definitions() { return m_definitions; }
  const Definitions& definitions() const { return m_definitions; }
  RequestRegistry& registry() { return m_registry; }
  RequestDispatch& dispatch() { return m_dispatch; }
  http::clsXMLHttpManager& manager() { return m_manager; }
  ErrorPolicy& policy() { return m_policy; }
  history::AreaTable& areas() { return m_areas; }
  // The loaded web links and the routines that load, fetch and read them.
  LinkTable& links() { return m_links; }
  cls_weblinkroutines& weblinks() { return m_weblinks; }
  // Where the values of the cells filled came from.
  ProvenanceLog& provenance() { return m_provenance; }
  // Scheme and host of the price-history service; empty: none set, and
  // history formulas say how to set one.
  void set_history_service(std::string address) { m_history.service = std::move(address); }

 private:
  friend class EngineFacade;

  host::Application& m_app;
  host::EventLoop& m_loop;
  http::HttpTransport& m_transport;
  cls_log m_log;
  http::ResponseProcessors m_processors;
  http::clsXMLHttpManager m_manager;
  Definitions m_definitions;
  ErrorPolicy m_policy;
  RequestRegistry m_registry;
  RequestDispatch m_dispatch;
  SingleItemMemo m_single_memo;
  SingleItemContext m_ctx;
  history::AreaTable m_areas;
  history::cls_history_yahoo m_history_parser;
  HistoryContext m_history;
  indicators::CalcTable m_calcs;
  indicators::IndicatorFrame m_indicators;
  LinkTable m_links;
  cls_weblinkroutines m_weblinks;
  core m_core;
  ProvenanceLog m_provenance;
  host::TimerId m_pass = 0;
  bool m_methods_registered = false;
};

}  // namespace quillo
