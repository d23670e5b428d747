// Charset conversion through the Windows code page functions (Windows
// builds): the charset name picks a code page, MultiByteToWideChar reads
// the bytes (putting U+FFFD where a sequence cannot be read) and
// WideCharToMultiByte writes UTF-8.
#include <windows.h>

#include <climits>
#include <string_view>
#include <utility>

#include "common/charset_convert.h"

namespace quillo::text {

namespace {

// The code page of a charset name, or 0 when Windows has none for it.
UINT code_page(std::string_view name) {
  static constexpr std::pair<std::string_view, UINT> kPages[] = {
      {"WINDOWS-1250", 1250}, {"WINDOWS-1251", 1251}, {"WINDOWS-1252", 1252},
      {"WINDOWS-1253", 1253}, {"WINDOWS-1254", 1254}, {"WINDOWS-1255", 1255},
      {"WINDOWS-1256", 1256}, {"WINDOWS-1257", 1257}, {"WINDOWS-1258", 1258},
      {"ISO-8859-2", 28592},  {"ISO-8859-3", 28593},  {"ISO-8859-4", 28594},
      {"ISO-8859-5", 28595},  {"ISO-8859-6", 28596},  {"ISO-8859-7", 28597},
      {"ISO-8859-8", 28598},  {"ISO-8859-9", 28599},  {"ISO-8859-13", 28603},
      {"ISO-8859-15", 28605}, {"KOI8-R", 20866},      {"KOI8-U", 21866},
      {"SHIFT_JIS", 932},     {"SHIFT-JIS", 932},     {"SJIS", 932},
      {"WINDOWS-31J", 932},   {"EUC-JP", 20932},      {"ISO-2022-JP", 50220},
      {"GB2312", 936},        {"GBK", 936},           {"GB18030", 54936},
      {"BIG5", 950},          {"EUC-KR", 949},        {"KS_C_5601-1987", 949},
      {"UTF-16LE", 1200},     {"UTF-16BE", 1201},     {"IBM866", 866},
  };
  for (const auto& [n, page] : kPages) {
    if (n == name) return page;
  }
  return 0;
}

}  // namespace

std::optional<std::string> convert_to_utf8(std::string_view body, const std::string& from) {
  const UINT page = code_page(from);
  const bool utf16 = page == 1200 || page == 1201;
  if (page == 0 || (!utf16 && !IsValidCodePage(page))) return std::nullopt;
  if (body.empty()) return std::string();
  if (body.size() > static_cast<std::size_t>(INT_MAX / 2)) return std::nullopt;
  std::wstring wide;
  if (utf16) {
    // UTF-16 is not a code page MultiByteToWideChar reads: swap by hand.
    wide.resize(body.size() / 2);
    for (std::size_t i = 0; i < wide.size(); ++i) {
      const auto a = static_cast<unsigned char>(body[2 * i]);
      const auto b = static_cast<unsigned char>(body[2 * i + 1]);
      wide[i] = static_cast<wchar_t>(page == 1200 ? (b << 8 | a) : (a << 8 | b));
    }
    if (body.size() % 2 != 0) wide.push_back(L'\xFFFD');
  } else {
    const int in_len = static_cast<int>(body.size());
    const int n = MultiByteToWideChar(page, 0, body.data(), in_len, nullptr, 0);
    if (n <= 0) return std::nullopt;
    wide.resize(static_cast<std::size_t>(n));
    MultiByteToWideChar(page, 0, body.data(), in_len, wide.data(), n);
    // The few bytes a Windows code page leaves undefined come back as C1
    // controls; they are sequences that cannot be read.
    if (page >= 1250 && page <= 1258) {
      for (wchar_t& c : wide) {
        if (c >= 0x80 && c <= 0x9F) c = L'\xFFFD';
      }
    }
  }
  const int wide_len = static_cast<int>(wide.size());
  const int m =
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), wide_len, nullptr, 0, nullptr, nullptr);
  if (m <= 0) return std::nullopt;
  std::string out(static_cast<std::size_t>(m), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), wide_len, out.data(), m, nullptr, nullptr);
  return out;
}

}  // namespace quillo::text
