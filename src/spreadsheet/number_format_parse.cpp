// Reading number format codes into sections of tokens.
#include <algorithm>
#include <array>

#include "common/text.h"
#include "spreadsheet/number_format_detail.h"

namespace quillo::spreadsheet::number_format_detail {

namespace {

bool is_color(std::string_view s) {
  static constexpr std::array<std::string_view, 8> kColors = {"black",   "blue", "cyan",  "green",
                                                              "magenta", "red",  "white", "yellow"};
  const std::string l = text::lower(s);
  if (l.rfind("color", 0) == 0) return true;
  return std::find(kColors.begin(), kColors.end(), l) != kColors.end();
}

std::size_t utf8_len(std::string_view s, std::size_t i) {
  const auto c = static_cast<unsigned char>(s[i]);
  const std::size_t n = c < 0xC0 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
  return std::min(n, s.size() - i);
}

}  // namespace

std::optional<Section> parse_section(std::string_view s) {
  Section sec;
  auto literal = [&](std::string t) {
    if (!sec.tokens.empty() && sec.tokens.back().kind == Kind::Literal) {
      sec.tokens.back().text += t;
    } else {
      sec.tokens.push_back({Kind::Literal, std::move(t)});
    }
  };
  for (std::size_t i = 0; i < s.size();) {
    const char c = s[i];
    const char lc = text::lower_char(c);
    if (c == '"') {
      const std::size_t end = s.find('"', i + 1);
      if (end == std::string_view::npos) return std::nullopt;
      literal(std::string(s.substr(i + 1, end - i - 1)));
      i = end + 1;
    } else if (c == '\\' || c == '_' || c == '*') {
      if (i + 1 >= s.size()) {
        i = s.size();
        continue;
      }
      const std::size_t n = utf8_len(s, i + 1);
      if (c == '\\') literal(std::string(s.substr(i + 1, n)));
      if (c == '_') literal(" ");
      i += 1 + n;
    } else if (c == '[') {
      const std::size_t end = s.find(']', i + 1);
      if (end == std::string_view::npos) return std::nullopt;
      const std::string_view inner = s.substr(i + 1, end - i - 1);
      i = end + 1;
      if (inner.empty()) continue;
      const std::string li = text::lower(inner);
      if (li.find_first_not_of("hms") == std::string::npos &&
          li.find_first_not_of(li[0]) == std::string::npos) {
        sec.tokens.push_back({Kind::Date, li, true});
        sec.is_date = true;
      } else if (inner[0] == '<' || inner[0] == '>' || inner[0] == '=') {
        std::size_t k = 1;
        if (k < inner.size() && (inner[k] == '=' || inner[k] == '>')) ++k;
        const auto v = text::locale_number(inner.substr(k));
        if (!v) return std::nullopt;
        sec.condition = Condition{std::string(inner.substr(0, k)), *v};
      } else if (inner[0] == '$') {
        const std::size_t dash = inner.find('-');
        literal(std::string(
            inner.substr(1, dash == std::string_view::npos ? inner.size() - 1 : dash - 1)));
      } else if (!is_color(inner)) {
        // Other tags (calendars, locale options) change nothing here.
      }
    } else if (c == '0' || c == '#' || c == '?') {
      sec.tokens.push_back({Kind::Digit, std::string(1, c)});
      ++i;
    } else if (c == '.') {
      sec.tokens.push_back({Kind::Point, "."});
      ++i;
    } else if (c == ',') {
      sec.tokens.push_back({Kind::Comma, ","});
      ++i;
    } else if (c == '%') {
      sec.tokens.push_back({Kind::Percent, "%"});
      ++i;
    } else if (c == '@') {
      sec.tokens.push_back({Kind::At, "@"});
      sec.is_text = true;
      ++i;
    } else if ((c == 'E' || c == 'e') && i + 1 < s.size() && (s[i + 1] == '+' || s[i + 1] == '-')) {
      sec.tokens.push_back({Kind::Exponent, std::string(1, s[i + 1])});
      i += 2;
    } else if (c == '/') {
      sec.tokens.push_back({Kind::Slash, "/"});
      ++i;
    } else if (text::iequals(s.substr(i, 7), "General")) {
      sec.tokens.push_back({Kind::General, ""});
      i += 7;
    } else if (text::iequals(s.substr(i, 5), "AM/PM")) {
      sec.tokens.push_back({Kind::AmPm, std::string(s.substr(i, 5))});
      sec.has_ampm = true;
      i += 5;
    } else if (text::iequals(s.substr(i, 3), "A/P")) {
      sec.tokens.push_back({Kind::AmPm, std::string(s.substr(i, 3))});
      sec.has_ampm = true;
      i += 3;
    } else if (lc == 'y' || lc == 'm' || lc == 'd' || lc == 'h' || lc == 's') {
      std::size_t j = i;
      while (j < s.size() && text::lower_char(s[j]) == lc) ++j;
      sec.tokens.push_back({Kind::Date, std::string(j - i, lc)});
      sec.is_date = true;
      i = j;
    } else {
      const std::size_t n = utf8_len(s, i);
      literal(std::string(s.substr(i, n)));
      i += n;
    }
  }
  // An m right after hours or right before seconds is minutes.
  std::size_t prev = std::string::npos;
  for (std::size_t k = 0; k < sec.tokens.size(); ++k) {
    Token& t = sec.tokens[k];
    if (t.kind != Kind::Date) continue;
    if (t.text[0] == 'm' && t.text.size() <= 2 && !t.elapsed) {
      bool after_h = prev != std::string::npos && sec.tokens[prev].text[0] == 'h';
      bool before_s = false;
      for (std::size_t n = k + 1; n < sec.tokens.size(); ++n) {
        if (sec.tokens[n].kind != Kind::Date) continue;
        before_s = sec.tokens[n].text[0] == 's';
        break;
      }
      t.minutes = after_h || before_s;
    }
    if (t.elapsed && t.text[0] == 'm') t.minutes = true;
    prev = k;
  }
  return sec;
}

// Splits at ";" outside quotes, brackets and escapes.
std::optional<std::vector<std::string_view>> split_sections(std::string_view code) {
  std::vector<std::string_view> out;
  std::size_t start = 0;
  for (std::size_t i = 0; i < code.size(); ++i) {
    const char c = code[i];
    if (c == '"') {
      const std::size_t end = code.find('"', i + 1);
      if (end == std::string_view::npos) return std::nullopt;
      i = end;
    } else if (c == '[') {
      const std::size_t end = code.find(']', i + 1);
      if (end == std::string_view::npos) return std::nullopt;
      i = end;
    } else if (c == '\\' || c == '_' || c == '*') {
      ++i;
    } else if (c == ';') {
      out.push_back(code.substr(start, i - start));
      start = i + 1;
      if (out.size() >= 4) return std::nullopt;
    }
  }
  out.push_back(code.substr(start));
  return out;
}

}  // namespace quillo::spreadsheet::number_format_detail
