// Aggregates and arithmetic functions: SUM, AVERAGE, MIN, MAX, COUNT,
// COUNTA, PRODUCT, SUMSQ, SUMPRODUCT, SUBTOTAL, INT, MOD, ABS, SQRT, LN,
// EXP, POWER.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <vector>

#include "spreadsheet/function_args.h"
#include "spreadsheet/handles.h"

namespace quillo::spreadsheet {

using namespace fn;

Value fn_sum(const CallContext& ctx, std::span<const Value> args) {
  double total = 0;
  if (auto e = for_each_number(args, ctx, [&](double d) { total += d; })) return Value(*e);
  return number_result(total);
}

Value fn_average(const CallContext& ctx, std::span<const Value> args) {
  double total = 0;
  std::int64_t count = 0;
  if (auto e = for_each_number(args, ctx, [&](double d) {
        total += d;
        ++count;
      })) {
    return Value(*e);
  }
  if (count == 0) return Value(ErrorCode::Div0);
  return number_result(total / static_cast<double>(count));
}

Value fn_min(const CallContext& ctx, std::span<const Value> args) {
  double best = std::numeric_limits<double>::infinity();
  if (auto e = for_each_number(args, ctx, [&](double d) { best = std::min(best, d); })) {
    return Value(*e);
  }
  return Value(std::isinf(best) ? 0.0 : best);
}

Value fn_max(const CallContext& ctx, std::span<const Value> args) {
  double best = -std::numeric_limits<double>::infinity();
  if (auto e = for_each_number(args, ctx, [&](double d) { best = std::max(best, d); })) {
    return Value(*e);
  }
  return Value(std::isinf(best) ? 0.0 : best);
}

Value fn_count(const CallContext& ctx, std::span<const Value> args) {
  double count = 0;
  for (const Value& a : args) {
    if (a.type() == ValueType::Missing) continue;
    if (auto view = RangeView::of(a)) {
      view->for_each([&](const Value& v) { count += v.is_number() ? 1 : 0; });
    } else {
      const Value v = scalar(a, ctx);
      if (!v.is_error() && std::holds_alternative<double>(to_number(v)) && !v.is_empty()) ++count;
    }
  }
  return Value(count);
}

Value fn_counta(const CallContext& ctx, std::span<const Value> args) {
  double count = 0;
  for (const Value& a : args) {
    if (a.type() == ValueType::Missing) continue;
    if (auto view = RangeView::of(a)) {
      view->for_each([&](const Value& v) { count += v.is_empty() ? 0 : 1; });
    } else {
      count += scalar(a, ctx).is_empty() ? 0 : 1;
    }
  }
  return Value(count);
}

Value fn_product(const CallContext& ctx, std::span<const Value> args) {
  double product = 1;
  bool any = false;
  if (auto e = for_each_number(args, ctx, [&](double d) {
        product *= d;
        any = true;
      })) {
    return Value(*e);
  }
  return any ? number_result(product) : Value(0.0);
}

Value fn_sumsq(const CallContext& ctx, std::span<const Value> args) {
  double total = 0;
  if (auto e = for_each_number(args, ctx, [&](double d) { total += d * d; })) return Value(*e);
  return number_result(total);
}

Value fn_var_s(const CallContext&, std::span<const Value>);
Value fn_var_p(const CallContext&, std::span<const Value>);
Value fn_stdev_s(const CallContext&, std::span<const Value>);
Value fn_stdev_p(const CallContext&, std::span<const Value>);

namespace {

bool calls_subtotal(const Node& n) {
  if (n.kind == Node::Kind::Call && n.builtin &&
      (n.builtin->name == "SUBTOTAL" || n.builtin->name == "AGGREGATE")) {
    return true;
  }
  for (const auto& a : n.args) {
    if (calls_subtotal(*a)) return true;
  }
  return false;
}

// The values of a range argument without the cells whose formulas are
// subtotals themselves, so that a total over a column of subtotals does not
// count them twice. The aggregates SUBTOTAL applies do not depend on the
// order or the places of the values, so a list of them stands for the range.
Value without_subtotals(const Value& a) {
  if (!a.is_range()) return a;
  const auto* handle = dynamic_cast<const RangeHandle*>(&a.range());
  const auto model = handle ? handle->live() : nullptr;
  if (!model) return a;
  Array kept;
  model->for_each_cell(handle->sheet_id(), handle->box(),
                       [&](std::int32_t, std::int32_t, const Cell& cell) {
                         if (cell.value.is_empty()) return;
                         if (cell.formula && cell.formula->formula && cell.formula->formula->root &&
                             calls_subtotal(*cell.formula->formula->root)) {
                           return;
                         }
                         kept.items.push_back(cell.value);
                       });
  if (kept.items.empty()) kept.items.emplace_back();
  kept.rows = 1;
  kept.cols = static_cast<std::int32_t>(kept.items.size());
  return Value(std::move(kept));
}

}  // namespace

// SUBTOTAL(function, ref, ...): 1 AVERAGE, 2 COUNT, 3 COUNTA, 4 MAX, 5 MIN,
// 6 PRODUCT, 7 STDEV, 8 STDEVP, 9 SUM, 10 VAR, 11 VARP; 101 to 111 the same
// (they would also pass over hidden rows, which this spreadsheet does not
// have). Cells that hold subtotals are passed over.
Value fn_subtotal(const CallContext& ctx, std::span<const Value> args) {
  const auto which = number(args[0], ctx);
  if (failed(which)) return error_of(which);
  int code = static_cast<int>(std::trunc(std::clamp(std::get<double>(which), -1.0, 1000.0)));
  if (code > 100) code -= 100;
  static constexpr BuiltinImpl kImpls[] = {fn_average, fn_count,   fn_counta,  fn_max,
                                           fn_min,     fn_product, fn_stdev_s, fn_stdev_p,
                                           fn_sum,     fn_var_s,   fn_var_p};
  if (code < 1 || code > 11) return Value(ErrorCode::Value);
  std::vector<Value> rest;
  for (std::size_t i = 1; i < args.size(); ++i) rest.push_back(without_subtotals(args[i]));
  return kImpls[code - 1](ctx, rest);
}

Value fn_sumproduct(const CallContext& ctx, std::span<const Value> args) {
  std::vector<Array> arrays;
  for (const Value& a : args) {
    if (a.type() == ValueType::Missing) return Value(ErrorCode::Value);
    if (auto view = RangeView::of(a)) {
      if (view->gone()) return Value(ErrorCode::Ref);
      arrays.push_back(view->to_array());
    } else {
      arrays.push_back(Array{1, 1, {scalar(a, ctx)}});
    }
    if (arrays.back().rows != arrays.front().rows || arrays.back().cols != arrays.front().cols) {
      return Value(ErrorCode::Value);
    }
  }
  double total = 0;
  const std::size_t n = arrays.front().items.size();
  for (std::size_t i = 0; i < n; ++i) {
    double product = 1;
    for (const Array& arr : arrays) {
      const Value& v = arr.items[i];
      if (v.is_error()) return v;
      product *= v.is_number() ? v.number() : 0.0;  // text and booleans count as 0
    }
    total += product;
  }
  return number_result(total);
}

namespace {

template <typename F>
Value unary_math(const CallContext& ctx, std::span<const Value> args, F f) {
  const auto x = number(args[0], ctx);
  if (failed(x)) return error_of(x);
  return f(std::get<double>(x));
}

}  // namespace

Value fn_int(const CallContext& ctx, std::span<const Value> args) {
  return unary_math(ctx, args, [](double x) { return Value(std::floor(x)); });
}

Value fn_abs(const CallContext& ctx, std::span<const Value> args) {
  return unary_math(ctx, args, [](double x) { return Value(std::fabs(x)); });
}

Value fn_sqrt(const CallContext& ctx, std::span<const Value> args) {
  return unary_math(ctx, args,
                    [](double x) { return x < 0 ? Value(ErrorCode::Num) : Value(std::sqrt(x)); });
}

Value fn_ln(const CallContext& ctx, std::span<const Value> args) {
  return unary_math(ctx, args,
                    [](double x) { return x <= 0 ? Value(ErrorCode::Num) : Value(std::log(x)); });
}

Value fn_exp(const CallContext& ctx, std::span<const Value> args) {
  return unary_math(ctx, args, [](double x) { return number_result(std::exp(x)); });
}

Value fn_mod(const CallContext& ctx, std::span<const Value> args) {
  const auto n = number(args[0], ctx);
  const auto d = number(args[1], ctx);
  if (failed(n)) return error_of(n);
  if (failed(d)) return error_of(d);
  const double x = std::get<double>(n), y = std::get<double>(d);
  if (y == 0) return Value(ErrorCode::Div0);
  return number_result(x - y * std::floor(x / y));
}

Value fn_power(const CallContext& ctx, std::span<const Value> args) {
  const auto a = number(args[0], ctx);
  const auto b = number(args[1], ctx);
  if (failed(a)) return error_of(a);
  if (failed(b)) return error_of(b);
  return apply_binary(Op::Pow, Value(std::get<double>(a)), Value(std::get<double>(b)));
}

}  // namespace quillo::spreadsheet
