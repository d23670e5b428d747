// Numbers written in other numeral systems: Roman numerals (ROMAN,
// ARABIC), the engineering conversions between binary, octal, decimal and
// hexadecimal (BIN2DEC, DEC2HEX, HEX2OCT, ...: ten digits, negative numbers
// in ten-digit two's complement), any radix (BASE, DECIMAL), and the bit
// operations (BITAND, BITOR, BITXOR, BITLSHIFT, BITRSHIFT).
#include <array>
#include <cmath>
#include <string>
#include <string_view>

#include "common/text.h"
#include "spreadsheet/function_numbers.h"

namespace quillo::spreadsheet {

using namespace fn;

namespace {

// ---- Roman numerals ----

struct RomanPart {
  int value;
  std::string_view letters;
  int form;  // the least form (0 classic to 4 simplest) that writes it
};

// Every numeral and subtractive pair, largest first. The classic form
// subtracts only I, X and C from the next two numerals; each further form
// lets a numeral one step smaller stand before M, D, C, L and X.
constexpr std::array kRoman = {
    RomanPart{1000, "M", 0}, RomanPart{999, "IM", 4}, RomanPart{995, "VM", 3},
    RomanPart{990, "XM", 2}, RomanPart{950, "LM", 1}, RomanPart{900, "CM", 0},
    RomanPart{500, "D", 0},  RomanPart{499, "ID", 4}, RomanPart{495, "VD", 3},
    RomanPart{490, "XD", 2}, RomanPart{450, "LD", 1}, RomanPart{400, "CD", 0},
    RomanPart{100, "C", 0},  RomanPart{99, "IC", 2},  RomanPart{95, "VC", 1},
    RomanPart{90, "XC", 0},  RomanPart{50, "L", 0},   RomanPart{49, "IL", 2},
    RomanPart{45, "VL", 1},  RomanPart{40, "XL", 0},  RomanPart{10, "X", 0},
    RomanPart{9, "IX", 0},   RomanPart{5, "V", 0},    RomanPart{4, "IV", 0},
    RomanPart{1, "I", 0},
};

std::string roman(int n, int form) {
  std::string out;
  for (const RomanPart& part : kRoman) {
    if (part.form > form) continue;
    while (n >= part.value) {
      out += part.letters;
      n -= part.value;
    }
  }
  return out;
}

int roman_digit(char c) {
  switch (c) {
    case 'I':
      return 1;
    case 'V':
      return 5;
    case 'X':
      return 10;
    case 'L':
      return 50;
    case 'C':
      return 100;
    case 'D':
      return 500;
    case 'M':
      return 1000;
    default:
      return 0;
  }
}

// ---- fixed-width binary, octal and hexadecimal ----

// A system of the engineering conversions: its radix and the range its ten
// digits hold (negative numbers in two's complement).
struct Radix {
  int base;
  double low;   // the least number, -base^10 / 2
  double high;  // the greatest, base^10 / 2 - 1
};

constexpr Radix kBin{2, -512, 511};
constexpr Radix kOct{8, -536870912, 536870911};
constexpr Radix kHex{16, -549755813888, 549755813887};

int digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  return 99;
}

// The number that digits (at most ten, as the argument's text) stand for.
std::variant<double, ErrorCode> parse_fixed(const Value& arg, const Radix& r,
                                            const CallContext& ctx) {
  const Value v = scalar(arg, ctx);
  if (v.type() == ValueType::Bool) return ErrorCode::Value;
  const auto t = to_text(v);
  if (const auto* e = std::get_if<ErrorCode>(&t)) return *e;
  const std::string& digits = std::get<std::string>(t);
  if (digits.size() > 10) return ErrorCode::Num;
  double n = 0;
  for (char c : digits) {
    const int d = digit_value(c);
    if (d >= r.base) return ErrorCode::Num;
    n = n * r.base + d;
  }
  const double span = std::pow(r.base, 10);
  return n > r.high ? n - span : n;
}

// The digits of n in the system, padded with zeros to places when given;
// negative numbers take all ten digits.
Value format_fixed(double n, const Radix& r, std::span<const Value> args, std::size_t places_at,
                   const CallContext& ctx) {
  n = std::trunc(n);
  if (n < r.low || n > r.high) return num_error();
  const bool negative = n < 0;
  auto u = static_cast<std::uint64_t>(negative ? n + std::pow(r.base, 10) : n);
  std::string out;
  do {
    out.insert(out.begin(), "0123456789ABCDEF"[u % static_cast<std::uint64_t>(r.base)]);
    u /= static_cast<std::uint64_t>(r.base);
  } while (u > 0);
  if (negative || missing(args, places_at)) return Value(out);
  const auto places = number(args[places_at], ctx);
  if (failed(places)) return error_of(places);
  const double p = std::trunc(std::get<double>(places));
  if (p < 0 || p > 10 || p < static_cast<double>(out.size())) return num_error();
  return Value(std::string(static_cast<std::size_t>(p) - out.size(), '0') + out);
}

// DEC2x: a decimal number to the system's digits.
Value from_decimal(const CallContext& ctx, std::span<const Value> args, const Radix& to) {
  const auto n = number(args[0], ctx);
  if (failed(n)) return error_of(n);
  return format_fixed(std::get<double>(n), to, args, 1, ctx);
}

// x2DEC: the system's digits to a decimal number.
Value to_decimal(const CallContext& ctx, std::span<const Value> args, const Radix& from) {
  const auto n = parse_fixed(args[0], from, ctx);
  if (const auto* e = std::get_if<ErrorCode>(&n)) return Value(*e);
  return Value(std::get<double>(n));
}

// x2y: digits of one system to those of another.
Value convert(const CallContext& ctx, std::span<const Value> args, const Radix& from,
              const Radix& to) {
  const auto n = parse_fixed(args[0], from, ctx);
  if (const auto* e = std::get_if<ErrorCode>(&n)) return Value(*e);
  return format_fixed(std::get<double>(n), to, args, 1, ctx);
}

// ---- bits ----

constexpr double kBitLimit = 281474976710656.0;  // 2^48

// A bit operand: a whole number from 0 below 2^48.
bool bad_bits(double x) {
  return x < 0 || x >= kBitLimit || x != std::trunc(x);
}

}  // namespace

// ROMAN(number, [form]): 0 to 3999 as Roman numerals; form 0 (or TRUE) is
// classic, 1 to 4 (FALSE is 4) ever more concise.
Value fn_roman(const CallContext& ctx, std::span<const Value> args) {
  const auto n = number(args[0], ctx);
  if (failed(n)) return error_of(n);
  double form = 0;
  if (!missing(args, 1)) {
    const Value f = scalar(args[1], ctx);
    if (f.type() == ValueType::Bool) {
      form = f.as_bool() ? 0 : 4;
    } else {
      const auto x = number(f, ctx);
      if (failed(x)) return error_of(x);
      form = std::trunc(std::get<double>(x));
    }
  }
  const double value = std::trunc(std::get<double>(n));
  if (value < 0 || value > 3999 || form < 0 || form > 4) return Value(ErrorCode::Value);
  return Value(roman(static_cast<int>(value), static_cast<int>(form)));
}

// ARABIC(text): the number Roman numerals stand for, letters in any case,
// with a leading "-" for a negative one; a numeral before a greater one is
// subtracted. Empty text is 0.
Value fn_arabic(const CallContext& ctx, std::span<const Value> args) {
  const auto t = text(args[0], ctx);
  if (failed(t)) return error_of(t);
  std::string_view s = text::trim(std::get<std::string>(t));
  if (s.size() > 255) return Value(ErrorCode::Value);
  const bool negative = !s.empty() && s.front() == '-';
  if (negative) s.remove_prefix(1);
  const std::string letters = text::upper(s);
  double total = 0;
  for (std::size_t i = 0; i < letters.size(); ++i) {
    const int d = roman_digit(letters[i]);
    if (d == 0) return Value(ErrorCode::Value);
    const int next = i + 1 < letters.size() ? roman_digit(letters[i + 1]) : 0;
    total += next > d ? -d : d;
  }
  return Value(negative ? -total : total);
}

Value fn_bin2dec(const CallContext& ctx, std::span<const Value> args) {
  return to_decimal(ctx, args, kBin);
}
Value fn_oct2dec(const CallContext& ctx, std::span<const Value> args) {
  return to_decimal(ctx, args, kOct);
}
Value fn_hex2dec(const CallContext& ctx, std::span<const Value> args) {
  return to_decimal(ctx, args, kHex);
}
Value fn_dec2bin(const CallContext& ctx, std::span<const Value> args) {
  return from_decimal(ctx, args, kBin);
}
Value fn_dec2oct(const CallContext& ctx, std::span<const Value> args) {
  return from_decimal(ctx, args, kOct);
}
Value fn_dec2hex(const CallContext& ctx, std::span<const Value> args) {
  return from_decimal(ctx, args, kHex);
}
Value fn_bin2oct(const CallContext& ctx, std::span<const Value> args) {
  return convert(ctx, args, kBin, kOct);
}
Value fn_bin2hex(const CallContext& ctx, std::span<const Value> args) {
  return convert(ctx, args, kBin, kHex);
}
Value fn_oct2bin(const CallContext& ctx, std::span<const Value> args) {
  return convert(ctx, args, kOct, kBin);
}
Value fn_oct2hex(const CallContext& ctx, std::span<const Value> args) {
  return convert(ctx, args, kOct, kHex);
}
Value fn_hex2bin(const CallContext& ctx, std::span<const Value> args) {
  return convert(ctx, args, kHex, kBin);
}
Value fn_hex2oct(const CallContext& ctx, std::span<const Value> args) {
  return convert(ctx, args, kHex, kOct);
}

// BASE(number, radix, [min_length]): a whole number from 0 below 2^53 in
// radix 2 to 36, upper-case digits, padded with zeros to min_length.
Value fn_base(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<3>(ctx, args, {0, 0, 0}, [](auto a) {
    const double n = std::trunc(a[0]), radix = std::trunc(a[1]), length = std::trunc(a[2]);
    if (n < 0 || n >= 9007199254740992.0 || radix < 2 || radix > 36 || length < 0 || length > 255) {
      return num_error();
    }
    auto u = static_cast<std::uint64_t>(n);
    const auto b = static_cast<std::uint64_t>(radix);
    std::string out;
    do {
      out.insert(out.begin(), "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"[u % b]);
      u /= b;
    } while (u > 0);
    if (static_cast<double>(out.size()) < length) {
      out.insert(0, static_cast<std::size_t>(length) - out.size(), '0');
    }
    return Value(out);
  });
}

// DECIMAL(text, radix): the number digits in radix 2 to 36 stand for
// (letters in any case).
Value fn_decimal(const CallContext& ctx, std::span<const Value> args) {
  const auto t = text(args[0], ctx);
  if (failed(t)) return error_of(t);
  const auto r = number(args[1], ctx);
  if (failed(r)) return error_of(r);
  const double radix = std::trunc(std::get<double>(r));
  const std::string& digits = std::get<std::string>(t);
  if (radix < 2 || radix > 36 || digits.size() > 255) return num_error();
  double n = 0;
  for (char c : digits) {
    const int d = digit_value(c);
    if (d >= radix) return num_error();
    n = n * radix + d;
  }
  if (n >= 9007199254740992.0) return num_error();
  return Value(n);
}

namespace {

template <typename F>
Value bits(const CallContext& ctx, std::span<const Value> args, F f) {
  return on_numbers<2>(ctx, args, {}, [&](auto a) {
    if (bad_bits(a[0]) || bad_bits(a[1])) return num_error();
    const auto x = static_cast<std::uint64_t>(a[0]), y = static_cast<std::uint64_t>(a[1]);
    return Value(static_cast<double>(f(x, y)));
  });
}

// BITLSHIFT(number, shift): shifted left (right for a negative shift); the
// answer must stay below 2^48.
Value shift(double n, double by) {
  by = std::trunc(by);
  if (bad_bits(n) || std::fabs(by) > 53) return num_error();
  const double out = std::trunc(std::ldexp(n, static_cast<int>(by)));
  if (out >= kBitLimit) return num_error();
  return Value(out);
}

}  // namespace

Value fn_bitand(const CallContext& ctx, std::span<const Value> args) {
  return bits(ctx, args, [](std::uint64_t x, std::uint64_t y) { return x & y; });
}
Value fn_bitor(const CallContext& ctx, std::span<const Value> args) {
  return bits(ctx, args, [](std::uint64_t x, std::uint64_t y) { return x | y; });
}
Value fn_bitxor(const CallContext& ctx, std::span<const Value> args) {
  return bits(ctx, args, [](std::uint64_t x, std::uint64_t y) { return x ^ y; });
}
Value fn_bitlshift(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<2>(ctx, args, {}, [](auto a) { return shift(a[0], a[1]); });
}
Value fn_bitrshift(const CallContext& ctx, std::span<const Value> args) {
  return on_numbers<2>(ctx, args, {}, [](auto a) { return shift(a[0], -a[1]); });
}

}  // namespace quillo::spreadsheet
