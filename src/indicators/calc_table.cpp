#include "indicators/calc_table.h"

#include <algorithm>
#include <cmath>

#include "host/cell_key.h"
#include "host/worksheet.h"

namespace quillo::indicators {

namespace {

// Rows written by one block write: large series go out in slices so the
// block of values built for a write stays small.
constexpr std::size_t kSliceRows = 65536;

Value element(const std::vector<double>& series, std::size_t k, std::size_t filled) {
  if (k >= filled || k >= series.size()) return Value();
  return std::isnan(series[k]) ? Value(std::string()) : Value(series[k]);
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

void CalcTable::write_series(CalcRecord& r) {
  const auto sheet = r.cell->worksheet();
  if (!sheet.ok()) return;
  const bool two = !r.values2.empty() && r.values2.size() == r.values.size();
  const std::int32_t cols = two ? 2 : 1;
  if (two) {
    if (const auto c = (*sheet)->cell(r.row, r.col + 1); c.ok()) {
      (void)(*c)->set_value(Value(r.caption2));
    }
  }
  const std::size_t n = r.values.size();
  for (std::size_t first = 0; first < n; first += kSliceRows) {
    const std::size_t rows = std::min(kSliceRows, n - first);
    Array block;
    block.rows = static_cast<std::int32_t>(rows);
    block.cols = cols;
    block.items.reserve(rows * static_cast<std::size_t>(cols));
    for (std::size_t k = first; k < first + rows; ++k) {
      block.items.push_back(element(r.values, k, r.filled));
      if (two) block.items.push_back(element(r.values2, k, r.filled));
    }
    const auto top = static_cast<std::int64_t>(r.row) + 1 + static_cast<std::int64_t>(first);
    if (top > INT32_MAX) return;
    const auto start = (*sheet)->cell(static_cast<std::int32_t>(top), r.col);
    if (start.ok() && (*start)->set_value(Value(block)).ok()) continue;
    // A slice that does not fit (it runs past the sheet's last row) is
    // written cell by cell; the cells that exist get their values.
    for (std::int32_t k = 0; k < block.rows; ++k) {
      for (std::int32_t c = 0; c < cols; ++c) {
        const auto cell = (*sheet)->cell(static_cast<std::int32_t>(top) + k, r.col + c);
        if (cell.ok()) (void)(*cell)->set_value(block.at(k, c));
      }
    }
  }
}

}  // namespace quillo::indicators
