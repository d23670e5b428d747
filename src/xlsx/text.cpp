// Texts in xlsx parts. XML 1.0 cannot carry most control characters, nor
// U+FFFE and U+FFFF, nor anything that is not UTF-8; a part holding one is
// not well-formed and other readers refuse it. The file format escapes such
// characters in strings as "_xHHHH_" (the UTF-16 code unit in hex) and a
// literal "_xHHHH_" by escaping its underscore ("_x005F_xHHHH_"), so every
// text round-trips. Bytes that are not UTF-8 have no character to escape:
// they are written as U+FFFD, the replacement character.
#include <algorithm>
#include <charconv>
#include <cstdio>

#include "common/text.h"
#include "common/text_encoding.h"
#include "xlsx/package.h"

namespace quillo::spreadsheet::xlsx {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

bool is_hex4(std::string_view s) {
  return s.size() >= 4 && std::all_of(s.begin(), s.begin() + 4, [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
         });
}

// The code unit of an "_xHHHH_" escape at s[i], if there is one.
std::optional<std::uint32_t> escape_at(std::string_view s, std::size_t i) {
  if (i + 7 > s.size() || s[i] != '_' || s[i + 1] != 'x' || !is_hex4(s.substr(i + 2)) ||
      s[i + 6] != '_') {
    return std::nullopt;
  }
  std::uint32_t cp = 0;
  std::from_chars(s.data() + i + 2, s.data() + i + 6, cp, 16);
  return cp;
}

bool xml_char(std::uint32_t cp) {
  return cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp <= 0xD7FF) ||
         (cp >= 0xE000 && cp <= 0xFFFD) || cp >= 0x10000;
}

void append_escape(std::string& out, std::uint32_t unit) {
  char buf[16];  // room for any 32-bit unit, though callers pass 16-bit ones
  std::snprintf(buf, sizeof buf, "_x%04X_", static_cast<unsigned>(unit));
  out += buf;
}

}  // namespace

std::string decode_escapes(std::string_view s) {
  if (s.find("_x") == std::string_view::npos) return std::string(s);
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto unit = escape_at(s, i);
    if (!unit) {
      out += s[i];
      continue;
    }
    i += 6;
    std::uint32_t cp = *unit;
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      // A character beyond U+FFFF comes as two escaped UTF-16 halves.
      const auto low = escape_at(s, i + 1);
      if (low && *low >= 0xDC00 && *low <= 0xDFFF) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (*low - 0xDC00);
        i += 7;
      } else {
        cp = 0xFFFD;
      }
    } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    text::append_utf8(out, cp);
  }
  return out;
}

std::string encode_escapes(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    const auto ch = text::decode_utf8(s, i);
    if (!ch) {
      out += kReplacement;
      ++i;
      continue;
    }
    const auto [cp, len] = *ch;
    // \r is legal XML, but readers turn it into \n unless escaped.
    if ((cp != 0x9 && cp != 0xA && !xml_char(cp)) || cp == 0xD || (cp == '_' && escape_at(s, i))) {
      append_escape(out, cp);
    } else {
      out.append(s.substr(i, len));
    }
    i += len;
  }
  return out;
}

void append_xml_text(std::string& out, std::string_view s, bool attribute) {
  // Runs of printable ASCII that need no reference go out in one append.
  const auto plain = [](char c) {
    return static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x80 &&
           c != '&' && c != '<' && c != '>' && c != '"';
  };
  for (std::size_t i = 0; i < s.size();) {
    if (plain(s[i])) {
      std::size_t j = i + 1;
      while (j < s.size() && plain(s[j])) ++j;
      out.append(s.substr(i, j - i));
      i = j;
      continue;
    }
    const char c = s[i];
    if (static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x80) {
      switch (c) {
        case '&':
          out += "&amp;";
          break;
        case '<':
          out += "&lt;";
          break;
        case '>':
          out += "&gt;";
          break;
        case '"':
          out += attribute ? "&quot;" : "\"";
          break;
        default:
          out += c;
      }
      ++i;
      continue;
    }
    const auto ch = text::decode_utf8(s, i);
    if (!ch || !xml_char(ch->first)) {
      out += kReplacement;
      i += ch ? ch->second : 1;
    } else if (ch->first < 0x20 && (attribute || ch->first == 0xD)) {
      // Readers normalise raw line ends and, in attributes, tabs too.
      out += "&#" + std::to_string(ch->first) + ";";
      ++i;
    } else {
      out.append(s.substr(i, ch->second));
      i += ch->second;
    }
  }
}

bool xml_safe(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto ch = text::decode_utf8(s, i);
    if (!ch || !xml_char(ch->first)) return false;
    i += ch->second;
  }
  return true;
}

}  // namespace quillo::spreadsheet::xlsx
