// Loading and saving xlsx workbooks of growing size. Each workbook is one
// sheet of rows like a price history: a date, a symbol (shared strings), a
// price, a volume, and two formulas (a change and a running sum). The rows
// per workbook are chosen for files of about 1, 2 and 5 MB; the counters give
// the file size and the throughput in MB of file per second.
// Run: build/release/bench/xlsx_bench --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "xlsx/xlsx.h"

namespace {

namespace fs = std::filesystem;
using quillo::Date;
using quillo::Value;
using namespace quillo::spreadsheet;

// A benchmark's workbook must build; a failure would make every figure
// meaningless.
void must(const quillo::Status& s) {
  if (!s.ok()) {
    std::fprintf(stderr, "xlsx_bench: %s\n", s.message().c_str());
    std::abort();
  }
}

// Writes a workbook of `rows` rows with the model and our writer.
void fill(Model& model, BookId book, std::int32_t rows) {
  const SheetId s = model.add_sheet(book, "History").value();
  model.set_calculation(quillo::host::Calculation::Manual);
  for (std::int32_t r = 1; r <= rows; ++r) {
    const std::string n = std::to_string(r);
    must(model.set_value(s, r, 1, Value(Date{40000.0 + r})));
    must(model.set_value(s, r, 2, Value("SYM" + std::to_string(r % 500))));
    must(model.set_value(s, r, 3, Value(100.0 + (r % 997) * 0.37)));
    must(model.set_value(s, r, 4, Value(static_cast<double>(r * 13 % 100000))));
    if (r > 1)
      must(model.set_formula(s, r, 5, "=C" + n + "-C" + std::to_string(r - 1), Notation::A1));
    must(model.set_formula(s, r, 6, "=D" + n + "*C" + n, Notation::A1));
  }
  must(model.set_number_format(s, Box{1, 1, rows, 1}, "yyyy-mm-dd"));
  model.calculate_all();
}

std::string bench_file(std::int32_t rows) {
  return (fs::temp_directory_path() / ("quillo-xlsx-bench-" + std::to_string(::getpid()) + "-" +
                                       std::to_string(rows) + ".xlsx"))
      .string();
}

void set_counters(benchmark::State& state, const std::string& path) {
  const double mb = static_cast<double>(fs::file_size(path)) / 1e6;
  state.counters["file_MB"] = mb;
  state.counters["MB_per_s"] =
      benchmark::Counter(mb * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_XlsxSave(benchmark::State& state) {
  const auto rows = static_cast<std::int32_t>(state.range(0));
  auto owner = std::make_shared<Model>();  // formulas reach ranges through it
  Model& model = *owner;
  const BookId book = model.add_book();
  fill(model, book, rows);
  const std::string path = bench_file(rows);
  for (auto _ : state) {
    if (!save_xlsx(model, book, nullptr, path).ok()) state.SkipWithError("save failed");
  }
  set_counters(state, path);
}

void BM_XlsxLoad(benchmark::State& state) {
  const auto rows = static_cast<std::int32_t>(state.range(0));
  const std::string path = bench_file(rows);
  {
    auto owner = std::make_shared<Model>();
    Model& model = *owner;
    const BookId book = model.add_book();
    fill(model, book, rows);
    if (!save_xlsx(model, book, nullptr, path).ok()) state.SkipWithError("save failed");
  }
  for (auto _ : state) {
    Model model;
    auto loaded = load_xlsx(model, path);
    if (!loaded.ok()) state.SkipWithError("load failed");
    benchmark::DoNotOptimize(loaded);
  }
  set_counters(state, path);
}

// A loaded workbook saved again: the sheet part is rewritten in place, the
// rest of the package copied.
void BM_XlsxResave(benchmark::State& state) {
  const auto rows = static_cast<std::int32_t>(state.range(0));
  const std::string path = bench_file(rows);
  auto owner = std::make_shared<Model>();
  Model& source = *owner;
  const BookId book = source.add_book();
  fill(source, book, rows);
  if (!save_xlsx(source, book, nullptr, path).ok()) state.SkipWithError("save failed");
  Model model;
  auto loaded = load_xlsx(model, path);
  if (!loaded.ok()) state.SkipWithError("load failed");
  for (auto _ : state) {
    if (!save_xlsx(model, loaded->book, loaded->file.get(), path).ok()) {
      state.SkipWithError("save failed");
    }
  }
  set_counters(state, path);
}

// Rows for files of about 1, 2 and 5 MB.
void sizes(benchmark::internal::Benchmark* b) {
  b->Arg(20000)->Arg(40000)->Arg(100000)->Unit(benchmark::kMillisecond);
}
BENCHMARK(BM_XlsxSave)->Apply(sizes);
BENCHMARK(BM_XlsxLoad)->Apply(sizes);
BENCHMARK(BM_XlsxResave)->Apply(sizes);

}  // namespace

BENCHMARK_MAIN();
