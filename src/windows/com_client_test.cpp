// quillo.dll seen from a COM client, as the host sees it: run once after
// regsvr32 registered it (Registered*) and once after it unregistered it
// (Unregistered*).
#include <windows.h>

#include <gtest/gtest.h>
#include <initguid.h>

#include <string>
#include <vector>

#include "common/function_library.h"
#include "quillo_h.h"
#include "windows/library_text.h"
#include "windows/registration.h"

namespace {

using namespace quillo::windows;

struct ClassCase {
  std::wstring prog_id;
  CLSID clsid;
};

const ClassCase kCases[] = {{std::wstring(kConnectProgId), CLSID_Connectexcel},
                            {std::wstring(kCoreProgId), CLSID_core},
                            {std::wstring(kEventsProgId), CLSID_CExcelEvents}};

std::wstring guid_text(const GUID& g) {
  wchar_t text[40] = {};
  StringFromGUID2(g, text, 40);
  return text;
}

// A text value, or nullopt-like empty with ok false.
bool read_text(HKEY root, const std::wstring& key, const wchar_t* name, std::wstring* out) {
  wchar_t buf[1024] = {};
  DWORD size = sizeof(buf);
  DWORD type = 0;
  if (RegGetValueW(root, key.c_str(), name, RRF_RT_REG_SZ, &type, buf, &size) != ERROR_SUCCESS) {
    return false;
  }
  *out = buf;
  return true;
}

bool key_exists(HKEY root, const std::wstring& key) {
  HKEY h = nullptr;
  if (RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
  RegCloseKey(h);
  return true;
}

// The DLL beside this program (both are built into the same folder).
std::wstring dll_path() {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring path = self;
  return path.substr(0, path.find_last_of(L"\\/") + 1) + L"quillo.dll";
}

// COM on this thread for one test.
class ComTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_HRESULT_SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
  }
  void TearDown() override { CoUninitialize(); }
};

using Registered = ComTest;
using Unregistered = ComTest;

IDispatch* create(const std::wstring& prog_id) {
  CLSID clsid{};
  if (FAILED(CLSIDFromProgID(prog_id.c_str(), &clsid))) return nullptr;
  IDispatch* object = nullptr;
  if (FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                              reinterpret_cast<void**>(&object)))) {
    return nullptr;
  }
  return object;
}

HRESULT can_unload() {
  HMODULE dll = GetModuleHandleW(L"quillo.dll");
  if (!dll) return E_FAIL;
  auto fn = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
      reinterpret_cast<void*>(GetProcAddress(dll, "DllCanUnloadNow")));
  return fn ? fn() : E_FAIL;
}

DISPID id_of(IDispatch* object, const wchar_t* name, HRESULT* hr = nullptr) {
  DISPID id = 0;
  auto* n = const_cast<LPOLESTR>(name);
  const HRESULT r = object->GetIDsOfNames(IID_NULL, &n, 1, LOCALE_USER_DEFAULT, &id);
  if (hr) *hr = r;
  return id;
}

// Calls a method with args in the caller's order (reversed for IDispatch).
HRESULT call(IDispatch* object, DISPID id, std::vector<VARIANT> args, VARIANT* result) {
  std::vector<VARIANT> reversed(args.rbegin(), args.rend());
  DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
  UINT arg_err = 0;
  return object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, result,
                        nullptr, &arg_err);
}

VARIANT text_arg(const wchar_t* text) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(text);
  return v;
}

VARIANT missing_arg() {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_ERROR;
  v.scode = DISP_E_PARAMNOTFOUND;
  return v;
}

TEST_F(Registered, EveryClassHasItsKeysAndBothProgIds) {
  for (const ClassCase& c : kCases) {
    SCOPED_TRACE(std::string(c.prog_id.begin(), c.prog_id.end()));
    const std::wstring versioned = c.prog_id + std::wstring(kProgIdVersion);
    CLSID clsid{};
    ASSERT_HRESULT_SUCCEEDED(CLSIDFromProgID(c.prog_id.c_str(), &clsid));
    EXPECT_TRUE(IsEqualCLSID(clsid, c.clsid));
    ASSERT_HRESULT_SUCCEEDED(CLSIDFromProgID(versioned.c_str(), &clsid));
    EXPECT_TRUE(IsEqualCLSID(clsid, c.clsid));

    const std::wstring key = L"CLSID\\" + guid_text(c.clsid);
    std::wstring text;
    ASSERT_TRUE(read_text(HKEY_CLASSES_ROOT, key + L"\\InprocServer32", nullptr, &text));
    EXPECT_EQ(GetFileAttributesW(text.c_str()) != INVALID_FILE_ATTRIBUTES, true) << "no file";
    ASSERT_TRUE(read_text(HKEY_CLASSES_ROOT, key + L"\\InprocServer32", L"ThreadingModel", &text));
    EXPECT_EQ(text, L"Apartment");
    ASSERT_TRUE(read_text(HKEY_CLASSES_ROOT, key + L"\\ProgID", nullptr, &text));
    EXPECT_EQ(text, versioned);
    ASSERT_TRUE(read_text(HKEY_CLASSES_ROOT, key + L"\\VersionIndependentProgID", nullptr, &text));
    EXPECT_EQ(text, c.prog_id);
    ASSERT_TRUE(read_text(HKEY_CLASSES_ROOT, key + L"\\TypeLib", nullptr, &text));
    EXPECT_EQ(text, guid_text(LIBID_quillo));
    ASSERT_TRUE(read_text(HKEY_CLASSES_ROOT, c.prog_id + L"\\CurVer", nullptr, &text));
    EXPECT_EQ(text, versioned);
  }
}

TEST_F(Registered, HostAddinEntryLoadsAtStartup) {
  const std::wstring key(kAddinKey);
  std::wstring text;
  ASSERT_TRUE(read_text(HKEY_CURRENT_USER, key, L"FriendlyName", &text));
  EXPECT_EQ(text, kFriendlyName);
  ASSERT_TRUE(read_text(HKEY_CURRENT_USER, key, L"Description", &text));
  EXPECT_FALSE(text.empty());
  DWORD behavior = 0;
  DWORD size = sizeof(behavior);
  ASSERT_EQ(RegGetValueW(HKEY_CURRENT_USER, key.c_str(), L"LoadBehavior", RRF_RT_REG_DWORD, nullptr,
                         &behavior, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(behavior, 3u);
}

TEST_F(Registered, TypeLibraryNamesTheClassesButNotTheHostInterface) {
  ITypeLib* library = nullptr;
  ASSERT_HRESULT_SUCCEEDED(LoadRegTypeLib(LIBID_quillo, 1, 0, LOCALE_NEUTRAL, &library));
  for (const ClassCase& c : kCases) {
    ITypeInfo* info = nullptr;
    ASSERT_HRESULT_SUCCEEDED(library->GetTypeInfoOfGuid(c.clsid, &info));
    TYPEATTR* attr = nullptr;
    ASSERT_HRESULT_SUCCEEDED(info->GetTypeAttr(&attr));
    EXPECT_EQ(attr->typekind, TKIND_COCLASS);
    info->ReleaseTypeAttr(attr);
    info->Release();
  }
  ITypeInfo* host = nullptr;
  EXPECT_HRESULT_FAILED(library->GetTypeInfoOfGuid(IID_IDTExtensibility2, &host));
  library->Release();
}

TEST_F(Registered, EveryProgIdCreatesAnObject) {
  for (const ClassCase& c : kCases) {
    IDispatch* object = create(c.prog_id);
    ASSERT_NE(object, nullptr);
    object->Release();
  }
  IDTExtensibility2* connect = nullptr;
  ASSERT_HRESULT_SUCCEEDED(CoCreateInstance(CLSID_Connectexcel, nullptr, CLSCTX_INPROC_SERVER,
                                            IID_IDTExtensibility2,
                                            reinterpret_cast<void**>(&connect)));
  // A connection without a host is refused; the notifications are harmless.
  EXPECT_EQ(connect->OnConnection(nullptr, ext_cm_Startup, nullptr, nullptr), E_INVALIDARG);
  EXPECT_HRESULT_SUCCEEDED(connect->OnStartupComplete(nullptr));
  EXPECT_HRESULT_SUCCEEDED(connect->OnDisconnection(ext_dm_UserClosed, nullptr));
  connect->Release();

  IUnknown* outer = reinterpret_cast<IUnknown*>(&outer);  // never called
  IUnknown* inner = nullptr;
  EXPECT_EQ(CoCreateInstance(CLSID_core, outer, CLSCTX_INPROC_SERVER, IID_IUnknown,
                             reinterpret_cast<void**>(&inner)),
            CLASS_E_NOAGGREGATION);
}

TEST_F(Registered, ConnectionAnswersLateBoundAndRefusesNoHost) {
  IDispatch* connect = create(std::wstring(kConnectProgId));
  ASSERT_NE(connect, nullptr);
  const DISPID on_connection = id_of(connect, L"onCONNECTION");
  HRESULT hr = S_OK;
  EXPECT_EQ(id_of(connect, L"OnDisconnection", &hr), on_connection + 1);
  EXPECT_EQ(hr, S_OK);
  id_of(connect, L"Connect", &hr);
  EXPECT_EQ(hr, DISP_E_UNKNOWNNAME);

  VARIANT nothing;
  VariantInit(&nothing);
  nothing.vt = VT_DISPATCH;
  nothing.pdispVal = nullptr;
  VARIANT mode;
  VariantInit(&mode);
  mode.vt = VT_I4;
  mode.lVal = ext_cm_AfterStartup;
  VARIANT result;
  VariantInit(&result);
  EXPECT_EQ(call(connect, on_connection, {nothing, mode, nothing, missing_arg()}, &result),
            E_INVALIDARG);
  EXPECT_EQ(call(connect, on_connection, {nothing, mode}, &result), DISP_E_BADPARAMCOUNT);
  // A mode that is no number is the caller's mistake, named by position.
  VARIANT bad_mode = text_arg(L"soon");
  UINT arg_err = 99;
  std::vector<VARIANT> reversed{missing_arg(), nothing, bad_mode, nothing};
  DISPPARAMS params{reversed.data(), nullptr, 4, 0};
  EXPECT_EQ(connect->Invoke(on_connection, IID_NULL, 0, DISPATCH_METHOD, &params, &result, nullptr,
                            &arg_err),
            DISP_E_TYPEMISMATCH);
  EXPECT_EQ(arg_err, 2u);
  VariantClear(&bad_mode);
  connect->Release();
}

TEST_F(Registered, CoreAnswersTheLibrarysMethodsByName) {
  auto library = quillo::parse_function_library(kLibraryText);
  ASSERT_TRUE(library.ok());
  IDispatch* core = create(std::wstring(kCoreProgId));
  ASSERT_NE(core, nullptr);

  std::vector<DISPID> ids;
  for (const auto& f : library->functions) {
    const std::wstring name(f.method.begin(), f.method.end());
    HRESULT hr = S_OK;
    const DISPID id = id_of(core, name.c_str(), &hr);
    EXPECT_EQ(hr, S_OK) << f.method;
    std::wstring upper = name;
    for (wchar_t& ch : upper) ch = static_cast<wchar_t>(towupper(ch));
    EXPECT_EQ(id_of(core, upper.c_str()), id) << "letter case matters for " << f.method;
    for (DISPID seen : ids) EXPECT_NE(seen, id) << f.method;
    ids.push_back(id);
  }
  HRESULT hr = S_OK;
  id_of(core, L"fsingle", &hr);  // the worksheet name, not the method's
  EXPECT_EQ(hr, DISP_E_UNKNOWNNAME);
  core->Release();
}

TEST_F(Registered, UnconnectedCoreAnswersNameErrorAndChecksItsCalls) {
  IDispatch* core = create(std::wstring(kCoreProgId));
  ASSERT_NE(core, nullptr);
  const DISPID fsingle = id_of(core, L"i_fsingle");

  VARIANT result;
  VariantInit(&result);
  ASSERT_EQ(
      call(core, fsingle,
           {text_arg(L"DE0007164600"), text_arg(L"last"), missing_arg(), missing_arg()}, &result),
      S_OK);
  EXPECT_EQ(result.vt, VT_ERROR);
  EXPECT_EQ(result.scode & 0xFFFF, 2029) << "#NAME?";
  VariantClear(&result);

  EXPECT_EQ(call(core, fsingle, {text_arg(L"x"), text_arg(L"y")}, &result), DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(call(core, 9999, {}, &result), DISP_E_MEMBERNOTFOUND);
  VARIANT arg = text_arg(L"x");
  DISPID named = 0;
  DISPPARAMS params{&arg, &named, 1, 1};
  EXPECT_EQ(core->Invoke(fsingle, IID_NULL, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr),
            DISP_E_NONAMEDARGS);
  VariantClear(&arg);
  core->Release();

  IDispatch* events = create(std::wstring(kEventsProgId));
  ASSERT_NE(events, nullptr);
  HRESULT hr = S_OK;
  id_of(events, L"i_fsingle", &hr);
  EXPECT_EQ(hr, DISP_E_UNKNOWNNAME);
  events->Release();
}

TEST_F(Registered, ModuleStaysLoadedWhileAnObjectOrLockLives) {
  IDispatch* core = create(std::wstring(kCoreProgId));
  ASSERT_NE(core, nullptr);
  EXPECT_EQ(can_unload(), S_FALSE);
  core->Release();
  EXPECT_EQ(can_unload(), S_OK);

  // A connection object, connected or not, also keeps it.
  IDispatch* connect = create(std::wstring(kConnectProgId));
  ASSERT_NE(connect, nullptr);
  EXPECT_EQ(can_unload(), S_FALSE);
  connect->Release();
  EXPECT_EQ(can_unload(), S_OK);

  IClassFactory* factory = nullptr;
  ASSERT_HRESULT_SUCCEEDED(CoGetClassObject(CLSID_core, CLSCTX_INPROC_SERVER, nullptr,
                                            IID_IClassFactory, reinterpret_cast<void**>(&factory)));
  EXPECT_EQ(can_unload(), S_FALSE);
  ASSERT_HRESULT_SUCCEEDED(factory->LockServer(TRUE));
  factory->Release();
  EXPECT_EQ(can_unload(), S_FALSE);
  // The lock alone holds it; a new factory unlocks.
  ASSERT_HRESULT_SUCCEEDED(CoGetClassObject(CLSID_core, CLSCTX_INPROC_SERVER, nullptr,
                                            IID_IClassFactory, reinterpret_cast<void**>(&factory)));
  factory->LockServer(FALSE);
  factory->Release();
  EXPECT_EQ(can_unload(), S_OK);
}

TEST_F(Unregistered, NothingIsLeft) {
  for (const ClassCase& c : kCases) {
    SCOPED_TRACE(std::string(c.prog_id.begin(), c.prog_id.end()));
    CLSID clsid{};
    EXPECT_EQ(CLSIDFromProgID(c.prog_id.c_str(), &clsid), CO_E_CLASSSTRING);
    const std::wstring versioned = c.prog_id + std::wstring(kProgIdVersion);
    EXPECT_EQ(CLSIDFromProgID(versioned.c_str(), &clsid), CO_E_CLASSSTRING);
    EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, L"CLSID\\" + guid_text(c.clsid)));
    IUnknown* object = nullptr;
    EXPECT_EQ(CoCreateInstance(c.clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&object)),
              REGDB_E_CLASSNOTREG);
  }
  EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, std::wstring(kAddinKey)));
  ITypeLib* library = nullptr;
  EXPECT_HRESULT_FAILED(LoadRegTypeLib(LIBID_quillo, 1, 0, LOCALE_NEUTRAL, &library));
  // The host's own interface keeps its registration (ours never touched it).
}

// Registration that fails on its last step (the host's add-in entry, here
// refused: HKEY_CURRENT_USER is overridden by a volatile key, below which
// the registry allows no lasting key) reports it and takes back the class
// keys and the type library it had already written.
TEST_F(Unregistered, FailedRegistrationLeavesNoClassBehind) {
  HMODULE dll = LoadLibraryW(dll_path().c_str());
  ASSERT_NE(dll, nullptr);
  auto reg = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
      reinterpret_cast<void*>(GetProcAddress(dll, "DllRegisterServer")));
  ASSERT_NE(reg, nullptr);
  const wchar_t* volatile_name = L"Software\\quillo-com-test-volatile";
  HKEY volatile_key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, volatile_name, 0, nullptr, REG_OPTION_VOLATILE,
                            KEY_ALL_ACCESS, nullptr, &volatile_key, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegOverridePredefKey(HKEY_CURRENT_USER, volatile_key), ERROR_SUCCESS);
  const HRESULT hr = reg();
  RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
  RegCloseKey(volatile_key);
  RegDeleteTreeW(HKEY_CURRENT_USER, volatile_name);
  EXPECT_HRESULT_FAILED(hr);
  for (const ClassCase& c : kCases) {
    EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, c.prog_id));
    EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, L"CLSID\\" + guid_text(c.clsid)));
  }
  ITypeLib* library = nullptr;
  EXPECT_HRESULT_FAILED(LoadRegTypeLib(LIBID_quillo, 1, 0, LOCALE_NEUTRAL, &library));
  FreeLibrary(dll);
}

}  // namespace
