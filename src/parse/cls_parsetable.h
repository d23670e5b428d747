// cls_parsetable: splits an HTML table into rows of cells.
//
// set_table (or set_table_view) gives it the table text, do_parse splits
// that text at each <tr>...</tr> into rows of up to 30 cells (the 30th
// holding the row's last element when there are more), and getcell reads a
// cell. Rows and columns are numbered from 1; a cell outside the parse reads
// "N/A". Letter case of the tags does not matter. One instance per parse;
// it owns its rows. Any thread may use its own instance.
//
// A cell is kept as the span of the table text it came from wherever its
// value is that span (a raw cell without line breaks or tabs), so a parse
// allocates per row and per odd cell, not per cell; getcell makes the
// cell's value when it is asked for.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/text.h"
#include "common/value.h"

namespace quillo {

class cls_parsetable {
 public:
  static constexpr int kMaxCells = 30;

  // Splits the table text into rows; with raw each cell keeps its
  // element's HTML, otherwise its text. The table text is consumed: a
  // second parse sees only what followed the last row. known_clean says
  // the text holds no line break or tab (a page entities_decode cleaned),
  // which spares a look for them.
  void do_parse(bool raw, bool known_clean = false);
  std::int32_t get_rownum() const { return static_cast<std::int32_t>(m_rows.size()); }
  void set_table(std::string table) {
    m_own = std::move(table);
    m_view_set = false;
    m_from = 0;
  }
  // The table text without a copy: it must stay unchanged while this
  // instance is used.
  void set_table_view(std::string_view table) {
    m_own.clear();
    m_view = table;
    m_view_set = true;
    m_from = 0;
  }
  // The cell's value, or the text "N/A" when the row does not exist or the
  // column lies outside 0 to 30. A column the row has no cell for (and
  // column 0) reads as empty.
  Value getcell(std::int64_t row, std::int64_t column) const;
  // The cell's text without a copy, for label searches; "N/A" outside the
  // parse, empty for a cell that holds no text.
  std::string_view cell_text(std::int64_t row, std::int64_t column) const;
  // Appends a row whose 30 cells are "#N/A".
  void create_narow();
  // The last row whose cell in column holds label (letter case ignored, as
  // text::find_ci), or 0 when none does. prepared, when given, is
  // text::ci_needle(label), and bits label_bits(label).
  std::int32_t last_row_containing(std::int64_t column, std::string_view label,
                                   const text::CiNeedle* prepared = nullptr,
                                   const std::uint64_t* bits = nullptr) const;
  // A bit for each pair of adjacent ASCII bytes of text (letter case
  // folded), and the bits of a label cell: a cell can only hold a label
  // (as text::find_ci finds it) whose bits are all among its own.
  static std::uint64_t label_bits(std::string_view text);
  static std::uint64_t cell_bits(std::string_view text);

 private:
  // A cell's text: a span of the table text, or (with own set) of the
  // string m_values[at].
  struct Cell {
    std::size_t at = 0;
    std::uint32_t length = 0;
    bool own = false;
  };
  struct Row {
    std::size_t first = 0;  // index of its first cell in m_cells
    std::uint32_t count = 0;
  };
  std::string_view text() const { return m_view_set ? m_view : std::string_view(m_own); }
  // The found cell (1 to count) of a row in range, or nullptr.
  const Cell* cell_at(std::int64_t row, std::int64_t column) const;
  std::string_view view(const Cell& c) const;
  // Appends a row of the first n of m_elements (spans of the table text);
  // clean: the table holds no line break or tab.
  void add_row(std::size_t n, bool raw, bool clean);

  std::vector<Row> m_rows;
  std::vector<Cell> m_cells;
  std::vector<std::string> m_values;
  std::string m_own;
  std::string_view m_view;
  bool m_view_set = false;
  std::size_t m_from = 0;  // where the next parse starts in the text
  // For last_row_containing: per row, the cell_bits of the row's cell in
  // m_pairs_column. A label can only be in a cell whose bits hold all of
  // the label's, so most rows of a long table are passed over without a
  // search.
  mutable std::vector<std::uint64_t> m_pairs;
  mutable std::int64_t m_pairs_column = -1;
  // The last search's label and answer, in m_pairs_column: fields of one
  // row (a range's low and high) look for the same label in turn.
  mutable std::string m_last_label;
  mutable std::int32_t m_last_row = 0;
  mutable bool m_last_set = false;
  // The elements of the row being added: kept between rows, as setting 30
  // of them up for each row of a long table costs more than the row.
  std::array<std::string_view, kMaxCells> m_elements;
};

}  // namespace quillo
