#include "common/value.h"

#include <array>
#include <ostream>

#include "common/text.h"

namespace quillo {

namespace {
constexpr std::array<std::string_view, 8> kErrorTexts = {"",      "#NULL!", "#DIV/0!", "#VALUE!",
                                                         "#REF!", "#NAME?", "#NUM!",   "#N/A"};
}  // namespace

std::string_view error_text(ErrorCode code) {
  const auto i = static_cast<std::size_t>(code);
  return i < kErrorTexts.size() ? kErrorTexts[i] : "#VALUE!";
}

std::optional<ErrorCode> error_from_text(std::string_view t) {
  for (std::size_t i = 1; i < kErrorTexts.size(); ++i) {
    if (text::iequals(t, kErrorTexts[i])) return static_cast<ErrorCode>(i);
  }
  return std::nullopt;
}

const Value& Array::at(std::int32_t row, std::int32_t col) const {
  return items.at(static_cast<std::size_t>(row) * static_cast<std::size_t>(cols) +
                  static_cast<std::size_t>(col));
}

bool Value::is_number() const {
  const ValueType t = type();
  return t == ValueType::Integer || t == ValueType::Double || t == ValueType::Date;
}

double Value::number() const {
  switch (type()) {
    case ValueType::Integer:
      return std::get<std::int32_t>(m_v);
    case ValueType::Double:
      return std::get<double>(m_v);
    case ValueType::Date:
      return std::get<Date>(m_v).serial;
    default:
      throw std::bad_variant_access();
  }
}

std::string Value::to_text() const {
  switch (type()) {
    case ValueType::Bool:
      return as_bool() ? "TRUE" : "FALSE";
    case ValueType::Integer:
    case ValueType::Double:
    case ValueType::Date:
      return text::format_number(number());
    case ValueType::Text:
      return text();
    case ValueType::Error:
      return std::string(error_text(error()));
    default:
      return {};
  }
}

std::optional<double> Value::to_number() const {
  if (is_number()) return number();
  if (type() == ValueType::Bool) return as_bool() ? -1.0 : 0.0;
  if (is_text()) return text::locale_number(text());
  if (is_empty()) return 0.0;
  return std::nullopt;
}

bool Value::operator==(const Value& o) const {
  if (m_v.index() != o.m_v.index()) return false;
  if (is_array()) {
    const Array& a = array();
    const Array& b = o.array();
    return a.rows == b.rows && a.cols == b.cols && a.items == b.items;
  }
  return m_v == o.m_v;
}

void PrintTo(const Value& value, std::ostream* os) {
  static constexpr const char* kNames[] = {"empty", "null", "missing", "bool",  "integer", "double",
                                           "date",  "text", "error",   "array", "range"};
  *os << kNames[static_cast<int>(value.type())] << " \"" << value.to_text() << '"';
}

}  // namespace quillo
