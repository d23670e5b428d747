#include "spreadsheet/special_functions.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace quillo::spreadsheet::special {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kEps = std::numeric_limits<double>::epsilon();
constexpr double kTiny = 1e-300;  // keeps the continued fractions off zero
constexpr int kMaxTerms = 10000;

// A rational first guess of the lower-tail normal quantile for 0 < p <= 0.5
// (P. J. Acklam's approximation, relative error below 1.2e-9), which
// normal_quantile then polishes.
double quantile_guess(double p) {
  static constexpr double a[] = {-3.969683028665376e+01, 2.209460984245205e+02,
                                 -2.759285104469687e+02, 1.383577518672690e+02,
                                 -3.066479806614716e+01, 2.506628277459239e+00};
  static constexpr double b[] = {-5.447609879822406e+01, 1.615858368580409e+02,
                                 -1.556989798598866e+02, 6.680131188771972e+01,
                                 -1.328068155288572e+01};
  static constexpr double c[] = {-7.784894002430293e-03, -3.223964580411365e-01,
                                 -2.400758277161838e+00, -2.549732539343734e+00,
                                 4.374664141464968e+00,  2.938163982698783e+00};
  static constexpr double d[] = {7.784695709041462e-03, 3.224671290700398e-01,
                                 2.445134137142996e+00, 3.754408661907416e+00};
  if (p < 0.02425) {
    const double q = std::sqrt(-2 * std::log(p));
    return (((((c[0] * q + c[1]) * q + c[2]) * q + c[3]) * q + c[4]) * q + c[5]) /
           ((((d[0] * q + d[1]) * q + d[2]) * q + d[3]) * q + 1);
  }
  const double q = p - 0.5;
  const double r = q * q;
  return (((((a[0] * r + a[1]) * r + a[2]) * r + a[3]) * r + a[4]) * r + a[5]) * q /
         (((((b[0] * r + b[1]) * r + b[2]) * r + b[3]) * r + b[4]) * r + 1);
}

// P(a, x) by its power series; converges fast for x < a + 1.
double gamma_series(double a, double x) {
  double ap = a, term = 1 / a, sum = term;
  for (int n = 0; n < kMaxTerms; ++n) {
    ap += 1;
    term *= x / ap;
    sum += term;
    if (std::fabs(term) < std::fabs(sum) * kEps) break;
  }
  return sum * std::exp(-x + a * std::log(x) - std::lgamma(a));
}

// Q(a, x) by its continued fraction (modified Lentz); for x >= a + 1.
double gamma_fraction(double a, double x) {
  double b = x + 1 - a, c = 1 / kTiny, d = 1 / b, h = d;
  for (int i = 1; i < kMaxTerms; ++i) {
    const double an = -i * (i - a);
    b += 2;
    d = an * d + b;
    if (std::fabs(d) < kTiny) d = kTiny;
    c = b + an / c;
    if (std::fabs(c) < kTiny) c = kTiny;
    d = 1 / d;
    const double step = d * c;
    h *= step;
    if (std::fabs(step - 1) < kEps) break;
  }
  return std::exp(-x + a * std::log(x) - std::lgamma(a)) * h;
}

// Beyond this shape the series and the fraction need too many terms, and
// the factor x^a e^-x / Gamma(a) loses digits to the size of a log x.
constexpr double kLargeShape = 1e5;

// Q(a, x) for large a by Temme's uniform asymptotic expansion:
// Q = erfc(eta sqrt(a/2)) / 2 + e^(-a eta^2/2) / sqrt(2 pi a) (C0 + C1/a),
// with lambda = x/a and eta^2/2 = lambda - 1 - ln lambda. The next term is
// below 1e-15 for a > 1e5. Sets `lower` to P(a, x), computed the same way
// so that its small tail keeps its digits.
double gamma_temme(double a, double x, double* lower) {
  const double d = (x - a) / a;  // lambda - 1
  const double f =
      std::fabs(d) > 1e-3 ? d - std::log1p(d) : d * d * (0.5 - d * (1.0 / 3 - d * (0.25 - d / 5)));
  const double eta = std::copysign(std::sqrt(2 * f), d);
  double c0 = 0, c1 = 0;
  if (std::fabs(eta) < 1e-2) {
    // Their series near lambda = 1, where the closed forms cancel.
    c0 = -1.0 / 3 + eta * (1.0 / 12 - eta * (2.0 / 135 - eta / 864));
    c1 = -1.0 / 540 - eta * (1.0 / 288 - eta / 378);
  } else {
    c0 = 1 / d - 1 / eta;
    c1 = 1 / (eta * eta * eta) - 1 / (d * d * d) - 1 / (d * d) - 1 / (12 * d);
  }
  const double r =
      std::exp(-0.5 * a * eta * eta) / std::sqrt(2 * std::numbers::pi * a) * (c0 + c1 / a);
  const double z = eta * std::sqrt(0.5 * a);
  *lower = std::clamp(0.5 * std::erfc(-z) - r, 0.0, 1.0);
  return std::clamp(0.5 * std::erfc(z) + r, 0.0, 1.0);
}

// The continued fraction of the incomplete beta function (modified Lentz).
double beta_fraction(double a, double b, double x) {
  const double qab = a + b, qap = a + 1, qam = a - 1;
  double c = 1, d = 1 - qab * x / qap;
  if (std::fabs(d) < kTiny) d = kTiny;
  d = 1 / d;
  double h = d;
  for (int m = 1; m < kMaxTerms; ++m) {
    const int m2 = 2 * m;
    double aa = m * (b - m) * x / ((qam + m2) * (a + m2));
    d = 1 + aa * d;
    if (std::fabs(d) < kTiny) d = kTiny;
    c = 1 + aa / c;
    if (std::fabs(c) < kTiny) c = kTiny;
    d = 1 / d;
    h *= d * c;
    aa = -(a + m) * (qab + m) * x / ((a + m2) * (qap + m2));
    d = 1 + aa * d;
    if (std::fabs(d) < kTiny) d = kTiny;
    c = 1 + aa / c;
    if (std::fabs(c) < kTiny) c = kTiny;
    d = 1 / d;
    const double step = d * c;
    h *= step;
    if (std::fabs(step - 1) < kEps) break;
  }
  return h;
}

}  // namespace

double normal_pdf(double z) {
  return std::exp(-0.5 * z * z) / std::sqrt(2 * std::numbers::pi);
}

double normal_cdf(double z) {
  return 0.5 * std::erfc(-z / std::numbers::sqrt2);
}

double normal_quantile(double p) {
  if (!(p > 0 && p < 1)) return kNaN;
  // The lower half is solved directly, the upper one by symmetry (1 - p is
  // exact there), so both tails keep their relative precision.
  if (p > 0.5) return -normal_quantile(1 - p);
  double x = quantile_guess(p);
  // Halley's steps on the exact distribution function.
  for (int i = 0; i < 3; ++i) {
    const double e = normal_cdf(x) - p;
    const double u = e * std::sqrt(2 * std::numbers::pi) * std::exp(0.5 * x * x);
    const double next = x - u / (1 + 0.5 * x * u);
    if (!std::isfinite(next)) break;
    x = next;
  }
  return x;
}

double gamma_p(double a, double x) {
  if (!(a > 0) || !(x >= 0)) return kNaN;
  if (x == 0) return 0;
  if (std::isinf(x)) return 1;
  if (a > kLargeShape) {
    double p = 0;
    gamma_temme(a, x, &p);
    return p;
  }
  return x < a + 1 ? gamma_series(a, x) : 1 - gamma_fraction(a, x);
}

double gamma_q(double a, double x) {
  if (!(a > 0) || !(x >= 0)) return kNaN;
  if (x == 0) return 1;
  if (std::isinf(x)) return 0;
  if (a > kLargeShape) {
    double p = 0;
    return gamma_temme(a, x, &p);
  }
  return x < a + 1 ? 1 - gamma_series(a, x) : gamma_fraction(a, x);
}

double log_beta(double a, double b) {
  return std::lgamma(a) + std::lgamma(b) - std::lgamma(a + b);
}

double beta_i(double a, double b, double x) {
  if (!(a > 0) || !(b > 0) || !(x >= 0 && x <= 1)) return kNaN;
  if (x == 0) return 0;
  if (x == 1) return 1;
  const double front = std::exp(a * std::log(x) + b * std::log1p(-x) - log_beta(a, b));
  // The fraction converges fast on the side of the mean nearer to x; the
  // other side is its complement.
  if (x < (a + 1) / (a + b + 2)) return front * beta_fraction(a, b, x) / a;
  return 1 - front * beta_fraction(b, a, 1 - x) / b;
}

double solve_increasing(const std::function<double(double)>& f,
                        const std::function<double(double)>& df, double target, double lo,
                        double hi, double start) {
  double x = (start > lo && start < hi) ? start : 0.5 * (lo + hi);
  for (int i = 0; i < 400; ++i) {
    const double gap = f(x) - target;
    if (gap == 0 || !std::isfinite(gap)) return std::isfinite(gap) ? x : kNaN;
    (gap < 0 ? lo : hi) = x;
    const double slope = df(x);
    double next = x - gap / slope;
    if (!(slope > 0) || !std::isfinite(next) || next <= lo || next >= hi) {
      // A step out of the bracket: halve it instead (geometrically when the
      // bracket spans orders of magnitude on one side of zero).
      next = lo > 0 && hi > 4 * lo ? std::sqrt(lo * hi) : 0.5 * (lo + hi);
    }
    const double scale = std::max(std::fabs(next), kTiny);
    if (std::fabs(next - x) <= 2 * kEps * scale || hi - lo <= 2 * kEps * scale) return next;
    x = next;
  }
  return x;
}

}  // namespace quillo::spreadsheet::special
