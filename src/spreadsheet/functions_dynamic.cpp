// The functions whose answer is an array made from arrays: SEQUENCE,
// UNIQUE, SORT, SORTBY and FILTER. They answer the whole array; where it is
// written (one cell, an array formula's cells, a spill range) is the
// caller's business. Blank cells of a range come out as 0, as Excel writes
// them. Where Excel answers #CALC! (nothing left to answer), these answer
// #VALUE!, the nearest error the spreadsheet has.
#include <algorithm>
#include <cmath>
#include <numeric>
#include <vector>

#include "spreadsheet/function_numbers.h"

namespace quillo::spreadsheet {

using namespace fn;

namespace {

// The most items an answer may hold (a sheet's rows).
constexpr double kMaxItems = 1048576.0;

// The argument as an array of values, blanks as 0; a single value is an
// array of one.
std::variant<Array, ErrorCode> as_array(const Value& v) {
  Array a;
  if (auto view = RangeView::of(v)) {
    if (view->gone()) return ErrorCode::Ref;
    a = view->to_array();
  } else if (v.is_error()) {
    return v.error();
  } else {
    a = Array{1, 1, {v}};
  }
  for (Value& item : a.items) {
    if (item.is_empty()) item = Value(0.0);
  }
  return a;
}

// The rows of a (its columns when by_col), each a list of values.
std::vector<std::vector<Value>> lines(const Array& a, bool by_col) {
  const std::int32_t n = by_col ? a.cols : a.rows, len = by_col ? a.rows : a.cols;
  std::vector<std::vector<Value>> out(static_cast<std::size_t>(n));
  for (std::int32_t i = 0; i < n; ++i) {
    for (std::int32_t j = 0; j < len; ++j) {
      out[static_cast<std::size_t>(i)].push_back(by_col ? a.at(j, i) : a.at(i, j));
    }
  }
  return out;
}

// An array of the given lines (as rows, or as columns when by_col).
Value from_lines(const std::vector<std::vector<Value>>& ls, bool by_col) {
  if (ls.empty()) return Value(ErrorCode::Value);
  const auto n = static_cast<std::int32_t>(ls.size());
  const auto len = static_cast<std::int32_t>(ls.front().size());
  Array out{by_col ? len : n, by_col ? n : len, {}};
  out.items.resize(static_cast<std::size_t>(n) * static_cast<std::size_t>(len));
  for (std::int32_t i = 0; i < n; ++i) {
    for (std::int32_t j = 0; j < len; ++j) {
      const std::size_t at =
          by_col ? static_cast<std::size_t>(j) * n + i : static_cast<std::size_t>(i) * len + j;
      out.items[at] = ls[static_cast<std::size_t>(i)][static_cast<std::size_t>(j)];
    }
  }
  return Value(std::move(out));
}

// The order SORT gives: numbers, texts (ignoring case), logical values,
// then errors.
int sort_compare(const Value& a, const Value& b) {
  if (a.is_error() || b.is_error()) {
    if (a.is_error() && b.is_error()) return 0;
    return a.is_error() ? 1 : -1;
  }
  return compare_values(a, b);
}

bool same_line(const std::vector<Value>& a, const std::vector<Value>& b) {
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].is_error() != b[i].is_error()) return false;
    if (a[i].is_error() ? a[i].error() != b[i].error() : compare_values(a[i], b[i]) != 0) {
      return false;
    }
  }
  return true;
}

// An order argument: 1 ascending (the default), -1 descending.
std::variant<bool, ErrorCode> descending(std::span<const Value> args, std::size_t i,
                                         const CallContext& ctx) {
  if (missing(args, i)) return false;
  const auto o = number(args[i], ctx);
  if (failed(o)) return std::get<Fail>(o).code;
  const double d = std::get<double>(o);
  if (d != 1 && d != -1) return ErrorCode::Value;
  return d == -1;
}

// Orders the lines by the keys (one list per key, as long as the lines),
// each ascending or descending; equal lines keep their order.
std::vector<std::size_t> order_by(std::size_t count, const std::vector<std::vector<Value>>& keys,
                                  const std::vector<bool>& desc) {
  std::vector<std::size_t> idx(count);
  std::iota(idx.begin(), idx.end(), std::size_t{0});
  std::stable_sort(idx.begin(), idx.end(), [&](std::size_t x, std::size_t y) {
    for (std::size_t k = 0; k < keys.size(); ++k) {
      const int c = sort_compare(keys[k][x], keys[k][y]);
      if (c != 0) return desc[k] ? c > 0 : c < 0;
    }
    return false;
  });
  return idx;
}

}  // namespace

// SEQUENCE(rows, [columns], [start], [step]): numbers counting from start
// by step, row by row.
Value fn_sequence(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<4>(ctx, args, {1, 1, 1, 1}, [](auto a) {
    const double rows = std::trunc(a[0]), cols = std::trunc(a[1]);
    if (rows < 1 || cols < 1) return Value(ErrorCode::Value);
    if (rows * cols > kMaxItems) return num_error();
    Array out{static_cast<std::int32_t>(rows), static_cast<std::int32_t>(cols), {}};
    out.items.reserve(static_cast<std::size_t>(rows * cols));
    for (double i = 0; i < rows * cols; ++i) out.items.emplace_back(a[2] + i * a[3]);
    return Value(std::move(out));
  });
}

// UNIQUE(array, [by_col], [exactly_once]): the distinct rows (columns) in
// the order they first appear, or only those that appear once. Texts are
// compared ignoring case.
Value fn_unique(const CallContext& ctx, std::span<const Value> args) {
  const auto in = as_array(args[0]);
  if (const auto* e = std::get_if<ErrorCode>(&in)) return Value(*e);
  const auto by_col = flag(args, 1, false, ctx);
  if (failed(by_col)) return error_of(by_col);
  const auto once = flag(args, 2, false, ctx);
  if (failed(once)) return error_of(once);
  const auto ls = lines(std::get<Array>(in), std::get<bool>(by_col));
  std::vector<std::vector<Value>> out;
  std::vector<std::size_t> seen;  // how often each line of out appears
  for (const auto& line : ls) {
    const auto it =
        std::find_if(out.begin(), out.end(), [&](const auto& o) { return same_line(o, line); });
    if (it == out.end()) {
      out.push_back(line);
      seen.push_back(1);
    } else {
      ++seen[static_cast<std::size_t>(it - out.begin())];
    }
  }
  if (std::get<bool>(once)) {
    std::vector<std::vector<Value>> single;
    for (std::size_t i = 0; i < out.size(); ++i) {
      if (seen[i] == 1) single.push_back(out[i]);
    }
    out = std::move(single);
  }
  return from_lines(out, std::get<bool>(by_col));
}

// SORT(array, [sort_index], [sort_order], [by_col]): the rows (columns)
// ordered by the values in column (row) sort_index.
Value fn_sort(const CallContext& ctx, std::span<const Value> args) {
  const auto in = as_array(args[0]);
  if (const auto* e = std::get_if<ErrorCode>(&in)) return Value(*e);
  const auto index = number_or(args, 1, 1, ctx);
  if (failed(index)) return error_of(index);
  const auto desc = descending(args, 2, ctx);
  if (const auto* e = std::get_if<ErrorCode>(&desc)) return Value(*e);
  const auto by_col = flag(args, 3, false, ctx);
  if (failed(by_col)) return error_of(by_col);
  const auto ls = lines(std::get<Array>(in), std::get<bool>(by_col));
  const double k = std::trunc(std::get<double>(index));
  if (k < 1 || ls.empty() || k > static_cast<double>(ls.front().size())) {
    return Value(ErrorCode::Value);
  }
  std::vector<Value> key;
  for (const auto& line : ls) key.push_back(line[static_cast<std::size_t>(k) - 1]);
  std::vector<std::vector<Value>> out;
  for (std::size_t i : order_by(ls.size(), {key}, {std::get<bool>(desc)})) out.push_back(ls[i]);
  return from_lines(out, std::get<bool>(by_col));
}

// SORTBY(array, by1, [order1], by2, [order2], ...): the rows ordered by
// other rows or columns of the same length (a row orders the columns).
Value fn_sortby(const CallContext& ctx, std::span<const Value> args) {
  const auto in = as_array(args[0]);
  if (const auto* e = std::get_if<ErrorCode>(&in)) return Value(*e);
  const Array& a = std::get<Array>(in);
  std::vector<std::vector<Value>> keys;
  std::vector<bool> desc;
  std::optional<bool> by_col;
  for (std::size_t i = 1; i < args.size(); i += 2) {
    const auto k = as_array(args[i]);
    if (const auto* e = std::get_if<ErrorCode>(&k)) return Value(*e);
    const Array& key = std::get<Array>(k);
    // A column as long as the array's rows orders rows; a row as long as
    // its columns orders columns.
    bool col_key;
    if (key.cols == 1 && key.rows == a.rows)
      col_key = false;
    else if (key.rows == 1 && key.cols == a.cols)
      col_key = true;
    else
      return Value(ErrorCode::Value);
    if (by_col && *by_col != col_key) return Value(ErrorCode::Value);
    by_col = col_key;
    keys.push_back(key.items);
    const auto d = descending(args, i + 1, ctx);
    if (const auto* e = std::get_if<ErrorCode>(&d)) return Value(*e);
    desc.push_back(std::get<bool>(d));
  }
  const auto ls = lines(a, *by_col);
  std::vector<std::vector<Value>> out;
  for (std::size_t i : order_by(ls.size(), keys, desc)) out.push_back(ls[i]);
  return from_lines(out, *by_col);
}

// FILTER(array, include, [if_empty]): the rows (or, for a row of
// conditions, the columns) whose condition is true; if_empty when none is.
Value fn_filter(const CallContext& ctx, std::span<const Value> args) {
  const auto in = as_array(args[0]);
  if (const auto* e = std::get_if<ErrorCode>(&in)) return Value(*e);
  const auto inc = as_array(args[1]);
  if (const auto* e = std::get_if<ErrorCode>(&inc)) return Value(*e);
  const Array& a = std::get<Array>(in);
  const Array& cond = std::get<Array>(inc);
  bool by_col;
  if (cond.cols == 1 && cond.rows == a.rows)
    by_col = false;
  else if (cond.rows == 1 && cond.cols == a.cols)
    by_col = true;
  else
    return Value(ErrorCode::Value);
  const auto ls = lines(a, by_col);
  std::vector<std::vector<Value>> out;
  for (std::size_t i = 0; i < ls.size(); ++i) {
    const auto keep = to_bool(cond.items[i]);
    if (const auto* e = std::get_if<ErrorCode>(&keep)) return Value(*e);
    if (std::get<bool>(keep)) out.push_back(ls[i]);
  }
  if (out.empty()) return missing(args, 2) ? Value(ErrorCode::Value) : scalar(args[2], ctx);
  return from_lines(out, by_col);
}

}  // namespace quillo::spreadsheet
