#include "parse/clsparse.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

#include "common/text.h"
#include "parse/figures.h"

namespace quillo {

namespace {

constexpr std::size_t npos = std::string_view::npos;
// getitag's answer when the n-th "<" is never closed; callers compare it exactly.
constexpr std::string_view kUnclosedTag = "#/N/A";
// The option helpers' answer for a missing option.
constexpr std::string_view kNoOption = "n/a";
// A table row keeps at most this many cells; later elements overwrite the last.
constexpr std::size_t kMaxCells = 30;

Value not_found() {
  return Value(kNotFound);
}

using text::is_digit;
using text::is_letter;
using text::is_space;

// What ends a tag's name: whitespace, ">" or "/".
bool ends_tag_name(char c) {
  return is_space(c) || c == '>' || c == '/';
}

// The text between the first start marker and the next end marker after it.
// With whole_tags, markers that are tag names match only whole tag names
// (find_marker); otherwise both are plain text.
std::optional<std::string_view> between_markers(std::string_view text, std::string_view start,
                                                std::string_view end, bool whole_tags = false) {
  const auto find = [whole_tags](std::string_view hay, std::string_view needle) {
    return whole_tags ? find_marker(hay, needle) : text::find_ci(hay, needle);
  };
  const std::size_t s = find(text, start);
  if (s == 0) return std::nullopt;
  const std::string_view rest = text::mid(text, s + start.size());
  const std::size_t e = find(rest, end);
  if (e == 0) return std::nullopt;
  return text::left(rest, e - 1);
}

// Cuts a template (already ending in the "<" that closes its last piece)
// before each "<" that is not its first character. "abc<td" + "<" gives
// "abc" and "<td"; an empty template gives no piece at all. Pieces are never
// empty and every piece after the first starts with "<".
std::vector<std::string_view> template_pieces(std::string_view t) {
  std::vector<std::string_view> pieces;
  while (true) {
    const std::size_t p = text::find(t, "<", 2);
    if (p == 0) break;
    pieces.push_back(text::left(t, p - 1));
    t = p + 1 > t.size() ? std::string_view{} : text::mid(t, p);
  }
  return pieces;
}

// For every "<" of a text, the name getitag + gettagname would give for the
// tag it opens: from the "<" up to the first blank or ">", whichever comes
// first, provided a ">" follows at all. Built in one pass, so the anchor
// checks in convert5 cost no rescans of the text.
struct TagIndex {
  std::vector<std::size_t> at;    // 0-based offsets of "<"
  std::vector<std::size_t> name;  // length of the name with its "<"; npos when unclosed
};

TagIndex index_tags(std::string_view s) {
  TagIndex index;
  // Offsets of the next ">" and blank after the current "<". Both only move
  // forward, and once none remains the search is not repeated.
  std::size_t next_gt = 0, next_blank = 0;
  for (std::size_t p = s.find('<'); p != npos; p = s.find('<', p + 1)) {
    if (next_gt != npos && next_gt <= p) next_gt = s.find('>', p + 1);
    if (next_blank != npos && next_blank <= p) next_blank = s.find(' ', p + 1);
    index.at.push_back(p);
    index.name.push_back(next_gt == npos ? npos : std::min(next_gt, next_blank) - p);
  }
  return index;
}

// The first "<TD" or "<TH" (any letter case) at or after from, or npos.
std::size_t find_cell_open(std::string_view s, std::size_t from) {
  for (std::size_t i = s.find('<', from); i != npos; i = s.find('<', i + 1)) {
    if (i + 2 < s.size() && text::lower_char(s[i + 1]) == 't') {
      const char c = text::lower_char(s[i + 2]);
      if (c == 'd' || c == 'h') return i;
    }
  }
  return npos;
}

// The first "</TD>" or "</TH>" (any letter case) at or after from, or npos.
std::size_t find_cell_close(std::string_view s, std::size_t from) {
  for (std::size_t i = s.find('<', from); i != npos; i = s.find('<', i + 1)) {
    if (i + 4 < s.size() && s[i + 1] == '/' && text::lower_char(s[i + 2]) == 't' &&
        s[i + 4] == '>') {
      const char c = text::lower_char(s[i + 3]);
      if (c == 'd' || c == 'h') return i;
    }
  }
  return npos;
}
constexpr std::size_t kCellCloseLength = 5;  // "</TD>"

// Calls visit(run) for every non-empty run of text between a ">" and the
// next "<", left to right; a visit returning false ends the walk. The "<"
// that ends a run is skipped, so the next run starts after the next ">".
template <class Visit>
void for_each_run(std::string_view html, Visit visit) {
  std::size_t from = 0;
  while (true) {
    const std::size_t g = html.find('>', from);
    if (g == npos) return;
    const std::size_t l = html.find('<', g);
    if (l == npos) return;
    if (l != g + 1 && !visit(html.substr(g + 1, l - g - 1))) return;
    from = l + 1;
  }
}

// Elements of an array, or of a range's values; nullopt for anything else.
std::optional<Array> elements_of(const Value& v) {
  if (v.is_array()) return v.array();
  if (v.is_range()) return v.range().values();
  return std::nullopt;
}

// Reduces the opening tag at s[lt] (a "<" followed by a letter) to its name
// and the attributes whose value is empty or missing, keeping their original
// spelling; appends it to out and returns the offset after its ">". Returns
// npos when the tag (or a quoted value in it) runs to the end of the text.
std::size_t strip_attributes(std::string_view s, std::size_t lt, std::string& out) {
  const std::size_t n = s.size();
  std::size_t j = lt + 1;
  while (j < n && !is_space(s[j]) && s[j] != '>' && s[j] != '/') ++j;
  std::string tag(s.substr(lt, j - lt));
  while (true) {
    const std::size_t gap = j;  // the blanks before an attribute go with it
    while (j < n && is_space(s[j])) ++j;
    if (j >= n) return npos;
    if (s[j] == '>' || s[j] == '/') {
      tag.append(s.substr(gap, j + 1 - gap));
      if (s[j++] == '/') continue;
      out += tag;
      return j;
    }
    // Attribute name; a stray "=" counts as one so that the scan moves on.
    ++j;
    while (j < n && !is_space(s[j]) && s[j] != '=' && s[j] != '>' && s[j] != '/') ++j;
    std::size_t k = j;
    while (k < n && is_space(s[k])) ++k;
    bool has_value = false;
    if (k < n && s[k] == '=') {
      ++k;
      while (k < n && is_space(s[k])) ++k;
      if (k < n && (s[k] == '"' || s[k] == '\'')) {
        const std::size_t q = s.find(s[k], k + 1);
        if (q == npos) return npos;
        has_value = q > k + 1;
        j = q + 1;
      } else {
        const std::size_t v = k;
        while (k < n && !is_space(s[k]) && s[k] != '>') ++k;
        has_value = k > v;
        j = k;
      }
    }
    if (!has_value) tag.append(s.substr(gap, j - gap));
  }
}

}  // namespace

bool is_tag_marker(std::string_view marker) {
  std::size_t i = marker.starts_with("</") ? 2 : marker.starts_with("<") ? 1 : 0;
  if (i == 0 || i >= marker.size() || !is_letter(marker[i])) return false;
  return std::none_of(marker.begin() + static_cast<std::ptrdiff_t>(i), marker.end(),
                      [](char c) { return ends_tag_name(c) || c == '<'; });
}

bool whole_tag_name_at(std::string_view text, std::size_t at, std::size_t length) {
  const std::size_t after = at + length;
  return after >= text.size() || ends_tag_name(text[after]);
}

std::size_t find_marker(std::string_view text, std::string_view marker, std::size_t from) {
  std::size_t p = text::find_ci(text, marker, from);
  if (!is_tag_marker(marker)) return p;
  while (p != 0 && !whole_tag_name_at(text, p - 1, marker.size())) {
    p = text::find_ci(text, marker, p + 1);
  }
  return p;
}

Value clsparse::convert1(std::string_view text, std::string_view lead, std::string_view start,
                         std::string_view end, std::int64_t& window) {
  const std::array<text::CiNeedle, 3> marks{text::ci_needle(lead), text::ci_needle(start),
                                            text::ci_needle(end)};
  std::size_t lead_at = kLeadUnknown;
  return convert1(text, lead, start, end, window, marks, lead_at);
}

Value clsparse::convert1(std::string_view text, std::string_view lead, std::string_view start,
                         std::string_view end, std::int64_t& window,
                         std::span<const text::CiNeedle, 3> marks, std::size_t& lead_at) {
  std::string_view work = text;
  if (!lead.empty()) {
    if (lead_at == kLeadUnknown) lead_at = text::find_ci(text, lead, marks[0]);
    const std::size_t p = lead_at;
    if (p == 0) return not_found();
    if (window == 0) window = static_cast<std::int64_t>(text.size());
    // A negative window cannot hold anything (Mid would refuse the length).
    if (window < 0) return not_found();
    work = text::mid(text, p + lead.size(), static_cast<std::size_t>(window));
  }
  const std::size_t s = text::find_ci(work, start, marks[1]);
  if (s == 0) return not_found();
  const std::string_view rest = text::mid(work, s + start.size());
  const std::size_t e = text::find_ci(rest, end, marks[2]);
  if (e == 0) return not_found();
  return Value(text::left(rest, e - 1));
}

Value clsparse::convert3(std::string_view text, std::string_view templ, std::string_view start,
                         std::string_view end) {
  const std::string t = std::string(templ) + "<";
  for (const std::string_view piece : template_pieces(t)) {
    const std::size_t p = find_marker(text, piece);
    if (p == 0) return not_found();
    text = text::mid(text, p + piece.size());
  }
  auto result = between_markers(text, start, end, true);
  if (!result) return not_found();
  // The end of the anchor tag may still stand in front of the value.
  const std::size_t gt = result->find('>');
  if (gt != npos) result = result->substr(gt + 1);
  return Value(*result);
}

Value clsparse::convert2(std::string_view text, std::int32_t mode) {
  const std::size_t a = text::find(text, "(");
  const std::size_t b = text::find(text, ")");
  if (a == 0 || b == 0 || a > b) return not_found();
  if (mode == 1) return Value(text::left(text, a - 1));
  if (mode == 2) return Value(text::mid(text, a + 1, b - a - 1));
  return not_found();
}

Value clsparse::convert4(std::string_view text, std::string_view marker, std::int32_t mode) {
  const std::size_t p = text::find_ci(text, marker);
  if (p == 0) return not_found();
  if (mode == 1) return Value(text::left(text, p - 1));
  if (mode == 2) return Value(text::mid(text, p + marker.size()));
  return not_found();
}

Value clsparse::left_clear(std::string& text) {
  // Entities such as "&nbsp;" in front of a figure end in ";".
  const std::size_t semi = text.rfind(';');
  if (semi != npos) text.erase(0, semi + 1);
  const std::size_t first = text.find_first_of("0123456789-");
  if (first != npos) text.erase(0, first);
  return Value(text);
}

namespace {

// Whether the steps before read_figure in figure_convert1 leave text as it
// is: it has only digits, "." and "-", and the separators are the default
// ones (or none), so no group separator, no other decimal sign, no dash
// and neither "#N/A" nor "NM" can stand in it.
bool plain_figure(std::string_view text, const FigureFormat& format) {
  if (!(format.group.empty() || format.group == ",") ||
      !(format.decimal.empty() || format.decimal == ".")) {
    return false;
  }
  for (const char c : text) {
    if (!is_digit(c) && c != '.' && c != '-') return false;
  }
  return true;
}

}  // namespace

Value clsparse::figure_convert1(std::string& text, const FigureFormat& format) {
  // Most figures are plain: read at once.
  if (plain_figure(text, format)) {
    if (const auto figure = read_figure(text)) return Value(*figure);
  }
  figure_separators(text, format);
  if (text == kNotFound || text == "NM") return not_found();
  figure_minus_signs(text);
  if (const auto figure = read_figure(text)) return Value(*figure);
  // What read_figure leaves is read by the older steps: figures with text
  // around them ("&nbsp;12.5"), pence ("12p"), hundreds of millions ("350pM").
  if (!text.empty() && text.back() == '%') {
    text.pop_back();
    if (text::is_locale_numeric(text)) return Value(text::leading_number(text, -2));
    return Value(text);
  }
  if (!text.empty() && text.front() == '$') text.erase(0, 1);
  // Lengths count characters: a unit such as "€" is one character of several bytes.
  if (text::char_count(text) > 2 && text.back() == 'p') text.pop_back();
  if (!text::is_locale_numeric(text)) left_clear(text);
  if (text::char_count(text) > 2 && text.front() == '(' && text.back() == ')') {
    const std::string_view inner = std::string_view(text).substr(1, text.size() - 2);
    if (text::is_locale_numeric(inner)) text = "-" + std::string(inner);
  }
  std::string unit;
  if (text::char_count(text) > 2 && text.ends_with("pM")) {
    // Pages quote these in hundreds of the unit: "350pM" is 3.5 million.
    const std::string_view number = text::left(text, text.size() - 2);
    if (text::is_locale_numeric(number)) text = std::string(number);
    unit = "M";
    text = text::format_number(text::leading_number(text, -2));
  }
  if (text::char_count(text) > 2) {
    const std::string_view last = text::right_chars(text, 1);
    if (last.size() != 1 || !is_digit(last[0])) {
      unit = std::string(last);
      const std::string_view number = text::left(text, text.size() - last.size());
      if (text::is_locale_numeric(number)) text = std::string(number);
    }
  }
  if (!text::is_locale_numeric(text)) return Value(text);
  // Units are case-sensitive: "k" is no thousand.
  // The factor is applied as a decimal exponent, so "131.4B" reads as the
  // double nearest to 131.4e9 rather than 131.4 * 1e9 with its rounding.
  int shift = 0;
  if (unit == "K") shift = 3;
  if (unit == "M") shift = 6;
  if (unit == "B") shift = 9;
  if (unit == "T") shift = 12;
  return Value(text::leading_number(text, shift));
}

Value clsparse::figure_convert2(std::string& text) {
  if (text == kNotFound) return not_found();
  text::remove_chars(text, ",");
  return Value(text::leading_number(text));
}

std::string clsparse::firsttag_remove(std::string_view text) {
  const std::size_t a = text::find(text, "<");
  const std::size_t b = text::find(text, ">");
  if (a == 0 || b == 0 || b < a) return std::string(text);
  return std::string(text::mid(text, b + 1));
}

std::string clsparse::firsttag_get(std::string_view text) {
  const std::size_t a = text::find(text, "<");
  const std::size_t b = text::find(text, ">");
  if (a == 0 || b == 0 || b < a) return std::string(kNotFound);
  return std::string(text::mid(text, a, b - a + 1));
}

std::string clsparse::getitag(std::string_view text, std::int64_t n) {
  if (n < 1) return {};
  std::size_t p = npos;
  for (std::int64_t k = 0; k < n; ++k) {
    p = text.find('<', p == npos ? 0 : p + 1);
    if (p == npos) return {};
  }
  const std::size_t g = text.find('>', p + 1);
  if (g == npos) return std::string(kUnclosedTag);
  return std::string(text.substr(p, g - p + 1));
}

std::string clsparse::key_fromtag(std::string_view tag, std::string_view key) {
  const std::size_t p = text::find_ci(tag, key);
  if (p == 0) return std::string(kNotFound);
  // The key is followed by =" and the value runs to the next quote.
  const std::size_t from = p + key.size() + 2;
  const std::size_t q = text::find(tag, "\"", from);
  if (q == 0) return std::string(kNotFound);
  return std::string(text::mid(tag, from, q - from));
}

std::string clsparse::getvalue_fromhtml(std::string_view html, std::int64_t n) {
  std::string h(html);
  text::remove_chars(h, "\n\r\t");
  text::replace_all(h, "&amp;", "");
  text::replace_all(h, "&nbsp;", " ");
  text::replace_all(h, "&#39;", "'");
  // The wrapping tags make text at either end a run like any other.
  h = "<tag>" + h + "<tag>";
  std::string result(kNotFound);
  std::int64_t count = 0;
  for_each_run(h, [&](std::string_view run) {
    if (++count != n) return true;
    result = std::string(run);
    return false;
  });
  return result;
}

std::string clsparse::getallvalue_fromhtml(std::string_view html) {
  std::string text(html);
  allvalue_fromhtml_in_place(text);
  return text;
}

void clsparse::allvalue_fromhtml_in_place(std::string& html) {
  // Text without tags is its own one run (a table cell's figure, mostly).
  if (!has_angle_bracket(html)) {
    if (html.empty()) html = kNotFound;
    return;
  }
  // The runs of "<tmp>" + html + "<tmp>", found in html itself: a run
  // begins after a ">" (or at the start) and ends at the next "<" (or at
  // the end, after which nothing more is read). They are joined by blanks
  // in place: each joining blank stands for at least one "<" of a tag, so
  // what is written never overtakes what is read.
  char* const s = html.data();
  const std::size_t n = html.size();
  // The next c from i on, or n: a table cell's few bytes are looked at one
  // by one, where a library search per tag costs more than they do.
  const auto next = [&](char c, std::size_t i) -> std::size_t {
    if (n - i > 32) {
      const void* at = std::memchr(s + i, c, n - i);
      return at ? static_cast<std::size_t>(static_cast<const char*>(at) - s) : n;
    }
    while (i < n && s[i] != c) ++i;
    return i;
  };
  std::size_t w = 0;
  bool any = false;
  std::size_t begin = 0;
  while (true) {
    const std::size_t l = next('<', begin);
    const bool last = l == n;
    if (l != begin) {
      if (any) s[w++] = ' ';
      if (w != begin) std::memmove(s + w, s + begin, l - begin);
      w += l - begin;
      any = true;
    }
    if (last) break;
    const std::size_t g = next('>', l + 1);
    if (g == n) break;
    begin = g + 1;
  }
  if (any) {
    html.resize(w);
  } else {
    html = kNotFound;
  }
}

std::string clsparse::getfirsttdthelement(std::string& row) {
  const std::size_t open = find_cell_open(row, 0);
  if (open == npos) return std::string(kNotFound);
  const std::size_t close = find_cell_close(row, open);
  if (close == npos) {
    row.erase(0, open);
    return std::string(kNotFound);
  }
  std::string element = row.substr(open, close + kCellCloseLength - open);
  row.erase(0, close + kCellCloseLength);
  return element;
}

bool clsparse::parsetablerow(std::string& row, std::span<Value> cells, bool raw) {
  // The same cuts as repeated getfirsttdthelement calls, but the row is
  // walked with an offset and shortened once at the end: cutting it per cell
  // would copy a long row once for every cell.
  const std::string_view all = row;
  std::size_t taken = 0;
  std::size_t k = 0;
  bool in_bounds = true;
  while (true) {
    const std::size_t open = find_cell_open(all, taken);
    if (open == npos) break;
    const std::size_t close = find_cell_close(all, open);
    if (close == npos) {
      taken = open;
      break;
    }
    const std::string_view element = all.substr(open, close + kCellCloseLength - open);
    taken = close + kCellCloseLength;
    k = std::min(k + 1, kMaxCells);
    if (k >= cells.size()) {
      in_bounds = false;
      break;
    }
    std::string value = raw ? std::string(element) : getallvalue_fromhtml(element);
    text::remove_chars(value, "\n\r\t");
    if (value.find_first_not_of(' ') == npos) value.clear();
    cells[k] = Value(std::move(value));
  }
  row.erase(0, taken);
  return in_bounds;
}

Value clsparse::createdouble(const Value& value) {
  if (const auto d = value.to_number()) return Value(*d);
  // Pages that write "1.234.567" for a whole number.
  std::string t = value.to_text();
  std::replace(t.begin(), t.end(), '.', ',');
  if (const auto d = text::locale_number(t)) return Value(*d);
  return value;
}

Value clsparse::getoption(const Value& options, std::string_view name) {
  const auto elements = elements_of(options);
  if (!elements) return Value(kNoOption);
  const std::vector<Value>& items = elements->items;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (!text::iequals(items[i].to_text(), name)) continue;
    if (i + 1 == items.size()) break;
    return Value(text::upper(items[i + 1].to_text()));
  }
  return Value(kNoOption);
}

void clsparse::options2array(const Value& source, std::vector<Value>& target) {
  target.assign(1, Value());
  const auto elements = elements_of(source);
  if (!elements) {
    target.emplace_back(kNoOption);
    return;
  }
  target.insert(target.end(), elements->items.begin(), elements->items.end());
}

std::string clsparse::removealltagattribute(std::string& html) {
  const std::string_view s = html;
  std::string out;
  out.reserve(s.size());
  std::size_t i = 0;
  std::size_t gt = 0;  // the next ">" after the current "<"; it only moves forward
  while (i < s.size()) {
    const std::size_t lt = s.find('<', i);
    if (lt == npos) {
      gt = npos;
    } else if (gt != npos && gt <= lt) {
      gt = s.find('>', lt + 1);
    }
    // No tag left to rewrite; a "<" that is never closed stays as it is.
    if (gt == npos) {
      out.append(s.substr(i));
      break;
    }
    out.append(s.substr(i, lt - i));
    if (lt + 1 < s.size() && s[lt + 1] == '/') {  // closing tags stay as they are
      out += '<';
      i = lt + 1;
      continue;
    }
    const std::string_view inside = s.substr(lt + 1, gt - lt - 1);
    out += '<';
    out += text::upper(inside.substr(0, inside.find(' ')));
    out += '>';
    i = gt + 1;
  }
  html.swap(out);
  return html;
}

void clsparse::removealltagattribute2(std::string& html) {
  const std::string_view s = html;
  std::string out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    const std::size_t lt = s.find('<', i);
    if (lt == npos) {
      out.append(s.substr(i));
      break;
    }
    out.append(s.substr(i, lt - i));
    if (s.substr(lt).starts_with("<!--")) {
      // Comments may hold anything, tags included; they pass unchanged.
      const std::size_t close = s.find("-->", lt + 4);
      const std::size_t stop = close == npos ? s.size() : close + 3;
      out.append(s.substr(lt, stop - lt));
      i = stop;
      continue;
    }
    if (lt + 1 < s.size() && is_letter(s[lt + 1])) {
      const std::size_t after = strip_attributes(s, lt, out);
      if (after == npos) {  // unclosed: no tag can follow, keep the rest as it is
        out.append(s.substr(lt));
        break;
      }
      i = after;
      continue;
    }
    out += '<';  // closing tags, declarations and a lone "<"
    i = lt + 1;
  }
  html.swap(out);
}

Value clsparse::convert5(std::string_view text, std::string_view templ, std::string_view start,
                         std::string_view end) {
  const std::string t = std::string(templ) + "<";
  const std::vector<std::string_view> pieces = template_pieces(t);
  // An empty template has no anchor: only the markers apply, as in convert3.
  if (!pieces.empty()) {
    const TagIndex tags = pieces.size() > 1 ? index_tags(text) : TagIndex{};
    // The anchor is sought again after every failed check. A folded copy of
    // the text, made once, lets each search start where the last one ended;
    // a case-insensitive search would look ahead for the letter case the
    // text lacks on every try.
    const std::string folded = text::lower(text);
    const std::string anchor = text::lower(pieces[0]);
    std::size_t from = 0;   // where the text left after the last anchor tried begins
    std::size_t first = 0;  // first tag at or after from
    while (true) {
      const std::size_t at = folded.find(anchor, from);
      if (at == npos) return not_found();
      // The tags following the anchor (from the character after its first)
      // must carry the template's tag names in order. Each try moves past
      // the anchor's first character, so the loop ends.
      from = at + 1;
      while (first < tags.at.size() && tags.at[first] < from) ++first;
      bool match = true;
      for (std::size_t i = 1; match && i < pieces.size(); ++i) {
        const std::size_t k = first + i - 1;
        match = k < tags.at.size() && tags.name[k] != npos &&
                text.substr(tags.at[k], tags.name[k]) == pieces[i];
      }
      if (match) break;
    }
    std::string_view rest = text.substr(from);
    for (std::size_t i = 1; i < pieces.size(); ++i) {
      const std::size_t p = find_marker(rest, pieces[i]);
      if (p == 0) return not_found();
      rest = text::mid(rest, p + 1);
    }
    text = rest;
  }
  const auto result = between_markers(text, start, end, true);
  return result ? Value(*result) : not_found();
}

std::string clsparse::gettagname(std::string_view tag) {
  const std::size_t blank = tag.find(' ');
  const std::size_t gt = tag.find('>');
  // A tag without ">" ends at its first blank, or is a name as a whole.
  if (blank != npos && (gt == npos || blank < gt)) return std::string(tag.substr(0, blank));
  return std::string(tag.substr(0, gt));
}

std::string clsparse::removedomspecificelement(std::string& html) {
  html = text::upper(html);
  for (const std::string_view tag :
       {"<TBODY>", "</TBODY>", "<THEAD>", "</THEAD>", "</TFOOT>", "<TFOOT>"}) {
    text::replace_all(html, tag, "");
  }
  return html;
}

}  // namespace quillo
