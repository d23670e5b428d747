// The second table of built-in functions: the statistical distributions,
// the engineering and Roman numerals, more math, statistics and finance,
// the database functions and the dynamic-array functions. find_builtin
// (functions.cpp) looks here after its own table; adding a function is one
// line here and its implementation in the functions_*.cpp file of its kind.
#include <algorithm>
#include <array>

#include "spreadsheet/functions.h"

namespace quillo::spreadsheet {

Value fn_acosh(const CallContext&, std::span<const Value>);
Value fn_acot(const CallContext&, std::span<const Value>);
Value fn_acoth(const CallContext&, std::span<const Value>);
Value fn_arabic(const CallContext&, std::span<const Value>);
Value fn_asinh(const CallContext&, std::span<const Value>);
Value fn_atanh(const CallContext&, std::span<const Value>);
Value fn_base(const CallContext&, std::span<const Value>);
Value fn_beta_dist(const CallContext&, std::span<const Value>);
Value fn_beta_inv(const CallContext&, std::span<const Value>);
Value fn_betadist(const CallContext&, std::span<const Value>);
Value fn_bin2dec(const CallContext&, std::span<const Value>);
Value fn_bin2hex(const CallContext&, std::span<const Value>);
Value fn_bin2oct(const CallContext&, std::span<const Value>);
Value fn_binom_dist(const CallContext&, std::span<const Value>);
Value fn_binom_inv(const CallContext&, std::span<const Value>);
Value fn_bitand(const CallContext&, std::span<const Value>);
Value fn_bitlshift(const CallContext&, std::span<const Value>);
Value fn_bitor(const CallContext&, std::span<const Value>);
Value fn_bitrshift(const CallContext&, std::span<const Value>);
Value fn_bitxor(const CallContext&, std::span<const Value>);
Value fn_ceiling_precise(const CallContext&, std::span<const Value>);
Value fn_chisq_dist(const CallContext&, std::span<const Value>);
Value fn_chisq_dist_rt(const CallContext&, std::span<const Value>);
Value fn_chisq_inv(const CallContext&, std::span<const Value>);
Value fn_chisq_inv_rt(const CallContext&, std::span<const Value>);
Value fn_chisq_test(const CallContext&, std::span<const Value>);
Value fn_combina(const CallContext&, std::span<const Value>);
Value fn_confidence_norm(const CallContext&, std::span<const Value>);
Value fn_confidence_t(const CallContext&, std::span<const Value>);
Value fn_cosh(const CallContext&, std::span<const Value>);
Value fn_cot(const CallContext&, std::span<const Value>);
Value fn_coth(const CallContext&, std::span<const Value>);
Value fn_csc(const CallContext&, std::span<const Value>);
Value fn_csch(const CallContext&, std::span<const Value>);
Value fn_cumipmt(const CallContext&, std::span<const Value>);
Value fn_cumprinc(const CallContext&, std::span<const Value>);
Value fn_daverage(const CallContext&, std::span<const Value>);
Value fn_dcount(const CallContext&, std::span<const Value>);
Value fn_dcounta(const CallContext&, std::span<const Value>);
Value fn_dec2bin(const CallContext&, std::span<const Value>);
Value fn_dec2hex(const CallContext&, std::span<const Value>);
Value fn_dec2oct(const CallContext&, std::span<const Value>);
Value fn_decimal(const CallContext&, std::span<const Value>);
Value fn_delta(const CallContext&, std::span<const Value>);
Value fn_dget(const CallContext&, std::span<const Value>);
Value fn_dmax(const CallContext&, std::span<const Value>);
Value fn_dmin(const CallContext&, std::span<const Value>);
Value fn_dollarde(const CallContext&, std::span<const Value>);
Value fn_dollarfr(const CallContext&, std::span<const Value>);
Value fn_dproduct(const CallContext&, std::span<const Value>);
Value fn_dstdev(const CallContext&, std::span<const Value>);
Value fn_dstdevp(const CallContext&, std::span<const Value>);
Value fn_dsum(const CallContext&, std::span<const Value>);
Value fn_dvar(const CallContext&, std::span<const Value>);
Value fn_dvarp(const CallContext&, std::span<const Value>);
Value fn_effect(const CallContext&, std::span<const Value>);
Value fn_erf(const CallContext&, std::span<const Value>);
Value fn_erfc(const CallContext&, std::span<const Value>);
Value fn_expon_dist(const CallContext&, std::span<const Value>);
Value fn_f_dist(const CallContext&, std::span<const Value>);
Value fn_f_dist_rt(const CallContext&, std::span<const Value>);
Value fn_f_inv(const CallContext&, std::span<const Value>);
Value fn_f_inv_rt(const CallContext&, std::span<const Value>);
Value fn_f_test(const CallContext&, std::span<const Value>);
Value fn_factdouble(const CallContext&, std::span<const Value>);
Value fn_filter(const CallContext&, std::span<const Value>);
Value fn_fisher(const CallContext&, std::span<const Value>);
Value fn_fisherinv(const CallContext&, std::span<const Value>);
Value fn_floor_precise(const CallContext&, std::span<const Value>);
Value fn_frequency(const CallContext&, std::span<const Value>);
Value fn_fvschedule(const CallContext&, std::span<const Value>);
Value fn_gamma(const CallContext&, std::span<const Value>);
Value fn_gamma_dist(const CallContext&, std::span<const Value>);
Value fn_gamma_inv(const CallContext&, std::span<const Value>);
Value fn_gammaln(const CallContext&, std::span<const Value>);
Value fn_gauss(const CallContext&, std::span<const Value>);
Value fn_gestep(const CallContext&, std::span<const Value>);
Value fn_harmean(const CallContext&, std::span<const Value>);
Value fn_hex2bin(const CallContext&, std::span<const Value>);
Value fn_hex2dec(const CallContext&, std::span<const Value>);
Value fn_hex2oct(const CallContext&, std::span<const Value>);
Value fn_hypgeom_dist(const CallContext&, std::span<const Value>);
Value fn_hypgeomdist(const CallContext&, std::span<const Value>);
Value fn_ispmt(const CallContext&, std::span<const Value>);
Value fn_kurt(const CallContext&, std::span<const Value>);
Value fn_lognorm_dist(const CallContext&, std::span<const Value>);
Value fn_lognorm_inv(const CallContext&, std::span<const Value>);
Value fn_lognormdist(const CallContext&, std::span<const Value>);
Value fn_mdeterm(const CallContext&, std::span<const Value>);
Value fn_minverse(const CallContext&, std::span<const Value>);
Value fn_mirr(const CallContext&, std::span<const Value>);
Value fn_mmult(const CallContext&, std::span<const Value>);
Value fn_mode_mult(const CallContext&, std::span<const Value>);
Value fn_multinomial(const CallContext&, std::span<const Value>);
Value fn_munit(const CallContext&, std::span<const Value>);
Value fn_negbinom_dist(const CallContext&, std::span<const Value>);
Value fn_negbinomdist(const CallContext&, std::span<const Value>);
Value fn_nominal(const CallContext&, std::span<const Value>);
Value fn_norm_dist(const CallContext&, std::span<const Value>);
Value fn_norm_inv(const CallContext&, std::span<const Value>);
Value fn_norm_s_dist(const CallContext&, std::span<const Value>);
Value fn_norm_s_inv(const CallContext&, std::span<const Value>);
Value fn_normsdist(const CallContext&, std::span<const Value>);
Value fn_oct2bin(const CallContext&, std::span<const Value>);
Value fn_oct2dec(const CallContext&, std::span<const Value>);
Value fn_oct2hex(const CallContext&, std::span<const Value>);
Value fn_pduration(const CallContext&, std::span<const Value>);
Value fn_permut(const CallContext&, std::span<const Value>);
Value fn_permutationa(const CallContext&, std::span<const Value>);
Value fn_phi(const CallContext&, std::span<const Value>);
Value fn_poisson_dist(const CallContext&, std::span<const Value>);
Value fn_prob(const CallContext&, std::span<const Value>);
Value fn_roman(const CallContext&, std::span<const Value>);
Value fn_rri(const CallContext&, std::span<const Value>);
Value fn_sec(const CallContext&, std::span<const Value>);
Value fn_sech(const CallContext&, std::span<const Value>);
Value fn_sequence(const CallContext&, std::span<const Value>);
Value fn_seriessum(const CallContext&, std::span<const Value>);
Value fn_sinh(const CallContext&, std::span<const Value>);
Value fn_skew(const CallContext&, std::span<const Value>);
Value fn_skew_p(const CallContext&, std::span<const Value>);
Value fn_sort(const CallContext&, std::span<const Value>);
Value fn_sortby(const CallContext&, std::span<const Value>);
Value fn_sqrtpi(const CallContext&, std::span<const Value>);
Value fn_standardize(const CallContext&, std::span<const Value>);
Value fn_stdeva(const CallContext&, std::span<const Value>);
Value fn_stdevpa(const CallContext&, std::span<const Value>);
Value fn_steyx(const CallContext&, std::span<const Value>);
Value fn_sumx2my2(const CallContext&, std::span<const Value>);
Value fn_sumx2py2(const CallContext&, std::span<const Value>);
Value fn_sumxmy2(const CallContext&, std::span<const Value>);
Value fn_syd(const CallContext&, std::span<const Value>);
Value fn_t_dist(const CallContext&, std::span<const Value>);
Value fn_t_dist_2t(const CallContext&, std::span<const Value>);
Value fn_t_dist_rt(const CallContext&, std::span<const Value>);
Value fn_t_inv(const CallContext&, std::span<const Value>);
Value fn_t_inv_2t(const CallContext&, std::span<const Value>);
Value fn_t_test(const CallContext&, std::span<const Value>);
Value fn_tanh(const CallContext&, std::span<const Value>);
Value fn_tdist(const CallContext&, std::span<const Value>);
Value fn_trimmean(const CallContext&, std::span<const Value>);
Value fn_unique(const CallContext&, std::span<const Value>);
Value fn_vara(const CallContext&, std::span<const Value>);
Value fn_varpa(const CallContext&, std::span<const Value>);
Value fn_weibull_dist(const CallContext&, std::span<const Value>);
Value fn_z_test(const CallContext&, std::span<const Value>);
Value fn_covariance_p(const CallContext&, std::span<const Value>);

namespace {

constexpr std::int16_t V = kVarArgs;

// Sorted by name for the binary search below.
constexpr std::array kMoreFunctions = {
    FunctionDef{"ACOSH", 1, 1, fn_acosh, ArgMode::Elementwise},
    FunctionDef{"ACOT", 1, 1, fn_acot, ArgMode::Elementwise},
    FunctionDef{"ACOTH", 1, 1, fn_acoth, ArgMode::Elementwise},
    FunctionDef{"ARABIC", 1, 1, fn_arabic, ArgMode::Elementwise},
    FunctionDef{"ASINH", 1, 1, fn_asinh, ArgMode::Elementwise},
    FunctionDef{"ATANH", 1, 1, fn_atanh, ArgMode::Elementwise},
    FunctionDef{"BASE", 2, 3, fn_base, ArgMode::Elementwise},
    FunctionDef{"BETA.DIST", 4, 6, fn_beta_dist, ArgMode::Elementwise},
    FunctionDef{"BETA.INV", 3, 5, fn_beta_inv, ArgMode::Elementwise},
    FunctionDef{"BETADIST", 3, 5, fn_betadist, ArgMode::Elementwise},
    FunctionDef{"BETAINV", 3, 5, fn_beta_inv, ArgMode::Elementwise},
    FunctionDef{"BIN2DEC", 1, 1, fn_bin2dec, ArgMode::Elementwise},
    FunctionDef{"BIN2HEX", 1, 2, fn_bin2hex, ArgMode::Elementwise},
    FunctionDef{"BIN2OCT", 1, 2, fn_bin2oct, ArgMode::Elementwise},
    FunctionDef{"BINOM.DIST", 4, 4, fn_binom_dist, ArgMode::Elementwise},
    FunctionDef{"BINOM.INV", 3, 3, fn_binom_inv, ArgMode::Elementwise},
    FunctionDef{"BINOMDIST", 4, 4, fn_binom_dist, ArgMode::Elementwise},
    FunctionDef{"BITAND", 2, 2, fn_bitand, ArgMode::Elementwise},
    FunctionDef{"BITLSHIFT", 2, 2, fn_bitlshift, ArgMode::Elementwise},
    FunctionDef{"BITOR", 2, 2, fn_bitor, ArgMode::Elementwise},
    FunctionDef{"BITRSHIFT", 2, 2, fn_bitrshift, ArgMode::Elementwise},
    FunctionDef{"BITXOR", 2, 2, fn_bitxor, ArgMode::Elementwise},
    FunctionDef{"CEILING.PRECISE", 1, 2, fn_ceiling_precise, ArgMode::Elementwise},
    FunctionDef{"CHIDIST", 2, 2, fn_chisq_dist_rt, ArgMode::Elementwise},
    FunctionDef{"CHIINV", 2, 2, fn_chisq_inv_rt, ArgMode::Elementwise},
    FunctionDef{"CHISQ.DIST", 3, 3, fn_chisq_dist, ArgMode::Elementwise},
    FunctionDef{"CHISQ.DIST.RT", 2, 2, fn_chisq_dist_rt, ArgMode::Elementwise},
    FunctionDef{"CHISQ.INV", 2, 2, fn_chisq_inv, ArgMode::Elementwise},
    FunctionDef{"CHISQ.INV.RT", 2, 2, fn_chisq_inv_rt, ArgMode::Elementwise},
    FunctionDef{"CHISQ.TEST", 2, 2, fn_chisq_test, ArgMode::Arrays},
    FunctionDef{"CHITEST", 2, 2, fn_chisq_test, ArgMode::Arrays},
    FunctionDef{"COMBINA", 2, 2, fn_combina, ArgMode::Elementwise},
    FunctionDef{"CONFIDENCE", 3, 3, fn_confidence_norm, ArgMode::Elementwise},
    FunctionDef{"CONFIDENCE.NORM", 3, 3, fn_confidence_norm, ArgMode::Elementwise},
    FunctionDef{"CONFIDENCE.T", 3, 3, fn_confidence_t, ArgMode::Elementwise},
    FunctionDef{"COSH", 1, 1, fn_cosh, ArgMode::Elementwise},
    FunctionDef{"COT", 1, 1, fn_cot, ArgMode::Elementwise},
    FunctionDef{"COTH", 1, 1, fn_coth, ArgMode::Elementwise},
    FunctionDef{"COVAR", 2, 2, fn_covariance_p, ArgMode::Arrays},
    FunctionDef{"CRITBINOM", 3, 3, fn_binom_inv, ArgMode::Elementwise},
    FunctionDef{"CSC", 1, 1, fn_csc, ArgMode::Elementwise},
    FunctionDef{"CSCH", 1, 1, fn_csch, ArgMode::Elementwise},
    FunctionDef{"CUMIPMT", 6, 6, fn_cumipmt, ArgMode::Elementwise},
    FunctionDef{"CUMPRINC", 6, 6, fn_cumprinc, ArgMode::Elementwise},
    FunctionDef{"DAVERAGE", 3, 3, fn_daverage},
    FunctionDef{"DCOUNT", 2, 3, fn_dcount},
    FunctionDef{"DCOUNTA", 2, 3, fn_dcounta},
    FunctionDef{"DEC2BIN", 1, 2, fn_dec2bin, ArgMode::Elementwise},
    FunctionDef{"DEC2HEX", 1, 2, fn_dec2hex, ArgMode::Elementwise},
    FunctionDef{"DEC2OCT", 1, 2, fn_dec2oct, ArgMode::Elementwise},
    FunctionDef{"DECIMAL", 2, 2, fn_decimal, ArgMode::Elementwise},
    FunctionDef{"DELTA", 1, 2, fn_delta, ArgMode::Elementwise},
    FunctionDef{"DGET", 3, 3, fn_dget},
    FunctionDef{"DMAX", 3, 3, fn_dmax},
    FunctionDef{"DMIN", 3, 3, fn_dmin},
    FunctionDef{"DOLLARDE", 2, 2, fn_dollarde, ArgMode::Elementwise},
    FunctionDef{"DOLLARFR", 2, 2, fn_dollarfr, ArgMode::Elementwise},
    FunctionDef{"DPRODUCT", 3, 3, fn_dproduct},
    FunctionDef{"DSTDEV", 3, 3, fn_dstdev},
    FunctionDef{"DSTDEVP", 3, 3, fn_dstdevp},
    FunctionDef{"DSUM", 3, 3, fn_dsum},
    FunctionDef{"DVAR", 3, 3, fn_dvar},
    FunctionDef{"DVARP", 3, 3, fn_dvarp},
    FunctionDef{"EFFECT", 2, 2, fn_effect, ArgMode::Elementwise},
    FunctionDef{"ERF", 1, 2, fn_erf, ArgMode::Elementwise},
    FunctionDef{"ERF.PRECISE", 1, 1, fn_erf, ArgMode::Elementwise},
    FunctionDef{"ERFC", 1, 1, fn_erfc, ArgMode::Elementwise},
    FunctionDef{"ERFC.PRECISE", 1, 1, fn_erfc, ArgMode::Elementwise},
    FunctionDef{"EXPON.DIST", 3, 3, fn_expon_dist, ArgMode::Elementwise},
    FunctionDef{"EXPONDIST", 3, 3, fn_expon_dist, ArgMode::Elementwise},
    FunctionDef{"F.DIST", 4, 4, fn_f_dist, ArgMode::Elementwise},
    FunctionDef{"F.DIST.RT", 3, 3, fn_f_dist_rt, ArgMode::Elementwise},
    FunctionDef{"F.INV", 3, 3, fn_f_inv, ArgMode::Elementwise},
    FunctionDef{"F.INV.RT", 3, 3, fn_f_inv_rt, ArgMode::Elementwise},
    FunctionDef{"F.TEST", 2, 2, fn_f_test, ArgMode::Arrays},
    FunctionDef{"FACTDOUBLE", 1, 1, fn_factdouble, ArgMode::Elementwise},
    FunctionDef{"FDIST", 3, 3, fn_f_dist_rt, ArgMode::Elementwise},
    FunctionDef{"FILTER", 2, 3, fn_filter, ArgMode::Arrays},
    FunctionDef{"FINV", 3, 3, fn_f_inv_rt, ArgMode::Elementwise},
    FunctionDef{"FISHER", 1, 1, fn_fisher, ArgMode::Elementwise},
    FunctionDef{"FISHERINV", 1, 1, fn_fisherinv, ArgMode::Elementwise},
    FunctionDef{"FLOOR.PRECISE", 1, 2, fn_floor_precise, ArgMode::Elementwise},
    FunctionDef{"FREQUENCY", 2, 2, fn_frequency, ArgMode::Arrays},
    FunctionDef{"FTEST", 2, 2, fn_f_test, ArgMode::Arrays},
    FunctionDef{"FVSCHEDULE", 2, 2, fn_fvschedule},
    FunctionDef{"GAMMA", 1, 1, fn_gamma, ArgMode::Elementwise},
    FunctionDef{"GAMMA.DIST", 4, 4, fn_gamma_dist, ArgMode::Elementwise},
    FunctionDef{"GAMMA.INV", 3, 3, fn_gamma_inv, ArgMode::Elementwise},
    FunctionDef{"GAMMADIST", 4, 4, fn_gamma_dist, ArgMode::Elementwise},
    FunctionDef{"GAMMAINV", 3, 3, fn_gamma_inv, ArgMode::Elementwise},
    FunctionDef{"GAMMALN", 1, 1, fn_gammaln, ArgMode::Elementwise},
    FunctionDef{"GAMMALN.PRECISE", 1, 1, fn_gammaln, ArgMode::Elementwise},
    FunctionDef{"GAUSS", 1, 1, fn_gauss, ArgMode::Elementwise},
    FunctionDef{"GESTEP", 1, 2, fn_gestep, ArgMode::Elementwise},
    FunctionDef{"HARMEAN", 1, V, fn_harmean, ArgMode::Arrays},
    FunctionDef{"HEX2BIN", 1, 2, fn_hex2bin, ArgMode::Elementwise},
    FunctionDef{"HEX2DEC", 1, 1, fn_hex2dec, ArgMode::Elementwise},
    FunctionDef{"HEX2OCT", 1, 2, fn_hex2oct, ArgMode::Elementwise},
    FunctionDef{"HYPGEOM.DIST", 5, 5, fn_hypgeom_dist, ArgMode::Elementwise},
    FunctionDef{"HYPGEOMDIST", 4, 4, fn_hypgeomdist, ArgMode::Elementwise},
    FunctionDef{"ISO.CEILING", 1, 2, fn_ceiling_precise, ArgMode::Elementwise},
    FunctionDef{"ISPMT", 4, 4, fn_ispmt, ArgMode::Elementwise},
    FunctionDef{"KURT", 1, V, fn_kurt, ArgMode::Arrays},
    FunctionDef{"LOGINV", 3, 3, fn_lognorm_inv, ArgMode::Elementwise},
    FunctionDef{"LOGNORM.DIST", 4, 4, fn_lognorm_dist, ArgMode::Elementwise},
    FunctionDef{"LOGNORM.INV", 3, 3, fn_lognorm_inv, ArgMode::Elementwise},
    FunctionDef{"LOGNORMDIST", 3, 3, fn_lognormdist, ArgMode::Elementwise},
    FunctionDef{"MDETERM", 1, 1, fn_mdeterm, ArgMode::Arrays},
    FunctionDef{"MINVERSE", 1, 1, fn_minverse, ArgMode::Arrays},
    FunctionDef{"MIRR", 3, 3, fn_mirr, ArgMode::Arrays},
    FunctionDef{"MMULT", 2, 2, fn_mmult, ArgMode::Arrays},
    FunctionDef{"MODE.MULT", 1, V, fn_mode_mult, ArgMode::Arrays},
    FunctionDef{"MULTINOMIAL", 1, V, fn_multinomial, ArgMode::Arrays},
    FunctionDef{"MUNIT", 1, 1, fn_munit},
    FunctionDef{"NEGBINOM.DIST", 4, 4, fn_negbinom_dist, ArgMode::Elementwise},
    FunctionDef{"NEGBINOMDIST", 3, 3, fn_negbinomdist, ArgMode::Elementwise},
    FunctionDef{"NOMINAL", 2, 2, fn_nominal, ArgMode::Elementwise},
    FunctionDef{"NORM.DIST", 4, 4, fn_norm_dist, ArgMode::Elementwise},
    FunctionDef{"NORM.INV", 3, 3, fn_norm_inv, ArgMode::Elementwise},
    FunctionDef{"NORM.S.DIST", 2, 2, fn_norm_s_dist, ArgMode::Elementwise},
    FunctionDef{"NORM.S.INV", 1, 1, fn_norm_s_inv, ArgMode::Elementwise},
    FunctionDef{"NORMDIST", 4, 4, fn_norm_dist, ArgMode::Elementwise},
    FunctionDef{"NORMINV", 3, 3, fn_norm_inv, ArgMode::Elementwise},
    FunctionDef{"NORMSDIST", 1, 1, fn_normsdist, ArgMode::Elementwise},
    FunctionDef{"NORMSINV", 1, 1, fn_norm_s_inv, ArgMode::Elementwise},
    FunctionDef{"OCT2BIN", 1, 2, fn_oct2bin, ArgMode::Elementwise},
    FunctionDef{"OCT2DEC", 1, 1, fn_oct2dec, ArgMode::Elementwise},
    FunctionDef{"OCT2HEX", 1, 2, fn_oct2hex, ArgMode::Elementwise},
    FunctionDef{"PDURATION", 3, 3, fn_pduration, ArgMode::Elementwise},
    FunctionDef{"PERMUT", 2, 2, fn_permut, ArgMode::Elementwise},
    FunctionDef{"PERMUTATIONA", 2, 2, fn_permutationa, ArgMode::Elementwise},
    FunctionDef{"PHI", 1, 1, fn_phi, ArgMode::Elementwise},
    FunctionDef{"POISSON", 3, 3, fn_poisson_dist, ArgMode::Elementwise},
    FunctionDef{"POISSON.DIST", 3, 3, fn_poisson_dist, ArgMode::Elementwise},
    FunctionDef{"PROB", 3, 4, fn_prob, ArgMode::Arrays},
    FunctionDef{"ROMAN", 1, 2, fn_roman, ArgMode::Elementwise},
    FunctionDef{"RRI", 3, 3, fn_rri, ArgMode::Elementwise},
    FunctionDef{"SEC", 1, 1, fn_sec, ArgMode::Elementwise},
    FunctionDef{"SECH", 1, 1, fn_sech, ArgMode::Elementwise},
    FunctionDef{"SEQUENCE", 1, 4, fn_sequence},
    FunctionDef{"SERIESSUM", 4, 4, fn_seriessum},
    FunctionDef{"SINH", 1, 1, fn_sinh, ArgMode::Elementwise},
    FunctionDef{"SKEW", 1, V, fn_skew, ArgMode::Arrays},
    FunctionDef{"SKEW.P", 1, V, fn_skew_p, ArgMode::Arrays},
    FunctionDef{"SORT", 1, 4, fn_sort, ArgMode::Arrays},
    FunctionDef{"SORTBY", 2, V, fn_sortby, ArgMode::Arrays},
    FunctionDef{"SQRTPI", 1, 1, fn_sqrtpi, ArgMode::Elementwise},
    FunctionDef{"STANDARDIZE", 3, 3, fn_standardize, ArgMode::Elementwise},
    FunctionDef{"STDEVA", 1, V, fn_stdeva, ArgMode::Arrays},
    FunctionDef{"STDEVPA", 1, V, fn_stdevpa, ArgMode::Arrays},
    FunctionDef{"STEYX", 2, 2, fn_steyx, ArgMode::Arrays},
    FunctionDef{"SUMX2MY2", 2, 2, fn_sumx2my2, ArgMode::Arrays},
    FunctionDef{"SUMX2PY2", 2, 2, fn_sumx2py2, ArgMode::Arrays},
    FunctionDef{"SUMXMY2", 2, 2, fn_sumxmy2, ArgMode::Arrays},
    FunctionDef{"SYD", 4, 4, fn_syd, ArgMode::Elementwise},
    FunctionDef{"T.DIST", 3, 3, fn_t_dist, ArgMode::Elementwise},
    FunctionDef{"T.DIST.2T", 2, 2, fn_t_dist_2t, ArgMode::Elementwise},
    FunctionDef{"T.DIST.RT", 2, 2, fn_t_dist_rt, ArgMode::Elementwise},
    FunctionDef{"T.INV", 2, 2, fn_t_inv, ArgMode::Elementwise},
    FunctionDef{"T.INV.2T", 2, 2, fn_t_inv_2t, ArgMode::Elementwise},
    FunctionDef{"T.TEST", 4, 4, fn_t_test, ArgMode::Arrays},
    FunctionDef{"TANH", 1, 1, fn_tanh, ArgMode::Elementwise},
    FunctionDef{"TDIST", 3, 3, fn_tdist, ArgMode::Elementwise},
    FunctionDef{"TINV", 2, 2, fn_t_inv_2t, ArgMode::Elementwise},
    FunctionDef{"TRIMMEAN", 2, 2, fn_trimmean, ArgMode::Arrays},
    FunctionDef{"TTEST", 4, 4, fn_t_test, ArgMode::Arrays},
    FunctionDef{"UNIQUE", 1, 3, fn_unique, ArgMode::Arrays},
    FunctionDef{"VARA", 1, V, fn_vara, ArgMode::Arrays},
    FunctionDef{"VARPA", 1, V, fn_varpa, ArgMode::Arrays},
    FunctionDef{"WEIBULL", 4, 4, fn_weibull_dist, ArgMode::Elementwise},
    FunctionDef{"WEIBULL.DIST", 4, 4, fn_weibull_dist, ArgMode::Elementwise},
    FunctionDef{"Z.TEST", 2, 3, fn_z_test, ArgMode::Arrays},
    FunctionDef{"ZTEST", 2, 3, fn_z_test, ArgMode::Arrays},
};

}  // namespace

std::span<const FunctionDef> more_builtins() {
  return kMoreFunctions;
}

}  // namespace quillo::spreadsheet
