#include "parse/cls_parsetable.h"

#include <algorithm>
#include <array>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/text.h"
#include "parse/clsparse.h"

namespace quillo {

namespace {

// Plain loops: the string searches for a set of characters look each byte
// up in the set with a call, which costs more than the cell.
bool has_break_or_tab(std::string_view s) {
  for (const char c : s) {
    if (c == '\n' || c == '\r' || c == '\t') return true;
  }
  return false;
}

bool blanks_only(std::string_view s) {
  for (const char c : s) {
    if (c != ' ') return false;
  }
  return true;
}

}  // namespace

// Bit 0x20 set in both bytes of a pair folds ASCII letters as
// text::find_ci does. A pair is read as one 16-bit load and spread over
// the 64 bits by a multiply: every byte of every label cell of a table
// passes here. Pairs with a byte beyond ASCII are left out: find_ci folds
// such letters by character, not by byte.
std::uint64_t cls_parsetable::label_bits(std::string_view s) {
  std::uint64_t bits = 0;
  const char* const p = s.data();
  for (std::size_t i = 1; i < s.size(); ++i) {
    std::uint16_t pair = 0;
    std::memcpy(&pair, p + i - 1, sizeof pair);
    if (pair & 0x8080u) continue;
    const std::uint32_t folded = static_cast<std::uint32_t>(pair | 0x2020u);
    bits |= std::uint64_t{1} << ((folded * 0x9E3779B1u) >> 26);
  }
  return bits;
}

// A cell holding a byte beyond ASCII may hold a letter that folds to an
// ASCII one: it has every bit, and is always searched.
std::uint64_t cls_parsetable::cell_bits(std::string_view s) {
  for (const char c : s) {
    if (static_cast<unsigned char>(c) >= 0x80) return ~std::uint64_t{0};
  }
  return label_bits(s);
}

void cls_parsetable::do_parse(bool raw, bool known_clean) {
  m_pairs.clear();
  m_pairs_column = -1;
  m_last_set = false;
  m_rows.clear();
  m_cells.clear();
  m_values.clear();
  // Room for a summary table at once rather than growing to it; a parse
  // of the next table keeps it.
  if (m_rows.capacity() == 0) {
    m_rows.reserve(16);
    m_cells.reserve(64);
  }
  const std::string_view all = text();
  const char* const s = all.data();
  const std::size_t size = all.size();
  // A table without line breaks and tabs (a page the definition parse has
  // cleaned) needs no look at each cell for them.
  const bool clean = known_clean || (all.find('\n') == std::string_view::npos &&
                                     all.find('\r') == std::string_view::npos &&
                                     all.find('\t') == std::string_view::npos);
  const auto lower = [&](std::size_t i) { return text::lower_char(s[i]); };
  // One walk over the "<" of the text, making the cuts of a search for
  // "<TR", then for "</TR>" after it (letter case ignored), for each row,
  // and within the row (up to its "</TR>") those of the element split: an
  // element opens at the first "<TD" or "<TH" and closes at the first
  // "</TD>" or "</TH>" after it; the next one is looked for after that.
  // The element tests may read into the row's "</TR>" (a row that has one
  // is all that is kept), whose "<" fails each of them, so they need not
  // know where the row ends.
  std::size_t rest = std::min(m_from, size);  // after the last row's "</TR>"
  constexpr std::size_t npos = std::string_view::npos;
  std::size_t row = npos;   // the "<" of the open row's "<TR"
  std::size_t open = npos;  // the "<" of the open element
  std::size_t next = 0;     // where the next element cut may start
  std::size_t count = 0;    // the row's elements so far
  const auto at_lt = [&](std::size_t i) {
    if (row == npos) {
      if (i + 2 < size && lower(i + 1) == 't' && lower(i + 2) == 'r') {
        row = i;
        open = npos;
        next = i;
        count = 0;
      }
      return;
    }
    if (i + 4 < size && s[i + 1] == '/' && lower(i + 2) == 't' && lower(i + 3) == 'r' &&
        s[i + 4] == '>') {
      add_row(count, raw, clean);
      row = npos;
      rest = i + 5;
      return;
    }
    if (i < next) return;
    if (open == npos) {
      if (i + 2 < size && lower(i + 1) == 't') {
        const char c = lower(i + 2);
        if (c == 'd' || c == 'h') open = i;
      }
    } else if (i + 4 < size && s[i + 1] == '/' && lower(i + 2) == 't' && s[i + 4] == '>') {
      const char c = lower(i + 3);
      if (c == 'd' || c == 'h') {
        count = std::min<std::size_t>(count + 1, kMaxCells);
        m_elements[count - 1] = all.substr(open, i + 5 - open);
        open = npos;
        next = i + 5;
      }
    }
  };
  std::size_t i = rest;
#if defined(__SSE2__)
  const __m128i lt = _mm_set1_epi8('<');
  for (; i + 16 <= size; i += 16) {
    auto mask = static_cast<unsigned>(_mm_movemask_epi8(
        _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i)), lt)));
    while (mask != 0) {
      at_lt(i + static_cast<std::size_t>(__builtin_ctz(mask)));
      mask &= mask - 1;
    }
  }
#endif
  for (; i < size; ++i) {
    if (s[i] == '<') at_lt(i);
  }
  // What follows the last row is all a second parse would see.
  m_from = rest;
}

void cls_parsetable::add_row(std::size_t n, bool raw, bool clean) {
  const std::string_view all = text();
  Row& r = m_rows.emplace_back();
  r.first = m_cells.size();
  r.count = static_cast<std::uint32_t>(n);
  for (std::size_t k = 0; k < n; ++k) {
    const std::string_view element = m_elements[k];
    Cell& c = m_cells.emplace_back();
    // As parsetablerow makes a cell: line breaks and tabs removed, and a
    // text of blanks only is empty.
    if (raw && (clean || !has_break_or_tab(element))) {
      if (!blanks_only(element)) {
        c.at = static_cast<std::size_t>(element.data() - all.data());
        c.length = static_cast<std::uint32_t>(element.size());
      }
      continue;
    }
    clsparse parser;
    std::string value = raw ? std::string(element) : parser.getallvalue_fromhtml(element);
    text::remove_chars(value, "\n\r\t");
    if (value.find_first_not_of(' ') == std::string::npos) value.clear();
    c.own = true;
    c.at = m_values.size();
    m_values.push_back(std::move(value));
  }
}

const cls_parsetable::Cell* cls_parsetable::cell_at(std::int64_t row, std::int64_t column) const {
  const Row& r = m_rows[static_cast<std::size_t>(row - 1)];
  if (column < 1 || column > static_cast<std::int64_t>(r.count)) return nullptr;
  return &m_cells[r.first + static_cast<std::size_t>(column - 1)];
}

std::string_view cls_parsetable::view(const Cell& c) const {
  if (c.own) return m_values[c.at];
  return text().substr(c.at, c.length);
}

Value cls_parsetable::getcell(std::int64_t row, std::int64_t column) const {
  if (row < 1 || row > get_rownum() || column < 0 || column > kMaxCells) return Value("N/A");
  const Cell* c = cell_at(row, column);
  return c ? Value(std::string(view(*c))) : Value();
}

std::string_view cls_parsetable::cell_text(std::int64_t row, std::int64_t column) const {
  if (row < 1 || row > get_rownum() || column < 0 || column > kMaxCells) return "N/A";
  const Cell* c = cell_at(row, column);
  return c ? view(*c) : std::string_view();
}

std::int32_t cls_parsetable::last_row_containing(std::int64_t column, std::string_view label,
                                                 const text::CiNeedle* prepared,
                                                 const std::uint64_t* bits) const {
  const std::int32_t rows = get_rownum();
  if (m_pairs_column != column || m_pairs.size() != static_cast<std::size_t>(rows)) {
    m_pairs.resize(static_cast<std::size_t>(rows));
    for (std::int32_t i = 1; i <= rows; ++i) {
      m_pairs[static_cast<std::size_t>(i - 1)] = cell_bits(cell_text(i, column));
    }
    m_pairs_column = column;
    m_last_set = false;
  } else if (m_last_set && label == m_last_label) {
    return m_last_row;
  }
  std::int32_t found = 0;
  // The prepared forms are of this label when the needle's length is its
  // own (find_ci makes the same test).
  const bool ready = prepared && prepared->size == label.size();
  const std::uint64_t need = ready && bits ? *bits : label_bits(label);
  const text::CiNeedle needle = prepared ? *prepared : text::ci_needle(label);
  for (std::int32_t i = rows; i >= 1; --i) {
    if ((m_pairs[static_cast<std::size_t>(i - 1)] & need) != need) continue;
    if (text::find_ci(cell_text(i, column), label, needle) != 0) {
      found = i;
      break;
    }
  }
  m_last_label.assign(label);
  m_last_row = found;
  m_last_set = true;
  return found;
}

void cls_parsetable::create_narow() {
  m_pairs_column = -1;
  m_last_set = false;
  Row& row = m_rows.emplace_back();
  row.first = m_cells.size();
  row.count = kMaxCells;
  const std::size_t na = m_values.size();
  m_values.emplace_back(kNotFound);
  for (int i = 1; i <= kMaxCells; ++i) m_cells.push_back(Cell{na, 0, true});
}

}  // namespace quillo
