#include "indicators/indicator_frame.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "host/output_blocks.h"
#include "host/range.h"
#include "indicators/ta.h"

namespace quillo::indicators {

namespace {

struct Definition {
  Kind kind;
  int tables;   // history tables before the numbers (beta has two)
  int numbers;  // numeric arguments after the tables
  int periods;  // how many of those, from the first, are periods (>= 1)
  int min_columns;
  std::string_view caption;
  std::string_view caption2;  // empty for one-line indicators
};

constexpr std::array<Definition, 16> kDefinitions{{
    {Kind::Sma, 1, 1, 1, 2, "SMA,", ""},
    {Kind::Wma, 1, 1, 1, 3, "WMA,", ""},
    {Kind::Ema, 1, 1, 1, 2, "EMA,", ""},
    {Kind::Rsi, 1, 1, 1, 2, "RSI,", ""},
    {Kind::Macd, 1, 3, 3, 2, "MACD,", "MACD Signal,"},
    {Kind::StoFast, 1, 2, 2, 6, "Sto fast K line,", "Sto fast D line,"},
    {Kind::StoSlow, 1, 3, 3, 6, "Sto slow K line,", "Sto slow D line,"},
    {Kind::Bollinger, 1, 2, 1, 2, "Bollinger Upper-line,", "Bollinger Lower-line,"},
    {Kind::Pricechannel, 1, 1, 1, 6, "Pricechannel Upper-line,", "Pricechannel Lower-line,"},
    {Kind::Momentum, 1, 1, 1, 2, "Momentum,", ""},
    {Kind::Roc, 1, 1, 1, 2, "ROC,", ""},
    {Kind::MoneyFlow, 1, 1, 1, 6, "Money flow,", ""},
    {Kind::Osc, 1, 2, 2, 2, "OSC,", ""},
    {Kind::WClose, 1, 1, 0, 6, "Weighted close,", ""},
    {Kind::VolCtc, 1, 1, 1, 2, "CTC Volatility,", ""},
    {Kind::Beta, 2, 1, 1, 2, "Beta,", ""},
}};

// The number an argument's one value holds, rounded to a whole number as
// the library passes its integer arguments; nullopt when it holds none.
std::optional<double> whole_number(const Value& s) {
  if (s.type() == ValueType::Missing || s.is_error()) return std::nullopt;
  const auto n = s.to_number();
  if (!n || !std::isfinite(*n)) return std::nullopt;
  return std::nearbyint(*n);
}

// The price a cell holds; NaN for a text, an empty cell or an error.
double price(const Value& v) {
  if (v.is_number()) return v.number();
  if (v.is_text()) {
    if (const auto n = v.to_number()) return *n;
  }
  return std::nan("");
}

// Rows and columns of a range argument; nullopt when it is no range.
struct Shape {
  std::int32_t rows = 0;
  std::int32_t cols = 0;
};
std::optional<Shape> shape_of(const Value& v) {
  const host::Range* r = host::as_range(v);
  if (!r) return std::nullopt;
  const auto rows = r->row_count();
  const auto cols = r->column_count();
  if (!rows.ok() || !cols.ok()) return std::nullopt;
  return Shape{*rows, *cols};
}

// Row 1 is a header when its close (column 2) holds no number.
int header_rows(const Array& cells) {
  if (cells.rows < 1 || cells.cols < 2) return 0;
  return cells.at(0, 1).to_number().has_value() ? 0 : 1;
}

// The rows of a range's cells up to the last one holding something (at
// least one): a range drawn wider than its table, or a table that got
// shorter, ends in empty rows, and an indicator reads the table as it is
// now, as every host hands it over.
std::int32_t filled_rows(const Array& cells) {
  auto blank = [](const Value& v) { return v.is_empty() || (v.is_text() && v.text().empty()); };
  std::int32_t rows = cells.rows;
  for (; rows > 1; --rows) {
    for (std::int32_t c = 0; c < cells.cols; ++c) {
      if (!blank(cells.at(rows - 1, c))) return rows;
    }
  }
  return rows;
}

// The data rows of a range's first `rows` rows of cells (after skip
// rows), columns 1 to 6.
Table data_rows(const Array& cells, std::int32_t rows, int skip) {
  Table t;
  const int cols = std::min(cells.cols, 6);
  const std::size_t n = rows > skip ? static_cast<std::size_t>(rows - skip) : 0;
  t.columns.assign(6, std::vector<double>(n, std::nan("")));
  for (int c = 0; c < cols; ++c) {
    for (std::size_t j = 0; j < n; ++j) {
      t.columns[static_cast<std::size_t>(c)][j] =
          price(cells.at(static_cast<std::int32_t>(j) + skip, c));
    }
  }
  return t;
}

// Whether the cells read are the whole range (rows x columns).
bool read_whole(const Array& cells, const Shape& shape) {
  return cells.rows == shape.rows && cells.cols == shape.cols &&
         cells.items.size() ==
             static_cast<std::size_t>(shape.rows) * static_cast<std::size_t>(shape.cols);
}

std::string number_text(double x) {
  return std::to_string(static_cast<long long>(x));
}

std::optional<Series> compute(Kind kind, const Table& t, const Table* index,
                              const std::vector<double>& n) {
  auto i = [&](std::size_t k) { return static_cast<int>(n[k]); };
  switch (kind) {
    case Kind::Sma:
      return sma(t, i(0));
    case Kind::Wma:
      return wma(t, i(0));
    case Kind::Ema:
      return ema(t, i(0));
    case Kind::Rsi:
      return rsi(t, i(0));
    case Kind::Macd:
      return macd(t, i(0), i(1), i(2));
    case Kind::StoFast:
      return sto_fast(t, i(0), i(1));
    case Kind::StoSlow:
      return sto_slow(t, i(0), i(1), i(2));
    case Kind::Bollinger:
      return bollinger(t, i(0), n[1]);
    case Kind::Pricechannel:
      return pricechannel(t, i(0));
    case Kind::Momentum:
      return momentum(t, i(0));
    case Kind::Roc:
      return roc(t, i(0));
    case Kind::MoneyFlow:
      return money_flow(t, i(0));
    case Kind::Osc:
      return osc(t, i(0), i(1));
    case Kind::WClose:
      return w_close(t, n[0]);
    case Kind::VolCtc:
      return vol_ctc(t, i(0));
    case Kind::Beta:
      return beta(*index, t, i(0));
  }
  return std::nullopt;
}

}  // namespace

namespace {

// Reads the numeric arguments and the table's shape; answers what the cell
// shows for arguments the indicator refuses, or nullopt when it can go on.
std::optional<Value> check_arguments(Kind kind, const Definition& def, std::span<const Value> args,
                                     std::vector<double>& numbers, Shape& shape) {
  const auto count = static_cast<std::size_t>(def.tables + def.numbers);
  if (args.size() < count + 1) return Value(std::string());
  // Missing arguments and numbers that are none answer the empty text;
  // several values where a number is taken (a range of several cells) are
  // an error of the call. A cell reference is read through its one cell.
  for (std::size_t k = static_cast<std::size_t>(def.tables); k < count; ++k) {
    const std::optional<Value> one = host::single_value(args[k]);
    if (!one) return Value(ErrorCode::Value);
    const auto n = whole_number(*one);
    if (!n) return Value(std::string());
    numbers.push_back(*n);
  }
  for (int k = 0; k < def.tables; ++k) {
    if (args[static_cast<std::size_t>(k)].type() == ValueType::Missing) return Value(std::string());
  }
  const auto table = shape_of(args[static_cast<std::size_t>(def.tables - 1)]);
  if (!table) return Value(ErrorCode::Value);  // the table must be a range
  shape = *table;
  if (def.tables == 2) {
    const auto index = shape_of(args[0]);
    if (!index) return Value(ErrorCode::Value);
    if (index->cols < def.min_columns || shape.cols < def.min_columns) {
      return Value(kNotEnoughColumns);
    }
    if (index->rows != shape.rows) return Value(kSameRows);
  }
  if (shape.cols < def.min_columns) return Value(kNotEnoughColumns);
  if ((kind == Kind::Macd || kind == Kind::Osc) && numbers[0] >= numbers[1]) {
    return Value(kLongAfterShort);
  }
  for (int k = 0; k < def.periods; ++k) {
    const double p = numbers[static_cast<std::size_t>(k)];
    if (p < 1 || p > 32767) return Value(kPeriodInvalid);
  }
  return std::nullopt;
}

}  // namespace

Value IndicatorFrame::call(Kind kind, std::span<const Value> args) {
  const Definition& def = kDefinitions[static_cast<std::size_t>(kind)];
  std::vector<double> numbers;
  Shape shape;
  if (auto refused = check_arguments(kind, def, args, numbers, shape)) return *refused;

  const auto count = static_cast<std::size_t>(def.tables + def.numbers);
  const host::Range* caller = host::as_range(args[count]);
  if (!caller) return Value(ErrorCode::Value);  // the record is keyed by the calling cell
  const auto index = m_calcs.calc_register(*caller);
  if (!index) return Value(ErrorCode::Value);
  CalcRecord& r = m_calcs.at(*index);
  switch (r.state) {
    case CalcState::Computed:
      // Evaluated again before the pass wrote the series: its table (or
      // the formula) changed, so the series is computed again from what the
      // sheet holds now; while the add-in writes, it waits as it is.
      if (m_calcs.flag().calculating()) {
        m_calcs.defer(*index);
        return Value(kCalculating);
      }
      break;
    case CalcState::Written:
      r.state = CalcState::Idle;
      return Value(r.caption);
    case CalcState::Abandoned:
      return Value(r.caption);
    case CalcState::Idle:
      if (m_calcs.flag().calculating()) {
        m_calcs.defer(*index);
        return Value(r.caption);
      }
      break;
  }

  const Array cells = args[static_cast<std::size_t>(def.tables - 1)].range().values();
  std::optional<Array> index_cells;
  if (def.tables == 2) index_cells = args[0].range().values();
  std::optional<Series> series;
  std::size_t filled = 0;
  // A range the sheet cannot hand over whole (one over the reader's cell
  // limit, such as whole columns, or one whose sheet is gone) comes back as
  // a single error value: that is no table, and a series computed from it
  // would clear the range's rows below the formula.
  if (read_whole(cells, shape) && (!index_cells || read_whole(*index_cells, shape))) {
    const int skip = header_rows(cells);
    // Beta's two tables are read to the same row, the later of their ends.
    const std::int32_t rows =
        index_cells ? std::max(filled_rows(cells), filled_rows(*index_cells)) : filled_rows(cells);
    const Table t = data_rows(cells, rows, skip);
    std::optional<Table> index_table;
    if (index_cells) index_table = data_rows(*index_cells, rows, skip);
    series = compute(kind, t, index_table ? &*index_table : nullptr, numbers);
    filled = t.rows();
  }
  CalcRecord& done = m_calcs.at(*index);
  done.inputs.clear();
  for (int k = 0; k < def.tables; ++k) {
    if (const auto input = host::input_block(args[static_cast<std::size_t>(k)], *caller)) {
      done.inputs.push_back(*input);
    }
  }
  if (!series) {
    // A series computed before no longer fits the sheet: it is not written.
    done.state = CalcState::Idle;
    done.values.clear();
    done.values2.clear();
    done.clear_pending = true;
    // What the cell answers when it is evaluated again while the add-in
    // writes (another indicator's series): its failure, not an empty
    // caption.
    done.caption = std::string(kCalculationError);
    return Value(kCalculationError);
  }
  std::string params;
  for (double n : numbers) params += (params.empty() ? "" : ",") + number_text(n);
  done.caption = std::string(def.caption) + params;
  done.caption2 = def.caption2.empty() ? std::string() : std::string(def.caption2) + params;
  const auto rows = static_cast<std::size_t>(std::max(shape.rows, 0));
  done.filled = filled;
  done.values = std::move(series->values);
  done.values.resize(rows, std::nan(""));
  done.values2 = std::move(series->values2);
  if (!done.values2.empty()) done.values2.resize(rows, std::nan(""));
  done.state = CalcState::Computed;
  done.clear_pending = false;
  return Value(kCalculating);
}

}  // namespace quillo::indicators
