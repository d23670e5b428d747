// The statistical distributions: normal (NORM.*, NORMDIST, ...), lognormal,
// Student's t, chi-squared, F, beta, gamma (with GAMMA and GAMMALN),
// exponential, Weibull, binomial, Poisson, and what is built on them
// (STANDARDIZE, FISHER, CONFIDENCE, PHI, GAUSS, ERF), each of single
// numbers, so that inside array formulas they compute item by item; then the
// hypergeometric and negative binomial distributions and the tests over
// lists (Z.TEST, T.TEST, F.TEST, CHISQ.TEST).
//
// Arguments outside a distribution's domain are #NUM! as Excel gives it;
// counts (degrees of freedom, trials, successes) are cut to whole numbers.
// The inverses solve the distribution function itself (special.h), so an
// inverse and its distribution agree to the last digits.
#include <cmath>
#include <functional>
#include <limits>
#include <numbers>
#include <vector>

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

// The x in [lo, hi] where the increasing cdf reaches p. A tiny p is solved
// on log cdf: there the cdf falls like a power of x, and Newton's steps on
// the cdf itself shrink so slowly that they end far from the answer.
double solve_cdf(const std::function<double(double)>& cdf, const std::function<double(double)>& pdf,
                 double p, double lo, double hi, double start) {
  if (p >= 1e-6) return sp::solve_increasing(cdf, pdf, p, lo, hi, start);
  return sp::solve_increasing(
      [&cdf](double x) {
        const double c = cdf(x);
        return c > 0 ? std::log(c) : -1e300;  // below every log p: the answer lies above
      },
      [&cdf, &pdf](double x) { return pdf(x) / cdf(x); }, std::log(p), lo, hi, start);
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
  return solve_cdf([a](double x) { return sp::gamma_p(a, x); },
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
  const double y = p >= 1 ? 1
                          : solve_cdf([a, b](double x) { return sp::beta_i(a, b, x); },
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
  // Named copies rather than a structured binding: clang 14 cannot capture those.
  const auto range = std::get<std::array<double, 2>>(bounds);
  const double lo = range[0];
  const double hi = range[1];
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

// ---- more discrete distributions ----

namespace {

double log_choose(double n, double k) {
  return std::lgamma(n + 1) - std::lgamma(k + 1) - std::lgamma(n - k + 1);
}

// The chance of s successes in a sample of n from a population of size
// big_n holding k successes.
double hypergeom_pmf(double s, double n, double k, double big_n) {
  return std::exp(log_choose(k, s) + log_choose(big_n - k, n - s) - log_choose(big_n, n));
}

}  // namespace

// HYPGEOM.DIST(sample_s, number_sample, population_s, number_pop,
// cumulative).
Value fn_hypgeom_dist(const CallContext& ctx, std::span<const Value> args) {
  return with_flag<4>(ctx, args, [](auto a, bool cumulative) {
    const double s = std::trunc(a[0]), n = std::trunc(a[1]), k = std::trunc(a[2]),
                 big_n = std::trunc(a[3]);
    if (s < 0 || s > n || s > k || n <= 0 || n > big_n || k <= 0 || k > big_n ||
        s < n - big_n + k) {
      return num_error();
    }
    if (!cumulative) return Value(hypergeom_pmf(s, n, k, big_n));
    double sum = 0;
    for (double i = std::max(0.0, n - big_n + k); i <= s; ++i) sum += hypergeom_pmf(i, n, k, big_n);
    return Value(std::min(sum, 1.0));
  });
}

// HYPGEOMDIST: the chance of exactly sample_s.
Value fn_hypgeomdist(const CallContext& ctx, std::span<const Value> args) {
  const std::array<Value, 5> call{args[0], args[1], args[2], args[3], Value(false)};
  return fn_hypgeom_dist(ctx, call);
}

// NEGBINOM.DIST(failures, successes, p, cumulative): the chance of that
// many failures before the successes-th success.
Value fn_negbinom_dist(const CallContext& ctx, std::span<const Value> args) {
  return with_flag<3>(ctx, args, [](auto a, bool cumulative) {
    const double f = std::trunc(a[0]), s = std::trunc(a[1]), p = a[2];
    if (f < 0 || s < 1 || p < 0 || p > 1) return num_error();
    if (cumulative) return Value(p == 0 ? 0 : sp::beta_i(s, f + 1, p));
    if (p == 0 || p == 1) return Value(p == 1 && f == 0 ? 1.0 : 0.0);
    return Value(std::exp(log_choose(f + s - 1, f) + s * std::log(p) + f * std::log1p(-p)));
  });
}

Value fn_negbinomdist(const CallContext& ctx, std::span<const Value> args) {
  const std::array<Value, 4> call{args[0], args[1], args[2], Value(false)};
  return fn_negbinom_dist(ctx, call);
}

// ---- tests over lists ----

namespace {

using Numbers = std::variant<std::vector<double>, ErrorCode>;

Numbers numbers_in(const Value& v, const CallContext& ctx) {
  std::vector<double> out;
  if (auto e = for_each_number(std::span<const Value>(&v, 1), ctx,
                               [&](double d) { out.push_back(d); })) {
    return *e;
  }
  return out;
}

struct Summary {
  double n = 0, mean = 0, var = 0;  // var: the sample variance
};

Summary summary(const std::vector<double>& xs) {
  Summary s;
  s.n = static_cast<double>(xs.size());
  for (double x : xs) s.mean += x;
  s.mean /= s.n;
  for (double x : xs) s.var += (x - s.mean) * (x - s.mean);
  s.var /= s.n - 1;
  return s;
}

// The items of a range or array, as they stand.
std::variant<std::vector<Value>, ErrorCode> items(const Value& v, const CallContext& ctx) {
  if (auto view = RangeView::of(v)) {
    if (view->gone()) return ErrorCode::Ref;
    return view->to_array().items;
  }
  return std::vector<Value>{scalar(v, ctx)};
}

}  // namespace

// Z.TEST(array, x, [sigma]): the one-tailed chance of a mean as large as
// the array's if the true mean were x.
Value fn_z_test(const CallContext& ctx, std::span<const Value> args) {
  const Numbers ns = numbers_in(args[0], ctx);
  if (const auto* e = std::get_if<ErrorCode>(&ns)) return Value(*e);
  const auto xs = numbers_of<2>(ctx, args.subspan(1), {0, 0});
  if (const auto* e = std::get_if<ErrorCode>(&xs)) return Value(*e);
  const auto [x, sigma_arg] = std::get<std::array<double, 2>>(xs);
  const auto& data = std::get<std::vector<double>>(ns);
  if (data.empty()) return Value(ErrorCode::NA);
  const Summary s = summary(data);
  double sigma = sigma_arg;
  if (missing(args, 2)) {
    if (data.size() < 2) return Value(ErrorCode::Div0);
    sigma = std::sqrt(s.var);
  }
  if (sigma <= 0) return sigma == 0 ? Value(ErrorCode::Div0) : num_error();
  return number_result(sp::normal_cdf(-(s.mean - x) / (sigma / std::sqrt(s.n))));
}

// T.TEST(array1, array2, tails, type): the chance of a difference of means
// as large as the arrays', paired (type 1), of equal variances (2) or of
// unequal ones (3, Welch's degrees of freedom).
Value fn_t_test(const CallContext& ctx, std::span<const Value> args) {
  const auto kinds = numbers_of<2>(ctx, args.subspan(2), {});
  if (const auto* e = std::get_if<ErrorCode>(&kinds)) return Value(*e);
  const double tails = std::trunc(std::get<std::array<double, 2>>(kinds)[0]);
  const double type = std::trunc(std::get<std::array<double, 2>>(kinds)[1]);
  if ((tails != 1 && tails != 2) || type < 1 || type > 3) return num_error();
  double t = 0, df = 0;
  if (type == 1) {
    const auto a = items(args[0], ctx), b = items(args[1], ctx);
    if (const auto* e = std::get_if<ErrorCode>(&a)) return Value(*e);
    if (const auto* e = std::get_if<ErrorCode>(&b)) return Value(*e);
    const auto& xa = std::get<std::vector<Value>>(a);
    const auto& xb = std::get<std::vector<Value>>(b);
    if (xa.size() != xb.size()) return Value(ErrorCode::NA);
    std::vector<double> d;
    for (std::size_t i = 0; i < xa.size(); ++i) {
      if (xa[i].is_error()) return xa[i];
      if (xb[i].is_error()) return xb[i];
      if (xa[i].is_number() && xb[i].is_number()) d.push_back(xa[i].number() - xb[i].number());
    }
    if (d.size() < 2) return Value(ErrorCode::Div0);
    const Summary s = summary(d);
    if (s.var == 0) return Value(ErrorCode::Div0);
    t = s.mean / std::sqrt(s.var / s.n);
    df = s.n - 1;
  } else {
    const Numbers a = numbers_in(args[0], ctx), b = numbers_in(args[1], ctx);
    if (const auto* e = std::get_if<ErrorCode>(&a)) return Value(*e);
    if (const auto* e = std::get_if<ErrorCode>(&b)) return Value(*e);
    const auto& xa = std::get<std::vector<double>>(a);
    const auto& xb = std::get<std::vector<double>>(b);
    if (xa.size() < 2 || xb.size() < 2) return Value(ErrorCode::Div0);
    const Summary s1 = summary(xa), s2 = summary(xb);
    if (type == 2) {
      df = s1.n + s2.n - 2;
      const double pooled = ((s1.n - 1) * s1.var + (s2.n - 1) * s2.var) / df;
      const double se = std::sqrt(pooled * (1 / s1.n + 1 / s2.n));
      if (se == 0) return Value(ErrorCode::Div0);
      t = (s1.mean - s2.mean) / se;
    } else {
      const double v1 = s1.var / s1.n, v2 = s2.var / s2.n;
      if (v1 + v2 == 0) return Value(ErrorCode::Div0);
      t = (s1.mean - s2.mean) / std::sqrt(v1 + v2);
      df = (v1 + v2) * (v1 + v2) / (v1 * v1 / (s1.n - 1) + v2 * v2 / (s2.n - 1));
    }
  }
  const double both = t_two_tail(std::fabs(t), df);
  return number_result(tails == 2 ? both : both / 2);
}

// F.TEST(array1, array2): the two-tailed chance that the variances differ
// as much as the arrays' do.
Value fn_f_test(const CallContext& ctx, std::span<const Value> args) {
  const Numbers a = numbers_in(args[0], ctx), b = numbers_in(args[1], ctx);
  if (const auto* e = std::get_if<ErrorCode>(&a)) return Value(*e);
  if (const auto* e = std::get_if<ErrorCode>(&b)) return Value(*e);
  const auto& xa = std::get<std::vector<double>>(a);
  const auto& xb = std::get<std::vector<double>>(b);
  if (xa.size() < 2 || xb.size() < 2) return Value(ErrorCode::Div0);
  const Summary s1 = summary(xa), s2 = summary(xb);
  if (s1.var == 0 || s2.var == 0) return Value(ErrorCode::Div0);
  const double f = s1.var / s2.var;
  const double lower = f_cdf(f, s1.n - 1, s2.n - 1);
  const double upper = f_upper(f, s1.n - 1, s2.n - 1);
  return number_result(std::min(1.0, 2 * std::min(lower, upper)));
}

// CHISQ.TEST(actual, expected): the chance of a chi-squared statistic as
// large as the table's, with (rows-1)(columns-1) degrees of freedom (n-1
// for a single row or column).
Value fn_chisq_test(const CallContext& ctx, std::span<const Value> args) {
  const auto shape = [](const Value& v) -> std::pair<std::int32_t, std::int32_t> {
    if (auto view = RangeView::of(v)) return {view->rows(), view->cols()};
    return {1, 1};
  };
  const auto [rows, cols] = shape(args[0]);
  if (shape(args[1]) != std::make_pair(rows, cols)) return Value(ErrorCode::NA);
  const auto a = items(args[0], ctx), e = items(args[1], ctx);
  if (const auto* err = std::get_if<ErrorCode>(&a)) return Value(*err);
  if (const auto* err = std::get_if<ErrorCode>(&e)) return Value(*err);
  const auto& actual = std::get<std::vector<Value>>(a);
  const auto& expected = std::get<std::vector<Value>>(e);
  double chi = 0;
  for (std::size_t i = 0; i < actual.size(); ++i) {
    if (actual[i].is_error()) return actual[i];
    if (expected[i].is_error()) return expected[i];
    if (!actual[i].is_number() || !expected[i].is_number()) continue;
    const double want = expected[i].number();
    if (want < 0) return num_error();
    if (want == 0) return Value(ErrorCode::Div0);
    const double d = actual[i].number() - want;
    chi += d * d / want;
  }
  const double df = rows > 1 && cols > 1 ? static_cast<double>(rows - 1) * (cols - 1)
                                         : static_cast<double>(std::max(rows, cols) - 1);
  if (df < 1) return Value(ErrorCode::NA);
  return number_result(sp::gamma_q(df / 2, chi / 2));
}

}  // namespace quillo::spreadsheet
