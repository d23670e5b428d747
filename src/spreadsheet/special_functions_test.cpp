// The special functions against closed forms and published values, to the
// digits the worksheet functions promise, and the second function table.
#include "spreadsheet/special_functions.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>

#include "common/text.h"
#include "spreadsheet/functions_more.h"

namespace quillo::spreadsheet {
namespace {

namespace sp = special;

void expect_relative(double got, double want, double tolerance = 1e-13) {
  EXPECT_LE(std::fabs(got - want), tolerance * std::fabs(want)) << got << " vs " << want;
}

TEST(SpecialFunctions, NormalQuantileInvertsTheDistributionInBothTails) {
  for (double p : {1e-300, 1e-20, 1e-10, 1e-5, 0.02, 0.3, 0.5, 0.7, 0.975, 1 - 1e-9}) {
    const double x = sp::normal_quantile(p);
    // The upper half is checked on its complement, which holds the digits.
    if (p > 0.5)
      expect_relative(sp::normal_cdf(-x), 1 - p, 1e-12);
    else
      expect_relative(sp::normal_cdf(x), p, 1e-12);
  }
  expect_relative(sp::normal_quantile(0.975), 1.959963984540054);
  expect_relative(sp::normal_cdf(1.96), 0.9750021048517795);
  EXPECT_TRUE(std::isnan(sp::normal_quantile(0)));
  EXPECT_TRUE(std::isnan(sp::normal_quantile(1)));
}

TEST(SpecialFunctions, IncompleteGammaMeetsItsClosedForms) {
  // P(1, x) = 1 - e^-x; P(1/2, x) = erf(sqrt(x)); P + Q = 1 on both
  // sides of the switch between series and continued fraction.
  for (double x : {1e-8, 0.1, 1.0, 2.5, 10.0, 50.0}) {
    expect_relative(sp::gamma_p(1, x), -std::expm1(-x));
    expect_relative(sp::gamma_q(1, x), std::exp(-x));
    expect_relative(sp::gamma_p(0.5, x), std::erf(std::sqrt(x)));
    for (double a : {0.3, 3.0, 30.0}) {
      EXPECT_NEAR(sp::gamma_p(a, x) + sp::gamma_q(a, x), 1, 1e-14);
    }
  }
  EXPECT_EQ(sp::gamma_p(2, 0), 0);
  EXPECT_TRUE(std::isnan(sp::gamma_p(0, 1)));
}

TEST(SpecialFunctions, IncompleteGammaOfLargeShapes) {
  // Values computed to 40 digits elsewhere; POISSON(1E8,1E8,TRUE) is
  // Q(1E8 + 1, 1E8).
  expect_relative(sp::gamma_q(1e8 + 1, 1e8), 0.50002659615199278, 1e-12);
  expect_relative(sp::gamma_p(1e8, 1e8), 0.50001329807601412, 1e-12);
  expect_relative(sp::gamma_p(1e7, 9997000), 0.17139353340097207, 1e-12);
  expect_relative(sp::gamma_q(1e7, 9997000), 0.82860646659902793, 1e-12);
  expect_relative(sp::gamma_q(5e6, 5020000), 2.082009151691548e-19, 1e-10);
  expect_relative(sp::gamma_p(2e5, 199000), 0.012576006291331174, 1e-11);
}

TEST(SpecialFunctions, IncompleteBetaMeetsItsClosedForms) {
  for (double x : {0.001, 0.2, 0.5, 0.8, 0.999}) {
    expect_relative(sp::beta_i(1, 1, x), x);
    expect_relative(sp::beta_i(3, 1, x), x * x * x);
    expect_relative(sp::beta_i(1, 4, x), 1 - std::pow(1 - x, 4), 1e-12);
    // The arcsine law: I_x(1/2, 1/2) = 2/pi asin(sqrt(x)).
    expect_relative(sp::beta_i(0.5, 0.5, x), 2 / std::numbers::pi * std::asin(std::sqrt(x)), 1e-12);
  }
  EXPECT_TRUE(std::isnan(sp::beta_i(1, 1, 1.5)));
}

TEST(SpecialFunctions, SolverFindsRootsAcrossOrdersOfMagnitude) {
  const auto cube = [](double x) { return x * x * x; };
  const auto slope = [](double x) { return 3 * x * x; };
  expect_relative(sp::solve_increasing(cube, slope, 8, 0, 1e6, 5e5), 2);
  expect_relative(sp::solve_increasing(cube, slope, 1e-30, 0, 1, 0.5), 1e-10, 1e-12);
}

TEST(FunctionTables, EveryFunctionOfTheSecondTableIsFoundByName) {
  std::string previous;
  for (const FunctionDef& f : more_builtins()) {
    EXPECT_LT(previous, f.name) << "the table must stay sorted";
    previous = std::string(f.name);
    // Found, and not shadowed by a function of the first table.
    EXPECT_EQ(find_builtin(f.name), &f) << f.name;
    EXPECT_EQ(find_builtin(text::lower(f.name)), &f) << f.name;
  }
}

}  // namespace
}  // namespace quillo::spreadsheet
