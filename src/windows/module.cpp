#include "windows/module.h"

#include <atomic>
#include <new>

#include "http/winhttp_transport.h"
#include "windows/com_objects.h"

namespace quillo::windows {

namespace {

HMODULE g_module = nullptr;
std::atomic<long> g_refs{0};

// The factory of one class: makes its objects, and counts as a module
// reference while it is referenced itself (a client holding a factory
// keeps the DLL loaded, as LockServer does).
class ClassFactory final : public IClassFactory {
 public:
  using Make = HRESULT (*)(REFIID, void**);
  explicit ClassFactory(Make make) : m_make(make) { add_module_ref(); }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
      *out = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --m_refs;
    if (left == 0) {
      delete this;
      release_module_ref();
    }
    return left;
  }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    return m_make(riid, out);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) {
      add_module_ref();
    } else {
      release_module_ref();
    }
    return S_OK;
  }

 private:
  std::atomic<ULONG> m_refs{1};
  Make m_make;
};

}  // namespace

HMODULE module_handle() {
  return g_module;
}

std::wstring module_path() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(g_module, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    if (path.size() >= 32768) return {};
    path.resize(path.size() * 2);
  }
}

void add_module_ref() {
  ++g_refs;
}
void release_module_ref() {
  --g_refs;
}
bool module_idle() {
  return g_refs.load() == 0;
}

}  // namespace quillo::windows

using namespace quillo::windows;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_module = instance;
    DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  ClassFactory::Make make = nullptr;
  if (clsid == CLSID_Connectexcel) {
    make = &make_connectexcel;
  } else if (clsid == CLSID_core) {
    make = &make_core;
  } else if (clsid == CLSID_CExcelEvents) {
    make = &make_events;
  } else {
    return CLASS_E_CLASSNOTAVAILABLE;
  }
  auto* factory = new (std::nothrow) ClassFactory(make);
  if (!factory) return E_OUTOFMEMORY;
  const HRESULT hr = factory->QueryInterface(riid, out);
  factory->Release();
  return hr;
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  // WinHTTP calls back into the DLL until the last handle of a request has
  // closed, even after its connection ended: a peer that never answers
  // keeps one open until WinHTTP itself gives up on it.
  const bool http_idle = quillo::http::WinHttpTransport::unwinding_requests() == 0;
  return module_idle() && http_idle ? S_OK : S_FALSE;
}
