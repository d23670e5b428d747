// Structured references: the bracketed part after a table's name, read into
// the box of the table's cells it stands for.
#include <algorithm>

#include "common/text.h"
#include "spreadsheet/address.h"
#include "spreadsheet/formula_refs.h"

namespace quillo::spreadsheet {

namespace {

// Which rows and columns of the table the items select.
struct TablePart {
  bool all = false, data = false, headers = false, totals = false, this_row = false;
  int col1 = -1, col2 = -1;
};

class StructuredScanner {
 public:
  StructuredScanner(std::string_view s, std::size_t pos, const TableInfo& t)
      : m_s(s), m_pos(pos), m_t(t) {}

  StructuredScan run() {
    if (peek() == '[' && !items()) return m_out;
    box();
    return m_out;
  }
  std::size_t pos() const { return m_pos; }

 private:
  char peek(std::size_t ahead = 0) const {
    return m_pos + ahead < m_s.size() ? m_s[m_pos + ahead] : '\0';
  }
  bool fail(const std::string& msg) {
    if (m_out.error.empty()) m_out.error = msg;
    return false;
  }
  bool unbalanced() { return fail("unbalanced \"[\" in a structured reference"); }
  bool bad(const std::string& item) {
    return fail("table " + m_t.name + " has no column or part \"" + item + "\"");
  }

  // One item up to its closing "]": a column name or a special item
  // (#Data); "'" escapes the next character.
  bool bracket_item(std::string& out) {
    while (m_pos < m_s.size()) {
      const char c = m_s[m_pos];
      if (c == ']') return true;
      if (c == '[') return false;
      if (c == '\'' && ++m_pos >= m_s.size()) return false;
      out += m_s[m_pos++];
    }
    return false;
  }

  // Applies one item to the part; false for a column the table lacks.
  bool apply(const std::string& item, bool range_end) {
    if (!range_end && !item.empty() && item[0] == '#') {
      if (text::iequals(item, "#All"))
        m_part.all = true;
      else if (text::iequals(item, "#Data"))
        m_part.data = true;
      else if (text::iequals(item, "#Headers"))
        m_part.headers = true;
      else if (text::iequals(item, "#Totals"))
        m_part.totals = true;
      else if (text::iequals(item, "#This Row"))
        m_part.this_row = true;
      else
        return false;
      return true;
    }
    for (std::size_t i = 0; i < m_t.columns.size(); ++i) {
      if (text::iequals(m_t.columns[i], item)) {
        m_part.col2 = static_cast<int>(i);
        if (!range_end) m_part.col1 = m_part.col2;
        return true;
      }
    }
    return false;
  }

  // Whether a list of bracketed items starts here (blanks allowed before).
  bool list_follows() {
    std::size_t p = m_pos;
    while (p < m_s.size() && m_s[p] == ' ') ++p;
    if (p >= m_s.size() || m_s[p] != '[') return false;
    m_pos = p;
    return true;
  }

  // [Col], [#Data], [@Col], [@[Col]], [@], [[#This Row],[Col]], [[A]:[B]].
  bool items() {
    ++m_pos;
    if (peek() == '@') {
      ++m_pos;
      m_part.this_row = true;
      std::string item;
      if (peek() == '[') {
        ++m_pos;
        if (!bracket_item(item)) return unbalanced();
        ++m_pos;
      } else if (!bracket_item(item)) {
        return unbalanced();
      }
      if (!item.empty() && !apply(item, false)) return bad(item);
    } else if (list_follows()) {
      while (true) {
        while (peek() == ' ') ++m_pos;
        if (peek() != '[') return fail("expected \"[\" in a structured reference");
        ++m_pos;
        std::string item;
        if (!bracket_item(item)) return unbalanced();
        ++m_pos;
        if (!apply(item, false)) return bad(item);
        if (peek() == ':' && peek(1) == '[') {
          m_pos += 2;
          std::string last;
          if (!bracket_item(last) || m_part.col1 < 0) return bad(last);
          ++m_pos;
          if (!apply(last, true)) return bad(last);
        }
        while (peek() == ' ') ++m_pos;
        if (peek() != ',') break;
        ++m_pos;
      }
    } else {
      std::string item;
      if (!bracket_item(item)) return unbalanced();
      if (!item.empty() && !apply(item, false)) return bad(item);
    }
    if (peek() != ']') return unbalanced();
    ++m_pos;
    return true;
  }

  void box() {
    const TableInfo& t = m_t;
    const std::int32_t data1 = t.r1 + t.header_rows, data2 = t.r2 - t.totals_rows;
    std::int32_t r1 = data1, r2 = data2;
    if (m_part.all) {
      r1 = t.r1;
      r2 = t.r2;
    } else if (m_part.headers || m_part.totals) {
      if (m_part.headers && t.header_rows <= 0) {
        fail("table " + t.name + " has no headers");
        return;
      }
      if (m_part.totals && t.totals_rows <= 0) {
        fail("table " + t.name + " has no totals");
        return;
      }
      r1 = m_part.headers ? t.r1 : (m_part.data ? data1 : data2 + 1);
      r2 = m_part.totals ? t.r2 : (m_part.data ? data2 : t.r1 + t.header_rows - 1);
    }
    const std::int32_t c1 = m_part.col1 < 0 ? t.c1 : t.c1 + m_part.col1;
    const std::int32_t c2 = m_part.col1 < 0 ? t.c2 : t.c1 + m_part.col2;
    if (r1 > r2 || t.c1 < 1 || t.c2 > kMaxCols || r1 < 1 || r2 > kMaxRows) {
      fail("table " + t.name + " has no such cells");
      return;
    }
    RefAst& ref = m_out.ref;
    ref.has_sheet = true;
    ref.sheet = t.sheet;
    ref.set_sheet_names(t.name);
    ref.kind = RefAst::Kind::Area;
    ref.r1 = RefPart{r1, true};
    ref.r2 = RefPart{r2, true};
    if (m_part.this_row) ref.r1 = ref.r2 = RefPart{0, false};  // the formula's own row
    ref.c1 = RefPart{std::min(c1, c2), true};
    ref.c2 = RefPart{std::max(c1, c2), true};
  }

  std::string_view m_s;
  std::size_t m_pos;
  const TableInfo& m_t;
  TablePart m_part;
  StructuredScan m_out;
};

}  // namespace

StructuredScan scan_structured(std::string_view s, std::size_t& pos, const TableInfo& table) {
  StructuredScanner scanner(s, pos, table);
  StructuredScan out = scanner.run();
  if (out.error.empty()) pos = scanner.pos();
  return out;
}

}  // namespace quillo::spreadsheet
