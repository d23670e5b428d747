// Event sinks for the host's connection points: the application's events
// (workbook opened) and command bar button clicks. A Connection advises one
// sink and unadvises it when destroyed; the sink stops calling its handler
// then, even if the host keeps a reference to it. Host's user-interface
// thread only.
#pragma once

// windows.h first: the COM headers rely on what it declares.
#include <windows.h>

#include <ocidl.h>

#include <functional>
#include <memory>

#include "common/status.h"
#include "host/windows/excel_dispatch.h"

namespace quillo::host::win {

// The host's event interfaces (dispinterfaces, so a sink is an IDispatch).
extern const IID kAppEventsIid;               // {00024413-0000-0000-C000-000000000046}
extern const IID kCommandBarButtonEventsIid;  // {000C0351-0000-0000-C000-000000000046}
inline constexpr DISPID kWorkbookOpenDispid = 0x61F;
inline constexpr DISPID kClickDispid = 1;

// Called with the event's DISPID and arguments (last argument first, as
// DISPPARAMS has them).
using EventHandler = std::function<void(DISPID id, const DISPPARAMS& params)>;

class EventSink;

class Connection {
 public:
  // Advises a sink for events of interface iid on source.
  static Result<std::unique_ptr<Connection>> advise(IDispatch* source, const IID& iid,
                                                    EventHandler handler);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

 private:
  Connection() = default;
  ComPtr<IConnectionPoint> m_point;
  ComPtr<EventSink> m_sink;
  DWORD m_cookie = 0;
};

}  // namespace quillo::host::win
