// The formula parser and writer over arbitrary text: what parses writes back
// as text that parses again to the same tree, in A1 and R1C1 notation (the
// second write must equal the first). The first byte picks the notation and
// the cell, so relative references meet the sheet's edges.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "spreadsheet/formula.h"

namespace {

using quillo::spreadsheet::Notation;
using quillo::spreadsheet::SheetId;

// A workbook's sheets, names chosen to need quoting in every way.
constexpr std::string_view kSheets[] = {"Sheet1", ".Data", "a b", "R1C1", "O'Brien", "2024"};

SheetId resolve(std::string_view name) {
  for (std::size_t i = 0; i < std::size(kSheets); ++i) {
    if (name.size() == kSheets[i].size()) {
      bool same = true;
      for (std::size_t k = 0; k < name.size(); ++k) {
        same = same && (name[k] | 0x20) == (kSheets[i][k] | 0x20);
      }
      if (same) return static_cast<SheetId>(i + 1);
    }
  }
  return 0;
}

std::string name_of(SheetId id) {
  return id >= 1 && id <= std::size(kSheets) ? std::string(kSheets[id - 1]) : std::string();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t pick = data[0];
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  const Notation notation = pick & 1 ? Notation::R1C1 : Notation::A1;
  // The cell: the corner, the middle, or the far edges of the sheet.
  const std::int32_t row = (pick & 2) ? 1048576 : (pick & 4) ? 1 : 100;
  const std::int32_t col = (pick & 8) ? 16384 : (pick & 16) ? 1 : 30;

  auto first = quillo::spreadsheet::parse_formula(text, notation, row, col, resolve);
  if (!first.ok()) return 0;
  for (const Notation out : {Notation::A1, Notation::R1C1}) {
    const std::string written =
        quillo::spreadsheet::write_formula(*first.value(), out, row, col, name_of);
    auto again = quillo::spreadsheet::parse_formula(written, out, row, col, resolve);
    // A reference outside the sheet is written as #REF! in A1, which is a
    // different tree; every other formula must read back.
    if (!again.ok()) {
      if (written.size() > quillo::spreadsheet::kMaxFormulaLength) continue;
      std::abort();
    }
    const std::string rewritten =
        quillo::spreadsheet::write_formula(*again.value(), out, row, col, name_of);
    if (rewritten != written) std::abort();
  }
  return 0;
}
