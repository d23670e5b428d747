// Heap bytes per cell of the spreadsheet model: a sheet of plain numbers, a
// sheet of repeated texts, and a price table with two formulas per row
// (=E3-E2 and =F3/F2-1, as bench/scale_compare.sh generates). The figure is
// the heap in use after filling and calculating, less the heap before,
// divided by the cells (for the price table also over the formula cells
// alone, the numbers counted at the plain-number rate), and the part of a
// formula cell the dependency index takes for the same price table.
// Run: build/rel/bench/cell_memory_bench [ROWS]   (ROWS defaults to 100000)
#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "spreadsheet/dependencies.h"
#include "spreadsheet/model.h"

namespace {

using quillo::Value;
using namespace quillo::spreadsheet;

void must(const quillo::Status& s) {
  if (!s.ok()) {
    std::fprintf(stderr, "cell_memory_bench: %s\n", s.message().c_str());
    std::exit(1);
  }
}

// Blocks in use from the heap proper and those large enough to be mapped
// on their own (a big table or vector is).
std::size_t heap_in_use() {
  malloc_trim(0);
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

struct Measured {
  double per_cell;
  std::size_t cells;
};

template <typename Fill>
Measured measure(std::size_t cells, Fill&& fill) {
  const std::size_t before = heap_in_use();
  auto model = std::make_shared<Model>();
  const SheetId s = model->add_sheet(model->add_book("bench"), "Data").value();
  model->set_calculation(quillo::host::Calculation::Manual);
  fill(*model, s);
  model->calculate_all();
  const std::size_t after = heap_in_use();
  return {static_cast<double>(after - before) / static_cast<double>(cells), cells};
}

}  // namespace

int main(int argc, char** argv) {
  const std::int32_t rows = argc > 1 ? std::atoi(argv[1]) : 100000;
  if (rows < 2) {
    std::fprintf(stderr, "usage: cell_memory_bench [ROWS >= 2]\n");
    return 2;
  }
  const auto numbers = measure(std::size_t(rows) * 6, [&](Model& m, SheetId s) {
    for (std::int32_t r = 1; r <= rows; ++r) {
      for (std::int32_t c = 1; c <= 6; ++c) must(m.set_value(s, r, c, Value(r * 6.0 + c + 0.25)));
    }
  });
  const auto texts = measure(std::size_t(rows), [&](Model& m, SheetId s) {
    for (std::int32_t r = 1; r <= rows; ++r) {
      must(m.set_value(s, r, 1, Value("SYM" + std::to_string(r % 500))));
    }
  });
  const auto prices = measure(std::size_t(rows) * 8, [&](Model& m, SheetId s) {
    for (std::int32_t r = 1; r <= rows; ++r) {
      const double close = 100 + (r * 37 % 1000) / 10.0;
      const double row[] = {40000.0 + r, close - 1, close + 2, close - 2, close, 1e6 + r * 13.0};
      for (std::int32_t c = 1; c <= 6; ++c) must(m.set_value(s, r, c, Value(row[c - 1])));
      if (r == 1) continue;
      const std::string i = std::to_string(r), p = std::to_string(r - 1);
      must(m.set_formula(s, r, 7, "=E" + i + "-E" + p, Notation::A1));
      must(m.set_formula(s, r, 8, "=F" + i + "/F" + p + "-1", Notation::A1));
    }
  });
  const auto calls = measure(std::size_t(rows), [&](Model& m, SheetId s) {
    for (std::int32_t r = 1; r <= rows; ++r) {
      const std::string i = std::to_string(r);
      must(m.set_formula(s, r, 2, "=fsingle($A" + i + ",\"LMS.QUO.LAST\",{\"n\",\"" + i + "\"})",
                         Notation::A1));
    }
  });
  const double formulas = 2.0 * (rows - 1);
  double index_per_formula = 0;
  {
    const std::size_t before = heap_in_use();
    auto index = std::make_unique<DependencyIndex>();
    for (std::int32_t r = 2; r <= rows; ++r) {
      for (std::int32_t c : {5, 6}) {
        const CellAddr formula{1, r, c + 2};
        // Relative references, as the formulas above hold them.
        index->add(formula, 1, Box{r, c, r, c}, true);
        index->add(formula, 1, Box{r - 1, c, r - 1, c}, true);
      }
    }
    index_per_formula = static_cast<double>(heap_in_use() - before) / formulas;
  }
  const double per_formula =
      (prices.per_cell * static_cast<double>(prices.cells) - numbers.per_cell * 6.0 * rows) /
      formulas;
  std::printf("rows %d\n", rows);
  std::printf("numbers      %10.1f bytes/cell (%zu cells)\n", numbers.per_cell, numbers.cells);
  std::printf("texts        %10.1f bytes/cell (%zu cells, 500 distinct)\n", texts.per_cell,
              texts.cells);
  std::printf("price table  %10.1f bytes/cell (%zu cells)\n", prices.per_cell, prices.cells);
  std::printf("  formulas   %10.1f bytes/formula cell\n", per_formula);
  std::printf("  of which dependency index %6.1f bytes/formula cell\n", index_per_formula);
  std::printf("add-in calls %10.1f bytes/formula cell (%zu distinct)\n", calls.per_cell,
              calls.cells);
  return 0;
}
