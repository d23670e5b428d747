// ShellBrowser and MessageBoxMessages: the two ways the engine reaches the
// Windows desktop.
#include <windows.h>
// shellapi.h needs windows.h first.
#include <shellapi.h>

#include <string>

#include "host/windows/message_box_messages.h"
#include "host/windows/shell_browser.h"

namespace quillo::host {

namespace {

// UTF-8 to UTF-16; invalid sequences become U+FFFD.
std::wstring wide(std::string_view s) {
  if (s.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) {
    MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n);
  }
  return out;
}

HWND owner_window() {
  if (HWND active = GetActiveWindow()) return active;
  HWND foreground = GetForegroundWindow();
  DWORD pid = 0;
  if (foreground && GetWindowThreadProcessId(foreground, &pid) && pid == GetCurrentProcessId()) {
    return foreground;
  }
  return nullptr;
}

}  // namespace

Status ShellBrowser::open(std::string_view url) {
  if (!is_web_address(url)) {
    return Status(StatusCode::InvalidArgument, "not a web address: " + std::string(url));
  }
  const std::wstring address = wide(url);
  // ShellExecute answers a value above 32 on success, an error number
  // (as a pseudo handle) otherwise.
  const auto rc = reinterpret_cast<INT_PTR>(
      ShellExecuteW(nullptr, L"open", address.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
  if (rc <= 32) {
    return Status::failed("the browser could not be started for " + std::string(url) + " (error " +
                          std::to_string(rc) + ")");
  }
  return {};
}

void MessageBoxMessages::message_box(std::string_view text, std::string_view title,
                                     MessageIcon icon) {
  HWND owner = owner_window();
  UINT style = MB_OK | static_cast<UINT>(icon);
  if (owner == nullptr) style |= MB_TASKMODAL | MB_SETFOREGROUND;
  MessageBoxW(owner, wide(text).c_str(), wide(title).c_str(), style);
}

}  // namespace quillo::host
