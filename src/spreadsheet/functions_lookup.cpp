// Lookup functions: INDEX, MATCH, VLOOKUP.
#include <cmath>

#include "common/text.h"
#include "spreadsheet/function_args.h"

namespace quillo::spreadsheet {

using namespace fn;

namespace {

int rank(const Value& v) {
  if (v.is_number()) return 0;
  if (v.is_text()) return 1;
  if (v.type() == ValueType::Bool) return 2;
  return -1;
}

// "*" any run, "?" one character, "~" takes the next one literally; letter
// case ignored. Iterative with one back-tracking point, so no input can make
// it slow beyond length squared.
bool wildcard_match(std::string_view pattern, std::string_view s) {
  std::size_t p = 0, i = 0, star_p = std::string_view::npos, star_i = 0;
  while (i < s.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star_p = p++;
      star_i = i;
      continue;
    }
    if (p < pattern.size()) {
      char want = pattern[p];
      std::size_t step = 1;
      bool any = want == '?';
      if (want == '~' && p + 1 < pattern.size()) {
        want = pattern[p + 1];
        step = 2;
        any = false;
      }
      if (any || text::lower_char(want) == text::lower_char(s[i])) {
        p += step;
        ++i;
        continue;
      }
    }
    if (star_p == std::string_view::npos) return false;
    p = star_p + 1;
    i = ++star_i;
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool equal_for_lookup(const Value& want, const Value& item) {
  if (rank(want) != rank(item) || rank(want) < 0) return false;
  if (want.is_text() && want.text().find_first_of("*?~") != std::string::npos) {
    return wildcard_match(want.text(), item.text());
  }
  return compare_values(want, item) == 0;
}

// Position (0-based) of want among n items read by at(i): exact (type 0),
// largest not above (type 1, items ascending) or smallest not below (type -1,
// items descending). -1 when there is none.
template <typename At>
std::int64_t lookup(const Value& want, std::int32_t n, int type, At at) {
  std::int64_t found = -1;
  for (std::int32_t i = 0; i < n; ++i) {
    const Value item = at(i);
    if (type == 0) {
      if (equal_for_lookup(want, item)) return i;
      continue;
    }
    if (rank(item) != rank(want)) continue;  // other types are passed over
    const int c = compare_values(item, want);
    if (type > 0 ? c <= 0 : c >= 0) {
      found = i;
      if (c == 0 && type > 0) continue;
    } else {
      break;  // sorted: nothing further can qualify
    }
  }
  return found;
}

}  // namespace

Value fn_index(const CallContext& ctx, std::span<const Value> args) {
  auto view = RangeView::of(args[0]);
  if (!view) view = RangeView::of(Value(Array{1, 1, {scalar(args[0], ctx)}}));
  if (view->gone()) return Value(ErrorCode::Ref);
  const auto row_arg = number_or(args, 1, 0, ctx);
  const auto col_arg = number_or(args, 2, 0, ctx);
  if (failed(row_arg)) return error_of(row_arg);
  if (failed(col_arg)) return error_of(col_arg);
  auto row = static_cast<std::int64_t>(std::trunc(std::get<double>(row_arg)));
  auto col = static_cast<std::int64_t>(std::trunc(std::get<double>(col_arg)));
  // A single row or column is indexed by its one position argument.
  if (missing(args, 2) && view->rows() == 1 && view->cols() > 1) std::swap(row, col);
  if (row < 0 || col < 0 || row > view->rows() || col > view->cols()) {
    return Value(ErrorCode::Ref);
  }
  const std::int32_t r0 = row == 0 ? 0 : static_cast<std::int32_t>(row - 1);
  const std::int32_t c0 = col == 0 ? 0 : static_cast<std::int32_t>(col - 1);
  const std::int32_t nr = row == 0 ? view->rows() : 1;
  const std::int32_t nc = col == 0 ? view->cols() : 1;
  return view->part(r0, c0, nr, nc);
}

Value fn_match(const CallContext& ctx, std::span<const Value> args) {
  const Value want = scalar(args[0], ctx);
  if (want.is_error()) return want;
  const auto type_arg = number_or(args, 2, 1, ctx);
  if (failed(type_arg)) return error_of(type_arg);
  const double t = std::get<double>(type_arg);
  const int type = t > 0 ? 1 : (t < 0 ? -1 : 0);
  const auto view = RangeView::of(args[1]);
  if (!view || (view->rows() > 1 && view->cols() > 1)) return Value(ErrorCode::NA);
  if (view->gone()) return Value(ErrorCode::Ref);
  std::int64_t pos;
  if (view->cols() == 1) {
    pos = lookup(want, view->used_rows(), type, [&](std::int32_t i) { return view->at(i, 0); });
  } else {
    pos = lookup(want, view->cols(), type, [&](std::int32_t i) { return view->at(0, i); });
  }
  return pos < 0 ? Value(ErrorCode::NA) : Value(static_cast<double>(pos + 1));
}

Value fn_vlookup(const CallContext& ctx, std::span<const Value> args) {
  const Value want = scalar(args[0], ctx);
  if (want.is_error()) return want;
  const auto view = RangeView::of(args[1]);
  if (!view) return Value(ErrorCode::NA);
  if (view->gone()) return Value(ErrorCode::Ref);
  const auto col_arg = number(args[2], ctx);
  if (failed(col_arg)) return error_of(col_arg);
  const double col = std::trunc(std::get<double>(col_arg));
  if (col < 1) return Value(ErrorCode::Value);
  if (col > view->cols()) return Value(ErrorCode::Ref);
  bool approximate = true;
  if (!missing(args, 3)) {
    const auto b = to_bool(scalar(args[3], ctx));
    if (const auto* e = std::get_if<ErrorCode>(&b)) return Value(*e);
    approximate = std::get<bool>(b);
  }
  const std::int64_t row = lookup(want, view->used_rows(), approximate ? 1 : 0,
                                  [&](std::int32_t i) { return view->at(i, 0); });
  if (row < 0) return Value(ErrorCode::NA);
  return view->at(static_cast<std::int32_t>(row), static_cast<std::int32_t>(col) - 1);
}

}  // namespace quillo::spreadsheet
