// The table of built-in functions. Adding a function is one line here and
// its implementation in the functions_*.cpp file of its kind.
#include "spreadsheet/functions.h"

#include <algorithm>
#include <array>

#include "common/text.h"

namespace quillo::spreadsheet {

Value fn_count(const CallContext&, std::span<const Value>);
Value fn_counta(const CallContext&, std::span<const Value>);
Value fn_round(const CallContext&, std::span<const Value>);
Value fn_int(const CallContext&, std::span<const Value>);
Value fn_mod(const CallContext&, std::span<const Value>);
Value fn_abs(const CallContext&, std::span<const Value>);
Value fn_sqrt(const CallContext&, std::span<const Value>);
Value fn_ln(const CallContext&, std::span<const Value>);
Value fn_exp(const CallContext&, std::span<const Value>);
Value fn_power(const CallContext&, std::span<const Value>);
Value fn_and(const CallContext&, std::span<const Value>);
Value fn_or(const CallContext&, std::span<const Value>);
Value fn_not(const CallContext&, std::span<const Value>);
Value fn_isnumber(const CallContext&, std::span<const Value>);
Value fn_istext(const CallContext&, std::span<const Value>);
Value fn_isblank(const CallContext&, std::span<const Value>);
Value fn_iserror(const CallContext&, std::span<const Value>);
Value fn_today(const CallContext&, std::span<const Value>);
Value fn_now(const CallContext&, std::span<const Value>);
Value fn_date(const CallContext&, std::span<const Value>);
Value fn_year(const CallContext&, std::span<const Value>);
Value fn_month(const CallContext&, std::span<const Value>);
Value fn_day(const CallContext&, std::span<const Value>);
Value fn_left(const CallContext&, std::span<const Value>);
Value fn_right(const CallContext&, std::span<const Value>);
Value fn_mid(const CallContext&, std::span<const Value>);
Value fn_len(const CallContext&, std::span<const Value>);
Value fn_upper(const CallContext&, std::span<const Value>);
Value fn_lower(const CallContext&, std::span<const Value>);
Value fn_trim(const CallContext&, std::span<const Value>);
Value fn_concatenate(const CallContext&, std::span<const Value>);
Value fn_value(const CallContext&, std::span<const Value>);
Value fn_index(const CallContext&, std::span<const Value>);
Value fn_match(const CallContext&, std::span<const Value>);
Value fn_vlookup(const CallContext&, std::span<const Value>);

namespace {

constexpr std::int16_t V = kVarArgs;

// Sorted by name for the binary search below.
constexpr std::array kFunctions = {
    FunctionDef{"ABS", 1, 1, fn_abs},
    FunctionDef{"AND", 1, V, fn_and},
    FunctionDef{"AVERAGE", 1, V, fn_average},
    FunctionDef{"CONCATENATE", 1, V, fn_concatenate},
    FunctionDef{"COUNT", 1, V, fn_count},
    FunctionDef{"COUNTA", 1, V, fn_counta},
    FunctionDef{"DATE", 3, 3, fn_date},
    FunctionDef{"DAY", 1, 1, fn_day},
    FunctionDef{"EXP", 1, 1, fn_exp},
    FunctionDef{"IF", 2, 3, nullptr, ArgMode::Lazy},
    FunctionDef{"IFERROR", 2, 2, nullptr, ArgMode::Lazy},
    FunctionDef{"INDEX", 2, 3, fn_index},
    FunctionDef{"INT", 1, 1, fn_int},
    FunctionDef{"ISBLANK", 1, 1, fn_isblank},
    FunctionDef{"ISERROR", 1, 1, fn_iserror},
    FunctionDef{"ISNUMBER", 1, 1, fn_isnumber},
    FunctionDef{"ISTEXT", 1, 1, fn_istext},
    FunctionDef{"LEFT", 1, 2, fn_left},
    FunctionDef{"LEN", 1, 1, fn_len},
    FunctionDef{"LN", 1, 1, fn_ln},
    FunctionDef{"LOWER", 1, 1, fn_lower},
    FunctionDef{"MATCH", 2, 3, fn_match},
    FunctionDef{"MAX", 1, V, fn_max},
    FunctionDef{"MID", 3, 3, fn_mid},
    FunctionDef{"MIN", 1, V, fn_min},
    FunctionDef{"MOD", 2, 2, fn_mod},
    FunctionDef{"MONTH", 1, 1, fn_month},
    FunctionDef{"NOT", 1, 1, fn_not},
    FunctionDef{"NOW", 0, 0, fn_now, ArgMode::Values, true},
    FunctionDef{"OR", 1, V, fn_or},
    FunctionDef{"POWER", 2, 2, fn_power},
    FunctionDef{"RIGHT", 1, 2, fn_right},
    FunctionDef{"ROUND", 2, 2, fn_round},
    FunctionDef{"SLOPE", 2, 2, fn_slope},
    FunctionDef{"SQRT", 1, 1, fn_sqrt},
    FunctionDef{"SUM", 1, V, fn_sum},
    FunctionDef{"SUMPRODUCT", 1, V, fn_sumproduct, ArgMode::Arrays},
    FunctionDef{"TODAY", 0, 0, fn_today, ArgMode::Values, true},
    FunctionDef{"TRIM", 1, 1, fn_trim},
    FunctionDef{"UPPER", 1, 1, fn_upper},
    FunctionDef{"VALUE", 1, 1, fn_value},
    FunctionDef{"VLOOKUP", 3, 4, fn_vlookup},
    FunctionDef{"YEAR", 1, 1, fn_year},
};

}  // namespace

const FunctionDef* find_builtin(std::string_view name) {
  if (name.size() > 32) return nullptr;
  const std::string key = text::upper(name);
  const auto it =
      std::lower_bound(kFunctions.begin(), kFunctions.end(), key,
                       [](const FunctionDef& f, const std::string& k) { return f.name < k; });
  return it != kFunctions.end() && it->name == key ? &*it : nullptr;
}

}  // namespace quillo::spreadsheet
