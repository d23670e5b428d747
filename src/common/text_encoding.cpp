#include "common/text_encoding.h"

#include <optional>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/charset_convert.h"
#include "common/text.h"

namespace quillo::text {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD
// How far into a page a <meta> charset or an XML declaration is looked for.
constexpr std::size_t kSniffBytes = 4096;

// Printable ASCII, tab, line feed or carriage return: a byte that stands
// for itself in UTF-8 and that XML allows.
bool plain_ascii(char c) {
  const auto b = static_cast<unsigned char>(c);
  return (b >= 0x20 && b < 0x80) || b == '\t' || b == '\n' || b == '\r';
}

bool valid_utf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    if (plain_ascii(s[i])) {
      ++i;
      continue;
    }
    const auto ch = decode_utf8(s, i);
    if (!ch) return false;
    i += ch->second;
  }
  return true;
}

std::string clean_name(std::string_view name) {
  std::string n = lower(name);
  while (!n.empty() && (n.front() == '"' || n.front() == '\'' || n.front() == ' ')) n.erase(0, 1);
  while (!n.empty() && (n.back() == '"' || n.back() == '\'' || n.back() == ' ')) n.pop_back();
  return n;
}

// The iconv name for a charset label; empty for UTF-8 (no conversion).
std::string iconv_name(std::string_view label) {
  const std::string n = clean_name(label);
  if (n.empty() || n == "utf-8" || n == "utf8" || n == "unicode-1-1-utf-8") return {};
  // Browsers read these labels as Windows-1252, which fills 0x80-0x9F
  // with printable characters (the euro sign, typographic quotes).
  for (std::string_view w : {"iso-8859-1", "iso8859-1", "iso_8859-1", "latin1", "latin-1", "l1",
                             "us-ascii", "ascii", "windows-1252", "cp1252", "x-cp1252"}) {
    if (n == w) return "WINDOWS-1252";
  }
  return upper(n);
}

// The value after "charset=" in s (up to a quote, blank, ";", "/" or ">").
std::string charset_after(std::string_view s) {
  const std::size_t p = find_ci(s, "charset=");
  if (p == 0) return {};
  std::size_t i = p - 1 + 8;
  while (i < s.size() && (s[i] == '"' || s[i] == '\'' || s[i] == ' ')) ++i;
  const std::size_t start = i;
  while (i < s.size() && s[i] != '"' && s[i] != '\'' && s[i] != ' ' && s[i] != ';' && s[i] != '/' &&
         s[i] != '>') {
    ++i;
  }
  return std::string(s.substr(start, i - start));
}

// The charset a <meta> tag or an XML declaration near the start names.
std::string sniffed_charset(std::string_view body) {
  const std::string_view head = body.substr(0, std::min(body.size(), kSniffBytes));
  if (head.starts_with("<?xml")) {
    const std::string_view decl = head.substr(0, head.find("?>"));
    const std::size_t p = find(decl, "encoding=");
    if (p != 0 && p + 9 < decl.size()) {
      const char quote = decl[p - 1 + 9];
      const std::size_t end = decl.find(quote, p + 9);
      if (end != std::string_view::npos) return std::string(decl.substr(p + 9, end - p - 9));
    }
  }
  for (std::size_t from = 1;;) {
    const std::size_t m = find_ci(head, "<meta", from);
    if (m == 0) return {};
    const std::size_t close = head.find('>', m);
    const std::string_view tag = head.substr(
        m - 1, close == std::string_view::npos ? std::string_view::npos : close - (m - 1) + 1);
    std::string cs = charset_after(tag);
    if (!cs.empty()) return cs;
    from = m + 5;
  }
}

void declare_utf8(std::string& xml) {
  if (!xml.starts_with("<?xml")) return;
  const std::size_t end = xml.find("?>");
  const std::size_t p = xml.find("encoding=");
  if (p == std::string::npos || end == std::string::npos || p > end || p + 9 >= end) return;
  const char quote = xml[p + 9];
  const std::size_t close = xml.find(quote, p + 10);
  if (close == std::string::npos || close > end) return;
  xml.replace(p + 10, close - p - 10, "UTF-8");
}

}  // namespace

bool xml_allowed(char32_t cp) {
  return cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp <= 0xD7FF) ||
         (cp >= 0xE000 && cp <= 0xFFFD) || (cp >= 0x10000 && cp <= 0x10FFFF);
}

std::string sanitize_utf8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    // Most of a page is printable ASCII: copy such runs whole.
    std::size_t run = i;
    while (run < s.size() && plain_ascii(s[run])) ++run;
    if (run > i) {
      out.append(s.substr(i, run - i));
      i = run;
      continue;
    }
    const auto ch = decode_utf8(s, i);
    if (ch && xml_allowed(ch->first)) {
      out.append(s.substr(i, ch->second));
    } else {
      out.append(kReplacement);
    }
    i += ch ? ch->second : 1;
  }
  return out;
}

std::optional<std::pair<char32_t, std::size_t>> decode_utf8(std::string_view s, std::size_t i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) return std::make_pair(char32_t{b0}, std::size_t{1});
  std::size_t n = 0;
  char32_t cp = 0;
  char32_t min = 0;
  if ((b0 & 0xE0) == 0xC0) {
    n = 2, cp = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    n = 3, cp = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    n = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    return std::nullopt;
  }
  if (i + n > s.size()) return std::nullopt;
  for (std::size_t k = 1; k < n; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return std::nullopt;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
  return std::make_pair(cp, n);
}

std::string charset_of_content_type(std::string_view content_type) {
  return charset_after(content_type);
}

namespace {

// What decode_page reads a body as: the charset to convert from (empty for
// UTF-8) and how many bytes of byte order mark to skip. known says whether
// a mark, the Content-Type or the page named it; otherwise a body that is
// not valid UTF-8 is read as Windows-1252.
struct PageCharset {
  std::string from;
  std::size_t skip = 0;
  bool known = false;
};

PageCharset page_charset(std::string_view body, std::string_view content_type) {
  PageCharset c;
  if (body.starts_with("\xEF\xBB\xBF")) {
    c.skip = 3;
    c.known = true;
  } else if (body.starts_with("\xFF\xFE") || body.starts_with("\xFE\xFF")) {
    c.from = body.starts_with("\xFF\xFE") ? "UTF-16LE" : "UTF-16BE";
    c.skip = 2;
    c.known = true;
  }
  if (!c.known) {
    const std::string label = charset_of_content_type(content_type);
    if (!label.empty()) {
      c.from = iconv_name(label);
      c.known = true;
    }
  }
  if (!c.known) {
    const std::string label = sniffed_charset(body);
    // A page whose bytes are ASCII-based cannot be UTF-16, whatever its
    // markup claims.
    if (!label.empty() && clean_name(label).find("utf-16") == std::string::npos) {
      c.from = iconv_name(label);
      c.known = true;
    }
  }
  return c;
}

std::string converted_page(std::string_view body, const std::string& from) {
  if (std::optional<std::string> converted = convert_to_utf8(body, from)) {
    std::string out = sanitize_utf8(*converted);
    declare_utf8(out);
    return out;
  }
  return sanitize_utf8(body);
}

// How s reads as UTF-8: whether it is valid, and whether every character
// is one XML allows (then sanitize_utf8 leaves it as it is).
struct Utf8Check {
  bool valid = true;
  bool clean = true;
};

Utf8Check check_utf8(std::string_view s) {
  Utf8Check r;
  const char* p = s.data();
  const std::size_t n = s.size();
  std::size_t i = 0;
  while (i < n) {
#if defined(__SSE2__)
    // Sixteen bytes at a time: a signed compare below 0x20 catches both
    // the controls and every byte from 0x80. A block holding one goes on
    // at that byte, so the plain bytes before a line break are not looked
    // at again one by one.
    const __m128i below = _mm_set1_epi8(0x20);
    while (i + 16 <= n) {
      const int mask = _mm_movemask_epi8(
          _mm_cmplt_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)), below));
      if (mask != 0) {
        i += static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
        break;
      }
      i += 16;
    }
    if (i >= n) break;
#endif
    if (plain_ascii(p[i])) {
      ++i;
      continue;
    }
    const auto ch = decode_utf8(s, i);
    if (!ch) {
      r.valid = r.clean = false;
      return r;
    }
    if (!xml_allowed(ch->first)) r.clean = false;
    i += ch->second;
  }
  return r;
}

}  // namespace

std::string decode_page(std::string_view body, std::string_view content_type) {
  PageCharset c = page_charset(body, content_type);
  body.remove_prefix(c.skip);
  if (!c.known && !valid_utf8(body)) c.from = "WINDOWS-1252";
  if (!c.from.empty()) return converted_page(body, c.from);
  return sanitize_utf8(body);
}

void decode_page_in_place(std::string& page, std::string_view content_type) {
  PageCharset c = page_charset(page, content_type);
  const std::string_view body = std::string_view(page).substr(c.skip);
  if (c.from.empty()) {
    const Utf8Check check = check_utf8(body);
    if (check.valid && check.clean) {
      page.erase(0, c.skip);
      return;
    }
    if (!c.known && !check.valid) c.from = "WINDOWS-1252";
    if (c.from.empty()) {
      page = sanitize_utf8(body);
      return;
    }
  }
  page = converted_page(body, c.from);
}

std::string encode_query_value(std::string_view value) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  auto is_hex = [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
  };
  std::string out;
  out.reserve(value.size());
  for (std::size_t i = 0; i < value.size(); ++i) {
    const auto c = static_cast<unsigned char>(value[i]);
    const bool safe =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
        std::string_view("-._~!$'()*,;:@/?").find(static_cast<char>(c)) != std::string_view::npos;
    const bool encoded =
        c == '%' && i + 2 < value.size() && is_hex(value[i + 1]) && is_hex(value[i + 2]);
    if (safe || encoded) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0xF]);
    }
  }
  return out;
}

}  // namespace quillo::text
