#include "host/range.h"

namespace quillo::host {

std::optional<Value> single_value(const Value& v) {
  if (v.is_array()) {
    const Array& a = v.array();
    if (a.items.size() != 1) return std::nullopt;
    return a.items.front();
  }
  if (!v.is_range()) return v;
  if (const Range* r = as_range(v)) {
    // The size first, so a whole column given by mistake is not read.
    const Result<std::int32_t> rows = r->row_count();
    const Result<std::int32_t> cols = r->column_count();
    if (!rows.ok() || !cols.ok() || *rows != 1 || *cols != 1) return std::nullopt;
    Result<Value> value = r->value();
    return value.ok() ? std::move(*value) : Value();
  }
  // A list of areas (A1,B1) or another kind of reference: its values.
  Array cells = v.range().values();
  if (cells.items.size() != 1) return std::nullopt;
  return std::move(cells.items.front());
}

}  // namespace quillo::host
