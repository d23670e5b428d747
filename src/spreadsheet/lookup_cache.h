// LookupCache: exact-match indexes over the columns that lookups search
// (VLOOKUP, MATCH), kept until a cell of the column changes.
//
// A lookup over a table of n rows reads up to n cells; a sheet of lookups
// into one table reads it again for every formula. An index over the
// searched part of a column answers the first row equal to a value in a
// few steps instead, with the same equality the lookup functions use:
// numbers equal within rounding noise (nearly_equal), texts equal ignoring
// ASCII letter case, truth values equal.
//
// An index is made only when the same unchanged column part is searched a
// second time: a column that changes between every search (a running
// lookup down the column it writes) costs its scans and nothing more.
// Entries are keyed by sheet and part and checked against the column's
// version (CellStore::column_version) at every use.
//
// Event-loop thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/value.h"
#include "spreadsheet/cell_addr.h"
#include "spreadsheet/cell_store.h"

namespace quillo::spreadsheet {

// The exact-match index of rows r1..r2 of one column.
class ColumnIndex {
 public:
  ColumnIndex(const CellStore& cells, std::int32_t col, std::int32_t r1, std::int32_t r2);
  // The first position (0-based from r1) whose value equals want (a number,
  // a text without wildcards or a truth value); -1 when none does.
  std::int64_t find(const Value& want) const;

 private:
  std::vector<std::pair<double, std::int32_t>> m_numbers;  // sorted by value, then position
  std::unordered_map<std::string, std::int32_t> m_texts;   // lower-case text: first position
  std::int32_t m_true = -1, m_false = -1;
};

class LookupCache {
 public:
  // The index of rows r1..r2 of the column of cells (of sheet), or null
  // when it is not worth making yet; then the caller scans the cells.
  std::shared_ptr<const ColumnIndex> find(SheetId sheet, const CellStore& cells, std::int32_t col,
                                          std::int32_t r1, std::int32_t r2);

 private:
  struct Key {
    SheetId sheet;
    std::int32_t col, r1, r2;
    bool operator==(const Key&) const = default;
  };
  struct KeyHash {
    std::size_t operator()(const Key& k) const;
  };
  struct Entry {
    std::uint64_t version = 0;
    std::shared_ptr<const ColumnIndex> index;  // null until searched twice at version
  };
  static constexpr std::size_t kMaxEntries = 256;

  std::unordered_map<Key, Entry, KeyHash> m_entries;
};

}  // namespace quillo::spreadsheet
