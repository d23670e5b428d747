// The spreadsheet's own worksheet functions, for engine code that computes
// over ranges (indicators average, sum and regress windows of a table).
// Arguments are values as a formula would pass them: ranges, arrays or
// scalars. A result that would be an error value in a cell fails with
// OperationFailed; the message names the error ("#DIV/0!").
// Event-loop thread only.
#pragma once

#include <span>

#include "common/status.h"
#include "common/value.h"

namespace quillo::host {

class WorksheetFunctions {
 public:
  virtual ~WorksheetFunctions() = default;
  virtual Result<double> average(std::span<const Value> args) = 0;
  virtual Result<double> sum(std::span<const Value> args) = 0;
  virtual Result<double> sum_product(std::span<const Value> args) = 0;
  virtual Result<double> max(std::span<const Value> args) = 0;
  virtual Result<double> min(std::span<const Value> args) = 0;
  virtual Result<double> slope(const Value& known_ys, const Value& known_xs) = 0;
};

}  // namespace quillo::host
