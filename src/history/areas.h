// The price-history areas: one record per formula cell that shows a history
// table, keyed by the cell's key, tied to the request that feeds it, with
// the columns and options the formula asked for and the bounds of the block
// written last time (so the next answer can clear it first).
//
// Indexes given out stay valid until reset. Loop thread only.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/value.h"
#include "host/output_blocks.h"
#include "host/range.h"

namespace quillo::history {

struct Area {
  std::string key;
  std::string workbook;
  std::string sheet;
  std::int32_t row = 0;
  std::int32_t col = 0;
  std::int32_t out_row = 0;  // top-left cell of the block written last time
  std::int32_t out_col = 0;
  std::int32_t out_rows = 0;  // its size; 0 before the first write
  std::int32_t out_cols = 0;
  std::int32_t reqno = 0;
  bool pending = false;  // the table must be fetched and drawn
  host::RangePtr anchor;
  std::int32_t kind = 10;
  std::string formula;
  std::uint8_t source_kind = 2;
  std::string instrument;
  std::string sampling;
  double start_date = 0;
  double end_date = 0;
  std::string fields;
  std::vector<Value> options;  // flat name/value list, from element 1
  // The ranges the formula reads on its own sheet (an options range, date
  // cells): its table is never written over them.
  std::vector<host::Block> inputs;
  // Why the last answer's table was not written whole (a formula in the
  // way, the sheet's edge); empty when it was.
  std::string problem;
};

class AreaTable {
 public:
  std::size_t size() const { return m_areas.size(); }
  Area& at(std::size_t index) { return m_areas[index - 1]; }  // 1-based
  const Area& at(std::size_t index) const { return m_areas[index - 1]; }

  // The index of the area with this key, or of a new one holding only it.
  std::size_t area_find_or_add(const std::string& key);
  void reset();

  // Set whenever an area is marked pending; the second timer clears it.
  bool areas_dirty = false;

 private:
  std::vector<Area> m_areas;
  std::unordered_map<std::string, std::size_t> m_by_key;
};

}  // namespace quillo::history
