#include "host/windows/excel_events.h"

#include <atomic>
#include <utility>

namespace quillo::host::win {

const IID kAppEventsIid = {0x00024413, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID kCommandBarButtonEventsIid = {0x000C0351, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// A dispinterface sink: answers QueryInterface for its event interface and
// hands every Invoke to its handler.
class EventSink final : public IDispatch {
 public:
  EventSink(const IID& iid, EventHandler handler) : m_iid(iid), m_handler(std::move(handler)) {}
  void detach() { m_handler = nullptr; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
        IsEqualIID(riid, m_iid)) {
      *out = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --m_refs;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return DISP_E_UNKNOWNNAME;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*,
                                   EXCEPINFO*, UINT*) override {
    if (!m_handler) return S_OK;
    // Keep this sink and its handler alive while the handler runs: it may
    // end the connection that owns them.
    AddRef();
    EventHandler handler = m_handler;
    static const DISPPARAMS none{};
    handler(id, params ? *params : none);
    Release();
    return S_OK;
  }

 private:
  ~EventSink() = default;
  IID m_iid;
  EventHandler m_handler;
  std::atomic<ULONG> m_refs{1};
};

Result<std::unique_ptr<Connection>> Connection::advise(IDispatch* source, const IID& iid,
                                                       EventHandler handler) {
  if (!source) return Status::object_required("event source");
  IConnectionPointContainer* container = nullptr;
  if (FAILED(source->QueryInterface(IID_IConnectionPointContainer,
                                    reinterpret_cast<void**>(&container))) ||
      !container) {
    return Status(StatusCode::NotSupported, "the host object raises no events");
  }
  auto holder = ComPtr<IConnectionPointContainer>::adopt(container);
  IConnectionPoint* point = nullptr;
  if (FAILED(container->FindConnectionPoint(iid, &point)) || !point) {
    return Status(StatusCode::NotSupported, "the host object has no such event interface");
  }
  std::unique_ptr<Connection> c(new Connection());
  c->m_point = ComPtr<IConnectionPoint>::adopt(point);
  c->m_sink = ComPtr<EventSink>::adopt(new EventSink(iid, std::move(handler)));
  const HRESULT hr = point->Advise(c->m_sink.get(), &c->m_cookie);
  if (FAILED(hr)) {
    c->m_cookie = 0;
    return Status::failed("the host refused the event sink");
  }
  return c;
}

Connection::~Connection() {
  if (m_sink) m_sink->detach();
  if (m_point && m_cookie) (void)m_point->Unadvise(m_cookie);
}

}  // namespace quillo::host::win
