#include "host/cell_key.h"

#include <cstdio>

#include "host/application.h"

namespace quillo::host {

std::string cellkey(const Range& cell) {
  const auto sheet = cell.worksheet();
  if (!sheet.ok()) return {};
  const auto book = (*sheet)->workbook();
  const auto sheet_name = (*sheet)->name();
  const auto row = cell.row();
  const auto col = cell.column();
  if (!book.ok() || !sheet_name.ok() || !row.ok() || !col.ok()) return {};
  const auto book_name = (*book)->name();
  if (!book_name.ok()) return {};
  // One allocation: the key is made at every call of a worksheet function.
  char numbers[32];
  const int n = std::snprintf(numbers, sizeof numbers, "_%d_%d", static_cast<int>(*row),
                              static_cast<int>(*col));
  std::string key;
  key.reserve(book_name->size() + 1 + sheet_name->size() + static_cast<std::size_t>(n));
  key.append(*book_name)
      .append("_")
      .append(*sheet_name)
      .append(numbers, static_cast<std::size_t>(n));
  return key;
}

}  // namespace quillo::host
