// Text functions that convert between numbers and texts or characters and
// codes: TEXT, VALUE, NUMBERVALUE, FIXED, DOLLAR, CHAR, CODE, UNICHAR,
// UNICODE, T.
#include <charconv>
#include <cmath>

#include "common/text.h"
#include "spreadsheet/date_serials.h"
#include "spreadsheet/function_args.h"
#include "spreadsheet/number_format.h"
#include "spreadsheet/unicode_text.h"

namespace quillo::spreadsheet {

using namespace fn;

namespace {

// A text as a user would type it into a cell: a number ("1,234.5", "$12",
// "12%"), a date or a time; nullopt when it is none of them.
std::optional<double> typed_number(std::string_view t0, const CallContext& ctx) {
  const std::string_view t = text::trim(t0);
  if (auto d = text::locale_number(t)) return d;
  if (t.size() > 1 && t.back() == '%') {
    if (auto d = text::locale_number(t.substr(0, t.size() - 1))) return *d / 100.0;
  }
  if (auto d = parse_iso_date(t)) return d;
  if (auto dt = parse_date_time(t, current_year(ctx))) {
    return dt->date.value_or(0.0) + dt->time.value_or(0.0);
  }
  return std::nullopt;
}

}  // namespace

Value fn_value(const CallContext& ctx, std::span<const Value> args) {
  const Value v = scalar(args[0], ctx);
  if (v.is_error()) return v;
  if (v.is_number() || v.is_empty()) return Value(v.is_empty() ? 0.0 : v.number());
  if (!v.is_text()) return Value(ErrorCode::Value);
  if (auto d = typed_number(v.text(), ctx)) return Value(*d);
  return Value(ErrorCode::Value);
}

// TEXT(value, format): the value as a cell with that number format shows it.
// Texts that read as numbers or dates are formatted as those.
Value fn_text(const CallContext& ctx, std::span<const Value> args) {
  Value v = scalar(args[0], ctx);
  if (v.is_error()) return v;
  const auto code = text(args[1], ctx);
  if (failed(code)) return error_of(code);
  if (v.is_empty()) v = Value(0.0);
  if (v.is_text()) {
    if (auto d = typed_number(v.text(), ctx)) v = Value(*d);
  }
  auto shown = format_value(v, std::get<std::string>(code));
  if (!shown) return Value(ErrorCode::Value);
  return Value(std::move(*shown));
}

// NUMBERVALUE(text, [decimal separator], [group separator]): a number
// written with any separators; blanks anywhere are ignored and each
// trailing "%" divides by 100.
Value fn_numbervalue(const CallContext& ctx, std::span<const Value> args) {
  const Value v = scalar(args[0], ctx);
  if (v.is_error()) return v;
  if (v.is_number()) return Value(v.number());
  auto sep = [&](std::size_t i, const char* fallback) -> Arg<std::string> {
    if (missing(args, i)) return std::string(fallback);
    auto t = text(args[i], ctx);
    if (failed(t)) return t;
    std::string& s = std::get<std::string>(t);
    if (s.empty()) return Fail{ErrorCode::Value};
    return s.substr(0, unicode::decode(s, 0).second);
  };
  const auto dec0 = sep(1, ".");
  const auto group0 = sep(2, ",");
  const auto t0 = text(v, ctx);
  if (failed(dec0)) return error_of(dec0);
  if (failed(group0)) return error_of(group0);
  if (failed(t0)) return error_of(t0);
  const std::string& dec = std::get<std::string>(dec0);
  const std::string& group = std::get<std::string>(group0);
  if (dec == group) return Value(ErrorCode::Value);
  std::string t;
  for (char c : std::get<std::string>(t0)) {
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r') t += c;
  }
  double scale = 1;
  while (!t.empty() && t.back() == '%') {
    t.pop_back();
    scale /= 100;
  }
  if (t.empty()) return Value(0.0);
  const std::size_t point = t.find(dec);
  std::string whole = t.substr(0, point), frac;
  if (point != std::string::npos) {
    frac = t.substr(point + dec.size());
    if (frac.find(dec) != std::string::npos || frac.find(group) != std::string::npos) {
      return Value(ErrorCode::Value);
    }
  }
  text::replace_all(whole, group, "");
  const std::string plain = whole + (point != std::string::npos ? "." + frac : "");
  if (plain.find_first_not_of("0123456789.+-eE") != std::string::npos) {
    return Value(ErrorCode::Value);
  }
  std::string_view p = plain;
  if (!p.empty() && p[0] == '+') p.remove_prefix(1);
  double d = 0;
  const auto r = std::from_chars(p.data(), p.data() + p.size(), d);
  if (r.ec != std::errc() || r.ptr != p.data() + p.size()) return Value(ErrorCode::Value);
  return number_result(d * scale);
}

namespace {

Arg<int> decimals_arg(std::span<const Value> args, std::size_t i, const CallContext& ctx) {
  const auto n = number_or(args, i, 2, ctx);
  if (failed(n)) return std::get<Fail>(n);
  const double d = std::trunc(std::get<double>(n));
  if (d > 127) return Fail{ErrorCode::Value};
  return static_cast<int>(std::max(d, -127.0));
}

}  // namespace

// FIXED(number, [decimals], [no_commas]): rounded, with thousands separators
// unless no_commas.
Value fn_fixed(const CallContext& ctx, std::span<const Value> args) {
  const auto n = number(args[0], ctx);
  const auto places = decimals_arg(args, 1, ctx);
  if (failed(n)) return error_of(n);
  if (failed(places)) return error_of(places);
  bool no_commas = false;
  if (!missing(args, 2)) {
    const auto b = to_bool(scalar(args[2], ctx));
    if (const auto* e = std::get_if<ErrorCode>(&b)) return Value(*e);
    no_commas = std::get<bool>(b);
  }
  return Value(format_fixed(std::get<double>(n), std::get<int>(places), !no_commas));
}

// DOLLAR(number, [decimals]): currency text, negative amounts in brackets.
Value fn_dollar(const CallContext& ctx, std::span<const Value> args) {
  const auto n = number(args[0], ctx);
  const auto places = decimals_arg(args, 1, ctx);
  if (failed(n)) return error_of(n);
  if (failed(places)) return error_of(places);
  const double d = std::get<double>(n);
  std::string amount = format_fixed(std::fabs(d), std::get<int>(places), true);
  if (d < 0 && amount.find_first_not_of("0.,") != std::string::npos) {
    return Value("($" + amount + ")");
  }
  return Value("$" + amount);
}

// CHAR(1..255): the character of that code in Windows-1252.
Value fn_char(const CallContext& ctx, std::span<const Value> args) {
  const auto n = number(args[0], ctx);
  if (failed(n)) return error_of(n);
  const double code = std::trunc(std::get<double>(n));
  if (code < 1 || code > 255) return Value(ErrorCode::Value);
  const auto byte = static_cast<unsigned>(code);
  const char32_t cp = unicode::from_cp1252(byte);
  std::string out;
  text::append_utf8(out, cp ? cp : byte);
  return Value(std::move(out));
}

// CODE(text): the Windows-1252 code of the first character; 63 ("?") for a
// character that code page lacks.
Value fn_code(const CallContext& ctx, std::span<const Value> args) {
  const auto s = text(args[0], ctx);
  if (failed(s)) return error_of(s);
  const std::string& t = std::get<std::string>(s);
  if (t.empty()) return Value(ErrorCode::Value);
  const char32_t cp = unicode::decode(t, 0).first;
  const unsigned code = unicode::to_cp1252(cp);
  return Value(static_cast<double>(code == 0 && cp != 0 ? 63 : code));
}

Value fn_unichar(const CallContext& ctx, std::span<const Value> args) {
  const auto n = number(args[0], ctx);
  if (failed(n)) return error_of(n);
  const double code = std::trunc(std::get<double>(n));
  if (code < 1 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
    return Value(ErrorCode::Value);
  }
  std::string out;
  text::append_utf8(out, static_cast<char32_t>(code));
  return Value(std::move(out));
}

Value fn_unicode(const CallContext& ctx, std::span<const Value> args) {
  const auto s = text(args[0], ctx);
  if (failed(s)) return error_of(s);
  const std::string& t = std::get<std::string>(s);
  if (t.empty()) return Value(ErrorCode::Value);
  return Value(static_cast<double>(unicode::decode(t, 0).first));
}

// T(value): a text stays, anything else but an error is "".
Value fn_t(const CallContext& ctx, std::span<const Value> args) {
  const Value v = scalar(args[0], ctx);
  if (v.is_error() || v.is_text()) return v;
  return Value("");
}

}  // namespace quillo::spreadsheet
