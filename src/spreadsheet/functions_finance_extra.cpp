// More financial functions: MIRR, interest rates (EFFECT, NOMINAL, RRI,
// PDURATION), the cumulated parts of loan payments (CUMIPMT, CUMPRINC),
// FVSCHEDULE, ISPMT, sum-of-years' digits depreciation (SYD) and the
// fractional dollar prices (DOLLARDE, DOLLARFR). As in the
// annuity family, money paid out is negative.
#include <cmath>
#include <vector>

#include "spreadsheet/function_numbers.h"

namespace quillo::spreadsheet {

Value fn_ipmt(const CallContext&, std::span<const Value>);
Value fn_ppmt(const CallContext&, std::span<const Value>);

using namespace fn;

// MIRR(values, finance_rate, reinvest_rate): the rate that grows the
// present value of the payments out (discounted at finance_rate) into the
// future value of the payments in (compounded at reinvest_rate).
Value fn_mirr(const CallContext& ctx, std::span<const Value> args) {
  std::vector<double> flows;
  if (auto e = for_each_number(args.first(1), ctx, [&](double d) { flows.push_back(d); })) {
    return Value(*e);
  }
  const auto rates = numbers_of<2>(ctx, args.subspan(1), {});
  if (const auto* e = std::get_if<ErrorCode>(&rates)) return Value(*e);
  const auto [finance, reinvest] = std::get<std::array<double, 2>>(rates);
  if (finance <= -1 || reinvest <= -1) return Value(ErrorCode::Div0);
  const double n = static_cast<double>(flows.size());
  double in = 0, out = 0;
  for (std::size_t i = 0; i < flows.size(); ++i) {
    const double t = static_cast<double>(i);
    if (flows[i] > 0)
      in += flows[i] * std::pow(1 + reinvest, n - 1 - t);
    else
      out += flows[i] / std::pow(1 + finance, t);
  }
  if (in == 0 || out == 0) return Value(ErrorCode::Div0);
  return number_result(std::pow(-in / out, 1 / (n - 1)) - 1);
}

// EFFECT(nominal_rate, periods): the yearly rate of a nominal rate
// compounded periods times a year.
Value fn_effect(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<2>(ctx, args, {}, [](auto a) {
    const double n = std::trunc(a[1]);
    if (a[0] <= 0 || n < 1) return num_error();
    return Value(std::expm1(n * std::log1p(a[0] / n)));
  });
}

Value fn_nominal(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<2>(ctx, args, {}, [](auto a) {
    const double n = std::trunc(a[1]);
    if (a[0] <= 0 || n < 1) return num_error();
    return Value(n * std::expm1(std::log1p(a[0]) / n));
  });
}

// RRI(periods, pv, fv): the rate per period that grows pv into fv.
Value fn_rri(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<3>(ctx, args, {}, [](auto a) {
    if (a[0] <= 0) return num_error();
    if (a[1] == 0) return Value(ErrorCode::Div0);
    return Value(std::pow(a[2] / a[1], 1 / a[0]) - 1);
  });
}

// PDURATION(rate, pv, fv): the periods rate needs to grow pv into fv.
Value fn_pduration(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<3>(ctx, args, {}, [](auto a) {
    if (a[0] <= 0 || a[1] <= 0 || a[2] <= 0) return num_error();
    return Value((std::log(a[2]) - std::log(a[1])) / std::log1p(a[0]));
  });
}

// FVSCHEDULE(principal, schedule): principal grown by each rate in turn.
Value fn_fvschedule(const CallContext& ctx, std::span<const Value> args) {
  const auto p = number(args[0], ctx);
  if (failed(p)) return error_of(p);
  double value = std::get<double>(p);
  std::optional<ErrorCode> error;
  if (auto view = RangeView::of(args[1])) {
    view->for_each([&](const Value& v) {
      if (error) return;
      const auto r = to_number(v);
      if (const auto* e = std::get_if<ErrorCode>(&r))
        error = *e;
      else
        value *= 1 + std::get<double>(r);
    });
  } else {
    const auto r = number(args[1], ctx);
    if (failed(r)) return error_of(r);
    value *= 1 + std::get<double>(r);
  }
  if (error) return Value(*error);
  return number_result(value);
}

// ISPMT(rate, period, periods, pv): the interest of a period of a loan
// repaid in equal parts of principal.
Value fn_ispmt(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<4>(ctx, args, {}, [](auto a) {
    if (a[2] == 0) return Value(ErrorCode::Div0);
    return Value(a[3] * a[0] * (a[1] / a[2] - 1));
  });
}

// SYD(cost, salvage, life, period): sum-of-years' digits depreciation.
Value fn_syd(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<4>(ctx, args, {}, [](auto a) {
    const double life = a[2], per = a[3];
    if (life <= 0 || per <= 0 || per > life) return num_error();
    return Value((a[0] - a[1]) * (life - per + 1) * 2 / (life * (life + 1)));
  });
}

namespace {

// CUMIPMT and CUMPRINC: IPMT or PPMT summed over the periods start to end.
Value cumulative(const CallContext& ctx, std::span<const Value> args, bool interest) {
  return on_numbers<6>(ctx, args, {}, [&](auto a) {
    const double rate = a[0], nper = a[1], pv = a[2];
    const double start = std::ceil(a[3]), end = std::trunc(a[4]), type = a[5];
    if (rate <= 0 || nper <= 0 || pv <= 0 || start < 1 || end < 1 || start > end || end > nper ||
        (type != 0 && type != 1)) {
      return num_error();
    }
    double sum = 0;
    for (double per = start; per <= end; ++per) {
      const std::array<Value, 6> call{Value(rate), Value(per), Value(nper),
                                      Value(pv),   Value(0.0), Value(type)};
      const Value v = interest ? fn_ipmt(ctx, call) : fn_ppmt(ctx, call);
      if (!v.is_number()) return v;
      sum += v.number();
    }
    return Value(sum);
  });
}

}  // namespace

Value fn_cumipmt(const CallContext& ctx, std::span<const Value> args) {
  return cumulative(ctx, args, true);
}

Value fn_cumprinc(const CallContext& ctx, std::span<const Value> args) {
  return cumulative(ctx, args, false);
}

namespace {

// DOLLARDE and DOLLARFR: the fraction of a price read in 1/fraction parts
// (0.02 in eighths is 2/8) as a decimal, or back.
Value dollar(const CallContext& ctx, std::span<const Value> args, bool to_decimal) {
  return on_numbers<2>(ctx, args, {}, [to_decimal](auto a) {
    const double fraction = std::trunc(a[1]);
    if (fraction < 0) return num_error();
    if (fraction < 1) return Value(ErrorCode::Div0);
    const double whole = std::trunc(a[0]), part = a[0] - whole;
    const double scale = std::pow(10.0, std::ceil(std::log10(fraction)));
    return Value(whole + (to_decimal ? part * scale / fraction : part * fraction / scale));
  });
}

}  // namespace

Value fn_dollarde(const CallContext& ctx, std::span<const Value> args) {
  return dollar(ctx, args, true);
}

Value fn_dollarfr(const CallContext& ctx, std::span<const Value> args) {
  return dollar(ctx, args, false);
}

}  // namespace quillo::spreadsheet
