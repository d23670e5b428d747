#include "spreadsheet/range_view.h"

#include <algorithm>

#include "spreadsheet/handles.h"

namespace quillo::spreadsheet {

std::optional<RangeView> RangeView::of(const Value& v) {
  RangeView view;
  if (v.is_array()) {
    view.m_array = v;
    view.m_box = Box{1, 1, std::max(v.array().rows, 1), std::max(v.array().cols, 1)};
    if (v.array().items.empty()) view.m_array = Value(Array{1, 1, {Value()}});
    return view;
  }
  if (!v.is_range()) return std::nullopt;
  if (const auto* handle = dynamic_cast<const RangeHandle*>(&v.range())) {
    view.m_box = handle->box();
    view.m_sheet = handle->sheet_id();
    view.m_model = handle->live();
    view.m_gone = !view.m_model;
    if (view.m_gone) view.m_model = handle->model();
    if (!view.m_model) {  // the whole spreadsheet is gone
      view.m_model = nullptr;
      view.m_array = Value(Array{1, 1, {Value(ErrorCode::Ref)}});
      view.m_box = Box{};
    }
    return view;
  }
  // Another implementation of ranges: take its values.
  Array values = v.range().values();
  if (values.items.empty()) values = Array{1, 1, {Value()}};
  view.m_box = Box{1, 1, values.rows, values.cols};
  view.m_array = Value(std::move(values));
  return view;
}

std::int32_t RangeView::used_rows() const {
  if (!m_model || m_gone) return rows();
  const std::int32_t last = m_model->extent(m_sheet).first;
  return std::clamp(last - m_box.r1 + 1, 0, rows());
}

Value RangeView::at(std::int32_t r, std::int32_t c) const {
  if (m_gone) return Value(ErrorCode::Ref);
  if (r < 0 || c < 0 || r >= rows() || c >= cols()) return Value();
  if (m_model) return m_model->value(m_sheet, m_box.r1 + r, m_box.c1 + c);
  return m_array.array().at(r, c);
}

std::shared_ptr<const ColumnIndex> RangeView::column_index(std::int32_t c) const {
  if (!m_model || m_gone || c < 0 || c >= cols()) return nullptr;
  return m_model->column_index(m_sheet, m_box.c1 + c, m_box.r1, m_box.r2);
}

Array RangeView::to_array() const {
  if (!m_model) return m_array.array();
  Array out;
  out.rows = rows();
  out.cols = cols();
  out.items.resize(static_cast<std::size_t>(out.rows) * static_cast<std::size_t>(out.cols));
  if (m_gone) {
    for (Value& v : out.items) v = Value(ErrorCode::Ref);
    return out;
  }
  m_model->for_each_cell(m_sheet, m_box, [&](std::int32_t r, std::int32_t c, const Cell& cell) {
    out.items[static_cast<std::size_t>(r - m_box.r1) * static_cast<std::size_t>(out.cols) +
              static_cast<std::size_t>(c - m_box.c1)] = cell.value;
  });
  return out;
}

Value RangeView::part(std::int32_t r0, std::int32_t c0, std::int32_t nrows,
                      std::int32_t ncols) const {
  if (m_gone) return Value(ErrorCode::Ref);
  if (m_model) {
    const Box b{m_box.r1 + r0, m_box.c1 + c0, m_box.r1 + r0 + nrows - 1, m_box.c1 + c0 + ncols - 1};
    return make_range_value(*m_model, m_sheet, b);
  }
  if (nrows == 1 && ncols == 1) return at(r0, c0);
  Array out{nrows, ncols, {}};
  for (std::int32_t r = 0; r < nrows; ++r) {
    for (std::int32_t c = 0; c < ncols; ++c) out.items.push_back(at(r0 + r, c0 + c));
  }
  return Value(std::move(out));
}

}  // namespace quillo::spreadsheet
