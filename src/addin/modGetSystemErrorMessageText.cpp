#include "addin/modGetSystemErrorMessageText.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#ifdef _WIN32
#include "host/system_error_text.h"
#endif

namespace quillo::addin {

#ifdef _WIN32

// On Windows the system has the texts itself, and a code it has none for
// reads as its number: nothing to show the user about the lookup.
std::string GetSystemErrorMessageText(std::int32_t code, const WarningSink&) {
  return host::windows_error_text(code);
}

#else

namespace {

struct SystemText {
  std::int32_t code;
  std::string_view text;
};

constexpr SystemText kTexts[] = {
    {0, "The operation completed successfully."},
    {2, "The system cannot find the file specified."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {33,
     "The process cannot access the file because another process has locked a portion of "
     "the file."},
    {87, "The parameter is incorrect."},
    {112, "There is not enough space on the disk."},
    {161, "The specified path is invalid."},
    {234, "More data is available."},
    {1009, "The configuration registry database is corrupt."},
    {1012, "The configuration registry key could not be read."},
    {1013, "The configuration registry key could not be written."},
    {1018, "Illegal operation attempted on a registry key that has been marked for deletion."},
};

// What the system reports when asked for a message it does not have.
constexpr std::int32_t kMessageNotFound = 317;

}  // namespace

std::string GetSystemErrorMessageText(std::int32_t code, const WarningSink& show) {
  for (const auto& t : kTexts) {
    if (t.code == code) return std::string(t.text);
  }
  if (code > 0 && code < 4096) {
    // strerror's text for unknown numbers says so; such a code has no text.
    char buf[256];
    std::snprintf(buf, sizeof buf, "Unknown error %d", code);
    std::string text = std::strerror(code);
    if (text != buf && !text.empty()) return text;
  }
  if (show) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%X", kMessageNotFound);
    show(std::string("An error occurred with the FormatMessage") + " API function call." +
         "\nError: " + std::to_string(kMessageNotFound) + " Hex(" + hex + ").");
  }
  return {};
}

#endif

}  // namespace quillo::addin
