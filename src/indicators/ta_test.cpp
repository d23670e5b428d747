// The indicators apart from the sheet: the cases the data files cannot
// show (exact windows where the true sum is 0, failures, large periods).
#include "indicators/ta.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>

namespace quillo::indicators {
namespace {

// A table of n rows, one day apart, every column filled by f(column, row).
template <typename F>
Table make(std::size_t n, F f) {
  Table t;
  t.columns.assign(6, std::vector<double>(n));
  for (int c = 1; c <= 6; ++c) {
    for (std::size_t j = 0; j < n; ++j) t.columns[static_cast<std::size_t>(c - 1)][j] = f(c, j);
  }
  return t;
}

TEST(TaTest, MoneyFlowWithoutVolumeIsExactly50AfterVolumeLeavesTheWindow) {
  // Trading with odd volumes, then none: the window sums must be exactly 0
  // (running sums kept residue and answered 33.33 or 900 here).
  const Table t = make(60, [](int c, std::size_t j) {
    if (c == 3) return j < 20 ? 1234.567 + static_cast<double>(j) * 0.1 : 0.0;
    if (c == 1) return static_cast<double>(j);
    return 10.0 + std::sin(static_cast<double>(j)) * 0.37 + (c == 5 ? 0.5 : c == 6 ? -0.5 : 0);
  });
  const auto s = money_flow(t, 14);
  ASSERT_TRUE(s);
  EXPECT_TRUE(std::isnan(s->values[13]));
  EXPECT_FALSE(std::isnan(s->values[14]));
  for (std::size_t j = 34; j < 60; ++j) EXPECT_EQ(s->values[j], 50.0) << j;
}

TEST(TaTest, VolatilityOfFlatPricesIsExactlyZero) {
  // A moving stretch, then a flat one: the flat windows answer 0, not a
  // square root of rounding residue ("Calculation error").
  const Table t = make(80, [](int c, std::size_t j) {
    if (c == 1) return 40000.0 + static_cast<double>(j);
    return j < 30 ? 10.0 + static_cast<double>(j % 7) * 0.313 : 17.77;
  });
  const auto s = vol_ctc(t, 10);
  ASSERT_TRUE(s);
  EXPECT_GT(s->values[20], 0);
  for (std::size_t j = 41; j < 80; ++j) EXPECT_EQ(s->values[j], 0.0) << j;
  // A steady rate of growth is no volatility either.
  const Table growth = make(40, [](int c, std::size_t j) {
    return c == 1 ? static_cast<double>(j) : 10.0 * std::pow(1.01, static_cast<double>(j));
  });
  const auto g = vol_ctc(growth, 10);
  ASSERT_TRUE(g);
  EXPECT_NEAR(g->values[30], 0.0, 1e-4);
}

TEST(TaTest, VolatilityScalesByCalendarDaysAndFailsOnRepeatedDates) {
  const auto close = [](std::size_t j) { return j % 2 ? 11.0 : 10.0; };
  const Table daily = make(3, [&](int c, std::size_t j) { return c == 1 ? double(j) : close(j); });
  const Table weekly =
      make(3, [&](int c, std::size_t j) { return c == 1 ? double(j) * 7 : close(j); });
  const auto d = vol_ctc(daily, 2), w = vol_ctc(weekly, 2);
  ASSERT_TRUE(d && w);
  EXPECT_NEAR(d->values[2] / w->values[2], std::sqrt(7.0), 1e-12);
  const Table same = make(3, [&](int c, std::size_t j) { return c == 1 ? 5.0 : close(j); });
  EXPECT_FALSE(vol_ctc(same, 2));
}

TEST(TaTest, FailuresAreReportedNotComputed) {
  Table t = make(10, [](int, std::size_t j) { return 10.0 + static_cast<double>(j); });
  t.columns[1][6] = std::nan("");  // a text in the close column
  EXPECT_FALSE(sma(t, 3));
  EXPECT_FALSE(ema(t, 3));
  // A window that never reaches the bad row still answers.
  EXPECT_TRUE(sma(t, 11));
  Table zero = make(10, [](int, std::size_t j) { return j == 2 ? 0.0 : 5.0 + double(j); });
  EXPECT_FALSE(roc(zero, 1));
  EXPECT_FALSE(w_close(zero, -2));  // weight -2 divides by 0
  const Table flat = make(10, [](int, std::size_t) { return 4.0; });
  EXPECT_FALSE(beta(flat, flat, 3));  // index returns that do not vary
}

TEST(TaTest, EdgeValuesOfTheDefinitions) {
  const Table rising = make(40, [](int, std::size_t j) { return 1.0 + static_cast<double>(j); });
  const Table flat = make(40, [](int, std::size_t) { return 7.25; });
  EXPECT_EQ(rsi(flat, 14)->values[14], 50.0);
  EXPECT_EQ(rsi(rising, 14)->values[39], 100.0);
  EXPECT_TRUE(std::isnan(rsi(rising, 14)->values[13]));
  const auto e = ema(rising, 1);
  for (std::size_t j = 0; j < 40; ++j) EXPECT_EQ(e->values[j], rising.col(2)[j]);
  const auto b = bollinger(flat, 20, 2);
  EXPECT_EQ(b->values[19], 7.25);
  EXPECT_EQ(b->values2[39], 7.25);
  const auto m = macd(rising, 12, 26, 9);
  EXPECT_TRUE(std::isnan(m->values[24]));
  EXPECT_FALSE(std::isnan(m->values[25]));
  EXPECT_TRUE(std::isnan(m->values2[32]));
  EXPECT_FALSE(std::isnan(m->values2[33]));
  const auto slow = sto_slow(rising, 5, 3, 3);
  EXPECT_TRUE(std::isnan(slow->values[5]));
  EXPECT_FALSE(std::isnan(slow->values[6]));
  EXPECT_TRUE(std::isnan(slow->values2[7]));
  EXPECT_FALSE(std::isnan(slow->values2[8]));
  EXPECT_NEAR(beta(rising, rising, 5)->values[5], 1.0, 1e-12);
  const auto longer = sma(rising, 41);  // longer than the table
  for (double v : longer->values) EXPECT_TRUE(std::isnan(v));
  Table weights = rising;
  weights.columns[2].assign(40, 0.0);
  EXPECT_TRUE(std::isnan(wma(weights, 3)->values[10]));  // weights summing to 0
}

// The held-in price table: daily prices near 50,000, columns as the
// history table writes them (the date column is read as a row number).
Table held_in_prices() {
  std::ifstream in(std::string(QUILLO_TESTDATA_DIR) + "/indicators/held_in/prices_near_50000.csv");
  Table t;
  t.columns.assign(6, {});
  std::string line;
  std::getline(in, line);  // header
  for (double row = 0; std::getline(in, line); ++row) {
    std::stringstream fields(line);
    std::string f;
    for (int c = 0; std::getline(fields, f, ','); ++c) {
      t.columns[static_cast<std::size_t>(c)].push_back(c == 0 ? row : std::stod(f));
    }
  }
  return t;
}

// Two-pass mean, variance and covariance (divisor m) of the window of
// length m ending at end, in long double.
struct TwoPass {
  long double mean_x = 0, mean_y = 0, var_x = 0, cov = 0;
};
TwoPass two_pass(const std::vector<double>& x, const std::vector<double>& y, std::size_t end,
                 std::size_t m) {
  TwoPass r;
  for (std::size_t i = end + 1 - m; i <= end; ++i) {
    r.mean_x += x[i];
    r.mean_y += y[i];
  }
  r.mean_x /= static_cast<long double>(m);
  r.mean_y /= static_cast<long double>(m);
  for (std::size_t i = end + 1 - m; i <= end; ++i) {
    r.var_x += (x[i] - r.mean_x) * (x[i] - r.mean_x);
    r.cov += (x[i] - r.mean_x) * (y[i] - r.mean_y);
  }
  r.var_x /= static_cast<long double>(m);
  r.cov /= static_cast<long double>(m);
  return r;
}

void expect_relative(double got, long double want, double tolerance, const std::string& what) {
  const long double scale = std::max(std::abs(want), 1e-300L);
  EXPECT_LE(std::abs(static_cast<long double>(got) - want) / scale, tolerance)
      << what << ": " << got << " against " << static_cast<double>(want);
}

TEST(TaTest, WindowedStatisticsAgreeWithTwoPassForEveryWindowLength) {
  // Prices near 50,000 barely move: the band width is a small difference
  // of large squares when computed from running sums of squares (a
  // relative error of 1e-3 for windows over 256 rows). Every length must
  // agree with a two-pass computation.
  const Table t = held_in_prices();
  const std::size_t n = t.rows();
  ASSERT_EQ(n, 2400u);
  const std::vector<double> close(t.col(2).begin(), t.col(2).end());
  // A steady climb with small wobbles: returns far from 0 that barely vary.
  const Table climb = [] {
    Table c;
    c.columns.assign(6, std::vector<double>(2400));
    for (std::size_t j = 0; j < 2400; ++j) {
      c.columns[0][j] = static_cast<double>(j);
      c.columns[1][j] = 100 * std::exp(0.01 * static_cast<double>(j) +
                                       1e-5 * std::sin(static_cast<double>(j) * 0.7));
      c.columns[3][j] = 100 * std::exp(0.02 * static_cast<double>(j) +
                                       2e-5 * std::sin(static_cast<double>(j) * 0.7) +
                                       5e-6 * std::cos(static_cast<double>(j) * 0.3));
    }
    return c;
  }();
  auto returns = [](std::span<const double> c, bool logs) {
    std::vector<double> r(c.size(), 0);
    for (std::size_t j = 1; j < c.size(); ++j) {
      r[j] = logs ? std::log(c[j] / c[j - 1]) / std::sqrt(1.0 / 365) : c[j] / c[j - 1] - 1;
    }
    return r;
  };
  const std::vector<double> logs = returns(climb.col(2), true);
  Table index = climb;
  index.columns[1] = climb.columns[3];
  const std::vector<double> stock_r = returns(climb.col(2), false);
  const std::vector<double> index_r = returns(index.col(2), false);
  for (const std::size_t p : {2, 20, 32, 33, 256, 257, 300, 1000, 2000, 2399}) {
    const int periods = static_cast<int>(p);
    const auto bands = bollinger(t, periods, 2);
    const auto vol = vol_ctc(climb, periods);
    const auto slope = beta(index, climb, periods);
    ASSERT_TRUE(bands && vol && slope) << p;
    for (std::size_t j = p - 1; j < n; j += 37) {
      const TwoPass w = two_pass(close, close, j, p);
      const std::string at = "p " + std::to_string(p) + " row " + std::to_string(j);
      expect_relative(bands->values[j] - bands->values2[j], 4 * std::sqrt(w.var_x), 1e-12,
                      "band width, " + at);
      expect_relative(bands->values[j], w.mean_x + 2 * std::sqrt(w.var_x), 1e-12,
                      "upper band, " + at);
      if (j < p) continue;  // volatility and beta start a row later
      const TwoPass v = two_pass(logs, logs, j, p);
      expect_relative(vol->values[j], 100 * std::sqrt(v.var_x), 1e-12, "volatility, " + at);
      const TwoPass b = two_pass(index_r, stock_r, j, p);
      expect_relative(slope->values[j], b.cov / b.var_x, 1e-12, "beta, " + at);
    }
  }
}

TEST(TaTest, WindowsHoldingValuesThatOverflowAreErrorsAndOnlyThey) {
  // Closes near 100 with one of 1e200, or two of 1.7e308 side by side
  // (whose sum overflows too): in short and long windows alike the
  // averages and bands of a window holding them are errors (infinite or
  // NaN, never "no value"), and every other window has its two-pass value,
  // right after them too.
  for (const double huge : {1e200, 1.7e308}) {
    std::vector<double> close;
    for (int j = 0; j < 700; ++j) close.push_back(100 + (j % 7) * 0.5);
    close[300] = huge;
    const std::size_t last = huge > 1e300 ? 301 : 300;
    close[last] = huge;
    Table t;
    t.columns.assign(6, std::vector<double>(close.size()));
    t.columns[1] = close;
    for (const std::size_t p : {10, 32, 33, 40, 257, 300}) {
      const auto b = bollinger(t, static_cast<int>(p), 2);
      const auto a = sma(t, static_cast<int>(p));
      ASSERT_TRUE(b && a) << p;
      for (std::size_t j = p - 1; j < close.size(); ++j) {
        const std::string at = "p " + std::to_string(p) + " row " + std::to_string(j);
        const TwoPass w = two_pass(close, close, j, p);
        // The sum overflows where the window holds both 1.7e308.
        if (huge > 1e300 && j >= last && j < 300 + p) {
          EXPECT_FALSE(is_none(a->values[j]) || std::isfinite(a->values[j])) << at;
        } else {
          expect_relative(a->values[j], w.mean_x, 1e-12, "average, " + at);
        }
        if (j >= 300 && j < last + p) {
          for (const double x : {b->values[j], b->values2[j]}) {
            EXPECT_FALSE(is_none(x) || std::isfinite(x)) << at;
          }
          continue;
        }
        expect_relative(b->values[j], w.mean_x + 2 * std::sqrt(w.var_x), 1e-12, "upper, " + at);
        expect_relative(b->values2[j], w.mean_x - 2 * std::sqrt(w.var_x), 1e-12, "lower, " + at);
      }
      EXPECT_TRUE(is_none(b->values[p - 2])) << p;  // before the first window
    }
  }
}

TEST(TaTest, ShortWindowsAreSummedInRowOrderToTheBit) {
  // Windows up to the afresh limit give what a sum in row order gives,
  // whatever the window's place among the ones computed together.
  std::uint64_t seed = 7;
  const Table t = make(45, [&](int, std::size_t) {
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<double>(seed >> 11) * 0x1p-53 * 1000 - 500;
  });
  for (const int p : {1, 2, 3, 7, 8, 9, 20, 45, 256}) {
    const auto s = sma(t, p);
    ASSERT_TRUE(s) << p;
    for (std::size_t j = 0; j < t.rows(); ++j) {
      if (j + 1 < static_cast<std::size_t>(p)) {
        EXPECT_TRUE(std::isnan(s->values[j])) << p << " " << j;
        continue;
      }
      double sum = 0;
      for (std::size_t i = j + 1 - static_cast<std::size_t>(p); i <= j; ++i) sum += t.col(2)[i];
      EXPECT_EQ(s->values[j], sum / p) << p << " " << j;
    }
  }
  Table gap = t;
  gap.columns[1][44] = std::nan("");  // the last row, past every full group of windows
  EXPECT_FALSE(sma(gap, 2));
  EXPECT_FALSE(bollinger(gap, 20, 2));
  // Bands over a flat stretch of a value binary fractions cannot hold.
  Table flat = t;
  for (std::size_t j = 10; j < 45; ++j) flat.columns[1][j] = 0.1;
  const auto b = bollinger(flat, 20, 2);
  ASSERT_TRUE(b);
  for (std::size_t j = 29; j < 45; ++j) {
    EXPECT_EQ(b->values[j], 0.1) << j;
    EXPECT_EQ(b->values2[j], 0.1) << j;
  }
}

TEST(TaTest, ShortBandsAgreeWithTwoPassOverJumpsAndFlatStretches) {
  // Short windows slide over stretches that are hard on running sums: a
  // level jumping by a million and back, flat runs of values binary
  // fractions cannot hold, a run crossing zero, tiny wobbles on a large
  // price. Each band matches a two-pass computation (to 1e-12 of its width,
  // beyond the rounding of the price itself), and a flat window's bands are
  // the value itself.
  std::uint64_t seed = 11;
  auto noise = [&seed] {
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<double>(seed >> 11) * 0x1p-53 - 0.5;
  };
  std::vector<double> close;
  double walk = 100;
  for (int j = 0; j < 700; ++j) {
    walk += noise();
    double x = walk;
    if (j >= 90 && j < 97) x = 1e6 + noise();                        // a jump away and back
    if (j >= 150 && j < 215) x = 0.1;                                // flat
    if (j >= 215 && j < 260) x = 1e6 + 0.3;                          // flat after a jump
    if (j >= 300 && j < 380) x = (j - 340) * 0.37 + noise() * 1e-3;  // through zero
    if (j >= 450 && j < 600) x = 50000 + noise() * 1e-2;             // tiny wobbles
    close.push_back(x);
  }
  Table t;
  t.columns.assign(6, std::vector<double>(close.size()));
  t.columns[1] = close;
  for (const std::size_t p : {2, 3, 15, 16, 17, 20, 31, 32}) {
    const auto b = bollinger(t, static_cast<int>(p), 2);
    ASSERT_TRUE(b) << p;
    for (std::size_t j = p - 1; j < close.size(); ++j) {
      const TwoPass w = two_pass(close, close, j, p);
      const long double width = 4 * std::sqrt(w.var_x);
      const long double room = 1e-12L * width + 1e-15L * std::abs(w.mean_x);
      const long double got = static_cast<long double>(b->values[j]) - b->values2[j];
      EXPECT_LE(std::abs(got - width), room) << "p " << p << " row " << j;
      EXPECT_LE(std::abs(b->values[j] - (w.mean_x + width / 2)), room) << "p " << p << " row " << j;
      if (w.var_x == 0) {
        EXPECT_EQ(b->values[j], close[j]) << "p " << p << " row " << j;
        EXPECT_EQ(b->values2[j], close[j]) << "p " << p << " row " << j;
      }
    }
  }
}

TEST(TaTest, LongWindowsSlideAndAgreeWithWindowsSummedAfresh) {
  // Windows longer than the afresh limit slide (linear in the rows); their
  // results agree with a direct computation, and flat stretches stay exact.
  const std::size_t n = 3000, p = 700;
  const Table t = make(n, [](int c, std::size_t j) {
    if (c == 1) return static_cast<double>(j);
    if (c == 3) return j > 1500 ? 0.0 : 100.0 + static_cast<double>(j % 13);
    const double base = j > 2200 ? 50.0 : 50.0 + std::sin(static_cast<double>(j) / 9.0) * 4;
    return base + (c == 5 ? 1 : c == 6 ? -1 : 0);
  });
  const auto s = sma(t, static_cast<int>(p));
  const auto b = bollinger(t, static_cast<int>(p), 2);
  const auto ch = pricechannel(t, static_cast<int>(p));
  const auto mf = money_flow(t, static_cast<int>(p));
  ASSERT_TRUE(s && b && ch && mf);
  EXPECT_FALSE(beta(t, t, static_cast<int>(p)));  // flat index windows: no regression
  const Table varying = make(n, [](int, std::size_t j) { return 50 + std::sin(double(j) / 9); });
  const auto beta_self = beta(varying, varying, static_cast<int>(p));
  ASSERT_TRUE(beta_self);
  for (std::size_t j : {p - 1, p + 57, std::size_t{1999}, n - 1}) {
    double sum = 0, high = -1e9;
    for (std::size_t i = j + 1 - p; i <= j; ++i) {
      sum += t.col(2)[i];
      high = std::max(high, t.col(5)[i]);
    }
    EXPECT_NEAR(s->values[j], sum / p, 1e-9) << j;
    EXPECT_EQ(ch->values[j], high) << j;
  }
  EXPECT_EQ(s->values[n - 1], 50.0);  // a flat window
  EXPECT_NEAR(b->values[n - 1] - b->values2[n - 1], 0.0, 1e-6);
  EXPECT_EQ(mf->values[n - 1], 50.0);  // no volume in the window
  EXPECT_NEAR(beta_self->values[2000], 1.0, 1e-9);
}

}  // namespace
}  // namespace quillo::indicators
