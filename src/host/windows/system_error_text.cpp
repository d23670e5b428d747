#include "host/system_error_text.h"

#include <windows.h>

#include <cstdio>

namespace quillo::host {

namespace {

std::string format_message(DWORD flags, HMODULE module, DWORD code) {
  char* buf = nullptr;
  const DWORD n =
      FormatMessageA(flags | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS, module,
                     code, 0, reinterpret_cast<char*>(&buf), 0, nullptr);
  std::string text = n > 0 && buf ? std::string(buf, n) : std::string();
  if (buf) LocalFree(buf);
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
  return text;
}

std::string fallback_error_text(std::int32_t code) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "error %d (0x%08X)", code, static_cast<unsigned>(code));
  return buf;
}

}  // namespace

std::string windows_error_text(std::int32_t code) {
  const DWORD c = static_cast<DWORD>(code);
  std::string text = format_message(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, c);
  if (text.empty() && c >= 12000 && c <= 12999) {
    // WinHTTP keeps its texts in its own module; loaded as data only, so
    // no code of it runs here.
    HMODULE winhttp = LoadLibraryExA("winhttp.dll", nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (winhttp) {
      text = format_message(FORMAT_MESSAGE_FROM_HMODULE, winhttp, c);
      FreeLibrary(winhttp);
    }
  }
  return text.empty() ? fallback_error_text(code) : text;
}

}  // namespace quillo::host
