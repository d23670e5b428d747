// Logical and information functions: XOR, TRUE, FALSE, ISERR, ISNA,
// ISNONTEXT, ISLOGICAL, ISEVEN, ISODD, ISREF, ISFORMULA, NA, N, TYPE,
// ERROR.TYPE. IF, IFS, IFERROR, IFNA and SWITCH are run by the evaluator,
// which evaluates only the arguments they need.
#include <cmath>

#include "host/range.h"
#include "spreadsheet/function_args.h"

namespace quillo::spreadsheet {

using namespace fn;

Value fn_true(const CallContext&, std::span<const Value>) {
  return Value(true);
}
Value fn_false(const CallContext&, std::span<const Value>) {
  return Value(false);
}
Value fn_na(const CallContext&, std::span<const Value>) {
  return Value(ErrorCode::NA);
}

Value fn_iserr(const CallContext& ctx, std::span<const Value> args) {
  const Value v = scalar(args[0], ctx);
  return Value(v.is_error() && v.error() != ErrorCode::NA);
}

Value fn_isna(const CallContext& ctx, std::span<const Value> args) {
  const Value v = scalar(args[0], ctx);
  return Value(v.is_error() && v.error() == ErrorCode::NA);
}

Value fn_isnontext(const CallContext& ctx, std::span<const Value> args) {
  return Value(!scalar(args[0], ctx).is_text());
}

Value fn_islogical(const CallContext& ctx, std::span<const Value> args) {
  return Value(scalar(args[0], ctx).type() == ValueType::Bool);
}

namespace {

// ISEVEN and ISODD read a number (its whole part counts); a logical value
// is not one here, unlike in arithmetic.
Value parity(const CallContext& ctx, std::span<const Value> args, bool want_even) {
  const Value v = scalar(args[0], ctx);
  if (v.type() == ValueType::Bool) return Value(ErrorCode::Value);
  const auto x = number(v, ctx);
  if (failed(x)) return error_of(x);
  const double whole = std::trunc(std::fabs(std::get<double>(x)));
  const bool even = std::fmod(whole, 2.0) == 0;
  return Value(even == want_even);
}

}  // namespace

Value fn_iseven(const CallContext& ctx, std::span<const Value> args) {
  return parity(ctx, args, true);
}

Value fn_isodd(const CallContext& ctx, std::span<const Value> args) {
  return parity(ctx, args, false);
}

Value fn_isref(const CallContext&, std::span<const Value> args) {
  return Value(args[0].is_range());
}

// ISFORMULA takes a reference: TRUE when its first cell holds a formula.
Value fn_isformula(const CallContext&, std::span<const Value> args) {
  const host::Range* r = host::as_range(args[0]);
  if (!r) return Value(ErrorCode::Value);
  const auto has = r->has_formula();
  if (!has.ok()) return Value(ErrorCode::Ref);
  return Value(has.value());
}

// N: numbers stay, TRUE is 1, anything else but an error is 0. A range
// gives its first cell.
Value fn_n(const CallContext& ctx, std::span<const Value> args) {
  Value v = args[0];
  if (v.is_range()) {
    const auto view = RangeView::of(v);
    v = view->at(0, 0);
  } else {
    v = scalar(v, ctx);
  }
  if (v.is_error()) return v;
  if (v.is_number()) return Value(v.number());
  if (v.type() == ValueType::Bool) return Value(v.as_bool() ? 1.0 : 0.0);
  return Value(0.0);
}

// TYPE: 1 number (and empty), 2 text, 4 logical, 16 error, 64 array or
// range of more than one cell. An error argument is an answer, not a failure.
Value fn_type(const CallContext&, std::span<const Value> args) {
  Value v = args[0];
  if (v.is_range()) {
    const auto view = RangeView::of(v);
    if (view->gone()) return Value(16.0);
    if (view->rows() != 1 || view->cols() != 1) return Value(64.0);
    v = view->at(0, 0);
  }
  switch (v.type()) {
    case ValueType::Text:
      return Value(2.0);
    case ValueType::Bool:
      return Value(4.0);
    case ValueType::Error:
      return Value(16.0);
    case ValueType::Array:
      return Value(64.0);
    default:
      return Value(1.0);
  }
}

// ERROR.TYPE: the number of an error value (1 #NULL! to 7 #N/A); #N/A for
// anything that is not an error.
Value fn_error_type(const CallContext& ctx, std::span<const Value> args) {
  const Value v = scalar(args[0], ctx);
  if (!v.is_error()) return Value(ErrorCode::NA);
  return Value(static_cast<double>(static_cast<int>(v.error())));
}

}  // namespace quillo::spreadsheet
