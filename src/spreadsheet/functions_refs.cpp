// Reference functions: INDEX, CHOOSE, OFFSET, INDIRECT, ROW, ROWS, COLUMN,
// COLUMNS, ADDRESS, TRANSPOSE. INDEX, CHOOSE, OFFSET and INDIRECT answer
// references (range values), so other functions take what they return as
// they take a written range: SUM(OFFSET(A1,0,0,3,1)).
#include <cmath>

#include "common/text.h"
#include "spreadsheet/address.h"
#include "spreadsheet/function_args.h"
#include "spreadsheet/handles.h"

namespace quillo::spreadsheet {

using namespace fn;

namespace {

// The cells a range value refers to; null for arrays and other values.
const RangeHandle* handle_of(const Value& v) {
  return v.is_range() ? dynamic_cast<const RangeHandle*>(&v.range()) : nullptr;
}

Arg<std::int64_t> whole(std::span<const Value> args, std::size_t i, double fallback,
                        const CallContext& ctx) {
  const auto n = number_or(args, i, fallback, ctx);
  if (failed(n)) return std::get<Fail>(n);
  const double d = std::trunc(std::get<double>(n));
  if (std::fabs(d) > 1e9) return Fail{ErrorCode::Ref};
  return static_cast<std::int64_t>(d);
}

}  // namespace

// INDEX(table, row, [column], [area]): row or column 0 takes the whole
// column or row; a single row or column is indexed by its one position.
Value fn_index(const CallContext& ctx, std::span<const Value> args) {
  auto view = RangeView::of(args[0]);
  if (!view) view = RangeView::of(Value(Array{1, 1, {scalar(args[0], ctx)}}));
  if (view->gone()) return Value(ErrorCode::Ref);
  const auto row_arg = whole(args, 1, 0, ctx);
  const auto col_arg = whole(args, 2, 0, ctx);
  const auto area_arg = whole(args, 3, 1, ctx);
  if (failed(row_arg)) return error_of(row_arg);
  if (failed(col_arg)) return error_of(col_arg);
  if (failed(area_arg)) return error_of(area_arg);
  if (std::get<std::int64_t>(area_arg) != 1) return Value(ErrorCode::Ref);
  auto row = std::get<std::int64_t>(row_arg);
  auto col = std::get<std::int64_t>(col_arg);
  if (missing(args, 2) && view->rows() == 1 && view->cols() > 1) std::swap(row, col);
  if (row < 0 || col < 0) return Value(ErrorCode::Value);
  if (row > view->rows() || col > view->cols()) return Value(ErrorCode::Ref);
  const std::int32_t r0 = row == 0 ? 0 : static_cast<std::int32_t>(row - 1);
  const std::int32_t c0 = col == 0 ? 0 : static_cast<std::int32_t>(col - 1);
  const std::int32_t nr = row == 0 ? view->rows() : 1;
  const std::int32_t nc = col == 0 ? view->cols() : 1;
  return view->part(r0, c0, nr, nc);
}

// CHOOSE(n, value1, value2, ...): the n-th value as given (a range stays a
// range).
Value fn_choose(const CallContext& ctx, std::span<const Value> args) {
  const auto n = number(args[0], ctx);
  if (failed(n)) return error_of(n);
  const double i = std::trunc(std::get<double>(n));
  if (i < 1 || i >= static_cast<double>(args.size())) return Value(ErrorCode::Value);
  const Value& chosen = args[static_cast<std::size_t>(i)];
  return chosen.type() == ValueType::Missing ? Value(0.0) : chosen;
}

// OFFSET(reference, rows, columns, [height], [width]): the range moved and
// resized; #REF! when it would leave the sheet.
Value fn_offset(const CallContext& ctx, std::span<const Value> args) {
  const RangeHandle* ref = handle_of(args[0]);
  if (!ref) return Value(args[0].is_error() ? args[0] : Value(ErrorCode::Value));
  const auto model = ref->live();
  if (!model) return Value(ErrorCode::Ref);
  const Box& b = ref->box();
  const auto dr = whole(args, 1, 0, ctx);
  const auto dc = whole(args, 2, 0, ctx);
  const auto h = whole(args, 3, b.rows(), ctx);
  const auto w = whole(args, 4, b.cols(), ctx);
  for (const auto* a : {&dr, &dc, &h, &w}) {
    if (failed(*a)) return error_of(*a);
  }
  const std::int64_t r1 = b.r1 + std::get<std::int64_t>(dr);
  const std::int64_t c1 = b.c1 + std::get<std::int64_t>(dc);
  const std::int64_t r2 = r1 + std::get<std::int64_t>(h) - 1;
  const std::int64_t c2 = c1 + std::get<std::int64_t>(w) - 1;
  if (std::get<std::int64_t>(h) < 1 || std::get<std::int64_t>(w) < 1 || r1 < 1 || c1 < 1 ||
      r2 > kMaxRows || c2 > kMaxCols) {
    return Value(ErrorCode::Ref);
  }
  const Box moved{static_cast<std::int32_t>(r1), static_cast<std::int32_t>(c1),
                  static_cast<std::int32_t>(r2), static_cast<std::int32_t>(c2)};
  return make_range_value(*model, ref->sheet_id(), moved);
}

// INDIRECT(text, [a1]): the reference the text writes, in A1 or (a1 FALSE)
// R1C1 notation, relative to the calling cell, sheets by name within the
// calling cell's workbook. Any other text is #REF!.
Value fn_indirect(const CallContext& ctx, std::span<const Value> args) {
  const auto t = text(args[0], ctx);
  if (failed(t)) return error_of(t);
  bool a1 = true;
  if (!missing(args, 1)) {
    const auto b = to_bool(scalar(args[1], ctx));
    if (const auto* e = std::get_if<ErrorCode>(&b)) return Value(*e);
    a1 = std::get<bool>(b);
  }
  Model* model = ctx.model;
  const Sheet* own = model ? model->sheet(ctx.sheet) : nullptr;
  const std::string_view written = text::trim(std::get<std::string>(t));
  if (!own || written.empty() || written.size() > 1024 || written[0] == '=') {
    return Value(ErrorCode::Ref);
  }
  const BookId book = own->book;
  const auto parsed =
      parse_formula(written, a1 ? Notation::A1 : Notation::R1C1, ctx.row, ctx.col,
                    [&](std::string_view name) { return model->find_sheet(book, name); });
  if (!parsed.ok()) return Value(ErrorCode::Ref);
  const Node* root = parsed.value()->root.get();
  if (!root || root->kind != Node::Kind::Ref) return Value(ErrorCode::Ref);
  if (root->ref().has_sheet && root->ref().sheet == 0) return Value(ErrorCode::Ref);
  const auto target = model->resolve(root->ref(), CellAddr{ctx.sheet, ctx.row, ctx.col});
  if (!target) return Value(ErrorCode::Ref);
  return make_range_value(*model, target->first, target->second);
}

namespace {

// ROW and COLUMN: the caller's, or those of a reference (an array of them
// for a reference of several).
Value position(const CallContext& ctx, std::span<const Value> args, bool rows) {
  if (missing(args, 0)) {
    if (ctx.sheet == 0) return Value(ErrorCode::Value);
    // In an array formula over several rows (columns), the rows (columns)
    // it covers, one for each of its cells.
    const std::int32_t first = rows ? ctx.row : ctx.col;
    const std::int32_t n = rows ? ctx.array_rows : ctx.array_cols;
    if (n <= 1) return Value(static_cast<double>(first));
    Array out{rows ? n : 1, rows ? 1 : n, {}};
    for (std::int32_t i = 0; i < n; ++i) out.items.emplace_back(static_cast<double>(first + i));
    return Value(std::move(out));
  }
  const RangeHandle* ref = handle_of(args[0]);
  if (!ref) return args[0].is_error() ? args[0] : Value(ErrorCode::Value);
  const Box& b = ref->box();
  const std::int32_t first = rows ? b.r1 : b.c1, last = rows ? b.r2 : b.c2;
  if (first == last) return Value(static_cast<double>(first));
  const std::int32_t n = std::min(last - first + 1, 1 << 20);
  Array out{rows ? n : 1, rows ? 1 : n, {}};
  for (std::int32_t i = 0; i < n; ++i) out.items.emplace_back(static_cast<double>(first + i));
  return Value(std::move(out));
}

Value extent(const Value& v, bool rows) {
  if (v.is_error()) return v;
  const auto view = RangeView::of(v);
  if (!view) return Value(1.0);
  return Value(static_cast<double>(rows ? view->rows() : view->cols()));
}

}  // namespace

Value fn_row(const CallContext& ctx, std::span<const Value> args) {
  return position(ctx, args, true);
}
Value fn_column(const CallContext& ctx, std::span<const Value> args) {
  return position(ctx, args, false);
}
Value fn_rows(const CallContext&, std::span<const Value> args) {
  return extent(args[0], true);
}
Value fn_columns(const CallContext&, std::span<const Value> args) {
  return extent(args[0], false);
}

// ADDRESS(row, column, [abs], [a1], [sheet]): abs 1 $A$1, 2 A$1, 3 $A1, 4
// A1 (R1C1: R1C1, R1C[1], R[1]C1, R[1]C[1]).
Value fn_address(const CallContext& ctx, std::span<const Value> args) {
  // An empty kind, style or sheet (ADDRESS(5,7,,,"Data"), ADDRESS(5,7,,,))
  // takes its default, as one left out does.
  const auto given = [&](std::size_t i) { return !missing(args, i) && !args[i].is_empty(); };
  const auto r = whole(args, 0, 0, ctx);
  const auto c = whole(args, 1, 0, ctx);
  const auto kind = given(2) ? whole(args, 2, 1, ctx) : Arg<std::int64_t>(std::int64_t{1});
  if (failed(r)) return error_of(r);
  if (failed(c)) return error_of(c);
  if (failed(kind)) return error_of(kind);
  const std::int64_t row = std::get<std::int64_t>(r), col = std::get<std::int64_t>(c);
  const std::int64_t k = std::get<std::int64_t>(kind);
  if (row < 1 || row > kMaxRows || col < 1 || col > kMaxCols || k < 1 || k > 4) {
    return Value(ErrorCode::Value);
  }
  bool a1 = true;
  if (given(3)) {
    const auto b = to_bool(scalar(args[3], ctx));
    if (const auto* e = std::get_if<ErrorCode>(&b)) return Value(*e);
    a1 = std::get<bool>(b);
  }
  const bool row_abs = k == 1 || k == 2, col_abs = k == 1 || k == 3;
  std::string out;
  if (given(4)) {
    const auto sheet = text(args[4], ctx);
    if (failed(sheet)) return error_of(sheet);
    const std::string& name = std::get<std::string>(sheet);
    out = (name.empty() ? std::string() : quote_sheet_name(name)) + "!";
  }
  const auto r32 = static_cast<std::int32_t>(row), c32 = static_cast<std::int32_t>(col);
  if (a1) {
    out += cell_a1(r32, c32, row_abs, col_abs);
  } else {
    out += row_abs ? "R" + std::to_string(row) : "R[" + std::to_string(row) + "]";
    out += col_abs ? "C" + std::to_string(col) : "C[" + std::to_string(col) + "]";
  }
  return Value(std::move(out));
}

// TRANSPOSE(array): rows become columns.
Value fn_transpose(const CallContext& ctx, std::span<const Value> args) {
  const auto view = RangeView::of(args[0]);
  if (!view) return scalar(args[0], ctx);
  if (view->gone()) return Value(ErrorCode::Ref);
  if (std::int64_t{view->rows()} * view->cols() > 1'000'000) return Value(ErrorCode::Num);
  const Array in = view->to_array();
  Array out{in.cols, in.rows, {}};
  out.items.reserve(in.items.size());
  for (std::int32_t c = 0; c < in.cols; ++c) {
    for (std::int32_t r = 0; r < in.rows; ++r) out.items.push_back(in.at(r, c));
  }
  return Value(std::move(out));
}

}  // namespace quillo::spreadsheet
