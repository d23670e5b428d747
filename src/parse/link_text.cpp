#include "parse/link_text.h"

#include <array>
#include <cstdint>
#include <utility>

#include "common/text.h"
#include "parse/table_extraction.h"

namespace quillo {

namespace {

constexpr std::string_view kNbsp = "\xC2\xA0";

// Named references, by upper-cased name.
constexpr std::array<std::pair<std::string_view, char32_t>, 41> kNamed = {{
    {"AMP", U'&'},     {"LT", U'<'},       {"GT", U'>'},      {"QUOT", U'"'},     {"APOS", U'\''},
    {"NBSP", 0xA0},    {"EURO", 0x20AC},   {"POUND", 0xA3},   {"YEN", 0xA5},      {"CENT", 0xA2},
    {"DOLLAR", U'$'},  {"COPY", 0xA9},     {"REG", 0xAE},     {"TRADE", 0x2122},  {"DEG", 0xB0},
    {"PERCNT", U'%'},  {"PERMIL", 0x2030}, {"PLUSMN", 0xB1},  {"TIMES", 0xD7},    {"DIVIDE", 0xF7},
    {"MINUS", 0x2212}, {"NDASH", 0x2013},  {"MDASH", 0x2014}, {"HELLIP", 0x2026}, {"MIDDOT", 0xB7},
    {"BULL", 0x2022},  {"LAQUO", 0xAB},    {"RAQUO", 0xBB},   {"LSQUO", 0x2018},  {"RSQUO", 0x2019},
    {"LDQUO", 0x201C}, {"RDQUO", 0x201D},  {"SBQUO", 0x201A}, {"BDQUO", 0x201E},  {"FRAC12", 0xBD},
    {"FRAC14", 0xBC},  {"FRAC34", 0xBE},   {"SECT", 0xA7},    {"COMMAT", U'@'},   {"NUM", U'#'},
    {"SOL", U'/'},
}};

// The character of the reference at text[p] ("&..."), and its length; 0
// when none stands there.
std::pair<char32_t, std::size_t> reference_at(std::string_view text, std::size_t p) {
  const std::size_t semi = text.find(';', p + 1);
  if (semi == std::string_view::npos || semi - p > 12 || semi == p + 1) return {0, 0};
  const std::string_view body = text.substr(p + 1, semi - p - 1);
  if (body[0] == '#') {
    const bool hex = body.size() > 1 && (body[1] == 'x' || body[1] == 'X');
    const std::string_view digits = body.substr(hex ? 2 : 1);
    if (digits.empty()) return {0, 0};
    std::uint32_t code = 0;
    for (const char c : digits) {
      int v = -1;
      if (c >= '0' && c <= '9') v = c - '0';
      if (hex && c >= 'a' && c <= 'f') v = c - 'a' + 10;
      if (hex && c >= 'A' && c <= 'F') v = c - 'A' + 10;
      if (v < 0) return {0, 0};
      code = code * (hex ? 16u : 10u) + static_cast<std::uint32_t>(v);
    }
    const char32_t ch = reference_character(code);
    return {ch, ch == 0 ? 0 : semi - p + 1};
  }
  const std::string name = text::upper(body);
  for (const auto& [n, ch] : kNamed) {
    if (n == name) return {ch, semi - p + 1};
  }
  return {0, 0};
}

using text::is_digit;

// Whether every comma of s stands between digit groups as a group
// separator does.
bool commas_group(std::string_view s) {
  std::size_t first = s.find(',');
  std::size_t lead = first;
  while (lead > 0 && is_digit(s[lead - 1])) --lead;
  if (first - lead < 1 || first - lead > 3 || s[lead] == '0') return false;
  for (std::size_t c = first; c != std::string_view::npos; c = s.find(',', c + 1)) {
    std::size_t k = c + 1;
    while (k < s.size() && is_digit(s[k])) ++k;
    if (k - c - 1 != 3) return false;
    if (k < s.size() && s[k] == ',') continue;
    if (s.find(',', k) != std::string_view::npos) return false;  // a comma elsewhere
  }
  return true;
}

// Strips a euro, pound or yen sign (and blanks) at either end.
std::string_view strip_currency(std::string_view s) {
  for (const std::string_view sign : {"\xE2\x82\xAC", "\xC2\xA3", "\xC2\xA5"}) {
    if (s.starts_with(sign)) return text::trim(s.substr(sign.size()));
    if (s.ends_with(sign)) return text::trim(s.substr(0, s.size() - sign.size()));
  }
  return s;
}

}  // namespace

std::string decode_link_text(std::string_view raw, bool keep_nbsp) {
  std::string out;
  out.reserve(raw.size());
  for (std::size_t i = 0; i < raw.size();) {
    const char c = raw[i];
    if (c == '\n' || c == '\r' || c == '\t') {
      ++i;
      continue;
    }
    if (raw.substr(i, 2) == kNbsp) {
      if (keep_nbsp) out += ' ';
      i += 2;
      continue;
    }
    if (c == '&') {
      const auto [ch, length] = reference_at(raw, i);
      if (length != 0) {
        if (ch == 0xA0) {
          if (keep_nbsp) out += ' ';
        } else {
          text::append_utf8(out, ch);
        }
        i += length;
        continue;
      }
    }
    out += c;
    ++i;
  }
  return out;
}

std::size_t first_text_run(std::string_view html, std::size_t* length) {
  // Text in front of the first tag counts as a run too.
  std::size_t from = 0;
  while (from <= html.size()) {
    const std::size_t lt = html.find('<', from);
    const std::size_t end = lt == std::string_view::npos ? html.size() : lt;
    const std::string_view run = html.substr(from, end - from);
    if (run.find_first_not_of("\n\r\t") != std::string_view::npos) {
      if (length) *length = run.size();
      return from;
    }
    if (lt == std::string_view::npos) break;
    const std::size_t gt = html.find('>', lt);
    if (gt == std::string_view::npos) break;
    from = gt + 1;
  }
  return std::string_view::npos;
}

std::optional<double> link_number(std::string_view text, const LinkSeparators& separators) {
  std::string s(strip_currency(text::trim(text)));
  if (!separators.automatic()) {
    if (!separators.group.empty()) text::replace_all(s, separators.group, "");
    if (!separators.decimal.empty() && separators.decimal != ".") {
      if (separators.group != ".") text::replace_all(s, ".", "\x01");  // not a number then
      text::replace_all(s, separators.decimal, ".");
    }
    if (separators.decimal != "," && separators.group != ",") {
      text::replace_all(s, ",", "\x01");
    }
    return text::locale_number(s);
  }
  if (s.find(',') == std::string::npos || commas_group(s)) return text::locale_number(s);
  const std::size_t comma = s.find(',');
  if (s.find(',', comma + 1) != std::string::npos || s.find('.') != std::string::npos) {
    return std::nullopt;
  }
  if (comma == 0 || !is_digit(s[comma - 1]) || comma + 1 >= s.size() || !is_digit(s[comma + 1])) {
    return std::nullopt;
  }
  s[comma] = '.';
  return text::locale_number(s);
}

}  // namespace quillo
