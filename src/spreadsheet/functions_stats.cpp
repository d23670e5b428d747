// Statistics over lists of numbers: AVERAGEA, MAXA, MINA, MEDIAN, MODE,
// LARGE, SMALL, RANK, PERCENTILE, QUARTILE, PERCENTRANK, STDEV, VAR (sample
// and population), GEOMEAN, AVEDEV, DEVSQ, COUNTBLANK, and the statistics of
// pairs: CORREL, PEARSON, COVARIANCE, SLOPE, INTERCEPT, RSQ, FORECAST.
//
// Numbers are read as SUM reads them (for_each_number): in ranges and
// arrays only numbers count, given directly logical values and numeric
// text count too. The "A" forms also count logical values (1 and 0) and
// texts (0) inside ranges.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <vector>

#include "spreadsheet/function_args.h"
#include "spreadsheet/function_numbers.h"

namespace quillo::spreadsheet {

using namespace fn;

namespace {

using Numbers = std::variant<std::vector<double>, ErrorCode>;

Numbers collect(std::span<const Value> args, const CallContext& ctx) {
  std::vector<double> out;
  if (auto e = for_each_number(args, ctx, [&](double d) { out.push_back(d); })) return *e;
  return out;
}

template <typename F>
Value over(const Numbers& ns, F f) {
  if (const auto* e = std::get_if<ErrorCode>(&ns)) return Value(*e);
  const Value v = f(std::get<std::vector<double>>(ns));
  return v.is_number() ? number_result(v.number()) : v;
}

double mean(const std::vector<double>& xs) {
  double s = 0;
  for (double x : xs) s += x;
  return s / static_cast<double>(xs.size());
}

// Sum of squared deviations from the mean (two passes, for accuracy).
double devsq(const std::vector<double>& xs) {
  const double m = mean(xs);
  double s = 0;
  for (double x : xs) s += (x - m) * (x - m);
  return s;
}

// Variance: the sample form divides by n - 1, the population form by n.
Value variance(const std::vector<double>& xs, bool sample) {
  const std::size_t need = sample ? 2 : 1;
  if (xs.size() < need) return Value(ErrorCode::Div0);
  return Value(devsq(xs) / static_cast<double>(xs.size() - (sample ? 1 : 0)));
}

}  // namespace

Value fn_averagea(const CallContext& ctx, std::span<const Value> args) {
  return over(numbers_a(args, ctx), [](const std::vector<double>& xs) {
    return xs.empty() ? Value(ErrorCode::Div0) : Value(mean(xs));
  });
}

Value fn_maxa(const CallContext& ctx, std::span<const Value> args) {
  return over(numbers_a(args, ctx), [](const std::vector<double>& xs) {
    return Value(xs.empty() ? 0.0 : *std::max_element(xs.begin(), xs.end()));
  });
}

Value fn_mina(const CallContext& ctx, std::span<const Value> args) {
  return over(numbers_a(args, ctx), [](const std::vector<double>& xs) {
    return Value(xs.empty() ? 0.0 : *std::min_element(xs.begin(), xs.end()));
  });
}

Value fn_median(const CallContext& ctx, std::span<const Value> args) {
  return over(collect(args, ctx), [](std::vector<double> xs) {
    if (xs.empty()) return Value(ErrorCode::Num);
    std::sort(xs.begin(), xs.end());
    const std::size_t h = xs.size() / 2;
    return Value(xs.size() % 2 ? xs[h] : (xs[h - 1] + xs[h]) / 2);
  });
}

// MODE: the most frequent number; among equally frequent ones the one seen
// first. #N/A when no number repeats.
Value fn_mode(const CallContext& ctx, std::span<const Value> args) {
  return over(collect(args, ctx), [](const std::vector<double>& xs) {
    std::map<double, std::size_t> counts;
    for (double x : xs) ++counts[x];
    std::size_t best = 1;
    double answer = 0;
    for (double x : xs) {
      if (counts[x] > best) {
        best = counts[x];
        answer = x;
      }
    }
    return best > 1 ? Value(answer) : Value(ErrorCode::NA);
  });
}

namespace {

// LARGE and SMALL: the k-th largest or smallest; k (its whole part) from 1
// to the count. An array of k gives an array of answers.
Value kth(const CallContext& ctx, std::span<const Value> args, bool largest) {
  const Numbers ns = collect(args.first(1), ctx);
  if (const auto* e = std::get_if<ErrorCode>(&ns)) return Value(*e);
  std::vector<double> xs = std::get<std::vector<double>>(ns);
  std::sort(xs.begin(), xs.end());
  auto one = [&](const Value& k_arg) -> Value {
    const auto k = number(k_arg, ctx);
    if (failed(k)) return error_of(k);
    const double kk = std::trunc(std::get<double>(k));
    if (kk < 1 || kk > static_cast<double>(xs.size())) return Value(ErrorCode::Num);
    const auto i = static_cast<std::size_t>(kk) - 1;
    return Value(largest ? xs[xs.size() - 1 - i] : xs[i]);
  };
  if (!args[1].is_array()) return one(args[1]);
  Array out = args[1].array();
  for (Value& v : out.items) v = one(v);
  return Value(std::move(out));
}

}  // namespace

Value fn_large(const CallContext& ctx, std::span<const Value> args) {
  return kth(ctx, args, true);
}

Value fn_small(const CallContext& ctx, std::span<const Value> args) {
  return kth(ctx, args, false);
}

namespace {

// RANK(number, ref, [order]): 1 + how many numbers of ref are greater (order
// 0, the default) or smaller; ties share the best rank, or with average set
// the mean of the ranks they cover. #N/A when the number is not in ref.
Value rank(const CallContext& ctx, std::span<const Value> args, bool average) {
  const auto x = number(args[0], ctx);
  if (failed(x)) return error_of(x);
  const auto order = number_or(args, 2, 0, ctx);
  if (failed(order)) return error_of(order);
  const auto view = RangeView::of(args[1]);
  if (!view) return Value(ErrorCode::NA);
  const double want = std::get<double>(x);
  const bool ascending = std::get<double>(order) != 0;
  double before = 0, ties = 0;
  view->for_each([&](const Value& v) {
    if (!v.is_number()) return;
    const double d = v.number();
    if (nearly_equal(d, want))
      ++ties;
    else if (ascending ? d < want : d > want)
      ++before;
  });
  if (ties == 0) return Value(ErrorCode::NA);
  return Value(average ? before + (ties + 1) / 2 : before + 1);
}

}  // namespace

Value fn_rank_eq(const CallContext& ctx, std::span<const Value> args) {
  return rank(ctx, args, false);
}

Value fn_rank_avg(const CallContext& ctx, std::span<const Value> args) {
  return rank(ctx, args, true);
}

namespace {

// The sorted numbers of the first argument and the number of the second.
struct SortedAndK {
  std::vector<double> xs;
  double k = 0;
};

std::variant<SortedAndK, ErrorCode> sorted_and_k(const CallContext& ctx,
                                                 std::span<const Value> args) {
  const Numbers ns = collect(args.first(1), ctx);
  if (const auto* e = std::get_if<ErrorCode>(&ns)) return *e;
  const auto k = number(args[1], ctx);
  if (failed(k)) return std::get<Fail>(k).code;
  SortedAndK out{std::get<std::vector<double>>(ns), std::get<double>(k)};
  std::sort(out.xs.begin(), out.xs.end());
  return out;
}

// The value at 0-based position pos of sorted xs, interpolating between
// neighbours.
double at_position(const std::vector<double>& xs, double pos) {
  const auto i = static_cast<std::size_t>(std::floor(pos));
  const double f = pos - std::floor(pos);
  if (i + 1 >= xs.size()) return xs.back();
  return xs[i] + f * (xs[i + 1] - xs[i]);
}

Value percentile(const std::vector<double>& xs, double k, bool exclusive) {
  if (xs.empty()) return Value(ErrorCode::Num);
  const double n = static_cast<double>(xs.size());
  if (!exclusive) {
    if (k < 0 || k > 1) return Value(ErrorCode::Num);
    return Value(at_position(xs, k * (n - 1)));
  }
  // The exclusive form places k on 1..n by k(n + 1); outside is #NUM!.
  const double pos = k * (n + 1);
  if (k <= 0 || k >= 1 || pos < 1 || pos > n) return Value(ErrorCode::Num);
  return Value(at_position(xs, pos - 1));
}

template <typename F>
Value with_sorted(const CallContext& ctx, std::span<const Value> args, F f) {
  const auto s = sorted_and_k(ctx, args);
  if (const auto* e = std::get_if<ErrorCode>(&s)) return Value(*e);
  const auto& [xs, k] = std::get<SortedAndK>(s);
  const Value v = f(xs, k);
  return v.is_number() ? number_result(v.number()) : v;
}

}  // namespace

Value fn_percentile_inc(const CallContext& ctx, std::span<const Value> args) {
  return with_sorted(ctx, args, [](const auto& xs, double k) { return percentile(xs, k, false); });
}

Value fn_percentile_exc(const CallContext& ctx, std::span<const Value> args) {
  return with_sorted(ctx, args, [](const auto& xs, double k) { return percentile(xs, k, true); });
}

// QUARTILE: the percentile of quarter q (0 to 4; the exclusive form 1 to 3).
Value fn_quartile_inc(const CallContext& ctx, std::span<const Value> args) {
  return with_sorted(ctx, args, [](const auto& xs, double k) {
    const double q = std::trunc(k);
    if (q < 0 || q > 4) return Value(ErrorCode::Num);
    return percentile(xs, q / 4, false);
  });
}

Value fn_quartile_exc(const CallContext& ctx, std::span<const Value> args) {
  return with_sorted(ctx, args, [](const auto& xs, double k) {
    const double q = std::trunc(k);
    if (q < 1 || q > 3) return Value(ErrorCode::Num);
    return percentile(xs, q / 4, true);
  });
}

// PERCENTRANK(array, x, [significance]): the share of the numbers below x,
// interpolated between neighbours, cut (not rounded) to significance digits.
// #N/A when x lies outside the numbers.
Value fn_percentrank_inc(const CallContext& ctx, std::span<const Value> args) {
  const auto sig = number_or(args, 2, 3, ctx);
  if (failed(sig)) return error_of(sig);
  const double digits = std::trunc(std::get<double>(sig));
  return with_sorted(ctx, args, [digits](const std::vector<double>& xs, double x) {
    if (digits < 1) return Value(ErrorCode::Num);
    if (xs.empty()) return Value(ErrorCode::Num);
    if (x < xs.front() || x > xs.back()) return Value(ErrorCode::NA);
    if (xs.size() == 1) return Value(1.0);
    const auto lo = std::lower_bound(xs.begin(), xs.end(), x);
    const auto i = static_cast<double>(lo - xs.begin());
    double r;
    if (*lo == x) {
      r = i;
    } else {
      const double below = *(lo - 1);
      r = i - 1 + (x - below) / (*lo - below);
    }
    r /= static_cast<double>(xs.size() - 1);
    const double p = std::pow(10.0, std::min(digits, 15.0));
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.15g", r * p);
    return Value(std::floor(std::strtod(buf, nullptr)) / p);
  });
}

Value fn_var_s(const CallContext& ctx, std::span<const Value> args) {
  return over(collect(args, ctx), [](const auto& xs) { return variance(xs, true); });
}

Value fn_var_p(const CallContext& ctx, std::span<const Value> args) {
  return over(collect(args, ctx), [](const auto& xs) { return variance(xs, false); });
}

Value fn_stdev_s(const CallContext& ctx, std::span<const Value> args) {
  return over(collect(args, ctx), [](const auto& xs) {
    const Value v = variance(xs, true);
    return v.is_number() ? Value(std::sqrt(v.number())) : v;
  });
}

Value fn_stdev_p(const CallContext& ctx, std::span<const Value> args) {
  return over(collect(args, ctx), [](const auto& xs) {
    const Value v = variance(xs, false);
    return v.is_number() ? Value(std::sqrt(v.number())) : v;
  });
}

// DEVSQ: the sum of squared deviations from the mean; of no numbers, the
// empty sum 0.
Value fn_devsq(const CallContext& ctx, std::span<const Value> args) {
  return over(collect(args, ctx),
              [](const auto& xs) { return Value(xs.empty() ? 0.0 : devsq(xs)); });
}

Value fn_avedev(const CallContext& ctx, std::span<const Value> args) {
  return over(collect(args, ctx), [](const std::vector<double>& xs) {
    if (xs.empty()) return Value(ErrorCode::Num);
    const double m = mean(xs);
    double s = 0;
    for (double x : xs) s += std::fabs(x - m);
    return Value(s / static_cast<double>(xs.size()));
  });
}

// GEOMEAN: the n-th root of the product, through logarithms so that long
// lists do not overflow; every number must be positive.
Value fn_geomean(const CallContext& ctx, std::span<const Value> args) {
  return over(collect(args, ctx), [](const std::vector<double>& xs) {
    if (xs.empty()) return Value(ErrorCode::Num);
    double s = 0;
    for (double x : xs) {
      if (x <= 0) return Value(ErrorCode::Num);
      s += std::log(x);
    }
    return Value(std::exp(s / static_cast<double>(xs.size())));
  });
}

// COUNTBLANK: the empty cells of a range and the cells holding empty text.
Value fn_countblank(const CallContext&, std::span<const Value> args) {
  const auto view = RangeView::of(args[0]);
  if (!view) return Value(args[0].is_error() ? args[0].error() : ErrorCode::Value);
  if (view->gone()) return Value(ErrorCode::Ref);
  double filled = 0;
  view->for_each([&](const Value& v) {
    if (!v.is_empty() && !(v.is_text() && v.text().empty())) ++filled;
  });
  return Value(static_cast<double>(view->rows()) * view->cols() - filled);
}

// ---- pairs ----

namespace {

struct Pairs {
  std::vector<double> x, y;
};

// The pairs of two equally long lists where both items are numbers. Lists of
// different lengths are #N/A; an error item is the answer.
std::variant<Pairs, ErrorCode> pairs(const Value& ys, const Value& xs, const CallContext& ctx) {
  auto flat = [&](const Value& v) -> std::variant<std::vector<Value>, ErrorCode> {
    if (auto view = RangeView::of(v)) {
      if (view->gone()) return ErrorCode::Ref;
      return view->to_array().items;
    }
    return std::vector<Value>{scalar(v, ctx)};
  };
  const auto fy = flat(ys), fx = flat(xs);
  if (const auto* e = std::get_if<ErrorCode>(&fy)) return *e;
  if (const auto* e = std::get_if<ErrorCode>(&fx)) return *e;
  const auto& y = std::get<std::vector<Value>>(fy);
  const auto& x = std::get<std::vector<Value>>(fx);
  if (y.size() != x.size()) return ErrorCode::NA;
  Pairs out;
  for (std::size_t i = 0; i < y.size(); ++i) {
    if (y[i].is_error()) return y[i].error();
    if (x[i].is_error()) return x[i].error();
    if (!y[i].is_number() || !x[i].is_number()) continue;
    out.x.push_back(x[i].number());
    out.y.push_back(y[i].number());
  }
  return out;
}

// Sums of the centred products: sxx, syy, sxy, with the means.
struct Centred {
  double n = 0, mx = 0, my = 0, sxx = 0, syy = 0, sxy = 0;
};

Centred centred(const Pairs& p) {
  Centred c;
  c.n = static_cast<double>(p.x.size());
  if (p.x.empty()) return c;
  c.mx = mean(p.x);
  c.my = mean(p.y);
  for (std::size_t i = 0; i < p.x.size(); ++i) {
    const double dx = p.x[i] - c.mx, dy = p.y[i] - c.my;
    c.sxx += dx * dx;
    c.syy += dy * dy;
    c.sxy += dx * dy;
  }
  return c;
}

template <typename F>
Value with_pairs(const CallContext& ctx, const Value& ys, const Value& xs, F f) {
  const auto p = pairs(ys, xs, ctx);
  if (const auto* e = std::get_if<ErrorCode>(&p)) return Value(*e);
  const Value v = f(centred(std::get<Pairs>(p)));
  return v.is_number() ? number_result(v.number()) : v;
}

}  // namespace

Value fn_slope(const CallContext& ctx, std::span<const Value> args) {
  return with_pairs(ctx, args[0], args[1], [](const Centred& c) {
    if (c.n < 2 || c.sxx == 0) return Value(ErrorCode::Div0);
    return Value(c.sxy / c.sxx);
  });
}

Value fn_intercept(const CallContext& ctx, std::span<const Value> args) {
  return with_pairs(ctx, args[0], args[1], [](const Centred& c) {
    if (c.n < 2 || c.sxx == 0) return Value(ErrorCode::Div0);
    return Value(c.my - c.sxy / c.sxx * c.mx);
  });
}

Value fn_correl(const CallContext& ctx, std::span<const Value> args) {
  return with_pairs(ctx, args[0], args[1], [](const Centred& c) {
    if (c.n < 2 || c.sxx == 0 || c.syy == 0) return Value(ErrorCode::Div0);
    return Value(c.sxy / std::sqrt(c.sxx * c.syy));
  });
}

Value fn_rsq(const CallContext& ctx, std::span<const Value> args) {
  return with_pairs(ctx, args[0], args[1], [](const Centred& c) {
    if (c.n < 2 || c.sxx == 0 || c.syy == 0) return Value(ErrorCode::Div0);
    return Value(c.sxy * c.sxy / (c.sxx * c.syy));
  });
}

Value fn_covariance_p(const CallContext& ctx, std::span<const Value> args) {
  return with_pairs(ctx, args[0], args[1], [](const Centred& c) {
    if (c.n < 1) return Value(ErrorCode::Div0);
    return Value(c.sxy / c.n);
  });
}

Value fn_covariance_s(const CallContext& ctx, std::span<const Value> args) {
  return with_pairs(ctx, args[0], args[1], [](const Centred& c) {
    if (c.n < 2) return Value(ErrorCode::Div0);
    return Value(c.sxy / (c.n - 1));
  });
}

// FORECAST(x, known_ys, known_xs): the linear trend's value at x.
Value fn_forecast(const CallContext& ctx, std::span<const Value> args) {
  const auto x = number(args[0], ctx);
  if (failed(x)) return error_of(x);
  return with_pairs(ctx, args[1], args[2], [x = std::get<double>(x)](const Centred& c) {
    if (c.n < 2 || c.sxx == 0) return Value(ErrorCode::Div0);
    const double b = c.sxy / c.sxx;
    return Value(c.my - b * c.mx + b * x);
  });
}

}  // namespace quillo::spreadsheet
