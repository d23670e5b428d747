// The engine's side of a host connection: the registry, the object
// factory, the add-in state and the engine's Connectexcel, over the
// platform pieces and the host adapter the COM shell makes.
//
// Kept apart from <windows.h>: the engine's registry module names the
// predefined root keys as constants, which windows.h defines as macros.
#pragma once

#include <functional>
#include <memory>
#include <string_view>

#include "host/application.h"
#include "host/browser.h"
#include "host/event_loop.h"
#include "host/messages.h"
#include "http/http_transport.h"

namespace quillo::windows {

class EngineSession {
 public:
  // The pieces must outlive the session. warn receives the registry
  // store's warnings (a damaged or unreadable key).
  EngineSession(host::EventLoop& loop, http::HttpTransport& transport, host::MessageSink& messages,
                host::BrowserOpener& browser, std::function<void(std::string_view)> warn);
  ~EngineSession();
  EngineSession(const EngineSession&) = delete;
  EngineSession& operator=(const EngineSession&) = delete;

  // Runs the engine's connection to app (the host's connect mode, 0 to 3);
  // false when the engine refused it.
  bool connect(host::Application& app, int mode);
  // Runs the engine's disconnection (0: host shutdown, 1: user closed).
  void disconnect(int mode);
  // True while the engine answers the function library's methods.
  bool engine_ready() const;

 private:
  struct Parts;
  std::unique_ptr<Parts> m_parts;
};

}  // namespace quillo::windows
