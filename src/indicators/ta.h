// ta: the sixteen technical indicators as pure computations over the data
// rows of a price table, apart from any sheet, so they can be tested and
// measured on their own. The frame (indicator_frame.h) reads the table out
// of the sheet, calls these and writes the series back.
//
// A table holds the data rows only (a header row is already skipped) and
// its columns by number: 1 the date, 2 the close, 3 the volume, 5 the high,
// 6 the low. A cell that holds no number is NaN; reading one where a value
// is needed fails the computation. Element d - 1 of a series belongs to
// data row d; elements that are none() are periods before the first
// complete window, or windows with nothing to divide by (the sheet shows
// them empty); an element that is infinite or another NaN (what arithmetic
// makes of values whose squares or sums overflow) is a number error.
//
// Any thread; no allocation beyond the returned series and working
// columns. Work is linear in the rows: windows of sums up to 256 rows are
// summed afresh (so a window whose true sum is 0 answers exactly 0), longer
// ones slide with compensated sums; the bands of windows up to 32 rows slide
// in short blocks with a bound on each window's rounding error, taking two
// passes over a window whose bound is not far below its variance, and
// longer ones, volatility and beta slide over deviations from a value of the
// window, so they agree with a two-pass computation for every window length
// (a flat window's variance is 0).
#pragma once

#include <bit>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quillo::indicators {

// The element of a series that has no value: a NaN of its own, apart from
// the NaN that infinities make (inf - inf), which is an error.
inline constexpr std::uint64_t kNoneBits = 0x7FF8'0000'0000'0A0EULL;
inline double none() {
  return std::bit_cast<double>(kNoneBits);
}
inline bool is_none(double x) {
  return (std::bit_cast<std::uint64_t>(x) & ~(1ULL << 63)) == kNoneBits;
}

struct Table {
  // columns[k - 1] is column k; every column has rows() elements.
  std::vector<std::vector<double>> columns;

  std::size_t rows() const { return columns.empty() ? 0 : columns.front().size(); }
  std::span<const double> col(int k) const { return columns[static_cast<std::size_t>(k - 1)]; }
};

struct Series {
  std::vector<double> values;
  std::vector<double> values2;  // empty for one-line indicators
};

// Each answers nullopt when the computation fails (a cell that is no
// number where a value is read, a division by zero, a logarithm of a
// non-positive ratio, a regression over index returns that do not vary).
// Periods are at least 1 (the frame refuses others).
std::optional<Series> sma(const Table& t, int p);
std::optional<Series> wma(const Table& t, int p);
std::optional<Series> ema(const Table& t, int p);
std::optional<Series> rsi(const Table& t, int p);
std::optional<Series> macd(const Table& t, int s, int l, int g);
std::optional<Series> sto_fast(const Table& t, int k, int dp);
std::optional<Series> sto_slow(const Table& t, int k, int ka, int dp);
std::optional<Series> momentum(const Table& t, int p);
std::optional<Series> roc(const Table& t, int p);
std::optional<Series> money_flow(const Table& t, int p);
std::optional<Series> osc(const Table& t, int s, int l);
std::optional<Series> bollinger(const Table& t, int p, double w);
std::optional<Series> pricechannel(const Table& t, int p);
std::optional<Series> w_close(const Table& t, double w);
std::optional<Series> vol_ctc(const Table& t, int p);
std::optional<Series> beta(const Table& index, const Table& stock, int p);

}  // namespace quillo::indicators
