// The frame shared by the sixteen indicator functions: checks the
// arguments, registers the calling cell's calc record, reads the history
// table out of the sheet, computes the series (ta.h) into the record and
// answers "Calculating..."; once the timer pass has written the series the
// formula answers the indicator's caption ("SMA,20").
//
// Answers values, never throws. Loop thread only.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "common/value.h"
#include "indicators/calc_table.h"

namespace quillo::indicators {

enum class Kind : std::int8_t {
  Sma,
  Wma,
  Ema,
  Rsi,
  Macd,
  StoFast,
  StoSlow,
  Bollinger,
  Pricechannel,
  Momentum,
  Roc,
  MoneyFlow,
  Osc,
  WClose,
  VolCtc,
  Beta,
};

inline constexpr std::string_view kCalculating = "Calculating...";
inline constexpr std::string_view kCalculationError = "Calculation error";
inline constexpr std::string_view kNotEnoughColumns = "not enough hst_table columns";
inline constexpr std::string_view kLongAfterShort =
    "long_periods must be greater than short_periods";
inline constexpr std::string_view kSameRows =
    "hst_table_stock and hst_table_index should have same number of rows";
inline constexpr std::string_view kPeriodInvalid = "period parameter is invalid";

class IndicatorFrame {
 public:
  explicit IndicatorFrame(CalcTable& calcs) : m_calcs(calcs) {}

  // args: the method's arguments in the function library's order, the
  // calling cell last (Missing when the library passes none).
  Value call(Kind kind, std::span<const Value> args);

 private:
  CalcTable& m_calcs;
};

}  // namespace quillo::indicators
