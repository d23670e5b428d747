// FileValues: the values the add-in's cells held when their workbook's file
// was read, kept so a cell whose answer has not come (or failed where the
// settings keep the last figure) can show its file's value. One entry of
// sixteen bytes a cell, sorted for lookup on the first look after an
// addition; only a value that is not empty is kept beside it (a file saved
// before its cells were computed holds none).
//
// Loop thread only.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "common/value.h"
#include "host/range.h"
#include "requests/cell_id.h"

namespace quillo {

class FileValues {
 public:
  // Remembers the cell's value; a cell remembered again takes the later value.
  void remember(const host::CellPlace& at, Value value);
  // The value the file held for the cell (Empty for an empty cell); null
  // when none was remembered.
  const Value* find(const host::CellPlace& at) const;
  bool empty() const { return m_entries.empty(); }

 private:
  static constexpr std::uint32_t kEmpty = 0xFFFFFFFFu;
  struct Entry {
    CellId cell;
    std::uint32_t value = kEmpty;  // into m_values
  };
  void sort() const;

  PlaceTable m_places;
  mutable std::vector<Entry> m_entries;
  std::vector<Value> m_values;
  mutable bool m_sorted = true;
};

}  // namespace quillo
