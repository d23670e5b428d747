// Character-level helpers for the text functions: UTF-8 code points, the
// letter case of the alphabets a workbook commonly holds (Latin, Greek,
// Cyrillic), and the single-byte character set CHAR and CODE use
// (Windows-1252, the spreadsheet's code page on the systems its files come
// from). Pure functions; any thread. Malformed UTF-8 bytes (what
// text::decode_utf8 rejects) count as one character each and are never
// dropped.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quillo::spreadsheet::unicode {

// The code point at byte i and the bytes it takes (at least 1).
std::pair<char32_t, std::size_t> decode(std::string_view s, std::size_t i);

// Byte offsets where each character starts, plus the text's size at the end.
std::vector<std::size_t> char_starts(std::string_view s);

char32_t to_upper(char32_t c);
char32_t to_lower(char32_t c);
bool is_letter(char32_t c);  // of the alphabets whose case is known, plus the others above ASCII

std::string upper(std::string_view s);
std::string lower(std::string_view s);
// The text as comparisons that ignore letter case see it: lower(s), with
// ASCII text (the common case) lowered without decoding.
std::string case_folded(std::string_view s);

// Windows-1252: the character of a byte (0 for the five bytes it leaves
// unassigned), and the byte of a character (0 when it has none).
char32_t from_cp1252(unsigned byte);
unsigned to_cp1252(char32_t c);

}  // namespace quillo::spreadsheet::unicode
