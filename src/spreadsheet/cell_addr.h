// Cell identity inside the spreadsheet: a sheet id and a position. Sheet ids
// are never reused, so an address of a deleted sheet stays recognisably stale.
#pragma once

#include <cstdint>
#include <functional>

#include "spreadsheet/address.h"
#include "spreadsheet/formula.h"

namespace quillo::spreadsheet {

struct CellAddr {
  SheetId sheet = 0;
  std::int32_t row = 0;
  std::int32_t col = 0;
  bool operator==(const CellAddr&) const = default;
  auto operator<=>(const CellAddr&) const = default;
};

struct CellAddrHash {
  std::size_t operator()(const CellAddr& a) const {
    std::uint64_t h = (std::uint64_t{a.sheet} << 40) ^ (std::uint64_t(std::uint32_t(a.col)) << 21) ^
                      std::uint32_t(a.row);
    h ^= h >> 29;
    h *= 0xbf58476d1ce4e5b9ULL;
    return static_cast<std::size_t>(h ^ (h >> 32));
  }
};

// Cells of a sheet are ordered column by column (then by row), so the cells
// of a column-shaped range sit next to each other.
inline std::uint64_t cell_key(std::int32_t row, std::int32_t col) {
  return (std::uint64_t(std::uint32_t(col)) << 32) | std::uint32_t(row);
}
inline std::int32_t key_row(std::uint64_t key) {
  return static_cast<std::int32_t>(key & 0xffffffffu);
}
inline std::int32_t key_col(std::uint64_t key) {
  return static_cast<std::int32_t>(key >> 32);
}

}  // namespace quillo::spreadsheet
