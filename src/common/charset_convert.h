// Converting a page's bytes from its charset to UTF-8, through what the
// platform offers: iconv on Linux (charset_convert_iconv.cpp), the code
// page functions on Windows (charset_convert_windows.cpp).
//
// from is an upper-case charset name ("WINDOWS-1252", "SHIFT_JIS"). Each
// sequence that cannot be read becomes U+FFFD. nullopt when the platform
// does not know the charset; the caller then reads the bytes as UTF-8.
// Any thread.
#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace quillo::text {

std::optional<std::string> convert_to_utf8(std::string_view body, const std::string& from);

}  // namespace quillo::text
