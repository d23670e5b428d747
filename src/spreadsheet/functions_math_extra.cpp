// More functions of single numbers: the hyperbolic functions and their
// inverses (SINH, COSH, TANH, ASINH, ACOSH, ATANH, COTH, CSCH, SECH,
// ACOTH), the reciprocal trigonometric ones (COT, CSC, SEC, ACOT), SQRTPI,
// the combinatorics FACTDOUBLE, PERMUT, PERMUTATIONA, COMBINA and
// MULTINOMIAL, MUNIT (the identity matrix), CEILING.PRECISE and
// FLOOR.PRECISE, SERIESSUM, and the engineering tests DELTA and GESTEP.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <vector>

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

namespace {

// q cut to 15 significant digits: a quotient such as 0.3/0.1
// (2.9999999999999996) is taken as the whole number it stands for.
double digits15(double q) {
  if (!std::isfinite(q) || q == 0) return q;
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.15g", q);
  return std::strtod(buf, nullptr);
}

// CEILING.PRECISE and FLOOR.PRECISE: x to a multiple of |significance|,
// up or down whatever the signs.
Value to_multiple(const CallContext& ctx, std::span<const Value> args, bool up) {
  return on_numbers<2>(ctx, args, {0, 1}, [up](auto a) {
    const double s = std::fabs(a[1]);
    if (s == 0 || a[0] == 0) return Value(0.0);
    const double q = digits15(a[0] / s);
    return Value((up ? std::ceil(q) : std::floor(q)) * s);
  });
}

}  // namespace

Value fn_ceiling_precise(const CallContext& ctx, std::span<const Value> args) {
  return to_multiple(ctx, args, true);
}

Value fn_floor_precise(const CallContext& ctx, std::span<const Value> args) {
  return to_multiple(ctx, args, false);
}

// DELTA(a, [b]): 1 when the numbers are equal (b defaults to 0), else 0.
Value fn_delta(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<2>(ctx, args, {0, 0}, [](auto a) { return Value(a[0] == a[1] ? 1.0 : 0.0); });
}

// GESTEP(number, [step]): 1 when number is at least step (default 0).
Value fn_gestep(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<2>(ctx, args, {0, 0}, [](auto a) { return Value(a[0] >= a[1] ? 1.0 : 0.0); });
}

// SERIESSUM(x, n, m, coefficients): a1 x^n + a2 x^(n+m) + a3 x^(n+2m) ...
Value fn_seriessum(const CallContext& ctx, std::span<const Value> args) {
  const auto xs = numbers_of<3>(ctx, args, {});
  if (const auto* e = std::get_if<ErrorCode>(&xs)) return Value(*e);
  const auto [x, n, m] = std::get<std::array<double, 3>>(xs);
  std::vector<Value> coefficients;
  if (auto view = RangeView::of(args[3]))
    coefficients = view->to_array().items;
  else
    coefficients.push_back(scalar(args[3], ctx));
  double sum = 0, power = n;
  for (const Value& c : coefficients) {
    if (c.is_error()) return c;
    if (!c.is_number()) return Value(ErrorCode::Value);
    sum += c.number() * std::pow(x, power);
    power += m;
  }
  return number_result(sum);
}

}  // namespace quillo::spreadsheet
