#include "spreadsheet/address.h"

#include <charconv>
#include <iterator>

#include "common/text.h"

namespace quillo::spreadsheet {

namespace {

bool is_alpha(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

std::optional<std::int32_t> parse_row(std::string_view digits) {
  if (digits.empty() || digits.size() > 7) return std::nullopt;
  std::int32_t r = 0;
  const auto res = std::from_chars(digits.data(), digits.data() + digits.size(), r);
  if (res.ec != std::errc() || res.ptr != digits.data() + digits.size()) return std::nullopt;
  if (r < 1 || r > kMaxRows) return std::nullopt;
  return r;
}

// One end of an A1 box: "$A$1", "A", "1"; a missing part is 0.
struct End {
  std::int32_t row = 0, col = 0;
};

std::optional<End> parse_end(std::string_view s) {
  End e;
  std::size_t i = 0;
  if (i < s.size() && s[i] == '$') ++i;
  const std::size_t letters = i;
  while (i < s.size() && is_alpha(s[i])) ++i;
  if (i > letters) {
    auto c = column_from_letters(s.substr(letters, i - letters));
    if (!c) return std::nullopt;
    e.col = *c;
  } else if (i > 0) {
    i = 0;  // a lone "$" before digits belongs to the row
  }
  if (i < s.size() && s[i] == '$') ++i;
  const std::size_t digits = i;
  while (i < s.size() && is_digit(s[i])) ++i;
  if (i != s.size()) return std::nullopt;
  if (i > digits) {
    auto r = parse_row(s.substr(digits, i - digits));
    if (!r) return std::nullopt;
    e.row = *r;
  }
  if (e.row == 0 && e.col == 0) return std::nullopt;
  return e;
}

}  // namespace

std::string column_letters(std::int32_t col) {
  char buf[8];
  std::size_t n = 0;
  while (col > 0 && n < sizeof buf) {
    buf[n++] = static_cast<char>('A' + (col - 1) % 26);
    col = (col - 1) / 26;
  }
  return std::string(std::make_reverse_iterator(buf + n), std::make_reverse_iterator(buf));
}

std::optional<std::int32_t> column_from_letters(std::string_view letters) {
  if (letters.empty() || letters.size() > 3) return std::nullopt;
  std::int32_t col = 0;
  for (char ch : letters) {
    if (!is_alpha(ch)) return std::nullopt;
    col = col * 26 + (text::lower_char(ch) - 'a' + 1);
  }
  if (col > kMaxCols) return std::nullopt;
  return col;
}

std::string cell_a1(std::int32_t row, std::int32_t col, bool row_abs, bool col_abs) {
  std::string out;
  if (col_abs) out += '$';
  out += column_letters(col);
  if (row_abs) out += '$';
  out += std::to_string(row);
  return out;
}

std::string box_a1(const Box& b, bool absolute) {
  const std::string_view d = absolute ? "$" : "";
  std::string out;
  if (b.c1 == 1 && b.c2 == kMaxCols) {  // whole rows
    out.append(d).append(std::to_string(b.r1)).append(":").append(d);
    out.append(std::to_string(b.r2));
    return out;
  }
  if (b.r1 == 1 && b.r2 == kMaxRows) {  // whole columns
    out.append(d).append(column_letters(b.c1)).append(":").append(d);
    out.append(column_letters(b.c2));
    return out;
  }
  out = cell_a1(b.r1, b.c1, absolute, absolute);
  if (!b.single()) out.append(":").append(cell_a1(b.r2, b.c2, absolute, absolute));
  return out;
}

std::optional<Box> parse_box_a1(std::string_view text) {
  text = text::trim(text);
  const std::size_t colon = text.find(':');
  const auto first = parse_end(text.substr(0, colon));
  if (!first) return std::nullopt;
  End second = *first;
  if (colon != std::string_view::npos) {
    const auto e = parse_end(text.substr(colon + 1));
    if (!e) return std::nullopt;
    second = *e;
  }
  // Both ends must be of one kind: cells, whole columns or whole rows.
  const bool cols_only = first->row == 0 && second.row == 0;
  const bool rows_only = first->col == 0 && second.col == 0;
  if (!cols_only && !rows_only &&
      (first->row == 0 || first->col == 0 || second.row == 0 || second.col == 0)) {
    return std::nullopt;
  }
  if ((cols_only || rows_only) && colon == std::string_view::npos) return std::nullopt;
  Box b;
  b.r1 = cols_only ? 1 : std::min(first->row, second.row);
  b.r2 = cols_only ? kMaxRows : std::max(first->row, second.row);
  b.c1 = rows_only ? 1 : std::min(first->col, second.col);
  b.c2 = rows_only ? kMaxCols : std::max(first->col, second.col);
  return b;
}

std::optional<SheetBox> parse_sheet_box(std::string_view text) {
  text = text::trim(text);
  SheetBox out;
  const std::size_t bang = text.rfind('!');
  if (bang != std::string_view::npos) {
    std::string_view sheet = text.substr(0, bang);
    if (sheet.size() >= 2 && sheet.front() == '\'' && sheet.back() == '\'') {
      out.sheet = std::string(sheet.substr(1, sheet.size() - 2));
      text::replace_all(out.sheet, "''", "'");
    } else {
      out.sheet = std::string(sheet);
    }
    if (out.sheet.empty()) return std::nullopt;
    text = text.substr(bang + 1);
  }
  auto box = parse_box_a1(text);
  if (!box) return std::nullopt;
  out.box = *box;
  return out;
}

bool sheet_name_needs_quotes(std::string_view name) {
  // Unquoted, a name must read as a word: a letter or "_" first (a digit or
  // "." would start a number), then letters, digits, "_" and ".". Letters
  // beyond ASCII are quoted too, as not every reader takes them bare.
  if (name.empty() || !(is_alpha(name[0]) || name[0] == '_')) return true;
  for (char c : name) {
    if (!is_alpha(c) && !is_digit(c) && c != '_' && c != '.') return true;
  }
  // A name that reads as a cell or a boolean would be taken as one.
  if (parse_box_a1(name)) return true;
  if (text::iequals(name, "TRUE") || text::iequals(name, "FALSE")) return true;
  // R1C1-looking names ("R", "C", "R1C1") are ambiguous in that notation.
  const char first = text::lower_char(name[0]);
  if (first == 'r' || first == 'c') {
    bool rc_only = true;
    for (char c : name) {
      const char l = text::lower_char(c);
      if (l != 'r' && l != 'c' && !is_digit(c)) rc_only = false;
    }
    if (rc_only) return true;
  }
  return false;
}

std::string quote_sheet_name(std::string_view name) {
  if (!sheet_name_needs_quotes(name)) return std::string(name);
  std::string out = "'";
  for (char c : name) {
    out += c;
    if (c == '\'') out += '\'';
  }
  out += '\'';
  return out;
}

}  // namespace quillo::spreadsheet
