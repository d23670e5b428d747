// Helpers the built-in functions share for reading their arguments.
// Internal to the spreadsheet library.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <variant>

#include "spreadsheet/coerce.h"
#include "spreadsheet/evaluator.h"
#include "spreadsheet/functions.h"
#include "spreadsheet/range_view.h"

namespace quillo::spreadsheet::fn {

// An argument failed: the error value to answer.
struct Fail {
  ErrorCode code;
};

template <typename T>
using Arg = std::variant<T, Fail>;

template <typename T>
bool failed(const Arg<T>& a) {
  return std::holds_alternative<Fail>(a);
}
template <typename T>
Value error_of(const Arg<T>& a) {
  return Value(std::get<Fail>(a).code);
}

inline bool missing(std::span<const Value> args, std::size_t i) {
  return i >= args.size() || args[i].type() == ValueType::Missing;
}

// One value for an argument that takes one: a range gives the cell in the
// caller's row or column, an array its first item.
inline Value scalar(const Value& v, const CallContext& ctx) {
  return intersect(v, ctx);
}

inline Arg<double> number(const Value& v, const CallContext& ctx) {
  const auto n = to_number(scalar(v, ctx));
  if (const auto* e = std::get_if<ErrorCode>(&n)) return Fail{*e};
  return std::get<double>(n);
}

inline Arg<double> number_or(std::span<const Value> args, std::size_t i, double fallback,
                             const CallContext& ctx) {
  if (missing(args, i)) return fallback;
  return number(args[i], ctx);
}

inline Arg<std::string> text(const Value& v, const CallContext& ctx) {
  const auto t = to_text(scalar(v, ctx));
  if (const auto* e = std::get_if<ErrorCode>(&t)) return Fail{*e};
  return std::get<std::string>(t);
}

// Calls fn(double) for the numbers of the arguments the way SUM counts them:
// in ranges and arrays only numbers count; given directly, booleans and
// numeric text count too and other text is #VALUE!. Errors stop the walk.
template <typename Fn>
std::optional<ErrorCode> for_each_number(std::span<const Value> args, const CallContext& ctx,
                                         Fn&& fn) {
  std::optional<ErrorCode> error;
  for (const Value& a : args) {
    if (a.type() == ValueType::Missing) continue;
    if (auto view = RangeView::of(a)) {
      view->for_each([&](const Value& v) {
        if (error) return;
        if (v.is_error())
          error = v.error();
        else if (v.is_number())
          fn(v.number());
      });
    } else {
      const auto n = to_number(scalar(a, ctx));
      if (const auto* e = std::get_if<ErrorCode>(&n)) return *e;
      fn(std::get<double>(n));
    }
    if (error) return error;
  }
  return std::nullopt;
}

// The year of the call's clock: the year of dates written without one
// ("3/14"). Defined with the date functions.
int current_year(const CallContext& ctx);

}  // namespace quillo::spreadsheet::fn
