// quillo's side of the recalculation comparison with HyperFormula
// (bench/hyperformula_compare.sh builds the same workbooks there):
// - chain: A1 = 1, A2 = A1+1, ..., 100,000 formulas; A1 changes;
// - fanout: A1 = 1, B1..B100000 = $A$1*2; A1 changes;
// - mixed: 10,000 rows of a key, a number and five formulas (SUM, AVERAGE,
//   IF with ROUND, VLOOKUP, INDEX/MATCH) over a 100-row lookup table in
//   H:I; one rate of the table changes, which every lookup reads.
// Each workbook is written as one block (Model::set_values, which computes
// every formula once), then its input changes (set_value, which recalculates
// the dependents). Prints per workbook the median milliseconds of both, and
// checks a result so both sides are seen to compute the same thing.
//
//   build/rel/bench/recalc_compare [runs [workbook]]   (one workbook by name, for profiles)
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "spreadsheet/model.h"

namespace {

using quillo::Array;
using quillo::Value;
using quillo::spreadsheet::Model;
using quillo::spreadsheet::SheetId;

using Clock = std::chrono::steady_clock;

struct Workbook {
  const char* name;
  Array cells;
  std::int32_t input_row, input_col;  // 1-based
  std::int32_t check_row, check_col;
  // The value expected at the check cell once the input holds x.
  std::function<double(double)> expected;
};

Array block(std::int32_t rows, std::int32_t cols) {
  Array a;
  a.rows = rows;
  a.cols = cols;
  a.items.resize(static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols));
  return a;
}

Value& at(Array& a, std::int32_t r, std::int32_t c) {  // 0-based
  return a.items[static_cast<std::size_t>(r) * static_cast<std::size_t>(a.cols) +
                 static_cast<std::size_t>(c)];
}

Workbook chain(std::int32_t n) {
  Workbook w{"chain", block(n + 1, 1), 1, 1, n + 1, 1, [n](double x) { return x + n; }};
  at(w.cells, 0, 0) = Value(1.0);
  for (std::int32_t r = 1; r <= n; ++r) at(w.cells, r, 0) = Value("=A" + std::to_string(r) + "+1");
  return w;
}

Workbook fanout(std::int32_t n) {
  Workbook w{"fanout", block(n, 2), 1, 1, n, 2, [](double x) { return x * 2; }};
  at(w.cells, 0, 0) = Value(1.0);
  for (std::int32_t r = 0; r < n; ++r) at(w.cells, r, 1) = Value(std::string("=$A$1*2"));
  return w;
}

Workbook mixed(std::int32_t n) {
  // The check cell is G50 (key 49): its rate is the table's row 50, I50.
  Workbook w{"mixed", block(n, 9), 50, 9, 50, 7, [](double x) { return x; }};
  for (std::int32_t r = 0; r < n; ++r) {
    const std::string row = std::to_string(r + 1);
    at(w.cells, r, 0) = Value(static_cast<double>(r));
    at(w.cells, r, 1) = Value(static_cast<double>((r * 37) % 101) + 0.25);
    at(w.cells, r, 2) = Value("=SUM(A" + row + ":B" + row + ")");
    at(w.cells, r, 3) = Value("=AVERAGE(A" + row + ":C" + row + ")");
    at(w.cells, r, 4) =
        Value("=IF(B" + row + ">50,ROUND(B" + row + "*1.1,2),ROUND(B" + row + "/3,2))");
    at(w.cells, r, 5) = Value("=VLOOKUP(MOD(A" + row + ",100),$H$1:$I$100,2,FALSE)");
    at(w.cells, r, 6) = Value("=INDEX($I$1:$I$100,MATCH(MOD(A" + row + ",100),$H$1:$H$100,0))");
    if (r < 100) {
      at(w.cells, r, 7) = Value(static_cast<double>(r));
      at(w.cells, r, 8) = Value(static_cast<double>(r) * 1.5);
    }
  }
  return w;
}

double ms_since(Clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

bool run(const Workbook& w, int runs) {
  std::vector<double> build, recompute;
  bool right = true;
  for (int i = 0; i < runs; ++i) {
    // The model is left to the end of the process, as the command does.
    auto* model = new Model;
    const SheetId sheet = *model->add_sheet(model->add_book("bench"));
    auto t0 = Clock::now();
    (void)model->set_values(sheet, 1, 1, w.cells);
    build.push_back(ms_since(t0));
    for (int k = 0; k < 3; ++k) {
      const double x = 1000.0 + i * 10 + k;
      t0 = Clock::now();
      (void)model->set_value(sheet, w.input_row, w.input_col, Value(x));
      recompute.push_back(ms_since(t0));
      const Value v = model->value(sheet, w.check_row, w.check_col);
      if (!v.is_number() || std::abs(v.number() - w.expected(x)) > 1e-9) right = false;
    }
  }
  std::printf("%s\t%.1f\t%.1f\n", w.name, median(build), median(recompute));
  if (!right) std::fprintf(stderr, "%s: wrong result\n", w.name);
  return right;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  const std::string only = argc > 2 ? argv[2] : "";
  bool right = true;
  if (only.empty() || only == "chain") right = run(chain(100000), runs) && right;
  if (only.empty() || only == "fanout") right = run(fanout(100000), runs) && right;
  if (only.empty() || only == "mixed") right = run(mixed(10000), runs) && right;
  return right ? 0 : 1;
}
