#include "history/cls_history_yahoo.h"

#include <algorithm>
#include <string>

#include "history/history_csv.h"
#include "host/output_blocks.h"
#include "host/worksheet.h"

namespace quillo::history {

namespace {

// Rows of one block write: a long table goes out in slices.
constexpr std::int32_t kSliceRows = 4096;

bool contains_ci(std::string_view text, std::string_view what) {
  const auto it =
      std::search(text.begin(), text.end(), what.begin(), what.end(), [](char a, char b) {
        auto lower = [](char c) {
          return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        };
        return lower(a) == lower(b);
      });
  return it != text.end();
}

// The option's value, upper-cased, or empty when the list does not name it.
std::string option(const std::vector<Value>& options, std::string_view name) {
  for (std::size_t i = 1; i + 1 < options.size(); ++i) {
    std::string key = options[i].to_text();
    if (key.size() != name.size() || !contains_ci(key, name)) continue;
    std::string v = options[i + 1].to_text();
    for (char& c : v) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return v;
  }
  return {};
}

// A field as a user typing it would enter it, except that a field that
// would be taken for a formula stays text: an answer never puts formulas
// into the sheet.
// A date before 1900 ("1899-12-29", as the service writes dates) has no
// date serial in a sheet (it would be entered as a negative one): it stays
// the text the service sent.
bool before_1900(std::string_view field) {
  std::size_t digits = 0;
  while (digits < field.size() && field[digits] >= '0' && field[digits] <= '9') ++digits;
  if (digits != 4 || digits == field.size() || field[digits] != '-') return false;
  return std::stoi(std::string(field.substr(0, digits))) < 1900;
}

Value typed(std::string_view field) {
  if (!field.empty() && (field.front() == '=' || before_1900(field))) {
    return Value("'" + std::string(field));
  }
  return Value(field);
}

// Writes the block from (top, left) in slices of rows; the part of a slice
// that runs past the sheet's edge is left out.
void write_block(host::Worksheet& sheet, std::int32_t top, std::int32_t left, const Block& b) {
  const std::int64_t rows = std::min<std::int64_t>(b.rows, host::kSheetRows - top + 1);
  const std::int64_t cols = std::min<std::int64_t>(b.cols, host::kSheetCols - left + 1);
  if (rows <= 0 || cols <= 0) return;
  for (std::int32_t first = 0; first < rows; first += kSliceRows) {
    Array slice;
    slice.rows = static_cast<std::int32_t>(std::min<std::int64_t>(kSliceRows, rows - first));
    slice.cols = static_cast<std::int32_t>(cols);
    slice.items.reserve(static_cast<std::size_t>(slice.rows) *
                        static_cast<std::size_t>(slice.cols));
    for (std::int32_t r = first; r < first + slice.rows; ++r) {
      for (std::int32_t c = 0; c < slice.cols; ++c) {
        slice.items.push_back(
            typed(b.cells[static_cast<std::size_t>(r) * static_cast<std::size_t>(b.cols) +
                          static_cast<std::size_t>(c)]));
      }
    }
    const auto start = sheet.cell(top + first, left);
    if (start.ok()) (void)(*start)->set_value(Value(std::move(slice)));
  }
}

}  // namespace

bool cls_history_yahoo::datavalidate(std::string_view response) {
  return !contains_ci(response, "<title>Symbol Lookup");
}

std::string cls_history_yahoo::tablecheck(std::string_view response) {
  return table_problem(response);
}

void cls_history_yahoo::clear_areas(std::int32_t reqno) {
  for (std::size_t i = 1; i <= m_areas.size(); ++i) {
    if (m_areas.at(i).reqno == reqno) m_areas.at(i).pending = false;
  }
}

void cls_history_yahoo::fieldparse(std::string& response, std::int32_t reqno) {
  m_busy = true;
  const std::string csv = response;
  const host::Calculation mode = m_app.calculation();
  (void)m_app.set_calculation(host::Calculation::Manual);
  m_while_calculating([&] {
    // By index: the table does not change while writing (calculation is
    // manual and `calculating` is set), but nothing here relies on that.
    for (std::size_t i = 1; i <= m_areas.size(); ++i) {
      if (m_areas.at(i).reqno != reqno) continue;
      m_areas.at(i).pending = false;
      write_area(m_areas.at(i), csv);
    }
  });
  (void)m_app.set_calculation(mode);
  const std::size_t lf = response.rfind('\n');
  if (lf != std::string::npos) response.erase(0, lf + 1);
  m_busy = false;
}

void cls_history_yahoo::write_area(Area& a, std::string_view csv) {
  LayoutOptions options;
  options.transpose = option(a.options, "TRANSPOSE") == "YES";
  options.ascending = option(a.options, "SORT") == "ASC";
  options.header = option(a.options, "HEADER") != "NO";
  const std::int32_t top = options.transpose ? a.row : a.row + 1;
  const std::int32_t left = options.transpose ? a.col + 1 : a.col;

  const auto book = m_app.workbooks().item(a.workbook);
  if (!book.ok()) return;
  const auto sheet = (*book)->worksheet(a.sheet);
  if (!sheet.ok()) return;
  const Block block = history_block(csv, select_columns(a.fields), options);
  const host::Block laid{top, left, block.rows, block.cols};
  const host::Block shown = host::on_sheet(laid);
  // A formula in the way (a user's, another history formula), or another
  // formula's block, is never overwritten: nothing is written and the old
  // block stays.
  // Nor over what the formula reads (its options range, date cells).
  if (const auto input = host::covered_input(shown, a.inputs)) {
    a.problem = host::blocked_input_text(*input);
    return;
  }
  if (const auto in_the_way = host::first_formula(**sheet, shown)) {
    a.problem = host::blocked_text(*in_the_way);
    return;
  }
  host::CellPos owner;
  if (const auto in_the_way =
          host::first_in_other_block(**book, **sheet, a.sheet, a.row, a.col, shown, owner)) {
    a.problem = host::blocked_text(*in_the_way, owner);
    return;
  }
  a.problem.clear();
  // The block written before, as the workbook records it (an earlier
  // session wrote it), else as this session remembers it.
  host::clear_previous(**book, **sheet, a.sheet, a.row, a.col, host::BlockShape::Table,
                       host::Block{a.out_row, a.out_col, a.out_rows, a.out_cols});
  a.out_row = top;
  a.out_col = left;
  a.out_rows = block.out_rows;
  a.out_cols = block.out_cols;
  write_block(**sheet, top, left, block);
  (void)host::record_block(**book, a.sheet, a.row, a.col,
                           host::Block{top, left, block.out_rows, block.out_cols});
  if (!laid.empty() && (shown.rows < laid.rows || shown.cols < laid.cols)) {
    a.problem = host::cut_text(shown.empty() ? laid.rows : laid.rows - shown.rows,
                               shown.empty() ? 0 : laid.cols - shown.cols);
  }
}

}  // namespace quillo::history
