// The built-in worksheet functions: one table by name (SUM, VLOOKUP, ...),
// shared by formulas and by the host's worksheet-function calls so both
// compute alike. Functions take evaluated arguments (ranges stay ranges) and
// answer a value; failures are error values, never exceptions.
// Event-loop thread only (they read cells).
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string_view>

#include "common/value.h"
#include "spreadsheet/formula.h"

namespace quillo::spreadsheet {

class Model;

// What a built-in knows of its call besides its arguments.
struct CallContext {
  SheetId sheet = 0;  // the calling cell; 0 when not called from a cell
  std::int32_t row = 0;
  std::int32_t col = 0;
  // The rows and columns of the array formula being computed, whose first
  // cell is (row, col); 1 and 1 for a formula of one cell.
  std::int32_t array_rows = 1;
  std::int32_t array_cols = 1;
  // The spreadsheet whose clock gives the current date and time (NOW,
  // TODAY); null: the serial 0. A plain pointer rather than a callable, as
  // a context is made at every evaluation of a formula.
  const Model* clock = nullptr;
  Model* model = nullptr;  // the spreadsheet of the calling cell, for functions that
                           // reach cells by text (INDIRECT); null outside a cell
};

using BuiltinImpl = Value (*)(const CallContext& ctx, std::span<const Value> args);

// How the evaluator prepares the arguments.
enum class ArgMode : std::uint8_t {
  Values,  // as written: references stay ranges, expressions give scalars
  Arrays,  // expressions over ranges are computed element by element (SUMPRODUCT)
  Lazy,    // only the arguments the function needs are evaluated (IF, IFERROR)
  // Every argument is one value; inside a function that takes arrays, an
  // array argument makes the function compute item by item (ABS, ISNUMBER).
  Elementwise,
};

struct FunctionDef {
  std::string_view name;
  std::int16_t min_args;
  std::int16_t max_args;  // kVarArgs for "as many as given"
  BuiltinImpl impl;       // null for Lazy functions, which the evaluator runs
  ArgMode mode = ArgMode::Values;
  bool is_volatile = false;
};

inline constexpr std::int16_t kVarArgs = 255;

// The built-in named name (any letter case); null when there is none.
const FunctionDef* find_builtin(std::string_view name);

// Entry points shared with the host's worksheet-function calls.
Value fn_sum(const CallContext& ctx, std::span<const Value> args);
Value fn_average(const CallContext& ctx, std::span<const Value> args);
Value fn_min(const CallContext& ctx, std::span<const Value> args);
Value fn_max(const CallContext& ctx, std::span<const Value> args);
Value fn_sumproduct(const CallContext& ctx, std::span<const Value> args);
Value fn_slope(const CallContext& ctx, std::span<const Value> args);

}  // namespace quillo::spreadsheet
