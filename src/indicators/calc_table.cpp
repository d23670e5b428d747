#include "indicators/calc_table.h"

#include <algorithm>
#include <cmath>

#include "host/cell_key.h"
#include "host/output_blocks.h"
#include "host/worksheet.h"
#include "indicators/ta.h"

namespace quillo::indicators {

namespace {

// Rows written by one block write: large series go out in slices so the
// block of values built for a write stays small.
constexpr std::size_t kSliceRows = 65536;

Value element(const std::vector<double>& series, std::size_t k, std::size_t filled) {
  if (k >= filled || k >= series.size()) return Value();
  const double x = series[k];
  if (is_none(x)) return Value(std::string());
  return std::isfinite(x) ? Value(x) : Value(ErrorCode::Num);
}

}  // namespace

std::size_t CalcTable::calc_find_or_add(const std::string& key) {
  if (const auto it = m_by_key.find(key); it != m_by_key.end()) return it->second;
  CalcRecord r;
  r.key = key;
  m_calcs.push_back(std::move(r));
  m_by_key.emplace(key, m_calcs.size());
  return m_calcs.size();
}

std::optional<std::size_t> CalcTable::calc_register(const host::Range& fcaller) {
  const std::string key = host::cellkey(fcaller);
  if (key.empty()) return std::nullopt;
  const auto sheet = fcaller.worksheet();
  const auto cell = fcaller.cell(1, 1);
  const auto formula = fcaller.formula();
  if (!sheet.ok() || !cell.ok() || !formula.ok()) return std::nullopt;
  const std::size_t index = calc_find_or_add(key);
  CalcRecord& r = at(index);
  if (r.formula != *formula &&
      (r.state == CalcState::Computed || r.state == CalcState::Abandoned)) {
    r.state = CalcState::Idle;
    r.values.clear();
    r.values2.clear();
  }
  r.formula = *formula;
  r.row = fcaller.row().value_or(0);
  r.col = fcaller.column().value_or(0);
  r.sheet = (*sheet)->name().value_or(std::string());
  const auto book = (*sheet)->workbook();
  r.workbook = book.ok() ? (*book)->name().value_or(std::string()) : std::string();
  r.cell = *cell;
  return index;
}

std::size_t CalcTable::computed_count() const {
  return static_cast<std::size_t>(std::count_if(m_calcs.begin(), m_calcs.end(), [](const auto& r) {
    return r.state == CalcState::Computed;
  }));
}

void CalcTable::defer(std::size_t index) {
  // The record being written is evaluated by its own write (its formula is
  // entered again): that is no new table.
  if (m_writing != 0 && index != m_writing && index <= m_calcs.size()) at(index).deferred = true;
}

void CalcTable::recompute(std::size_t index) {
  CalcRecord& r = at(index);
  r.deferred = false;
  if (!r.cell) return;
  // Only the formula the record was made for: one the user entered since
  // is the user's and computes by itself.
  const Result<std::string> formula = r.cell->formula();
  if (!formula.ok() || *formula != r.formula) return;
  const host::RangePtr cell = r.cell;
  (void)cell->set_formula(*formula);
}

void CalcTable::calc_pass() {
  if (m_calcs.empty()) return;
  // Rounds of writes by index: a write makes the indicators reading the
  // series written defer (the frame does not compute while `calculating`
  // is set); each computes again before its own write, in this round when
  // it comes later by index, else in the next. A chain of averages thus
  // ends written from its inputs' new series. Indicators that read each
  // other's series would defer each other for ever: after kMaxRounds
  // rounds what still defers keeps the series it has.
  constexpr int kMaxRounds = 16;
  bool screen_off = false;
  for (int round = 1;; ++round) {
    bool wrote = false;
    // By index: writing re-enters worksheet functions, which may add records.
    for (std::size_t i = 1; i <= m_calcs.size(); ++i) {
      if (at(i).deferred) {
        if (round <= kMaxRounds) {
          recompute(i);
        } else {
          at(i).deferred = false;
        }
      }
      if (at(i).clear_pending && at(i).state != CalcState::Computed) {
        // The indicator failed: its old series goes, so nothing reads it.
        m_flag.while_calculating([&] { clear_series(at(i)); });
        wrote = true;
        continue;
      }
      if (at(i).state != CalcState::Computed) continue;
      m_flag.while_calculating([&] {
        if (!screen_off && m_app.screen_updating()) {
          m_app.set_screen_updating(false);
          screen_off = true;
        }
        m_writing = i;
        calc_write(i);
        m_writing = 0;
      });
      wrote = true;
    }
    const bool waiting =
        std::any_of(m_calcs.begin(), m_calcs.end(), [](const CalcRecord& r) { return r.deferred; });
    if (!wrote && !waiting) break;
  }
  if (screen_off) m_app.set_screen_updating(true);
}

void CalcTable::calc_write(std::size_t index) {
  const host::Calculation mode = m_app.calculation();
  (void)m_app.set_calculation(host::Calculation::Manual);
  CalcRecord& r = at(index);
  const Result<std::string> formula =
      r.cell ? r.cell->formula() : Result<std::string>(Status::object_required("cell"));
  if (!formula.ok() || *formula != r.formula) {
    // The formula changed (or its sheet is gone) before the series could
    // be written: the series belongs to nothing any more.
    r.values.clear();
    r.values2.clear();
    r.state = CalcState::Abandoned;
    (void)m_app.set_calculation(mode);
    return;
  }
  write_series(r);
  ++m_writes;
  CalcRecord& written = at(index);
  written.state = CalcState::Written;
  written.values.clear();
  written.values.shrink_to_fit();
  written.values2.clear();
  written.values2.shrink_to_fit();
  const std::string text = written.formula;
  const host::RangePtr cell = written.cell;
  (void)cell->set_formula("=\"\"");
  (void)cell->set_formula(text);
  (void)m_app.set_calculation(mode);
}

void CalcTable::clear_series(CalcRecord& r) {
  r.clear_pending = false;
  const host::RangePtr cell = r.cell;
  if (!cell) return;
  const auto sheet = cell->worksheet();
  if (!sheet.ok()) return;
  const auto book = (*sheet)->workbook();
  if (!book.ok()) {
    if (!r.out.empty()) ++m_writes;
    host::clear_values(**sheet, r.out);
    r.out = host::Block{};
    return;
  }
  const bool recorded =
      host::recorded_block(**book, r.sheet, r.row, r.col, host::BlockShape::Series).has_value();
  if (!recorded && r.out.empty()) return;
  ++m_writes;
  host::clear_previous(**book, **sheet, r.sheet, r.row, r.col, host::BlockShape::Series, r.out);
  r.out = host::Block{};
  if (recorded) (void)host::record_block(**book, r.sheet, r.row, r.col, r.out);
}

void CalcTable::write_series(CalcRecord& r) {
  const auto sheet = r.cell->worksheet();
  if (!sheet.ok()) return;
  const auto book = (*sheet)->workbook();
  const bool two = !r.values2.empty() && r.values2.size() == r.values.size();
  const std::int32_t cols = two ? 2 : 1;
  // The series is the data rows' elements: the block below the formula
  // (and, for two lines, the second caption beside it).
  const std::size_t n = std::min(r.filled, r.values.size());
  const host::Block laid{std::int64_t{r.row} + 1, r.col, static_cast<std::int64_t>(n), cols};
  const host::Block series = host::on_sheet(laid);
  const host::Block caption2{r.row, std::int64_t{r.col} + 1, 1, 1};
  // Never over the table it reads: each write would change its input and
  // compute it again. The series written before is cleared.
  const host::Block whole_out{two ? std::int64_t{r.row} : std::int64_t{r.row} + 1, r.col,
                              static_cast<std::int64_t>(n) + (two ? 1 : 0), cols};
  if (const auto input = host::covered_input(host::on_sheet(whole_out), r.inputs)) {
    r.caption = host::blocked_input_text(*input);
    clear_series(r);
    return;
  }
  // A formula in the way, or another formula's block, is never
  // overwritten: nothing is written and the cell says which one blocks it;
  // the series written before is cleared, as it is no longer this
  // formula's answer.
  auto in_the_way = host::first_formula(**sheet, series);
  if (!in_the_way && two) in_the_way = host::first_formula(**sheet, caption2);
  if (in_the_way) {
    r.caption = host::blocked_text(*in_the_way);
    clear_series(r);
    return;
  }
  if (book.ok()) {
    host::CellPos owner;
    auto other = host::first_in_other_block(**book, **sheet, r.sheet, r.row, r.col, series, owner);
    if (!other && two) {
      other = host::first_in_other_block(**book, **sheet, r.sheet, r.row, r.col, caption2, owner);
    }
    if (other) {
      r.caption = host::blocked_text(*other, owner);
      clear_series(r);
      return;
    }
    // The block written before, as the workbook records it (an earlier
    // session wrote it), else as this session remembers it; only that is
    // cleared, whatever the table's range spans.
    host::clear_previous(**book, **sheet, r.sheet, r.row, r.col, host::BlockShape::Series, r.out);
  } else {
    host::clear_values(**sheet, r.out);
  }
  if (two) {
    if (const auto c = (*sheet)->cell(r.row, r.col + 1); c.ok()) {
      (void)(*c)->set_value(Value(r.caption2));
    }
  }
  const host::Block written{two ? std::int64_t{r.row} : std::int64_t{r.row} + 1, r.col,
                            static_cast<std::int64_t>(n) + (two ? 1 : 0), cols};
  r.out = host::on_sheet(written);
  // In the sheet's last column the second line has no room.
  const bool second = two && series.cols == 2;
  const auto rows = static_cast<std::size_t>(series.rows);
  for (std::size_t first = 0; first < rows; first += kSliceRows) {
    const std::size_t slice = std::min(kSliceRows, rows - first);
    Array block;
    block.rows = static_cast<std::int32_t>(slice);
    block.cols = second ? 2 : 1;
    block.items.reserve(slice * static_cast<std::size_t>(block.cols));
    for (std::size_t k = first; k < first + slice; ++k) {
      block.items.push_back(element(r.values, k, r.filled));
      if (second) block.items.push_back(element(r.values2, k, r.filled));
    }
    const auto top = static_cast<std::int64_t>(r.row) + 1 + static_cast<std::int64_t>(first);
    if (const auto start = (*sheet)->cell(static_cast<std::int32_t>(top), r.col); start.ok()) {
      (void)(*start)->set_value(Value(block));
    }
  }
  if (book.ok()) (void)host::record_block(**book, r.sheet, r.row, r.col, r.out);
  if (!laid.empty() && (series.rows < laid.rows || series.cols < laid.cols)) {
    r.caption =
        host::cut_text(laid.rows - series.rows, series.empty() ? 0 : laid.cols - series.cols);
  }
}

}  // namespace quillo::indicators
