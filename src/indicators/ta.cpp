#include "indicators/ta.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <deque>
#include <limits>

namespace quillo::indicators {

namespace {

constexpr double kNone = std::numeric_limits<double>::quiet_NaN();

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

// The square root of a variance worked out as a difference of means. A
// variance is never negative; a small negative result is rounding of a
// true 0 (a window of equal values) and counts as 0.
double root_of_variance(double v, double scale) {
  if (v >= 0) return std::sqrt(v);
  if (-v <= 1e-12 * std::max(std::abs(scale), 1e-300)) return 0;
  throw Failed{};
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

// Windows up to this length are summed afresh for every element, in row
// order, as the spreadsheet's own functions sum them; longer ones slide, so
// a long window over a long table stays linear in the rows.
constexpr std::size_t kAfreshWindow = 256;

// The sums of the windows of length m ending at consecutive indexes. A
// sliding sum is compensated, summed afresh again every m steps so no
// residue builds up, and exactly 0 while the window holds only zeros.
class WindowSum {
 public:
  WindowSum(std::span<const double> c, std::size_t m) : m_c(c), m_m(m) {}

  double at(std::size_t end) {
    if (m_m <= kAfreshWindow) return window_sum(m_c, end, m_m);
    if (!m_started || m_slides >= m_m || end != m_end + 1) {
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
    const auto c = t.col(2);
    Series s = two_lines(t.rows());
    WindowSum sums(c, m);
    std::vector<double> squared;
    if (m > kAfreshWindow) {
      squared.resize(t.rows());
      for (std::size_t i = 0; i < t.rows(); ++i) squared[i] = c[i] * c[i];
    }
    WindowSum squares_of(squared, m);
    for (std::size_t j = m - 1; j < t.rows(); ++j) {
      const double mean = sums.at(j) / p;
      double deviation = 0;
      if (m <= kAfreshWindow) {
        double squares = 0;
        for (std::size_t i = j + 1 - m; i <= j; ++i) squares += (c[i] - mean) * (c[i] - mean);
        deviation = std::sqrt(squares / p);
      } else {
        const double mean_square = squares_of.at(j) / p;
        deviation = root_of_variance(mean_square - mean * mean, mean_square);
      }
      s.values[j] = mean + w * deviation;
      s.values2[j] = mean - w * deviation;
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
    std::vector<double> a(n, 0), b(n, 0);
    Series s = one_line(n);
    WindowSum sum_a(a, m), sum_b(b, m);
    for (std::size_t j = 1; j < n; ++j) {
      const double ratio = quot(need(c[j]), need(c[j - 1]));
      if (ratio <= 0) throw Failed{};
      const double days = std::abs(need(date[j]) - need(date[j - 1]));
      a[j] = quot(std::log(ratio), std::sqrt(days / 365));
      b[j] = a[j] * a[j];
      if (j < m) continue;
      // Summed afresh: flat prices give sums of exactly 0, not residue.
      const double mean_a = sum_a.at(j) / p, mean_b = sum_b.at(j) / p;
      s.values[j] = 100 * root_of_variance(mean_b - mean_a * mean_a, mean_b);
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
    std::vector<double> xy, xx;
    if (m > kAfreshWindow) {
      xy.resize(n);
      xx.resize(n);
      for (std::size_t i = 0; i < n; ++i) {
        xy[i] = x[i] * y[i];
        xx[i] = x[i] * x[i];
      }
    }
    WindowSum sum_x(x, m), sum_y(y, m), sum_xy(xy, m), sum_xx(xx, m);
    for (std::size_t j = m; j < n; ++j) {
      const double mx = sum_x.at(j) / p, my = sum_y.at(j) / p;
      double sxy = 0, sxx = 0;
      if (m <= kAfreshWindow) {
        for (std::size_t i = j + 1 - m; i <= j; ++i) {
          sxy += (x[i] - mx) * (y[i] - my);
          sxx += (x[i] - mx) * (x[i] - mx);
        }
      } else {
        const double products = sum_xy.at(j), squares = sum_xx.at(j);
        sxy = products - p * mx * my;
        sxx = squares - p * mx * mx;
        if (sxx <= 1e-12 * squares) throw Failed{};  // index returns that do not vary
      }
      s.values[j] = quot(sxy, sxx);
    }
    return s;
  });
}

}  // namespace quillo::indicators
