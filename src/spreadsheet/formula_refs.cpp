#include "spreadsheet/formula_refs.h"

#include <charconv>
#include <optional>
#include <string>
#include <utility>

#include "common/text.h"
#include "spreadsheet/address.h"

namespace quillo::spreadsheet {

namespace {

using namespace formula_chars;

// One end of a reference before it is combined into a cell, area, column or
// row reference; a part that was not written has its has_ flag false.
struct End {
  RefPart row, col;
  bool has_row = false, has_col = false;
};

class Scanner {
 public:
  Scanner(std::string_view s, std::size_t pos, std::int32_t row, std::int32_t col,
          std::string_view sheet)
      : m_s(s), m_pos(pos), m_row(row), m_col(col), m_sheet(sheet) {}

  RefScan run(Notation notation) {
    if (notation == Notation::A1 ? a1_ref() : r1c1_ref()) m_out.found = m_out.error.empty();
    return std::move(m_out);
  }
  std::size_t pos() const { return m_pos; }

 private:
  char peek(std::size_t ahead = 0) const {
    return m_pos + ahead < m_s.size() ? m_s[m_pos + ahead] : '\0';
  }

  // Whether the text at the position can follow a reference: not more of a
  // name (names may also hold "\\"), a call or a sheet prefix.
  bool ends_reference() const {
    const char c = peek();
    return !is_word(c) && c != '\\' && c != '(' && c != '!';
  }

  // Whether a function call ("INDEX(") starts at position p.
  bool call_follows(std::size_t p) const {
    const std::size_t start = p;
    while (p < m_s.size() && (is_word(m_s[p]) && m_s[p] != '$')) ++p;
    return p > start && is_alpha(m_s[start]) && p < m_s.size() && m_s[p] == '(';
  }

  // The sheet's name (unquoted) of a prefix that starts at position p
  // ("S!A2", "'My sheet'!A2") and the position past its "!"; nullopt where
  // none starts.
  std::optional<std::pair<std::string, std::size_t>> sheet_prefix_at(std::size_t p) const {
    std::string name;
    if (p < m_s.size() && m_s[p] == '\'') {
      for (++p;; ++p) {
        if (p >= m_s.size()) return std::nullopt;
        if (m_s[p] != '\'') {
          name += m_s[p];
        } else if (p + 1 < m_s.size() && m_s[p + 1] == '\'') {
          name += '\'';  // a quote inside the name, written twice
          ++p;
        } else {
          ++p;
          break;
        }
      }
    } else {
      const std::size_t start = p;
      while (p < m_s.size() && is_word(m_s[p]) && m_s[p] != '$') ++p;
      name = m_s.substr(start, p - start);
    }
    if (name.empty() || p >= m_s.size() || m_s[p] != '!') return std::nullopt;
    return std::pair{std::move(name), p + 1};
  }

  // Skips the sheet prefix of a range's second end when it names the sheet
  // the first end was written with (S!A1:S!A2, 'My S'!A:'My S'!B): the
  // range is then one reference on that sheet. Another sheet, or none,
  // leaves the position alone.
  void skip_same_sheet() {
    if (m_sheet.empty()) return;
    const auto prefix = sheet_prefix_at(m_pos);
    if (prefix && text::iequals(prefix->first, m_sheet)) m_pos = prefix->second;
  }

  // Whether the text after a reference's ":" is the other end of a range
  // the parser's range operator joins: a call (A1:INDEX(...)) or a
  // reference with another sheet (S!A1:T!B2).
  bool operand_follows(std::size_t p) const {
    return call_follows(p) || sheet_prefix_at(p).has_value();
  }

  bool fail(const std::string& msg, std::size_t at) {
    m_out.error = msg;
    m_out.error_pos = at;
    return false;
  }

  static bool in_bounds(const RefPart& p, std::int32_t base, std::int32_t limit) {
    const std::int64_t v = p.abs ? p.n : std::int64_t{base} + p.n;
    return v >= 1 && v <= limit;
  }

  bool done(const End& a, const End& b, RefAst::Kind kind) {
    RefAst& ref = m_out.ref;
    ref.kind = kind;
    ref.r1 = a.row;
    ref.c1 = a.col;
    ref.r2 = b.row;
    ref.c2 = b.col;
    const bool rows_ok = kind == RefAst::Kind::Columns ||
                         (in_bounds(ref.r1, m_row, kMaxRows) && in_bounds(ref.r2, m_row, kMaxRows));
    const bool cols_ok = kind == RefAst::Kind::Rows ||
                         (in_bounds(ref.c1, m_col, kMaxCols) && in_bounds(ref.c2, m_col, kMaxCols));
    if (!rows_ok || !cols_ok) return fail("reference outside the sheet", m_pos);
    return true;
  }

  // "$A$1", "A", "$1": letters and digits each with an optional "$".
  bool a1_end(End& e) {
    const std::size_t start = m_pos;
    bool col_abs = false, row_abs = false;
    if (peek() == '$' && is_alpha(peek(1))) {
      col_abs = true;
      ++m_pos;
    }
    const std::size_t letters = m_pos;
    while (is_alpha(peek())) ++m_pos;
    if (m_pos > letters) {
      const auto col = column_from_letters(m_s.substr(letters, m_pos - letters));
      if (!col) return false;
      e.has_col = true;
      e.col = RefPart{col_abs ? *col : *col - m_col, col_abs};
    }
    if (peek() == '$' && is_digit(peek(1))) {
      row_abs = true;
      ++m_pos;
    }
    const std::size_t digits = m_pos;
    while (is_digit(peek())) ++m_pos;
    if (m_pos > digits) {
      std::int32_t r = 0;
      const auto res = std::from_chars(m_s.data() + digits, m_s.data() + m_pos, r);
      if (res.ec != std::errc() || r < 1 || r > kMaxRows) return false;
      e.has_row = true;
      e.row = RefPart{row_abs ? r : r - m_row, row_abs};
    }
    return m_pos > start && ends_reference() && peek() != '[';
  }

  bool a1_ref() {
    End first;
    if (!a1_end(first)) return false;
    if (first.has_row && first.has_col) {
      End second;
      const std::size_t before_colon = m_pos;
      if (peek() == ':') {
        ++m_pos;
        skip_same_sheet();
        if (!a1_end(second) || !second.has_row || !second.has_col) {
          m_pos = before_colon;
          // A1:INDEX(...), S!A1:S!A2: the range operator, which the parser applies.
          if (operand_follows(before_colon + 1)) return done(first, first, RefAst::Kind::Cell);
          return fail("invalid range", before_colon);
        }
      } else {
        second = first;
      }
      return done(first, second, m_pos == before_colon ? RefAst::Kind::Cell : RefAst::Kind::Area);
    }
    // Whole columns ("A:C") and whole rows ("1:3") need both ends.
    if (peek() != ':') return false;
    ++m_pos;
    skip_same_sheet();
    End second;
    if (!a1_end(second) || second.has_row != first.has_row || second.has_col != first.has_col) {
      return false;
    }
    return done(first, second, first.has_col ? RefAst::Kind::Columns : RefAst::Kind::Rows);
  }

  // "R", "R5", "R[-1]" (and the same with C): absolute, relative or this row.
  bool r1c1_part(char letter, RefPart& part, bool& present) {
    present = false;
    if (text::lower_char(peek()) != letter) return true;
    ++m_pos;
    present = true;
    part = RefPart{0, false};
    if (peek() == '[') {
      ++m_pos;
      const std::size_t start = m_pos;
      if (peek() == '-' || peek() == '+') ++m_pos;
      while (is_digit(peek())) ++m_pos;
      std::string_view digits = m_s.substr(start, m_pos - start);
      if (!digits.empty() && digits[0] == '+') digits.remove_prefix(1);
      std::int32_t n = 0;
      const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), n);
      if (r.ec != std::errc() || r.ptr != digits.data() + digits.size() || peek() != ']') {
        return false;
      }
      ++m_pos;
      part.n = n;
    } else if (is_digit(peek())) {
      const std::size_t start = m_pos;
      while (is_digit(peek())) ++m_pos;
      std::int32_t n = 0;
      const auto r = std::from_chars(m_s.data() + start, m_s.data() + m_pos, n);
      if (r.ec != std::errc() || n < 1) return false;
      part = RefPart{n, true};
    }
    return true;
  }

  bool r1c1_end(End& e) {
    if (!r1c1_part('r', e.row, e.has_row)) return false;
    if (!r1c1_part('c', e.col, e.has_col)) return false;
    return (e.has_row || e.has_col) && ends_reference();
  }

  bool r1c1_ref() {
    End first;
    if (!r1c1_end(first)) return false;
    End second = first;
    bool range = false;
    if (peek() == ':') {
      const std::size_t colon = m_pos;
      ++m_pos;
      skip_same_sheet();
      if (!r1c1_end(second) || second.has_row != first.has_row || second.has_col != first.has_col) {
        m_pos = colon;
        if (operand_follows(colon + 1)) return done(first, first, kind_of(first, false));
        return fail("invalid range", colon);
      }
      range = true;
    }
    return done(first, second, kind_of(first, range));
  }

  static RefAst::Kind kind_of(const End& first, bool range) {
    if (!first.has_row) return RefAst::Kind::Columns;
    if (!first.has_col) return RefAst::Kind::Rows;
    return range ? RefAst::Kind::Area : RefAst::Kind::Cell;
  }

  std::string_view m_s;
  std::size_t m_pos;
  std::int32_t m_row, m_col;
  std::string_view m_sheet;  // the sheet the reference was written with, if one
  RefScan m_out;
};

}  // namespace

RefScan scan_reference(std::string_view s, std::size_t& pos, Notation notation, std::int32_t row,
                       std::int32_t col, std::string_view sheet) {
  // Most words that are no reference say so at their first letters, which
  // is looked at before setting up the scan: a function's or name's run of
  // more than three letters is no A1 column, and R1C1 starts with R or C.
  if (notation == Notation::A1) {
    std::size_t p = pos;
    if (p + 1 < s.size() && s[p] == '$' && is_alpha(s[p + 1])) ++p;
    const std::size_t letters = p;
    while (p < s.size() && p - letters <= 3 && is_alpha(s[p])) ++p;
    if (p - letters > 3) return {};
  } else if (pos >= s.size() ||
             (text::lower_char(s[pos]) != 'r' && text::lower_char(s[pos]) != 'c')) {
    return {};
  }
  Scanner scanner(s, pos, row, col, sheet);
  RefScan out = scanner.run(notation);
  if (out.found) pos = scanner.pos();
  return out;
}

}  // namespace quillo::spreadsheet
