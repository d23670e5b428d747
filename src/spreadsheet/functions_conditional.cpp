// Aggregates over the cells that meet criteria: COUNTIF, COUNTIFS, SUMIF,
// SUMIFS, AVERAGEIF, AVERAGEIFS, MAXIFS, MINIFS. The criteria are read by
// Criterion (criteria.h). Ranges are read row by row only as far down as
// any of them holds something; the empty rows below are counted at once.
#include <algorithm>
#include <limits>
#include <vector>

#include "spreadsheet/criteria.h"
#include "spreadsheet/function_args.h"

namespace quillo::spreadsheet {

using namespace fn;

namespace {

struct Condition {
  RangeView view;
  Criterion criterion;
};

// An error given where a range belongs (an unknown name's #NAME?, a lost
// sheet's #REF!): the function's answer.
std::optional<ErrorCode> range_error(const Value& v) {
  if (v.is_error()) return v.error();
  return std::nullopt;
}

// A range argument of the *IF functions; nullopt when it is no range or
// array (a single value counts as a one-cell array).
std::optional<RangeView> range_arg(const Value& v) {
  if (auto view = RangeView::of(v)) return view;
  if (v.type() == ValueType::Missing) return std::nullopt;
  return RangeView::of(Value(Array{1, 1, {v}}));
}

// Where the cells meeting every condition are: visit(r, c) for each such
// cell among the rows worth scanning, and the number of matching cells in
// the empty rows below them.
struct Scan {
  std::int32_t rows = 0, cols = 0;
  std::vector<Condition> conditions;
  std::vector<const RangeView*> others;  // ranges read at the same places

  template <typename Visit>
  double run(Visit&& visit) const {
    std::int32_t used = 0;
    for (const Condition& c : conditions) used = std::max(used, c.view.used_rows());
    for (const RangeView* v : others) used = std::max(used, v->used_rows());
    used = std::min(used, rows);
    for (std::int32_t r = 0; r < used; ++r) {
      for (std::int32_t c = 0; c < cols; ++c) {
        const bool all = std::all_of(conditions.begin(), conditions.end(), [&](const Condition& k) {
          return k.criterion.matches(k.view.at(r, c));
        });
        if (all) visit(r, c);
      }
    }
    const bool empty_matches =
        std::all_of(conditions.begin(), conditions.end(),
                    [](const Condition& k) { return k.criterion.matches(Value()); });
    return empty_matches ? static_cast<double>(rows - used) * cols : 0.0;
  }
};

// Reads the (range, criterion) pairs from args[first...] into scan. All
// ranges must have the shape of the first (#VALUE! otherwise).
std::optional<ErrorCode> read_conditions(const CallContext& ctx, std::span<const Value> args,
                                         std::size_t first, Scan& scan) {
  if ((args.size() - first) % 2 != 0 || args.size() <= first) return ErrorCode::Value;
  for (std::size_t i = first; i + 1 < args.size(); i += 2) {
    if (auto e = range_error(args[i])) return e;
    auto view = range_arg(args[i]);
    if (!view) return ErrorCode::Value;
    if (view->gone()) return ErrorCode::Ref;
    if (scan.conditions.empty() && scan.rows == 0) {
      scan.rows = view->rows();
      scan.cols = view->cols();
    }
    if (view->rows() != scan.rows || view->cols() != scan.cols) return ErrorCode::Value;
    scan.conditions.push_back({*view, Criterion(scalar(args[i + 1], ctx))});
  }
  return std::nullopt;
}

// What the summing functions gather from the cells of the value range at
// the matching places: numbers only; an error there is the answer.
struct Gathered {
  double sum = 0, count = 0;
  double max = -std::numeric_limits<double>::infinity();
  double min = std::numeric_limits<double>::infinity();
  std::optional<ErrorCode> error;
};

Gathered gather(const Scan& scan, const RangeView& values) {
  Gathered g;
  scan.run([&](std::int32_t r, std::int32_t c) {
    if (g.error) return;
    const Value v = values.at(r, c);
    if (v.is_error()) {
      g.error = v.error();
    } else if (v.is_number()) {
      g.sum += v.number();
      g.count += 1;
      g.max = std::max(g.max, v.number());
      g.min = std::min(g.min, v.number());
    }
  });
  return g;
}

enum class Aggregate { Sum, Average, Max, Min };

Value answer(const Gathered& g, Aggregate what) {
  if (g.error) return Value(*g.error);
  switch (what) {
    case Aggregate::Sum:
      return number_result(g.sum);
    case Aggregate::Average:
      return g.count == 0 ? Value(ErrorCode::Div0) : number_result(g.sum / g.count);
    case Aggregate::Max:
      return Value(g.count == 0 ? 0.0 : g.max);
    case Aggregate::Min:
      return Value(g.count == 0 ? 0.0 : g.min);
  }
  return Value(ErrorCode::Value);
}

// SUMIF(range, criterion, [values]) and AVERAGEIF: the values range is read
// from its first cell with the shape of range, whatever its own size.
Value single_condition(const CallContext& ctx, std::span<const Value> args, Aggregate what) {
  Scan scan;
  if (auto e = read_conditions(ctx, args.first(2), 0, scan)) return Value(*e);
  std::optional<RangeView> values;
  if (missing(args, 2)) {
    values = scan.conditions.front().view;
  } else {
    if (auto e = range_error(args[2])) return Value(*e);
    const auto given = range_arg(args[2]);
    if (!given) return Value(ErrorCode::Value);
    if (given->gone()) return Value(ErrorCode::Ref);
    Value part = given->part(0, 0, scan.rows, scan.cols);
    values = range_arg(part);
  }
  scan.others.push_back(&*values);
  return answer(gather(scan, *values), what);
}

// SUMIFS(values, range1, criterion1, ...) and the other *IFS forms.
Value many_conditions(const CallContext& ctx, std::span<const Value> args, Aggregate what) {
  if (auto e = range_error(args[0])) return Value(*e);
  const auto values = range_arg(args[0]);
  if (!values) return Value(ErrorCode::Value);
  if (values->gone()) return Value(ErrorCode::Ref);
  Scan scan;
  scan.rows = values->rows();
  scan.cols = values->cols();
  if (auto e = read_conditions(ctx, args, 1, scan)) return Value(*e);
  scan.others.push_back(&*values);
  return answer(gather(scan, *values), what);
}

// A criterion given as an array (COUNTIF(A:A,{"a","b"})) asks for one
// answer per item: the answers come back as an array of the same shape.
// first and step say where the criteria stand among the arguments.
template <typename F>
std::optional<Value> per_criterion(const CallContext& ctx, std::span<const Value> args,
                                   std::size_t first, std::size_t step, F self) {
  for (std::size_t i = first; i < args.size(); i += step) {
    if (!args[i].is_array()) continue;
    Array out = args[i].array();
    std::vector<Value> one(args.begin(), args.end());
    for (Value& item : out.items) {
      one[i] = item;
      item = intersect(self(ctx, one), ctx);
    }
    return Value(std::move(out));
  }
  return std::nullopt;
}

}  // namespace

Value fn_countif(const CallContext& ctx, std::span<const Value> args) {
  if (auto v = per_criterion(ctx, args, 1, 2, fn_countif)) return *v;
  Scan scan;
  if (auto e = read_conditions(ctx, args, 0, scan)) return Value(*e);
  double count = 0;
  const double below = scan.run([&](std::int32_t, std::int32_t) { ++count; });
  return Value(count + below);
}

Value fn_sumif(const CallContext& ctx, std::span<const Value> args) {
  if (auto v = per_criterion(ctx, args, 1, 100, fn_sumif)) return *v;
  return single_condition(ctx, args, Aggregate::Sum);
}

Value fn_averageif(const CallContext& ctx, std::span<const Value> args) {
  if (auto v = per_criterion(ctx, args, 1, 100, fn_averageif)) return *v;
  return single_condition(ctx, args, Aggregate::Average);
}

Value fn_sumifs(const CallContext& ctx, std::span<const Value> args) {
  if (auto v = per_criterion(ctx, args, 2, 2, fn_sumifs)) return *v;
  return many_conditions(ctx, args, Aggregate::Sum);
}

Value fn_averageifs(const CallContext& ctx, std::span<const Value> args) {
  if (auto v = per_criterion(ctx, args, 2, 2, fn_averageifs)) return *v;
  return many_conditions(ctx, args, Aggregate::Average);
}

Value fn_maxifs(const CallContext& ctx, std::span<const Value> args) {
  if (auto v = per_criterion(ctx, args, 2, 2, fn_maxifs)) return *v;
  return many_conditions(ctx, args, Aggregate::Max);
}

Value fn_minifs(const CallContext& ctx, std::span<const Value> args) {
  if (auto v = per_criterion(ctx, args, 2, 2, fn_minifs)) return *v;
  return many_conditions(ctx, args, Aggregate::Min);
}

}  // namespace quillo::spreadsheet
