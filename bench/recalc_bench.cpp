// Recalculation of large workbooks: a chain (A2 = A1 + 1, A3 = A2 + 1, ...)
// and a wide fan-out (B1..Bn = $A$1 * 2), n = 25,000 to 100,000 formulas.
// Measures entering the formulas, the automatic recalculation after the
// input cell changes, and a forced recalculation of every formula.
//   build/release/bench/recalc_bench --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "spreadsheet/model.h"

namespace {

using quillo::Value;
using quillo::spreadsheet::Model;
using quillo::spreadsheet::Notation;
using quillo::spreadsheet::SheetId;

struct Book {
  std::shared_ptr<Model> model = std::make_shared<Model>();
  SheetId sheet = 0;
  Book() { sheet = *model->add_sheet(model->add_book("bench")); }
};

void fill(Book& b, std::int32_t n, bool chain) {
  (void)b.model->set_value(b.sheet, 1, 1, Value(1.0));
  for (std::int32_t r = 1; r <= n; ++r) {
    const std::string f = chain ? "=A" + std::to_string(r) + "+1" : "=$A$1*2";
    (void)b.model->set_formula(b.sheet, chain ? r + 1 : r, chain ? 1 : 2, f, Notation::A1);
  }
}

void BM_Enter(benchmark::State& state, bool chain) {
  const auto n = static_cast<std::int32_t>(state.range(0));
  for (auto _ : state) {
    Book b;
    fill(b, n, chain);
    benchmark::DoNotOptimize(b.model.get());
  }
  state.counters["formulas"] = n;
  state.SetItemsProcessed(state.iterations() * n);
}

void BM_RecalcAfterChange(benchmark::State& state, bool chain) {
  const auto n = static_cast<std::int32_t>(state.range(0));
  Book b;
  fill(b, n, chain);
  double input = 1;
  for (auto _ : state) {
    (void)b.model->set_value(b.sheet, 1, 1, Value(++input));
  }
  const Value last = b.model->value(b.sheet, chain ? n + 1 : n, chain ? 1 : 2);
  if (!last.is_number() || last.number() != (chain ? input + n : input * 2)) {
    state.SkipWithError("wrong result");
  }
  state.counters["formulas"] = n;
  state.SetItemsProcessed(state.iterations() * n);
}

void BM_ForcedFullRecalc(benchmark::State& state, bool chain) {
  const auto n = static_cast<std::int32_t>(state.range(0));
  Book b;
  fill(b, n, chain);
  for (auto _ : state) {
    (void)b.model->set_enable_calculation(b.sheet, false);
    (void)b.model->set_enable_calculation(b.sheet, true);
    b.model->calculate_all();
  }
  state.counters["formulas"] = n;
  state.SetItemsProcessed(state.iterations() * n);
}

#define QUILLO_RECALC_BENCH(fn, name, chain) \
  BENCHMARK_CAPTURE(fn, name, chain)         \
      ->Arg(25000)                           \
      ->Arg(50000)                           \
      ->Arg(100000)                          \
      ->Unit(benchmark::kMillisecond)

QUILLO_RECALC_BENCH(BM_Enter, chain, true);
QUILLO_RECALC_BENCH(BM_Enter, fanout, false);
QUILLO_RECALC_BENCH(BM_RecalcAfterChange, chain, true);
QUILLO_RECALC_BENCH(BM_RecalcAfterChange, fanout, false);
QUILLO_RECALC_BENCH(BM_ForcedFullRecalc, chain, true);
QUILLO_RECALC_BENCH(BM_ForcedFullRecalc, fanout, false);

}  // namespace

BENCHMARK_MAIN();
