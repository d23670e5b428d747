// Logical, information, date and text functions.
#include <cmath>

#include "common/dates.h"
#include "common/text.h"
#include "spreadsheet/function_args.h"

namespace quillo::spreadsheet {

using namespace fn;

// ---- logical ----

namespace {

// AND and OR: in ranges booleans and numbers count, text is skipped; given
// directly, a text must read TRUE or FALSE. With nothing to judge: #VALUE!.
template <typename Combine>
Value logical(const CallContext& ctx, std::span<const Value> args, bool start, Combine combine) {
  bool acc = start, any = false;
  for (const Value& a : args) {
    if (a.type() == ValueType::Missing) continue;
    std::optional<ErrorCode> error;
    if (auto view = RangeView::of(a)) {
      view->for_each([&](const Value& v) {
        if (error) return;
        if (v.is_error()) {
          error = v.error();
        } else if (v.type() == ValueType::Bool || v.is_number()) {
          acc = combine(acc, std::get<bool>(to_bool(v)));
          any = true;
        }
      });
    } else {
      const auto b = to_bool(scalar(a, ctx));
      if (const auto* e = std::get_if<ErrorCode>(&b)) return Value(*e);
      acc = combine(acc, std::get<bool>(b));
      any = true;
    }
    if (error) return Value(*error);
  }
  return any ? Value(acc) : Value(ErrorCode::Value);
}

}  // namespace

Value fn_and(const CallContext& ctx, std::span<const Value> args) {
  return logical(ctx, args, true, [](bool a, bool b) { return a && b; });
}

Value fn_or(const CallContext& ctx, std::span<const Value> args) {
  return logical(ctx, args, false, [](bool a, bool b) { return a || b; });
}

Value fn_not(const CallContext& ctx, std::span<const Value> args) {
  const auto b = to_bool(scalar(args[0], ctx));
  if (const auto* e = std::get_if<ErrorCode>(&b)) return Value(*e);
  return Value(!std::get<bool>(b));
}

// ---- information ----

Value fn_isnumber(const CallContext& ctx, std::span<const Value> args) {
  return Value(scalar(args[0], ctx).is_number());
}
Value fn_istext(const CallContext& ctx, std::span<const Value> args) {
  return Value(scalar(args[0], ctx).is_text());
}
Value fn_isblank(const CallContext& ctx, std::span<const Value> args) {
  return Value(scalar(args[0], ctx).is_empty());
}
Value fn_iserror(const CallContext& ctx, std::span<const Value> args) {
  return Value(scalar(args[0], ctx).is_error());
}

// ---- dates ----

Value fn_today(const CallContext& ctx, std::span<const Value>) {
  return Value(Date{std::floor(ctx.now ? ctx.now() : 0.0)});
}

Value fn_now(const CallContext& ctx, std::span<const Value>) {
  return Value(Date{ctx.now ? ctx.now() : 0.0});
}

Value fn_date(const CallContext& ctx, std::span<const Value> args) {
  double part[3];
  for (int i = 0; i < 3; ++i) {
    const auto n = number(args[static_cast<std::size_t>(i)], ctx);
    if (failed(n)) return error_of(n);
    part[i] = std::trunc(std::get<double>(n));
    if (std::fabs(part[i]) > 1e7) return Value(ErrorCode::Num);
  }
  double year = part[0];
  if (year < 0 || year > 9999) return Value(ErrorCode::Num);
  if (year < 1900) year += 1900;  // two-digit and short years count from 1900
  const double serial =
      date_serial(static_cast<int>(year), static_cast<int>(part[1]), static_cast<int>(part[2]));
  if (serial < 0) return Value(ErrorCode::Num);
  return Value(Date{serial});
}

namespace {

template <typename Field>
Value date_part(const CallContext& ctx, std::span<const Value> args, Field field) {
  const auto n = number(args[0], ctx);
  if (failed(n)) return error_of(n);
  const double serial = std::get<double>(n);
  if (serial < 0 || serial > 2958465) return Value(ErrorCode::Num);  // up to 9999-12-31
  return Value(static_cast<double>(field(civil_from_serial(serial))));
}

}  // namespace

Value fn_year(const CallContext& ctx, std::span<const Value> args) {
  return date_part(ctx, args, [](const CivilDate& d) { return d.year; });
}
Value fn_month(const CallContext& ctx, std::span<const Value> args) {
  return date_part(ctx, args, [](const CivilDate& d) { return d.month; });
}
Value fn_day(const CallContext& ctx, std::span<const Value> args) {
  return date_part(ctx, args, [](const CivilDate& d) { return d.day; });
}

// ---- text ----

namespace {

// A character count argument: whole, not negative.
Arg<std::size_t> count_arg(std::span<const Value> args, std::size_t i, double fallback,
                           const CallContext& ctx) {
  const auto n = number_or(args, i, fallback, ctx);
  if (failed(n)) return std::get<Fail>(n);
  const double d = std::trunc(std::get<double>(n));
  if (d < 0) return Fail{ErrorCode::Value};
  return static_cast<std::size_t>(std::min(d, 1e9));
}

}  // namespace

Value fn_left(const CallContext& ctx, std::span<const Value> args) {
  const auto s = text(args[0], ctx);
  const auto n = count_arg(args, 1, 1, ctx);
  if (failed(s)) return error_of(s);
  if (failed(n)) return error_of(n);
  return Value(text::left_chars(std::get<std::string>(s), std::get<std::size_t>(n)));
}

Value fn_right(const CallContext& ctx, std::span<const Value> args) {
  const auto s = text(args[0], ctx);
  const auto n = count_arg(args, 1, 1, ctx);
  if (failed(s)) return error_of(s);
  if (failed(n)) return error_of(n);
  return Value(text::right_chars(std::get<std::string>(s), std::get<std::size_t>(n)));
}

Value fn_mid(const CallContext& ctx, std::span<const Value> args) {
  const auto s = text(args[0], ctx);
  const auto start = count_arg(args, 1, 1, ctx);
  const auto n = count_arg(args, 2, 0, ctx);
  if (failed(s)) return error_of(s);
  if (failed(start)) return error_of(start);
  if (failed(n)) return error_of(n);
  if (std::get<std::size_t>(start) < 1) return Value(ErrorCode::Value);
  return Value(text::mid_chars(std::get<std::string>(s), std::get<std::size_t>(start),
                               std::get<std::size_t>(n)));
}

Value fn_len(const CallContext& ctx, std::span<const Value> args) {
  const auto s = text(args[0], ctx);
  if (failed(s)) return error_of(s);
  return Value(static_cast<double>(text::char_count(std::get<std::string>(s))));
}

Value fn_upper(const CallContext& ctx, std::span<const Value> args) {
  const auto s = text(args[0], ctx);
  if (failed(s)) return error_of(s);
  return Value(text::upper(std::get<std::string>(s)));
}

Value fn_lower(const CallContext& ctx, std::span<const Value> args) {
  const auto s = text(args[0], ctx);
  if (failed(s)) return error_of(s);
  return Value(text::lower(std::get<std::string>(s)));
}

// Removes blanks at both ends and shortens inner runs of blanks to one.
Value fn_trim(const CallContext& ctx, std::span<const Value> args) {
  const auto s = text(args[0], ctx);
  if (failed(s)) return error_of(s);
  std::string out;
  for (char c : text::trim(std::get<std::string>(s))) {
    if (c == ' ' && !out.empty() && out.back() == ' ') continue;
    out += c;
  }
  return Value(std::move(out));
}

Value fn_concatenate(const CallContext& ctx, std::span<const Value> args) {
  std::string out;
  for (const Value& a : args) {
    const auto s = text(a, ctx);
    if (failed(s)) return error_of(s);
    out += std::get<std::string>(s);
  }
  return Value(std::move(out));
}

Value fn_value(const CallContext& ctx, std::span<const Value> args) {
  const Value v = scalar(args[0], ctx);
  if (v.is_error()) return v;
  if (v.is_number() || v.is_empty()) return Value(v.is_empty() ? 0.0 : v.number());
  if (!v.is_text()) return Value(ErrorCode::Value);
  const std::string_view t = text::trim(v.text());
  if (t.size() > 1 && t.back() == '%') {
    if (auto d = text::locale_number(t.substr(0, t.size() - 1))) return Value(*d / 100.0);
  }
  const auto n = to_number(Value(t));
  if (const auto* e = std::get_if<ErrorCode>(&n)) return Value(*e);
  return Value(std::get<double>(n));
}

}  // namespace quillo::spreadsheet
