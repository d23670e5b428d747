// A price-history answer of 10,000 lines parsed and written as a 7-column
// table below its formula, against the spreadsheet's own cost of setting
// the same 70,000 cells as one block of typed texts; then the process's
// peak memory.
//
//   build/release/bench/history_bench
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdio>
#include <string>

#include "history/cls_history_yahoo.h"
#include "history/history_csv.h"
#include "spreadsheet/application.h"

namespace {

using namespace quillo;

constexpr int kLines = 10000;

std::string answer() {
  std::string csv = "Date,Open,High,Low,Close,Volume,Adj Close\n";
  char line[160];
  for (int i = 0; i < kLines; ++i) {
    const int y = 2020 - i / 365, d = i % 365;
    std::snprintf(line, sizeof line, "%d-%02d-%02d,%.2f,%.2f,%.2f,%.2f,%d,%.2f\n", y,
                  d / 31 % 12 + 1, d % 28 + 1, 100.0 + i % 50, 101.5 + i % 50, 99.25 + i % 50,
                  100.75 + i % 50, 1000000 + i, 100.5 + i % 50);
    csv += line;
  }
  return csv;
}

void HistoryAnswerWritten(benchmark::State& state) {
  spreadsheet::Application app;
  auto book = *app.workbooks().add();
  auto sheet = *book->active_sheet();
  history::AreaTable areas;
  history::cls_history_yahoo yahoo(app, areas, [](const std::function<void()>& fn) { fn(); });
  history::Area& a = areas.at(areas.area_find_or_add("k"));
  a.workbook = *book->name();
  a.sheet = *sheet->name();
  a.row = 1;
  a.col = 1;
  a.reqno = 1;
  a.fields = "ALL";
  a.options = {Value()};
  const std::string csv = answer();
  for (auto _ : state) {
    std::string response = csv;
    yahoo.fieldparse(response, 1);  // clears the block of the last round first
  }
  state.SetItemsProcessed(state.iterations() * kLines);
}
BENCHMARK(HistoryAnswerWritten)->Unit(benchmark::kMillisecond);

// The same cells as one block write, with the clearing a redraw does.
void SpreadsheetSets70000Cells(benchmark::State& state) {
  spreadsheet::Application app;
  auto book = *app.workbooks().add();
  auto sheet = *book->active_sheet();
  const std::string csv = answer();
  const history::Block b = history::history_block(csv, history::select_columns("ALL"), {});
  Array block;
  block.rows = b.rows;
  block.cols = b.cols;
  for (std::string_view cell : b.cells) block.items.emplace_back(cell);
  const auto start = *sheet->cell(2, 1);
  const auto all = *sheet->range("A2:G10002");
  for (auto _ : state) {
    (void)all->clear_contents();
    (void)start->set_value(Value(block));
  }
  state.SetItemsProcessed(state.iterations() * kLines);
}
BENCHMARK(SpreadsheetSets70000Cells)->Unit(benchmark::kMillisecond);

// Parsing and laying out alone.
void HistoryAnswerParsed(benchmark::State& state) {
  const std::string csv = answer();
  const auto columns = history::select_columns("ALL");
  for (auto _ : state) {
    auto block = history::history_block(csv, columns, {});
    benchmark::DoNotOptimize(block);
  }
}
BENCHMARK(HistoryAnswerParsed)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("peak memory (max RSS): %.1f MB\n", static_cast<double>(usage.ru_maxrss) / 1024.0);
  return 0;
}
