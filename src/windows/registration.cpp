// DllRegisterServer and DllUnregisterServer: the three classes with their
// ProgIDs, the type library, and the host's add-in entry.
//
// Registration that fails half-way takes back what it wrote, so a failed
// regsvr32 leaves no class that points at nothing.
#include "windows/registration.h"

#include <windows.h>

#include <string>

#include "quillo_h.h"
#include "windows/module.h"

namespace quillo::windows {

namespace {

struct ClassEntry {
  const CLSID* clsid;
  std::wstring_view prog_id;
  std::wstring_view description;
};

const ClassEntry kClasses[] = {
    {&CLSID_Connectexcel, kConnectProgId, L"quillo add-in connection"},
    {&CLSID_core, kCoreProgId, L"quillo worksheet functions"},
    {&CLSID_CExcelEvents, kEventsProgId, L"quillo application events"},
};

std::wstring guid_text(const GUID& guid) {
  wchar_t text[40] = {};
  StringFromGUID2(guid, text, 40);
  return text;
}

// Writes one key's text value (name empty: the default value).
LSTATUS set_text(HKEY root, const std::wstring& key, const wchar_t* name, std::wstring_view text) {
  HKEY h = nullptr;
  LSTATUS rc =
      RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &h, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  const std::wstring value(text);
  rc = RegSetValueExW(h, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                      static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(h);
  return rc;
}

LSTATUS set_dword(HKEY root, const std::wstring& key, const wchar_t* name, DWORD number) {
  HKEY h = nullptr;
  LSTATUS rc =
      RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &h, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  rc =
      RegSetValueExW(h, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof(number));
  RegCloseKey(h);
  return rc;
}

// Removes a key and everything below it; a key that is not there is fine.
LSTATUS delete_tree(HKEY root, const std::wstring& key) {
  const LSTATUS rc = RegDeleteTreeW(root, key.c_str());
  return rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : rc;
}

LSTATUS register_class(const ClassEntry& c, const std::wstring& path) {
  const std::wstring clsid = L"CLSID\\" + guid_text(*c.clsid);
  const std::wstring prog_id(c.prog_id);
  const std::wstring versioned = prog_id + std::wstring(kProgIdVersion);
  const std::wstring tlb = guid_text(LIBID_quillo);
  const struct {
    std::wstring key;
    const wchar_t* name;
    std::wstring value;
  } texts[] = {
      {clsid, nullptr, std::wstring(c.description)},
      {clsid + L"\\InprocServer32", nullptr, path},
      {clsid + L"\\InprocServer32", L"ThreadingModel", L"Apartment"},
      {clsid + L"\\ProgID", nullptr, versioned},
      {clsid + L"\\VersionIndependentProgID", nullptr, prog_id},
      {clsid + L"\\TypeLib", nullptr, tlb},
      {clsid + L"\\Version", nullptr, L"1.0"},
      {prog_id, nullptr, std::wstring(c.description)},
      {prog_id + L"\\CLSID", nullptr, guid_text(*c.clsid)},
      {prog_id + L"\\CurVer", nullptr, versioned},
      {versioned, nullptr, std::wstring(c.description)},
      {versioned + L"\\CLSID", nullptr, guid_text(*c.clsid)},
  };
  for (const auto& t : texts) {
    if (LSTATUS rc = set_text(HKEY_CLASSES_ROOT, t.key, t.name, t.value); rc != ERROR_SUCCESS) {
      return rc;
    }
  }
  return ERROR_SUCCESS;
}

// Removes every key the registration writes; the first failure (other
// than a key already gone) is the answer, but all are tried.
HRESULT unregister_all() {
  HRESULT result = S_OK;
  auto keep_first = [&result](LSTATUS rc) {
    if (rc != ERROR_SUCCESS && result == S_OK) result = HRESULT_FROM_WIN32(rc);
  };
  keep_first(delete_tree(HKEY_CURRENT_USER, std::wstring(kAddinKey)));
  for (const ClassEntry& c : kClasses) {
    const std::wstring prog_id(c.prog_id);
    keep_first(delete_tree(HKEY_CLASSES_ROOT, prog_id + std::wstring(kProgIdVersion)));
    keep_first(delete_tree(HKEY_CLASSES_ROOT, prog_id));
    keep_first(delete_tree(HKEY_CLASSES_ROOT, L"CLSID\\" + guid_text(*c.clsid)));
  }
  const HRESULT hr =
      UnRegisterTypeLib(LIBID_quillo, kTypeLibMajor, kTypeLibMinor, LOCALE_NEUTRAL, SYS_WIN64);
  if (FAILED(hr) && hr != TYPE_E_REGISTRYACCESS && hr != TYPE_E_LIBNOTREGISTERED &&
      result == S_OK) {
    result = hr;
  }
  return result;
}

HRESULT register_all() {
  const std::wstring path = module_path();
  if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
  for (const ClassEntry& c : kClasses) {
    if (LSTATUS rc = register_class(c, path); rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
  }
  ITypeLib* library = nullptr;
  if (HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_REGISTER, &library); FAILED(hr)) return hr;
  library->Release();
  // The host's entry last: the host only loads what is registered whole.
  const std::wstring addin(kAddinKey);
  if (LSTATUS rc = set_text(HKEY_CURRENT_USER, addin, L"FriendlyName", kFriendlyName);
      rc != ERROR_SUCCESS) {
    return HRESULT_FROM_WIN32(rc);
  }
  if (LSTATUS rc = set_text(HKEY_CURRENT_USER, addin, L"Description", kAddinDescription);
      rc != ERROR_SUCCESS) {
    return HRESULT_FROM_WIN32(rc);
  }
  if (LSTATUS rc = set_dword(HKEY_CURRENT_USER, addin, L"LoadBehavior", kLoadBehavior);
      rc != ERROR_SUCCESS) {
    return HRESULT_FROM_WIN32(rc);
  }
  return S_OK;
}

}  // namespace

}  // namespace quillo::windows

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() {
  const HRESULT hr = quillo::windows::register_all();
  if (FAILED(hr)) quillo::windows::unregister_all();
  return hr;
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() {
  return quillo::windows::unregister_all();
}
