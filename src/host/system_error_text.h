// The Windows system's own text for an error code, for the add-in's error
// messages (addin/modGetSystemErrorMessageText). Windows builds only: the
// POSIX build keeps its own table of texts there.
//
// The text comes from the system's message table, and for WinHTTP's codes
// (12000 to 12999) from winhttp.dll's; its trailing line break is removed.
// A code neither table has reads "error N (0xHHHHHHHH)", so a caller always
// has something to show. Any thread.
#pragma once

#include <cstdint>
#include <string>

namespace quillo::host {

std::string windows_error_text(std::int32_t code);

}  // namespace quillo::host
