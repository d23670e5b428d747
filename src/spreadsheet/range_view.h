// RangeView: read access for functions to a range or array argument without
// copying it. Ranges are read through the model cell by cell; only the cells
// that exist are visited by for_each, so a whole-column reference costs what
// the column holds. Event-loop thread only; a view is used within one call.
#pragma once

#include <memory>
#include <optional>

#include "spreadsheet/model.h"

namespace quillo::spreadsheet {

class RangeView {
 public:
  // A view of a range or array value; nullopt for anything else.
  static std::optional<RangeView> of(const Value& v);

  bool is_range() const { return m_model != nullptr; }
  // The range's sheet was deleted: every read answers #REF!.
  bool gone() const { return m_gone; }
  const Box& box() const { return m_box; }
  std::int32_t rows() const { return m_box.rows(); }
  std::int32_t cols() const { return m_box.cols(); }
  // Rows worth scanning from the top: the rest of the range is empty.
  std::int32_t used_rows() const;

  Value at(std::int32_t r, std::int32_t c) const;  // 0-based
  // For a range, the exact-match index of its column c (0-based) when the
  // model has one (Model::column_index); null otherwise.
  std::shared_ptr<const ColumnIndex> column_index(std::int32_t c) const;
  // Calls fn(value) for every non-empty value (ranges) or every item (arrays).
  template <typename Fn>
  void for_each(Fn&& fn) const;
  Array to_array() const;
  // Part of the range or array, 0-based: a range value for ranges.
  Value part(std::int32_t r0, std::int32_t c0, std::int32_t rows, std::int32_t cols) const;

 private:
  std::shared_ptr<Model> m_model;
  SheetId m_sheet = 0;
  Box m_box;
  Value m_array;  // for arrays
  bool m_gone = false;
};

template <typename Fn>
void RangeView::for_each(Fn&& fn) const {
  if (m_gone) {
    fn(Value(ErrorCode::Ref));
  } else if (m_model) {
    m_model->for_each_cell(m_sheet, m_box, [&](std::int32_t, std::int32_t, const Cell& cell) {
      if (!cell.value.is_empty()) fn(cell.value);
    });
  } else {
    for (const Value& v : m_array.array().items) fn(v);
  }
}

}  // namespace quillo::spreadsheet
