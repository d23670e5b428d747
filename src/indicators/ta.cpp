#include "indicators/ta.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <deque>
#include <limits>

namespace quillo::indicators {

namespace {

const double kNone = none();

// Thrown inside a computation when it cannot go on; the entry points turn
// it into nullopt, so callers only ever see a returned value.
struct Failed {};

double need(double x) {
  if (std::isnan(x)) throw Failed{};
  return x;
}

double quot(double a, double b) {
  if (b == 0) throw Failed{};
  const double q = a / b;
  if (!std::isfinite(q)) throw Failed{};
  return q;
}

// Sum of c over the m elements ending at index end, in row order.
double window_sum(std::span<const double> c, std::size_t end, std::size_t m) {
  double s = 0;
  for (std::size_t j = end + 1 - m; j <= end; ++j) s += need(c[j]);
  return s;
}

double window_max(std::span<const double> c, std::size_t end, std::size_t m) {
  double v = need(c[end + 1 - m]);
  for (std::size_t j = end + 2 - m; j <= end; ++j) v = std::max(v, need(c[j]));
  return v;
}

double window_min(std::span<const double> c, std::size_t end, std::size_t m) {
  double v = need(c[end + 1 - m]);
  for (std::size_t j = end + 2 - m; j <= end; ++j) v = std::min(v, need(c[j]));
  return v;
}

// Fails unless every element is a number: one pass, so the loops that
// follow need not check each element they read.
void need_all(std::span<const double> c) {
  bool gap = false;
  for (const double x : c) gap |= std::isnan(x);
  if (gap) throw Failed{};
}

// Windows up to this length are summed afresh for every element, in row
// order, as the spreadsheet's own functions sum them; longer ones slide, so
// a long window over a long table stays linear in the rows.
constexpr std::size_t kAfreshWindow = 256;

// The sums of the windows of length m ending at each index from first to
// the end of out, each summed in row order as window_sum sums it (so the
// same to the bit), eight windows at a time: the additions of neighbouring
// windows are independent, so they overlap rather than wait on one another.
// Every element of c must be a number (need_all).
void afresh_sums(std::span<const double> c, std::size_t m, std::size_t first,
                 std::span<double> out) {
  constexpr std::size_t kLanes = 8;
  std::size_t j = first;
  for (; j + kLanes <= out.size(); j += kLanes) {
    double s[kLanes] = {};
    const double* from = c.data() + (j + 1 - m);
    for (std::size_t i = 0; i < m; ++i) {
      for (std::size_t k = 0; k < kLanes; ++k) s[k] += from[i + k];
    }
    for (std::size_t k = 0; k < kLanes; ++k) out[j + k] = s[k];
  }
  for (; j < out.size(); ++j) out[j] = window_sum(c, j, m);
}

// Windows up to this length get their mean and variance from short sliding
// blocks whose rounding is bounded, or from two passes over the window
// itself where the bound is too wide (band_block, window_moments); longer
// ones slide (WindowMoments), so the work per row stays bounded.
constexpr std::size_t kTwoPassWindow = 32;

// The mean and variance (divisor m) of the windows of length m ending at
// index j to j + L - 1, L windows side by side so their arithmetic
// overlaps. Two passes over each window's deviations from its first value:
// the shift keeps the squares at the size of the spread rather than of the
// prices, and a window of equal values has variance exactly 0 and mean
// exactly the value. Every element of c must be a number (need_all).
template <std::size_t L>
void window_moments(std::span<const double> c, std::size_t m, std::size_t j, double* mean,
                    double* var) {
  const double* from = c.data() + (j + 1 - m);
  const auto n = static_cast<double>(m);
  double base[L], sum[L] = {}, squares[L] = {};
  for (std::size_t k = 0; k < L; ++k) base[k] = from[k];
  for (std::size_t i = 0; i < m; ++i) {
    for (std::size_t k = 0; k < L; ++k) sum[k] += from[i + k] - base[k];
  }
  for (std::size_t k = 0; k < L; ++k) sum[k] /= n;
  for (std::size_t i = 0; i < m; ++i) {
    for (std::size_t k = 0; k < L; ++k) {
      const double d = (from[i + k] - base[k]) - sum[k];
      squares[k] += d * d;
    }
  }
  for (std::size_t k = 0; k < L; ++k) {
    mean[k] = base[k] + sum[k];
    var[k] = squares[k] / n;
  }
}

// The bands of short windows (up to kTwoPassWindow) slide in blocks of
// kBandBlock windows: the deviations of a block's rows from one of its
// values (the anchor) and their squares are summed over the first window,
// then each next window adds the row coming in and takes away the row going
// out. Beside each sum runs a bound on its rounding error (the magnitudes of
// every rounded result, times the unit roundoff), so each window's variance
// and mean come with a bound on how far they can be from the exact ones; a
// window whose bound is not far below its variance (a flat window, a window
// far from the anchor) is computed by window_moments instead. So every band
// agrees with a two-pass computation to well within 1e-12, a flat window
// included (variance exactly 0, mean exactly the value), at a few operations
// a row rather than two passes over each window.
constexpr std::size_t kBandBlock = 16;
constexpr double kUnit = 0x1p-53;
// The largest error bound accepted, relative to the variance (so the
// deviation is within 2^-44 of the exact one) and to the larger of the mean
// and the deviation (for the mean's own error).
constexpr double kBandTolerance = 0x1p-43;

// Mean and variance of the windows of length m (at most kTwoPassWindow)
// ending at index j to j + count - 1 (count at most kBandBlock), into
// mean[] and var[]. Every element of c must be a number (need_all).
void band_block(std::span<const double> c, std::size_t m, std::size_t j, std::size_t count,
                double* mean, double* var) {
  const double* from = c.data() + (j + 1 - m);
  const std::size_t span = m - 1 + count;
  const double anchor = from[span / 2];
  double d[kTwoPassWindow + kBandBlock], q[kTwoPassWindow + kBandBlock];
  for (std::size_t i = 0; i < span; ++i) {
    d[i] = from[i] - anchor;
    q[i] = d[i] * d[i];
  }
  const auto n = static_cast<double>(m);
  const double inverse = 1 / n;
  // The first window, summed in four interleaved parts so the additions
  // overlap; each error bound adds up the magnitudes of the rounded sums.
  double part1[4] = {}, part2[4] = {}, error1[4] = {}, error2[4] = {};
  std::size_t i = 0;
  for (; i + 4 <= m; i += 4) {
    for (std::size_t k = 0; k < 4; ++k) {
      part1[k] += d[i + k];
      part2[k] += q[i + k];
      error1[k] += std::abs(part1[k]);
      error2[k] += part2[k];
    }
  }
  for (; i < m; ++i) {
    part1[0] += d[i];
    part2[0] += q[i];
    error1[0] += std::abs(part1[0]);
    error2[0] += part2[0];
  }
  const double low1 = part1[0] + part1[1], high1 = part1[2] + part1[3];
  const double low2 = part2[0] + part2[1], high2 = part2[2] + part2[3];
  double sum = low1 + high1, squares = low2 + high2;
  double sum_error = error1[0] + error1[1] + error1[2] + error1[3] + std::abs(low1) +
                     std::abs(high1) + std::abs(sum);
  double squares_error = error2[0] + error2[1] + error2[2] + error2[3] + low2 + high2 + squares;
  // The next windows: the row coming in less the row going out.
  double s1[kBandBlock], s2[kBandBlock];
  double top1 = std::abs(sum), top2 = squares;
  s1[0] = sum;
  s2[0] = squares;
  for (std::size_t t = 1; t < count; ++t) {
    const double t1 = d[m - 1 + t] - d[t - 1];
    const double t2 = q[m - 1 + t] - q[t - 1];
    sum += t1;
    squares += t2;
    sum_error += std::abs(t1) + std::abs(sum);
    squares_error += std::abs(t2) + std::abs(squares);
    top1 = std::max(top1, std::abs(sum));
    top2 = std::max(top2, std::abs(squares));
    s1[t] = sum;
    s2[t] = squares;
  }
  // Bounds, over every window of the block, on the errors of b (the mean
  // deviation: the deviations' roundings, the sums', the scaling by 1/m)
  // and of a (the mean square: the squares' roundings as well); the
  // variance's error follows from them, with room for second-order terms.
  const double b_top = top1 * inverse, a_top = top2 * inverse;
  // Rounding the deviations moves each by at most kUnit of itself, and the
  // magnitudes of a window's deviations add up to at most the root of m
  // times their squares (with room for the squares' own errors).
  const double data_error = 1.125 * kUnit * std::sqrt(n * top2 * 1.125);
  const double b_error = (kUnit * sum_error + data_error) * inverse + 2 * kUnit * b_top;
  const double a_error = kUnit * ((squares_error + 3 * top2) * inverse + 2 * a_top);
  const double var_error =
      1.125 * (a_error + b_error * (2 * b_top + b_error) + kUnit * (b_top * b_top + a_top));
  const double mean_error2 = 1.125 * b_error * b_error;
  double far[kBandBlock];
  double any_far = 0;
  for (std::size_t t = 0; t < count; ++t) {
    const double b = s1[t] * inverse, a = s2[t] * inverse, v = a - b * b;
    mean[t] = anchor + b;
    var[t] = v;
    const bool close = (var_error <= kBandTolerance * v) &
                       (mean_error2 <= kBandTolerance * kBandTolerance * (mean[t] * mean[t] + v));
    far[t] = close ? 0.0 : 1.0;
    any_far += far[t];
  }
  if (any_far == 0) return;
  for (std::size_t t = 0; t < count; ++t) {
    if (far[t] != 0) {
      window_moments<1>(c, m, j + t, mean + t, var + t);
    }
  }
}

// The bands of the windows of length m (at most kTwoPassWindow) ending at
// each index from m - 1 to the end of c, appended to upper and lower.
void short_bands(std::span<const double> c, std::size_t m, double w, std::vector<double>& upper,
                 std::vector<double>& lower) {
  double mean[kBandBlock], var[kBandBlock], up[kBandBlock], down[kBandBlock];
  for (std::size_t j = m - 1; j < c.size(); j += kBandBlock) {
    const std::size_t count = std::min(kBandBlock, c.size() - j);
    band_block(c, m, j, count, mean, var);
    for (std::size_t k = 0; k < count; ++k) {
      const double deviation = std::sqrt(var[k]);
      up[k] = mean[k] + w * deviation;
      down[k] = mean[k] - w * deviation;
    }
    upper.insert(upper.end(), up, up + count);
    lower.insert(lower.end(), down, down + count);
  }
}

// The sums of the windows of length m ending at consecutive indexes. A
// sliding sum is compensated, summed afresh again every m steps so no
// residue builds up, and exactly 0 while the window holds only zeros.
class WindowSum {
 public:
  WindowSum(std::span<const double> c, std::size_t m) : m_c(c), m_m(m) {}

  double at(std::size_t end) {
    if (m_m <= kAfreshWindow) return window_sum(m_c, end, m_m);
    // A sum that overflowed stays infinite (or NaN once the value slides
    // out) while it slides: it is summed afresh.
    if (!m_started || m_slides >= m_m || end != m_end + 1 || !std::isfinite(m_sum + m_comp)) {
      m_sum = m_comp = 0;
      m_nonzero = 0;
      for (std::size_t j = end + 1 - m_m; j <= end; ++j) {
        add(need(m_c[j]));
        m_nonzero += m_c[j] != 0 ? 1 : 0;
      }
      m_slides = 0;
      m_started = true;
    } else {
      const double in = need(m_c[end]), out = m_c[end - m_m];
      add(in);
      add(-out);
      m_nonzero += (in != 0 ? 1 : 0) - (out != 0 ? 1 : 0);
      ++m_slides;
    }
    m_end = end;
    return m_nonzero == 0 ? 0.0 : m_sum + m_comp;
  }

 private:
  void add(double x) {
    const double t = m_sum + x;
    m_comp += std::abs(m_sum) >= std::abs(x) ? (m_sum - t) + x : (x - t) + m_sum;
    m_sum = t;
  }

  std::span<const double> m_c;
  std::size_t m_m;
  std::size_t m_end = 0;
  std::size_t m_slides = 0;
  std::int64_t m_nonzero = 0;
  double m_sum = 0;
  double m_comp = 0;
  bool m_started = false;
};

// A sum kept with its rounding error (Neumaier), so adding and taking away
// many terms leaves no residue beyond the last rounding.
class Compensated {
 public:
  void add(double x) {
    const double t = m_sum + x;
    m_comp += std::abs(m_sum) >= std::abs(x) ? (m_sum - t) + x : (x - t) + m_sum;
    m_sum = t;
  }
  double value() const { return m_sum + m_comp; }

 private:
  double m_sum = 0;
  double m_comp = 0;
};

// Mean, variance and covariance (divisor m) of the windows of length m
// ending at consecutive indexes of x (and y), as close to a two-pass
// computation as rounding allows, for every window length.
//
// The sums slide over deviations from an anchor, a value of the window
// nearest its mean, so the variance is a difference of two numbers of the
// size of the variance itself rather than of the squared prices (which
// loses the band width of prices near 50,000 to rounding). The window is
// summed afresh, with a new anchor, once it has moved on by its length or
// when its mean has drifted from the anchor by more than a few deviations,
// where that difference would cancel again. A window of equal values has
// itself as anchor: variance exactly 0, mean exactly the value.
class WindowMoments {
 public:
  struct Moments {
    double mean_x = 0;
    double var_x = 0;
    double cov_xy = 0;  // 0 without y
  };

  WindowMoments(std::span<const double> x, std::span<const double> y, std::size_t m)
      : m_x(x), m_y(y), m_m(m) {}

  Moments at(std::size_t end) {
    if (!m_started || m_slides >= m_m || end != m_end + 1) {
      afresh(end);
    } else {
      slide(end);
      ++m_slides;
    }
    m_end = end;
    Moments out = moments();
    // A value whose square overflows leaves infinite sums behind it, and
    // once it slides out, NaN: the window is summed afresh instead.
    if (m_slides > 0 && (drifted() || !finite(out))) {
      afresh(end);
      out = moments();
    }
    // The window that holds such a value has no finite variance: infinity,
    // which shows as a number error, where NaN would show as nothing.
    if (std::isnan(out.var_x)) out.var_x = std::numeric_limits<double>::infinity();
    return out;
  }

 private:
  // How far (in deviations, squared) the mean may drift from the anchor.
  static constexpr double kDrift = 4;

  bool with_y() const { return !m_y.empty(); }
  static bool finite(const Moments& m) {
    return std::isfinite(m.mean_x) && std::isfinite(m.var_x) && std::isfinite(m.cov_xy);
  }

  // The value of the window nearest its (compensated) mean.
  double anchor(std::span<const double> c, std::size_t first, std::size_t end) const {
    Compensated sum;
    for (std::size_t j = first; j <= end; ++j) sum.add(need(c[j]));
    const double mean = sum.value() / static_cast<double>(m_m);
    double best = c[first];
    for (std::size_t j = first; j <= end; ++j) {
      if (std::abs(c[j] - mean) < std::abs(best - mean)) best = c[j];
    }
    return best;
  }

  void afresh(std::size_t end) {
    const std::size_t first = end + 1 - m_m;
    m_kx = anchor(m_x, first, end);
    m_ky = with_y() ? anchor(m_y, first, end) : 0;
    m_sx = m_sy = m_sxx = m_syy = m_sxy = Compensated();
    for (std::size_t j = first; j <= end; ++j) add(j, 1);
    m_slides = 0;
    m_started = true;
  }

  void slide(std::size_t end) {
    add(end, 1);
    add(end - m_m, -1);
  }

  void add(std::size_t j, double sign) {
    const double dx = need(m_x[j]) - m_kx;
    m_sx.add(sign * dx);
    m_sxx.add(sign * (dx * dx));
    if (!with_y()) return;
    const double dy = need(m_y[j]) - m_ky;
    m_sy.add(sign * dy);
    m_syy.add(sign * (dy * dy));
    m_sxy.add(sign * (dx * dy));
  }

  double mean_dx() const { return m_sx.value() / static_cast<double>(m_m); }
  double mean_dy() const { return m_sy.value() / static_cast<double>(m_m); }

  bool drifted() const {
    const double mx = mean_dx(), vx = m_sxx.value() / static_cast<double>(m_m) - mx * mx;
    if (mx * mx > kDrift * vx) return true;
    if (!with_y()) return false;
    const double my = mean_dy(), vy = m_syy.value() / static_cast<double>(m_m) - my * my;
    return my * my > kDrift * vy;
  }

  Moments moments() const {
    const auto m = static_cast<double>(m_m);
    const double mx = mean_dx();
    Moments out;
    out.mean_x = m_kx + mx;
    out.var_x = std::max(m_sxx.value() / m - mx * mx, 0.0);
    if (with_y()) out.cov_xy = m_sxy.value() / m - mx * mean_dy();
    return out;
  }

  std::span<const double> m_x, m_y;
  std::size_t m_m;
  std::size_t m_end = 0;
  std::size_t m_slides = 0;
  bool m_started = false;
  double m_kx = 0, m_ky = 0;
  Compensated m_sx, m_sy, m_sxx, m_syy, m_sxy;
};

// The highest (or lowest) value of the windows of length m ending at
// consecutive indexes; long windows keep a queue of candidates.
class WindowExtreme {
 public:
  WindowExtreme(std::span<const double> c, std::size_t m, bool highest)
      : m_c(c), m_m(m), m_highest(highest) {}

  double at(std::size_t end) {
    if (m_m <= kAfreshWindow)
      return m_highest ? window_max(m_c, end, m_m) : window_min(m_c, end, m_m);
    if (m_queue.empty() && m_next == 0) m_next = end + 1 - m_m;
    for (; m_next <= end; ++m_next) {
      const double x = need(m_c[m_next]);
      while (!m_queue.empty() &&
             (m_highest ? m_c[m_queue.back()] <= x : m_c[m_queue.back()] >= x)) {
        m_queue.pop_back();
      }
      m_queue.push_back(m_next);
    }
    while (m_queue.front() + m_m <= end) m_queue.pop_front();
    return m_c[m_queue.front()];
  }

 private:
  std::span<const double> m_c;
  std::size_t m_m;
  bool m_highest;
  std::size_t m_next = 0;
  std::deque<std::size_t> m_queue;
};

template <typename F>
std::optional<Series> guarded(F&& compute) {
  try {
    return compute();
  } catch (const Failed&) {
    return std::nullopt;
  }
}

Series one_line(std::size_t n) {
  return Series{std::vector<double>(n, kNone), {}};
}

Series two_lines(std::size_t n) {
  return Series{std::vector<double>(n, kNone), std::vector<double>(n, kNone)};
}

// Fast K of each row from k on (index j = d - 1); rows before stay NaN.
std::vector<double> k_line(const Table& t, std::size_t k) {
  const auto c = t.col(2), h = t.col(5), l = t.col(6);
  std::vector<double> out(t.rows(), kNone);
  WindowExtreme highs(h, k, true), lows(l, k, false);
  for (std::size_t j = k - 1; j < t.rows(); ++j) {
    const double hh = highs.at(j);
    const double ll = lows.at(j);
    out[j] = hh != ll ? 100 * quot(need(c[j]) - ll, hh - ll) : 50;
  }
  return out;
}

}  // namespace

std::optional<Series> sma(const Table& t, int p) {
  return guarded([&] {
    const auto m = static_cast<std::size_t>(p);
    Series s = one_line(t.rows());
    if (m <= kAfreshWindow && t.rows() >= m) {
      need_all(t.col(2));
      afresh_sums(t.col(2), m, m - 1, s.values);
      for (std::size_t j = m - 1; j < t.rows(); ++j) s.values[j] /= p;
      return s;
    }
    WindowSum sums(t.col(2), m);
    for (std::size_t j = m - 1; j < t.rows(); ++j) s.values[j] = sums.at(j) / p;
    return s;
  });
}

std::optional<Series> wma(const Table& t, int p) {
  return guarded([&] {
    const auto m = static_cast<std::size_t>(p);
    const auto c = t.col(2), w = t.col(3);
    Series s = one_line(t.rows());
    if (t.rows() < m) return s;
    std::vector<double> products(t.rows());
    for (std::size_t i = 0; i < t.rows(); ++i) products[i] = need(c[i]) * need(w[i]);
    WindowSum product(products, m), weight(w, m);
    for (std::size_t j = m - 1; j < t.rows(); ++j) {
      const double weights = weight.at(j);
      const double sum = product.at(j);
      if (weights != 0) s.values[j] = quot(sum, weights);
    }
    return s;
  });
}

std::optional<Series> ema(const Table& t, int p) {
  return guarded([&] {
    const auto m = static_cast<std::size_t>(p);
    const auto c = t.col(2);
    const double k = 2.0 / (p + 1);
    Series s = one_line(t.rows());
    double sum = 0, e = 0;
    for (std::size_t j = 0; j < t.rows(); ++j) {
      const double x = need(c[j]);
      if (j + 1 < m) {
        sum += x;
      } else if (j + 1 == m) {
        e = (sum + x) / p;
        s.values[j] = e;
      } else {
        e = x * k + e * (1 - k);
        s.values[j] = e;
      }
    }
    return s;
  });
}

std::optional<Series> rsi(const Table& t, int p) {
  return guarded([&] {
    const auto m = static_cast<std::size_t>(p);
    const auto c = t.col(2);
    const double k = 2.0 / (p + 1);
    Series s = one_line(t.rows());
    double sum_up = 0, sum_down = 0, up_avg = 0, down_avg = 0;
    for (std::size_t j = 0; j < t.rows(); ++j) {
      double up = 0, down = 0;
      if (j > 0) {
        const double change = need(c[j]) - need(c[j - 1]);
        up = std::max(change, 0.0);
        down = std::max(-change, 0.0);
      }
      const std::size_t d = j + 1;
      if (d <= m + 1) {
        sum_up += up;
        sum_down += down;
        if (d <= m) continue;
        up_avg = sum_up / p;
        down_avg = sum_down / p;
      } else {
        up_avg = up * k + up_avg * (1 - k);
        down_avg = down * k + down_avg * (1 - k);
      }
      s.values[j] = up_avg == 0 && down_avg == 0 ? 50 : 100 * quot(up_avg, up_avg + down_avg);
    }
    return s;
  });
}

std::optional<Series> macd(const Table& t, int short_p, int long_p, int signal_p) {
  return guarded([&] {
    const auto c = t.col(2);
    const auto ls = static_cast<std::size_t>(long_p), g = static_cast<std::size_t>(signal_p);
    const double ks = 2.0 / (short_p + 1), kl = 2.0 / (long_p + 1);
    Series s = two_lines(t.rows());
    double sum_s = 0, sum_l = 0, ema_s = 0, ema_l = 0, sum_sig = 0;
    for (std::size_t j = 0; j < t.rows(); ++j) {
      const double x = need(c[j]);
      const std::size_t d = j + 1;
      auto step = [&](double& sum, double& e, std::size_t periods, double k) {
        if (d < periods) {
          sum += x;
        } else if (d == periods) {
          e = (sum + x) / static_cast<double>(periods);
        } else {
          e = x * k + e * (1 - k);
        }
      };
      step(sum_s, ema_s, static_cast<std::size_t>(short_p), ks);
      step(sum_l, ema_l, ls, kl);
      if (d < ls) continue;
      s.values[j] = ema_s - ema_l;
      sum_sig += s.values[j];
      if (d < ls + g - 1) continue;
      if (d > ls + g - 1) sum_sig -= s.values[j - g];
      s.values2[j] = sum_sig / signal_p;
    }
    return s;
  });
}

std::optional<Series> sto_fast(const Table& t, int k, int dp) {
  return guarded([&] {
    const auto kk = static_cast<std::size_t>(k), dd = static_cast<std::size_t>(dp);
    Series s = two_lines(t.rows());
    s.values = k_line(t, kk);
    double sum_k = 0;
    for (std::size_t j = kk - 1; j < t.rows(); ++j) {
      const std::size_t d = j + 1;
      sum_k += s.values[j];
      if (d < kk + dd - 1) continue;
      if (d > kk + dd - 1) sum_k -= s.values[j - dd];
      s.values2[j] = sum_k / dp;
    }
    return s;
  });
}

std::optional<Series> sto_slow(const Table& t, int k, int ka, int dp) {
  return guarded([&] {
    const auto kk = static_cast<std::size_t>(k), ak = static_cast<std::size_t>(ka),
               dd = static_cast<std::size_t>(dp);
    std::vector<double> raw = k_line(t, kk);
    for (double& r : raw) {
      if (std::isnan(r)) r = 0;  // rows before the first K count as 0
    }
    Series s = two_lines(t.rows());
    double sum_k = 0, sum_d = 0;
    for (std::size_t j = 0; j < t.rows(); ++j) {
      const std::size_t d = j + 1;
      sum_k += raw[j];
      if (d < kk + ak - 1) continue;
      s.values[j] = sum_k / ka;
      sum_k -= raw[j + 1 - ak];
      sum_d += s.values[j];
      if (d < kk + ak + dd - 2) continue;
      s.values2[j] = sum_d / dp;
      sum_d -= s.values[j + 1 - dd];
    }
    return s;
  });
}

std::optional<Series> momentum(const Table& t, int p) {
  return guarded([&] {
    const auto m = static_cast<std::size_t>(p);
    const auto c = t.col(2);
    Series s = one_line(t.rows());
    for (std::size_t j = m; j < t.rows(); ++j) s.values[j] = need(c[j]) - need(c[j - m]);
    return s;
  });
}

std::optional<Series> roc(const Table& t, int p) {
  return guarded([&] {
    const auto m = static_cast<std::size_t>(p);
    const auto c = t.col(2);
    Series s = one_line(t.rows());
    for (std::size_t j = m; j < t.rows(); ++j) {
      s.values[j] = 100 * quot(need(c[j]) - need(c[j - m]), need(c[j - m]));
    }
    return s;
  });
}

std::optional<Series> money_flow(const Table& t, int p) {
  return guarded([&] {
    const auto m = static_cast<std::size_t>(p);
    const auto c = t.col(2), v = t.col(3), h = t.col(5), l = t.col(6);
    const std::size_t n = t.rows();
    std::vector<double> pos(n, 0), neg(n, 0);
    auto typical = [&](std::size_t j) { return (need(h[j]) + need(l[j]) + need(c[j])) / 3; };
    Series s = one_line(n);
    WindowSum positive(pos, m), negative(neg, m);
    for (std::size_t j = 1; j < n; ++j) {
      const double tp = typical(j), before = typical(j - 1);
      const double flow = tp * need(v[j]);
      if (tp > before) pos[j] = flow;
      if (tp < before) neg[j] = flow;
      if (j < m) continue;
      // Summed afresh: a window without flow answers exactly 50.
      const double sum_pos = positive.at(j), sum_neg = negative.at(j);
      s.values[j] = sum_pos == sum_neg ? 50 : 100 * quot(sum_pos, sum_pos + sum_neg);
    }
    return s;
  });
}

std::optional<Series> osc(const Table& t, int short_p, int long_p) {
  return guarded([&] {
    const auto ms = static_cast<std::size_t>(short_p), ml = static_cast<std::size_t>(long_p);
    Series s = one_line(t.rows());
    WindowSum shorter(t.col(2), ms), longer(t.col(2), ml);
    for (std::size_t j = ml - 1; j < t.rows(); ++j) {
      const double a = shorter.at(j) / short_p;
      const double b = longer.at(j) / long_p;
      s.values[j] = 100 * quot(a - b, b);
    }
    return s;
  });
}

std::optional<Series> bollinger(const Table& t, int p, double w) {
  return guarded([&] {
    const auto m = static_cast<std::size_t>(p);
    if (m <= kTwoPassWindow && t.rows() >= m) {
      need_all(t.col(2));
      // The lines are written once, in order: two series over a long table
      // are fresh memory, and each pass over them costs.
      Series s;
      s.values.reserve(t.rows());
      s.values2.reserve(t.rows());
      s.values.assign(m - 1, kNone);
      s.values2.assign(m - 1, kNone);
      short_bands(t.col(2), m, w, s.values, s.values2);
      return s;
    }
    Series s = two_lines(t.rows());
    WindowMoments windows(t.col(2), {}, m);
    for (std::size_t j = m - 1; j < t.rows(); ++j) {
      const WindowMoments::Moments at = windows.at(j);
      const double deviation = std::sqrt(at.var_x);
      s.values[j] = at.mean_x + w * deviation;
      s.values2[j] = at.mean_x - w * deviation;
    }
    return s;
  });
}

std::optional<Series> pricechannel(const Table& t, int p) {
  return guarded([&] {
    const auto m = static_cast<std::size_t>(p);
    Series s = two_lines(t.rows());
    WindowExtreme highs(t.col(5), m, true), lows(t.col(6), m, false);
    for (std::size_t j = m - 1; j < t.rows(); ++j) {
      s.values[j] = highs.at(j);
      s.values2[j] = lows.at(j);
    }
    return s;
  });
}

std::optional<Series> w_close(const Table& t, double w) {
  return guarded([&] {
    const auto c = t.col(2), h = t.col(5), l = t.col(6);
    Series s = one_line(t.rows());
    for (std::size_t j = 0; j < t.rows(); ++j) {
      s.values[j] = quot(need(h[j]) + need(l[j]) + w * need(c[j]), w + 2);
    }
    return s;
  });
}

std::optional<Series> vol_ctc(const Table& t, int p) {
  return guarded([&] {
    const auto m = static_cast<std::size_t>(p);
    const auto c = t.col(2), date = t.col(1);
    const std::size_t n = t.rows();
    std::vector<double> a(n, 0);
    Series s = one_line(n);
    WindowMoments windows(a, {}, m);
    for (std::size_t j = 1; j < n; ++j) {
      const double ratio = quot(need(c[j]), need(c[j - 1]));
      if (ratio <= 0) throw Failed{};
      const double days = std::abs(need(date[j]) - need(date[j - 1]));
      a[j] = quot(std::log(ratio), std::sqrt(days / 365));
      if (j < m) continue;
      // The mean square less the squared mean of the last p returns: their
      // variance, exactly 0 over flat prices.
      s.values[j] = 100 * std::sqrt(windows.at(j).var_x);
    }
    return s;
  });
}

std::optional<Series> beta(const Table& index, const Table& stock, int p) {
  return guarded([&] {
    const auto m = static_cast<std::size_t>(p);
    const std::size_t n = stock.rows();
    auto returns = [n](const Table& t) {
      std::vector<double> r(n, 0);
      for (std::size_t j = 1; j < n; ++j) r[j] = quot(need(t.col(2)[j]), need(t.col(2)[j - 1])) - 1;
      return r;
    };
    const std::vector<double> x = returns(index), y = returns(stock);
    Series s = one_line(n);
    WindowMoments windows(x, y, m);
    for (std::size_t j = m; j < n; ++j) {
      // The regression slope: covariance over the index's variance, which
      // is 0 (a failure) when the index returns do not vary.
      const WindowMoments::Moments at = windows.at(j);
      s.values[j] = quot(at.cov_xy, at.var_x);
    }
    return s;
  });
}

}  // namespace quillo::indicators
