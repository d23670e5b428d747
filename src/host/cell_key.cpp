#include "host/cell_key.h"

#include <charconv>

#include "host/application.h"

namespace quillo::host {

std::optional<CellPlace> Range::place() const {
  const auto sheet = worksheet();
  if (!sheet.ok()) return std::nullopt;
  const auto book = (*sheet)->workbook();
  auto sheet_name = (*sheet)->name();
  const auto r = row();
  const auto c = column();
  if (!book.ok() || !sheet_name.ok() || !r.ok() || !c.ok()) return std::nullopt;
  auto book_name = (*book)->name();
  if (!book_name.ok()) return std::nullopt;
  return CellPlace{std::move(book_name.value()), std::move(sheet_name.value()), *r, *c};
}

std::optional<CellPlaceRef> Range::place_ref(CellPlace& scratch) const {
  std::optional<CellPlace> at = place();
  if (!at) return std::nullopt;
  scratch = std::move(*at);
  return CellPlaceRef{scratch.book, scratch.sheet, scratch.row, scratch.col};
}

std::string cellkey(const CellPlace& place) {
  // One allocation: the key is made at every call of a worksheet function.
  // An int32 takes at most 11 characters. The book's name is led by its
  // length, as names may hold "_": book "a_b" with sheet "c" and book "a"
  // with sheet "b_c" are two keys.
  char length[24];
  char* const length_end = std::to_chars(length, length + 20, place.book.size()).ptr;
  *length_end = ':';
  const auto m = static_cast<std::size_t>(length_end + 1 - length);
  char numbers[32] = {'_'};
  char* const col_at = std::to_chars(numbers + 1, numbers + 13, place.row).ptr;
  *col_at = '_';
  char* const end = std::to_chars(col_at + 1, col_at + 13, place.col).ptr;
  const auto n = static_cast<std::size_t>(end - numbers);
  std::string key;
  key.reserve(m + place.book.size() + 1 + place.sheet.size() + n);
  key.append(length, m).append(place.book).append("_").append(place.sheet).append(numbers, n);
  return key;
}

std::string cellkey(const Range& cell) {
  const std::optional<CellPlace> place = cell.place();
  return place ? cellkey(*place) : std::string();
}

}  // namespace quillo::host
