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

Value fn_address(const CallContext&, std::span<const Value>);
Value fn_char(const CallContext&, std::span<const Value>);
Value fn_choose(const CallContext&, std::span<const Value>);
Value fn_clean(const CallContext&, std::span<const Value>);
Value fn_code(const CallContext&, std::span<const Value>);
Value fn_column(const CallContext&, std::span<const Value>);
Value fn_columns(const CallContext&, std::span<const Value>);
Value fn_concat(const CallContext&, std::span<const Value>);
Value fn_datedif(const CallContext&, std::span<const Value>);
Value fn_datevalue(const CallContext&, std::span<const Value>);
Value fn_days(const CallContext&, std::span<const Value>);
Value fn_days360(const CallContext&, std::span<const Value>);
Value fn_dollar(const CallContext&, std::span<const Value>);
Value fn_edate(const CallContext&, std::span<const Value>);
Value fn_eomonth(const CallContext&, std::span<const Value>);
Value fn_exact(const CallContext&, std::span<const Value>);
Value fn_find(const CallContext&, std::span<const Value>);
Value fn_fixed(const CallContext&, std::span<const Value>);
Value fn_hlookup(const CallContext&, std::span<const Value>);
Value fn_hour(const CallContext&, std::span<const Value>);
Value fn_indirect(const CallContext&, std::span<const Value>);
Value fn_isoweeknum(const CallContext&, std::span<const Value>);
Value fn_lookup(const CallContext&, std::span<const Value>);
Value fn_minute(const CallContext&, std::span<const Value>);
Value fn_networkdays(const CallContext&, std::span<const Value>);
Value fn_networkdays_intl(const CallContext&, std::span<const Value>);
Value fn_numbervalue(const CallContext&, std::span<const Value>);
Value fn_offset(const CallContext&, std::span<const Value>);
Value fn_proper(const CallContext&, std::span<const Value>);
Value fn_replace(const CallContext&, std::span<const Value>);
Value fn_rept(const CallContext&, std::span<const Value>);
Value fn_row(const CallContext&, std::span<const Value>);
Value fn_rows(const CallContext&, std::span<const Value>);
Value fn_search(const CallContext&, std::span<const Value>);
Value fn_second(const CallContext&, std::span<const Value>);
Value fn_substitute(const CallContext&, std::span<const Value>);
Value fn_t(const CallContext&, std::span<const Value>);
Value fn_text(const CallContext&, std::span<const Value>);
Value fn_textjoin(const CallContext&, std::span<const Value>);
Value fn_time(const CallContext&, std::span<const Value>);
Value fn_timevalue(const CallContext&, std::span<const Value>);
Value fn_transpose(const CallContext&, std::span<const Value>);
Value fn_unichar(const CallContext&, std::span<const Value>);
Value fn_unicode(const CallContext&, std::span<const Value>);
Value fn_weekday(const CallContext&, std::span<const Value>);
Value fn_weeknum(const CallContext&, std::span<const Value>);
Value fn_workday(const CallContext&, std::span<const Value>);
Value fn_workday_intl(const CallContext&, std::span<const Value>);
Value fn_xlookup(const CallContext&, std::span<const Value>);
Value fn_xmatch(const CallContext&, std::span<const Value>);
Value fn_yearfrac(const CallContext&, std::span<const Value>);

namespace {

constexpr std::int16_t V = kVarArgs;

// Sorted by name for the binary search below.
constexpr std::array kFunctions = {
    FunctionDef{"ABS", 1, 1, fn_abs},
    FunctionDef{"ADDRESS", 2, 5, fn_address},
    FunctionDef{"AND", 1, V, fn_and},
    FunctionDef{"AVERAGE", 1, V, fn_average},
    FunctionDef{"CHAR", 1, 1, fn_char},
    FunctionDef{"CHOOSE", 2, V, fn_choose},
    FunctionDef{"CLEAN", 1, 1, fn_clean},
    FunctionDef{"CODE", 1, 1, fn_code},
    FunctionDef{"COLUMN", 0, 1, fn_column},
    FunctionDef{"COLUMNS", 1, 1, fn_columns},
    FunctionDef{"CONCAT", 1, V, fn_concat},
    FunctionDef{"CONCATENATE", 1, V, fn_concatenate},
    FunctionDef{"COUNT", 1, V, fn_count},
    FunctionDef{"COUNTA", 1, V, fn_counta},
    FunctionDef{"DATE", 3, 3, fn_date},
    FunctionDef{"DATEDIF", 3, 3, fn_datedif},
    FunctionDef{"DATEVALUE", 1, 1, fn_datevalue},
    FunctionDef{"DAY", 1, 1, fn_day},
    FunctionDef{"DAYS", 2, 2, fn_days},
    FunctionDef{"DAYS360", 2, 3, fn_days360},
    FunctionDef{"DOLLAR", 1, 2, fn_dollar},
    FunctionDef{"EDATE", 2, 2, fn_edate},
    FunctionDef{"EOMONTH", 2, 2, fn_eomonth},
    FunctionDef{"EXACT", 2, 2, fn_exact},
    FunctionDef{"EXP", 1, 1, fn_exp},
    FunctionDef{"FIND", 2, 3, fn_find},
    FunctionDef{"FIXED", 1, 3, fn_fixed},
    FunctionDef{"HLOOKUP", 3, 4, fn_hlookup},
    FunctionDef{"HOUR", 1, 1, fn_hour},
    FunctionDef{"IF", 2, 3, nullptr, ArgMode::Lazy},
    FunctionDef{"IFERROR", 2, 2, nullptr, ArgMode::Lazy},
    FunctionDef{"INDEX", 2, 4, fn_index},
    FunctionDef{"INDIRECT", 1, 2, fn_indirect, ArgMode::Values, true},
    FunctionDef{"INT", 1, 1, fn_int},
    FunctionDef{"ISBLANK", 1, 1, fn_isblank},
    FunctionDef{"ISERROR", 1, 1, fn_iserror},
    FunctionDef{"ISNUMBER", 1, 1, fn_isnumber},
    FunctionDef{"ISOWEEKNUM", 1, 1, fn_isoweeknum},
    FunctionDef{"ISTEXT", 1, 1, fn_istext},
    FunctionDef{"LEFT", 1, 2, fn_left},
    FunctionDef{"LEN", 1, 1, fn_len},
    FunctionDef{"LN", 1, 1, fn_ln},
    FunctionDef{"LOOKUP", 2, 3, fn_lookup},
    FunctionDef{"LOWER", 1, 1, fn_lower},
    FunctionDef{"MATCH", 2, 3, fn_match},
    FunctionDef{"MAX", 1, V, fn_max},
    FunctionDef{"MID", 3, 3, fn_mid},
    FunctionDef{"MIN", 1, V, fn_min},
    FunctionDef{"MINUTE", 1, 1, fn_minute},
    FunctionDef{"MOD", 2, 2, fn_mod},
    FunctionDef{"MONTH", 1, 1, fn_month},
    FunctionDef{"NETWORKDAYS", 2, 3, fn_networkdays},
    FunctionDef{"NETWORKDAYS.INTL", 2, 4, fn_networkdays_intl},
    FunctionDef{"NOT", 1, 1, fn_not},
    FunctionDef{"NOW", 0, 0, fn_now, ArgMode::Values, true},
    FunctionDef{"NUMBERVALUE", 1, 3, fn_numbervalue},
    FunctionDef{"OFFSET", 3, 5, fn_offset, ArgMode::Values, true},
    FunctionDef{"OR", 1, V, fn_or},
    FunctionDef{"POWER", 2, 2, fn_power},
    FunctionDef{"PROPER", 1, 1, fn_proper},
    FunctionDef{"REPLACE", 4, 4, fn_replace},
    FunctionDef{"REPT", 2, 2, fn_rept},
    FunctionDef{"RIGHT", 1, 2, fn_right},
    FunctionDef{"ROUND", 2, 2, fn_round},
    FunctionDef{"ROW", 0, 1, fn_row},
    FunctionDef{"ROWS", 1, 1, fn_rows},
    FunctionDef{"SEARCH", 2, 3, fn_search},
    FunctionDef{"SECOND", 1, 1, fn_second},
    FunctionDef{"SLOPE", 2, 2, fn_slope},
    FunctionDef{"SQRT", 1, 1, fn_sqrt},
    FunctionDef{"SUBSTITUTE", 3, 4, fn_substitute},
    FunctionDef{"SUM", 1, V, fn_sum},
    FunctionDef{"SUMPRODUCT", 1, V, fn_sumproduct, ArgMode::Arrays},
    FunctionDef{"T", 1, 1, fn_t},
    FunctionDef{"TEXT", 2, 2, fn_text},
    FunctionDef{"TEXTJOIN", 3, V, fn_textjoin},
    FunctionDef{"TIME", 3, 3, fn_time},
    FunctionDef{"TIMEVALUE", 1, 1, fn_timevalue},
    FunctionDef{"TODAY", 0, 0, fn_today, ArgMode::Values, true},
    FunctionDef{"TRANSPOSE", 1, 1, fn_transpose},
    FunctionDef{"TRIM", 1, 1, fn_trim},
    FunctionDef{"UNICHAR", 1, 1, fn_unichar},
    FunctionDef{"UNICODE", 1, 1, fn_unicode},
    FunctionDef{"UPPER", 1, 1, fn_upper},
    FunctionDef{"VALUE", 1, 1, fn_value},
    FunctionDef{"VLOOKUP", 3, 4, fn_vlookup},
    FunctionDef{"WEEKDAY", 1, 2, fn_weekday},
    FunctionDef{"WEEKNUM", 1, 2, fn_weeknum},
    FunctionDef{"WORKDAY", 2, 3, fn_workday},
    FunctionDef{"WORKDAY.INTL", 2, 4, fn_workday_intl},
    FunctionDef{"XLOOKUP", 3, 6, fn_xlookup},
    FunctionDef{"XMATCH", 2, 4, fn_xmatch},
    FunctionDef{"YEAR", 1, 1, fn_year},
    FunctionDef{"YEARFRAC", 2, 3, fn_yearfrac},
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
