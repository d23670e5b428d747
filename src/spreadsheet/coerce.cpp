#include "spreadsheet/coerce.h"

#include <cmath>

#include "common/dates.h"
#include "common/text.h"

namespace quillo::spreadsheet {

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
      if (auto d = parse_iso_date(text::trim(v.text()))) return *d;
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
  // Numbers become text as a cell shows them: 15 significant digits.
  if (v.is_number()) return text::format_number_15(v.number());
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

Value number_result(double d) {
  return std::isfinite(d) ? Value(d) : Value(ErrorCode::Num);
}

}  // namespace quillo::spreadsheet
