// Reading the arguments of functions of a few single numbers (the
// distributions, the hyperbolic functions, the base conversions): each
// argument one number, optional ones left out taking a default. Internal to
// the spreadsheet library.
#pragma once

#include <array>
#include <cmath>

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

inline Value num_error() {
  return Value(ErrorCode::Num);
}

}  // namespace quillo::spreadsheet::fn
