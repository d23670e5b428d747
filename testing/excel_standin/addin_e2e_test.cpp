// End to end under Wine: the stand-in host loads quillo.dll the way Excel
// does (quillo.Connectexcel through IDTExtensibility2), the add-in builds
// its menu, runs its timers and fills fsingle formulas from the local
// market-data service through WinHTTP, and after disconnection the DLL can
// be unloaded. quillo.dll is registered by the test's CTest fixture.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "dispatch_client.h"
#include "standin.h"

namespace quillo::standin {
namespace {

using client::get;
using client::object;
using client::put;
using client::Var;

// The add-in interface of Office hosts, declared here as the host sees it.
struct IDTExtensibility2 : public IDispatch {
 public:
  virtual HRESULT STDMETHODCALLTYPE OnConnection(IDispatch* application, int mode,
                                                 IDispatch* add_in, SAFEARRAY** custom) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnDisconnection(int mode, SAFEARRAY** custom) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnAddInsUpdate(SAFEARRAY** custom) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnStartupComplete(SAFEARRAY** custom) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnBeginShutdown(SAFEARRAY** custom) = 0;
};
const IID kIDTExtensibility2 = {
    0xB65AD801, 0xABAF, 0x11D0, {0xBB, 0x8B, 0x00, 0xA0, 0xC9, 0x0F, 0x27, 0x44}};
constexpr int kStartup = 1;       // ext_cm_Startup
constexpr int kHostShutdown = 0;  // ext_dm_HostShutdown
constexpr int kHelpMenuId = 30010;
const char* kConfigKey = "SOFTWARE\\Brenmoor\\Tarnvale";

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream buf;
  buf << in.rdbuf();
  return buf.str();
}

void replace_all(std::string& s, const std::string& from, const std::string& to) {
  for (std::size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) {
    s.replace(at, from.size(), to);
  }
}

// DllCanUnloadNow of the loaded quillo.dll; E_FAIL when it is not loaded.
HRESULT dll_can_unload_now() {
  HMODULE dll = GetModuleHandleA(QUILLO_DLL_NAME);
  auto can_unload = dll ? reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
                              reinterpret_cast<void*>(GetProcAddress(dll, "DllCanUnloadNow")))
                        : nullptr;
  return can_unload ? can_unload() : E_FAIL;
}

// Pumps the thread's messages (the add-in's timers and WinHTTP's answers
// arrive as messages) until done() or the deadline; answers done().
bool pump_until(const std::function<bool()>& done, DWORD timeout_ms) {
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  while (!done()) {
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE,
                              static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, 50)),
                              QS_ALLINPUT);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  return true;
}

class AddinEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    // The market service's addresses: the main one, then the fault server's.
    // Without a native build the fixture cannot run the service: as the
    // transport's own tests do, the tests are then skipped, saying why.
    std::ifstream urls(QUILLO_MARKET_URLS);
    if (!std::getline(urls, base) || !std::getline(urls, faults)) {
      GTEST_SKIP() << "no market-data service (" << QUILLO_MARKET_URLS << " is missing or empty)";
    }
    app = Ref<IDispatch>(create_application(), false);
  }
  void TearDown() override {
    disconnect();
    app = {};
    RegDeleteKeyValueA(HKEY_CURRENT_USER, kConfigKey, "installpath");
    RegDeleteKeyValueA(HKEY_CURRENT_USER, kConfigKey, "receive_timeout");
    if (!machine_installpath.empty()) {
      RegSetKeyValueA(HKEY_LOCAL_MACHINE, kConfigKey, "installpath", REG_SZ,
                      machine_installpath.c_str(),
                      static_cast<DWORD>(machine_installpath.size() + 1));
    }
    CoUninitialize();
  }

  // The add-in's data folder: the function library and definitions that
  // point at the local service (quote_url replaces the quote page's address).
  void install_folder(const std::string& quote_url = "") {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    const std::string folder = std::string(temp) + "quillo_e2e\\";
    std::filesystem::create_directories(folder);
    std::filesystem::copy_file(QUILLO_DATA "/tarnvale.xla", folder + "tarnvale.xla",
                               std::filesystem::copy_options::overwrite_existing);
    std::string xml = slurp(QUILLO_DATA "/ds.xml");
    if (!quote_url.empty()) replace_all(xml, "http://127.0.0.1:{port}/quote<", quote_url + "<");
    const std::string port = base.substr(base.rfind(':') + 1);
    replace_all(xml, "{port}", port);
    std::ofstream(folder + "ds.xml", std::ios::binary) << xml;
    // The add-in reads installpath machine-wide first: a value registration
    // left there is replaced for the test and put back afterwards.
    char machine[MAX_PATH] = {};
    DWORD size = sizeof machine;
    if (RegGetValueA(HKEY_LOCAL_MACHINE, kConfigKey, "installpath", RRF_RT_REG_SZ, nullptr, machine,
                     &size) == ERROR_SUCCESS) {
      if (machine_installpath.empty()) machine_installpath = machine;
      ASSERT_EQ(RegSetKeyValueA(HKEY_LOCAL_MACHINE, kConfigKey, "installpath", REG_SZ,
                                folder.c_str(), static_cast<DWORD>(folder.size() + 1)),
                ERROR_SUCCESS);
    }
    ASSERT_EQ(RegSetKeyValueA(HKEY_CURRENT_USER, kConfigKey, "installpath", REG_SZ, folder.c_str(),
                              static_cast<DWORD>(folder.size() + 1)),
              ERROR_SUCCESS);
  }

  void connect() {
    CLSID clsid;
    ASSERT_EQ(CLSIDFromProgID(L"quillo.Connectexcel", &clsid), S_OK);
    IUnknown* unknown = nullptr;
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&unknown)),
              S_OK);
    Ref<IUnknown> holder(unknown, false);
    IDTExtensibility2* ext = nullptr;
    ASSERT_EQ(unknown->QueryInterface(kIDTExtensibility2, reinterpret_cast<void**>(&ext)), S_OK);
    addin = Ref<IDTExtensibility2>(ext, false);
    SAFEARRAY* custom = SafeArrayCreateVector(VT_VARIANT, 0, 0);
    ASSERT_EQ(addin->OnConnection(app.get(), kStartup, nullptr, &custom), S_OK);
    ASSERT_EQ(addin->OnStartupComplete(&custom), S_OK);
    SafeArrayDestroy(custom);
    // The formulas go into a workbook of their own.
    ASSERT_TRUE(object(object(app.get(), L"Workbooks").get(), L"Add"));
  }

  void disconnect() {
    if (!addin) return;
    SAFEARRAY* custom = SafeArrayCreateVector(VT_VARIANT, 0, 0);
    EXPECT_EQ(addin->OnBeginShutdown(&custom), S_OK);
    EXPECT_EQ(addin->OnDisconnection(kHostShutdown, &custom), S_OK);
    SafeArrayDestroy(custom);
    addin = {};
  }

  Ref<IDispatch> menu_bar_controls() {
    return object(
        object(object(app.get(), L"CommandBars").get(), L"Item", {L"Worksheet Menu Bar"}).get(),
        L"Controls");
  }
  // The caption of the control just before Help, and whether it is built in.
  std::pair<std::string, bool> before_help() {
    Ref<IDispatch> help = object(object(app.get(), L"CommandBars").get(), L"FindControl",
                                 {Var::missing(), kHelpMenuId});
    const int index = static_cast<int>(get(help.get(), L"Index").value.number());
    Ref<IDispatch> prev = object(menu_bar_controls().get(), L"Item", {index - 1});
    return {get(prev.get(), L"Caption").value.text(), get(prev.get(), L"BuiltIn").value.truth()};
  }
  Ref<IDispatch> cell(const wchar_t* address) {
    return object(object(app.get(), L"ActiveSheet").get(), L"Range", {address});
  }
  std::string shown(const wchar_t* address) {
    const Var v = get(cell(address).get(), L"Value").value;
    return v.type() == VT_BSTR ? v.text() : (v.type() == VT_R8 ? "number" : "other");
  }

  std::string base, faults;
  std::string machine_installpath;  // to put back
  Ref<IDispatch> app;
  Ref<IDTExtensibility2> addin;
};

TEST_F(AddinEndToEnd, ConnectsFillsFormulasAndUnloadsAfterDisconnection) {
  install_folder();
  const auto bare = before_help();
  connect();
  if (HasFatalFailure()) return;

  // The menu sits before Help.
  const auto menu = before_help();
  EXPECT_FALSE(menu.second);
  EXPECT_NE(menu.first, bare.first);

  // fsingle formulas show the loading text, then the service's answers:
  // the second timer sends the queued requests out.
  ASSERT_EQ(put(cell(L"A1").get(), L"Formula", Var(L"=fsingle(\"BVM\",\"LMS.QUO.LAST\")")), S_OK);
  ASSERT_EQ(put(cell(L"A2").get(), L"Formula", Var(L"=fsingle(\"BVM\",\"LMS.QUO.NAME\")")), S_OK);
  ASSERT_EQ(put(cell(L"A3").get(), L"Formula", Var(L"=fsingle(\"NOSUCH\",\"LMS.QUO.LAST\")")),
            S_OK);
  EXPECT_EQ(shown(L"A1"), "Loading data...");
  EXPECT_TRUE(pump_until(
      [&] { return shown(L"A1") != "Loading data..." && shown(L"A3") != "Loading data..."; },
      20000));
  EXPECT_EQ(shown(L"A1"), "number");
  EXPECT_GT(get(cell(L"A1").get(), L"Value").value.number(), 0);
  EXPECT_FALSE(shown(L"A2").empty());
  EXPECT_EQ(shown(L"A3"), "Invalid instrument id");

  // Disconnection takes the menu away; once every reference is released
  // (the stand-in lets go of the add-in's event sinks) the DLL may be
  // unloaded.
  disconnect();
  EXPECT_EQ(before_help(), bare);
  app = {};
  EXPECT_EQ(dll_can_unload_now(), S_OK);
}

TEST_F(AddinEndToEnd, AStalledSourceTimesOut) {
  const DWORD one_second = 1;
  ASSERT_EQ(RegSetKeyValueA(HKEY_CURRENT_USER, kConfigKey, "receive_timeout", REG_DWORD,
                            &one_second, sizeof one_second),
            ERROR_SUCCESS);
  install_folder(faults + "/quote?_fault=stall");
  connect();
  if (HasFatalFailure()) return;
  ASSERT_EQ(put(cell(L"A1").get(), L"Formula", Var(L"=fsingle(\"BVM\",\"LMS.QUO.LAST\")")), S_OK);
  EXPECT_TRUE(pump_until([&] { return shown(L"A1") != "Loading data..."; }, 30000));
  std::string text = shown(L"A1");
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_NE(text.find("time"), std::string::npos) << shown(L"A1");
}

TEST_F(AddinEndToEnd, TheDllStaysLoadedWhileWinHttpUnwindsAnAbandonedRequest) {
  const DWORD three_seconds = 3;
  ASSERT_EQ(RegSetKeyValueA(HKEY_CURRENT_USER, kConfigKey, "receive_timeout", REG_DWORD,
                            &three_seconds, sizeof three_seconds),
            ERROR_SUCCESS);
  install_folder(faults + "/quote?_fault=stall");
  connect();
  if (HasFatalFailure()) return;
  ASSERT_EQ(put(cell(L"A1").get(), L"Formula", Var(L"=fsingle(\"BVM\",\"LMS.QUO.LAST\")")), S_OK);
  // The one-second timer sends the request; the peer never answers.
  pump_until([] { return false; }, 1500);
  ASSERT_EQ(shown(L"A1"), "Loading data...");
  // Disconnecting abandons the request, but WinHTTP keeps its handle (and
  // calls back into the DLL) until its own receive time-out ends it.
  disconnect();
  app = {};
  EXPECT_EQ(dll_can_unload_now(), S_FALSE);
  EXPECT_TRUE(pump_until([] { return dll_can_unload_now() == S_OK; }, 30000));
}

}  // namespace
}  // namespace quillo::standin
