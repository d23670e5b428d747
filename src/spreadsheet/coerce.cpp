#include "spreadsheet/coerce.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/text.h"
#include "spreadsheet/date_serials.h"

namespace quillo::spreadsheet {

namespace {

// General writes numbers from 1E-07 up to below 1E+15 in full and the rest
// with an exponent, by the decimal exponent of the number rounded to 15
// significant digits.
constexpr int kGeneralFixedBelow = -7;
constexpr int kGeneralFixedFrom = 15;

}  // namespace

std::variant<double, ErrorCode> to_number(const Value& v) {
  switch (v.type()) {
    case ValueType::Integer:
    case ValueType::Double:
    case ValueType::Date:
      return v.number();
    case ValueType::Bool:
      return v.as_bool() ? 1.0 : 0.0;
    case ValueType::Empty:
    case ValueType::Missing:
    case ValueType::Null:
      return 0.0;
    case ValueType::Text: {
      if (auto d = text::locale_number(v.text())) return *d;
      // Percentages, dates and times read as they do when typed into a cell
      // ("12%", "2024-01-31", "31-Jan-2024", "14:30"); a date without a year
      // does not, as it would depend on the clock.
      const std::string_view t = text::trim(v.text());
      if (t.size() > 1 && t.back() == '%') {
        if (auto d = text::locale_number(t.substr(0, t.size() - 1))) return *d / 100.0;
      }
      if (auto dt = parse_date_time(t, 0)) return dt->date.value_or(0.0) + dt->time.value_or(0.0);
      return ErrorCode::Value;
    }
    case ValueType::Error:
      return v.error();
    default:
      return ErrorCode::Value;
  }
}

std::variant<std::string, ErrorCode> to_text(const Value& v) {
  if (v.is_error()) return v.error();
  if (v.is_array() || v.is_range()) return ErrorCode::Value;
  if (v.is_number()) return general_text(v.number());
  return v.to_text();
}

std::variant<bool, ErrorCode> to_bool(const Value& v) {
  switch (v.type()) {
    case ValueType::Bool:
      return v.as_bool();
    case ValueType::Integer:
    case ValueType::Double:
    case ValueType::Date:
      return v.number() != 0;
    case ValueType::Empty:
    case ValueType::Missing:
    case ValueType::Null:
      return false;
    case ValueType::Text:
      if (text::iequals(v.text(), "TRUE")) return true;
      if (text::iequals(v.text(), "FALSE")) return false;
      return ErrorCode::Value;
    case ValueType::Error:
      return v.error();
    default:
      return ErrorCode::Value;
  }
}

Value text_result(std::string s) {
  if (s.size() > kMaxTextChars && text::char_count(s) > kMaxTextChars) {
    return Value(ErrorCode::Value);
  }
  return Value(std::move(s));
}

std::string general_text(double d) {
  if (d == 0 || !std::isfinite(d)) return text::format_number_15(d);
  // Rounded to 15 significant digits first: the rounding decides the
  // exponent (999999999999999.9 is 1E+15).
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.14E", d);
  const char* e = std::strchr(buf, 'E');
  const int exponent = e ? std::atoi(e + 1) : 0;
  if (!e || (exponent < kGeneralFixedFrom && exponent >= kGeneralFixedBelow)) {
    return text::format_number_15(d);
  }
  std::string mantissa(buf, static_cast<std::size_t>(e - buf));
  if (mantissa.find('.') != std::string::npos) {
    while (mantissa.back() == '0') mantissa.pop_back();
    if (mantissa.back() == '.') mantissa.pop_back();
  }
  char tail[16];
  std::snprintf(tail, sizeof tail, "E%c%02d", exponent < 0 ? '-' : '+', std::abs(exponent));
  return mantissa + tail;
}

bool nearly_equal(double a, double b) {
  if (a == b) return true;
  if (a == 0 || b == 0 || std::signbit(a) != std::signbit(b)) return false;
  // A relative difference below 2^-48 is rounding noise of the last couple
  // of binary digits beyond what 15 decimal digits show.
  const double d = std::fabs(a - b);
  constexpr double kRelative = 0x1p-48;
  return d < std::fabs(a) * kRelative && d < std::fabs(b) * kRelative;
}

Value number_result(double d) {
  return std::isfinite(d) ? Value(d) : Value(ErrorCode::Num);
}

}  // namespace quillo::spreadsheet
