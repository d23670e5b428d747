// The special functions the statistical distributions are built on: the
// normal distribution and its quantile, the regularized incomplete gamma and
// beta functions, and a guarded root finder for the inverses. Pure; any
// thread. Arguments outside a function's domain answer NaN, which the
// worksheet functions turn into #NUM!.
#pragma once

#include <functional>

namespace quillo::spreadsheet::special {

// The standard normal distribution: density, lower tail and quantile.
double normal_pdf(double z);
double normal_cdf(double z);
double normal_quantile(double p);  // 0 < p < 1

// The regularized lower incomplete gamma function P(a, x) and its
// complement Q(a, x) = 1 - P(a, x), each computed directly so that small
// tails keep their digits (a > 0, x >= 0).
double gamma_p(double a, double x);
double gamma_q(double a, double x);

// The regularized incomplete beta function I_x(a, b) (a, b > 0,
// 0 <= x <= 1).
double beta_i(double a, double b, double x);

// log(B(a, b)), the logarithm of the beta function.
double log_beta(double a, double b);

// The x in [lo, hi] where the increasing function f reaches target:
// Newton's steps on the slope df, kept inside a shrinking bracket by
// bisection. lo and hi must bracket the answer.
double solve_increasing(const std::function<double(double)>& f,
                        const std::function<double(double)>& df, double target, double lo,
                        double hi, double start);

}  // namespace quillo::spreadsheet::special
