// Reading the arguments of functions of a few single numbers (the
// distributions, the hyperbolic functions, the base conversions): each
// argument one number, optional ones left out taking a default. Internal to
// the spreadsheet library. Also the "A" reading of a list of numbers.
#pragma once

#include <array>
#include <cmath>
#include <optional>
#include <vector>

#include "spreadsheet/function_args.h"

namespace quillo::spreadsheet::fn {

// The numbers of the first N arguments, or the first error among them;
// arguments left out take the fallbacks given.
template <std::size_t N>
std::variant<std::array<double, N>, ErrorCode> numbers_of(const CallContext& ctx,
                                                          std::span<const Value> args,
                                                          std::array<double, N> fallback) {
  std::array<double, N> out = fallback;
  for (std::size_t i = 0; i < N; ++i) {
    if (missing(args, i)) continue;
    const auto x = number(args[i], ctx);
    if (failed(x)) return std::get<Fail>(x).code;
    out[i] = std::get<double>(x);
  }
  return out;
}

// f(numbers) as the function's answer: a number that is not finite (NaN
// from outside a domain, an overflow) is #NUM!.
template <std::size_t N, typename F>
Value on_numbers(const CallContext& ctx, std::span<const Value> args,
                 std::array<double, N> fallback, F f) {
  const auto xs = numbers_of<N>(ctx, args, fallback);
  if (const auto* e = std::get_if<ErrorCode>(&xs)) return Value(*e);
  const Value v = f(std::get<std::array<double, N>>(xs));
  return v.is_number() ? number_result(v.number()) : v;
}

// A truth value argument (cumulative, by_col): numbers are TRUE unless 0.
inline Arg<bool> flag(std::span<const Value> args, std::size_t i, bool fallback,
                      const CallContext& ctx) {
  if (missing(args, i)) return fallback;
  const auto b = to_bool(scalar(args[i], ctx));
  if (const auto* e = std::get_if<ErrorCode>(&b)) return Fail{*e};
  return std::get<bool>(b);
}

// The numbers of a list read the "A" way (AVERAGEA, STDEVA, ...): inside
// ranges and arrays TRUE is 1, FALSE and text 0; or the first error.
inline std::variant<std::vector<double>, ErrorCode> numbers_a(std::span<const Value> args,
                                                              const CallContext& ctx) {
  std::vector<double> out;
  for (const Value& a : args) {
    if (a.type() == ValueType::Missing) continue;
    std::optional<ErrorCode> error;
    if (auto view = RangeView::of(a)) {
      view->for_each([&](const Value& v) {
        if (error) return;
        if (v.is_error())
          error = v.error();
        else if (v.is_number())
          out.push_back(v.number());
        else if (v.type() == ValueType::Bool)
          out.push_back(v.as_bool() ? 1.0 : 0.0);
        else if (v.is_text())
          out.push_back(0.0);
      });
      if (error) return *error;
    } else {
      const auto n = to_number(scalar(a, ctx));
      if (const auto* e = std::get_if<ErrorCode>(&n)) return *e;
      out.push_back(std::get<double>(n));
    }
  }
  return out;
}

inline Value num_error() {
  return Value(ErrorCode::Num);
}

}  // namespace quillo::spreadsheet::fn
