#include "host/cell_key.h"

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
  return *book_name + "_" + *sheet_name + "_" + std::to_string(*row) + "_" + std::to_string(*col);
}

}  // namespace quillo::host
