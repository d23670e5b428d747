// The sixteen indicators over a price table of 1,000,000 rows (a random
// walk with volume, high and low), each computed as the worksheet function
// computes it, apart from the sheet. Reports time per series and rows per
// second.
//
// Freed memory stays with the process from one run to the next (the C
// library's default hands a freed top of the heap larger than the largest
// block freed so far back to the system, so an indicator with two 8 MB
// lines faulted 4,096 fresh pages in every run while one with a single
// line reused its memory: MACD measured 60 ms against 2.5 ms, nearly all
// of it the kernel's). Every indicator now runs on memory the process
// already holds, as the JavaScript engine's heap does in the comparison.
//
//   build/release/bench/indicators_bench [--benchmark_filter=Sma]
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "indicators/ta.h"

namespace {

using namespace quillo::indicators;

constexpr std::size_t kRows = 1000000;

const Table& table() {
  static const Table t = [] {
    Table t;
    t.columns.assign(6, std::vector<double>(kRows));
    std::mt19937 random(42);
    std::normal_distribution<double> step(0.0, 1.0);
    std::uniform_real_distribution<double> spread(0.0, 1.5);
    double close = 100;
    for (std::size_t j = 0; j < kRows; ++j) {
      close = std::max(1.0, close + step(random));
      t.columns[0][j] = 40000.0 + static_cast<double>(j);  // one row a day
      t.columns[1][j] = close;
      t.columns[2][j] = std::floor(1000 + 900 * spread(random));
      t.columns[3][j] = close;
      t.columns[4][j] = close + spread(random);
      t.columns[5][j] = close - spread(random);
    }
    return t;
  }();
  return t;
}

template <typename F>
void run(benchmark::State& state, F compute) {
  const Table& t = table();
  for (auto _ : state) {
    auto series = compute(t);
    benchmark::DoNotOptimize(series);
    if (!series) state.SkipWithError("the computation failed");
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(kRows));
}

}  // namespace

#define INDICATOR(name, call)                    \
  static void name(benchmark::State& s) {        \
    run(s, [](const Table& t) { return call; }); \
  }                                              \
  BENCHMARK(name)->Unit(benchmark::kMillisecond)

INDICATOR(Sma20, sma(t, 20));
INDICATOR(Wma20, wma(t, 20));
INDICATOR(Ema20, ema(t, 20));
INDICATOR(Rsi14, rsi(t, 14));
INDICATOR(Macd12_26_9, macd(t, 12, 26, 9));
INDICATOR(StoFast14_3, sto_fast(t, 14, 3));
INDICATOR(StoSlow14_3_3, sto_slow(t, 14, 3, 3));
INDICATOR(Bollinger20_2, bollinger(t, 20, 2));
INDICATOR(Pricechannel20, pricechannel(t, 20));
INDICATOR(Momentum10, momentum(t, 10));
INDICATOR(Roc10, roc(t, 10));
INDICATOR(MoneyFlow14, money_flow(t, 14));
INDICATOR(Osc10_30, osc(t, 10, 30));
INDICATOR(WClose2, w_close(t, 2));
INDICATOR(VolCtc20, vol_ctc(t, 20));
INDICATOR(Beta20, beta(t, t, 20));
// Windows as long as the periods argument allows: they slide, so the time
// stays linear in the rows.
INDICATOR(Sma30000, sma(t, 30000));
INDICATOR(Pricechannel30000, pricechannel(t, 30000));
INDICATOR(MoneyFlow30000, money_flow(t, 30000));

int main(int argc, char** argv) {
#ifdef __GLIBC__
  // Blocks up to 32 MB come from the heap, and a free top of the heap up
  // to 256 MB stays with it (see above).
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
#endif
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
