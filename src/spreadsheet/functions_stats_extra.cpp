// More statistics: the shape of a list (SKEW, SKEW.P, KURT), TRIMMEAN,
// HARMEAN, MODE.MULT, FREQUENCY, PROB, the "A" forms of the deviations
// (STDEVA, STDEVPA, VARA, VARPA), the standard error of a regression (STEYX)
// and the sums over pairs (SUMX2MY2, SUMX2PY2, SUMXMY2).
//
// Lists are read as SUM reads them (for_each_number), the "A" forms
// counting TRUE as 1 and FALSE and texts as 0 inside ranges too; pairs as
// CORREL reads them: two lists of equal size, only the places where both
// hold numbers.
#include <algorithm>
#include <cmath>
#include <map>
#include <optional>
#include <vector>

#include "spreadsheet/function_args.h"
#include "spreadsheet/function_numbers.h"

namespace quillo::spreadsheet {

using namespace fn;

namespace {

using Numbers = std::variant<std::vector<double>, ErrorCode>;

Numbers list(std::span<const Value> args, const CallContext& ctx) {
  std::vector<double> out;
  if (auto e = for_each_number(args, ctx, [&](double d) { out.push_back(d); })) return *e;
  return out;
}

// The mean and the sum of squared deviations of xs.
struct Moments {
  double n = 0, mean = 0, m2 = 0;
};

Moments moments(const std::vector<double>& xs) {
  Moments m;
  m.n = static_cast<double>(xs.size());
  if (xs.empty()) return m;
  for (double x : xs) m.mean += x;
  m.mean /= m.n;
  for (double x : xs) m.m2 += (x - m.mean) * (x - m.mean);
  return m;
}

// The sum of ((x - mean) / sd)^power.
double standardized_sum(const std::vector<double>& xs, const Moments& m, double sd, int power) {
  double s = 0;
  for (double x : xs) s += std::pow((x - m.mean) / sd, power);
  return s;
}

// The variance of the "A" reading, of a sample or of the population.
Value variance_a(std::span<const Value> args, const CallContext& ctx, bool sample, bool root) {
  const Numbers ns = numbers_a(args, ctx);
  if (const auto* e = std::get_if<ErrorCode>(&ns)) return Value(*e);
  const Moments m = moments(std::get<std::vector<double>>(ns));
  if (m.n < (sample ? 2 : 1)) return Value(ErrorCode::Div0);
  const double v = m.m2 / (m.n - (sample ? 1 : 0));
  return number_result(root ? std::sqrt(v) : v);
}

template <typename F>
Value over_list(const CallContext& ctx, std::span<const Value> args, F f) {
  const Numbers ns = list(args, ctx);
  if (const auto* e = std::get_if<ErrorCode>(&ns)) return Value(*e);
  const Value v = f(std::get<std::vector<double>>(ns));
  return v.is_number() ? number_result(v.number()) : v;
}

struct PairedItems {
  std::vector<double> x, y;
};

// Pairs of the items of two equally large ranges or arrays where both are
// numbers; lists of different sizes are #N/A, an error item the answer.
std::variant<PairedItems, ErrorCode> paired_items(const Value& a, const Value& b,
                                                  const CallContext& ctx) {
  auto flat = [&](const Value& v) -> std::variant<std::vector<Value>, ErrorCode> {
    if (auto view = RangeView::of(v)) {
      if (view->gone()) return ErrorCode::Ref;
      return view->to_array().items;
    }
    return std::vector<Value>{scalar(v, ctx)};
  };
  const auto fa = flat(a), fb = flat(b);
  if (const auto* e = std::get_if<ErrorCode>(&fa)) return *e;
  if (const auto* e = std::get_if<ErrorCode>(&fb)) return *e;
  const auto& xa = std::get<std::vector<Value>>(fa);
  const auto& xb = std::get<std::vector<Value>>(fb);
  if (xa.size() != xb.size()) return ErrorCode::NA;
  PairedItems out;
  for (std::size_t i = 0; i < xa.size(); ++i) {
    if (xa[i].is_error()) return xa[i].error();
    if (xb[i].is_error()) return xb[i].error();
    if (!xa[i].is_number() || !xb[i].is_number()) continue;
    out.x.push_back(xa[i].number());
    out.y.push_back(xb[i].number());
  }
  return out;
}

template <typename F>
Value over_pairs(const CallContext& ctx, std::span<const Value> args, F f) {
  const auto p = paired_items(args[0], args[1], ctx);
  if (const auto* e = std::get_if<ErrorCode>(&p)) return Value(*e);
  const Value v = f(std::get<PairedItems>(p));
  return v.is_number() ? number_result(v.number()) : v;
}

}  // namespace

// SKEW: the sample skewness, n / ((n-1)(n-2)) * sum(((x - mean) / s)^3).
Value fn_skew(const CallContext& ctx, std::span<const Value> args) {
  return over_list(ctx, args, [](const std::vector<double>& xs) {
    const Moments m = moments(xs);
    if (m.n < 3 || m.m2 == 0) return Value(ErrorCode::Div0);
    const double s = std::sqrt(m.m2 / (m.n - 1));
    return Value(m.n / ((m.n - 1) * (m.n - 2)) * standardized_sum(xs, m, s, 3));
  });
}

// SKEW.P: the population skewness, the mean of ((x - mean) / sigma)^3.
Value fn_skew_p(const CallContext& ctx, std::span<const Value> args) {
  return over_list(ctx, args, [](const std::vector<double>& xs) {
    const Moments m = moments(xs);
    if (m.n < 1 || m.m2 == 0) return Value(ErrorCode::Div0);
    const double sigma = std::sqrt(m.m2 / m.n);
    return Value(standardized_sum(xs, m, sigma, 3) / m.n);
  });
}

// KURT: the sample excess kurtosis.
Value fn_kurt(const CallContext& ctx, std::span<const Value> args) {
  return over_list(ctx, args, [](const std::vector<double>& xs) {
    const Moments m = moments(xs);
    if (m.n < 4 || m.m2 == 0) return Value(ErrorCode::Div0);
    const double n = m.n, s = std::sqrt(m.m2 / (n - 1));
    const double sum4 = standardized_sum(xs, m, s, 4);
    return Value(n * (n + 1) / ((n - 1) * (n - 2) * (n - 3)) * sum4 -
                 3 * (n - 1) * (n - 1) / ((n - 2) * (n - 3)));
  });
}

// TRIMMEAN(array, percent): the mean without the share percent of the
// numbers, cut evenly from both ends (rounded down to an even count).
Value fn_trimmean(const CallContext& ctx, std::span<const Value> args) {
  const auto pct = number(args[1], ctx);
  if (failed(pct)) return error_of(pct);
  const double p = std::get<double>(pct);
  return over_list(ctx, args.first(1), [p](std::vector<double> xs) {
    if (p < 0 || p >= 1 || xs.empty()) return Value(ErrorCode::Num);
    const auto cut = static_cast<std::size_t>(std::floor(static_cast<double>(xs.size()) * p / 2));
    std::sort(xs.begin(), xs.end());
    double s = 0;
    for (std::size_t i = cut; i < xs.size() - cut; ++i) s += xs[i];
    return Value(s / static_cast<double>(xs.size() - 2 * cut));
  });
}

// FREQUENCY(data, bins): a column of counts, one per bin (the numbers above
// the next smaller bin up to this one) and one more for those above all.
Value fn_frequency(const CallContext& ctx, std::span<const Value> args) {
  const Numbers data = list(args.first(1), ctx);
  if (const auto* e = std::get_if<ErrorCode>(&data)) return Value(*e);
  const Numbers bins_read = list(args.subspan(1, 1), ctx);
  if (const auto* e = std::get_if<ErrorCode>(&bins_read)) return Value(*e);
  const auto& bins = std::get<std::vector<double>>(bins_read);
  std::vector<double> sorted = bins;
  std::sort(sorted.begin(), sorted.end());
  std::vector<double> counts(sorted.size() + 1, 0);
  for (double x : std::get<std::vector<double>>(data)) {
    const auto at = std::lower_bound(sorted.begin(), sorted.end(), x) - sorted.begin();
    ++counts[static_cast<std::size_t>(at)];
  }
  // Each bin as given takes the count of its place in the sorted bins;
  // a bin given twice counts once, at its first place.
  Array out{static_cast<std::int32_t>(bins.size() + 1), 1, {}};
  std::vector<bool> taken(sorted.size(), false);
  for (double b : bins) {
    const auto at = static_cast<std::size_t>(std::lower_bound(sorted.begin(), sorted.end(), b) -
                                             sorted.begin());
    out.items.emplace_back(taken[at] ? 0.0 : counts[at]);
    taken[at] = true;
  }
  out.items.emplace_back(counts.back());
  return Value(std::move(out));
}

// STEYX(known_ys, known_xs): the standard error of the predicted y.
Value fn_steyx(const CallContext& ctx, std::span<const Value> args) {
  return over_pairs(ctx, args, [](const PairedItems& p) {
    // paired_items() reads (ys, xs) into (x, y): here p.x are the ys.
    const double n = static_cast<double>(p.x.size());
    if (n < 3) return Value(ErrorCode::Div0);
    double my = 0, mx = 0;
    for (std::size_t i = 0; i < p.x.size(); ++i) {
      my += p.x[i];
      mx += p.y[i];
    }
    my /= n;
    mx /= n;
    double sxx = 0, syy = 0, sxy = 0;
    for (std::size_t i = 0; i < p.x.size(); ++i) {
      const double dy = p.x[i] - my, dx = p.y[i] - mx;
      sxx += dx * dx;
      syy += dy * dy;
      sxy += dx * dy;
    }
    if (sxx == 0) return Value(ErrorCode::Div0);
    return Value(std::sqrt(std::max(0.0, syy - sxy * sxy / sxx) / (n - 2)));
  });
}

Value fn_sumx2my2(const CallContext& ctx, std::span<const Value> args) {
  return over_pairs(ctx, args, [](const PairedItems& p) {
    double s = 0;
    for (std::size_t i = 0; i < p.x.size(); ++i) s += p.x[i] * p.x[i] - p.y[i] * p.y[i];
    return Value(s);
  });
}

Value fn_sumx2py2(const CallContext& ctx, std::span<const Value> args) {
  return over_pairs(ctx, args, [](const PairedItems& p) {
    double s = 0;
    for (std::size_t i = 0; i < p.x.size(); ++i) s += p.x[i] * p.x[i] + p.y[i] * p.y[i];
    return Value(s);
  });
}

Value fn_sumxmy2(const CallContext& ctx, std::span<const Value> args) {
  return over_pairs(ctx, args, [](const PairedItems& p) {
    double s = 0;
    for (std::size_t i = 0; i < p.x.size(); ++i) s += (p.x[i] - p.y[i]) * (p.x[i] - p.y[i]);
    return Value(s);
  });
}

Value fn_stdeva(const CallContext& ctx, std::span<const Value> args) {
  return variance_a(args, ctx, true, true);
}

Value fn_stdevpa(const CallContext& ctx, std::span<const Value> args) {
  return variance_a(args, ctx, false, true);
}

Value fn_vara(const CallContext& ctx, std::span<const Value> args) {
  return variance_a(args, ctx, true, false);
}

Value fn_varpa(const CallContext& ctx, std::span<const Value> args) {
  return variance_a(args, ctx, false, false);
}

// HARMEAN: the reciprocal of the mean of the reciprocals; positive numbers
// only.
Value fn_harmean(const CallContext& ctx, std::span<const Value> args) {
  return over_list(ctx, args, [](const std::vector<double>& xs) {
    if (xs.empty()) return Value(ErrorCode::Num);
    double s = 0;
    for (double x : xs) {
      if (x <= 0) return Value(ErrorCode::Num);
      s += 1 / x;
    }
    return Value(static_cast<double>(xs.size()) / s);
  });
}

// MODE.MULT: a column of every number that appears most often (more than
// once), in the order each first appears; #N/A when none repeats.
Value fn_mode_mult(const CallContext& ctx, std::span<const Value> args) {
  const Numbers ns = list(args, ctx);
  if (const auto* e = std::get_if<ErrorCode>(&ns)) return Value(*e);
  const auto& xs = std::get<std::vector<double>>(ns);
  std::map<double, std::size_t> counts;
  std::size_t best = 1;
  for (double x : xs) best = std::max(best, ++counts[x]);
  if (best < 2) return Value(ErrorCode::NA);
  Array out{0, 1, {}};
  for (double x : xs) {
    auto it = counts.find(x);
    if (it->second != best) continue;
    out.items.emplace_back(x);
    it->second = 0;  // taken
  }
  out.rows = static_cast<std::int32_t>(out.items.size());
  return Value(std::move(out));
}

// PROB(values, probabilities, lower, [upper]): the probability that a value
// lies from lower to upper (or equals lower); the probabilities must lie in
// (0, 1] and add up to 1.
Value fn_prob(const CallContext& ctx, std::span<const Value> args) {
  const auto p = paired_items(args[0], args[1], ctx);
  if (const auto* e = std::get_if<ErrorCode>(&p)) return Value(*e);
  const auto lo = number(args[2], ctx);
  if (failed(lo)) return error_of(lo);
  const auto hi = missing(args, 3) ? lo : number(args[3], ctx);
  if (failed(hi)) return error_of(hi);
  const PairedItems& pr = std::get<PairedItems>(p);
  const double low = std::get<double>(lo), high = std::get<double>(hi);
  double total = 0, inside = 0;
  for (std::size_t i = 0; i < pr.x.size(); ++i) {
    const double chance = pr.y[i];
    if (chance <= 0 || chance > 1) return Value(ErrorCode::Num);
    total += chance;
    if (pr.x[i] >= low && pr.x[i] <= high) inside += chance;
  }
  if (std::fabs(total - 1) > 1e-12) return Value(ErrorCode::Num);
  return Value(inside);
}

}  // namespace quillo::spreadsheet
