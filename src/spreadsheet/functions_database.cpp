// The database functions: DSUM, DAVERAGE, DCOUNT, DCOUNTA, DGET, DMAX,
// DMIN, DPRODUCT, DSTDEV, DSTDEVP, DVAR and DVARP(database, field,
// criteria). The database is a range whose first row names its columns;
// field names one (by its heading, ignoring case, or by its 1-based number).
// The criteria range's first row names columns too; a record counts when it
// meets every condition of some row below (an empty condition is met by
// all). A condition is read as COUNTIF reads one (criteria.h), except that a
// text without an operator matches the texts beginning with it, as Excel
// does.
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "common/text.h"
#include "spreadsheet/criteria.h"
#include "spreadsheet/function_args.h"

namespace quillo::spreadsheet {

using namespace fn;

namespace {

// The column of view whose heading is the text (or whose number is the
// number) given; nullopt when there is none.
std::optional<std::int32_t> column_of(const RangeView& db, const Value& field) {
  if (field.is_number()) {
    const double c = std::trunc(field.number());
    if (c < 1 || c > db.cols()) return std::nullopt;
    return static_cast<std::int32_t>(c) - 1;
  }
  if (!field.is_text()) return std::nullopt;
  for (std::int32_t c = 0; c < db.cols(); ++c) {
    const Value heading = db.at(0, c);
    const auto t = to_text(heading);
    if (const auto* s = std::get_if<std::string>(&t); s && text::iequals(*s, field.text()))
      return c;
  }
  return std::nullopt;
}

Criterion condition(const Value& v) {
  if (v.is_text() && !v.text().empty()) {
    const char first = v.text().front();
    if (first != '<' && first != '>' && first != '=') return Criterion(Value(v.text() + "*"));
  }
  return Criterion(v);
}

struct FieldCondition {
  std::int32_t column;
  Criterion criterion;
};

// The values of the field in the records that meet the criteria, or the
// error to answer. Without a field (DCOUNT, DCOUNTA), each record counts:
// it stands as the number 0.
std::variant<std::vector<Value>, ErrorCode> selected(const CallContext& ctx,
                                                     std::span<const Value> args,
                                                     bool field_optional) {
  const auto db = RangeView::of(args[0]);
  const auto crit = RangeView::of(args[2]);
  if (!db || !crit || !db->is_range() || !crit->is_range()) return ErrorCode::Value;
  if (db->gone() || crit->gone()) return ErrorCode::Ref;
  std::optional<std::int32_t> field;
  if (missing(args, 1) || args[1].is_empty()) {
    if (!field_optional) return ErrorCode::Value;
  } else {
    const Value f = scalar(args[1], ctx);
    if (f.is_error()) return f.error();
    field = column_of(*db, f);
    if (!field) return ErrorCode::Value;
  }
  // Each criteria row as its conditions; a heading the database lacks
  // makes its conditions unmeetable.
  std::vector<std::optional<std::int32_t>> columns;
  for (std::int32_t c = 0; c < crit->cols(); ++c) columns.push_back(column_of(*db, crit->at(0, c)));
  std::vector<std::vector<FieldCondition>> rows;
  std::vector<bool> impossible;
  for (std::int32_t r = 1; r < crit->rows(); ++r) {
    std::vector<FieldCondition> row;
    bool never = false;
    for (std::int32_t c = 0; c < crit->cols(); ++c) {
      const Value v = crit->at(r, c);
      if (v.is_empty()) continue;
      if (!columns[static_cast<std::size_t>(c)]) {
        never = true;
        continue;
      }
      row.push_back({*columns[static_cast<std::size_t>(c)], condition(v)});
    }
    rows.push_back(std::move(row));
    impossible.push_back(never);
  }
  if (rows.empty()) return ErrorCode::Value;
  std::vector<Value> out;
  const std::int32_t last = std::min(db->rows(), db->used_rows());
  for (std::int32_t r = 1; r < last; ++r) {
    bool meets = false;
    for (std::size_t i = 0; i < rows.size() && !meets; ++i) {
      if (impossible[i]) continue;
      meets = true;
      for (const FieldCondition& c : rows[i]) {
        if (!c.criterion.matches(db->at(r, c.column))) {
          meets = false;
          break;
        }
      }
    }
    if (meets) out.push_back(field ? db->at(r, *field) : Value(0.0));
  }
  return out;
}

template <typename F>
Value over_numbers(const CallContext& ctx, std::span<const Value> args, F f) {
  const auto values = selected(ctx, args, false);
  if (const auto* e = std::get_if<ErrorCode>(&values)) return Value(*e);
  std::vector<double> xs;
  for (const Value& v : std::get<std::vector<Value>>(values)) {
    if (v.is_error()) return v;
    if (v.is_number()) xs.push_back(v.number());
  }
  const Value out = f(xs);
  return out.is_number() ? number_result(out.number()) : out;
}

Value variance(const std::vector<double>& xs, bool sample, bool root) {
  const double n = static_cast<double>(xs.size());
  if (n < (sample ? 2 : 1)) return Value(ErrorCode::Div0);
  double mean = 0, m2 = 0;
  for (double x : xs) mean += x;
  mean /= n;
  for (double x : xs) m2 += (x - mean) * (x - mean);
  const double v = m2 / (n - (sample ? 1 : 0));
  return Value(root ? std::sqrt(v) : v);
}

}  // namespace

Value fn_dsum(const CallContext& ctx, std::span<const Value> args) {
  return over_numbers(ctx, args, [](const std::vector<double>& xs) {
    double s = 0;
    for (double x : xs) s += x;
    return Value(s);
  });
}

Value fn_daverage(const CallContext& ctx, std::span<const Value> args) {
  return over_numbers(ctx, args, [](const std::vector<double>& xs) {
    if (xs.empty()) return Value(ErrorCode::Div0);
    double s = 0;
    for (double x : xs) s += x;
    return Value(s / static_cast<double>(xs.size()));
  });
}

Value fn_dmax(const CallContext& ctx, std::span<const Value> args) {
  return over_numbers(ctx, args, [](const std::vector<double>& xs) {
    double best = xs.empty() ? 0 : -std::numeric_limits<double>::infinity();
    for (double x : xs) best = std::max(best, x);
    return Value(best);
  });
}

Value fn_dmin(const CallContext& ctx, std::span<const Value> args) {
  return over_numbers(ctx, args, [](const std::vector<double>& xs) {
    double best = xs.empty() ? 0 : std::numeric_limits<double>::infinity();
    for (double x : xs) best = std::min(best, x);
    return Value(best);
  });
}

Value fn_dproduct(const CallContext& ctx, std::span<const Value> args) {
  return over_numbers(ctx, args, [](const std::vector<double>& xs) {
    if (xs.empty()) return Value(0.0);
    double p = 1;
    for (double x : xs) p *= x;
    return Value(p);
  });
}

Value fn_dstdev(const CallContext& ctx, std::span<const Value> args) {
  return over_numbers(ctx, args, [](const auto& xs) { return variance(xs, true, true); });
}

Value fn_dstdevp(const CallContext& ctx, std::span<const Value> args) {
  return over_numbers(ctx, args, [](const auto& xs) { return variance(xs, false, true); });
}

Value fn_dvar(const CallContext& ctx, std::span<const Value> args) {
  return over_numbers(ctx, args, [](const auto& xs) { return variance(xs, true, false); });
}

Value fn_dvarp(const CallContext& ctx, std::span<const Value> args) {
  return over_numbers(ctx, args, [](const auto& xs) { return variance(xs, false, false); });
}

// DCOUNT: the numbers of the field among the records; without a field,
// the records.
Value fn_dcount(const CallContext& ctx, std::span<const Value> args) {
  const auto values = selected(ctx, args, true);
  if (const auto* e = std::get_if<ErrorCode>(&values)) return Value(*e);
  double n = 0;
  for (const Value& v : std::get<std::vector<Value>>(values)) n += v.is_number() ? 1 : 0;
  return Value(n);
}

Value fn_dcounta(const CallContext& ctx, std::span<const Value> args) {
  const auto values = selected(ctx, args, true);
  if (const auto* e = std::get_if<ErrorCode>(&values)) return Value(*e);
  double n = 0;
  for (const Value& v : std::get<std::vector<Value>>(values)) n += v.is_empty() ? 0 : 1;
  return Value(n);
}

// DGET: the field of the one record that meets the criteria; #VALUE! when
// none does, #NUM! when more than one does.
Value fn_dget(const CallContext& ctx, std::span<const Value> args) {
  const auto values = selected(ctx, args, false);
  if (const auto* e = std::get_if<ErrorCode>(&values)) return Value(*e);
  const auto& vs = std::get<std::vector<Value>>(values);
  if (vs.empty()) return Value(ErrorCode::Value);
  if (vs.size() > 1) return Value(ErrorCode::Num);
  return vs.front();
}

}  // namespace quillo::spreadsheet
