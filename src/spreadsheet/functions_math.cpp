// Aggregates and arithmetic functions: SUM, AVERAGE, MIN, MAX, COUNT,
// COUNTA, SUMPRODUCT, SLOPE, ROUND, INT, MOD, ABS, SQRT, LN, EXP, POWER.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <vector>

#include "spreadsheet/function_args.h"

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

Value fn_slope(const CallContext& ctx, std::span<const Value> args) {
  auto flat = [&](const Value& v) -> std::variant<std::vector<Value>, ErrorCode> {
    if (auto view = RangeView::of(v)) {
      if (view->gone()) return ErrorCode::Ref;
      return view->to_array().items;
    }
    return std::vector<Value>{scalar(v, ctx)};
  };
  const auto ys = flat(args[0]), xs = flat(args[1]);
  if (const auto* e = std::get_if<ErrorCode>(&ys)) return Value(*e);
  if (const auto* e = std::get_if<ErrorCode>(&xs)) return Value(*e);
  const auto& y = std::get<std::vector<Value>>(ys);
  const auto& x = std::get<std::vector<Value>>(xs);
  if (y.size() != x.size()) return Value(ErrorCode::NA);
  double sx = 0, sy = 0;
  std::vector<std::pair<double, double>> points;
  for (std::size_t i = 0; i < y.size(); ++i) {
    if (y[i].is_error()) return y[i];
    if (x[i].is_error()) return x[i];
    if (!y[i].is_number() || !x[i].is_number()) continue;  // pairs need two numbers
    points.emplace_back(x[i].number(), y[i].number());
    sx += x[i].number();
    sy += y[i].number();
  }
  if (points.size() < 2) return Value(ErrorCode::Div0);
  const double mx = sx / static_cast<double>(points.size());
  const double my = sy / static_cast<double>(points.size());
  double sxy = 0, sxx = 0;
  for (const auto& [px, py] : points) {
    sxy += (px - mx) * (py - my);
    sxx += (px - mx) * (px - mx);
  }
  if (sxx == 0) return Value(ErrorCode::Div0);
  return number_result(sxy / sxx);
}

namespace {

// Rounds half away from zero at the given decimal place. The scaled value is
// first cut to 15 significant digits, so 2.675 (stored as 2.67499999...)
// rounds to 2.68 as a person reading it expects.
double round_to(double x, int digits) {
  if (digits > 15) return x;
  if (digits < -308) return 0;
  const double p = std::pow(10.0, std::abs(digits));
  double y = digits >= 0 ? x * p : x / p;
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.15g", y);
  y = std::strtod(buf, nullptr);
  const double r = std::round(y);
  return digits >= 0 ? r / p : r * p;
}

template <typename F>
Value unary_math(const CallContext& ctx, std::span<const Value> args, F f) {
  const auto x = number(args[0], ctx);
  if (failed(x)) return error_of(x);
  return f(std::get<double>(x));
}

}  // namespace

Value fn_round(const CallContext& ctx, std::span<const Value> args) {
  const auto x = number(args[0], ctx);
  const auto d = number(args[1], ctx);
  if (failed(x)) return error_of(x);
  if (failed(d)) return error_of(d);
  return number_result(round_to(std::get<double>(x), static_cast<int>(std::trunc(std::clamp(
                                                         std::get<double>(d), -400.0, 400.0)))));
}

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
