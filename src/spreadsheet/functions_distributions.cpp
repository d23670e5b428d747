// The statistical distributions: normal (NORM.*, NORMDIST, ...), lognormal,
// Student's t, chi-squared, F, beta, gamma (with GAMMA and GAMMALN),
// exponential, Weibull, binomial, Poisson, and what is built on them
// (STANDARDIZE, FISHER, CONFIDENCE, PHI, GAUSS, ERF). Each takes single
// numbers, so inside array formulas they compute item by item.
//
// Arguments outside a distribution's domain are #NUM! as Excel gives it;
// counts (degrees of freedom, trials, successes) are cut to whole numbers.
// The inverses solve the distribution function itself (special.h), so an
// inverse and its distribution agree to the last digits.
#include <cmath>
#include <limits>
#include <numbers>

#include "spreadsheet/function_numbers.h"
#include "spreadsheet/special_functions.h"

namespace quillo::spreadsheet {

using namespace fn;
namespace sp = special;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kMaxDegrees = 1e10;

// ---- t ----

double t_pdf(double t, double v) {
  return std::exp(std::lgamma((v + 1) / 2) - std::lgamma(v / 2) -
                  0.5 * std::log(v * std::numbers::pi) - (v + 1) / 2 * std::log1p(t * t / v));
}

// P(|T| > |t|), through the incomplete beta function on whichever side
// keeps its digits.
double t_two_tail(double t, double v) {
  const double t2 = t * t;
  if (t2 < v) return 1 - sp::beta_i(0.5, v / 2, t2 / (v + t2));
  return sp::beta_i(v / 2, 0.5, v / (v + t2));
}

double t_cdf(double t, double v) {
  const double tail = 0.5 * t_two_tail(t, v);
  return t < 0 ? tail : 1 - tail;
}

// The t >= 0 with P(|T| > t) = p.
double t_inv_two_tail(double p, double v) {
  if (p >= 1) return 0;
  double hi = 1;
  while (t_two_tail(hi, v) > p && hi < 1e300) hi *= 2;
  return sp::solve_increasing([v](double t) { return -t_two_tail(t, v); },
                              [v](double t) { return 2 * t_pdf(t, v); }, -p, 0, hi, hi / 2);
}

// ---- chi-squared and gamma ----

// The gamma density with shape a and scale 1.
double gamma_pdf(double x, double a) {
  if (x == 0) return a < 1 ? kInf : (a == 1 ? 1 : 0);
  return std::exp((a - 1) * std::log(x) - x - std::lgamma(a));
}

// The x >= 0 where P(a, x) = p (lower) or Q(a, x) = p (upper tail).
double gamma_inv(double p, double a, bool upper) {
  if (upper ? p >= 1 : p <= 0) return 0;
  if (upper ? p <= 0 : p >= 1) return kInf;
  double hi = std::max(a, 1.0);
  while ((upper ? sp::gamma_q(a, hi) > p : sp::gamma_p(a, hi) < p) && hi < 1e300) hi *= 2;
  if (upper) {
    return sp::solve_increasing([a](double x) { return -sp::gamma_q(a, x); },
                                [a](double x) { return gamma_pdf(x, a); }, -p, 0, hi, hi / 2);
  }
  return sp::solve_increasing([a](double x) { return sp::gamma_p(a, x); },
                              [a](double x) { return gamma_pdf(x, a); }, p, 0, hi, hi / 2);
}

// Degrees of freedom: whole, from 1 to 10^10.
bool bad_degrees(double& v) {
  v = std::trunc(v);
  return v < 1 || v > kMaxDegrees;
}

// ---- F and beta ----

double f_pdf(double x, double d1, double d2) {
  if (x == 0) return d1 < 2 ? kInf : (d1 == 2 ? 1 : 0);
  return std::exp(0.5 * d1 * std::log(d1 * x) + 0.5 * d2 * std::log(d2) -
                  0.5 * (d1 + d2) * std::log(d1 * x + d2) - std::log(x) -
                  sp::log_beta(d1 / 2, d2 / 2));
}

double f_cdf(double x, double d1, double d2) {
  return sp::beta_i(d1 / 2, d2 / 2, d1 * x / (d1 * x + d2));
}

double f_upper(double x, double d1, double d2) {
  return sp::beta_i(d2 / 2, d1 / 2, d2 / (d2 + d1 * x));
}

double f_inv(double p, double d1, double d2, bool upper) {
  if (upper ? p >= 1 : p <= 0) return 0;
  if (upper ? p <= 0 : p >= 1) return kInf;
  double hi = 1;
  while ((upper ? f_upper(hi, d1, d2) > p : f_cdf(hi, d1, d2) < p) && hi < 1e300) hi *= 2;
  auto pdf = [d1, d2](double x) { return f_pdf(x, d1, d2); };
  if (upper) {
    return sp::solve_increasing([d1, d2](double x) { return -f_upper(x, d1, d2); }, pdf, -p, 0, hi,
                                hi / 2);
  }
  return sp::solve_increasing([d1, d2](double x) { return f_cdf(x, d1, d2); }, pdf, p, 0, hi,
                              hi / 2);
}

double beta_pdf(double x, double a, double b) {
  if (x == 0) return a < 1 ? kInf : (a == 1 ? b : 0);
  if (x == 1) return b < 1 ? kInf : (b == 1 ? a : 0);
  return std::exp((a - 1) * std::log(x) + (b - 1) * std::log1p(-x) - sp::log_beta(a, b));
}

// ---- binomial and Poisson ----

double binom_pmf(double k, double n, double p) {
  if (p == 0) return k == 0 ? 1 : 0;
  if (p == 1) return k == n ? 1 : 0;
  return std::exp(std::lgamma(n + 1) - std::lgamma(k + 1) - std::lgamma(n - k + 1) +
                  k * std::log(p) + (n - k) * std::log1p(-p));
}

double binom_cdf(double k, double n, double p) {
  if (k >= n) return 1;
  if (p == 0) return 1;
  if (p == 1) return 0;
  if (n <= 1000) {
    double sum = 0;
    for (double i = 0; i <= k; ++i) sum += binom_pmf(i, n, p);
    return std::min(sum, 1.0);
  }
  return sp::beta_i(n - k, k + 1, 1 - p);
}

double poisson_pmf(double k, double m) {
  if (m == 0) return k == 0 ? 1 : 0;
  return std::exp(k * std::log(m) - m - std::lgamma(k + 1));
}

// ---- reading the arguments ----

// The answer f(numbers, cumulative) for functions whose argument at
// position N is the cumulative flag after N numbers.
template <std::size_t N, typename F>
Value with_flag(const CallContext& ctx, std::span<const Value> args, F f) {
  const auto xs = numbers_of<N>(ctx, args, {});
  if (const auto* e = std::get_if<ErrorCode>(&xs)) return Value(*e);
  const auto cumulative = flag(args, N, false, ctx);
  if (failed(cumulative)) return error_of(cumulative);
  const Value v = f(std::get<std::array<double, N>>(xs), std::get<bool>(cumulative));
  return v.is_number() ? number_result(v.number()) : v;
}

Value normal_dist(double x, double mean, double sd, bool cumulative) {
  if (sd <= 0) return num_error();
  const double z = (x - mean) / sd;
  return Value(cumulative ? sp::normal_cdf(z) : sp::normal_pdf(z) / sd);
}

Value normal_inv(double p, double mean, double sd) {
  if (p <= 0 || p >= 1 || sd <= 0) return num_error();
  return Value(mean + sd * sp::normal_quantile(p));
}

Value lognormal_dist(double x, double mean, double sd, bool cumulative) {
  if (x <= 0 || sd <= 0) return num_error();
  const double z = (std::log(x) - mean) / sd;
  return Value(cumulative ? sp::normal_cdf(z) : sp::normal_pdf(z) / (x * sd));
}

Value lognormal_inv(double p, double mean, double sd) {
  if (p <= 0 || p >= 1 || sd <= 0) return num_error();
  return Value(std::exp(mean + sd * sp::normal_quantile(p)));
}

Value chisq_dist(double x, double v, bool cumulative) {
  if (x < 0 || bad_degrees(v)) return num_error();
  return Value(cumulative ? sp::gamma_p(v / 2, x / 2) : 0.5 * gamma_pdf(x / 2, v / 2));
}

Value chisq_upper(double x, double v) {
  if (x < 0 || bad_degrees(v)) return num_error();
  return Value(sp::gamma_q(v / 2, x / 2));
}

Value chisq_inv(double p, double v, bool upper) {
  if (p < 0 || p > 1 || bad_degrees(v)) return num_error();
  return Value(2 * gamma_inv(p, v / 2, upper));
}

Value f_dist(double x, double d1, double d2, bool cumulative) {
  if (x < 0 || bad_degrees(d1) || bad_degrees(d2)) return num_error();
  return Value(cumulative ? f_cdf(x, d1, d2) : f_pdf(x, d1, d2));
}

Value f_dist_rt(double x, double d1, double d2) {
  if (x < 0 || bad_degrees(d1) || bad_degrees(d2)) return num_error();
  return Value(f_upper(x, d1, d2));
}

Value f_inverse(double p, double d1, double d2, bool upper) {
  if (p < 0 || p > 1 || bad_degrees(d1) || bad_degrees(d2)) return num_error();
  return Value(f_inv(p, d1, d2, upper));
}

Value gamma_dist(double x, double a, double b, bool cumulative) {
  if (x < 0 || a <= 0 || b <= 0) return num_error();
  return Value(cumulative ? sp::gamma_p(a, x / b) : gamma_pdf(x / b, a) / b);
}

Value gamma_inverse(double p, double a, double b) {
  if (p < 0 || p > 1 || a <= 0 || b <= 0) return num_error();
  return Value(b * gamma_inv(p, a, false));
}

Value binom_dist(double k, double n, double p, bool cumulative) {
  k = std::trunc(k);
  n = std::trunc(n);
  if (n < 0 || k < 0 || k > n || p < 0 || p > 1) return num_error();
  return Value(cumulative ? binom_cdf(k, n, p) : binom_pmf(k, n, p));
}

Value poisson_dist(double k, double m, bool cumulative) {
  k = std::trunc(k);
  if (k < 0 || m < 0) return num_error();
  if (!cumulative) return Value(poisson_pmf(k, m));
  return Value(m == 0 ? 1.0 : sp::gamma_q(k + 1, m));
}

Value expon_dist(double x, double rate, bool cumulative) {
  if (x < 0 || rate <= 0) return num_error();
  return Value(cumulative ? -std::expm1(-rate * x) : rate * std::exp(-rate * x));
}

Value weibull_dist(double x, double shape, double scale, bool cumulative) {
  if (x < 0 || shape <= 0 || scale <= 0) return num_error();
  const double r = std::pow(x / scale, shape);
  if (cumulative) return Value(-std::expm1(-r));
  return Value(shape / scale * std::pow(x / scale, shape - 1) * std::exp(-r));
}

Value t_dist(double t, double v, bool cumulative) {
  if (bad_degrees(v)) return num_error();
  return Value(cumulative ? t_cdf(t, v) : t_pdf(t, v));
}

Value t_inverse(double p, double v) {
  if (p <= 0 || p >= 1 || bad_degrees(v)) return num_error();
  if (p == 0.5) return Value(0.0);
  return Value(p < 0.5 ? -t_inv_two_tail(2 * p, v) : t_inv_two_tail(2 * (1 - p), v));
}

Value t_inverse_two_tail(double p, double v) {
  if (p <= 0 || p > 1 || bad_degrees(v)) return num_error();
  return Value(t_inv_two_tail(p, v));
}

// BETA.DIST and BETADIST over [lo, hi].
Value beta_dist(double x, double a, double b, bool cumulative, double lo, double hi) {
  if (a <= 0 || b <= 0 || x < lo || x > hi || lo >= hi) return num_error();
  const double y = (x - lo) / (hi - lo);
  return Value(cumulative ? sp::beta_i(a, b, y) : beta_pdf(y, a, b) / (hi - lo));
}

Value beta_inverse(double p, double a, double b, double lo, double hi) {
  if (p <= 0 || p > 1 || a <= 0 || b <= 0 || lo >= hi) return num_error();
  const double y =
      p >= 1 ? 1
             : sp::solve_increasing([a, b](double x) { return sp::beta_i(a, b, x); },
                                    [a, b](double x) { return beta_pdf(x, a, b); }, p, 0, 1, 0.5);
  return Value(lo + y * (hi - lo));
}

}  // namespace

// ---- normal ----

Value fn_norm_dist(const CallContext& ctx, std::span<const Value> args) {
  return with_flag<3>(ctx, args, [](auto a, bool c) { return normal_dist(a[0], a[1], a[2], c); });
}

Value fn_norm_inv(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<3>(ctx, args, {}, [](auto a) { return normal_inv(a[0], a[1], a[2]); });
}

Value fn_norm_s_dist(const CallContext& ctx, std::span<const Value> args) {
  return with_flag<1>(ctx, args, [](auto a, bool c) { return normal_dist(a[0], 0, 1, c); });
}

// NORMSDIST: the cumulative standard normal distribution.
Value fn_normsdist(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<1>(ctx, args, {}, [](auto a) { return Value(sp::normal_cdf(a[0])); });
}

Value fn_norm_s_inv(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<1>(ctx, args, {}, [](auto a) { return normal_inv(a[0], 0, 1); });
}

Value fn_lognorm_dist(const CallContext& ctx, std::span<const Value> args) {
  return with_flag<3>(ctx, args,
                      [](auto a, bool c) { return lognormal_dist(a[0], a[1], a[2], c); });
}

// LOGNORMDIST: the cumulative form only, mean 0 and deviation 1 by default
// as in LOGNORM.DIST.
Value fn_lognormdist(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<3>(ctx, args, {0, 0, 1},
                       [](auto a) { return lognormal_dist(a[0], a[1], a[2], true); });
}

Value fn_lognorm_inv(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<3>(ctx, args, {0, 0, 1},
                       [](auto a) { return lognormal_inv(a[0], a[1], a[2]); });
}

Value fn_standardize(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<3>(ctx, args, {}, [](auto a) {
    if (a[2] <= 0) return num_error();
    return Value((a[0] - a[1]) / a[2]);
  });
}

Value fn_phi(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<1>(ctx, args, {}, [](auto a) { return Value(sp::normal_pdf(a[0])); });
}

Value fn_gauss(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<1>(ctx, args, {}, [](auto a) {
    // erf keeps the digits near zero that normal_cdf(z) - 0.5 would lose.
    return Value(0.5 * std::erf(a[0] / std::numbers::sqrt2));
  });
}

// CONFIDENCE.NORM(alpha, sd, size): half the width of the normal confidence
// interval of a mean.
Value fn_confidence_norm(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<3>(ctx, args, {}, [](auto a) {
    const double n = std::trunc(a[2]);
    if (a[0] <= 0 || a[0] >= 1 || a[1] <= 0 || n < 1) return num_error();
    return Value(-sp::normal_quantile(a[0] / 2) * a[1] / std::sqrt(n));
  });
}

// CONFIDENCE.T: the same with Student's t of size - 1 degrees of freedom.
Value fn_confidence_t(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<3>(ctx, args, {}, [](auto a) {
    const double n = std::trunc(a[2]);
    if (a[0] <= 0 || a[0] >= 1 || a[1] <= 0 || n < 1) return num_error();
    if (n == 1) return Value(ErrorCode::Div0);
    return Value(t_inv_two_tail(a[0], n - 1) * a[1] / std::sqrt(n));
  });
}

Value fn_fisher(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<1>(ctx, args, {}, [](auto a) {
    if (a[0] <= -1 || a[0] >= 1) return num_error();
    return Value(std::atanh(a[0]));
  });
}

Value fn_fisherinv(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<1>(ctx, args, {}, [](auto a) { return Value(std::tanh(a[0])); });
}

// ERF(lower, [upper]): erf(lower), or erf(upper) - erf(lower).
Value fn_erf(const CallContext& ctx, std::span<const Value> args) {
  const bool two = !missing(args, 1);
  return on_numbers<2>(ctx, args, {0, 0}, [two](auto a) {
    return Value(two ? std::erf(a[1]) - std::erf(a[0]) : std::erf(a[0]));
  });
}

Value fn_erfc(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<1>(ctx, args, {}, [](auto a) { return Value(std::erfc(a[0])); });
}

// ---- t ----

Value fn_t_dist(const CallContext& ctx, std::span<const Value> args) {
  return with_flag<2>(ctx, args, [](auto a, bool c) { return t_dist(a[0], a[1], c); });
}

Value fn_t_dist_2t(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<2>(ctx, args, {}, [](auto a) {
    double v = a[1];
    if (a[0] < 0 || bad_degrees(v)) return num_error();
    return Value(t_two_tail(a[0], v));
  });
}

Value fn_t_dist_rt(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<2>(ctx, args, {}, [](auto a) {
    double v = a[1];
    if (bad_degrees(v)) return num_error();
    return Value(t_cdf(-a[0], v));  // the upper tail, by symmetry
  });
}

// TDIST(x, df, tails): the upper tail (tails 1) or both (tails 2) beyond a
// non-negative x.
Value fn_tdist(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<3>(ctx, args, {}, [](auto a) {
    double v = a[1];
    const double tails = std::trunc(a[2]);
    if (a[0] < 0 || bad_degrees(v) || (tails != 1 && tails != 2)) return num_error();
    const double both = t_two_tail(a[0], v);
    return Value(tails == 2 ? both : both / 2);
  });
}

Value fn_t_inv(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<2>(ctx, args, {}, [](auto a) { return t_inverse(a[0], a[1]); });
}

Value fn_t_inv_2t(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<2>(ctx, args, {}, [](auto a) { return t_inverse_two_tail(a[0], a[1]); });
}

// ---- chi-squared ----

Value fn_chisq_dist(const CallContext& ctx, std::span<const Value> args) {
  return with_flag<2>(ctx, args, [](auto a, bool c) { return chisq_dist(a[0], a[1], c); });
}

Value fn_chisq_dist_rt(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<2>(ctx, args, {}, [](auto a) { return chisq_upper(a[0], a[1]); });
}

Value fn_chisq_inv(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<2>(ctx, args, {}, [](auto a) { return chisq_inv(a[0], a[1], false); });
}

Value fn_chisq_inv_rt(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<2>(ctx, args, {}, [](auto a) { return chisq_inv(a[0], a[1], true); });
}

// ---- F ----

Value fn_f_dist(const CallContext& ctx, std::span<const Value> args) {
  return with_flag<3>(ctx, args, [](auto a, bool c) { return f_dist(a[0], a[1], a[2], c); });
}

Value fn_f_dist_rt(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<3>(ctx, args, {}, [](auto a) { return f_dist_rt(a[0], a[1], a[2]); });
}

Value fn_f_inv(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<3>(ctx, args, {}, [](auto a) { return f_inverse(a[0], a[1], a[2], false); });
}

Value fn_f_inv_rt(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<3>(ctx, args, {}, [](auto a) { return f_inverse(a[0], a[1], a[2], true); });
}

// ---- beta ----

// BETA.DIST(x, alpha, beta, cumulative, [A], [B]).
Value fn_beta_dist(const CallContext& ctx, std::span<const Value> args) {
  const auto bounds =
      numbers_of<2>(ctx, args.size() > 4 ? args.subspan(4) : args.subspan(0, 0), {0, 1});
  if (const auto* e = std::get_if<ErrorCode>(&bounds)) return Value(*e);
  const auto [lo, hi] = std::get<std::array<double, 2>>(bounds);
  return with_flag<3>(ctx, args,
                      [lo, hi](auto a, bool c) { return beta_dist(a[0], a[1], a[2], c, lo, hi); });
}

// BETADIST(x, alpha, beta, [A], [B]): the cumulative form.
Value fn_betadist(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<5>(ctx, args, {0, 0, 0, 0, 1},
                       [](auto a) { return beta_dist(a[0], a[1], a[2], true, a[3], a[4]); });
}

Value fn_beta_inv(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<5>(ctx, args, {0, 0, 0, 0, 1},
                       [](auto a) { return beta_inverse(a[0], a[1], a[2], a[3], a[4]); });
}

// ---- gamma ----

Value fn_gamma(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<1>(ctx, args, {}, [](auto a) {
    const double x = a[0];
    if (x <= 0 && x == std::trunc(x)) return num_error();
    return Value(std::tgamma(x));
  });
}

Value fn_gammaln(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<1>(ctx, args, {}, [](auto a) {
    if (a[0] <= 0) return num_error();
    return Value(std::lgamma(a[0]));
  });
}

Value fn_gamma_dist(const CallContext& ctx, std::span<const Value> args) {
  return with_flag<3>(ctx, args, [](auto a, bool c) { return gamma_dist(a[0], a[1], a[2], c); });
}

Value fn_gamma_inv(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<3>(ctx, args, {}, [](auto a) { return gamma_inverse(a[0], a[1], a[2]); });
}

// ---- discrete and the rest ----

Value fn_binom_dist(const CallContext& ctx, std::span<const Value> args) {
  return with_flag<3>(ctx, args, [](auto a, bool c) { return binom_dist(a[0], a[1], a[2], c); });
}

// BINOM.INV(trials, p, alpha): the least number of successes whose
// cumulative probability reaches alpha.
Value fn_binom_inv(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<3>(ctx, args, {}, [](auto a) {
    const double n = std::trunc(a[0]), p = a[1], alpha = a[2];
    if (n < 0 || p < 0 || p > 1 || alpha < 0 || alpha > 1) return num_error();
    double lo = 0, hi = n;
    while (lo < hi) {
      const double mid = std::floor((lo + hi) / 2);
      if (binom_cdf(mid, n, p) >= alpha * (1 - 1e-15))
        hi = mid;
      else
        lo = mid + 1;
    }
    return Value(lo);
  });
}

Value fn_poisson_dist(const CallContext& ctx, std::span<const Value> args) {
  return with_flag<2>(ctx, args, [](auto a, bool c) { return poisson_dist(a[0], a[1], c); });
}

Value fn_expon_dist(const CallContext& ctx, std::span<const Value> args) {
  return with_flag<2>(ctx, args, [](auto a, bool c) { return expon_dist(a[0], a[1], c); });
}

Value fn_weibull_dist(const CallContext& ctx, std::span<const Value> args) {
  return with_flag<3>(ctx, args, [](auto a, bool c) { return weibull_dist(a[0], a[1], a[2], c); });
}

}  // namespace quillo::spreadsheet
