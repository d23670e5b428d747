// Functions of single numbers: rounding (ROUND, ROUNDUP, ROUNDDOWN, TRUNC,
// MROUND, CEILING, FLOOR and their .MATH forms, EVEN, ODD), division
// (QUOTIENT), logarithms (LOG, LOG10), combinatorics (FACT, COMBIN, GCD,
// LCM), trigonometry, SIGN, PI and the random numbers RAND and RANDBETWEEN.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <optional>
#include <random>

#include "spreadsheet/function_args.h"
#include "spreadsheet/function_numbers.h"

namespace quillo::spreadsheet {

using namespace fn;

namespace {

// The value cut to 15 significant digits: a quotient or a scaled value that
// lands a rounding error away from a whole number (0.3/0.1 is
// 2.9999999999999996) is taken as that whole number, as a person reading the
// numbers expects.
double clean15(double y) {
  if (!std::isfinite(y) || y == 0) return y;
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.15g", y);
  return std::strtod(buf, nullptr);
}

enum class Rounding { HalfAway, Away, TowardZero };

double round_whole(double y, Rounding how) {
  switch (how) {
    case Rounding::HalfAway:
      return std::round(y);
    case Rounding::Away:
      return y < 0 ? std::floor(y) : std::ceil(y);
    case Rounding::TowardZero:
      return std::trunc(y);
  }
  return y;
}

// x rounded at the given decimal place (negative: left of the point).
double round_digits(double x, double digits_arg, Rounding how) {
  const int digits = static_cast<int>(std::trunc(std::clamp(digits_arg, -400.0, 400.0)));
  if (digits > 15 && how == Rounding::HalfAway) return x;
  if (digits > 308) return x;
  if (digits < -308) return 0;
  const double p = std::pow(10.0, std::abs(digits));
  const double scaled = digits >= 0 ? x * p : x / p;
  if (!std::isfinite(scaled)) return x;  // digits far beyond what x holds
  const double y = clean15(scaled);
  const double r = round_whole(y, how);
  return digits >= 0 ? r / p : r * p;
}

// A whole-number argument (FACT, COMBIN, GCD): its whole part, or nullopt
// when it is negative or beyond what a double counts exactly.
std::optional<double> whole(double x) {
  const double t = std::trunc(x);
  if (t < 0 || t > 9007199254740992.0) return std::nullopt;
  return t;
}

}  // namespace

Value fn_round(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<2>(ctx, args, {0, 0},
                       [](auto a) { return Value(round_digits(a[0], a[1], Rounding::HalfAway)); });
}

Value fn_roundup(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<2>(ctx, args, {0, 0},
                       [](auto a) { return Value(round_digits(a[0], a[1], Rounding::Away)); });
}

Value fn_rounddown(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<2>(ctx, args, {0, 0}, [](auto a) {
    return Value(round_digits(a[0], a[1], Rounding::TowardZero));
  });
}

Value fn_trunc(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<2>(ctx, args, {0, 0}, [](auto a) {
    return Value(round_digits(a[0], a[1], Rounding::TowardZero));
  });
}

Value fn_sign(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<1>(ctx, args, {0}, [](auto a) {
    return Value(a[0] > 0 ? 1.0 : a[0] < 0 ? -1.0 : 0.0);
  });
}

// MROUND: the multiple of m nearest to n, halves away from zero; n and m must
// not have opposite signs.
Value fn_mround(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<2>(ctx, args, {0, 0}, [](auto a) {
    const double n = a[0], m = a[1];
    if (m == 0 || n == 0) return Value(0.0);
    if ((n > 0) != (m > 0)) return Value(ErrorCode::Num);
    return Value(std::round(clean15(n / m)) * m);
  });
}

// CEILING(n, s): up to a multiple of s (toward +infinity, so a negative n
// with a positive s moves toward zero); a negative s with a negative n
// rounds away from zero. A positive n with a negative s is #NUM!.
Value fn_ceiling(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<2>(ctx, args, {0, 1}, [](auto a) {
    const double n = a[0], s = a[1];
    if (s == 0 || n == 0) return Value(0.0);
    if (n > 0 && s < 0) return Value(ErrorCode::Num);
    return Value(std::ceil(clean15(n / s)) * s);
  });
}

// FLOOR(n, s): down to a multiple of s, the mirror of CEILING; s = 0 is
// #DIV/0!.
Value fn_floor(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<2>(ctx, args, {0, 1}, [](auto a) {
    const double n = a[0], s = a[1];
    if (n == 0) return Value(0.0);
    if (s == 0) return Value(ErrorCode::Div0);
    if (n > 0 && s < 0) return Value(ErrorCode::Num);
    return Value(std::floor(clean15(n / s)) * s);
  });
}

// CEILING.MATH(n, [s], [mode]) and FLOOR.MATH: the sign of s does not count;
// negative numbers go toward +infinity (CEILING) or -infinity (FLOOR) unless
// mode is non-zero, which turns them the other way.
Value fn_ceiling_math(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<3>(ctx, args, {0, 1, 0}, [](auto a) {
    const double n = a[0], s = std::fabs(a[1]);
    if (s == 0 || n == 0) return Value(0.0);
    const double q = clean15(n / s);
    return Value((n < 0 && a[2] != 0 ? std::floor(q) : std::ceil(q)) * s);
  });
}

Value fn_floor_math(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<3>(ctx, args, {0, 1, 0}, [](auto a) {
    const double n = a[0], s = std::fabs(a[1]);
    if (s == 0 || n == 0) return Value(0.0);
    const double q = clean15(n / s);
    return Value((n < 0 && a[2] != 0 ? std::ceil(q) : std::floor(q)) * s);
  });
}

// EVEN and ODD round away from zero to the next even or odd whole number.
Value fn_even(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<1>(ctx, args, {0}, [](auto a) {
    const double v = std::ceil(clean15(std::fabs(a[0]) / 2)) * 2;
    return Value(a[0] < 0 ? -v : v);
  });
}

Value fn_odd(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<1>(ctx, args, {0}, [](auto a) {
    double v = std::ceil(clean15(std::fabs(a[0])));
    if (std::fmod(v, 2.0) == 0) v += 1;
    return Value(a[0] < 0 ? -v : v);
  });
}

Value fn_quotient(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<2>(ctx, args, {0, 0}, [](auto a) {
    if (a[1] == 0) return Value(ErrorCode::Div0);
    return Value(std::trunc(clean15(a[0] / a[1])));
  });
}

Value fn_log(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<2>(ctx, args, {0, 10}, [](auto a) {
    if (a[0] <= 0 || a[1] <= 0) return Value(ErrorCode::Num);
    if (a[1] == 1) return Value(ErrorCode::Div0);
    return Value(a[1] == 10 ? std::log10(a[0]) : std::log(a[0]) / std::log(a[1]));
  });
}

Value fn_log10(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<1>(ctx, args, {0}, [](auto a) {
    return a[0] <= 0 ? Value(ErrorCode::Num) : Value(std::log10(a[0]));
  });
}

Value fn_pi(const CallContext&, std::span<const Value>) {
  return Value(std::numbers::pi);
}

Value fn_fact(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<1>(ctx, args, {0}, [](auto a) {
    const auto n = whole(a[0]);
    if (!n || *n > 170) return Value(ErrorCode::Num);
    double f = 1;
    for (int i = 2; i <= static_cast<int>(*n); ++i) f *= i;
    return Value(f);
  });
}

Value fn_combin(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<2>(ctx, args, {0, 0}, [](auto a) {
    const auto n = whole(a[0]), k = whole(a[1]);
    if (!n || !k || *k > *n) return Value(ErrorCode::Num);
    const double m = std::min(*k, *n - *k);
    // The product grows at least twofold a step, so it overflows (and the
    // loop ends) within about a thousand steps.
    double c = 1;
    for (double i = 1; i <= m && std::isfinite(c); ++i) c = c * (*n - m + i) / i;
    return Value(std::round(c));
  });
}

namespace {

// The whole numbers GCD and LCM fold: as SUM reads its arguments, each cut
// to its whole part; a negative one is #NUM!.
template <typename Fold>
Value fold_whole(const CallContext& ctx, std::span<const Value> args, double start, Fold fold) {
  double acc = start;
  bool bad = false;
  if (auto e = for_each_number(args, ctx, [&](double d) {
        const auto w = whole(d);
        if (!w)
          bad = true;
        else if (!bad)
          acc = fold(acc, *w);
      })) {
    return Value(*e);
  }
  return bad ? Value(ErrorCode::Num) : number_result(acc);
}

double gcd2(double a, double b) {
  while (b != 0) {
    const double r = std::fmod(a, b);
    a = b;
    b = r;
  }
  return a;
}

}  // namespace

Value fn_gcd(const CallContext& ctx, std::span<const Value> args) {
  return fold_whole(ctx, args, 0, gcd2);
}

Value fn_lcm(const CallContext& ctx, std::span<const Value> args) {
  return fold_whole(ctx, args, 1, [](double a, double b) {
    if (a == 0 || b == 0) return 0.0;
    return a / gcd2(a, b) * b;
  });
}

// ---- trigonometry ----

namespace {

template <typename F>
Value unary(const CallContext& ctx, std::span<const Value> args, F f) {
  return on_numbers<1>(ctx, args, {0}, [&](auto a) { return f(a[0]); });
}

}  // namespace

Value fn_radians(const CallContext& ctx, std::span<const Value> args) {
  return unary(ctx, args, [](double x) { return Value(x * std::numbers::pi / 180); });
}
Value fn_degrees(const CallContext& ctx, std::span<const Value> args) {
  return unary(ctx, args, [](double x) { return Value(x * 180 / std::numbers::pi); });
}
Value fn_sin(const CallContext& ctx, std::span<const Value> args) {
  return unary(ctx, args, [](double x) { return Value(std::sin(x)); });
}
Value fn_cos(const CallContext& ctx, std::span<const Value> args) {
  return unary(ctx, args, [](double x) { return Value(std::cos(x)); });
}
Value fn_tan(const CallContext& ctx, std::span<const Value> args) {
  return unary(ctx, args, [](double x) { return Value(std::tan(x)); });
}
Value fn_asin(const CallContext& ctx, std::span<const Value> args) {
  return unary(ctx, args, [](double x) {
    return std::fabs(x) > 1 ? Value(ErrorCode::Num) : Value(std::asin(x));
  });
}
Value fn_acos(const CallContext& ctx, std::span<const Value> args) {
  return unary(ctx, args, [](double x) {
    return std::fabs(x) > 1 ? Value(ErrorCode::Num) : Value(std::acos(x));
  });
}
Value fn_atan(const CallContext& ctx, std::span<const Value> args) {
  return unary(ctx, args, [](double x) { return Value(std::atan(x)); });
}

// ATAN2(x, y): the angle of the point (x, y); note the spreadsheet order of
// the arguments, x first.
Value fn_atan2(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<2>(ctx, args, {0, 0}, [](auto a) {
    if (a[0] == 0 && a[1] == 0) return Value(ErrorCode::Div0);
    return Value(std::atan2(a[1], a[0]));
  });
}

// ---- random numbers ----

namespace {

std::mt19937_64& generator() {
  static std::mt19937_64 gen{std::random_device{}()};
  return gen;
}

}  // namespace

Value fn_rand(const CallContext&, std::span<const Value>) {
  return Value(std::uniform_real_distribution<double>(0.0, 1.0)(generator()));
}

// RANDBETWEEN(low, high): a whole number from ceil(low) to floor(high).
Value fn_randbetween(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<2>(ctx, args, {0, 0}, [](auto a) {
    const double lo = std::ceil(a[0]), hi = std::floor(a[1]);
    if (lo > hi || std::fabs(lo) > 9e15 || std::fabs(hi) > 9e15) return Value(ErrorCode::Num);
    const auto span = static_cast<std::uint64_t>(hi - lo);
    const auto k = std::uniform_int_distribution<std::uint64_t>(0, span)(generator());
    return Value(lo + static_cast<double>(k));
  });
}

}  // namespace quillo::spreadsheet
