// What quillo.dll's self-registration writes, named once for the DLL and
// its tests.
#pragma once

#include <string_view>

namespace quillo::windows {

inline constexpr std::wstring_view kConnectProgId = L"quillo.Connectexcel";
inline constexpr std::wstring_view kCoreProgId = L"quillo.core";
inline constexpr std::wstring_view kEventsProgId = L"quillo.CExcelEvents";
// The versioned ProgIDs add this to the version-independent ones.
inline constexpr std::wstring_view kProgIdVersion = L".1";
// The host's per-user add-in list (below HKEY_CURRENT_USER): the
// connection's entry there makes the host load it at start-up.
inline constexpr std::wstring_view kAddinKey =
    L"Software\\Microsoft\\Office\\Excel\\Addins\\quillo.Connectexcel";
inline constexpr std::wstring_view kFriendlyName = L"quillo";
inline constexpr std::wstring_view kAddinDescription =
    L"Market data from web pages in spreadsheet cells";
// Loaded at start-up, and loaded now.
inline constexpr unsigned long kLoadBehavior = 3;
inline constexpr unsigned short kTypeLibMajor = 1;
inline constexpr unsigned short kTypeLibMinor = 0;

}  // namespace quillo::windows
