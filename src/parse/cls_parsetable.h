// cls_parsetable: splits an HTML table into rows of cells.
//
// set_table gives it the table text, do_parse splits that text at each
// <tr>...</tr> into rows of up to 30 cells (the 30th holding the row's
// last element when there are more), and getcell reads a cell. Rows and
// columns are numbered from 1; a cell outside the parse reads "N/A".
// Letter case of the tags does not matter. One instance per parse; it
// owns its rows. Any thread may use its own instance.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "common/value.h"

namespace quillo {

class cls_parsetable {
 public:
  static constexpr int kMaxCells = 30;
  using Row = std::array<Value, kMaxCells + 1>;  // cell 0 is never written

  // Splits the table text into rows; with raw each cell keeps its
  // element's HTML, otherwise its text. The table text is consumed.
  void do_parse(bool raw);
  std::int32_t get_rownum() const { return static_cast<std::int32_t>(m_rows.size()); }
  void set_table(std::string table) { m_table = std::move(table); }
  // The cell's value, or the text "N/A" when the row does not exist or the
  // column lies outside 0 to 30.
  Value getcell(std::int64_t row, std::int64_t column) const;
  // The cell's text without a copy, for label searches; "N/A" outside the
  // parse, empty for a cell that holds no text.
  std::string_view cell_text(std::int64_t row, std::int64_t column) const;
  // Appends a row whose 30 cells are "#N/A".
  void create_narow();

 private:
  std::vector<Row> m_rows;
  std::string m_table;
};

}  // namespace quillo
