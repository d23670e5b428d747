// More functions of single numbers: the hyperbolic functions and their
// inverses (SINH, COSH, TANH, ASINH, ACOSH, ATANH, COTH, CSCH, SECH,
// ACOTH), the reciprocal trigonometric ones (COT, CSC, SEC, ACOT), SQRTPI,
// the combinatorics FACTDOUBLE, PERMUT, PERMUTATIONA, COMBINA and
// MULTINOMIAL, and MUNIT, the identity matrix.
#include <algorithm>
#include <cmath>
#include <numbers>

#include "spreadsheet/function_numbers.h"

namespace quillo::spreadsheet {

using namespace fn;

namespace {

// The reciprocal functions refuse arguments of 2^27 and beyond in size, as
// Excel does (their period is lost in the last digits there).
constexpr double kTrigLimit = 134217728.0;

template <typename F>
Value one(const CallContext& ctx, std::span<const Value> args, F f) {
  return on_numbers<1>(ctx, args, {}, [&](auto a) { return f(a[0]); });
}

Value reciprocal(double x, double (*f)(double), bool zero_is_pole) {
  if (std::fabs(x) >= kTrigLimit) return num_error();
  if (zero_is_pole && x == 0) return Value(ErrorCode::Div0);
  return Value(1 / f(x));
}

// The whole part of a count argument, or nullopt below zero.
bool whole_count(double& x) {
  x = std::trunc(x);
  return x >= 0;
}

}  // namespace

Value fn_sinh(const CallContext& ctx, std::span<const Value> args) {
  return one(ctx, args, [](double x) { return Value(std::sinh(x)); });
}

Value fn_cosh(const CallContext& ctx, std::span<const Value> args) {
  return one(ctx, args, [](double x) { return Value(std::cosh(x)); });
}

Value fn_tanh(const CallContext& ctx, std::span<const Value> args) {
  return one(ctx, args, [](double x) { return Value(std::tanh(x)); });
}

Value fn_asinh(const CallContext& ctx, std::span<const Value> args) {
  return one(ctx, args, [](double x) { return Value(std::asinh(x)); });
}

Value fn_acosh(const CallContext& ctx, std::span<const Value> args) {
  return one(ctx, args, [](double x) { return x < 1 ? num_error() : Value(std::acosh(x)); });
}

Value fn_atanh(const CallContext& ctx, std::span<const Value> args) {
  return one(ctx, args,
             [](double x) { return std::fabs(x) >= 1 ? num_error() : Value(std::atanh(x)); });
}

Value fn_coth(const CallContext& ctx, std::span<const Value> args) {
  return one(ctx, args, [](double x) {
    return reciprocal(
        x, [](double y) { return std::tanh(y); }, true);
  });
}

Value fn_csch(const CallContext& ctx, std::span<const Value> args) {
  return one(ctx, args, [](double x) {
    return reciprocal(
        x, [](double y) { return std::sinh(y); }, true);
  });
}

Value fn_sech(const CallContext& ctx, std::span<const Value> args) {
  return one(ctx, args, [](double x) {
    return reciprocal(
        x, [](double y) { return std::cosh(y); }, false);
  });
}

Value fn_acoth(const CallContext& ctx, std::span<const Value> args) {
  return one(ctx, args, [](double x) {
    if (std::fabs(x) <= 1) return num_error();
    return Value(0.5 * std::log((x + 1) / (x - 1)));
  });
}

Value fn_cot(const CallContext& ctx, std::span<const Value> args) {
  return one(ctx, args, [](double x) {
    return reciprocal(
        x, [](double y) { return std::tan(y); }, true);
  });
}

Value fn_csc(const CallContext& ctx, std::span<const Value> args) {
  return one(ctx, args, [](double x) {
    return reciprocal(
        x, [](double y) { return std::sin(y); }, true);
  });
}

Value fn_sec(const CallContext& ctx, std::span<const Value> args) {
  return one(ctx, args, [](double x) {
    return reciprocal(
        x, [](double y) { return std::cos(y); }, false);
  });
}

Value fn_acot(const CallContext& ctx, std::span<const Value> args) {
  return one(ctx, args, [](double x) { return Value(std::numbers::pi / 2 - std::atan(x)); });
}

Value fn_sqrtpi(const CallContext& ctx, std::span<const Value> args) {
  return one(ctx, args,
             [](double x) { return x < 0 ? num_error() : Value(std::sqrt(x * std::numbers::pi)); });
}

// FACTDOUBLE(n): n(n-2)(n-4)... down to 1 or 2.
Value fn_factdouble(const CallContext& ctx, std::span<const Value> args) {
  return one(ctx, args, [](double n) {
    if (!whole_count(n)) return num_error();
    double product = 1;
    for (double k = n; k > 1 && std::isfinite(product); k -= 2) product *= k;
    return Value(product);
  });
}

// PERMUT(n, k): the ordered choices of k of n.
Value fn_permut(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<2>(ctx, args, {}, [](auto a) {
    double n = a[0], k = a[1];
    if (!whole_count(n) || !whole_count(k) || k > n) return num_error();
    double product = 1;
    for (double i = 0; i < k && std::isfinite(product); ++i) product *= n - i;
    return Value(product);
  });
}

Value fn_permutationa(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<2>(ctx, args, {}, [](auto a) {
    double n = a[0], k = a[1];
    if (!whole_count(n) || !whole_count(k)) return num_error();
    return Value(std::pow(n, k));
  });
}

// COMBINA(n, k): the choices of k of n with repetition, C(n + k - 1, k).
Value fn_combina(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<2>(ctx, args, {}, [](auto a) {
    double n = a[0], k = a[1];
    if (!whole_count(n) || !whole_count(k) || (n == 0 && k > 0)) return num_error();
    const double top = n + k - 1;
    const double r = std::min(k, top - k);
    double c = 1;
    for (double i = 1; i <= r && std::isfinite(c); ++i) c = c * (top - r + i) / i;
    return Value(std::round(c));
  });
}

// MULTINOMIAL(a, b, ...): (a + b + ...)! / (a! b! ...), as a product of
// binomial coefficients so that it stays exact while it fits.
Value fn_multinomial(const CallContext& ctx, std::span<const Value> args) {
  double total = 0, result = 1;
  bool negative = false;
  if (auto e = for_each_number(args, ctx, [&](double d) {
        d = std::trunc(d);
        if (d < 0) negative = true;
        for (double i = 1; i <= d && std::isfinite(result); ++i) {
          total += 1;
          result = result * total / i;
        }
      })) {
    return Value(*e);
  }
  if (negative) return num_error();
  return number_result(std::round(result));
}

// MUNIT(n): the n-by-n identity matrix.
Value fn_munit(const CallContext& ctx, std::span<const Value> args) {
  const auto n_arg = number(args[0], ctx);
  if (failed(n_arg)) return error_of(n_arg);
  const double n = std::trunc(std::get<double>(n_arg));
  if (n < 1) return Value(ErrorCode::Value);
  // Beyond a million items the answer could not be written to a sheet.
  if (n > 1024) return num_error();
  const auto size = static_cast<std::int32_t>(n);
  Array out{size, size, {}};
  out.items.assign(static_cast<std::size_t>(size) * static_cast<std::size_t>(size), Value(0.0));
  for (std::int32_t i = 0; i < size; ++i) {
    out.items[static_cast<std::size_t>(i) * static_cast<std::size_t>(size + 1)] = Value(1.0);
  }
  return Value(std::move(out));
}

}  // namespace quillo::spreadsheet
