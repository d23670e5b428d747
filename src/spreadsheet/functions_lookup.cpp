// Lookup functions: VLOOKUP, HLOOKUP, MATCH, XMATCH, XLOOKUP, LOOKUP.
//
// Values match within their own kind (numbers, texts, booleans); texts
// ignore letter case. Exact matches in VLOOKUP, HLOOKUP and MATCH read
// "*", "?" and "~" in the wanted text as wildcards; XMATCH and XLOOKUP only
// in their wildcard mode (2). Approximate matches expect the items sorted
// and stop at the first one past the wanted value.
#include <cmath>
#include <optional>

#include "common/text.h"
#include "spreadsheet/criteria.h"
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

bool equal_for_lookup(const Value& want, const Value& item, bool wildcards) {
  if (rank(want) != rank(item) || rank(want) < 0) return false;
  if (wildcards && want.is_text() && has_wildcards(want.text())) {
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
      if (equal_for_lookup(want, item, true)) return i;
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

// An exact lookup down column col of a range, through the sheet's index of
// that column when there is one (lookup_cache.h); nullopt when the cells
// must be read. wildcards: whether the wanted text may hold wildcards.
std::optional<std::int64_t> indexed_exact(const Value& want, const RangeView& view,
                                          std::int32_t col, bool wildcards) {
  if (wildcards && want.is_text() && has_wildcards(want.text())) return std::nullopt;
  const auto index = view.column_index(col);
  if (!index) return std::nullopt;
  return index->find(want);
}

// A one-row or one-column range or array: its length and its i-th item.
struct Vector {
  RangeView view;
  bool across = false;  // a row
  std::int32_t length() const { return across ? view.cols() : view.used_rows(); }
  std::int32_t full_length() const { return across ? view.cols() : view.rows(); }
  Value at(std::int32_t i) const { return across ? view.at(0, i) : view.at(i, 0); }
};

Arg<Vector> vector_arg(const Value& v, const CallContext& ctx) {
  auto view = RangeView::of(v);
  if (!view) {
    Value one = scalar(v, ctx);
    if (one.is_error()) return Fail{one.error()};  // an unknown name: #NAME?, not "not found"
    view = RangeView::of(Value(Array{1, 1, {std::move(one)}}));
  }
  if (view->gone()) return Fail{ErrorCode::Ref};
  if (view->rows() > 1 && view->cols() > 1) return Fail{ErrorCode::NA};
  return Vector{*view, view->rows() == 1 && view->cols() > 1};
}

Arg<Value> wanted(const Value& v, const CallContext& ctx) {
  Value want = scalar(v, ctx);
  if (want.is_error()) return Fail{want.error()};
  if (want.is_empty()) want = Value(0.0);
  return want;
}

// VLOOKUP and HLOOKUP: the table searched down its first column (across its
// first row) and the item at the given row (column) of the match.
Value table_lookup(const CallContext& ctx, std::span<const Value> args, bool across) {
  const auto want0 = wanted(args[0], ctx);
  if (failed(want0)) return error_of(want0);
  const Value& want = std::get<Value>(want0);
  const auto view = RangeView::of(args[1]);
  if (!view) return Value(args[1].is_error() ? args[1].error() : ErrorCode::NA);
  if (view->gone()) return Value(ErrorCode::Ref);
  const auto index_arg = number(args[2], ctx);
  if (failed(index_arg)) return error_of(index_arg);
  const double index = std::trunc(std::get<double>(index_arg));
  if (index < 1) return Value(ErrorCode::Value);
  if (index > (across ? view->rows() : view->cols())) return Value(ErrorCode::Ref);
  bool approximate = true;
  if (!missing(args, 3)) {
    const auto b = to_bool(scalar(args[3], ctx));
    if (const auto* e = std::get_if<ErrorCode>(&b)) return Value(*e);
    approximate = std::get<bool>(b);
  }
  const auto other = static_cast<std::int32_t>(index) - 1;
  if (across) {
    const std::int64_t col = lookup(want, view->cols(), approximate ? 1 : 0,
                                    [&](std::int32_t i) { return view->at(0, i); });
    if (col < 0) return Value(ErrorCode::NA);
    return view->at(other, static_cast<std::int32_t>(col));
  }
  const auto indexed = approximate ? std::nullopt : indexed_exact(want, *view, 0, true);
  const std::int64_t row = indexed ? *indexed
                                   : lookup(want, view->used_rows(), approximate ? 1 : 0,
                                            [&](std::int32_t i) { return view->at(i, 0); });
  if (row < 0) return Value(ErrorCode::NA);
  return view->at(static_cast<std::int32_t>(row), other);
}

// XMATCH and XLOOKUP: match modes 0 exact, -1 exact or next smaller, 1 exact
// or next larger, 2 wildcards; search modes 1 first to last, -1 last to
// first, 2 binary over ascending items, -2 binary over descending items.
std::int64_t xmatch(const Value& want, const Vector& vec, int match, int search) {
  if (match == 0 && search == 1 && !vec.across) {
    if (const auto indexed = indexed_exact(want, vec.view, 0, false)) return *indexed;
  }
  const std::int32_t n = vec.length();
  if (search == 2 || search == -2) {
    const bool ascending = search == 2;
    std::int64_t lo = 0, hi = static_cast<std::int64_t>(n) - 1;
    while (lo <= hi) {
      const std::int64_t mid = lo + (hi - lo) / 2;
      const Value item = vec.at(static_cast<std::int32_t>(mid));
      const int c = compare_values(item, want);
      if (c == 0 && rank(item) == rank(want)) return mid;
      if ((c < 0) == ascending) {
        lo = mid + 1;
      } else {
        hi = mid - 1;
      }
    }
    // lo is where want would go: hi holds the item before it.
    const std::int64_t smaller = ascending ? hi : lo, larger = ascending ? lo : hi;
    const std::int64_t pick = match == -1 ? smaller : match == 1 ? larger : -1;
    if (pick < 0 || pick >= n) return -1;
    return rank(vec.at(static_cast<std::int32_t>(pick))) == rank(want) ? pick : -1;
  }
  std::int64_t best = -1;
  Value best_item;
  for (std::int32_t k = 0; k < n; ++k) {
    const std::int32_t i = search < 0 ? n - 1 - k : k;
    const Value item = vec.at(i);
    if (equal_for_lookup(want, item, match == 2)) return i;
    if (match != 1 && match != -1) continue;
    if (rank(item) != rank(want)) continue;
    const int c = compare_values(item, want);
    if (match == -1 && c < 0 && (best < 0 || compare_values(item, best_item) > 0)) {
      best = i;
      best_item = item;
    }
    if (match == 1 && c > 0 && (best < 0 || compare_values(item, best_item) < 0)) {
      best = i;
      best_item = item;
    }
  }
  return best;
}

Arg<std::pair<int, int>> x_modes(std::span<const Value> args, std::size_t i,
                                 const CallContext& ctx) {
  const auto m = number_or(args, i, 0, ctx);
  const auto s = number_or(args, i + 1, 1, ctx);
  if (failed(m)) return std::get<Fail>(m);
  if (failed(s)) return std::get<Fail>(s);
  const double match = std::trunc(std::get<double>(m)), search = std::trunc(std::get<double>(s));
  if (match < -1 || match > 2) return Fail{ErrorCode::Value};
  if (search != 1 && search != -1 && search != 2 && search != -2) return Fail{ErrorCode::Value};
  return std::pair{static_cast<int>(match), static_cast<int>(search)};
}

}  // namespace

Value fn_vlookup(const CallContext& ctx, std::span<const Value> args) {
  return table_lookup(ctx, args, false);
}

Value fn_hlookup(const CallContext& ctx, std::span<const Value> args) {
  return table_lookup(ctx, args, true);
}

Value fn_match(const CallContext& ctx, std::span<const Value> args) {
  const auto want0 = wanted(args[0], ctx);
  if (failed(want0)) return error_of(want0);
  const auto type_arg = number_or(args, 2, 1, ctx);
  if (failed(type_arg)) return error_of(type_arg);
  const double t = std::get<double>(type_arg);
  const int type = t > 0 ? 1 : (t < 0 ? -1 : 0);
  const auto vec = vector_arg(args[1], ctx);
  if (failed(vec)) return error_of(vec);
  const Vector& v = std::get<Vector>(vec);
  const auto indexed = type == 0 && !v.across
                           ? indexed_exact(std::get<Value>(want0), v.view, 0, true)
                           : std::nullopt;
  const std::int64_t pos = indexed ? *indexed
                                   : lookup(std::get<Value>(want0), v.length(), type,
                                            [&](std::int32_t i) { return v.at(i); });
  return pos < 0 ? Value(ErrorCode::NA) : Value(static_cast<double>(pos + 1));
}

Value fn_xmatch(const CallContext& ctx, std::span<const Value> args) {
  const auto want0 = wanted(args[0], ctx);
  if (failed(want0)) return error_of(want0);
  const auto vec = vector_arg(args[1], ctx);
  if (failed(vec)) return error_of(vec);
  const auto modes = x_modes(args, 2, ctx);
  if (failed(modes)) return error_of(modes);
  const auto [match, search] = std::get<std::pair<int, int>>(modes);
  const std::int64_t pos = xmatch(std::get<Value>(want0), std::get<Vector>(vec), match, search);
  return pos < 0 ? Value(ErrorCode::NA) : Value(static_cast<double>(pos + 1));
}

// XLOOKUP(value, lookup, results, [if_not_found], [match], [search]): the
// row (or column) of results where value was found in lookup.
Value fn_xlookup(const CallContext& ctx, std::span<const Value> args) {
  const auto want0 = wanted(args[0], ctx);
  if (failed(want0)) return error_of(want0);
  const auto vec = vector_arg(args[1], ctx);
  if (failed(vec)) return error_of(vec);
  const Vector& v = std::get<Vector>(vec);
  auto results = RangeView::of(args[2]);
  if (!results) {
    if (args[2].is_error()) return args[2];
    results = RangeView::of(Value(Array{1, 1, {scalar(args[2], ctx)}}));
  }
  if (results->gone()) return Value(ErrorCode::Ref);
  if ((v.across ? results->cols() : results->rows()) != v.full_length()) {
    return Value(ErrorCode::Value);
  }
  const auto modes = x_modes(args, 4, ctx);
  if (failed(modes)) return error_of(modes);
  const auto [match, search] = std::get<std::pair<int, int>>(modes);
  const std::int64_t pos = xmatch(std::get<Value>(want0), v, match, search);
  // An empty if_not_found (XLOOKUP(x,r,s,,2)) is no answer given, as in Excel.
  if (pos < 0) return missing(args, 3) || args[3].is_empty() ? Value(ErrorCode::NA) : args[3];
  const auto p = static_cast<std::int32_t>(pos);
  return v.across ? results->part(0, p, results->rows(), 1)
                  : results->part(p, 0, 1, results->cols());
}

// LOOKUP(value, lookup, [results]): the largest item not above value (items
// ascending); the result at its position in results, or in lookup itself.
// A table given alone is searched along its longer side and answers from
// its last row or column.
Value fn_lookup(const CallContext& ctx, std::span<const Value> args) {
  const auto want0 = wanted(args[0], ctx);
  if (failed(want0)) return error_of(want0);
  auto table = RangeView::of(args[1]);
  if (!table) {
    if (args[1].is_error()) return args[1];
    table = RangeView::of(Value(Array{1, 1, {scalar(args[1], ctx)}}));
  }
  if (table->gone()) return Value(ErrorCode::Ref);
  const bool across = table->cols() > table->rows();
  const std::int32_t n = across ? table->cols() : table->used_rows();
  const std::int64_t pos = lookup(std::get<Value>(want0), n, 1, [&](std::int32_t i) {
    return across ? table->at(0, i) : table->at(i, 0);
  });
  if (pos < 0) return Value(ErrorCode::NA);
  const auto p = static_cast<std::int32_t>(pos);
  if (missing(args, 2)) {
    return across ? table->at(table->rows() - 1, p) : table->at(p, table->cols() - 1);
  }
  auto results = RangeView::of(args[2]);
  if (!results) return Value(args[2].is_error() ? args[2].error() : ErrorCode::NA);
  if (results->gone()) return Value(ErrorCode::Ref);
  if (results->rows() == 1 && results->cols() > 1) return results->at(0, p);
  return results->at(p, 0);
}

}  // namespace quillo::spreadsheet
