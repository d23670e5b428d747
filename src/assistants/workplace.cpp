#include "assistants/workplace.h"

#include <chrono>
#include <ctime>

#include "common/text.h"

namespace quillo::assistants {

Result<host::RangePtr> Workplace::cell() const {
  if (active_cell) return active_cell();
  auto sheet = app.active_sheet();
  if (!sheet.ok()) return sheet.status();
  return (*sheet)->cell(1, 1);
}

CivilDate Workplace::date_today() const {
  if (today) return today();
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm local{};
  ::localtime_r(&now, &local);
  return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday};
}

Result<Anchor> anchor_of(const Workplace& place) {
  auto cell = place.cell();
  if (!cell.ok()) return cell.status();
  Anchor a;
  auto sheet = (*cell)->worksheet();
  auto row = (*cell)->row();
  auto col = (*cell)->column();
  if (!sheet.ok()) return sheet.status();
  if (!row.ok()) return row.status();
  if (!col.ok()) return col.status();
  a.sheet = *sheet;
  a.row = *row;
  a.col = *col;
  return a;
}

bool block_fits(const Anchor& at, std::int32_t rows, std::int32_t cols) {
  if (rows < 1 || cols < 1) return true;
  // The sheet refuses a cell beyond its last row or column; 64-bit sums
  // keep a huge block from wrapping round to a small one.
  const std::int64_t last_row = std::int64_t{at.row} + rows - 1;
  const std::int64_t last_col = std::int64_t{at.col} + cols - 1;
  if (last_row > INT32_MAX || last_col > INT32_MAX) return false;
  return at.sheet->cell(static_cast<std::int32_t>(last_row), static_cast<std::int32_t>(last_col))
      .ok();
}

bool block_holds_array(const Anchor& at, std::int32_t rows, std::int32_t cols) {
  for (std::int32_t r = 0; r < rows; ++r) {
    for (std::int32_t c = 0; c < cols; ++c) {
      auto cell = at.sheet->cell(at.row + r, at.col + c);
      if (cell.ok() && (*cell)->in_array().value_or(false)) return true;
    }
  }
  return false;
}

std::vector<std::string> split_ids(std::string_view text) {
  std::string all(text);
  all += ",";
  text::replace_all(all, ";", ",");
  std::vector<std::string> ids;
  std::size_t start = 0;
  for (std::size_t comma = all.find(','); comma != std::string::npos;
       comma = all.find(',', start)) {
    const std::string_view part = text::trim(std::string_view(all).substr(start, comma - start));
    if (!part.empty()) ids.emplace_back(part);
    start = comma + 1;
  }
  return ids;
}

void put_value(const Anchor& at, std::int32_t row, std::int32_t col, const Value& v) {
  auto cell = at.sheet->cell(row, col);
  if (!cell.ok()) return;
  // Ids, codes and names stay exactly as given: typed entry would turn
  // "0700" into 700 or "TRUE" into a truth value, and the formulas would
  // then ask for another instrument. The apostrophe keeps the text as is.
  if (v.is_text() && !v.text().empty()) {
    (void)(*cell)->set_value(Value("'" + v.text()));
    return;
  }
  (void)(*cell)->set_value(v);
}

Status put_formula_r1c1(const Anchor& at, std::int32_t row, std::int32_t col,
                        std::string_view formula) {
  auto cell = at.sheet->cell(row, col);
  if (!cell.ok()) return cell.status();
  return (*cell)->set_formula_r1c1(formula);
}

}  // namespace quillo::assistants
