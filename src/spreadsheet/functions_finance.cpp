// Financial functions: the annuity family (PV, FV, PMT, NPER, RATE, IPMT,
// PPMT), discounted cash flows (NPV, XNPV, IRR, XIRR) and depreciation (SLN,
// DB, DDB). Money paid out is negative, money received positive; type 1
// means payments at the start of each period, 0 (the default) at the end.
// The rates that are solved for (RATE, IRR, XIRR) iterate a bounded number
// of times and answer #NUM! when they do not settle.
#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "spreadsheet/function_args.h"

namespace quillo::spreadsheet {

using namespace fn;

namespace {

constexpr int kMaxIterations = 100;
constexpr double kTolerance = 1e-10;

// The numbers of args, optional ones left out taking the fallbacks given;
// the first argument that fails is the answer.
template <std::size_t N, typename F>
Value with_numbers(const CallContext& ctx, std::span<const Value> args,
                   std::array<double, N> values, F f) {
  for (std::size_t i = 0; i < N; ++i) {
    if (missing(args, i)) continue;
    const auto x = number(args[i], ctx);
    if (failed(x)) return error_of(x);
    values[i] = std::get<double>(x);
  }
  const Value v = f(values);
  return v.is_number() ? number_result(v.number()) : v;
}

// (1 + r)^n and (1 + r)^n - 1, the second accurate for rates near zero
// (where subtracting 1 from the first would lose the digits that matter).
struct Growth {
  double g, gm1;
};

// At rates of -100% and below the base 1 + r is zero or negative: the power
// is taken as it is (defined for whole numbers of periods, NaN otherwise,
// which the caller shows as #NUM!), and the digits near zero do not matter.
Growth growth(double r, double n) {
  if (r <= -1) {
    const double g = std::pow(1 + r, n);
    return {g, g - 1};
  }
  const double e = n * std::log1p(r);
  return {std::exp(e), std::expm1(e)};
}

// The future value of pv now plus n payments pmt at rate r.
double future_value(double r, double n, double pmt, double pv, bool start) {
  if (r == 0) return -(pv + pmt * n);
  const auto [g, gm1] = growth(r, n);
  return -(pv * g + pmt * (1 + r * (start ? 1 : 0)) * gm1 / r);
}

double payment(double r, double n, double pv, double fv, bool start) {
  if (r == 0) return -(pv + fv) / n;
  const auto [g, gm1] = growth(r, n);
  return -(pv * g + fv) * r / ((1 + r * (start ? 1 : 0)) * gm1);
}

// Newton's method from guess on f with derivative df; nullopt when it does
// not settle within the iteration bound or leaves the numbers. A value of f
// within rounding noise of zero (relative to scale, the size of the amounts
// involved) is a root even where the steps no longer shrink.
// A step that would leave the domain (at or below lower) goes halfway to
// its edge instead; only a root (f within noise of zero) ends there.
template <typename F, typename DF>
std::optional<double> solve(double guess, double scale, F f, DF df,
                            double lower = -std::numeric_limits<double>::infinity()) {
  double x = guess;
  for (int i = 0; i < kMaxIterations; ++i) {
    const double y = f(x), d = df(x);
    if (std::fabs(y) <= 1e-13 * scale) return x;
    if (!std::isfinite(y) || !std::isfinite(d) || d == 0) return std::nullopt;
    double next = x - y / d;
    const bool held = next <= lower;
    if (held) next = x + (lower - x) / 2;
    if (!std::isfinite(next)) return std::nullopt;
    // A step held back at the edge settles nothing.
    if (!held && std::fabs(next - x) <= kTolerance * std::max(1.0, std::fabs(next))) return next;
    x = next;
  }
  return std::nullopt;
}

// A root of f in (lower, inf) where Newton's method did not settle: steps
// out from guess both ways, each step twice the last, until f changes sign
// between two points, then halves that bracket until it is as narrow as
// the numbers allow. The root nearest the guess that the steps reach wins.
template <typename F>
std::optional<double> bracket_root(double guess, double lower, F f) {
  auto sign_change = [](double a, double b) {
    return std::isfinite(a) && std::isfinite(b) && ((a < 0) != (b < 0));
  };
  auto bisect = [&](double a, double fa, double b) -> std::optional<double> {
    for (int i = 0; i < 200; ++i) {
      const double m = a + (b - a) / 2;
      if (m == a || m == b) return m;
      const double fm = f(m);
      if (fm == 0) return m;
      if ((fm < 0) == (fa < 0)) {
        a = m;
        fa = fm;
      } else {
        b = m;
      }
    }
    return a + (b - a) / 2;
  };
  double up = guess, down = guess;
  double f_up = f(up), f_down = f_up;
  if (f_up == 0) return guess;
  double step = std::max(1e-4, std::fabs(guess) * 0.01);
  for (int i = 0; i < 200; ++i, step *= 2) {
    const double next_up = up + step;
    if (std::isfinite(next_up)) {
      const double f_next = f(next_up);
      if (sign_change(f_up, f_next)) return bisect(up, f_up, next_up);
      up = next_up;
      f_up = f_next;
    }
    // Downwards the steps stop short of the lower bound, halving the gap.
    const double next_down = std::max(down - step, lower + (down - lower) / 2);
    if (next_down > lower && next_down < down) {
      const double f_next = f(next_down);
      if (sign_change(f_down, f_next)) return bisect(next_down, f_next, down);
      down = next_down;
      f_down = f_next;
    }
  }
  return std::nullopt;
}

}  // namespace

Value fn_fv(const CallContext& ctx, std::span<const Value> args) {
  return with_numbers<5>(ctx, args, {0, 0, 0, 0, 0}, [](auto a) {
    return Value(future_value(a[0], a[1], a[2], a[3], a[4] != 0));
  });
}

Value fn_pv(const CallContext& ctx, std::span<const Value> args) {
  return with_numbers<5>(ctx, args, {0, 0, 0, 0, 0}, [](auto a) {
    const double r = a[0], n = a[1], pmt = a[2], fv = a[3];
    if (r == 0) return Value(-(fv + pmt * n));
    const auto [g, gm1] = growth(r, n);
    return Value(-(fv + pmt * (1 + r * (a[4] != 0 ? 1 : 0)) * gm1 / r) / g);
  });
}

Value fn_pmt(const CallContext& ctx, std::span<const Value> args) {
  return with_numbers<5>(ctx, args, {0, 0, 0, 0, 0}, [](auto a) {
    if (a[1] == 0) return Value(ErrorCode::Num);
    return Value(payment(a[0], a[1], a[2], a[3], a[4] != 0));
  });
}

Value fn_nper(const CallContext& ctx, std::span<const Value> args) {
  return with_numbers<5>(ctx, args, {0, 0, 0, 0, 0}, [](auto a) {
    const double r = a[0], pmt = a[1], pv = a[2], fv = a[3];
    if (r == 0) return pmt == 0 ? Value(ErrorCode::Num) : Value(-(pv + fv) / pmt);
    const double p = pmt * (1 + r * (a[4] != 0 ? 1 : 0));
    const double q = (p - fv * r) / (p + pv * r);
    if (!(q > 0) || r < -1) return Value(ErrorCode::Num);
    // At -100% the balance is gone after the first period: log1p is -inf,
    // and the count is 0 (written + 0.0 so it is not -0).
    return Value(std::log(q) / std::log1p(r) + 0.0);
  });
}

// IPMT(rate, period, nper, pv, [fv], [type]): the interest in one payment:
// the rate on the balance after the periods before it.
Value fn_ipmt(const CallContext& ctx, std::span<const Value> args) {
  return with_numbers<6>(ctx, args, {0, 0, 0, 0, 0, 0}, [](auto a) {
    const double r = a[0], per = a[1], n = a[2], pv = a[3], fv = a[4];
    const bool start = a[5] != 0;
    if (per < 1 || per > n || n == 0) return Value(ErrorCode::Num);
    if (start && per == 1) return Value(0.0);
    const double pmt = payment(r, n, pv, fv, start);
    double interest = future_value(r, per - 1, pmt, pv, start) * r;
    if (start) interest /= 1 + r;
    return Value(interest);
  });
}

Value fn_ppmt(const CallContext& ctx, std::span<const Value> args) {
  return with_numbers<6>(ctx, args, {0, 0, 0, 0, 0, 0}, [&](auto a) {
    const double r = a[0], per = a[1], n = a[2], pv = a[3], fv = a[4];
    const bool start = a[5] != 0;
    if (per < 1 || per > n || n == 0) return Value(ErrorCode::Num);
    const double pmt = payment(r, n, pv, fv, start);
    double interest = 0;
    if (!(start && per == 1)) {
      interest = future_value(r, per - 1, pmt, pv, start) * r;
      if (start) interest /= 1 + r;
    }
    return Value(pmt - interest);
  });
}

// RATE(nper, pmt, pv, [fv], [type], [guess]): the rate at which the payments
// balance, by Newton's method from guess (10% by default), and where that
// does not settle on a rate above -100%, by a search for a sign change
// around the guess.
Value fn_rate(const CallContext& ctx, std::span<const Value> args) {
  return with_numbers<6>(ctx, args, {0, 0, 0, 0, 0, 0.1}, [](auto a) {
    const double n = a[0], pmt = a[1], pv = a[2], fv = a[3], t = a[4] != 0 ? 1 : 0;
    if (n <= 0) return Value(ErrorCode::Num);
    auto f = [&](double r) {
      if (r == 0) return pv + pmt * n + fv;
      const auto [g, gm1] = growth(r, n);
      return pv * g + pmt * (1 + r * t) * gm1 / r + fv;
    };
    // The slope from the right where the left point would be -100% or less.
    auto df = [&](double r) {
      const double h = std::max(1e-7, std::fabs(r) * 1e-7);
      if (r - h <= -1) return (f(r + h) - f(r)) / h;
      return (f(r + h) - f(r - h)) / (2 * h);
    };
    auto r = solve(a[5], std::fabs(pv) + std::fabs(pmt) * n + std::fabs(fv), f, df, -1.0);
    if ((!r || *r <= -1) && a[5] > -1) r = bracket_root(a[5], -1.0, f);
    if (!r || *r <= -1) return Value(ErrorCode::Num);
    return Value(*r);
  });
}

Value fn_sln(const CallContext& ctx, std::span<const Value> args) {
  return with_numbers<3>(ctx, args, {0, 0, 0}, [](auto a) {
    if (a[2] == 0) return Value(ErrorCode::Div0);
    return Value((a[0] - a[1]) / a[2]);
  });
}

// DB(cost, salvage, life, period, [months]): fixed-declining balance, the
// rate rounded to three decimals; a first year of fewer than 12 months
// leaves a short last period after the life.
Value fn_db(const CallContext& ctx, std::span<const Value> args) {
  return with_numbers<5>(ctx, args, {0, 0, 0, 0, 12}, [](auto a) {
    const double cost = a[0], salvage = a[1], life = a[2], period = std::trunc(a[3]);
    const double months = std::trunc(a[4]);
    if (cost < 0 || salvage < 0 || life <= 0 || period <= 0 || months < 1 || months > 12 ||
        period > life + (months < 12 ? 1 : 0) || life > 1e6) {
      return Value(ErrorCode::Num);
    }
    if (cost == 0) return Value(0.0);
    const double rate = std::round((1 - std::pow(salvage / cost, 1 / life)) * 1000) / 1000;
    double total = cost * rate * months / 12;
    if (period == 1) return Value(total);
    for (double p = 2; p <= period; ++p) {
      const double dep =
          p > life ? (cost - total) * rate * (12 - months) / 12 : (cost - total) * rate;
      if (p == period) return Value(dep);
      total += dep;
    }
    return Value(ErrorCode::Num);
  });
}

// DDB(cost, salvage, life, period, [factor]): declining balance at factor /
// life a period, never below the salvage value.
Value fn_ddb(const CallContext& ctx, std::span<const Value> args) {
  return with_numbers<5>(ctx, args, {0, 0, 0, 0, 2}, [](auto a) {
    const double cost = a[0], salvage = a[1], life = a[2], period = a[3], factor = a[4];
    if (cost < 0 || salvage < 0 || life <= 0 || period <= 0 || factor <= 0 || period > life) {
      return Value(ErrorCode::Num);
    }
    const double rate = std::min(factor / life, 1.0);
    const double before =
        rate == 1 ? (period <= 1 ? cost : 0) : cost * std::pow(1 - rate, period - 1);
    return Value(std::min(before * rate, std::max(0.0, before - salvage)));
  });
}

// ---- cash flows ----

namespace {

// NPV's values: numbers as SUM reads them.
std::variant<std::vector<double>, ErrorCode> flows(std::span<const Value> args,
                                                   const CallContext& ctx) {
  std::vector<double> out;
  if (auto e = for_each_number(args, ctx, [&](double d) { out.push_back(d); })) return *e;
  return out;
}

double npv(double r, const std::vector<double>& v) {
  double s = 0, g = 1;
  for (double x : v) {
    g *= 1 + r;
    s += x / g;
  }
  return s;
}

double npv_slope(double r, const std::vector<double>& v) {
  double s = 0;
  for (std::size_t i = 0; i < v.size(); ++i) {
    const double k = static_cast<double>(i + 1);
    s -= k * v[i] / std::pow(1 + r, k + 1);
  }
  return s;
}

double magnitude(const std::vector<double>& v) {
  double s = 0;
  for (double x : v) s += std::fabs(x);
  return s;
}

bool both_signs(const std::vector<double>& v) {
  bool pos = false, neg = false;
  for (double x : v) {
    pos = pos || x > 0;
    neg = neg || x < 0;
  }
  return pos && neg;
}

// Every item of a range, array or single value as a number, position by
// position: XNPV and XIRR need their values and dates to line up, so an item
// that is no number is #VALUE! rather than passed over.
std::variant<std::vector<double>, ErrorCode> flow_items(const Value& v, const CallContext& ctx) {
  std::vector<double> out;
  if (auto view = RangeView::of(v)) {
    if (view->gone()) return ErrorCode::Ref;
    for (const Value& x : view->to_array().items) {
      if (x.is_error()) return x.error();
      if (!x.is_number()) return ErrorCode::Value;
      out.push_back(x.number());
    }
    return out;
  }
  const auto x = number(v, ctx);
  if (failed(x)) return std::get<Fail>(x).code;
  out.push_back(std::get<double>(x));
  return out;
}

struct Dated {
  std::vector<double> values, years;  // years since the first date
};

std::variant<Dated, ErrorCode> dated(const Value& values, const Value& dates,
                                     const CallContext& ctx) {
  const auto v = flow_items(values, ctx), d = flow_items(dates, ctx);
  if (const auto* e = std::get_if<ErrorCode>(&v)) return *e;
  if (const auto* e = std::get_if<ErrorCode>(&d)) return *e;
  Dated out{std::get<std::vector<double>>(v), {}};
  const auto& ds = std::get<std::vector<double>>(d);
  if (ds.size() != out.values.size() || ds.empty()) return ErrorCode::Num;
  const double first = std::trunc(ds.front());
  for (double x : ds) {
    const double day = std::trunc(x);
    if (day < first) return ErrorCode::Num;
    out.years.push_back((day - first) / 365.0);
  }
  return out;
}

double xnpv(double r, const Dated& d) {
  double s = 0;
  for (std::size_t i = 0; i < d.values.size(); ++i) s += d.values[i] / std::pow(1 + r, d.years[i]);
  return s;
}

double xnpv_slope(double r, const Dated& d) {
  double s = 0;
  for (std::size_t i = 0; i < d.values.size(); ++i) {
    s -= d.years[i] * d.values[i] / std::pow(1 + r, d.years[i] + 1);
  }
  return s;
}

}  // namespace

Value fn_npv(const CallContext& ctx, std::span<const Value> args) {
  const auto r = number(args[0], ctx);
  if (failed(r)) return error_of(r);
  const auto v = flows(args.subspan(1), ctx);
  if (const auto* e = std::get_if<ErrorCode>(&v)) return Value(*e);
  if (std::get<double>(r) == -1) return Value(ErrorCode::Div0);
  return number_result(npv(std::get<double>(r), std::get<std::vector<double>>(v)));
}

// IRR(values, [guess]): the rate at which the values' NPV (the first value
// at the end of period 0) is zero.
Value fn_irr(const CallContext& ctx, std::span<const Value> args) {
  const auto v = flows(args.first(1), ctx);
  if (const auto* e = std::get_if<ErrorCode>(&v)) return Value(*e);
  const auto guess = number_or(args, 1, 0.1, ctx);
  if (failed(guess)) return error_of(guess);
  const auto& values = std::get<std::vector<double>>(v);
  if (!both_signs(values)) return Value(ErrorCode::Num);
  // NPV at r counts the first value at period 1; times (1 + r) puts it at 0,
  // which leaves the root unchanged.
  const auto r = solve(
      std::get<double>(guess), magnitude(values), [&](double x) { return npv(x, values); },
      [&](double x) { return npv_slope(x, values); });
  if (!r || *r <= -1) return Value(ErrorCode::Num);
  return Value(*r);
}

Value fn_xnpv(const CallContext& ctx, std::span<const Value> args) {
  const auto r = number(args[0], ctx);
  if (failed(r)) return error_of(r);
  const auto d = dated(args[1], args[2], ctx);
  if (const auto* e = std::get_if<ErrorCode>(&d)) return Value(*e);
  if (std::get<double>(r) <= -1) return Value(ErrorCode::Num);
  return number_result(xnpv(std::get<double>(r), std::get<Dated>(d)));
}

Value fn_xirr(const CallContext& ctx, std::span<const Value> args) {
  const auto d = dated(args[0], args[1], ctx);
  if (const auto* e = std::get_if<ErrorCode>(&d)) return Value(*e);
  const auto guess = number_or(args, 2, 0.1, ctx);
  if (failed(guess)) return error_of(guess);
  const Dated& flows_by_date = std::get<Dated>(d);
  if (!both_signs(flows_by_date.values)) return Value(ErrorCode::Num);
  const auto r = solve(
      std::get<double>(guess), magnitude(flows_by_date.values),
      [&](double x) { return xnpv(x, flows_by_date); },
      [&](double x) { return xnpv_slope(x, flows_by_date); });
  if (!r || *r <= -1) return Value(ErrorCode::Num);
  return Value(*r);
}

}  // namespace quillo::spreadsheet
