#include "parse/cls_parsetable.h"

#include "common/text.h"
#include "parse/clsparse.h"

namespace quillo {

void cls_parsetable::do_parse(bool raw) {
  m_rows.clear();
  clsparse parser;
  std::string_view rest = m_table;
  while (true) {
    const std::size_t open = text::find_ci(rest, "<TR");
    if (open == 0) break;
    const std::size_t close = text::find_ci(rest, "</TR>", open + 1);
    if (close == 0) break;
    std::string row(rest.substr(open - 1, close - open));
    rest = rest.substr(close - 1 + 5);
    m_rows.emplace_back();
    // A row keeps at most 30 cells, so the cells span never overflows.
    parser.parsetablerow(row, m_rows.back(), raw);
  }
  m_table.assign(rest);
}

Value cls_parsetable::getcell(std::int64_t row, std::int64_t column) const {
  if (row < 1 || row > get_rownum() || column < 0 || column > kMaxCells) return Value("N/A");
  return m_rows[static_cast<std::size_t>(row - 1)][static_cast<std::size_t>(column)];
}

std::string_view cls_parsetable::cell_text(std::int64_t row, std::int64_t column) const {
  if (row < 1 || row > get_rownum() || column < 0 || column > kMaxCells) return "N/A";
  const Value& v = m_rows[static_cast<std::size_t>(row - 1)][static_cast<std::size_t>(column)];
  return v.is_text() ? std::string_view(v.text()) : std::string_view();
}

void cls_parsetable::create_narow() {
  Row& row = m_rows.emplace_back();
  for (int i = 1; i <= kMaxCells; ++i) row[static_cast<std::size_t>(i)] = Value(kNotFound);
}

}  // namespace quillo
