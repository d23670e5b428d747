#include "spreadsheet/unicode_text.h"

#include <array>

#include "common/text.h"
#include "common/text_encoding.h"

namespace quillo::spreadsheet::unicode {

std::pair<char32_t, std::size_t> decode(std::string_view s, std::size_t i) {
  if (const auto ch = text::decode_utf8(s, i)) return *ch;
  return {static_cast<unsigned char>(s[i]), 1};  // a malformed byte is a character of its own
}

std::vector<std::size_t> char_starts(std::string_view s) {
  std::vector<std::size_t> out;
  for (std::size_t i = 0; i < s.size(); i += decode(s, i).second) out.push_back(i);
  out.push_back(s.size());
  return out;
}

char32_t to_upper(char32_t c) {
  if (c >= 'a' && c <= 'z') return c - 32;
  if (c < 0xB5) return c;
  if (c == 0xB5) return 0x39C;
  if ((c >= 0xE0 && c <= 0xFE && c != 0xF7)) return c - 32;
  if (c == 0xFF) return 0x178;
  if (c >= 0x100 && c <= 0x17F) {
    if (c == 0x131) return 'I';
    if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return c % 2 == 0 ? c - 1 : c;
    if (c == 0x138 || c == 0x149 || c == 0x17F) return c;
    return c % 2 == 1 ? c - 1 : c;
  }
  if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return c - 32;
  if (c == 0x3C2) return 0x3A3;
  if (c >= 0x430 && c <= 0x44F) return c - 32;
  if (c >= 0x450 && c <= 0x45F) return c - 80;
  return c;
}

char32_t to_lower(char32_t c) {
  if (c >= 'A' && c <= 'Z') return c + 32;
  if (c < 0xC0) return c;
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 32;
  if (c == 0x178) return 0xFF;
  if (c >= 0x100 && c <= 0x17F) {
    if (c == 0x130) return 'i';
    if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return c % 2 == 1 ? c + 1 : c;
    if (c == 0x138 || c == 0x149 || c == 0x17F) return c;
    return c % 2 == 0 ? c + 1 : c;
  }
  if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) return c + 32;
  if (c >= 0x410 && c <= 0x42F) return c + 32;
  if (c >= 0x400 && c <= 0x40F) return c + 80;
  return c;
}

bool is_letter(char32_t c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
  if (c < 0xC0) return c == 0xAA || c == 0xB5 || c == 0xBA;
  return c != 0xD7 && c != 0xF7;
}

namespace {

template <typename Map>
std::string mapped(std::string_view s, Map map) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    const auto [cp, n] = decode(s, i);
    if (n == 1 && cp >= 0x80) {
      out += s[i];  // a stray byte stays as it was
    } else {
      text::append_utf8(out, map(cp));
    }
    i += n;
  }
  return out;
}

// Bytes 0x80 to 0x9F of Windows-1252; the rest of the code page is Latin-1.
constexpr std::array<char32_t, 32> kHigh = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

}  // namespace

std::string upper(std::string_view s) {
  return mapped(s, to_upper);
}
std::string lower(std::string_view s) {
  return mapped(s, to_lower);
}

std::string case_folded(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) >= 0x80) return lower(s);
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return out;
}

char32_t from_cp1252(unsigned byte) {
  if (byte >= 0x80 && byte < 0xA0) return kHigh[byte - 0x80];
  return byte;
}

unsigned to_cp1252(char32_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<unsigned>(c);
  for (std::size_t i = 0; i < kHigh.size(); ++i) {
    if (kHigh[i] == c && c != 0) return static_cast<unsigned>(0x80 + i);
  }
  return 0;
}

}  // namespace quillo::spreadsheet::unicode
