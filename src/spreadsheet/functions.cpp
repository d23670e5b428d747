// The table of built-in functions. Adding a function is one line here and
// its implementation in the functions_*.cpp file of its kind.
#include "spreadsheet/functions.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "common/text.h"
#include "spreadsheet/functions_more.h"

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
Value fn_acos(const CallContext&, std::span<const Value>);
Value fn_asin(const CallContext&, std::span<const Value>);
Value fn_atan(const CallContext&, std::span<const Value>);
Value fn_atan2(const CallContext&, std::span<const Value>);
Value fn_avedev(const CallContext&, std::span<const Value>);
Value fn_averagea(const CallContext&, std::span<const Value>);
Value fn_averageif(const CallContext&, std::span<const Value>);
Value fn_averageifs(const CallContext&, std::span<const Value>);
Value fn_ceiling(const CallContext&, std::span<const Value>);
Value fn_ceiling_math(const CallContext&, std::span<const Value>);
Value fn_combin(const CallContext&, std::span<const Value>);
Value fn_correl(const CallContext&, std::span<const Value>);
Value fn_cos(const CallContext&, std::span<const Value>);
Value fn_countblank(const CallContext&, std::span<const Value>);
Value fn_countif(const CallContext&, std::span<const Value>);
Value fn_covariance_p(const CallContext&, std::span<const Value>);
Value fn_covariance_s(const CallContext&, std::span<const Value>);
Value fn_db(const CallContext&, std::span<const Value>);
Value fn_ddb(const CallContext&, std::span<const Value>);
Value fn_degrees(const CallContext&, std::span<const Value>);
Value fn_devsq(const CallContext&, std::span<const Value>);
Value fn_error_type(const CallContext&, std::span<const Value>);
Value fn_even(const CallContext&, std::span<const Value>);
Value fn_fact(const CallContext&, std::span<const Value>);
Value fn_false(const CallContext&, std::span<const Value>);
Value fn_floor(const CallContext&, std::span<const Value>);
Value fn_floor_math(const CallContext&, std::span<const Value>);
Value fn_forecast(const CallContext&, std::span<const Value>);
Value fn_fv(const CallContext&, std::span<const Value>);
Value fn_gcd(const CallContext&, std::span<const Value>);
Value fn_geomean(const CallContext&, std::span<const Value>);
Value fn_intercept(const CallContext&, std::span<const Value>);
Value fn_ipmt(const CallContext&, std::span<const Value>);
Value fn_irr(const CallContext&, std::span<const Value>);
Value fn_iserr(const CallContext&, std::span<const Value>);
Value fn_iseven(const CallContext&, std::span<const Value>);
Value fn_isformula(const CallContext&, std::span<const Value>);
Value fn_islogical(const CallContext&, std::span<const Value>);
Value fn_isna(const CallContext&, std::span<const Value>);
Value fn_isnontext(const CallContext&, std::span<const Value>);
Value fn_isodd(const CallContext&, std::span<const Value>);
Value fn_isref(const CallContext&, std::span<const Value>);
Value fn_large(const CallContext&, std::span<const Value>);
Value fn_lcm(const CallContext&, std::span<const Value>);
Value fn_log(const CallContext&, std::span<const Value>);
Value fn_log10(const CallContext&, std::span<const Value>);
Value fn_maxa(const CallContext&, std::span<const Value>);
Value fn_maxifs(const CallContext&, std::span<const Value>);
Value fn_median(const CallContext&, std::span<const Value>);
Value fn_mina(const CallContext&, std::span<const Value>);
Value fn_minifs(const CallContext&, std::span<const Value>);
Value fn_mode(const CallContext&, std::span<const Value>);
Value fn_mround(const CallContext&, std::span<const Value>);
Value fn_n(const CallContext&, std::span<const Value>);
Value fn_na(const CallContext&, std::span<const Value>);
Value fn_nper(const CallContext&, std::span<const Value>);
Value fn_npv(const CallContext&, std::span<const Value>);
Value fn_odd(const CallContext&, std::span<const Value>);
Value fn_percentile_exc(const CallContext&, std::span<const Value>);
Value fn_percentile_inc(const CallContext&, std::span<const Value>);
Value fn_percentrank_inc(const CallContext&, std::span<const Value>);
Value fn_pi(const CallContext&, std::span<const Value>);
Value fn_pmt(const CallContext&, std::span<const Value>);
Value fn_ppmt(const CallContext&, std::span<const Value>);
Value fn_product(const CallContext&, std::span<const Value>);
Value fn_pv(const CallContext&, std::span<const Value>);
Value fn_quartile_exc(const CallContext&, std::span<const Value>);
Value fn_quartile_inc(const CallContext&, std::span<const Value>);
Value fn_quotient(const CallContext&, std::span<const Value>);
Value fn_radians(const CallContext&, std::span<const Value>);
Value fn_rand(const CallContext&, std::span<const Value>);
Value fn_randbetween(const CallContext&, std::span<const Value>);
Value fn_rank_avg(const CallContext&, std::span<const Value>);
Value fn_rank_eq(const CallContext&, std::span<const Value>);
Value fn_rate(const CallContext&, std::span<const Value>);
Value fn_rounddown(const CallContext&, std::span<const Value>);
Value fn_roundup(const CallContext&, std::span<const Value>);
Value fn_rsq(const CallContext&, std::span<const Value>);
Value fn_sign(const CallContext&, std::span<const Value>);
Value fn_sin(const CallContext&, std::span<const Value>);
Value fn_sln(const CallContext&, std::span<const Value>);
Value fn_small(const CallContext&, std::span<const Value>);
Value fn_stdev_p(const CallContext&, std::span<const Value>);
Value fn_stdev_s(const CallContext&, std::span<const Value>);
Value fn_subtotal(const CallContext&, std::span<const Value>);
Value fn_sumif(const CallContext&, std::span<const Value>);
Value fn_sumifs(const CallContext&, std::span<const Value>);
Value fn_sumsq(const CallContext&, std::span<const Value>);
Value fn_tan(const CallContext&, std::span<const Value>);
Value fn_true(const CallContext&, std::span<const Value>);
Value fn_trunc(const CallContext&, std::span<const Value>);
Value fn_type(const CallContext&, std::span<const Value>);
Value fn_var_p(const CallContext&, std::span<const Value>);
Value fn_var_s(const CallContext&, std::span<const Value>);
Value fn_xirr(const CallContext&, std::span<const Value>);
Value fn_xnpv(const CallContext&, std::span<const Value>);
Value fn_xor(const CallContext&, std::span<const Value>);

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
    FunctionDef{"ABS", 1, 1, fn_abs, ArgMode::Elementwise},
    FunctionDef{"ACOS", 1, 1, fn_acos, ArgMode::Elementwise},
    FunctionDef{"ADDRESS", 2, 5, fn_address},
    FunctionDef{"AND", 1, V, fn_and, ArgMode::Arrays},
    FunctionDef{"ASIN", 1, 1, fn_asin, ArgMode::Elementwise},
    FunctionDef{"ATAN", 1, 1, fn_atan, ArgMode::Elementwise},
    FunctionDef{"ATAN2", 2, 2, fn_atan2, ArgMode::Elementwise},
    FunctionDef{"AVEDEV", 1, V, fn_avedev, ArgMode::Arrays},
    FunctionDef{"AVERAGE", 1, V, fn_average, ArgMode::Arrays},
    FunctionDef{"AVERAGEA", 1, V, fn_averagea, ArgMode::Arrays},
    FunctionDef{"AVERAGEIF", 2, 3, fn_averageif},
    FunctionDef{"AVERAGEIFS", 3, V, fn_averageifs},
    FunctionDef{"CEILING", 2, 2, fn_ceiling, ArgMode::Elementwise},
    FunctionDef{"CEILING.MATH", 1, 3, fn_ceiling_math, ArgMode::Elementwise},
    FunctionDef{"CHAR", 1, 1, fn_char},
    FunctionDef{"CHOOSE", 2, V, fn_choose},
    FunctionDef{"CLEAN", 1, 1, fn_clean},
    FunctionDef{"CODE", 1, 1, fn_code},
    FunctionDef{"COLUMN", 0, 1, fn_column},
    FunctionDef{"COLUMNS", 1, 1, fn_columns},
    FunctionDef{"COMBIN", 2, 2, fn_combin, ArgMode::Elementwise},
    FunctionDef{"CONCAT", 1, V, fn_concat},
    FunctionDef{"CONCATENATE", 1, V, fn_concatenate},
    FunctionDef{"CORREL", 2, 2, fn_correl, ArgMode::Arrays},
    FunctionDef{"COS", 1, 1, fn_cos, ArgMode::Elementwise},
    FunctionDef{"COUNT", 1, V, fn_count, ArgMode::Arrays},
    FunctionDef{"COUNTA", 1, V, fn_counta, ArgMode::Arrays},
    FunctionDef{"COUNTBLANK", 1, 1, fn_countblank},
    FunctionDef{"COUNTIF", 2, 2, fn_countif},
    FunctionDef{"COUNTIFS", 2, V, fn_countif},
    FunctionDef{"COVARIANCE.P", 2, 2, fn_covariance_p, ArgMode::Arrays},
    FunctionDef{"COVARIANCE.S", 2, 2, fn_covariance_s, ArgMode::Arrays},
    FunctionDef{"DATE", 3, 3, fn_date},
    FunctionDef{"DATEDIF", 3, 3, fn_datedif},
    FunctionDef{"DATEVALUE", 1, 1, fn_datevalue},
    FunctionDef{"DAY", 1, 1, fn_day},
    FunctionDef{"DAYS", 2, 2, fn_days},
    FunctionDef{"DAYS360", 2, 3, fn_days360},
    FunctionDef{"DB", 4, 5, fn_db, ArgMode::Elementwise},
    FunctionDef{"DDB", 4, 5, fn_ddb, ArgMode::Elementwise},
    FunctionDef{"DEGREES", 1, 1, fn_degrees, ArgMode::Elementwise},
    FunctionDef{"DEVSQ", 1, V, fn_devsq, ArgMode::Arrays},
    FunctionDef{"DOLLAR", 1, 2, fn_dollar},
    FunctionDef{"EDATE", 2, 2, fn_edate},
    FunctionDef{"EOMONTH", 2, 2, fn_eomonth},
    FunctionDef{"ERROR.TYPE", 1, 1, fn_error_type, ArgMode::Elementwise},
    FunctionDef{"EVEN", 1, 1, fn_even, ArgMode::Elementwise},
    FunctionDef{"EXACT", 2, 2, fn_exact},
    FunctionDef{"EXP", 1, 1, fn_exp, ArgMode::Elementwise},
    FunctionDef{"FACT", 1, 1, fn_fact, ArgMode::Elementwise},
    FunctionDef{"FALSE", 0, 0, fn_false},
    FunctionDef{"FIND", 2, 3, fn_find},
    FunctionDef{"FIXED", 1, 3, fn_fixed},
    FunctionDef{"FLOOR", 2, 2, fn_floor, ArgMode::Elementwise},
    FunctionDef{"FLOOR.MATH", 1, 3, fn_floor_math, ArgMode::Elementwise},
    FunctionDef{"FORECAST", 3, 3, fn_forecast, ArgMode::Arrays},
    FunctionDef{"FORECAST.LINEAR", 3, 3, fn_forecast, ArgMode::Arrays},
    FunctionDef{"FV", 3, 5, fn_fv, ArgMode::Elementwise},
    FunctionDef{"GCD", 1, V, fn_gcd, ArgMode::Arrays},
    FunctionDef{"GEOMEAN", 1, V, fn_geomean, ArgMode::Arrays},
    FunctionDef{"HLOOKUP", 3, 4, fn_hlookup},
    FunctionDef{"HOUR", 1, 1, fn_hour},
    FunctionDef{"IF", 2, 3, nullptr, ArgMode::Lazy},
    FunctionDef{"IFERROR", 2, 2, nullptr, ArgMode::Lazy},
    FunctionDef{"IFNA", 2, 2, nullptr, ArgMode::Lazy},
    FunctionDef{"IFS", 2, V, nullptr, ArgMode::Lazy},
    FunctionDef{"INDEX", 2, 4, fn_index},
    FunctionDef{"INDIRECT", 1, 2, fn_indirect, ArgMode::Values, true},
    FunctionDef{"INT", 1, 1, fn_int, ArgMode::Elementwise},
    FunctionDef{"INTERCEPT", 2, 2, fn_intercept, ArgMode::Arrays},
    FunctionDef{"IPMT", 4, 6, fn_ipmt, ArgMode::Elementwise},
    FunctionDef{"IRR", 1, 2, fn_irr, ArgMode::Arrays},
    FunctionDef{"ISBLANK", 1, 1, fn_isblank, ArgMode::Elementwise},
    FunctionDef{"ISERR", 1, 1, fn_iserr, ArgMode::Elementwise},
    FunctionDef{"ISERROR", 1, 1, fn_iserror, ArgMode::Elementwise},
    FunctionDef{"ISEVEN", 1, 1, fn_iseven, ArgMode::Elementwise},
    FunctionDef{"ISFORMULA", 1, 1, fn_isformula},
    FunctionDef{"ISLOGICAL", 1, 1, fn_islogical, ArgMode::Elementwise},
    FunctionDef{"ISNA", 1, 1, fn_isna, ArgMode::Elementwise},
    FunctionDef{"ISNONTEXT", 1, 1, fn_isnontext, ArgMode::Elementwise},
    FunctionDef{"ISNUMBER", 1, 1, fn_isnumber, ArgMode::Elementwise},
    FunctionDef{"ISODD", 1, 1, fn_isodd, ArgMode::Elementwise},
    FunctionDef{"ISOWEEKNUM", 1, 1, fn_isoweeknum},
    FunctionDef{"ISREF", 1, 1, fn_isref},
    FunctionDef{"ISTEXT", 1, 1, fn_istext, ArgMode::Elementwise},
    FunctionDef{"LARGE", 2, 2, fn_large, ArgMode::Arrays},
    FunctionDef{"LCM", 1, V, fn_lcm, ArgMode::Arrays},
    FunctionDef{"LEFT", 1, 2, fn_left},
    FunctionDef{"LEN", 1, 1, fn_len},
    FunctionDef{"LN", 1, 1, fn_ln, ArgMode::Elementwise},
    FunctionDef{"LOG", 1, 2, fn_log, ArgMode::Elementwise},
    FunctionDef{"LOG10", 1, 1, fn_log10, ArgMode::Elementwise},
    FunctionDef{"LOOKUP", 2, 3, fn_lookup},
    FunctionDef{"LOWER", 1, 1, fn_lower},
    FunctionDef{"MATCH", 2, 3, fn_match},
    FunctionDef{"MAX", 1, V, fn_max, ArgMode::Arrays},
    FunctionDef{"MAXA", 1, V, fn_maxa, ArgMode::Arrays},
    FunctionDef{"MAXIFS", 3, V, fn_maxifs},
    FunctionDef{"MEDIAN", 1, V, fn_median, ArgMode::Arrays},
    FunctionDef{"MID", 3, 3, fn_mid},
    FunctionDef{"MIN", 1, V, fn_min, ArgMode::Arrays},
    FunctionDef{"MINA", 1, V, fn_mina, ArgMode::Arrays},
    FunctionDef{"MINIFS", 3, V, fn_minifs},
    FunctionDef{"MINUTE", 1, 1, fn_minute},
    FunctionDef{"MOD", 2, 2, fn_mod, ArgMode::Elementwise},
    FunctionDef{"MODE", 1, V, fn_mode, ArgMode::Arrays},
    FunctionDef{"MODE.SNGL", 1, V, fn_mode, ArgMode::Arrays},
    FunctionDef{"MONTH", 1, 1, fn_month},
    FunctionDef{"MROUND", 2, 2, fn_mround, ArgMode::Elementwise},
    FunctionDef{"N", 1, 1, fn_n},
    FunctionDef{"NA", 0, 0, fn_na},
    FunctionDef{"NETWORKDAYS", 2, 3, fn_networkdays},
    FunctionDef{"NETWORKDAYS.INTL", 2, 4, fn_networkdays_intl},
    FunctionDef{"NOT", 1, 1, fn_not, ArgMode::Elementwise},
    FunctionDef{"NOW", 0, 0, fn_now, ArgMode::Values, true},
    FunctionDef{"NPER", 3, 5, fn_nper, ArgMode::Elementwise},
    FunctionDef{"NPV", 2, V, fn_npv, ArgMode::Arrays},
    FunctionDef{"NUMBERVALUE", 1, 3, fn_numbervalue},
    FunctionDef{"ODD", 1, 1, fn_odd, ArgMode::Elementwise},
    FunctionDef{"OFFSET", 3, 5, fn_offset, ArgMode::Values, true},
    FunctionDef{"OR", 1, V, fn_or, ArgMode::Arrays},
    FunctionDef{"PEARSON", 2, 2, fn_correl, ArgMode::Arrays},
    FunctionDef{"PERCENTILE", 2, 2, fn_percentile_inc, ArgMode::Arrays},
    FunctionDef{"PERCENTILE.EXC", 2, 2, fn_percentile_exc, ArgMode::Arrays},
    FunctionDef{"PERCENTILE.INC", 2, 2, fn_percentile_inc, ArgMode::Arrays},
    FunctionDef{"PERCENTRANK", 2, 3, fn_percentrank_inc, ArgMode::Arrays},
    FunctionDef{"PERCENTRANK.INC", 2, 3, fn_percentrank_inc, ArgMode::Arrays},
    FunctionDef{"PI", 0, 0, fn_pi},
    FunctionDef{"PMT", 3, 5, fn_pmt, ArgMode::Elementwise},
    FunctionDef{"POWER", 2, 2, fn_power, ArgMode::Elementwise},
    FunctionDef{"PPMT", 4, 6, fn_ppmt, ArgMode::Elementwise},
    FunctionDef{"PRODUCT", 1, V, fn_product, ArgMode::Arrays},
    FunctionDef{"PROPER", 1, 1, fn_proper},
    FunctionDef{"PV", 3, 5, fn_pv, ArgMode::Elementwise},
    FunctionDef{"QUARTILE", 2, 2, fn_quartile_inc, ArgMode::Arrays},
    FunctionDef{"QUARTILE.EXC", 2, 2, fn_quartile_exc, ArgMode::Arrays},
    FunctionDef{"QUARTILE.INC", 2, 2, fn_quartile_inc, ArgMode::Arrays},
    FunctionDef{"QUOTIENT", 2, 2, fn_quotient, ArgMode::Elementwise},
    FunctionDef{"RADIANS", 1, 1, fn_radians, ArgMode::Elementwise},
    FunctionDef{"RAND", 0, 0, fn_rand, ArgMode::Values, true},
    FunctionDef{"RANDBETWEEN", 2, 2, fn_randbetween, ArgMode::Values, true},
    FunctionDef{"RANK", 2, 3, fn_rank_eq},
    FunctionDef{"RANK.AVG", 2, 3, fn_rank_avg},
    FunctionDef{"RANK.EQ", 2, 3, fn_rank_eq},
    FunctionDef{"RATE", 3, 6, fn_rate, ArgMode::Elementwise},
    FunctionDef{"REPLACE", 4, 4, fn_replace},
    FunctionDef{"REPT", 2, 2, fn_rept},
    FunctionDef{"RIGHT", 1, 2, fn_right},
    FunctionDef{"ROUND", 2, 2, fn_round, ArgMode::Elementwise},
    FunctionDef{"ROUNDDOWN", 2, 2, fn_rounddown, ArgMode::Elementwise},
    FunctionDef{"ROUNDUP", 2, 2, fn_roundup, ArgMode::Elementwise},
    FunctionDef{"ROW", 0, 1, fn_row},
    FunctionDef{"ROWS", 1, 1, fn_rows},
    FunctionDef{"RSQ", 2, 2, fn_rsq, ArgMode::Arrays},
    FunctionDef{"SEARCH", 2, 3, fn_search},
    FunctionDef{"SECOND", 1, 1, fn_second},
    FunctionDef{"SIGN", 1, 1, fn_sign, ArgMode::Elementwise},
    FunctionDef{"SIN", 1, 1, fn_sin, ArgMode::Elementwise},
    FunctionDef{"SLN", 3, 3, fn_sln, ArgMode::Elementwise},
    FunctionDef{"SLOPE", 2, 2, fn_slope, ArgMode::Arrays},
    FunctionDef{"SMALL", 2, 2, fn_small, ArgMode::Arrays},
    FunctionDef{"SQRT", 1, 1, fn_sqrt, ArgMode::Elementwise},
    FunctionDef{"STDEV", 1, V, fn_stdev_s, ArgMode::Arrays},
    FunctionDef{"STDEV.P", 1, V, fn_stdev_p, ArgMode::Arrays},
    FunctionDef{"STDEV.S", 1, V, fn_stdev_s, ArgMode::Arrays},
    FunctionDef{"STDEVP", 1, V, fn_stdev_p, ArgMode::Arrays},
    FunctionDef{"SUBSTITUTE", 3, 4, fn_substitute},
    FunctionDef{"SUBTOTAL", 2, V, fn_subtotal},
    FunctionDef{"SUM", 1, V, fn_sum, ArgMode::Arrays},
    FunctionDef{"SUMIF", 2, 3, fn_sumif},
    FunctionDef{"SUMIFS", 3, V, fn_sumifs},
    FunctionDef{"SUMPRODUCT", 1, V, fn_sumproduct, ArgMode::Arrays},
    FunctionDef{"SUMSQ", 1, V, fn_sumsq, ArgMode::Arrays},
    FunctionDef{"SWITCH", 3, V, nullptr, ArgMode::Lazy},
    FunctionDef{"T", 1, 1, fn_t},
    FunctionDef{"TAN", 1, 1, fn_tan, ArgMode::Elementwise},
    FunctionDef{"TEXT", 2, 2, fn_text},
    FunctionDef{"TEXTJOIN", 3, V, fn_textjoin},
    FunctionDef{"TIME", 3, 3, fn_time},
    FunctionDef{"TIMEVALUE", 1, 1, fn_timevalue},
    FunctionDef{"TODAY", 0, 0, fn_today, ArgMode::Values, true},
    FunctionDef{"TRANSPOSE", 1, 1, fn_transpose},
    FunctionDef{"TRIM", 1, 1, fn_trim},
    FunctionDef{"TRUE", 0, 0, fn_true},
    FunctionDef{"TRUNC", 1, 2, fn_trunc, ArgMode::Elementwise},
    FunctionDef{"TYPE", 1, 1, fn_type},
    FunctionDef{"UNICHAR", 1, 1, fn_unichar},
    FunctionDef{"UNICODE", 1, 1, fn_unicode},
    FunctionDef{"UPPER", 1, 1, fn_upper},
    FunctionDef{"VALUE", 1, 1, fn_value},
    FunctionDef{"VAR", 1, V, fn_var_s, ArgMode::Arrays},
    FunctionDef{"VAR.P", 1, V, fn_var_p, ArgMode::Arrays},
    FunctionDef{"VAR.S", 1, V, fn_var_s, ArgMode::Arrays},
    FunctionDef{"VARP", 1, V, fn_var_p, ArgMode::Arrays},
    FunctionDef{"VLOOKUP", 3, 4, fn_vlookup},
    FunctionDef{"WEEKDAY", 1, 2, fn_weekday},
    FunctionDef{"WEEKNUM", 1, 2, fn_weeknum},
    FunctionDef{"WORKDAY", 2, 3, fn_workday},
    FunctionDef{"WORKDAY.INTL", 2, 4, fn_workday_intl},
    FunctionDef{"XIRR", 2, 3, fn_xirr, ArgMode::Arrays},
    FunctionDef{"XLOOKUP", 3, 6, fn_xlookup},
    FunctionDef{"XMATCH", 2, 4, fn_xmatch},
    FunctionDef{"XNPV", 3, 3, fn_xnpv, ArgMode::Arrays},
    FunctionDef{"XOR", 1, V, fn_xor, ArgMode::Arrays},
    FunctionDef{"YEAR", 1, 1, fn_year},
    FunctionDef{"YEARFRAC", 2, 3, fn_yearfrac},
};

}  // namespace

namespace {

// FNV-1a over the bytes of a name: the index below and its lookups agree on it.
constexpr std::uint32_t kNameSeed = 2166136261u;
inline std::uint32_t name_step(std::uint32_t h, char c) {
  return (h ^ static_cast<unsigned char>(c)) * 16777619u;
}

// The built-ins of both tables by name: open addressing with linear
// probing over a power of two of slots, at most a quarter full, each
// slot's hash kept beside it so a probe compares names only on a match.
struct BuiltinIndex {
  std::vector<std::pair<std::uint32_t, const FunctionDef*>> slots;
  std::size_t mask = 0;

  BuiltinIndex() {
    const std::span<const FunctionDef> more = more_builtins();
    std::size_t size = 64;
    while (size < 4 * (std::size(kFunctions) + more.size())) size *= 2;
    slots.assign(size, {0, nullptr});
    mask = size - 1;
    for (const FunctionDef& f : kFunctions) add(f);
    for (const FunctionDef& f : more) add(f);
  }
  // The first of a name stays, as the tables are read in order.
  void add(const FunctionDef& f) {
    std::uint32_t h = kNameSeed;
    for (char c : f.name) h = name_step(h, c);
    std::size_t i = h & mask;
    for (; slots[i].second; i = (i + 1) & mask) {
      if (slots[i].first == h && slots[i].second->name == f.name) return;
    }
    slots[i] = {h, &f};
  }
};

}  // namespace

const FunctionDef* find_builtin(std::string_view name) {
  if (name.size() > 32) return nullptr;
  // Every call a formula makes is looked up here when the formula is
  // entered, most often an add-in function that is not found: the name is
  // upper-cased on the stack and hashed in the same pass.
  static const BuiltinIndex index;
  char upper[32];
  std::uint32_t h = kNameSeed;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    upper[i] = c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
    h = name_step(h, upper[i]);
  }
  const std::string_view key(upper, name.size());
  for (std::size_t i = h & index.mask; index.slots[i].second; i = (i + 1) & index.mask) {
    if (index.slots[i].first == h && index.slots[i].second->name == key) {
      return index.slots[i].second;
    }
  }
  return nullptr;
}

}  // namespace quillo::spreadsheet
